#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "ynet/tensor.h"

using namespace YNet;

TEST(AlignedAlloc, AlignmentZeroFillAndSlack) {
    for (size_t bytes : {size_t(0), size_t(1), size_t(63), size_t(4096)}) {
        auto* p = static_cast<unsigned char*>(alignedAlloc(bytes));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
        // Payload and the 128 spare bytes are zero and writable.
        for (size_t i = 0; i < bytes + 128; ++i) ASSERT_EQ(p[i], 0) << i;
        std::memset(p, 0xAB, bytes + 128);
        alignedFree(p);
    }
    void* p = alignedAlloc(10, 256, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 256, 0u);
    alignedFree(p);
    EXPECT_EQ(alignedAlloc(16, 48), nullptr);
    alignedFree(nullptr);
}

TEST(Tensor, SetAndBindKeepExternalMemory) {
    static const uint16_t image[6] = {0x3C00, 0x4000, 0xC200, 0x0001, 0x7C00, 0x0000};
    WeightRecord rec{"w", 1, 2, 1, 3, 1, 1, image, nullptr};
    Tensor t;
    EXPECT_TRUE(t.bind(rec, 0, true));
    EXPECT_EQ(t.count, 6u);
    EXPECT_EQ(t.layout, 1u);
    EXPECT_EQ(t.data[kHalf], image);
    EXPECT_TRUE(t.notOwned[kHalf]);
    t.halfToFloat();
    ASSERT_NE(t.f32(), nullptr);
    const float expected[6] = {1.0f, 2.0f, -3.0f, 1.0f / 16777216.0f, INFINITY, 0.0f};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(t.f32()[i], expected[i]) << i;
    t.release();
    EXPECT_EQ(t.data[kHalf], image);
    EXPECT_EQ(t.data[kFloat], nullptr);

    // Offset binding reads base + offset; representation 2 lands in data[2].
    static const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    WeightRecord q{"q", 2, 1, 1, 2, 0, 2, nullptr, bytes};
    Tensor u;
    u.bind(q, 4, true);
    EXPECT_EQ(u.data[kU8], bytes + 4);
    EXPECT_EQ(u.count, 4u);
    WeightRecord odd{"x", 1, 1, 1, 1, 0, 9, bytes, nullptr};
    u.bind(odd, 0, true);
    EXPECT_EQ(u.data[kU8], bytes);

    // set without a buffer only changes the header.
    Tensor v;
    v.set(2, 3, 4, 5, 0);
    EXPECT_EQ(v.count, 120u);
    EXPECT_EQ(v.data[kU8], nullptr);
}

// Binding a caller's floats: the shape and layout are the ones given, an
// owned buffer held before is freed (the sanitizer build would report a
// leak), the caller's memory is never freed and is read in plain order.
TEST(Tensor, BindFloatsPointsAtCallerMemory) {
    static float rows[2][6] = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    Tensor t;
    t.set(1, 1, 1, 9, kNCHW);
    ASSERT_NE(t.floatData(), nullptr);  // an owned buffer
    t.transposed = true;
    t.bindFloats(rows[0], 1, 2, 3, 1, kNHWC);
    EXPECT_EQ(t.f32(), rows[0]);
    EXPECT_TRUE(t.notOwned[kFloat]);
    EXPECT_FALSE(t.transposed);
    EXPECT_EQ(t.capacity, 0u);
    EXPECT_EQ(t.layout, uint32_t(kNHWC));
    EXPECT_EQ(t.count, 6u);
    EXPECT_EQ(t.floatData(kNHWC), rows[0]);
    // Its length is known: reshaped larger it is refused, not read past.
    t.set(1, 2, 3, 2, kNHWC);
    EXPECT_EQ(t.floatData(), nullptr);
    t.bindFloats(rows[1], 1, 1, 2, 3, kNCHW);
    EXPECT_EQ(t.f32(), rows[1]);
    EXPECT_EQ(t.layout, uint32_t(kNCHW));
    // Re-binding the same memory keeps it; release leaves it alone.
    t.bindFloats(rows[1], 1, 1, 1, 6, kNCHW);
    t.release();
    EXPECT_EQ(t.f32(), rows[1]);
    EXPECT_EQ(rows[1][5], 12.0f);
}

TEST(Tensor, FloatToHalfAllocatesOwnedBuffer) {
    Tensor t;
    t.set(1, 1, 1, 11, 0);
    float* f = t.floatData();
    for (int i = 0; i < 11; ++i) f[i] = float(i) - 5.0f;
    t.floatToHalf();
    ASSERT_NE(t.f16(), nullptr);
    EXPECT_FALSE(t.notOwned[kHalf]);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(halfToFloatScalar(t.f16()[i]), float(i) - 5.0f);
    t.release();
    EXPECT_EQ(t.f16(), nullptr);
}

// A blob reshaped larger after its buffer was made: an owned buffer grows
// with its contents kept, a bound one (a caller's, the model image) is
// refused rather than read past; shrinking never reallocates.
TEST(Tensor, ReshapedLargerGrowsOwnedBufferAndRefusesBoundOne) {
    Tensor t;
    t.set(1, 1, 1, 10, kNHWC);
    float* f = t.floatData();
    for (int i = 0; i < 10; ++i) f[i] = float(i + 1);
    t.set(1, 2, 25, 20, kNHWC);
    const float* g = t.floatData();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(t.floatBufferSize(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(g[i], i < 10 ? float(i + 1) : 0.0f) << i;
    t.set(1, 1, 1, 3, kNHWC);
    EXPECT_EQ(t.floatData(), g);

    static float image[4] = {1, 2, 3, 4};
    WeightRecord rec{"w", 1, 1, 1, 4, 0, 0, image, nullptr};
    Tensor bound;
    bound.bind(rec, 0, true);
    EXPECT_EQ(bound.floatData(), image);
    bound.set(1, 1, 2, 4, kNHWC);
    EXPECT_FALSE(bound.holdsShape());
    EXPECT_EQ(bound.floatData(), nullptr);
    EXPECT_EQ(bound.data[kFloat], image);
    bound.set(1, 1, 1, 2, kNHWC);
    EXPECT_EQ(bound.floatData(), image);

    // A pointer stored from outside has no known length and is trusted.
    Tensor external;
    external.set(1, 1, 1, 4, kNHWC);
    external.data[kFloat] = image;
    external.notOwned[kFloat] = true;
    EXPECT_TRUE(external.holdsShape());
    EXPECT_EQ(external.floatData(), image);
}
