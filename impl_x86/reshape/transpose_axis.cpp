// Forward of TransposeAxis: the axis permutation, with floats moved in 4x4
// SSE2 blocks.
#include <emmintrin.h>

#include <algorithm>
#include <cstdint>

#include "ynet/layers/reshape/reshape.h"
#include "ynet/log.h"

namespace YNet {
namespace {

// o[j * os + d] = s[d * ss + j] for d < rows, j < cols.
template <class E>
void transposeTile(const E* s, size_t ss, E* o, size_t os, size_t rows, size_t cols) {
    for (size_t d = 0; d < rows; ++d)
        for (size_t j = 0; j < cols; ++j) o[j * os + d] = s[d * ss + j];
}

// Floats move in 4x4 blocks (four row loads, four column stores); the
// strips that do not fill a block go one value at a time.
void transposeTile(const float* s, size_t ss, float* o, size_t os, size_t rows, size_t cols) {
    const size_t rows4 = rows / 4 * 4, cols4 = cols / 4 * 4;
    for (size_t d = 0; d < rows4; d += 4)
        for (size_t j = 0; j < cols4; j += 4) {
            const float* p = s + d * ss + j;
            __m128 r0 = _mm_loadu_ps(p), r1 = _mm_loadu_ps(p + ss);
            __m128 r2 = _mm_loadu_ps(p + 2 * ss), r3 = _mm_loadu_ps(p + 3 * ss);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            float* q = o + j * os + d;
            _mm_storeu_ps(q, r0);
            _mm_storeu_ps(q + os, r1);
            _mm_storeu_ps(q + 2 * os, r2);
            _mm_storeu_ps(q + 3 * os, r3);
        }
    transposeTile<float>(s + cols4, ss, o + cols4 * os, os, rows, cols - cols4);
    transposeTile<float>(s + rows4 * ss, ss, o + rows4, os, rows - rows4, cols4);
}

// out[o0][o1][o2][o3] = in[i] with i[perm[k]] = o_k; both NHWC. The output
// strides are walked in order, the input index follows the permuted strides.
// When the last output axis strides through the input but another output
// axis is contiguous there, that axis is copied in tiles of 16 instead: the
// reads then run along cache lines and the scattered writes stay in one
// small block of the output.
template <class E>
void permute(const Tensor& in, const uint32_t* perm, const E* src, E* dst) {
    const size_t inDim[4] = {in.n, in.h, in.w, in.c};
    const size_t inStride[4] = {size_t(in.h) * in.w * in.c, size_t(in.w) * in.c, in.c, 1};
    size_t od[4], st[4];
    for (int k = 0; k < 4; ++k) {
        od[k] = inDim[perm[k]];
        st[k] = inStride[perm[k]];
    }
    int inner = 3;
    for (int k = 1; k < 3; ++k)
        if (st[k] == 1 && od[k] > 1 && st[3] != 1) inner = k;
    if (inner == 3) {
        for (size_t a = 0; a < od[0]; ++a)
            for (size_t b = 0; b < od[1]; ++b)
                for (size_t c = 0; c < od[2]; ++c) {
                    const E* s = src + a * st[0] + b * st[1] + c * st[2];
                    for (size_t d = 0; d < od[3]; ++d) *dst++ = s[d * st[3]];
                }
        return;
    }
    constexpr size_t kTile = 16;
    const int other = 3 - inner;  // the middle axis that is not tiled
    const size_t os[4] = {od[1] * od[2] * od[3], od[2] * od[3], od[3], 1};
    for (size_t a = 0; a < od[0]; ++a)
        for (size_t m = 0; m < od[other]; ++m)
            for (size_t t0 = 0; t0 < od[inner]; t0 += kTile) {
                const size_t n = std::min(kTile, od[inner] - t0);
                E* o = dst + a * os[0] + m * os[other] + t0 * os[inner];
                transposeTile(src + a * st[0] + m * st[other] + t0, st[3], o, os[inner], od[3], n);
            }
}

}  // namespace

namespace ref {

bool TransposeAxis::supported() const {
    static const uint32_t kPerms[3][4] = {{0, 1, 3, 2}, {0, 2, 3, 1}, {1, 0, 3, 2}};
    for (const auto& p : kPerms)
        if (p[0] == perm[0] && p[1] == perm[1] && p[2] == perm[2] && p[3] == perm[3])
            return true;
    return false;
}

bool TransposeAxis::forward(core::RunEnv& env) {
    if (inputs.empty() || outputs.empty()) return false;
    if (!supported()) {
        printLog(" the set perm case is not supported! \n");
        return false;
    }
    Tensor& in = *inputs[0];
    Tensor& out = *outputs[0];
    const size_t n = size_t(in.n) * in.h * in.w * in.c;
    if (env.halfPrecision) {
        if (!in.f16()) return false;
        if (!out.f16()) {
            out.data[kHalf] = alignedAlloc(n * sizeof(uint16_t));
            out.notOwned[kHalf] = false;
        }
        permute(in, perm, in.f16(), out.f16());
        return true;
    }
    const float* src = in.floatData(0, false, false, false);
    float* dst = out.floatData(0, false, false, false);
    if (!src || !dst || out.floatCapacity() < n) return false;
    permute(in, perm, src, dst);
    return true;
}

}  // namespace ref
}  // namespace YNet
