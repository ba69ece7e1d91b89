// Interprets the layer records with LibTorch ops, one frame at a time. A blob
// of one frame, channel-last (h, w, c), is held as a (1, c, h*w) tensor; its
// channel-last memory, what Reshape and MatMul read, is x^T flattened.
#include "bench/torch_net.h"

#include <torch/script.h>
#include <torch/torch.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "model/echo_net.h"
#include "model/frame_contract.h"

namespace {

using torch::Tensor;
namespace F = torch::nn::functional;
using namespace frame_contract;

struct Blob {
    Tensor x;
    int h = 0, w = 0, c = 0;
};

struct Weight {
    Tensor x;  // flat, in stored order
    int n = 0, h = 0, w = 0, c = 0;
};

Tensor toMemory(const Tensor& x) { return x.transpose(1, 2).reshape({1, -1}); }
Tensor fromMemory(const Tensor& m, int64_t rows, int64_t c) {
    return m.reshape({1, rows, c}).transpose(1, 2);
}

Tensor padRows(const Tensor& x, int top, int bottom) {
    return top || bottom ? torch::constant_pad_nd(x, {top, bottom}, 0) : x;
}

Tensor rationalTanh(const Tensor& v) {
    const Tensor q = v * v;
    const Tensor t = v * (q * (q * (q + 378.0) + 17325.0) + 135135.0) /
                     (q * (q * (28.0 * q + 3150.0) + 62370.0) + 135135.0);
    return torch::where(v > 5.0, torch::ones_like(v), torch::where(v <= -5.0, -torch::ones_like(v), t));
}

int inputCount(const std::string& type) {
    return type == "Concat" || type == "Add" || type == "Mul" || type == "Sub" ? 2 : 1;
}

class Interpreter final : public TorchEchoNet {
public:
    explicit Interpreter(std::map<std::string, Weight> weights) : weights(std::move(weights)) { resetState(); }

    void resetState() override {
        states[kState1Blob] = torch::zeros({1, kStateSize});
        states[kState2Blob] = torch::zeros({1, kStateSize});
    }

    void frame(const float* features, float* mask) override {
        torch::InferenceMode guard;
        std::map<std::string, Blob> blobs;
        blobs[kWindowABlob] = window(features);
        blobs[kWindowBBlob] = window(features + kWindowBOffset);
        const YNet::LayerRecord* layers = LayerTable();
        for (uint32_t i = 0; i < kLayerRecordCount; ++i) run(layers[i], blobs);
        const Tensor m = toMemory(blobs.at(kMaskBlob).x).contiguous();
        std::memcpy(mask, m.data_ptr<float>(), kBins * sizeof(float));
    }

private:
    std::map<std::string, Weight> weights;
    std::map<std::string, Tensor> states;

    static Blob window(const float* p) {
        const Tensor rows = torch::from_blob(const_cast<float*>(p), {1, 1, kWindowRows * kBins}).clone();
        return {rows, kWindowRows, kBins, 1};
    }
    const Tensor& weight(const char* name) const { return weights.at(name).x; }
    const Weight& weightRecord(const char* name) const { return weights.at(name); }

    void run(const YNet::LayerRecord& l, std::map<std::string, Blob>& blobs) {
        const std::string type = l.type;
        const int nIn = inputCount(type);
        std::vector<const Blob*> ins;
        for (int i = 0; i < nIn; ++i) ins.push_back(&blobs.at(l.blobs[i]));
        const int32_t* p = l.words;
        Blob out;
        if (type == "GRU") out = gru(l, *ins[0], states.at(l.blobs[nIn + 1]));
        else if (type == "LeakyRelu" || type == "Sigmoid") out = activation(*ins[0], p[0], l.wordAsFloat(16));
        else if (type == "Add") out = {ins[0]->x + ins[1]->x, ins[0]->h, ins[0]->w, ins[0]->c};
        else if (type == "Mul") out = {ins[0]->x * ins[1]->x, ins[0]->h, ins[0]->w, ins[0]->c};
        else if (type == "Concat") out = {torch::cat({ins[0]->x, ins[1]->x}, 1), ins[0]->h, ins[0]->w, ins[0]->c + ins[1]->c};
        else if (type == "Reshape") out = reshape(*ins[0], p);
        else if (type == "TransposeAxis") out = transpose(*ins[0], p);
        else if (type == "Conv" || type == "DepthwiseConv") out = conv(l, *ins[0], type == "DepthwiseConv");
        else if (type == "DepthwiseDeConv") out = deconv(l, *ins[0]);
        else if (type == "MatMul") out = matmul(l, *ins[0]);
        else if (type == "YnetAppend") out = append(*ins[0], weight(l.weightNames[0]));
        else throw std::runtime_error("no LibTorch form for layer type " + type);
        blobs[l.blobs[nIn]] = out;
    }

    static Blob activation(const Blob& in, int kind, float param) {
        Tensor y = kind == 5 ? torch::sigmoid(in.x) : kind == 6 ? torch::leaky_relu(in.x, param) : in.x;
        return {y, in.h, in.w, in.c};
    }

