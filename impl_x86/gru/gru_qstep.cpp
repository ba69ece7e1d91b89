// Quantized GRU: weight repacking, input widening and the step around the
// integer matrix-vector kernels. Gates and candidate stay in float.
#include <cmath>

#include "impl_x86/gru/gru_kernels.h"
#include "impl_x86/gru/gru_qkernels.h"

namespace YNet {
namespace gru {

QuantLayout quantLayout(int K, int groups) {
    QuantLayout l;
    l.K = K;
    l.groups = groups > 0 ? groups : 1;
    l.run = K / l.groups;
    l.paddedRun = l.run + (l.run & 1);
    return l;
}

void packQuantRows(const int8_t* src, int rows, const QuantLayout& l, int blockRows, int8_t* dst) {
    for (int b = 0; b < rows; b += blockRows)
        for (int g = 0; g < l.groups; ++g)
            for (int k = 0; k < l.paddedRun; k += 2)
                for (int r = b; r < b + blockRows; ++r)
                    for (int d = 0; d < 2; ++d) {
                        const int col = k + d;
                        *dst++ = col < l.run ? src[size_t(r) * l.K + g * l.run + col] : 0;
                    }
}

void packGroupScales(const float* src, int rows, int groups, int blockRows, float* dst) {
    for (int b = 0; b < rows; b += blockRows)
        for (int g = 0; g < groups; ++g)
            for (int r = b; r < b + blockRows; ++r) *dst++ = src[size_t(r) * groups + g];
}

namespace {

template <class T>
void widen(const T* v, const QuantLayout& l, int16_t* dst) {
    for (int g = 0; g < l.groups; ++g) {
        for (int k = 0; k < l.run; ++k) *dst++ = int16_t(v[g * l.run + k]);
        if (l.run & 1) *dst++ = 0;
    }
}

}  // namespace

void widenRuns(const int8_t* v, const QuantLayout& l, int16_t* dst) { widen(v, l, dst); }
void widenRuns(const int16_t* v, const QuantLayout& l, int16_t* dst) { widen(v, l, dst); }

int8_t quantizeState(float v, float invScale) {
    const float q = std::round(v * invScale);
    return int8_t(q > 127.0f ? 127.0f : q < -127.0f ? -127.0f : q);
}

void quantRecurrent(const QuantStepArgs& a, const int8_t* h) {
    widenRuns(h, a.rl, a.wideH);
    a.matVec(a.wideH, a.R, a.rScales, a.sh, a.Rb, a.gh, a.rl, 3 * a.H, a.blockRows);
}

void quantStep(const QuantStepArgs& a, const int16_t* wideX, int8_t* h) {
    const int H = a.H;
    a.matVec(wideX, a.W, a.wScales, a.sx, a.Wb, a.gx, a.wl, 3 * H, a.blockRows);
    if (!a.reuseGh) quantRecurrent(a, h);
    gateActivations(a.gx, a.gh, a.gates, 2 * H, a.hardSigmoid);
    const float* z = a.gates;
    const float* r = a.gates + H;
    float* cand = a.gates + 2 * H;
    for (int j = 0; j < H; ++j) cand[j] = a.gh[2 * H + j] * r[j] + a.gx[2 * H + j];
    const float inv = 1.0f / a.sh;
    for (int j = 0; j < H; ++j) {
        const float hj = float(h[j]) * a.sh;
        h[j] = quantizeState(z[j] * hj + (1.0f - z[j]) * tanhRational(cand[j]), inv);
    }
}

}  // namespace gru
}  // namespace YNet
