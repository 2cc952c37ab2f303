#include "sources/file_index.h"

#include <openssl/evp.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdio>
#include <new>
#include <optional>
#include <system_error>

#include "platform/digest.h"
#include "sources/plist.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMbdbHeaderSize = 6;
constexpr size_t kFixedBlockSize = 40;
constexpr uint16_t kNullLength = 0xFFFF;

// Reads the whole file into `bytes`. 6009 when it cannot be opened or read,
// 87 when memory cannot be had.
Status ReadWholeFile(const fs::path& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return status::kManifestOpen;
  Status result = status::kOk;
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec) {
    result = status::kManifestOpen;  // a folder, or gone since the open
  } else {
    try {
      bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      result = status::kBadData;
    } catch (const std::length_error&) {
      result = status::kBadData;
    }
    if (result == status::kOk) {
      const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
      if (std::ferror(file)) result = status::kManifestOpen;
      bytes.resize(got);  // a file that shrank since the size was taken
    }
  }
  std::fclose(file);
  return result;
}

// A bounded reader over the manifest bytes. Every read checks the bytes
// left first; a read past the end fails and leaves the position alone.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes, size_t pos) : data_(bytes.data()), size_(bytes.size()), pos_(pos) {}

  size_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ >= size_; }

  // A string as a view into the buffer; the 0xFFFF marker gives an empty view.
  bool String(std::string_view& out) {
    if (size_ - pos_ < 2) return false;
    const uint16_t len = static_cast<uint16_t>((static_cast<uint8_t>(data_[pos_]) << 8) |
                                               static_cast<uint8_t>(data_[pos_ + 1]));
    if (len == kNullLength) {
      pos_ += 2;
      out = {};
      return true;
    }
    if (size_ - pos_ - 2 < len) return false;
    out = std::string_view(data_ + pos_ + 2, len);
    pos_ += 2 + static_cast<size_t>(len);
    return true;
  }
  bool SkipString() {
    std::string_view ignored;
    return String(ignored);
  }
  // Hands out the fixed 40-byte block of a record.
  bool Fixed(const uint8_t*& block) {
    if (size_ - pos_ < kFixedBlockSize) return false;
    block = reinterpret_cast<const uint8_t*>(data_ + pos_);
    pos_ += kFixedBlockSize;
    return true;
  }

 private:
  const char* data_;
  size_t size_;
  size_t pos_;
};

uint64_t BigEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

// Offsets inside the fixed block.
constexpr size_t kModeAt = 0, kInodeAt = 2, kUserAt = 10, kGroupAt = 14, kModifiedAt = 18, kAccessedAt = 22,
                 kCreatedAt = 26, kSizeAt = 30, kClassAt = 38, kPropertyCountAt = 39;

bool MagicMatches(std::string_view bytes) { return bytes.size() >= 4 && bytes.compare(0, 4, "mbdb") == 0; }

bool IsDirectoryMode(uint16_t mode) { return (mode & 0xE000) == 0x4000; }

}  // namespace

KeyHasher::KeyHasher() : context_(EVP_MD_CTX_new()), digest_(EVP_MD_fetch(nullptr, "SHA1", nullptr)) {}

KeyHasher::~KeyHasher() {
  EVP_MD_CTX_free(context_);
  EVP_MD_free(digest_);
}

void KeyHasher::Hash(std::string_view key, std::string& hex) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context_ || !digest_ || EVP_DigestInit_ex(context_, digest_, nullptr) != 1 ||
      EVP_DigestUpdate(context_, key.data(), key.size()) != 1 ||
      EVP_DigestFinal_ex(context_, digest, &length) != 1 || length != 20) {
    hex = Sha1Hex(key);  // the one-shot digest, should the reusable one be unavailable
    return;
  }
  static const char kDigits[] = "0123456789abcdef";
  hex.resize(40);
  for (unsigned int i = 0; i < 20; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
}

namespace {

// Counts the records that will be kept, without copying anything, so that
// the index grows once instead of moving its entries on every doubling.
size_t CountKeptRecords(std::string_view bytes) {
  Cursor in(bytes, kMbdbHeaderSize);
  size_t kept = 0;
  while (!in.AtEnd()) {
    std::string_view domain, path;
    const uint8_t* block = nullptr;
    if (!in.String(domain) || !in.String(path) || !in.SkipString() || !in.SkipString() || !in.SkipString() ||
        !in.Fixed(block)) {
      break;
    }
    bool complete = true;
    for (unsigned n = block[kPropertyCountAt]; n > 0 && complete; --n) complete = in.SkipString() && in.SkipString();
    if (!complete) break;
    kept += !domain.empty() && !path.empty() && !IsDirectoryMode(static_cast<uint16_t>(BigEndian(block + kModeAt, 2)));
  }
  return kept;
}

}  // namespace

