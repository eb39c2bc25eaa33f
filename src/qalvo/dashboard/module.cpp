// Load-time set-up of qalvo.dashboard.insight_board: the imports bound to
// module globals in order, then the class InsightBoard.
#include "classes.hpp"
#include "methods.hpp"
#include "module.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

/// from <module> import <name>, with `level` 1 for a sibling module.
void import_name(const char* module, PyObject* name, int level = 0) {
    Ref fromlist = list(name);
    Ref imported = import_module(module, fromlist, level);
    set_global(name, import_from(imported, name));
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
    set_global(S.widgets, import_module("ipywidgets"));
    m.L(2);
    // `import matplotlib.pyplot as plt`: the package, then its member pyplot.
    Ref matplotlib = import_module("matplotlib.pyplot");
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
        Ref ipython_display = import_module("IPython.display", fromlist);
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
