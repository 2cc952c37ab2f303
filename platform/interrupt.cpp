#include "platform/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/safe_file.h"

namespace orbanix {

namespace {

std::atomic<int> gInterrupts{0};
std::atomic<bool> gWatching{false};
int gWakeFd[2] = {-1, -1};
std::thread gWatcher;

// Only async-signal-safe calls here: atomics, write, unlink, _exit.
void OnSignal(int) {
  if (gInterrupts.fetch_add(1) >= 1) {
    RemoveTemporaryOutputFiles();
    _exit(130);
  }
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

}  // namespace orbanix
