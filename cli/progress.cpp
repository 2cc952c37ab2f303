#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace orbanix::cli {

ProgressBar::ProgressBar(std::string title) : title_(std::move(title)), terminal_(isatty(STDERR_FILENO) != 0) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(int percent, const std::string& label) {
  std::lock_guard<std::mutex> guard(lock_);
  if (percent == lastPercent_ && label == lastLabel_) return;
  // A log gets a line per new step and per ten percent, not per percent.
  const bool logLine = label != lastLabel_ || percent / 10 != lastPercent_ / 10 || percent == 100;
  lastPercent_ = percent;
  lastLabel_ = label;
  if (!terminal_ && !logLine) return;
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::string shown = label.size() > 40 ? label.substr(0, 37) + "..." : label;
    std::fprintf(stderr, "\r%s [%s] %3d%% %-40s", title_.c_str(), bar.c_str(), percent, shown.c_str());
    open_ = true;
  } else {
    std::fprintf(stderr, "%s %3d%% %s\n", title_.c_str(), percent, label.c_str());
  }
  std::fflush(stderr);
}

void ProgressBar::Finish() {
  std::lock_guard<std::mutex> guard(lock_);
  if (open_) std::fputc('\n', stderr);
  open_ = false;
}

}  // namespace orbanix::cli
