// One scan of a backup from the command line, shared by `scan` and
// `recover`: opens the backup (asking for the password of an encrypted
// one), runs the scan driver with a progress bar on stderr, and turns
// Ctrl-C into a cancel that still keeps what was found.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sources/catalog.h"
#include "sources/scan_plan.h"

namespace orbanix::cli {

struct ScanRequest {
  std::filesystem::path backup;
  CategorySet categories;            // empty: every category
  bool qq = false;                   // also read the QQ and WeChat databases
  bool weChat = false;
  std::filesystem::path passwordFile;  // empty: ask on the terminal when needed
  bool quiet = false;                 // no progress bar
};

struct ScanSession {
  std::unique_ptr<BackupCatalog> catalog;
  std::unique_ptr<CLocalBuckupRecovery> source;
  ScanResults results;
  ScanOutcome outcome = ScanOutcome::kCompleted;
  Status openStatus = 0;
  Status lastStatus = 0;
  // What could not be read (also printed as warnings on stderr).
  std::vector<Problem> problems;
};

// Parses "camera-roll,messages,..." into the request's categories ("qq"
// and "wechat" set its chat-application flags); false with a message on an
// unknown name.
bool ParseCategories(const std::string& list, ScanRequest& request, std::string& error);

// Every category, in the category page's order.
CategorySet AllCategories();

// Runs the scan. Returns 0 when the scan ran (completed or cancelled), or 1
// with a one-line error on stderr when the backup cannot be opened at all.
// What could not be read is in `session.problems` and on stderr.
int RunScanSession(const ScanRequest& request, ScanSession& session);

}  // namespace orbanix::cli
