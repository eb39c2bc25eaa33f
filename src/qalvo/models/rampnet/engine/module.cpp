// qalvo.models.rampnet._engine: the Python entry points of the native training
// engine. The gate (_engine_gate.py) decides when the engine may run; a plan
// (plan.hpp) reads the estimator's objects once; these functions run a batch
// loop of passes.cpp on the very tensors Python holds, with the GIL released,
// and leave behind exactly what the generic path leaves. Where a plan no
// longer fits the estimator, a function answers why (a str) or None, and the
// caller runs the generic path instead.
#include "objects.hpp"
#include "pending_error.hpp"
#include "plan.hpp"

#include <torch/csrc/Exceptions.h>

#include <chrono>
#include <cstring>
#include <memory>

using qalvo::Ref;
using qalvo::own;
using qalvo::newref;

namespace {

/// Whether signal handlers can run in this thread: Python runs them in the
/// main thread only, and PyErr_CheckSignals does nothing elsewhere. Called
/// with the GIL held; where it cannot tell, it answers yes.
bool runs_signal_handlers() {
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main = threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
    PyObject* ident = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    bool main_thread = true;
    if (ident != nullptr && PyLong_Check(ident)) {
        const unsigned long value = PyLong_AsUnsignedLong(ident);
        main_thread = PyErr_Occurred() != nullptr || value == PyThread_get_thread_ident();
    }
    Py_XDECREF(ident);
    Py_XDECREF(main);
    Py_XDECREF(threading);
    PyErr_Clear();
    return main_thread;
}

/// The GIL is released while a run computes. In the main thread, poll() takes
/// it back at most every few milliseconds, between batches, so that pending
/// signals (Ctrl-C) are handled; other threads never need it back, and do not
/// wait for it while another thread runs Python code.
class ReleasedGil {
public:
    ReleasedGil()
        : polls_(runs_signal_handlers()), state_(PyEval_SaveThread()), last_(Clock::now()) {}
    ~ReleasedGil() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    /// False with the Python error set (the GIL then stays held) when a
    /// signal handler raised.
    bool poll() {
        if (!polls_) return true;
        const Clock::time_point now = Clock::now();
        if (now - last_ < kInterval) return true;
        last_ = now;
        return with_gil([] { return PyErr_CheckSignals() == 0; });
    }

