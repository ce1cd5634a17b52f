#include "formulas.hpp"

#include <gtest/gtest.h>

using cellcoef::recover_parameters;
using cellcoef::update_coefficients;

TEST(UpdateCoefficients, DocumentedPairs)
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

TEST(RecoverParameters, DocumentedPairs)
{
    float a, b;
    recover_parameters(0.5, 0.0, &a, &b);
    EXPECT_EQ(a, 1.0f);
    EXPECT_EQ(b, 2.0f);
    recover_parameters(0.0, 0.3, &a, &b);
    EXPECT_EQ(a, 0.0f);
    EXPECT_EQ(b, 1e30f);
}
