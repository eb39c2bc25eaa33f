// FastTensorDataLoader: mini-batches as contiguous row slices of in-memory
// tensors, reshuffled by one permutation per pass.
#include "globals.hpp"
#include "methods.hpp"
#include "module.hpp"
#include "names.hpp"
#include "unpack.hpp"

#include <vector>

using namespace qalvo;

namespace rampnet {

namespace {

/// Whether the interpreter runs optimised (-O), where assertions are skipped.
bool optimised() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) return false;
    return truth(getattr(flags, S.optimize));
}

Ref loader_init(Call& c, PyObject* self, PyObject* tensors, PyObject* batch_size,
                PyObject* shuffle) {
    c.L(35);
    if (!optimised()) {
        // assert all(t.shape[0] == tensors[0].shape[0] for t in tensors)
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(tensors); ++k) {
            Ref rows = item(getattr(PyTuple_GET_ITEM(tensors, k), S.shape), 0);
            Ref first_rows = item(getattr(item(tensors, 0), S.shape), 0);
            if (!compare(rows, first_rows, Py_EQ)) {
                PyErr_SetNone(PyExc_AssertionError);
                throw_pending();
            }
        }
    }
    c.L(36);
    setattr(self, S.tensors, tensors);
    c.L(37);
    setattr(self, S.dataset_len, item(getattr(item(getattr(self, S.tensors), 0), S.shape), 0));
    c.L(38);
    setattr(self, S.batch_size, batch_size);
    c.L(39);
    setattr(self, S.shuffle, shuffle);

    c.L(42);
    auto [n_batches, remainder] =
        unpack<2>(own(PyNumber_Divmod(getattr(self, S.dataset_len), getattr(self, S.batch_size))));
    // A negative size would walk the cursor backwards and never end a pass.
    if (compare(batch_size, C.int_0, Py_LT)) {
        PyErr_Format(PyExc_ValueError, "batch_size must be a positive integer, got %R",
                     batch_size);
        throw_pending();
    }
    c.L(43);
    if (compare(remainder, C.int_0, Py_GT)) {
        c.L(44);
        n_batches = num::iadd(n_batches, C.int_1);
    }
    c.L(45);
    setattr(self, S.n_batches, n_batches);
    return none();
}

/// Starts a pass: reshuffles every tensor by one shared permutation when
/// enabled, so rows stay paired, and rewinds the cursor.
Ref loader_iter(Call& c, PyObject* self) {
    c.L(47);
    if (truth(getattr(self, S.shuffle))) {
        c.L(48);
        Ref r = call(getattr(global(S.torch), S.randperm), getattr(self, S.dataset_len));
        c.L(49);
        Ref shuffled = own(PyList_New(0));
        Ref it = iter(getattr(self, S.tensors));
        while (Ref t = next(it)) {
            append(shuffled, getitem(t, r));
        }
        setattr(self, S.tensors, shuffled);
    }
    c.L(50);
    setattr(self, S.i, C.int_0);
    c.L(51);
    return newref(self);
}

/// tuple(t[rows] for t in tensors); a tuple or list is walked by index (the
/// list may be the one a shuffled pass stored), anything else iterated.
Ref slices(PyObject* tensors, PyObject* rows) {
    std::vector<Ref> parts;
    if (PyTuple_CheckExact(tensors) || PyList_CheckExact(tensors)) {
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(tensors); ++k) {
            Ref t = newref(PySequence_Fast_GET_ITEM(tensors, k));
            parts.push_back(getitem(t, rows));
        }
    } else {
        Ref it = iter(tensors);
        while (Ref t = next(it)) {
            parts.push_back(getitem(t, rows));
        }
    }
    Ref batch = own(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t k = 0; k < parts.size(); ++k) {
        PyTuple_SET_ITEM(batch.get(), static_cast<Py_ssize_t>(k), parts[k].release());
    }
    return batch;
}

/// The next batch: one row slice (a view) of every tensor, in order.
Ref loader_next(Call& c, PyObject* self) {
    c.L(54);
    Ref i = getattr(self, S.i);
    if (compare(i, getattr(self, S.dataset_len), Py_GE)) {
        c.L(55);
        // Raised once per pass: set without a C++ throw, which costs more.
        PyErr_SetNone(B.StopIteration);
        return Ref();
    }
    c.L(56);
    Ref rows = own(PySlice_New(i, num::add(i, getattr(self, S.batch_size)), nullptr));
    Ref batch = slices(getattr(self, S.tensors), rows);
    c.L(57);
    setattr(self, S.i, num::iadd(getattr(self, S.i), getattr(self, S.batch_size)));
    c.L(58);
    return batch;
}

Ref loader_len(Call& c, PyObject* self) {
    c.L(62);
    return getattr(self, S.n_batches);
}

/// A tensor's shape with no rows: (0, *t.shape[1:]).
Ref no_rows(PyObject* tensor) {
    Ref shape = getattr(tensor, S.shape);
    Ref rest = own(PySequence_GetSlice(shape, 1, PY_SSIZE_T_MAX));
    return own(PySequence_Concat(tuple(C.int_0), rest));
}

