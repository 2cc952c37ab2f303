// The file index of a backup: which stored file holds which file of the
// device.
//
// A backup folder keeps every backed-up file under a 40-digit name, the
// lowercase hexadecimal SHA-1 of its key (domain, "-", relative path, the
// bytes as the device wrote them). Two manifests say which key belongs to
// which stored file:
//
//   Manifest.mbdb  older backups; files stored flat: <folder>/<hashed name>
//   Manifest.db    newer backups, an SQLite file with the table
//                  Files(fileID, domain, relativePath, flags, file); files
//                  stored in two-digit subfolders: <folder>/<ab>/<ab...>
//
// Manifest.mbdb, all integers big-endian:
//
//   offset  size  field
//   0       4     magic "mbdb"
//   4       2     version bytes (05 00; not checked)
//   6       ...   records back to back until the end of the file
//
// One record:
//
//   string  domain               (HomeDomain, CameraRollDomain, AppDomain-<bundle>, ...)
//   string  relative path
//   string  link target          (symbolic links only)
//   string  content digest       (SHA-1 of the data, some files only)
//   string  encryption key       (encrypted backups: 4-byte class + 40-byte wrapped key)
//   u16     mode                 top bits: 0x8000 file, 0x4000 folder, 0xA000 link
//   u64     inode number
//   u32     user id, u32 group id
//   u32 x3  modified, accessed, created (Unix seconds)
//   u64     file length
//   u8      protection class
//   u8      property count n, then n x (string name, string value)
//
// A string is a u16 length and that many bytes, no terminator; the length
// 0xFFFF stands for "no value" and is followed by nothing, 0 is an empty
// string. The fixed part between the strings and the properties is 40 bytes.
//
// The index keeps only what a scan needs: the key, the hashed name and the
// recorded size. Readers that need every field of a record (the decryption
// step needs the encryption key and the protection class) use
// ReadMbdbRecords / ReadManifestDbRows, so that there is one parser per
// manifest format.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

// The digest context of the SHA-1 library, kept opaque here.
struct evp_md_ctx_st;
struct evp_md_st;

namespace orbanix {

inline constexpr const char* kMbdbFileName = "Manifest.mbdb";
inline constexpr const char* kManifestDbFileName = "Manifest.db";

// The name of a stored file: 40 hexadecimal digits, kept inline so that an
// index of hundreds of thousands of entries does not allocate once more per
// entry for a string of fixed length. Empty until assigned; assigning
// anything but 40 characters leaves it empty.
class HashedName {
 public:
  static constexpr size_t kLength = 40;

  HashedName() { digits_[0] = '\0'; }
  explicit HashedName(std::string_view hex) { Assign(hex); }
  HashedName(const std::string& hex) { Assign(hex); }  // digests arrive as strings

  void Assign(std::string_view hex) {
    if (hex.size() == kLength) {
      std::memcpy(digits_.data(), hex.data(), kLength);
    } else {
      digits_[0] = '\0';
    }
  }
  // For writers that fill the 40 digits in place.
  char* data() { return digits_.data(); }

  bool empty() const { return digits_[0] == '\0'; }
  size_t size() const { return empty() ? 0 : kLength; }
  std::string_view view() const { return std::string_view(digits_.data(), size()); }
  operator std::string_view() const { return view(); }
  std::string str() const { return std::string(view()); }

  // One comparison, with anything that is text (another name included).
  friend bool operator==(const HashedName& a, std::string_view b) { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& out, const HashedName& name) { return out << name.view(); }

 private:
  std::array<char, kLength> digits_;
};

// One stored file of the backup.
struct BackupFileEntry {
  std::string key;         // domain + "-" + relative path, bytes as stored
  HashedName hashedName;   // SHA-1 of `key`, 40 lowercase hexadecimal digits
  int64_t size = -1;       // length recorded in the manifest; -1 when unknown
};

// The SHA-1 of index keys as 40 lowercase hexadecimal digits, for many keys
// in a row: the digest is looked up once and its context reused, which is
// several times faster per key than a one-shot digest. One per thread.
class KeyHasher {
 public:
  KeyHasher();
  ~KeyHasher();
  KeyHasher(const KeyHasher&) = delete;
  KeyHasher& operator=(const KeyHasher&) = delete;

