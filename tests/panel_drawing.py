"""The panel's drawing of a two-feature effect, for tests that read pixels."""

import matplotlib.pyplot as plt


def draw_as_panel(image, v0, v1):
    """The panel draws a pair with exactly this call; imshow puts row 0 at the
    top. The extent widens the grids' ends by half a grid step, so that each
    pixel is centred on its grid value."""
    figure = plt.figure(figsize=(8, 6))
    rows, columns = image.shape
    half0 = (v0.max(axis=0) - v0.min(axis=0)) / ((columns - 1) * 2)
    half1 = (v1.max(axis=0) - v1.min(axis=0)) / ((rows - 1) * 2)
    shown = plt.imshow(
        image,
        interpolation="nearest",
        aspect="auto",
        extent=[v0.min(axis=0) - half0, v0.max(axis=0) + half0, v1.min(axis=0) - half1, v1.max(axis=0) + half1],
    )
    return figure, shown
