#include "frame.hpp"

namespace {

PyObject* stagedraw(PyObject*) { return frame::fail("stagedraw: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"stagedraw", frame::method<stagedraw>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "stagedraw", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_stagedraw()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error parsing args", "Array expected", true});
}
