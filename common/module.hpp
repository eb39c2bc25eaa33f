// Multi-phase module initialisation shared by our extension modules: the
// create and exec steps, the one-interpreter and re-initialisation guards, the
// version warning, and the "init <module>" traceback entry on failure.
#pragma once

#include "ref.hpp"

namespace qalvo {

/// Traceback-line tracker of the module set-up.
class ModuleInit {
public:
    void L(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }

private:
    int line_ = 1;
};

struct ModuleDescription {
    const char* short_name;  ///< "rampnet": the name in the re-initialisation message
    const char* full_name;   ///< "qalvo.models.rampnet.rampnet"
    const char* file_name;   ///< file name shown in traceback entries
    /// The module's own set-up: constants, built-ins, imports, classes.
    /// Runs with the module recorded and its namespace available.
    void (*exec_body)(ModuleInit&);
};

/// Process-wide state of this module (each extension links its own copy).
struct ModuleState {
    const ModuleDescription* description = nullptr;
    PyObject* full_name = nullptr;  ///< str, interned
    PyObject* file_name = nullptr;  ///< str
    PyObject* module = nullptr;     ///< the module object once set up
    PyObject* dict = nullptr;       ///< its namespace (strong reference)
    PyObject* builtins = nullptr;   ///< the builtins module
    /// What the set-up bound with set_global, as it bound it (a dict): code
    /// that must know whether a global was rebound since compares with it.
    PyObject* loaded_globals = nullptr;
};

ModuleState& module_state() noexcept;

/// The value of PyInit_<name>: the module definition for multi-phase init.
PyObject* module_definition(const ModuleDescription& description);

/// import name (absolute, level 0) with our namespace as globals. A non-empty
/// fromlist makes a dotted name return the submodule itself.
Ref import_module(const char* name, PyObject* fromlist = nullptr, int level = 0);
/// from module import name: reads the attribute, or raises ImportError
/// "cannot import name %S".
Ref import_from(PyObject* module, PyObject* name);
/// Binds a module global (and records it in ModuleState::loaded_globals).
void set_global(PyObject* name, PyObject* value);

}  // namespace qalvo
