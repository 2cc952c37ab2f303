#include "cli/scan_session.h"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "cli/problems_report.h"
#include "cli/progress.h"
#include "decrypt/password_input.h"
#include "extractors/notestore_crypto.h"
#include "platform/text.h"
#include "sources/categories.h"
#include "sources/discovery.h"
#include "sources/file_index.h"

namespace orbanix::cli {

namespace fs = std::filesystem;

CategorySet AllCategories() {
  CategorySet all;
  for (int c = 1; c <= kCategoryCount; ++c) all.insert(static_cast<Category>(c));
  return all;
}

bool ParseCategories(const std::string& list, ScanRequest& request, std::string& error) {
  CategorySet& categories = request.categories;
  std::stringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    name = std::string(TrimBlanks(name));
    if (name.empty()) continue;
    if (name == "all") {
      categories = AllCategories();
      continue;
    }
    if (name == "qq" || name == "wechat") {
      (name == "qq" ? request.qq : request.weChat) = true;
      continue;
    }
    Category c;
    if (!CategoryFromCliName(name, c)) {
      error = "unknown category '" + name + "'";
      return false;
    }
    categories.insert(c);
  }
  if (categories.empty() && !request.qq && !request.weChat) {
    error = "no category given";
    return false;
  }
  return true;
}

namespace {

std::string OpenError(Status s) {
  switch (s) {
    case status::kWrongPassword: return "wrong backup password";
    case status::kCannotOpen: return "the backup cannot be opened";
    default: return "status " + std::to_string(s);
  }
}

}  // namespace

int RunScanSession(const ScanRequest& request, ScanSession& session) {
  const fs::path folder = request.backup;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    std::cerr << "orbanix: " << folder.string() << ": not a backup folder\n";
    return 1;
  }
  BackupInfo info;
  std::string reason;
  if (ReadBackupInfo(folder, info, &reason) != status::kOk) {
    // A folder without a readable Info.plist is still a backup when it has
    // a manifest; its summary stays empty.
    if (FindManifest(folder) == ManifestKind::None) {
      std::cerr << "orbanix: " << folder.string() << ": not a backup folder (" << reason << ")\n";
      return 1;
    }
    info.folder = folder;
    info.encrypted = IsEncrypted(folder);
  }

  std::string password;
  if (info.encrypted) {
    Status s = status::kOk;
    if (!request.passwordFile.empty()) {
      s = decrypt::ReadPasswordFile(request.passwordFile, password);
      if (s != status::kOk) {
        std::cerr << "orbanix: cannot read the password file " << request.passwordFile.string() << ": "
                  << std::error_code(s, std::generic_category()).message() << "\n";
        return 1;
      }
    } else {
      s = decrypt::PromptPasswordHidden("Password of the encrypted backup: ", password);
      if (s != status::kOk) {
        std::cerr << "orbanix: the backup is encrypted: give its password with --password-file FILE\n";
        return 1;
      }
    }
  }

  // The notes password is read before the scan, so a missing file fails
  // at once; it stays in memory only.
  std::string notesPassword;
  if (!request.notesPasswordFile.empty()) {
    const Status s = decrypt::ReadPasswordFile(request.notesPasswordFile, notesPassword);
    if (s != status::kOk) {
      std::cerr << "orbanix: cannot read the notes password file " << request.notesPasswordFile.string() << ": "
                << std::error_code(s, std::generic_category()).message() << "\n";
      return 1;
    }
  }

  session.catalog = std::make_unique<BackupCatalog>(fs::path(), std::vector<fs::path>{folder.parent_path()});
  session.catalog->SelectBackup(info);
  session.source = std::make_unique<CLocalBuckupRecovery>();
  session.source->SetCatalog(session.catalog.get());

  ScanDriver driver;
  session.source->SetProgressCallback(&ScanDriver::ReportTrampoline, &driver);
  const bool chatAppsOnly = request.categories.empty() && (request.qq || request.weChat);
  const CategorySet ticked =
      chatAppsOnly ? CategorySet() : request.categories.empty() ? AllCategories() : request.categories;
  std::vector<ScanStep> plan = BuildScanPlan(*session.source, ticked, session.results);
  AddChatAppSteps(*session.source, request.qq, request.weChat, session.results, plan);

  ProgressBar bar("scan");
  ScanDriver::Events events;
  if (!request.quiet) {
    events.progress = [&bar](int percent, const std::string& step) { bar.Update(percent, step); };
  }
  events.opened = [&session](Status s) { session.openStatus = s; };
  Status openStatus = status::kOk;
  auto open = [&]() {
    openStatus = session.source->Open(password);
    return openStatus;
  };
  {
    InterruptGuard guard([](void* d) { static_cast<ScanDriver*>(d)->Cancel(); }, &driver);
    events.finished = [&session](ScanOutcome o, Status last) {
      session.outcome = o;
      session.lastStatus = last;
    };
    driver.Start(open, std::move(plan), std::move(events));
    driver.Wait();
  }
  if (!request.quiet) {
    if (session.outcome == ScanOutcome::kCompleted) bar.Update(100, "done");
    bar.Finish();
  }
  session.openStatus = openStatus;
  if (session.outcome == ScanOutcome::kWrongPassword || session.outcome == ScanOutcome::kCannotOpen) {
    const std::string& message = session.catalog->lastMessage();
    std::cerr << "orbanix: " << OpenError(openStatus)
              << (message.empty() || openStatus == status::kWrongPassword ? "" : ": " + message) << "\n";
    return 1;
  }
  session.problems = session.source->Problems();
  if (!request.notesPasswordFile.empty()) {
    std::lock_guard<std::mutex> guard(session.results.lock);
    const UnlockCounts counts = UnlockNotes(session.results.notes, notesPassword);
    std::fill(notesPassword.begin(), notesPassword.end(), '\0');
    session.notesLeftLocked = counts.wrongPassword + counts.damaged + counts.passcode;
    const auto notes = [](int n) { return std::to_string(n) + (n == 1 ? " locked note" : " locked notes"); };
    if (counts.wrongPassword > 0) {
      session.problems.push_back({"notes", kNoteStoreDb.key, "the notes password is wrong",
                                  notes(counts.wrongPassword) + " stay locked", false});
    }
    if (counts.damaged > 0) {
      session.problems.push_back({"notes", kNoteStoreDb.key, "cannot be opened",
                                  notes(counts.damaged) + ": lock data damaged or of a kind that cannot be opened here",
                                  false});
    }
  }
  PrintProblemWarnings(std::cerr, session.problems);
  if (session.outcome == ScanOutcome::kCancelled) std::cerr << "orbanix: scan cancelled; showing what was found\n";
  return 0;
}

}  // namespace orbanix::cli
