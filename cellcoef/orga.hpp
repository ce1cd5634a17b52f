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

// What the memory given for a header holds, as orga_prepare finds it.
enum class OrgaPrepare {
    ready,              // the header exactly as the store last left it at this address
    blank,              // no header yet: orga_init may write one
    size_check_failed,  // no header yet, and the array's extent is not larger than one
    too_small,          // the memory itself cannot hold the header and more
    invalid,            // a header the store did not leave here: a copy, moved, reloaded,
                        // forged, or changed behind the store's back
};

// Looks at the `bytes` bytes at `data` (4-byte aligned) without using any
// address in them. `extent` is the size the host states for the array
// (strides[0] * dimensions[0]), which must exceed the header before one is
// written; `bytes` must too. `last` is the header as the store last left it at
// `data`, or null when the store left none there.
OrgaPrepare orga_prepare(const void* data, std::size_t bytes, std::size_t extent,
                         const OrgaHeader* last);

// Writes a new, empty header: zeros and the magic word.
void orga_init(OrgaHeader* o);

// Puts the header back to `last`, its state before a call that failed part
// way. The floats of last's current block handed out since are zeroed again,
// since the block hands them out once more; blocks and large allocations taken
// since are abandoned.
void orga_restore(OrgaHeader* o, const OrgaHeader& last);

// The header in og's data for one call that stores into it. The store takes
// only headers it initialised itself, at the address where it initialised
// them, holding exactly the bytes it last left there; it keeps a copy of each
// for as long as the array that owns the header's memory lives. A header that
// fails this is refused ("Invalid store header: og"), as is an og that cannot
// hold one: not C-contiguous, not 4-byte aligned, read-only, the size check
// "unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)" (CHECK_STORE_SIZE),
// or too small. Everything the call changes in the header
// through header() stands once committed; otherwise it is put back when the
// session ends, so a call that fails leaves og as it was. Interpreter lock held
// throughout; no Python code may run between opening and commit().
class OrgaSession {
public:
    explicit OrgaSession(PyArrayObject* og);  // null header() with the module's error set
    ~OrgaSession();
    OrgaSession(const OrgaSession&) = delete;
    OrgaSession& operator=(const OrgaSession&) = delete;

    explicit operator bool() const { return header_ != nullptr; }
    OrgaHeader* header() const { return header_; }
    void commit();

private:
    OrgaHeader* header_ = nullptr;
    bool committed_ = false;
};

// True when og is C-contiguous, 4-byte aligned and holds `bytes` bytes, the
// part of the header a reader uses; raises the module's error naming og
// otherwise.
bool orga_readable(PyArrayObject* og, npy_intp bytes);

}  // namespace cellcoef
