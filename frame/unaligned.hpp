// Element loads and stores in NumPy array memory, which need not be aligned
// for the element type: the bytes are copied, never accessed through a typed
// pointer.
#pragma once

#include <cstring>

namespace frame {

template <class T>
inline T load(const void* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <class T>
inline void store(void* p, T value)
{
    std::memcpy(p, &value, sizeof value);
}

}  // namespace frame