Status ParseMbdbIndex(std::string_view bytes, std::vector<BackupFileEntry>& index) {
  if (!MagicMatches(bytes)) return status::kBadData;
  if (bytes.size() <= kMbdbHeaderSize) return status::kOk;
  index.reserve(index.size() + CountKeptRecords(bytes));
  KeyHasher hasher;
  Cursor in(bytes, kMbdbHeaderSize);
  while (!in.AtEnd()) {
    std::string_view domain, path;
    const uint8_t* block = nullptr;
    if (!in.String(domain) || !in.String(path) || !in.SkipString() || !in.SkipString() || !in.SkipString() ||
        !in.Fixed(block)) {
      break;  // the record runs past the end: keep what was read before it
    }
    bool complete = true;
    for (unsigned n = block[kPropertyCountAt]; n > 0 && complete; --n) {
      complete = in.SkipString() && in.SkipString();
    }
    if (!complete) break;
    const uint16_t mode = static_cast<uint16_t>(BigEndian(block + kModeAt, 2));
    if (domain.empty() || path.empty() || IsDirectoryMode(mode)) continue;
    BackupFileEntry& entry = index.emplace_back();
    entry.key.reserve(domain.size() + 1 + path.size());
    entry.key.append(domain).append(1, '-').append(path);
    hasher.Hash(entry.key, entry.hashedName);
    const uint64_t size = BigEndian(block + kSizeAt, 8);
    entry.size = size <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(size) : -1;
  }
  return status::kOk;
}

Status ParseMbdbRecords(std::string_view bytes, std::vector<MbdbRecord>& records) {
  if (!MagicMatches(bytes)) return status::kBadData;
  if (bytes.size() <= kMbdbHeaderSize) return status::kOk;
  Cursor in(bytes, kMbdbHeaderSize);
  while (!in.AtEnd()) {
    MbdbRecord r;
    r.offset = in.pos();
    std::string_view domain, path, link, digest, key;
    const uint8_t* block = nullptr;
    if (!in.String(domain) || !in.String(path) || !in.String(link) || !in.String(digest) || !in.String(key) ||
        !in.Fixed(block)) {
      break;
    }
    bool complete = true;
    for (unsigned n = block[kPropertyCountAt]; n > 0 && complete; --n) {
      std::string_view name, value;
      complete = in.String(name) && in.String(value);
      if (complete) r.properties.emplace_back(std::string(name), std::string(value));
    }
    if (!complete) break;
    r.domain = domain;
    r.path = path;
    r.linkTarget = link;
    r.digest = digest;
    r.encryptionKey = key;
    r.mode = static_cast<uint16_t>(BigEndian(block + kModeAt, 2));
    r.inode = BigEndian(block + kInodeAt, 8);
    r.userId = static_cast<uint32_t>(BigEndian(block + kUserAt, 4));
    r.groupId = static_cast<uint32_t>(BigEndian(block + kGroupAt, 4));
    r.modified = static_cast<uint32_t>(BigEndian(block + kModifiedAt, 4));
    r.accessed = static_cast<uint32_t>(BigEndian(block + kAccessedAt, 4));
    r.created = static_cast<uint32_t>(BigEndian(block + kCreatedAt, 4));
    r.size = BigEndian(block + kSizeAt, 8);
    r.protectionClass = block[kClassAt];
    records.push_back(std::move(r));
  }
  return status::kOk;
}

Status ReadManifest(const fs::path& mbdbPath, std::vector<BackupFileEntry>& index) {
  if (mbdbPath.empty()) return status::kBadData;
  std::string bytes;
  if (Status s = ReadWholeFile(mbdbPath, bytes)) return s;
  try {
    return ParseMbdbIndex(bytes, index);
  } catch (const std::bad_alloc&) {
    return status::kBadData;
  }
}

Status ReadMbdbRecords(const fs::path& mbdbPath, std::vector<MbdbRecord>& records) {
  if (mbdbPath.empty()) return status::kBadData;
  std::string bytes;
  if (Status s = ReadWholeFile(mbdbPath, bytes)) return s;
  try {
    return ParseMbdbRecords(bytes, records);
  } catch (const std::bad_alloc&) {
    return status::kBadData;
  }
}

