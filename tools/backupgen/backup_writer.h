// Synthetic iPhone backups for tests, benchmarks and the demo.
//
// A BackupWriter lays out one backup folder of either era:
//   Era::Mbdb        Info.plist, Manifest.plist, Status.plist, Manifest.mbdb,
//                    stored files flat under their SHA-1 names
//   Era::ManifestDb  the same plists, Manifest.db (table Files) and stored
//                    files in two-hex-digit subfolders
// Database families and media are added by the family units (families.h),
// each of which only calls AddFile/AddDirectory/AddLink.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/backupgen/encrypt.h"

namespace orbanix::gen {

namespace fs = std::filesystem;

enum class Era { Mbdb, ManifestDb };

struct DeviceInfo {
  std::string displayName = "Demo iPhone";
  std::string deviceName = "Demo iPhone";
  std::string serialNumber = "F2LDEMO0001";
  std::string phoneNumber = "+1 (555) 010-0199";
  std::string productType = "iPhone6,2";
  std::string productVersion = "9.3.5";
  std::string udid;                 // default: derived from the folder name
  int64_t lastBackupUnix = 1400000000;  // 2014-05-13 16:53:20 UTC
  bool binaryPlists = false;        // Info.plist as bplist00 instead of XML
  bool writeIsEncrypted = true;     // put IsEncrypted into Manifest.plist
};

struct StoredFile {
  std::string domain;
  std::string relativePath;
  std::string linkTarget;     // symbolic links only
  uint16_t mode = 0100644;    // 0x8000 file, 0x4000 folder, 0xA000 link
  uint64_t size = 0;
  uint8_t protectionClass = 4;
  std::string hashedName;     // SHA-1 of domain + "-" + relativePath
  std::string encryptionKey;  // 4-byte class + wrapped key, encrypted backups
  int64_t modified = 1400000000;
};

class BackupWriter {
 public:
  BackupWriter(fs::path folder, Era era, DeviceInfo device = {});

  Era era() const { return era_; }
  const fs::path& folder() const { return folder_; }
  const DeviceInfo& device() const { return device_; }

  // Where a stored file of this hashed name lives in this era's layout.
  fs::path StoredPath(const std::string& hashedName) const;

  // Adds a file with its content; returns its stored path.
  fs::path AddFile(const std::string& domain, const std::string& relativePath, const std::string& bytes);
  // Adds a file by moving (or copying) an existing file into place.
  fs::path AddFileFrom(const std::string& domain, const std::string& relativePath, const fs::path& source);
  void AddDirectory(const std::string& domain, const std::string& relativePath);
  void AddLink(const std::string& domain, const std::string& relativePath, const std::string& target);

  // A scratch folder (removed by Finish) for building databases.
  fs::path ScratchPath(const std::string& name);

  std::vector<StoredFile>& files() { return files_; }

  // Makes Finish write an encrypted backup with this password: every
  // stored regular file is enciphered in place with its own key (except
  // those in options.plainHashedNames), the keys go into the manifest,
  // Manifest.plist gets a BackupKeyBag and IsEncrypted true, and in the
  // Manifest.db era Manifest.db is enciphered with ManifestKey (unless
  // options.encryptManifestDb is false). Call before Finish.
  void EncryptWith(EncryptionOptions options);
  bool encrypted() const { return encryption_.has_value(); }
  // The keys Finish used; null before Finish or for a plain backup.
  const BackupKeys* keys() const { return keys_.get(); }

  // Writes the plists and the manifest. False with a message on failure.
  bool Finish(std::string* error = nullptr);

 private:
  StoredFile& Record(const std::string& domain, const std::string& relativePath, uint16_t mode);
  bool WriteMbdb(std::string* error);
  bool WriteManifestDb(std::string* error);
  bool WritePlists(std::string* error);
  bool EncryptStoredFiles(std::string* error);

  fs::path folder_;
  Era era_;
  DeviceInfo device_;
  std::vector<StoredFile> files_;
  std::optional<EncryptionOptions> encryption_;
  std::unique_ptr<BackupKeys> keys_;
};

// Writes a property list (a plist_t) as XML or binary.
bool WritePlistFile(const fs::path& path, void* plist, bool binary);

// The MBFile properties of Manifest.db's "file" column: a binary
// NSKeyedArchiver property list.
std::string ArchiveFileProperties(const StoredFile& file);

}  // namespace orbanix::gen
