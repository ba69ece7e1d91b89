#include "ynet/tensor.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace YNet {

void* alignedAlloc(size_t bytes, size_t alignment, long extra) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
    const size_t spare = extra >= 0 ? size_t(extra) : 2 * alignment;
    void* raw = std::calloc(1, bytes + 8 + spare + alignment);
    if (!raw) return nullptr;
    // Round strictly above raw + 8 so the raw pointer fits just before it.
    const uintptr_t user = ((reinterpret_cast<uintptr_t>(raw) + 8) | (alignment - 1)) + 1;
    void* p = reinterpret_cast<void*>(user);
    std::memcpy(static_cast<char*>(p) - 8, &raw, sizeof raw);
    return p;
}

void alignedFree(void* p) {
    if (!p) return;
    void* raw;
    std::memcpy(&raw, static_cast<char*>(p) - 8, sizeof raw);
    std::free(raw);
}

Tensor::~Tensor() { release(); }

namespace {

void freeIfOwned(Tensor& t, int index) {
    if (t.data[index] && !t.notOwned[index]) alignedFree(t.data[index]);
    t.data[index] = nullptr;
}

}  // namespace

bool Tensor::set(uint32_t n_, uint32_t h_, uint32_t w_, uint32_t c_, uint32_t layout_,
                 void* buffer, bool notOwned_) {
    n = n_;
    h = h_;
    w = w_;
    c = c_;
    layout = layout_;
    count = n * h * w * c;
    if (!buffer) return true;
    freeIfOwned(*this, kU8);
    data[kU8] = buffer;
    notOwned[kU8] = notOwned_;
    capacity = 0;
    return true;
}

bool Tensor::bind(const WeightRecord& record, size_t offset, bool notOwned_) {
    const void* source = offset == 0 ? record.data
                                     : static_cast<const char*>(record.base) + offset;
    const uint32_t rep = record.representation;
    if (rep == kU8 || rep > kS32) {
        return set(record.n, record.h, record.w, record.c, record.layout,
                   const_cast<void*>(source), notOwned_);
    }
    set(record.n, record.h, record.w, record.c, record.layout);
    if (!source) return true;
    freeIfOwned(*this, int(rep));
    data[rep] = const_cast<void*>(source);
    notOwned[rep] = notOwned_;
    capacity = 0;
    if (rep == kFloat) noteFloatSize(count);
    return true;
}

void Tensor::bindFloats(float* buffer, uint32_t n_, uint32_t h_, uint32_t w_, uint32_t c_,
                        uint32_t layout_) {
    if (data[kFloat] != buffer) freeIfOwned(*this, kFloat);
    data[kFloat] = buffer;
    notOwned[kFloat] = true;
    set(n_, h_, w_, c_, layout_);
    capacity = 0;
    transposed = false;
    noteFloatSize(count);
}

void Tensor::noteFloatSize(size_t elements) {
    sizedFloat = data[kFloat];
    sizedFloatCount = elements;
}

size_t Tensor::floatBufferSize() const { return data[kFloat] == sizedFloat ? sizedFloatCount : SIZE_MAX; }

bool Tensor::holdsShape() {
    const size_t need = floatCapacity(), have = floatBufferSize();
    if (!data[kFloat] || have >= need) return true;
    if (notOwned[kFloat]) return false;
    void* grown = alignedAlloc(need * sizeof(float));
    if (!grown) return false;
    std::memcpy(grown, data[kFloat], have * sizeof(float));
    alignedFree(data[kFloat]);
    data[kFloat] = grown;
    noteFloatSize(need);
    return true;
}

void Tensor::halfToFloat() {
    if (!data[kHalf]) return;
    const size_t elements = floatCapacity();
    if (!data[kFloat]) {
        data[kFloat] = alignedAlloc(elements * sizeof(float));
        notOwned[kFloat] = false;
        if (!data[kFloat]) return;
        noteFloatSize(elements);
    }
    if (!holdsShape()) return;
    halfToFloatArray(elements, f16(), f32());
}

void Tensor::floatToHalf() {
    if (!data[kFloat]) return;
    const size_t elements = floatCapacity();
    if (!data[kHalf]) {
        data[kHalf] = alignedAlloc(elements * sizeof(uint16_t));
        notOwned[kHalf] = false;
        if (!data[kHalf]) return;
    }
    floatToHalfArray(elements, f32(), f16());
}

void Tensor::release() {
    for (int i = 0; i < 6; ++i) {
        if (data[i] && !notOwned[i]) {
            alignedFree(data[i]);
            data[i] = nullptr;
        }
    }
}

}  // namespace YNet
