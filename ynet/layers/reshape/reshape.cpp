#include "ynet/layers/reshape/reshape.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>

#include "ynet/layer_registry.h"
#include "ynet/log.h"

namespace YNet {
namespace {

uint32_t dim(const Tensor& t, uint32_t axis) {
    const uint32_t d[4] = {t.n, t.h, t.w, t.c};
    return d[axis];
}

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
    const size_t inStride[4] = {size_t(in.h) * in.w * in.c, size_t(in.w) * in.c, in.c, 1};
    size_t od[4], st[4];
    for (int k = 0; k < 4; ++k) {
        od[k] = dim(in, perm[k]);
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

namespace core {

Reshape::Reshape(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    init(record, blobs, weights, -1, 1, true, 0, 0, true);
    for (int i = 0; i < 4; ++i) shape[i] = record.words[i];
}

bool Reshape::reshape() {
    if (inputs.empty() || outputs.empty()) return false;
    const Tensor& in = *inputs[0];
    shape[0] = int32_t(in.n);
    int unknown = -1;
    uint64_t known = 1;
    for (int i = 0; i < 4; ++i) {
        if (shape[i] >= 1) {
            known *= uint64_t(shape[i]);
        } else if (unknown >= 0) {
            return false;
        } else {
            unknown = i;
        }
    }
    if (unknown >= 0) shape[unknown] = known ? int32_t(in.floatCapacity() / known) : 0;
    outputs[0]->set(uint32_t(shape[0]), uint32_t(shape[1]), uint32_t(shape[2]),
                    uint32_t(shape[3]), kNHWC);
    return true;
}

TransposeAxis::TransposeAxis(const LayerRecord& record, TensorMap& blobs, TensorMap& weights) {
    init(record, blobs, weights, -1, 1, true, 0, 0, true);
    for (int i = 0; i < 4; ++i) perm[i] = uint32_t(record.words[i]);
}

bool TransposeAxis::reshape() {
    if (inputs.empty() || outputs.empty()) return false;
    const Tensor& in = *inputs[0];
    for (uint32_t p : perm)
        if (p > 3) return false;
    outputs[0]->set(dim(in, perm[0]), dim(in, perm[1]), dim(in, perm[2]), dim(in, perm[3]),
                    in.layout);
    return true;
}

}  // namespace core

namespace ref {

// The output becomes a view: every buffer the input has replaces the
// output's (owned ones freed first) and is marked not owned.
bool Reshape::forward(core::RunEnv&) {
    if (inputs.empty() || outputs.empty()) return false;
    Tensor& in = *inputs[0];
    Tensor& out = *outputs[0];
    for (int r = kFloat; r <= kS8; ++r) {
        if (!in.data[r] || out.data[r] == in.data[r]) continue;
        if (out.data[r] && !out.notOwned[r]) alignedFree(out.data[r]);
        out.data[r] = in.data[r];
        out.notOwned[r] = true;
    }
    out.capacity = 0;
    if (in.data[kFloat]) {
        const size_t known = in.floatBufferSize();
        out.sizedFloat = in.data[kFloat];
        out.sizedFloatCount = known == SIZE_MAX ? in.floatCapacity() : known;
    }
    out.set(uint32_t(shape[0]), uint32_t(shape[1]), uint32_t(shape[2]), uint32_t(shape[3]),
            kNHWC);
    // A view cannot grow: a shape larger than the input is refused.
    return out.holdsShape();
}

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

YNET_REGISTER_LAYER(3, "Reshape", ref::Reshape);
YNET_REGISTER_LAYER(3, "TransposeAxis", ref::TransposeAxis);

}  // namespace YNet
