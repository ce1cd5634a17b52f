// The methods of cellcoef, one function each, in the order of the method table.
#pragma once

#include "frame.hpp"

namespace cellcoef {

PyObject* stats(PyObject* args);
PyObject* dispatch(PyObject* args);
PyObject* last(PyObject* args);
PyObject* settol(PyObject* args);
PyObject* setrun(PyObject* args);

}  // namespace cellcoef
