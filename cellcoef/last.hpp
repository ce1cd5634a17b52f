// The kernel of `last`: coefficient arrays from the RLE arrays of a material
// pair, and the marking of the code words.
#pragma once

#include "rle.hpp"
#include "view.hpp"

#include <cstdint>

namespace cellcoef {

struct LastJob {
    const RleArray* a;       // material a, same dims as b
    const RleArray* b;       // material b, the template of pm and pl
    RleArray* pm;            // filled with tolerance
    RleArray* pl;            // filled exactly
    // The code words, of b's dimensions; the line at outer index idx starts at
    // element (idx, 0) and is contiguous.
    frame::Strided<std::int16_t, RLE_MAXDIM> codes;
    int bit;                 // the component flag; from COMPONENT_COUNT on no marking
    float a_scale;           // divisor of every a value
};

// Per-call rows of the line length L: segment values and starts, and the
// record buffer of the compressor.
struct LastRows {
    float* pm;               // L
    float* pl;               // L
    std::int32_t* start;     // L
    RleRun* runbuf;          // L + 5
};

// Fills every line of pm and pl; the codes are not touched. Returns null, or
// the consistency check that failed (a non-finite coefficient).
const frame::Check* last_compress(const LastJob& job, const LastRows& rows, RleTables& tables);

// Marks the code words of every line and returns the number of cells whose pm
// came out 0 (0 when marking is off).
std::int64_t last_mark(const LastJob& job, const LastRows& rows);

}  // namespace cellcoef
