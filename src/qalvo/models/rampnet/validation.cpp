#include "validation.hpp"

#include "module.hpp"

using namespace qalvo;

namespace rampnet {

namespace {

/// sklearn.utils.validation, imported once through the import system and kept
/// for the process; its functions are read from it at every call.
PyObject* validation_module() {
    static PyObject* validation = nullptr;
    if (validation == nullptr) {
        Ref imported = import_module("sklearn.utils.validation", list(py_str("*")));
        // An import may let another thread in: the first stored module wins.
        if (validation == nullptr) validation = imported.release();
    }
    return validation;
}

}  // namespace

Ref column_count(PyObject* x) {
    Ref count_columns = getattr(validation_module(), S._num_features);
    PyObject* count = PyObject_CallOneArg(count_columns, x);
    if (count == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
        PyErr_Clear();
    }
    return Ref::steal(count);
}

Ref validate_data_function() {
    PyObject* function = PyObject_GetAttr(validation_module(), S.validate_data);
    if (function == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
    }
    return Ref::steal(function);
}

}  // namespace rampnet
