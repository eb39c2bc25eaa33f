// Owning references and the call helpers every method body is written with.
//
// A C++ exception of type PythonError means "a Python exception is pending".
// Bodies simply let it unwind: RAII releases every reference on the way out,
// and the boundary with CPython (function call, module exec, type slots)
// turns it back into a NULL / -1 return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace qalvo {

/// A Python exception is set; the nearest boundary returns the error to CPython.
struct PythonError {};

[[noreturn]] inline void throw_pending() { throw PythonError{}; }

/// Move-only owning reference. Copying is explicit: Ref::borrow / newref.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    /// Hands the reference to the caller (e.g. as a C API return value).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

/// Wraps a new reference returned by the C API; NULL means an error is set.
inline Ref own(PyObject* p) {
    if (p == nullptr) throw_pending();
    return Ref::steal(p);
}
inline Ref newref(PyObject* p) noexcept { return Ref::borrow(p); }
/// For C API calls returning -1 on error.
inline int check(int r) {
    if (r < 0) throw_pending();
    return r;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_pending();
}
[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
    PyErr_SetObject(type, value);
    throw_pending();
}

inline PyObject* as_ptr(PyObject* p) noexcept { return p; }
inline PyObject* as_ptr(const Ref& r) noexcept { return r.get(); }

// ---- calls -----------------------------------------------------------------
// All calls go through vectorcall. Keyword arguments are passed as the trailing
// values with a names tuple of interned strings (built once per call site).

/// f(a...)
template <class... A>
Ref call(PyObject* f, const A&... a) {
    PyObject* args[sizeof...(A) + 1] = {nullptr, as_ptr(a)...};
    return own(PyObject_Vectorcall(f, args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

/// f(positional..., name=value...): the last len(kwnames) values are keywords.
template <class... A>
Ref call_kw(PyObject* f, PyObject* kwnames, const A&... a) {
    PyObject* args[sizeof...(A) + 1] = {nullptr, as_ptr(a)...};
    size_t nargs = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_Vectorcall(f, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

/// obj.name(a...)
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... a) {
    PyObject* args[sizeof...(A) + 1] = {obj, as_ptr(a)...};
    return own(PyObject_VectorcallMethod(
        name, args, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// obj.name(positional..., name=value...)
template <class... A>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, const A&... a) {
    PyObject* args[sizeof...(A) + 1] = {obj, as_ptr(a)...};
    size_t nargs = sizeof...(A) + 1 - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return own(PyObject_VectorcallMethod(name, args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
}

// ---- object protocol ---------------------------------------------------------

inline Ref getattr(PyObject* o, PyObject* name) { return own(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(o, name, value));
}
/// getattr(o, name, None) without raising: an empty Ref when it is missing.
inline Ref getattr_optional(PyObject* o, const char* name) {
    PyObject* value = PyObject_GetAttrString(o, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
    }
    return Ref::steal(value);
}
inline Ref getitem(PyObject* o, PyObject* key) { return own(PyObject_GetItem(o, key)); }
/// o[i] with an integer index, as the interpreter's subscript does it.
inline Ref item(PyObject* o, Py_ssize_t i) {
    Ref key = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(o, key));
}
inline void setitem(PyObject* o, PyObject* key, PyObject* value) {
    check(PyObject_SetItem(o, key, value));
}
inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
/// a OP b as a truth value, OP one of Py_LT, Py_GT, Py_EQ ...
inline bool compare(PyObject* a, PyObject* b, int op) {
    return check(PyObject_RichCompareBool(a, b, op)) != 0;
}
inline Ref richcompare(PyObject* a, PyObject* b, int op) {
    return own(PyObject_RichCompare(a, b, op));
}
inline Ref iter(PyObject* o) { return own(PyObject_GetIter(o)); }
/// Next item of an iterator, or an empty Ref at the end.
inline Ref next(PyObject* it) {
    PyObject* item = PyIter_Next(it);
    if (item == nullptr && PyErr_Occurred()) throw_pending();
    return Ref::steal(item);
}
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw_pending();
    return n;
}

inline Ref py_int(long long v) { return own(PyLong_FromLongLong(v)); }
inline Ref py_float(double v) { return own(PyFloat_FromDouble(v)); }
inline Ref py_str(const char* s) { return own(PyUnicode_FromString(s)); }
inline Ref py_bool(bool v) { return newref(v ? Py_True : Py_False); }
inline Ref none() { return newref(Py_None); }

/// A tuple of the given objects (new references taken).
template <class... A>
Ref tuple(const A&... a) {
    return own(PyTuple_Pack(sizeof...(A), as_ptr(a)...));
}
/// A list of the given objects (new references taken).
template <class... A>
Ref list(const A&... a) {
    Ref l = own(PyList_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyList_SET_ITEM(l.get(), i++, newref(as_ptr(a)).release())), ...);
    return l;
}
inline void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

namespace num {
inline Ref add(PyObject* a, PyObject* b) { return own(PyNumber_Add(a, b)); }
inline Ref sub(PyObject* a, PyObject* b) { return own(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return own(PyNumber_Multiply(a, b)); }
inline Ref truediv(PyObject* a, PyObject* b) { return own(PyNumber_TrueDivide(a, b)); }
inline Ref floordiv(PyObject* a, PyObject* b) { return own(PyNumber_FloorDivide(a, b)); }
inline Ref neg(PyObject* a) { return own(PyNumber_Negative(a)); }
inline Ref iadd(PyObject* a, PyObject* b) { return own(PyNumber_InPlaceAdd(a, b)); }
}  // namespace num

}  // namespace qalvo
