// What the two concrete estimators share: the constructor that hands the
// fifteen parameters and a new loss object to RampNet.__init__, and the text
// documenting those parameters.
#pragma once

#include "function.hpp"

namespace rampnet {

/// super(<class_name>, self).__init__(hidden_layer_sizes=..., loss_fn=<new
/// torch.nn.<loss_name>()>, ...), tagged with `line` (the loss at line + 3).
qalvo::Ref init_concrete(qalvo::Call& c, PyObject* const* args, PyObject* class_name,
                         PyObject* loss_name, int line);

/// check_is_fitted(self); x = validate_data(self, x) (self._validate_data(x)
/// before scikit-learn 1.6); the raw network output
/// for x, detached, on the host, flattened: tagged with lines line .. line + 2.
qalvo::Ref flat_raw_output(qalvo::Call& c, PyObject* self, PyObject* x, int line);

}  // namespace rampnet

#define RAMPNET_PARAMETERS_DOC                                                       \
    "Parameters\n"                                                                   \
    "----------\n"                                                                   \
    "hidden_layer_sizes : tuple of int, default=(40, 40)\n"                          \
    "    Widths of the hidden layers, input side first.\n"                           \
    "dropout_prob : float, default=0.0\n"                                            \
    "    Dropout probability after each hidden activation; no dropout\n"             \
    "    layers unless positive.\n"                                                  \
    "max_epochs : int, default=1000\n"                                               \
    "    Number of training epochs (the epoch budget of IHT).\n"                     \
    "learning_rate : float, default=0.001\n"                                         \
    "    Learning rate of the Adam optimiser.\n"                                     \
    "batch_size : int, default=100\n"                                                \
    "    Rows per training batch, capped at the number of training rows.\n"         \
    "batch_size_inference : int, default=10000\n"                                    \
    "    Rows per batch when predicting.\n"                                          \
    "l1_reg : float, default=0.0\n"                                                  \
    "    Weight of the L1 penalty on all weight matrices.\n"                         \
    "val_ratio : float, default=0.2\n"                                               \
    "    Share of the rows held out for early stopping.\n"                           \
    "n_epoch_no_change : int, default=20\n"                                          \
    "    Early-stopping patience: training stops once more than this many\n"        \
    "    consecutive epochs fail to lower the validation loss.\n"                    \
    "iht : bool, default=False\n"                                                    \
    "    Train by iterative hard thresholding, alternating dense phases and\n"       \
    "    sparse phases in which small weights are zeroed and kept out of\n"          \
    "    training.\n"                                                                \
    "phase_epochs : int, default=50\n"                                               \
    "    Epochs of each IHT phase.\n"                                                \
    "threshold : float, default=0.1\n"                                               \
    "    Magnitude at or below which IHT sets weights to zero.\n"                    \
    "device : str, default=\"cpu\"\n"                                                \
    "    Torch device of the network and the data, such as \"cpu\" or \"cuda\".\n"  \
    "verbose : bool, default=False\n"                                                \
    "    Print the training and validation losses of every epoch.\n"                 \
    "random_state : int, RandomState instance, Generator or None, default=0\n"      \
    "    Seed of NumPy's and torch's global generators and of the data split.\n"     \
    "    None seeds from fresh entropy; a RandomState or Generator gives the\n"      \
    "    seed by drawing one integer from it."

// The fitted attributes both estimators share, documented after the parameters.
#define RAMPNET_ATTRIBUTES_DOC                                                       \
    "Attributes\n"                                                                   \
    "----------\n"                                                                   \
    "coefs_ : list of ndarray\n"                                                     \
    "    One float64 weight matrix per linear layer, input side first: with\n"      \
    "    hidden widths h1 ... hk, of shapes (n_features, h1), (h1, h2), ...,\n"      \
    "    (hk, 1).\n"                                                                 \
    "intercepts_ : list of ndarray\n"                                                \
    "    One float64 bias vector per linear layer, of shapes (h1,), ...,\n"          \
    "    (hk,), (1,).\n"                                                             \
    "n_features_in_ : int\n"                                                         \
    "    Number of features seen in fit.\n"                                          \
    "feature_names_in_ : ndarray of shape (n_features,)\n"                             \
    "    Names of the features seen in fit; only when x was a DataFrame with\n"     \
    "    string column names.\n"                                                     \
    "n_features_ : int\n"                                                            \
    "    The network's input width, equal to ``n_features_in_``.\n"                 \
    "net_ : RampNetModule\n"                                                         \
    "    The fitted network (a torch module); after an early stop, the best\n"      \
    "    one on the validation rows.\n"                                              \
    "best_net_ : RampNetModule\n"                                                    \
    "    The network of the lowest validation loss seen.\n"                          \
    "optimizer_ : torch.optim.Adam\n"                                                \
    "    The optimiser of the last training phase.\n"                                \
    "train_epoch_loss_ : list of float\n"                                            \
    "    Mean training loss of each epoch (the data loss, without the L1\n"         \
    "    penalty), one entry per epoch run.\n"                                       \
    "valid_epoch_loss_ : list of float\n"                                            \
    "    Validation loss of each epoch, one entry per epoch run.\n"                  \
    "best_loss_ : float\n"                                                           \
    "    Lowest validation loss seen.\n"                                             \
    "no_improved_count_ : int\n"                                                     \
    "    Epochs in a row without a lower validation loss, at the end.\n"             \
    "iht_status_ : bool\n"                                                           \
    "    True after a fit by iterative hard thresholding.\n"                         \
    "param_fac : dict of str to torch.Tensor\n"                                      \
    "    After iterative hard thresholding only: each weight's mask of the\n"        \
    "    last sparse phase (1.0 kept, 0.0 zeroed), by the weight's name.\n"          \
    "train_data_loader_, val_data_loader_ : FastTensorDataLoader\n"                  \
    "    Batches of the training and validation rows (a pickled or copied\n"        \
    "    estimator leaves their rows out).\n"                                        \
    "is_fitted_ : bool\n"                                                            \
    "    True once a fit has completed."

#define RAMPNET_CONCRETE_PARAMETERS                                                    \
    {"self", "hidden_layer_sizes", "dropout_prob", "max_epochs", "learning_rate",      \
     "batch_size", "batch_size_inference", "l1_reg", "val_ratio", "n_epoch_no_change", \
     "iht", "phase_epochs", "threshold", "device", "verbose", "random_state"}
