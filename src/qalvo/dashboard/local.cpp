// InsightBoard.local_panel: a sample-index box driving two live outputs, in
// which the experiment draws the SHAP and the LIME explanation of that sample.
#include "methods.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

/// experiment.local_explain(reg_model_name=..., method=method, sample_index=idx).
void explain_sample(PyObject* self, PyObject* method, PyObject* idx) {
    Ref experiment = getattr(self, S.experiment);
    Ref explain = getattr(experiment, S.local_explain);
    Ref name = getattr(self, S.reg_model_name);
    call_kw(explain, C.kw_local_explain, name, method, idx);
}

Ref shap_explain(Call& c, PyObject* idx) {
    c.L(123);
    explain_sample(c.free_variable(0, "self"), C.shap, idx);
    return none();
}

Ref lime_explain(Call& c, PyObject* idx) {
    c.L(126);
    explain_sample(c.free_variable(0, "self"), C.lime, idx);
    return none();
}

const FunctionSpec kShapExplain = {
    "shap_explain", "InsightBoard.local_panel.<locals>.shap_explain", 122, {"idx"}, nullptr, {},
    nullptr, body<shap_explain>,
};

const FunctionSpec kLimeExplain = {
    "lime_explain", "InsightBoard.local_panel.<locals>.lime_explain", 125, {"idx"}, nullptr, {},
    nullptr, body<lime_explain>,
};

Ref local_panel(Call& c, PyObject* self) {
    c.L(120);
    Ref index_type = widget_type(S.BoundedIntText);
    Ref experiment = getattr(self, S.experiment);
    // Rows are numbered from 0: the last one is rows - 1.
    Ref rows_shape = getattr(getattr(getattr(experiment, S.data), S.x), S.shape);
    Ref last_row = num::sub(item(rows_shape, 0), C.int_1);
    Ref style = initial_description_style();
    Ref index_layout = layout(C.kw_width, C.size_50_percent);
    Ref ex_index = call_kw(index_type, C.kw_index_box, C.int_0, C.int_0, last_row, Py_False, style,
                           index_layout);
    c.L(122);
    Ref shap_callback = make_closure(kShapExplain, nullptr, self);
    c.L(125);
    Ref lime_callback = make_closure(kLimeExplain, nullptr, self);

    c.L(128);
    Ref index_label = html(C.sample_index_label);
    c.L(129);
    Ref index_gap = qalvo_widget(S.margin_right, C.px_5);
    Ref ui0_layout = layout(C.kw_width_align_items, C.size_50_percent, C.center);
    Ref ui0 = box(S.HBox, ui0_layout, index_label, index_gap, ex_index);
    c.L(130);
    Ref shap_name = html(C.shap_heading);
    c.L(131);
    Ref shap_out0 = live_output(shap_callback, controls(S.idx, ex_index));
    c.L(132);
    Ref shap_gap = qalvo_widget(S.margin_top, C.px_10);
    Ref shap_layout = layout(C.kw_width, getattr(self, S.widget_size));
    Ref shap_explain_all = box(S.VBox, shap_layout, shap_name, shap_gap, shap_out0);
    c.L(133);
    Ref lime_name = html(C.lime_heading);
    c.L(134);
    Ref lime_out0 = live_output(lime_callback, controls(S.idx, ex_index));
    c.L(135);
    Ref lime_gap = qalvo_widget(S.margin_top, C.px_10);
    Ref lime_layout = layout(C.kw_width, C.size_100_percent);
    Ref lime_explain_all = box(S.VBox, lime_layout, lime_name, lime_gap, lime_out0);
    c.L(136);
    Ref box_type = widget_type(S.Box);
    Ref space_layout_layout = layout(C.kw_width, getattr(self, S.space_size));
    Ref space_layout = call_kw(box_type, C.kw_layout, space_layout_layout);
    c.L(137);
    Ref lime_box_layout = layout(C.kw_width, getattr(self, S.widget_size));
    Ref lime_box = box(S.Box, lime_box_layout, lime_explain_all);
    Ref columns_gap = qalvo_widget(S.margin_right, C.px_30);
    Ref graphs_layout = layout(C.kw_justify_content, C.space_between);
    Ref graphs = box(S.HBox, graphs_layout, lime_box, columns_gap, shap_explain_all, space_layout);
    c.L(138);
    Ref rows_gap = qalvo_widget(S.margin_top, C.px_10);
    Ref local_layout = layout(C.kw_justify_content, C.space_between);
    Ref local_all = box(S.VBox, local_layout, ui0, rows_gap, graphs);
    c.L(139);
    return local_all;
}

}  // namespace

const FunctionSpec kLocalPanel = {
    "local_panel", "InsightBoard.local_panel", 119, {"self"}, nullptr, {},
    "Builds the local view.\n\n"
    "Returns\n"
    "-------\n"
    "ipywidgets.VBox\n"
    "    A sample-index box above the LIME and SHAP explanations of that sample,\n"
    "    which the experiment draws again whenever the index changes.",
    body<local_panel>,
};

}  // namespace insight_board
