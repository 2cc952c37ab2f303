// RecoveryProgress: the one place where copies and document writers report
// during a recovery run, shared by the command line and the recovery window.
//
// Every report carries a percent (0-100), a status and the path of the output
// file in work. A report with 100 completes one output file: with status 0 it
// counts as written, otherwise as failed, and either way as done. The answer
// is 0 to go on and 2 once the run is cancelled; after a cancel nothing more
// is counted.
//
// Cancel works as a question: the front end opens it (reports then wait, so
// the progress stands still while the user decides), and answers it. Only a
// confirmed answer sets the cancel flag. Cancel() is the question answered at
// once (Ctrl-C on the command line).
//
// Reports may come from a worker thread; the events run on that thread under
// the object's lock, so they never overlap. An event may call Cancel().
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "platform/status.h"

namespace orbanix {

namespace fs = std::filesystem;

// The system's message text for a status: errno texts, and the program's own
// texts for 87 (bad data or missing source) and 111 (name too long).
std::string ErrorText(Status status);

class RecoveryProgress {
 public:
  struct Events {
    // Every accepted report: the percent of the file in work and its path.
    std::function<void(int percent, const fs::path& path)> progress;
    // Every completion: status 0 for "Success", else the failure and its text.
    std::function<void(const fs::path& path, Status status, const std::string& text)> completed;
  };

  struct Counts {
    int done = 0;    // completions received
    int failed = 0;  // completions that carried an error
    int total = 0;   // completions expected
    int written() const { return done - failed; }
  };

  RecoveryProgress() = default;
  explicit RecoveryProgress(Events events) : events_(std::move(events)) {}
  RecoveryProgress(const RecoveryProgress&) = delete;
  RecoveryProgress& operator=(const RecoveryProgress&) = delete;

  // Resets the counters for a new run of `total` items. Does not clear a
  // cancel: a run cancelled before it started writes nothing.
  void Start(int total);
  // One more expected completion (a document failure found at the end).
  void AddToTotal(int n);

  // The report of a copy or a writer: 0 to go on, 2 when cancelled.
  int Report(int percent, Status status, const fs::path& path);

  // The cancel question (front end thread).
  void OpenCancelQuestion();
  void AnswerCancelQuestion(bool stop);
  void Cancel();
  bool Cancelled() const;

  Counts counts() const;
  int percent() const;
  fs::path current() const;

 private:
  mutable std::recursive_mutex lock_;
  std::condition_variable_any answered_;
  Events events_;
  bool questionOpen_ = false;
  bool cancelled_ = false;
  Counts counts_;
  int percent_ = 0;
  fs::path current_;
};

}  // namespace orbanix
