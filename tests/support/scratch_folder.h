#pragma once
// A test fixture with a scratch folder of its own: created empty before each
// test and removed with everything in it after; audio files written and read
// there with libsndfile; command-line tools run with their output kept there.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace test_support {

class ScratchFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void put(const std::string& name, const std::string& content) const;
    // The file's bytes as they are, empty when it cannot be read.
    std::string text(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Sorted names in the folder (or a folder below it), hidden ones included.
    std::vector<std::string> listing(const std::string& folder = "") const;

    // `x` interleaved, `channels` samples a frame; returns the file's path.
    std::string writeWav(const std::string& name, const std::vector<float>& x, int rate, int channels = 1,
                         int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) const;
    // Interleaved samples, empty when the file cannot be read.
    std::vector<float> readWav(const std::string& name, SF_INFO& info) const;

    // Runs `tool args` through the shell, its output in stdout.txt and
    // stderr.txt here; returns the wait status.
    int runTool(const std::string& tool, const std::string& args) const;

    std::string dir_;
};

}  // namespace test_support
