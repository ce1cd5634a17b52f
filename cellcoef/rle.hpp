// RLE arrays: per-cell float values of the grid, every line along the last
// dimension held as a list of runs, lines with identical runs sharing one list.
// The layout is shared with the host component that defines the type.
#pragma once

#include "frame.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {

constexpr std::uint32_t RLE_MAGIC = 0x00314159;
constexpr int RLE_MAXDIM = 10;
constexpr int RLE_NHFLT = 1000000;
constexpr int RLE_NHASH = 65535;

struct RleRun {
    float run_value;      // the run's value divided by the line's max
    std::int32_t start;   // index of the run's first element
};

struct RleEntry {
    float max;            // the line's largest magnitude, at least 1e-30f
    std::int16_t fresh;   // 1: the list was stored for this entry; 0: borrowed
    std::int16_t nrec;    // records in the list, terminator included
    RleRun* run_list;
};

struct RleArray {
    PyObject_HEAD
    std::uint32_t magic;
    std::int32_t nouter;              // number of dimensions - 1
    std::int32_t nbytes;              // size of the entry area
    std::int32_t nlines;              // nbytes / sizeof(RleEntry)
    std::int32_t used_bytes;
    std::int32_t shared_lines;
    std::int32_t dims[RLE_MAXDIM];
    std::int32_t strides[RLE_MAXDIM];  // byte strides of the outer dimensions
    RleEntry* data;
    PyTypeObject* rle_type;
};

static_assert(sizeof(RleRun) == 8, "RleRun layout");
static_assert(offsetof(RleRun, start) == 4, "RleRun layout");
static_assert(sizeof(RleEntry) == 8 + sizeof(void*), "RleEntry layout");
static_assert(offsetof(RleEntry, fresh) == 4, "RleEntry layout");
static_assert(offsetof(RleEntry, nrec) == 6, "RleEntry layout");
static_assert(offsetof(RleEntry, run_list) == 8, "RleEntry layout");
static_assert(offsetof(RleArray, magic) == sizeof(PyObject), "RleArray layout");
static_assert(offsetof(RleArray, nouter) == sizeof(PyObject) + 4, "RleArray layout");
static_assert(offsetof(RleArray, nbytes) == sizeof(PyObject) + 8, "RleArray layout");
static_assert(offsetof(RleArray, nlines) == sizeof(PyObject) + 12, "RleArray layout");
static_assert(offsetof(RleArray, used_bytes) == sizeof(PyObject) + 16, "RleArray layout");
static_assert(offsetof(RleArray, shared_lines) == sizeof(PyObject) + 20, "RleArray layout");
static_assert(offsetof(RleArray, dims) == sizeof(PyObject) + 24, "RleArray layout");
static_assert(offsetof(RleArray, strides) == sizeof(PyObject) + 64, "RleArray layout");
static_assert(offsetof(RleArray, data) == sizeof(PyObject) + 104, "RleArray layout");
static_assert(offsetof(RleArray, rle_type) == sizeof(PyObject) + 104 + sizeof(void*),
              "RleArray layout");

// True when obj's type is large enough for the layout and its magic word is set.
bool rle_check(PyObject* obj);

// The entry of the line with outer index vector idx (no bounds checked).
inline RleEntry* rle_entry(const RleArray* a, const std::int32_t* idx)
{
    char* p = reinterpret_cast<char*>(a->data);
    for (int i = 0; i < a->nouter; ++i) p += static_cast<std::ptrdiff_t>(a->strides[i]) * idx[i];
    return reinterpret_cast<RleEntry*>(p);
}

inline std::int32_t rle_line_length(const RleArray* a) { return a->dims[a->nouter]; }

// Writes the line of `entry` into out (rle_line_length(a) floats).
void rle_expand(const RleArray* a, const RleEntry* entry, float* out);

inline void rle_get_line(const RleArray* a, const std::int32_t* idx, float* out)
{
    rle_expand(a, rle_entry(a, idx), out);
}

}  // namespace cellcoef
