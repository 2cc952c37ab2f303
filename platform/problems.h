// What could not be read, where and why. Every operation of a scan or a
// recovery collects its problems beside its results: a problem never erases
// what could be read, and a category whose file could not be read is never
// reported as "found nothing". The front ends show them (the command line on
// stderr and in --json "problems", the desktop program on the scan page).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"

namespace orbanix {

struct Problem {
  std::string category;  // the category as the command line names it ("messages"); empty: the backup itself
  std::string file;      // the file concerned (domain path or path), may be empty
  std::string what;      // what failed, in words ("cannot be opened", "is cut short")
  std::string reason;    // the system's reason (an errno text, a parser's message), may be empty
  // True when nothing at all of the category could be read because of it
  // (the exit code of the command line is 1 when a ticked category has one).
  bool whole = false;

  // "what: file (reason)" in one line, for stderr and message boxes.
  std::string Text() const;
};

// A status in words for a problem's reason: the system's text for an
// errno, and the few statuses of the core in their own words.
std::string StatusText(Status status);

// A log that operations on several threads may add to.
class ProblemLog {
 public:
  void Add(Problem problem);
  void Add(std::string category, std::string file, std::string what, std::string reason = {}, bool whole = false);
  std::vector<Problem> Snapshot() const;
  bool Empty() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<Problem> problems_;
};

}  // namespace orbanix
