#include "platform/problems.h"

#include <cstring>

namespace orbanix {

std::string Problem::Text() const {
  std::string text = category.empty() ? std::string() : category + ": ";
  text += file.empty() ? what : file + " " + what;
  if (!reason.empty()) text += " (" + reason + ")";
  return text;
}

std::string StatusText(Status s) {
  switch (s) {
    case status::kOk: return "no error";
    case status::kShortRead: return "the file ends early";
    case status::kBadData: return "damaged or unexpected data";
    case status::kDamagedTree: return "pages of a table are damaged; the rows on them are missing";
    case status::kWhatsAppSchema: return "the tables are not those of a WhatsApp database";
    case status::kManifestOpen: return "the manifest cannot be opened";
    case status::kCannotOpen: return "cannot be opened";
    case status::kWrongPassword: return "wrong password";
    default: break;
  }
  if (s > 0 && s < 4096) return std::strerror(s);
  return "status " + std::to_string(s);
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
