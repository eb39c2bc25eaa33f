"""Small layout widgets shared by the dashboard's panels."""

from .._optional import import_optional

widgets = import_optional("ipywidgets", "dashboard", "qalvo.dashboard")


class QalvoWidget:
    """Spacers and rules, used through the class (never instantiated)."""

    @classmethod
    def margin_top(cls, size):
        """An empty box `size` high (a CSS size, e.g. "10px"): vertical spacing."""
        return widgets.Box(layout=widgets.Layout(height=size, min_height=size))

    @classmethod
    def margin_right(cls, size):
        """An empty box `size` wide (a CSS size, e.g. "5px"): horizontal spacing."""
        return widgets.Box(layout=widgets.Layout(width=size, min_width=size))

    @classmethod
    def divider(cls):
        """A full-width horizontal rule."""
        return widgets.HTML(
            '<hr style="margin: 8px 0; border: 0; border-top: 1px solid #ccc">',
            layout=widgets.Layout(width="100%"),
        )
