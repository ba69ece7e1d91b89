// The kernels against double-precision references, over sweeps of sizes
// that hit every block width and tail, for every ISA this machine has.
#include "impl_x86/gemm/gemm_kernels.h"

#include <cstring>
#include <utility>

#include "tests/layers/gemm/gemm_test_util.h"
#include "ynet/cpu_info.h"
#include "ynet/tensor.h"

using namespace YNet;
using namespace gemmtest;
using test_support::uniformFloats;

namespace {

const int kSizes[] = {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 65};

bool hasAvx2() { return CpuInfo::hardware().avx2() && CpuInfo::hardware().fma(); }
bool hasAvxFma() { return CpuInfo::hardware().avx() && CpuInfo::hardware().fma(); }

struct Family {
    const char* name;
    void (*matVec)(const float*, const float*, const float*, float*, int, int);
    void (*vecMat)(const float*, const float*, const float*, float*, int, int);
    void (*general)(const float*, const float*, const float*, float*, int, int, int);
    void (*transA)(const float*, const float*, float*, int, int, int);
};

std::vector<Family> families() {
    std::vector<Family> f{
        {"sse", gemm::matVecSse, gemm::vecMatSse, gemm::gemmSse, gemm::gemmTransASse}};
    if (hasAvx2())
        f.push_back(
            {"avx2", gemm::matVecAvx2, gemm::vecMatAvx2, gemm::gemmAvx2, gemm::gemmTransAAvx2});
    return f;
}

// Output buffers carry a guard zone that must stay untouched.
constexpr float kGuard = 1234.5f;
std::vector<float> guarded(size_t n) { return std::vector<float>(n + 16, kGuard); }
void expectGuard(const std::vector<float>& v, size_t n) {
    for (size_t i = n; i < v.size(); ++i) ASSERT_EQ(v[i], kGuard) << "write past end";
}

}  // namespace

TEST(GemmKernels, GenericFamiliesMatchReference) {
    for (const Family& fam : families())
        for (int M : kSizes)
            for (int N : {1, 2, 4, 6, 7, 8, 9, 12, 17, 33})
                for (int K : {1, 3, 8, 17, 33}) {
                    SCOPED_TRACE(std::string(fam.name) + " M" + std::to_string(M) + " N" +
                                 std::to_string(N) + " K" + std::to_string(K));
                    const auto A = uniformFloats(size_t(M) * K, 1);
                    const auto B = uniformFloats(size_t(K) * N, 2);
                    const auto bias = uniformFloats(size_t(M) * N, 3);
                    for (bool withBias : {false, true}) {
                        const float* bi = withBias ? bias.data() : nullptr;
                        auto C = guarded(size_t(M) * N);
                        fam.general(A.data(), B.data(), bi, C.data(), M, N, K);
                        for (int m = 0; m < M; ++m)
                            for (int n = 0; n < N; ++n)
                                expectNear(referenceDot(K, bi ? bi[m * N + n] : 0,
                                                        [&](int k) {
                                                            return std::make_pair(A[m * K + k],
                                                                                  B[k * N + n]);
                                                        }),
                                           C[m * N + n], "general", m * N + n);
                        expectGuard(C, size_t(M) * N);
                    }
                    // Same numbers read as A (KxM), result written transposed.
                    auto T = guarded(size_t(M) * N);
                    fam.transA(A.data(), B.data(), T.data(), M, N, K);
                    for (int m = 0; m < M; ++m)
                        for (int n = 0; n < N; ++n)
                            expectNear(referenceDot(K, 0,
                                                    [&](int k) {
                                                        return std::make_pair(A[k * M + m],
                                                                              B[k * N + n]);
                                                    }),
                                       T[n * M + m], "transA", n * M + m);
                    expectGuard(T, size_t(M) * N);
                }
}

TEST(GemmKernels, VectorProductsMatchReference) {
    for (const Family& fam : families())
        for (int R : kSizes)
            for (int K : {1, 3, 4, 7, 8, 9, 12, 17, 33, 128, 257}) {
                SCOPED_TRACE(std::string(fam.name) + " R" + std::to_string(R) + " K" +
                             std::to_string(K));
                const auto mat = uniformFloats(size_t(R) * K, 4);
                const auto v = uniformFloats(size_t(K), 5);
                const auto bias = uniformFloats(size_t(R), 6);
                for (bool withBias : {false, true}) {
                    const float* bi = withBias ? bias.data() : nullptr;
                    auto y = guarded(size_t(R));
                    fam.matVec(mat.data(), v.data(), bi, y.data(), R, K);
                    for (int r = 0; r < R; ++r)
                        expectNear(referenceDot(
                                       K, bi ? bi[r] : 0,
                                       [&](int k) { return std::make_pair(mat[r * K + k], v[k]); }),
                                   y[r], "matVec", r);
                    expectGuard(y, size_t(R));
                    // mat read as B (K x R): y = v * B.
                    auto z = guarded(size_t(R));
                    fam.vecMat(mat.data(), v.data(), bi, z.data(), R, K);
                    for (int n = 0; n < R; ++n)
                        expectNear(referenceDot(
                                       K, bi ? bi[n] : 0,
                                       [&](int k) { return std::make_pair(v[k], mat[k * R + n]); }),
                                   z[n], "vecMat", n);
                    expectGuard(z, size_t(R));
                }
            }
}

