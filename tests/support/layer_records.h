#pragma once
// Layers built from records as the net builds them, in tests: an x86 run
// environment that prints no CPU report, and LayerRecords put together by
// name.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "ynet/records.h"
#include "ynet/run_env.h"

namespace test_support {

// Backend 3 (the x86 layer classes) without the report the x86 environment prints.
struct TestEnv : YNet::core::RunEnv {
    int backendIndex() const override { return 3; }
};

// A LayerRecord that owns its strings, so names may be temporaries. The
// layer is named after its type unless named; slots not set stay empty; a
// list of names replaces every slot after it too.
class RecordBuilder {
public:
    explicit RecordBuilder(const std::string& type, const std::vector<std::string>& blobs = {},
                           const std::vector<int32_t>& words = {}, const std::vector<std::string>& weights = {});
    RecordBuilder(RecordBuilder&&) = default;  // a moved deque keeps its strings where they are
    RecordBuilder(const RecordBuilder&) = delete;
    RecordBuilder& operator=(const RecordBuilder&) = delete;

    RecordBuilder& name(const std::string& name);
    RecordBuilder& blobs(const std::vector<std::string>& names);  // inputs then outputs
    RecordBuilder& blob(int slot, const std::string& name);
    RecordBuilder& weights(const std::vector<std::string>& names);
    RecordBuilder& words(const std::vector<int32_t>& values, int first = 0);
    RecordBuilder& floatWord(int slot, float value);

    operator const YNet::LayerRecord&() const { return record_; }

private:
    const char* keep(const std::string& s);

    std::deque<std::string> strings_;
    YNet::LayerRecord record_{};
};

// An activation of `kind` (word 0; 6 is LeakyRelu) running in place on
// `blob`, its parameter in float word 16.
RecordBuilder inPlaceActivation(uint32_t kind, float param, const std::string& blob);

}  // namespace test_support
