// stats, settol and setrun.
#include "methods.hpp"
#include "orga.hpp"
#include "settings.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {
namespace {

// The part of the header that stats reads: up to and including `inserts`.
constexpr npy_intp STATS_BYTES = offsetof(OrgaHeader, inserts) + sizeof(std::int32_t);

}  // namespace

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
