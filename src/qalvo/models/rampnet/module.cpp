// Load-time set-up of qalvo.models.rampnet.rampnet: imports bound to module
// globals, then the five classes, each created through its bases' metaclass.
#include "classes.hpp"
#include "engine_bridge.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "module.hpp"
#include "names.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

void keep_builtins() {
    B.StopIteration = builtin(S.StopIteration).release();
    B.super = builtin(S.super).release();
    B.range = builtin(S.range).release();
    B.enumerate = builtin(S.enumerate).release();
    B.print = builtin(S.print).release();
    B.KeyError = builtin(S.KeyError).release();
    B.ValueError = builtin(S.ValueError).release();
}

/// from <module> import <names...>, binding each under its own name.
template <class... N>
void import_names(const char* module, N... names) {
    Ref fromlist = list(names...);
    Ref imported = import_module(module, fromlist);
    for (PyObject* name : {static_cast<PyObject*>(names)...}) {
        set_global(name, import_from(imported, name));
    }
}

/// Binds a class of the module under its name; the engine runs only while
/// the class keeps the namespace it was created with.
void bind_class(PyObject* name, Ref cls) {
    remember_created_class(cls);
    set_global(name, cls);
}

Ref bases_of(std::initializer_list<PyObject*> names) {
    Ref bases = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : names) PyTuple_SET_ITEM(bases.get(), i++, global(name).release());
    return bases;
}

void create_loader_class() {
    Ref no_bases = own(PyTuple_New(0));
    ClassBuilder cls(S.FastTensorDataLoader, no_bases, kLoaderClassDoc);
    Ref kwdefaults = own(PyDict_New());
    Ref batch_size_default = py_int(32);
    check(PyDict_SetItemString(kwdefaults, "batch_size", batch_size_default));
    check(PyDict_SetItemString(kwdefaults, "shuffle", Py_False));
    cls.add_method(kLoaderInit, nullptr, kwdefaults);
    cls.add_method(kLoaderIter);
    cls.add_method(kLoaderNext);
    cls.add_method(kLoaderLen);
    Ref loader_class = cls.create();
    // Pickle and copy leave the loaders' rows out (see the reducer); registered
    // with copyreg so the class itself keeps exactly its own methods.
    Ref copyreg = import_module("copyreg");
    call_method(copyreg, S.pickle, loader_class, make_function(kReduceLoader));
    bind_class(S.FastTensorDataLoader, std::move(loader_class));
}

void create_module_class() {
    Ref torch_nn = global(S.nn);
    Ref bases = tuple(getattr(torch_nn, S.Module));
    ClassBuilder cls(S.RampNetModule, bases);
    cls.add_method(kModuleInit, tuple(C.float_0));
    cls.add_method(kModuleGetParams);
    cls.add_method(kModuleForward);
    bind_class(S.RampNetModule, cls.create());
}

/// Defaults of RampNet.__init__ after loss_fn and hidden_layer_sizes.
Ref base_defaults() {
    return tuple(C.float_0, py_int(1000), py_float(0.001), py_int(100), py_int(10000), C.float_0,
                 py_float(0.2), py_int(20), Py_False, C.int_0, C.int_0, py_str("cpu"), Py_False,
                 C.int_0);
}

/// Defaults of the concrete constructors; (40, 40) is the one shared object.
Ref estimator_defaults() {
    return tuple(C.default_hidden_sizes, C.float_0, py_int(1000), py_float(0.001), py_int(100),
                 py_int(10000), C.float_0, py_float(0.2), py_int(20), Py_False, py_int(50),
                 py_float(0.1), py_str("cpu"), Py_False, C.int_0);
}

void create_base_class() {
    ClassBuilder cls(S.RampNet, bases_of({S.BaseEstimator}));
    cls.add_method(kRampNetInit, base_defaults());
    for (const FunctionSpec* spec :
         {&kSetSeed, &kBuildNet, &kPrepareData, &kValidate, &kCheckImprovement,
          &kHardThresholdingWeight, &kHardThresholdingGradient, &kFitBp, &kFitIht, &kFit,
          &kGetRawOutput}) {
        cls.add_method(*spec);
    }
    bind_class(S.RampNet, cls.create());
}

void create_regressor_class() {
    ClassBuilder cls(S.RampNetRegressor, bases_of({S.RegressorMixin, S.RampNet}));
    cls.add_method(kRegressorInit, estimator_defaults());
    cls.add_method(kRegressorValidateInput);
    cls.add_method(kRegressorPredict);
    bind_class(S.RampNetRegressor, cls.create());
}

void create_classifier_class() {
    ClassBuilder cls(S.RampNetClassifier, bases_of({S.ClassifierMixin, S.RampNet}));
    cls.add_method(kClassifierInit, estimator_defaults());
    for (const FunctionSpec* spec : {&kMoreTags, &kClassifierValidateInput, &kDecisionFunction,
                                     &kPredictProba, &kClassifierPredict, &kSklearnTags}) {
        cls.add_method(*spec);
    }
    bind_class(S.RampNetClassifier, cls.create());
}

void exec_body(ModuleInit& m) {
    init_constants();
    keep_builtins();

    m.L(1);
    set_global(S.os, import_module("os"));
    m.L(2);
    set_global(S.copy, import_module("copy"));
    m.L(3);
    set_global(S.torch, import_module("torch"));
    m.L(4);
    // A non-empty from-list makes the import return torch.nn itself.
    set_global(S.nn, import_module("torch.nn", list(py_str("*"))));
    m.L(6);
    set_global(S.np, import_module("numpy"));
    m.L(7);
    import_names("sklearn.utils", S.column_or_1d);
    m.L(8);
    import_names("sklearn.utils.extmath", S.softmax);
    m.L(9);
    import_names("sklearn.preprocessing", S.LabelBinarizer);
    m.L(10);
    import_names("sklearn.model_selection", S.train_test_split);
    m.L(11);
    import_names("sklearn.utils.validation", S.check_is_fitted);
    m.L(12);
    import_names("sklearn.base", S.RegressorMixin, S.ClassifierMixin, S.BaseEstimator);

    m.L(15);
    create_loader_class();
    m.L(65);
    create_module_class();
    m.L(124);
    create_base_class();
    m.L(471);
    create_regressor_class();
    m.L(597);
    create_classifier_class();
    m.L(1);
    set_global(S.test_, own(PyDict_New()));
}

const ModuleDescription kDescription = {
    "rampnet",
    "qalvo.models.rampnet.rampnet",
    "qalvo\\models\\rampnet\\rampnet",
    exec_body,
};

}  // namespace

Ref not_implemented(Call& call, PyObject* const*) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet",
                 call.function()->spec->qualname);
    throw_pending();
}

}  // namespace rampnet

PyMODINIT_FUNC PyInit_rampnet(void) { return qalvo::module_definition(rampnet::kDescription); }
