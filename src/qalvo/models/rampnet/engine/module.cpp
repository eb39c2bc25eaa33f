// qalvo.models.rampnet._engine: the Python entry points of the native training
// engine. The estimator module decides when the engine may run (the standard
// configuration, see _engine_gate.py); these functions take the very tensors
// Python holds, check what only the tensors can tell (exact type, float64, one
// device, shapes), run a batch loop of passes.cpp with the GIL released, and
// leave behind exactly what the generic path leaves. A function answers None
// where it cannot take the job, and the caller runs the generic path instead.
#include "passes.hpp"
#include "ref.hpp"

#include <torch/csrc/Exceptions.h>
#include <torch/csrc/autograd/python_variable.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

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

/// The tensor held by an exact torch.Tensor or nn.Parameter, else nothing.
std::optional<at::Tensor> tensor_of(PyObject* o) {
    if (!THPVariable_CheckExact(o)) return std::nullopt;
    return THPVariable_Unpack(o);
}

bool is_float64_on(const at::Tensor& t, const at::Device& device) {
    return t.scalar_type() == at::kDouble && t.layout() == at::kStrided && t.device() == device;
}

/// An exact int, or nothing (also on overflow, which is then cleared).
std::optional<int64_t> int_of(PyObject* o) {
    if (!PyLong_CheckExact(o)) return std::nullopt;
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

/// The layers (kind, weight, bias) / (kind,) / (kind, p), checked to chain
/// from `width` input columns to one output on one device, in float64.
std::optional<std::vector<engine::Layer>> layers_of(PyObject* list, at::Device& device,
                                                    int64_t& width) {
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) == 0) return std::nullopt;
    std::vector<engine::Layer> layers;
    std::optional<at::Device> seen;
    int64_t in = -1;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        PyObject* entry = PyList_GET_ITEM(list, k);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) < 1) return std::nullopt;
        std::optional<int64_t> kind = int_of(PyTuple_GET_ITEM(entry, 0));
        if (!kind) return std::nullopt;
        engine::Layer layer{static_cast<engine::Layer::Kind>(*kind), {}, {}, 0.0};
        if (*kind == engine::Layer::kLinear && PyTuple_GET_SIZE(entry) == 3) {
            auto weight = tensor_of(PyTuple_GET_ITEM(entry, 1));
            auto bias = tensor_of(PyTuple_GET_ITEM(entry, 2));
            if (!weight || !bias) return std::nullopt;
            if (!seen) seen = weight->device();
            if (!is_float64_on(*weight, *seen) || !is_float64_on(*bias, *seen)) return std::nullopt;
            if (weight->dim() != 2 || bias->dim() != 1 || bias->size(0) != weight->size(0)) {
                return std::nullopt;
            }
            if (in >= 0 && weight->size(1) != in) return std::nullopt;
            if (in < 0) width = weight->size(1);
            in = weight->size(0);
            layer.weight = *weight;
            layer.bias = *bias;
        } else if (*kind == engine::Layer::kRelu && PyTuple_GET_SIZE(entry) == 1) {
        } else if (*kind == engine::Layer::kDropout && PyTuple_GET_SIZE(entry) == 2) {
            PyObject* p = PyTuple_GET_ITEM(entry, 1);
            if (!PyFloat_CheckExact(p)) return std::nullopt;
            layer.p = PyFloat_AS_DOUBLE(p);
            if (!(layer.p >= 0.0 && layer.p <= 1.0)) return std::nullopt;
        } else {
            return std::nullopt;
        }
        layers.push_back(std::move(layer));
    }
    if (layers.front().kind != engine::Layer::kLinear || layers.back().kind != engine::Layer::kLinear ||
        in != 1) {
        return std::nullopt;
    }
    device = *seen;
    return layers;
}

std::optional<engine::Loss> loss_of(PyObject* o) {
    std::optional<int64_t> kind = int_of(o);
    if (!kind || (*kind != 0 && *kind != 1)) return std::nullopt;
    return static_cast<engine::Loss>(*kind);
}

/// A loader's attributes, as its __iter__ and __next__ read them.
struct LoaderView {
    engine::Pass pass;
    int64_t n = 0, batch_size = 1;
    bool shuffle = false;
};

