#include "methods.hpp"
#include "settings.hpp"

namespace {

PyMethodDef moduleMethods[] = {
    {"stats", frame::method<cellcoef::stats>, METH_VARARGS, nullptr},
    {"dispatch", frame::method<cellcoef::dispatch>, METH_VARARGS, nullptr},
    {"last", frame::method<cellcoef::last>, METH_VARARGS, nullptr},
    {"settol", frame::method<cellcoef::settol>, METH_VARARGS, nullptr},
    {"setrun", frame::method<cellcoef::setrun>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "cellcoef", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_cellcoef()
{
    PyObject* module = frame::create(
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
    if (module != nullptr) cellcoef::read_debug_mask();
    return module;
}
