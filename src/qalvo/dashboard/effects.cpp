// InsightBoard.pdp_ale_panel: partial dependence and accumulated local effects
// for one feature and for a pair, each a view with its selectors and a live
// output that asks the experiment again and redraws whenever a selector changes.
#include "context.hpp"
#include "methods.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

// ---- drawing helpers ------------------------------------------------------------

/// plt.<name>(args...)
template <class... A>
Ref pyplot(PyObject* name, const A&... args) {
    Ref plt = global(S.plt);
    return call_method(plt, name, args...);
}

/// plt.<name>(positional..., keywords...): the last len(kwnames) values are keywords.
template <class... A>
Ref pyplot_kw(PyObject* name, PyObject* kwnames, const A&... args) {
    Ref plt = global(S.plt);
    return call_method_kw(plt, name, kwnames, args...);
}

/// np.<name>(args...)
template <class... A>
Ref numpy(PyObject* name, const A&... args) {
    Ref np = global(S.np);
    return call_method(np, name, args...);
}

/// np.max(a) - np.min(a): the range of an effect over all its entries.
Ref effect_range(PyObject* effect) {
    Ref top = numpy(S.max, effect);
    Ref bottom = numpy(S.min, effect);
    return num::sub(top, bottom);
}

/// "%0.<d>f" for a colour bar over an effect of range r: d = int(-log10(r)) + 2,
/// or 0 where that is negative, so that about two significant digits show.
Ref fixed_format(PyObject* effect) {
    Ref range = effect_range(effect);
    Ref log = numpy(S.log10, range);
    Ref truncated = own(PyNumber_Long(num::neg(log)));
    Ref decimals = num::add(truncated, C.int_2);
    if (compare(decimals, C.int_0, Py_LT)) decimals = newref(C.int_0);
    Ref digits = own(PyObject_Str(decimals));
    Ref head = own(PyUnicode_Concat(C.fixed_format_head, digits));
    return own(PyUnicode_Concat(head, C.fixed_format_tail));
}

void show_message(PyObject* text) { display(html(text)); }

/// np.shape(effect): (rows, columns) of a two-feature image.
Ref image_shape(PyObject* effect) { return numpy(S.shape, effect); }

/// Whether an image of this shape has fewer than two rows or columns: the
/// pair holds a constant feature (a grid of one value), whose pixels would
/// span nothing, and whose grid has no step to centre them by.
bool too_few_pixels(PyObject* shape) {
    return compare(item(shape, 0), C.int_2, Py_LT) || compare(item(shape, 1), C.int_2, Py_LT);
}

/// Half the step of an evenly spaced grid from low to high in `count` values.
Ref half_step(PyObject* low, PyObject* high, PyObject* count) {
    Ref steps = num::mul(num::sub(count, C.int_1), C.int_2);
    return num::truediv(num::sub(high, low), steps);
}

/// imshow's extent for an image whose pixels are centred on their grid values:
/// the grids' ends widened by half a grid step (columns run along feature0, rows
/// up feature1). The ends alone would put the first and last pixels' edges on
/// them, and every value half a pixel off (a flag's 0 and 1 at 0.25 and 0.75).
Ref centred_extent(PyObject* shape, PyObject* x_min, PyObject* x_max, PyObject* y_min,
                   PyObject* y_max) {
    Ref half_x = half_step(x_min, x_max, item(shape, 1));
    Ref half_y = half_step(y_min, y_max, item(shape, 0));
    return list(num::sub(x_min, half_x), num::add(x_max, half_x), num::sub(y_min, half_y),
                num::add(y_max, half_y));
}

// ---- the callbacks ------------------------------------------------------------------

