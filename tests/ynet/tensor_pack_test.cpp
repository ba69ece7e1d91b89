// Packed layouts checked against a reference that emits the packed stream
// element by element in destination order, so it shares no index arithmetic
// with the production copy loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "ynet/tensor.h"

using YNet::Tensor;

namespace {

enum Var { P0, VI, VO };
struct Fmt {
    int a, b;
    Var v;
};

Fmt formatOf(int code) {
    static const Fmt table[] = {
        {1, 1, P0},  {1, 1, VO},  {24, 4, VO}, {18, 4, VO}, {24, 8, VO}, {18, 8, VO},
        {4, 1, VO},  {32, 1, P0}, {24, 1, P0}, {16, 1, P0}, {12, 1, P0}, {8, 1, P0},
        {4, 1, P0},  {2, 1, P0},  {1, 1, P0},  {16, 2, P0}, {8, 2, P0},  {4, 4, P0},
        {8, 4, P0},  {16, 4, P0}, {32, 1, VI}, {24, 1, VI}, {16, 1, VI}, {12, 1, VI},
        {8, 1, VI},  {4, 1, VI},  {2, 1, VI},  {1, 1, VI},  {8, 2, VI},  {8, 4, VI},
        {16, 4, VI}, {4, 1, VO},  {8, 1, VO},  {16, 1, VO}, {32, 1, VO}, {1, 1, P0},
        {1, 1, P0}};
    return table[code];
}

struct Shape {
    int n, h, w, c;
};

struct Request {
    int code;
    bool transposed = false, padLast = false, padInner = false;
    const float* offsets = nullptr;
};

float valueAt(int n, int h, int w, int c) { return float(1 + ((n * 7 + c) * 5 + h) * 3 + w); }

// Source buffer holding valueAt in NHWC (layout 0) or NCHW (layout 1) order.
std::vector<float> source(const Shape& s, bool nchw) {
    std::vector<float> v;
    for (int a = 0; a < s.n; ++a)
        for (int b = 0; b < (nchw ? s.c : s.h); ++b)
            for (int d = 0; d < (nchw ? s.h : s.w); ++d)
                for (int e = 0; e < (nchw ? s.w : s.c); ++e)
                    v.push_back(nchw ? valueAt(a, d, e, b) : valueAt(a, b, d, e));
    return v;
}

std::vector<float> reference(const Shape& s, bool nchw, const Request& r) {
    Fmt f = formatOf(r.code < 37 ? r.code : 0);
    const int outer = r.transposed ? s.c : s.n, inner = r.transposed ? s.n : s.c;
    int block = r.transposed && f.v != VO ? f.b : f.a;
    int chunk = f.v == VO ? 1 : (r.transposed ? f.a : f.b);
    if (r.code == 37 || (r.code == 36 && nchw)) {
        block = outer;
        chunk = 1;
        f.v = r.code == 37 ? P0 : VI;
    }
    if (!nchw) chunk = 1;
    int padded = inner;
    if (r.padInner && !r.transposed) {
        const int m = chunk >= 2 ? chunk : 4;
        padded = (inner + m - 1) / m * m;
    }
    const bool rowOffsets = nchw && f.v != VO && r.offsets;
    std::vector<float> out;
    const int blocks = (outer + block - 1) / block;
    for (int k = 0; k < blocks; ++k) {
        int start = k * block;
        if (!r.padLast && start + block > outer && outer >= block) start = outer - block;
        auto at = [&](int j, int y, int x, int i) {
            const int o = start + j;
            if (o >= outer || i >= inner) return 0.0f;
            const float v = r.transposed ? valueAt(i, y, x, o) : valueAt(o, y, x, i);
            return rowOffsets ? v - r.offsets[o] : v;
        };
        auto chunks = [&](int y, int x) {
            for (int q = 0; q * chunk < padded; ++q) {
                const int width = std::min(chunk, padded - q * chunk);
                for (int j = 0; j < block; ++j)
                    for (int e = 0; e < width; ++e) out.push_back(at(j, y, x, q * chunk + e));
            }
        };
        if (f.v == P0) {
            for (int y = 0; y < s.h; ++y)
                for (int x = 0; x < s.w; ++x) chunks(y, x);
        } else if (f.v == VI) {
            for (int y = 0; y < s.h; ++y)
                for (int q = 0; q * chunk < padded; ++q) {
                    const int width = std::min(chunk, padded - q * chunk);
                    for (int x = 0; x < s.w; ++x)
                        for (int j = 0; j < block; ++j)
                            for (int e = 0; e < width; ++e)
                                out.push_back(at(j, y, x, q * chunk + e));
                }
        } else {
            for (int i = 0; i < padded; ++i)
                for (int y = 0; y < s.h; ++y)
                    for (int x = 0; x < s.w; ++x)
                        for (int j = 0; j < block; ++j) out.push_back(at(j, y, x, i));
        }
    }
    return out;
}

// Packs through the public interface and compares with the reference.
void expectPacked(const Shape& s, bool nchw, const Request& r) {
    std::vector<float> src = source(s, nchw);
    Tensor t;
    t.set(s.n, s.h, s.w, s.c, nchw ? 1 : 0);
    float* before = t.floatData(nchw ? 1 : 0);
    std::memcpy(before, src.data(), src.size() * sizeof(float));
    const float* packed = t.floatData(r.code, r.transposed, r.padLast, r.padInner, r.offsets);
    const std::vector<float> expected = reference(s, nchw, r);
    const std::string where = "shape " + std::to_string(s.n) + "x" + std::to_string(s.h) + "x" +
                              std::to_string(s.w) + "x" + std::to_string(s.c) + " code " +
                              std::to_string(r.code) + (nchw ? " NCHW" : " NHWC") +
                              (r.transposed ? " T" : "") + (r.padLast ? " P" : "") +
                              (r.padInner ? " R" : "") + (r.offsets ? " V" : "");
    ASSERT_NE(packed, nullptr) << where;
    ASSERT_EQ(t.capacity, expected.size()) << where;
    EXPECT_EQ(t.layout, uint32_t(r.code)) << where;
    EXPECT_EQ(t.transposed, r.transposed) << where;
    EXPECT_EQ(t.n, uint32_t(r.transposed ? s.c : s.n)) << where;
    EXPECT_EQ(t.c, uint32_t(r.transposed ? s.n : s.c)) << where;
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(packed[i], expected[i]) << where << " at " << i;
    }
    EXPECT_EQ(t.floatData(r.code, r.transposed, r.padLast, r.padInner, r.offsets), packed);
}

