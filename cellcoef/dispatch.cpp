// dispatch: one grid line (z, y) from coefficient rows to a run table whose
// records point at parameter vectors folded in the store.
//
// The wrapper checks every array and sequence item first and works on a copy
// of the line's codes and a staged run table; the store is written only once
// the line has been treated, and the host's codes and runs only once the store
// has taken every run, so a refused or failed call changes nothing.
#include "methods.hpp"

#include "formulas.hpp"
#include "hold.hpp"
#include "orga.hpp"
#include "rle.hpp"
#include "settings.hpp"
#include "shared.hpp"
#include "view.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace cellcoef {
namespace {

constexpr int LINE_PASSES = 2;   // the pm and the pl list
constexpr int NORM_ITEMS = 4;

// The rows and per-cell state of one line, carved from one scratch block.
struct LineState {
    int n = 0;
    int group_width = 1;
    float* pm = nullptr;             // MAX_ROWS rows of n
    float* pl = nullptr;             // MAX_ROWS rows of n
    float* vector = nullptr;         // one run's parameters, at most 2 * MAX_ROWS * n
    float* norm_products = nullptr;  // 6 * group_width
    std::int32_t* npm = nullptr;
    std::int32_t* npl = nullptr;
    std::int32_t* runs = nullptr;    // the run table, staged: run_table_size()
    std::int16_t* codes = nullptr;   // the line's codes, worked on before they go back

