// orbanix recover [--categories LIST] [--deleted-only] [--format LIST] [--password-file FILE]
//                 BACKUP OUTPUT_FOLDER
// orbanix recover [--categories LIST] [--deleted-only] [--format LIST] --device [UDID] OUTPUT_FOLDER
#include <filesystem>
#include <iostream>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "cli/commands.h"
#include "cli/device_session.h"
#include "cli/problems_report.h"
#include "cli/progress.h"
#include "cli/scan_session.h"
#include "export/chat_apps_output.h"
#include "export/names.h"
#include "export/recovery.h"
#include "export/source_output.h"
#include "platform/text.h"

namespace orbanix::cli {

namespace {

constexpr const char* kHelp =
    "usage: orbanix recover [--categories LIST] [--deleted-only] [--format LIST]\n"
    "                       [--password-file FILE] BACKUP OUTPUT_FOLDER\n"
    "       orbanix recover [--categories LIST] [--deleted-only] [--format LIST]\n"
    "                       --device [UDID] OUTPUT_FOLDER\n"
    "Scans one backup folder (or a connected iPhone) like 'orbanix scan', then\n"
    "writes every item found in the chosen categories into OUTPUT_FOLDER: photos,\n"
    "videos and attachments as copies, messages and WhatsApp chats as TXT/HTML\n"
    "(and CSV) documents per conversation, contacts, call history and notes as\n"
    "one HTML document each, contacts also as a vCard file (Contacts.vcf),\n"
    "calendar and reminders as HTML, CSV and iCalendar (.ics), Safari bookmarks\n"
    "and history as HTML and CSV and the bookmarks as a bookmark file that\n"
    "browsers import.\n"
    "  --categories LIST  comma-separated, default all: camera-roll, photo-stream,\n"
    "                     app-photos, app-videos, messages, message-attachments,\n"
    "                     contacts, call-history, notes, whatsapp,\n"
    "                     whatsapp-attachments, reminders, calendar,\n"
    "                     safari-bookmarks; also qq and wechat (each chat as a\n"
    "                     text file under QQ/ and WeChat/)\n"
    "  --deleted-only     only the items recovered from deleted rows (photos and\n"
    "                     attachments have no deleted state and are left out)\n"
    "  --format LIST      comma-separated: html (the documents, always written),\n"
    "                     json (also one JSON Lines file per category under\n"
    "                     JSON/STAMP/: messages.jsonl, contacts.jsonl, ...)\n"
    "  --password-file F  the password of an encrypted backup, first line of F\n"
    "                     (asked on the terminal when missing)\n"
    "  --device [UDID]    read the iPhone attached over USB (the first one when no\n"
    "                     UDID is given) instead of a backup; a phone gone during\n"
    "                     the scan leaves what was read before (exit code 1)\n"
    "Progress goes to stderr; Ctrl-C stops the run and removes the file in work.\n"
    "What could not be read is a warning on stderr. Exit code 0 when every file\n"
    "was written, 1 otherwise, and 1 when nothing at all of a chosen category\n"
    "could be read.\n";

struct Failure {
  fs::path path;
  std::string text;
};

// The document formats of --format: "html" (always written) and "json".
bool ParseFormats(const std::string& list, bool& jsonLines, std::string& error) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = list.find(',', start);
    const std::string word = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (word == "json") {
      jsonLines = true;
    } else if (word != "html") {
      error = "unknown format '" + word + "' (html, json)";
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

void CancelProgress(void* progress) { static_cast<RecoveryProgress*>(progress)->Cancel(); }

// Writes the ticked items of a finished scan into `output`. The source
// must be the one the scan ran over: the copies are read from it.
int WriteRecovery(ScanResults& found, IPhoneRecoveryParse& scanned, const std::string& deviceName,
                  const fs::path& output, bool deletedOnly, bool jsonLines, bool qq, bool weChat) {
  std::lock_guard<std::mutex> guard(found.lock);
  const std::vector<MessageRecord> conversationRows = ConversationRows(found.conversations);
  const std::vector<ChatMessageRecord> chatRows = ChatRows(found.whatsApp);
  RecoveryRecords records;
  records.cameraRoll = &found.cameraRoll;
  records.photoStream = &found.photoStream;
  records.appPhotos = &found.appPhotos;
  records.appVideos = &found.appVideos;
  records.attachments = &found.messageAttachments;
  records.whatsAppMedia = &found.whatsAppMedia;
  records.conversations = &found.conversations;
  records.conversationRows = &conversationRows;
  records.contacts = &found.contacts;
  records.calls = &found.calls;
  records.notes = &found.notes;
  records.chats = &found.whatsApp;
  records.chatRows = &chatRows;
  records.reminders = &found.reminders;
  records.events = &found.events;
  records.safariBookmarks = &found.safariBookmarks;
  records.safariHistory = &found.safariHistory;

  CStatisticsObj selection;
  SelectAll(selection, records);
  if (deletedOnly) {
    for (int c = 1; c <= kDataCategoryCount; ++c) selection.SetDeletedOnly(static_cast<Category>(c), true);
  }

  ProgressBar bar("recover");
  std::vector<Failure> failures;
  RecoveryProgress* progressPtr = nullptr;
  RecoveryProgress::Events events;
  // On a terminal the bar names every file; in a log one line per percent.
  const bool terminal = isatty(STDERR_FILENO) != 0;
  int shown = -1;
  events.progress = [&](int, const fs::path& path) {
    const RecoveryProgress::Counts n = progressPtr->counts();
    const int percent = n.total > 0 ? static_cast<int>((int64_t{n.done} * 100) / n.total) : 100;
    if (!terminal && percent == shown) return;
    shown = percent;
    bar.Update(percent, Format("%d/%d ", n.done, n.total) + path.filename().string());
  };
  events.completed = [&](const fs::path& path, Status st, const std::string& text) {
    if (st != status::kOk) failures.push_back({path, text});
  };
  RecoveryProgress progress(events);
  progressPtr = &progress;

  RecoveryOutputSource source = OutputSourceOf(scanned);
  RecoveryOptions options;
  options.outputRoot = output;
  options.deviceName = deviceName;
  options.jsonLines = jsonLines;
  RecoveryResult result;
  {
    InterruptGuard interrupt(CancelProgress, &progress);
    result = RunRecovery(selection, records, source, options, progress);
    // The chats of QQ and WeChat, each through the source's chat export.
    if (result.error.empty() && !result.cancelled && (qq || weChat)) {
      std::vector<ChatAppJob> jobs;
      if (qq) jobs = ChatAppJobs(ChatApp::kQQ, found.qq, deletedOnly);
      if (weChat) {
        const std::vector<ChatAppJob> more = ChatAppJobs(ChatApp::kWeChat, found.weChat, deletedOnly);
        jobs.insert(jobs.end(), more.begin(), more.end());
      }
      WriteChatApps(scanned, jobs, output, progress);
      result.cancelled = progress.Cancelled();
      result.counts = progress.counts();
    }
  }
  bar.Finish();

  if (!result.error.empty()) {
    std::cerr << "orbanix recover: " << result.error << "\n";
    return kExitFailure;
  }
  for (const Failure& f : failures) std::cerr << "failed: " << f.path.string() << ": " << f.text << "\n";
  const RecoveryProgress::Counts n = result.counts;
  if (result.cancelled) std::cout << "Stopped by the user.\n";
  std::cout << "Recovered " << n.written() << " of " << n.total << " item(s), " << n.failed << " failed, into\n"
            << output.string() << "\n";
  return (n.failed == 0 && !result.cancelled) ? kExitOk : kExitFailure;
}

}  // namespace

int RunRecover(const Args& args) {
  ScanRequest request;
  fs::path output;
  bool deletedOnly = false;
  bool jsonLines = false;
  bool device = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--deleted-only") {
      deletedOnly = true;
    } else if (a == "--device") {
      device = true;
    } else if (a == "--format" && i + 1 < args.size()) {
      std::string error;
      if (!ParseFormats(args[++i], jsonLines, error)) {
        std::cerr << "orbanix recover: " << error << "\n";
        return kExitUsage;
      }
    } else if ((a == "--categories" || a == "--password-file") && i + 1 < args.size()) {
      if (a == "--categories") {
        std::string error;
        if (!ParseCategories(args[++i], request, error)) {
          std::cerr << "orbanix recover: " << error << "\n";
          return kExitUsage;
        }
      } else {
        request.passwordFile = args[++i];
      }
    } else if (!a.empty() && a[0] != '-' && positional.size() < 2) {
      positional.push_back(a);
    } else {
      std::cerr << "orbanix recover: unexpected argument " << a << "\n" << kHelp;
      return kExitUsage;
    }
  }
  // The UDID after --device is optional, so the words are told apart by
  // their count: the output folder is always the last one.
  std::string udid;
  if (device) {
    if (!request.passwordFile.empty()) {
      std::cerr << "orbanix recover: --device reads a phone, not a backup\n" << kHelp;
      return kExitUsage;
    }
    if (positional.size() == 2) udid = positional[0];
  } else if (positional.size() == 2) {
    request.backup = positional[0];
  }
  if (positional.empty() || (!device && request.backup.empty())) {
    std::cerr << kHelp;
    return kExitUsage;
  }
  output = positional.back();
  std::error_code ec;
  output = fs::absolute(output, ec).lexically_normal();
  if (output.has_filename() == false) output = output.parent_path();

