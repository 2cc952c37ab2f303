#include "sources/discovery.h"

#include <unistd.h>

#include <fstream>
#include <system_error>

#include "platform/folders.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "sources/file_index.h"
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

  // Manifest.mbdb gives every file of an encrypted backup its wrapped key:
  // a manifest that can be read decides, whatever state a database is in.
  std::vector<MbdbRecord> records;
  if (ReadMbdbRecords(folder / kMbdbFileName, records) == status::kOk) {
    bool anyFile = false;
    for (const MbdbRecord& r : records) {
      if (!r.IsFile()) continue;
      if (!r.encryptionKey.empty()) return true;
      anyFile = true;
    }
    if (anyFile) return false;
  }

  // Otherwise: a stored address book that is not an SQLite file, but is
  // whole cipher blocks that are not zero, is ciphertext. An empty, zeroed
  // or cut database is damage, not encryption: the scan says so for the
  // address book and reads the rest.
  const std::string name = kAddressBookHashedName;
  for (const fs::path& candidate :
       {folder / name, folder / (name + ".mddata"), folder / name.substr(0, 2) / name}) {
    uint64_t size = 0;
    const int fd = OpenStoredFile(candidate, {}, nullptr, nullptr, &size);
    if (fd < 0) continue;
    char head[512] = {};
    const ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    if (got <= 0 || size == 0 || size % 16 != 0) return false;
    if (EqualsIgnoreAsciiCase(std::string_view(head, 6), "SQLite")) return false;
    bool zero = true;
    for (ssize_t i = 0; i < got && zero; ++i) zero = head[i] == 0;
    return !zero;
  }
  return false;
}

}  // namespace orbanix
