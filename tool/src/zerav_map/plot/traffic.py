"""Traffic on a panel: a line per communicating pair of cores, or the load of each mesh link.

All panels of a figure draw traffic the same way and on one width scale, so one key serves them
all and the panels compare: with more than ``PAIR_LINES`` communicating pairs in any panel (a
lowered model on hundreds of cores) the lines would hide the mesh, so every panel draws the load
of each mesh link instead (each pair's edges routed along the row, then the column).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from zerav_map.links import link_loads

PAIR_LINES = 150
COLOUR = "#1f3b73"
ALPHA = 0.55


@dataclass
class TrafficScale:
    links: bool  # True: load per mesh link; False: a line per pair of cores
    top: int  # the heaviest line of all panels (0: no traffic anywhere)

    def width(self, n) -> float:
        return 0.6 + 5.0 * n / max(self.top, 1)


def on_mesh(traffic: dict[tuple[int, int], int], cells) -> dict[tuple[int, int], int]:
    return {pair: n for pair, n in traffic.items() if pair[0] in cells and pair[1] in cells}


def scale(volumes: list[dict[tuple[int, int], int]], shapes: list[tuple[int, int, dict]]) -> TrafficScale:
    """The figure's scale from each panel's on-mesh traffic and its (rows, cols, cells)."""
    links = any(len(v) > PAIR_LINES for v in volumes)
    top = 0
    for volume, (rows, cols, cells) in zip(volumes, shapes):
        if links:
            horizontal, vertical = link_loads(volume, cells, rows, cols)
            top = max(top, int(horizontal.max(initial=0)), int(vertical.max(initial=0)))
        else:
            top = max(top, max(volume.values(), default=0))
    return TrafficScale(links, top)


def draw(ax, volume, cells, rows: int, cols: int, s: TrafficScale) -> int:
    """The panel's traffic; returns its heaviest line (0: none)."""
    return (
        _link_load(ax, volume, cells, rows, cols, s) if s.links else _pair_lines(ax, volume, cells, rows, s)
    )


def _link_load(ax, volume, cells, rows: int, cols: int, s: TrafficScale) -> int:
    from matplotlib.collections import LineCollection

    horizontal, vertical = link_loads(volume, cells, rows, cols)
    segments, loads = [], []
    for r, c in zip(*np.nonzero(horizontal)):
        y = rows - 1 - r + 0.5
        segments.append([(c + 0.5, y), (c + 1.5, y)])
        loads.append(horizontal[r, c])
    for r, c in zip(*np.nonzero(vertical)):
        x = c + 0.5
        segments.append([(x, rows - 1 - r + 0.5), (x, rows - 2 - r + 0.5)])
        loads.append(vertical[r, c])
    widths = [s.width(n) for n in loads]
    ax.add_collection(LineCollection(segments, linewidths=widths, colors=COLOUR, alpha=ALPHA, zorder=3))
    return int(max(loads, default=0))


def _pair_lines(ax, volume, cells, rows: int, s: TrafficScale) -> int:
    from matplotlib.patches import FancyArrowPatch

    for (a, b), n in sorted(volume.items(), key=lambda kv: kv[1]):
        (ra, ca), (rb, cb) = cells[a], cells[b]
        adjacent = abs(ra - rb) + abs(ca - cb) == 1
        ax.add_patch(
            FancyArrowPatch(
                (ca + 0.5, rows - 1 - ra + 0.5),
                (cb + 0.5, rows - 1 - rb + 0.5),
                arrowstyle="-",
                connectionstyle=f"arc3,rad={0 if adjacent else 0.25}",
                linewidth=s.width(n),
                color=COLOUR,
                alpha=ALPHA,
                zorder=3,
                shrinkA=0,
                shrinkB=0,
            )
        )
    return max(volume.values(), default=0)
