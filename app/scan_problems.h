// What a scan could not read, gathered for the scan page: the result of
// opening the backup (or the phone), the result of every category
// operation, and the problems the data source recorded on its way (file,
// what failed, the system's reason). A category listed here was not read,
// or not wholly; a category that is not listed and holds nothing was read
// and found nothing. The two must never be shown alike.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "platform/problems.h"
#include "platform/status.h"

namespace orbanix::app {

struct ScanProblem {
  int category = 0;  // 1..14; 0 for the backup or the phone itself
  QString text;      // what failed, where and why, in one line
  bool whole = false;  // nothing of the category could be read
};

class ScanProblemList {
 public:
  void Clear();

  // Opening ended with `result` (neither a cancel nor a wrong password);
  // `message` is the source's own explanation, if it gave one. `device`
  // says whether a phone or a backup was opened.
  void OpenFailed(Status result, const std::string& message, bool device);
  // Opening succeeded but the source said something went partly wrong
  // ("12 files could not be deciphered").
  void OpenNote(const std::string& message);
  // The operation of `categories` ended with `result` (not a cancel).
  void StepFailed(const std::vector<int>& categories, Status result);
  // The source's own problems so far (replaces the earlier snapshot).
  void SetSourceProblems(const std::vector<Problem>& problems);

  // Everything, the backup's own first, then by category in page order.
  std::vector<ScanProblem> Items() const;
  bool Empty() const { return Items().empty(); }
  bool Has(int category) const;
  // The texts of one category (or of the backup itself for 0).
  QStringList TextsOf(int category) const;

 private:
  std::vector<ScanProblem> open_;
  std::vector<ScanProblem> steps_;
  std::vector<ScanProblem> source_;
};

// The reason behind a status, in words ("No such file or directory", "the
// file is cut short", ...).
QString StatusReason(Status status);

// The category number (1..14) of a command-line category name
// ("messages"); 0 for an empty or unknown name.
int CategoryOfName(const std::string& name);

}  // namespace orbanix::app
