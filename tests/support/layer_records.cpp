#include "tests/support/layer_records.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace test_support {

RecordBuilder::RecordBuilder(const std::string& type, const std::vector<std::string>& blobNames,
                             const std::vector<int32_t>& values, const std::vector<std::string>& weightNames) {
    record_.type = record_.name = keep(type);
    blobs(blobNames).words(values).weights(weightNames);
}

RecordBuilder& RecordBuilder::name(const std::string& name) {
    record_.name = keep(name);
    return *this;
}

const char* RecordBuilder::keep(const std::string& s) {
    strings_.push_back(s);
    return strings_.back().c_str();
}

RecordBuilder& RecordBuilder::blobs(const std::vector<std::string>& names) {
    std::fill(std::begin(record_.blobs), std::end(record_.blobs), nullptr);
    int slot = 0;
    for (const std::string& n : names) blob(slot++, n);
    return *this;
}

RecordBuilder& RecordBuilder::blob(int slot, const std::string& name) {
    record_.blobs[slot] = keep(name);
    return *this;
}

RecordBuilder& RecordBuilder::weights(const std::vector<std::string>& names) {
    std::fill(std::begin(record_.weightNames), std::end(record_.weightNames), nullptr);
    int slot = 0;
    for (const std::string& n : names) record_.weightNames[slot++] = keep(n);
    return *this;
}

RecordBuilder& RecordBuilder::words(const std::vector<int32_t>& values, int first) {
    for (int32_t v : values) record_.words[first++] = v;
    return *this;
}

RecordBuilder& RecordBuilder::floatWord(int slot, float value) {
    std::memcpy(&record_.words[slot], &value, sizeof value);
    return *this;
}

RecordBuilder inPlaceActivation(uint32_t kind, float param, const std::string& blob) {
    RecordBuilder r(kind == 6 ? "LeakyRelu" : "Activation", {blob, blob}, {int32_t(kind)});
    r.floatWord(16, param);
    return r;
}

}  // namespace test_support
