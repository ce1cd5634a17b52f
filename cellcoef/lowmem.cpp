#include "lowmem.hpp"

#include <algorithm>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace cellcoef {
namespace {

// Small pieces are carved from arenas; a piece larger than a quarter arena
// gets a mapping of its own, so no arena loses more than a quarter to its
// abandoned tail.
constexpr std::size_t ARENA_BYTES = std::size_t{64} << 20;
constexpr std::size_t OWN_MAPPING_ABOVE = ARENA_BYTES / 4;
constexpr std::size_t PIECE_ALIGN = 16;

// Where address hints start and how far apart they lie: above the null page
// and the text of a non-PIE executable.
constexpr std::uintptr_t HINT_BASE = std::uintptr_t{16} << 20;
constexpr std::uintptr_t HINT_STEP = std::uintptr_t{16} << 20;

struct Region {
    std::uintptr_t start;
    std::uintptr_t end;
};

// Every mapping is larger than OWN_MAPPING_ABOVE or an arena, and all of them
// lie below LOWMEM_LIMIT, so this bounds their number.
constexpr std::size_t MAX_REGIONS = LOWMEM_LIMIT / OWN_MAPPING_ABOVE;
Region regions[MAX_REGIONS];  // sorted by start
std::size_t region_count = 0;
// Taken by the writer of `regions` and by readers that may run without the
// interpreter lock; readers that hold the lock are already serialised with the
// writer, which holds it too.
std::mutex regions_mutex;

std::uintptr_t arena_next = 0;  // the free part of the current arena
std::uintptr_t arena_end = 0;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

bool below_limit(const void* p, std::size_t bytes)
{
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return a < LOWMEM_LIMIT && bytes <= LOWMEM_LIMIT - a;
}

void* try_map(void* hint, std::size_t bytes, int extra_flags)
{
    void* p = mmap(hint, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extra_flags,
                   -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (below_limit(p, bytes)) return p;
    munmap(p, bytes);
    return nullptr;
}

// A fresh anonymous mapping of `bytes` (a multiple of the page size) below
// LOWMEM_LIMIT, or null. The kernel fills it with zeros.
void* map_low(std::size_t bytes)
{
#if defined(__linux__) && defined(__x86_64__)
    // MAP_32BIT places the mapping in the second GiB; when that window is
    // full, the hints below still reach the rest of the lowest 2 GiB.
    if (void* p = try_map(nullptr, bytes, MAP_32BIT)) return p;
#endif
    // Without MAP_FIXED a hint is only taken when the range is free; anything
    // else comes back elsewhere and is given back.
    for (std::uintptr_t hint = HINT_BASE; hint < LOWMEM_LIMIT && bytes <= LOWMEM_LIMIT - hint;
         hint += HINT_STEP) {
        if (void* p = try_map(reinterpret_cast<void*>(hint), bytes, 0)) return p;
    }
    return nullptr;
}

bool remember(void* p, std::size_t bytes)
{
    const std::lock_guard<std::mutex> lock(regions_mutex);
    if (region_count == MAX_REGIONS) return false;
    const Region r{reinterpret_cast<std::uintptr_t>(p), reinterpret_cast<std::uintptr_t>(p) + bytes};
    Region* at = std::upper_bound(regions, regions + region_count, r.start,
                                  [](std::uintptr_t s, const Region& q) { return s < q.start; });
    std::copy_backward(at, regions + region_count, regions + region_count + 1);
    *at = r;
    ++region_count;
    return true;
}

void* map_region(std::size_t bytes)
{
    void* p = map_low(bytes);
    if (p != nullptr && !remember(p, bytes)) {
        munmap(p, bytes);
        return nullptr;
    }
    return p;
}

}  // namespace

void* lowmem_alloc(std::size_t bytes)
{
    if (bytes > LOWMEM_LIMIT) return nullptr;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    bytes = round_up(bytes, PIECE_ALIGN);
    if (bytes > OWN_MAPPING_ABOVE) return map_region(round_up(bytes, page));
    if (arena_end - arena_next < bytes) {
        void* arena = map_region(ARENA_BYTES);
        if (arena == nullptr) return nullptr;
        arena_next = reinterpret_cast<std::uintptr_t>(arena);
        arena_end = arena_next + ARENA_BYTES;
    }
    void* p = reinterpret_cast<void*>(arena_next);
    arena_next += bytes;
    return p;
}

bool lowmem_contains(std::uintptr_t address, std::size_t bytes)
{
    const std::lock_guard<std::mutex> lock(regions_mutex);
    return lowmem_holds(reinterpret_cast<const void*>(address), bytes);
}

bool lowmem_holds(const void* p, std::size_t bytes)
{
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const Region* after = std::upper_bound(regions, regions + region_count, a,
                                           [](std::uintptr_t s, const Region& q) { return s < q.start; });
    if (after == regions) return false;
    const Region& r = after[-1];
    return a < r.end && bytes <= r.end - a;
}

}  // namespace cellcoef
