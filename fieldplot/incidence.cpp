#include "incidence.hpp"

#include "hold.hpp"

#include <cmath>
#include <limits>

namespace fieldplot {
namespace {

constexpr double tolerance = 0.01;

// Flags of a node in the cover table: covered in the plane, one node above it,
// one node below it.
constexpr std::uint8_t in_plane = 1, above = 2, below = 4;

// The coordinate of node n along an axis as the cover test compares it, or
// NaN for an index outside the coordinate array: NaN fails every comparison,
// so such a node lies in no box.
double node_coordinate(const IncidenceJob& job, int axis, Index n)
{
    if (n < 0 || n >= job.coord_length[axis]) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<float>(load<double>(job.coords[axis].at(n)));
}

bool inside(double p, double lo, double hi) { return lo - tolerance <= p && p <= hi + tolerance; }

// ORs `flag` into the table entry of every window node of the layer at
// `normal_index` that lies in some box. A node lies in a box when it lies in
// each of the box's three intervals, so the box is tested once along the
// normal, and its in-plane part is the product of one mask along v and one
// along u.
void cover_layer(const IncidenceJob& job, Index normal_index, std::uint8_t flag,
                 const double* pu, Index nu, const double* pv, Index nv, std::uint8_t* vmask,
                 std::uint8_t* table)
{
    const double pn = node_coordinate(job, job.normal_axis, normal_index);
    if (std::isnan(pn)) return;
    for (Index b = 0; b < job.box_count; ++b) {
        auto lo = [&](int axis) { return double(load<float>(job.boxes.at(axis, 2 * b))); };
        auto hi = [&](int axis) { return double(load<float>(job.boxes.at(axis, 2 * b + 1))); };
        if (!inside(pn, lo(job.normal_axis), hi(job.normal_axis))) continue;

        const double vlo = lo(job.v_axis), vhi = hi(job.v_axis);
        Index first = nv, last = -1;
        for (Index j = 0; j < nv; ++j) {
            const bool in = inside(pv[j], vlo, vhi);
            vmask[j] = in ? flag : 0;
            if (in) {
                if (first == nv) first = j;
                last = j;
            }
        }
        if (last < 0) continue;

        const double ulo = lo(job.u_axis), uhi = hi(job.u_axis);
        for (Index i = 0; i < nu; ++i) {
            if (!inside(pu[i], ulo, uhi)) continue;
            std::uint8_t* row = table + i * nv;
            for (Index j = first; j <= last; ++j) row[j] |= vmask[j];
        }
    }
}

}  // namespace

bool mark_incidence(const IncidenceJob& job)
{
    if (job.u_begin >= job.u_end || job.v_begin >= job.v_end) return true;
    // Window nodes: face i has corners i and i + 1.
    const Index nu = job.u_end - job.u_begin + 1;
    const Index nv = job.v_end - job.v_begin + 1;
    auto pu = frame::scratch<double>(nu);
    auto pv = frame::scratch<double>(nv);
    auto vmask = frame::scratch<std::uint8_t>(nv);
    auto table = frame::scratch<std::uint8_t>(static_cast<std::size_t>(nu) * nv, true);
    if (!pu || !pv || !vmask || !table) return false;

    for (Index i = 0; i < nu; ++i) pu[i] = node_coordinate(job, job.u_axis, job.u_begin + i);
    for (Index j = 0; j < nv; ++j) pv[j] = node_coordinate(job, job.v_axis, job.v_begin + j);

    cover_layer(job, job.plane, in_plane, pu.get(), nu, pv.get(), nv, vmask.get(), table.get());
    if (job.surface_only) {
        cover_layer(job, job.plane + 1, above, pu.get(), nu, pv.get(), nv, vmask.get(), table.get());
        cover_layer(job, job.plane - 1, below, pu.get(), nu, pv.get(), nv, vmask.get(), table.get());
    }

    // A corner admits its face when it is covered and, with surface_only, not
    // covered on both sides of the plane.
    for (Index k = 0; k < nu * nv; ++k) {
        const std::uint8_t x = table[k];
        table[k] = (x & in_plane) && (x & (above | below)) != (above | below);
    }

    for (Index i = 0; i + 1 < nu; ++i) {
        const std::uint8_t* r0 = table.get() + i * nv;
        const std::uint8_t* r1 = r0 + nv;
        for (Index j = 0; j + 1 < nv; ++j) {
            const std::uint8_t face = r0[j] & r0[j + 1] & r1[j] & r1[j + 1];
            store<std::uint8_t>(job.incidence.at(job.u_begin + i, job.v_begin + j), face);
        }
    }
    return true;
}

}  // namespace fieldplot
