#include "methods.hpp"

namespace cellcoef {

PyObject* last(PyObject*) { return frame::fail("last: not built yet"); }

}  // namespace cellcoef
