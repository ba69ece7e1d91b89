// Quantized kernels: exact integer column sums, the float-output kernels
// against references that dequantize the same way, and the fixed-point
// requantization against hand-computed values.
#include <cmath>

#include "impl_x86/gemm/gemm_kernels.h"
#include "tests/layers/gemm/gemm_test_util.h"
#include "ynet/cpu_info.h"

using namespace YNet;
using namespace gemmtest;
using test_support::uniformFloats;

namespace {

template <class A>
using SumFn = void (*)(const A*, const int8_t*, int32_t*, int, int);

template <class A>
std::vector<SumFn<A>> sumKernels() {
    std::vector<SumFn<A>> k{gemm::qsumColumns};
    if (CpuInfo::hardware().sse41()) k.push_back(gemm::qsumColumnsSse41);
    if (CpuInfo::hardware().avx2()) k.push_back(gemm::qsumColumnsAvx2);
    return k;
}

template <class A>
void checkSums(int lo, int hi) {
    for (auto fn : sumKernels<A>())
        for (int N : {1, 3, 4, 5, 8, 9, 17, 64, 65})
            for (int K : {1, 2, 16, 31, 32, 257}) {
                const auto a = randomInts<A>(size_t(K), lo, hi, 20);
                const auto w = randomInts<int8_t>(size_t(K) * N, -127, 127, 21);
                std::vector<int32_t> s(size_t(N) + 8, 77);
                fn(a.data(), w.data(), s.data(), N, K);
                for (int n = 0; n < N; ++n) {
                    int64_t ref = 0;
                    for (int k = 0; k < K; ++k) ref += int64_t(a[k]) * w[size_t(k) * N + n];
                    ASSERT_EQ(s[n], ref) << "N" << N << " K" << K << " n" << n;
                }
                EXPECT_EQ(s[N], 77);
            }
}

}  // namespace

TEST(QuantKernels, ColumnSumsAreExact) {
    checkSums<int8_t>(-128, 127);
    checkSums<int16_t>(-32768, 32767);
}

TEST(QuantKernels, FloatOutputsMatchDequantizedReference) {
    const int K = 96, N = 70;
    const auto a = randomInts<int8_t>(K, -127, 127, 22);
    const auto w = randomInts<int8_t>(size_t(K) * N, -127, 127, 23);
    const auto ws = uniformFloats(N, 24);
    const auto bias = uniformFloats(N, 25);
    const float is = 0.0123f;
    std::vector<float> general(N), finished(N);
    gemm::qgemvFloatGeneral(a.data(), w.data(), is, ws.data(), bias.data(), general.data(), N, K);
    std::vector<int32_t> s(N);
    gemm::qsumColumns(a.data(), w.data(), s.data(), N, K);
    gemm::qfinishFloat(s.data(), is, ws.data(), bias.data(), finished.data(), N);
    for (int n = 0; n < N; ++n) {
        const Ref r = referenceDot(K, bias[n], [&](int k) {
            return std::make_pair(double(a[k]) * is, double(w[size_t(k) * N + n]) * ws[n]);
        });
        // Per-term float rounding adds two more roundings per product.
        EXPECT_NEAR(general[n], r.value, r.bound * 2) << n;
        // Exact sum, then float(sum) * (ws * is) + bias: four roundings.
        const double scaled = double(s[n]) * ws[n] * is;
        EXPECT_NEAR(finished[n], scaled + bias[n],
                    4 * FLT_EPSILON * (std::fabs(scaled) + std::fabs(bias[n])))
            << n;
    }
}

