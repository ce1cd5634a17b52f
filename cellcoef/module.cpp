#include "lowmem.hpp"
#include "methods.hpp"
#include "settings.hpp"
#include "store_api.hpp"

namespace {

PyMethodDef moduleMethods[] = {
    {"stats", frame::method<cellcoef::stats>, METH_VARARGS, nullptr},
    {"dispatch", frame::method<cellcoef::dispatch>, METH_VARARGS, nullptr},
    {"last", frame::method<cellcoef::last>, METH_VARARGS, nullptr},
    {"settol", frame::method<cellcoef::settol>, METH_VARARGS, nullptr},
    {"setrun", frame::method<cellcoef::setrun>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const cellcoef::StoreApi store_api{cellcoef::STORE_API_VERSION, cellcoef::lowmem_contains};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "cellcoef", nullptr, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_cellcoef()
{
    PyObject* module = frame::create(
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
    if (module == nullptr) return nullptr;
    cellcoef::read_debug_mask();
    // The store's C interface for consumers of run records; not a method.
    if (!frame::add_capsule(module, "_store_api", cellcoef::STORE_API_NAME, &store_api)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
