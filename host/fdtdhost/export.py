"""Results in the formats other tools open: the voxel model and the DFT fields
as VTK XML rectilinear grids (ParaView), the port's S11 as Touchstone
(scikit-rf, circuit simulators), the port and probe signals as CSV.

The VTK files are written by pyevtk; coordinates are in mm, on the graded
grid as it is (the cells' nodes), so ParaView shows the model and the fields
where they lie.
"""
import os

import numpy as np
from pyevtk.hl import gridToVTK

from . import rf

VTK = "vtk"
FORMATS = (VTK,)


def _vtr(path, x, y, z, cell_data=None, point_data=None):
    """Writes `path` (ending in .vtr) through pyevtk, which adds the suffix."""
    assert path.endswith(".vtr")
    gridToVTK(path[:-4], *(np.ascontiguousarray(a, dtype=np.float64) for a in (x, y, z)),
              cellData=cell_data, pointData=point_data)


def voxel_model(path, grid):
    """The material index of every cell (material order of the model, "pec"
    last when used) on the grid's nodes."""
    material = np.asfortranarray(np.transpose(grid.material, (2, 1, 0)).astype(np.int32))
    _vtr(path, *grid.nodes, cell_data={"material": material})


def _components(phasor):
    """Point data of a complex field [3][...][y][x] (z, y, x order last three,
    or y, x): real and imaginary parts and the magnitude per component, as
    Fortran arrays [x][y][z]."""
    data = {}
    for name, f in zip(("Ex", "Ey", "Ez"), phasor):
        f = f if f.ndim == 3 else f[None]
        f = np.transpose(f, (2, 1, 0))
        data[f"{name}_re"] = np.asfortranarray(f.real)
        data[f"{name}_im"] = np.asfortranarray(f.imag)
    magnitude = np.sqrt(sum(np.abs(np.transpose(f if f.ndim == 3 else f[None], (2, 1, 0))) ** 2
                            for f in phasor))
    data["E_abs"] = np.asfortranarray(magnitude)
    return data


def field_plane(path, grid, window, plane, phasor):
    """A complex E field [3][v][u] on the nodes of the z node plane `plane`
    over `window` (u_first, u_last, v_first, v_last): one layer of nodes."""
    u0, u1, v0, v1 = window
    x, y = grid.nodes[0][u0:u1 + 1], grid.nodes[1][v0:v1 + 1]
    z = grid.nodes[2][plane:plane + 1]
    _vtr(path, x, y, z, point_data=_components(phasor))


def field_volume(path, grid, phasor):
    """A complex E field [3][z][y][x] of the cells' lowest nodes (the edges
    leaving them: Ex half a cell along x from the node, and so on)."""
    x, y, z = (n[:-1] for n in grid.nodes)
    _vtr(path, x, y, z, point_data=_components(phasor))


def touchstone(path, run, model_name):
    rf.write_touchstone(path, run.freqs, run.s11, run.port.resistance, comments=(
        f"S11 of port {run.element.name} of {model_name}",
        "fdtdhost: time-domain run, port voltage and current"))


def signals_csv(path, run):
    """Port voltage and current at (n + 1/2) dt, and each probe after step n
    (E at (n + 1) dt, H at (n + 1/2) dt)."""
    dt = run.grid.dt
    columns = {"t_s": (np.arange(run.steps) + 0.5) * dt,
               "port_V": run.port.voltage, "port_A": run.port.current}
    for n, probe in enumerate(run.probes):
        columns[run.grid.model.simulation.probes[n].name or f"probe{n}"] = probe.values
    header = ",".join(columns)
    table = np.column_stack(list(columns.values()))
    np.savetxt(path, table, delimiter=",", header=header, comments="", fmt="%.9g")


def frequency_name(prefix, freq):
    return f"{prefix}_{freq / 1e9:.4f}GHz.vtr".replace(os.sep, "_")