TEST(GemmKernels, PackedFp32RowVectorMatchesReference) {
    if (!hasAvxFma()) GTEST_SKIP() << "needs AVX and FMA";
    for (int K : {16, 32, 128, 256})
        for (int N : {4, 5, 6, 7, 8, 12, 20, 33, 1056}) {
            SCOPED_TRACE("K" + std::to_string(K) + " N" + std::to_string(N));
            const auto B = uniformFloats(size_t(K) * N, 7);
            const auto x = uniformFloats(size_t(K), 8);
            const auto bias = uniformFloats(size_t(N), 9);
            std::vector<float> packed(size_t(K) * N);
            gemm::packRowVectorFp32(B.data(), K, N, packed.data());
            // Spot-check the layout: group 0, block 0, column 1, row 2.
            EXPECT_EQ(packed[16 + 2], B[2 * N + 1]);
            for (bool withBias : {false, true}) {
                const float* bi = withBias ? bias.data() : nullptr;
                auto y = guarded(size_t(N));
                gemm::rowVectorFp32Fma(x.data(), packed.data(), bi, y.data(), N, K);
                for (int n = 0; n < N; ++n)
                    expectNear(
                        referenceDot(K, bi ? bi[n] : 0,
                                     [&](int k) { return std::make_pair(x[k], B[k * N + n]); }),
                        y[n], "rowVectorFp32", n);
                expectGuard(y, size_t(N));
            }
        }
}

TEST(GemmKernels, Bf16EncodingsRoundAsSpecified) {
    float halfway;
    const uint32_t bits = 0x3F808000u;  // 1.00390625, exactly between two bf16 values
    std::memcpy(&halfway, &bits, 4);
    EXPECT_EQ(gemm::bf16RoundNearest(halfway), 0x3F81);
    EXPECT_EQ(gemm::bf16Truncate(halfway), 0x3F80);
    EXPECT_EQ(gemm::bf16RoundNearest(-halfway), 0xBF81);  // ties away from zero
    EXPECT_EQ(gemm::bf16RoundNearest(1.0f), 0x3F80);
    EXPECT_EQ(gemm::bf16ToFloat(0x3F81), 1.0078125f);
}

namespace {

struct Bf16Path {
    const char* name;
    void (*pack)(const float*, const float*, int, int, int, uint16_t*);
    void (*kernel)(const float*, const uint16_t*, const float*, float*, int, int);
    uint16_t (*encode)(float);
};

// The reference uses the same bf16 weights; only the accumulation differs.
void checkBf16(const Bf16Path& path, int K, int K2, int N) {
    SCOPED_TRACE(std::string(path.name) + " K" + std::to_string(K) + "+" + std::to_string(K2) +
                 " N" + std::to_string(N));
    const int rows = K + K2;
    const auto B = uniformFloats(size_t(rows) * N, 10);
    const auto x = uniformFloats(size_t(rows), 11);
    const auto bias = uniformFloats(size_t(N), 12);
    std::vector<uint16_t> packed(size_t(rows) * N);
    path.pack(B.data(), K2 ? B.data() + size_t(K) * N : nullptr, K, K2, N, packed.data());
    for (bool withBias : {false, true}) {
        const float* bi = withBias ? bias.data() : nullptr;
        auto y = guarded(size_t(N));
        path.kernel(x.data(), packed.data(), bi, y.data(), N, rows);
        for (int n = 0; n < N; ++n)
            expectNear(referenceDot(rows, bi ? bi[n] : 0,
                                    [&](int k) {
                                        return std::make_pair(
                                            x[k], gemm::bf16ToFloat(path.encode(B[k * N + n])));
                                    }),
                       y[n], path.name, n);
        expectGuard(y, size_t(N));
    }
}

}  // namespace

TEST(GemmKernels, Bf16RowVectorsMatchBf16Reference) {
    std::vector<Bf16Path> paths{
        {"narrow", gemm::packBf16Narrow, gemm::rowVectorBf16Sse, gemm::bf16RoundNearest}};
    if (hasAvx2())
        paths.push_back({"wide", gemm::packBf16Wide, gemm::rowVectorBf16Avx2, gemm::bf16Truncate});
    for (const auto& p : paths) {
        for (int N : {1, 5, 31, 32, 33, 63, 64, 65, 129, 200, 513})
            for (int K : {1, 3, 17, 257}) checkBf16(p, K, 0, N);
        checkBf16(p, 513, 0, 513);
        checkBf16(p, 7, 5, 100);  // second matrix appended inside each block
    }
}

TEST(GemmKernels, Bf16WideFormatOrdersColumnsForInterleave) {
    const int K = 1, N = 64;
    std::vector<float> B(N);
    for (int n = 0; n < N; ++n) B[n] = float(n + 1);
    std::vector<uint16_t> packed(N);
    gemm::packBf16Wide(B.data(), nullptr, K, 0, N, packed.data());
    const int expectCols[16] = {0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15};
    for (int g = 0; g < 4; ++g)
        for (int p = 0; p < 16; ++p)
            EXPECT_EQ(gemm::bf16ToFloat(packed[16 * g + p]), float(16 * g + expectCols[p] + 1));
}
