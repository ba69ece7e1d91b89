// Writes the training export for one scene: per frame the mask network's
// feature buffer, E's spectrum and the clean near-end spectrum, computed by
// the same pipeline the canceller runs.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/features.h"
#include "tools/audio_file.h"

namespace {

using aec_tools::fail;

struct Args {
  std::string mic, ref, near, out;
  aec::AecOptions options;
};

void usage() {
  std::fprintf(stderr,
               "usage: aec_features --mic MIC.wav --ref REF.wav [--near NEAR.wav] --out OUT.feat\n"
               "                    [--filter-ms N] [--delay-ms N|auto]\n");
}

bool parseArgs(int argc, char** argv, Args& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (i + 1 >= argc) return fail("missing value for " + key);
    const std::string value = argv[++i];
    if (key == "--mic") args.mic = value;
    else if (key == "--ref") args.ref = value;
    else if (key == "--near") args.near = value;
    else if (key == "--out") args.out = value;
    else if (key == "--filter-ms") args.options.filterMs = std::atoi(value.c_str());
    else if (key == "--delay-ms") args.options.delayMs = value == "auto" ? -1 : std::atoi(value.c_str());
    else return fail("unknown option " + key);
  }
  if (args.mic.empty() || args.ref.empty() || args.out.empty()) return fail("--mic, --ref and --out are required");
  return true;
}

bool read16k(const std::string& path, std::vector<float>& samples) {
  aec_tools::Audio audio;
  if (!aec_tools::readAudio(path, aec::kSampleRate, aec::kSampleRate, audio)) return false;
  samples = std::move(audio.samples);
  return true;
}

void padTo(std::vector<float>& samples, size_t length, const std::string& path) {
  if (samples.size() < length) aec_tools::warn(path + " is shorter, padded with silence");
  samples.resize(length, 0.0f);
}

bool writeRecords(std::FILE* file, const Args& args, std::vector<float>& mic, std::vector<float>& ref,
                  const std::vector<float>& near, uint32_t frames) {
  auto pipeline = aec::AecPipeline::create(args.options);
  if (!pipeline) return fail("unsupported option values");
  aec::StftAnalyzer nearStft;
  std::vector<aec::Complex> target(aec::kBins);
  std::vector<float> out(aec::kHop);
  for (uint32_t t = 0; t < frames; ++t) {
    const size_t at = static_cast<size_t>(t) * aec::kHop;
    pipeline->process(&mic[at], &ref[at], out.data());
    if (!near.empty()) nearStft.push(&near[at], target.data());
    const bool ok = std::fwrite(pipeline->features(), sizeof(float), aec::kFeatureFloats, file) == aec::kFeatureFloats &&
                    std::fwrite(pipeline->errorSpectrum(), sizeof(aec::Complex), aec::kBins, file) == aec::kBins &&
                    std::fwrite(target.data(), sizeof(aec::Complex), aec::kBins, file) == aec::kBins;
    if (!ok) return fail(args.out + ": write error");
  }
  return true;
}

bool exportScene(const Args& args) {
  std::vector<float> mic, ref, near;
  if (!read16k(args.mic, mic) || !read16k(args.ref, ref)) return false;
  if (!args.near.empty() && !read16k(args.near, near)) return false;
  const size_t length = std::max(mic.size(), ref.size());
  const uint32_t frames = static_cast<uint32_t>((length + aec::kHop - 1) / aec::kHop);
  const size_t padded = static_cast<size_t>(frames) * aec::kHop;
  if (mic.size() != ref.size()) padTo(mic.size() < ref.size() ? mic : ref, length, mic.size() < ref.size() ? args.mic : args.ref);
  if (!near.empty() && near.size() != length) padTo(near, length, args.near);
  mic.resize(padded, 0.0f);
  ref.resize(padded, 0.0f);
  if (!near.empty()) near.resize(padded, 0.0f);

  aec::ExportHeader header{};
  std::memcpy(header.magic, aec::kExportMagic, sizeof(header.magic));
  header.version = 1;
  header.sampleRate = aec::kSampleRate;
  header.hop = aec::kHop;
  header.bins = aec::kBins;
  header.rows = aec::kFeatureRows;
  header.frames = frames;
  header.hasTarget = near.empty() ? 0 : 1;
  header.recordFloats = aec::kExportRecordFloats;

  const std::string temp = args.out + ".tmp";
  std::FILE* file = std::fopen(temp.c_str(), "wb");
  if (!file) return fail(args.out + ": cannot create output");
  bool ok = std::fwrite(&header, sizeof(header), 1, file) == 1 || fail(args.out + ": write error");
  ok = ok && writeRecords(file, args, mic, ref, near, frames);
  ok = (std::fclose(file) == 0 || fail(args.out + ": write error")) && ok;
  ok = ok && (std::rename(temp.c_str(), args.out.c_str()) == 0 || fail(args.out + ": cannot rename output"));
  if (!ok) std::remove(temp.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  aec_tools::setToolName("aec_features");
  Args args;
  if (argc == 1) {
    usage();
    return 2;
  }
  if (!parseArgs(argc, argv, args)) return 2;
  return exportScene(args) ? 0 : 1;
}