  // Replaces `hex` with the digest of `key`.
  void Hash(std::string_view key, std::string& hex);
  void Hash(std::string_view key, HashedName& name);
  std::string Hash(std::string_view key) {
    std::string hex;
    Hash(key, hex);
    return hex;
  }

 private:
  ::evp_md_ctx_st* context_ = nullptr;
  ::evp_md_st* digest_ = nullptr;
};

// ---------------------------------------------------------------------------
// Manifest.mbdb

// Reads Manifest.mbdb into `index`, appending one entry per regular file or
// symbolic link whose domain and path are both non-empty, in file order.
// Returns 0 (also for a manifest with no records, and for one whose last
// record runs past the end of the file: the reading stops there and keeps
// the entries read before it), 6009 when the file cannot be opened or read,
// 87 for an empty path, when memory for the file cannot be had, or when
// the magic does not match (the index is left as it was then).
// `unreadTail`, when given, receives the number of bytes at the end that
// hold no whole record (0 for a whole manifest); `reason` why it could not
// be read. Only a regular file is read (not a FIFO, a folder or a link).
Status ReadManifest(const std::filesystem::path& mbdbPath, std::vector<BackupFileEntry>& index,
                    size_t* unreadTail = nullptr, std::string* reason = nullptr);

// The same over bytes already in memory (0 or 87 as above).
Status ParseMbdbIndex(std::string_view bytes, std::vector<BackupFileEntry>& index, size_t* unreadTail = nullptr);

// Every field of one Manifest.mbdb record.
struct MbdbRecord {
  size_t offset = 0;  // of the record's first byte in the file
  std::string domain;
  std::string path;
  std::string linkTarget;
  std::string digest;
  std::string encryptionKey;  // raw bytes; empty when the record has none
  uint16_t mode = 0;
  uint64_t inode = 0;
  uint32_t userId = 0;
  uint32_t groupId = 0;
  uint32_t modified = 0;
  uint32_t accessed = 0;
  uint32_t created = 0;
  uint64_t size = 0;
  uint8_t protectionClass = 0;
  std::vector<std::pair<std::string, std::string>> properties;

