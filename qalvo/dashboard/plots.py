"""Matplotlib charts drawn by the dashboard."""

import matplotlib.pyplot as plt


class PlotHBar:
    """Horizontal bar chart, first item on top."""

    def __init__(self, figsize=(8, 6)):
        self.figsize = figsize

    def plot(self, X, height, title):
        """Draws one bar per label and shows the figure.

        Parameters
        ----------
        X : sequence of str
            Bar labels.
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
        ax.invert_yaxis()
        ax.set_title(title, fontsize=15)
        fig.tight_layout()
        plt.show()
        return fig
