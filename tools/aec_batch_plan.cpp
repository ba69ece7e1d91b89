// Finding the files of `aec batch` and checking the plan before any work.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/aec_batch.h"
#include "tools/audio_file.h"

namespace aec_tools {

namespace {

namespace fs = std::filesystem;

constexpr const char* kMicTag = "_mic.";

// NAME_mic.EXT in the folder, with NAME_ref.EXT beside it and NAME_out.EXT
// going to outDir.
bool planFolder(const std::string& folder, const std::string& outDir, std::vector<BatchJob>& jobs) {
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) return fail(folder + ": cannot read the folder (" + error.message() + ")");
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    const size_t at = name.rfind(kMicTag);
    if (at == std::string::npos || at == 0 || !entry.is_regular_file(error)) continue;
    const std::string stem = name.substr(0, at), ext = name.substr(at + std::strlen(kMicTag));
    BatchJob job{entry.path().string(), (fs::path(folder) / (stem + "_ref." + ext)).string(),
                 (fs::path(outDir) / (stem + "_out." + ext)).string(), ""};
    if (!fs::exists(job.ref, error)) job.error = job.ref + ": missing (the far end of " + job.mic + ")";
    jobs.push_back(job);
  }
  std::sort(jobs.begin(), jobs.end(), [](const BatchJob& a, const BatchJob& b) { return a.mic < b.mic; });
  return !jobs.empty() || fail(folder + ": no recordings; expected NAME_mic.EXT files with NAME_ref.EXT beside them");
}

// Lines of "MIC REF OUT"; blank lines and lines starting with # are skipped.
bool planList(const std::string& list, std::vector<BatchJob>& jobs) {
  std::ifstream in(list);
  if (!in) return fail(list + ": cannot read the list (" + std::strerror(errno) + ")");
  const fs::path base = fs::path(list).parent_path();
  const auto resolve = [&](const std::string& path) { return fs::path(path).is_absolute() ? path : (base / path).string(); };
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty() || fields[0][0] == '#') continue;
    if (fields.size() != 3) {
      return fail(list + ":" + std::to_string(number) + ": expected MIC REF OUT, got " + std::to_string(fields.size()) +
                  " field" + (fields.size() == 1 ? "" : "s"));
    }
    jobs.push_back(BatchJob{resolve(fields[0]), resolve(fields[1]), resolve(fields[2]), ""});
  }
  return !jobs.empty() || fail(list + ": no lines of MIC REF OUT");
}

// Two jobs writing one file, or one job's output replacing any job's input,
// would cost the user a file: refused before any work.
bool checkOutputs(const std::vector<BatchJob>& jobs) {
  std::map<std::string, const BatchJob*> outputs;
  std::map<std::pair<dev_t, ino_t>, std::string> inputs;
  for (const BatchJob& job : jobs) {
    for (const std::string& input : {job.mic, job.ref}) {
      struct stat st {};
      if (stat(input.c_str(), &st) == 0) inputs.emplace(std::make_pair(st.st_dev, st.st_ino), input);
    }
  }
  for (const BatchJob& job : jobs) {
    std::error_code error;
    const std::string key = fs::weakly_canonical(job.out, error).string();
    const auto [other, added] = outputs.emplace(error ? job.out : key, &job);
    if (!added) return fail(job.out + ": the output of both " + other->second->mic + " and " + job.mic);
    struct stat st {};
    const auto input = stat(job.out.c_str(), &st) == 0 ? inputs.find({st.st_dev, st.st_ino}) : inputs.end();
    if (input != inputs.end()) return fail(job.out + ": output of " + job.mic + " is the input " + input->second);
  }
  return true;
}

}  // namespace

bool planBatch(const BatchArgs& args, std::vector<BatchJob>& jobs) {
  const bool planned = args.list.empty() ? planFolder(args.folder, args.outDir.empty() ? args.folder : args.outDir, jobs)
                                         : planList(args.list, jobs);
  if (!planned) return false;
  if (!checkOutputs(jobs)) return false;
  // Output folders are made, so a list may name new ones.
  for (const BatchJob& job : jobs) {
    const fs::path folder = fs::path(job.out).parent_path();
    std::error_code error;
    if (!folder.empty() && !fs::is_directory(folder) && !fs::create_directories(folder, error)) {
      return fail(folder.string() + ": cannot create the output folder (" + error.message() + ")");
    }
  }
  return true;
}

}  // namespace aec_tools
