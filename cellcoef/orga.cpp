#include "orga.hpp"

#include "lowmem.hpp"
#include "settings.hpp"
#include "shared.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace cellcoef {
namespace {

constexpr double FLUSH_BELOW = 1e-37;

// The counters are int32 fields of the host's array; they wrap rather than
// overflow.
void add(std::int32_t& field, std::uint32_t amount)
{
    field = static_cast<std::int32_t>(static_cast<std::uint32_t>(field) + amount);
}

float* align16(void* raw)
{
    const auto a = reinterpret_cast<std::uintptr_t>(raw);
    return reinterpret_cast<float*>((a + 15) & ~std::uintptr_t{15});
}

void print_vector(const float* p, int n)
{
    std::printf("DEBUG orga insert:  npar %d\n", n);
    if (debug_mask & DEBUG_VECTOR)
        for (int i = 0; i < n; ++i) std::printf(" %d %.8e\n", i, p[i]);
}

}  // namespace

float* orga_insert(OrgaHeader* o, float* p, int n, int ntol, int counted)
{
    for (int i = 0; i < n; ++i)
        if (std::fabs(static_cast<double>(p[i])) < FLUSH_BELOW) p[i] = 0.0f;
    if (debug_mask & (DEBUG_COMPARE | DEBUG_VECTOR)) print_vector(p, n);

    // Oldest first (the slot written next), then newest to oldest.
    const std::uint32_t first = static_cast<std::uint32_t>(o->nstored) % ORGA_RING;
    for (std::uint32_t k = 0; k < ORGA_RING; ++k) {
        const std::uint32_t slot = (first + ORGA_RING - k) % ORGA_RING;
        // An unused slot (address 0) never matches, not even an empty vector.
        if (o->ring_len[slot] != n || o->ring[slot] == 0) continue;
        float* stored = orga_pointer(o->ring[slot]);
        int j = 0;
        while (j < n && (p[j] == stored[j] || (j < ntol && rel_close(p[j], stored[j])))) ++j;
        if (j == n) {
            if (counted) add(o->hits, 1);
            if (debug_mask & DEBUG_INSERT_RESULT)
                std::printf("DEBUG ORGA insert: npar %d HIT\n\n", n);
            return stored;
        }
        if ((debug_mask & DEBUG_COMPARE) && j != 0)
            std::printf("DEBUG ORGA: cmp %d : %.15e != %.15e (TOL %.3e)\n", j, p[j], stored[j],
                        rel_tol);
    }

    if (debug_mask & DEBUG_INSERT_RESULT)
        std::printf("DEBUG ORGA insert: npar %d FAIL\n\n", n);
    float* copy = orga_alloc(o, n, &o->ring_bytes);
    if (copy == nullptr) return nullptr;
    if (n > 0) std::memcpy(copy, p, static_cast<std::size_t>(n) * sizeof(float));
    o->ring[first] = orga_address(copy);
    o->ring_len[first] = n;
    add(o->nstored, 1);
    if (counted) add(o->inserts, 1);
    return copy;
}

float* orga_alloc(OrgaHeader* o, int n, std::int32_t* counter)
{
    if (n < 0) return nullptr;
    float* p;
    if (o->block != 0 && static_cast<long long>(o->block_used) + n <= ORGA_BLOCK_FLOATS) {
        p = orga_pointer(o->block) + o->block_used;
        o->block_used += n;
    } else if (n <= ORGA_BLOCK_MAX_REQUEST) {
        void* raw = lowmem_alloc(ORGA_BLOCK_BYTES);
        if (raw == nullptr) return nullptr;
        // The rest of the previous block is abandoned.
        p = align16(raw);
        o->block = orga_address(p);
        o->block_used = n;
        add(o->blocks, 1);
    } else {
        void* raw = lowmem_alloc(4 * static_cast<std::size_t>(n) + 16);
        if (raw == nullptr) return nullptr;
        p = align16(raw);
        add(o->large_allocs, 1);
    }
    add(*counter, 4 * static_cast<std::uint32_t>(n));
    return p;
}

OrgaPrepare orga_prepare(const void* data, std::size_t bytes, std::size_t extent,
                         const OrgaHeader* last)
{
    const auto* o = static_cast<const OrgaHeader*>(data);
    const bool initialised = bytes >= sizeof(o->magic) && o->magic == ORGA_MAGIC;
    if (!initialised && extent <= sizeof(OrgaHeader)) return OrgaPrepare::size_check_failed;
    if (bytes <= sizeof(OrgaHeader)) return OrgaPrepare::too_small;
    if (!initialised) return OrgaPrepare::blank;
    // Any other bytes could hand out memory that another header hands out too
    // (a copy), or point anywhere (a header from another process).
    if (last == nullptr || std::memcmp(o, last, sizeof(OrgaHeader)) != 0)
        return OrgaPrepare::invalid;
    return OrgaPrepare::ready;
}

void orga_init(OrgaHeader* o)
{
    std::memset(o, 0, sizeof(OrgaHeader));
    o->magic = ORGA_MAGIC;
}

void orga_restore(OrgaHeader* o, const OrgaHeader& last)
{
    if (last.block != 0) {
        // Beyond where the block was left, it handed out floats only in the
        // failed call; past the last of them they are still zero.
        const std::int32_t end = o->block == last.block ? o->block_used : ORGA_BLOCK_FLOATS;
        float* from = orga_pointer(last.block) + last.block_used;
        std::memset(from, 0, sizeof(float) * static_cast<std::size_t>(end - last.block_used));
    }
    std::memcpy(o, &last, sizeof(OrgaHeader));
}

}  // namespace cellcoef
