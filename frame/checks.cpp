#include "checks.hpp"

#include <cstdint>

namespace frame {

bool touches_nothing(const Extent* extent, int count)
{
    for (int d = 0; d < count; ++d)
        if (extent[d].empty()) return true;
    return false;
}

bool check_strided(PyArrayObject* a, const char* name, int itemsize, const Extent* extent,
                   int count)
{
    if (touches_nothing(extent, count)) return true;
    if (PyArray_ITEMSIZE(a) != itemsize) return fail_arg("Wrong element size", name), false;
    if (PyArray_NDIM(a) < count) return fail_arg("Wrong number of dimensions", name), false;
    const npy_intp* dims = PyArray_DIMS(a);
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
        npy_intp least = 1;
        if (d < count && extent[d].kind() == Extent::Kind::below) least = extent[d].value();
        if (d < count && extent[d].kind() == Extent::Kind::exactly) least = 0;
        if (dims[d] < least) return fail_arg("Array too small", name), false;
    }
    for (int d = 0; d < count; ++d) {
        const Extent& e = extent[d];
        const bool fits = e.kind() == Extent::Kind::index     ? 0 <= e.value() && e.value() < dims[d]
                          : e.kind() == Extent::Kind::exactly ? dims[d] == e.value()
                                                              : true;
        if (!fits) return fail_arg(e.message(), name), false;
    }
    return true;
}

bool check_shape(PyArrayObject* a, const char* name, int itemsize, int ndim, const Extent* extent,
                 int count)
{
    if (PyArray_NDIM(a) != ndim) return fail_arg("Wrong number of dimensions", name), false;
    if (PyArray_ITEMSIZE(a) != itemsize) return fail_arg("Wrong element size", name), false;
    return check_strided(a, name, itemsize, extent, count);
}

bool check_flat(PyArrayObject* a, const char* name, int itemsize, npy_intp count)
{
    if (count <= 0) return true;
    if (PyArray_ITEMSIZE(a) != itemsize) return fail_arg("Wrong element size", name), false;
    if (!PyArray_IS_C_CONTIGUOUS(a)) return fail_arg("Array not contiguous", name), false;
    if (PyArray_NBYTES(a) / itemsize < count) return fail_arg("Array too small", name), false;
    return true;
}

bool check_contiguous_axis(PyArrayObject* a, const char* name, int axis)
{
    if (axis >= PyArray_NDIM(a)) return fail_arg("Wrong number of dimensions", name), false;
    if (PyArray_DIM(a, axis) > 1 && PyArray_STRIDE(a, axis) != PyArray_ITEMSIZE(a))
        return fail_arg("Array not contiguous", name), false;
    return true;
}

bool check_aligned(PyArrayObject* a, const char* name, std::size_t alignment)
{
    bool aligned = PyArray_ISALIGNED(a) &&
                   reinterpret_cast<std::uintptr_t>(PyArray_DATA(a)) % alignment == 0;
    for (int d = 0; aligned && d < PyArray_NDIM(a); ++d)
        aligned = PyArray_DIM(a, d) <= 1 ||
                  static_cast<std::size_t>(PyArray_STRIDE(a, d)) % alignment == 0;
    if (!aligned) return fail_arg("Array not aligned", name), false;
    return true;
}

bool check_writeable(PyArrayObject* a, const char* name)
{
    if (!PyArray_ISWRITEABLE(a)) return fail_arg("Array not writeable", name), false;
    // Raw stores over elements that hold object references would corrupt them.
    if (PyDataType_REFCHK(PyArray_DESCR(a))) return fail_arg("Array holds objects", name), false;
    return true;
}

bool may_share_memory(PyArrayObject* a, PyArrayObject* b)
{
    struct Span {
        std::uintptr_t first, end;
    };
    auto span = [](PyArrayObject* x) {
        const auto first = reinterpret_cast<std::uintptr_t>(PyArray_BYTES(x));
        Span s{first, first + static_cast<std::uintptr_t>(PyArray_ITEMSIZE(x))};
        for (int d = 0; d < PyArray_NDIM(x); ++d) {
            const npy_intp dim = PyArray_DIM(x, d), stride = PyArray_STRIDE(x, d);
            if (dim == 0) return Span{first, first};
            const auto reach = static_cast<std::uintptr_t>(dim - 1) *
                               static_cast<std::uintptr_t>(stride < 0 ? -stride : stride);
            if (stride < 0)
                s.first -= reach;
            else
                s.end += reach;
        }
        return s;
    };
    const Span s = span(a), t = span(b);
    return s.first < s.end && t.first < t.end && s.first < t.end && t.first < s.end;
}

}  // namespace frame
