"""Surface meshes from STL files, through trimesh.

trimesh reads ASCII and binary STL alike, merges the corners that facets
share and knows whether the surface is closed, which the inside test of
voxelisation needs.
"""
import io

import numpy as np

from .model import MAX_TRIANGLES, ModelError, read_file


def read_mesh(path, scale=1.0, offset=(0.0, 0.0, 0.0)):
    """The triangles [n][3 corners][x, y, z] (mm) of the closed surface in the
    STL file at `path`, scaled by `scale` and moved by `offset`."""
    import trimesh
    data = read_file(path, what="STL file")
    try:
        mesh = trimesh.load(io.BytesIO(data), file_type="stl", process=True)
    except Exception as err:            # the reader's errors on damaged files vary
        reason = str(err).splitlines()[0] if str(err) else type(err).__name__
        raise ModelError(f"not a readable STL file: {reason[:200]}") from None
    if not isinstance(mesh, trimesh.Trimesh) or len(mesh.faces) == 0:
        raise ModelError("not a readable STL file: no triangles")
    if len(mesh.faces) > MAX_TRIANGLES:
        raise ModelError(f"{len(mesh.faces):,} triangles; at most {MAX_TRIANGLES:,}")
    triangles = np.asarray(mesh.triangles, dtype=np.float64) * scale + np.asarray(offset)
    if not np.isfinite(triangles).all():
        raise ModelError("holds coordinates that are not finite numbers")
    if not mesh.is_watertight:
        raise ModelError("not a closed surface (an inside needs every edge shared "
                         "by two triangles)")
    return triangles
