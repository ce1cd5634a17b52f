#include "view.hpp"

namespace frame {

bool check_view(PyObject* o, const char* name, const Need& need)
{
    if (!require_arrays({o})) return false;
    PyArrayObject* a = array(o);
    if (need.form.exact_rank
            ? !check_shape(a, name, need.itemsize, need.rank, need.extent, need.rank)
            : !check_strided(a, name, need.itemsize, need.extent, need.rank))
        return false;
    if (touches_nothing(need.extent, need.rank)) return true;
    if (need.form.unit_axis >= 0 && !check_contiguous_axis(a, name, need.form.unit_axis))
        return false;
    if (need.alignment > 1 && !check_aligned(a, name, need.alignment)) return false;
    return need.access == Access::read || check_writeable(a, name);
}

bool check_contiguous_view(PyObject* o, const char* name, Index count, int itemsize,
                           std::size_t alignment, Access access)
{
    if (!require_arrays({o})) return false;
    PyArrayObject* a = array(o);
    if (!check_flat(a, name, itemsize, count)) return false;
    if (count <= 0) return true;
    if (alignment > 1 && !check_aligned(a, name, alignment)) return false;
    return access == Access::read || check_writeable(a, name);
}

const Index* extents_of(PyObject* o, const char* name, int rank, Form form)
{
    if (!require_arrays({o})) return nullptr;
    PyArrayObject* a = array(o);
    if (form.exact_rank ? PyArray_NDIM(a) != rank : PyArray_NDIM(a) < rank)
        return fail_arg("Wrong number of dimensions", name), nullptr;
    return PyArray_DIMS(a);
}

}  // namespace frame
