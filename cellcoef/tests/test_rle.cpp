#include "rle.hpp"
#include "settings.hpp"
#include "tests/rle_fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace cellcoef;
using rle_fixture::Array;

namespace {

std::vector<RleRun> runs_of(const RleEntry* e)
{
    return std::vector<RleRun>(e->run_list, e->run_list + e->nrec);
}

std::string describe(const std::vector<RleRun>& runs)
{
    std::string s;
    for (const RleRun& r : runs) s += "(" + std::to_string(r.run_value) + "," + std::to_string(r.start) + ")";
    return s;
}

// Compresses lines of one length with one set of tables into a fresh array of
// as many lines.
struct Compressor {
    RleTables tables;
    Array array;
    std::vector<RleRun> runbuf;
    Compressor(std::int32_t lines, std::int32_t length)
        : array(rle_fixture::make({lines, length})), runbuf(length + 1)
    {
        EXPECT_TRUE(tables.allocate());
    }
    RleEntry* line(std::int32_t i) { return rle_entry(array.a, &i); }
    const frame::Check* put(std::int32_t i, std::vector<float>& values, bool tolerant)
    {
        return rle_compress(array.a, line(i), runbuf.data(), values.data(), tables, tolerant);
    }
};

}  // namespace

TEST(RleLayout, StridesAndSizes)
{
    struct Case { std::vector<std::int32_t> dims; std::vector<std::int32_t> strides; std::int32_t nbytes; };
    const Case cases[] = {
        {{7}, {}, 16},
        {{2, 3}, {16}, 32},
        {{4, 5, 7}, {80, 16}, 320},
        {{2, 1, 3, 1}, {48, 48, 16}, 96},
    };
    for (const Case& c : cases) {
        Array a(rle_fixture::make(c.dims));
        ASSERT_NE(a.a, nullptr);
        SCOPED_TRACE(c.nbytes);
        EXPECT_EQ(a->magic, RLE_MAGIC);
        EXPECT_EQ(a->nouter, static_cast<int>(c.dims.size()) - 1);
        EXPECT_EQ(a->nbytes, c.nbytes);
        EXPECT_EQ(a->nlines, c.nbytes / 16);
        EXPECT_EQ(a->used_bytes, c.nbytes);
        EXPECT_EQ(a->shared_lines, 0);
        EXPECT_EQ(rle_line_length(a.a), c.dims.back());
        EXPECT_EQ(a->rle_type, rle_fixture::rle_type());
        EXPECT_EQ(Py_TYPE(a.a), rle_fixture::rle_type());
        EXPECT_EQ(Py_REFCNT(a.a), 1);
        for (std::size_t i = 0; i < c.strides.size(); ++i) EXPECT_EQ(a->strides[i], c.strides[i]);
        EXPECT_TRUE(rle_check(reinterpret_cast<PyObject*>(a.a)));
        EXPECT_TRUE(rle_consistent(a.a));
    }
}

