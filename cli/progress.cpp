#include "cli/progress.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

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

namespace {
std::atomic<int> gInterrupts{0};
std::atomic<bool> gWatching{false};
int gWakeFd[2] = {-1, -1};
std::thread gWatcher;

void OnSignal(int) {
  if (gInterrupts.fetch_add(1) >= 1) _exit(130);
  const char byte = 1;
  if (gWakeFd[1] >= 0) (void)!write(gWakeFd[1], &byte, 1);
}
}  // namespace

InterruptGuard::InterruptGuard(void (*onInterrupt)(void*), void* user) {
  gInterrupts = 0;
  if (pipe(gWakeFd) != 0) return;
  gWatching = true;
  gWatcher = std::thread([onInterrupt, user] {
    char byte;
    while (read(gWakeFd[0], &byte, 1) == 1) {
      if (byte == 0) break;  // the guard ends
      onInterrupt(user);
    }
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

InterruptGuard::~InterruptGuard() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  if (!gWatching) return;
  const char stop = 0;
  (void)!write(gWakeFd[1], &stop, 1);
  gWatcher.join();
  close(gWakeFd[0]);
  close(gWakeFd[1]);
  gWakeFd[0] = gWakeFd[1] = -1;
  gWatching = false;
}

bool InterruptGuard::Interrupted() const { return gInterrupts.load() > 0; }

}  // namespace orbanix::cli
