#include "frame.hpp"

namespace {

PyObject* viarow(PyObject*) { return frame::fail("viarow: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"viarow", frame::method<viarow>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "viarow", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_viarow()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error Parsing Args", "Array Expected", false});
}
