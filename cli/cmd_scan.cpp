// orbanix scan [--json] [--categories LIST] [--password-file FILE] BACKUP
// orbanix scan [--json] [--categories LIST] --device [UDID]
#include <iostream>

#include "cli/commands.h"
#include "cli/device_session.h"
#include "cli/problems_report.h"
#include "cli/scan_session.h"

namespace orbanix::cli {

namespace {

constexpr const char* kHelp =
    "usage: orbanix scan [--json] [--categories LIST] [--password-file FILE] BACKUP\n"
    "       orbanix scan [--json] [--categories LIST] --device [UDID]\n"
    "Scans one backup folder (or a connected iPhone) and prints, per category, the items (what the\n"
    "category tree shows: conversations, chats, records, files), the records\n"
    "(every message counted) and how many of them were recovered as deleted.\n"
    "  --categories LIST  comma-separated, default all: camera-roll, photo-stream,\n"
    "                     app-photos, app-videos, messages, message-attachments,\n"
    "                     contacts, call-history, notes, whatsapp,\n"
    "                     whatsapp-attachments, reminders, calendar, safari-bookmarks;\n"
    "                     also qq and wechat (every account's one-to-one chats;\n"
    "                     not part of the default)\n"
    "  --password-file F  the password of an encrypted backup, first line of F\n"
    "                     (asked on the terminal when missing)\n"
    "  --device [UDID]    scan the iPhone attached over USB (the first one when no\n"
    "                     UDID is given) instead of a backup\n"
    "  --json             {\"categories\": {name: {items, records, deleted}},\n"
    "                     \"problems\": [{category, file, what, reason, whole}], \"status\": code}\n"
    "Progress goes to stderr; Ctrl-C stops the scan and still prints what was found.\n"
    "What could not be read is a warning on stderr. Exit code 1 when the backup\n"
    "cannot be opened or nothing at all of a chosen category could be read.\n";

void PrintCounts(const ScanResults& results, Status lastStatus, bool json, bool qq, bool weChat,
                 const std::vector<Problem>& problems) {
  const CategorySet& ticked = results.ticked;
  std::lock_guard<std::mutex> guard(results.lock);
  if (json) {
    std::cout << "{\"categories\": {";
    bool first = true;
    for (Category c : ticked) {
      const CategoryCount n = CountCategory(results, c);
      std::cout << (first ? "" : ", ") << JsonString(CategoryCliName(c)) << ": {\"items\": " << n.items
                << ", \"records\": " << n.records << ", \"deleted\": " << n.deleted << "}";
      first = false;
    }
    for (auto [on, name, accounts] : {std::tuple{qq, "qq", &results.qq},
                                      std::tuple{weChat, "wechat", &results.weChat}}) {
      if (!on) continue;
      const CategoryCount n = CountChatAccounts(*accounts);
      std::cout << (first ? "" : ", ") << JsonString(name) << ": {\"items\": " << n.items
                << ", \"records\": " << n.records << ", \"deleted\": " << n.deleted << "}";
      first = false;
    }
    std::cout << "}, \"problems\": " << ProblemsJson(problems) << ", \"status\": " << lastStatus << "}\n";
  } else {
    std::printf("%-22s %8s %8s %8s\n", "category", "items", "records", "deleted");
    for (Category c : ticked) {
      const CategoryCount n = CountCategory(results, c);
      std::printf("%-22s %8zu %8zu %8zu\n", CategoryCliName(c), n.items, n.records, n.deleted);
    }
    for (auto [on, name, accounts] : {std::tuple{qq, "qq", &results.qq},
                                      std::tuple{weChat, "wechat", &results.weChat}}) {
      if (!on) continue;
      const CategoryCount n = CountChatAccounts(*accounts);
      std::printf("%-22s %8zu %8zu %8zu\n", name, n.items, n.records, n.deleted);
    }
  }
}

}  // namespace

int RunScan(const Args& args) {
  ScanRequest request;
  bool json = false;
  bool device = false;
  std::string udid;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--json") {
      json = true;
    } else if (a == "--device") {
      device = true;
      if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') udid = args[++i];
    } else if ((a == "--categories" || a == "--password-file") && i + 1 < args.size()) {
      if (a == "--categories") {
        std::string error;
        if (!ParseCategories(args[++i], request, error)) {
          std::cerr << "orbanix scan: " << error << "\n";
          return kExitUsage;
        }
      } else {
        request.passwordFile = args[++i];
      }
    } else if (!a.empty() && a[0] != '-' && request.backup.empty()) {
      request.backup = a;
    } else {
      std::cerr << "orbanix scan: unexpected argument " << a << "\n" << kHelp;
      return kExitUsage;
    }
  }
  if (device) {
    if (!request.backup.empty() || !request.passwordFile.empty()) {
      std::cerr << "orbanix scan: --device reads a phone, not a backup\n" << kHelp;
      return kExitUsage;
    }
    DeviceScanRequest deviceRequest;
    deviceRequest.udid = udid;
    deviceRequest.categories = request.categories;
    deviceRequest.qq = request.qq;
    deviceRequest.weChat = request.weChat;
    DeviceScanSession session;
    if (RunDeviceScanSession(deviceRequest, session) != 0) return kExitFailure;
    const std::vector<Problem> problems = session.source->Problems();
    PrintProblemWarnings(std::cerr, problems);
    PrintCounts(session.results, session.lastStatus, json, request.qq, request.weChat, problems);
    // A phone that went away leaves an incomplete scan.
    if (session.disconnected) return kExitFailure;
    return ReportLost(session.results, problems, request.qq, request.weChat);
  }
  if (request.backup.empty()) {
    std::cerr << kHelp;
    return kExitUsage;
  }
  ScanSession session;
  if (RunScanSession(request, session) != 0) return kExitFailure;
  PrintCounts(session.results, session.lastStatus, json, request.qq, request.weChat, session.problems);
  return ReportLost(session.results, session.problems, request.qq, request.weChat);
}

}  // namespace orbanix::cli
