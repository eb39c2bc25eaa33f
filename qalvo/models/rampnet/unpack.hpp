// Iterable unpacking (`a, b = value`) for the method bodies, with the
// interpreter's messages: a tuple or list is read directly, anything else is
// iterated.
#pragma once

#include "ref.hpp"

#include <array>

namespace rampnet {

template <size_t N>
std::array<qalvo::Ref, N> unpack(PyObject* value) {
    using qalvo::Ref;
    std::array<Ref, N> out;
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n == static_cast<Py_ssize_t>(N)) {
            PyObject** items = PySequence_Fast_ITEMS(value);
            for (size_t k = 0; k < N; ++k) out[k] = qalvo::newref(items[k]);
            return out;
        }
        if (n < static_cast<Py_ssize_t>(N)) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                         static_cast<Py_ssize_t>(N), n);
        } else {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                         static_cast<Py_ssize_t>(N));
        }
        qalvo::throw_pending();
    }
    PyObject* it = PyObject_GetIter(value);
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        qalvo::throw_pending();
    }
    Ref iterator = Ref::steal(it);
    for (size_t k = 0; k < N; ++k) {
        out[k] = qalvo::next(iterator);
        if (!out[k]) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                         static_cast<Py_ssize_t>(N), static_cast<Py_ssize_t>(k));
            qalvo::throw_pending();
        }
    }
    if (Ref extra = qalvo::next(iterator)) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                     static_cast<Py_ssize_t>(N));
        qalvo::throw_pending();
    }
    return out;
}

}  // namespace rampnet
