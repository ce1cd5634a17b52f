// The kernel of `last`: coefficient arrays from the RLE arrays of a material
// pair, and the marking of the code words.
#pragma once

#include "rle.hpp"

#include <cstdint>

namespace cellcoef {

struct LastJob {
    const RleArray* a;       // material a, same dims as b
    const RleArray* b;       // material b, the template of pm and pl
    RleArray* pm;            // filled with tolerance
    RleArray* pl;            // filled exactly
    char* codes;             // int16 code words; line idx starts at
    std::int64_t code_strides[RLE_MAXDIM];  // codes + sum(idx[d] * code_strides[d])
    int bit;                 // the component flag; above 5 no marking
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