// ---------------------------------------------------------------------------
// Manifest.db

namespace {

// Follows a UID reference into $objects (one level: archived objects refer
// to their members, never to references).
plist_t Resolve(plist_t objects, plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UID) return node;
  uint64_t uid = 0;
  plist_get_uid_val(node, &uid);
  if (uid >= plist_array_get_size(objects)) return nullptr;
  return plist_array_get_item(objects, static_cast<uint32_t>(uid));
}

std::optional<uint64_t> UIntMember(plist_t objects, plist_t dict, const char* name) {
  return PlistUInt(Resolve(objects, plist_dict_get_item(dict, name)));
}

// A string member, or the NS.string of an archived NSString object.
std::optional<std::string> StringMember(plist_t objects, plist_t dict, const char* name) {
  plist_t node = Resolve(objects, plist_dict_get_item(dict, name));
  if (node && plist_get_node_type(node) == PLIST_DICT) node = plist_dict_get_item(node, "NS.string");
  return PlistString(node);
}

// A data member, or the NS.data of an archived NSData object.
std::optional<std::string> DataMember(plist_t objects, plist_t dict, const char* name) {
  plist_t node = Resolve(objects, plist_dict_get_item(dict, name));
  if (node && plist_get_node_type(node) == PLIST_DICT) node = plist_dict_get_item(node, "NS.data");
  return PlistData(node);
}

// The path as an SQLite URI: '%', '?' and '#' would end or alter the path
// part, so they (and every byte outside the printable ASCII range) are
// escaped.
std::string ImmutableUri(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) absolute = path;
  std::string uri = "file:";
  for (unsigned char c : absolute.string()) {
    if (c == '%' || c == '?' || c == '#' || c <= 0x20 || c >= 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  uri += "?immutable=1";
  return uri;
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (!text) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

// Walks the Files table in table order and hands each row to `visit`.
template <typename Visit>
Status WalkFilesTable(const fs::path& dbPath, bool withProperties, std::string* error, Visit visit) {
  if (dbPath.empty()) return status::kBadData;
  std::error_code ec;
  if (!fs::is_regular_file(dbPath, ec)) {
    if (error) *error = fs::exists(dbPath, ec) ? "not a file" : "does not exist";
    return status::kManifestOpen;
  }
  sqlite3* db = nullptr;
  const std::string uri = ImmutableUri(dbPath);
  int rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  auto fail = [&](Status s) {
    if (error) *error = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return s;
  };
  if (rc != SQLITE_OK) return fail(status::kManifestOpen);
  sqlite3_stmt* stmt = nullptr;
  // ORDER BY rowid keeps table order even if the planner would rather walk
  // one of the table's indexes.
  const char* sql = withProperties ? "SELECT fileID, domain, relativePath, flags, file FROM Files ORDER BY rowid"
                                   : "SELECT fileID, domain, relativePath, flags FROM Files ORDER BY rowid";
  rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) return fail(status::kManifestOpen);  // not a database, or no Files table
  Status result = status::kOk;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) visit(stmt);
  if (rc != SQLITE_DONE) {
    if (error) *error = sqlite3_errmsg(db);
    // Damage found on the first page read means the file never was a
    // readable manifest; later damage keeps the rows read before it.
    result = (rc == SQLITE_NOTADB) ? status::kManifestOpen : status::kBadData;
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

}  // namespace

bool DecodeFileProperties(std::string_view blob, FileProperties& properties) {
  if (blob.size() < 8 || blob.size() > UINT32_MAX || blob.compare(0, 8, "bplist00") != 0) return false;
  plist_t root = nullptr;
  plist_from_bin(blob.data(), static_cast<uint32_t>(blob.size()), &root);
  PlistDoc doc(root);
  plist_t objects = doc.Get("$objects");
  plist_t top = doc.Get("$top");
  if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top || plist_get_node_type(top) != PLIST_DICT) {
    return false;
  }
  plist_t file = Resolve(objects, plist_dict_get_item(top, "root"));
  if (!file || plist_get_node_type(file) != PLIST_DICT) return false;
  FileProperties p;
  if (auto size = UIntMember(objects, file, "Size")) {
    p.hasSize = true;
    p.size = *size;
  }
  p.protectionClass = static_cast<uint32_t>(UIntMember(objects, file, "ProtectionClass").value_or(0));
  p.mode = static_cast<uint32_t>(UIntMember(objects, file, "Mode").value_or(0));
  p.lastModified = static_cast<int64_t>(UIntMember(objects, file, "LastModified").value_or(0));
  p.encryptionKey = DataMember(objects, file, "EncryptionKey").value_or("");
  p.linkTarget = StringMember(objects, file, "Target").value_or("");
  p.relativePath = StringMember(objects, file, "RelativePath").value_or("");
  properties = std::move(p);
  return true;
}

