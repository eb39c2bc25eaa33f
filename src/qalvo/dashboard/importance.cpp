// InsightBoard.vi_panel: the permutation feature importance of the model as a
// horizontal bar chart, drawn once into an output beside an empty column.
#include "context.hpp"
#include "methods.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

/// Draws the bars of an importance result (names, importances) under the
/// experiment's display labels.
Ref vi_explain(Call& c, PyObject* interp_vi) {
    c.L(107);
    Ref hbar = call(global(S.PlotHBar));
    c.L(108);
    Ref self = c.free_variable(0, "self");
    Ref labels = own(PyList_New(0));
    Ref names = iter(item(interp_vi, 0));
    while (Ref name = next(names)) {
        // The label mapping is read afresh for every feature.
        Ref experiment = getattr(self, S.experiment);
        Ref mapping = getattr(getattr(experiment, S.data), S.truncated_columns_dict);
        append(labels, getitem(getitem(mapping, C.int_15), name));
    }
    c.L(109);
    Ref plot = getattr(hbar, S.plot);
    Ref heights = item(interp_vi, 1);
    call_kw(plot, C.kw_hbar, labels, heights, C.pfi_title);
    return none();
}

const FunctionSpec kViExplain = {
    "vi_explain", "InsightBoard.vi_panel.<locals>.vi_explain", 106, {"interp_vi"}, nullptr, {},
    nullptr, body<vi_explain>,
};

Ref vi_panel(Call& c, PyObject* self, PyObject* space_layout) {
    c.L(106);
    Ref draw = make_closure(kViExplain, nullptr, self);
    c.L(111);
    Ref output_type = widget_type(S.Output);
    Ref output_layout = layout(C.kw_width, getattr(self, S.widget_size));
    Ref ex_vi_output = call_kw(output_type, C.kw_layout, output_layout);
    c.L(112);
    Ref experiment = getattr(self, S.experiment);
    Ref compute = getattr(experiment, S.permutation_vi);
    Ref vi = call(compute, getattr(self, S.reg_model_name));
    c.L(113);
    with_block(c, ex_vi_output, [&] {
        c.L(114);
        call(draw, vi);
    });
    c.L(115);
    Ref box_type = widget_type(S.Box);
    Ref space_vi_layout = layout(C.kw_width, getattr(self, S.widget_size));
    Ref space_vi = call_kw(box_type, C.kw_layout, space_vi_layout);
    c.L(116);
    Ref row_layout = layout(C.kw_justify_content, getattr(self, S.space_style));
    Ref vi_all = box(S.HBox, row_layout, ex_vi_output, space_vi, space_layout);
    c.L(117);
    return box(S.VBox, layout(C.kw_height, C.size_30_percent), vi_all);
}

}  // namespace

const FunctionSpec kViPanel = {
    "vi_panel", "InsightBoard.vi_panel", 105, {"self", "space_layout"}, nullptr, {},
    "Builds the permutation feature importance row.\n\n"
    "Parameters\n"
    "----------\n"
    "space_layout : ipywidgets widget\n"
    "    Spacer placed last in the row.\n\n"
    "Returns\n"
    "-------\n"
    "ipywidgets.VBox\n"
    "    The chart's output, an empty column of the same width and the spacer.",
    body<vi_panel>,
};

}  // namespace insight_board
