"""The picture's two colour channels: SRAM use in greys, layers in hues.

SRAM use fills a core's cell on a grey scale from 0 to 100 %; a core over 100 % gets the
scale's own "over" colour (red) and its number, so one over-full core never stretches the scale
and pales the others. Layers colour a band along the top of the cell, in hues without grey or red
so the two channels never read as one another.
"""

from __future__ import annotations

OVER = "#d7301f"  # a core over its SRAM
OTHER_LAYERS = "#9e9e9e"  # layers beyond the coloured ones
# tab10 and the light half of tab20, red and grey left out.
HUES = (
    "#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#bcbd22", "#17becf",
    "#aec7e8", "#ffbb78", "#98df8a", "#c5b0d5", "#c49c94", "#f7b6d2", "#dbdb8d", "#9edae5",
)  # fmt: skip


def layer_colour(index: int) -> str:
    return HUES[index] if index < len(HUES) else OTHER_LAYERS


def sram_scale(matplotlib):
    """(colour map, norm): 0 to 100 % in greys light enough for black labels up to about 60 %,
    values above 100 % in ``OVER``."""
    import numpy as np
    from matplotlib.colors import ListedColormap, Normalize

    greys = matplotlib.colormaps["Greys"](np.linspace(0.02, 0.68, 256))
    return ListedColormap(greys, name="sram").with_extremes(over=OVER), Normalize(
        vmin=0.0, vmax=1.0, clip=False
    )