    static Blob reshape(const Blob& in, const int32_t* p) {
        int t[3] = {p[1], p[2], p[3]};
        const int total = in.h * in.w * in.c;
        int known = 1;
        for (int v : t) known *= v >= 1 ? v : 1;
        for (int& v : t) if (v < 1) v = total / known;
        if (t[2] == in.c) return {in.x, t[0], t[1], t[2]};
        return {fromMemory(toMemory(in.x), t[0] * t[1], t[2]), t[0], t[1], t[2]};
    }

    static Blob transpose(const Blob& in, const int32_t* p) {
        const int64_t dims[4] = {1, in.h, in.w, in.c};
        const Tensor moved = toMemory(in.x).reshape({1, in.h, in.w, in.c}).permute({0, p[1], p[2], p[3]});
        const int h = int(dims[p[1]]), w = int(dims[p[2]]), c = int(dims[p[3]]);
        return {fromMemory(moved.reshape({1, -1}), h * w, c), h, w, c};
    }

    Tensor bias(const YNet::LayerRecord& l, int channels) const {
        const char* name = l.weightNames[1];
        return name && *name ? weight(name) : torch::zeros({channels});
    }

    // Kernels run along the rows of one-column maps: (KH x 1) taps.
    Blob conv(const YNet::LayerRecord& l, const Blob& in, bool depthwise) const {
        const int32_t* p = l.words;
        const int k = p[1], stride = p[7], dilation = std::max(p[9], 1);
        const std::vector<int64_t> one{1}, zero{0};
        const auto ints = [](int v) { return std::vector<int64_t>{v}; };
        const int64_t groups = depthwise ? std::max(p[10], 1) : 1;
        const int oc = weightRecord(l.weightNames[0]).n;
        const Tensor w = weight(l.weightNames[0]).reshape({oc, in.c / groups, k});
        const Tensor x = padRows(in.x, p[4], p[5]);
        const int outRows = (int(x.size(2)) - dilation * (k - 1) - 1) / stride + 1;
        Tensor y;
        if (stride == dilation && stride > 1) {
            y = torch::conv1d(x.slice(2, 0, x.size(2), stride), w, bias(l, oc), one, zero, one, groups).slice(2, 0, outRows);
        } else {
            y = torch::conv1d(x, w, bias(l, oc), ints(stride), zero, ints(dilation), groups);
        }
        return {y, outRows, 1, oc};
    }

    // Gather form: output row oy takes in[(oy - off + ky*d) / s] * W[ky];
    // as a scatter, a transposed convolution with reversed taps, cropped.
    Blob deconv(const YNet::LayerRecord& l, const Blob& in) const {
        const int32_t* p = l.words;
        const int k = p[1], top = p[4], bottom = p[5], s = p[7], d = std::max(p[9], 1);
        const int64_t ch = in.c, rows = in.h;
        const int64_t outRows = (rows - 1) * s + (k - 1) * d - top - bottom + 1;
        const int64_t spread = (rows - 1) * s + 1;
        Tensor up = in.x;
        if (s > 1) {
            up = torch::zeros({1, ch, spread});
            up.slice(2, 0, spread, s).copy_(in.x);
        }
        const Tensor taps = weight(l.weightNames[0]).reshape({ch, k, 1}).flip({1});
        const int64_t fullRows = spread + (k - 1) * d;
        Tensor full = torch::zeros({1, ch, fullRows});
        for (int t = 0; t < k; ++t) full.slice(2, t * d, t * d + spread) += up * taps.select(1, t).reshape({1, ch, 1});
        if (fullRows < top + outRows) full = torch::constant_pad_nd(full, {0, top + outRows - fullRows}, 0);
        const Tensor y = full.slice(2, top, top + outRows) + bias(l, int(ch)).reshape({1, ch, 1});
        return {y, int(outRows), 1, int(ch)};
    }

    // A is the input's w rows of c values, B the weight's h rows of w values;
    // with A transposed the product is stored transposed.
    Blob matmul(const YNet::LayerRecord& l, const Blob& in) const {
        const int32_t* p = l.words;
        const Weight& wb = weightRecord(l.weightNames[0]);
        Tensor b = wb.x.reshape({wb.h, wb.w});
        if (p[1]) b = b.t();
        const int64_t m = p[0] ? in.c : in.w, n = b.size(1);
        const Tensor a = toMemory(in.x).reshape({1, in.w, in.c});
        Tensor memory;
        if (p[0]) {
            memory = torch::matmul(a.transpose(1, 2), b).transpose(1, 2).reshape({1, -1});
        } else {
            Tensor prod = torch::matmul(a, b);
            const char* biasName = l.weightNames[1];
            if (biasName && *biasName) prod = prod + weight(biasName).reshape({prod.size(1), prod.size(2)});
            memory = prod.reshape({1, -1});
        }
        const int64_t rows = n == 1 ? 1 : (m == 1 ? 1 : m), cols = n == 1 ? m : n;
        return {fromMemory(memory, rows, cols), 1, int(rows), int(cols)};
    }

