#include "globals.hpp"

#include "module.hpp"

namespace qalvo {

namespace {

[[noreturn]] void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_pending();
}

PyObject* lookup_builtin(PyObject* name) {
    PyObject* builtins = PyModule_GetDict(module_state().builtins);
    if (builtins == nullptr) throw_pending();
    PyObject* value = PyDict_GetItemWithError(builtins, name);
    if (value == nullptr && PyErr_Occurred()) throw_pending();
    return value;
}

}  // namespace

Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(module_state().dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_pending();
        value = lookup_builtin(name);
        if (value == nullptr) raise_name_error(name);
    }
    return newref(value);
}

Ref builtin(PyObject* name) {
    PyObject* value = lookup_builtin(name);
    if (value == nullptr) raise_name_error(name);
    return newref(value);
}

}  // namespace qalvo