const Shape kShapes[] = {{5, 1, 1, 3},  {64, 1, 1, 12}, {13, 2, 3, 7},
                         {37, 1, 3, 5}, {3, 2, 2, 10},  {50, 1, 1, 9}};

}  // namespace

TEST(TensorPack, EveryCodeFromBothSourceOrders) {
    for (const Shape& s : kShapes)
        for (bool nchw : {false, true})
            for (int code = 0; code <= 37; ++code) {
                if (code == (nchw ? 1 : 0)) continue;
                expectPacked(s, nchw, {code});
                expectPacked(s, nchw, {code, false, true});
            }
}

TEST(TensorPack, TransposedCodes) {
    for (const Shape& s : kShapes)
        for (bool nchw : {false, true})
            for (int code : {0, 11, 12, 31, 32, 7, 22, 37}) expectPacked(s, nchw, {code, true});
}

TEST(TensorPack, InnerPaddingAndRowOffsets) {
    std::vector<float> offsets(64);
    for (size_t i = 0; i < offsets.size(); ++i) offsets[i] = 0.5f * float(i);
    for (const Shape& s : kShapes)
        for (int code = 0; code < 37; ++code) {
            if (code == 1) continue;
            expectPacked(s, true, {code, false, false, true});
            expectPacked(s, true, {code, false, false, false, offsets.data()});
            expectPacked(s, true, {code, false, false, true, offsets.data()});
        }
}

TEST(TensorPack, HandComputedCases) {
    // NCHW n=2 c=2 h=1 w=2 holding 0..7, asked for NHWC.
    Tensor t;
    t.set(2, 1, 2, 2, 1);
    float* p = t.floatData(1);
    for (int i = 0; i < 8; ++i) p[i] = float(i);
    const float* q = t.floatData(0);
    const float expected[] = {0, 2, 1, 3, 4, 6, 5, 7};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(q[i], expected[i]) << i;

    // 64x1x1x12 NCHW (row r, column i holds 100 r + i).
    auto weight = [](Tensor& w) {
        w.set(64, 1, 1, 12, 1);
        float* d = w.floatData(1);
        for (int r = 0; r < 64; ++r)
            for (int i = 0; i < 12; ++i) d[r * 12 + i] = float(100 * r + i);
    };
    Tensor a;
    weight(a);
    const float* by8 = a.floatData(11);
    EXPECT_EQ(a.capacity, 64u * 12u);
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 12; ++i)
            for (int j = 0; j < 8; ++j)
                ASSERT_EQ(by8[k * 96 + i * 8 + j], float(100 * (8 * k + j) + i));
    Tensor b;
    weight(b);
    const float* by12 = b.floatData(10);
    EXPECT_EQ(b.capacity, 72u * 12u);
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j) ASSERT_EQ(by12[5 * 144 + i * 12 + j], float(100 * (52 + j) + i));

    // Transposed: header n and c swap, capacity ceil(c / b) * b * n * h * w.
    Tensor c;
    c.set(6, 2, 1, 5, 1);
    c.floatData(1);
    c.floatData(32, true);
    EXPECT_EQ(c.n, 5u);
    EXPECT_EQ(c.c, 6u);
    EXPECT_EQ(c.capacity, 8u * 6u * 2u);
}

TEST(TensorPack, SameLayoutAndRefusedRepack) {
    Tensor t;
    t.set(4, 1, 1, 8, 0);
    float* p = t.floatData(0, false, false, false);
    EXPECT_EQ(t.floatData(0, false, false, false), p);
    EXPECT_EQ(t.capacity, 0u);
    ASSERT_NE(t.floatData(11), nullptr);
    EXPECT_EQ(t.floatData(12), nullptr);
    EXPECT_EQ(t.layout, 11u);
}
