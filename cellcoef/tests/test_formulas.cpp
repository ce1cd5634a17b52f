#include "formulas.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using cellcoef::recover_parameters;
using cellcoef::update_coefficients;

TEST(UpdateCoefficients, KnownPairs)
{
    struct Case { double a, b; float pm, pl; };
    const Case cases[] = {
        {1, 0, 1.0f, 1.0f},
        {1, 2, 0.5f, 0.0f},
        {0, 0, 0.0f, 1.0f},
        {0, 2, 0.0f, 1.0f},  // pl = -1 falls below -0.999999
    };
    for (const Case& c : cases) {
        float pm, pl;
        update_coefficients(c.a, c.b, &pm, &pl);
        EXPECT_EQ(pm, c.pm) << c.a << ", " << c.b;
        EXPECT_EQ(pl, c.pl) << c.a << ", " << c.b;
    }
}

TEST(RecoverParameters, KnownPairs)
{
    float a, b;
    recover_parameters(0.5, 0.0, &a, &b);
    EXPECT_EQ(a, 1.0f);
    EXPECT_EQ(b, 2.0f);
    recover_parameters(0.0, 0.3, &a, &b);
    EXPECT_EQ(a, 0.0f);
    EXPECT_EQ(b, 1e30f);
}

namespace {

using cellcoef::LossProfile;

// Row buffers of one line: rows of n floats back to back, as dispatch holds them.
struct Line {
    int n;
    std::vector<float> pm, pl;
    std::vector<std::int32_t> npm, npl;
    std::vector<std::int16_t> codes;

    Line(int n_, std::initializer_list<std::int16_t> c)
        : n(n_), pm(cellcoef::MAX_ROWS * n_), pl(cellcoef::MAX_ROWS * n_), npm(n_, 6),
          npl(n_, 6), codes(c)
    {
    }
    float& pm_at(int k, int x) { return pm[k * n + x]; }
    float& pl_at(int k, int x) { return pl[k * n + x]; }
};

// Profiles of `positions` positions, 4 bytes apart, column after column.
struct Profile {
    int positions;
    std::vector<float> values;
    explicit Profile(int p) : positions(p), values(p * cellcoef::LOSS_COLUMNS, 0.0f) {}
    float& at(int p, int m) { return values[m * positions + p]; }
    LossProfile view() const
    {
        return {reinterpret_cast<const char*>(values.data()),
                {4, static_cast<std::ptrdiff_t>(4 * positions)}};
    }
};

void fill_pairs(Line& line, int x, int rows)
{
    for (int k = 0; k < rows; ++k)
        cellcoef::update_coefficients(1.0 + 0.25 * k, 0.5 + 0.125 * k, &line.pm_at(k, x),
                                      &line.pl_at(k, x));
}

}  // namespace

// One split-loss cell (x 1 of line z 2, y 0) beside a plain cell: every new row
// m comes from component m / 2 and from column m of the profiles at the cell's
// own positions.
TEST(SplitLoss, ProfilesPerColumn)
{
    struct Case {
        const char* what;
        float sx, sy, sz;
    };
    const Case cases[] = {
        {"all zero: no loss", 0.0f, 0.0f, 0.0f},
        {"negative x element doubles the loss", -0.1f, 0.0f, 0.0f},
        {"positive elements add up", 0.1f, 0.2f, 0.05f},
        {"negative z element", 0.1f, 0.0f, -0.3f},
        {"sum below 1e-7 counts as none", 2e-8f, 3e-8f, 0.0f},
    };
    const int column = 5;  // component 2, second half
    for (const Case& c : cases) {
        Line line(3, {0x0007, 0x0407, 0x0007});
        for (int x = 0; x < 3; ++x) fill_pairs(line, x, 6);
        const Line before = line;
        Profile px(3), py(1), pz(3);
        px.at(1, column) = c.sx;
        py.at(0, column) = c.sy;
        pz.at(2, column) = c.sz;
        // Elements at other positions or columns must not be read for this cell.
        px.at(0, column) = px.at(2, column) = 7.0f;
        pz.at(1, column) = 7.0f;
        const LossProfile profiles[3] = {px.view(), py.view(), pz.view()};
        cellcoef::apply_split_loss(profiles, 3, 0, 2, line.codes.data(), line.pm.data(),
                                   line.npm.data(), line.pl.data(), line.npl.data());
        SCOPED_TRACE(c.what);
        EXPECT_EQ(line.codes[1], 0x04c7);
        EXPECT_EQ(line.npm[1], 12);
        EXPECT_EQ(line.npl[1], 12);
        for (int m = 0; m < 12; ++m) {
            const float q = before.pm[(m / 2) * 3 + 1], r = before.pl[(m / 2) * 3 + 1];
            float f = 1.0f, e = 1.0f, g = 1.0f;
            if (m == column) {
                float s = std::fabs(c.sx) + std::fabs(c.sy) + std::fabs(c.sz);
                if (c.sx < 0 || c.sy < 0 || c.sz < 0) f = 2.0f, s = 2.0f * s;
                if (s >= 1e-7) {
                    e = static_cast<float>(std::exp(-static_cast<double>(s)));
                    g = (1.0f - e) / s;
                }
            }
            EXPECT_EQ(line.pm_at(m, 1), f * q * g) << "row " << m;
            EXPECT_EQ(line.pl_at(m, 1), e * r) << "row " << m;
        }
        for (int x : {0, 2}) {
            EXPECT_EQ(line.codes[x], 0x0007);
            EXPECT_EQ(line.npm[x], 6);
            for (int k = 0; k < 12; ++k) EXPECT_EQ(line.pm_at(k, x), before.pm[k * 3 + x]);
        }
    }
}

