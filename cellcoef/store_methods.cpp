#include "methods.hpp"

namespace cellcoef {

PyObject* stats(PyObject*) { return frame::fail("stats: not built yet"); }
PyObject* settol(PyObject*) { return frame::fail("settol: not built yet"); }
PyObject* setrun(PyObject*) { return frame::fail("setrun: not built yet"); }

}  // namespace cellcoef
