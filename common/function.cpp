#include "function.hpp"

#include "arguments.hpp"
#include "globals.hpp"
#include "module.hpp"
#include "traceback.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>

namespace qalvo {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// ---- Call ------------------------------------------------------------------

Call::Call(Function* f) noexcept : fn_(f), line_(f->spec->first_line) {}

PyObject* Call::cell(Py_ssize_t i) const noexcept {
    return PyCell_GET(PyTuple_GET_ITEM(fn_->closure, i));
}

Ref Call::free_variable(Py_ssize_t i, const char* name) const {
    PyObject* value = cell(i);
    if (value == nullptr) raise_unbound_free(name);
    return newref(value);
}

void Call::add_traceback() noexcept {
    if (traceback_added_) return;
    qalvo::add_traceback(fn_->traceback_name, line_);
    traceback_added_ = true;
}

namespace {

// ---- per-spec constants ---------------------------------------------------------

struct SpecConstants {
    PyObject* code;
    PyObject* traceback_name;
};

/// A code object whose argument counts, flags and variable names describe the
/// signature, so that inspect.signature reads it as for an interpreter function.
Ref build_code(const FunctionSpec& spec) {
    const ModuleState& st = module_state();
    Ref code = own(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(PyUnicode_AsUTF8(st.file_name), spec.name, spec.first_line)));
    const Py_ssize_t npos = static_cast<Py_ssize_t>(spec.positional.size());
    const Py_ssize_t nkwonly = static_cast<Py_ssize_t>(spec.kwonly.size());
    const Py_ssize_t nvars = npos + nkwonly + (spec.varargs ? 1 : 0);
    Ref varnames = own(PyTuple_New(nvars));
    Py_ssize_t i = 0;
    for (const char* n : spec.positional) {
        PyTuple_SET_ITEM(varnames.get(), i++, own(PyUnicode_InternFromString(n)).release());
    }
    for (const char* n : spec.kwonly) {
        PyTuple_SET_ITEM(varnames.get(), i++, own(PyUnicode_InternFromString(n)).release());
    }
    if (spec.varargs) {
        PyTuple_SET_ITEM(varnames.get(), i++,
                         own(PyUnicode_InternFromString(spec.varargs)).release());
    }
    const bool nested = std::string(spec.qualname).find("<locals>") != std::string::npos;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.varargs) flags |= CO_VARARGS;
    if (nested) flags |= CO_NESTED;

    Ref kwargs = own(PyDict_New());
    auto put = [&](const char* key, PyObject* value) {
        check(PyDict_SetItemString(kwargs, key, value));
    };
    put("co_argcount", py_int(npos));
    put("co_posonlyargcount", py_int(0));
    put("co_kwonlyargcount", py_int(nkwonly));
    put("co_nlocals", py_int(nvars));
    put("co_flags", py_int(flags));
    put("co_varnames", varnames);
#if PY_VERSION_HEX >= 0x030B0000
    put("co_qualname", py_str(spec.qualname));
#endif
    Ref replace = own(PyObject_GetAttrString(code, "replace"));
    Ref empty = own(PyTuple_New(0));
    return own(PyObject_Call(replace, empty, kwargs));
}

/// "module.Class.method"; a nested function drops the "<locals>." parts.
Ref build_traceback_name(const FunctionSpec& spec) {
    std::string qualname = spec.qualname;
    const std::string locals = "<locals>.";
    for (size_t at; (at = qualname.find(locals)) != std::string::npos;) {
        qualname.erase(at, locals.size());
    }
    std::string dotted = std::string(module_state().description->full_name) + "." + qualname;
    return own(PyUnicode_InternFromString(dotted.c_str()));
}

const SpecConstants& constants_for(const FunctionSpec& spec) {
    static std::unordered_map<const FunctionSpec*, SpecConstants> cache;
    auto found = cache.find(&spec);
    if (found != cache.end()) return found->second;
    Ref code = build_code(spec);
    Ref tb_name = build_traceback_name(spec);
    return cache.emplace(&spec, SpecConstants{code.release(), tb_name.release()}).first->second;
}

// ---- the type's slots ---------------------------------------------------------------

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(self);
    Call call(f);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = nullptr;
    try {
        BoundArguments bound;
        PyObject* const* a = bound.bind(*f->spec, f->defaults, f->kwdefaults, args,
                                        PyVectorcall_NARGS(nargsf), kwnames);
        result = f->spec->body(call, a).release();
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (...) {
        set_error_from_current_exception();
    }
    Py_LeaveRecursiveCall();
    if (result == nullptr) call.add_traceback();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->closure);
    Py_VISIT(f->traceback_name);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->traceback_name);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* f = reinterpret_cast<Function*>(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

/// Reading the function through an instance binds it, as for interpreter functions.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return newref(self).release();
    return PyMethod_New(self, obj);
}