    /// Runs f (returning false on a Python error) with the GIL held.
    template <class F>
    bool with_gil(F&& f) {
        PyEval_RestoreThread(state_);
        state_ = nullptr;
        if (!f()) return false;
        state_ = PyEval_SaveThread();
        return true;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{20};
    bool polls_;
    PyThreadState* state_;
    Clock::time_point last_;
};

const char* const kPlanName = "qalvo.models.rampnet._engine.Plan";

void destroy_plan(PyObject* capsule) {
    delete static_cast<engine::Plan*>(PyCapsule_GetPointer(capsule, kPlanName));
}

engine::Plan& plan_of(PyObject* capsule) {
    auto* plan = static_cast<engine::Plan*>(PyCapsule_GetPointer(capsule, kPlanName));
    if (plan == nullptr) qalvo::throw_pending();
    return *plan;
}

/// plan(estimator, what) -> the plan for "fit", "validate" or "predict", or None
Ref plan(PyObject* const* a) {
    const char* what = PyUnicode_Check(a[1]) ? PyUnicode_AsUTF8(a[1]) : nullptr;
    if (what == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "what must be a str");
        qalvo::throw_pending();
    }
    engine::Use use;
    if (std::strcmp(what, "fit") == 0) {
        use = engine::Use::kFit;
    } else if (std::strcmp(what, "validate") == 0) {
        use = engine::Use::kValidate;
    } else if (std::strcmp(what, "predict") == 0) {
        use = engine::Use::kPredict;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown use %R", a[1]);
        qalvo::throw_pending();
    }
    std::unique_ptr<engine::Plan> made = engine::read_plan(a[0], use);
    if (!made) return qalvo::none();
    PyObject* capsule = PyCapsule_New(made.get(), kPlanName, destroy_plan);
    if (capsule == nullptr) qalvo::throw_pending();
    made.release();
    return Ref::steal(capsule);
}

/// train_epoch(plan, estimator) -> the epoch's loss sum, or why not (a str)
Ref train_epoch(PyObject* const* a) {
    engine::Plan& plan = plan_of(a[0]);
    if (plan.use != engine::Use::kFit) return qalvo::py_str("the plan is not a fit's");
    if (const char* changed = engine::still_holds(plan, a[1], engine::Use::kFit)) {
        return qalvo::py_str(changed);
    }
    Ref loader = qalvo::getattr(a[1], qalvo::py_str("train_data_loader_"));
    std::optional<engine::LoaderView> view = engine::loader_of(loader, plan.device, plan.width);
    if (!view) return qalvo::py_str("the training loader's tensors do not fit the network");
    bool finished = false;
    std::exception_ptr failure;
    {
        ReleasedGil gil;
        if (plan.step_method) {
            plan.setup.external_step = [&gil, &plan] {
                return gil.with_gil([&plan] {
                    PyObject* r = PyObject_CallNoArgs(plan.step_method.get());
                    Py_XDECREF(r);
                    return r != nullptr;
                });
            };
        }
        try {
            if (view->shuffle) engine::shuffle(view->pass, view->n);
            finished = engine::train_pass(plan.setup, view->pass, view->n, view->batch_size,
                                          [&gil] { return gil.poll(); });
        } catch (...) {
            failure = std::current_exception();
        }
        plan.setup.external_step = nullptr;
    }
    {
        // What the generic path leaves also when a pass stops part-way: the
        // shuffled tensors, the cursor, the optimiser state of the steps
        // taken. The first error is the caller's: the pass's own failure, an
        // interrupt pending from it, or else one raised here.
        qalvo::PendingError interrupt;
        try {
            if (view->pass.batches > 0) engine::store_new_state(plan);
            engine::publish_loader(loader, *view);
        } catch (qalvo::PythonError&) {
            if (!failure) throw;
            PyErr_Clear();
        }
    }
    if (failure) std::rethrow_exception(failure);
    if (!finished) qalvo::throw_pending();
    return engine::loss_sum(*view);
}

/// validate(plan, estimator) -> the validation loss sum, or why not (a str)
Ref validate(PyObject* const* a) {
    engine::Plan& plan = plan_of(a[0]);
    if (plan.use == engine::Use::kPredict) return qalvo::py_str("the plan is a prediction's");
    if (const char* changed = engine::still_holds(plan, a[1], engine::Use::kValidate)) {
        return qalvo::py_str(changed);
    }
    Ref loader = qalvo::getattr(a[1], qalvo::py_str("val_data_loader_"));
    std::optional<engine::LoaderView> view = engine::loader_of(loader, plan.device, plan.width);
    if (!view) return qalvo::py_str("the validation loader's tensors do not fit the network");
    bool finished;
    {
        ReleasedGil gil;
        if (view->shuffle) engine::shuffle(view->pass, view->n);
        finished = engine::validation_pass(plan.setup.layers, plan.setup.loss, view->pass, view->n,
                                           view->batch_size, [&gil] { return gil.poll(); });
    }
    if (!finished) qalvo::throw_pending();
    engine::publish_loader(loader, *view);
    return engine::loss_sum(*view);
}

/// raw_output(plan, x, batch_size) -> the (rows, 1) outputs, or None
Ref raw_output(PyObject* const* a) {
    engine::Plan& plan = plan_of(a[0]);
    auto x = engine::tensor_of(a[1]);
    auto batch_size = engine::int_of(a[2]);
    if (!x || !batch_size || *batch_size < 1) return qalvo::none();
    if (!engine::is_float64_on(*x, plan.device) || x->dim() != 2 || x->size(1) != plan.width ||
        x->size(0) < 1) {
        return qalvo::none();
    }
    at::Tensor result;
    bool finished;
    {
        ReleasedGil gil;
        finished = engine::output_pass(plan.setup.layers, *x, *batch_size, result,
                                       [&gil] { return gil.poll(); });
    }
    if (!finished) qalvo::throw_pending();
    return engine::wrap(result);
}

/// A METH_FASTCALL entry: argument count, then torch's translation of C++
/// errors into the Python exceptions its own bindings raise.
template <Ref (*F)(PyObject* const*), Py_ssize_t N>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != N) {
        PyErr_Format(PyExc_TypeError, "expected %zd arguments, got %zd", N, nargs);
        return nullptr;
    }
    HANDLE_TH_ERRORS
    try {
        return F(args).release();
    } catch (qalvo::PythonError&) {
        return nullptr;
    }
    END_HANDLE_TH_ERRORS
}

template <Ref (*F)(PyObject* const*), Py_ssize_t N>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F, N>));
}

PyMethodDef kMethods[] = {
    {"plan", fastcall<plan, 2>(), METH_FASTCALL,
     "The plan of a fit, a validation or a prediction of an estimator, or None."},
    {"train_epoch", fastcall<train_epoch, 2>(), METH_FASTCALL,
     "One epoch's training batches; the loss sum, or why not."},
    {"validate", fastcall<validate, 2>(), METH_FASTCALL,
     "The validation pass; the loss sum, or why not."},
    {"raw_output", fastcall<raw_output, 3>(), METH_FASTCALL, "Batched network outputs, or None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    try {
        engine::import_classes();
    } catch (qalvo::PythonError&) {
        return -1;
    }
    if (PyModule_AddStringConstant(module, "TORCH_VERSION", QALVO_TORCH_VERSION) < 0) return -1;
    return PyModule_AddIntConstant(module, "CXX11_ABI", _GLIBCXX_USE_CXX11_ABI);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    QALVO_ENGINE_MODULE,
    "The native training engine of RampNet (internal).",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// One module per torch it is built against (the build names it after that
// torch): QALVO_ENGINE_INIT is PyInit_<its name>.
PyMODINIT_FUNC QALVO_ENGINE_INIT(void) { return PyModuleDef_Init(&kDefinition); }
