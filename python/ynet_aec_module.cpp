// Python module ynet_aec: the streaming canceller over numpy arrays, with
// the embedded network as its mask.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/aec_stream.h"

namespace py = pybind11;

namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 48000;
constexpr float kInt16Scale = 32768.0f;

enum class SampleType { kFloat32, kFloat64, kInt16 };

struct Samples {
  std::vector<float> values;
  SampleType type = SampleType::kFloat32;
};

[[noreturn]] void invalid(const std::string& message) { throw py::value_error(message); }

std::string shapeText(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) text += (i ? ", " : "") + std::to_string(a.shape(i));
  return text + (a.ndim() == 1 ? ",)" : ")");
}

template <class T>
void copyScaled(const py::array& a, float scale, std::vector<float>& out) {
  const auto typed = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
  const T* data = typed.data();
  out.resize(static_cast<size_t>(typed.size()));
  for (size_t n = 0; n < out.size(); ++n) out[n] = static_cast<float>(data[n]) * scale;
}

// One channel of samples as floats in [-1, 1]; int16 is scaled by 1/32768.
Samples readSamples(const py::object& object, const char* name) {
  if (!py::isinstance<py::array>(object)) invalid(std::string(name) + ": expected a numpy array");
  const auto a = py::reinterpret_borrow<py::array>(object);
  if (a.ndim() != 1) invalid(std::string(name) + ": expected a 1-D array of samples, got shape " + shapeText(a));
  Samples s;
  if (a.dtype().is(py::dtype::of<float>())) {
    copyScaled<float>(a, 1.0f, s.values);
  } else if (a.dtype().is(py::dtype::of<double>())) {
    s.type = SampleType::kFloat64;
    copyScaled<double>(a, 1.0f, s.values);
  } else if (a.dtype().is(py::dtype::of<int16_t>())) {
    s.type = SampleType::kInt16;
    copyScaled<int16_t>(a, 1.0f / kInt16Scale, s.values);
  } else {
    invalid(std::string(name) + ": dtype " + py::str(a.dtype()).cast<std::string>() +
            " is not supported (float32, float64 or int16)");
  }
  return s;
}

void checkSameLength(const Samples& mic, const Samples& ref) {
  if (mic.values.size() != ref.values.size()) {
    invalid("mic and ref differ in length (" + std::to_string(mic.values.size()) + " and " +
            std::to_string(ref.values.size()) + " samples)");
  }
}

// The output takes the mic's sample type; int16 is rounded and clipped.
py::array toArray(const std::vector<float>& values, SampleType type) {
  const auto n = static_cast<py::ssize_t>(values.size());
  switch (type) {
    case SampleType::kFloat64: {
      py::array_t<double> out(n);
      std::copy(values.begin(), values.end(), out.mutable_data());
      return std::move(out);
    }
    case SampleType::kInt16: {
      py::array_t<int16_t> out(n);
      std::transform(values.begin(), values.end(), out.mutable_data(), [](float v) {
        return static_cast<int16_t>(std::clamp(std::lrint(v * kInt16Scale), -32768L, 32767L));
      });
      return std::move(out);
    }
    case SampleType::kFloat32:
      break;
  }
  py::array_t<float> out(n);
  std::copy(values.begin(), values.end(), out.mutable_data());
  return std::move(out);
}

aec::StreamOptions makeOptions(int rate, int filterMs, std::optional<int> delayMs, float maskFloor, bool linearOnly) {
  if (rate < kMinRate || rate > kMaxRate) {
    invalid("rate " + std::to_string(rate) + " Hz is out of range (8000 to 48000)");
  }
  if (filterMs < 10 || filterMs > 2000) invalid("filter_ms " + std::to_string(filterMs) + " is out of range (10 to 2000)");
  if (delayMs && (*delayMs < 0 || *delayMs > 500)) {
    invalid("delay_ms " + std::to_string(*delayMs) + " is out of range (0 to 500, or None to estimate it)");
  }
  if (!(maskFloor >= 0.0f && maskFloor <= 1.0f)) invalid("mask_floor " + std::to_string(maskFloor) + " is out of range (0 to 1)");
  aec::StreamOptions options;
  options.filterMs = filterMs;
  options.delayMs = delayMs.value_or(-1);
  options.maskFloor = maskFloor;
  options.linearOnly = linearOnly;
  return options;
}

std::unique_ptr<aec::AecStream> makeStream(int rate, const aec::StreamOptions& options) {
  auto stream = aec::AecStream::create(rate, options);
  if (!stream) invalid("unsupported stream options");
  return stream;
}

