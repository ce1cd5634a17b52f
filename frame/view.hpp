// Checked views of array arguments. A wrapper hands a kernel an array only
// through frame::view: one call runs every check that keeps the kernel inside
// the array's memory and fills the accessor the kernel works with. The
// accessor's type fixes the element size and how elements are reached, so the
// kernel's own declaration is the one place that states them.
//
//     struct StepJob {
//         frame::Strided<float, 3> ex;                   // a field with its halo, written
//         frame::Strided<const std::int32_t, 2> runs;    // a table of 5-int records
//         frame::Contiguous<const double> dx;            // cell sizes
//         frame::Strided<std::complex<double>, 2> dft;   // an accumulator
//     };
//
//     StepJob job;   // after parsing and the array tests:
//     if (!frame::view(job.ex, ex_obj, "ex", {nz + 2, ny + 2, nx + 2}, frame::Access::write,
//                      frame::exact_rank | frame::unit_step(2)) ||
//         !frame::view(job.runs, runs_obj, "runs", {count, 5}, frame::Access::read,
//                      frame::unit_step(1)) ||
//         !frame::view(job.dx, dx_obj, "dx", nx) ||
//         !frame::view(job.dft, dft_obj, "dft", {ny, nx}, frame::Access::write))
//         return nullptr;  // the module's error is set, nothing has been touched
//     step(job);          // the kernel never sees a PyObject
//
// Where an extent comes from the array itself (a length to read up to, a
// count to derive), extents_of() reads the extents first.
//
// Accessors:
//   Strided<T, N>           element (i0, ..., iN-1) at data + sum(i_d * step[d]),
//                           read and written as T (aligned for T);
//   Unaligned<T, N>         the same addresses, elements copied byte-wise with
//                           load() and frame::store(): the array may sit at
//                           any byte offset;
//   Contiguous<T>           `count` elements of T back to back from data;
//   UnalignedContiguous<T>  the same, loaded byte-wise.
// T may be const for arrays the kernel only reads.
//
// Extents: the indices the kernel touches along each of the N axes, a number
// n for 0 to n - 1 (Extent::index and Extent::exactly for an index or a
// length the call prescribes, with their own messages). A view that touches
// nothing (an extent of 0) is checked no further than an exact rank and the
// element size, and the kernel must leave it alone. Axes past N must not be
// empty; an array may have more axes than N unless the view asks for
// exact_rank.
//
// The checks, in this order, each raising the module's error with the message
// and the argument's name ("Array too small: runs"):
//   the array test                   the module's array message
//   exact_rank: N dimensions         Wrong number of dimensions
//   element size sizeof(T)           Wrong element size
//   at least N dimensions            Wrong number of dimensions
//   the extents                      Array too small (then the messages of
//                                    index and exact extents)
//   unit_step(axis)                  Array not contiguous (the axis steps one
//                                    element, as the kernel assumes)
//   typed accessors: alignment       Array not aligned
//   Access::write                    Array not writeable, Array holds objects
// The contiguous forms check the element size, C-contiguity (Array not
// contiguous) and `count` elements (Array too small), then alignment and
// access as above.
#pragma once

#include "checks.hpp"
#include "unaligned.hpp"

#include <type_traits>

namespace frame {

using Index = npy_intp;

enum class Access { read, write };

// How an array is laid out, beyond its extents.
struct Form {
    bool exact_rank = false;
    int unit_axis = -1;  // the axis whose elements lie one element apart, or -1
};

// Exactly N dimensions, tested before anything else.
inline constexpr Form exact_rank{true, -1};

// The kernel steps one element along `axis` instead of using its stride.
constexpr Form unit_step(int axis) { return Form{false, axis}; }

constexpr Form operator|(Form a, Form b)
{
    return Form{a.exact_rank || b.exact_rank, b.unit_axis >= 0 ? b.unit_axis : a.unit_axis};
}

// Exactly N extents: a braced list of another length does not compile, where
// it would leave the missing extents 0 and the view unchecked.
template <int N>
struct Extents {
    Extent value[N];

    template <class... E, class = std::enable_if_t<sizeof...(E) == N>>
    constexpr Extents(E... e) : value{Extent(e)...}
    {
    }
};

namespace detail {

// The byte offset of element (i...) through the steps.
template <int N, class... I>
Index offset(const Index (&step)[N], I... i)
{
    static_assert(sizeof...(I) == N, "one index per axis");
    Index sum = 0;
    int d = 0;
    ((sum += static_cast<Index>(i) * step[d++]), ...);
    return sum;
}

}  // namespace detail

template <class T, int N>
struct Strided {
    static_assert(N >= 1, "a view has at least one axis");
    char* data = nullptr;
    Index step[N] = {};