/// Shows the partial dependence of feature0, or of the pair (feature0, feature1).
Ref pdp_explain(Call& c, PyObject* feature0, PyObject* feature1) {
    c.L(35);
    Ref self = c.free_variable(0, "self");
    Ref experiment = getattr(self, S.experiment);
    Ref compute = getattr(experiment, S.pdp_explain);
    Ref name = getattr(self, S.reg_model_name);
    Ref res_show = call(compute, name, feature0, feature1);
    c.L(36);
    if (equals(feature1, Py_None)) {
        c.L(37);
        pyplot_kw(S.figure, C.kw_figsize, C.figsize);
        c.L(38);
        // Plain lists: the grid and the averages as Python numbers.
        Ref grid = call_method(item(getitem(res_show, S.values_), 0), S.tolist);
        Ref average = call_method(item(getitem(res_show, S.average), 0), S.tolist);
        pyplot(S.plot, grid, average);
        c.L(39);
        pyplot_kw(S.title, C.kw_fontsize, C.pdp_title, C.int_15);
        c.L(40);
        pyplot_kw(S.xlabel, C.kw_fontsize, feature0, C.int_12);
        c.L(41);
        pyplot(S.tight_layout);
        c.L(42);
        pyplot(S.show);
        return none();
    }
    c.L(43);
    if (equals(feature0, feature1)) {
        c.L(44);
        show_message(C.equal_features);
        return none();
    }
    c.L(45);
    Ref average = item(getitem(res_show, S.average), 0);
    if (equals(effect_range(average), C.int_0)) {
        c.L(46);
        show_message(C.no_interaction);
        return none();
    }
    c.L(47);
    // A constant feature cannot interact, and its image would be empty: the
    // same message as for the ALE of such a pair, before any figure exists.
    Ref shape = image_shape(average);
    if (too_few_pixels(shape)) {
        show_message(C.no_interaction);
        return none();
    }
    c.L(48);
    pyplot_kw(S.figure, C.kw_figsize, C.figsize);
    c.L(49);
    Ref effect = item(getitem(res_show, S.average), 0);
    Ref values = getitem(res_show, S.values_);
    Ref grid0 = item(values, 0);
    Ref grid1 = item(values, 1);
    Ref x_min = call_method_kw(grid0, S.min, C.kw_axis, C.int_0);
    Ref x_max = call_method_kw(grid0, S.max, C.kw_axis, C.int_0);
    Ref y_min = call_method_kw(grid1, S.min, C.kw_axis, C.int_0);
    Ref y_max = call_method_kw(grid1, S.max, C.kw_axis, C.int_0);
    Ref extent = centred_extent(shape, x_min, x_max, y_min, y_max);
    pyplot_kw(S.imshow, C.kw_imshow, effect, C.nearest, C.auto_, extent);
    c.L(50);
    Ref format = fixed_format(effect);
    c.L(52);
    pyplot_kw(S.colorbar, C.kw_colorbar, C.vertical, format, Py_True);
    c.L(53);
    pyplot_kw(S.title, C.kw_fontsize, C.pdp_title, C.int_15);
    c.L(54);
    pyplot_kw(S.xlabel, C.kw_fontsize, feature0, C.int_12);
    c.L(55);
    pyplot_kw(S.ylabel, C.kw_fontsize, feature1, C.int_12);
    c.L(56);
    pyplot(S.tight_layout);
    c.L(57);
    pyplot(S.show);
    return none();
}

