#pragma once
// The columns a generic row product leaves after its 8-wide chunks: chunks of
// 4 products summed before they join s, then single products. Included by one
// kernel file per ISA; the unnamed namespace keeps each build's copy local.
namespace YNet {
namespace gru {
namespace {

inline float addTail(float s, const float* row, const float* v, int k, int K) {
    for (; k + 4 <= K; k += 4)
        s += row[k] * v[k] + row[k + 1] * v[k + 1] + row[k + 2] * v[k + 2] + row[k + 3] * v[k + 3];
    for (; k < K; ++k) s += row[k] * v[k];
    return s;
}

}  // namespace
}  // namespace gru
}  // namespace YNet
