"""Host application of the FDTD back end: pre- and post-processing of a model."""
