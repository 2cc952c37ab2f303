// The scan driver: runs one scan of a data source on a worker thread.
//
// A scan is `Open` followed by the operations of the ticked categories in
// their fixed order; the records of each operation are handed over as soon as
// it ends. Progress arrives as values on a 0-100 scale through the source's
// progress callback; the driver shows them clamped (never back, at most 99
// while the scan runs, 2 once the backup is open). The driver owns the
// protocol of a scan page without any user interface:
//   pause   the worker blocks at its next progress report until resumed
//   cancel  the next progress report answers 2 and the worker winds down;
//           a cancel is known by this flag, never by a status value
//   finish  always reported once, whatever the last status was
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/status.h"

namespace orbanix {

// One operation of a scan: its name (for progress lines) and the call;
// `settle`, when set, is called once when the scan has ended (after the
// last operation, or after a cancel; whether this operation ran or not),
// before the driver reports the end: it waits for work the operation began
// for later ones.
struct ScanStep {
  std::string name;
  std::function<Status()> run;
  std::function<void()> settle = {};
};

// How a scan ended.
enum class ScanOutcome {
  kCompleted,      // every operation ran (some may have failed on their own)
  kCancelled,      // stopped through Cancel()
  kWrongPassword,  // Open answered -110; the caller may ask again
  kCannotOpen,     // Open answered -1: the source cannot be read at all
};

class ScanDriver {
 public:
  struct Events {
    // A new displayed percent (worker thread). Also gives the step name.
    std::function<void(int percent, const std::string& step)> progress;
    // The backup is open and the category operations begin (worker thread).
    std::function<void(Status openStatus)> opened;
    // One operation ended; its records may be taken now (worker thread).
    std::function<void(size_t stepIndex, const ScanStep& step, Status status)> stepDone;
    // The scan ended (worker thread); called exactly once per Start.
    std::function<void(ScanOutcome outcome, Status lastStatus)> finished;
  };

  ScanDriver() = default;
  ScanDriver(const ScanDriver&) = delete;
  ScanDriver& operator=(const ScanDriver&) = delete;
  ~ScanDriver();  // cancels and waits for a running scan

  // Starts the worker: `open` first, then `steps` in order. Fails with 87
  // when a scan is already running.
  Status Start(std::function<Status()> open, std::vector<ScanStep> steps, Events events);

  // The progress callback to register with the data source: answers 0 to go
  // on and 2 to stop. Blocks while the scan is paused.
  int Report(int value);
  // A C-style trampoline for sources that take (user data, value).
  static int ReportTrampoline(void* driver, int value) { return static_cast<ScanDriver*>(driver)->Report(value); }

  void Pause();
  void Resume();
  // Sets the cancel flag (releasing a pause) and returns at once.
  void Cancel();
  // Waits until the worker has ended.
  void Wait();

  bool Running() const;
  bool Paused() const;
  bool Cancelled() const;
  int ShownPercent() const;
  std::string CurrentStep() const;

 private:
  void Work(std::function<Status()> open, std::vector<ScanStep> steps);

  mutable std::mutex lock_;
  std::condition_variable resumed_;
  std::thread worker_;
  Events events_;
  bool running_ = false;
  // Written under lock_, and also read without it by the reports that
  // have nothing to show (most of a media operation's per-entry reports).
  std::atomic<bool> paused_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<int> shown_{0};
  std::string currentStep_;
};

}  // namespace orbanix
