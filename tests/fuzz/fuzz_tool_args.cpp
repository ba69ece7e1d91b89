// The `aec process` command line and input files. The input is argument
// words separated by NUL bytes, then a 0xFF byte, then the bytes of an audio
// file; when the words parse, the file is read as both mic and ref (the
// paths given are replaced, so nothing outside the scratch file is opened).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/aec_args.h"

namespace {

std::string scratchPath() {
    return "/tmp/fuzz_tool_args_" + std::to_string(getpid()) + ".wav";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0xFF, size));
    const size_t argBytes = split ? size_t(split - data) : size;
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < argBytes; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    if (!word.empty()) words.push_back(word);
    aec_tools::ProcessArgs args;
    if (!aec_tools::parseProcess(words, args) || !split) return 0;
    const std::string path = scratchPath();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(split + 1, 1, size - argBytes - 1, file);
    std::fclose(file);
    args.mic = args.ref = path;
    aec_tools::Inputs inputs;
    if (inputs.open(args)) {
        // opened inputs are non-empty and read back exactly their length, block by block
        if (inputs.length == 0) __builtin_trap();
        std::vector<float> mic(4096), ref(4096);
        size_t done = 0;
        for (size_t count; done < inputs.length; done += count) {
            count = std::min(mic.size(), inputs.length - done);
            if (!inputs.read(mic.data(), ref.data(), count)) break;
            for (size_t n = 0; n < count; ++n) {
                if (!(std::fabs(mic[n]) <= 1.0f && std::fabs(ref[n]) <= 1.0f)) __builtin_trap();
            }
        }
    }
    std::remove(path.c_str());
    return 0;
}
