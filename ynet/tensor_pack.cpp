// Tensor::floatData: re-packs NHWC or NCHW float data into a kernel's blocked
// layout. Logical element (o, i1, i2, i) has outer index o (n, or c when
// transposed), spatial indices i1 < h, i2 < w and inner index i (c, or n when
// transposed). A packed buffer is a sequence of blocks of `block` outer
// indices; inside a block the inner index is cut into chunks of `chunk`
// (the last chunk may be short unless padded) and ordered by the variant:
//   plain   [h][w][inner/chunk][o][chunk]
//   cFirst  [h][inner/chunk][w][o][chunk]   (inner before w)
//   cOuter  [inner][h][w][o]
#include <algorithm>
#include <cstring>

#include "ynet/tensor.h"

namespace YNet {

namespace {

enum class Variant : uint8_t { Plain, CFirst, COuter };

struct Format {
    uint8_t a, b;
    Variant v;
};

constexpr Variant P = Variant::Plain, I = Variant::CFirst, O = Variant::COuter;

// (outer block, inner chunk, variant) of codes 0..36; 37 is computed.
constexpr Format kFormats[37] = {
    {1, 1, P},  {1, 1, O},  {24, 4, O}, {18, 4, O}, {24, 8, O}, {18, 8, O}, {4, 1, O},
    {32, 1, P}, {24, 1, P}, {16, 1, P}, {12, 1, P}, {8, 1, P},  {4, 1, P},  {2, 1, P},
    {1, 1, P},  {16, 2, P}, {8, 2, P},  {4, 4, P},  {8, 4, P},  {16, 4, P}, {32, 1, I},
    {24, 1, I}, {16, 1, I}, {12, 1, I}, {8, 1, I},  {4, 1, I},  {2, 1, I},  {1, 1, I},
    {8, 2, I},  {8, 4, I},  {16, 4, I}, {4, 1, O},  {8, 1, O},  {16, 1, O}, {32, 1, O},
    {1, 1, P},  {1, 1, P}};

size_t roundUp(size_t x, size_t m) { return (x + m - 1) / m * m; }

// Everything the copy loop needs, resolved once per call.
struct Plan {
    Variant variant;
    size_t outer, inner, innerPadded, h, w;
    size_t block, chunk, blocks;
    bool fromNchw, transposed, padLastBlock;
    const float* rowOffsets;

