#include "impl_x86/conv/conv_select.h"

namespace YNet {
namespace conv {

namespace {

using F = Fusion;

// In KernelId order.
const KernelInfo kKernels[] = {
    {"none", nullptr, 0, F::None},
    {"fast 1x1 B32", fast1x1Fma<4>, 7, F::ReluSkip},
    {"fast 1x1 B24", fast1x1Fma<3>, 8, F::ReluSkip},
    {"fast 1x1 B16", fast1x1Fma<2>, 9, F::ReluSkip},
    {"fast 3x3 image stem", fast3x3StemFma, 22, F::ReluSkip},
    {"fast 3x3 three-output", fast3x3ThreeOutFma, 36, F::ReluSkip},
    {"fast 3x3 B24", fast3x3Fma<3>, 8, F::ReluSkip},
    {"fast 3x3 B16", fast3x3Fma<2>, 9, F::ReluSkip},
    {"fast 3x3 stride-2 B16", fast3x3Fma<2>, 9, F::ReluSkip},
    {"fast 3x3 single-output", fast3x3SingleOutFma, 27, F::ReluSkip},
    {"fast 3x3 B4", fast3x3B4Fma, 12, F::ReluSkip},
    {"fast 3x3 stride-2 dilation-2 B4", fast3x3B4Fma, 12, F::ReluSkip},
    {"fast 3x3 general B4", fast3x3B4Fma, 12, F::ReluSkip},
    {"line AVX B16", convLineAvx2<2>, 33, F::RectifiersRemoved},
    {"line AVX B8", convLineAvx2<1>, 32, F::RectifiersRemoved},
    {"line SSE B8", convLineSse<2>, 32, F::RectifiersRemoved},
    {"line SSE B4", convLineSse<1>, 31, F::RectifiersRemoved},
    {"dot AVX 16 lanes", convDotAvx2<2>, 0, F::RectifiersSkip},
    {"dot AVX 8 lanes", convDotAvx2<1>, 0, F::RectifiersSkip},
    {"dot SSE 12 lanes", convDotSse<3>, 0, F::RectifiersSkip},
    {"dot SSE 8 lanes", convDotSse<2>, 0, F::RectifiersSkip},
    {"dot SSE 4 lanes", convDotSse<1>, 0, F::RectifiersSkip},
    {"single-output AVX", convSingleOutAvx2, 0, F::None},
    {"single-output SSE", convSingleOutSse, 0, F::None},
    {"1x1 AVX B16", conv1x1Avx2<2>, 9, F::RectifiersSkip},
    {"1x1 AVX B8", conv1x1Avx2<1>, 11, F::RectifiersSkip},
    {"1x1 SSE B12", conv1x1Sse<3>, 10, F::RectifiersSkip},
    {"1x1 SSE B8", conv1x1Sse<2>, 11, F::RectifiersSkip},
    {"1x1 SSE B4", conv1x1Sse<1>, 12, F::RectifiersSkip},
    {"general AVX B16", convGeneralAvx2<2>, 9, F::RectifiersRemoved},
    {"general AVX B8", convGeneralAvx2<1>, 11, F::RectifiersRemoved},
    {"general SSE B8", convGeneralSse<2>, 11, F::RectifiersRemoved},
    {"general SSE B4", convGeneralSse<1>, 12, F::RectifiersRemoved},
    {"dilated AVX B16", convGeneralAvx2<2>, 9, F::RectifiersRemoved},
    {"dilated AVX B8", convGeneralAvx2<1>, 11, F::RectifiersRemoved},
    {"dilated SSE B8", convGeneralSse<2>, 11, F::RectifiersRemoved},
    {"dilated SSE B4", convGeneralSse<1>, 12, F::RectifiersRemoved},
    {"scalar", convScalar, 0, F::None},
    {"deconv 5x5 odd width", deconvDotSse, 0, F::None},
    {"deconv 5x5 AVX B8", deconvOcBlockAvx2<1>, 32, F::RectifiersSkip},
    {"deconv 5x5 SSE B4", deconvOcBlockSse<1>, 31, F::RectifiersSkip},
    {"deconv 5x5 input-blocked AVX", deconvDotAvx2, 0, F::None},
    {"deconv 5x5 input-blocked SSE", deconvDotSse, 0, F::None},
    {"deconv depthwise 4", deconvDepthwise4Sse, 0, F::None},
    {"deconv two-output AVX", deconvRowsAvx2<2>, 0, F::None},
    {"deconv two-output SSE", deconvRowsSse<2>, 0, F::None},
    {"deconv stride-2 AVX B8", deconvRowsAvx2<8>, 11, F::None},
    {"deconv stride-2 SSE B4", deconvRowsSse<4>, 12, F::None},
    {"deconv generic", deconvScalar, 0, F::None},
};
static_assert(sizeof kKernels / sizeof kKernels[0] == size_t(KernelId::Count),
              "one table row per kernel id");

bool fmaAvx(const CpuInfo& cpu) { return cpu.avx() && cpu.fma(); }
bool fmaAvx2(const CpuInfo& cpu) { return cpu.avx2() && cpu.fma(); }

// Multiple of m, or within [lo, hi].
bool friendly(int oc, int m, int lo, int hi) { return oc % m == 0 || (oc >= lo && oc <= hi); }

// The pixel-flattened 1x1 kernels read input pixel p for output pixel p,
// which holds only without padding.
bool pointwise1x1(const Shape& s) {
    const Geometry& g = s.g;
    return g.kh == 1 && g.kw == 1 && g.sh == 1 && g.sw == 1 && g.padTop == 0 &&
           g.padLeft == 0 && s.padRight == 0 && s.padBottom == 0;
}

KernelId fast1x1(const Shape& s) {
    const int oc = s.g.oc;
    if (!pointwise1x1(s)) return KernelId::None;
    if (friendly(oc, 32, 25, 31)) return KernelId::Fast1x1B32;
    if (friendly(oc, 24, 17, 23)) return KernelId::Fast1x1B24;
    if (friendly(oc, 16, 9, 15)) return KernelId::Fast1x1B16;
    return KernelId::None;
}

KernelId fast3x3(const Shape& s) {
    const Geometry& g = s.g;
    const int oc = g.oc, ic = g.ic;
    if (g.kw != 3) return KernelId::None;
    const bool f16 = friendly(oc, 16, 9, 15), f24 = friendly(oc, 24, 17, 23);
    const bool unitW = g.sw == 1 && g.padLeft == 1 && g.dw == 1;
    if ((oc % 16 == 0 || (oc >= 9 && (oc <= 15 || oc == 36))) && g.sw == 2 && g.sh == 2 &&
        g.dw == 1 && g.dh == 1 && s.padRight == 1 && (ic == 1 || ic == 3))
        return KernelId::Fast3x3Stem;
    if (oc == 3 && ic == 4 && g.sw == 1 && g.dw == 1 && g.ow % 32 == 0 && s.weightFitsCode36)
        return KernelId::Fast3x3ThreeOut;
    if (f24 && unitW) return KernelId::Fast3x3B24;
    if (f16 && unitW) return KernelId::Fast3x3B16;
    if (f16 && g.sw == 2 && g.sh == 2 && g.padLeft == 1 && s.padRight == 1 && g.dw == 1 &&
        s.inputHasFloat)
        return KernelId::Fast3x3S2B16;
    if (oc <= 1) {
        const bool single = oc == 1 && ic == 3 && g.sw == 1 && g.padLeft == 1 && g.dh == 1;
        return single ? KernelId::Fast3x3SingleOut : KernelId::None;
    }
    if (unitW) return KernelId::Fast3x3B4;
    if (oc > 4) return KernelId::None;
    if (g.sw == 2 && g.padLeft == 2 && g.dw == 2) return KernelId::Fast3x3S2D2B4;
    return KernelId::Fast3x3GeneralB4;
}

bool threeTapLine(const Shape& s) {
    const Geometry& g = s.g;
    const bool row = g.kh == 1 && g.kw == 3 && g.sw == 1 && g.dw == 1 && g.padLeft == 1 &&
                     s.padRight == 1 && g.oh == 1 && g.ih == 1;
    const bool column = g.kw == 1 && g.kh == 3 && g.sh == 1 && g.dh == 1 && g.padTop == 1 &&
                        s.padBottom == 1 && g.ow == 1 && g.iw == 1;
    return row || column;
}

KernelId secondAvx2(const Shape& s) {
    const Geometry& g = s.g;
    const int oc = g.oc, ic = g.ic;
    const bool dilated = g.dh > 1 || g.dw > 1;
    if (!dilated && threeTapLine(s)) {
        if (oc % 16 == 0) return KernelId::LineAvx16;
        if (oc >= 8) return KernelId::LineAvx8;
        if (oc % 4 == 0) return KernelId::LineSse4;
    }
    if (!dilated && oc == 1 && g.dw == 1 && g.dh == 1) {
        if (pointwise1x1(s)) {
            if (ic % 16 == 0) return KernelId::DotAvx16;
            if (ic % 8 == 0) return KernelId::DotAvx8;
            if (ic % 12 == 0) return KernelId::DotSse12;
            if (ic % 4 == 0) return KernelId::DotSse4;
        }
        return ic >= 8 ? KernelId::SingleOutAvx : KernelId::SingleOutSse;
    }
    if (!dilated && pointwise1x1(s)) {
        if (oc >= 16) return KernelId::PointwiseAvx16;
        if (oc >= 8) return KernelId::PointwiseAvx8;
        if (oc >= 4) return KernelId::PointwiseSse4;
    }
    if (!dilated) {
        if (oc % 16 == 0) return KernelId::GeneralAvx16;
        if (oc >= 8) return KernelId::GeneralAvx8;
        return oc >= 2 || oc % 4 == 0 ? KernelId::GeneralSse4 : KernelId::Scalar;
    }
    if (oc % 16 == 0) return KernelId::DilatedAvx16;
    if (oc % 8 == 0) return KernelId::DilatedAvx8;
    if (oc % 4 == 0) return KernelId::DilatedSse4;
    return KernelId::Scalar;
}

KernelId secondSse(const Shape& s) {
    const Geometry& g = s.g;
    const int oc = g.oc, ic = g.ic;
    const bool dilated = g.dh > 1 || g.dw > 1;
    if (!dilated && threeTapLine(s)) {
        if (oc % 8 == 0) return KernelId::LineSse8;
        if (oc % 4 == 0) return KernelId::LineSse4;
    }
    if (!dilated && oc == 1 && g.dw == 1 && g.dh == 1) {
        if (pointwise1x1(s)) {
            if (ic % 12 == 0) return KernelId::DotSse12;
            if (ic % 8 == 0) return KernelId::DotSse8;
            if (ic % 4 == 0) return KernelId::DotSse4;
        }
        return KernelId::SingleOutSse;
    }
    if (!dilated && pointwise1x1(s)) {
        if (oc % 12 == 0) return KernelId::PointwiseSse12;
        if (oc >= 8) return KernelId::PointwiseSse8;
        if (oc >= 4) return KernelId::PointwiseSse4;
    }
    if (!dilated) {
        if (oc % 8 == 0) return KernelId::GeneralSse8;
        return oc >= 2 || oc % 4 == 0 ? KernelId::GeneralSse4 : KernelId::Scalar;
    }
    if (oc % 8 == 0) return KernelId::DilatedSse8;
    if (oc % 4 == 0) return KernelId::DilatedSse4;
    return KernelId::Scalar;
}

KernelId deconv5x5(const Shape& s, bool avx2) {
    const Geometry& g = s.g;
    if (g.iw % 2 == 1) return KernelId::DeOddWidth5x5;
    if (avx2 && g.oc % 8 == 0) return KernelId::DeOcBlock5x5Avx8;
    if (g.oc % 4 == 0) return KernelId::DeOcBlock5x5Sse4;
    if (avx2 && g.ic % 8 == 0) return KernelId::DeInBlock5x5Avx;
    if (g.ic % 4 == 0) return KernelId::DeInBlock5x5Sse;
    return KernelId::None;
}

KernelId deconvStride2(const Shape& s, bool avx2) {
    const Geometry& g = s.g;
    if (g.group != 1 && g.oc == g.group)
        return g.oc == 4 ? KernelId::DeDepthwise4 : KernelId::DeGeneric;
    if (g.oc == 2) {
        if (avx2 && g.ic % 8 == 0) return KernelId::DeTwoOutAvx;
        if (g.ic % 4 == 0) return KernelId::DeTwoOutSse;
    }
    if (avx2 && g.oc % 8 == 0) return KernelId::DeStride2Avx8;
    if (g.oc % 4 == 0) return KernelId::DeStride2Sse4;
    return KernelId::None;
}

}  // namespace

const KernelInfo& kernelInfo(KernelId id) { return kKernels[size_t(id)]; }

// The line kernels read a zero row for taps past either end; the planar 3x3
// kernels stage three input rows, channel-planar, with zero borders.
size_t scratchFloats(KernelId id, const Geometry& g) {
    switch (id) {
        case KernelId::LineAvx16:
        case KernelId::LineAvx8:
        case KernelId::LineSse8:
        case KernelId::LineSse4: return size_t(g.ic);
        case KernelId::Fast3x3ThreeOut:
        case KernelId::Fast3x3SingleOut: return size_t(3) * g.ic * (g.ow + 2 * g.dw);
        default: return 0;
    }
}

KernelId selectFast(const Shape& s, const CpuInfo& cpu) {
    if (!fmaAvx(cpu)) return KernelId::None;
    if (s.g.kh == 1) return s.g.kw == 1 ? fast1x1(s) : KernelId::None;
    if (s.g.kh == 3) return fast3x3(s);
    return KernelId::None;
}

KernelId selectSecond(const Shape& s, const CpuInfo& cpu, bool halfPrecision) {
    if (halfPrecision) return KernelId::None;
    if (s.g.oc == 1 && s.g.ic == 2) return KernelId::SingleOutSse;
    return fmaAvx2(cpu) ? secondAvx2(s) : secondSse(s);
}

KernelId selectConv(const Shape& s, const CpuInfo& cpu, bool halfPrecision) {
    const KernelId fast = selectFast(s, cpu);
    return fast != KernelId::None ? fast : selectSecond(s, cpu, halfPrecision);
}

KernelId selectDeconv(const Shape& s, const CpuInfo& cpu, bool halfPrecision) {
    const Geometry& g = s.g;
    const bool avx2 = !halfPrecision && fmaAvx2(cpu);
    KernelId id = KernelId::None;
    if (g.kw == 5 && g.kh == 5 && g.sw == 2 && g.sh == 2 && g.padLeft == 1 && s.padRight == 2)
        id = deconv5x5(s, avx2);
    if (id == KernelId::None && g.sw == 2 && g.sh == 2 && g.ow % 4 == 0)
        id = deconvStride2(s, avx2);
    return id == KernelId::None ? KernelId::DeGeneric : id;
}

}  // namespace conv
}  // namespace YNet