/// Reads the loader of (features, targets) pairs; nothing when it holds other
/// than two float64 tensors of n rows on `device` whose batches make a loss
/// input of the network's width (one target per row).
std::optional<LoaderView> loader_of(PyObject* loader, const at::Device& device, int64_t width) {
    Ref tensors = qalvo::getattr_optional(loader, "tensors");
    Ref n = qalvo::getattr_optional(loader, "dataset_len");
    Ref batch_size = qalvo::getattr_optional(loader, "batch_size");
    Ref shuffle = qalvo::getattr_optional(loader, "shuffle");
    if (!tensors || !n || !batch_size || !shuffle) return std::nullopt;
    if (!(PyTuple_CheckExact(tensors.get()) || PyList_CheckExact(tensors.get())) ||
        PySequence_Fast_GET_SIZE(tensors.get()) != 2) {
        return std::nullopt;
    }
    LoaderView view;
    auto rows = int_of(n), size = int_of(batch_size);
    if (!rows || !size || *rows < 0 || *size < 1) return std::nullopt;
    view.n = *rows;
    view.batch_size = *size;
    view.shuffle = qalvo::truth(shuffle);
    auto features = tensor_of(PySequence_Fast_GET_ITEM(tensors.get(), 0));
    auto targets = tensor_of(PySequence_Fast_GET_ITEM(tensors.get(), 1));
    if (!features || !targets) return std::nullopt;
    if (!is_float64_on(*features, device) || !is_float64_on(*targets, device)) return std::nullopt;
    if (features->dim() != 2 || features->size(0) != view.n || features->size(1) != width) {
        return std::nullopt;
    }
    const bool one_per_row = targets->dim() == 1 || (targets->dim() == 2 && targets->size(1) == 1);
    if (!one_per_row || targets->size(0) != view.n) return std::nullopt;
    if (features->requires_grad() || targets->requires_grad()) return std::nullopt;
    view.pass.features = *features;
    view.pass.targets = *targets;
    return view;
}

/// What the loader holds after the pass: the reshuffled tensors (a new list,
/// as __iter__ stores them) and the cursor.
void publish_loader(PyObject* loader, const LoaderView& view) {
    if (view.shuffle) {
        Ref shuffled = qalvo::list(own(THPVariable_Wrap(view.pass.features)),
                                   own(THPVariable_Wrap(view.pass.targets)));
        qalvo::check(PyObject_SetAttrString(loader, "tensors", shuffled));
    }
    Ref cursor = qalvo::py_int(view.pass.cursor);
    qalvo::check(PyObject_SetAttrString(loader, "i", cursor));
}

/// The running sum as the generic path leaves it: the int 0 before any
/// batch, a numpy.float64 after. Float64 addition gives the same sum in any
/// code, except which NaN (sign, payload) comes out where two meet: then
/// `host_sum` repeats numpy's own additions.
Ref loss_sum(const LoaderView& view, PyObject* float64, PyObject* host_sum) {
    const std::vector<double>& losses = view.pass.losses;
    if (losses.empty()) return qalvo::py_int(0);
    double sum = 0.0;
    bool nan = false;
    for (double v : losses) {
        nan = nan || std::isnan(v);
        sum += v;
    }
    if (!nan) return qalvo::call(float64, qalvo::py_float(sum));
    Ref values = own(PyList_New(0));
    for (double v : losses) qalvo::append(values, qalvo::py_float(v));
    return qalvo::call(host_sum, values);
}

// ---- the training plan ------------------------------------------------------

/// Everything one _fit_bp call trains with, kept in a capsule between epochs.
struct FitPlan {
    engine::TrainSetup setup;
    at::Device device{at::kCPU};
    int64_t width = 0;
    Ref float64;        ///< numpy.float64
    Ref host_sum;       ///< the generic path's summation, for NaN losses
    Ref step_method;    ///< optimizer_.step where torch takes another Adam (CUDA)
    Ref pending_state;  ///< stores the Adam state created for the first step, or None
};

const char* const kPlanName = "qalvo.models.rampnet._engine.FitPlan";

void destroy_plan(PyObject* capsule) {
    delete static_cast<FitPlan*>(PyCapsule_GetPointer(capsule, kPlanName));
}

