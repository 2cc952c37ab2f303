#include "sources/discovery.h"

#include <fstream>
#include <system_error>

#include "platform/folders.h"
#include "platform/text.h"
#include "sources/plist.h"

namespace orbanix {

namespace fs = std::filesystem;

void FindBackups(const std::vector<fs::path>& roots, std::vector<fs::path>& candidates,
                 std::vector<SkippedBackup>* skipped) {
  for (const fs::path& root : roots) {
    uint64_t total = 0;
    std::vector<fs::path> entries;
    if (!EnumerateFolder(root, entries, total)) {
      if (skipped) {
        std::error_code ec;
        const bool exists = fs::exists(root, ec);
        skipped->push_back({root, !exists                     ? "backup folder does not exist"
                                  : !fs::is_directory(root, ec) ? "not a folder"
                                                                : "folder cannot be listed"});
      }
      continue;
    }
    candidates.insert(candidates.end(), entries.begin(), entries.end());
  }
}

Status ReadBackupInfo(const fs::path& folder, BackupInfo& info, std::string* reason) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    if (reason) *reason = "not a folder";
    return status::kBadData;
  }
  std::string error;
  PlistDoc plist = PlistDoc::Load(folder / "Info.plist", &error);
  if (!plist || plist_get_node_type(plist.root()) != PLIST_DICT) {
    if (reason) *reason = "Info.plist: " + (plist ? std::string("not a dictionary") : error);
    return status::kBadData;
  }
  BackupInfo read;  // each summary starts from empty fields
  read.displayName = ValidUtf8(PlistString(plist.Get("Display Name")).value_or(""));
  read.phoneNumber = ValidUtf8(PlistString(plist.Get("Phone Number")).value_or(""));
  read.serialNumber = ValidUtf8(PlistString(plist.Get("Serial Number")).value_or(""));
  if (auto when = PlistDateUnix(plist.Get("Last Backup Date"))) {
    read.lastBackupDate = FormatLocalDateTime(*when);
  }
  fs::path clean = folder;
  if (!clean.has_filename()) clean = clean.parent_path();
  read.folder = clean;
  read.encrypted = IsEncrypted(clean);
  info = std::move(read);
  return status::kOk;
}

Status ListBackups(const std::vector<fs::path>& candidates, std::vector<BackupInfo>& backups,
                   std::vector<SkippedBackup>* skipped) {
  for (const fs::path& candidate : candidates) {
    BackupInfo info;
    std::string reason;
    if (ReadBackupInfo(candidate, info, &reason) == status::kOk) {
      backups.push_back(std::move(info));
    } else if (skipped) {
      skipped->push_back({candidate, reason});
    }
  }
  return status::kOk;
}

bool IsEncrypted(const fs::path& folder) {
  // Manifest.plist, written by the device, says it outright when present.
  PlistDoc manifest = PlistDoc::Load(folder / "Manifest.plist");
  if (auto flag = PlistBool(manifest.Get("IsEncrypted"))) return *flag;

  // Otherwise: a stored address book that is not an SQLite file is ciphertext.
  const std::string name = kAddressBookHashedName;
  for (const fs::path& candidate :
       {folder / name, folder / (name + ".mddata"), folder / name.substr(0, 2) / name}) {
    std::ifstream in(candidate, std::ios::binary);
    if (!in) continue;
    char head[512] = {};
    in.read(head, sizeof head);
    return !EqualsIgnoreAsciiCase(std::string_view(head, 6), "SQLite");
  }
  return false;
}

}  // namespace orbanix