// The whole recording at once, aligned with the mic like the aec tool's
// output: the stream runs latency samples past the end and the first
// latency output samples are dropped.
py::array processWhole(const py::object& micObject, const py::object& refObject, int rate, int filterMs,
                       std::optional<int> delayMs, float maskFloor, bool linearOnly) {
  const aec::StreamOptions options = makeOptions(rate, filterMs, delayMs, maskFloor, linearOnly);
  Samples mic = readSamples(micObject, "mic");
  Samples ref = readSamples(refObject, "ref");
  checkSameLength(mic, ref);
  const auto finite = [](float v) { return std::isfinite(v); };
  if (!std::all_of(mic.values.begin(), mic.values.end(), finite) ||
      !std::all_of(ref.values.begin(), ref.values.end(), finite)) {
    invalid("mic or ref holds NaN or infinite samples");
  }
  const size_t length = mic.values.size();
  std::vector<float> out;
  {
    py::gil_scoped_release release;
    auto stream = makeStream(rate, options);
    const size_t latency = static_cast<size_t>(stream->latencySamples()), total = length + latency;
    const size_t block = static_cast<size_t>(rate / 100);
    mic.values.resize(total, 0.0f);
    ref.values.resize(total, 0.0f);
    out.resize(total);
    for (size_t at = 0; at < total; at += block) {
      const size_t count = std::min(block, total - at);
      stream->process(&mic.values[at], &ref.values[at], &out[at], count);
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(latency));
  }
  return toArray(out, mic.type);
}

// A live stream. The lock lets Python threads share one object safely while
// the GIL is released.
class Stream {
 public:
  Stream(int rate, int filterMs, std::optional<int> delayMs, float maskFloor, bool linearOnly)
      : stream_(makeStream(rate, makeOptions(rate, filterMs, delayMs, maskFloor, linearOnly))) {}

  py::array process(const py::object& micObject, const py::object& refObject) {
    Samples mic = readSamples(micObject, "mic_block");
    const Samples ref = readSamples(refObject, "ref_block");
    checkSameLength(mic, ref);
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      stream_->process(mic.values.data(), ref.values.data(), mic.values.data(), mic.values.size());
    }
    return toArray(mic.values, mic.type);
  }

  void reset() {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(mutex_);
    stream_->reset();
  }

  int rate() const { return stream_->sampleRate(); }
  int latency() const { return stream_->latencySamples(); }
  int delayEstimate() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_->delayMs();
  }

 private:
  std::unique_ptr<aec::AecStream> stream_;
  std::mutex mutex_;
};

}  // namespace

PYBIND11_MODULE(ynet_aec, m) {
  m.doc() =
      "Neural acoustic echo cancellation: removes the far-end echo (ref, what the loudspeaker played) from a "
      "microphone signal. Samples are float32 or float64 in [-1, 1] or int16; rates 8000 to 48000 Hz.";
  m.def("process", &processWhole, py::arg("mic"), py::arg("ref"), py::arg("rate"), py::kw_only(),
        py::arg("filter_ms") = 256, py::arg("delay_ms") = py::none(), py::arg("mask_floor") = 0.0f,
        py::arg("linear_only") = false,
        "Cancels the echo of ref in mic (1-D arrays of equal length) and returns the cleaned mic, aligned with "
        "the input and of the mic's dtype. filter_ms: linear filter length (10 to 2000); delay_ms: far-end delay "
        "(0 to 500) or None to estimate it; mask_floor: smallest gain the mask applies (0 to 1); linear_only: "
        "no neural mask.");
  py::class_<Stream>(m, "Stream",
                     "A live stream at one rate: blocks of any size in, the cleaned mic out, delayed by latency "
                     "samples.")
      .def(py::init<int, int, std::optional<int>, float, bool>(), py::arg("rate"), py::kw_only(),
           py::arg("filter_ms") = 256, py::arg("delay_ms") = py::none(), py::arg("mask_floor") = 0.0f,
           py::arg("linear_only") = false)
      .def("process", &Stream::process, py::arg("mic_block"), py::arg("ref_block"),
           "Processes one block (1-D arrays of equal length); returns as many output samples, of the mic's dtype.")
      .def("reset", &Stream::reset, "Back to the state of a new stream.")
      .def_property_readonly("rate", &Stream::rate)
      .def_property_readonly("latency", &Stream::latency, "Output delay in samples at the stream rate.")
      .def_property_readonly("delay_estimate", &Stream::delayEstimate, "Far-end delay in use, in milliseconds.");
}
