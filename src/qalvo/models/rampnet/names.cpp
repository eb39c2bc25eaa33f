#include "names.hpp"

namespace rampnet {

Names S;
Constants C;
Builtins B;

void init_constants() {
    // Constants live for the process, made once. Marked done only at the end:
    // a set-up that failed part-way (out of memory) makes them all on the next
    // import instead of leaving the later ones unset.
    static bool done = false;
    if (done) return;
    Names& names = S;
    RAMPNET_NAMES(QALVO_INTERN_NAME, QALVO_INTERN_NAME_S)

    using qalvo::own;
    C.int_0 = own(PyLong_FromLong(0)).release();
    C.int_1 = own(PyLong_FromLong(1)).release();
    C.int_2 = own(PyLong_FromLong(2)).release();
    C.int_minus_1 = own(PyLong_FromLong(-1)).release();
    C.int_5 = own(PyLong_FromLong(5)).release();
    C.float_0 = own(PyFloat_FromDouble(0.0)).release();
    C.float_2 = own(PyFloat_FromDouble(2.0)).release();
    C.msg_phase_epochs = qalvo::py_str(
        "Please enter phase_epochs as\n                        a multiple of max_epochs").release();
    C.msg_iht_stop = qalvo::py_str(
        "Validation loss does not\n                              improve for %d IHT round.\n"
        "                              So training is stopped").release();
    qalvo::Ref forty = own(PyLong_FromLong(40));
    C.default_hidden_sizes = qalvo::tuple(forty, forty).release();
    C.kw_base_init = qalvo::kwnames(
        "hidden_layer_sizes", "dropout_prob", "loss_fn", "max_epochs", "learning_rate",
        "batch_size", "batch_size_inference", "l1_reg", "val_ratio", "n_epoch_no_change", "iht",
        "phase_epochs", "threshold", "verbose", "device", "random_state");
    C.kw_lr = qalvo::kwnames("lr");
    C.kw_batch_size_shuffle = qalvo::kwnames("batch_size", "shuffle");
    C.kw_device_dtype = qalvo::kwnames("device", "dtype");

    C.float_half = own(PyFloat_FromDouble(0.5)).release();
    C.float_one = own(PyFloat_FromDouble(1.0)).release();
    C.kw_device = qalvo::kwnames("device");
    C.kw_dtype_device = qalvo::kwnames("dtype", "device");
    C.kw_set_to_none = qalvo::kwnames("set_to_none");
    C.kw_retain_graph = qalvo::kwnames("retain_graph");
    C.kw_test_size_random_state = qalvo::kwnames("test_size", "random_state");
    C.kw_y_numeric = qalvo::kwnames("y_numeric");
    C.kw_warn = qalvo::kwnames("warn");
    C.kw_copy = qalvo::kwnames("copy");
    C.kw_dtype = qalvo::kwnames("dtype");
    C.kw_reset = qalvo::kwnames("reset");
    qalvo::Ref all_rows = own(PySlice_New(nullptr, nullptr, nullptr));
    C.all_rows_column_1 = qalvo::tuple(all_rows, C.int_1).release();
    C.text_losses_at_epoch = qalvo::intern("Training and Validation losses at epoch ");
    C.text_are = qalvo::intern(" are ");
    C.text_and = qalvo::intern(" and ");
    C.spec_d = qalvo::intern("d");
    C.spec_4f = qalvo::intern("0.4f");
    C.msg_early_stop =
        qalvo::intern("Validation loss does not improve for %d epochs. So training is stopped");
    C.msg_width = qalvo::intern(
        "The number of features in predict is\n"
        "                 different from the number of features in fit");
    C.msg_one_sample = qalvo::intern("n_samples=1");
    C.msg_multiclass = qalvo::intern("multi-classification not supported");
    C.msg_non_finite = qalvo::intern(
        "Training produced non-finite losses or weights: the data may hold values too large "
        "for float64 and need scaling");
    done = true;
}

}  // namespace rampnet