    template <class... I>
    T* at(I... i) const
    {
        return reinterpret_cast<T*>(data + detail::offset(step, i...));
    }
    template <class... I>
    T& operator()(I... i) const
    {
        return *at(i...);
    }
    T& operator[](Index i) const
    {
        static_assert(N == 1, "one index per axis");
        return *reinterpret_cast<T*>(data + i * step[0]);
    }
    // Element (i, 0, ...): a row whose elements lie one element apart where the
    // view asked for unit_step along axis 1.
    T* row(Index i) const { return reinterpret_cast<T*>(data + i * step[0]); }
};

template <class T, int N>
struct Unaligned {
    static_assert(N >= 1, "a view has at least one axis");
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    Byte* data = nullptr;
    Index step[N] = {};

    template <class... I>
    Byte* at(I... i) const
    {
        return data + detail::offset(step, i...);
    }
    template <class... I>
    std::remove_const_t<T> load(I... i) const
    {
        return frame::load<std::remove_const_t<T>>(at(i...));
    }
};

template <class T>
struct Contiguous {
    T* data = nullptr;
    T& operator[](Index i) const { return data[i]; }
};

template <class T>
struct UnalignedContiguous {
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;
    Byte* data = nullptr;
    Byte* at(Index i) const { return data + i * static_cast<Index>(sizeof(T)); }
    std::remove_const_t<T> load(Index i) const { return frame::load<std::remove_const_t<T>>(at(i)); }
};

// What a strided view asks of an array; the checks shared by every strided form.
struct Need {
    int rank;
    const Extent* extent;  // `rank` of them
    int itemsize;
    Form form;
    std::size_t alignment;  // of the type elements are read as; 1 for byte-wise loads
    Access access;
};
bool check_view(PyObject* o, const char* name, const Need& need);

// The checks of the contiguous forms.
bool check_contiguous_view(PyObject* o, const char* name, Index count, int itemsize,
                           std::size_t alignment, Access access);

// The extents of an array that a call reads before it takes the array's view
// (a length to address, a count to derive). Null after the array test or
// "Wrong number of dimensions" when the array has fewer than `rank` axes (not
// exactly `rank` with exact_rank).
const Index* extents_of(PyObject* o, const char* name, int rank, Form form = {});

namespace detail {

// The data and byte strides of the first N axes; axes the array lacks (it
// touches nothing then) step 0.
template <class View, int N>
void fill(View& out, PyObject* o)
{
    PyArrayObject* a = array(o);
    out.data = PyArray_BYTES(a);
    for (int d = 0; d < N; ++d) out.step[d] = d < PyArray_NDIM(a) ? PyArray_STRIDE(a, d) : 0;
}

}  // namespace detail

template <class T, int N>
bool view(Strided<T, N>& out, PyObject* o, const char* name, const Extents<N>& extent,
          Access access = Access::read, Form form = {})
{
    if (!check_view(o, name, {N, extent.value, sizeof(T), form, alignof(T), access}))
        return false;
    detail::fill<Strided<T, N>, N>(out, o);
    return true;
}

// A strided view of an array of exactly `rank` dimensions, 1 <= rank <= N,
// the rank known only at run time; `extent` holds `rank` extents and the
// steps past `rank` are 0.
template <class T, int N>
bool view(Strided<T, N>& out, PyObject* o, const char* name, int rank, const Extent* extent,
          Access access = Access::read, Form form = {})
{
    form.exact_rank = true;
    if (!check_view(o, name, {rank, extent, sizeof(T), form, alignof(T), access})) return false;
    if (rank < 1 || rank > N) return fail_arg("Wrong number of dimensions", name), false;
    detail::fill<Strided<T, N>, N>(out, o);
    return true;
}

template <class T, int N>
bool view(Unaligned<T, N>& out, PyObject* o, const char* name, const Extents<N>& extent,
          Access access = Access::read, Form form = {})
{
    if (!check_view(o, name, {N, extent.value, sizeof(T), form, 1, access})) return false;
    detail::fill<Unaligned<T, N>, N>(out, o);
    return true;
}

template <class T>
bool view(Contiguous<T>& out, PyObject* o, const char* name, Index count,
          Access access = Access::read)
{
    if (!check_contiguous_view(o, name, count, sizeof(T), alignof(T), access)) return false;
    out.data = static_cast<T*>(PyArray_DATA(array(o)));
    return true;
}

template <class T>
bool view(UnalignedContiguous<T>& out, PyObject* o, const char* name, Index count,
          Access access = Access::read)
{
    if (!check_contiguous_view(o, name, count, sizeof(T), 1, access)) return false;
    out.data = PyArray_BYTES(array(o));
    return true;
}

}  // namespace frame
