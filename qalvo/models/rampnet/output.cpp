// Batched raw output of a fitted network.
#include "globals.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

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
    Ref batches = iter(loader);
    while (true) {
        c.L(462);
        Ref batch = next(batches);
        if (!batch) break;
        c.L(463);
        Ref net = getattr(self, S.net_);
        Ref output = call_method(call(net, item(batch, 0)), S.detach);
        call_method(pred, S.append, output);
    }
    c.L(464);
    return call(getattr(global(S.torch), S.vstack), pred);
}

}  // namespace

const FunctionSpec kGetRawOutput = {
    "get_raw_output", "RampNet.get_raw_output", 433, {"self", "x"}, nullptr, {},
    "Returns numpy array of raw predicted value before softmax.",
    body<get_raw_output>,
};

}  // namespace rampnet
