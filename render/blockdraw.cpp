#include "frame.hpp"

namespace {

PyObject* blockdraw(PyObject*) { return frame::fail("blockdraw: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"blockdraw", frame::method<blockdraw>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "blockdraw", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_blockdraw()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error parsing args", "Array expected", true});
}
