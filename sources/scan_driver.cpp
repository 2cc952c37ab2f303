#include "sources/scan_driver.h"

#include "sqlite_pages/deleted_rows.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace orbanix {

ScanDriver::~ScanDriver() {
  Cancel();
  Wait();
}

Status ScanDriver::Start(std::function<Status()> open, std::vector<ScanStep> steps, Events events) {
  std::unique_lock<std::mutex> guard(lock_);
  if (running_) return status::kBadData;
  guard.unlock();
  if (worker_.joinable()) worker_.join();  // the previous scan has ended
  guard.lock();
  events_ = std::move(events);
  running_ = true;
  paused_ = false;
  cancelled_ = false;
  shown_ = 0;
  currentStep_ = "open";
  worker_ = std::thread(&ScanDriver::Work, this, std::move(open), std::move(steps));
  return status::kOk;
}

int ScanDriver::Report(int value) {
  // Nothing new to show, and neither a pause nor a cancel to answer: the
  // answer is 0 without the lock. A pause or cancel asked for before this
  // report is seen here and takes the way below.
  if (value <= shown_.load(std::memory_order_relaxed) && !paused_.load(std::memory_order_acquire) &&
      !cancelled_.load(std::memory_order_acquire)) {
    return 0;
  }
  std::unique_lock<std::mutex> guard(lock_);
  resumed_.wait(guard, [this] { return !paused_ || cancelled_; });
  if (cancelled_) return status::kCancelled;
  if (value <= shown_) return 0;
  // The first report of an opened backup shows at least 2, so the bar moves
  // visibly as soon as the file index is being read.
  if (value < 2) value = 2;
  if (value > 99) value = 99;
  if (value == shown_) return 0;
  shown_ = value;
  if (events_.progress) events_.progress(shown_, currentStep_);
  return 0;
}

void ScanDriver::Work(std::function<Status()> open, std::vector<ScanStep> steps) {
  Status last = open ? open() : status::kOk;
  ScanOutcome outcome = ScanOutcome::kCompleted;
  if (Cancelled()) {
    outcome = ScanOutcome::kCancelled;
  } else if (last == status::kWrongPassword) {
    outcome = ScanOutcome::kWrongPassword;
  } else if (last == status::kCannotOpen) {
    outcome = ScanOutcome::kCannotOpen;
  } else {
    // Any other result of Open lets the operations run: a backup without a
    // manifest still has its databases under fixed names.
    if (events_.opened) events_.opened(last);
    for (size_t i = 0; i < steps.size(); ++i) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (cancelled_) break;
        currentStep_ = steps[i].name;
      }
      last = steps[i].run ? steps[i].run() : status::kOk;
      if (events_.stepDone) events_.stepDone(i, steps[i], last);
      // A missing database answers ENOENT (2) and ends only its own
      // operation; only the cancel flag ends the sequence.
      if (Cancelled()) break;
    }
    if (Cancelled()) outcome = ScanOutcome::kCancelled;
  }
  // Work begun ahead for operations that never came (a cancel) ends here,
  // while the source and the progress callback it reports to are alive.
  for (ScanStep& step : steps) {
    if (step.settle) step.settle();
  }
  // The carver's finds kept for the files of this scan are no longer needed.
  ReleaseCarvedFiles();
#ifdef __GLIBC__
  // The operations' working memory (pages, lists being sorted, buffers that
  // grew) is free again; give it back to the system, so that the desktop
  // program keeps only the results while the person looks at them.
  malloc_trim(0);
#endif
  auto finished = events_.finished;
  {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = false;
    paused_ = false;
  }
  resumed_.notify_all();
  if (finished) finished(outcome, last);
}

void ScanDriver::Pause() {
  std::lock_guard<std::mutex> guard(lock_);
  if (running_) paused_ = true;
}

void ScanDriver::Resume() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    paused_ = false;
  }
  resumed_.notify_all();
}

void ScanDriver::Cancel() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_) cancelled_ = true;
    paused_ = false;
  }
  resumed_.notify_all();
}

void ScanDriver::Wait() {
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool ScanDriver::Running() const {
  std::lock_guard<std::mutex> guard(lock_);
  return running_;
}

bool ScanDriver::Paused() const {
  std::lock_guard<std::mutex> guard(lock_);
  return paused_;
}

bool ScanDriver::Cancelled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancelled_;
}

std::string ScanDriver::CurrentStep() const {
  std::lock_guard<std::mutex> guard(lock_);
  return currentStep_;
}

int ScanDriver::ShownPercent() const {
  std::lock_guard<std::mutex> guard(lock_);
  return shown_;
}

}  // namespace orbanix
