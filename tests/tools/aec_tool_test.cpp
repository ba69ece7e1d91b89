#include <gtest/gtest.h>
#include <sndfile.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/tool_fixture.h"

namespace {

using tool_test::AecTool;
using tool_test::echoScene;
using tool_test::energy;
using tool_test::kRate;
using tool_test::Scene;

// A stereo 48 kHz mic (first channel used) and a mono ref: the output keeps
// rate, length and format, the echo drops, and the summary is printed.
TEST_F(AecTool, ProcessCancelsEchoAndKeepsRateLengthAndFormat) {
  const size_t samples = 6 * kRate;
  const Scene s = echoScene(samples);
  std::vector<float> stereo(2 * samples);
  for (size_t n = 0; n < samples; ++n) stereo[2 * n] = s.mic[n], stereo[2 * n + 1] = 0.3f;
  const std::string mic = writeWav("mic.flac", stereo, kRate, 2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  const std::string ref = writeWav("ref.wav", s.ref, kRate);
  ASSERT_EQ(run("process --mic " + mic + " --ref " + ref + " --out " + path("out.flac")), 0)
      << text("stderr.txt");
  EXPECT_NE(text("stderr.txt").find("warning: " + mic + ": using the first of 2 channels"), std::string::npos);
  for (const char* field : {"duration:", "real-time factor", "far-end delay:     6", "mask:"}) {
    EXPECT_NE(text("stdout.txt").find(field), std::string::npos) << field << "\n" << text("stdout.txt");
  }
  SF_INFO info;
  const std::vector<float> out = readWav("out.flac", info);
  EXPECT_EQ(info.samplerate, kRate);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
  ASSERT_EQ(out.size(), samples);
  const double erle = 10.0 * std::log10(energy(s.mic, 3 * kRate, samples) / energy(out, 3 * kRate, samples));
  EXPECT_GT(erle, 10.0);
  EXPECT_FALSE(exists("out.flac.tmp"));
}

// Fixed delay and the linear-only and hold switches reach the summary; different
// lengths, a silent ref and clipped samples only warn.
TEST_F(AecTool, OptionsAndWarnings) {
  const Scene s = echoScene(2 * kRate);
  std::vector<float> clipped(s.mic);
  std::fill(clipped.begin(), clipped.begin() + 100, 1.0f);
  const std::string args = "process --mic " + writeWav("mic.wav", clipped, kRate) + " --ref " +
                           writeWav("ref.wav", std::vector<float>(kRate, 0.0f), kRate) + " --out " + path("out.wav") +
                           " --delay-ms=60 --linear-only --filter-ms=128 --mask-floor 0.1";
  ASSERT_EQ(run(args), 0) << text("stderr.txt");
  const std::string warnings = text("stderr.txt");
  for (const char* w : {"ref.wav is shorter, padded", "ref.wav is silent", "mic.wav: 100 samples at full scale"}) {
    EXPECT_NE(warnings.find(w), std::string::npos) << w << "\n" << warnings;
  }
  EXPECT_NE(text("stdout.txt").find("60 ms (fixed)"), std::string::npos) << text("stdout.txt");
  EXPECT_NE(text("stdout.txt").find("off (--linear-only)"), std::string::npos);
  SF_INFO info;
  EXPECT_EQ(readWav("out.wav", info).size(), size_t(2 * kRate));
  EXPECT_EQ(text("stdout.txt").find("far-end hold"), std::string::npos);
  ASSERT_EQ(run(args + " --no-far-end-hold"), 0) << text("stderr.txt");
  EXPECT_NE(text("stdout.txt").find("far-end hold:      off"), std::string::npos) << text("stdout.txt");
}

TEST_F(AecTool, BadInputFailsWithOneLineAndNoOutput) {
  const std::string good = writeWav("good.wav", echoScene(kRate).ref, kRate);
  put("text.wav", "RIFF but not really audio\n");
  std::vector<float> withNan = echoScene(kRate).mic;
  withNan[500] = std::numeric_limits<float>::quiet_NaN();
  const std::string nan = writeWav("nan.wav", withNan, kRate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  const std::string cases[] = {
      "--mic " + path("missing.wav") + " --ref " + good,
      "--mic " + path("text.wav") + " --ref " + good,
      "--mic " + writeWav("rate.wav", echoScene(kRate).mic, 44100) + " --ref " + good,
      "--mic " + writeWav("fast.wav", echoScene(kRate).mic, 96000) + " --ref " + good,
      "--mic " + writeWav("empty.wav", {}, kRate) + " --ref " + good,
      "--mic " + good + " --ref " + nan,
      "--mic " + good + " --ref " + good + " --delay-ms 900",
      "--mic " + good + " --ref " + good + " --mask-floor high",
      "--mic " + good + " --ref " + good + " --bogus 1",
      "--mic " + good + " --ref " + good + " --filter-ms",
      "--mic " + good,
  };
  for (const std::string& args : cases) {
    EXPECT_NE(run("process " + args + " --out " + path("out.wav")), 0) << args;
    const std::string message = text("stderr.txt");
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << args << "\n" << message;
    EXPECT_EQ(message.rfind("aec: ", 0), 0u) << message;
    EXPECT_FALSE(exists("out.wav")) << args;
    EXPECT_FALSE(exists("out.wav.tmp")) << args;
  }
  EXPECT_NE(run("process --mic " + good + " --ref " + good + " --out " + path("no/such/dir/out.wav")), 0);
}

// Help and version on stdout with exit 0; every bad option one line naming
// the option and what it takes, exit 2; no command at all prints the usage.
TEST_F(AecTool, HelpVersionAndOptionErrors) {
  const std::pair<const char*, std::vector<const char*>> helps[] = {
      {"--help", {"Usage: aec", "process", "batch", "demo", "--version"}},
      {"-h", {"Usage: aec"}},
      {"process --help", {"--filter-ms N", "10 to 2000 (default 256)", "0 to 500, or auto", "(default auto)",
                          "--mask-floor F", "0 to 1 (default 0)", "--linear-only", "--no-far-end-hold"}},
      {"process -h", {"--mic MIC.wav"}},
      {"batch --help", {"NAME_mic.EXT", "NAME_ref.EXT", "--list FILE", "--jobs N", "--force", "--out-dir DIR"}},
      {"demo --help", {"--out-dir DIR", "--clips DIR"}},
      {"--version", {"aec ", "sha256 "}},
  };
  for (const auto& [args, expected] : helps) {
    EXPECT_EQ(run(args), 0) << args;
    EXPECT_EQ(text("stderr.txt"), "") << args;
    for (const char* e : expected) EXPECT_NE(text("stdout.txt").find(e), std::string::npos) << args << ": " << e;
  }
  const std::string io = "process --mic m.wav --ref r.wav --out o.wav ";
  const std::pair<std::string, const char*> errors[] = {
      {io + "--delay-ms 900", "aec: --delay-ms: expected a whole number from 0 to 500 or 'auto', got '900'"},
      {io + "--delay-ms=-5", "aec: --delay-ms: expected a whole number from 0 to 500 or 'auto', got '-5'"},
      {io + "--filter-ms 9.5", "aec: --filter-ms: expected a whole number from 10 to 2000, got '9.5'"},
      {io + "--mask-floor=1.5", "aec: --mask-floor: expected a number from 0 to 1, got '1.5'"},
      {io + "--bogus 1", "aec: unknown option --bogus"},
      {io + "--filter-ms", "aec: --filter-ms: missing value"},
      {io + "--mic x.wav", "aec: --mic: given more than once"},
      {"process --mic m.wav", "aec: --ref is required"},
      {"frobnicate", "aec: unknown command 'frobnicate'; the commands are process, batch and demo (aec --help)"},
      {"batch", "aec: batch takes a folder or --list FILE"},
      {"batch --jobs 0 " + dir_, "aec: --jobs: expected a whole number from 1 to 256, got '0'"},
  };
  for (const auto& [args, message] : errors) {
    EXPECT_EQ(WEXITSTATUS(run(args)), 2) << args;
    EXPECT_EQ(text("stderr.txt"), std::string(message) + "\n") << args;
  }
  EXPECT_EQ(WEXITSTATUS(run("")), 2);
  EXPECT_NE(text("stderr.txt").find("Usage: aec"), std::string::npos);
}

// What sits at OUT is never lost: a temporary-like bystander, an input
// named like the old temporary, a symlink (its target is written), a
// device (written in place), a FIFO (its reader gets the file), a
// write-protected file and an input (both refused before any work), a
// folder (said so) and a name at the 255-byte limit.
TEST_F(AecTool, OutputNeverReplacesWhatTheUserHad) {
  const Scene s = echoScene(kRate);
  const std::string mic = writeWav("m.wav", s.mic, kRate), ref = writeWav("r.wav", s.ref, kRate);
  const std::string io = "process --linear-only --mic " + mic + " --ref " + ref + " --out ";
  ASSERT_EQ(run(io + path("plain.wav")), 0) << text("stderr.txt");
  const std::string expected = text("plain.wav");
  // "auto" is the default delay spelled out, in both option forms.
  for (const char* delay : {" --delay-ms auto", " --delay-ms=auto"}) {
    ASSERT_EQ(run(io + path("auto.wav") + delay), 0) << text("stderr.txt");
    EXPECT_EQ(text("auto.wav"), expected) << delay;
  }

  put("o.wav.tmp", "precious");
  EXPECT_EQ(run(io + path("o.wav")), 0);
  EXPECT_EQ(text("o.wav.tmp"), "precious");
  std::rename(mic.c_str(), path("x.wav.tmp").c_str());
  EXPECT_EQ(run("process --linear-only --mic " + path("x.wav.tmp") + " --ref " + ref + " --out " + path("x.wav")), 0);
  EXPECT_TRUE(exists("x.wav.tmp"));
  std::rename(path("x.wav.tmp").c_str(), mic.c_str());

  put("target.wav", "old");
  symlink("target.wav", path("link.wav").c_str());
  EXPECT_EQ(run(io + path("link.wav")), 0);
  EXPECT_EQ(text("target.wav"), expected);
  struct stat st {};
  lstat(path("link.wav").c_str(), &st);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  // a private null device where allowed, else a link to the system's
  if (mknod(path("fakenull").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) symlink("/dev/null", path("fakenull").c_str());
  EXPECT_EQ(run(io + path("fakenull")), 0) << text("stderr.txt");
  stat(path("fakenull").c_str(), &st);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0644), 0);
  std::string received;
  std::thread reader([&] { received = text("pipe"); });
  EXPECT_EQ(run(io + path("pipe")), 0) << text("stderr.txt");
  reader.join();
  EXPECT_EQ(received, expected);

  put("ro.wav", "keep me");
  chmod(path("ro.wav").c_str(), 0444);
  const std::string name255 = std::string(251, 'n') + ".wav";
  const std::pair<std::string, const char*> refused[] = {
      {path("ro.wav"), "write-protected"}, {mic, "same file as the input"}, {dir_, "is a folder"}};
  const std::string micBytes = text("m.wav");
  for (const auto& [out, reason] : refused) {
    EXPECT_EQ(WEXITSTATUS(run(io + out)), 1) << out;
    EXPECT_NE(text("stderr.txt").find(reason), std::string::npos) << text("stderr.txt");
    EXPECT_EQ(text("stdout.txt"), "") << out;  // refused before any work
  }
  EXPECT_EQ(text("ro.wav"), "keep me");
  EXPECT_EQ(text("m.wav"), micBytes);
  EXPECT_EQ(run(io + path(name255)), 0) << text("stderr.txt");
  for (const std::string& name : listing()) EXPECT_NE(name[0], '.') << "left over: " << name;
}

// Two runs to one OUT both succeed, and OUT is one of their outputs, whole.
TEST_F(AecTool, ConcurrentRunsLeaveOneCompleteOutput) {
  const Scene s = echoScene(4 * kRate);
  const std::string mic = writeWav("m.wav", s.mic, kRate), ref = writeWav("r.wav", s.ref, kRate);
  std::vector<float> half(s.mic);
  for (float& v : half) v *= 0.5f;
  const std::string other = writeWav("h.wav", half, kRate);
  const std::string a = "--linear-only --mic " + mic + " --ref " + ref, b = "--linear-only --mic " + other + " --ref " + ref;
  ASSERT_EQ(run("process " + a + " --out " + path("a.wav")), 0);
  ASSERT_EQ(run("process " + b + " --out " + path("b.wav")), 0);
  const std::string tool = AEC_TOOL, out = " --out " + path("out.wav") + " >/dev/null 2>&1; echo $? >";
  const std::string both = "(" + tool + " process " + a + out + path("rc_a") + ") & (" + tool + " process " + b + out +
                           path("rc_b") + ") & wait";
  ASSERT_EQ(std::system(("sh -c '" + both + "'").c_str()), 0);
  EXPECT_EQ(text("rc_a"), "0\n");
  EXPECT_EQ(text("rc_b"), "0\n");
  const std::string result = text("out.wav");
  EXPECT_TRUE(result == text("a.wav") || result == text("b.wav"));
  for (const std::string& name : listing()) EXPECT_NE(name[0], '.') << "left over: " << name;
}

// SIGINT or SIGTERM half way, or a full disk, leave no temporary; a full
// disk says so.
TEST_F(AecTool, InterruptedOrFullRunsLeaveNothing) {
  const Scene s = echoScene(60 * kRate);
  const std::string mic = writeWav("m.wav", s.mic, kRate), ref = writeWav("r.wav", s.ref, kRate);
  const std::vector<std::string> inputs = listing();
  for (int sig : {SIGINT, SIGTERM}) {
    const int status = runAndSignal({"process", "--mic", mic, "--ref", ref, "--out", path("out.wav")}, sig, 1500);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "finished before the signal: " << status;
    EXPECT_EQ(listing(), inputs);
  }
  // A private 64 KiB file system takes the output's first second only.
  const std::string small = path("small");
  mkdir(small.c_str(), 0755);
  const std::string full = "unshare -m sh -c 'mount -t tmpfs -o size=64k none " + small + " && " + AEC_TOOL +
                           " process --linear-only --mic " + mic + " --ref " + ref + " --out " + small +
                           "/out.wav 2>" + path("full.txt") + "; echo $? >" + path("rc") + "; ls -A " + small + " >" +
                           path("left.txt") + "' 2>/dev/null";
  if (std::system(full.c_str()) != 0 || text("rc").empty()) GTEST_SKIP() << "no private tmpfs here";
  EXPECT_EQ(text("rc"), "1\n");
  EXPECT_NE(text("full.txt").find("disk full"), std::string::npos) << text("full.txt");
  EXPECT_EQ(text("left.txt"), "");
}

// Float samples scaled like 16-bit integers: one warning per file and no
// reset chatter from the linear stage. An echo 800 ms late, past the 500 ms
// searched, on the regular scene (where the search settles on a wrong lag)
// is warned about with the option to use; a 60 ms one is not.
TEST_F(AecTool, InputRangeAndDelayWarnings) {
  Scene s = echoScene(8 * kRate);
  for (auto* x : {&s.mic, &s.ref}) {
    for (float& v : *x) v *= 32767.0f;
  }
  const int floatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  ASSERT_EQ(run("process --mic " + writeWav("m.wav", s.mic, kRate, 1, floatWav) + " --ref " +
                writeWav("r.wav", s.ref, kRate, 1, floatWav) + " --out " + path("out.wav")),
            0);
  std::istringstream loud(text("stderr.txt"));
  int clamped = 0;
  for (std::string line; std::getline(loud, line);) {
    EXPECT_EQ(line.rfind("aec: warning: ", 0), 0u) << line;  // nothing from the linear stage
    clamped += line.find("samples beyond full scale") != std::string::npos;
  }
  EXPECT_EQ(clamped, 2) << text("stderr.txt");

  for (int delayMs : {60, 800}) {
    const Scene late = echoScene(12 * kRate, delayMs, delayMs < 500);
    const std::string mic = writeWav("m.wav", late.mic, kRate), ref = writeWav("r.wav", late.ref, kRate);
    ASSERT_EQ(run("process --linear-only --mic " + mic + " --ref " + ref + " --out " + path("out.wav")), 0);
    const bool warned = text("stderr.txt").find("if you know the delay, pass --delay-ms") != std::string::npos;
    EXPECT_EQ(warned, delayMs > 500) << delayMs << "\n" << text("stderr.txt") << text("stdout.txt");
  }
}

// The demo writes its three files and measures a real echo reduction, over
// the whole band: a drift below the voice band once took the linear stage
// down to 2 dB here.
TEST_F(AecTool, DemoWritesSceneAndReportsErle) {
  ASSERT_EQ(run("demo --out-dir " + path("demo")), 0) << text("stderr.txt");
  for (const char* name : {"demo/mic.wav", "demo/ref.wav", "demo/out.wav"}) EXPECT_TRUE(exists(name)) << name;
  const std::string summary = text("stdout.txt");
  const size_t at = summary.find("echo reduction:");
  ASSERT_NE(at, std::string::npos) << summary;
  EXPECT_GT(std::atof(summary.c_str() + at + 15), 12.0) << summary;
  const size_t linear = summary.find("linear alone:");
  if (linear != std::string::npos) {
    EXPECT_GT(std::atof(summary.c_str() + linear + 13), 10.0) << summary;
  }
  EXPECT_NE(run("demo --clips " + path("none") + " --out-dir " + path("demo2")), 0);
  EXPECT_FALSE(exists("demo2/out.wav"));
}

}  // namespace
