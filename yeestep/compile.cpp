// From run records to segments.
//
// Every record is checked against the store before a float of it is read:
// its parameter vector must hold the rows its code implies for every group of
// the run, its auxiliary block the floats its treatment uses. Each line is
// then expanded cell by cell into the update rule of every component (the
// record's meaning, README "The time-domain kernel"), and cut into segments
// of equal rules, so the result does not depend on where dispatch cut its
// runs.
#include "compile.hpp"

#include "surfloss/skin_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace yeestep {
namespace {

// A uniform stretch shorter than this joins its neighbours in a varying
// segment, whose per-cell coefficients cost less than a segment's set-up.
constexpr int MIN_UNIFORM = 8;

constexpr const char* TABLE_NAMES[2] = {"records0", "records1"};
constexpr const char* LINE_NAMES[2] = {"lines0", "lines1"};

static_assert(PLAIN_COEFS == SPLIT_COEFS, "one cell rule holds either");

enum class CellKind : std::uint8_t { none, plain, split };

// The update rule of one component at one cell.
struct CellRule {
    CellKind kind = CellKind::none;
    float coef[PLAIN_COEFS];
    float state;  // split: the first sub-field

    bool same_as(const CellRule& o) const
    {
        return kind == o.kind && std::memcmp(coef, o.coef, sizeof coef) == 0;
    }
};

const float* store_floats(std::int32_t address)
{
    return reinterpret_cast<const float*>(
        static_cast<std::uintptr_t>(static_cast<std::uint32_t>(address)));
}

// The axes of the two curl differences of component c: Da along the next
// axis, Db along the one after.
int axis_a(int c) { return (c % 3 + 1) % 3; }
int axis_b(int c) { return (c % 3 + 2) % 3; }

class Compiler {
public:
    Compiler(const CompileInput& in, Plan& plan, Refusal& refusal)
        : in_(in), plan_(plan), refusal_(refusal)
    {
    }

    bool run();

private:
    bool refuse(const char* what, const char* name)
    {
        refusal_ = {what, name};
        return false;
    }
    bool spacings();
    bool line(int k, int j);
    bool table_line(int p, int k, int j);
    bool record(int p, const RunRecord& r, int k, int j);
    bool skin();

    // Spacing of kind (0 primal, 1 dual) along `axis` at the line (k, j);
    // along x the loops apply it per cell, so it is 1 there.
    double line_spacing(int kind, int axis, int j, int k) const
    {
        return axis == 0 ? 1.0 : plan_.spacing[kind][axis][axis == 1 ? j : k];
    }
    float fold(float K, int half, int axis, int j, int k) const
    {
        if (axis == 0) return K;
        return K * plan_.inverse[half == HALF_E ? 1 : 0][axis][axis == 1 ? j : k];
    }
    // The y and z part of the volume of component c's edge over K: E edges
    // are primal along their axis and dual across, H edges the other way.
    float energy_weight(float K, int c, int j, int k) const
    {
        if (K == 0.0f) return 0.0f;
        const int own = c % 3;
        double v = 1.0;
        for (int axis = 1; axis < 3; ++axis) {
            const bool primal = (c < 3) == (axis == own);
            v *= line_spacing(primal ? 0 : 1, axis, j, k);
        }
        return static_cast<float>(v / K);
    }
    // A raw pair (K multiplies the true curl): the plain rule with the line's
    // spacings folded in.
    void raw_plain(CellRule& rule, int c, float A, float K, int j, int k) const
    {
        const int half = c < 3 ? HALF_E : HALF_H;
        rule.kind = CellKind::plain;
        rule.coef[0] = A;
        rule.coef[1] = fold(K, half, axis_a(c), j, k);
        rule.coef[2] = fold(K, half, axis_b(c), j, k);
        rule.coef[3] = energy_weight(K, c, j, k);
    }
    void emit(int half, int c3);
    std::int64_t store_coefs(char tag, const float* data, std::size_t count);

