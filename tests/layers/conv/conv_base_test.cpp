// Parameter words, output shapes, shape keys, operation counts, the shared
// zero bias and the widening of quantization parameters.
#include <gtest/gtest.h>

#include "conv_fixture.h"
#include "ynet/net.h"

namespace conv_test {
namespace {

core::Conv& asConv(Layer* l) { return *static_cast<core::Conv*>(l); }

TEST(ConvBase, WordsShapeKeyAndFlops) {
    // The encoder's first depthwise-shaped geometry on a plain convolution:
    // (513 + 8 - 8 - 1) / 2 + 1 = 257 rows.
    auto b = build(false, {513, 1, 12, 12, 5, 1, 2, 1, 2, 1, 4, 4, 0, 0}, 1);
    core::Conv& c = asConv(b->layer);
    EXPECT_EQ(c.kernelW, 1);
    EXPECT_EQ(c.kernelH, 5);
    EXPECT_EQ(c.padTop, 4);
    EXPECT_EQ(c.padBottom, 4);
    EXPECT_EQ(c.strideH, 2);
    EXPECT_EQ(c.dilationH, 2);
    ASSERT_TRUE(c.reshape());
    const Tensor& out = *c.outputs[0];
    EXPECT_EQ(out.n, 1u);
    EXPECT_EQ(out.h, 257u);
    EXPECT_EQ(out.w, 1u);
    EXPECT_EQ(out.c, 12u);
    EXPECT_EQ(out.count, 257u * 12);
    EXPECT_EQ(c.shapeKey, "5x1_s1x2_12x257x1x12");
    EXPECT_EQ(c.flops, uint64_t(12 * 5 * 1 * 12) * 257 * 2);

    // A 1x1 layer uses the short key even with strides other than 1.
    auto p = build(false, {257, 1, 12, 64, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0}, 1);
    asConv(p->layer).reshape();
    EXPECT_EQ(p->layer->shapeKey, "1x1_64x257x1x12");
    EXPECT_EQ(p->layer->flops, uint64_t(64 * 12) * 257 * 2);
    auto s = build(false, {9, 1, 12, 64, 1, 1, 2, 1, 1, 1, 0, 0, 0, 0}, 1);
    asConv(s->layer).reshape();
    EXPECT_EQ(s->layer->shapeKey, "1x1_64x5x1x12");
}

TEST(ConvBase, ClampedWordsAndSharedZeroBias) {
    Case c{6, 5, 3, 4, 3, 3, 1, 1, 0, 0, 1, 1, 1, 1};
    c.group = 0;
    auto b = build(false, c, 2);
    EXPECT_EQ(asConv(b->layer).dilationW, 1);
    EXPECT_EQ(asConv(b->layer).dilationH, 1);
    EXPECT_EQ(asConv(b->layer).group, 1u);

    // Two layers naming one weight share the zero tensor of 1024 zeros.
    RecordBuilder r = record("Conv", c);
    r.weights({"w"}).blob(1, "out2");
    std::unique_ptr<Layer> l1(LayerRegistry::create(3, r, b->blobs, b->weights));
    r.blob(1, "out3");
    std::unique_ptr<Layer> l2(LayerRegistry::create(3, r, b->blobs, b->weights));
    Tensor* zero = asConv(l1.get()).bias;
    EXPECT_EQ(zero, asConv(l2.get()).bias);
    EXPECT_EQ(zero->name, Net::kZeroTensorName);
    ASSERT_EQ(zero->count, 1024u);
    for (uint32_t i = 0; i < zero->count; ++i) ASSERT_EQ(zero->f32()[i], 0.0f);
    TestEnv env;
    l1->prepare(env);
    ASSERT_TRUE(l1->forward(env));
    // No bias: the output is the plain sum, e.g. the centre pixel.
    const Tensor& out = *l1->outputs[0];
    double s = 0;
    for (int ky = 0; ky < 3; ++ky)
        for (int kx = 0; kx < 3; ++kx)
            for (int ic = 0; ic < 3; ++ic)
                s += b->input[(size_t(2 + ky) * 5 + 1 + kx) * 3 + ic] *
                     b->weight[((size_t(0) * 3 + ky) * 3 + kx) * 3 + ic];
    EXPECT_NEAR(out.f32()[(3 * 5 + 2) * 4], s, 1e-5);
}

TEST(ConvBase, TransposedShapes) {
    // Stored pads: OH = (IH - 1) * s - pb - pt + k.
    auto b = build(true, {4, 6, 6, 8, 5, 5, 2, 2, 1, 1, 1, 2, 1, 2}, 1);
    b->layer->reshape();
    const Tensor& out = *b->layer->outputs[0];
    EXPECT_EQ(out.h, 3u * 2 - 3 + 5);
    EXPECT_EQ(out.w, 5u * 2 - 3 + 5);
    EXPECT_EQ(out.c, 8u);
    EXPECT_EQ(b->layer->flops, uint64_t(6 * 5 * 5 * 8) * 8 * 12 * 2);
    EXPECT_EQ(b->layer->shapeKey, "5x5_s2x2_8x8x12x6");

    // A target size recomputes all pads, the odd unit going bottom / right:
    // total rows (4 - 1) * 2 - 9 + 5 = 2, columns (6 - 1) * 2 - 10 + 5 = 5.
    RecordBuilder r = record("ConvTranspose", {4, 6, 6, 8, 5, 5, 2, 2, 1, 1, 0, 0, 0, 0});
    r.words({9, 10}, 11).blob(1, "target");
    std::unique_ptr<Layer> t(LayerRegistry::create(3, r, b->blobs, b->weights));
    t->reshape();
    const core::DeConv& d = *static_cast<core::DeConv*>(t.get());
    EXPECT_EQ(t->outputs[0]->h, 9u);
    EXPECT_EQ(t->outputs[0]->w, 10u);
    EXPECT_EQ(d.padTop, 1);
    EXPECT_EQ(d.padBottom, 1);
    EXPECT_EQ(d.padLeft, 2);
    EXPECT_EQ(d.padRight, 3);

    // Grouped: OC = weight c * group.
    auto g = build(true, {3, 4, 6, 2, 4, 4, 2, 2, 1, 1, 1, 1, 1, 1, 2}, 1);
    g->layer->reshape();
    EXPECT_EQ(g->layer->outputs[0]->c, 2u);
}

TEST(ConvBase, PrepareWidensImageBoundQuantParams) {
    Case c{4, 4, 3, 4, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0};
    auto b = build(false, c, 1);
    static float scaleValue = 0.25f;
    static int32_t zeroValue = 7;
    for (const char* n : {"q_in", "q_in2", "q_out", "q_out2", "q_w", "q_w2"}) {
        Tensor& t = lookup(b->weights, n);
        t.bindFloats(&scaleValue, 1, 1, 1, 1, kNHWC);
        t.data[kS32] = &zeroValue;
        t.notOwned[kS32] = true;
    }
    RecordBuilder r = record("Conv", c);
    r.weights({"q_in", "q_in2", "q_out", "q_out2", "q_w", "q_w2", "w", "b"}).blob(1, "qout");
    std::unique_ptr<Layer> l(LayerRegistry::create(3, r, b->blobs, b->weights));
    core::Conv& q = asConv(l.get());
    ASSERT_EQ(q.quantMode, 2u);
    EXPECT_EQ(q.weightQuantParam, &b->weights["q_w"]);
    EXPECT_EQ(q.weightQuantParam2, &b->weights["q_w2"]);
    EXPECT_EQ(q.inputQuantParam, &b->weights["q_in"]);
    EXPECT_EQ(q.outputQuantParam2, &b->weights["q_out2"]);
    EXPECT_EQ(q.weight, &b->weights["w"]);
    TestEnv env;
    ASSERT_TRUE(l->prepare(env));
    const Tensor& w1 = *q.weightQuantParam;
    const Tensor& w2 = *q.weightQuantParam2;
    EXPECT_EQ(w1.c, 4u);
    EXPECT_FALSE(w1.notOwned[kFloat]);
    EXPECT_FALSE(w2.notOwned[kS32]);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w1.f32()[i], 0.25f);
        EXPECT_EQ(w2.s32()[i], 7);
    }
    // The image-bound original is untouched and still bound elsewhere.
    EXPECT_EQ(b->weights["q_in"].f32(), &scaleValue);
}

}  // namespace
}  // namespace conv_test