TEST(RleLayout, DimensionsThatDoNotFit)
{
    struct Case { std::vector<std::int64_t> dims; bool fits; };
    const Case cases[] = {
        {{}, false},
        {{1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, true},
        {{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, false},
        {{3, 0, 4}, false},
        {{0}, false},
        {{2, -1}, false},
        {{RLE_MAXLINE}, true},
        {{RLE_MAXLINE + 1}, false},
        {{65536, 2047, 7}, true},    // 2^31 - 2^20 bytes
        {{65536, 2048, 7}, false},   // 2^31 bytes
        {{std::int64_t(1) << 40, 7}, false},
    };
    for (const Case& c : cases) {
        std::int32_t strides[RLE_MAXDIM];
        std::int32_t nbytes;
        EXPECT_EQ(rle_layout(static_cast<int>(c.dims.size()), c.dims.data(), strides, &nbytes), c.fits)
            << c.dims.size() << " dims";
    }
}

TEST(RleCheck, SizeOfTypeAndMagic)
{
    Array a(rle_fixture::make({3}));
    auto* obj = reinterpret_cast<PyObject*>(a.a);
    EXPECT_TRUE(rle_check(obj));
    a->magic = 0x00314158;
    EXPECT_FALSE(rle_check(obj));
    // A small object is never read beyond its size.
    PyObject* small = PyLong_FromLong(0x00314159);
    EXPECT_FALSE(rle_check(small));
    Py_DECREF(small);
    EXPECT_FALSE(rle_check(nullptr));
}

TEST(RleNext, Odometer)
{
    Array a(rle_fixture::make({2, 5, 3}));
    struct Case { std::int32_t from[2]; std::int32_t to[2]; int more; };
    const Case cases[] = {
        {{0, 0}, {0, 1}, 1},
        {{0, 4}, {1, 0}, 1},
        {{1, 3}, {1, 4}, 1},
        {{1, 4}, {1, 0}, 0},
    };
    for (const Case& c : cases) {
        std::int32_t idx[2] = {c.from[0], c.from[1]};
        EXPECT_EQ(rle_next(a.a, idx), c.more);
        EXPECT_EQ(idx[0], c.to[0]);
        EXPECT_EQ(idx[1], c.to[1]);
    }
    // A walk visits every entry once, in order.
    std::int32_t idx[2] = {0, 0};
    int lines = 0;
    do {
        EXPECT_EQ(rle_entry(a.a, idx), a->data + lines);
        ++lines;
    } while (rle_next(a.a, idx));
    EXPECT_EQ(lines, a->nlines);

    Array one(rle_fixture::make({4}));
    std::int32_t none[1] = {0};
    EXPECT_EQ(rle_next(one.a, none), 0);
    EXPECT_EQ(rle_entry(one.a, none), one->data);
}

TEST(RleCompress, LinesToRecords)
{
    const float pi = 3.1415927f;
    struct Case {
        std::vector<float> line;
        float max;
        std::vector<RleRun> runs;
        std::vector<float> expanded;
    };
    const std::vector<Case> cases = {
        {{0, 0, 0, 0}, 1e-30f, {{0, 0}, {0, 4}}, {0, 0, 0, 0}},
        {{2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 2.5f, 2.5f}, 2.5f, {{1, 0}, {0, 7}}, std::vector<float>(7, 2.5f)},
        {{1, 1, -2, 0.5f}, 2.0f, {{0.5f, 0}, {-1, 2}, {0.25f, 3}, {0, 4}}, {1, 1, -2, 0.5f}},
        // Below 1e-37 counts as 0 and is written back as 0.
        {{1e-38f, 2, -9e-38f}, 2.0f, {{0, 0}, {1, 1}, {0, 2}, {0, 3}}, {0, 2, 0}},
        {{2e-37f, 2e-37f}, 1e-30f, {{2e-37f / 1e-30f, 0}, {0, 2}}, {2e-37f / 1e-30f * 1e-30f, 2e-37f / 1e-30f * 1e-30f}},
        // The sentinel does not swallow a first element equal to it.
        {{pi, pi, 1}, pi, {{1, 0}, {1 / pi, 2}, {0, 3}}, {pi, pi, 1 / pi * pi}},
        {{pi - 1, pi - 1}, pi - 1, {{1, 0}, {0, 2}}, {pi - 1, pi - 1}},
    };
    for (const Case& c : cases) {
        const auto length = static_cast<std::int32_t>(c.line.size());
        Compressor z(1, length);
        std::vector<float> line = c.line;
        ASSERT_EQ(z.put(0, line, false), nullptr);
        const RleEntry* e = z.line(0);
        SCOPED_TRACE(describe(runs_of(e)));
        EXPECT_EQ(e->max, c.max);
        EXPECT_EQ(e->fresh, 1);
        ASSERT_EQ(e->nrec, static_cast<int>(c.runs.size()));
        for (std::size_t k = 0; k < c.runs.size(); ++k) {
            EXPECT_EQ(e->run_list[k].run_value, c.runs[k].run_value) << k;
            EXPECT_EQ(e->run_list[k].start, c.runs[k].start) << k;
        }
        EXPECT_EQ(z.array->used_bytes, 16 + e->nrec * 8);
        std::vector<float> out(length, -7.0f);
        rle_expand(z.array.a, e, out.data());
        EXPECT_EQ(out, c.expanded);
        for (std::size_t i = 0; i < line.size(); ++i)
            if (std::fabs(c.line[i]) < 1e-37f) {
                EXPECT_EQ(line[i], 0.0f);
            }
    }
}

TEST(RleCompress, EqualRunsShareOneList)
{
    // Lines of equal values share the first line's list, each with its own max;
    // equal values at other places hash alike but are kept apart by the bytes.
    struct Case { std::vector<std::vector<float>> lines; std::vector<int> borrows_from; };
    const Case cases[] = {
        {{{3, 3, 3}, {5, 5, 5}, {-1, -1, -1}}, {-1, 0, -1}},
        {{{1, 2, 2}, {1, 1, 2}, {2, 4, 4}}, {-1, -1, -1}},
        {{{0, 0, 0}, {1e-38f, 0, 0}, {0, 0, 0}}, {-1, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto n = static_cast<std::int32_t>(c.lines.size());
        Compressor z(n, 3);
        int shared = 0;
        for (std::int32_t i = 0; i < n; ++i) {
            std::vector<float> line = c.lines[i];
            ASSERT_EQ(z.put(i, line, false), nullptr);
            const int from = c.borrows_from[i];
            EXPECT_EQ(z.line(i)->fresh, from < 0 ? 1 : 0) << i;
            if (from >= 0) {
                EXPECT_EQ(z.line(i)->run_list, z.line(from)->run_list) << i;
                ++shared;
            }
        }
        EXPECT_EQ(z.array->shared_lines, shared);
    }
    // The later list takes the slot; the displaced one stays valid.
    Compressor z(4, 3);
    std::vector<std::vector<float>> lines = {{1, 2, 2}, {1, 1, 2}, {2, 2, 4}, {2, 4, 4}};
    for (std::int32_t i = 0; i < 4; ++i) ASSERT_EQ(z.put(i, lines[i], false), nullptr);
    EXPECT_EQ(z.line(2)->run_list, z.line(1)->run_list);
    EXPECT_EQ(z.line(3)->fresh, 1);
    EXPECT_EQ(z.line(0)->run_list[1].start, 1);
}

TEST(RleRepeat, AsTheCompressorOnTheSameLineAgain)
{
    // Each sequence ends with a repeat of its line before last: compressing it
    // and rle_repeat give the same entry and counters.
    const float pi = 3.1415927f;
    const std::vector<std::vector<std::vector<float>>> sequences = {
        {{1, 1, 2}, {1, 1, 2}},
        {{3, 3, 3}, {5, 5, 5}, {5, 5, 5}},               // the line before borrowed
        {{0, 0, 0}, {1e-38f, 0, 0}, {1e-38f, 0, 0}},     // flushed to 0
        {{pi, pi, 1}, {pi, pi, 1}},
        {{1, 2, 2}, {1, 1, 2}, {2, 2, 4}, {2, 2, 4}},    // its list displaced another
    };
    for (const auto& lines : sequences) {
        const auto n = static_cast<std::int32_t>(lines.size());
        Compressor compressed(n, 3), repeated(n, 3);
        for (std::int32_t i = 0; i < n; ++i) {
            std::vector<float> a = lines[i], b = lines[i];
            ASSERT_EQ(compressed.put(i, a, false), nullptr);
            if (i < n - 1) {
                ASSERT_EQ(repeated.put(i, b, false), nullptr);
            } else {
                rle_repeat(repeated.array.a, repeated.line(i), repeated.line(i - 1));
            }
        }
        const RleEntry* want = compressed.line(n - 1);
        const RleEntry* got = repeated.line(n - 1);
        SCOPED_TRACE(describe(runs_of(want)));
        EXPECT_EQ(got->max, want->max);
        EXPECT_EQ(got->fresh, 0);
        EXPECT_EQ(want->fresh, 0);
        EXPECT_EQ(got->nrec, want->nrec);
        EXPECT_EQ(want->run_list, compressed.line(n - 2)->run_list);
        EXPECT_EQ(got->run_list, repeated.line(n - 2)->run_list);
        EXPECT_EQ(repeated.array->shared_lines, compressed.array->shared_lines);
        EXPECT_EQ(repeated.array->used_bytes, compressed.array->used_bytes);
    }
}

TEST(RleCompress, SnappingWithinTolerance)
{
    struct Case { float tol; bool tolerant; bool snapped; };
    const Case cases[] = {
        {1e-6f, true, true},
        {1e-8f, true, false},
        {1e-6f, false, false},
    };
    const float saved = rel_tol;
    for (const Case& c : cases) {
        rel_tol = c.tol;
        Compressor z(2, 3);
        std::vector<float> first = {0.5f, 1, 1}, second = {0.5000001f, 1, 1};
        ASSERT_EQ(z.put(0, first, c.tolerant), nullptr);
        ASSERT_EQ(z.put(1, second, c.tolerant), nullptr);
        SCOPED_TRACE(c.tol);
        EXPECT_EQ(z.line(1)->run_list[0].run_value, c.snapped ? 0.5f : 0.5000001f);
        EXPECT_EQ(z.line(1)->fresh, c.snapped ? 0 : 1);
        EXPECT_EQ(z.array->shared_lines, c.snapped ? 1 : 0);
        if (c.snapped) {
            EXPECT_EQ(z.line(1)->run_list, z.line(0)->run_list);
        }
    }
    rel_tol = saved;
}

TEST(RleCompress, NonFiniteValuesFailTheCheck)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case { std::vector<float> line; const char* diagnostic; };
    const Case cases[] = {
        {{1, nan, 2}, "cur nan max 2.000000000000000e+00\n"},
        {{1, inf}, "cur inf max inf\n"},
        {{-inf, 0}, "cur -inf max inf\n"},
    };
    for (const Case& c : cases) {
        Compressor z(1, static_cast<std::int32_t>(c.line.size()));
        std::vector<float> line = c.line;
        testing::internal::CaptureStderr();
        const frame::Check* failed = z.put(0, line, true);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.diagnostic);
        ASSERT_NE(failed, nullptr);
        EXPECT_STREQ(failed->condition, "fhsha<RLE_NHFLT && fhsha>=0");
        EXPECT_STREQ(failed->source, "rle");
        EXPECT_EQ(failed->line, 277);
    }
}

TEST(LineHashStep, SinglePrecisionSteps)
{
    // Expected values from an independent float32 evaluation of the steps.
    struct Case { float h, v; std::uint32_t bits; };
    const Case cases[] = {
        {0.0f, 0.0f, 0x3ca1c000},
        {0.0f, 1.0f, 0x3f081800},
        {0.25f, -1.0f, 0x3e771e00},
        {0.9f, 0.5f, 0x3e198000},
        {0.5f, -0.3f, 0x3f257000},
    };
    for (const Case& c : cases) {
        const float r = line_hash_step(c.h, c.v);
        std::uint32_t bits;
        std::memcpy(&bits, &r, 4);
        EXPECT_EQ(bits, c.bits) << c.h << " " << c.v;
    }
    for (float h = 0.0f; h < 1.0f; h += 0.0625f)
        for (float v = -1.0f; v <= 1.0f; v += 0.125f) {
            const float r = line_hash_step(h, v);
            EXPECT_TRUE(r >= 0.0f && r < 1.0f);
        }
}
