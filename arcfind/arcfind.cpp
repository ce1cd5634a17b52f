#include "frame.hpp"

namespace {

PyObject* arcfind(PyObject*) { return frame::fail("arcfind: not built yet"); }

PyMethodDef moduleMethods[] = {
    {"arcfind", frame::method<arcfind>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "arcfind", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_arcfind()
{
    return frame::create(&module_def, {frame::Variant::lookup, "Error Parsing Args", "Array Expected", false});
}
