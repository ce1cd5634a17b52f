#include "frame.hpp"

namespace {

PyObject* inzidenz(PyObject*) { return frame::fail("inzidenz: not built yet"); }
PyObject* glarr(PyObject*) { return frame::fail("glarr: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"inzidenz", frame::method<inzidenz>, METH_VARARGS, nullptr},
    {"glarr", frame::method<glarr>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "fieldplot", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_fieldplot()
{
    return frame::create(&module_def, {frame::Variant::lookup, nullptr, "Array expected", false});
}
