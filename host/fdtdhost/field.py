"""The analytic stand-in for a computed field: the patch's cavity mode.

The FDTD kernel is not part of this program, so the field plane shows the
fundamental (TM010) cavity mode of the patch: Ez = cos(pi (x - x0) / L) under
the patch, decaying outside it over the substrate height, with the in-plane
fringing field following the gradient of Ez. The feed lines (the other sheets
of the patch's layer) carry the standing wave cos(beta (x0 - x)) that meets
the patch's edge value at x0.
"""
import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from .grid import C0


@dataclass(frozen=True)
class PlaneField:
    """A field on a z node plane, as the pictures draw it, over the nodes
    (u along x, v along y) of the window (u_first, u_last, v_first, v_last).

    `height` is Ez over `ez_scale`, -1..1 (the relief and the contours of
    its magnitude), `colour` |E| over `scale` (0..1), `vectors` the field
    [3][u][v] (the arrows' directions). `label` says what the field is
    ("2.312 GHz, resonance", "analytic stand-in"), `unit` the unit of
    `scale`; `outline` is the patch's (lo, hi) corners in mm, if any.
    """
    plane: int
    window: tuple
    height: np.ndarray
    colour: np.ndarray
    vectors: np.ndarray
    scale: float
    ez_scale: float
    unit: str
    label: str
    stand_in: bool
    outline: Optional[tuple] = None


def simulated_plane(phasor, plane, window, label, outline=None):
    """The PlaneField of a complex field `phasor` [3][v][u] (V/m per V): the
    field at the instant its largest Ez is at its crest, coloured by the
    magnitude of its complex amplitude."""
    e = np.transpose(phasor, (0, 2, 1))                    # [3][u][v]
    ez = e[2]
    peak = np.unravel_index(np.argmax(np.abs(ez)), ez.shape)
    crest = np.exp(-1j * np.angle(ez[peak])) if abs(ez[peak]) > 0 else 1.0
    real = (e * crest).real
    magnitude = np.sqrt((np.abs(e) ** 2).sum(axis=0))
    scale = float(magnitude.max()) or 1.0
    ez_scale = float(np.abs(real[2]).max()) or 1.0
    return PlaneField(plane, window, (real[2] / ez_scale).astype(np.float32),
                      (magnitude / scale).astype(np.float32), real.astype(np.float32),
                      scale, ez_scale, "V/m per V", label, stand_in=False, outline=outline)


def patch_sheet(model):
    """The patch: the largest z-normal sheet above the lowest one (the ground)."""
    sheets = [s for s in model.sheets if s.normal == 2]
    if not sheets:
        return None
    ground_at = min(s.at for s in sheets)
    above = [s for s in sheets if s.at > ground_at] or sheets
    return max(above, key=lambda s: (s.hi[0] - s.lo[0]) * (s.hi[1] - s.lo[1]))


def substrate_plane(grid):
    """The z node plane halfway through the substrate under the patch (between
    the ground and the patch layers); the grid's middle without a patch."""
    model = grid.model
    patch = patch_sheet(model)
    if patch is None:
        return grid.nz // 2
    ground = min((s for s in model.sheets if s.normal == 2), key=lambda s: s.at)
    bottom = grid.layer(2, ground.at) + 1 if ground is not patch else 0
    return (bottom + grid.layer(2, patch.at)) // 2


class CavityMode:
    def __init__(self, grid):
        model = grid.model
        self.grid = grid
        patch = patch_sheet(model)
        sheets = [s for s in model.sheets if s.normal == 2]
        self.lines = []
        if patch is None:
            p = model.pml
            self.lo = (grid.nodes[0][p], grid.nodes[1][p])
            self.hi = (grid.nodes[0][-1 - p], grid.nodes[1][-1 - p])
            self.height = grid.nodes[2][-1] / 4
            self.plane = grid.nz // 2
            eps_r = 1.0
        else:
            ground = min(sheets, key=lambda s: s.at)
            self.lo, self.hi = patch.lo[:2], patch.hi[:2]
            layer = grid.layer(2, patch.at)
            self.lines = [(s.lo[:2], s.hi[:2]) for s in sheets
                          if s is not patch and grid.layer(2, s.at) == layer]
            bottom = grid.layer(2, ground.at) + 1 if ground is not patch else 0
            top = grid.layer(2, patch.at)
            self.height = max(grid.nodes[2][top] - grid.nodes[2][bottom], 1e-3)
            self.plane = substrate_plane(grid)
            mid = grid.layer(2, 0.5 * (grid.nodes[2][bottom] + grid.nodes[2][top]))
            cx = grid.layer(0, 0.5 * (self.lo[0] + self.hi[0]))
            cy = grid.layer(1, 0.5 * (self.lo[1] + self.hi[1]))
            eps_r = float(grid.eps_r[mid, cy, cx])
        self.length = self.hi[0] - self.lo[0]
        # propagation constant (per mm) of a quasi-TEM wave on the board
        self.beta = 2 * math.pi * model.frequency * math.sqrt((eps_r + 1) / 2) / C0 * 1e-3

    def ez(self, x, y):
        """Ez at points (x, y) in mm, normalised to 1 at the radiating edges."""
        xc, off = self._nearest(x, y, self.lo, self.hi)
        ez = np.cos(math.pi * (xc - self.lo[0]) / self.length) * np.exp(-off / self.height)
        for lo, hi in self.lines:
            xc, off = self._nearest(x, y, lo, hi)
            line = np.cos(self.beta * (self.lo[0] - xc)) * np.exp(-off / self.height)
            ez = np.where(np.abs(line) > np.abs(ez), line, ez)
        return ez

    @staticmethod
    def _nearest(x, y, lo, hi):
        """x of the nearest point of the rectangle lo..hi, and the distance to it."""
        xc, yc = np.clip(x, lo[0], hi[0]), np.clip(y, lo[1], hi[1])
        return xc, np.hypot(x - xc, y - yc)

    def phasor(self, x, y):
        """Complex amplitude: the mode with the phase of a wave travelling along x."""
        return self.ez(x, y) * np.exp(-1j * self.beta * (x - self.lo[0]))

    def plane_field(self, window):
        """The mode on the window's nodes, labelled as the stand-in it is."""
        height, colour, vectors = self.plane_values(*window)
        return PlaneField(self.plane, window, height, colour, vectors, 1.0, 1.0, "relative",
                          "analytic stand-in: the patch's cavity mode, not a simulated field",
                          stand_in=True, outline=(self.lo, self.hi))

    def plane_values(self, u_first, u_last, v_first, v_last):
        """Height, colour and vector arrays of the window, [u][v] with u along x."""
        x = self.grid.nodes[0][u_first:u_last + 1]
        y = self.grid.nodes[1][v_first:v_last + 1]
        gx, gy = np.meshgrid(x, y, indexing="ij")
        ez = self.ez(gx, gy)
        dx, dy = np.gradient(ez, x, y) if len(x) > 1 and len(y) > 1 else (0 * ez, 0 * ez)
        ex, ey = -0.5 * self.height * dx, -0.5 * self.height * dy
        magnitude = np.sqrt(ex ** 2 + ey ** 2 + ez ** 2)
        colour = magnitude / max(magnitude.max(), 1e-30)
        vectors = np.stack([ex, ey, ez])
        return (ez.astype(np.float32), colour.astype(np.float32),
                vectors.astype(np.float32))
