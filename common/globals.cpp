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

// 3.11 reworded both messages.
void raise_unbound_local(const char* name) {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_Format(PyExc_UnboundLocalError,
                 "cannot access local variable '%s' where it is not associated with a value",
                 name);
#else
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                 name);
#endif
    throw_pending();
}

void raise_unbound_free(const char* name) {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_Format(PyExc_NameError,
                 "cannot access free variable '%s' where it is not associated with a value "
                 "in enclosing scope",
                 name);
#else
    PyErr_Format(PyExc_NameError,
                 "free variable '%s' referenced before assignment in enclosing scope", name);
#endif
    throw_pending();
}

}  // namespace qalvo
