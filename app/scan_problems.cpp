#include "app/scan_problems.h"

#include <algorithm>
#include <cstring>

#include "app/scan_backend.h"
#include "app/texts.h"
#include "sources/scan_plan.h"

namespace orbanix::app {

QString StatusReason(Status result) {
  switch (result) {
    case status::kShortRead: return Text("PageScan", "ReasonShortRead", QStringLiteral("the file is cut short"));
    case status::kBadData:
      return Text("PageScan", "ReasonBadData", QStringLiteral("the file is missing or its contents are damaged"));
    case status::kNameTooLong: return Text("PageScan", "ReasonNameTooLong", QStringLiteral("a name is too long"));
    case status::kWhatsAppSchema:
      return Text("PageScan", "ReasonWhatsAppSchema", QStringLiteral("the layout of the WhatsApp database cannot be read"));
    case status::kManifestOpen:
      return Text("PageScan", "ReasonManifest", QStringLiteral("the file index of the backup cannot be opened"));
    case status::kCannotOpen: return Text("PageScan", "ReasonCannotOpen", QStringLiteral("it cannot be opened at all"));
    case status::kWrongPassword: return Text("PageScan", "ReasonWrongPassword", QStringLiteral("the password is wrong"));
    default: break;
  }
  // Anything else is the errno of a failed system call.
  if (result > 0 && result < 4096) return QString::fromLocal8Bit(std::strerror(result));
  return FormatText(Text("PageScan", "ReasonStatus", QStringLiteral("status %d")), {result});
}

int CategoryOfName(const std::string& name) {
  if (name == "qq") return kQQChats;
  if (name == "wechat") return kWeChatChats;
  Category category;
  if (name.empty() || !CategoryFromCliName(name, category)) return 0;
  return static_cast<int>(category);
}

void ScanProblemList::Clear() {
  open_.clear();
  steps_.clear();
  source_.clear();
}

void ScanProblemList::OpenFailed(Status result, const std::string& message, bool device) {
  ScanProblem p;
  p.text = device ? Text("PageScan", "ProblemDeviceOpen",
                         QStringLiteral("The databases of the iPhone could not be fetched; only its media were read"))
                  : Text("PageScan", "ProblemBackupOpen",
                         QStringLiteral("The file index of the backup could not be read; only databases at fixed "
                                        "places were read"));
  const QString why = message.empty() ? StatusReason(result) : QString::fromStdString(message);
  if (!why.isEmpty()) p.text += QStringLiteral(" (") + why + QLatin1Char(')');
  open_.push_back(std::move(p));
}

void ScanProblemList::OpenNote(const std::string& message) {
  if (message.empty()) return;
  ScanProblem p;
  p.text = QString::fromStdString(message);
  open_.push_back(std::move(p));
}

void ScanProblemList::StepFailed(const std::vector<int>& categories, Status result) {
  for (int c : categories) {
    ScanProblem p;
    p.category = c;
    p.whole = true;
    p.text = FormatText(Text("PageScan", "ProblemCategory", QStringLiteral("could not be read (%s)")), {StatusReason(result)});
    steps_.push_back(std::move(p));
  }
}

void ScanProblemList::SetSourceProblems(const std::vector<Problem>& problems) {
  source_.clear();
  for (const Problem& problem : problems) {
    ScanProblem p;
    p.category = CategoryOfName(problem.category);
    p.whole = problem.whole;
    std::string line = problem.file.empty() ? problem.what : problem.file + " " + problem.what;
    if (!problem.reason.empty()) line += " (" + problem.reason + ")";
    // A category the program does not number keeps its name in the line.
    if (p.category == 0 && !problem.category.empty()) line = problem.category + ": " + line;
    p.text = QString::fromStdString(line);
    source_.push_back(std::move(p));
  }
}

std::vector<ScanProblem> ScanProblemList::Items() const {
  std::vector<ScanProblem> all = open_;
  for (const ScanProblem& p : source_) {
    if (p.category == 0) all.push_back(p);
  }
  for (int c = 1; c <= 16; ++c) {
    // The source's own words say more than an operation's status: the
    // status stands only for categories the source said nothing about.
    bool told = false;
    for (const ScanProblem& p : source_) {
      if (p.category != c) continue;
      told = true;
      all.push_back(p);
    }
    if (told) continue;
    for (const ScanProblem& p : steps_) {
      if (p.category == c) all.push_back(p);
    }
  }
  return all;
}

bool ScanProblemList::Has(int category) const {
  const auto items = Items();
  return std::any_of(items.begin(), items.end(), [category](const ScanProblem& p) { return p.category == category; });
}

QStringList ScanProblemList::TextsOf(int category) const {
  QStringList texts;
  for (const ScanProblem& p : Items()) {
    if (p.category == category) texts << p.text;
  }
  return texts;
}

}  // namespace orbanix::app
