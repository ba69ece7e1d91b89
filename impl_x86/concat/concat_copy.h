#pragma once
// Row-append loop shared by the copy kernels; T moves one vector of
// T::kLanes floats (load/store), the rest of a row goes element by element.
// Internal linkage: instantiated per ISA.
#include <cstddef>

namespace YNet {
namespace concat {
namespace {

template <class T>
void copyRowsWith(const float* const* src, const size_t* len, size_t count, size_t rows,
                  float* dst) {
    for (size_t r = 0; r < rows; ++r) {
        for (size_t i = 0; i < count; ++i) {
            const float* s = src[i] + r * len[i];
            size_t k = 0;
            for (; k + T::kLanes <= len[i]; k += T::kLanes) T::store(dst + k, T::load(s + k));
            for (; k < len[i]; ++k) dst[k] = s[k];
            dst += len[i];
        }
    }
}

}  // namespace
}  // namespace concat
}  // namespace YNet
