// The pending Python exception as an object: set aside while cleanup or
// bookkeeping runs more Python code, then made pending again. Header-only, so
// that the native engine (which links no other part of this runtime) uses the
// same rules as the modules.
#pragma once

#include "ref.hpp"

namespace qalvo {

/// Takes the pending exception (a normalised instance carrying its traceback),
/// leaving none pending; an empty Ref when none was.
inline Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

/// Makes `exception` (an instance, its traceback attached) the pending one.
inline void restore_exception(Ref exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

/// Holds the pending exception aside for the scope's lifetime. The first
/// error wins: when one was held, whatever the code in the scope raised is
/// dropped and the held one is pending again; when none was held, an error
/// raised in the scope stays pending (it is the only one there is).
class PendingError {
public:
    PendingError() noexcept : held_(fetch_exception()) {}
    ~PendingError() {
        if (!held_) return;
        PyErr_Clear();
        restore_exception(std::move(held_));
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    bool held() const noexcept { return static_cast<bool>(held_); }

private:
    Ref held_;
};

}  // namespace qalvo
