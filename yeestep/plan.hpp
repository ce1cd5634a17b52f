// The compiled form of a grid's run tables: what the time-stepping loops read.
//
// A plan holds, for every grid line and field component, a list of segments:
// cells along x that share one update rule, with their coefficients in a
// deduplicated table (one set for a uniform segment, one per cell for a
// varying one). The loops therefore stream only the fields and the state of
// the split-loss and lumped cells; coefficients come from a table that stays
// in cache.
#pragma once

#include "cellcoef/shared.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace yeestep {

struct Sweeps;

// The run records, code words and component count are cellcoef's
// (cellcoef/shared.hpp), the numbers both sides rely on.
using cellcoef::RunRecord;
constexpr int COMPONENTS = cellcoef::COMPONENT_COUNT;  // Ex, Ey, Ez, Hx, Hy, Hz

// Field layout: six float32 volumes [nz + 2][ny + 2][row], one halo cell on
// every side; cell (i, j, k) at X_OFFSET + i + (j + 1) * row + (k + 1) * plane.
// Rows start 32-byte aligned when the array does, with cell 0 at X_OFFSET.
constexpr int X_OFFSET = 8;
constexpr int ROW_ALIGN = 8;

struct Layout {
    int nx = 0, ny = 0, nz = 0;
    std::int64_t row = 0;     // floats per row, ROW_ALIGN-aligned, X_OFFSET + nx + 1 at least
    std::int64_t plane = 0;   // (ny + 2) * row
    std::int64_t volume = 0;  // (nz + 2) * plane, one component

    void set(int x, int y, int z)
    {
        nx = x;
        ny = y;
        nz = z;
        row = (X_OFFSET + nx + 1 + ROW_ALIGN - 1) / ROW_ALIGN * ROW_ALIGN;
        plane = (ny + 2) * row;
        volume = (nz + 2) * plane;
    }
    std::int64_t cell(int i, int j, int k) const
    {
        return X_OFFSET + i + (j + 1) * row + (k + 1) * plane;
    }
    // Element offset of one step along axis 0, 1, 2.
    std::int64_t step(int axis) const { return axis == 0 ? 1 : axis == 1 ? row : plane; }
};

// Boundary bits: the grid's low face along an axis is a perfect conductor
// (its tangential E stays 0). High faces are the halo, zero unless the host
// fills it, so a plan of a whole grid is closed by PEC on all six faces.
constexpr int LOW_PEC_X = 1;
constexpr int LOW_PEC_Y = 2;
constexpr int LOW_PEC_Z = 4;

// How a segment updates its cells. Plain: F' = A F +- (ca Da - cb Db), with
// Da, Db the differences along the component's two curl axes (the one along x
// times the cell's inverse spacing). Split: two sub-fields, the first held as
// state, the second the total less the first.
enum class Kind : std::int32_t { plain = 0, plain_varying = 1, split = 2, split_varying = 3 };

// Coefficients per cell and kind, in this order (varying: each as a row of len).
constexpr int PLAIN_COEFS = 4;  // A, ca, cb, energy weight
constexpr int SPLIT_COEFS = 4;  // pl0, pm0, pl1, pm1

struct Segment {
    std::int32_t x0;
    std::int32_t len;
    Kind kind;
    std::int32_t reserved;
    std::int64_t coef;   // first coefficient in Plan::coefs
    std::int64_t state;  // first state value in Plan::state, or -1
};
static_assert(sizeof(Segment) == 32, "Segment layout");

// An edge of a sheet with skin-effect loss: after the E sweep its value is
// replaced by A E + (ca Da - cb Db), E taken from before the sweep.
struct SkinEdge {
    std::int64_t at;  // element of the fields
    std::int32_t comp;  // 0, 1, 2
    std::int32_t i, j, k;
    float A, ca, cb, weight;
    std::int32_t reserved;
};
static_assert(sizeof(SkinEdge) == 48, "SkinEdge layout");
static_assert(offsetof(SkinEdge, comp) == 8, "SkinEdge layout");

// An E edge of a lumped element: the conductance of its tail terms, which its
// update pair already holds.
struct LumpedEdge {
    std::int32_t comp;
    std::int32_t i, j, k;
    double G;
};
static_assert(sizeof(LumpedEdge) == 24, "LumpedEdge layout");

// The two half-steps: H from E, then E from H.
constexpr int HALF_H = 0;
constexpr int HALF_E = 1;

struct Plan {
    Layout grid;
    // The loops of the instruction set the plan's steps use.
    const Sweeps* sweeps = nullptr;
    int boundary = LOW_PEC_X | LOW_PEC_Y | LOW_PEC_Z;

    // segments[h] in (k, j, component) order; first[h][(k * ny + j) * 3 + c]
    // is the first segment of component c (0 to 2 within the half) of line
    // (k, j), first[h][last + 1] the end.
    std::vector<Segment> segments[2];
    std::vector<std::int64_t> first[2];
    std::vector<float> coefs;
    // The split-loss cells' first sub-fields, from the records' blocks at
    // prepare (zero as dispatch hands them out), zero after a reset.
    std::vector<float> state;

    // spacing[kind][axis], kind 0 primal (cell sizes), 1 dual (between
    // centres), and their inverses as the loops use them, in float.
    std::vector<double> spacing[2][3];
    std::vector<float> inverse[2][3];

    std::vector<SkinEdge> skin;              // ordered by element
    std::vector<std::int64_t> skin_first;    // skin[skin_first[k] .. skin_first[k + 1])
    std::vector<float> skin_before;          // E of each skin edge before the sweep

    std::vector<LumpedEdge> lumped;          // ordered by (k, j, i, comp)

    // The largest field energy seen by the stop rule since prepare or reset.
    double peak_energy = 0.0;
    // Set while a call runs without the interpreter lock.
    std::atomic<bool> busy{false};

    std::size_t bytes() const;
    const std::int64_t* line_first(int half, int k, int j) const
    {
        return first[half].data() + (static_cast<std::int64_t>(k) * grid.ny + j) * 3;
    }
};

// A field component's update pair at one edge, as a source or a user sees it:
// F' = A F + K (curl - J) for E, F' = A F - K (curl + M) for H, with the curl
// taken with the grid spacings. K is 0 on an edge no record updates. G is the
// conductance of the tail terms of a lumped edge (0 elsewhere).
struct EdgeCoefficients {
    double A = 1.0;
    double K = 0.0;
    double G = 0.0;
};

EdgeCoefficients edge_coefficients(const Plan& plan, int comp, int i, int j, int k);

}  // namespace yeestep
