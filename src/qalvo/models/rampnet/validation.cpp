#include "validation.hpp"

#include "module.hpp"

using namespace qalvo;

namespace rampnet {

Ref validate_data_function() {
    // The module object, imported once through the import system and kept for
    // the process; the function itself is read from it at every call.
    static PyObject* validation = nullptr;
    if (validation == nullptr) {
        Ref imported = import_module("sklearn.utils.validation", list(py_str("*")));
        // An import may let another thread in: the first stored module wins.
        if (validation == nullptr) validation = imported.release();
    }
    PyObject* function = PyObject_GetAttr(validation, S.validate_data);
    if (function == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
    }
    return Ref::steal(function);
}

}  // namespace rampnet
