#include "seed.hpp"

#include <utility>
#include <vector>

#include "globals.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// Seeds are drawn below 2**31 - 1, as scikit-learn draws them, so that
/// every generator and train_test_split accepts them.
constexpr long long kSeedBound = 2147483647LL;

/// The fits running in this thread, innermost last: (estimator, seed or null),
/// both borrowed from the fit's frame / owned here. Per thread, because fits
/// of different estimators may run in several threads at once.
thread_local std::vector<std::pair<PyObject*, PyObject*>> running_fits;

std::pair<PyObject*, PyObject*>* innermost_fit_of(PyObject* self) {
    for (auto it = running_fits.rbegin(); it != running_fits.rend(); ++it) {
        if (it->first == self) return &*it;
    }
    return nullptr;
}

bool is_instance_of(PyObject* value, PyObject* module, const char* type_name) {
    Ref type = getattr_optional(module, type_name);
    if (!type || !PyType_Check(type.get())) return false;
    return check(PyObject_IsInstance(value, type)) != 0;
}

}  // namespace

Ref seed_from(PyObject* random_state) {
    if (PyLong_Check(random_state)) return newref(random_state);
    Ref numpy_random = getattr(global(S.np), S.random);
    Ref bound = py_int(kSeedBound);
    Ref drawn;
    if (random_state == Py_None) {
        // A generator seeded from the operating system's entropy.
        Ref fresh = call_method(numpy_random, S.default_rng);
        drawn = call_method(fresh, S.integers, bound);
    } else if (is_instance_of(random_state, numpy_random, "RandomState")) {
        drawn = call_method(random_state, S.randint, bound);
    } else if (is_instance_of(random_state, numpy_random, "Generator")) {
        drawn = call_method(random_state, S.integers, bound);
    } else {
        return newref(random_state);
    }
    return own(PyNumber_Index(drawn));
}

FitSeedScope::FitSeedScope(PyObject* self) { running_fits.emplace_back(self, nullptr); }

FitSeedScope::~FitSeedScope() {
    PyObject* seed = running_fits.back().second;
    running_fits.pop_back();
    Py_XDECREF(seed);
}

void record_fit_seed(PyObject* self, PyObject* seed) {
    auto* fit = innermost_fit_of(self);
    if (fit == nullptr) return;
    Py_INCREF(seed);
    Py_XSETREF(fit->second, seed);
}

Ref fit_seed(PyObject* self) {
    auto* fit = innermost_fit_of(self);
    if (fit == nullptr || fit->second == nullptr) return Ref();
    return newref(fit->second);
}

}  // namespace rampnet
