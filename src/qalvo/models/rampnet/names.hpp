// Names and constant objects of the rampnet module, created once at load time.
#pragma once

#include "interned.hpp"

// Global and attribute names used by the method bodies.
#define RAMPNET_NAMES(X, XS)                                                           \
    /* module globals */                                                               \
    X(os) X(copy) X(torch) X(nn) X(np) X(column_or_1d) X(softmax) X(LabelBinarizer)     \
    X(train_test_split) X(check_is_fitted) X(RegressorMixin) X(ClassifierMixin)        \
    X(BaseEstimator) X(FastTensorDataLoader) X(RampNetModule) X(RampNet)               \
    X(RampNetRegressor) X(RampNetClassifier) XS(test_, "__test__")                              \
    /* built-ins kept for the methods */                                               \
    X(StopIteration) X(super) X(range) X(enumerate) X(print) X(KeyError) X(ValueError) \
    /* estimator parameters */                                                         \
    X(loss_fn) X(hidden_layer_sizes) X(dropout_prob) X(max_epochs) X(learning_rate)    \
    X(batch_size) X(batch_size_inference) X(l1_reg) X(val_ratio) X(n_epoch_no_change)  \
    X(iht) X(phase_epochs) X(threshold) X(device) X(verbose) X(random_state)           \
    /* fitted attributes */                                                            \
    X(n_features_) X(train_data_loader_) X(val_data_loader_) X(net_) X(optimizer_)     \
    X(iht_status_) X(best_loss_) X(best_net_) X(no_improved_count_)                    \
    X(train_epoch_loss_) X(valid_epoch_loss_) X(param_fac) X(is_fitted_) X(coefs_)     \
    X(intercepts_) X(label_binarizer_) X(classes_)                                     \
    /* methods */                                                                      \
    XS(init, "__init__") X(_set_seed) X(_build_net) X(_prepare_data) X(_validate)               \
    X(_check_improvement) X(_hard_thresholding_weight) X(_hard_thresholding_gradient)  \
    X(_fit_bp) X(_fit_iht) X(fit) X(get_raw_output) X(_validate_input) X(predict)      \
    X(decision_function) X(predict_proba) X(_validate_data) X(_more_tags)              \
    X(get_params) XS(sklearn_tags, "__sklearn_tags__")                                  \
    /* scikit-learn's input check and tags (1.6+) */                                   \
    X(validate_data) X(classifier_tags) X(multi_class) X(_num_features)                                 \
    /* seeds drawn from None, a RandomState or a Generator */                          \
    X(default_rng) X(integers) X(randint)                                              \
    /* loader attributes */                                                            \
    X(tensors) X(dataset_len) X(shuffle) X(n_batches) X(i) X(shape)                    \
    /* network attributes */                                                           \
    X(layers) X(net) X(activation_func) X(weights) X(biases) X(named_parameters)       \
    X(parameters) X(Module) X(Linear) X(ReLU) X(Dropout) X(Sequential) X(Parameter)    \
    X(MSELoss) X(BCEWithLogitsLoss) X(optim) X(Adam) X(lr) X(to) XS(double_, "double") X(eval)     \
    X(train) X(state_dict) X(copy_) X(deepcopy) X(zero_grad) X(set_to_none) X(step)    \
    X(backward) X(retain_graph) X(grad) X(requires_grad) X(size) X(dtype) X(abs)       \
    /* torch and numpy functions */                                                    \
    X(random) X(seed) X(manual_seed) X(environ) X(inf) X(detach) X(cpu) X(numpy)       \
    X(T) X(append) X(tensor) X(from_numpy) X(randperm) X(cat) X(norm) X(ones)          \
    X(vstack) X(no_grad) X(floor) X(asarray) X(minimum) X(array) X(reshape) X(astype)  \
    X(ravel) X(ndim) X(fit_transform) X(transform) X(inverse_transform)                \
    X(binary_only) X(y_numeric) X(warn) X(test_size) X(format) X(max) X(min)           \
    X(log10) X(isfinite) X(all)                                                        \
    XS(int_, "int") XS(float_, "float") XS(PYTHONHASHSEED, "PYTHONHASHSEED")           \
    /* training and prediction */                                                      \
    X(optimize) X(new_empty)                                                           \
    /* optimiser state and pickling */                                                 \
    X(state) X(exp_avg) X(exp_avg_sq) X(get) X(pickle) XS(newobj, "__newobj__") XS(dict, "__dict__")

namespace rampnet {

struct Names {
    RAMPNET_NAMES(QALVO_DECLARE_NAME, QALVO_DECLARE_NAME_S)
};

/// Constant objects shared by the methods (numbers, texts, keyword-name tuples).
struct Constants {
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_2 = nullptr;
    PyObject* int_minus_1 = nullptr;
    PyObject* int_5 = nullptr;
    PyObject* float_0 = nullptr;
    PyObject* float_2 = nullptr;
    /// Messages of the thresholding rounds (line breaks and indentation are part of them).
    PyObject* msg_phase_epochs = nullptr;
    PyObject* msg_iht_stop = nullptr;
    /// (40, 40): the concrete estimators' default hidden sizes, one shared object.
    PyObject* default_hidden_sizes = nullptr;
    /// Keyword names of the concrete constructors' call of RampNet.__init__.
    PyObject* kw_base_init = nullptr;
    PyObject* kw_lr = nullptr;
    PyObject* kw_batch_size_shuffle = nullptr;
    PyObject* kw_device_dtype = nullptr;

    // Training, validation and prediction.
    PyObject* float_half = nullptr;
    PyObject* float_one = nullptr;
    PyObject* kw_device = nullptr;
    PyObject* kw_dtype_device = nullptr;
    PyObject* kw_set_to_none = nullptr;
    PyObject* kw_retain_graph = nullptr;
    PyObject* kw_test_size_random_state = nullptr;
    PyObject* kw_y_numeric = nullptr;
    PyObject* kw_warn = nullptr;
    PyObject* kw_copy = nullptr;
    PyObject* kw_dtype = nullptr;
    PyObject* kw_reset = nullptr;
    /// The subscript [:, 1].
    PyObject* all_rows_column_1 = nullptr;
    /// Pieces of the per-epoch progress line and its format specs.
    PyObject* text_losses_at_epoch = nullptr;
    PyObject* text_are = nullptr;
    PyObject* text_and = nullptr;
    PyObject* spec_d = nullptr;
    PyObject* spec_4f = nullptr;
    PyObject* msg_early_stop = nullptr;
    PyObject* msg_width = nullptr;
    PyObject* msg_one_sample = nullptr;
    PyObject* msg_multiclass = nullptr;
    PyObject* msg_non_finite = nullptr;
};

/// Built-ins looked up once at load time and kept for the methods.
struct Builtins {
    PyObject* StopIteration = nullptr;
    PyObject* super = nullptr;
    PyObject* range = nullptr;
    PyObject* enumerate = nullptr;
    PyObject* print = nullptr;
    PyObject* KeyError = nullptr;
    PyObject* ValueError = nullptr;
};

extern Names S;
extern Constants C;
extern Builtins B;

/// Creates S and C (once per process).
void init_constants();

}  // namespace rampnet
