#include "sources/file_index.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <plist/plist.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "platform/digest.h"
#include "platform/parallel.h"
#include "platform/safe_file.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "sources/plist.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMbdbHeaderSize = 6;
constexpr size_t kFixedBlockSize = 40;
constexpr uint16_t kNullLength = 0xFFFF;

// Reads the whole file into `bytes`. 6009 when it cannot be opened or read,
// 87 when memory cannot be had.
Status ReadWholeFile(const fs::path& path, std::string& bytes, std::string* reason = nullptr) {
  // A FIFO, a folder or a link in place of the manifest is refused without
  // waiting: only a regular file is read.
  uint64_t size = 0;
  const int fd = OpenStoredFile(path, {}, reason, nullptr, &size);
  if (fd < 0) return status::kManifestOpen;
  std::FILE* file = ::fdopen(fd, "rb");
  if (!file) {
    ::close(fd);
    return status::kManifestOpen;
  }
  Status result = status::kOk;
  {
    try {
      bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      result = status::kBadData;
    } catch (const std::length_error&) {
      result = status::kBadData;
    }
    if (result == status::kOk) {
      const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
      if (std::ferror(file)) {
        result = status::kManifestOpen;
        if (reason) *reason = std::strerror(errno);
      }
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

namespace {

// Writes the 40 digits of the SHA-1 of `key` to `out`.
void HashInto(::evp_md_ctx_st* context, ::evp_md_st* digestKind, std::string_view key, char* out) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context || !digestKind || EVP_DigestInit_ex(context, digestKind, nullptr) != 1 ||
      EVP_DigestUpdate(context, key.data(), key.size()) != 1 ||
      EVP_DigestFinal_ex(context, digest, &length) != 1 || length != 20) {
    const std::string hex = Sha1Hex(key);  // the one-shot digest, should the reusable one be unavailable
    std::memcpy(out, hex.data(), HashedName::kLength);
    return;
  }
  static const char kDigits[] = "0123456789abcdef";
  for (unsigned int i = 0; i < 20; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 15];
  }
}

}  // namespace

void KeyHasher::Hash(std::string_view key, std::string& hex) {
  hex.resize(HashedName::kLength);
  HashInto(context_, digest_, key, hex.data());
}

void KeyHasher::Hash(std::string_view key, HashedName& name) { HashInto(context_, digest_, key, name.data()); }

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

