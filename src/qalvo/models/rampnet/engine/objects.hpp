// Python objects as the engine reads and writes them: exact tensors (the very
// ones Python holds), plain numbers, a loader's attributes. Only objects.cpp
// includes torch's Python headers.
#pragma once

#include "passes.hpp"
#include "ref.hpp"

#include <optional>

namespace engine {

/// The tensor held by an exact torch.Tensor or nn.Parameter, else nothing.
std::optional<at::Tensor> tensor_of(PyObject* o);

/// A new torch.Tensor object for `t`.
qalvo::Ref wrap(const at::Tensor& t);

bool is_float64_on(const at::Tensor& t, const at::Device& device);

/// An exact int, or nothing (also on overflow, which is then cleared).
std::optional<int64_t> int_of(PyObject* o);

/// The value where Python arithmetic on `o` is float64 arithmetic: an exact
/// float, or an exact int of at most 2**53 in magnitude; else nothing.
std::optional<double> plain_number(PyObject* o);

/// A loader's attributes, as its __iter__ and __next__ read them.
struct LoaderView {
    Pass pass;
    int64_t n = 0, batch_size = 1;
    bool shuffle = false;
};

/// Reads a loader of (features, targets) pairs; nothing when it holds other
/// than two float64 tensors of n rows on `device` whose batches make a loss
/// input of the network's `width` (one target per row).
std::optional<LoaderView> loader_of(PyObject* loader, const at::Device& device, int64_t width);

/// Leaves on the loader what a generic pass leaves: the reshuffled tensors (a
/// new list, as __iter__ stores them) and the cursor.
void publish_loader(PyObject* loader, const LoaderView& view);

/// The running loss sum as the generic loop leaves it: the int 0 before any
/// batch, a numpy.float64 after. Float64 addition gives the same sum in any
/// code, except which NaN (sign, payload) comes out where two meet: then
/// numpy's own additions are repeated.
qalvo::Ref loss_sum(const LoaderView& view);

/// Imports what the engine compares objects with (torch.nn's layer and loss
/// classes, numpy); called by the module's exec step.
void import_classes();

/// The classes import_classes() took.
struct Classes {
    PyObject* linear = nullptr;
    PyObject* relu = nullptr;
    PyObject* dropout = nullptr;
    PyObject* mse_loss = nullptr;
    PyObject* bce_with_logits_loss = nullptr;
    PyObject* float64 = nullptr;  ///< numpy.float64
    PyObject* array = nullptr;    ///< numpy.array
};
extern Classes classes;

}  // namespace engine
