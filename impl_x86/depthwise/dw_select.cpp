#include "impl_x86/depthwise/dw_select.h"

#include "ynet/tensor.h"

namespace YNet {
namespace dw {
namespace {

// Weight codes of the blocked orders, by channel block.
uint32_t blockedCode(int block) {
    switch (block) {
        case 16: return 9;
        case 12: return 10;
        case 8: return 11;
        default: return 12;
    }
}

// One row of a selection table: `block` channels on the AVX2 or SSE build.
struct Option {
    bool avx;
    int block;
};

Choice vector(Family f, Option o, uint32_t code, Fusion fusion = Fusion::RectifiersRemoved) {
    Choice c;
    c.path = Path::Vector;
    c.kernel = o.avx ? kernelAvx2(f, o.block) : kernelSse(f, o.block);
    c.weightCode = code;
    c.fusion = fusion;
    c.avx = o.avx;
    c.block = o.block;
    return c;
}

Choice portable(Path p) {
    Choice c;
    c.path = p;
    c.weightCode = kOuterInnermost;
    return c;
}

bool isFiveTapLine(const Geometry& g, int stride, int dil, int pad) {
    const bool row = g.kernelH == 1 && g.kernelW == 5 && g.outH == 1 && g.inH == 1 &&
                     g.strideW == stride && g.dilationW == dil && g.padLeft == pad;
    const bool col = g.kernelW == 1 && g.kernelH == 5 && g.outW == 1 && g.inW == 1 &&
                     g.strideH == stride && g.dilationH == dil && g.padTop == pad;
    return row || col;
}

// First option whose block divides `n`.
template <size_t N>
const Option* firstDividing(const Option (&options)[N], int n) {
    for (const Option& o : options)
        if (n % o.block == 0) return &o;
    return nullptr;
}

constexpr Option kAvxLine[] = {{true, 16}, {true, 8}, {false, 12}, {false, 4}};
constexpr Option kSseLine[] = {{false, 12}, {false, 8}, {false, 4}};

// The 3x3 fast path: 16-channel blocks on the AVX2/FMA build, fusing only
// the plain rectifier. Dilated layers are left to the dilated kernel.
bool takes3x3(const Geometry& g, const CpuInfo& cpu) {
    return cpu.fma() && cpu.avx2() && g.kernelW == 3 && g.kernelH == 3 &&
           g.padLeft == 1 && g.outC % 16 == 0 && g.inC == g.outC && g.dilationH == 1 &&
           g.dilationW == 1;
}

const Option* lineOption(int channels, bool avx) {
    return avx ? firstDividing(kAvxLine, channels) : firstDividing(kSseLine, channels);
}

// Steps 1 to 3 of the table, for depthwise and grouped layers alike: the
// five-tap lines and the dilated kernel. Path::None when none applies. The
// kernels index input and weight by output channel, so only layers with as
// many input as output channels qualify.
Choice lineOrDilated(const Geometry& g, bool avx) {
    if (g.inC != g.outC) return {};
    const Option* o = lineOption(g.outC, avx);
    if (o && isFiveTapLine(g, 2, 2, 4)) return vector(Family::LineS2D2, *o, blockedCode(o->block));
    if (g.dilationH >= 2 || g.dilationW >= 2) return portable(Path::Dilated);
    if (o && isFiveTapLine(g, 1, 1, 2)) return vector(Family::LineS1, *o, kOuterInnermost);
    return {};
}

// Steps 4 and 5: the remaining depthwise layers.
Choice depthwiseBlocked(const Geometry& g, bool avx) {
    const int C = g.outC;
    const Option* o = lineOption(C, avx);
    // 3x3 stride 1: any count of at least 8 not taken by a wider block runs
    // 8-channel SSE blocks, the last one overlapping.
    const bool is3x3s1 = g.kernelW == 3 && g.kernelH == 3 && g.strideW == 1 && g.strideH == 1;
    if (is3x3s1 && C >= 8 && (!o || o->block == 4))
        return vector(Family::Blocked, {false, 8}, blockedCode(8));
    return o ? vector(Family::Blocked, *o, blockedCode(o->block)) : portable(Path::Generic);
}

// Step 6: grouped layers, by output channels per group.
Choice grouped(const Geometry& g, bool avx) {
    static constexpr Option kAvx[] = {{true, 16}, {true, 8}, {false, 4}};
    static constexpr Option kSse[] = {{false, 8}, {false, 4}};
    const int M = g.outC / g.group;
    const Option* o = avx ? firstDividing(kAvx, M) : firstDividing(kSse, M);
    if (!o || g.outC % g.group || g.inC % g.group) return {};
    return vector(Family::Grouped, *o, blockedCode(o->block));
}

}  // namespace

Choice selectDepthwise(const Geometry& g, const CpuInfo& cpu, bool halfPrecision) {
    const bool depthwise = g.group == g.outC;
    if (depthwise && g.inC != g.outC) return {};
    if (depthwise && takes3x3(g, cpu)) return vector(Family::Blocked, {true, 16}, 9, Fusion::ReluSkip);
    const bool avx = !halfPrecision && cpu.avx2() && cpu.fma();
    const Choice line = lineOrDilated(g, avx);
    if (line.path != Path::None) return line;
    return depthwise ? depthwiseBlocked(g, avx) : grouped(g, avx);
}

Choice selectDepthwiseDeconv(const Geometry& g, const CpuInfo& cpu, bool halfPrecision) {
    if (g.group != g.outC || g.inC != g.outC) return {};
    const bool line = (g.kernelW == 5 && g.strideW == 2 && g.dilationW == 2 && g.kernelH == 1 &&
                       g.outH == 1 && g.inH == 1) ||
                      (g.kernelH == 5 && g.strideH == 2 && g.dilationH == 2 && g.kernelW == 1 &&
                       g.outW == 1 && g.inW == 1);
    static constexpr Option kAvx[] = {{true, 16}, {true, 8}, {false, 4}};
    static constexpr Option kSse[] = {{false, 8}, {false, 4}};
    const bool avx = !halfPrecision && cpu.avx2() && cpu.fma();
    const Option* o = !line ? nullptr : avx ? firstDividing(kAvx, g.outC) : firstDividing(kSse, g.outC);
    Choice c = o ? vector(Family::DeconvLine, *o, 0) : portable(Path::GenericDeconv);
    c.weightCode = 0;
    c.transposedWeight = true;
    c.fusion = Fusion::RectifiersRemoved;
    return c;
}

}  // namespace dw
}  // namespace YNet
