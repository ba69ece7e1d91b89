// 256-bit Concat row copy.
#include "impl_x86/concat/concat_copy.h"
#include "impl_x86/concat/concat_kernels.h"
#include "impl_x86/simd/vec_avx.h"

namespace YNet {
namespace concat {
namespace {

using Avx8Move = vec::Avx8;

}  // namespace

void copyRowsAvx(const float* const* src, const size_t* len, size_t count, size_t rows,
                 float* dst) {
    copyRowsWith<Avx8Move>(src, len, count, rows, dst);
}

}  // namespace concat
}  // namespace YNet
