// Names and constant objects of the insight_board module, created once at load time.
#pragma once

#include "interned.hpp"

// Global and attribute names used by the method bodies.
#define BOARD_NAMES(X, XS)                                                                  \
    /* module globals, in the order of binding */                                          \
    X(widgets) X(plt) X(QalvoWidget) X(PlotHBar) X(np) X(display) X(clear_output)           \
    X(InsightBoard) X(pyplot)                                                              \
    /* qalvo._optional */                                                                  \
    X(missing_package_error)                                                               \
    /* ipywidgets */                                                                       \
    X(Output) X(Box) X(HBox) X(VBox) X(HTML) X(Dropdown) X(BoundedIntText) X(IntProgress)   \
    X(ToggleButtons) X(Layout) X(interactive_output) X(add_class) X(value)                 \
    X(description_width)                                                                   \
    /* QalvoWidget */                                                                      \
    X(margin_top) X(margin_right) X(divider)                                               \
    /* matplotlib.pyplot and numpy */                                                      \
    X(figure) X(plot) X(imshow) X(colorbar) X(title) X(xlabel) X(ylabel) X(tight_layout)    \
    X(show) X(max) X(min) X(log10) X(tolist)                                               \
    /* panel settings */                                                                   \
    X(experiment) X(reg_model_name) X(feature_lis) X(platform) X(space_style)              \
    X(widget_size) X(space_size) X(vi_label) X(mute_out)                                   \
    /* methods */                                                                          \
    X(vi_panel) X(pdp_ale_panel) X(local_panel)                                            \
    /* experiment members */                                                               \
    X(explain_single) X(per_vi_rank) X(pdp_explain) X(ale_explain) X(permutation_vi)        \
    X(data) X(truncated_columns_dict) X(x) X(shape) X(local_explain) X(average)            \
    XS(values_, "values")                                                                  \
    /* closure parameters (mapping keys of the live outputs) */                            \
    X(feature0) X(feature1) X(idx) X(toggle)

// Texts of the panel, one object each for the life of the process.
#define BOARD_TEXTS(T)                                                                     \
    T(dashboard_extra, "dashboard")                                                        \
    T(dashboard_purpose, "qalvo.dashboard")                                                \
    T(colab, "colab")                                                                      \
    T(jupyter, "jupyter")                                                                  \
    T(empty, "")                                                                           \
    T(space_between, "space-between")                                                      \
    T(size_38, "38%")                                                                      \
    T(size_18, "18%")                                                                      \
    T(size_45, "45%")                                                                      \
    T(size_1, "1%")                                                                        \
    T(size_30_percent, "30%")                                                              \
    T(size_50_percent, "50%")                                                              \
    T(size_100_percent, "100%")                                                            \
    T(px_5, "5px")                                                                         \
    T(px_10, "10px")                                                                       \
    T(px_15, "15px")                                                                       \
    T(px_30, "30px")                                                                       \
    T(vi_label_colab, "<h4>Variable Importance:</h4>")                                     \
    T(vi_label_wide, "<h4>Variable Importance:        </h4>")                              \
    T(initial, "initial")                                                                  \
    T(center, "center")                                                                    \
    T(progress_description, "Calculating post-hoc statistics:")                            \
    T(message_pfi, "<p>Calculating post-hoc PFI...</p>")                                   \
    T(message_effects, "<p>Calculating PDP & ALE...</p>")                                  \
    T(message_local, "<p>Calculating local explainability...</p>")                         \
    T(univariate, "<h4>Univariate:</h4>")                                                  \
    T(bivariate, "<h4>Bivariate:</h4>")                                                    \
    T(fix_img, "fix-img")                                                                  \
    T(global_view, "Global-Explainability")                                                \
    T(local_view, "Local-Explainability")                                                  \
    T(feature_1_label, "Feature 1:")                                                       \
    T(feature_2_label, "Feature 2:")                                                       \
    T(pdp_title, "Partial Dependence Plot")                                                \
    T(ale_title, "Accumulated Local Effects")                                              \
    T(nearest, "nearest")                                                                  \
    T(auto_, "auto")                                                                       \
    T(vertical, "vertical")                                                                \
    T(scientific_format, "%.0e")                                                           \
    T(fixed_format_head, "%0.")                                                            \
    T(fixed_format_tail, "f")                                                              \
    T(equal_features, "<font size=\"+1\">Please select two different features</font>")    \
    T(no_interaction, "<font size=\"+1\">No this interaction effect</font>")               \
    T(pfi_title, "Permutation Feature Importance")                                         \
    T(sample_index_label, "<p>Sample Index:</p>")                                          \
    T(shap_heading, "<h4 style=\"margin-bottom: 0px\">SHAP:</h4>")                         \
    T(lime_heading, "<h4 style=\"margin-bottom: 0px\">LIME:</h4>")                         \
    T(shap, "SHAP")                                                                        \
    T(lime, "LIME")

// Keyword-name tuples of the calls with keywords, in the order the calls pass them.
#define BOARD_KEYWORDS(K)                                                                  \
    K(kw_width, "width")                                                                   \
    K(kw_height, "height")                                                                 \
    K(kw_layout, "layout")                                                                 \
    K(kw_justify_content, "justify_content")                                               \
    K(kw_align_items, "align_items")                                                       \
    K(kw_width_align_items, "width", "align_items")                                        \
    K(kw_progress, "min", "max", "description", "style")                                   \
    K(kw_dropdown, "options", "value", "description", "disabled", "style")                 \
    K(kw_toggle, "options", "description", "disabled", "button_style")                     \
    K(kw_index_box, "value", "min", "max", "disabled", "style", "layout")                  \
    K(kw_figsize, "figsize")                                                               \
    K(kw_fontsize, "fontsize")                                                             \
    K(kw_imshow, "interpolation", "aspect", "extent")                                      \
    K(kw_colorbar, "orientation", "format", "use_gridspec")                                \
    K(kw_axis, "axis")                                                                     \
    K(kw_hbar, "X", "height", "title")                                                     \
    K(kw_local_explain, "reg_model_name", "method", "sample_index")

namespace insight_board {

struct Names {
    BOARD_NAMES(QALVO_DECLARE_NAME, QALVO_DECLARE_NAME_S)
};

#define BOARD_DECLARE_CONSTANT(id, ...) PyObject* id = nullptr;

/// Constant objects shared by the methods (texts, numbers, keyword-name tuples).
struct Constants {
    BOARD_TEXTS(BOARD_DECLARE_CONSTANT)
    BOARD_KEYWORDS(BOARD_DECLARE_CONSTANT)
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_2 = nullptr;
    PyObject* int_3 = nullptr;
    PyObject* int_12 = nullptr;
    PyObject* int_15 = nullptr;
    PyObject* tiny_effect = nullptr;  ///< 1e-6: below it a colour bar uses scientific notation
    PyObject* figsize = nullptr;      ///< (8, 6)
    PyObject* default_none = nullptr; ///< (None,): defaults of the callbacks' optional feature1
    PyObject* reversed = nullptr;     ///< slice(None, None, -1)
    /// The one empty list shared as the default of InsightBoard.__init__'s feature_lis.
    PyObject* default_feature_lis = nullptr;
};

#undef BOARD_DECLARE_CONSTANT

extern Names S;
extern Constants C;

/// Creates S and C (once per process).
void init_constants();

}  // namespace insight_board