TEST(QuantKernels, PairKernelMatchesReference) {
    if (!CpuInfo::hardware().avx2()) GTEST_SKIP() << "needs AVX2";
    for (int N : {64, 128, 192})
        for (int K : {2, 16, 48, 256}) {
            const auto a = randomInts<int16_t>(K, -32768, 32767, 26);
            const auto w = randomInts<int8_t>(size_t(K) * N, -127, 127, 27);
            const auto scale = uniformFloats(N, 28);
            const auto bias = uniformFloats(N, 29);
            std::vector<int8_t> packed(size_t(K) * N);
            gemm::packQuantPairs64(w.data(), K, N, packed.data());
            EXPECT_EQ(packed[1], w[N]);      // (w[0][0], w[1][0]) come first
            EXPECT_EQ(packed[2], w[1]);      // then column 1 of the same pair
            for (bool withBias : {false, true}) {
                std::vector<float> y(N);
                gemm::qgemvPairsAvx2(a.data(), packed.data(), scale.data(),
                                     withBias ? bias.data() : nullptr, y.data(), N, K);
                for (int n = 0; n < N; ++n) {
                    int64_t sum = 0;
                    for (int k = 0; k < K; ++k) sum += int64_t(a[k]) * w[size_t(k) * N + n];
                    const double ref = double(sum) * scale[n] + (withBias ? bias[n] : 0.0);
                    EXPECT_NEAR(y[n], ref, 3 * FLT_EPSILON * (std::fabs(double(sum) * scale[n]) +
                                                              std::fabs(bias[n])))
                        << "N" << N << " K" << K << " n" << n;
                }
            }
        }
}

TEST(QuantKernels, RequantizationFixedPoint) {
    const gemm::Requant zero = gemm::requantFactor(0.f);
    EXPECT_EQ(zero.multiplier, 0);
    EXPECT_EQ(zero.shift, 0);
    // 0.5 = 0.5 * 2^0; 0.25 = 0.5 * 2^-1; 3 = 0.75 * 2^2.
    const gemm::Requant half = gemm::requantFactor(0.5f);
    EXPECT_EQ(half.multiplier, 1 << 30);
    EXPECT_EQ(half.shift, 0);
    const gemm::Requant quarter = gemm::requantFactor(0.25f);
    EXPECT_EQ(quarter.multiplier, 1 << 30);
    EXPECT_EQ(quarter.shift, -1);
    const gemm::Requant three = gemm::requantFactor(3.f);
    EXPECT_EQ(three.multiplier, 3 << 29);
    EXPECT_EQ(three.shift, 2);
    // Hand-computed: the high multiply rounds half up for positive and toward
    // zero for negative products; the shift rounds half away from zero.
    EXPECT_EQ(gemm::requantize(3, half), 2);
    EXPECT_EQ(gemm::requantize(-3, half), -1);
    EXPECT_EQ(gemm::requantize(6, quarter), 2);   // 1.5
    EXPECT_EQ(gemm::requantize(-6, quarter), -2);
    // 5 * 0.25: the high multiply gives round(2.5) = 3, the shift 3 / 2 -> 2.
    EXPECT_EQ(gemm::requantize(5, quarter), 2);
    EXPECT_EQ(gemm::requantize(7, three), 21);
    EXPECT_EQ(gemm::requantize(1000, half), 127);
    EXPECT_EQ(gemm::requantize(-1000, half), -127);
    // Any factor: within one step of the exactly rounded value.
    for (float f : {0.001f, 0.0173f, 0.31f, 0.9999f, 1.7f}) {
        const gemm::Requant r = gemm::requantFactor(f);
        for (int32_t acc = -20000; acc <= 20000; acc += 37) {
            const double exact = std::fmax(-127, std::fmin(127, std::round(acc * double(f))));
            EXPECT_NEAR(gemm::requantize(acc, r), exact, 1) << f << " " << acc;
        }
    }
    std::vector<int8_t> y(3);
    const int32_t sums[3] = {4, -4, 0}, bias[3] = {2, 0, -6};
    gemm::qfinishInt8(sums, bias, quarter, y.data(), 3);
    EXPECT_EQ(y[0], 2);   // (4 + 2) / 4 = 1.5
    EXPECT_EQ(y[1], -1);
    EXPECT_EQ(y[2], -2);  // -6 / 4 = -1.5
}
