#include "bench/ort_peer.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using frame_contract::kBins;

namespace {

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool writeFrames(const std::string& path, const Frames& frames) {
    std::ofstream out(path, std::ios::binary);
    return bool(out.write(reinterpret_cast<const char*>(frames.data.data()),
                          std::streamsize(frames.data.size() * sizeof(float))));
}

}  // namespace

std::unique_ptr<OrtPeer> OrtPeer::start(const Paths& paths, const Frames& frames, std::string* error) {
    if (paths.model.empty() || paths.nodeModules.empty()) {
        *error = "no ONNX model or onnxruntime-node folder given";
        return nullptr;
    }
    std::unique_ptr<OrtPeer> peer(new OrtPeer);
    char dir[] = "/tmp/ort_peer.XXXXXX";
    if (!mkdtemp(dir)) return *error = "cannot make a temporary folder", nullptr;
    peer->dir_ = dir;
    peer->frameCount_ = frames.count();
    const std::string framesPath = peer->dir_ + "/frames.raw";
    if (!writeFrames(framesPath, frames)) return *error = framesPath + ": cannot write", nullptr;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return *error = "cannot make pipes", nullptr;
    const std::string count = std::to_string(frames.count());
    peer->pid_ = fork();
    if (peer->pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        setenv("NODE_PATH", paths.nodeModules.c_str(), 1);
        execlp("node", "node", "--single-threaded", paths.script.c_str(), paths.model.c_str(), framesPath.c_str(),
               count.c_str(), static_cast<char*>(nullptr));
        std::printf("error node not found\n");
        std::fflush(stdout);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    peer->toChild_ = in[1];
    peer->fromChild_ = fdopen(out[0], "r");
    if (peer->pid_ < 0 || !peer->fromChild_) return *error = "cannot start node", nullptr;
    std::string ready;
    if (!peer->ask("", ready) || ready.rfind("ready ", 0) != 0) {
        *error = ready.empty() ? "node ended without an answer" : ready;
        return nullptr;
    }
    peer->version_ = ready.substr(6);
    return peer;
}

OrtPeer::~OrtPeer() {
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_) std::fclose(fromChild_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::remove((dir_ + "/frames.raw").c_str());
        std::remove((dir_ + "/masks.raw").c_str());
        rmdir(dir_.c_str());
    }
}

// Sends one command line (none for the start-up line) and reads one answer.
bool OrtPeer::ask(const std::string& command, std::string& answer) {
    if (!command.empty() && !writeAll(toChild_, command + "\n")) return false;
    answer.clear();
    char buf[1 << 16];
    while (std::fgets(buf, sizeof buf, fromChild_)) {
        answer += buf;
        if (!answer.empty() && answer.back() == '\n') {
            answer.pop_back();
            return true;
        }
    }
    return false;
}

bool OrtPeer::reset() {
    std::string answer;
    return ask("reset", answer) && answer == "ok";
}

bool OrtPeer::run(int b, int e, Timing& t) {
    std::string answer;
    if (!ask("run " + std::to_string(b) + " " + std::to_string(e), answer)) return false;
    std::istringstream in(answer);
    std::string word;
    in >> word;
    double cpu, wall;
    int n = 0;
    while (in >> cpu >> wall) t.add(cpu, wall), ++n;
    return word == "times" && n == e - b;
}

bool OrtPeer::masks(std::vector<float>& out) {
    const std::string path = dir_ + "/masks.raw";
    std::string answer;
    if (!ask("masks " + path, answer) || answer != "ok") return false;
    std::ifstream in(path, std::ios::binary);
    out.assign(size_t(frameCount_) * kBins, 0.0f);
    return bool(in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size() * sizeof(float))));
}
