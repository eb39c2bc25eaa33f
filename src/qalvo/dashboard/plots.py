"""Matplotlib charts drawn by the dashboard."""

from .._optional import import_optional

plt = import_optional("matplotlib.pyplot", "dashboard", "qalvo.dashboard")


class PlotHBar:
    """Horizontal bar chart, drawn from the bottom up: the last item is on top.
    The experiment lists importances in increasing order, so the most
    important feature comes first when read from the top."""

    def __init__(self, figsize=(8, 6)):
        self.figsize = figsize

    def plot(self, X, height, title):
        """Draws one bar per label, shows the figure and closes it (pyplot
        would keep it open otherwise, figure after figure, where nothing
        closes them as a notebook does).

        Bars that measure the drop of a score (lengths with a ``score``
        attribute naming it, as the experiment's permutation importances have)
        get an axis saying so: "Drop in R² when shuffled".

        Parameters
        ----------
        X : sequence of str
            Bar labels, from the bottom up.
        height : sequence of float
            Bar lengths, one per label.
        title : str
            Figure title.
        """
        labels = list(X)
        lengths = list(height)
        if len(labels) != len(lengths):
            raise ValueError(f"{len(labels)} labels but {len(lengths)} bar lengths")
        positions = range(len(labels))
        fig, ax = plt.subplots(figsize=self.figsize)
        ax.barh(positions, lengths, align="center")
        ax.set_yticks(list(positions), labels)
        # As large as the axis labels of the panel's other charts: the figure
        # is shown at less than half the notebook's width.
        ax.tick_params(labelsize=12)
        ax.set_title(title, fontsize=15)
        score = getattr(height, "score", None)
        if score is not None:
            ax.set_xlabel("Drop in %s when shuffled" % score, fontsize=12)
        fig.tight_layout()
        try:
            plt.show()
        finally:
            plt.close(fig)
        return fig