    static Blob append(const Blob& in, const Tensor& row) {
        const int64_t c = in.c, h = in.h;
        Tensor out = torch::empty({1, c, 2 * h - 1});
        out.slice(2, 0, 2 * h - 1, 2).copy_(in.x);
        out.slice(2, 1, 2 * h - 1, 2).copy_(row.slice(0, 0, c).reshape({1, c, 1}).expand({1, c, h - 1}));
        return {out, int(2 * h - 1), in.w, in.c};
    }

    // Linear-before-reset candidate, gates z, r, n.
    Blob gru(const YNet::LayerRecord& l, const Blob& in, Tensor& state) const {
        const int64_t hidden = l.words[0];
        const Tensor w = weight(l.weightNames[0]).reshape({3 * hidden, -1});
        const Tensor r = weight(l.weightNames[1]).reshape({3 * hidden, hidden});
        const Tensor b = weight(l.weightNames[2]);
        const Tensor gx = torch::addmm(b.slice(0, 0, 3 * hidden), in.x.reshape({1, -1}), w.t());
        const Tensor gh = torch::addmm(b.slice(0, 3 * hidden, 6 * hidden), state, r.t());
        const Tensor z = torch::sigmoid(gx.slice(1, 0, hidden) + gh.slice(1, 0, hidden));
        const Tensor rr = torch::sigmoid(gx.slice(1, hidden, 2 * hidden) + gh.slice(1, hidden, 2 * hidden));
        const Tensor cand = rationalTanh(gh.slice(1, 2 * hidden, 3 * hidden) * rr + gx.slice(1, 2 * hidden, 3 * hidden));
        state = z * state + (1.0 - z) * cand;
        return {state.reshape({1, hidden, 1}), 1, 1, int(hidden)};
    }
};

// The exported module: (window A, window B, state 1, state 2) -> (mask, state 1, state 2).
class Traced final : public TorchEchoNet {
public:
    explicit Traced(torch::jit::Module module) : module(std::move(module)) { resetState(); }

    void resetState() override {
        state1 = torch::zeros({kStateSize});
        state2 = torch::zeros({kStateSize});
    }

    void frame(const float* features, float* mask) override {
        torch::InferenceMode guard;
        const auto window = [](const float* p) {
            return torch::from_blob(const_cast<float*>(p), {kWindowRows, kBins});
        };
        const auto out = module.forward({window(features), window(features + kWindowBOffset), state1, state2}).toTuple();
        state1 = out->elements()[1].toTensor();
        state2 = out->elements()[2].toTensor();
        std::memcpy(mask, out->elements()[0].toTensor().contiguous().data_ptr<float>(), kBins * sizeof(float));
    }

private:
    torch::jit::Module module;
    Tensor state1, state2;
};

bool readFile(const std::string& path, std::vector<char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

std::unique_ptr<TorchEchoNet> makeTorchEchoNet(const std::string& blobPath, std::string* error) {
    std::vector<char> bytes;
    if (!readFile(blobPath, bytes)) {
        *error = blobPath + ": cannot read";
        return nullptr;
    }
    torch::set_num_threads(1);
    // Blocks in table order, each on a 128-byte boundary.
    std::map<std::string, Weight> weights;
    size_t offset = 0;
    const YNet::WeightRecord* records = WeightTable();
    for (uint32_t i = 0; i < kWeightRecordCount; ++i) {
        const YNet::WeightRecord& r = records[i];
        offset = (offset + 127) / 128 * 128;
        const int64_t count = int64_t(r.n) * r.h * r.w * r.c;
        if (offset + 2 * size_t(count) > bytes.size()) {
            *error = blobPath + ": shorter than the weight table";
            return nullptr;
        }
        const Tensor halves = torch::from_blob(bytes.data() + offset, {count}, torch::kHalf);
        weights[r.name] = {halves.to(torch::kFloat), int(r.n), int(r.h), int(r.w), int(r.c)};
        offset += 2 * size_t(count);
    }
    if (offset != bytes.size() && (offset + 127) / 128 * 128 < bytes.size()) {
        *error = blobPath + ": longer than the weight table";
        return nullptr;
    }
    return std::unique_ptr<TorchEchoNet>(new Interpreter(std::move(weights)));
}

std::unique_ptr<TorchEchoNet> makeTracedEchoNet(const std::string& modulePath, std::string* error) {
    if (modulePath.empty()) {
        *error = "no TorchScript module given";
        return nullptr;
    }
    torch::set_num_threads(1);
    try {
        torch::jit::Module module = torch::jit::load(modulePath);
        module.eval();
        return std::unique_ptr<TorchEchoNet>(new Traced(std::move(module)));
    } catch (const std::exception& e) {
        const std::string what = e.what();
        *error = modulePath + ": " + what.substr(0, what.find('\n'));
        return nullptr;
    }
}
