#include "module.hpp"

#include "function.hpp"
#include "traceback.hpp"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace qalvo {

namespace {

ModuleState g_state;
/// The interpreter this module belongs to; -1 until the first create step.
PY_INT64_T g_interpreter_id = -1;

/// Copies spec.<attribute> into the namespace; a missing attribute is skipped,
/// and so is None unless allowed (a spec without search locations gets no __path__).
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        return;
    }
    Ref held = Ref::steal(value);
    if (allow_none || value != Py_None) check(PyDict_SetItemString(dict, to, value));
}

int check_interpreter() {
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return -1;
    }
    return 0;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    if (check_interpreter() < 0) return nullptr;
    if (g_state.module != nullptr) return newref(g_state.module).release();
    try {
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name));
        PyObject* dict = PyModule_GetDict(module);
        if (dict == nullptr) throw_pending();
        copy_spec_attribute(spec, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, dict, "origin", "__file__", true);
        copy_spec_attribute(spec, dict, "parent", "__package__", true);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
        return module.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

/// Warns when the running interpreter is not the one the module was built for
/// (major version, or first digit of the minor version, differ).
int check_version() {
    char built_for[16];
    PyOS_snprintf(built_for, sizeof built_for, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    char running[4] = {0, 0, 0, 0};
    std::strncpy(running, Py_GetVersion(), 3);
    if (built_for[0] == running[0] && built_for[2] == running[2]) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built_for, g_state.description->full_name, running);
    return PyErr_WarnEx(nullptr, message, 1);
}

void record_module(PyObject* module) {
    ModuleState& st = g_state;
    st.module = newref(module).release();
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) throw_pending();
    Py_INCREF(dict);
    Py_XSETREF(st.dict, dict);
    Py_CLEAR(st.loaded_globals);  // a set-up that failed before starts over
    if (st.builtins == nullptr) {
        st.builtins = own(PyImport_ImportModule("builtins")).release();
    }
    check(PyDict_SetItemString(dict, "__builtins__", st.builtins));
}

void enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, g_state.full_name);
    if (existing == nullptr) {
        if (PyErr_Occurred()) throw_pending();
        check(PyDict_SetItem(modules, g_state.full_name, module));
    }
}

int exec_step(PyObject* module) {
    ModuleState& st = g_state;
    if (st.module != nullptr) {
        if (st.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     st.description->short_name);
        return -1;
    }
    if (check_version() < 0) return -1;
    ModuleInit init;
    try {
        if (st.full_name == nullptr) {
            st.full_name = own(PyUnicode_InternFromString(st.description->full_name)).release();
            st.file_name = own(PyUnicode_FromString(st.description->file_name)).release();
        }
        record_module(module);
        ready_function_type();
        enter_in_sys_modules(module);
        st.description->exec_body(init);
        return 0;
    } catch (...) {
        set_error_from_current_exception();
    }
    if (st.module != nullptr) {
        if (PyErr_Occurred()) {
            std::string entry = std::string("init ") + st.description->full_name;
            PyObject* entry_name = PyUnicode_InternFromString(entry.c_str());
            if (entry_name != nullptr) {
                add_traceback(entry_name, init.line());  // the code cache keeps the name
                Py_DECREF(entry_name);
            }
        }
        Py_CLEAR(st.module);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "init %s", st.description->full_name);
    }
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_step)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_step)},
#if PY_VERSION_HEX >= 0x030C0000
    // One copy of the state per process, and the guard above admits a single
    // interpreter: no subinterpreter can have a module of its own.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The process-wide state and caches are unlocked: they rely on the GIL.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

// m_methods stays empty: functions listed there would be re-added on every
// re-import, overwriting what a caller rebound. Everything is made in exec.
PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, from the description
    nullptr,  // no module documentation
    0,        // no per-module state
    nullptr,  // no module-level functions
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

ModuleState& module_state() noexcept { return g_state; }

PyObject* module_definition(const ModuleDescription& description) {
    g_state.description = &description;
    g_definition.m_name = description.short_name;
    return PyModuleDef_Init(&g_definition);
}

Ref import_module(const char* name, PyObject* fromlist, int level) {
    Ref name_obj = own(PyUnicode_FromString(name));
    return own(PyImport_ImportModuleLevelObject(name_obj, g_state.dict, nullptr, fromlist, level));
}

Ref import_from(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value != nullptr) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    throw_pending();
}

void set_global(PyObject* name, PyObject* value) {
    check(PyDict_SetItem(g_state.dict, name, value));
    if (g_state.loaded_globals == nullptr) g_state.loaded_globals = own(PyDict_New()).release();
    check(PyDict_SetItem(g_state.loaded_globals, name, value));
}

}  // namespace qalvo
