// The kernel of `last` follows the runs of its inputs instead of the cells.
// These tests hold it against the cell-by-cell walk over expanded lines: the
// same entries, the same sharing of lists, the same tables, the same codes.
#include "formulas.hpp"
#include "last.hpp"
#include "settings.hpp"
#include "tests/rle_fixture.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

using namespace cellcoef;
using rle_fixture::Array;

namespace {

const std::vector<std::int32_t> dims = {3, 4, 29};
constexpr int nlines = 12;
constexpr int length = 29;

// Row-major values made of random runs drawn from a palette.
std::vector<float> runs_from(const std::vector<float>& palette, std::mt19937& rng)
{
    std::vector<float> values;
    for (int line = 0; line < nlines; ++line) {
        int i = 0;
        while (i < length) {
            const float v = palette[rng() % palette.size()];
            for (int n = 1 + static_cast<int>(rng() % 8); n > 0 && i < length; --n, ++i)
                values.push_back(v);
        }
    }
    return values;
}

struct Outcome {
    Array pm{rle_fixture::make(dims)};
    Array pl{rle_fixture::make(dims)};
    std::vector<std::int16_t> codes;
    std::int64_t count = 0;
    RleTables tables;
};

// The walk over expanded lines, cell by cell, marking before compressing.
void by_cells(const RleArray* a, const RleArray* b, int bit, float a_scale, Outcome& out)
{
    const auto mask = static_cast<std::int16_t>(~(1 << bit));
    const std::int16_t lossy = bit <= 3 ? 0x40 : 0x80;
    std::vector<float> ra(length), rb(length), pm(length), pl(length);
    std::vector<RleRun> runbuf(length + 5);
    std::int32_t idx[RLE_MAXDIM] = {};
    int line = 0;
    do {
        rle_get_line(b, idx, rb.data());
        rle_get_line(a, idx, ra.data());
        std::int16_t* codes = out.codes.data() + line * length;
        for (int j = 0; j < length; ++j) {
            update_coefficients(static_cast<double>(ra[j]) / a_scale, rb[j], &pm[j], &pl[j]);
            if (bit > 5) continue;
            if (pm[j] == 0.0f) {
                codes[j] = static_cast<std::int16_t>(codes[j] & mask);
                ++out.count;
            }
            if (pl[j] < 1.0f) codes[j] = static_cast<std::int16_t>(codes[j] | lossy);
        }
        ASSERT_EQ(rle_compress(out.pm.a, rle_entry(out.pm.a, idx), runbuf.data(), pm.data(),
                               out.tables, true), nullptr);
        ASSERT_EQ(rle_compress(out.pl.a, rle_entry(out.pl.a, idx), runbuf.data(), pl.data(),
                               out.tables, false), nullptr);
        ++line;
    } while (rle_next(b, idx));
}

void by_runs(const RleArray* a, const RleArray* b, int bit, float a_scale, Outcome& out)
{
    LastJob job{a, b, out.pm.a, out.pl.a,
                {reinterpret_cast<char*>(out.codes.data()), {length * 4 * 2, length * 2}}, bit,
                a_scale};
    std::vector<float> pm(length), pl(length);
    std::vector<std::int32_t> start(length);
    std::vector<RleRun> runbuf(length + 5);
    const LastRows rows{pm.data(), pl.data(), start.data(), runbuf.data()};
    ASSERT_EQ(last_compress(job, rows, out.tables), nullptr);
    out.count = last_mark(job, rows);
}

// Numbers each stored list by its first appearance, so that two outcomes can
// be compared for which entries share which list.
struct ListNumbers {
    std::map<const RleRun*, int> number;
    int operator()(const RleRun* list)
    {
        if (list == nullptr) return -1;
        return number.emplace(list, static_cast<int>(number.size())).first->second;
    }
};

void expect_same(Outcome& x, Outcome& y)
{
    EXPECT_EQ(x.codes, y.codes);
    EXPECT_EQ(x.count, y.count);
    ListNumbers nx, ny;
    for (int line = 0; line < nlines; ++line) {
        for (auto member : {&Outcome::pm, &Outcome::pl}) {
            const RleEntry& ex = (x.*member)->data[line];
            const RleEntry& ey = (y.*member)->data[line];
            EXPECT_EQ(std::memcmp(&ex.max, &ey.max, 4), 0) << line;
            EXPECT_EQ(ex.fresh, ey.fresh) << line;
            ASSERT_EQ(ex.nrec, ey.nrec) << line;
            EXPECT_EQ(std::memcmp(ex.run_list, ey.run_list, ex.nrec * sizeof(RleRun)), 0) << line;
            EXPECT_EQ(nx(ex.run_list), ny(ey.run_list)) << line;
        }
    }
    for (auto member : {&Outcome::pm, &Outcome::pl}) {
        EXPECT_EQ((x.*member)->used_bytes, (y.*member)->used_bytes);
        EXPECT_EQ((x.*member)->shared_lines, (y.*member)->shared_lines);
    }
    EXPECT_EQ(std::memcmp(x.tables.float_table_a.get(), y.tables.float_table_a.get(), RLE_NHFLT * 4), 0);
    EXPECT_EQ(std::memcmp(x.tables.float_table_b.get(), y.tables.float_table_b.get(), RLE_NHFLT * 4), 0);
    for (int slot = 0; slot < RLE_NHASH; ++slot)
        ASSERT_EQ(nx(x.tables.line_table[slot]), ny(y.tables.line_table[slot])) << slot;
}

}  // namespace

TEST(LastKernel, RunsGiveTheResultsOfCells)
{
    struct Case { float a_scale; float tol; int bit; };
    const Case cases[] = {
        {1.0f, 1e-6f, 2},
        {2.5f, 1e-3f, 4},
        {1.0f, 1e-6f, 6},
        {0.3f, 0.05f, 0},
        {1.0f, 1e-6f, 3},
    };
    const std::vector<float> palette_a = {1, 2.5f, 4.4f, 0, 1e-38f, -1, 1.0001f, 1.00011f, 3.1415927f, 1e30f};
    const std::vector<float> palette_b = {0, 0.5f, 0.02f, 2, 1e-39f, 3, 0.0200001f};
    const float saved = rel_tol;
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        rel_tol = c.tol;
        Array a(rle_fixture::build(dims, runs_from(palette_a, rng)));
        Array b(rle_fixture::build(dims, runs_from(palette_b, rng)));
        std::vector<std::int16_t> codes(nlines * length);
        for (auto& code : codes) code = static_cast<std::int16_t>(rng() & 0x3ff);
        Outcome cells, runs;
        ASSERT_TRUE(cells.tables.allocate());
        ASSERT_TRUE(runs.tables.allocate());
        cells.codes = runs.codes = codes;
        by_cells(a.a, b.a, c.bit, c.a_scale, cells);
        by_runs(a.a, b.a, c.bit, c.a_scale, runs);
        expect_same(cells, runs);
        if (c.bit <= 5) {
            EXPECT_GT(cells.count, 0);
            EXPECT_NE(cells.codes, codes);
        } else {
            EXPECT_EQ(cells.codes, codes);
        }
    }
    rel_tol = saved;
}
