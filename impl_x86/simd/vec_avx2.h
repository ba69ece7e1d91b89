#pragma once
// Vector traits with fused multiply-add: 8 lanes (AVX) and 4 lanes (VEX
// encoded); AVX and FMA instructions only. Internal linkage; include only
// from *_fma.cpp and *_avx2.cpp files.
#include <immintrin.h>

#include "impl_x86/simd/vec_avx.h"
#include "impl_x86/simd/vec_sse.h"

namespace YNet {
namespace vec {
namespace {

struct Avx8Fma : Avx8 {
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
};

struct Fma4 : Sse4 {
    static V fmadd(V a, V b, V c) { return _mm_fmadd_ps(a, b, c); }
};

}  // namespace
}  // namespace vec
}  // namespace YNet
