// The estimator module's side of the native training engine: the gate module
// is imported at first use and its decisions are taken per fit and per call.
#include "engine_bridge.hpp"

#include "module.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

using namespace qalvo;

namespace rampnet {

namespace {

struct Gate {
    Ref fit_plan, train_epoch, validate, raw_output;
};

/// The classes' namespaces as created, {class: dict}.
PyObject* created_classes = nullptr;

/// The gate's entry points once the engine has loaded; nullptr for the
/// generic path. Only QALVO_ENGINE=0 is read at every call, so that tests and
/// benchmarks can switch within one process.
const Gate* gate() {
    static Gate* loaded = nullptr;
    static bool tried = false;
    const char* flag = std::getenv("QALVO_ENGINE");
    if (flag != nullptr && std::strcmp(flag, "0") == 0) return nullptr;
    if (tried) return loaded;
    try {
        Ref module = own(PyImport_ImportModule("qalvo.models.rampnet._engine_gate"));
        // What the module bound and created before any user code ran: the
        // gate compares the module with it.
        Ref classes = created_classes ? newref(created_classes) : own(PyDict_New());
        call(getattr(module, py_str("attach")), module_state().loaded_globals, classes);
        Ref engine = call(getattr(module, py_str("load")));
        if (engine.get() != Py_None) {
            loaded = new Gate{getattr(module, py_str("fit_plan")),
                              getattr(module, py_str("train_epoch")),
                              getattr(module, py_str("validate")),
                              getattr(module, py_str("raw_output"))};
        }
    } catch (PythonError&) {
        // An engine that cannot even be looked at means the generic path; an
        // interrupt is the user's and goes on.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    tried = true;
    return loaded;
}

/// result, or an empty Ref where the engine answered None
Ref unless_none(Ref result) {
    if (result.get() == Py_None) return Ref();
    return result;
}

/// The _fit_bp calls running in this thread, innermost last: (estimator,
/// plan or null), the plan owned here.
thread_local std::vector<std::pair<PyObject*, PyObject*>> active_plans;

}  // namespace

void remember_created_class(PyObject* cls) {
    if (created_classes == nullptr) created_classes = own(PyDict_New()).release();
    Ref namespace_copy = own(PyDict_New());
    check(PyDict_Update(namespace_copy, getattr(cls, py_str("__dict__"))));
    check(PyDict_SetItem(created_classes, cls, namespace_copy));
}

Ref engine_fit_plan(PyObject* self) {
    const Gate* g = gate();
    if (g == nullptr) return Ref();
    return unless_none(call(g->fit_plan, self));
}

Ref engine_train_epoch(PyObject* plan, PyObject* self) {
    const Gate* g = gate();
    if (g == nullptr) return Ref();
    return unless_none(call(g->train_epoch, plan, self));
}

ActivePlan::ActivePlan(PyObject* self, PyObject* plan) {
    Py_XINCREF(plan);
    active_plans.emplace_back(self, plan);
}

ActivePlan::~ActivePlan() {
    PyObject* plan = active_plans.back().second;
    active_plans.pop_back();
    Py_XDECREF(plan);
}

void ActivePlan::update(PyObject* plan) {
    Py_XINCREF(plan);
    Py_XSETREF(active_plans.back().second, plan);
}

Ref engine_validate(PyObject* self) {
    const Gate* g = gate();
    if (g == nullptr) return Ref();
    PyObject* plan = Py_None;  // none running: the gate decides on its own
    for (auto it = active_plans.rbegin(); it != active_plans.rend(); ++it) {
        if (it->first != self) continue;
        if (it->second == nullptr) return Ref();  // the fit runs on the generic path
        plan = it->second;
        break;
    }
    return unless_none(call(g->validate, plan, self));
}

Ref engine_raw_output(PyObject* self, PyObject* rows) {
    const Gate* g = gate();
    if (g == nullptr) return Ref();
    return unless_none(call(g->raw_output, self, rows));
}

}  // namespace rampnet