    std::size_t run_table_size() const
    {
        return 1 + RUN_RECORD_INTS * static_cast<std::size_t>(n / group_width);
    }
    std::size_t floats_needed() const
    {
        const std::size_t rows = static_cast<std::size_t>(MAX_ROWS) * n;
        return 2 * rows + 2 * rows + 6 * static_cast<std::size_t>(group_width) + 2 * n +
               run_table_size() + (static_cast<std::size_t>(n) + 1) / 2;
    }
    void carve(float* p)
    {
        const std::size_t rows = static_cast<std::size_t>(MAX_ROWS) * n;
        pm = p;
        pl = pm + rows;
        vector = pl + rows;
        norm_products = vector + 2 * rows;
        npm = reinterpret_cast<std::int32_t*>(norm_products + 6 * group_width);
        npl = npm + n;
        runs = npl + n;
        codes = reinterpret_cast<std::int16_t*>(runs + run_table_size());
    }
};

// Every cell of a group gets the bits CODE_GROUP_KEEP of the group's OR. Cells
// of one group must agree on the split-loss bit; false after the diagnostic
// otherwise.
bool merge_groups(LineState& s, int y, int z)
{
    std::int16_t* codes = s.codes;
    for (int g = 0; g < s.n; g += s.group_width) {
        int shared = 0;
        for (int m = 0; m < s.group_width; ++m) {
            if ((codes[g + m] ^ codes[g]) & CODE_SPLIT_LOSS) {
                std::fprintf(stderr,
                             "\n\n ERROR: Illegal Material Combination e.g. PML/surf\n"
                             "x %d y %d z%d %x!=%x\n",
                             g, y, z, static_cast<unsigned>(codes[g + m]),
                             static_cast<unsigned>(codes[g]));
                return false;
            }
            shared |= codes[g + m];
        }
        shared &= CODE_GROUP_KEEP;
        for (int m = 0; m < s.group_width; ++m)
            codes[g + m] = static_cast<std::int16_t>(codes[g + m] | shared);
    }
    return true;
}

// Every pair recomputed with a / dtfact; false when a cell's row
// counts differ or are neither 6 nor 12.
bool rescale_time_step(LineState& s, double dtfact)
{
    for (int x = 0; x < s.n; ++x) {
        const int rows = s.npm[x];
        if (rows != s.npl[x] || (rows != 6 && rows != 12)) return false;
        for (int k = 0; k < rows; ++k) {
            float* pm = s.pm + static_cast<std::ptrdiff_t>(k) * s.n + x;
            float* pl = s.pl + static_cast<std::ptrdiff_t>(k) * s.n + x;
            float a, b;
            recover_parameters(*pm, *pl, &a, &b);
            a = static_cast<float>(a / dtfact);
            update_coefficients(a, b, pm, pl);
        }
    }
    return true;
}

// A group start whose code is a subset of its equal neighbours (with
// the same tag and some component) takes theirs, left to right.
void smooth_codes(LineState& s)
{
    std::int16_t* codes = s.codes;
    const int gw = s.group_width;
    for (int p = gw; p < s.n; p += gw) {
        const int cur = codes[p];
        const int prev = codes[p - gw];
        const int next = p < s.n - gw ? codes[p + gw] : prev;
        const int a = (prev & CODE_COMPONENTS) ? prev : next;
        const int b = (next & CODE_COMPONENTS) ? next : a;
        if (a == b && (a | cur) == a && (cur & CODE_TAG) == (a & CODE_TAG) &&
            (cur & CODE_COMPONENTS))
            codes[p] = static_cast<std::int16_t>(a);
    }
}

// One run: cells x to x + dx - 1 of equal group codes.
struct Run {
    int x;
    int dx;
    int code;       // after the pass adjustments
    bool recorded;  // the pass gives it a record
    int pm_rows;    // rows per group in the parameter vector
    int pl_rows;
};

Run next_run(const LineState& s, int x, int pass, int lossy3)
{
    Run r{x, 0, s.codes[x], true, 0, 0};
    while (r.dx < run_limit && x + r.dx < s.n && s.codes[x + r.dx] == s.codes[x])
        r.dx += s.group_width;
    if (pass != 0) {
        if (!(r.code & CODE_BOTH_PASSES)) r.recorded = false;
        r.code &= ~CODE_SECOND_PASS_DROP;
    } else if (r.code & CODE_BOTH_PASSES) {
        r.code &= ~CODE_FIRST_PASS_DROP;
    }
    r.pm_rows = s.npm[x];
    if (r.code & CODE_LOSSY)
        r.pl_rows =
            (lossy3 && !(r.code & CODE_LOSSY_SECOND) && code_tag(r.code) == TAG_PLAIN) ? 3 : s.npl[x];
    return r;
}

// The run's parameters: for each group, its pm rows, then its pl rows.
int build_vector(const LineState& s, const Run& r)
{
    const int gw = s.group_width;
    float* out = s.vector;
    for (int f = 0; f < r.dx; f += gw) {
        const int first = r.x + f;
        for (int k = 0; k < r.pm_rows; ++k, out += gw)
            std::memcpy(out, s.pm + static_cast<std::ptrdiff_t>(k) * s.n + first, gw * sizeof(float));
        for (int k = 0; k < r.pl_rows; ++k, out += gw)
            std::memcpy(out, s.pl + static_cast<std::ptrdiff_t>(k) * s.n + first, gw * sizeof(float));
    }
    return static_cast<int>(out - s.vector);
}

// The run table of a treated line: records into s.runs, vectors into the
// store. Null with the error set when store memory runs out.
PyObject* write_runs(LineState& s, OrgaHeader* store, int pass, int y, int z, int lossy3,
                     int nterms)
{
    std::int32_t* runs = s.runs;
    int used = 1;
    for (int x = 0; x < s.n;) {
        Run r = next_run(s, x, pass, lossy3);
        x += r.dx;
        if (!r.recorded) continue;
        const int nps = build_vector(s, r);
        if (r.dx > s.group_width) r.code |= CODE_MULTIGROUP;
        std::uint32_t params = 0;
        if (r.code & CODE_COMPONENTS) {
            if (debug_mask & DEBUG_RUN_HEADS) {
                std::printf("z=%3d y=%3d x=%3d dx=%3d ", z, y, r.x, r.dx);
                if (r.code & CODE_LOSSY) std::printf("DEBUG Orga: LOSSY  ");
            }
            const float* p = orga_insert(store, s.vector, nps, nps, 1);
            if (p == nullptr) return frame::fail(ORGA_MEMORY_FULL);
            params = orga_address(p);
        }
        const int tag = code_tag(r.code);
        const float* aux = nullptr;  // TAG_NONE has none
        if (tag == TAG_PLAIN)
            aux = orga_insert(store, s.norm_products, 6 * s.group_width, 6 * s.group_width, 1);
        else if (tag == TAG_SPLIT_LOSS)
            aux = orga_alloc(store, 12 * r.dx, &store->direct_bytes);
        else if (tag == TAG_LUMPED)
            aux = orga_alloc(store, 3 * r.dx * (nterms - 2), &store->direct_bytes);
        if (aux == nullptr && tag != TAG_NONE) return frame::fail(ORGA_MEMORY_FULL);
        const RunRecord record{r.x, r.dx, static_cast<std::int32_t>(params), r.code,
                               aux != nullptr ? static_cast<std::int32_t>(orga_address(aux)) : 0};
        std::memcpy(runs + used, &record, sizeof record);
        used += RUN_RECORD_INTS;
    }
    runs[0] = used;
    return frame::none();
}

// The consistency check of every run's vector length against npsmx = 48 x
// group_width x n, made before anything is written.
bool vectors_fit(const LineState& s, int pass, int lossy3)
{
    const std::int64_t npsmx = 48 * static_cast<std::int64_t>(s.group_width) * s.n;
    for (int x = 0; x < s.n;) {
        const Run r = next_run(s, x, pass, lossy3);
        x += r.dx;
        if (r.recorded && static_cast<std::int64_t>(r.dx) * (r.pm_rows + r.pl_rows) >= npsmx)
            return false;
    }
    return true;
}

// Expands line (z, y) of every listed RLE array into its row; rows past the
// list stay zero. False with the error set.
bool expand_rows(PyObject* list, Py_ssize_t length, const char* tag, const frame::Check& not_rle,
                 const LineState& s, float* rows, int y, int z)
{
    const std::int32_t idx[2] = {z, y};
    for (int k = 0; k < MAX_ROWS; ++k) {
        float* out = rows + static_cast<std::ptrdiff_t>(k) * s.n;
        if (k >= length) {
            std::memset(out, 0, sizeof(float) * s.n);
            continue;
        }
        frame::Ref item = seq_item(list, k, tag);
        if (!item) return frame::fail_arg("Missing item", tag), false;
        if (!rle_check(item.get()) || !rle_consistent(reinterpret_cast<RleArray*>(item.get())))
            return frame::report(not_rle), false;
        const RleArray* a = reinterpret_cast<const RleArray*>(item.get());
        if (a->nouter != 2) return frame::fail_arg("Wrong number of dimensions", tag), false;
        if (z >= a->dims[0] || y >= a->dims[1])
            return frame::fail_arg("Line outside the array", tag), false;
        if (rle_line_length(a) != s.n) return frame::fail_arg("Wrong line length", tag), false;
        rle_get_line(a, idx, out);
    }
    return true;
}

// The store's header and the memory a call writes must not meet: records or
// codes written over the header would change it behind the store's back.
bool overlaps_header(PyObject* og, const void* p, std::size_t bytes)
{
    const auto header = reinterpret_cast<std::uintptr_t>(PyArray_DATA(frame::array(og)));
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    return start < header + sizeof(OrgaHeader) && header < start + bytes;
}

// The last cell of a tag, or -1.
int last_cell_of(const LineState& s, int tag)
{
    for (int x = s.n - 1; x >= 0; --x)
        if (code_tag(s.codes[x]) == tag) return x;
    return -1;
}

// One call's arguments, and the views of its arrays.
struct Call {
    PyObject *runs_obj, *og_obj, *codes_obj, *coef_lists, *ext, *norms_seq;
    int group_width, pass, z, y;
    int lossy3 = 0, ntail = 0;
    double dtfact = 1.0;
    frame::Ref norms[NORM_ITEMS];
    frame::Ref lists[LINE_PASSES];  // pm, pl
    Py_ssize_t lengths[LINE_PASSES];

