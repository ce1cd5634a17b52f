// The inner loops: along x over one segment, scalar or per-cell coefficients,
// unit-stride field rows, so the compiler vectorises them for the instruction
// set this file is compiled for (YEESTEP_ISA names it, and the namespace of
// everything here). Every cell's arithmetic depends only on its own rule and
// neighbours, so results do not depend on segment boundaries, on which thread
// sweeps which planes, or on the width of the vectors.
//
// Component c (alpha = c mod 3) takes Da = difference of the other half's
// component (alpha + 2) mod 3 along axis (alpha + 1) mod 3, and Db of
// component (alpha + 1) mod 3 along axis (alpha + 2) mod 3; the difference
// along x is multiplied by the cell's inverse spacing (XT says which one has
// it). E: F' = A F + (ca Da - cb Db); H: F' = A F - (ca Da - cb Db).
#include "sweep.hpp"

#include <cstring>

#ifndef YEESTEP_ISA
#error "YEESTEP_ISA names the instruction set of this compile"
#endif

namespace yeestep {
namespace YEESTEP_ISA {
namespace {

// The rows one component's line reads and writes, positioned at cell 0.
struct LineRows {
    float* f;
    const float* ah;  // Da = ah[i] - al[i]
    const float* al;
    const float* bh;  // Db = bh[i] - bl[i]
    const float* bl;
    const float* ix;  // inverse x spacing per cell
};

struct Differences {
    float a, b;
};

// Da and Db at cell t, the one along x times the cell's inverse spacing.
template <int XT>
inline Differences differences(int t, const float* __restrict ah, const float* __restrict al,
                               const float* __restrict bh, const float* __restrict bl,
                               const float* __restrict ix)
{
    Differences d{ah[t] - al[t], bh[t] - bl[t]};
    if (XT == 1) d.a = d.a * ix[t];
    if (XT == 2) d.b = d.b * ix[t];
    return d;
}

template <bool H, int XT, bool VARY>
void plain_loop(float* __restrict f, const float* __restrict ah, const float* __restrict al,
                const float* __restrict bh, const float* __restrict bl,
                const float* __restrict ix, const float* __restrict co, int n)
{
    const float* A = co;
    const float* ca = co + (VARY ? n : 1);
    const float* cb = co + (VARY ? 2 * n : 2);
    for (int t = 0; t < n; ++t) {
        const Differences d = differences<XT>(t, ah, al, bh, bl, ix);
        const int q = VARY ? t : 0;
        const float curl = ca[q] * d.a - cb[q] * d.b;
        f[t] = H ? A[q] * f[t] - curl : A[q] * f[t] + curl;
    }
}

// Split loss: the first sub-field s is state, the second is F - s.
template <bool H, int XT, bool VARY>
void split_loop(float* __restrict f, const float* __restrict ah, const float* __restrict al,
                const float* __restrict bh, const float* __restrict bl,
                const float* __restrict ix, const float* __restrict co,
                float* __restrict s, int n)
{
    const float* pl0 = co;
    const float* pm0 = co + (VARY ? n : 1);
    const float* pl1 = co + (VARY ? 2 * n : 2);
    const float* pm1 = co + (VARY ? 3 * n : 3);
    for (int t = 0; t < n; ++t) {
        const Differences d = differences<XT>(t, ah, al, bh, bl, ix);
        const int q = VARY ? t : 0;
        const float s0 = s[t];
        const float s1 = f[t] - s0;
        const float n0 = H ? pl0[q] * s0 - pm0[q] * d.a : pl0[q] * s0 + pm0[q] * d.a;
        const float n1 = H ? pl1[q] * s1 + pm1[q] * d.b : pl1[q] * s1 - pm1[q] * d.b;
        s[t] = n0;
        f[t] = n0 + n1;
    }
}

template <bool H, int ALPHA>
void component_line(Plan& plan, const LineRows& r, const Segment* seg, const Segment* end)
{
    constexpr int XT = ALPHA == 2 ? 1 : ALPHA == 1 ? 2 : 0;
    const float* coefs = plan.coefs.data();
    float* state = plan.state.data();
    for (; seg != end; ++seg) {
        const int x = seg->x0;
        const int n = seg->len;
        const float* co = coefs + seg->coef;
        float* f = r.f + x;
        const float *ah = r.ah + x, *al = r.al + x, *bh = r.bh + x, *bl = r.bl + x;
        const float* ix = r.ix + x;
        switch (seg->kind) {
        case Kind::plain:
            plain_loop<H, XT, false>(f, ah, al, bh, bl, ix, co, n);
            break;
        case Kind::plain_varying:
            plain_loop<H, XT, true>(f, ah, al, bh, bl, ix, co, n);
            break;
        case Kind::split:
            split_loop<H, XT, false>(f, ah, al, bh, bl, ix, co, state + seg->state, n);
            break;
        case Kind::split_varying:
            split_loop<H, XT, true>(f, ah, al, bh, bl, ix, co, state + seg->state, n);
            break;
        }
    }
}

// The rows of component c (0 to 5) of line (k, j).
LineRows line_rows(const Plan& plan, float* fields, int c, int j, int k)
{
    const Layout& g = plan.grid;
    const bool h = c >= 3;
    const int alpha = c % 3;
    const int other = h ? 0 : 3;
    const std::int64_t p = g.cell(0, j, k);
    const std::int64_t sa = g.step((alpha + 1) % 3);
    const std::int64_t sb = g.step((alpha + 2) % 3);
    const float* fa = fields + (other + (alpha + 2) % 3) * g.volume + p;
    const float* fb = fields + (other + (alpha + 1) % 3) * g.volume + p;
    // H takes forward differences of E, E backward differences of H.
    return {fields + c * g.volume + p,
            h ? fa + sa : fa, h ? fa : fa - sa,
            h ? fb + sb : fb, h ? fb : fb - sb,
            plan.inverse[h ? 0 : 1][0].data()};
}

template <bool H>
void sweep_line(Plan& plan, float* fields, int j, int k)
{
    const int half = H ? HALF_H : HALF_E;
    const std::int64_t* first = plan.line_first(half, k, j);
    const Segment* segs = plan.segments[half].data();
    const int base = H ? 3 : 0;
    component_line<H, 0>(plan, line_rows(plan, fields, base + 0, j, k), segs + first[0], segs + first[1]);
    component_line<H, 1>(plan, line_rows(plan, fields, base + 1, j, k), segs + first[1], segs + first[2]);
    component_line<H, 2>(plan, line_rows(plan, fields, base + 2, j, k), segs + first[2], segs + first[3]);
}

void skin_plane(Plan& plan, float* fields, int k)
{
    const Layout& g = plan.grid;
    // per component: the H fields of Da and Db, relative to the edge, and
    // their backward steps
    std::int64_t to_a[3], to_b[3], step_a[3], step_b[3];
    for (int c = 0; c < 3; ++c) {
        to_a[c] = (3 + (c + 2) % 3 - c) * g.volume;
        to_b[c] = (3 + (c + 1) % 3 - c) * g.volume;
        step_a[c] = g.step((c + 1) % 3);
        step_b[c] = g.step((c + 2) % 3);
    }
    const float* ix = plan.inverse[1][0].data();
    for (std::int64_t n = plan.skin_first[k]; n < plan.skin_first[k + 1]; ++n) {
        const SkinEdge& e = plan.skin[n];
        const float* ha = fields + e.at + to_a[e.comp];
        const float* hb = fields + e.at + to_b[e.comp];
        float da = ha[0] - ha[-step_a[e.comp]];
        float db = hb[0] - hb[-step_b[e.comp]];
        if (e.comp == 2) da = da * ix[e.i];
        if (e.comp == 1) db = db * ix[e.i];
        fields[e.at] = e.A * plan.skin_before[n] + (e.ca * da - e.cb * db);
    }
}

// Tangential E on the perfectly conducting low faces stays 0.
void low_faces(const Plan& plan, float* fields, int j, int k)
{
    const Layout& g = plan.grid;
    const std::int64_t p = g.cell(0, j, k);
    float* ex = fields + p;
    float* ey = fields + g.volume + p;
    float* ez = fields + 2 * g.volume + p;
    const std::size_t row = sizeof(float) * static_cast<std::size_t>(g.nx);
    if (plan.boundary & LOW_PEC_X) ey[0] = ez[0] = 0.0f;
    if (j == 0 && (plan.boundary & LOW_PEC_Y)) {
        std::memset(ex, 0, row);
        std::memset(ez, 0, row);
    }
    if (k == 0 && (plan.boundary & LOW_PEC_Z)) {
        std::memset(ex, 0, row);
        std::memset(ey, 0, row);
    }
}

// Before plane k's E sweep: a skin edge's rule replaces its record's, from E
// as it was.
void save_skin(Plan& plan, const float* fields, int k)
{
    for (std::int64_t n = plan.skin_first[k]; n < plan.skin_first[k + 1]; ++n)
        plan.skin_before[n] = fields[plan.skin[n].at];
}

// After plane k's E sweep: the skin edges, then the conducting low faces.
void finish_e_plane(Plan& plan, float* fields, int k)
{
    skin_plane(plan, fields, k);
    for (int j = 0; j < plan.grid.ny; ++j) low_faces(plan, fields, j, k);
}

void sweep_h(Plan& plan, float* fields, int k0, int k1)
{
    for (int k = k0; k < k1; ++k)
        for (int j = 0; j < plan.grid.ny; ++j) sweep_line<true>(plan, fields, j, k);
}

void sweep_e(Plan& plan, float* fields, int k0, int k1)
{
    for (int k = k0; k < k1; ++k) {
        save_skin(plan, fields, k);
        for (int j = 0; j < plan.grid.ny; ++j) sweep_line<false>(plan, fields, j, k);
        finish_e_plane(plan, fields, k);
    }
}

void plane_step(Plan& plan, float* fields, int k, const LineAdd* adds, std::size_t count)
{
    save_skin(plan, fields, k);
    std::size_t q = 0;
    for (int j = 0; j < plan.grid.ny; ++j) {
        sweep_line<true>(plan, fields, j, k);
        for (; q < count && adds[q].j == j; ++q)
            fields[adds[q].offset] = static_cast<float>(fields[adds[q].offset] - adds[q].value);
        sweep_line<false>(plan, fields, j, k);
    }
    finish_e_plane(plan, fields, k);
}

}  // namespace

#define YEESTEP_QUOTE(name) #name
#define YEESTEP_NAME(name) YEESTEP_QUOTE(name)
extern const Sweeps sweeps;
const Sweeps sweeps = {YEESTEP_NAME(YEESTEP_ISA), sweep_h, sweep_e, plane_step};

}  // namespace YEESTEP_ISA
}  // namespace yeestep
