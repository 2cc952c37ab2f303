// orbanix list [--json] [ROOT...]: the backups under the default roots or the
// roots given.
#include <iostream>

#include "cli/commands.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "sources/discovery.h"

namespace orbanix::cli {

namespace {

constexpr const char* kHelp =
    "usage: orbanix list [--json] [ROOT...]\n"
    "Lists the iPhone backups found in each ROOT (a folder holding backup folders),\n"
    "or in the default backup folders when none is given. A ROOT may also be one\n"
    "backup folder itself.\n"
    "  --json   print a JSON array of objects (displayName, lastBackupDate,\n"
    "           serialNumber, phoneNumber, encrypted, folder)\n";

// Pads with blanks to `width` code points (names hold non-ASCII letters).
std::string Pad(const std::string& text, size_t width) {
  const size_t n = CodePointCount(text);
  return n >= width ? text : text + std::string(width - n, ' ');
}

}  // namespace

int RunList(const Args& args) {
  bool json = false;
  std::vector<fs::path> roots;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "orbanix list: unknown option " << a << "\n" << kHelp;
      return kExitUsage;
    } else {
      roots.emplace_back(a);
    }
  }
  const bool defaults = roots.empty();
  if (defaults) roots = DefaultBackupRoots();

  // A root that is itself a backup folder is listed as one.
  std::vector<fs::path> candidates;
  std::vector<SkippedBackup> skipped;
  std::vector<fs::path> containers;
  for (const fs::path& root : roots) {
    std::error_code ec;
    if (fs::is_regular_file(root / "Info.plist", ec)) {
      candidates.push_back(root);
    } else {
      containers.push_back(root);
    }
  }
  FindBackups(containers, candidates, defaults ? nullptr : &skipped);
  std::vector<BackupInfo> backups;
  ListBackups(candidates, backups, &skipped);
  for (const SkippedBackup& s : skipped) {
    std::cerr << "orbanix list: skipped " << s.folder.string() << ": " << s.reason << '\n';
  }

  if (json) {
    std::cout << "[";
    for (size_t i = 0; i < backups.size(); ++i) {
      const BackupInfo& b = backups[i];
      std::cout << (i ? ",\n " : "\n ") << "{\"displayName\": " << JsonString(b.displayName)
                << ", \"lastBackupDate\": " << JsonString(b.lastBackupDate)
                << ", \"serialNumber\": " << JsonString(b.serialNumber)
                << ", \"phoneNumber\": " << JsonString(b.phoneNumber)
                << ", \"encrypted\": " << (b.encrypted ? "true" : "false")
                << ", \"folder\": " << JsonString(b.folder.string()) << "}";
    }
    std::cout << (backups.empty() ? "]\n" : "\n]\n");
    return kExitOk;
  }
  if (backups.empty()) {
    std::cout << "No backups found in:";
    for (const fs::path& r : roots) std::cout << ' ' << r.string();
    std::cout << '\n';
    return kExitOk;
  }
  size_t nameWidth = 12;
  for (const BackupInfo& b : backups) nameWidth = std::max(nameWidth, CodePointCount(b.displayName));
  std::cout << Pad("Name", nameWidth) << "  " << Pad("Last backup", 19) << "  " << Pad("Serial", 14) << "  "
            << Pad("Phone", 18) << "  " << "Encrypted  Folder\n";
  for (const BackupInfo& b : backups) {
    std::cout << Pad(b.displayName, nameWidth) << "  " << Pad(b.lastBackupDate, 19) << "  "
              << Pad(b.serialNumber, 14) << "  " << Pad(b.phoneNumber, 18) << "  "
              << Pad(b.encrypted ? "yes" : "no", 9) << "  " << b.folder.string() << '\n';
  }
  return kExitOk;
}

}  // namespace orbanix::cli
