#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

// An output file written so that nothing the user had is lost.
//
// The bytes go to a temporary file made exclusively under a unique name in
// the folder of OUT's target (a symlink is followed, so its target is what
// gets written) and become OUT only at commit(): renamed over a regular or
// absent OUT, or copied into a character device or FIFO, which is never
// replaced. A folder, block device, socket, write-protected file or a file
// that is one of the inputs (same device and inode) is refused by open(),
// before any work. An uncommitted temporary is removed by the destructor,
// and by SIGINT, SIGTERM or SIGHUP.
namespace aec_tools {

class SafeOutput {
 public:
  SafeOutput() = default;
  ~SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  // False, with error() set, when path may not be written or its
  // temporary cannot be made.
  bool open(const std::string& path, const std::vector<std::string>& inputs);
  // Appends at the temporary's current offset (fd() may be seeked).
  bool write(const void* data, size_t bytes);
  // The temporary, readable and seekable, for writers that patch headers.
  int fd() const { return fd_; }
  bool commit();
  // One line for "<tool>: <error>": the path, what went wrong and, for a
  // full disk, that the disk is full.
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& what, int code = 0);
  bool resolve(const std::string& path);
  bool refuse(const std::vector<std::string>& inputs);
  bool makeTemporary();
  bool copyInPlace();
  void discard();

  std::string path_, target_, temp_, error_;
  struct stat targetStat_ {};
  bool exists_ = false, inPlace_ = false;
  int fd_ = -1;
  int slot_ = -1;  // entry in the signal handler's list of temporaries
};

}  // namespace aec_tools
