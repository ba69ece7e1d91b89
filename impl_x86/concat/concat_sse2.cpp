// Portable and 128-bit Concat copies, and the 8 + 2 + 2 channel kernel.
#include <emmintrin.h>

#include <cstring>

#include "impl_x86/activation/exp_sse.h"
#include "impl_x86/concat/concat_copy.h"
#include "impl_x86/concat/concat_kernels.h"

namespace YNet {
namespace concat {

void copyRowsPortable(const float* const* src, const size_t* len, size_t count, size_t rows,
                      float* dst) {
    for (size_t r = 0; r < rows; ++r) {
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(dst, src[i] + r * len[i], len[i] * sizeof(float));
            dst += len[i];
        }
    }
}

void copyRowsSse(const float* const* src, const size_t* len, size_t count, size_t rows,
                 float* dst) {
    copyRowsWith<act::Sse4>(src, len, count, rows, dst);
}

// Two positions per step: 2 x (8 of a, 2 of b, 2 of c) = 24 floats.
void concat822(const float* a, const float* b, const float* c, size_t positions, float* dst) {
    size_t p = 0;
    for (; p + 2 <= positions; p += 2, a += 16, b += 4, c += 4, dst += 24) {
        const __m128 bb = _mm_loadu_ps(b), cc = _mm_loadu_ps(c);
        _mm_storeu_ps(dst, _mm_loadu_ps(a));
        _mm_storeu_ps(dst + 4, _mm_loadu_ps(a + 4));
        _mm_storeu_ps(dst + 8, _mm_movelh_ps(bb, cc));
        _mm_storeu_ps(dst + 12, _mm_loadu_ps(a + 8));
        _mm_storeu_ps(dst + 16, _mm_loadu_ps(a + 12));
        _mm_storeu_ps(dst + 20, _mm_movehl_ps(cc, bb));
    }
    if (p < positions) {
        std::memcpy(dst, a, 8 * sizeof(float));
        std::memcpy(dst + 8, b, 2 * sizeof(float));
        std::memcpy(dst + 10, c, 2 * sizeof(float));
    }
}

}  // namespace concat
}  // namespace YNet
