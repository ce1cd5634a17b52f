#include "frame.hpp"

namespace {

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "rlearray", nullptr, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rlearray()
{
    return frame::create(&module_def, {frame::Variant::direct, "Error parsing args", "Array expected", false});
}
