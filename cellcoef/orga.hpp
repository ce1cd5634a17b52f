// The parameter store ("orga"): float vectors of dispatch folded within the
// relative tolerance among the last 1000 stored, and zero-filled state blocks,
// in memory that is never released. Its header lives in the host's array `og`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cellcoef {

constexpr std::uint32_t ORGA_MAGIC = 0x12349876;
constexpr int ORGA_RING = 1000;

// Fixed layout shared with the host: 8044 bytes, addresses as 32-bit values
// (store memory lies below 2 GiB, so they are true addresses).
struct OrgaHeader {
    std::uint32_t magic;
    std::uint32_t reserved;
    std::int32_t ring_bytes;
    std::int32_t direct_bytes;
    std::int32_t blocks;
    std::int32_t large_allocs;
    std::int32_t block_used;
    std::int32_t hits;
    std::int32_t inserts;
    std::uint32_t block;
    std::int32_t nstored;
    std::uint32_t ring[ORGA_RING];
    std::int32_t ring_len[ORGA_RING];
};

static_assert(sizeof(OrgaHeader) == 8044, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, magic) == 0, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, reserved) == 4, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, ring_bytes) == 8, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, direct_bytes) == 12, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, blocks) == 16, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, large_allocs) == 20, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, block_used) == 24, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, hits) == 28, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, inserts) == 32, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, block) == 36, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, nstored) == 40, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, ring) == 44, "OrgaHeader layout");
static_assert(offsetof(OrgaHeader, ring_len) == 4044, "OrgaHeader layout");

// A 32-bit store address as a pointer, and back.
inline float* orga_pointer(std::uint32_t address)
{
    return reinterpret_cast<float*>(static_cast<std::uintptr_t>(address));
}
inline std::uint32_t orga_address(const float* p)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

// The address of a stored vector equal to the n floats at p (positions below
// ntol within rel_tol), storing a copy first if there is none; p is rewritten
// in place (magnitudes below 1e-37 become 0). Null when store memory is
// exhausted.
float* orga_insert(OrgaHeader* o, float* p, int n, int ntol, int counted);

// n zero-filled floats of store memory; adds 4 * n to *counter. Null when
// store memory is exhausted.
float* orga_alloc(OrgaHeader* o, int n, std::int32_t* counter);

}  // namespace cellcoef