    size_t blockSize() const { return block * h * w * innerPadded; }
    size_t total() const { return blocks * blockSize(); }
};

Plan makePlan(const Tensor& t, uint32_t code, bool transposed, bool padLastBlock,
              bool padInnerTo4, const float* rowOffsets) {
    Plan p{};
    const bool fromNchw = t.layout == kNCHW;
    Format f = code == kOuterInnermost ? Format{0, 1, P} : kFormats[code];
    if (fromNchw && code == kOuterInnermostCFirst) f = Format{0, 1, I};
    p.variant = f.v;
    p.outer = transposed ? t.c : t.n;
    p.inner = transposed ? t.n : t.c;
    p.h = t.h;
    p.w = t.w;
    if (f.a == 0) {
        // The whole outer dimension is one block, transposed or not.
        p.block = std::max<size_t>(p.outer, 1);
        p.chunk = 1;
    } else {
        const bool blockByB = transposed && f.v != O;
        p.block = blockByB ? f.b : f.a;
        p.chunk = f.v == O ? 1 : (transposed ? f.a : f.b);
    }
    // An NHWC source is copied without chunking the inner dimension.
    if (!fromNchw) p.chunk = 1;
    p.innerPadded = p.inner;
    if (padInnerTo4 && !transposed) {
        p.innerPadded = roundUp(p.inner, p.chunk >= 2 ? p.chunk : 4);
    }
    p.blocks = (p.outer + p.block - 1) / p.block;
    p.fromNchw = fromNchw;
    p.transposed = transposed;
    p.padLastBlock = padLastBlock;
    p.rowOffsets = (fromNchw && f.v != O) ? rowOffsets : nullptr;
    return p;
}

// Source index of logical element (o, i1, i2, i).
size_t sourceIndex(const Plan& p, const Tensor& t, size_t o, size_t i1, size_t i2, size_t i) {
    const size_t n = p.transposed ? i : o;
    const size_t c = p.transposed ? o : i;
    if (p.fromNchw) return ((n * t.c + c) * t.h + i1) * t.w + i2;
    return ((n * t.h + i1) * t.w + i2) * t.c + c;
}

// Offset inside a block of element (j-th outer row of the block, i1, i2, i).
size_t blockOffset(const Plan& p, size_t j, size_t i1, size_t i2, size_t i) {
    if (p.variant == Variant::COuter) return ((i * p.h + i1) * p.w + i2) * p.block + j;
    const size_t q = i / p.chunk, r = i % p.chunk;
    const size_t width = std::min(p.chunk, p.innerPadded - q * p.chunk);
    const size_t chunkStart = q * p.chunk * p.block;
    if (p.variant == Variant::Plain) {
        return (i1 * p.w + i2) * p.innerPadded * p.block + chunkStart + j * width + r;
    }
    return i1 * p.innerPadded * p.w * p.block + chunkStart * p.w + i2 * p.block * width +
           j * width + r;
}

// Without padding, a short last block is moved back to end at the last row
// (overlapping its neighbour); rows past the end stay zero.
size_t blockStart(const Plan& p, size_t k) {
    const size_t start = k * p.block;
    if (p.padLastBlock || start + p.block <= p.outer || p.outer < p.block) return start;
    return p.outer - p.block;
}

void fill(const Plan& p, const Tensor& t, const float* src, float* dst) {
    for (size_t k = 0; k < p.blocks; ++k) {
        float* out = dst + k * p.blockSize();
        const size_t start = blockStart(p, k);
        const size_t rows = std::min(p.block, p.outer - start);
        for (size_t j = 0; j < rows; ++j) {
            const size_t o = start + j;
            const float offset = p.rowOffsets ? p.rowOffsets[o] : 0.0f;
            for (size_t i1 = 0; i1 < p.h; ++i1)
                for (size_t i2 = 0; i2 < p.w; ++i2)
                    for (size_t i = 0; i < p.inner; ++i)
                        out[blockOffset(p, j, i1, i2, i)] =
                            src[sourceIndex(p, t, o, i1, i2, i)] - offset;
        }
    }
}

}  // namespace

float* Tensor::floatData(uint32_t code, bool transposed_, bool padLastBlock, bool padInnerTo4,
                         const float* rowOffsets) {
    if (!data[kFloat]) {
        data[kFloat] = alignedAlloc(floatCapacity() * sizeof(float));
        notOwned[kFloat] = false;
        if (!data[kFloat]) return nullptr;
        noteFloatSize(floatCapacity());
    }
    if (!holdsShape()) return nullptr;
    if (layout == code && transposed == transposed_) return f32();
    // Only the two source orders can be re-packed; a packed tensor keeps its
    // one layout.
    if ((layout != kNHWC && layout != kNCHW) || transposed || code > kOuterInnermost) {
        return nullptr;
    }
    const Plan plan = makePlan(*this, code, transposed_, padLastBlock, padInnerTo4, rowOffsets);
    float* packed = static_cast<float*>(alignedAlloc(plan.total() * sizeof(float)));
    if (!packed) return nullptr;
    fill(plan, *this, f32(), packed);
    if (transposed_) std::swap(n, c);
    if (!notOwned[kFloat]) alignedFree(data[kFloat]);
    data[kFloat] = packed;
    notOwned[kFloat] = false;
    capacity = plan.total();
    noteFloatSize(capacity);
    layout = code;
    transposed = transposed_;
    return packed;
}

}  // namespace YNet
