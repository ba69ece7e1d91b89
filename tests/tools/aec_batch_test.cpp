// `aec batch` driven as a user runs it: folders and lists of recordings,
// outputs compared with `aec process` on each file alone.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "tests/tools/tool_fixture.h"

namespace {

using tool_test::AecTool;
using tool_test::echoScene;
using tool_test::kRate;
using tool_test::Scene;

class AecBatch : public AecTool {
 protected:
  // NAME_mic.wav and NAME_ref.wav in folder, a scene of its own per name.
  void writePair(const std::string& folder, const std::string& name, size_t samples, int delayMs) {
    const Scene s = echoScene(samples, delayMs, true);
    writeWav(folder + "/" + name + "_mic.wav", s.mic, kRate);
    writeWav(folder + "/" + name + "_ref.wav", s.ref, kRate);
  }
  void makeDir(const std::string& name) const { ASSERT_EQ(mkdir(path(name).c_str(), 0755), 0) << name; }
  std::vector<std::string> hidden(const std::string& folder) const {
    std::vector<std::string> names;
    for (const std::string& name : listing(folder))
      if (name[0] == '.') names.push_back(name);
    return names;
  }
  bool has(const char* file, const std::string& needle) const { return text(file).find(needle) != std::string::npos; }
  struct timespec mtime(const std::string& name) const {
    struct stat st {};
    stat(path(name).c_str(), &st);
    return st.st_mtim;
  }
};

bool operator==(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Three good pairs, a mic without its ref and an unreadable mic: the good
// ones come out as `aec process` writes them (each stream on its own, the
// network's state included), the bad ones fail in the table and the exit
// code. Re-runs skip what is up to date, redo a file whose input changed,
// and --force redoes everything.
TEST_F(AecBatch, FolderRunsEachPairAloneReportsFailuresAndSkipsFinishedOutputs) {
  makeDir("in");
  const char* good[] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) writePair("in", good[i], 3 * kRate, 20 + 40 * i);
  writeWav("in/d_mic.wav", echoScene(kRate).mic, kRate);
  put("in/e_mic.wav", "not audio");
  writeWav("in/e_ref.wav", echoScene(kRate).ref, kRate);
  put("in/notes.txt", "ignored");
  for (const char* name : good) {
    const std::string in = path("in/") + name;
    ASSERT_EQ(run("process --mic " + in + "_mic.wav --ref " + in + "_ref.wav --out " + path(name) + ".wav"), 0);
  }

  const std::string batch = "batch " + path("in") + " --out-dir " + path("out") + " --jobs 3";
  EXPECT_EQ(WEXITSTATUS(run(batch)), 1) << text("stderr.txt");
  for (const char* name : good) {
    EXPECT_EQ(text("out/" + std::string(name) + "_out.wav"), text(std::string(name) + ".wav")) << name;
    EXPECT_TRUE(has("stdout.txt", path("in/") + name + "_mic.wav  done")) << text("stdout.txt");
  }
  EXPECT_FALSE(exists("out/d_out.wav"));
  EXPECT_FALSE(exists("out/e_out.wav"));
  EXPECT_TRUE(hidden("out").empty());
  EXPECT_TRUE(has("stdout.txt", "5 files: 3 done, 0 skipped, 2 failed")) << text("stdout.txt");
  EXPECT_TRUE(has("stderr.txt", "aec: " + path("in/d_ref.wav") + ": missing")) << text("stderr.txt");
  EXPECT_TRUE(has("stderr.txt", "aec: " + path("in/e_mic.wav") + ": cannot read audio")) << text("stderr.txt");
  for (const char* line : {"[1/5] ", "[5/5] ", "] FAILED " }) EXPECT_TRUE(has("stderr.txt", line)) << line;

  const timespec before = mtime("out/b_out.wav");
  EXPECT_EQ(WEXITSTATUS(run(batch)), 1);
  EXPECT_TRUE(has("stdout.txt", "5 files: 0 done, 3 skipped, 2 failed")) << text("stdout.txt");
  EXPECT_TRUE(mtime("out/b_out.wav") == before);

  std::remove(path("in/d_mic.wav").c_str());
  std::remove(path("in/e_mic.wav").c_str());
  const timespec later[2] = {{std::time(nullptr) + 60, 0}, {std::time(nullptr) + 60, 0}};
  utimensat(AT_FDCWD, path("in/a_ref.wav").c_str(), later, 0);
  ASSERT_EQ(run(batch), 0) << text("stderr.txt");
  EXPECT_TRUE(has("stdout.txt", "3 files: 1 done, 2 skipped, 0 failed")) << text("stdout.txt");
  EXPECT_TRUE(has("stdout.txt", path("in/a_mic.wav") + "  done")) << text("stdout.txt");
  ASSERT_EQ(run(batch + " --force --linear-only"), 0);
  EXPECT_TRUE(has("stdout.txt", "3 files: 3 done, 0 skipped, 0 failed")) << text("stdout.txt");
  EXPECT_NE(text("out/b_out.wav"), text("b.wav"));  // redone without the mask
}

// A list of MIC REF OUT lines, relative to the list's folder, with comments;
// malformed lines, two jobs writing one file and an output that is another
// job's input are refused before any work.
TEST_F(AecBatch, ListFileAndPlansRefusedBeforeAnyWork) {
  makeDir("in");
  makeDir("lists");
  writePair("in", "a", 2 * kRate, 60);
  writePair("in", "b", 2 * kRate, 30);
  const std::string list = path("lists/pairs.txt");
  std::ofstream(list) << "# mic ref out\n\n../in/a_mic.wav ../in/a_ref.wav ../one.wav\n"
                      << path("in/b_mic.wav") << " " << path("in/b_ref.wav") << "  new/two.wav\n";
  ASSERT_EQ(run("batch --linear-only --jobs 2 --list " + list), 0) << text("stderr.txt");
  ASSERT_EQ(run("process --linear-only --mic " + path("in/a_mic.wav") + " --ref " + path("in/a_ref.wav") + " --out " +
                path("a.wav")),
            0);
  EXPECT_EQ(text("one.wav"), text("a.wav"));
  EXPECT_TRUE(exists("lists/new/two.wav"));

  const std::pair<std::string, std::string> refused[] = {
      {"a_mic.wav a_ref.wav\n", "bad.txt:1: expected MIC REF OUT, got 2 fields"},
      {"a_mic.wav a_ref.wav x.wav\nb_mic.wav b_ref.wav ./x.wav\n", "x.wav: the output of both"},
      {"a_mic.wav a_ref.wav x.wav\nb_mic.wav b_ref.wav a_mic.wav\n", "a_mic.wav: output of"},
      {"# nothing\n", "bad.txt: no lines of MIC REF OUT"},
  };
  const auto before = listing();
  for (const auto& [lines, message] : refused) {
    put("in/bad.txt", lines);
    EXPECT_EQ(WEXITSTATUS(run("batch --list " + path("in/bad.txt"))), 1) << lines;
    const std::string errors = text("stderr.txt");
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(errors.find(message), std::string::npos) << errors;
    EXPECT_EQ(text("stdout.txt"), "") << lines;
  }
  EXPECT_EQ(listing(), before);
  EXPECT_FALSE(exists("in/x.wav"));
  EXPECT_EQ(WEXITSTATUS(run("batch --list " + list + " --out-dir " + path("o"))), 2);
  EXPECT_EQ(WEXITSTATUS(run("batch " + path("lists"))), 1);
  EXPECT_TRUE(has("stderr.txt", "no recordings; expected NAME_mic.EXT")) << text("stderr.txt");
}

// SIGINT while six files are written at once leaves no temporary behind.
TEST_F(AecBatch, InterruptLeavesNoTemporaries) {
  makeDir("in");
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) writePair("in", name, 120 * kRate, 40);
  const int status =
      runAndSignal({"batch", "--linear-only", "--jobs", "6", path("in"), "--out-dir", path("out")}, SIGINT, 700);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "finished before the signal: " << status;
  EXPECT_TRUE(hidden("out").empty()) << hidden("out").size() << " temporaries left";
}

}  // namespace