/// Shows the accumulated local effects of feature0, or of the pair.
Ref ale_explain(Call& c, PyObject* feature0, PyObject* feature1) {
    c.L(60);
    Ref self = c.free_variable(0, "self");
    Ref res_show;
    Ref mute_out = getattr(self, S.mute_out);
    // The computation may print or display; mute_out keeps that out of sight.
    Ref failure = with_block(c, mute_out, [&] {
        c.L(61);
        Ref experiment = getattr(self, S.experiment);
        Ref compute = getattr(experiment, S.ale_explain);
        Ref name = getattr(self, S.reg_model_name);
        res_show = call(compute, name, feature0, feature1);
    });
    c.L(62);
    // A failure that mute_out swallowed would leave no result to draw: report
    // the real cause rather than drawing from nothing.
    if (failure) {
        reraise(failure);
    }
    c.L(63);
    if (equals(feature1, Py_None)) {
        c.L(64);
        pyplot_kw(S.figure, C.kw_figsize, C.figsize);
        c.L(65);
        Ref positions = item(res_show, 0);
        Ref effects = item(res_show, 1);
        pyplot(S.plot, positions, effects);
        c.L(66);
        pyplot_kw(S.title, C.kw_fontsize, C.ale_title, C.int_15);
        c.L(67);
        pyplot_kw(S.xlabel, C.kw_fontsize, feature0, C.int_12);
        c.L(68);
        pyplot(S.tight_layout);
        c.L(69);
        pyplot(S.show);
        return none();
    }
    c.L(70);
    if (equals(feature0, feature1)) {
        c.L(71);
        show_message(C.equal_features);
        return none();
    }
    c.L(72);
    if (res_show.get() == Py_None) {
        c.L(73);
        show_message(C.no_interaction);
        return none();
    }
    c.L(74);
    // A constant effect has no colour scale (its range has no logarithm):
    // it is the same "no interaction" case, caught before any figure exists.
    Ref effect = item(res_show, 2);
    if (equals(effect_range(effect), C.int_0)) {
        c.L(75);
        show_message(C.no_interaction);
        return none();
    }
    c.L(76);
    Ref shape = image_shape(effect);
    if (too_few_pixels(shape)) {
        show_message(C.no_interaction);
        return none();
    }
    c.L(77);
    pyplot_kw(S.figure, C.kw_figsize, C.figsize);
    c.L(78);
    Ref values0 = item(res_show, 0);
    Ref values1 = item(res_show, 1);
    Ref x_min = call_method_kw(global(S.np), S.min, C.kw_axis, values0, C.int_0);
    Ref x_max = call_method_kw(global(S.np), S.max, C.kw_axis, values0, C.int_0);
    Ref y_min = call_method_kw(global(S.np), S.min, C.kw_axis, values1, C.int_0);
    Ref y_max = call_method_kw(global(S.np), S.max, C.kw_axis, values1, C.int_0);
    Ref extent = centred_extent(shape, x_min, x_max, y_min, y_max);
    pyplot_kw(S.imshow, C.kw_imshow, effect, C.nearest, C.auto_, extent);
    c.L(79);
    Ref format = fixed_format(effect);
    c.L(81);
    // Effects that all lie below 1e-6 read better in scientific notation.
    if (compare(numpy(S.max, effect), C.tiny_effect, Py_LT)) {
        c.L(82);
        pyplot_kw(S.colorbar, C.kw_colorbar, C.vertical, C.scientific_format, Py_True);
    } else {
        c.L(84);
        pyplot_kw(S.colorbar, C.kw_colorbar, C.vertical, format, Py_True);
    }
    c.L(85);
    pyplot_kw(S.title, C.kw_fontsize, C.ale_title, C.int_15);
    c.L(86);
    pyplot_kw(S.xlabel, C.kw_fontsize, feature0, C.int_12);
    c.L(87);
    pyplot_kw(S.ylabel, C.kw_fontsize, feature1, C.int_12);
    c.L(88);
    pyplot(S.tight_layout);
    c.L(89);
    pyplot(S.show);
    return none();
}

const FunctionSpec kPdpExplain = {
    "pdp_explain", "InsightBoard.pdp_ale_panel.<locals>.pdp_explain", 34,
    {"feature0", "feature1"}, nullptr, {}, nullptr, body<pdp_explain>,
};

const FunctionSpec kAleExplain = {
    "ale_explain", "InsightBoard.pdp_ale_panel.<locals>.ale_explain", 59,
    {"feature0", "feature1"}, nullptr, {}, nullptr, body<ale_explain>,
};

// ---- the panel --------------------------------------------------------------------

