#include "sqlite_pages/deleted_rows.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <future>
#include <system_error>
#include <list>
#include <tuple>
#include <unordered_map>
#include <variant>

#include "platform/parallel.h"

namespace orbanix {

namespace {

// The carver's finds of the files being scanned. A scan reads a database
// with two readers at once (its main table beside the tables of its joins):
// a file being carved is waited for, not carved twice, and its finds are
// shared while a reader holds them. The finds of the files used last are
// kept beyond their readers: a scan opens one file several times (one
// reader per table group), and carving it again for each would cost more
// than the whole walk of its live rows. Older entries only point at their
// finds, which are freed with their last reader.
struct CarveCacheEntry {
  std::filesystem::path path;
  uint64_t size = 0;
  int64_t modified = 0;
  uint32_t changeCounter = 0;  // of the header: bumped by each write, even within one tick of the clock
  std::shared_future<std::weak_ptr<const CarvedFile>> carved;
  std::shared_ptr<const CarvedFile> kept;
};
constexpr size_t kCachedFiles = 4;
constexpr size_t kKeptFiles = 2;

// Keeps the finds of the newest entries alive, lets the older ones go: into
// `released`, to be freed once the cache's lock is let go (freeing the
// finds of a large file takes a while, and the other readers of a scan wait
// on that lock).
void KeepNewest(std::list<CarveCacheEntry>& cache, std::vector<std::shared_ptr<const CarvedFile>>& released) {
  size_t i = 0;
  for (auto& entry : cache) {
    if (i++ < kKeptFiles) {
      if (!entry.kept && entry.carved.valid() &&
          entry.carved.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        entry.kept = entry.carved.get().lock();
      }
    } else if (entry.kept) {
      released.push_back(std::move(entry.kept));
      entry.kept.reset();
    }
  }
}

std::mutex& CacheMutex() {
  static std::mutex mutex;
  return mutex;
}
std::list<CarveCacheEntry>& Cache() {
  static std::list<CarveCacheEntry> cache;
  return cache;
}

void AppendVarint(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t bytes[9];
  out.insert(out.end(), bytes, bytes + WriteVarint(v, bytes));
}

uint32_t VarintSize(uint64_t v) {
  if (v > 0x00FFFFFFFFFFFFFFULL) return 9;
  uint32_t n = 1;
  while (v >>= 7) ++n;
  return n;
}

// UTF-8 as UTF-16 (the text of a database in that encoding); the text was
// decoded from the database, so it is valid.
std::string ToUtf16(const std::string& text, bool bigEndian) {
  std::string out;
  auto put = [&](uint32_t unit) {
    const char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
    if (bigEndian) {
      out.push_back(hi), out.push_back(lo);
    } else {
      out.push_back(lo), out.push_back(hi);
    }
  };
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<uint8_t>(text[i]);
    uint32_t cp = b, len = 1;
    if (b >= 0xF0) cp = b & 0x07, len = 4;
    else if (b >= 0xE0) cp = b & 0x0F, len = 3;
    else if (b >= 0xC0) cp = b & 0x1F, len = 2;
    for (uint32_t k = 1; k < len && i + k < text.size(); ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

}  // namespace

std::shared_ptr<const CarvedFile> CarvedFileFor(CDbFileReader& reader) {
  if (reader.carvedFile) return reader.carvedFile;
  if (reader.Path().empty() || !reader.IsOpen()) return nullptr;
  uint32_t changeCounter = 0;
  if (reader.pageSize > 0) {
    std::vector<uint8_t> first(reader.pageSize);
    if (reader.ReadPage(0, first.data()) == status::kOk && first.size() >= 28) {
      changeCounter = (uint32_t{first[24]} << 24) | (uint32_t{first[25]} << 16) | (uint32_t{first[26]} << 8) | first[27];
    }
  }
  for (;;) {
    std::promise<std::weak_ptr<const CarvedFile>> promise;
    std::shared_future<std::weak_ptr<const CarvedFile>> future;
    std::vector<std::shared_ptr<const CarvedFile>> released;  // freed after the lock, before the carve
    {
      std::lock_guard<std::mutex> lock(CacheMutex());
      auto& cache = Cache();
      std::shared_ptr<const CarvedFile> kept;
      for (auto it = cache.begin(); it != cache.end(); ++it) {
        if (it->path == reader.Path() && it->size == reader.FileSize() && it->modified == reader.ModifiedNs() &&
            it->changeCounter == changeCounter) {
          future = it->carved;
          kept = std::move(it->kept);
          cache.erase(it);
          break;
        }
      }
      // Found ready but no longer held: carved anew below.
      if (future.valid() && future.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
          future.get().expired()) {
        future = {};
      }
      const bool mine = !future.valid();
      if (mine) future = promise.get_future().share();
      cache.push_front(
          {reader.Path(), reader.FileSize(), reader.ModifiedNs(), changeCounter, future, std::move(kept)});
      while (cache.size() > kCachedFiles) {
        if (cache.back().kept) released.push_back(std::move(cache.back().kept));
        cache.pop_back();
      }
      KeepNewest(cache, released);
      // The other readers of the file wait on the future, set once the
      // carve is done.
      if (mine) reader.carvedFile = std::make_shared<CarvedFile>();
    }
    released.clear();
    if (reader.carvedFile) {
      auto file = std::const_pointer_cast<CarvedFile>(reader.carvedFile);
      try {
        // The carver sets the reader's table name for its searches; the
        // scan sets its own again.
        const std::string table = reader.tableName;
        CarveFile(reader, reader.Path(), *file);
        reader.tableName = table;
      } catch (...) {
        promise.set_value({});
        throw;
      }
      promise.set_value(reader.carvedFile);
      {
        std::lock_guard<std::mutex> lock(CacheMutex());
        KeepNewest(Cache(), released);
      }
      released.clear();
      return reader.carvedFile;
    }
    if (auto held = future.get().lock()) {
      reader.carvedFile = held;
      return held;
    }
    // The one who carved it let it go (or failed) meanwhile: try again.
  }
}

void ReleaseCarvedFiles() {
  std::list<CarveCacheEntry> released;
  {
    std::lock_guard<std::mutex> lock(CacheMutex());
    released.swap(Cache());
  }
  // Freed here, outside the lock; readers that still hold finds keep them.
}

std::vector<uint8_t> BuildCell(const GenericRow& row, int rowidAliasColumn, TextEncoding encoding) {
  std::vector<uint8_t> cell;
  BuildCell(row, rowidAliasColumn, encoding, cell);
  return cell;
}

void BuildCell(const GenericRow& row, int rowidAliasColumn, TextEncoding encoding, std::vector<uint8_t>& cell) {
  // Every carved row of a scan passes here: the serial types are gathered
  // first (with the body's length), then the cell is written in one go
  // without building the body apart.
  thread_local std::vector<uint8_t> header;
  thread_local std::vector<std::string> wide;  // texts as UTF-16 when the database keeps them so
  header.clear();
  size_t wideUsed = 0;
  uint64_t bodyLength = 0;
  // The smallest width that holds an integer: 1, 2, 3, 4, 6 or 8 bytes.
  static const int kWidths[] = {1, 2, 3, 4, 6, 8};
  auto widthIndex = [](int64_t n) {
    int k = 0;
    for (; k < 5; ++k) {
      const int bits = kWidths[k] * 8;
      const int64_t limit = int64_t{1} << (bits - 1);
      if (n >= -limit && n < limit) break;
    }
    return k;
  };
  auto storedAsNull = [&](size_t c, const SqlValue& v) {
    return std::holds_alternative<std::nullptr_t>(v) ||
           (static_cast<int>(c) == rowidAliasColumn && row.hasRowid && std::holds_alternative<int64_t>(v) &&
            std::get<int64_t>(v) == row.rowid);
  };
  for (size_t c = 0; c < row.values.size(); ++c) {
    const SqlValue& v = row.values[c];
    if (storedAsNull(c, v)) {
      AppendVarint(header, 0);
    } else if (auto i = std::get_if<int64_t>(&v)) {
      const int64_t n = *i;
      if (n == 0 || n == 1) {
        AppendVarint(header, n == 0 ? 8 : 9);
        continue;
      }
      const int k = widthIndex(n);
      AppendVarint(header, static_cast<uint64_t>(k + 1));
      bodyLength += static_cast<uint64_t>(kWidths[k]);
    } else if (std::holds_alternative<double>(v)) {
      AppendVarint(header, 7);
      bodyLength += 8;
    } else if (auto t = std::get_if<std::string>(&v)) {
      size_t size = t->size();
      if (encoding != TextEncoding::kUtf8) {
        if (wide.size() <= wideUsed) wide.emplace_back();
        wide[wideUsed] = ToUtf16(*t, encoding == TextEncoding::kUtf16be);
        size = wide[wideUsed++].size();
      }
      AppendVarint(header, size * 2 + 13);
      bodyLength += size;
    } else {
      const std::string& bytes = std::get<BlobValue>(v).bytes;
      AppendVarint(header, bytes.size() * 2 + 12);
      bodyLength += bytes.size();
    }
  }
  // The header length counts its own varint.
  uint64_t headerLength = header.size() + 1;
  while (header.size() + VarintSize(headerLength) != headerLength) headerLength = header.size() + VarintSize(headerLength);
  cell.clear();
  cell.reserve(static_cast<size_t>(headerLength + bodyLength) + 18);
  AppendVarint(cell, headerLength + bodyLength);
  AppendVarint(cell, static_cast<uint64_t>(row.hasRowid ? row.rowid : 0));
  AppendVarint(cell, headerLength);
  cell.insert(cell.end(), header.begin(), header.end());
  wideUsed = 0;
  // Copied as bytes of the cell's own type: one block copy, not a loop
  // converting each char.
  auto appendBytes = [&cell](const std::string& bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    cell.insert(cell.end(), p, p + bytes.size());
  };
  for (size_t c = 0; c < row.values.size(); ++c) {
    const SqlValue& v = row.values[c];
    if (storedAsNull(c, v)) continue;
    if (auto i = std::get_if<int64_t>(&v)) {
      const int64_t n = *i;
      if (n == 0 || n == 1) continue;
      for (int b = kWidths[widthIndex(n)] - 1; b >= 0; --b) {
        cell.push_back(static_cast<uint8_t>(static_cast<uint64_t>(n) >> (8 * b)));
      }
    } else if (auto d = std::get_if<double>(&v)) {
      uint64_t raw;
      std::memcpy(&raw, d, sizeof raw);
      for (int b = 7; b >= 0; --b) cell.push_back(static_cast<uint8_t>(raw >> (8 * b)));
    } else if (auto t = std::get_if<std::string>(&v)) {
      appendBytes(encoding == TextEncoding::kUtf8 ? *t : wide[wideUsed++]);
    } else {
      appendBytes(std::get<BlobValue>(v).bytes);
    }
  }
}

namespace {

// The smallest serial type of an integer, as BuildCell writes it.
uint64_t IntegerSerialType(int64_t n) {
  if (n == 0) return 8;
  if (n == 1) return 9;
  static const int kBits[] = {8, 16, 24, 32, 48};
  for (int k = 0; k < 5; ++k) {
    const int64_t limit = int64_t{1} << (kBits[k] - 1);
    if (n >= -limit && n < limit) return static_cast<uint64_t>(k + 1);
  }
  return 6;
}

// Whether the record parsed in `record` from a carved row is written as
// BuildCell writes the row's values.
bool WrittenAsBuilt(const CarvedRow& row, const ParsedRecord& record, int rowidAliasColumn, TextEncoding encoding) {
  if (row.encoding != encoding || row.rowidColumn != rowidAliasColumn) return false;
  uint32_t typeBytes = 0;
  for (int c = 0; c < static_cast<int>(record.columns.size()); ++c) {
    const uint64_t t = record.columns[c].serialType;
    typeBytes += VarintSize(t);
    if (c == rowidAliasColumn && row.hasRowid) {
      // Its value is the rowid, stored as NULL.
      if (t != 0) return false;
    } else if (t == 10 || t == 11) {
      return false;
    } else if (record.IsInteger(c)) {
      if (IntegerSerialType(record.AsInt64(c)) != t) return false;
    } else if (record.IsText(c) && encoding != TextEncoding::kUtf8) {
      const RecordColumn& col = record.columns[c];
      const std::string_view raw(reinterpret_cast<const char*>(col.body), col.length);
      if (ToUtf16(record.AsText(c), encoding == TextEncoding::kUtf16be) != raw) return false;
    }
  }
  // Each serial type and the header length in their shortest varints, the
  // header length as BuildCell finds it.
  uint64_t headerLength = typeBytes + 1;
  while (typeBytes + VarintSize(headerLength) != headerLength) headerLength = typeBytes + VarintSize(headerLength);
  return record.headerLength == headerLength && record.headerLengthVarintBytes == VarintSize(headerLength);
}

}  // namespace

void BuildCell(const CarvedRow& row, int rowidAliasColumn, TextEncoding encoding, ParsedRecord& scratch,
               std::vector<uint8_t>& cell) {
  if (!row.Parse(scratch) || !WrittenAsBuilt(row, scratch, rowidAliasColumn, encoding)) {
    BuildCell(row.Row(), rowidAliasColumn, encoding, cell);
    return;
  }
  cell.clear();
  cell.reserve(row.record.size() + 18);
  AppendVarint(cell, row.record.size());
  AppendVarint(cell, static_cast<uint64_t>(row.hasRowid ? row.rowid : 0));
  const auto* bytes = reinterpret_cast<const uint8_t*>(row.record.data());
  cell.insert(cell.end(), bytes, bytes + row.record.size());
}

namespace {

std::shared_future<std::shared_ptr<const CarvedFile>> ReadyNow(std::shared_ptr<const CarvedFile> carved) {
  std::promise<std::shared_ptr<const CarvedFile>> promise;
  promise.set_value(std::move(carved));
  return promise.get_future().share();
}

// Carves the file on a thread of its own, provided it is still the file of
// that size and time when the thread opens it (a file replaced in between
// gives nothing). Throws std::system_error when no thread can be made.
std::shared_future<std::shared_ptr<const CarvedFile>> CarveOnThread(const std::filesystem::path& path, uint64_t size,
                                                                    int64_t modified) {
  return std::async(std::launch::async,
                    [path, size, modified]() -> std::shared_ptr<const CarvedFile> {
                      CDbFileReader own;
                      if (own.Open(path) != status::kOk || own.FileSize() != size || own.ModifiedNs() != modified) {
                        return nullptr;
                      }
                      return CarvedFileFor(own);
                    })
      .share();
}

}  // namespace

void SortedKeyIndex::Build(const std::vector<size_t>& sorted) {
  keys_ = &sorted;
  // About one key a bucket; at least two buckets, at most 2^20.
  shift_ = 63;
  while (shift_ > 44 && (size_t{1} << (64 - shift_)) < sorted.size()) --shift_;
  const size_t buckets = size_t{1} << (64 - shift_);
  start_.assign(buckets + 1, 0);
  for (size_t key : sorted) ++start_[static_cast<size_t>(static_cast<uint64_t>(key) >> shift_) + 1];
  for (size_t b = 1; b <= buckets; ++b) start_[b] += start_[b - 1];
}

std::shared_future<std::shared_ptr<const CarvedFile>> CarvedFileBeside(CDbFileReader& reader) {
  // A large file is carved first, on its own: the carver's peak (the keys
  // of every live row, its finds) would otherwise come on top of the live
  // walk's.
  constexpr uint64_t kCarvedBesideUpTo = uint64_t{512} << 20;
  if (reader.carvedFile || reader.Path().empty() || !reader.IsOpen() || reader.FileSize() > kCarvedBesideUpTo) {
    return ReadyNow(CarvedFileFor(reader));
  }
  try {
    return CarveOnThread(reader.Path(), reader.FileSize(), reader.ModifiedNs());
  } catch (const std::system_error&) {
    return ReadyNow(CarvedFileFor(reader));  // no thread to carve on
  }
}

std::shared_future<std::shared_ptr<const CarvedFile>> CarveAhead(const std::filesystem::path& path, uint64_t upTo) {
  CDbFileReader reader;
  if (reader.Open(path) != status::kOk || reader.FileSize() > upTo || reader.pageSize == 0) return {};
  try {
    return CarveOnThread(path, reader.FileSize(), reader.ModifiedNs());
  } catch (const std::system_error&) {
    return {};
  }
}

DeletedRowFilter::DeletedRowFilter(std::shared_ptr<const CarvedFile> carved, const std::string& table)
    : DeletedRowFilter(ReadyNow(std::move(carved)), table) {}

DeletedRowFilter::DeletedRowFilter(std::shared_future<std::shared_ptr<const CarvedFile>> carved,
                                   const std::string& table)
    : pending_(std::move(carved)), tableName_(table) {}

std::shared_ptr<const CarvedFile> DeletedRowFilter::Carved() {
  Ready();
  return carved_;
}

void DeletedRowFilter::Ready() {
  std::call_once(ready_, [this] {
    carved_ = pending_.get();
    pending_ = {};
    if (!carved_) return;
    table_ = carved_->TableIndex(tableName_);
    if (table_ < 0) return;
    schema_ = &carved_->tables[table_].schema;
    if (schema_->columnCount <= 0 || schema_->withoutRowid) {
      schema_ = nullptr;
      table_ = -1;
      return;
    }
    // The keys of the table's carved rows (taken by the carve).
    carvedKeyList_.clear();
    for (const CarvedRow& row : carved_->rows) {
      if (row.table == table_) carvedKeyList_.push_back(row.matchKey);
    }
    std::sort(carvedKeyList_.begin(), carvedKeyList_.end());
    carvedKeys_.Build(carvedKeyList_);
    liveKeys_.Build(carved_->liveMatchKeys[table_]);
    int typed = 0;
    for (int c = 0; c < schema_->columnCount && c < static_cast<int>(schema_->declaredTypes.size()); ++c) {
      typed += c != schema_->rowidAliasColumn && !schema_->declaredTypes[c].empty();
    }
    typed_ = typed * 2 >= schema_->columnCount - (schema_->rowidAliasColumn >= 0 ? 1 : 0);
  });
}

namespace {

// Where the record parsed from `input` runs into a live cell of its page (a
// table leaf): the first live cell that starts after the record's start and
// before its last byte; 0 when none does.
uint32_t LiveCellWithin(const CDbFileReader& reader, const RowInput& input, const ParsedRecord& record) {
  // Only a record read in place in its whole page (to the page's usable
  // end) has its page before it.
  if (input.record == nullptr || input.offset >= reader.usableSize ||
      uint64_t{input.offset} + input.bytesToEnd != reader.usableSize) {
    return 0;
  }
  const uint8_t* page = input.record - input.offset;
  const uint8_t* pageEnd = page + reader.usableSize;
  uint32_t end = input.offset + record.headerLength;
  for (const RecordColumn& c : record.columns) {
    if (!c.present || c.body == nullptr || c.body < page || c.body >= pageEnd) continue;
    end = std::max(end, static_cast<uint32_t>(c.body - page) + c.length);
  }
  const uint32_t hdr = input.pageIndex == 0 ? 100u : 0u;
  if (hdr + 8 > reader.usableSize || page[hdr] != 0x0d) return 0;
  const uint32_t count = (uint32_t{page[hdr + 3]} << 8) | page[hdr + 4];
  uint32_t first = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t slot = hdr + 8 + 2 * i;
    if (slot + 2 > reader.usableSize) break;
    const uint32_t cell = (uint32_t{page[slot]} << 8) | page[slot + 1];
    if (cell > input.offset && cell < end && (first == 0 || cell < first)) first = cell;
  }
  return first;
}

// Whether the record of `input` lies in a block of its page's free-block
// chain (behind the block's 4-byte header) that ends at `end`.
bool HeadsFreeBlockEndingAt(const CDbFileReader& reader, const RowInput& input, uint32_t end) {
  const uint8_t* page = input.record - input.offset;
  const uint32_t usable = reader.usableSize;
  const uint32_t hdr = input.pageIndex == 0 ? 100u : 0u;
  uint32_t off = (uint32_t{page[hdr + 1]} << 8) | page[hdr + 2];
  // Every block takes at least 4 bytes: a longer chain loops.
  for (uint32_t steps = 0; off != 0 && off + 4 <= usable && steps <= usable / 4; ++steps) {
    const uint32_t size = (uint32_t{page[off + 2]} << 8) | page[off + 3];
    if (input.offset > off + 4 && input.offset < end && off + size == end) return true;
    const uint32_t next = (uint32_t{page[off]} << 8) | page[off + 1];
    if (next <= off) break;  // kept in ascending order
    off = next;
  }
  return false;
}

bool RunsIntoLiveCell(const CDbFileReader& reader, const RowInput& input, const ParsedRecord& record) {
  return LiveCellWithin(reader, input, record) != 0;
}

}  // namespace

bool DeletedRowFilter::Admit(CDbFileReader& reader, const RowInput& input, ParsedRecord& scratch,
                             std::vector<size_t>* admitted, std::vector<uint8_t>* rebuilt) {
  Ready();
  if (rebuilt) rebuilt->clear();
  TableSchema noSchema;
  const TableSchema& schema = schema_ ? *schema_ : noSchema;
  auto typesFit = [&](const ParsedRecord& parsed) {
    for (int c = 0; c < parsed.ColumnCount(); ++c) {
      if (parsed.Has(c) && !SerialTypeFits(*schema_, c, parsed.SerialType(c), input.headerless)) return false;
    }
    return true;
  };
  // A free-block header over a cell with a 1-byte rowid takes the column-0
  // serial type with it; where the rowid alias is column 1, the record then
  // starts with that column's NULL, which the headerless reading takes for
  // column 0 (and may then run past the page). Read from column 1, with
  // every type fitting its column, only column 0's value is unknown - and
  // the match key leaves column 0 out. The decoder gets the record as a cell
  // of its own, with column 0 NULL, so that it reads every value in its
  // column.
  auto readFromColumnOne = [&](size_t& key) {
    if (!rebuilt || !schema_ || !typed_ || !input.headerless || schema_->rowidAliasColumn != 1 ||
        input.bytesToEnd == 0 || input.record[0] != 0) {
      return false;
    }
    ParsedRecord shifted;
    if (ParseHeaderlessRecord(reader, input, shifted, schema_->columnCount, -1, 1) != status::kOk ||
        shifted.ColumnCount() != schema_->columnCount || !typesFit(shifted) ||
        RunsIntoLiveCell(reader, input, shifted)) {
      return false;
    }
    key = RowMatchKey(shifted, schema);
    GenericRow row;
    DecodeParsedRow(input, shifted, row);
    *rebuilt = BuildCell(row, schema_->rowidAliasColumn, reader.encoding);
    return true;
  };
  // A record in a free block whose end a live cell took (SQLite
  // allocates a new cell from the end of a free block): the columns before
  // that cell are the row's, those from it on are lost. The row goes to the
  // decoder with the lost columns NULL, when its serial types fit their
  // columns and a text or blob of 8 bytes or more survives whole.
  auto cutAtLiveCell = [&](size_t& key) {
    if (!rebuilt || !schema_ || !typed_ || !input.headerless) return false;
    const uint32_t cut = LiveCellWithin(reader, input, scratch);
    if (cut == 0 || input.offset + scratch.headerLength > cut || !typesFit(scratch) ||
        !HeadsFreeBlockEndingAt(reader, input, cut)) {
      return false;
    }
    const uint8_t* page = input.record - input.offset;
    GenericRow row;
    DecodeParsedRow(input, scratch, row);
    bool telling = false;
    for (int c = 0; c < scratch.ColumnCount() && c < static_cast<int>(row.values.size()); ++c) {
      if (!scratch.Has(c)) continue;
      const RecordColumn& col = scratch.columns[c];
      if (col.length == 0) continue;
      if (col.body < page || col.body + col.length > page + cut) {
        row.values[c] = nullptr;
      } else if (col.serialType >= 12 && col.length >= 8) {
        telling = true;
      }
    }
    if (!telling) return false;
    key = RowMatchKey(row.values, schema);
    *rebuilt = BuildCell(row, schema_->rowidAliasColumn, reader.encoding);
    return true;
  };
  size_t key = 0;
  auto isLive = [&] { return schema_ && liveKeys_.Contains(key); };
  bool live = false;
  bool fits = false;
  // A copy of a live row or of a row the carver found: counted, no find.
  auto copyOfKnownRow = [&] {
    if (live) {
      live_.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    if (schema_ && carvedKeys_.Contains(key)) {
      carverCopies_.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    return false;
  };
  // The row's key from the parsed record, its values not built (a scan
  // looks at tens of thousands of candidates, most of them copies).
  if (ParseRecord(reader, input, scratch) != status::kOk) {
    if (!readFromColumnOne(key)) return true;
    live = isLive();
    fits = true;
  } else {
    key = RowMatchKey(scratch, schema);
    live = isLive();
    // A copy of a live row or of a row the carver found goes no further
    // whatever the tests below would say of it (most candidates of a scan
    // are such copies): turned away before its page is looked at.
    if (copyOfKnownRow()) return false;
    // A record of NULLs only tells nothing (cleared space read as a record).
    for (int c = 0; c < scratch.ColumnCount() && !fits; ++c) {
      const uint64_t t = scratch.SerialType(c);
      fits = t != 0 && t != 10 && t != 11;
    }
    // A record found without its cell header that holds no more than NULLs
    // and one number or short text is read as easily out of other bytes
    // (the page numbers of interior cells, of a free-list trunk): it tells
    // nothing.
    if (fits && input.headerless) {
      int values = 0;
      bool longValue = false;
      for (int c = 0; c < scratch.ColumnCount(); ++c) {
        const uint64_t t = scratch.SerialType(c);
        if (t == 0) continue;
        longValue = longValue || (t >= 12 && SerialTypeBodyLength(t) >= 4);
        ++values;
      }
      fits = longValue || values >= 2;
    }
    const bool runsIntoLive = fits && RunsIntoLiveCell(reader, input, scratch);
    if (fits && schema_) {
      // Without declared types the columns of a record found without its
      // cell header cannot be told apart; the carver, which found none such
      // row, measured it against the whole page.
      if (input.headerless && !typed_) fits = false;
      fits = fits && !runsIntoLive && typesFit(scratch);
      if (!fits && readFromColumnOne(key)) {
        live = isLive();
        fits = true;
      } else if (!fits && runsIntoLive && cutAtLiveCell(key)) {
        live = isLive();
        fits = true;
      }
    } else if (runsIntoLive) {
      fits = false;
    }
  }
  if (copyOfKnownRow()) return false;
  if (!fits) {
    garbled_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!seen_.insert(key).second) {
    ++counts_.duplicates;
    return false;
  }
  ++counts_.admitted;
  if (admitted) admitted->push_back(key);
  return true;
}

void DeletedRowFilter::Forget(const std::vector<size_t>& keys) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t key : keys) {
    if (seen_.erase(key) != 0 && counts_.admitted > 0) --counts_.admitted;
  }
}

namespace {

// Hands the carved rows `rows` to the decoder as rebuilt cells.
void DeliverRows(CDbFileReader& reader, const std::vector<const CarvedRow*>& rows, size_t begin, size_t end,
                 int rowidAliasColumn, const RowDecoder& decoder) {
  std::vector<uint8_t> cell;
  ParsedRecord scratch;
  for (size_t i = begin; i < end; ++i) {
    const CarvedRow& carved = *rows[i];
    BuildCell(carved, rowidAliasColumn, reader.encoding, scratch, cell);
    RowInput in;
    in.record = cell.data();
    in.bytesToEnd = static_cast<uint32_t>(cell.size());
    in.nextCellExtent = static_cast<uint32_t>(cell.size());
    in.headerless = false;
    in.wholePayload = true;
    in.rowidLost = !carved.hasRowid;
    in.deleted = 1;
    in.pageIndex = carved.pageIndex;
    in.offset = carved.offset;
    in.source = carved.source;
    decoder(reader, in);
  }
}

}  // namespace

size_t DeletedRowFilter::DeliverCarved(CDbFileReader& reader, const RowDecoder& decoder) {
  return DeliverCarved(reader, decoder, nullptr);
}

namespace {

// Copies on the table's own pages were freed after those on free-list pages,
// whose whole page left the tree before.
int AgeRank(RowSource source) {
  switch (source) {
    case RowSource::kFreeblock:
    case RowSource::kTail:
    case RowSource::kGap:
    case RowSource::kStalePointer:
    case RowSource::kLive: return 0;
    default: return 1;
  }
}

// The column that dates a row's last change: one named for a modification
// ("ModificationDate", "ZMODIFICATIONDATE", "date_modified"), else -1.
int ModificationColumn(const TableSchema& schema) {
  for (int c = 0; c < static_cast<int>(schema.columnNames.size()); ++c) {
    std::string name = schema.columnNames[c];
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (c != schema.rowidAliasColumn && name.find("modif") != std::string::npos) return c;
  }
  return -1;
}

// A carved row's values read where they lie in its record, as the values
// Values() gives would compare: texts of a UTF-16 database decoded, the
// rowid in the rowid column when known. Rows are compared in their
// thousands; their values are never built.
class RowView {
 public:
  // 0 NULL, 1 integer, 2 real, 3 text, 4 blob: SqlValue's alternatives.
  enum Kind { kNull = 0, kInteger = 1, kReal = 2, kText = 3, kBlob = 4 };

