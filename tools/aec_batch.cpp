// `aec batch`: a pool of threads takes the files in turn, each through its
// own stream; one board shows the progress and keeps each file's messages
// together, and the summary table closes the run.
#include "tools/aec_batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include "tools/aec_run.h"
#include "tools/audio_file.h"
#include "tools/cli.h"
#include "tools/progress.h"

namespace aec_tools {

namespace {

enum class State { Done, Skipped, Failed };
constexpr const char* kStateNames[] = {"done", "skipped", "FAILED"};

struct Report {
  State state = State::Failed;
  FileRun run;
  std::vector<std::string> lines;  // the file's errors and warnings
};

int coreCount() { return int(std::max(1u, std::thread::hardware_concurrency())); }

bool newerOrSame(const struct stat& a, const struct stat& b) {
  return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                              : a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
}

// An output is only ever complete (it is renamed into place when written),
// so one that exists and is not older than its inputs is finished.
bool upToDate(const BatchJob& job) {
  struct stat out {}, mic {}, ref {};
  return stat(job.out.c_str(), &out) == 0 && S_ISREG(out.st_mode) && stat(job.mic.c_str(), &mic) == 0 &&
         stat(job.ref.c_str(), &ref) == 0 && newerOrSame(out, mic) && newerOrSame(out, ref);
}

// Progress and per-file lines on stderr from all workers: a bar on a
// terminal, else one plain line per finished file.
class Board {
 public:
  explicit Board(size_t files) : bar_(stderrIsTerminal(), 0.0), fractions_(files, 0.0), terminal_(stderrIsTerminal()) {}

  void progress(size_t file, double fraction) {
    std::lock_guard<std::mutex> guard(lock_);
    fractions_[file] = fraction;
    draw();
  }

  void finished(size_t file, const BatchJob& job, const Report& report) {
    std::lock_guard<std::mutex> guard(lock_);
    fractions_[file] = 1.0;
    ++finished_;
    failed_ += report.state == State::Failed;
    bar_.clear();
    if (!terminal_) {
      std::fprintf(stderr, "[%zu/%zu] %s %s\n", finished_, fractions_.size(), kStateNames[int(report.state)],
                   job.mic.c_str());
    }
    for (const std::string& line : report.lines) std::fprintf(stderr, "%s\n", line.c_str());
    draw();
  }

 private:
  void draw() {
    double sum = 0.0;
    for (double f : fractions_) sum += f;
    const std::string failed = failed_ ? ", " + std::to_string(failed_) + " failed" : "";
    bar_.show(sum / double(fractions_.size()),
              std::to_string(finished_) + "/" + std::to_string(fractions_.size()) + " files" + failed);
  }

