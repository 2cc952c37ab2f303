// orbanix recover [--categories LIST] [--deleted-only] [--password-file FILE]
//                 BACKUP OUTPUT_FOLDER
#include <filesystem>
#include <iostream>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "cli/commands.h"
#include "cli/progress.h"
#include "cli/scan_session.h"
#include "export/names.h"
#include "export/recovery.h"
#include "export/source_output.h"
#include "platform/text.h"

namespace orbanix::cli {

namespace {

constexpr const char* kHelp =
    "usage: orbanix recover [--categories LIST] [--deleted-only] [--password-file FILE]\n"
    "                       BACKUP OUTPUT_FOLDER\n"
    "Scans one backup folder like 'orbanix scan', then writes every item found in\n"
    "the chosen categories into OUTPUT_FOLDER: photos, videos and attachments as\n"
    "copies, messages and WhatsApp chats as TXT/HTML (and CSV) documents per\n"
    "conversation, contacts, call history and notes as one HTML document each.\n"
    "  --categories LIST  comma-separated, default all: camera-roll, photo-stream,\n"
    "                     app-photos, app-videos, messages, message-attachments,\n"
    "                     contacts, call-history, notes, whatsapp,\n"
    "                     whatsapp-attachments\n"
    "  --deleted-only     only the items recovered from deleted rows (photos and\n"
    "                     attachments have no deleted state and are left out)\n"
    "  --password-file F  the password of an encrypted backup, first line of F\n"
    "                     (asked on the terminal when missing)\n"
    "Progress goes to stderr; Ctrl-C stops the run and removes the file in work.\n"
    "Exit code 0 when every file was written, 1 otherwise.\n";

struct Failure {
  fs::path path;
  std::string text;
};

void CancelProgress(void* progress) { static_cast<RecoveryProgress*>(progress)->Cancel(); }

}  // namespace

int RunRecover(const Args& args) {
  ScanRequest request;
  fs::path output;
  bool deletedOnly = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--deleted-only") {
      deletedOnly = true;
    } else if ((a == "--categories" || a == "--password-file") && i + 1 < args.size()) {
      if (a == "--categories") {
        std::string error;
        if (!ParseCategories(args[++i], request, error)) {
          std::cerr << "orbanix recover: " << error << "\n";
          return kExitUsage;
        }
        if (request.qq || request.weChat) {
          std::cerr << "orbanix recover: QQ and WeChat chats are counted by 'orbanix scan', not written\n";
          return kExitUsage;
        }
      } else {
        request.passwordFile = args[++i];
      }
    } else if (!a.empty() && a[0] != '-' && request.backup.empty()) {
      request.backup = a;
    } else if (!a.empty() && a[0] != '-' && output.empty()) {
      output = a;
    } else {
      std::cerr << "orbanix recover: unexpected argument " << a << "\n" << kHelp;
      return kExitUsage;
    }
  }
  if (request.backup.empty() || output.empty()) {
    std::cerr << kHelp;
    return kExitUsage;
  }
  std::error_code ec;
  output = fs::absolute(output, ec).lexically_normal();
  if (output.has_filename() == false) output = output.parent_path();

  // The backup is only ever read: no output inside it.
  const fs::path backup = fs::absolute(request.backup, ec).lexically_normal();
  if (output == backup || IsInsideFolder(backup, output)) {
    std::cerr << "orbanix recover: the output folder must not lie inside the backup folder\n";
    return kExitUsage;
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

  ScanSession session;
  if (RunScanSession(request, session) != 0) return kExitFailure;
  if (session.outcome == ScanOutcome::kCancelled) {
    std::cerr << "orbanix recover: the scan was stopped; nothing was written\n";
    return kExitFailure;
  }

  std::lock_guard<std::mutex> guard(session.results.lock);
  ScanResults& found = session.results;
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

  RecoveryOutputSource source = OutputSourceOf(*session.source);
  RecoveryOptions options;
  options.outputRoot = output;
  options.deviceName = session.catalog->selected().displayName;
  RecoveryResult result;
  {
    InterruptGuard interrupt(CancelProgress, &progress);
    result = RunRecovery(selection, records, source, options, progress);
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

}  // namespace orbanix::cli
