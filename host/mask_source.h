#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

namespace aec {

// Writes 513 gains in [0, 1] for one 10 ms frame from the 18 x 513 feature
// buffer the pipeline builds (host/features.h).
using MaskFunction = std::function<void(const float* features, float* mask)>;

// A mask function and, for sources with memory (a recurrent filter), the
// call that clears it: the stream's reset() runs it so that a reset stream
// behaves like a new one. Any mask function converts to a source without
// memory.
struct MaskSource {
  MaskFunction process;
  std::function<void()> reset;

  MaskSource() = default;
  template <class F, class = std::enable_if_t<std::is_constructible<MaskFunction, F>::value &&
                                              !std::is_same<std::decay_t<F>, MaskSource>::value>>
  MaskSource(F process) : process(std::move(process)) {}
  MaskSource(MaskFunction process, std::function<void()> reset)
      : process(std::move(process)), reset(std::move(reset)) {}

  explicit operator bool() const { return static_cast<bool>(process); }
};

}  // namespace aec
