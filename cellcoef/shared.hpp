// The numbers cellcoef shares with the host and the FDTD kernel, each defined
// once: the bits of the code word, the run record, the bits of the debug mask
// and the consistency checks that hosts know by source line. The module
// exports the ones a host needs as module constants (module.cpp).
#pragma once

#include "frame.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {

// Code word: one int16 per cell, in the host's `codes`.
constexpr int CODE_FIRST_TRIPLE = 0x07;   // component flags 0 to 2 (bit k: component k)
constexpr int CODE_SECOND_TRIPLE = 0x38;  // component flags 3 to 5
constexpr int CODE_COMPONENTS = CODE_FIRST_TRIPLE | CODE_SECOND_TRIPLE;
constexpr int CODE_LOSSY_FIRST = 0x40;    // lossy flag that goes with the first triple
constexpr int CODE_LOSSY_SECOND = 0x80;   // lossy flag that goes with the second triple
constexpr int CODE_LOSSY = CODE_LOSSY_FIRST | CODE_LOSSY_SECOND;
constexpr int CODE_MULTIGROUP = 0x100;    // run records only: the run spans several groups
constexpr int CODE_BOTH_PASSES = 0x200;   // handled in both passes of dispatch
constexpr int CODE_TAG_SHIFT = 10;
constexpr int CODE_TAG = 0x3 << CODE_TAG_SHIFT;  // the treatment tag

// Treatment tags, (code & CODE_TAG) >> CODE_TAG_SHIFT.
constexpr int TAG_PLAIN = 0, TAG_SPLIT_LOSS = 1, TAG_LUMPED = 2, TAG_NONE = 3;
// The tags in place in the code word.
constexpr int CODE_SPLIT_LOSS = TAG_SPLIT_LOSS << CODE_TAG_SHIFT;
constexpr int CODE_LUMPED = TAG_LUMPED << CODE_TAG_SHIFT;

// What a both-pass run drops in each pass: the first pass handles the first
// triple, the second pass the second one.
constexpr int CODE_FIRST_PASS_DROP = CODE_SECOND_TRIPLE | CODE_LOSSY_SECOND;
constexpr int CODE_SECOND_PASS_DROP = CODE_FIRST_TRIPLE | CODE_LOSSY_FIRST;
// The bits of the OR of a group that all its cells take: not the multigroup
// bit of the records, not the split-loss bit (which its cells share already),
// nothing above the tag.
constexpr int CODE_GROUP_KEEP = 0xfff & ~(CODE_MULTIGROUP | CODE_SPLIT_LOSS);

static_assert(CODE_COMPONENTS == 0x3f && CODE_LOSSY == 0xc0 && CODE_TAG == 0xc00, "code word");
static_assert(CODE_SPLIT_LOSS == 0x400 && CODE_LUMPED == 0x800, "code word");
static_assert(CODE_FIRST_PASS_DROP == 0xb8 && CODE_SECOND_PASS_DROP == 0x47, "pass masks");
static_assert(CODE_GROUP_KEEP == 0xaff, "group keep mask");

inline int code_tag(int code) { return (code & CODE_TAG) >> CODE_TAG_SHIFT; }

// Bit k of the code word flags component k, for k below COMPONENT_COUNT.
constexpr int COMPONENT_COUNT = 6;
// The lossy flag `last` sets for component k: components 0 to 3 take the
// first triple's flag (component 3 too), 4 and 5 the second's.
inline int lossy_flag_of(int component)
{
    return component <= 3 ? CODE_LOSSY_FIRST : CODE_LOSSY_SECOND;
}

// A record of the run table that dispatch writes: runs[0] = 1 + RUN_RECORD_INTS
// x records, the records after it. Store addresses lie below 2 GiB.
struct RunRecord {
    std::int32_t x;       // the run's first cell
    std::int32_t dx;      // its cells
    std::int32_t params;  // store address of the parameter vector, or 0
    std::int32_t code;    // the code word after the pass adjustments
    std::int32_t aux;     // store address of the auxiliary block, or 0
};
static_assert(sizeof(RunRecord) == 20, "RunRecord layout");
static_assert(offsetof(RunRecord, dx) == 4 && offsetof(RunRecord, params) == 8 &&
                  offsetof(RunRecord, code) == 12 && offsetof(RunRecord, aux) == 16,
              "RunRecord layout");
constexpr int RUN_RECORD_INTS = sizeof(RunRecord) / sizeof(std::int32_t);

// Bits of the debug mask (QUORAN_DEBUG_ORGA). Any bit of DEBUG_RUN_HEADS
// prints a line head per run in dispatch.
constexpr int DEBUG_INSERT_RESULT = 0x100;  // the HIT or FAIL line of every insertion
constexpr int DEBUG_COMPARE = 0x200;        // vector length; first differing position per candidate
constexpr int DEBUG_VECTOR = 0x400;         // vector length and every element
constexpr int DEBUG_RUN_HEADS = 0xf00;

// The consistency checks that hosts know by condition text, source name and
// line, as frame::report prints them.
inline constexpr frame::Check CHECK_STORE_SIZE{
    "unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)", "cellcoef", 450};
inline constexpr frame::Check CHECK_PM_ITEM{"rle_check(q)", "cellcoef", 463};
inline constexpr frame::Check CHECK_PL_ITEM{"rle_check(q)", "cellcoef", 475};
inline constexpr frame::Check CHECK_VECTOR_FITS{"nps<npsmx", "cellcoef", 683};
inline constexpr frame::Check CHECK_FLOAT_HASH_A{"fhsha<RLE_NHFLT && fhsha>=0", "rle", 277};
inline constexpr frame::Check CHECK_FLOAT_HASH_B{"fhshb<RLE_NHFLT && fhshb>=0", "rle", 278};
inline constexpr frame::Check CHECK_LINE_HASH{"hsh<RLE_NHASH && hsh>=0", "rle", 308};

}  // namespace cellcoef
