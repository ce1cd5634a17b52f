// stats, settol and setrun, and the opening of the store header in og that
// the store's callers share.
#include "methods.hpp"
#include "orga.hpp"
#include "settings.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {
namespace {

// The header's fields are read and written as int32.
bool aligned_for_header(PyArrayObject* og)
{
    return reinterpret_cast<std::uintptr_t>(PyArray_DATA(og)) % alignof(OrgaHeader) == 0;
}

// The part of the header that stats reads: up to and including `inserts`.
constexpr npy_intp STATS_BYTES = offsetof(OrgaHeader, inserts) + sizeof(std::int32_t);

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
    if (!PyArray_ISWRITEABLE(og)) return frame::fail_arg("Array not writeable", "og"), nullptr;
    const std::size_t extent =
        PyArray_NDIM(og) > 0 ? static_cast<std::size_t>(PyArray_STRIDE(og, 0) * PyArray_DIM(og, 0))
                             : 0;
    switch (orga_prepare(PyArray_DATA(og), static_cast<std::size_t>(PyArray_NBYTES(og)), extent)) {
    case OrgaPrepare::ready:
        return static_cast<OrgaHeader*>(PyArray_DATA(og));
    case OrgaPrepare::size_check_failed:
        frame::report({"unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)", "cellcoef", 450});
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

PyObject* stats(PyObject* args)
{
    PyObject* og_obj;
    if (!frame::parse(args, "O", &og_obj)) return nullptr;
    if (!frame::require_arrays({og_obj})) return nullptr;
    PyArrayObject* og = frame::array(og_obj);
    if (!orga_readable(og, STATS_BYTES)) return nullptr;
    // The header is read as it stands, initialised or not.
    const auto* o = static_cast<const OrgaHeader*>(PyArray_DATA(og));
    return Py_BuildValue("(iiiiiii)", o->ring_bytes, o->direct_bytes, o->hits, o->inserts,
                         o->blocks, o->large_allocs, 0);
}

PyObject* settol(PyObject* args)
{
    float tol;
    if (!frame::parse(args, "f", &tol)) return nullptr;
    rel_tol = tol;
    return frame::none();
}

PyObject* setrun(PyObject* args)
{
    int limit;
    if (!frame::parse(args, "i", &limit)) return nullptr;
    // A run in dispatch grows only while shorter than run_limit: with a limit
    // below 1 it would stay empty and the walk along the line never advance.
    if (limit < 1) return frame::fail_arg("Value below 1", "run_limit");
    run_limit = limit;
    return frame::none();
}

}  // namespace cellcoef
