# Types of the compiled module qalvo.dashboard.insight_board. Signatures and
# defaults are those that inspect.signature reports for its function objects.
from typing import Any

import ipywidgets
import matplotlib.pyplot
import numpy
from IPython.display import clear_output as clear_output
from IPython.display import display as display

from qalvo.dashboard.plots import PlotHBar as PlotHBar
from qalvo.dashboard.widgets import QalvoWidget as QalvoWidget

widgets = ipywidgets
plt = matplotlib.pyplot
np = numpy


class InsightBoard:
    experiment: Any
    reg_model_name: str
    feature_lis: list[str]
    platform: str
    space_style: str
    widget_size: str
    space_size: str
    vi_label: str
    mute_out: ipywidgets.Output
    def __init__(
        self,
        experiment: Any = None,
        reg_model_name: str = "",
        feature_lis: list[str] = [],
        platform: str = "jupyter",
    ) -> None: ...
    # The four effect views: PDP of one feature, PDP of a pair, ALE of one
    # feature, ALE of a pair.
    def pdp_ale_panel(
        self,
    ) -> tuple[ipywidgets.VBox, ipywidgets.VBox, ipywidgets.VBox, ipywidgets.VBox]: ...
    def vi_panel(self, space_layout: ipywidgets.Box) -> ipywidgets.VBox: ...
    def local_panel(self) -> ipywidgets.VBox: ...
    def explain_all_panel(self) -> ipywidgets.VBox: ...
