#include "context.hpp"

#include "pending_error.hpp"

#include <cstring>

namespace qalvo {

namespace {

/// type(obj).<key> bound to obj, or an empty Ref when the type lacks it.
Ref lookup_special_key(PyObject* obj, PyObject* key) {
    // Borrowed from the type's cache: held while the descriptor runs, which
    // may rebind the class attribute and drop the type's own reference.
    Ref attr = newref(_PyType_Lookup(Py_TYPE(obj), key));
    if (!attr) return Ref();
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    if (get == nullptr) return attr;
    return own(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

/// Interned once per process: a `with` statement looks both names up.
PyObject* special_name(PyObject*& cached, const char* text) {
    if (cached == nullptr) cached = own(PyUnicode_InternFromString(text)).release();
    return cached;
}
PyObject* enter_name = nullptr;
PyObject* exit_name = nullptr;

/// The `with` statement's error for a manager without `method`: a TypeError
/// from 3.11 on, before that an AttributeError naming the method.
[[noreturn]] void raise_not_a_context_manager(PyObject* manager, const char* method) {
#if PY_VERSION_HEX >= 0x030B0000
    if (std::strcmp(method, "__enter__") == 0) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol "
                     "(missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
    }
#else
    (void)manager;
    PyErr_SetString(PyExc_AttributeError, method);
#endif
    throw_pending();
}

}  // namespace

Ref lookup_special(PyObject* obj, const char* name) {
    Ref key = own(PyUnicode_InternFromString(name));
    return lookup_special_key(obj, key);
}

Ref enter_context(PyObject* manager) {
    Ref enter = lookup_special_key(manager, special_name(enter_name, "__enter__"));
    if (!enter) raise_not_a_context_manager(manager, "__enter__");
    Ref exit = lookup_special_key(manager, special_name(exit_name, "__exit__"));
    if (!exit) raise_not_a_context_manager(manager, "__exit__");
    call(enter);
    return exit;
}

namespace {

/// Makes `exception` the one being handled (sys.exc_info()) while __exit__
/// runs, so that an error raised there chains to it as in the interpreter.
class HandledException {
public:
    explicit HandledException(PyObject* exception) {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyObject* tb = PyException_GetTraceback(exception);
        Py_INCREF(Py_TYPE(exception));
        Py_INCREF(exception);
        PyErr_SetExcInfo(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception, tb);
    }
    ~HandledException() { PyErr_SetExcInfo(type_, value_, tb_); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

}  // namespace

void reraise(PyObject* exception) {
    restore_exception(newref(exception));
    throw_pending();
}

Ref exit_context_with_error(Call& call_, PyObject* exit) {
    // The interpreter's traceback already shows this frame when __exit__ runs.
    call_.add_traceback();
    Ref exception = fetch_exception();
    if (!exception) throw_pending();
    bool suppressed;
    try {
        HandledException handled(exception);
        Ref type = newref(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
        Ref tb = Ref::steal(PyException_GetTraceback(exception));
        Ref result = call(exit, type, exception, tb ? tb.get() : Py_None);
        suppressed = truth(result);
    } catch (PythonError&) {
        call_.forget_traceback();  // a new exception, raised by __exit__, needs its own entry
        throw;
    }
    if (!suppressed) reraise(exception);
    call_.forget_traceback();
    return exception;
}

}  // namespace qalvo
