#include "tests/support/scratch_folder.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace test_support {

void ScratchFolderTest::SetUp() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(test->test_suite_name()) + "_XXXXXX")).string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    dir_ = pattern;
}

void ScratchFolderTest::TearDown() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ScratchFolderTest::put(const std::string& name, const std::string& content) const {
    std::ofstream(path(name), std::ios::binary) << content;
}

std::string ScratchFolderTest::text(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool ScratchFolderTest::exists(const std::string& name) const { return access(path(name).c_str(), F_OK) == 0; }

std::vector<std::string> ScratchFolderTest::listing(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? dir_ : path(folder)))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ScratchFolderTest::writeWav(const std::string& name, const std::vector<float>& x, int rate,
                                        int channels, int format) const {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path(name).c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << name;
    if (!file) return path(name);
    sf_writef_float(file, x.data(), static_cast<sf_count_t>(x.size() / channels));
    sf_close(file);
    return path(name);
}

std::vector<float> ScratchFolderTest::readWav(const std::string& name, SF_INFO& info) const {
    info = SF_INFO{};
    SNDFILE* file = sf_open(path(name).c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> x(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_float(file, x.data(), info.frames);
    sf_close(file);
    return x;
}

int ScratchFolderTest::runTool(const std::string& tool, const std::string& args) const {
    const std::string command = tool + " " + args + " >" + path("stdout.txt") + " 2>" + path("stderr.txt");
    return std::system(command.c_str());
}

}  // namespace test_support