  std::mutex lock_;
  ProgressBar bar_;
  std::vector<double> fractions_;
  size_t finished_ = 0, failed_ = 0;
  bool terminal_;
};

void runJob(const BatchArgs& args, const BatchJob& job, size_t index, Board& board, Report& report) {
  setThreadMessageSink([&](const std::string& line) { report.lines.push_back(line); });
  if (!job.error.empty()) {
    fail(job.error);
  } else if (!args.force && upToDate(job)) {
    report.state = State::Skipped;
  } else {
    const ProcessArgs file{job.mic, job.ref, job.out, args.options};
    const auto progress = [&](size_t done, size_t length) { board.progress(index, double(done) / double(length)); };
    try {
      report.state = cancelFile(file, chooseMask, report.run, progress) ? State::Done : State::Failed;
    } catch (const std::bad_alloc&) {
      fail("out of memory");
    }
  }
  setThreadMessageSink({});
  board.finished(index, job, report);
}

// The first error of a failed file, or why one was skipped.
std::string note(const Report& report) {
  if (report.state == State::Skipped) return "output up to date (--force redoes it)";
  if (report.state == State::Done) return report.lines.empty() ? "" : std::to_string(report.lines.size()) + " warning(s)";
  const auto error = std::find_if(report.lines.begin(), report.lines.end(),
                                  [](const std::string& line) { return line.find(": warning: ") == std::string::npos; });
  return error == report.lines.end() ? "" : *error;
}

void printTable(const std::vector<BatchJob>& jobs, const std::vector<Report>& reports, double wallSeconds, int workers) {
  size_t width = 4;
  for (const BatchJob& job : jobs) width = std::max(width, job.mic.size());
  std::printf("%-*s  %-7s  %9s  %8s  %8s  %s\n", int(width), "file", "result", "audio", "time", "delay", "note");
  int counts[3] = {0, 0, 0};
  double audio = 0.0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Report& r = reports[i];
    ++counts[int(r.state)];
    if (r.state == State::Done) {
      const double seconds = double(r.run.length) / r.run.rate;
      audio += seconds;
      std::printf("%-*s  %-7s  %7.1f s  %6.2f s  %5d ms  %s\n", int(width), jobs[i].mic.c_str(), "done", seconds,
                  r.run.result.seconds, r.run.result.delayMs, note(r).c_str());
    } else {
      std::printf("%-*s  %-7s  %9s  %8s  %8s  %s\n", int(width), jobs[i].mic.c_str(), kStateNames[int(r.state)], "-",
                  "-", "-", note(r).c_str());
    }
  }
  std::printf("%zu file%s: %d done, %d skipped, %d failed; %.1f s of audio in %.1f s with %d job%s\n", jobs.size(),
              jobs.size() == 1 ? "" : "s", counts[0], counts[1], counts[2], audio, wallSeconds, workers,
              workers == 1 ? "" : "s");
}

}  // namespace

void addBatchOptions(CLI::App& command, BatchArgs& args) {
  command.add_option("folder", args.folder,
                     "folder of NAME_mic.EXT recordings, each with its far end NAME_ref.EXT beside it; writes "
                     "NAME_out.EXT")
      ->type_name("");
  command.add_option("--list", args.list,
                     "instead of a folder, a file of lines 'MIC REF OUT' (paths relative to the list's folder; "
                     "# starts a comment)")
      ->type_name("FILE");
  command.add_option("--out-dir", args.outDir, "where a folder's outputs go, made if missing (default: the folder)")
      ->type_name("DIR");
  command.add_option("--jobs", args.jobs,
                     "files processed at once, 1 to " + std::to_string(kMaxJobs) + " (default: the number of cores, " +
                         std::to_string(coreCount()) + " here)")
      ->type_name("N")
      ->check(numberIn(1, kMaxJobs, true));
  command.add_flag("--force", args.force, "redo outputs that exist and are newer than their inputs (skipped by default)");
  addStreamOptions(command, args.options);
}

int runBatch(const BatchArgs& args) {
  if (args.folder.empty() == args.list.empty() || (!args.list.empty() && !args.outDir.empty())) {
    fail(args.folder.empty() != args.list.empty() ? "--out-dir is for a folder; a list names its outputs"
         : args.folder.empty()                     ? "batch takes a folder or --list FILE"
                                                   : "batch takes a folder or --list FILE, not both");
    return kExitUsage;
  }
  std::vector<BatchJob> jobs;
  if (!planBatch(args, jobs)) return 1;
  std::vector<Report> reports(jobs.size());
  const int workers = int(std::min<size_t>(jobs.size(), size_t(args.jobs > 0 ? args.jobs : coreCount())));
  const auto start = std::chrono::steady_clock::now();
  {
    Board board(jobs.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w) {
      pool.emplace_back([&] {
        for (size_t i; (i = next++) < jobs.size();) runJob(args, jobs[i], i, board, reports[i]);
      });
    }
    for (std::thread& t : pool) t.join();
  }
  printTable(jobs, reports, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), workers);
  const bool anyFailed =
      std::any_of(reports.begin(), reports.end(), [](const Report& r) { return r.state == State::Failed; });
  return anyFailed ? 1 : 0;
}

}  // namespace aec_tools
