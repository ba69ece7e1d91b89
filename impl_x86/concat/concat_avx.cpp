// 256-bit Concat row copy.
#include <immintrin.h>

#include "impl_x86/concat/concat_copy.h"
#include "ynet/layers/concat/concat_kernels.h"

namespace YNet {
namespace concat {
namespace {

struct Avx8Move {
    static constexpr int kLanes = 8;
    static __m256 load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, __m256 v) { _mm256_storeu_ps(p, v); }
};

}  // namespace

void copyRowsAvx(const float* const* src, const size_t* len, size_t count, size_t rows,
                 float* dst) {
    copyRowsWith<Avx8Move>(src, len, count, rows, dst);
}

}  // namespace concat
}  // namespace YNet
