#include "plan.hpp"

namespace yeestep {
namespace {

template <class T>
std::size_t vector_bytes(const std::vector<T>& v)
{
    return v.capacity() * sizeof(T);
}

// K from a coefficient that has the line spacing of `axis` folded in.
double unfold(const Plan& plan, double folded, int half, int axis, int j, int k)
{
    if (axis == 0) return folded;
    return folded * plan.spacing[half == HALF_E ? 1 : 0][axis][axis == 1 ? j : k];
}

}  // namespace

std::size_t Plan::bytes() const
{
    std::size_t n = sizeof(Plan) + vector_bytes(coefs) + vector_bytes(state) + vector_bytes(skin) + vector_bytes(skin_first) +
                    vector_bytes(skin_before) + vector_bytes(lumped);
    for (int h = 0; h < 2; ++h) n += vector_bytes(segments[h]) + vector_bytes(first[h]);
    for (int kind = 0; kind < 2; ++kind)
        for (int axis = 0; axis < 3; ++axis)
            n += vector_bytes(spacing[kind][axis]) + vector_bytes(inverse[kind][axis]);
    return n;
}

EdgeCoefficients edge_coefficients(const Plan& plan, int comp, int i, int j, int k)
{
    EdgeCoefficients e;
    const int half = comp < 3 ? HALF_E : HALF_H;
    const int alpha = comp % 3;
    const int axis = (alpha + 1) % 3;
    if (half == HALF_E) {
        // The perfectly conducting low faces hold their tangential E at 0.
        const bool on_face = (i == 0 && alpha != 0 && (plan.boundary & LOW_PEC_X)) ||
                             (j == 0 && alpha != 1 && (plan.boundary & LOW_PEC_Y)) ||
                             (k == 0 && alpha != 2 && (plan.boundary & LOW_PEC_Z));
        if (on_face) return {0.0, 0.0, 0.0};
        for (std::int64_t n = plan.skin_first[k]; n < plan.skin_first[k + 1]; ++n) {
            const SkinEdge& s = plan.skin[n];
            if (s.comp == comp && s.i == i && s.j == j)
                return {s.A, unfold(plan, s.ca, half, axis, j, k), 0.0};
        }
    }
    const std::int64_t* first = plan.line_first(half, k, j);
    for (std::int64_t n = first[alpha]; n < first[alpha + 1]; ++n) {
        const Segment& s = plan.segments[half][n];
        if (i < s.x0 || i >= s.x0 + s.len) continue;
        const float* co = plan.coefs.data() + s.coef;
        const bool varying = s.kind == Kind::plain_varying || s.kind == Kind::split_varying;
        const int t = i - s.x0;
        const auto coef = [&](int q) { return static_cast<double>(varying ? co[q * s.len + t] : co[q]); };
        // Plain: A, ca; split: pl and pm of the first sub-field.
        e.A = coef(0);
        e.K = unfold(plan, coef(1), half, axis, j, k);
        for (const LumpedEdge& l : plan.lumped)
            if (l.comp == comp && l.i == i && l.j == j && l.k == k) e.G = l.G;
        return e;
    }
    return e;
}

}  // namespace yeestep
