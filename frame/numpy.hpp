// NumPy's C API for every translation unit of a module. The API table lives in
// frame.cpp (import_array there); other units see it through the shared symbol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quoran_ARRAY_API
#ifndef FRAME_IMPORTS_ARRAY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
