#include "tools/safe_output.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace aec_tools {

namespace {

// Temporaries a signal must remove: plain storage, so the handler only
// reads lock-free flags and calls unlink (both async-signal-safe). One slot
// per output being written at once (`aec batch` writes one per thread); a
// mutex keeps threads from claiming the same slot.
constexpr int kSlots = 260;
char slotPaths[kSlots][PATH_MAX];
std::atomic<bool> slotUsed[kSlots];
std::mutex slotLock;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kMaxLinkHops = 40;
constexpr size_t kTempStemBytes = 64;  // keeps the temporary's name short whatever OUT's is

extern "C" void removeTemporaries(int sig) {
  for (int i = 0; i < kSlots; ++i) {
    if (slotUsed[i].load(std::memory_order_acquire)) unlink(slotPaths[i]);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered on return, with the default action
}

// Holds the cleanup signals off while the slot table changes.
class BlockSignals {
 public:
  BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kCleanupSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~BlockSignals() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : kCleanupSignals) {
    struct sigaction old {};
    sigaction(sig, nullptr, &old);
    if (old.sa_handler == SIG_IGN) continue;  // e.g. SIGHUP under nohup stays ignored
    struct sigaction action {};
    action.sa_handler = removeTemporaries;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

int claimSlot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  BlockSignals block;
  std::lock_guard<std::mutex> guard(slotLock);
  installHandlers();
  for (int i = 0; i < kSlots; ++i) {
    if (slotUsed[i].load(std::memory_order_relaxed)) continue;
    std::memcpy(slotPaths[i], path.c_str(), path.size() + 1);
    slotUsed[i].store(true, std::memory_order_release);
    return i;
  }
  return -1;
}

void releaseSlot(int slot) {
  if (slot < 0) return;
  BlockSignals block;
  std::lock_guard<std::mutex> guard(slotLock);
  slotUsed[slot].store(false, std::memory_order_release);
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool writeAll(int fd, const void* data, size_t bytes) {
  const char* at = static_cast<const char*>(data);
  while (bytes > 0) {
    const ssize_t done = ::write(fd, at, bytes);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    at += done;
    bytes -= static_cast<size_t>(done);
  }
  return true;
}

mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

SafeOutput::~SafeOutput() { discard(); }

bool SafeOutput::fail(const std::string& what, int code) {
  if (!error_.empty()) return false;  // the first cause is the one to report
  const bool full = code == ENOSPC || code == EDQUOT;
  error_ = path_ + ": " + (full ? "disk full, output not written" : what);
  if (code != 0) error_ += std::string(" (") + std::strerror(code) + ")";
  return false;
}

bool SafeOutput::open(const std::string& path, const std::vector<std::string>& inputs) {
  path_ = path;
  return resolve(path) && refuse(inputs) && makeTemporary();
}

// Finds what will be written: an existing file (through any symlinks), or
// the name a new one gets, following a dangling symlink to where it points.
bool SafeOutput::resolve(const std::string& path) {
  if (path.empty()) return fail("empty output name");
  if (stat(path.c_str(), &targetStat_) == 0) {
    exists_ = true;
    const mode_t type = targetStat_.st_mode & S_IFMT;
    if (type == S_IFDIR) return fail("is a folder; give a file name for the output");
    if (type == S_IFCHR || type == S_IFIFO) {
      inPlace_ = true;
      target_ = path;
      return access(path.c_str(), W_OK) == 0 || fail("cannot write", errno);
    }
    if (type != S_IFREG) return fail("is neither a regular file, a character device nor a FIFO; not replaced");
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return fail("cannot resolve", errno);
    target_ = real;
    std::free(real);
    const bool writable = access(target_.c_str(), W_OK) == 0 && (targetStat_.st_mode & 0222) != 0;
    return writable || fail("is write-protected; not replaced");
  }
  if (errno != ENOENT) return fail("cannot use as output", errno);
  target_ = path;
  for (int hops = 0;; ++hops) {
    struct stat link {};
    if (lstat(target_.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
    char to[PATH_MAX];
    const ssize_t length = readlink(target_.c_str(), to, sizeof to - 1);
    if (length < 0 || hops == kMaxLinkHops) return fail("cannot follow the symbolic link", length < 0 ? errno : ELOOP);
    const std::string next(to, static_cast<size_t>(length));
    target_ = next[0] == '/' ? next : folderOf(target_) + "/" + next;
  }
  struct stat folder {};
  const std::string dir = folderOf(target_);
  if (stat(dir.c_str(), &folder) != 0) return fail("cannot use folder " + dir, errno);
  return S_ISDIR(folder.st_mode) || fail(dir + " is not a folder");
}

bool SafeOutput::refuse(const std::vector<std::string>& inputs) {
  if (!exists_) return true;
  for (const std::string& input : inputs) {
    struct stat in {};
    if (stat(input.c_str(), &in) == 0 && in.st_dev == targetStat_.st_dev && in.st_ino == targetStat_.st_ino) {
      return fail("is the same file as the input " + input + "; choose another output");
    }
  }
  return true;
}

// A device or FIFO takes the finished bytes in place, so its temporary
// lives in the temporary folder, already unlinked: nothing can be left.
bool SafeOutput::makeTemporary() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string name = inPlace_ ? std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/aec-XXXXXX"
                              : folderOf(target_) + "/." + nameOf(target_).substr(0, kTempStemBytes) + ".XXXXXX";
  {
    BlockSignals block;  // no signal between creating the file and recording its name
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0 && inPlace_) unlink(name.c_str());
    if (fd_ >= 0 && !inPlace_) {
      temp_ = name;
      slot_ = claimSlot(temp_);
    }
  }
  return fd_ >= 0 || fail("cannot create a file in " + folderOf(name), errno);
}

bool SafeOutput::write(const void* data, size_t bytes) {
  if (fd_ < 0 || !error_.empty()) return false;
  return writeAll(fd_, data, bytes) || fail("write error", errno);
}

bool SafeOutput::commit() {
  if (fd_ < 0 || !error_.empty()) return false;
  if (fsync(fd_) != 0) return fail("write error", errno);
  if (inPlace_) return copyInPlace();
  if (fchmod(fd_, exists_ ? targetStat_.st_mode & 07777 : newFileMode()) != 0) return fail("write error", errno);
  const int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) return fail("write error", errno);
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) return fail("cannot replace", errno);
  releaseSlot(slot_);
  slot_ = -1;
  temp_.clear();
  return true;
}

// Copies the finished temporary into the device or FIFO; a reader that
// goes away is an error here, not a SIGPIPE.
bool SafeOutput::copyInPlace() {
  const int out = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (out < 0) return fail("cannot open", errno);
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  bool ok = lseek(fd_, 0, SEEK_SET) == 0 || fail("cannot read back the output", errno);
  char buffer[1 << 16];
  for (ssize_t got; ok && (got = read(fd_, buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    ok = got > 0 ? writeAll(out, buffer, static_cast<size_t>(got)) || fail("write error", errno)
                 : fail("cannot read back the output", errno);
  }
  ok = (close(out) == 0 || fail("write error", errno)) && ok;
  sigaction(SIGPIPE, &old, nullptr);
  discard();
  return ok;
}

void SafeOutput::discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (temp_.empty()) return;
  unlink(temp_.c_str());
  releaseSlot(slot_);
  slot_ = -1;
  temp_.clear();
}

}  // namespace aec_tools
