// Writes the training export for one scene: per frame the mask network's
// feature buffer, E's spectrum and the clean near-end spectrum, computed by
// the same pipeline the canceller runs.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/features.h"

namespace {

struct Args {
  std::string mic, ref, near, out;
  aec::AecOptions options;
};

bool fail(const std::string& message) {
  std::fprintf(stderr, "aec_features: %s\n", message.c_str());
  return false;
}

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

// Reads the first channel of a 16 kHz file as floats in [-1, 1].
bool readAudio(const std::string& path, std::vector<float>& samples) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return fail(path + ": cannot read audio (" + sf_strerror(nullptr) + ")");
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
  if (info.samplerate != aec::kSampleRate) {
    return fail(path + ": sample rate " + std::to_string(info.samplerate) + " Hz, expected 16000 Hz");
  }
  if (info.frames <= 0) return fail(path + ": no samples");
  if (info.channels > 1) std::fprintf(stderr, "aec_features: warning: %s: using the first of %d channels\n", path.c_str(), info.channels);
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * info.channels);
  if (sf_readf_float(file, interleaved.data(), info.frames) != info.frames) return fail(path + ": read error");
  samples.resize(info.frames);
  for (sf_count_t n = 0; n < info.frames; ++n) {
    samples[n] = interleaved[n * info.channels];
    if (!std::isfinite(samples[n])) return fail(path + ": non-finite sample at " + std::to_string(n));
  }
  return true;
}

void padTo(std::vector<float>& samples, size_t length, const std::string& path) {
  if (samples.size() < length) {
    std::fprintf(stderr, "aec_features: warning: %s is shorter, padded with silence\n", path.c_str());
  }
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
  if (!readAudio(args.mic, mic) || !readAudio(args.ref, ref)) return false;
  if (!args.near.empty() && !readAudio(args.near, near)) return false;
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
  Args args;
  if (argc == 1) {
    usage();
    return 2;
  }
  if (!parseArgs(argc, argv, args)) return 2;
  return exportScene(args) ? 0 : 1;
}
