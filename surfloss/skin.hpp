// Skin-effect records: the pairing of marked cells with their nearest marked
// neighbour, and the coefficients computed from the records' values. The record
// layout is shared with the solver kernel, which reads the array by address.
#pragma once

#include "frame.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace surfloss {

struct SkinRecord {
    float* cell;                 // the cell's element of `values` for the record's axis
    float* partner;              // the partner cell's element for the same axis
    float value;                 // the cell value at scan time, then the coefficient
    std::int32_t spacing_index;  // position of the pair's spacing in the spacing list
    void* state;                 // zero-filled buffer of order - 1 four-byte elements
};

#if UINTPTR_MAX > 0xffffffffu
static_assert(sizeof(SkinRecord) == 32, "SkinRecord layout");
static_assert(offsetof(SkinRecord, partner) == 8, "SkinRecord layout");
static_assert(offsetof(SkinRecord, value) == 16, "SkinRecord layout");
static_assert(offsetof(SkinRecord, spacing_index) == 20, "SkinRecord layout");
static_assert(offsetof(SkinRecord, state) == 24, "SkinRecord layout");
#else
static_assert(sizeof(SkinRecord) == 20, "SkinRecord layout");
static_assert(offsetof(SkinRecord, partner) == 4, "SkinRecord layout");
static_assert(offsetof(SkinRecord, value) == 8, "SkinRecord layout");
static_assert(offsetof(SkinRecord, spacing_index) == 12, "SkinRecord layout");
static_assert(offsetof(SkinRecord, state) == 16, "SkinRecord layout");
#endif
static_assert(offsetof(SkinRecord, cell) == 0, "SkinRecord layout");

// The caller's arrays as the scan addresses them; steps are in bytes, indexed by
// axis (0: i, 1: j, 2: k). Every index below `extent` has been checked to lie
// inside its array.
struct Grid {
    npy_intp extent[3];             // NX, NY, NZ
    std::uint8_t* mask;
    npy_intp mask_step[3];
    char* values;
    npy_intp component_step;        // from the values of axis a to those of a + 1
    npy_intp values_step[3];
    const char* spacing[3];         // dx, dy, dz: contiguous doubles, extent - 1 each
};

enum class ScanStatus { ok, capacity_exceeded, memory_full };

class PendingRecords;

// Pairs every cell marked for an axis with the marked neighbour at the smallest
// spacing up to `max_spacing` along a perpendicular axis, clears the partner's
// mark and fills one record per pair, each with a state buffer of `order` - 1
// elements (`order` at least 1). Stops at the first pair beyond the capacity.
ScanStatus scan(const Grid& grid, float max_spacing, int order, PendingRecords& out);

// The record array of one call with everything the scan changed, until the call
// hands the records out. Otherwise its destruction undoes the scan: the state
// buffers and the array are freed and the cleared mask bits set again.
class PendingRecords {
public:
    // Allocates `capacity` zero-filled records; records() is null when the heap
    // is exhausted.
    explicit PendingRecords(std::size_t capacity);
    PendingRecords(const PendingRecords&) = delete;
    PendingRecords& operator=(const PendingRecords&) = delete;
    ~PendingRecords();

    SkinRecord* records() const { return records_; }
    std::size_t count() const { return count_; }
    // The spacing list: one entry per change of the pairs' spacing.
    const std::vector<float>& spacings() const { return spacings_; }
    // From now on the records and the mask changes belong to the caller.
    void hand_out() { handed_out_ = true; }

private:
    friend ScanStatus scan(const Grid&, float, int, PendingRecords&);

    struct ClearedBit {
        std::uint8_t* byte;
        std::uint8_t bit;
    };

    SkinRecord* records_;
    std::size_t capacity_;
    std::size_t count_ = 0;
    std::vector<ClearedBit> cleared_;
    std::vector<float> spacings_;
    bool handed_out_ = false;
};

// Replaces the value of each of the `count` records with its coefficient, from
// the value and the current element at the record's cell.
void skin_coefficients(SkinRecord* records, std::size_t count, float scale, float divisor);

}  // namespace surfloss
