#include "checks.hpp"
#include "hold.hpp"
#include "skin.hpp"
#include "skin_api.hpp"

#include <cstdint>
#include <new>
#include <unordered_map>

namespace {

using surfloss::SkinRecord;

constexpr const char* memory_full = "Error Alloc SURFLOSS: Memory Full";

// Every record array handed out in this process, by address: how many records
// the scan filled, and the `values` array they point into with its geometry at
// scan time. The reference to `values` is held for the life of the process, as
// the records are, so that their addresses never dangle.
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

    PyArrayObject* mask = frame::array(mask_object);
    PyArrayObject* values = frame::array(values_object);
    PyArrayObject* dx = frame::array(dx_object);
    PyArrayObject* dy = frame::array(dy_object);
    PyArrayObject* dz = frame::array(dz_object);
    // The grid size comes from the mask alone; check_shape refuses any other rank.
    const bool mask_3d = PyArray_NDIM(mask) == 3;
    const npy_intp nz = mask_3d ? PyArray_DIM(mask, 0) : 0;
    const npy_intp ny = mask_3d ? PyArray_DIM(mask, 1) : 0;
    const npy_intp nx = mask_3d ? PyArray_DIM(mask, 2) : 0;
    if (!frame::check_shape(mask, "mask", 1, 3, {nz, ny, nx})) return nullptr;
    if (!frame::check_writeable(mask, "mask")) return nullptr;
    if (!frame::check_shape(values, "values", 4, 4, {3, nz, ny, nx})) return nullptr;
    if (!frame::check_flat(dx, "dx", 8, nx - 1)) return nullptr;
    if (!frame::check_flat(dy, "dy", 8, ny - 1)) return nullptr;
    if (!frame::check_flat(dz, "dz", 8, nz - 1)) return nullptr;

    const npy_intp* ms = PyArray_STRIDES(mask);
    const npy_intp* vs = PyArray_STRIDES(values);
    const surfloss::Grid grid{
        {nx, ny, nz},
        static_cast<std::uint8_t*>(PyArray_DATA(mask)),
        {ms[2], ms[1], ms[0]},
        static_cast<char*>(PyArray_DATA(values)),
        vs[0],
        {vs[3], vs[2], vs[1]},
        {static_cast<const char*>(PyArray_DATA(dx)), static_cast<const char*>(PyArray_DATA(dy)),
         static_cast<const char*>(PyArray_DATA(dz))},
    };

    surfloss::PendingRecords pending(static_cast<std::size_t>(capacity));
    if (pending.records() == nullptr) return frame::fail(memory_full);
    switch (surfloss::scan(grid, max_spacing, order, pending)) {
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
    HandedOut entry{pending.count(), values_object, {3, nz, ny, nx}, {vs[0], vs[1], vs[2], vs[3]}};
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
    surfloss::skin_coefficients(reinterpret_cast<SkinRecord*>(address),
                                static_cast<std::size_t>(record_count), scale, divisor);
    return frame::none();
}

PyMethodDef moduleMethods[] = {
    {"surfloss", frame::method<surfloss_method>, METH_VARARGS, nullptr},
    {"skincoeff", frame::method<skincoeff>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "surfloss", nullptr, -1, moduleMethods,
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
