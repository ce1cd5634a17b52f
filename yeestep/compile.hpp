// Turning run tables, store vectors and skin records into a plan.
#pragma once

#include "plan.hpp"
#include "sweep.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace surfloss {
struct SkinView;
}

namespace yeestep {

// One pass's run table: the records, and per line (k, j) the first record and
// the record count, lines[(k * ny + j) * 2 + {0, 1}].
struct Table {
    const RunRecord* records;
    std::int64_t count;
    const std::int64_t* lines;
};

struct CompileInput {
    int nx, ny, nz;
    Table tables[2];
    // dx, ddx, dy, ddy, dz, ddz: primal and dual spacings of every axis,
    // n of each, metres; the dual spacing of index n lies between the
    // centres of cells n - 1 and n.
    const double* spacings[6];
    int group_width;
    int nterms;
    int ntail;
    bool lossy3;
    int boundary;
    const surfloss::SkinView* skin;  // null: no skin records
    std::size_t skin_count;
    int skin_z0;                     // the grid plane of the records' plane 0
    // The store's test that [address, address + bytes) is store memory.
    bool (*store_contains)(std::uintptr_t address, std::size_t bytes);
    // The loops the plan's steps use; null: the widest this machine runs.
    const Sweeps* sweeps;
};

// Why a compile refused its input: message and the argument it names.
struct Refusal {
    const char* what = nullptr;
    const char* name = nullptr;
};

// Validates every line and record (tiling, store bounds, treatments) and every
// skin record, then builds the plan. Null with `refusal` set when the input is
// refused; throws std::bad_alloc when memory runs out.
std::unique_ptr<Plan> compile(const CompileInput& in, Refusal& refusal);

}  // namespace yeestep
