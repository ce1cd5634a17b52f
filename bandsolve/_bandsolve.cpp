#include "frame.hpp"

namespace {

PyObject* gauss(PyObject*) { return frame::fail("gauss: not built yet"); }
PyObject* invmul(PyObject*) { return frame::fail("invmul: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"gauss", frame::method<gauss>, METH_VARARGS, nullptr},
    {"invmul", frame::method<invmul>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_bandsolve", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__bandsolve()
{
    return frame::create(&module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
}
