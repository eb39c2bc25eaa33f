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
    Ref module;
    Ref fit_plan, train_epoch, validate, raw_output;  ///< empty where the engine cannot run
};

/// The classes' namespaces as created, {class: dict}.
PyObject* created_classes = nullptr;

/// The gate, imported at first use; nullptr where the generic path must run
/// without asking (QALVO_ENGINE=0, read at every call so that tests and
/// benchmarks can switch within one process, or a gate that cannot load).
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
        auto* g = new Gate{std::move(module), Ref(), Ref(), Ref(), Ref()};
        if (call(getattr(g->module, py_str("load"))).get() != Py_None) {
            g->fit_plan = getattr(g->module, py_str("fit_plan"));
            g->train_epoch = getattr(g->module, py_str("train_epoch"));
            g->validate = getattr(g->module, py_str("validate"));
            g->raw_output = getattr(g->module, py_str("raw_output"));
        }
        loaded = g;
    } catch (PythonError&) {
        // An engine that cannot even be looked at means the generic path; an
        // interrupt is the user's and goes on.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
    tried = true;
    return loaded;
}

/// The gate where the engine can run, else nullptr.
const Gate* engine_gate() {
    const Gate* g = gate();
    return g != nullptr && g->fit_plan ? g : nullptr;
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
    if (!g->fit_plan) {
        // a missing or refused engine says so once per process, at the first fit
        call(getattr(g->module, py_str("warn_unavailable")));
        return Ref();
    }
    return unless_none(call(g->fit_plan, self));
}

Ref engine_train_epoch(PyObject* plan, PyObject* self) {
    const Gate* g = engine_gate();
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
    const Gate* g = engine_gate();
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
    const Gate* g = engine_gate();
    if (g == nullptr) return Ref();
    return unless_none(call(g->raw_output, self, rows));
}

}  // namespace rampnet
