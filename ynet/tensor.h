#pragma once
// The engine's one data holder. Float data may be re-packed in place into a
// kernel's blocked layout on first request (see floatData).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ynet/records.h"

namespace YNet {

class Layer;

// 64-byte aligned, zero-filled; `extra` spare bytes after the payload
// (negative: 2 * alignment). Null for a non-power-of-two alignment.
void* alignedAlloc(size_t bytes, size_t alignment = 64, long extra = -1);
void alignedFree(void* p);

// Whole-array half <-> float conversion; F16C when the CPU has it (with AVX).
void halfToFloatArray(size_t count, const uint16_t* src, float* dst);
void floatToHalfArray(size_t count, const float* src, uint16_t* dst);
float halfToFloatScalar(uint16_t h);
uint16_t floatToHalfScalar(float f);  // truncating rule

// Layout codes of the float data that code compares by name; codes 2 to 35
// are packed formats known only by number (tensor_pack.cpp). 36 and 37 make
// the whole outer dimension one block: [h][c][w][n] and [h][w][c][n].
enum LayoutCode : uint32_t { kNHWC = 0, kNCHW = 1, kOuterInnermostCFirst = 36, kOuterInnermost = 37 };

// Buffer indices of Tensor::data.
enum Representation : int { kFloat = 0, kHalf = 1, kU8 = 2, kS8 = 3, kS16 = 4, kS32 = 5 };

struct Tensor {
    uint32_t n = 0, h = 0, w = 0, c = 0;
    uint32_t count = 0;
    uint64_t capacity = 0;  // floats in data[0] after a padded re-pack; 0 = n*h*w*c
    uint32_t layout = 0;
    std::string name;
    float zeroPoint[3] = {0, 0, 0};
    float scale[3] = {1, 1, 1};
    void* data[6] = {};
    uint64_t reservedWords[2] = {};
    bool transposed = false;
    uint8_t reservedBytes[3] = {};
    bool notOwned[6] = {};
    Layer* producer = nullptr;
    std::vector<Layer*> consumers;
    // The float buffer whose length this tensor knows, and that length: a
    // blob reshaped larger after its buffer was made is caught, not read
    // past. Keyed by pointer, so a buffer stored in data[0] from outside
    // is simply unknown (and trusted).
    const void* sizedFloat = nullptr;
    size_t sizedFloatCount = 0;

    Tensor() = default;
    ~Tensor();
    Tensor(const Tensor&) = delete;
    Tensor& operator=(const Tensor&) = delete;

    bool set(uint32_t n, uint32_t h, uint32_t w, uint32_t c, uint32_t layout,
             void* buffer = nullptr, bool notOwned = false);
    bool bind(const WeightRecord& record, size_t offset, bool notOwned);
    // Points the float data at `buffer`, which stays its owner's (an owned
    // buffer held so far is freed), as n x h x w x c floats in plain
    // `layout` order.
    void bindFloats(float* buffer, uint32_t n, uint32_t h, uint32_t w, uint32_t c, uint32_t layout);
    float* floatData(uint32_t layout = 0, bool transposed = false, bool padLastBlock = false,
                     bool padInnerTo4 = false, const float* rowOffsets = nullptr);
    void halfToFloat();
    void floatToHalf();
    void release();
    // Records that data[0] holds `elements` floats.
    void noteFloatSize(size_t elements);
    // Floats data[0] is known to hold; SIZE_MAX when unknown.
    size_t floatBufferSize() const;
    // True when data[0] is absent or holds floatCapacity() floats; an owned
    // buffer that is too short grows (contents kept, the rest zero), a
    // foreign one is refused.
    bool holdsShape();

    // Elements data[0] holds (capacity, or n*h*w*c).
    size_t floatCapacity() const { return capacity ? capacity : size_t(n) * h * w * c; }
    float* f32() const { return static_cast<float*>(data[kFloat]); }
    uint16_t* f16() const { return static_cast<uint16_t*>(data[kHalf]); }
    uint8_t* u8() const { return static_cast<uint8_t*>(data[kU8]); }
    int8_t* s8() const { return static_cast<int8_t*>(data[kS8]); }
    int16_t* s16() const { return static_cast<int16_t*>(data[kS16]); }
    int32_t* s32() const { return static_cast<int32_t*>(data[kS32]); }
};

}  // namespace YNet
