// The conversions of the host's reals to integers, over the values that trip
// up a plain cast.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "real_convert.hpp"

namespace torvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
const double TwoPow31 = std::ldexp(1.0, 31);
const double TwoPow53 = std::ldexp(1.0, 53);
const double TwoPow63 = std::ldexp(1.0, 63);
const double TwoPow64 = std::ldexp(1.0, 64);

TEST(RealConvert, IndexIsTestedAsARealThenTruncated) {
    struct Case {
        double value;
        bool accepted;
        int32_t index;
    };
    const Case cases[] = {
        {0.0, true, 0},     {-0.0, true, 0},    {0.99, true, 0},      {2.9, true, 2},
        {9.999, true, 9},   {10.0, false, 0},   {-0.5, false, 0},     {-1.5, false, 0},
        {NaN, false, 0},    {-NaN, false, 0},   {Inf, false, 0},      {-Inf, false, 0},
        {TwoPow31, false, 0}, {TwoPow63, false, 0}, {1e300, false, 0}, {-1e300, false, 0},
        {std::numeric_limits<double>::denorm_min(), true, 0},
    };
    for (const Case& c : cases) {
        int32_t index = -7;
        EXPECT_EQ(TruncateIndex(c.value, 10.0, index), c.accepted) << c.value;
        EXPECT_EQ(index, c.accepted ? c.index : -7) << "a refused value leaves the index alone: " << c.value;
    }
}

TEST(RealConvert, Low32BitsOfTheTruncatedValue) {
    struct Case {
        double value;
        uint32_t bits;
    };
    const Case cases[] = {
        {0.0, 0u},          {-0.0, 0u},          {2.9, 2u},           {-1.5, 0xFFFFFFFFu},
        {-0.5, 0u},         {0.99, 0u},          {NaN, 0u},           {Inf, 0u},
        {-Inf, 0u},         {TwoPow31, 0x80000000u}, {TwoPow53, 0u},  {TwoPow53 + 8, 8u},
        {TwoPow63, 0u},     {-TwoPow63, 0u},     {TwoPow64, 0u},      {1e300, 0u},
        {-1e300, 0u},       {16777216.0, 16777216u}, {-1.0, 0xFFFFFFFFu}, {4294967297.0, 1u},
    };
    for (const Case& c : cases) EXPECT_EQ(TruncateLow32Bits(c.value), c.bits) << c.value;
    EXPECT_EQ(TruncateLow32BitsSigned(-1.5), -1);
    EXPECT_EQ(TruncateLow32BitsSigned(2.9), 2);
    EXPECT_EQ(TruncateLow32BitsSigned(TwoPow31), std::numeric_limits<int32_t>::min());
}

TEST(RealConvert, NearestFloatRoundsLikeIeee) {
    const float largest = std::numeric_limits<float>::max();
    EXPECT_EQ(NearestFloat(0.1), 0.1f);
    EXPECT_EQ(NearestFloat(-2.5), -2.5f);
    EXPECT_EQ(NearestFloat(1e300), INFINITY);
    EXPECT_EQ(NearestFloat(-1e300), -INFINITY);
    EXPECT_EQ(NearestFloat(Inf), INFINITY);
    EXPECT_EQ(NearestFloat(static_cast<double>(largest) * (1 + 1e-9)), largest);  // within half an ulp
    EXPECT_EQ(NearestFloat(std::ldexp(1.0, 128) - std::ldexp(1.0, 103)), INFINITY);  // the halfway point
    EXPECT_TRUE(std::isnan(NearestFloat(NaN)));
    EXPECT_EQ(NearestFloat(std::numeric_limits<double>::denorm_min()), 0.0f);
}

}  // namespace
}  // namespace torvane
