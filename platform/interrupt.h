// Ctrl-C (SIGINT) and SIGTERM during long work.
//
// The first signal asks the work to stop: `onInterrupt` runs on a watcher
// thread, never inside the signal handler, so it may lock and allocate. A
// second signal ends the process at once with exit code 130; the handler
// first removes the output files still being written under their temporary
// names (OutputFile), so that nothing half-written stays behind.
#pragma once

namespace orbanix {

class InterruptGuard {
 public:
  // Installs the handlers until the guard is destroyed. One guard at a time.
  InterruptGuard(void (*onInterrupt)(void*), void* user);
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  bool Interrupted() const;
};

}  // namespace orbanix
