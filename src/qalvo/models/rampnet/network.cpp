// RampNetModule, the float64 ReLU network, and RampNet._build_net, which builds
// it with one output unit on the estimator's device together with its optimiser.
#include "globals.hpp"
#include "unpack.hpp"
#include "methods.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

Ref module_init(Call& c, PyObject* self, PyObject* net_size, PyObject* dropout_prob) {
    c.L(75);
    Ref base = call(B.super, global(S.RampNetModule), self);
    call_method(base, S.init);

    c.L(77);
    setattr(self, S.layers, own(PyList_New(0)));
    c.L(78);
    Ref all_but_last = own(PySlice_New(nullptr, C.int_minus_1, nullptr));
    Ref hidden_pairs = iter(getitem(net_size, all_but_last));
    while (Ref pair = next(hidden_pairs)) {
        c.L(79);
        Ref nn_ = global(S.nn);
        Ref linear = call(getattr(nn_, S.Linear), item(pair, 0), item(pair, 1));
        call_method(getattr(self, S.layers), S.append, linear);
        c.L(80);
        call_method(getattr(self, S.layers), S.append, call(getattr(global(S.nn), S.ReLU)));
        c.L(81);
        if (compare(dropout_prob, C.int_0, Py_GT)) {
            c.L(82);
            Ref dropout = call(getattr(global(S.nn), S.Dropout), dropout_prob);
            call_method(getattr(self, S.layers), S.append, dropout);
        }
        c.L(78);
    }
    c.L(83);
    Ref last = item(net_size, -1);
    Ref output = call(getattr(global(S.nn), S.Linear), item(last, 0), item(last, 1));
    call_method(getattr(self, S.layers), S.append, output);
    c.L(84);
    Ref layers = own(PySequence_Tuple(getattr(self, S.layers)));
    Ref stack = own(PyObject_Call(getattr(global(S.nn), S.Sequential), layers, nullptr));
    setattr(self, S.net, call_method(stack, S.to, getattr(global(S.torch), S.double_)));
    c.L(85);
    setattr(self, S.activation_func, call(getattr(global(S.nn), S.ReLU)));
    return none();
}

/// Lists (name, parameter) pairs of the weights and of the biases, in order.
Ref module_get_params(Call& c, PyObject* self) {
    c.L(99);
    setattr(self, S.weights, own(PyList_New(0)));
    c.L(100);
    setattr(self, S.biases, own(PyList_New(0)));
    c.L(101);
    Ref it = iter(call_method(self, S.named_parameters));
    Ref weight_text = py_str("weight");
    Ref bias_text = py_str("bias");
    while (Ref item = next(it)) {
        auto [name, parameter] = unpack<2>(item);
        c.L(102);
        if (check(PySequence_Contains(name, weight_text))) {
            c.L(103);
            call_method(getattr(self, S.weights), S.append, tuple(name, parameter));
        } else {
            c.L(104);
            if (check(PySequence_Contains(name, bias_text))) {
                c.L(105);
                call_method(getattr(self, S.biases), S.append, tuple(name, parameter));
            }
        }
        c.L(101);
    }
    return none();
}

Ref module_forward(Call& c, PyObject* self, PyObject* inputs) {
    c.L(120);
    return call_method(self, S.net, inputs);
}

/// Sizes [n_features_, *hidden_layer_sizes, 1] as consecutive (in, out) pairs.
Ref layer_pairs(Call& c, PyObject* self) {
    c.L(172);
    Ref hidden_list = own(PyList_New(0));
    append(hidden_list, getattr(self, S.n_features_));
    Ref hidden = own(PySequence_List(getattr(self, S.hidden_layer_sizes)));
    hidden_list = num::add(hidden_list, hidden);
    append(hidden_list, C.int_1);
    c.L(173);
    Ref pairs = own(PyList_New(0));
    Py_ssize_t n = PyList_GET_SIZE(hidden_list.get());
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        c.L(174);
        append(pairs, tuple(PyList_GET_ITEM(hidden_list.get(), i),
                            PyList_GET_ITEM(hidden_list.get(), i + 1)));
    }
    return pairs;
}

Ref build_net(Call& c, PyObject* self) {
    Ref hidden_tuples = layer_pairs(c, self);
    c.L(177);
    Ref network = call(global(S.RampNetModule), hidden_tuples, getattr(self, S.dropout_prob));
    c.L(178);
    setattr(self, S.net_, call_method(network, S.to, getattr(self, S.device)));
    c.L(179);
    Ref adam = getattr(getattr(global(S.torch), S.optim), S.Adam);
    Ref parameters = call_method(getattr(self, S.net_), S.parameters);
    c.L(180);
    setattr(self, S.optimizer_, call_kw(adam, C.kw_lr, parameters, getattr(self, S.learning_rate)));
    c.L(182);
    call_method(getattr(self, S.net_), S.get_params);
    return none();
}

}  // namespace

const FunctionSpec kModuleInit = {
    "__init__", "RampNetModule.__init__", 66, {"self", "net_size", "dropout_prob"}, nullptr, {},
    "Initializes a Neural Network with ReLU activation (self.net).\n\n"
    "Parameters\n"
    "----------\n"
    "net_size : list of (int, int)\n"
    "    (inputs, outputs) of each linear layer, input side first; consecutive\n"
    "    pairs chain.\n"
    "dropout_prob : float, default=0.0\n"
    "    Dropout probability after each hidden ReLU; no dropout layers unless\n"
    "    positive. The output layer has no activation and no dropout.",
    body<module_init>,
};

const FunctionSpec kModuleGetParams = {
    "get_params", "RampNetModule.get_params", 87, {"self"}, nullptr, {},
    "Retrieves the parameters i.e, weights and biases of the model.\n\n"
    "Rebuilds ``weights`` and ``biases``: lists of (name, parameter) pairs of\n"
    "the linear layers, in layer order. The pairs hold the live parameters.",
    body<module_get_params>,
};

const FunctionSpec kModuleForward = {
    "forward", "RampNetModule.forward", 107, {"self", "inputs"}, nullptr, {},
    "Performs forward pass through the Neural Network.\n\n"
    "Parameters\n"
    "----------\n"
    "inputs : torch.Tensor of shape (n_samples, n_inputs), float64\n\n"
    "Returns\n"
    "-------\n"
    "torch.Tensor of shape (n_samples, n_outputs)",
    body<module_forward>,
};

const FunctionSpec kBuildNet = {
    "_build_net", "RampNet._build_net", 168, {"self"}, nullptr, {},
    "Internal function that builds the network architecture.\n\n"
    "Creates ``net_`` (one output unit, on ``device``) and its Adam optimiser\n"
    "``optimizer_``, and lists the network's weights and biases.",
    body<build_net>,
};

}  // namespace rampnet
