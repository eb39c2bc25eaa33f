// Unpacking an iterable into a fixed number of names (`a, b = value`), with
// the interpreter's messages for a non-iterable value and a wrong count.
#pragma once

#include "ref.hpp"

#include <array>

namespace qalvo {

/// The interpreter's ValueError for unpacking `value`: `got` items of
/// `expected`, or `got` < 0 for more than expected.
[[noreturn]] void raise_unpack_count(PyObject* value, Py_ssize_t expected, Py_ssize_t got);

/// Takes exactly N items from `value` as the interpreter does: it stops after
/// item N + 1, so a longer (even endless) iterator fails without being drained.
template <size_t N>
std::array<Ref, N> unpack(PyObject* value) {
    std::array<Ref, N> items;
    // A tuple or list, the usual case, is read directly.
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n != static_cast<Py_ssize_t>(N)) {
            raise_unpack_count(value, static_cast<Py_ssize_t>(N), n < static_cast<Py_ssize_t>(N) ? n : -1);
        }
        PyObject** values = PySequence_Fast_ITEMS(value);
        for (size_t i = 0; i < N; ++i) items[i] = newref(values[i]);
        return items;
    }
    PyObject* it = PyObject_GetIter(value);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        throw_pending();
    }
    Ref iterator = Ref::steal(it);
    for (size_t i = 0; i < N; ++i) {
        items[i] = next(iterator);
        if (!items[i]) raise_unpack_count(value, static_cast<Py_ssize_t>(N), static_cast<Py_ssize_t>(i));
    }
    if (Ref extra = next(iterator)) raise_unpack_count(value, static_cast<Py_ssize_t>(N), -1);
    return items;
}

}  // namespace qalvo
