// orbanix files [--json] BACKUP: the file index of one backup, from
// Manifest.mbdb or Manifest.db, with where each stored file lives.
#include <iostream>

#include "cli/commands.h"
#include "platform/status.h"
#include "sources/file_index.h"

namespace orbanix::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHelp =
    "usage: orbanix files [--json] BACKUP\n"
    "Lists the file index of the backup folder BACKUP (read from Manifest.mbdb, or\n"
    "Manifest.db in newer backups): one line per stored file with its key (domain,\n"
    "\"-\", relative path), its hashed name, its stored path and its recorded size\n"
    "(\"-\" when the manifest does not say). Folders are not listed.\n"
    "  --json   one JSON object per line (key, hashedName, storedPath, size, stored;\n"
    "           size is null when unknown, stored says whether the file is there)\n";

}  // namespace

int RunFiles(const Args& args) {
  bool json = false;
  std::vector<std::string> folders;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "orbanix files: unknown option " << a << "\n" << kHelp;
      return kExitUsage;
    } else {
      folders.push_back(a);
    }
  }
  if (folders.size() != 1) {
    std::cerr << "orbanix files: give exactly one backup folder\n" << kHelp;
    return kExitUsage;
  }
  const fs::path folder = folders[0];
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    std::cerr << "orbanix files: " << folder.string() << ": not a folder\n";
    return kExitFailure;
  }
  std::vector<BackupFileEntry> index;
  std::string error;
  const Status s = ReadFileIndex(folder, index, &error);
  if (s != status::kOk) {
    std::cerr << "orbanix files: " << folder.string() << ": " << (error.empty() ? "cannot read the file index" : error)
              << " (status " << s << ")\n";
    if (index.empty()) return kExitFailure;
    std::cerr << "orbanix files: listing the " << index.size() << " entries read before the damage\n";
  }
  size_t stored = 0;
  for (const BackupFileEntry& e : index) {
    const fs::path path = ResolveStoredPath(folder, e.hashedName);
    const bool there = fs::is_regular_file(path, ec);
    stored += there;
    const std::string size = e.size < 0 ? (json ? "null" : "-") : std::to_string(e.size);
    if (json) {
      std::cout << "{\"key\": " << JsonString(e.key) << ", \"hashedName\": " << JsonString(e.hashedName.str())
                << ", \"storedPath\": " << JsonString(path.string()) << ", \"size\": " << size
                << ", \"stored\": " << (there ? "true" : "false") << "}\n";
    } else {
      std::cout << e.key << '\t' << e.hashedName << '\t' << path.string() << '\t' << size << '\n';
    }
  }
  if (!json) {
    const char* manifest = FindManifest(folder) == ManifestKind::Mbdb ? kMbdbFileName : kManifestDbFileName;
    std::cerr << index.size() << " entries from " << manifest << ", " << stored << " stored files present\n";
  }
  return s == status::kOk ? kExitOk : kExitFailure;
}

}  // namespace orbanix::cli
