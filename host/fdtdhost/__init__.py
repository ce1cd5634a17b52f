"""Host application of the FDTD back end: pre- and post-processing of a model.

`fdtdhost MODEL` (or `python -m fdtdhost`) runs a model (the embedded
default, or a model file) through every back-end module and writes a summary
and pictures.
"""
from importlib import metadata

try:
    __version__ = metadata.version("quoran-backend")
except metadata.PackageNotFoundError:       # run from a source tree
    __version__ = "unknown"