TEST(SplitLoss, NegativeElementValues)
{
    // sx = -0.1: s = 0.2, f = 2, e = exp(-0.2), g = (1 - e) / 0.2.
    Line line(1, {0x0400});
    line.pm_at(0, 0) = 0.5f;
    line.pl_at(0, 0) = 0.25f;
    Profile px(1), py(1), pz(1);
    px.at(0, 0) = -0.1f;
    const LossProfile profiles[3] = {px.view(), py.view(), pz.view()};
    cellcoef::apply_split_loss(profiles, 1, 0, 0, line.codes.data(), line.pm.data(),
                               line.npm.data(), line.pl.data(), line.npl.data());
    const float e = static_cast<float>(std::exp(-0.2));
    EXPECT_FLOAT_EQ(line.pl_at(0, 0), 0.25f * e);
    EXPECT_FLOAT_EQ(line.pm_at(0, 0), 2.0f * 0.5f * (1.0f - e) / 0.2f);
    EXPECT_EQ(line.pm_at(1, 0), 0.5f);  // column 1 holds no loss
    EXPECT_EQ(line.codes[0], 0x04c0);
}

TEST(Lumped, TwoTermsOnlyRecomputeTheMainRows)
{
    Line line(2, {0x0807, 0x0007});
    for (int x = 0; x < 2; ++x) fill_pairs(line, x, 6);
    const Line before = line;
    cellcoef::apply_lumped(0.5, 2, line.codes.data(), line.pm.data(), line.npm.data(),
                           line.pl.data(), line.npl.data(), 2, 0);
    EXPECT_EQ(line.codes[0], 0x08c7);
    EXPECT_EQ(line.npm[0], 6);
    EXPECT_EQ(line.npl[0], 6);
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(line.pm_at(k, 0), before.pm[k * 2], 1e-6f * before.pm[k * 2]) << k;
        EXPECT_NEAR(line.pl_at(k, 0), before.pl[k * 2], 1e-6f) << k;
    }
    for (int k = 3; k < 6; ++k) EXPECT_EQ(line.pm_at(k, 0), before.pm[k * 2]);
    EXPECT_EQ(line.codes[1], 0x0007);
    EXPECT_EQ(line.npm[1], 6);
    EXPECT_EQ(line.pm_at(0, 1), before.pm[1]);
}

// A third term folded as a parallel term (ntail 0) or as a series tail (ntail
// 1); component 1 has pm 0 and stays as it is.
TEST(Lumped, ThirdTermParallelOrTail)
{
    const double p = 0.25;
    for (int ntail : {0, 1}) {
        SCOPED_TRACE(ntail);
        Line line(1, {0x0800});
        float a0, b0, a2, b2;
        for (int i = 0; i < 3; ++i) {
            cellcoef::update_coefficients(1.0, 0.5, &line.pm_at(i, 0), &line.pl_at(i, 0));
            cellcoef::update_coefficients(2.0, 0.25, &line.pm_at(6 + i, 0), &line.pl_at(6 + i, 0));
        }
        line.pm_at(1, 0) = 0.0f;
        line.pl_at(1, 0) = 1.0f;
        cellcoef::recover_parameters(line.pm_at(0, 0), line.pl_at(0, 0), &a0, &b0);
        cellcoef::recover_parameters(line.pm_at(6, 0), line.pl_at(6, 0), &a2, &b2);
        const float pm2 = line.pm_at(6, 0);
        cellcoef::apply_lumped(p, 1, line.codes.data(), line.pm.data(), line.npm.data(),
                               line.pl.data(), line.npl.data(), 3, ntail);
        float pm, pl;
        if (ntail == 0) {
            const float s = 1.0f / a2;
            cellcoef::update_coefficients(static_cast<float>(a0 + s / p), b0, &pm, &pl);
        } else {
            cellcoef::update_coefficients(a0, b0 + b2, &pm, &pl);
        }
        EXPECT_EQ(line.pm_at(0, 0), pm);
        EXPECT_EQ(line.pl_at(0, 0), pl);
        const float tail = ntail == 0 ? pm2 : -(b2 * b2) * pm2;
        EXPECT_EQ(line.pm_at(6, 0), tail * pm);
        EXPECT_EQ(line.pm_at(1, 0), 0.0f);
        EXPECT_EQ(line.pl_at(1, 0), 1.0f);
        EXPECT_EQ(line.pm_at(7, 0), 0.0f * pm2);  // scaled by the unchanged pm 0
        EXPECT_EQ(line.npm[0], 9);
        EXPECT_EQ(line.codes[0], 0x08c0);
    }
}

TEST(ScalePlainCells, SinglePrecisionFactorOnPlainCellsOnly)
{
    Line line(3, {0x0007, 0x0407, 0x0807});
    for (int x = 0; x < 3; ++x) fill_pairs(line, x, 6);
    const Line before = line;
    const float f1[6] = {1.0f / 3.0f, 0.1f, 0.7f, 1.0f, 2.0f, 3.0f};
    const float f2[6] = {3.0f, 0.3f, 1.1f, 1.0f, 0.5f, 1.0f / 7.0f};
    cellcoef::scale_plain_cells(3, line.codes.data(), line.pm.data(), f1, f2);
    bool some_row_rounds_differently = false;
    for (int j = 0; j < 6; ++j) {
        const float factor = f1[j] * f2[j];
        EXPECT_EQ(line.pm_at(j, 0), factor * before.pm[j * 3]) << j;
        some_row_rounds_differently |=
            line.pm_at(j, 0) != static_cast<float>(double(f1[j]) * f2[j] * before.pm[j * 3]);
        for (int x : {1, 2}) EXPECT_EQ(line.pm_at(j, x), before.pm[j * 3 + x]);
    }
    EXPECT_TRUE(some_row_rounds_differently) << "the factors do not tell the precisions apart";
}
