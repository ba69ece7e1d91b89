#pragma once
// Copies of a packed weight buffer that a benchmark cycles through, so that
// each call reads its weights from outer caches as the net does: its 4 MB of
// weights do not stay in a core's own cache from one frame to the next.
// With one copy the weights stay in cache (the kernel's compute limit).
#include <cstddef>
#include <functional>

#include "ynet/tensor.h"

namespace {

template <class T>
class WeightCopies {
public:
    // fill(dst) writes one copy of n values.
    WeightCopies(size_t n, bool cold, const std::function<void(T*)>& fill)
        : stride_((n * sizeof(T) + 63) / 64 * 64 / sizeof(T)),
          count_(cold ? kSpanBytes / (stride_ * sizeof(T)) + 1 : 1),
          data_(static_cast<T*>(YNet::alignedAlloc(stride_ * count_ * sizeof(T)))) {
        for (size_t i = 0; i < count_; ++i) fill(data_ + i * stride_);
    }
    ~WeightCopies() { YNet::alignedFree(data_); }
    WeightCopies(const WeightCopies&) = delete;
    WeightCopies& operator=(const WeightCopies&) = delete;

    // The next copy in turn.
    const T* next() {
        const T* p = data_ + at_ * stride_;
        at_ = (at_ + 1) % count_;
        return p;
    }

private:
    static constexpr size_t kSpanBytes = size_t(32) << 20;  // well past any core's caches
    size_t stride_, count_, at_ = 0;
    T* data_;
};

const char* weightPlace(bool cold) { return cold ? "weights from outer caches" : "weights in cache"; }

}  // namespace
