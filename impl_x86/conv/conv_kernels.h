#pragma once
// Convolution and transposed-convolution kernels. Plain functions over one
// image; input and output are channel-last ((y * W + x) * C + ch). Each
// variant may only be called when its instruction set is present and the
// shape satisfies the kernel's selector conditions.
//
// Weight layouts (B = output-channel block; blocks start at 0, B, 2B, ...,
// the last one clamped to OC - B when OC > B, a single zero-padded block
// when OC < B):
//   plain      W[oc][ky][kx][ic]
//   tapMajor   per block [ky][kx][ic][B]
//   rowIcMajor per block [ky][ic][kx][B]
//   icMajor    per block [ic][ky][kx][B]
// `bias` must hold at least OC rounded up to B values (zeros past OC), and
// blocked kernels store all B channels of a pixel: with OC < B the extra
// values land on the next pixel (rewritten later) or in the output
// buffer's allocation slack.
#include <cstdint>

namespace YNet {
namespace conv {

struct Geometry {
    int ih, iw, ic;  // input rows, columns, channels
    int oh, ow, oc;  // output rows, columns, channels
    int kh, kw;
    int sh, sw;      // strides
    int dh, dw;      // dilations
    int padTop, padLeft;
    int group;       // transposed convolution only; 1 elsewhere
};

struct Args {
    Geometry g;
    const float* in;
    const float* w;
    const float* bias;
    float* out;
    uint32_t actKind;  // 0 none, 1 relu, 2 clip at actParam, 6 leaky with slope actParam
    float actParam;
    float* scratch;    // scratchFloats(kernel, g) floats the kernel may overwrite
};

using Kernel = void (*)(const Args&);

// ---- portable ----------------------------------------------------------
void convScalar(const Args& a);        // plain weights; no activation
void deconvScalar(const Args& a);      // plain (transposed) weights, grouped

// ---- SSE2 (B = 4 * NV channels) ------------------------------------------
template <int NV> void conv1x1Sse(const Args& a);      // tapMajor, 4 pixels per step
template <int NV> void convLineSse(const Args& a);     // icMajor, 3-tap line
template <int NV> void convGeneralSse(const Args& a);  // tapMajor, any geometry
template <int NV> void convDotSse(const Args& a);      // OC 1, 1x1, IC % (4 NV) == 0
void convSingleOutSse(const Args& a);                  // OC 1, plain weights
template <int NV> void deconvOcBlockSse(const Args& a);  // icMajor
void deconvDotSse(const Args& a);                        // plain, vector over IC
void deconvDepthwise4Sse(const Args& a);                 // group = OC = 4, plain
template <int R> void deconvRowsSse(const Args& a);      // plain, R outputs per pass

// ---- AVX2 + FMA (B = 8 * NV channels) --------------------------------------
template <int NV> void conv1x1Avx2(const Args& a);      // tapMajor, 4 pixels per step
template <int NV> void convLineAvx2(const Args& a);
template <int NV> void convGeneralAvx2(const Args& a);
template <int NV> void convDotAvx2(const Args& a);
void convSingleOutAvx2(const Args& a);
template <int NV> void deconvOcBlockAvx2(const Args& a);
void deconvDotAvx2(const Args& a);
template <int R> void deconvRowsAvx2(const Args& a);
// ---- AVX + FMA, no AVX2: the first selector's; relu fusion only -------------
template <int NV> void fast1x1Fma(const Args& a);       // 3 pixels for 24/32, else 4
template <int NV> void fast3x3Fma(const Args& a);       // tapMajor, 4 (3 for 24) columns
void fast3x3StemFma(const Args& a);                     // rowIcMajor, B = 16
void fast3x3B4Fma(const Args& a);                       // tapMajor, B = 4, 6 columns
void fast3x3ThreeOutFma(const Args& a);   // rowIcMajor, B = OC = 3, IC 4, strideW 1
void fast3x3SingleOutFma(const Args& a);  // rowIcMajor, B = OC = 1, IC 3, strideW 1

}  // namespace conv
}  // namespace YNet