    const CompileInput& in_;
    Plan& plan_;
    Refusal& refusal_;
    std::vector<CellRule> cells_[2][3];
    std::vector<float> soa_;
    std::string key_;
    std::unordered_map<std::string, std::int64_t> stored_;
};

bool Compiler::spacings()
{
    const int n[3] = {in_.nx, in_.ny, in_.nz};
    for (int axis = 0; axis < 3; ++axis) {
        for (int kind = 0; kind < 2; ++kind) {
            const double* s = in_.spacings[2 * axis + kind];
            auto& spacing = plan_.spacing[kind][axis];
            auto& inverse = plan_.inverse[kind][axis];
            spacing.assign(s, s + n[axis]);
            inverse.resize(static_cast<std::size_t>(n[axis]));
            for (int i = 0; i < n[axis]; ++i) {
                if (!(s[i] > 0.0) || !std::isfinite(s[i]))
                    return refuse("Invalid value", "spacings");
                inverse[static_cast<std::size_t>(i)] = static_cast<float>(1.0 / s[i]);
            }
        }
    }
    return true;
}

bool Compiler::run()
{
    plan_.grid.set(in_.nx, in_.ny, in_.nz);
    plan_.boundary = in_.boundary;
    int sets = 0;
    plan_.sweeps = in_.sweeps != nullptr ? in_.sweeps : machine_sweeps(sets)[sets - 1];
    if (!spacings()) return false;
    for (auto& half : cells_)
        for (auto& comp : half) comp.resize(static_cast<std::size_t>(in_.nx));
    for (int h = 0; h < 2; ++h) {
        plan_.first[h].reserve(static_cast<std::size_t>(in_.nz) * in_.ny * 3 + 1);
        plan_.first[h].push_back(0);
    }
    for (int k = 0; k < in_.nz; ++k)
        for (int j = 0; j < in_.ny; ++j)
            if (!line(k, j)) return false;
    if (!skin()) return false;
    return true;
}

bool Compiler::line(int k, int j)
{
    for (auto& half : cells_)
        for (auto& comp : half)
            for (CellRule& rule : comp) rule.kind = CellKind::none;
    for (int p = 0; p < 2; ++p)
        if (!table_line(p, k, j)) return false;
    for (int h = 0; h < 2; ++h)
        for (int c3 = 0; c3 < 3; ++c3) emit(h, c3);
    return true;
}

bool Compiler::table_line(int p, int k, int j)
{
    const Table& t = in_.tables[p];
    const std::int64_t* entry = t.lines + (static_cast<std::int64_t>(k) * in_.ny + j) * 2;
    const std::int64_t first = entry[0];
    const std::int64_t count = entry[1];
    if (first < 0 || count < 0 || first > t.count || count > t.count - first)
        return refuse("Invalid run table", LINE_NAMES[p]);
    // Pass 0 covers every cell of the line once, in order; pass 1 some of them.
    std::int64_t next = 0;
    for (std::int64_t n = first; n < first + count; ++n) {
        const RunRecord& r = t.records[n];
        const bool in_order = p == 0 ? r.x == next : r.x >= next;
        if (!in_order || r.dx < in_.group_width || r.dx % in_.group_width != 0 ||
            r.x % in_.group_width != 0 || r.dx > in_.nx - r.x)
            return refuse("Invalid run table", TABLE_NAMES[p]);
        if (!record(p, r, k, j)) return false;
        next = static_cast<std::int64_t>(r.x) + r.dx;
    }
    if (p == 0 && next != in_.nx) return refuse("Invalid run table", TABLE_NAMES[p]);
    return true;
}

bool Compiler::record(int p, const RunRecord& r, int k, int j)
{
    const char* name = TABLE_NAMES[p];
    const int code = r.code;
    const int comps = code & cellcoef::CODE_COMPONENTS;
    if (comps == 0) return true;  // nothing is updated in these cells
    const int tag = cellcoef::code_tag(code);
    const bool lossy = (code & cellcoef::CODE_LOSSY) != 0;
    const int gw = in_.group_width;
    const int nterms = in_.nterms;
    int npm = 6;
    int npl = 0;
    std::int64_t aux_floats = 6 * gw;
    switch (tag) {
    case cellcoef::TAG_PLAIN:
        npl = !lossy ? 0 : in_.lossy3 && !(code & cellcoef::CODE_LOSSY_SECOND) ? 3 : 6;
        break;
    case cellcoef::TAG_SPLIT_LOSS:
        npm = 12;
        npl = lossy ? 12 : 0;
        aux_floats = 12 * static_cast<std::int64_t>(r.dx);
        break;
    case cellcoef::TAG_LUMPED:
        npm = 3 * nterms;
        npl = lossy ? npm : 0;
        aux_floats = 3 * static_cast<std::int64_t>(r.dx) * (nterms - 2);
        break;
    default:
        return refuse("Unsupported treatment", name);
    }
    // Store vectors and blocks are arrays of floats, so their addresses are too.
    if (static_cast<std::uint32_t>(r.params) % alignof(float) != 0 ||
        (aux_floats > 0 && static_cast<std::uint32_t>(r.aux) % alignof(float) != 0))
        return refuse("Misaligned record", name);
    const std::int64_t row_floats = static_cast<std::int64_t>(npm + npl) * gw;
    const std::int64_t groups = r.dx / gw;
    if (!in_.store_contains(static_cast<std::uint32_t>(r.params),
                            static_cast<std::size_t>(4 * groups * row_floats)) ||
        (aux_floats > 0 && !in_.store_contains(static_cast<std::uint32_t>(r.aux),
                                               static_cast<std::size_t>(4 * aux_floats))))
        return refuse("Record outside the store", name);
    const float* params = store_floats(r.params);
    const float* aux = store_floats(r.aux);

    for (int x = r.x; x < r.x + r.dx; ++x) {
        const int cell = x - r.x;
        const int m = cell % gw;
        const float* base = params + (cell / gw) * row_floats;
        const auto pm = [&](int row) { return base[row * gw + m]; };
        const auto pl = [&](int row) { return row < npl ? base[(npm + row) * gw + m] : 1.0f; };
        for (int c = 0; c < COMPONENTS; ++c) {
            if (!(comps & (1 << c))) continue;
            CellRule& rule = cells_[c < 3 ? HALF_E : HALF_H][c % 3][static_cast<std::size_t>(x)];
            if (rule.kind != CellKind::none) return refuse("Component updated twice", name);
            if (tag == cellcoef::TAG_PLAIN) {
                // pm holds the y and z parts of 1 / face area (norms), aux the
                // y and z edge lengths [1, dy, dz, 1, ddy, ddz] of the member.
                const float P = pm(c);
                float a[6];
                for (int i = 0; i < 6; ++i) a[i] = aux[i * gw + m];
                static constexpr int A_POS[6] = {5, -1, 4, 2, -1, 1};  // ca = P * a[A_POS]
                static constexpr int B_POS[6] = {4, 5, -1, 1, 2, -1};
                static constexpr int W_POS[6] = {-1, 1, 2, -1, 4, 5};  // weight = a[W_POS] / P
                rule.kind = CellKind::plain;
                rule.coef[0] = pl(c);
                rule.coef[1] = A_POS[c] < 0 ? P : P * a[A_POS[c]];
                rule.coef[2] = B_POS[c] < 0 ? P : P * a[B_POS[c]];
                const double w = W_POS[c] < 0 ? 1.0 : a[W_POS[c]];
                rule.coef[3] = P == 0.0f ? 0.0f : static_cast<float>(w / P);
            } else if (tag == cellcoef::TAG_SPLIT_LOSS && pl(2 * c) == pl(2 * c + 1) && pm(2 * c) == pm(2 * c + 1)) {
                // Sub-fields of equal pairs sum to the field's own update (no
                // loss of the layer on this component here): one field, no
                // state. It stays out of the energy, as split cells do.
                raw_plain(rule, c, pl(2 * c), pm(2 * c), j, k);
                rule.coef[3] = 0.0f;
            } else if (tag == cellcoef::TAG_SPLIT_LOSS) {
                // Rows 2c and 2c + 1: the sub-fields driven by Da and by Db.
                const int half = c < 3 ? HALF_E : HALF_H;
                rule.kind = CellKind::split;
                rule.coef[0] = pl(2 * c);
                rule.coef[1] = fold(pm(2 * c), half, axis_a(c), j, k);
                rule.coef[2] = pl(2 * c + 1);
                rule.coef[3] = fold(pm(2 * c + 1), half, axis_b(c), j, k);
                rule.state = aux[12 * cell + 2 * c];
            } else {
                // Lumped: the main pair holds the element (its tail terms'
                // conductance folded in) and no norms; H rows 3 to 5 raw.
                raw_plain(rule, c, pl(c), pm(c), j, k);
                if (c >= 3) continue;
                for (int t = 2; t < nterms - in_.ntail; ++t)
                    if (pm(3 * t + c) != 0.0f) return refuse("Unsupported lumped term", name);
                double G = 0.0;
                for (int t = nterms - in_.ntail; t < nterms; ++t) {
                    // pm_t = -G (1 - pl_t) pm of a tail of conductance G; one
                    // without conductance (pm 0, pl 1) carries no element.
                    const float pmt = pm(3 * t + c);
                    const float plt = pl(3 * t + c);
                    if (pmt != 0.0f && plt != 1.0f && pm(c) != 0.0f)
                        G += (static_cast<double>(pmt) / pm(c)) / (static_cast<double>(plt) - 1.0);
                }
                if (G != 0.0) plan_.lumped.push_back({c, x, j, k, G});
            }
        }
    }
    return true;
}

std::int64_t Compiler::store_coefs(char tag, const float* data, std::size_t count)
{
    key_.assign(1, tag);
    key_.append(reinterpret_cast<const char*>(data), count * sizeof(float));
    const auto found = stored_.find(key_);
    if (found != stored_.end()) return found->second;
    const auto offset = static_cast<std::int64_t>(plan_.coefs.size());
    plan_.coefs.insert(plan_.coefs.end(), data, data + count);
    stored_.emplace(key_, offset);
    return offset;
}

void Compiler::emit(int half, int c3)
{
    const std::vector<CellRule>& cells = cells_[half][c3];
    std::vector<Segment>& out = plan_.segments[half];
    const int nx = in_.nx;
    // The end of the stretch of rules equal to the one at x.
    const auto uniform_end = [&](int x) {
        int y = x + 1;
        while (y < nx && cells[static_cast<std::size_t>(y)].same_as(cells[static_cast<std::size_t>(x)])) ++y;
        return y;
    };
    const auto add_state = [&](int x0, int x1) {
        const auto offset = static_cast<std::int64_t>(plan_.state.size());
        for (int x = x0; x < x1; ++x) plan_.state.push_back(cells[static_cast<std::size_t>(x)].state);
        return offset;
    };
    int x = 0;
    while (x < nx) {
        const CellRule& rule = cells[static_cast<std::size_t>(x)];
        if (rule.kind == CellKind::none) {
            ++x;
            continue;
        }
        const bool split = rule.kind == CellKind::split;
        int end = uniform_end(x);
        if (end - x >= MIN_UNIFORM) {
            const std::int64_t coef = store_coefs(split ? 'S' : 'P', rule.coef, PLAIN_COEFS);
            out.push_back({x, end - x, split ? Kind::split : Kind::plain, 0, coef,
                           split ? add_state(x, end) : -1});
            x = end;
            continue;
        }
        // A varying segment: cells of the same kind up to the next long uniform stretch.
        end = x;
        while (end < nx && cells[static_cast<std::size_t>(end)].kind == rule.kind) {
            const int stretch = uniform_end(end);
            if (stretch - end >= MIN_UNIFORM && end > x) break;
            end = stretch;
        }
        const int len = end - x;
        soa_.resize(static_cast<std::size_t>(PLAIN_COEFS) * len);
        for (int t = 0; t < len; ++t)
            for (int q = 0; q < PLAIN_COEFS; ++q)
                soa_[static_cast<std::size_t>(q) * len + t] = cells[static_cast<std::size_t>(x + t)].coef[q];
        const std::int64_t coef = store_coefs(split ? 's' : 'p', soa_.data(), soa_.size());
        out.push_back({x, len, split ? Kind::split_varying : Kind::plain_varying, 0, coef,
                       split ? add_state(x, end) : -1});
        x = end;
    }
    plan_.first[half].push_back(static_cast<std::int64_t>(out.size()));
}

// Index of element `address` of an array [dims] with byte `strides` from
// `base`, when the address is one; the indices are found axis by axis from
// the largest stride down and checked by recomputing the address.
bool decode(const surfloss::SkinView& v, const float* address, std::int64_t index[4])
{
    const std::int64_t offset = reinterpret_cast<const char*>(address) - v.values;
    int order[4] = {0, 1, 2, 3};
    std::sort(order, order + 4, [&](int a, int b) {
        return std::llabs(v.strides[a]) > std::llabs(v.strides[b]);
    });
    std::int64_t rest = offset;
    for (int n = 0; n < 4; ++n) {
        const int d = order[n];
        const std::int64_t s = v.strides[d];
        index[d] = 0;
        if (s == 0) continue;
        // The axes of smaller stride add at least lo and at most hi.
        std::int64_t lo = 0, hi = 0;
        for (int m = n + 1; m < 4; ++m) {
            const std::int64_t span = (v.dims[order[m]] - 1) * v.strides[order[m]];
            (span < 0 ? lo : hi) += span;
        }
        const std::int64_t top = s > 0 ? rest - lo : rest - hi;
        std::int64_t q = top / s;
        if (q * s != top && ((top < 0) != (s < 0))) --q;  // floor
        index[d] = q;
        rest -= q * s;
    }
    std::int64_t check = 0;
    for (int d = 0; d < 4; ++d) {
        if (index[d] < 0 || index[d] >= v.dims[d]) return false;
        check += index[d] * v.strides[d];
    }
    return check == offset;
}

bool Compiler::skin()
{
    plan_.skin_first.assign(static_cast<std::size_t>(in_.nz) + 1, 0);
    if (in_.skin == nullptr) return true;
    const surfloss::SkinView& v = *in_.skin;
    if (v.dims[0] != 3 || v.dims[1] > in_.nz - in_.skin_z0 || v.dims[2] != in_.ny ||
        v.dims[3] != in_.nx)
        return refuse("Skin records of another grid", "skin");
    for (std::size_t n = 0; n < in_.skin_count; ++n) {
        const surfloss::SkinRecord& r = v.records[n];
        std::int64_t at[2][4];
        if (!decode(v, r.cell, at[0]) || !decode(v, r.partner, at[1]) || at[0][0] != at[1][0])
            return refuse("Invalid skin record", "skin");
        float a;
        std::memcpy(&a, r.cell, sizeof a);
        // kappa = b / (a + b/2) of the sheet's conductance b: the pair
        // (1 - kappa, (1 - kappa/2) / a) is the edge's update with b.
        const float kappa = r.value;
        if (!(a > 0.0f) || !std::isfinite(a) || !(kappa >= 0.0f && kappa <= 2.0f))
            return refuse("Invalid skin record", "skin");
        const float A = 1.0f - kappa;
        const auto K = static_cast<float>((1.0 - 0.5 * static_cast<double>(kappa)) / a);
        for (const auto& e : at) {
            const int c = static_cast<int>(e[0]);
            const int k = static_cast<int>(e[1]) + in_.skin_z0;
            const int j = static_cast<int>(e[2]);
            const int i = static_cast<int>(e[3]);
            plan_.skin.push_back({c * plan_.grid.volume + plan_.grid.cell(i, j, k), c, i, j, k, A,
                                  fold(K, HALF_E, axis_a(c), j, k), fold(K, HALF_E, axis_b(c), j, k),
                                  energy_weight(K, c, j, k), 0});
        }
    }
    // by plane, then along the memory of each component's plane
    std::stable_sort(plan_.skin.begin(), plan_.skin.end(), [](const SkinEdge& a, const SkinEdge& b) {
        return a.k != b.k ? a.k < b.k : a.at < b.at;
    });
    for (const SkinEdge& e : plan_.skin) ++plan_.skin_first[static_cast<std::size_t>(e.k) + 1];
    for (int k = 0; k < in_.nz; ++k) plan_.skin_first[k + 1] += plan_.skin_first[k];
    plan_.skin_before.assign(plan_.skin.size(), 0.0f);
    return true;
}

}  // namespace

std::unique_ptr<Plan> compile(const CompileInput& in, Refusal& refusal)
{
    auto plan = std::make_unique<Plan>();
    Compiler compiler(in, *plan, refusal);
    if (!compiler.run()) return nullptr;
    return plan;
}

}  // namespace yeestep
