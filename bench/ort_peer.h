#pragma once
// ONNX Runtime as a peer system: bench/ort_peer.js run by Node in a child
// process that inherits this thread's core, driven block by block over pipes
// so it takes turns with the in-process systems.
#include <memory>
#include <string>
#include <vector>

#include "bench/perf_common.h"

class OrtPeer {
public:
    struct Paths {
        std::string script, nodeModules, model;
    };
    // Null with a one-line reason when Node, the package or the model is missing.
    static std::unique_ptr<OrtPeer> start(const Paths& paths, const Frames& frames, std::string* error);
    ~OrtPeer();
    OrtPeer(const OrtPeer&) = delete;
    OrtPeer& operator=(const OrtPeer&) = delete;

    const std::string& version() const { return version_; }
    bool reset();
    // Frames [b, e), each frame's times into t.
    bool run(int b, int e, Timing& t);
    // The masks of the last run of every frame.
    bool masks(std::vector<float>& out);

private:
    OrtPeer() = default;
    bool ask(const std::string& command, std::string& answer);

    int pid_ = -1, toChild_ = -1;
    std::FILE* fromChild_ = nullptr;
    std::string version_, dir_;
    int frameCount_ = 0;
};
