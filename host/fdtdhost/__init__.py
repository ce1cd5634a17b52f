"""Host application of the FDTD back end: pre- and post-processing of a model.

`python -m fdtdhost` runs a model (the embedded default, or --model FILE)
through every back-end module and writes a summary and pictures.
"""
