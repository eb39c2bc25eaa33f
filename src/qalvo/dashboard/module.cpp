// Load-time set-up of qalvo.dashboard.insight_board: the imports bound to
// module globals in order, then the class InsightBoard.
#include "classes.hpp"
#include "methods.hpp"
#include "module.hpp"
#include "pending_error.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

/// from <module> import <name>, with `level` 1 for a sibling module.
void import_name(const char* module, PyObject* name, int level = 0) {
    Ref fromlist = list(name);
    Ref imported = import_module(module, fromlist, level);
    set_global(name, import_from(imported, name));
}

/// Where the pending error of a failed import of `module` says that a package
/// of the dashboard extra is not installed, replaces it with
/// ModuleNotFoundError "qalvo.dashboard needs <package>: pip install
/// 'qalvo[dashboard]'" raised from it, worded by qalvo._optional like every
/// optional import of the package. Any other error stays pending as it is.
void name_the_extra(const char* module) {
    Ref error = fetch_exception();
    if (!error) return;
    Ref replacement;
    try {
        Ref fromlist = list(S.missing_package_error);  // the submodule, not the package
        Ref optional = import_module("qalvo._optional", fromlist);
        Ref make = getattr(optional, S.missing_package_error);
        Ref module_name = py_str(module);
        replacement = call(make, error, module_name, C.dashboard_extra, C.dashboard_purpose);
    } catch (const PythonError&) {
        // Wording the message must never hide the import error itself.
        PyErr_Clear();
    }
    if (!replacement || replacement.get() == Py_None) {
        restore_exception(std::move(error));
        return;
    }
    // `raise replacement from error`: both setters steal the reference.
    PyException_SetContext(replacement, newref(error).release());
    PyException_SetCause(replacement, error.release());
    restore_exception(std::move(replacement));
}

/// import <module> (as import_module does) of a package the dashboard extra
/// brings: a missing one names the extra to install.
Ref import_extra_module(const char* module, PyObject* fromlist = nullptr) {
    try {
        return import_module(module, fromlist);
    } catch (const PythonError&) {
        name_the_extra(module);
        throw;
    }
}

void create_board_class() {
    Ref no_bases = own(PyTuple_New(0));
    ClassBuilder cls(S.InsightBoard, no_bases);
    // One empty list shared by every panel constructed without feature_lis.
    Ref init_defaults = tuple(Py_None, C.empty, C.default_feature_lis, C.jupyter);
    cls.add_method(kInit, init_defaults);
    cls.add_method(kPdpAlePanel);
    cls.add_method(kViPanel);
    cls.add_method(kLocalPanel);
    cls.add_method(kExplainAllPanel);
    set_global(S.InsightBoard, cls.create());
}

void exec_body(ModuleInit& m) {
    init_constants();

    m.L(1);
    set_global(S.widgets, import_extra_module("ipywidgets"));
    m.L(2);
    // `import matplotlib.pyplot as plt`: the package, then its member pyplot.
    Ref matplotlib = import_extra_module("matplotlib.pyplot");
    set_global(S.plt, import_from(matplotlib, S.pyplot));
    m.L(3);
    import_name("qalvo.dashboard.widgets", S.QalvoWidget);
    m.L(4);
    import_name("plots", S.PlotHBar, 1);
    m.L(5);
    set_global(S.np, import_module("numpy"));
    m.L(6);
    {
        Ref fromlist = list(S.display, S.clear_output);
        Ref ipython_display = import_extra_module("IPython.display", fromlist);
        set_global(S.display, import_from(ipython_display, S.display));
        set_global(S.clear_output, import_from(ipython_display, S.clear_output));
    }
    m.L(9);
    create_board_class();
}

const ModuleDescription kDescription = {
    "insight_board",
    "qalvo.dashboard.insight_board",
    "qalvo\\dashboard\\insight_board",
    exec_body,
};

}  // namespace

}  // namespace insight_board

PyMODINIT_FUNC PyInit_insight_board(void) {
    return qalvo::module_definition(insight_board::kDescription);
}
