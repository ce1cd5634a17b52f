// Strided element access for the kernels. Elements are loaded and stored
// through memcpy: an array's data need not be aligned for its element type,
// and the host may pass overlapping arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "unaligned.hpp"

namespace fieldplot {

using Index = std::ptrdiff_t;

using frame::load;

template <class T>
inline void store(char* p, T value)
{
    std::memcpy(p, &value, sizeof value);
}

// Element i at data + i * s0.
struct Strided1 {
    char* data = nullptr;
    Index s0 = 0;
    char* at(Index i) const { return data + i * s0; }
};

// Element (i, j) at data + i * s0 + j * s1.
struct Strided2 {
    char* data = nullptr;
    Index s0 = 0, s1 = 0;
    char* at(Index i, Index j) const { return data + i * s0 + j * s1; }
};

// Element (i, j, k) at data + i * s0 + j * s1 + k * s2.
struct Strided3 {
    char* data = nullptr;
    Index s0 = 0, s1 = 0, s2 = 0;
    char* at(Index i, Index j, Index k) const { return data + i * s0 + j * s1 + k * s2; }
};

}  // namespace fieldplot