/// Loaders that a fit built, each with a weak reference to its estimator:
/// {loader: weakref(estimator)} in a WeakKeyDictionary.
PyObject* built_loaders = nullptr;

PyObject* built_loader_table() {
    if (built_loaders == nullptr) {
        Ref weakref = import_module("weakref");
        built_loaders = call(getattr(weakref, py_str("WeakKeyDictionary"))).release();
    }
    return built_loaders;
}

/// Whether `loader` was built by a fit and its estimator still holds it.
bool held_by_its_estimator(PyObject* loader) {
    if (built_loaders == nullptr) return false;
    Ref owner_ref = call_method(built_loaders, S.get, loader);
    if (owner_ref.get() == Py_None) return false;
    Ref owner = call(owner_ref);
    if (owner.get() == Py_None) return false;
    for (PyObject* name : {S.train_data_loader_, S.val_data_loader_}) {
        Ref held = getattr_optional(owner, PyUnicode_AsUTF8(name));
        if (held.get() == loader) return true;
    }
    return false;
}

/// Reduction of a loader for pickle and copy: the default one of a plain
/// object (its class, then its attributes). A loader that a fit built and its
/// estimator holds goes with every stored tensor replaced by an empty one of
/// the same dtype, device and width: pickling the rows with a fitted estimator
/// would hand the whole training and validation data to whoever gets the file,
/// and the estimator never reads its loaders after fit. Any other loader (a
/// user's own) keeps its rows. Built here rather than by __reduce_ex__, which
/// would cache __slotnames__ on the class.
Ref reduce_loader(Call& c, PyObject* loader) {
    c.L(64);
    Ref new_object = getattr(import_module("copyreg"), S.newobj);
    Ref cls = newref(reinterpret_cast<PyObject*>(Py_TYPE(loader)));
    Ref state = own(PyDict_Copy(getattr(loader, S.dict)));
    c.L(65);
    PyObject* tensors = PyDict_GetItemWithError(state, S.tensors);  // borrowed
    if (tensors == nullptr && PyErr_Occurred()) throw_pending();
    if (tensors != nullptr && held_by_its_estimator(loader)) {
        c.L(66);
        Ref empty = own(PyList_New(0));
        Ref it = iter(tensors);
        while (Ref t = next(it)) {
            append(empty, call_method(t, S.new_empty, no_rows(t)));
        }
        c.L(67);
        setitem(state, S.tensors, own(PyList_AsTuple(empty)));
        setitem(state, S.dataset_len, C.int_0);
        setitem(state, S.n_batches, C.int_0);
        if (check(PyDict_Contains(state, S.i))) setitem(state, S.i, C.int_0);
    }
    return tuple(new_object, tuple(cls), state);
}

}  // namespace

void remember_built_loader(PyObject* loader, PyObject* estimator) {
    try {
        Ref owner = own(PyWeakref_NewRef(estimator, nullptr));
        setitem(built_loader_table(), loader, owner);
    } catch (PythonError&) {
        // A loader or estimator class without weak references (a user's, with
        // __slots__) is not tracked: it keeps its rows when copied.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
    }
}

const FunctionSpec kReduceLoader = {
    "_reduce_loader", "_reduce_loader", 63, {"loader"}, nullptr, {},
    "Reduces a FastTensorDataLoader for pickle and copy without its rows.",
    body<reduce_loader>,
};

const char* const kLoaderClassDoc =
    "A DataLoader-like object for a set of tensors.\n\n"
    "Much faster than a TensorDataset with a DataLoader, because those fetch\n"
    "the rows one index at a time and concatenate them; here a batch is one\n"
    "slice of every tensor.";

const FunctionSpec kLoaderInit = {
    "__init__", "FastTensorDataLoader.__init__", 24, {"self"}, "tensors",
    {"batch_size", "shuffle"},
    "Initialize a FastTensorDataLoader.\n\n"
    "Parameters\n"
    "----------\n"
    "*tensors : torch.Tensor\n"
    "    Tensors to store. Must have the same length in dimension 0.\n"
    "batch_size : int, default=32\n"
    "    Batch size to load.\n"
    "shuffle : bool, default=False\n"
    "    If True, shuffle the data in place whenever an iterator is created\n"
    "    out of this object.",
    body<loader_init>,
};

const FunctionSpec kLoaderIter = {
    "__iter__", "FastTensorDataLoader.__iter__", 46, {"self"}, nullptr, {}, nullptr,
    body<loader_iter>,
};

const FunctionSpec kLoaderNext = {
    "__next__", "FastTensorDataLoader.__next__", 53, {"self"}, nullptr, {}, nullptr,
    body<loader_next>,
};

const FunctionSpec kLoaderLen = {
    "__len__", "FastTensorDataLoader.__len__", 61, {"self"}, nullptr, {}, nullptr,
    body<loader_len>,
};

}  // namespace rampnet