Status ParseMbdbIndex(std::string_view bytes, std::vector<BackupFileEntry>& index, size_t* unreadTail) {
  if (unreadTail) *unreadTail = 0;
  if (!MagicMatches(bytes)) return status::kBadData;
  if (bytes.size() <= kMbdbHeaderSize) return status::kOk;
  index.reserve(index.size() + CountKeptRecords(bytes));
  KeyHasher hasher;
  Cursor in(bytes, kMbdbHeaderSize);
  while (!in.AtEnd()) {
    std::string_view domain, path;
    const uint8_t* block = nullptr;
    const size_t start = in.pos();
    if (!in.String(domain) || !in.String(path) || !in.SkipString() || !in.SkipString() || !in.SkipString() ||
        !in.Fixed(block)) {
      // The record runs past the end: keep what was read before it.
      if (unreadTail) *unreadTail = bytes.size() - start;
      break;
    }
    bool complete = true;
    for (unsigned n = block[kPropertyCountAt]; n > 0 && complete; --n) {
      complete = in.SkipString() && in.SkipString();
    }
    if (!complete) {
      if (unreadTail) *unreadTail = bytes.size() - start;
      break;
    }
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

Status ReadManifest(const fs::path& mbdbPath, std::vector<BackupFileEntry>& index, size_t* unreadTail,
                    std::string* reason) {
  if (unreadTail) *unreadTail = 0;
  if (mbdbPath.empty()) return status::kBadData;
  std::string bytes;
  if (Status s = ReadWholeFile(mbdbPath, bytes, reason)) return s;
  try {
    return ParseMbdbIndex(bytes, index, unreadTail);
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

// The columns of the Files table that the readers use, by position in its
// schema (the table's declared order: fileID, domain, relativePath, flags,
// file; looked up by name so that a reordered table still reads right).
struct FilesColumns {
  int fileID = -1, domain = -1, relativePath = -1, flags = -1, file = -1;
};

bool FindFilesColumns(const TableSchema& schema, FilesColumns& columns) {
  for (int c = 0; c < static_cast<int>(schema.columnNames.size()); ++c) {
    const std::string& name = schema.columnNames[static_cast<size_t>(c)];
    if (name == "fileID") columns.fileID = c;
    if (name == "domain") columns.domain = c;
    if (name == "relativePath") columns.relativePath = c;
    if (name == "flags") columns.flags = c;
    if (name == "file") columns.file = c;
  }
  return columns.fileID >= 0 && columns.domain >= 0 && columns.relativePath >= 0 && columns.flags >= 0;
}

// A text column's bytes as stored (UTF-8 databases: the raw bytes, so a key
// hashes and compares exactly as the device wrote it; UTF-16 databases:
// converted). Absent for NULL and for values that are not texts.
std::optional<std::string_view> TextBytes(const ParsedRecord& record, int column, std::string& converted) {
  if (!record.IsText(column)) return std::nullopt;
  const RecordColumn& c = record.columns[static_cast<size_t>(column)];
  if (record.encoding == TextEncoding::kUtf8) {
    return std::string_view(reinterpret_cast<const char*>(c.body), c.length);
  }
  converted = record.AsText(column);
  return std::string_view(converted);
}

std::optional<std::string_view> BlobBytes(const ParsedRecord& record, int column) {
  if (column < 0 || !record.IsBlob(column)) return std::nullopt;
  const RecordColumn& c = record.columns[static_cast<size_t>(column)];
  return std::string_view(reinterpret_cast<const char*>(c.body), c.length);
}

// Walks the B-tree of the Files table with our own page reader, in key
// (rowid) order - the table's order - and hands each parsed row to `visit`.
// The walk is bounded: every page is visited once, the depth is limited, and
// a page that is neither a table leaf nor a table interior page, a page that
// cannot be read or a cell that cannot be parsed marks the table damaged
// while the rest is still read.
class FilesTableWalk {
 public:
  using Children = std::vector<std::pair<uint32_t, int>>;  // page index, unused

  explicit FilesTableWalk(CDbFileReader& reader) : reader_(reader) {}

  template <typename Visit>
  void Page(uint32_t index, int depth, Visit& visit) {
    if (!Enter(index, depth)) return;
    std::vector<uint8_t> page(reader_.pageSize);
    if (reader_.ReadPage(index, page.data()) != status::kOk) {
      damaged_ = true;
      return;
    }
    Walk(page.data(), index, depth, visit);
  }

  // The pages [begin, end) of a list of children, at `depth`; consecutive
  // pages are read together.
  template <typename Visit>
  void Descend(Children::const_iterator begin, Children::const_iterator end, int depth, Visit& visit) {
    PageRuns runs(reader_);
    for (auto it = begin; it != end; ++it) {
      if (!Enter(it->first, depth)) continue;
      const uint8_t* bytes = nullptr;
      if (runs.Get(it, end, bytes) != status::kOk) {
        damaged_ = true;
        continue;
      }
      Walk(bytes, it->first, depth, visit);
    }
  }

  // The children of an interior page: the left children in pointer order
  // (ascending keys), then the right-most, as page indexes.
  Children ChildrenOf(const uint8_t* page, uint32_t header) {
    Children children;
    if (header + 12 > reader_.usableSize) {
      damaged_ = true;
      return children;
    }
    const CellList cells = ListCells(reader_, page, header);
    children.reserve(cells.size() + 1);
    auto add = [&](uint32_t child) {
      if (child == 0) {
        damaged_ = true;
      } else {
        children.emplace_back(child - 1, 0);
      }
    };
    for (uint16_t off : cells) {
      if (off + 4u > reader_.usableSize) {
        damaged_ = true;
        continue;
      }
      add(BigEndian32(page + off));
    }
    add(BigEndian32(page + header + 8));
    return children;
  }

  // Marks a page walked without reading it (the root, walked by the caller).
  void MarkVisited(uint32_t index) { visited_.insert(index); }
  // Whether two walks met a page other than `root` (a damaged tree whose
  // branches share pages).
  bool Meets(const FilesTableWalk& other, uint32_t root) const {
    const auto& small = visited_.size() <= other.visited_.size() ? visited_ : other.visited_;
    const auto& large = &small == &visited_ ? other.visited_ : visited_;
    for (uint32_t index : small) {
      if (index != root && large.count(index)) return true;
    }
    return false;
  }

  bool damaged() const { return damaged_; }

 private:
  static constexpr int kMaxDepth = 40;
  static constexpr uint8_t kLeafTable = 13, kInteriorTable = 5;
  static uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
  }

  // False (and the table damaged) for a page too deep, outside the file or
  // walked already.
  bool Enter(uint32_t index, int depth) {
    if (depth > kMaxDepth || index >= reader_.PageCount() || !visited_.insert(index).second) {
      damaged_ = true;
      return false;
    }
    return true;
  }

  template <typename Visit>
  void Walk(const uint8_t* page, uint32_t index, int depth, Visit& visit) {
    const uint32_t header = index == 0 ? 100 : 0;
    const uint8_t type = page[header];
    if (type == kLeafTable) {
      const CellList cells = ListCells(reader_, page, header);
      sorted_.assign(cells.begin(), cells.end());
      std::sort(sorted_.begin(), sorted_.end());
      for (uint16_t off : cells) {
        if (off >= reader_.usableSize) continue;
        auto next = std::upper_bound(sorted_.begin(), sorted_.end(), off);
        RowInput in;
        in.record = page + off;
        in.bytesToEnd = reader_.usableSize - off;
        in.nextCellExtent = (next == sorted_.end() ? reader_.usableSize : *next) - off;
        in.pageIndex = index;
        in.offset = off;
        if (ParseLiveRecord(reader_, in, record_) != status::kOk) {
          damaged_ = true;
          continue;
        }
        visit(record_);
      }
    } else if (type == kInteriorTable) {
      const Children children = ChildrenOf(page, header);
      Descend(children.begin(), children.end(), depth + 1, visit);
    } else {
      damaged_ = true;
    }
  }

  CDbFileReader& reader_;
  std::unordered_set<uint32_t> visited_;
  std::vector<uint16_t> sorted_;
  ParsedRecord record_;
  bool damaged_ = false;
};

// Reads the Files table in table order: `convert(record, columns, rows)`
// appends what it keeps of each row to `rows`. Nothing is ever written
// beside the file.
//
// A large index is read in two halves at once: when the table's root is an
// interior page, the rows under the later half of its children are
// converted on a thread of their own into a list that is appended after
// the first half's, which is the table's order. If the two halves met a
// page in common (a damaged tree), their rows are dropped and the table is
// walked again by one walker, so damage gives exactly what one walk gives.
template <typename Row, typename Convert>
Status WalkFilesTable(const fs::path& dbPath, std::string* error, std::vector<Row>& rows, const Convert& convert) {
  if (dbPath.empty()) return status::kBadData;
  auto fail = [&](Status s, const char* why) {
    if (error) *error = why;
    return s;
  };
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(dbPath, ec))) {
    return fail(status::kManifestOpen, fs::exists(fs::symlink_status(dbPath, ec)) ? "not a file" : "does not exist");
  }
  CDbFileReader reader;
  if (reader.Open(dbPath) != status::kOk || reader.PageCount() == 0) {
    return fail(status::kManifestOpen, "not a database");
  }
  std::vector<uint8_t> page0(reader.pageSize);
  if (reader.ReadPage(0, page0.data()) != status::kOk) return fail(status::kManifestOpen, "not a database");
  ChildPageMap roots;
  FindTableRoots(reader, page0.data(), "Files", roots);
  TableSchema schema;
  FilesColumns columns;
  if (roots.empty() || LoadTableSchema(dbPath, "Files", schema) != status::kOk || schema.withoutRowid ||
      !FindFilesColumns(schema, columns)) {
    return fail(status::kManifestOpen, "no Files table with the columns fileID, domain, relativePath, flags");
  }
  // The table's B-tree: the root named by the schema row of type "table"
  // (the other roots found for the name belong to its indexes and hold no
  // table pages; the walk skips them by their page type).
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> tableRoots;
  for (const auto& [root, key] : roots) {
    (void)key;
    std::vector<uint8_t> page(reader.pageSize);
    if (reader.ReadPage(root, page.data()) != status::kOk) continue;
    const uint8_t type = page[root == 0 ? 100 : 0];
    if (type != 13 && type != 5) continue;  // an index of the table
    tableRoots.emplace_back(root, std::move(page));
  }
  if (tableRoots.empty()) return fail(status::kBadData, "the Files table is damaged");
  const size_t before = rows.size();
  auto into = [&](std::vector<Row>& sink) {
    return [&convert, &columns, &sink](const ParsedRecord& record) { convert(record, columns, sink); };
  };

  const auto& [root, rootPage] = tableRoots.front();
  if (tableRoots.size() == 1 && rootPage[root == 0 ? 100 : 0] == 5) {
    FilesTableWalk first(reader), second(reader);
    first.MarkVisited(root);
    second.MarkVisited(root);
    const FilesTableWalk::Children children = first.ChildrenOf(rootPage.data(), root == 0 ? 100 : 0);
    const auto middle = children.begin() + static_cast<std::ptrdiff_t>(children.size() / 2);
    std::vector<Row> later;
    auto visitFirst = into(rows);
    auto visitLater = into(later);
    RunBeside([&] { second.Descend(middle, children.end(), 1, visitLater); },
              [&] { first.Descend(children.begin(), middle, 1, visitFirst); });
    if (!first.Meets(second, root)) {
      rows.reserve(rows.size() + later.size());
      std::move(later.begin(), later.end(), std::back_inserter(rows));
      if (first.damaged() || second.damaged()) return fail(status::kBadData, "the Files table is damaged");
      return status::kOk;
    }
    rows.resize(before);
  }
  FilesTableWalk walk(reader);
  auto visit = into(rows);
  for (const auto& [index, page] : tableRoots) walk.Page(index, 0, visit);
  if (walk.damaged()) return fail(status::kBadData, "the Files table is damaged");
  return status::kOk;
}

}  // namespace

