// Checks that an array argument holds every element a kernel will touch, so
// that no call can read or write outside the memory of the arrays it was given.
// Each check raises the module's error naming the argument and returns false.
//
// Wrappers take their arrays through frame::view (view.hpp), which runs these
// checks in a fixed order and hands out the kernel's accessor; the single
// checks are the pieces it is built from.
#pragma once

#include "frame.hpp"

#include <cstddef>

namespace frame {

// What a kernel touches along one axis of an array. A plain number n: the
// indices 0 to n - 1 ("Array too small" when the axis is shorter).
class Extent {
public:
    enum class Kind { below, index, exactly };

    // Implicit, so that plain extents read as numbers: {rows, cols}.
    constexpr Extent(npy_intp n) : value_(n) {}
    // 0: nothing is touched, so nothing is checked.
    constexpr Extent() : value_(0) {}

    // The one index `i` along the axis, chosen by the caller: 0 <= i < length,
    // else the module's error "<message>: <name>".
    static constexpr Extent index(npy_intp i, const char* message)
    {
        return Extent(i, Kind::index, message);
    }
    // The whole axis, which must be exactly n long, else "<message>: <name>".
    static constexpr Extent exactly(npy_intp n, const char* message)
    {
        return Extent(n, Kind::exactly, message);
    }

    constexpr npy_intp value() const { return value_; }
    constexpr Kind kind() const { return kind_; }
    constexpr const char* message() const { return message_; }
    // No element is touched along an axis of this extent.
    constexpr bool empty() const { return kind_ != Kind::index && value_ <= 0; }

private:
    constexpr Extent(npy_intp v, Kind k, const char* m) : value_(v), kind_(k), message_(m) {}

    npy_intp value_;
    Kind kind_ = Kind::below;
    const char* message_ = nullptr;
};

// True when some extent touches nothing: then the kernel touches no element.
bool touches_nothing(const Extent* extent, int count);

// The kernel addresses element (i0, ..., i{k-1}) at data + sum(i_d * strides[d])
// for the indices the extents name, each element `itemsize` bytes. The array
// must have at least k dimensions, elements of exactly `itemsize` bytes, and
// reach every extent; further axes must not be empty, since their index 0 is
// part of every address. An array that touches nothing passes unchecked.
// Plain extents are checked first (an index extent needs its axis to hold one
// element), then the index and exact extents with their own messages.
bool check_strided(PyArrayObject* a, const char* name, int itemsize, const Extent* extent,
                   int count);

// Like check_strided, with exactly `ndim` dimensions and the element size
// checked first, even when the kernel touches nothing.
bool check_shape(PyArrayObject* a, const char* name, int itemsize, int ndim, const Extent* extent,
                 int count);

// The kernel reads `count` elements of `itemsize` bytes back to back from the
// array's data: the array must be C-contiguous and hold that many bytes.
bool check_flat(PyArrayObject* a, const char* name, int itemsize, npy_intp count);

// The kernel steps `itemsize` bytes along `axis` instead of using its stride.
bool check_contiguous_axis(PyArrayObject* a, const char* name, int axis);

// The kernel reads the elements through pointers to a type of `alignment`:
// their addresses must suit both the array's element type and that type (an
// array of another element type of the same size, such as complex64 read as
// float64, may be aligned for its own type only).
bool check_aligned(PyArrayObject* a, const char* name, std::size_t alignment);

// The kernel writes into the array: a read-only array (a view of a read-only
// buffer, a memory map opened for reading) is refused, and so is one whose
// elements hold object references, which raw stores would corrupt.
bool check_writeable(PyArrayObject* a, const char* name);

// Whether the memory spanned by the extents and strides of two arrays
// intersects (as numpy.may_share_memory tells it: interleaved arrays that
// share no element count too). A kernel that would hold values across writes
// takes its plain loops where this is true.
bool may_share_memory(PyArrayObject* a, PyArrayObject* b);

}  // namespace frame