  // The backup is only ever read: no output inside it.
  if (!device) {
    const fs::path backup = fs::absolute(request.backup, ec).lexically_normal();
    if (output == backup || IsInsideFolder(backup, output)) {
      std::cerr << "orbanix recover: the output folder must not lie inside the backup folder\n";
      return kExitUsage;
    }
  }

  // A broken installation fails before the scan, not after it.
  {
    DocumentTemplates templates;
    std::string error;
    if (templates.Load(DefaultTemplateFolder(), "", error) != status::kOk) {
      std::cerr << "orbanix recover: " << error << "\n";
      return kExitFailure;
    }
  }

  if (device) {
    DeviceScanRequest deviceRequest;
    deviceRequest.udid = udid;
    deviceRequest.categories = request.categories;
    deviceRequest.qq = request.qq;
    deviceRequest.weChat = request.weChat;
    // The session holds the phone's binding and source; the recovery copies
    // the media from the source's local copies, which go with the source.
    DeviceScanSession session;
    if (RunDeviceScanSession(deviceRequest, session) != 0) return kExitFailure;
    if (session.outcome == ScanOutcome::kCancelled) {
      std::cerr << "orbanix recover: the scan was stopped; nothing was written\n";
      return kExitFailure;
    }
    // The media were fetched into the source's local copies during the
    // scan, so what was read before a phone went away can still be written.
    const std::string name = session.deviceName.empty() ? std::string("iPhone") : session.deviceName;
    const std::vector<Problem> problems = session.source->Problems();
    PrintProblemWarnings(std::cerr, problems);
    const int code = WriteRecovery(session.results, *session.source, name, output, deletedOnly, jsonLines, request.qq,
                                   request.weChat);
    const int lost = ReportLost(session.results, problems, request.qq, request.weChat);
    return session.disconnected ? kExitFailure : code != kExitOk ? code : lost;
  }

  ScanSession session;
  if (RunScanSession(request, session) != 0) return kExitFailure;
  if (session.outcome == ScanOutcome::kCancelled) {
    std::cerr << "orbanix recover: the scan was stopped; nothing was written\n";
    return kExitFailure;
  }
  const int code = WriteRecovery(session.results, *session.source, session.catalog->selected().displayName, output,
                                 deletedOnly, jsonLines, request.qq, request.weChat);
  // What could not be read was said after the scan; a category of which
  // nothing at all could be read makes the run a failure.
  const int lost = ReportLost(session.results, session.problems, request.qq, request.weChat);
  return code != kExitOk ? code : lost;
}

}  // namespace orbanix::cli
