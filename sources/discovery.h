// Backup discovery and the one-line summary of each backup.
//
// A backup is a folder named after the device's identifier below a backup
// root. Its Info.plist (written by the computer, XML or binary) gives the
// summary; Manifest.plist's IsEncrypted, or else the wrapped keys of
// Manifest.mbdb's records, or else the first bytes of the stored
// address-book database, tell whether it is encrypted.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/status.h"

namespace orbanix {

// Hashed name of the address-book database, SHA-1 of
// "HomeDomain-Library/AddressBook/AddressBook.sqlitedb".
inline constexpr const char* kAddressBookHashedName = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";

struct BackupInfo {
  bool encrypted = false;
  std::string lastBackupDate;  // local time, "YYYY-MM-DD hh:mm:ss"
  std::string phoneNumber;
  std::string serialNumber;
  std::filesystem::path folder;  // no trailing separator
  std::string displayName;
};

struct SkippedBackup {
  std::filesystem::path folder;
  std::string reason;
};

// Every entry of each root (names beginning with "." skipped), in root
// order then listing order. A root that cannot be listed adds nothing and,
// when `skipped` is given, is reported there.
void FindBackups(const std::vector<std::filesystem::path>& roots,
                 std::vector<std::filesystem::path>& candidates,
                 std::vector<SkippedBackup>* skipped = nullptr);

// Appends one BackupInfo per candidate whose Info.plist can be read, in
// candidate order; the others go to `skipped` with the reason.
Status ListBackups(const std::vector<std::filesystem::path>& candidates, std::vector<BackupInfo>& backups,
                   std::vector<SkippedBackup>* skipped = nullptr);

// Fills `info` from one folder. 87 when Info.plist cannot be opened or is
// not a property list (`info` unchanged then; `reason` says why).
Status ReadBackupInfo(const std::filesystem::path& folder, BackupInfo& info, std::string* reason = nullptr);

bool IsEncrypted(const std::filesystem::path& folder);

}  // namespace orbanix
