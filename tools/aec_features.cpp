// Writes the training export for one scene: per frame the mask network's
// feature buffer, E's spectrum and the clean near-end spectrum, computed by
// the same pipeline the canceller runs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/features.h"
#include "tools/aec_args.h"
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
    std::string key, value;
    if (!aec_tools::nextOption(argc, argv, i, key, value)) return false;
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

// The scene's inputs, read a hop at a time: the shorter of mic and ref is
// padded with silence to the longer, the clean near end cut or padded to it.
struct Scene {
  aec_tools::AudioReader mic, ref, near;
  bool hasNear = false;
  size_t length = 0;

  bool open(const Args& args) {
    if (!mic.open(args.mic, aec::kSampleRate, aec::kSampleRate) || !ref.open(args.ref, aec::kSampleRate, aec::kSampleRate)) {
      return false;
    }
    hasNear = !args.near.empty();
    if (hasNear && !near.open(args.near, aec::kSampleRate, aec::kSampleRate)) return false;
    length = std::max(mic.length(), ref.length());
    for (const aec_tools::AudioReader* r : {&mic, &ref, hasNear ? &near : nullptr}) {
      if (r && r->length() < length) aec_tools::warn(r->path() + " is shorter, padded with silence");
    }
    return true;
  }
  uint32_t frames() const { return static_cast<uint32_t>((length + aec::kHop - 1) / aec::kHop); }
};

// kHop samples from at on, silence past the reader's end and past length.
bool readHop(aec_tools::AudioReader& reader, size_t at, size_t length, float* out) {
  size_t got = 0;
  if (!reader.read(out, aec::kHop, got)) return false;
  std::fill(out + std::min(got, at < length ? length - at : 0), out + aec::kHop, 0.0f);
  return true;
}

bool writeRecords(aec_tools::SafeOutput& file, const Args& args, Scene& scene) {
  auto pipeline = aec::AecPipeline::create(args.options);
  if (!pipeline) return fail("unsupported option values");
  aec::StftAnalyzer nearStft;
  std::vector<aec::Complex> target(aec::kBins);
  std::vector<float> mic(aec::kHop), ref(aec::kHop), near(aec::kHop), out(aec::kHop);
  for (uint32_t t = 0; t < scene.frames(); ++t) {
    const size_t at = static_cast<size_t>(t) * aec::kHop;
    if (!readHop(scene.mic, at, scene.length, mic.data()) || !readHop(scene.ref, at, scene.length, ref.data())) return false;
    if (scene.hasNear && !readHop(scene.near, at, scene.length, near.data())) return false;
    pipeline->process(mic.data(), ref.data(), out.data());
    if (scene.hasNear) nearStft.push(near.data(), target.data());
    const bool ok = file.write(pipeline->features(), sizeof(float) * aec::kFeatureFloats) &&
                    file.write(pipeline->errorSpectrum(), sizeof(aec::Complex) * aec::kBins) &&
                    file.write(target.data(), sizeof(aec::Complex) * aec::kBins);
    if (!ok) return fail(file.error());
  }
  return true;
}

bool exportScene(const Args& args) {
  Scene scene;
  if (!scene.open(args)) return false;
  aec_tools::SafeOutput file;
  if (!file.open(args.out, {args.mic, args.ref, args.near})) return fail(file.error());

  aec::ExportHeader header{};
  std::memcpy(header.magic, aec::kExportMagic, sizeof(header.magic));
  header.version = 1;
  header.sampleRate = aec::kSampleRate;
  header.hop = aec::kHop;
  header.bins = aec::kBins;
  header.rows = aec::kFeatureRows;
  header.frames = scene.frames();
  header.hasTarget = scene.hasNear ? 1 : 0;
  header.recordFloats = aec::kExportRecordFloats;
  if (!file.write(&header, sizeof(header))) return fail(file.error());
  return writeRecords(file, args, scene) && (file.commit() || fail(file.error()));
}

}  // namespace

int main(int argc, char** argv) {
  aec_tools::setToolName("aec_features");
  Args args;
  if (argc == 1) {
    usage();
    return 2;
  }
  try {
    if (!parseArgs(argc, argv, args)) return 2;
    return exportScene(args) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    fail("out of memory");
    return 1;
  }
}
