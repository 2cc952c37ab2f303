#include "cli/problems_report.h"

#include "cli/commands.h"

#include <iostream>
#include <mutex>

namespace orbanix::cli {

void PrintProblemWarnings(std::ostream& err, const std::vector<Problem>& problems) {
  for (const Problem& p : problems) err << "orbanix: warning: " << p.Text() << "\n";
}

std::string ProblemsJson(const std::vector<Problem>& problems) {
  std::string out = "[";
  bool first = true;
  for (const Problem& p : problems) {
    out += first ? "" : ", ";
    out += "{\"category\": " + JsonString(p.category) + ", \"file\": " + JsonString(p.file) +
           ", \"what\": " + JsonString(p.what) + ", \"reason\": " + JsonString(p.reason) +
           ", \"whole\": " + (p.whole ? "true" : "false") + "}";
    first = false;
  }
  return out + "]";
}

std::vector<std::string> CategoriesLost(const std::vector<Problem>& problems, const ScanResults& results, bool qq,
                                        bool weChat) {
  std::vector<std::string> ticked;
  for (Category c : results.ticked) ticked.emplace_back(CategoryCliName(c));
  if (qq) ticked.emplace_back("qq");
  if (weChat) ticked.emplace_back("wechat");
  return CategoriesLost(problems, ticked, [&](const std::string& name) {
    if (name == "qq") return CountChatAccounts(results.qq).items > 0;
    if (name == "wechat") return CountChatAccounts(results.weChat).items > 0;
    Category c;
    return CategoryFromCliName(name, c) && CountCategory(results, c).items > 0;
  });
}

int ReportLost(const ScanResults& results, const std::vector<Problem>& problems, bool qq, bool weChat) {
  std::vector<std::string> lost;
  {
    std::lock_guard<std::mutex> guard(results.lock);
    lost = CategoriesLost(problems, results, qq, weChat);
  }
  if (lost.empty()) return kExitOk;
  std::string names;
  for (const std::string& name : lost) names += (names.empty() ? "" : ", ") + name;
  std::cerr << "orbanix: nothing could be read of: " << names << "\n";
  return kExitFailure;
}

}  // namespace orbanix::cli
