#pragma once

#include <chrono>
#include <string>

// One progress bar on stderr, redrawn in place: "[####....] 42% text".
// Only drawn when enabled (the caller checks that stderr is a terminal) and
// once delaySeconds have passed since construction, so quick runs show none;
// the destructor wipes it.
namespace aec_tools {

bool stderrIsTerminal();

class ProgressBar {
 public:
  ProgressBar(bool enabled, double delaySeconds);
  ~ProgressBar() { clear(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // fraction in [0, 1]; redraws only when the percentage or text changes.
  void show(double fraction, const std::string& text = "");
  // Wipes the bar, so that other lines can be printed; the next show() draws it again.
  void clear();

 private:
  bool enabled_;
  std::chrono::steady_clock::time_point from_;
  int shownPercent_ = -1;
  std::string shownText_;
  size_t width_ = 0;  // characters drawn
};

}  // namespace aec_tools