/// widgets.Dropdown over the features, starting at features[index].
Ref feature_selector(PyObject* features, PyObject* index, PyObject* description) {
    Ref type = widget_type(S.Dropdown);
    Ref value = getitem(features, index);
    Ref style = initial_description_style();
    return call_kw(type, C.kw_dropdown, features, value, description, Py_False, style);
}

/// VBox([header, 10px spacer, output]) of the plot-column width.
Ref effect_view(PyObject* self, PyObject* header, PyObject* output) {
    Ref spacer = qalvo_widget(S.margin_top, C.px_10);
    Ref width = getattr(self, S.widget_size);
    Ref view_layout = layout(C.kw_width, width);
    return box(S.VBox, view_layout, header, spacer, output);
}

/// The empty, 30px high row that stands where the PDP views have their selectors.
Ref empty_header() {
    Ref row_layout = layout(C.kw_height, C.px_30);
    return box(S.HBox, row_layout);
}

Ref pdp_ale_panel(Call& c, PyObject* self) {
    c.L(29);
    Ref experiment = getattr(self, S.experiment);
    Ref features = getitem(getattr(experiment, S.per_vi_rank), C.reversed);
    c.L(30);
    Ref uni_feature_0 = feature_selector(features, C.int_0, C.feature_1_label);
    c.L(31);
    Ref bi_feature_0 = feature_selector(features, C.int_0, C.feature_1_label);
    c.L(32);
    Ref bi_feature_1 = feature_selector(features, C.int_1, C.feature_2_label);
    c.L(34);
    Ref pdp_callback = make_closure(kPdpExplain, C.default_none, self);
    c.L(59);
    Ref ale_callback = make_closure(kAleExplain, C.default_none, self);

    c.L(91);
    Ref pdp_uni_header = box(S.HBox, nullptr, uni_feature_0);
    c.L(92);
    Ref pdp_uni_down = live_output(pdp_callback, controls(S.feature0, uni_feature_0));
    c.L(93);
    Ref pdp_explain_01 = effect_view(self, pdp_uni_header, pdp_uni_down);
    c.L(94);
    Ref ale_uni_header = empty_header();
    c.L(95);
    Ref ale_uni_down = live_output(ale_callback, controls(S.feature0, uni_feature_0));
    c.L(96);
    Ref ale_explain_01 = effect_view(self, ale_uni_header, ale_uni_down);
    c.L(97);
    Ref selectors_gap = qalvo_widget(S.margin_top, C.px_5);
    Ref pdp_bi_header = box(S.HBox, nullptr, bi_feature_0, selectors_gap, bi_feature_1);
    c.L(98);
    Ref pdp_bi_down = live_output(
        pdp_callback, controls(S.feature0, bi_feature_0, S.feature1, bi_feature_1));
    c.L(99);
    Ref pdp_explain_02 = effect_view(self, pdp_bi_header, pdp_bi_down);
    c.L(100);
    Ref ale_bi_header = empty_header();
    c.L(101);
    Ref ale_bi_down = live_output(
        ale_callback, controls(S.feature0, bi_feature_0, S.feature1, bi_feature_1));
    c.L(102);
    Ref ale_explain_02 = effect_view(self, ale_bi_header, ale_bi_down);
    c.L(103);
    return tuple(pdp_explain_01, pdp_explain_02, ale_explain_01, ale_explain_02);
}

}  // namespace

const FunctionSpec kPdpAlePanel = {
    "pdp_ale_panel", "InsightBoard.pdp_ale_panel", 28, {"self"}, nullptr, {},
    "Builds the four effect views.\n\n"
    "Returns\n"
    "-------\n"
    "(pdp_one, pdp_two, ale_one, ale_two) : tuple of ipywidgets.VBox\n"
    "    Partial dependence and accumulated local effects of one feature and of\n"
    "    a pair, each redrawn when its feature selectors change. The selectors\n"
    "    offer the experiment's ``per_vi_rank`` in reverse order.",
    body<pdp_ale_panel>,
};

}  // namespace insight_board
