"""Warnings about a model that runs but is probably not what its author meant.

Each check takes the validated model and its voxel grid and says, in one
line, what looks wrong and why; `warnings` returns them all. They go into the
summary and onto standard error; the run goes on.
"""
import numpy as np

from .grid import C0
from .voxels import is_conductor

CELLS_PER_WAVELENGTH = 10    # fewer along an axis: the grid is too coarse; fewer
                             # than one: sizes or frequency off by 1000s
SMALLEST_EXTENT = 1e-3       # a grid this fraction of a wavelength: the same
UNITS = "lengths are in millimetres and frequencies in Hz"


def warnings(model, grid):
    """One line per thing that looks wrong with the model, in a fixed order."""
    found = []
    for check in (_metal_fill, _metal_at_edge, _resolution, _extent):
        line = check(model, grid)
        if line:
            found.append(line)
    return found


def _metal(model):
    return np.array([is_conductor(m) for m in model.materials])


def _metal_fill(model, grid):
    fill = model.materials[0]
    if is_conductor(fill):
        return (f'the first material, "{fill.name}", fills the grid and is a conductor: '
                f"every cell that no object covers is metal")
    return None


def _metal_at_edge(model, grid):
    """Metal on a face of the grid (not counted when the fill is metal)."""
    if is_conductor(model.materials[0]):
        return None
    metal = _metal(model)
    m = grid.material
    faces = {"x = 0": m[:, :, 0], "x = end": m[:, :, -1], "y = 0": m[:, 0, :],
             "y = end": m[:, -1, :], "z = 0": m[0], "z = end": m[-1]}
    touching = [name for name, face in faces.items() if metal[face].any()]
    if touching:
        return (f"metal reaches the grid's edge at {', '.join(touching)}: the PML does not "
                f"absorb where a conductor runs through it; keep metal out of the "
                f"{model.pml} PML cells")
    return None


def _resolution(model, grid):
    """Cells per wavelength at the model's frequency, in the densest
    dielectric of each layer, along each axis."""
    metal = _metal(model)
    eps = np.array([1.0 if metal[n] else m.eps_r for n, m in enumerate(model.materials)])
    # materials ranked by permittivity, so a layer's densest one is a max of uint8
    order = np.argsort(eps, kind="stable")
    rank = np.empty(len(eps), dtype=np.uint8)
    rank[order] = np.arange(len(eps))
    ranks = rank[grid.material]
    wavelength = C0 / model.frequency * 1e3                     # mm, in vacuum
    worst = None
    for axis in range(3):
        others = tuple(a for a in range(3) if a != 2 - axis)
        densest = order[ranks.max(axis=others)]                 # per layer
        local = wavelength / np.sqrt(eps[densest])
        per_wavelength = local / grid.sizes[axis]
        k = int(np.argmin(per_wavelength))
        if worst is None or per_wavelength[k] < worst[0]:
            worst = (per_wavelength[k], axis, grid.sizes[axis][k], local[k], densest[k])
    count, axis, size, local, material = worst
    if count >= CELLS_PER_WAVELENGTH:
        return None
    line = (f"{count:.3g} cells per wavelength along {'xyz'[axis]}: a cell of {size:g} mm "
            f"against {local:.4g} mm in {model.materials[material].name} at "
            f"{_hertz(model.frequency)}; about {CELLS_PER_WAVELENGTH} are needed")
    if count < 1:
        line += f" ({UNITS})"
    return line


def _extent(model, grid):
    """A grid far smaller than a wavelength: sizes or frequency off by 1000s."""
    wavelength = C0 / model.frequency * 1e3
    extent = max(model.extent)
    if extent < SMALLEST_EXTENT * wavelength:
        return (f"the grid spans {extent:.4g} mm, {extent / wavelength:.2g} of the "
                f"wavelength of {wavelength:.4g} mm at {_hertz(model.frequency)} ({UNITS})")
    return None


def _hertz(f):
    for unit, scale in (("THz", 1e12), ("GHz", 1e9), ("MHz", 1e6), ("kHz", 1e3)):
        if f >= scale:
            return f"{f / scale:.4g} {unit}"
    return f"{f:.4g} Hz"
