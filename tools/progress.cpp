#include "tools/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace aec_tools {

namespace {

constexpr int kBarWidth = 40;

}  // namespace

bool stderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

ProgressBar::ProgressBar(bool enabled, double delaySeconds)
    : enabled_(enabled),
      from_(std::chrono::steady_clock::now() +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(delaySeconds))) {}

void ProgressBar::show(double fraction, const std::string& text) {
  const int percent = static_cast<int>(100.0 * std::clamp(fraction, 0.0, 1.0));
  if (!enabled_ || (percent == shownPercent_ && text == shownText_) || std::chrono::steady_clock::now() < from_) return;
  shownPercent_ = percent;
  shownText_ = text;
  const int filled = percent * kBarWidth / 100;
  const std::string line = "[" + std::string(size_t(filled), '#') + std::string(size_t(kBarWidth - filled), '.') +
                           "] " + std::to_string(percent) + "%" + (text.empty() ? "" : " " + text);
  // Pad over a longer line drawn before.
  std::fprintf(stderr, "\r%-*s", int(std::max(width_, line.size())), line.c_str());
  std::fflush(stderr);
  width_ = std::max(width_, line.size());
}

void ProgressBar::clear() {
  if (width_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", int(width_), "");
  std::fflush(stderr);
  width_ = 0;
  shownPercent_ = -1;
  shownText_.clear();
}

}  // namespace aec_tools
