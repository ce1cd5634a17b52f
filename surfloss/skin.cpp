#include "skin.hpp"
#include "unaligned.hpp"

#include <cstdlib>
#include <new>

namespace surfloss {
namespace {

constexpr int no_axis = -1;

}  // namespace

PendingRecords::PendingRecords(std::size_t capacity)
    // A unique address even for capacity 0, since the address is the handle.
    : records_(static_cast<SkinRecord*>(std::calloc(capacity ? capacity : 1, sizeof(SkinRecord)))),
      capacity_(capacity)
{
}

PendingRecords::~PendingRecords()
{
    if (handed_out_) return;
    for (std::size_t r = 0; r < count_; ++r) std::free(records_[r].state);
    // Each bit was set when the scan cleared it, and nothing sets bits again.
    for (const ClearedBit& c : cleared_) *c.byte |= c.bit;
    std::free(records_);
}

ScanStatus scan(const Grid& grid, float max_spacing, int order, PendingRecords& out)
{
    // A buffer of order - 1 elements; one element for order 1 keeps every state
    // address distinct and non-null.
    const std::size_t state_elements = order > 1 ? static_cast<std::size_t>(order - 1) : 1;
    float previous = -1.0f;
    std::int32_t list_index = -1;
    try {
        for (int a = 0; a < 3; ++a) {
            const auto bit = static_cast<std::uint8_t>(1u << a);
            char* const component = grid.values + a * grid.component_step;
            for (npy_intp k = 0; k < grid.extent[2]; ++k) {
                for (npy_intp j = 0; j < grid.extent[1]; ++j) {
                    for (npy_intp i = 0; i < grid.extent[0]; ++i) {
                        const npy_intp at[3] = {i, j, k};
                        std::uint8_t* const byte = grid.mask + i * grid.mask_step[0] +
                                                   j * grid.mask_step[1] + k * grid.mask_step[2];
                        if (!(*byte & bit)) continue;

                        float best = max_spacing;
                        int best_axis = no_axis;
                        for (int b = 0; b < 3; ++b) {
                            if (b == a || at[b] >= grid.extent[b] - 1) continue;
                            if (!(byte[grid.mask_step[b]] & bit)) continue;
                            const double s = frame::load<double>(grid.spacing[b] + 8 * at[b]);
                            if (s <= static_cast<double>(best)) {
                                best = static_cast<float>(s);
                                best_axis = b;
                            }
                        }
                        if (best_axis == no_axis) continue;
                        if (out.count_ == out.capacity_) return ScanStatus::capacity_exceeded;

                        std::uint8_t* const partner = byte + grid.mask_step[best_axis];
                        out.cleared_.push_back({partner, bit});
                        *partner = static_cast<std::uint8_t>(*partner & ~bit);

                        if (best != previous) {
                            previous = best;
                            ++list_index;
                            out.spacings_.push_back(best);
                        }

                        void* const state = std::calloc(state_elements, 4);
                        if (state == nullptr) return ScanStatus::memory_full;
                        char* const cell = component + i * grid.values_step[0] +
                                           j * grid.values_step[1] + k * grid.values_step[2];
                        SkinRecord& r = out.records_[out.count_++];
                        r.cell = reinterpret_cast<float*>(cell);
                        r.partner = reinterpret_cast<float*>(cell + grid.values_step[best_axis]);
                        r.value = frame::load<float>(cell);
                        r.spacing_index = list_index;
                        r.state = state;
                    }
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return ScanStatus::memory_full;
    }
    return ScanStatus::ok;
}

void skin_coefficients(SkinRecord* records, std::size_t count, float scale, float divisor)
{
    for (std::size_t n = 0; n < count; ++n) {
        SkinRecord& r = records[n];
        const float u = r.value;
        const auto x = static_cast<double>(frame::load<float>(r.cell));
        const auto d = static_cast<float>(x / divisor);
        const auto e = static_cast<float>(static_cast<double>(d) + 0.5 * u);
        r.value = static_cast<float>(1.0 / e * u / scale);
    }
}

}  // namespace surfloss
