// InsightBoard.explain_all_panel: builds the importance, effect and local
// sub-panels behind a progress bar, then a toggle between the global view
// (importance, one-feature and two-feature effects) and the local view.
#include "context.hpp"
#include "globals.hpp"
#include "methods.hpp"
#include "unpack.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

/// Shows the view that the toggle names.
Ref show_tab(Call& c, PyObject* toggle) {
    Ref show_int;
    c.L(182);
    if (equals(toggle, C.global_view)) {
        c.L(183);
        show_int = c.free_variable(0, "post_interactive");
    } else {
        c.L(184);
        if (equals(toggle, C.local_view)) {
            c.L(185);
            show_int = c.free_variable(1, "local_all");
        }
    }
    c.L(186);
    if (!show_int) raise_unbound_local("show_int");
    display(show_int);
    return none();
}

const FunctionSpec kShowTab = {
    "show_tab", "InsightBoard.explain_all_panel.<locals>.show_tab", 181, {"toggle"}, nullptr, {},
    nullptr, body<show_tab>,
};

/// With `output` as the context: clear_output(), then display an HTML message.
void replace_message(Call& c, PyObject* output, int line, PyObject* message) {
    with_block(c, output, [&] {
        c.L(line + 1);
        clear_output();
        c.L(line + 2);
        display(html(message));
    });
}

/// VBox([HTML(heading), Box(layout=Layout(height="15px"))]).
Ref section_heading(PyObject* heading) {
    Ref text = html(heading);
    Ref box_type = widget_type(S.Box);
    Ref gap_layout = layout(C.kw_height, C.px_15);
    Ref gap = call_kw(box_type, C.kw_layout, gap_layout);
    return box(S.VBox, nullptr, text, gap);
}

/// HBox([pdp_view, 30px spacer, ale_view, space_layout]) spread by space_style.
Ref effects_row(PyObject* self, PyObject* pdp_view, PyObject* ale_view, PyObject* space_layout) {
    Ref gap = qalvo_widget(S.margin_right, C.px_30);
    Ref row_layout = layout(C.kw_justify_content, getattr(self, S.space_style));
    return box(S.HBox, row_layout, pdp_view, gap, ale_view, space_layout);
}

/// VBox([heading, row], layout=Layout(height="30%")).
Ref effects_section(PyObject* heading, PyObject* row) {
    Ref section_layout = layout(C.kw_height, C.size_30_percent);
    return box(S.VBox, section_layout, heading, row);
}

Ref explain_all_panel(Call& c, PyObject* self) {
    c.L(142);
    Ref box_type = widget_type(S.Box);
    Ref space_layout_layout = layout(C.kw_width, getattr(self, S.space_size));
    Ref space_layout = call_kw(box_type, C.kw_layout, space_layout_layout);
    c.L(143);
    Ref progress_type = widget_type(S.IntProgress);
    Ref progress_style = initial_description_style();
    Ref pro = call_kw(progress_type, C.kw_progress, C.int_0, C.int_3, C.progress_description,
                      progress_style);
    c.L(144);
    setattr(pro, S.value, C.int_0);
    c.L(145);
    Ref progress_out = call(widget_type(S.Output));
    c.L(146);
    Ref captain_out = call(widget_type(S.Output));
    c.L(147);
    Ref bar_gap = qalvo_widget(S.margin_right, C.px_5);
    Ref bar_layout = layout(C.kw_align_items, C.center);
    Ref progress_bar = box(S.HBox, bar_layout, progress_out, bar_gap, captain_out);
    c.L(148);
    Ref top_gap = qalvo_widget(S.margin_top, C.px_10);
    display(box(S.VBox, nullptr, top_gap, progress_bar));
    c.L(149);
    with_block(c, progress_out, [&] {
        c.L(150);
        display(pro);
    });
    c.L(151);
    replace_message(c, captain_out, 151, C.message_pfi);
    c.L(154);
    Ref vi_all = call_method(self, S.vi_panel, space_layout);
    c.L(155);
    setattr(pro, S.value, C.int_1);
    c.L(156);
    replace_message(c, captain_out, 156, C.message_effects);
    c.L(159);
    auto [pdp_explain_01, pdp_explain_02, ale_explain_01, ale_explain_02] =
        unpack<4>(call_method(self, S.pdp_ale_panel));
    c.L(160);
    setattr(pro, S.value, C.int_2);
    c.L(161);
    Ref uni_all_name = section_heading(C.univariate);
    c.L(162);
    Ref uni_row = effects_row(self, pdp_explain_01, ale_explain_01, space_layout);
    c.L(163);
    Ref uni_explain_all = effects_section(uni_all_name, uni_row);
    c.L(164);
    Ref bi_all_name = section_heading(C.bivariate);
    c.L(165);
    Ref bi_row = effects_row(self, pdp_explain_02, ale_explain_02, space_layout);
    c.L(166);
    Ref bi_explain_all = effects_section(bi_all_name, bi_row);
    c.L(167);
    Ref rule_1 = qalvo_widget(S.divider);
    Ref rule_2 = qalvo_widget(S.divider);
    Ref global_layout = layout(C.kw_justify_content, C.space_between);
    Ref post_interactive =
        box(S.VBox, global_layout, vi_all, rule_1, uni_explain_all, rule_2, bi_explain_all);
    c.L(168);
    call_method(post_interactive, S.add_class, C.fix_img);
    c.L(169);
    replace_message(c, captain_out, 169, C.message_local);
    c.L(172);
    Ref local_all = call_method(self, S.local_panel);
    c.L(173);
    setattr(pro, S.value, C.int_3);
    c.L(174);
    call_method(local_all, S.add_class, C.fix_img);
    c.L(175);
    with_block(c, progress_out, [&] {
        c.L(176);
        clear_output();
    });
    c.L(177);
    with_block(c, captain_out, [&] {
        c.L(178);
        clear_output();
    });
    c.L(179);
    Ref toggle_type = widget_type(S.ToggleButtons);
    Ref options = list(C.global_view, C.local_view);
    Ref toggle_buttons =
        call_kw(toggle_type, C.kw_toggle, options, C.empty, Py_False, C.empty);
    c.L(181);
    Ref show = make_closure(kShowTab, nullptr, post_interactive, local_all);
    c.L(188);
    Ref inter_out = live_output(show, controls(S.toggle, toggle_buttons));
    c.L(189);
    Ref toggle_gap = qalvo_widget(S.margin_top, C.px_10);
    return box(S.VBox, nullptr, toggle_buttons, toggle_gap, inter_out);
}

}  // namespace

const FunctionSpec kExplainAllPanel = {
    "explain_all_panel", "InsightBoard.explain_all_panel", 141, {"self"}, nullptr, {},
    "Builds the whole panel.\n\n"
    "Shows a progress bar while the importance, effect and local sub-panels\n"
    "are computed, in this order.\n\n"
    "Returns\n"
    "-------\n"
    "ipywidgets.VBox\n"
    "    A toggle between the global view (importance, one-feature and\n"
    "    two-feature effects) and the local view (SHAP and LIME of a sample).",
    body<explain_all_panel>,
};

}  // namespace insight_board
