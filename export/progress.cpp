#include "export/progress.h"

#include <algorithm>
#include <system_error>

namespace orbanix {

std::string ErrorText(Status st) {
  switch (st) {
    case status::kOk: return "Success";
    case status::kBadData: return "The source file is missing or cannot be read";
    case status::kNameTooLong: return "No free file name could be formed";
    default: break;
  }
  if (st < 0) return "Error " + std::to_string(st);
  return std::generic_category().message(st);
}

void RecoveryProgress::Start(int total) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  counts_ = Counts{};
  counts_.total = std::max(0, total);
  percent_ = 0;
  current_.clear();
}

void RecoveryProgress::AddToTotal(int n) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  counts_.total += n;
}

int RecoveryProgress::Report(int percent, Status st, const fs::path& path) {
  std::unique_lock<std::recursive_mutex> hold(lock_);
  answered_.wait(hold, [this] { return !questionOpen_; });
  if (cancelled_) return status::kCancelled;
  percent = std::clamp(percent, 0, 100);
  if (percent == 100) {
    ++counts_.done;
    if (st != status::kOk) ++counts_.failed;
    if (events_.completed) events_.completed(path, st, ErrorText(st));
  }
  percent_ = percent;
  current_ = path;
  if (events_.progress) events_.progress(percent, path);
  return 0;
}

void RecoveryProgress::OpenCancelQuestion() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  questionOpen_ = true;
}

void RecoveryProgress::AnswerCancelQuestion(bool stop) {
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    questionOpen_ = false;
    if (stop) cancelled_ = true;
  }
  answered_.notify_all();
}

void RecoveryProgress::Cancel() {
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    cancelled_ = true;
    questionOpen_ = false;
  }
  answered_.notify_all();
}

bool RecoveryProgress::Cancelled() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return cancelled_;
}

RecoveryProgress::Counts RecoveryProgress::counts() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return counts_;
}

int RecoveryProgress::percent() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return percent_;
}

fs::path RecoveryProgress::current() const {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return current_;
}

}  // namespace orbanix
