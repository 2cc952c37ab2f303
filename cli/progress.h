// Progress on stderr: a redrawn bar on a terminal, plain lines otherwise
// (one per change of the percent or the label, so logs stay readable).
#pragma once

#include <mutex>
#include <string>

#include "platform/interrupt.h"

namespace orbanix::cli {

class ProgressBar {
 public:
  explicit ProgressBar(std::string title);
  ~ProgressBar();
  void Update(int percent, const std::string& label);
  // Ends the bar's line (a terminal keeps the last state visible).
  void Finish();

 private:
  std::mutex lock_;
  std::string title_;
  bool terminal_;
  bool open_ = false;
  int lastPercent_ = -1;
  std::string lastLabel_;
};

// Ctrl-C handling for long commands (platform/interrupt.h).
using orbanix::InterruptGuard;

}  // namespace orbanix::cli