    int n = 0;  // cells of the line
    std::int16_t* codes = nullptr;  // the host's line (z, y)
    frame::Contiguous<std::int32_t> runs;
    frame::Strided<const float, 2> norm_rows[NORM_ITEMS];
};

// Parses the arguments and tests them in this order: codes, og and runs are
// arrays; coef_lists, ext and norms sequences; the four items of norms arrays;
// coef_lists two sequences, pm and pl.
bool parse_call(PyObject* args, Call& c)
{
    if (!frame::parse(args, "OOiiiiOOOO|idi", &c.runs_obj, &c.og_obj, &c.group_width, &c.pass,
                      &c.z, &c.y, &c.codes_obj, &c.coef_lists, &c.ext, &c.norms_seq, &c.lossy3,
                      &c.dtfact, &c.ntail))
        return false;
    if (!frame::require_arrays({c.codes_obj, c.og_obj, c.runs_obj})) return false;
    if (!PySequence_Check(c.coef_lists) || !PySequence_Check(c.ext) ||
        !PySequence_Check(c.norms_seq))
        return frame::fail("Sequence expected"), false;
    for (int k = 0; k < NORM_ITEMS; ++k) c.norms[k] = seq_item(c.norms_seq, k, "norms");
    for (const frame::Ref& item : c.norms)
        if (!item) return frame::fail_arg("Missing item", "norms"), false;
    if (!frame::require_arrays(
            {c.norms[0].get(), c.norms[1].get(), c.norms[2].get(), c.norms[3].get()}))
        return false;
    if (PySequence_Size(c.coef_lists) != LINE_PASSES) {
        PyErr_Clear();
        return frame::fail("Sequence length 2 expected"), false;
    }
    c.lists[0] = seq_item(c.coef_lists, 0, "l");
    c.lists[1] = seq_item(c.coef_lists, 1, "l");
    for (const frame::Ref& list : c.lists)
        if (!list) return frame::fail_arg("Missing item", "coef_lists"), false;
    for (int i = 0; i < LINE_PASSES; ++i) {
        c.lengths[i] = PySequence_Check(c.lists[i].get()) ? PySequence_Size(c.lists[i].get()) : -1;
        if (c.lengths[i] < 0) {
            PyErr_Clear();
            return frame::fail("Sequence expected"), false;
        }
    }
    return true;
}

// The line (z, y) of `codes`, the run table it fills and the norm rows it reads.
bool take_views(Call& c)
{
    if (c.group_width < 1) return frame::fail_arg("Value out of range", "group_width"), false;
    // Every axis holds the line; empty ones are refused, so it has a group.
    frame::Strided<std::int16_t, 3> codes;
    if (!frame::view(codes, c.codes_obj, "codes",
                     {frame::Extent::index(c.z, "Line outside the array"),
                      frame::Extent::index(c.y, "Line outside the array"), 1},
                     frame::Access::write, frame::exact_rank | frame::unit_step(2)))
        return false;
    const npy_intp n = PyArray_DIM(frame::array(c.codes_obj), 2);
    if (n > RLE_MAXLINE) return frame::fail_arg("Line too long", "codes"), false;
    c.n = static_cast<int>(n);
    if (c.n % c.group_width != 0)
        return frame::fail_arg("Line length not a multiple of the group width", "codes"), false;
    const npy_intp runs_count = 1 + RUN_RECORD_INTS * static_cast<npy_intp>(c.n / c.group_width);
    if (!frame::view(c.runs, c.runs_obj, "runs", runs_count, frame::Access::write)) return false;
    c.codes = codes.at(c.z, c.y, 0);
    if (overlaps_header(c.og_obj, c.runs.data, sizeof(std::int32_t) * runs_count))
        return frame::fail_arg("Array overlaps og", "runs"), false;
    if (overlaps_header(c.og_obj, c.codes, sizeof(std::int16_t) * c.n))
        return frame::fail_arg("Array overlaps og", "codes"), false;
    // Items 0 and 2 are read at row y, 1 and 3 at row z; 0 and 1 hold a norm
    // per component and group cell, 2 and 3 one per component.
    static const char* const names[NORM_ITEMS] = {"norms[0]", "norms[1]", "norms[2]", "norms[3]"};
    for (int k = 0; k < NORM_ITEMS; ++k) {
        const npy_intp row = (k % 2 == 0) ? c.y : c.z;
        const npy_intp floats = k < 2 ? 6 * static_cast<npy_intp>(c.group_width) : 6;
        if (!frame::view(c.norm_rows[k], c.norms[k].get(), names[k], {row + 1, floats},
                         frame::Access::read, frame::exact_rank | frame::unit_step(1)))
            return false;
    }
    return true;
}

// Rows, groups, treatments, time step, norms and smoothing on the copy of the
// line; the host's arrays are not touched. False with the error set.
bool treat_line(const Call& c, LineState& s, int* nterms)
{
    const int y = c.y, z = c.z;
    if (!expand_rows(c.lists[0].get(), c.lengths[0], "pm", CHECK_PM_ITEM, s, s.pm, y, z) ||
        !expand_rows(c.lists[1].get(), c.lengths[1], "pl", CHECK_PL_ITEM, s, s.pl, y, z))
        return false;

    if (!merge_groups(s, y, z)) return frame::fail("Illegal Material Combination"), false;

    // The treatments the pass wants, each over every cell of its tag.
    bool wanted[TAG_NONE + 1] = {false, false, false, false};
    for (int g = 0; g < s.n; g += s.group_width)
        if (c.pass == 0 || (s.codes[g] & CODE_BOTH_PASSES)) wanted[code_tag(s.codes[g])] = true;
    // Only the lumped treatment and its runs use nterms, and it refuses more
    // terms than the rows hold.
    const Py_ssize_t nterms_wide = c.lengths[0] / 3;
    *nterms = static_cast<int>(nterms_wide < MAX_ROWS ? nterms_wide : MAX_ROWS);
    if (wanted[TAG_SPLIT_LOSS]) {
        frame::Ref item = seq_item(c.ext, 0, "ext");
        if (!item) return frame::fail_arg("Missing item", "ext"), false;
        const int positions[3] = {last_cell_of(s, TAG_SPLIT_LOSS) + 1, y + 1, z + 1};
        LossProfiles loss;
        switch (fetch_loss_profiles(item.get(), positions, &loss)) {
        case Fetch::ok: break;
        case Fetch::failed: return frame::fail("PML Problem"), false;
        case Fetch::refused: return false;
        }
        apply_split_loss(loss.profiles, s.n, y, z, s.codes, s.pm, s.npm, s.pl, s.npl);
    }
    if (wanted[TAG_LUMPED]) {
        if (nterms_wide < 2) return frame::fail_arg("Too few terms", "pm"), false;
        if (3 * nterms_wide > MAX_ROWS) return frame::fail_arg("Too many terms", "pm"), false;
        if (c.ntail < 0 || c.ntail > *nterms - 2)
            return frame::fail_arg("Value out of range", "ntail"), false;
        frame::Ref item = seq_item(c.ext, 1, "ext");
        if (!item) return frame::fail_arg("Missing item", "ext"), false;
        double max_stab_par = 0.0;
        switch (fetch_max_stab_par(item.get(), &max_stab_par)) {
        case Fetch::ok: break;
        case Fetch::failed: return frame::fail("LR  Problem"), false;
        case Fetch::refused: return false;
        }
        apply_lumped(max_stab_par, s.n, s.codes, s.pm, s.npm, s.pl, s.npl, *nterms, c.ntail);
    }
    if (wanted[TAG_NONE]) return frame::fail("Treatment 3 not implemented"), false;

    if (c.dtfact != 1.0 && !rescale_time_step(s, c.dtfact))
        return frame::fail("DTFACT problem"), false;
    scale_plain_cells(s.n, s.codes, s.pm, c.norm_rows[2].row(y), c.norm_rows[3].row(z));
    smooth_codes(s);
    return true;
}

}  // namespace

