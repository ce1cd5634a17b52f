#include "methods.hpp"
#include "orga.hpp"
#include "settings.hpp"
#include "shared.hpp"

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
    using namespace cellcoef;
    PyObject* module = frame::create(
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false},
        {
            {"CODE_COMPONENTS", CODE_COMPONENTS},
            {"CODE_LOSSY_FIRST", CODE_LOSSY_FIRST},
            {"CODE_LOSSY_SECOND", CODE_LOSSY_SECOND},
            {"CODE_MULTIGROUP", CODE_MULTIGROUP},
            {"CODE_BOTH_PASSES", CODE_BOTH_PASSES},
            {"CODE_TAG", CODE_TAG},
            {"CODE_TAG_SHIFT", CODE_TAG_SHIFT},
            {"CODE_SPLIT_LOSS", CODE_SPLIT_LOSS},
            {"CODE_LUMPED", CODE_LUMPED},
            {"CODE_FIRST_PASS_DROP", CODE_FIRST_PASS_DROP},
            {"CODE_SECOND_PASS_DROP", CODE_SECOND_PASS_DROP},
            {"CODE_GROUP_KEEP", CODE_GROUP_KEEP},
            {"COMPONENT_COUNT", COMPONENT_COUNT},
            {"RUN_RECORD_INTS", RUN_RECORD_INTS},
            {"STORE_HEADER_BYTES", static_cast<long>(sizeof(OrgaHeader))},
            {"DEBUG_INSERT_RESULT", DEBUG_INSERT_RESULT},
            {"DEBUG_COMPARE", DEBUG_COMPARE},
            {"DEBUG_VECTOR", DEBUG_VECTOR},
            {"DEBUG_RUN_HEADS", DEBUG_RUN_HEADS},
        });
    if (module != nullptr) read_debug_mask();
    return module;
}