std::vector<at::Tensor> tensors_of(PyObject* list, const at::Device& device, bool& ok) {
    std::vector<at::Tensor> out;
    ok = PyList_CheckExact(list);
    for (Py_ssize_t k = 0; ok && k < PyList_GET_SIZE(list); ++k) {
        auto t = tensor_of(PyList_GET_ITEM(list, k));
        ok = t && is_float64_on(*t, device);
        if (ok) out.push_back(*t);
    }
    return out;
}

/// fit_plan(layers, loss, params, states, penalized, masks, l1, lr, step,
///          pending_state, float64, host_sum) -> capsule, or None
Ref fit_plan(PyObject* const* a) {
    auto plan = std::make_unique<FitPlan>();
    auto layers = layers_of(a[0], plan->device, plan->width);
    auto loss = loss_of(a[1]);
    if (!layers || !loss) return qalvo::none();
    plan->setup.layers = std::move(*layers);
    plan->setup.loss = *loss;
    bool ok = true;
    std::vector<at::Tensor> params = tensors_of(a[2], plan->device, ok);
    if (!ok) return qalvo::none();
    plan->setup.penalized = tensors_of(a[4], plan->device, ok);
    if (!ok) return qalvo::none();
    if (a[5] != Py_None) {
        plan->setup.masks = tensors_of(a[5], plan->device, ok);
        if (!ok || plan->setup.masks.size() != plan->setup.penalized.size()) return qalvo::none();
        for (size_t k = 0; k < plan->setup.masks.size(); ++k) {
            if (!plan->setup.masks[k].sizes().equals(plan->setup.penalized[k].sizes())) {
                return qalvo::none();
            }
        }
    }
    for (const at::Tensor& p : params) {
        if (!p.requires_grad() || !p.is_leaf()) return qalvo::none();
    }
    if (!PyFloat_CheckExact(a[6]) || !PyFloat_CheckExact(a[7])) return qalvo::none();
    plan->setup.l1 = PyFloat_AS_DOUBLE(a[6]);
    plan->setup.lr = PyFloat_AS_DOUBLE(a[7]);
    if (a[8] != Py_None) {
        plan->step_method = newref(a[8]);
        for (const at::Tensor& p : params) plan->setup.slots.push_back({p, {}, {}, {}});
    } else {
        // states: one (step, exp_avg, exp_avg_sq) per parameter
        if (!PyList_CheckExact(a[3]) || PyList_GET_SIZE(a[3]) != (Py_ssize_t)params.size()) {
            return qalvo::none();
        }
        for (size_t k = 0; k < params.size(); ++k) {
            PyObject* entry = PyList_GET_ITEM(a[3], k);
            if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 3) return qalvo::none();
            auto step = tensor_of(PyTuple_GET_ITEM(entry, 0));
            auto exp_avg = tensor_of(PyTuple_GET_ITEM(entry, 1));
            auto exp_avg_sq = tensor_of(PyTuple_GET_ITEM(entry, 2));
            if (!step || !exp_avg || !exp_avg_sq) return qalvo::none();
            const bool step_ok = step->dim() == 0 && step->device().is_cpu() &&
                                 (step->scalar_type() == at::kFloat ||
                                  step->scalar_type() == at::kDouble);
            const bool moments_ok = is_float64_on(*exp_avg, plan->device) &&
                                    is_float64_on(*exp_avg_sq, plan->device) &&
                                    exp_avg->sizes().equals(params[k].sizes()) &&
                                    exp_avg_sq->sizes().equals(params[k].sizes());
            if (!step_ok || !moments_ok) return qalvo::none();
            plan->setup.slots.push_back({params[k], *step, *exp_avg, *exp_avg_sq});
        }
    }
    plan->pending_state = newref(a[9]);
    plan->float64 = newref(a[10]);
    plan->host_sum = newref(a[11]);
    PyObject* capsule = PyCapsule_New(plan.get(), kPlanName, destroy_plan);
    if (capsule == nullptr) qalvo::throw_pending();
    plan.release();
    return Ref::steal(capsule);
}

/// Stores the Adam state that the first optimiser step creates lazily (the
/// gate's callable fills optimizer_.state), once.
void store_new_state(FitPlan& plan) {
    if (!plan.pending_state || plan.pending_state.get() == Py_None) return;
    Ref store = std::move(plan.pending_state);
    plan.pending_state = newref(Py_None);
    qalvo::call(store);
}

/// Keeps a pending Python error aside while bookkeeping runs Python calls.
class ErrorAside {
public:
    ErrorAside() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorAside() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject *type_, *value_, *tb_;
};

