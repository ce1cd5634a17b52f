#include "checks.hpp"

namespace frame {
namespace {

bool touches_nothing(std::initializer_list<npy_intp> extent)
{
    for (npy_intp e : extent)
        if (e <= 0) return true;
    return false;
}

}  // namespace

bool check_strided(PyArrayObject* a, const char* name, int itemsize,
                   std::initializer_list<npy_intp> extent)
{
    if (touches_nothing(extent)) return true;
    const int k = static_cast<int>(extent.size());
    if (PyArray_ITEMSIZE(a) != itemsize) return fail_arg("Wrong element size", name), false;
    if (PyArray_NDIM(a) < k) return fail_arg("Wrong number of dimensions", name), false;
    const npy_intp* dims = PyArray_DIMS(a);
    int d = 0;
    for (npy_intp e : extent) {
        if (dims[d] < e) return fail_arg("Array too small", name), false;
        ++d;
    }
    for (; d < PyArray_NDIM(a); ++d)
        if (dims[d] < 1) return fail_arg("Array too small", name), false;
    return true;
}

bool check_shape(PyArrayObject* a, const char* name, int itemsize, int ndim,
                 std::initializer_list<npy_intp> extent)
{
    if (PyArray_NDIM(a) != ndim) return fail_arg("Wrong number of dimensions", name), false;
    if (PyArray_ITEMSIZE(a) != itemsize) return fail_arg("Wrong element size", name), false;
    return check_strided(a, name, itemsize, extent);
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

bool check_aligned(PyArrayObject* a, const char* name)
{
    if (!PyArray_ISALIGNED(a)) return fail_arg("Array not aligned", name), false;
    return true;
}

bool check_writeable(PyArrayObject* a, const char* name)
{
    if (!PyArray_ISWRITEABLE(a)) return fail_arg("Array not writeable", name), false;
    return true;
}

}  // namespace frame