  RowView() = default;
  explicit RowView(const CarvedRow& row) { Load(row); }
  // Reads `row` (the room of the last row's reused).
  const RowView& Load(const CarvedRow& row) {
    row_ = &row;
    row.Parse(parsed_);
    wide_.clear();
    if (row.encoding == TextEncoding::kUtf8) return *this;
    wide_.resize(parsed_.columns.size());
    for (int c = 0; c < Count(); ++c) {
      if (parsed_.IsText(c)) wide_[c] = parsed_.AsText(c);
    }
    return *this;
  }
  int Count() const { return static_cast<int>(parsed_.columns.size()); }
  bool TakesRowid(int c) const { return row_->hasRowid && c == row_->rowidColumn; }
  Kind KindOf(int c) const {
    if (TakesRowid(c)) return kInteger;
    const uint64_t t = parsed_.SerialType(c);
    if (t == 0 || t == 10 || t == 11) return kNull;
    if (t == 7) return kReal;
    if (parsed_.IsInteger(c)) return kInteger;
    return parsed_.IsText(c) ? kText : kBlob;
  }
  int64_t Integer(int c) const { return TakesRowid(c) ? row_->rowid : parsed_.AsInt64(c); }
  double Real(int c) const { return parsed_.AsReal(c); }
  // A text's UTF-8 bytes, a blob's bytes.
  std::string_view Bytes(int c) const {
    if (!wide_.empty() && parsed_.IsText(c)) return wide_[c];
    const RecordColumn& col = parsed_.columns[c];
    return std::string_view(reinterpret_cast<const char*>(col.body), col.length);
  }
  // Whether column c holds the value the other row's holds (as SqlValue's
  // == compares them).
  bool Same(int c, const RowView& other) const {
    const Kind kind = KindOf(c);
    if (kind != other.KindOf(c)) return false;
    switch (kind) {
      case kNull: return true;
      case kInteger: return Integer(c) == other.Integer(c);
      case kReal: return Real(c) == other.Real(c);
      default: return Bytes(c) == other.Bytes(c);
    }
  }
  // A number in column c (an integer or a real).
  bool Number(int c, double& out) const {
    if (c < 0 || c >= Count()) return false;
    const Kind kind = KindOf(c);
    if (kind == kInteger) out = static_cast<double>(Integer(c));
    else if (kind == kReal) out = Real(c);
    return kind == kInteger || kind == kReal;
  }