PyObject* dispatch(PyObject* args)
{
    Call c;
    if (!parse_call(args, c) || !take_views(c)) return nullptr;

    LineState s;
    s.n = c.n;
    s.group_width = c.group_width;
    frame::Scratch<float> block = frame::scratch<float>(s.floats_needed());
    if (!block) return PyErr_NoMemory();
    s.carve(block.get());
    for (int x = 0; x < s.n; ++x) s.npm[x] = s.npl[x] = 6;
    std::memcpy(s.codes, c.codes, sizeof(std::int16_t) * s.n);

    int nterms = 0;
    if (!treat_line(c, s, &nterms)) return nullptr;
    if (!vectors_fit(s, c.pass, c.lossy3)) return frame::report(CHECK_VECTOR_FITS);

    // From here on the store changes, and the host's arrays once it has taken the line.
    OrgaSession store(frame::array(c.og_obj));
    if (!store) return nullptr;
    const float* f1 = c.norm_rows[0].row(c.y);
    const float* f2 = c.norm_rows[1].row(c.z);
    for (int i = 0; i < 6 * c.group_width; ++i) s.norm_products[i] = f1[i] * f2[i];
    PyObject* done = write_runs(s, store.header(), c.pass, c.y, c.z, c.lossy3, nterms);
    if (done == nullptr) return nullptr;
    store.commit();
    std::memcpy(c.codes, s.codes, sizeof(std::int16_t) * s.n);
    std::memcpy(c.runs.data, s.runs, sizeof(std::int32_t) * s.runs[0]);
    return done;
}

}  // namespace cellcoef
