// Writes the training export for one scene: per frame the mask network's
// feature buffer, E's spectrum and the clean near-end spectrum, computed by
// the same pipeline the canceller runs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/aec_pipeline.h"
#include "host/features.h"
#include "tools/aec_args.h"
#include "tools/audio_file.h"
#include "tools/cli.h"

namespace {

using aec_tools::fail;

struct Args {
  std::string mic, ref, near, out;
  aec::AecOptions options;
};

void addOptions(CLI::App& app, Args& args) {
  app.add_option("--mic", args.mic, "microphone signal of the scene, 16 kHz")->type_name("MIC.wav")->required();
  app.add_option("--ref", args.ref, "far-end signal, 16 kHz")->type_name("REF.wav")->required();
  app.add_option("--near", args.near, "clean near-end signal, the training target (default: none, zeros written)")
      ->type_name("NEAR.wav");
  app.add_option("--out", args.out, "feature file to write")->type_name("OUT.feat")->required();
  aec_tools::addFilterAndDelayOptions(app, args.options.filterMs, args.options.delayMs);
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
  header.version = aec::kExportVersion;
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
  CLI::App app("Writes, for every 10 ms frame of a 16 kHz scene, the mask network's features, the linear "
               "canceller's output spectrum and the clean near end's spectrum.",
               "aec_features");
  aec_tools::setUpApp(app);
  addOptions(app, args);
  if (argc == 1) {
    std::fputs(app.help().c_str(), stderr);
    return aec_tools::kExitUsage;
  }
  try {
    const int code = aec_tools::parseCommandLine(app, argc, argv);
    if (code >= 0) return code;
    return exportScene(args) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    fail("out of memory");
    return 1;
  }
}
