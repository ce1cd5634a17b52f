// The parameter store ("orga"): float vectors of dispatch folded within the
// relative tolerance among the last 1000 stored, and zero-filled state blocks,
// in memory that is never released. Its header lives in the host's array `og`.
#pragma once

#include "frame.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {

constexpr std::uint32_t ORGA_MAGIC = 0x12349876;
constexpr int ORGA_RING = 1000;
constexpr int ORGA_BLOCK_FLOATS = 32768;
// A shared block: ORGA_BLOCK_FLOATS floats and up to 15 bytes of alignment.
constexpr std::size_t ORGA_BLOCK_BYTES = 131088;
// Requests of more floats than this get their own allocation unless they fit
// the current block.
constexpr int ORGA_BLOCK_MAX_REQUEST = 4095;

// What the caller of orga_insert or orga_alloc raises when they return null.
constexpr const char* ORGA_MEMORY_FULL = "Error Alloc ORGA: Memory Full";

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
// in place (magnitudes below 1e-37 become 0). n >= 0; slots never written
// match nothing. Null when store memory is exhausted, with the header unchanged.
float* orga_insert(OrgaHeader* o, float* p, int n, int ntol, int counted);

// n zero-filled floats of store memory (n >= 0); adds 4 * n to *counter. Null
// when store memory is exhausted, with the header and *counter unchanged.
float* orga_alloc(OrgaHeader* o, int n, std::int32_t* counter);

// The outcome of orga_prepare.
enum class OrgaPrepare {
    ready,              // the header is initialised and may be used
    size_check_failed,  // no header yet, and the array's extent is not larger than one
    too_small,          // the memory itself cannot hold the header and more
    invalid,            // a header whose addresses are not store memory of this process
};

// Makes sure the `bytes` bytes at `data` (4-byte aligned, writable) start with
// an initialised header, writing one when the magic word is missing. `extent`
// is the size the host states for the array (strides[0] * dimensions[0]), which
// must exceed the header before one is written; `bytes` must too. A header that
// is already there is kept, once its addresses are known to be store memory
// (a header copied from another process or forged would otherwise make the
// store read and write at random).
OrgaPrepare orga_prepare(void* data, std::size_t bytes, std::size_t extent);

// The header in og's data for the store calls, initialised if need be. Null
// with the module's error set when og cannot hold it: not C-contiguous, not
// 4-byte aligned, read-only, the size check "unsigned(og->strides[0]*og->
// dimensions[0]) > sizeof(*o)" (CHECK_STORE_SIZE), too small, or
// a header that does not belong to this process.
OrgaHeader* orga_open(PyArrayObject* og);

// True when og is C-contiguous, 4-byte aligned and holds `bytes` bytes, the
// part of the header a reader uses; raises the module's error naming og
// otherwise.
bool orga_readable(PyArrayObject* og, npy_intp bytes);

}  // namespace cellcoef
