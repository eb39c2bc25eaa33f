// InsightBoard.__init__: stores the panel's settings, picks the sizes for the
// notebook platform, and has the experiment prepare the model's explanations
// inside the muting output, so that whatever that prints stays hidden.
#include "context.hpp"
#include "methods.hpp"

using namespace qalvo;

namespace insight_board {

namespace {

Ref init(Call& c, PyObject* self, PyObject* experiment, PyObject* reg_model_name,
         PyObject* feature_lis, PyObject* platform) {
    c.L(11);
    setattr(self, S.experiment, experiment);
    c.L(12);
    setattr(self, S.reg_model_name, reg_model_name);
    c.L(13);
    setattr(self, S.feature_lis, feature_lis);
    c.L(14);
    setattr(self, S.platform, platform);
    c.L(15);
    setattr(self, S.space_style, C.space_between);
    c.L(16);
    // Only the exact, lower-case "colab" selects the narrow layout.
    if (compare(platform, C.colab, Py_EQ)) {
        c.L(17);
        setattr(self, S.widget_size, C.size_38);
        c.L(18);
        setattr(self, S.space_size, C.size_18);
        c.L(19);
        setattr(self, S.vi_label, C.vi_label_colab);
    } else {
        c.L(21);
        setattr(self, S.widget_size, C.size_45);
        c.L(22);
        setattr(self, S.space_size, C.size_1);
        c.L(23);
        setattr(self, S.vi_label, C.vi_label_wide);
    }
    c.L(24);
    setattr(self, S.mute_out, call(widget_type(S.Output)));
    c.L(25);
    Ref mute_out = getattr(self, S.mute_out);
    with_block(c, mute_out, [&] {
        c.L(26);
        Ref experiment_ = getattr(self, S.experiment);
        Ref prepare = getattr(experiment_, S.explain_single);
        call(prepare, getattr(self, S.reg_model_name));
    });
    return none();
}

}  // namespace

const FunctionSpec kInit = {
    "__init__", "InsightBoard.__init__", 10,
    {"self", "experiment", "reg_model_name", "feature_lis", "platform"}, nullptr, {},
    "Panel of post-hoc explanations of one model held by an experiment.\n\n"
    "Asks the experiment once, silently, to prepare the model's explanations\n"
    "(``experiment.explain_single(reg_model_name)``); ``explain_all_panel``\n"
    "then builds the panel.\n\n"
    "Parameters\n"
    "----------\n"
    "experiment : object, default=None\n"
    "    The experiment holding the model; it computes every explanation.\n"
    "reg_model_name : str, default=\"\"\n"
    "    Name under which the experiment holds the model to explain.\n"
    "feature_lis : list, default=[]\n"
    "    Kept as given; the panel takes its features from the experiment.\n"
    "platform : str, default=\"jupyter\"\n"
    "    \"colab\" selects narrower plot columns and wider spacers.",
    body<init>,
};

}  // namespace insight_board