Status ReadManifestDbRows(const fs::path& dbPath, std::vector<ManifestDbRow>& rows, std::string* error) {
  return WalkFilesTable(dbPath, true, error, [&](sqlite3_stmt* stmt) {
    ManifestDbRow& row = rows.emplace_back();
    row.fileID = ColumnText(stmt, 0);
    row.domain = ColumnText(stmt, 1);
    row.relativePath = ColumnText(stmt, 2);
    row.flags = sqlite3_column_int64(stmt, 3);
    const void* blob = sqlite3_column_blob(stmt, 4);
    if (blob) {
      row.hasProperties = DecodeFileProperties(
          std::string_view(static_cast<const char*>(blob), static_cast<size_t>(sqlite3_column_bytes(stmt, 4))),
          row.properties);
    }
  });
}

Status ReadManifestDb(const fs::path& dbPath, std::vector<BackupFileEntry>& index, std::string* error) {
  return WalkFilesTable(dbPath, true, error, [&](sqlite3_stmt* stmt) {
    const int64_t flags = sqlite3_column_int64(stmt, 3);
    if (flags != 1 && flags != 4) return;  // folders, and anything unknown
    const unsigned char* id = sqlite3_column_text(stmt, 0);
    const unsigned char* domain = sqlite3_column_text(stmt, 1);
    const unsigned char* path = sqlite3_column_text(stmt, 2);
    if (!id || !domain || !path) return;
    const std::string_view idText(reinterpret_cast<const char*>(id), static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
    const size_t domainLen = static_cast<size_t>(sqlite3_column_bytes(stmt, 1));
    const size_t pathLen = static_cast<size_t>(sqlite3_column_bytes(stmt, 2));
    if (domainLen == 0 || pathLen == 0 || !IsHashedName(idText)) return;
    BackupFileEntry& entry = index.emplace_back();
    entry.key.reserve(domainLen + 1 + pathLen);
    entry.key.append(reinterpret_cast<const char*>(domain), domainLen);
    entry.key += '-';
    entry.key.append(reinterpret_cast<const char*>(path), pathLen);
    entry.hashedName = idText;
    const void* blob = sqlite3_column_blob(stmt, 4);
    FileProperties properties;
    if (blob &&
        DecodeFileProperties(
            std::string_view(static_cast<const char*>(blob), static_cast<size_t>(sqlite3_column_bytes(stmt, 4))),
            properties) &&
        properties.hasSize && properties.size <= static_cast<uint64_t>(INT64_MAX)) {
      entry.size = static_cast<int64_t>(properties.size);
    }
  });
}

// ---------------------------------------------------------------------------
// Either era

ManifestKind FindManifest(const fs::path& backupFolder) {
  std::error_code ec;
  if (fs::exists(backupFolder / kMbdbFileName, ec)) return ManifestKind::Mbdb;
  if (fs::exists(backupFolder / kManifestDbFileName, ec)) return ManifestKind::ManifestDb;
  return ManifestKind::None;
}

Status ReadFileIndex(const fs::path& backupFolder, std::vector<BackupFileEntry>& index, std::string* error) {
  switch (FindManifest(backupFolder)) {
    case ManifestKind::Mbdb: {
      const Status s = ReadManifest(backupFolder / kMbdbFileName, index);
      if (s && error) *error = s == status::kManifestOpen ? "Manifest.mbdb cannot be read" : "Manifest.mbdb is not a manifest";
      return s;
    }
    case ManifestKind::ManifestDb:
      return ReadManifestDb(backupFolder / kManifestDbFileName, index, error);
    case ManifestKind::None:
      break;
  }
  if (error) *error = "the folder holds neither Manifest.mbdb nor Manifest.db";
  return status::kBadData;
}

fs::path ResolveStoredPath(const fs::path& backupFolder, std::string_view hashedName) {
  fs::path flat = backupFolder / hashedName;
  std::error_code ec;
  if (fs::exists(flat, ec)) return flat;
  return backupFolder / hashedName.substr(0, 2) / hashedName;
}

bool IsHashedName(std::string_view name) {
  if (name.size() != 40) return false;
  for (char c : name) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace orbanix
