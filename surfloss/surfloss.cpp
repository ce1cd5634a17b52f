#include "hold.hpp"
#include "skin.hpp"
#include "skin_api.hpp"
#include "unlocked.hpp"
#include "view.hpp"

#include <cstdint>
#include <new>
#include <unordered_map>

namespace {

using surfloss::SkinRecord;

constexpr const char* memory_full = "Error Alloc SURFLOSS: Memory Full";

// Every record array handed out in this process, by address: how many records
// the scan filled, and the `values` array they point into with its geometry at
// scan time. The reference to `values` is held for the life of the process, as
// the records are, so that their addresses never dangle. Read and changed only
// with the interpreter lock held: the scans and coefficient loops that run
// without it are handed the record addresses, which stay valid, not the table.
struct HandedOut {
    std::size_t record_count;
    PyObject* values;
    std::int64_t dims[4];
    std::int64_t strides[4];
};
std::unordered_map<std::uintptr_t, HandedOut> handed_out;

// The entry of a handle handed out in this process with at least `count`
// records, or null.
const HandedOut* find_handed_out(std::uintptr_t handle, std::size_t count)
{
    const auto found = handed_out.find(handle);
    if (found == handed_out.end() || count > found->second.record_count) return nullptr;
    return &found->second;
}

bool lookup_records(std::uintptr_t handle, std::size_t count, surfloss::SkinView* out)
{
    const HandedOut* entry = find_handed_out(handle, count);
    if (entry == nullptr) return false;
    const HandedOut& h = *entry;
    out->records = reinterpret_cast<const SkinRecord*>(handle);
    out->count = h.record_count;
    out->values = static_cast<const char*>(PyArray_DATA(frame::array(h.values)));
    for (int d = 0; d < 4; ++d) {
        out->dims[d] = h.dims[d];
        out->strides[d] = h.strides[d];
    }
    return true;
}

const surfloss::SkinApi skin_api{surfloss::SKIN_API_VERSION, lookup_records};

PyObject* new_spacing_list(const std::vector<float>& spacings)
{
    frame::Ref list(PyList_New(static_cast<Py_ssize_t>(spacings.size())));
    if (!list) return nullptr;
    for (std::size_t n = 0; n < spacings.size(); ++n) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(spacings[n]));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(n), item);
    }
    return list.release();
}

PyObject* surfloss_method(PyObject* args)
{
    int order = 0;
    int capacity = 0;
    PyObject* mask_object = nullptr;
    PyObject* values_object = nullptr;
    PyObject* dx_object = nullptr;
    PyObject* dy_object = nullptr;
    PyObject* dz_object = nullptr;
    float max_spacing = 0.0f;
    if (!frame::parse(args, "iiOOOOOf", &order, &capacity, &mask_object, &values_object,
                      &dx_object, &dy_object, &dz_object, &max_spacing))
        return nullptr;
    if (!frame::require_arrays({mask_object, values_object, dx_object, dy_object, dz_object}))
        return nullptr;
    if (order < 1) return frame::fail_arg("Invalid value", "order");
    if (capacity < 0) return frame::fail_arg("Invalid value", "capacity");

    // The grid size comes from the mask alone.
    const npy_intp* n = frame::extents_of(mask_object, "mask", 3, frame::exact_rank);
    if (n == nullptr) return nullptr;
    const npy_intp nz = n[0], ny = n[1], nx = n[2];
    frame::Strided<std::uint8_t, 3> mask;
    frame::Unaligned<float, 4> values;
    frame::UnalignedContiguous<const double> dx, dy, dz;
    if (!frame::view(mask, mask_object, "mask", {nz, ny, nx}, frame::Access::write,
                     frame::exact_rank) ||
        !frame::view(values, values_object, "values", {3, nz, ny, nx}, frame::Access::read,
                     frame::exact_rank) ||
        !frame::view(dx, dx_object, "dx", nx - 1) || !frame::view(dy, dy_object, "dy", ny - 1) ||
        !frame::view(dz, dz_object, "dz", nz - 1))
        return nullptr;

    const surfloss::Grid grid{
        {nx, ny, nz},
        mask.at(0, 0, 0),
        {mask.step[2], mask.step[1], mask.step[0]},
        values.data,
        values.step[0],
        {values.step[3], values.step[2], values.step[1]},
        {dx.data, dy.data, dz.data},
    };

    surfloss::PendingRecords pending(static_cast<std::size_t>(capacity));
    if (pending.records() == nullptr) return frame::fail(memory_full);
    surfloss::ScanStatus status;
    {
        frame::Unlocked unlocked(nx * ny * nz);
        status = surfloss::scan(grid, max_spacing, order, pending);
    }
    switch (status) {
    case surfloss::ScanStatus::ok:
        break;
    case surfloss::ScanStatus::capacity_exceeded:
        return frame::fail("Capacity exceeded");
    case surfloss::ScanStatus::memory_full:
        return frame::fail(memory_full);
    }

    frame::Ref list(new_spacing_list(pending.spacings()));
    if (!list) return nullptr;
    frame::Ref count(PyLong_FromSize_t(pending.count()));
    if (!count) return nullptr;
    frame::Ref handle(PyLong_FromVoidPtr(pending.records()));
    if (!handle) return nullptr;
    frame::Ref result(PyTuple_Pack(3, count.get(), handle.get(), list.get()));
    if (!result) return nullptr;
    HandedOut entry{pending.count(), values_object, {3, nz, ny, nx}, {values.step[0], values.step[1], values.step[2], values.step[3]}};
    try {
        handed_out.emplace(reinterpret_cast<std::uintptr_t>(pending.records()), entry);
    } catch (const std::bad_alloc&) {
        return frame::fail(memory_full);
    }
    Py_INCREF(values_object);
    pending.hand_out();
    return result.release();
}

