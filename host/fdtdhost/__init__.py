"""Host application of the FDTD back end: pre- and post-processing of a model.

`fdtdhost MODEL` (or `python -m fdtdhost`) runs a model (the embedded
default, or a model file) through every back-end module and writes a summary
and pictures. From Python, build a `Model` of the objects below (or `load` a
model file) and `run` it:

    import fdtdhost as fh
    model = fh.Model(grid=fh.Grid(x=[fh.Uniform(40, 1.0)], ...), pml=4,
                     materials=[fh.Material("air")], shapes=[fh.Sphere("pec", ...)])
    summary = fh.run(model, out="results")
"""
from importlib import metadata

try:
    __version__ = metadata.version("quoran-backend")
except metadata.PackageNotFoundError:       # run from a source tree
    __version__ = "unknown"

from .api import ModelWarning, WorkerError, run, run_all
from .model import (PEC, Box, Cylinder, FieldView, Graded, Grid, Lumped, Material, Mesh,
                    Model, ModelError, Polygon, Probe, Sheet, Skin, Sphere, Store, TimeDomain,
                    Uniform, Via, View, Wire, from_json, load, read, validate)

__all__ = ["__version__", "Box", "Cylinder", "FieldView", "Graded", "Grid", "Lumped",
           "Material", "Mesh", "Model", "ModelError", "ModelWarning", "PEC", "Polygon", "Probe",
           "Sheet", "Skin", "Sphere", "Store", "TimeDomain", "Uniform", "Via", "View", "Wire", "WorkerError", "from_json", "load",
           "read", "run", "run_all", "validate"]
