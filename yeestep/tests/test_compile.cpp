// The compile of run records into segments: independent of where the runs are
// cut, uniform where cells agree, per-cell coefficients where they do not,
// deduplicated, and refusing records outside the store.
#include "compile.hpp"
#include "lowmem.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace yeestep;

namespace {

constexpr int NX = 24;

bool in_store(std::uintptr_t address, std::size_t bytes)
{
    return cellcoef::lowmem_holds(reinterpret_cast<const void*>(address), bytes);
}

std::int32_t address(const float* p)
{
    return static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(p));
}

// One line of plain, lossless cells (code 0x3f) whose Ex pm is `pm[x]`,
// every other component 1, cut into runs of `run` cells: records and the
// store memory they point at.
struct Line {
    std::vector<RunRecord> records;
    std::int64_t lines[2] = {0, 0};
    std::int64_t no_lines[2] = {0, 0};
    std::vector<double> spacing = std::vector<double>(NX, 1e-3);
    std::vector<double> unit = std::vector<double>(1, 1e-3);

    Line(const std::vector<float>& pm, int run)
    {
        float* aux = static_cast<float*>(cellcoef::lowmem_alloc(6 * sizeof(float)));
        for (int i = 0; i < 6; ++i) aux[i] = 1e-3f;
        for (int x = 0; x < NX; x += run) {
            float* params = static_cast<float*>(cellcoef::lowmem_alloc(6 * run * sizeof(float)));
            for (int c = 0; c < run; ++c) {
                for (int row = 0; row < 6; ++row) params[6 * c + row] = 1.0f;
                params[6 * c] = pm[static_cast<std::size_t>(x + c)];
            }
            records.push_back({x, run, address(params), 0x3f | (run > 1 ? 0x100 : 0), address(aux)});
        }
        lines[1] = static_cast<std::int64_t>(records.size());
    }

    CompileInput input() const
    {
        CompileInput in{};
        in.nx = NX;
        in.ny = in.nz = 1;
        in.tables[0] = {records.data(), static_cast<std::int64_t>(records.size()), lines};
        in.tables[1] = {records.data(), 0, no_lines};
        for (int n = 0; n < 6; ++n) in.spacings[n] = n < 2 ? spacing.data() : unit.data();
        in.group_width = 1;
        in.nterms = 2;
        in.boundary = LOW_PEC_X | LOW_PEC_Y | LOW_PEC_Z;
        in.store_contains = in_store;
        return in;
    }
};

// Each Ex segment's (x0, len, kind) and its cells' coefficients.
std::vector<std::vector<float>> ex_segments(const Plan& plan)
{
    std::vector<std::vector<float>> out;
    const std::int64_t* first = plan.line_first(HALF_E, 0, 0);
    for (std::int64_t n = first[0]; n < first[1]; ++n) {
        const Segment& s = plan.segments[HALF_E][n];
        std::vector<float> seg{static_cast<float>(s.x0), static_cast<float>(s.len),
                               static_cast<float>(static_cast<int>(s.kind))};
        const bool varying = s.kind == Kind::plain_varying;
        for (int t = 0; t < s.len; ++t)
            for (int q = 0; q < PLAIN_COEFS; ++q)
                seg.push_back(plan.coefs[s.coef + (varying ? q * s.len + t : q)]);
        out.push_back(seg);
    }
    return out;
}

TEST(Compile, SegmentsDoNotDependOnRunCuts)
{
    std::vector<float> pm(NX, 0.5f);
    for (int x = 3; x < 7; ++x) pm[x] = 0.25f + 0.01f * x;  // varying cells 3 to 6
    Refusal refusal;
    std::vector<std::vector<std::vector<float>>> seen;
    for (int run : {1, 2, 4, 24}) {
        const Line line(pm, run);
        auto plan = compile(line.input(), refusal);
        ASSERT_TRUE(plan) << refusal.what;
        seen.push_back(ex_segments(*plan));
    }
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
    // cells 0 to 6 (shorter than a uniform stretch) vary, 7 to 23 are uniform
    ASSERT_EQ(seen[0].size(), 2u);
    EXPECT_EQ(seen[0][0][0], 0);
    EXPECT_EQ(seen[0][0][1], 7);
    EXPECT_EQ(seen[0][0][2], static_cast<float>(static_cast<int>(Kind::plain_varying)));
    EXPECT_EQ(seen[0][1][0], 7);
    EXPECT_EQ(seen[0][1][1], 17);
    EXPECT_EQ(seen[0][1][2], static_cast<float>(static_cast<int>(Kind::plain)));
}

TEST(Compile, RefusesRecordsOutsideTheStoreAndBrokenTiling)
{
    Refusal refusal;
    Line outside(std::vector<float>(NX, 0.5f), 4);
    outside.records[2].params = 64;
    EXPECT_FALSE(compile(outside.input(), refusal));
    EXPECT_STREQ(refusal.what, "Record outside the store");
    EXPECT_STREQ(refusal.name, "records0");
    Line gap(std::vector<float>(NX, 0.5f), 4);
    gap.records[2].x += 1;
    refusal = {};
    EXPECT_FALSE(compile(gap.input(), refusal));
    EXPECT_STREQ(refusal.what, "Invalid run table");
}

}  // namespace