PyObject* skincoeff(PyObject* args)
{
    int record_count = 0;
    Py_ssize_t handle = 0;
    float scale = 0.0f;
    float divisor = 0.0f;
    if (!frame::parse(args, "inff", &record_count, &handle, &scale, &divisor)) return nullptr;
    const auto address = static_cast<std::uintptr_t>(handle);
    if (record_count < 0 ||
        find_handed_out(address, static_cast<std::size_t>(record_count)) == nullptr)
        return frame::fail("Invalid handle");
    {
        frame::Unlocked unlocked(record_count);
        surfloss::skin_coefficients(reinterpret_cast<SkinRecord*>(address),
                                    static_cast<std::size_t>(record_count), scale, divisor);
    }
    return frame::none();
}

PyDoc_STRVAR(module_doc,
"Skin-effect records: surfloss pairs the cells marked for skin-effect\n"
"treatment with their nearest marked neighbour into native records, handed\n"
"out by address; skincoeff turns the records' values into coefficients.\n"
"Refusals raise the module's error (Exception, or the StandardError bound in\n"
"__main__ at import) and change nothing.");

PyDoc_STRVAR(surfloss_doc,
"surfloss(order, capacity, mask, values, dx, dy, dz, max_spacing, /)\n"
"--\n"
"\n"
"Pairs every cell marked for an axis in mask (one byte per cell, [NZ][NY][NX],\n"
"bit a for axis a) with the marked neighbour at the smallest spacing up to\n"
"max_spacing, and clears the partner's mark.\n"
"\n"
"Reads the float32 values[3][NZ][NY][NX] and the float64 spacings dx, dy, dz.\n"
"Returns (record_count, handle, spacings): the records filled, the address of\n"
"`capacity` records (cell and partner addresses into values, the value, the\n"
"spacing's index, a state buffer of order - 1 floats; never released) and the\n"
"list of spacings. Raises the module's error, with the mask as before, for a\n"
"bad order or capacity, arrays that do not fit the grid, more pairs than\n"
"capacity (\"Capacity exceeded\") and exhausted memory.");

PyDoc_STRVAR(skincoeff_doc,
"skincoeff(record_count, handle, scale, divisor, /)\n"
"--\n"
"\n"
"Replaces the value of each of the first record_count records of `handle`\n"
"(from surfloss in this process) with its coefficient, from the value and the\n"
"current element at the record's cell. Returns None; an unknown handle or a\n"
"count outside 0 to the records filled raises \"Invalid handle\".");

PyMethodDef moduleMethods[] = {
    {"surfloss", frame::method<surfloss_method>, METH_VARARGS, surfloss_doc},
    {"skincoeff", frame::method<skincoeff>, METH_VARARGS, skincoeff_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "surfloss", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_surfloss()
{
    PyObject* module = frame::create(
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
    if (module == nullptr) return nullptr;
    // The records' C interface for the solver kernel; not a method.
    if (!frame::add_capsule(module, "_skin_api", surfloss::SKIN_API_NAME, &skin_api)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
