#pragma once

// The fixture of the tests that run the `aec` tool: the tool run in a
// scratch folder, and a generated echo scene.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch_folder.h"

namespace tool_test {

// The tool's own runs and the scratch folder of each test.
class AecTool : public test_support::ScratchFolderTest {
 protected:
  int run(const std::string& args) const { return runTool(AEC_TOOL, args); }

  // Runs the tool with args (stdout and stderr to /dev/null), sends sig
  // after afterMs and returns the wait status.
  static int runAndSignal(const std::vector<std::string>& args, int sig, int afterMs) {
    const pid_t child = fork();
    if (child == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      std::vector<char*> argv{const_cast<char*>(AEC_TOOL)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(AEC_TOOL, argv.data());
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    kill(child, sig);
    int status = 0;
    waitpid(child, &status, 0);
    return status;
  }
};

constexpr int kRate = 48000;

// Far end and its echo through 60 ms and a short decaying path, at 48 kHz.
struct Scene {
  std::vector<float> mic, ref;
};

// With irregular syllables, talk spurts of random length instead of a
// regular envelope, which the delay search cannot tell from its own echo
// one period later.
inline Scene echoScene(size_t samples, int delayMs = 60, bool irregular = false) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Scene s{std::vector<float>(samples, 0.0f), std::vector<float>(samples)};
  std::uniform_int_distribution<size_t> spurt(kRate / 20, kRate / 3);
  float low = 0.0f, gate = 1.0f;
  for (size_t n = 0, toggle = 0; n < samples; ++n) {
    low = 0.8f * low + 0.2f * g(rng);
    if (irregular && n == toggle) gate = 1.0f - gate, toggle += spurt(rng);
    const float envelope = irregular ? gate : std::max(0.0f, float(std::sin(2.0 * M_PI * 2.9 * double(n) / kRate)) + 0.3f);
    s.ref[n] = 0.2f * low * envelope;
  }
  const size_t delay = size_t(kRate) * size_t(delayMs) / 1000;
  for (size_t n = delay; n < samples; ++n) {
    for (size_t i = 0; i < 96 && i + delay <= n; i += 3) s.mic[n] += 0.5f * std::exp(-float(i) / 20.0f) * s.ref[n - delay - i];
    s.mic[n] += 1e-4f * g(rng);
  }
  return s;
}

inline double energy(const std::vector<float>& x, size_t from, size_t to, size_t stride = 1) {
  double sum = 1e-20;
  for (size_t n = from; n < to; ++n) sum += double(x[n * stride]) * x[n * stride];
  return sum;
}

}  // namespace tool_test
