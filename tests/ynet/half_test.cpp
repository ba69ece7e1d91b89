// Both conversion paths over every half bit pattern against a reference
// built from ldexp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "ynet/cpu_info.h"
#include "ynet/tensor.h"

using namespace YNet;

namespace {

float referenceHalf(uint16_t h) {
    const int e = (h >> 10) & 31, m = h & 1023;
    float v;
    if (e == 31) v = m ? NAN : INFINITY;
    else if (e == 0) v = std::ldexp(float(m), -24);
    else v = std::ldexp(float(1024 + m), e - 25);
    return (h & 0x8000) ? -v : v;
}

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

bool hardwarePath() { return CpuInfo::hardware().f16c() && CpuInfo::hardware().avx(); }

// Converts every pattern through halfToFloatArray under the given record;
// the odd count leaves a scalar tail after the groups of eight.
std::vector<float> allPatterns(IsaLevel level) {
    ScopedCpuOverride guard(level);
    std::vector<uint16_t> in(65536 + 5);
    for (size_t i = 0; i < in.size(); ++i) in[i] = uint16_t(i);
    std::vector<float> out(in.size());
    halfToFloatArray(in.size(), in.data(), out.data());
    return out;
}

}  // namespace

TEST(Half, EveryPatternBothPaths) {
    const std::vector<float> scalar = allPatterns(IsaLevel::Portable);
    const std::vector<float> hw = allPatterns(CpuInfo::supportedLevels().back());
    for (uint32_t i = 0; i < 65536 + 5; ++i) {
        const uint16_t h = uint16_t(i);
        const float ref = referenceHalf(h);
        for (float got : {scalar[i], hw[i]}) {
            if (std::isnan(ref)) {
                ASSERT_TRUE(std::isnan(got)) << std::hex << h;
                ASSERT_EQ(std::signbit(got), bool(h & 0x8000)) << std::hex << h;
            } else {
                ASSERT_EQ(bits(got), bits(ref)) << std::hex << h;
            }
        }
        // The scalar rule keeps NaN payloads the way the hardware does.
        ASSERT_EQ(bits(scalar[i]), bits(hw[i])) << std::hex << h;
        ASSERT_EQ(bits(halfToFloatScalar(h)), bits(scalar[i])) << std::hex << h;
    }
    EXPECT_EQ(halfToFloatScalar(0x7C00), INFINITY);
    EXPECT_EQ(halfToFloatScalar(0xFC00), -INFINITY);
    EXPECT_EQ(halfToFloatScalar(0x0001), std::ldexp(1.0f, -24));
}

TEST(Half, EveryFiniteValueRoundTripsOnBothPaths) {
    std::vector<float> values;
    std::vector<uint16_t> patterns;
    for (uint32_t i = 0; i < 65536; ++i) {
        if ((i & 0x7C00) == 0x7C00 && (i & 0x3FF)) continue;
        patterns.push_back(uint16_t(i));
        values.push_back(referenceHalf(uint16_t(i)));
    }
    for (IsaLevel level : {IsaLevel::Portable, CpuInfo::supportedLevels().back()}) {
        ScopedCpuOverride guard(level);
        std::vector<uint16_t> out(values.size());
        floatToHalfArray(values.size(), values.data(), out.data());
        for (size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(out[i], patterns[i]) << isaLevelName(level) << " " << values[i];
    }
}

TEST(Half, FloatToHalfRounding) {
    struct Case {
        float value;
        uint16_t truncated, nearestEven;
    };
    const float ulp = std::ldexp(1.0f, -10);
    const Case cases[] = {
        {1.0f, 0x3C00, 0x3C00},
        {std::ldexp(1.0f, -24), 0x0001, 0x0001},
        {-2.5f, 0xC100, 0xC100},
        {1.0f + 0.75f * ulp, 0x3C00, 0x3C01},
        {1.0f + 0.5f * ulp, 0x3C00, 0x3C00},
        {1.0f + 1.5f * ulp, 0x3C01, 0x3C02},
        {std::ldexp(3.0f, -25), 0x0001, 0x0002},
        {std::ldexp(1.0f, -26), 0x0000, 0x0000},
        {-std::ldexp(1.0f, -30), 0x8000, 0x8000},
        {65504.0f, 0x7BFF, 0x7BFF},
        {65519.0f, 0x7BFF, 0x7BFF},
        {1.0e6f, 0x7C00, 0x7C00},
        {-1.0e6f, 0xFC00, 0xFC00},
        {INFINITY, 0x7C00, 0x7C00},
        {-INFINITY, 0xFC00, 0xFC00},
        {std::ldexp(1.0f, -14), 0x0400, 0x0400},
        {std::ldexp(1.0f, -14) * 0.999f, 0x03FE, 0x03FF},
    };
    const size_t n = sizeof cases / sizeof cases[0];
    // Eight copies of each value so the hardware path sees full groups.
    std::vector<float> in;
    for (const Case& c : cases) in.insert(in.end(), 8, c.value);
    for (IsaLevel level : {IsaLevel::Portable, CpuInfo::supportedLevels().back()}) {
        ScopedCpuOverride guard(level);
        std::vector<uint16_t> out(in.size());
        floatToHalfArray(in.size(), in.data(), out.data());
        const bool rounds = level != IsaLevel::Portable && hardwarePath();
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(out[8 * i], rounds ? cases[i].nearestEven : cases[i].truncated)
                << isaLevelName(level) << " " << cases[i].value;
    }
    EXPECT_EQ(floatToHalfScalar(NAN), 0x7FFF);
    if (hardwarePath()) {
        const std::vector<float> eight(8, NAN);
        std::vector<uint16_t> out(8);
        floatToHalfArray(8, eight.data(), out.data());
        EXPECT_EQ(out[0] & 0x7C00, 0x7C00);
        EXPECT_NE(out[0] & 0x3FF, 0);
    }
}
