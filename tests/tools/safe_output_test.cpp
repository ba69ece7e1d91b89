// The output path rules, as properties over random scenarios: whatever sits
// at OUT and however the run ends, nothing but OUT's target changes, and it
// changes only on commit; no temporary is ever left.
#include "tools/safe_output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "tests/support/scratch_folder.h"

namespace {

using aec_tools::SafeOutput;

// What sits at OUT before the run: kInput is a hard link to the input.
enum class Kind { kAbsent, kRegular, kReadOnly, kLink, kDangling, kChain, kFolder, kDevice, kInput, kLinkToInput, kCount };

class SafeOutputTest : public test_support::ScratchFolderTest {
 protected:
  // Every entry of the folder: name -> type and content (or link target).
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> entries;
    for (const std::string& name : listing()) {
      struct stat st {};
      lstat(path(name).c_str(), &st);
      char to[4096] = {};
      if (S_ISLNK(st.st_mode)) readlink(path(name).c_str(), to, sizeof to - 1);
      entries[name] = S_ISLNK(st.st_mode) ? "link:" + std::string(to)
                      : S_ISREG(st.st_mode) ? "file" + std::to_string(st.st_mode & 0777) + ":" + text(name)
                                            : "other" + std::to_string(st.st_mode & S_IFMT);
    }
    return entries;
  }

  // Sets up OUT as kind; returns the name whose content a commit changes
  // (empty for a device), or "refused" when open must refuse.
  std::string arrange(Kind kind, const std::string& out) const {
    const std::string target = "target.bin";
    switch (kind) {
      case Kind::kAbsent: return out;
      case Kind::kRegular: put(out, "old"); return out;
      case Kind::kReadOnly: put(out, "old"); chmod(path(out).c_str(), 0444); return "refused";
      case Kind::kLink: put(target, "old"); symlink(target.c_str(), path(out).c_str()); return target;
      case Kind::kDangling: symlink(target.c_str(), path(out).c_str()); return target;
      case Kind::kChain:
        put(target, "old");
        symlink(target.c_str(), path("hop").c_str());
        symlink("hop", path(out).c_str());
        return target;
      case Kind::kFolder: mkdir(path(out).c_str(), 0755); return "refused";
      case Kind::kDevice: symlink("/dev/null", path(out).c_str()); return "";
      case Kind::kInput: link(path("input.wav").c_str(), path(out).c_str()); return "refused";
      case Kind::kLinkToInput: symlink("input.wav", path(out).c_str()); return "refused";
      case Kind::kCount: break;
    }
    return "";
  }
};

// Random OUT kinds, names up to the 255-byte limit, bystanders named like
// temporaries, and runs that commit, stop half way or write nothing.
TEST_F(SafeOutputTest, RandomScenariosChangeOnlyTheTargetAndLeaveNoTemporary) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 300; ++round) {
    std::system(("rm -rf " + dir_ + "/* " + dir_ + "/.[!.]*").c_str());
    const Kind kind = Kind(rng() % int(Kind::kCount));
    const size_t length = rng() % 3 == 0 ? 251 : 1 + rng() % 40;
    const std::string out = std::string(length, char('a' + rng() % 26)) + ".wav";
    put("input.wav", "recording");
    put(out + ".tmp", "precious");
    put("." + out.substr(0, 20) + ".ABCDEF", "also precious");
    const std::string changes = arrange(kind, out);
    const auto before = snapshot();
    const int action = int(rng() % 3);  // 0 commit, 1 abandon after writing, 2 abandon before writing
    const std::string content = "new" + std::to_string(round);
    bool opened = false, committed = false;
    {
      SafeOutput file;
      opened = file.open(path(out), {path("input.wav")});
      if (!opened) {
        EXPECT_EQ(file.error().rfind(path(out) + ": ", 0), 0u) << file.error();
      } else if (action < 2) {
        ASSERT_TRUE(file.write(content.data(), content.size()));
        if (action == 0) {
          committed = file.commit();
          EXPECT_TRUE(committed) << file.error();
        }
      }
    }
    SCOPED_TRACE("round " + std::to_string(round) + " kind " + std::to_string(int(kind)) + " action " +
                 std::to_string(action));
    EXPECT_EQ(opened, changes != "refused");
    auto after = snapshot();
    if (committed && !changes.empty()) {
      ASSERT_TRUE(after.count(changes));
      EXPECT_EQ(after[changes].substr(after[changes].find(':') + 1), content);
      after.erase(changes);
      auto expected = before;
      expected.erase(changes);
      EXPECT_EQ(after, expected);
    } else {
      EXPECT_EQ(after, before);
    }
  }
}

// A replaced file keeps its permissions; a new one gets the umask's.
TEST_F(SafeOutputTest, ReplacedFileKeepsItsModeAndNewFileFollowsTheUmask) {
  put("kept.bin", "old");
  chmod(path("kept.bin").c_str(), 0640);
  for (const char* name : {"kept.bin", "new.bin"}) {
    SafeOutput file;
    ASSERT_TRUE(file.open(path(name), {}));
    ASSERT_TRUE(file.write("x", 1) && file.commit()) << file.error();
  }
  struct stat kept {}, fresh {};
  stat(path("kept.bin").c_str(), &kept);
  stat(path("new.bin").c_str(), &fresh);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(kept.st_mode & 0777, 0640u);
  EXPECT_EQ(fresh.st_mode & 0777, 0666u & ~mask);
}

// Two writers to one OUT both succeed; OUT is one of them, whole.
TEST_F(SafeOutputTest, ConcurrentWritersEachCommitACompleteFile) {
  SafeOutput a, b;
  ASSERT_TRUE(a.open(path("out.bin"), {}) && b.open(path("out.bin"), {}));
  const std::string first(100000, 'a'), second(50000, 'b');
  ASSERT_TRUE(a.write(first.data(), first.size()) && b.write(second.data(), second.size()));
  EXPECT_TRUE(b.commit());
  EXPECT_TRUE(a.commit());
  EXPECT_EQ(text("out.bin"), first);
  EXPECT_EQ(snapshot().size(), 1u);
}

// A FIFO gets the bytes in place and stays a FIFO; /dev/full reports a full disk.
TEST_F(SafeOutputTest, FifoIsWrittenInPlaceAndAFullDeviceSaysDiskFull) {
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0644), 0);
  std::string received;
  std::thread reader([&] {
    std::ifstream in(path("pipe"), std::ios::binary);
    received.assign(std::istreambuf_iterator<char>(in), {});
  });
  {
    SafeOutput file;
    ASSERT_TRUE(file.open(path("pipe"), {}));
    EXPECT_TRUE(file.write("through the pipe", 16) && file.commit()) << file.error();
  }
  reader.join();
  EXPECT_EQ(received, "through the pipe");
  struct stat st {};
  lstat(path("pipe").c_str(), &st);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  SafeOutput full;
  ASSERT_TRUE(full.open("/dev/full", {}));
  ASSERT_TRUE(full.write("x", 1));
  EXPECT_FALSE(full.commit());
  EXPECT_NE(full.error().find("disk full"), std::string::npos) << full.error();
}

// SIGINT, SIGTERM and SIGHUP remove the temporary, then end the process as
// the signal would.
TEST_F(SafeOutputTest, SignalsRemoveTheTemporary) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      SafeOutput file;
      if (!file.open(path("out.bin"), {}) || !file.write("partial", 7)) _exit(3);
      raise(sig);
      _exit(4);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_TRUE(snapshot().empty()) << sig;
  }
}

}  // namespace