 private:
  const CarvedRow* row_ = nullptr;
  ParsedRecord parsed_;
  std::vector<std::string> wide_;
};

bool Number(const CarvedRow& row, int column, double& out) {
  if (column < 0) return false;
  thread_local RowView view;
  return view.Load(row).Number(column, out);
}

}  // namespace

void OrderVersions(std::vector<const CarvedRow*>& rows, const TableSchema& schema) {
  // The rows with a rowid by rowid, each rowid's in the order found (one
  // sorted list: a map of lists cost an allocation per row).
  std::vector<std::pair<int64_t, size_t>> byRowid;
  byRowid.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i]->hasRowid) byRowid.emplace_back(rows[i]->rowid, i);
  }
  std::sort(byRowid.begin(), byRowid.end());
  const int modified = ModificationColumn(schema);
  // Newer first: by the modification date where every copy holds one, the
  // copy on the table's own pages first among equal dates and where the
  // dates are missing; otherwise the order found.
  auto byDate = [&](const CarvedRow* a, const CarvedRow* b) {
    double da = 0, db = 0;
    Number(*a, modified, da);
    Number(*b, modified, db);
    if (da != db) return da > db;
    return AgeRank(a->source) < AgeRank(b->source);
  };
  auto bySource = [](const CarvedRow* a, const CarvedRow* b) { return AgeRank(a->source) < AgeRank(b->source); };
  std::vector<const CarvedRow*> ordered;
  ordered.reserve(rows.size());
  std::vector<bool> placed(rows.size(), false);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (placed[i]) continue;
    auto from = byRowid.end(), to = byRowid.end();
    if (rows[i]->hasRowid) {
      const int64_t rowid = rows[i]->rowid;
      from = std::lower_bound(byRowid.begin(), byRowid.end(), std::make_pair(rowid, size_t{0}));
      to = from;
      while (to != byRowid.end() && to->first == rowid) ++to;
    }
    if (to - from < 2) {
      ordered.push_back(rows[i]);
      placed[i] = true;
      continue;
    }
    // The versions of one row together, where the first of them was found.
    std::vector<const CarvedRow*> versions;
    for (auto k = from; k != to; ++k) {
      versions.push_back(rows[k->second]);
      placed[k->second] = true;
    }
    double unused = 0;
    const bool dated = std::all_of(versions.begin(), versions.end(), [&](const CarvedRow* v) {
      return Number(*v, modified, unused);
    });
    if (dated) {
      std::stable_sort(versions.begin(), versions.end(), byDate);
    } else {
      std::stable_sort(versions.begin(), versions.end(), bySource);
    }
    ordered.insert(ordered.end(), versions.begin(), versions.end());
  }
  rows.swap(ordered);
}

