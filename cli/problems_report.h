// What a scan could not read, as the command line tells it: one warning per
// problem on stderr, the "problems" array of --json, and whether the exit
// code must say failure (nothing at all of a ticked category was read).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/problems.h"
#include "sources/scan_plan.h"

namespace orbanix::cli {

// "orbanix: warning: <problem>" per problem.
void PrintProblemWarnings(std::ostream& err, const std::vector<Problem>& problems);

// The JSON array of the problems: [{"category", "file", "what", "reason",
// "whole"}, ...].
std::string ProblemsJson(const std::vector<Problem>& problems);

// The ticked categories (by their command-line names) of which nothing at
// all could be read: a problem of the category that says so, or a problem
// of the category (or of the whole backup) while the category found
// nothing. `found(name)` tells whether a category found anything.
template <typename Found>
std::vector<std::string> CategoriesLost(const std::vector<Problem>& problems,
                                        const std::vector<std::string>& ticked, const Found& found) {
  std::vector<std::string> lost;
  for (const std::string& name : ticked) {
    bool gone = false;
    for (const Problem& p : problems) {
      if (p.category == name && p.whole) gone = true;
      if ((p.category == name || p.category.empty()) && !found(name)) gone = true;
    }
    if (gone) lost.push_back(name);
  }
  return lost;
}

// The same over the counts of a scan's results (their lock not held).
std::vector<std::string> CategoriesLost(const std::vector<Problem>& problems, const ScanResults& results, bool qq,
                                        bool weChat);

// Names the lost categories on stderr: the exit code, 1 when there are any.
int ReportLost(const ScanResults& results, const std::vector<Problem>& problems, bool qq, bool weChat);

}  // namespace orbanix::cli
