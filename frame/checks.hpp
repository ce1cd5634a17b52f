// Checks that an array argument holds every element a kernel will touch, so
// that no call can read or write outside the memory of the arrays it was given.
// Each check raises the module's error naming the argument and returns false.
#pragma once

#include "frame.hpp"

#include <initializer_list>

namespace frame {

// The kernel addresses element (i0, ..., i{k-1}) at data + sum(i_d * strides[d])
// for every i_d below extent[d], each element `itemsize` bytes. The array must
// have at least k dimensions, elements of exactly `itemsize` bytes, and reach
// extent[d] along every axis d < k. Further axes must not be empty, since
// their index 0 is part of every address. An extent of 0 touches nothing.
bool check_strided(PyArrayObject* a, const char* name, int itemsize,
                   std::initializer_list<npy_intp> extent);

// Like check_strided, with exactly `ndim` dimensions.
bool check_shape(PyArrayObject* a, const char* name, int itemsize, int ndim,
                 std::initializer_list<npy_intp> extent);

// The kernel reads `count` elements of `itemsize` bytes back to back from the
// array's data: the array must be C-contiguous and hold that many bytes.
bool check_flat(PyArrayObject* a, const char* name, int itemsize, npy_intp count);

// The kernel steps `itemsize` bytes along `axis` instead of using its stride.
bool check_contiguous_axis(PyArrayObject* a, const char* name, int axis);

// The kernel reads the elements through typed pointers: their addresses must
// suit the array's element type.
bool check_aligned(PyArrayObject* a, const char* name);

// The kernel writes into the array: a read-only array (a view of a read-only
// buffer, a memory map opened for reading) is refused.
bool check_writeable(PyArrayObject* a, const char* name);

}  // namespace frame