namespace {

// The last column whose value takes bytes in the record's body (an integer
// other than 0 and 1, a real, a non-empty text or blob), or -1.
int LastStoredColumn(const RowView& row) {
  for (int c = row.Count() - 1; c >= 0; --c) {
    switch (row.KindOf(c)) {
      case RowView::kInteger:
        if (row.Integer(c) != 0 && row.Integer(c) != 1) return c;
        break;
      case RowView::kReal: return c;
      case RowView::kText:
      case RowView::kBlob:
        if (!row.Bytes(c).empty()) return c;
        break;
      default: break;
    }
  }
  return -1;
}

bool Compared(int c, int skipped, const TableSchema& schema) {
  return c != 0 && c != skipped && c != schema.rowidAliasColumn;
}

// A few bytes standing for a text or blob in a hash: its length and its
// first and last eight bytes. Equal values give equal words; the copies a
// hash brings together are compared whole, and hashing every byte of every
// message's texts and blobs cost more than the comparisons it spared.
size_t BytesWord(std::string_view bytes) {
  uint64_t head = 0, tail = 0;
  const size_t n = bytes.size();
  std::memcpy(&head, bytes.data(), std::min<size_t>(n, 8));
  if (n > 8) std::memcpy(&tail, bytes.data() + n - std::min<size_t>(n - 8, 8), std::min<size_t>(n - 8, 8));
  return static_cast<size_t>((head * 0x9E3779B97F4A7C15ULL) ^ (tail + 0x632BE59BD9B4E019ULL) ^ (n << 1));
}

// The first column compared between copies (all but column 0 and the rowid
// alias) that holds a text or blob of 8 bytes or more, or -1: only such a
// value makes the agreement of two copies tell that they are one row.
int FirstTellingColumn(const RowView& row, const TableSchema& schema) {
  for (int c = 1; c < row.Count(); ++c) {
    if (c == schema.rowidAliasColumn) continue;
    const RowView::Kind kind = row.KindOf(c);
    if ((kind == RowView::kText || kind == RowView::kBlob) && row.Bytes(c).size() >= 8) return c;
  }
  return -1;
}

// The key two copies must share to be one row cut and whole: their first
// telling column and that value's word.
size_t TellingKey(const RowView& row, int column) {
  return BytesWord(row.Bytes(column)) * 31 + static_cast<size_t>(column) * 0x9E3779B97F4A7C15ULL +
         static_cast<size_t>(row.KindOf(column));
}

bool CutCopyOf(const RowView& cut, const RowView& whole, int last, const TableSchema& schema) {
  if (cut.Count() != whole.Count()) return false;
  if (cut.KindOf(last) != RowView::kInteger || whole.KindOf(last) != RowView::kInteger) return false;
  bool telling = false;
  for (int c = 0; c < cut.Count(); ++c) {
    if (!Compared(c, last, schema)) continue;
    if (!cut.Same(c, whole)) return false;
    const RowView::Kind kind = cut.KindOf(c);
    if (kind == RowView::kText || kind == RowView::kBlob) telling = telling || cut.Bytes(c).size() >= 8;
  }
  return telling;
}

}  // namespace