bool DecodeFileProperties(std::string_view blob, FileProperties& properties) {
  if (blob.size() < 8 || blob.size() > UINT32_MAX || blob.compare(0, 8, "bplist00") != 0) return false;
  if (!PlistNestingWithin(blob)) return false;
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

namespace {

// A reader of just enough of a binary property list to find one number: the
// Size of an archived MBFile. Building the whole tree of every row's
// properties (as DecodeFileProperties does) costs several times the rest of
// the index; the index needs only this one value.
//
// bplist00 layout: the 8-byte magic, the objects, an offset table, and a
// 32-byte trailer: 6 unused bytes, the byte width of an offset (1), of an
// object reference (1), then the object count, the top object and the offset
// table's position (8 bytes each, big-endian). An object starts with a
// marker byte: high nibble the kind (1 integer of 2^n bytes, 4 data,
// 5 ASCII text, 6 UTF-16 text, 8 UID of n+1 bytes, A array, D dictionary:
// n keys then n values, as references), low nibble the size, 15 meaning "an
// integer object follows with the size".
class BinaryPlistView {
 public:
  explicit BinaryPlistView(std::string_view bytes) : bytes_(bytes) {
    if (bytes.size() < 8 + 32 || bytes.compare(0, 8, "bplist00") != 0) return;
    const size_t t = bytes.size() - 32;
    offsetWidth_ = Byte(t + 6);
    refWidth_ = Byte(t + 7);
    count_ = Number(t + 8, 8);
    top_ = Number(t + 16, 8);
    table_ = Number(t + 24, 8);
    valid_ = offsetWidth_ >= 1 && offsetWidth_ <= 8 && refWidth_ >= 1 && refWidth_ <= 8 && top_ < count_ &&
             table_ < t && count_ <= (t - table_) / offsetWidth_;
  }

  bool valid() const { return valid_; }
  uint64_t top() const { return top_; }

  // The value of `key` in the dictionary object `dict`, as an object number.
  std::optional<uint64_t> DictItem(uint64_t dict, std::string_view key) const {
    size_t at = 0, n = 0;
    if (!Container(dict, 0xD, at, n)) return std::nullopt;
    for (size_t i = 0; i < n; ++i) {
      const auto k = Ref(at + i * refWidth_);
      if (k && AsciiText(*k) == key) return Ref(at + (n + i) * refWidth_);
    }
    return std::nullopt;
  }
  // Element `i` of the array object `array`.
  std::optional<uint64_t> ArrayItem(uint64_t array, uint64_t i) const {
    size_t at = 0, n = 0;
    if (!Container(array, 0xA, at, n) || i >= n) return std::nullopt;
    return Ref(at + static_cast<size_t>(i) * refWidth_);
  }
  // A UID object's value.
  std::optional<uint64_t> Uid(uint64_t object) const {
    const auto at = Start(object);
    if (!at || (Byte(*at) >> 4) != 0x8) return std::nullopt;
    const size_t width = (Byte(*at) & 15u) + 1;
    if (width > 8 || !Has(*at + 1, width)) return std::nullopt;
    return Number(*at + 1, width);
  }
  // A non-negative integer object's value (widths 1, 2, 4, 8; the 8-byte
  // form is signed and a negative value is refused).
  std::optional<uint64_t> Unsigned(uint64_t object) const {
    const auto at = Start(object);
    if (!at || (Byte(*at) >> 4) != 0x1) return std::nullopt;
    const unsigned power = Byte(*at) & 15u;
    if (power > 3 || !Has(*at + 1, size_t{1} << power)) return std::nullopt;
    const uint64_t v = Number(*at + 1, size_t{1} << power);
    if (power == 3 && v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return v;
  }

 private:
  bool Has(size_t at, size_t length) const { return at <= bytes_.size() && length <= bytes_.size() - at; }
  unsigned Byte(size_t at) const { return at < bytes_.size() ? static_cast<uint8_t>(bytes_[at]) : 0u; }
  uint64_t Number(size_t at, size_t width) const {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | Byte(at + i);
    return v;
  }
  std::optional<size_t> Start(uint64_t object) const {
    if (!valid_ || object >= count_) return std::nullopt;
    const uint64_t at = Number(static_cast<size_t>(table_ + object * offsetWidth_), offsetWidth_);
    if (at < 8 || at >= table_) return std::nullopt;
    return static_cast<size_t>(at);
  }
  std::optional<uint64_t> Ref(size_t at) const {
    if (!Has(at, refWidth_)) return std::nullopt;
    return Number(at, refWidth_);
  }
  // The element count and the position after the marker (and its size
  // integer) of an object of kind `kind`.
  bool Header(uint64_t object, unsigned kind, size_t& at, size_t& n) const {
    const auto start = Start(object);
    if (!start || (Byte(*start) >> 4) != kind) return false;
    at = *start + 1;
    n = Byte(*start) & 15u;
    if (n == 15) {
      const unsigned marker = Byte(at);
      const unsigned power = marker & 15u;
      if ((marker >> 4) != 0x1 || power > 3 || !Has(at + 1, size_t{1} << power)) return false;
      n = static_cast<size_t>(Number(at + 1, size_t{1} << power));
      at += 1 + (size_t{1} << power);
    }
    return true;
  }
  bool Container(uint64_t object, unsigned kind, size_t& at, size_t& n) const {
    if (!Header(object, kind, at, n)) return false;
    const size_t refs = kind == 0xD ? 2 : 1;
    return n <= bytes_.size() / refWidth_ / refs && Has(at, n * refs * refWidth_);
  }
  std::string_view AsciiText(uint64_t object) const {
    size_t at = 0, n = 0;
    if (!Header(object, 0x5, at, n) || !Has(at, n)) return {};
    return bytes_.substr(at, n);
  }

  std::string_view bytes_;
  bool valid_ = false;
  size_t offsetWidth_ = 0, refWidth_ = 0;
  uint64_t count_ = 0, top_ = 0, table_ = 0;
};

}  // namespace

int64_t ArchivedFileSize(std::string_view blob) {
  const BinaryPlistView plist(blob);
  if (!plist.valid()) return -1;
  const auto objects = plist.DictItem(plist.top(), "$objects");
  const auto top = plist.DictItem(plist.top(), "$top");
  if (!objects || !top) return -1;
  const auto rootRef = plist.DictItem(*top, "root");
  const auto rootUid = rootRef ? plist.Uid(*rootRef) : std::nullopt;
  const auto file = rootUid ? plist.ArrayItem(*objects, *rootUid) : std::nullopt;
  if (!file) return -1;
  auto size = plist.DictItem(*file, "Size");
  if (!size) return -1;
  if (const auto uid = plist.Uid(*size)) size = plist.ArrayItem(*objects, *uid);
  const auto value = size ? plist.Unsigned(*size) : std::nullopt;
  return value ? static_cast<int64_t>(*value) : -1;
}

Status ReadManifestDbRows(const fs::path& dbPath, std::vector<ManifestDbRow>& rows, std::string* error) {
  return WalkFilesTable(dbPath, error, rows,
                        [](const ParsedRecord& record, const FilesColumns& c, std::vector<ManifestDbRow>& sink) {
                          std::string converted;
                          ManifestDbRow& row = sink.emplace_back();
                          row.fileID = TextBytes(record, c.fileID, converted).value_or("");
                          row.domain = TextBytes(record, c.domain, converted).value_or("");
                          row.relativePath = TextBytes(record, c.relativePath, converted).value_or("");
                          row.flags = record.AsInt64(c.flags);
                          if (auto blob = BlobBytes(record, c.file)) {
                            row.hasProperties = DecodeFileProperties(*blob, row.properties);
                          }
                        });
}

Status ReadManifestDb(const fs::path& dbPath, std::vector<BackupFileEntry>& index, std::string* error,
                      RecordedSizes sizes) {
  return WalkFilesTable(
      dbPath, error, index,
      [sizes](const ParsedRecord& record, const FilesColumns& c, std::vector<BackupFileEntry>& sink) {
        const int64_t flags = record.AsInt64(c.flags);
        if (!record.IsInteger(c.flags) || (flags != 1 && flags != 4)) return;  // folders, and anything unknown
        std::string idText, domainText, pathText;  // used only by texts that need converting
        const auto id = TextBytes(record, c.fileID, idText);
        const auto domain = TextBytes(record, c.domain, domainText);
        const auto path = TextBytes(record, c.relativePath, pathText);
        if (!id || !domain || !path || domain->empty() || path->empty() || !IsHashedName(*id)) return;
        BackupFileEntry& entry = sink.emplace_back();
        entry.key.reserve(domain->size() + 1 + path->size());
        entry.key.append(*domain).append(1, '-').append(*path);
        entry.hashedName.Assign(*id);
        if (sizes == RecordedSizes::kLeft) return;
        if (auto blob = BlobBytes(record, c.file)) entry.size = ArchivedFileSize(*blob);
      });
}

// ---------------------------------------------------------------------------
// Either era

ManifestKind FindManifest(const fs::path& backupFolder) {
  if (EntryExists(backupFolder / kMbdbFileName)) return ManifestKind::Mbdb;
  if (EntryExists(backupFolder / kManifestDbFileName)) return ManifestKind::ManifestDb;
  return ManifestKind::None;
}

Status ReadFileIndex(const fs::path& backupFolder, std::vector<BackupFileEntry>& index, std::string* error,
                     RecordedSizes sizes, std::string* warning) {
  if (warning) warning->clear();
  switch (FindManifest(backupFolder)) {
    case ManifestKind::Mbdb: {
      size_t tail = 0;
      std::string reason;
      const Status s = ReadManifest(backupFolder / kMbdbFileName, index, &tail, &reason);
      if (s && error) {
        *error = s == status::kManifestOpen ? "Manifest.mbdb cannot be read" : "Manifest.mbdb is not a manifest";
        if (!reason.empty()) *error += " (" + reason + ")";
      }
      if (s == status::kOk && tail > 0 && warning) {
        *warning = "Manifest.mbdb is cut short: its last " + std::to_string(tail) +
                   " bytes hold no whole record; the files they named are not listed";
      }
      return s;
    }
    case ManifestKind::ManifestDb:
      return ReadManifestDb(backupFolder / kManifestDbFileName, index, error, sizes);
    case ManifestKind::None:
      break;
  }
  if (error) *error = "the folder holds neither Manifest.mbdb nor Manifest.db";
  return status::kBadData;
}

fs::path ResolveStoredPath(const fs::path& backupFolder, std::string_view hashedName) {
  fs::path flat = backupFolder / hashedName;
  std::error_code ec;
  // Whatever stands under the flat name (a link included, never followed
  // here) is the stored file; its reader decides whether it may be read.
  if (fs::exists(fs::symlink_status(flat, ec))) return flat;
  return backupFolder / hashedName.substr(0, 2) / hashedName;
}

StoredFileLayout::StoredFileLayout(fs::path backupFolder) : folder_(std::move(backupFolder)) {
  std::error_code ec;
  fs::directory_iterator it(folder_, ec);
  if (ec) return;  // unknown: every file is asked for flat first
  bool flat = false;
  for (const fs::directory_iterator end; it != end && !flat; it.increment(ec)) {
    // Older layouts may add an extension to the stored name (".mddata").
    const std::string name = it->path().filename().string();
    flat = name.size() >= 40 && IsHashedName(std::string_view(name).substr(0, 40));
  }
  // A listing cut short by an error proves nothing.
  mayHoldFlat_ = flat || static_cast<bool>(ec);
  if (!mayHoldFlat_) folderFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

StoredFileLayout::~StoredFileLayout() {
  if (folderFd_ >= 0) ::close(folderFd_);
}

fs::path StoredFileLayout::Resolve(std::string_view hashedName) const {
  if (mayHoldFlat_) return ResolveStoredPath(folder_, hashedName);
  return folder_ / hashedName.substr(0, 2) / hashedName;
}

void StoredFileLayout::RelativePath(std::string_view hashedName, RelativeName& out) {
  const std::string_view name = hashedName.substr(0, HashedName::kLength);
  const std::string_view prefix = name.substr(0, 2);
  char* p = std::copy(prefix.begin(), prefix.end(), out.data());
  *p++ = '/';
  p = std::copy(name.begin(), name.end(), p);
  *p = '\0';
}

bool IsHashedName(std::string_view name) {
  // Every row of the index is checked, and digits and letters come in no
  // order a branch could foretell: one table look-up per character, and one
  // test at the end.
  static constexpr auto kHexDigit = [] {
    std::array<uint8_t, 256> hex{};
    for (int c = '0'; c <= '9'; ++c) hex[c] = 1;
    for (int c = 'a'; c <= 'f'; ++c) hex[c] = hex[c - 'a' + 'A'] = 1;
    return hex;
  }();
  if (name.size() != 40) return false;
  uint8_t all = 1;
  for (char c : name) all &= kHexDigit[static_cast<unsigned char>(c)];
  return all != 0;
}

}  // namespace orbanix
