#include "unpack.hpp"

namespace qalvo {

void raise_unpack_count(PyObject* value, Py_ssize_t expected, Py_ssize_t got) {
    if (got >= 0) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                     expected, got);
        throw_pending();
    }
#if PY_VERSION_HEX >= 0x030E0000
    // From 3.14 the interpreter also names the size of a list, tuple or dict
    // (3.10 to 3.13 give the expected count alone).
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
        Py_ssize_t size = PyDict_CheckExact(value) ? PyDict_Size(value) : Py_SIZE(value);
        if (size > expected) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd, got %zd)",
                         expected, size);
            throw_pending();
        }
    }
#else
    (void)value;
#endif
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    throw_pending();
}

}  // namespace qalvo