  bool IsDirectory() const { return (mode & 0xE000) == 0x4000; }
  bool IsLink() const { return (mode & 0xE000) == 0xA000; }
  bool IsFile() const { return (mode & 0xE000) == 0x8000; }
  std::string Key() const { return domain + "-" + path; }
};

// Reads every record, folders included, in file order. Statuses and the
// handling of a truncated last record as for ReadManifest.
Status ReadMbdbRecords(const std::filesystem::path& mbdbPath, std::vector<MbdbRecord>& records);
Status ParseMbdbRecords(std::string_view bytes, std::vector<MbdbRecord>& records);

// ---------------------------------------------------------------------------
// Manifest.db

// The archived file properties (an MBFile object) of a row's "file" column:
// a binary NSKeyedArchiver property list whose $top.root points into
// $objects; references (UIDs) are followed.
struct FileProperties {
  bool hasSize = false;
  uint64_t size = 0;
  uint32_t protectionClass = 0;
  uint32_t mode = 0;
  int64_t lastModified = 0;   // Unix seconds
  std::string encryptionKey;  // 4-byte little-endian class + wrapped key; empty when none
  std::string linkTarget;
  std::string relativePath;
};

// False when the blob is not an archived MBFile.
bool DecodeFileProperties(std::string_view blob, FileProperties& properties);

// Just the Size member of the same archived properties, read straight from
// the binary property list without building its tree (the file index needs
// nothing else and reads it for every row); -1 when the blob is not an
// archive with a non-negative integer Size.
int64_t ArchivedFileSize(std::string_view blob);

// One row of the Files table.
struct ManifestDbRow {
  std::string fileID;
  std::string domain;
  std::string relativePath;
  int64_t flags = 0;  // 1 file, 2 folder, 4 symbolic link
  bool hasProperties = false;
  FileProperties properties;  // decoded "file" column
};

// Reads Manifest.db with our own page reader (read-only: nothing is ever
// written beside the file, no journal, no -wal; the column positions come
// from the table's schema). Rows come in table order. Returns 0; 6009 when
// the file cannot be opened, is not a database or has no Files table; 87 for
// an empty path or when the table is damaged (every row that can still be
// read is kept). `error` receives the reason.
Status ReadManifestDbRows(const std::filesystem::path& dbPath, std::vector<ManifestDbRow>& rows,
                          std::string* error = nullptr);

// Whether an index read takes each file's recorded size from Manifest.db,
// which keeps it inside an archived property list per row: reading those is
// a good part of the index's cost, and a scan, which looks at the stored
// files themselves, leaves them (every size stays -1). Manifest.mbdb records
// carry the size in place and always give it.
enum class RecordedSizes { kRead, kLeft };

// The file index from Manifest.db: files (flags 1) and links (flags 4) with
// non-empty domain and path and a 40-digit hexadecimal fileID, in table
// order; `key` = domain + "-" + relativePath, `hashedName` = fileID, `size`
// from the archived properties. Statuses as ReadManifestDbRows.
Status ReadManifestDb(const std::filesystem::path& dbPath, std::vector<BackupFileEntry>& index,
                      std::string* error = nullptr, RecordedSizes sizes = RecordedSizes::kRead);

// ---------------------------------------------------------------------------
// Either era

enum class ManifestKind { None, Mbdb, ManifestDb };

// Manifest.mbdb when the folder holds it, else Manifest.db, else None.
ManifestKind FindManifest(const std::filesystem::path& backupFolder);

// Reads whichever manifest FindManifest names into `index` (`sizes` as for
// ReadManifestDb); 87 when the folder holds neither. `warning` receives
// what a manifest read in part lacks (a Manifest.mbdb cut short) while the
// status stays 0.
Status ReadFileIndex(const std::filesystem::path& backupFolder, std::vector<BackupFileEntry>& index,
                     std::string* error = nullptr, RecordedSizes sizes = RecordedSizes::kRead,
                     std::string* warning = nullptr);

// The one place that says where a stored file lives: backup folder +
// hashed name when that file exists (older backups), otherwise backup
// folder + first two digits + "/" + hashed name (newer backups). Every
// operation that opens a stored file goes through it.
std::filesystem::path ResolveStoredPath(const std::filesystem::path& backupFolder, std::string_view hashedName);

// ResolveStoredPath for many files of one folder. A newer backup's folder
// holds only its two-digit subfolders and a few plists and databases, so
// asking for a flat file that cannot be there costs a failed lookup of a
// new name for every file. The folder's own entries are read once (up to
// the first stored file found flat); when none is flat, every file is in
// its subfolder and no lookup is asked. Otherwise each file is resolved as
// ResolveStoredPath does, the flat file first.
class StoredFileLayout {
 public:
  explicit StoredFileLayout(std::filesystem::path backupFolder);
  ~StoredFileLayout();
  StoredFileLayout(const StoredFileLayout&) = delete;
  StoredFileLayout& operator=(const StoredFileLayout&) = delete;

  std::filesystem::path Resolve(std::string_view hashedName) const;
  // False when the listing showed no stored file kept flat.
  bool MayHoldFlatFiles() const { return mayHoldFlat_; }

  // The backup folder held open (a descriptor), so that many stored files
  // can be opened relative to it; -1 when it could not be opened or files
  // may be kept flat (those are resolved by path).
  int FolderDescriptor() const { return folderFd_; }
  // The stored file's path inside the folder ("ab/ab12...", zero-ended),
  // for use with FolderDescriptor.
  using RelativeName = std::array<char, 3 + HashedName::kLength + 1>;
  static void RelativePath(std::string_view hashedName, RelativeName& out);

 private:
  std::filesystem::path folder_;
  bool mayHoldFlat_ = true;
  int folderFd_ = -1;  // opened only when no file is kept flat
};

// True for 40 hexadecimal digits (either case), the only names the readers
// accept for a stored file, so a name from a manifest can never leave the
// backup folder.
bool IsHashedName(std::string_view name);

}  // namespace orbanix
