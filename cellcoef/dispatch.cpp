#include "methods.hpp"

namespace cellcoef {

PyObject* dispatch(PyObject*) { return frame::fail("dispatch: not built yet"); }

}  // namespace cellcoef
