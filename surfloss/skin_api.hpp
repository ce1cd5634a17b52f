// The skin records' C interface for other extension modules, handed out as
// the capsule attribute `surfloss._skin_api` (the pattern of NumPy's
// _ARRAY_API). A consumer takes it once at import:
//     PyCapsule_Import(surfloss::SKIN_API_NAME, 0)
// checks `version`, and asks `lookup` for the records behind a handle.
#pragma once

#include "skin.hpp"

#include <cstddef>
#include <cstdint>

namespace surfloss {

constexpr const char* SKIN_API_NAME = "surfloss._skin_api";
constexpr std::uint32_t SKIN_API_VERSION = 1;

// The records of one handle and the `values` array their `cell` and `partner`
// addresses point into, as the scan saw it: element (a, k, j, i) lies at
// values + a*strides[0] + k*strides[1] + j*strides[2] + i*strides[3], for
// indices below dims = (3, NZ, NY, NX). surfloss holds the array for the life
// of the process, so the addresses never dangle.
struct SkinView {
    const SkinRecord* records;
    std::size_t count;          // records the scan filled
    const char* values;
    std::int64_t dims[4];
    std::int64_t strides[4];
};

struct SkinApi {
    std::uint32_t version;
    // Fills `out` when `handle` was handed out by surfloss in this process and
    // `count` is at most its record count; false otherwise, `out` untouched.
    // The caller holds the interpreter lock.
    bool (*lookup)(std::uintptr_t handle, std::size_t count, SkinView* out);
};

static_assert(offsetof(SkinView, records) == 0, "SkinView layout");
static_assert(offsetof(SkinView, count) == sizeof(void*), "SkinView layout");
static_assert(offsetof(SkinView, values) == 2 * sizeof(void*), "SkinView layout");
static_assert(offsetof(SkinView, dims) == 3 * sizeof(void*), "SkinView layout");
static_assert(offsetof(SkinView, strides) == 3 * sizeof(void*) + 32, "SkinView layout");
static_assert(sizeof(SkinView) == 3 * sizeof(void*) + 64, "SkinView layout");
static_assert(offsetof(SkinApi, version) == 0, "SkinApi layout");
static_assert(offsetof(SkinApi, lookup) == sizeof(void*), "SkinApi layout");
static_assert(sizeof(SkinApi) == 2 * sizeof(void*), "SkinApi layout");

}  // namespace surfloss
