#pragma once
// Concat copy kernels. For r < rows, for each input i in order, len[i]
// floats are taken from src[i] + r * len[i] and appended to dst.
#include <cstddef>

namespace YNet {
namespace concat {

void copyRowsPortable(const float* const* src, const size_t* len, size_t count, size_t rows,
                      float* dst);
void copyRowsSse(const float* const* src, const size_t* len, size_t count, size_t rows,
                 float* dst);
void copyRowsAvx(const float* const* src, const size_t* len, size_t count, size_t rows,
                 float* dst);  // needs AVX

// Three inputs of 8, 2 and 2 channels over `positions` pixels (12 out).
void concat822(const float* a, const float* b, const float* c, size_t positions, float* dst);

}  // namespace concat
}  // namespace YNet
