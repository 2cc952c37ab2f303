#include "platform/problems.h"

namespace orbanix {

std::string Problem::Text() const {
  std::string text = category.empty() ? std::string() : category + ": ";
  text += file.empty() ? what : file + " " + what;
  if (!reason.empty()) text += " (" + reason + ")";
  return text;
}

void ProblemLog::Add(Problem problem) {
  std::lock_guard<std::mutex> hold(lock_);
  problems_.push_back(std::move(problem));
}

void ProblemLog::Add(std::string category, std::string file, std::string what, std::string reason, bool whole) {
  Add(Problem{std::move(category), std::move(file), std::move(what), std::move(reason), whole});
}

std::vector<Problem> ProblemLog::Snapshot() const {
  std::lock_guard<std::mutex> hold(lock_);
  return problems_;
}

bool ProblemLog::Empty() const {
  std::lock_guard<std::mutex> hold(lock_);
  return problems_.empty();
}

void ProblemLog::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  problems_.clear();
}

}  // namespace orbanix
