#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/dsp/stft.h"
#include "model/frame_contract.h"

namespace aec {

// Feature buffer handed to the mask network for every 10 ms frame t:
// 18 rows of kBins floats, row-major, oldest frame first within each stream.
//   rows  0..5   E, the linear canceller's output, frames t-5..t
//   rows  6..11  D, the microphone, frames t-5..t
//   rows 12..14  X, the far-end reference shifted by the delay estimate (less
//                a 20 ms margin), frames t-2..t, even while the linear
//                canceller still runs at an older shift
//   rows 15..17  Y = D - E, the linear canceller's echo estimate, frames t-2..t
// The network reads it as two overlapping 12-row windows: A = rows 0..11
// (E, D) at float 0 and B = rows 6..17 (D, X, Y) at float kWindowBOffset.
// Y says how much far end actually reaches the mic (weak coupling, echo left
// under a near-end talker), which X alone cannot; X stays for where the
// linear stage removes little (non-linear loudspeaker, long tails) and Y is
// near silent.
enum FeatureStream { kStreamE, kStreamD, kStreamX, kStreamY, kStreams };
using frame_contract::kStreamFrames;
static_assert(sizeof(kStreamFrames) == kStreams * sizeof(int), "one row count per stream");
constexpr int longestStream(int s = 0) { return s == kStreams ? 0 : std::max(kStreamFrames[s], longestStream(s + 1)); }
constexpr int kContextFrames = longestStream();  // the longest history a stream keeps
constexpr int firstRow(int stream) { return stream == 0 ? 0 : firstRow(stream - 1) + kStreamFrames[stream - 1]; }
// Row of frame t of a stream.
constexpr int newestRow(int stream) { return firstRow(stream) + kStreamFrames[stream] - 1; }
constexpr int kFeatureRows = firstRow(kStreams);
constexpr int kFeatureFloats = frame_contract::kFeatureFloats;
constexpr int kWindowBOffset = frame_contract::kWindowBOffset;
constexpr int kRowD = firstRow(kStreamD);
static_assert(kBins == frame_contract::kBins && kFeatureRows == frame_contract::kBufferRows &&
                  kRowD == frame_contract::kWindowBRow,
              "the feature rows are the frame the mask network reads");

// Compression and normalisation, identical for inference and training export:
//   value = log10(|X|^2 + kPowerFloor) - level
// where |X| is the bin magnitude of the 1024-point spectrum of samples in
// [-1, 1], and level is one scalar per pipeline: the running mean over active
// mic frames of the mic frame's mean log power (plain average over the first
// kLevelFrames active frames, exponential with rate 1/kLevelFrames after).
// A mic frame is active when its mean |D|^2 over bins exceeds kLevelActivePower.
// One level for all streams removes the input gain while keeping the
// E/D, X/D and Y/D ratios, which are what the mask is made of. Until the first
// active frame level is log10(kPowerFloor), so silence reads as 0.
// All rows, including the older frames, are normalised with the current level.
constexpr float kPowerFloor = 1e-10f;
constexpr float kLevelActivePower = 1e-7f;
constexpr int kLevelFrames = 200;  // 2 s

float logPower(Complex x);

// Keeps the last log-power spectra of E, D, X and Y and writes the
// normalised feature buffer.
class FeatureBuilder {
 public:
  FeatureBuilder();
  void reset();
  // e, d, x: kBins values of frame t (Y is d - e); out: kFeatureFloats.
  void push(const Complex* e, const Complex* d, const Complex* x, float* out);
  float level() const { return level_; }

 private:
  void updateLevel(const float* micLog, const Complex* d);

  // [stream][slot][bin], slot = frame mod kContextFrames; X and Y use the
  // same ring and read only their newest slots.
  std::vector<float> history_;
  int newest_ = kContextFrames - 1;
  float level_;
  long activeFrames_ = 0;
};

// Training export file, little-endian:
//   ExportHeader (40 bytes), then `frames` records of
//     float features[kFeatureFloats]    the buffer above for frame t
//     float e[2 * kBins]                E(t), interleaved re, im
//     float target[2 * kBins]           clean near-end spectrum S(t), re, im
//                                       (zeros when hasTarget == 0)
// E and S share the analysis framing (sqrt-Hann 320, hop 160, FFT 1024), so
// masked E is compared directly against S; no latency offset applies.
constexpr char kExportMagic[8] = {'A', 'E', 'C', 'F', 'E', 'A', 'T', '1'};
// 2: rows 12..17 are X and Y of frames t-2..t (1: X of frames t-5..t).
constexpr std::uint32_t kExportVersion = 2;
constexpr int kExportRecordFloats = kFeatureFloats + 4 * kBins;

struct ExportHeader {
  char magic[8];
  std::uint32_t version;     // kExportVersion
  std::uint32_t sampleRate;  // 16000
  std::uint32_t hop;         // 160
  std::uint32_t bins;        // 513
  std::uint32_t rows;        // 18
  std::uint32_t frames;
  std::uint32_t hasTarget;     // 1 when target holds a clean near-end spectrum
  std::uint32_t recordFloats;  // kExportRecordFloats
};
static_assert(sizeof(ExportHeader) == 40, "export header is 40 bytes");

}  // namespace aec
