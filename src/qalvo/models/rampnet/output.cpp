// Batched raw output of a fitted network.
#include "engine_bridge.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// Holds the detached batch outputs for stacking. A 2-D tensor output is
/// copied into its rows of one buffer made on the first batch, and the list
/// keeps that view instead: the same values, shape, dtype and device, so the
/// stacked result is unchanged. Kept as they come, the small outputs would be
/// carved out of the heap space just freed by the batch's activations, and
/// the allocator could not reuse that space for the next batch: the peak
/// memory would grow by about one activation buffer per batch.
class OutputRows {
public:
    /// `inputs`: the input tensor; anything else leaves the outputs as they are.
    explicit OutputRows(PyObject* inputs) {
        Ref torch_module = Ref::steal(PyImport_GetModule(S.torch));
        if (!torch_module && PyErr_Occurred()) throw_pending();
        if (torch_module) tensor_type_ = getattr_optional(torch_module, "Tensor");
        if (!is_tensor(inputs)) return;
        Ref shape = getattr(inputs, S.shape);
        if (length(shape) != 2) return;
        total_ = PyLong_AsSsize_t(item(shape, 0));
        if (total_ == -1 && PyErr_Occurred()) throw_pending();
    }

    /// The object to keep for `output` (a new reference).
    Ref keep(Ref output) {
        if (total_ < 0 || !is_tensor(output)) return output;
        Ref shape = getattr(output, S.shape);
        if (length(shape) != 2) return output;
        Py_ssize_t rows = PyLong_AsSsize_t(item(shape, 0));
        if (rows == -1 && PyErr_Occurred()) throw_pending();
        if (!buffer_) {
            Ref size = tuple(py_int(total_), item(shape, 1));
            buffer_ = call_method(output, S.new_empty, size);
        } else if (!compatible(output, shape)) {
            return output;
        }
        if (filled_ + rows > total_) return output;
        Ref slot = own(PySlice_New(py_int(filled_), py_int(filled_ + rows), nullptr));
        Ref part = getitem(buffer_, slot);
        call_method(part, S.copy_, output);
        filled_ += rows;
        return part;
    }

private:
    bool is_tensor(PyObject* o) const {
        return tensor_type_ && PyType_Check(tensor_type_.get()) &&
               PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(tensor_type_.get()));
    }

    bool compatible(PyObject* output, PyObject* shape) {
        Ref buffer_shape = getattr(buffer_, S.shape);
        return compare(item(shape, 1), item(buffer_shape, 1), Py_EQ) &&
               compare(getattr(output, S.dtype), getattr(buffer_, S.dtype), Py_EQ) &&
               compare(getattr(output, S.device), getattr(buffer_, S.device), Py_EQ);
    }

    Py_ssize_t total_ = -1;  ///< rows of the input; -1: keep outputs as they are
    Ref tensor_type_;
    Ref buffer_;
    Py_ssize_t filled_ = 0;
};

/// Network outputs for the rows of x, in row order, at most
/// batch_size_inference rows per forward pass; each batch output is detached
/// at once so its autograd history is released before the next batch runs.
Ref get_raw_output(Call& c, PyObject* self, PyObject* x_in) {
    c.L(452);
    Ref width = item(getattr(x_in, S.shape), 1);
    if (compare(width, getattr(self, S.n_features_), Py_NE)) {
        c.L(453);
        raise_object(B.ValueError, C.msg_width);
    }
    c.L(456);
    Ref pred = own(PyList_New(0));
    c.L(457);
    call_method(getattr(self, S.net_), S.eval);
    c.L(458);
    Ref as_array = call(getattr(global(S.np), S.asarray), x_in);
    Ref rows = call_method(as_array, S.reshape, C.int_minus_1, getattr(self, S.n_features_));
    // The native engine reads a float64 C-contiguous input in place and
    // writes the outputs into one result.
    if (Ref outputs = engine_raw_output(self, rows)) return outputs;
    c.L(459);
    Ref from_numpy = getattr(global(S.torch), S.from_numpy);
    Ref float64 = getattr(global(S.np), S.double_);
    Ref x = call_method(call(from_numpy, call_method(rows, S.astype, float64)), S.to,
                        getattr(self, S.device));
    c.L(460);
    Ref minimum = getattr(global(S.np), S.minimum);
    Ref bound = getattr(self, S.batch_size_inference);
    Ref batch_size =
        own(PyNumber_Long(call(minimum, bound, item(getattr(x, S.shape), 0))));
    c.L(461);
    Ref loader = call_kw(global(S.FastTensorDataLoader), C.kw_batch_size_shuffle, x, batch_size,
                         Py_False);
    c.L(462);
    OutputRows kept(x);
    Ref batches = iter(loader);
    while (true) {
        c.L(462);
        Ref batch = next(batches);
        if (!batch) break;
        c.L(463);
        Ref net = getattr(self, S.net_);
        Ref output = call_method(call(net, item(batch, 0)), S.detach);
        call_method(pred, S.append, kept.keep(std::move(output)));
    }
    c.L(464);
    return call(getattr(global(S.torch), S.vstack), pred);
}

}  // namespace

const FunctionSpec kGetRawOutput = {
    "get_raw_output", "RampNet.get_raw_output", 433, {"self", "x"}, nullptr, {},
    "Returns numpy array of raw predicted value before softmax.\n\n"
    "The result is in fact a torch tensor, not a NumPy array: the fitted\n"
    "network's output for each row, computed in batches of at most\n"
    "``batch_size_inference`` rows. ``predict`` (regressor) and\n"
    "``decision_function`` (classifier) validate x first and return this\n"
    "output as a flat NumPy array.\n\n"
    "Parameters\n"
    "----------\n"
    "x : array-like of shape (n_samples, n_features)\n"
    "    Rows of the width seen in fit; not validated beyond that width.\n\n"
    "Returns\n"
    "-------\n"
    "torch.Tensor of shape (n_samples, 1), float64\n"
    "    The network's output (for the classifier, the logit of\n"
    "    ``classes_[1]``), detached from autograd, on ``device``.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If x has another number of features than the data of fit.",
    body<get_raw_output>,
};

}  // namespace rampnet
