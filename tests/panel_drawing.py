"""The panel's drawing of a two-feature effect, for tests that read pixels."""

import matplotlib.pyplot as plt


def draw_as_panel(image, v0, v1):
    """The panel draws a pair with exactly this call; imshow puts row 0 at the top."""
    figure = plt.figure(figsize=(8, 6))
    shown = plt.imshow(
        image,
        interpolation="nearest",
        aspect="auto",
        extent=[v0.min(axis=0), v0.max(axis=0), v1.min(axis=0), v1.max(axis=0)],
    )
    return figure, shown
