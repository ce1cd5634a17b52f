// Conversion between material pairs (a, b) and update coefficient pairs
// (pm, pl) = (1 / (a + b/2), (a - b/2) / (a + b/2)), and the per-line
// treatments of dispatch.
//
// The treatments work on the row buffers of one line of n cells: row k of a
// list starts at rows + k * n. Row 3t + i is component i of term t; term 0 is
// the first triple, term 1 the second, terms from 2 on the extra terms of the
// lumped treatment.
#pragma once

#include "hold.hpp"
#include "shared.hpp"
#include "view.hpp"

#include <cstddef>
#include <cstdint>

namespace cellcoef {

// Rows per list of the row buffers.
constexpr int MAX_ROWS = 24;
// Columns of a loss profile: two per component.
constexpr int LOSS_COLUMNS = 12;

// Every pl below this becomes the pair (0, 1), as u = 0 does: the cell is not
// updated.
constexpr double PL_FLOOR = -0.999999;

// a and b in double precision; the pair is stored in single precision. The
// pair (0, 1) stands for u = 0 and for every pl that would fall below PL_FLOOR.
inline void update_coefficients(double a, double b, float* pm, float* pl)
{
    const double u = a + 0.5 * b;
    const double w = a - 0.5 * b;
    if (u == 0.0) {
        *pm = 0.0f;
        *pl = 1.0f;
        return;
    }
    *pm = static_cast<float>(1.0 / u);
    *pl = static_cast<float>(w / u);
    if (*pl < PL_FLOOR) {
        *pm = 0.0f;
        *pl = 1.0f;
    }
}

// pm and pl in double precision; the material pair is stored in single precision.
inline void recover_parameters(double pm, double pl, float* a, float* b)
{
    if (pm == 0.0) {
        *a = 0.0f;
        *b = 1e30f;
        return;
    }
    *a = static_cast<float>((pl + 1.0) * 0.5 / pm);
    *b = static_cast<float>((1.0 - pl) / pm);
}

// A loss profile along one axis: element (p, m), position p and column m.
using LossProfile = frame::Unaligned<const float, 2>;

// Plain cells (tag 0): pm rows 0 to 5 scaled by f1[j] * f2[j]. Cells with a
// tag are left alone.
void scale_plain_cells(int n, const std::int16_t* codes, float* pm_rows, const float* f1,
                       const float* f2);

// Split-loss cells (tag 1) of line (z, y): each component i becomes rows 2i and
// 2i + 1 with the exponential loss of profile columns 2i and 2i + 1 (profiles
// along x, y and z); row counts become 12, the lossy bits are set.
void apply_split_loss(const LossProfile profiles[3], int n, int y, int z, std::int16_t* codes,
                      float* pm_rows, std::int32_t* npm, float* pl_rows, std::int32_t* npl);

// Lumped cells (tag 2): the extra terms 2 to nterms - 1 are folded into the
// main coefficients of rows 0 to 2, the last ntail of them as series terms;
// row counts become 3 * nterms, the lossy bits are set. The rows must hold
// 3 * nterms rows, with 2 <= nterms and 0 <= ntail <= nterms - 2.
void apply_lumped(double max_stab_par, int n, std::int16_t* codes, float* pm_rows,
                  std::int32_t* npm, float* pl_rows, std::int32_t* npl, int nterms, int ntail);

// Python-facing layer of the treatments.

// Item i of a sequence (new reference, or null). Prints "Array Expected" when
// seq is not a sequence and "Array access out of bounds" when i is outside it,
// both on stderr under `tag`; never raises by itself, the caller does.
frame::Ref seq_item(PyObject* seq, Py_ssize_t i, const char* tag);

// The three loss profiles of the split-loss treatment, owned for the call.
struct LossProfiles {
    frame::Ref owners[3];
    LossProfile profiles[3];
};

enum class Fetch {
    ok,
    failed,   // the treatment cannot run; the caller raises its own message
    refused,  // the module's error is set and stands
};

// The profiles of attribute "loss" of `ext` (items 0, 1, 2 along x, y, z),
// each checked to be float32 with 4-byte positions, `positions[axis]`
// positions and LOSS_COLUMNS columns.
Fetch fetch_loss_profiles(PyObject* ext, const int positions[3], LossProfiles* out);

// Attribute "max_stab_par" of `ext` as a double.
Fetch fetch_max_stab_par(PyObject* ext, double* max_stab_par);

}  // namespace cellcoef