void DropCutCopies(std::vector<const CarvedRow*>& rows, const TableSchema& schema) {
  // The copies without a rowid that may be cut ones are indexed by their
  // first telling value (a whole copy agrees with its cut copy there; the
  // last stored value of a cut copy is an integer, never that value), and
  // the whole copies looked up among them by theirs: most find none, and
  // only those that do are compared whole. In a table of numbers only (a
  // join table) no copy is telling, and nothing is compared.
  struct Lost {
    size_t key;
    size_t row;
    int last;
  };
  std::vector<Lost> lost;
  RowView values, other;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i]->hasRowid) continue;
    values.Load(*rows[i]);
    const int last = LastStoredColumn(values);
    if (last <= 0 || last == schema.rowidAliasColumn || values.KindOf(last) != RowView::kInteger) continue;
    const int telling = FirstTellingColumn(values, schema);
    if (telling < 0) continue;
    lost.push_back({TellingKey(values, telling), i, last});
  }
  if (lost.empty()) return;
  std::sort(lost.begin(), lost.end(), [](const Lost& a, const Lost& b) { return a.key < b.key; });
  std::vector<bool> cut(rows.size(), false);
  size_t found = 0;
  for (const CarvedRow* r : rows) {
    if (!r->hasRowid) continue;
    values.Load(*r);
    const int telling = FirstTellingColumn(values, schema);
    if (telling < 0) continue;
    const size_t key = TellingKey(values, telling);
    auto it = std::lower_bound(lost.begin(), lost.end(), key, [](const Lost& l, size_t k) { return l.key < k; });
    if (it == lost.end() || it->key != key) continue;
    const int last = LastStoredColumn(values);
    for (; it != lost.end() && it->key == key; ++it) {
      if (cut[it->row] || it->last != last) continue;
      if (CutCopyOf(other.Load(*rows[it->row]), values, last, schema)) {
        cut[it->row] = true;
        ++found;
      }
    }
  }
  if (found == 0) return;
  std::vector<const CarvedRow*> kept;
  kept.reserve(rows.size() - found);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!cut[i]) kept.push_back(rows[i]);
  }
  rows.swap(kept);
}