/// train_epoch(plan, loader) -> the epoch's loss sum, or None for the generic epoch
Ref train_epoch(PyObject* const* a) {
    auto* plan = static_cast<FitPlan*>(PyCapsule_GetPointer(a[0], kPlanName));
    if (plan == nullptr) qalvo::throw_pending();
    std::optional<LoaderView> view = loader_of(a[1], plan->device, plan->width);
    if (!view) return qalvo::none();
    bool finished = false;
    std::exception_ptr failure;
    {
        ReleasedGil gil;
        if (plan->step_method) {
            plan->setup.external_step = [&gil, plan] {
                return gil.with_gil([plan] {
                    PyObject* r = PyObject_CallNoArgs(plan->step_method.get());
                    Py_XDECREF(r);
                    return r != nullptr;
                });
            };
        }
        try {
            if (view->shuffle) engine::shuffle(view->pass, view->n);
            finished = engine::train_pass(plan->setup, view->pass, view->n, view->batch_size,
                                          [&gil] { return gil.poll(); });
        } catch (...) {
            failure = std::current_exception();
        }
        plan->setup.external_step = nullptr;
    }
    {
        // What the generic path leaves also when a pass stops part-way: the
        // shuffled tensors, the cursor, the optimiser state of the steps taken.
        ErrorAside aside;
        if (view->pass.batches > 0 && !plan->step_method) store_new_state(*plan);
        publish_loader(a[1], *view);
    }
    if (failure) std::rethrow_exception(failure);
    if (!finished) qalvo::throw_pending();
    return loss_sum(*view, plan->float64, plan->host_sum);
}

/// validate(layers, loss, loader, float64, host_sum) -> the loss sum, or None
Ref validate(PyObject* const* a) {
    at::Device device(at::kCPU);
    int64_t width = 0;
    auto layers = layers_of(a[0], device, width);
    auto loss = loss_of(a[1]);
    if (!layers || !loss) return qalvo::none();
    std::optional<LoaderView> view = loader_of(a[2], device, width);
    if (!view) return qalvo::none();
    bool finished;
    {
        ReleasedGil gil;
        if (view->shuffle) engine::shuffle(view->pass, view->n);
        finished = engine::validation_pass(*layers, *loss, view->pass, view->n, view->batch_size,
                                           [&gil] { return gil.poll(); });
    }
    if (!finished) qalvo::throw_pending();
    publish_loader(a[2], *view);
    return loss_sum(*view, a[3], a[4]);
}

/// raw_output(layers, x, batch_size) -> the (rows, 1) outputs, or None
Ref raw_output(PyObject* const* a) {
    at::Device device(at::kCPU);
    int64_t width = 0;
    auto layers = layers_of(a[0], device, width);
    auto x = tensor_of(a[1]);
    auto batch_size = int_of(a[2]);
    if (!layers || !x || !batch_size || *batch_size < 1) return qalvo::none();
    if (!is_float64_on(*x, device) || x->dim() != 2 || x->size(1) != width || x->size(0) < 1) {
        return qalvo::none();
    }
    at::Tensor result;
    bool finished;
    {
        ReleasedGil gil;
        finished = engine::output_pass(*layers, *x, *batch_size, result,
                                       [&gil] { return gil.poll(); });
    }
    if (!finished) qalvo::throw_pending();
    return own(THPVariable_Wrap(result));
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

PyMethodDef kMethods[] = {
    {"fit_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<fit_plan, 12>)),
     METH_FASTCALL, "The training plan of one _fit_bp call, or None."},
    {"train_epoch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<train_epoch, 2>)),
     METH_FASTCALL, "One epoch's training batches; the loss sum, or None."},
    {"validate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<validate, 5>)),
     METH_FASTCALL, "The validation pass; the loss sum, or None."},
    {"raw_output",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<raw_output, 3>)),
     METH_FASTCALL, "Batched network outputs, or None."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (PyModule_AddStringConstant(module, "TORCH_VERSION", QALVO_TORCH_VERSION) < 0) return -1;
    return PyModule_AddIntConstant(module, "CXX11_ABI", _GLIBCXX_USE_CXX11_ABI);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The native training engine of RampNet (internal).",
    0,
    kMethods,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&kDefinition); }
