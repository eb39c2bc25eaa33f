#include "fit_guard.hpp"

#include <unordered_map>

using namespace qalvo;

namespace rampnet {

namespace {

struct RunningFit {
    unsigned long thread;
    int depth;
};

/// Estimators being fitted, by object (each alive for its fit's duration);
/// read and written with the GIL held.
std::unordered_map<PyObject*, RunningFit>& running() {
    static auto* fits = new std::unordered_map<PyObject*, RunningFit>();
    return *fits;
}

}  // namespace

FitGuard::FitGuard(PyObject* self, const char* method) : self_(self) {
    const unsigned long thread = PyThread_get_thread_ident();
    auto found = running().find(self);
    if (found == running().end()) {
        running().emplace(self, RunningFit{thread, 1});
        return;
    }
    if (found->second.thread != thread) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s() refused: this %.200s is being fitted in another thread. Fitting "
                     "one estimator object in two threads at once would corrupt it; give "
                     "each thread its own (sklearn.base.clone(estimator)).",
                     method, Py_TYPE(self)->tp_name);
        throw_pending();
    }
    found->second.depth += 1;
}

FitGuard::~FitGuard() {
    auto found = running().find(self_);
    if (found != running().end() && --found->second.depth == 0) running().erase(found);
}

}  // namespace rampnet