size_t DeletedRowFilter::DeliverCarved(CDbFileReader& reader, const RowDecoder& first, const RowDecoder& second) {
  Ready();
  if (!schema_ || !first) return 0;
  std::vector<const CarvedRow*> rows;
  for (const CarvedRow& carved : carved_->rows) {
    if (carved.table == table_) rows.push_back(&carved);
  }
  DropCutCopies(rows, *schema_);
  OrderVersions(rows, *schema_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.carved += rows.size();
  }
  // A few rows are not worth a thread.
  constexpr size_t kRowsForTwo = 256;
  const int alias = schema_->rowidAliasColumn;
  if (!second || rows.size() < kRowsForTwo) {
    DeliverRows(reader, rows, 0, rows.size(), alias, first);
  } else {
    const size_t middle = rows.size() / 2;
    RunBeside([&] { DeliverRows(reader, rows, middle, rows.size(), alias, second); },
              [&] { DeliverRows(reader, rows, 0, middle, alias, first); });
  }
  return rows.size();
}

DeletedRowCounts DeletedRowFilter::Counts() const {
  DeletedRowCounts counts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    counts = counts_;
  }
  counts.live = live_.load();
  counts.carverCopies = carverCopies_.load();
  counts.garbled = garbled_.load();
  return counts;
}

}  // namespace orbanix
