#include <gtest/gtest.h>

#include "ynet/cpu_info.h"
#include "ynet/run_env.h"
#include "ynet/tensor.h"

using namespace YNet;

namespace {

// A processor with everything, on a modern OS.
CpuInfo fullRecord() {
    CpuInfo c;
    c.maxLeaf = 13;
    c.leaf1Ecx = (1u << 12) | (1u << 19) | (1u << 27) | (1u << 28) | (1u << 29);
    c.leaf7Ebx = (1u << 5) | (1u << 16);
    c.leaf13Eax = 0x7;
    c.osModern = true;
    return c;
}

}  // namespace

TEST(CpuInfo, PredicatesAndReportFromRecords) {
    CpuInfo full = fullRecord();
    EXPECT_TRUE(full.avx() && full.avx2() && full.fma() && full.sse41() && full.avx512f() &&
                full.f16c());
    EXPECT_EQ(full.report(), "Support AVX512F!\nSupport AVX2!\nSupport AVX!\nSupport F16C!\n");

    CpuInfo noState = full;
    noState.leaf13Eax = 0x3;  // bit 2 (upper YMM halves) missing
    noState.leaf7Ebx &= ~(1u << 16);
    EXPECT_EQ(noState.report(),
              "Not support AVX512F!\nNot support AVX2!\nNot support AVX!\nSupport F16C!\n");

    CpuInfo oldOs = full;
    oldOs.osModern = false;
    EXPECT_EQ(oldOs.report(),
              "Support AVX512F!\nNot support AVX2!\nNot support AVX!\nSupport F16C!\n");

    CpuInfo noOsxsave = full;
    noOsxsave.leaf1Ecx &= ~(1u << 27);
    EXPECT_FALSE(noOsxsave.avx());
    EXPECT_FALSE(noOsxsave.avx2());

    CpuInfo onlyAvx512;
    onlyAvx512.leaf7Ebx = 1u << 16;
    EXPECT_EQ(onlyAvx512.report(),
              "Support AVX512F!\nNot support AVX2!\nNot support AVX!\nNot support F16C!\n");

    // A processor whose maxLeaf is below 7 never fills leaf 7.
    const CpuInfo& hw = CpuInfo::hardware();
    if (hw.maxLeaf < 7) {
        EXPECT_EQ(hw.leaf7Ebx, 0u);
    }
    EXPECT_EQ(hw.isIntel, hw.vendor == "GenuineIntel");
    EXPECT_EQ(hw.vendor.size(), 12u);
    EXPECT_TRUE(hw.osModern);  // the stand-in reports 10.0
    uint32_t major = 0, minor = 0;
    osVersion(major, minor);
    EXPECT_EQ(major, 10u);
}

TEST(CpuInfo, LimitedToClearsHigherTiers) {
    const CpuInfo full = fullRecord();
    const CpuInfo portable = full.limitedTo(IsaLevel::Portable);
    EXPECT_FALSE(portable.sse41() || portable.avx() || portable.avx2() || portable.fma() ||
                 portable.f16c() || portable.avx512f());
    const CpuInfo sse = full.limitedTo(IsaLevel::Sse41);
    EXPECT_TRUE(sse.sse41());
    EXPECT_FALSE(sse.avx() || sse.f16c());
    const CpuInfo avx = full.limitedTo(IsaLevel::Avx);
    EXPECT_TRUE(avx.avx() && avx.f16c() && avx.sse41());
    EXPECT_FALSE(avx.avx2() || avx.fma());
    const CpuInfo avxFma = full.limitedTo(IsaLevel::AvxFma);
    EXPECT_TRUE(avxFma.avx() && avxFma.fma() && avxFma.f16c());
    EXPECT_FALSE(avxFma.avx2());
    const CpuInfo top = full.limitedTo(IsaLevel::Avx2Fma);
    EXPECT_TRUE(top.avx2() && top.fma());
    EXPECT_FALSE(top.avx512f());
}

TEST(CpuInfo, ForcesEverySupportedLevel) {
    const std::vector<IsaLevel> levels = CpuInfo::supportedLevels();
    ASSERT_EQ(levels.front(), IsaLevel::Portable);
    std::vector<uint16_t> halves(37);
    for (size_t i = 0; i < halves.size(); ++i) halves[i] = uint16_t(0x3000 + 97 * i);
    for (IsaLevel level : levels) {
        ScopedCpuOverride guard(level);
        const CpuInfo& cpu = CpuInfo::get();
        EXPECT_EQ(cpu.sse41(), level >= IsaLevel::Sse41) << isaLevelName(level);
        EXPECT_EQ(cpu.avx(), level >= IsaLevel::Avx) << isaLevelName(level);
        EXPECT_EQ(cpu.fma(), level >= IsaLevel::AvxFma) << isaLevelName(level);
        EXPECT_EQ(cpu.avx2(), level == IsaLevel::Avx2Fma) << isaLevelName(level);
        std::vector<float> out(halves.size());
        halfToFloatArray(halves.size(), halves.data(), out.data());
        for (size_t i = 0; i < halves.size(); ++i)
            ASSERT_EQ(out[i], halfToFloatScalar(halves[i])) << isaLevelName(level);
    }
    EXPECT_EQ(&CpuInfo::get(), &CpuInfo::hardware());
    {
        ScopedCpuOverride outer(fullRecord());
        {
            ScopedCpuOverride inner(IsaLevel::Sse41);
            EXPECT_FALSE(CpuInfo::get().avx());
        }
        EXPECT_TRUE(CpuInfo::get().avx512f());
    }
    EXPECT_EQ(&CpuInfo::get(), &CpuInfo::hardware());
}

TEST(CpuInfo, X86EnvironmentPrintsReportEachTime) {
    testing::internal::CaptureStdout();
    { x86::RunEnv a; x86::RunEnv b; EXPECT_EQ(a.backendIndex(), 3); }
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string report = CpuInfo::get().report();
    EXPECT_EQ(out, report + report);
    EXPECT_EQ(&CpuInfo::hardware(), &CpuInfo::hardware());
}