/// Pickled by reference: the qualified name is looked up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return newref(reinterpret_cast<Function*>(self)->qualname).release();
}

// ---- attributes -----------------------------------------------------------------

Function* F(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* get_object(PyObject* field) { return newref(field ? field : Py_None).release(); }

int set_string(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

int is_tuple(PyObject* o) { return PyTuple_Check(o); }
int is_dict(PyObject* o) { return PyDict_Check(o); }

/// Tuple/dict-or-None attributes; deleting stores None.
int set_optional(PyObject** field, PyObject* value, int (*valid)(PyObject*), const char* what,
                 const char* kind) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !valid(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, kind);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

PyObject* get_name(PyObject* s, void*) { return get_object(F(s)->name); }
int set_name(PyObject* s, PyObject* v, void*) { return set_string(&F(s)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* s, void*) { return get_object(F(s)->qualname); }
int set_qualname(PyObject* s, PyObject* v, void*) {
    return set_string(&F(s)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* s, void*) { return get_object(F(s)->doc); }
int set_doc(PyObject* s, PyObject* v, void*) {
    PyObject* value = v ? v : Py_None;
    Py_INCREF(value);
    Py_SETREF(F(s)->doc, value);
    return 0;
}
PyObject* get_module(PyObject* s, void*) { return get_object(F(s)->module); }
int set_module(PyObject* s, PyObject* v, void*) {
    PyObject* value = v ? v : Py_None;
    Py_INCREF(value);
    Py_SETREF(F(s)->module, value);
    return 0;
}
PyObject* get_globals(PyObject* s, void*) { return get_object(F(s)->globals); }
PyObject* get_code(PyObject* s, void*) { return get_object(F(s)->code); }
PyObject* get_closure(PyObject* s, void*) { return get_object(F(s)->closure); }
PyObject* get_defaults(PyObject* s, void*) { return get_object(F(s)->defaults); }
int set_defaults(PyObject* s, PyObject* v, void*) {
    return set_optional(&F(s)->defaults, v, is_tuple, "__defaults__", "tuple");
}
PyObject* get_kwdefaults(PyObject* s, void*) { return get_object(F(s)->kwdefaults); }
int set_kwdefaults(PyObject* s, PyObject* v, void*) {
    return set_optional(&F(s)->kwdefaults, v, is_dict, "__kwdefaults__", "dict");
}
PyObject* get_annotations(PyObject* s, void*) {
    Function* f = F(s);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return newref(f->annotations).release();
}
int set_annotations(PyObject* s, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(F(s)->annotations, v);
    return 0;
}

PyGetSetDef function_getsets[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The head macro initialises the reference count for this interpreter version;
// every other slot starts zeroed and is set by name below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = [] {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getsets;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();
#pragma GCC diagnostic pop

}  // namespace

void ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    check(PyType_Ready(&FunctionType));
}

Ref make_function(const FunctionSpec& spec, PyObject* defaults, PyObject* kwdefaults,
                  PyObject* closure) {
    // Binding fills a fixed array of slots: a longer signature would write
    // past it on every call.
    const size_t parameters =
        spec.positional.size() + (spec.varargs ? 1 : 0) + spec.kwonly.size();
    if (parameters > static_cast<size_t>(kMaxParams)) {
        PyErr_Format(PyExc_SystemError, "%s() has %zu parameters; at most %zd are supported",
                     spec.qualname, parameters, kMaxParams);
        throw_pending();
    }
    const SpecConstants& constants = constants_for(spec);
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr) throw_pending();
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = f->qualname = f->module = f->doc = f->dict = f->globals = nullptr;
    f->code = f->defaults = f->kwdefaults = f->annotations = f->closure = nullptr;
    f->traceback_name = f->weakrefs = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));

    const ModuleState& st = module_state();
    f->name = own(PyUnicode_InternFromString(spec.name)).release();
    f->qualname = own(PyUnicode_FromString(spec.qualname)).release();
    f->module = newref(st.full_name).release();
    f->doc = spec.doc ? own(PyUnicode_FromString(spec.doc)).release() : newref(Py_None).release();
    f->globals = newref(st.dict).release();
    f->code = newref(constants.code).release();
    f->defaults = newref(defaults ? defaults : Py_None).release();
    f->kwdefaults = newref(kwdefaults ? kwdefaults : Py_None).release();
    f->closure = newref(closure ? closure : Py_None).release();
    f->traceback_name = newref(constants.traceback_name).release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return owner;
}

}  // namespace qalvo
