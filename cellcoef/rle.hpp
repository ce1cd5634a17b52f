// RLE arrays: per-cell float values of the grid, every line along the last
// dimension held as a list of runs, lines with identical runs sharing one list.
// The layout is shared with the host component that defines the type.
#pragma once

#include "frame.hpp"
#include "hold.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {

constexpr std::uint32_t RLE_MAGIC = 0x00314159;
constexpr int RLE_MAXDIM = 10;
constexpr int RLE_NHFLT = 1000000;
constexpr int RLE_NHASH = 65535;
// nrec is an int16 and a line of L elements takes up to L + 1 records.
constexpr int RLE_MAXLINE = 32766;

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

// Strides and entry area size of an array with `ndim` dimensions `dims`; false
// when they do not fit the layout: ndim outside 1..RLE_MAXDIM, a dimension
// below 1, a line longer than RLE_MAXLINE, an entry area beyond the int32 range.
bool rle_layout(int ndim, const std::int64_t* dims, std::int32_t* strides, std::int32_t* nbytes);

// True when an object that passed rle_check also holds a layout this module
// can walk: dims that fit, strides, nbytes and nlines as rle_new sets them, an
// entry area, and rle_type naming the object's own type.
bool rle_consistent(const RleArray* a);

// Creates an array of `type` (its tp_alloc, zero-filled) with an uncleared
// entry area. Returns a new reference, or null with the module's error set:
// "Error Alloc RLE2: Memory Full", "Error Alloc RLE1: Memory Full", or
// "Dimensions do not fit an RLE array".
RleArray* rle_new(int ndim, const std::int32_t* dims, PyTypeObject* type);

// Advances idx to the next line in entry order; 0 when idx was the last line.
// An array of one line (nouter 0) has no next line.
int rle_next(const RleArray* a, std::int32_t* idx);

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

// One step of the line hash; single precision in and out.
float line_hash_step(float h, float v);

// The hash tables of one run of compressions, zero-filled, released with the
// object. Lines compressed with one set of tables all have the same length.
struct RleTables {
    frame::Scratch<float> float_table_a;
    frame::Scratch<float> float_table_b;
    frame::Scratch<RleRun*> line_table;

    // False when the heap is exhausted.
    bool allocate();
};

// Compresses `line` (rle_line_length(a) floats, rewritten in place: values
// below 1e-37 in magnitude become 0) into `entry`, an entry of `a`, and updates
// a's used_bytes and shared_lines. runbuf holds at least line length + 1
// records. With `tolerant`, new run values snap to values met before within
// rel_tol. Returns null, or the consistency check that failed (non-finite
// input; the "cur ... max ..." diagnostic has been printed). Throws
// std::bad_alloc when a run list cannot be stored.
const frame::Check* rle_compress(RleArray* a, RleEntry* entry, RleRun* runbuf, float* line,
                                 RleTables& tables, bool tolerant);

// The entry of a line equal, value for value, to the line whose entry the
// compressor wrote last with these tables, `previous`, in exact mode: the
// compressor would make the same runs, find them under the same hash and
// borrow them. Updates a's shared_lines; takes one entry's copy, not a pass
// over the line.
void rle_repeat(RleArray* a, RleEntry* entry, const RleEntry* previous);

// The same compression for a line given as `count` segments of equal values:
// segment k holds value[k] from start[k] (start[0] = 0, increasing) up to the
// next start or the line's end. Equal values reach the tables in the same
// order as from the expanded line, so the entry, the stored lists and the
// tables come out bit-identical to rle_compress on that line. value[] is
// flushed in place.
const frame::Check* rle_compress_segments(RleArray* a, RleEntry* entry, RleRun* runbuf,
                                          float* value, const std::int32_t* start, int count,
                                          RleTables& tables, bool tolerant);

}  // namespace cellcoef
