// The store header in the host's array og, checked before the store touches it.
#include "orga.hpp"

#include "checks.hpp"
#include "shared.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {
namespace {

// The header's fields are read and written as int32.
bool aligned_for_header(PyArrayObject* og)
{
    return reinterpret_cast<std::uintptr_t>(PyArray_DATA(og)) % alignof(OrgaHeader) == 0;
}

}  // namespace

bool orga_readable(PyArrayObject* og, npy_intp bytes)
{
    if (!PyArray_IS_C_CONTIGUOUS(og)) return frame::fail_arg("Array not contiguous", "og"), false;
    if (!aligned_for_header(og)) return frame::fail_arg("Array not aligned", "og"), false;
    if (PyArray_NBYTES(og) < bytes) return frame::fail_arg("Array too small", "og"), false;
    return true;
}

OrgaHeader* orga_open(PyArrayObject* og)
{
    if (!orga_readable(og, 0)) return nullptr;
    if (!frame::check_writeable(og, "og")) return nullptr;
    const std::size_t extent =
        PyArray_NDIM(og) > 0 ? static_cast<std::size_t>(PyArray_STRIDE(og, 0) * PyArray_DIM(og, 0))
                             : 0;
    switch (orga_prepare(PyArray_DATA(og), static_cast<std::size_t>(PyArray_NBYTES(og)), extent)) {
    case OrgaPrepare::ready:
        return static_cast<OrgaHeader*>(PyArray_DATA(og));
    case OrgaPrepare::size_check_failed:
        frame::report(CHECK_STORE_SIZE);
        return nullptr;
    case OrgaPrepare::too_small:
        frame::fail_arg("Array too small", "og");
        return nullptr;
    case OrgaPrepare::invalid:
        frame::fail_arg("Invalid store header", "og");
        return nullptr;
    }
    return nullptr;
}

}  // namespace cellcoef
