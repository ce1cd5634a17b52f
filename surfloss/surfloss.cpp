#include "frame.hpp"

namespace {

PyObject* surfloss(PyObject*) { return frame::fail("surfloss: not built yet"); }
PyObject* skincoeff(PyObject*) { return frame::fail("skincoeff: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"surfloss", frame::method<surfloss>, METH_VARARGS, nullptr},
    {"skincoeff", frame::method<skincoeff>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "surfloss", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_surfloss()
{
    return frame::create(&module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
}
