// Zero-filled memory from the lowest 2 GiB of the address space, never released.
// Every byte handed out lies below 0x80000000, so its address fits a 32-bit
// field of the store header or a run record, read either signed or unsigned.
// Allocating callers hold the interpreter lock; lowmem_contains may be called
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cellcoef {

constexpr std::uintptr_t LOWMEM_LIMIT = 0x80000000u;

// `bytes` zero-filled bytes at a 16-byte aligned address, the whole piece below
// LOWMEM_LIMIT. Null when no such memory is left.
void* lowmem_alloc(std::size_t bytes);

// True when [p, p + bytes) lies inside memory mapped by lowmem_alloc, so it may
// be read and written. The caller holds the interpreter lock.
bool lowmem_holds(const void* p, std::size_t bytes);

// lowmem_holds for callers on any thread, with or without the interpreter lock.
bool lowmem_contains(std::uintptr_t address, std::size_t bytes);

}  // namespace cellcoef
