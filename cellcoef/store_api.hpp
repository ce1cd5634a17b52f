// The parameter store's C interface for other extension modules, handed out
// as the capsule attribute `cellcoef._store_api` (the pattern of NumPy's
// _ARRAY_API). A consumer takes it once at import:
//     PyCapsule_Import(cellcoef::STORE_API_NAME, 0)
// and checks `version`. It lets a consumer of run records test that an address
// from a record, with the length its code implies, lies in store memory
// before reading it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cellcoef {

constexpr const char* STORE_API_NAME = "cellcoef._store_api";
constexpr std::uint32_t STORE_API_VERSION = 1;

struct StoreApi {
    std::uint32_t version;
    // True when [address, address + bytes) lies wholly in memory the store has
    // mapped (store memory is never released, so the answer stays true). Safe
    // from any thread, with or without the interpreter lock.
    bool (*contains)(std::uintptr_t address, std::size_t bytes);
};

static_assert(offsetof(StoreApi, version) == 0, "StoreApi layout");
static_assert(offsetof(StoreApi, contains) == sizeof(void*), "StoreApi layout");
static_assert(sizeof(StoreApi) == 2 * sizeof(void*), "StoreApi layout");

}  // namespace cellcoef
