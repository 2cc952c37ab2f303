#include "sqlite_pages/recovery.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/parallel.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/page_set.h"
#include "sqlite_pages/record.h"

namespace orbanix {

namespace {

constexpr int kMaxDepth = 40;

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>((p[0] << 8) | p[1]); }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The searches of one leaf page. All offsets are kept below the usable end
// U of the page; every read is bounded by it.
class PageSearch {
 public:
  PageSearch(CDbFileReader& reader, const uint8_t* page, uint32_t headerOffset, CellList& list,
             std::vector<RowSource>& sources)
      : r_(reader), p_(page), hdr_(headerOffset), u_(reader.usableSize), list_(list), sources_(sources) {
    count_ = Be16(p_ + hdr_ + 3);
    isCall_ = reader.tableName == "call";
    // Nothing changes the reader's schema parameters during the search of
    // a page, so the expected column count is asked once.
    n_ = ColumnCountFor(reader);
  }

  void Run() {
    FreeBlockChain();
    Tail();
    Gap();
    StalePointers();
  }

 private:
  int N() const { return n_; }

  uint64_t Varint(uint32_t at, uint32_t bound, uint32_t& length) {
    if (at >= u_) {
      length = 0;
      return 0;
    }
    bound = std::min(bound, u_ - at);
    int b = static_cast<int>(bound);
    const uint64_t v = ReadVarint(p_ + at, b);
    length = bound == 0 ? 0 : static_cast<uint32_t>(b);
    return v;
  }
  uint32_t Stl(uint32_t at, int n) { return at >= u_ ? 0 : SerialTypesLength(p_ + at, u_ - at, n); }
  uint64_t RecLen(uint32_t at, uint64_t headerBytes, uint64_t bound) {
    if (at >= u_) return UINT64_MAX;
    const uint32_t hb = static_cast<uint32_t>(std::min<uint64_t>(headerBytes, UINT32_MAX));
    const uint32_t bd = static_cast<uint32_t>(std::min<uint64_t>(bound, UINT32_MAX));
    return RecordLengthFor(n_, p_ + at, hb, bd, u_ - at);
  }
  void Append(uint64_t offset, RowSource source) {
    if (offset >= u_) return;
    list_.push_back(static_cast<uint16_t>(offset));
    sources_.push_back(source);
  }
  // The lowest and the highest of the live cell pointers (those of the
  // pointer array that lie on the page); `low` stays as given and `high` 0
  // when there are none.
  void PointerRange(uint32_t& low, uint32_t& high) const {
    const uint32_t base = hdr_ + 8;
    for (uint32_t i = 0; i < count_; ++i) {
      const uint32_t pos = base + 2 * i;
      if (pos + 2 > u_) break;
      const uint32_t e = Be16(p_ + pos);
      low = std::min(low, e);
      high = std::max(high, e);
    }
  }

  // Whether a live cell of the page starts at `at`.
  bool LiveCellAt(uint32_t at) const {
    const uint32_t base = hdr_ + 8;
    for (uint32_t i = 0; i < count_; ++i) {
      const uint32_t pos = base + 2 * i;
      if (pos + 2 > u_) break;
      if (Be16(p_ + pos) == at) return true;
    }
    return false;
  }

  // The records behind the first one of a free block, [from, end): a cell
  // freed beside a free block is merged into it, and the freed cell's first
  // 4 bytes (its own free-block header, written before the merge) stay
  // where its payload length and rowid were. Each record there follows the
  // one before it, behind those 4 bytes.
  void MergedNeighbours(uint32_t from, uint32_t end) {
    const int n = N();
    if (n <= 0) return;
    uint32_t pos = from;
    while (pos + 4 + static_cast<uint32_t>(n) < end) {
      uint32_t h;
      const uint64_t v = Varint(pos + 4, end - pos - 4, h);
      if (h == 0 || v < h) return;
      const uint64_t s = Stl(pos + 4 + h, n);
      if (v - h != s) return;
      const uint32_t start = pos + 4 + h;
      const uint64_t len = RecLen(start, s, end - start);
      if (len > end - start) {
        // Its end taken by a live cell (the gate keeps the columns before it).
        if (start + s < end && LiveCellAt(end)) Append(start, RowSource::kFreeblock);
        return;
      }
      if (r_.tableName == "message") {
        const uint64_t fixed = start + s;
        if (fixed + 36 > end || !std::all_of(p_ + fixed, p_ + fixed + 36, [](uint8_t b) { return b != 0; })) return;
      }
      Append(start, RowSource::kFreeblock);
      pos = static_cast<uint32_t>(start + len);
    }
  }

  // Search 1: the chain of free blocks (2-byte link, 2-byte size); a deleted
  // cell's first 4 bytes became that header.
  void FreeBlockChain() {
    uint32_t off = Be16(p_ + hdr_ + 1);
    uint64_t prevS = 0;
    // Every free block takes at least 4 bytes, so a longer chain loops.
    for (uint32_t steps = 0; off != 0 && steps <= u_ / 4; ++steps) {
      if (off + 4 >= u_) break;
      const int n = N();
      uint64_t size = Be16(p_ + off + 2);
      if (size == 0) break;
      if (off + size > u_) {
        uint32_t len;
        size = Varint(off + 3, u_ - off - 4, len);
        if (off + size > u_) break;
      }
      uint32_t h;
      const uint64_t v = Varint(off + 4, u_ - off - 4, h);
      const uint64_t s = n != 0 ? Stl(off + 4 + h, n) : prevS;
      prevS = s;
      const uint64_t start = (v >= h && v - h == s) ? off + 4 + h : off + 4;
      const uint64_t len = RecLen(static_cast<uint32_t>(start), s, u_ - off - 4);
      if (len <= size) {
        bool accept = true;
        if (r_.tableName == "message") {
          // Message rows carry a run of non-zero fixed-size columns behind
          // their serial types; a zero byte there means this is not one.
          const uint64_t from = start + s;
          accept = from + 36 <= u_ && std::all_of(p_ + from, p_ + from + 36, [](uint8_t b) { return b != 0; });
        }
        if (accept) Append(start, RowSource::kFreeblock);
        MergedNeighbours(static_cast<uint32_t>(start + len), static_cast<uint32_t>(off + size));
      } else if (n > 0 && start + s < off + size && LiveCellAt(static_cast<uint32_t>(off + size))) {
        // The block ends where a live cell begins: SQLite took that cell's
        // room from the block's end, over the record's last bytes. The
        // record is kept for the columns that lie before the cell (the gate
        // cuts it there).
        Append(start, RowSource::kFreeblock);
      } else if (n > 1 && start == off + 4 && p_[start] == 0 && r_.tableName != "message") {
        // A cell with a 1-byte rowid loses its header length and column 0's
        // serial type to the free-block header. Where column 1 is the rowid
        // alias, the record then starts with that column's NULL, and n - 1
        // serial types remain: taken when they fill the block exactly (a
        // column 0 without body), less a fragment too small to be a block.
        const uint64_t rest = RecordLengthFor(n - 1, p_ + start, 0, u_ - start, u_ - start);
        if (rest + 4 <= size && size - (rest + 4) < 4) Append(start, RowSource::kFreeblock);
      }
      const uint32_t next = Be16(p_ + off);
      if (next != 0 && next <= off) break;  // free blocks are kept in ascending order
      off = next;
    }
  }

  // Search 2: behind the cell at the highest offset.
  void Tail() {
    uint32_t top = 0;
    if (count_ == 1) {
      top = Be16(p_ + hdr_ + 5);
    } else {
      uint32_t unusedLow = UINT32_MAX;
      PointerRange(unusedLow, top);
    }
    if (top >= u_) return;
    uint32_t a, b;
    const uint64_t payload = Varint(top, u_ - top, a);
    Varint(top + a, u_ - top - a, b);
    const uint64_t end = uint64_t{top} + a + b + payload;
    uint64_t lastHl = 0;
    if (end < u_) {
      uint32_t off = static_cast<uint32_t>(end);
      while (off < u_) {
        uint32_t g;
        const uint64_t hl = Varint(off, u_ - off, g);
        if (g == 0) break;
        lastHl = hl;
        const uint32_t q = off + g;
        int n = N();
        if (hl != 0 && hl <= static_cast<uint64_t>(n) + 5 && hl < u_ - off &&
            static_cast<int64_t>(n) < static_cast<int64_t>(u_) - off - g) {
          if (isCall_) n = r_.callColumns;
          const uint64_t k = n != 0 ? uint64_t{Stl(q, n)} + 1 : 0;
          if (k == hl) {
            const uint64_t len = RecLen(q, hl - 1, u_ - q);
            if (len < u_ - q) Append(q, RowSource::kTail);
            off = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{q} + len, u_));
            continue;
          }
        }
        off = q;
      }
    }
    // Chained pass: records laid one behind the other, each behind a 4-byte
    // free-block header.
    const int n = N();
    uint64_t g = end;
    while (g + n + 9 < u_) {
      g += 4;
      const uint64_t s = n != 0 ? Stl(static_cast<uint32_t>(g), n) : lastHl;
      const uint64_t len = RecLen(static_cast<uint32_t>(g), s, u_ - g);
      if (len > u_ - g) break;
      Append(g, RowSource::kTail);
      g += len;
    }
  }

  // Search 3: the unallocated gap between the cell pointer array and the
  // cell content area.
  void Gap() {
    uint32_t low = u_;
    if (count_ == 1) {
      low = Be16(p_ + hdr_ + 5);
    } else if (count_ > 1) {
      uint32_t unusedHigh = 0;
      PointerRange(low, unusedHigh);
    }
    if (low > u_) low = u_;
    uint32_t word = 0;
    bool found = false;
    for (uint32_t w = hdr_ + 8; w + 2 <= low; w += 2) {
      if (Be16(p_ + w) == 0) {
        word = w;
        found = true;
        break;
      }
    }
    if (!found) return;
    const uint32_t last = (low % 2) ? low - 2 : low - 1;
    uint32_t bpos = 0;
    found = false;
    for (uint32_t i = word + 2; i <= last && i < low; ++i) {
      if (p_[i] != 0) {
        bpos = i;
        found = true;
        break;
      }
    }
    if (!found) return;
    uint32_t upper = low;
    for (int64_t pos = static_cast<int64_t>(low) - 1; pos >= bpos; --pos) {
      const uint32_t at = static_cast<uint32_t>(pos);
      uint32_t d;
      const uint64_t hl = Varint(at, upper - at, d);
      int n = N();
      const int64_t room = static_cast<int64_t>(upper) - at;
      if (hl != 0 && hl >= static_cast<uint64_t>(n) && hl <= static_cast<uint64_t>(n) + 5 &&
          static_cast<int64_t>(hl) < room && static_cast<int64_t>(hl) < room - d) {
        if (isCall_) n = r_.callColumns;
        const uint64_t k = n != 0 ? uint64_t{SerialTypesLength(p_ + at + d, static_cast<uint32_t>(room - d), n)} + 1 : 0;
        if (k == hl && RecLen(at + d, hl, room - d) <= static_cast<uint64_t>(room - d)) {
          Append(at + d, RowSource::kGap);
          upper = at;
        }
      }
    }
    // Forward check at the first non-zero byte: a record behind a 4-byte
    // free-block header.
    const int n = N();
    if (bpos + 4 < low) {
      const uint64_t s = n != 0 ? Stl(bpos + 4, n) : Be16(p_ + bpos);
      if (RecLen(bpos + 4, s, u_ - bpos - 4) <= low - bpos - 4) Append(bpos + 4, RowSource::kGap);
    }
  }

  // The free-block test of search 4 at e; the record start, or 0.
  uint32_t FreeBlockAt(uint32_t e) {
    const uint32_t rem = u_ - e;
    const int n = N();
    if (static_cast<int64_t>(n) >= rem || e + 4 >= u_) return 0;
    uint64_t size = Be16(p_ + e + 2);
    if (size == 0) return 0;
    if (e + size > u_) {
      uint32_t len;
      size = Varint(e + 3, u_ - e - 3, len);
      if (size + len > rem) return 0;
    }
    uint32_t h;
    const uint64_t v = Varint(e + 4, u_ - e - 4, h);
    const uint64_t s = n != 0 ? Stl(e + 4 + h, n) : 0;
    const uint64_t start = (v >= h && v - h == s) ? e + 4 + h : e + 4;
    if (start >= u_) return 0;
    if (RecLen(static_cast<uint32_t>(start), s, u_ - start) <= size) return static_cast<uint32_t>(start);
    return 0;
  }

  // Search 4: cell pointers left behind the live ones in the pointer array.
  void StalePointers() {
    uint32_t last = 0;
    bool duplicate = false;
    const uint32_t base = hdr_ + 8;
    for (uint32_t k = 0; k < u_ / 2; ++k) {
      const uint32_t slot = base + 2 * k;
      if (slot + 2 > u_) break;
      const uint32_t e = Be16(p_ + slot);
      if (e == 0 || e >= u_) break;
      if (k < count_) {
        last = e;
        continue;
      }
      if (last <= e && e <= last + 6) continue;
      if (const uint32_t start = FreeBlockAt(e); start != 0) {
        Append(start, RowSource::kStalePointer);
        continue;
      }
      if (e + 2 > u_) continue;
      uint64_t expected;
      uint32_t off;
      bool zeroPrefixed = false;
      if (Be16(p_ + e) != 0) {
        uint32_t a, b;
        const uint64_t payload = Varint(e, u_ - e, a);
        if (payload == 0 || payload - 1 > u_ - e) continue;
        if (e + a >= u_) continue;
        Varint(e + a, u_ - e - a, b);
        off = e + a + b;
        if (off >= u_) continue;
        expected = payload - 1;
      } else {
        if (e + 4 >= u_) continue;
        const uint32_t size = Be16(p_ + e + 2);
        if (size < 5) continue;
        expected = size - 5;
        off = e + 4;
        zeroPrefixed = true;
      }
      uint32_t m;
      const uint64_t hh = Varint(off, u_ - off, m);
      const uint32_t q = off + m;
      if (q >= u_) continue;
      const int n = N();
      if (static_cast<int64_t>(n) >= static_cast<int64_t>(u_) - q) continue;
      const uint64_t kk = n != 0 ? uint64_t{Stl(q, n)} + 1 : 0;
      if (kk != hh || q + hh >= u_ || hh == 0 || hh >= expected) continue;
      if (!zeroPrefixed && RecLen(q, hh, u_ - q) != expected) continue;
      const bool near = std::any_of(list_.begin(), list_.end(), [q](uint16_t o) {
        return (o > q ? o - q : q - o) <= 6;
      });
      if (near) {
        duplicate = true;
      } else if (!duplicate) {
        Append(q, RowSource::kStalePointer);
      }
    }
  }

  CDbFileReader& r_;
  const uint8_t* p_;
  uint32_t hdr_;
  uint32_t u_;
  uint32_t count_ = 0;
  bool isCall_ = false;
  int n_ = 0;
  CellList& list_;
  std::vector<RowSource>& sources_;
};

}  // namespace

void SearchLeafPage(CDbFileReader& reader, const uint8_t* page, uint32_t index, CellList& candidates,
                    std::vector<RowSource>& sources) {
  PageSearch(reader, page, index == 0 ? 100u : 0u, candidates, sources).Run();
}

namespace {

Status CollectDeleted(CDbFileReader& reader, const uint8_t* page, uint32_t index, PageCellMap& candidates,
                      PageSourceMap* sources, PageSet& visited, int depth) {
  const uint32_t hdr = index == 0 ? 100u : 0u;
  if (hdr + 12 > reader.usableSize) return status::kOk;
  const uint8_t type = page[hdr];
  if (type == 13) {
    CellList list;
    std::vector<RowSource> src;
    SearchLeafPage(reader, page, index, list, src);
    candidates[index] = std::move(list);
    if (sources) (*sources)[index] = std::move(src);
    return status::kOk;
  }
  if (type != 5 || depth >= kMaxDepth) return status::kOk;
  ChildPageMap children;
  ListChildren(reader, page, hdr, children);
  std::vector<uint8_t> buffer(reader.pageSize);
  for (const auto& [child, key] : children) {
    (void)key;
    if (!visited.Insert(child)) continue;
    if (Status st = reader.ReadPage(child, buffer.data()); st != status::kOk) return st;
    if (Status st = CollectDeleted(reader, buffer.data(), child, candidates, sources, visited, depth + 1);
        st != status::kOk) {
      return st;
    }
  }
  return status::kOk;
}

}  // namespace

int ColumnCountFor(CDbFileReader& reader) {
  const std::string& name = reader.tableName;
  auto is = [&](const char* known) { return EqualsIgnoreAsciiCase(name, known); };
  int n;
  if (is("ZNOTEBODY")) n = reader.noteBodyColumns > 0 ? reader.noteBodyColumns : 7;
  else if (is("ZNOTE")) n = reader.noteColumns > 0 ? reader.noteColumns : 19;
  else if (is("message")) n = reader.messageColumns;
  else if (is("handle")) n = 5;
  else if (is("attachment")) n = 9;
  else if (is("message_attachment_join")) n = 2;
  else if (is("ABPersonFullTextSearch_content")) n = reader.contactsFtsColumns > 25 ? 25 : 24;
  else if (is("call") || is("Friend")) n = 13;
  else if (is("tb_c2cTables")) n = 1;
  else if (is("ZWAMESSAGE")) n = reader.waMessageColumns;
  else if (is("ZWACHATSESSION")) n = reader.waMessageColumns == 30 ? 21 : reader.waMessageColumns == 29 ? 20 : 18;
  else if (is("ZWAGROUPMEMBER")) n = reader.waMessageColumns < 28 ? 10 : 11;
  else if (is("ZWAMEDIAITEM")) n = 22;
  else if (is("ZCALLRECORD")) n = reader.callRecordColumns > 0 ? reader.callRecordColumns : 17;
  else if (is("ZWACONTACT")) n = 11;
  else if (is("ZWAPHONE") || StartsWith(name, "Chat_")) n = 9;
  else if (StartsWith(name, "tb_c2cMsg")) n = 50;
  else n = reader.genericColumnCount;
  reader.lastColumnCount = n;
  return n;
}

uint32_t SerialTypesLength(const uint8_t* bytes, uint32_t bound, int n) {
  uint32_t total = 0;
  for (int i = 0; i < n; ++i) {
    if (total >= bound) break;
    int b = static_cast<int>(bound - total);
    ReadVarint(bytes + total, b);
    total += static_cast<uint32_t>(b);
  }
  return total;
}

uint32_t RecordLength(CDbFileReader& reader, const uint8_t* bytes, uint32_t headerBytes, uint32_t bound,
                      uint32_t available) {
  return RecordLengthFor(ColumnCountFor(reader), bytes, headerBytes, bound, available);
}

uint32_t RecordLengthFor(int n, const uint8_t* bytes, uint32_t headerBytes, uint32_t bound, uint32_t available) {
  if (available == 0) return headerBytes == 0 && n == 0 ? 0 : UINT32_MAX;
  uint32_t hb = headerBytes;
  if (n != 0) hb = SerialTypesLength(bytes, available, bytes[0] == 0 ? n : n - 1);
  uint64_t total = hb;
  const uint32_t walk = std::min(hb, available);
  uint32_t pos = 0;
  while (pos < walk && total <= bound) {
    int b = static_cast<int>(walk - pos);
    const uint64_t type = ReadVarint(bytes + pos, b);
    pos += static_cast<uint32_t>(b);
    total += SerialTypeBodyLength(type);
  }
  return static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
}

Status CollectDeletedCells(CDbFileReader& reader, const uint8_t* page, uint32_t index, PageCellMap& candidates,
                           PageSourceMap* sources) {
  if (reader.pageSize == 0) return status::kBadData;
  PageSet visited(reader.PageCount());
  visited.Insert(index);
  return CollectDeleted(reader, page, index, candidates, sources, visited, 0);
}

Status FirstRecordColumnCount(CDbFileReader& reader, const PageCellMap& cells, int& count, const PageAtHand* atHand) {
  if (cells.empty() || cells.begin()->second.empty()) return status::kOk;
  const uint32_t index = cells.begin()->first;
  const CellList& list = cells.begin()->second;
  std::vector<uint8_t> buffer;
  const uint8_t* page = atHand && atHand->index == index ? atHand->bytes : nullptr;
  if (!page) {
    buffer.resize(reader.pageSize);
    if (Status st = reader.ReadPage(index, buffer.data()); st != status::kOk) return st;
    page = buffer.data();
  }
  const uint16_t first = list.front();
  if (first >= reader.usableSize) return status::kOk;
  uint32_t next = reader.usableSize;
  for (uint16_t o : list) {
    if (o > first && o < next) next = o;
  }
  RowInput in;
  in.record = page + first;
  in.bytesToEnd = reader.usableSize - first;
  in.nextCellExtent = next - first;
  in.pageIndex = index;
  in.offset = first;
  // One record per thread, reused: a fresh one would grow its column list
  // anew for every free-list page.
  thread_local ParsedRecord record;
  const Status st = ParseLiveRecord(reader, in, record);
  if (st == status::kShortRead) return st;
  if (st != status::kOk) {
    // Bodies that do not fit do not change the header's count of types;
    // count them from the header alone when it is on the page.
    const uint8_t* p = in.record;
    int a = static_cast<int>(in.bytesToEnd);
    ReadVarint(p, a);
    uint32_t pos = static_cast<uint32_t>(a);
    if (pos >= in.bytesToEnd) return status::kOk;
    int b = static_cast<int>(in.bytesToEnd - pos);
    ReadVarint(p + pos, b);
    pos += static_cast<uint32_t>(b);
    if (pos >= in.bytesToEnd) return status::kOk;
    int h = static_cast<int>(in.bytesToEnd - pos);
    const uint64_t headerLen = ReadVarint(p + pos, h);
    if (headerLen < static_cast<uint64_t>(h) || pos + headerLen > in.bytesToEnd) return status::kOk;
    int types = 0;
    uint32_t at = pos + static_cast<uint32_t>(h);
    const uint32_t end = pos + static_cast<uint32_t>(headerLen);
    while (at < end) {
      int v = static_cast<int>(end - at);
      ReadVarint(p + at, v);
      at += static_cast<uint32_t>(v);
      ++types;
    }
    count = types;
    return status::kOk;
  }
  count = record.ColumnCount();
  return status::kOk;
}

namespace {

// What the searches of a page take from the reader besides its bytes: the
// expected column count and the serial-type bytes of live call rows.
std::pair<int, int> SearchParameters(CDbFileReader& reader) { return {ColumnCountFor(reader), reader.callColumns}; }

// A leaf under one free-list page, searched for deleted candidates, with
// its bytes when they are held.
struct HeldPage {
  static constexpr size_t kNotHeld = SIZE_MAX;
  uint32_t index = 0;
  size_t at = kNotHeld;  // offset of its bytes in the held bytes
  CellList candidates;
  std::vector<RowSource> sources;
  std::pair<int, int> parameters;  // what the search used (SearchParameters)
};

// The free-page stage over a stretch of the free-list pages. The column
// counts already known come from `known` (read only, so two stretches can
// share it); counts learned go to `learned`.
Status FreePagesStretch(CDbFileReader& reader, const uint32_t* begin, const uint32_t* end, const RowDecoder& decoder,
                        const std::unordered_map<uint32_t, int>& known, std::unordered_map<uint32_t, int>& learned) {
  std::vector<uint8_t> page(reader.pageSize);
  std::vector<uint8_t> buffer(reader.pageSize);
  constexpr int kNotATablePage = -2;
  constexpr size_t kHeldBytesBound = size_t{8} << 20;
  std::vector<HeldPage> held;
  std::vector<uint8_t> heldBytes;
  for (const uint32_t* it = begin; it != end; ++it) {
    const uint32_t index = *it;
    // Asked per page: decoders of rows with a cell header may teach the
    // reader a column count on the way.
    const int expected = ColumnCountFor(reader);
    auto cached = known.find(index);
    const bool isKnown = cached != known.end();
    if (isKnown && cached->second != expected) continue;
    if (reader.ReadPage(index, page.data()) != status::kOk) continue;
    if (page[0] != 13 && page[0] != 5) {
      learned[index] = kNotATablePage;
      continue;
    }
    // The page itself is read once: the count, its rows and its candidates
    // use these bytes (the pages under an interior page are read).
    const PageAtHand atHand{index, page.data()};
    PageCellMap live;
    if (Status st = CollectLiveCells(reader, page.data(), index, live); st != status::kOk) return st;
    int count = -1;
    if (isKnown) {
      count = cached->second;
    } else {
      if (Status st = FirstRecordColumnCount(reader, live, count, &atHand); st != status::kOk) return st;
      learned[index] = count;
    }
    if (count != expected) continue;
    // The rows of the page (or of the leaves below it), then the deleted
    // candidates of the same pages in ascending index. The leaves of an
    // interior page are the ones its live walk found (the candidate walk
    // goes the same way), so each is searched when its rows are read, and
    // its bytes are held until the candidates' turn, within a bound;
    // beyond it, a page is read again then. A page whose rows taught the
    // reader other search parameters than a leaf was searched with is
    // searched again.
    held.clear();
    heldBytes.clear();
    const PageVisitor search = [&](uint32_t leaf, const uint8_t* bytes) {
      HeldPage& h = held.emplace_back();
      h.index = leaf;
      SearchLeafPage(reader, bytes, leaf, h.candidates, h.sources);
      h.parameters = SearchParameters(reader);
      if (!h.candidates.empty() && heldBytes.size() + reader.pageSize <= kHeldBytesBound) {
        h.at = heldBytes.size();
        heldBytes.insert(heldBytes.end(), bytes, bytes + reader.pageSize);
      }
    };
    if (Status st = DecodeRows(reader, live, decoder, 1, RowSource::kFreelistCell, &atHand, &search);
        st != status::kOk) {
      return st;
    }
    // The bytes of a leaf at hand: the free-list page itself or held ones.
    auto atHandBytes = [&](const HeldPage& h) -> const uint8_t* {
      if (h.index == index) return page.data();
      return h.at != HeldPage::kNotHeld ? heldBytes.data() + h.at : nullptr;
    };
    // Every search stands before any candidate is decoded, as when the
    // leaves are searched after all the rows.
    const auto parameters = SearchParameters(reader);
    for (HeldPage& h : held) {
      if (h.parameters == parameters) continue;
      const uint8_t* bytes = atHandBytes(h);
      if (!bytes) {
        if (Status st = reader.ReadPage(h.index, buffer.data()); st != status::kOk) return st;
        bytes = buffer.data();
      }
      h.candidates.clear();
      h.sources.clear();
      SearchLeafPage(reader, bytes, h.index, h.candidates, h.sources);
    }
    for (const HeldPage& h : held) {
      if (h.candidates.empty()) continue;
      const uint8_t* bytes = atHandBytes(h);
      if (!bytes) {
        if (reader.ReadPage(h.index, buffer.data()) != status::kOk) break;
        bytes = buffer.data();
      }
      for (uint16_t off : h.candidates) {
        if (off >= reader.usableSize) continue;
        RowInput in;
        in.record = bytes + off;
        in.bytesToEnd = reader.usableSize - off;
        in.headerless = true;
        in.deleted = 1;
        in.pageIndex = h.index;
        in.offset = off;
        in.source = RowSource::kFreelistCandidate;
        decoder(reader, in);
      }
    }
  }
  return status::kOk;
}

}  // namespace

Status RunFreePageStage(CDbFileReader& reader, const RowDecoder& decoder, const DecoderHalves* halves) {
  if (reader.pageSize == 0) return status::kBadData;
  if (ColumnCountFor(reader) <= 0) return status::kOk;  // nothing to recognise the table's pages by
  const std::vector<uint32_t> freePages = reader.freePages;
  const uint32_t* begin = freePages.data();
  const uint32_t* end = begin + freePages.size();
  if (!halves || freePages.empty()) {
    std::unordered_map<uint32_t, int> learned;
    const Status st = FreePagesStretch(reader, begin, end, decoder, reader.freePageColumnCounts, learned);
    reader.freePageColumnCounts.merge(learned);
    return st;
  }
  // Halves by page count: the pages that belong to the table are spread
  // over the free list about evenly.
  const uint32_t* middle = begin + freePages.size() / 2;
  std::unordered_map<uint32_t, int> learnedFirst, learnedSecond;
  Status first = status::kOk, second = status::kOk;
  RunBeside(
      [&] {
        second = FreePagesStretch(reader, middle, end, halves->second, reader.freePageColumnCounts, learnedSecond);
      },
      [&] { first = FreePagesStretch(reader, begin, middle, halves->first, reader.freePageColumnCounts, learnedFirst); });
  if (halves->joined) halves->joined(first == status::kOk);
  reader.freePageColumnCounts.merge(learnedFirst);
  if (first != status::kOk) return first;
  reader.freePageColumnCounts.merge(learnedSecond);
  return second;
}

namespace {

// pragma_table_info's answer for `table` in `db`: names, declared types,
// NOT NULL, and the rowid alias (only a lone INTEGER PRIMARY KEY column -
// exactly that type name - is the rowid itself; the record stores NULL in
// its place). 87 when the table has no columns there.
Status TableInfo(sqlite3* db, const std::string& table, TableSchema& schema) {
  Status result = status::kBadData;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name, type, pk, \"notnull\" FROM pragma_table_info(?1)", -1, &stmt, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    int pkColumns = 0;
    int pkIndex = -1;
    std::string pkType;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const char* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      const char* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
      schema.columnNames.emplace_back(name ? name : "");
      schema.declaredTypes.emplace_back(type ? type : "");
      schema.notNull.push_back(sqlite3_column_int(stmt, 3) != 0);
      if (sqlite3_column_int(stmt, 2) > 0) {
        ++pkColumns;
        pkIndex = static_cast<int>(schema.columnNames.size()) - 1;
        pkType = type ? type : "";
      }
    }
    sqlite3_finalize(stmt);
    schema.columnCount = static_cast<int>(schema.columnNames.size());
    if (schema.columnCount > 0) result = status::kOk;
    if (pkColumns == 1 && EqualsIgnoreAsciiCase(pkType, "INTEGER")) schema.rowidAliasColumn = pkIndex;
  }
  return result;
}

bool WithoutRowid(const std::string& sql) {
  const std::string lower = AsciiLower(sql);
  const size_t close = lower.rfind(')');
  return close != std::string::npos && lower.find("without rowid", close) != std::string::npos;
}

}  // namespace

Status SchemaFromCreateTable(const std::string& table, const std::string& sql, TableSchema& schema) {
  schema = TableSchema{};
  if (AsciiLower(sql).rfind("create table", 0) != 0) return status::kBadData;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return status::kBadData;
  }
  Status result = status::kBadData;
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) == SQLITE_OK && stmt &&
      (!tail || std::string_view(tail).find_first_not_of(" \t\r\n;") == std::string_view::npos) &&
      sqlite3_step(stmt) == SQLITE_DONE) {
    result = TableInfo(db, table, schema);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  if (result != status::kOk) {
    schema = TableSchema{};
    return result;
  }
  if (WithoutRowid(sql)) {
    schema.withoutRowid = true;
    schema.rowidAliasColumn = -1;
  }
  return status::kOk;
}

namespace {

// The tables' statements of a database read through its write-ahead log,
// kept per state of the two files: a scan asks for the schemas of many
// tables of one file (every chat table of a messenger's store, every table
// the carver looks at), and each read through the log opens the file,
// reads the log's frames and walks the schema. A state is the files'
// identity, size and modification time, and the log's header (its salts
// change when the log restarts, whatever the clock's resolution).
struct LogSchemaState {
  struct stat database {};
  struct stat log {};
  uint8_t logHeader[kWalHeaderSize] = {};
  bool Same(const LogSchemaState& o) const {
    const auto same = [](const struct stat& a, const struct stat& b) {
      return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
             a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
    };
    return same(database, o.database) && same(log, o.log) && std::memcmp(logHeader, o.logHeader, kWalHeaderSize) == 0;
  }
};

struct LogSchemas {
  std::string database, log;
  LogSchemaState state;
  bool applied = false;  // the log held a committed transaction
  std::unordered_map<std::string, std::string> sqlByName;  // lower-case name -> statement (the first)
};

std::mutex& LogSchemasMutex() {
  static std::mutex mutex;
  return mutex;
}

// The few files read last (a scan reads one store's tables in a row).
std::vector<std::shared_ptr<const LogSchemas>>& LogSchemasKept() {
  static std::vector<std::shared_ptr<const LogSchemas>> kept;
  return kept;
}

std::atomic<size_t> logSchemaReads{0};

// The state of `path` and its log `log`; false when either cannot be read.
bool ReadLogSchemaState(const std::filesystem::path& path, const std::filesystem::path& log, LogSchemaState& state) {
  if (::stat(path.c_str(), &state.database) != 0 || ::stat(log.c_str(), &state.log) != 0) return false;
  const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const ssize_t got = ::pread(fd, state.logHeader, kWalHeaderSize, 0);
  ::close(fd);
  if (got < 0) return false;
  return true;
}

// The statements of the database at `path` as its log's last commit gives
// them; null when the log gives nothing (none, empty, or nothing committed):
// the file alone is then the database.
std::shared_ptr<const LogSchemas> SchemasThroughLog(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path log = WriteAheadLogOf(path);
  if (!std::filesystem::is_regular_file(log, ec) || std::filesystem::file_size(log, ec) == 0 || ec) return nullptr;
  LogSchemaState state;
  if (!ReadLogSchemaState(path, log, state)) return nullptr;
  {
    std::lock_guard<std::mutex> lock(LogSchemasMutex());
    for (const auto& kept : LogSchemasKept()) {
      if (kept->database == path.string() && kept->log == log.string() && kept->state.Same(state)) {
        return kept->applied ? kept : nullptr;
      }
    }
  }
  auto schemas = std::make_shared<LogSchemas>();
  schemas->database = path.string();
  schemas->log = log.string();
  schemas->state = state;
  CDbFileReader reader;
  ++logSchemaReads;
  if (reader.Open(path) == status::kOk && reader.Wal().committedFrames > 0) {
    schemas->applied = true;
    std::vector<std::pair<std::string, std::string>> tables;
    ListTableSql(reader, tables);
    for (auto& [name, sql] : tables) schemas->sqlByName.try_emplace(AsciiLower(name), std::move(sql));
  }
  // The files may have changed while they were read: the state is taken
  // again, and what was read is kept only when it still holds.
  LogSchemaState after;
  if (ReadLogSchemaState(path, log, after) && after.Same(state)) {
    std::lock_guard<std::mutex> lock(LogSchemasMutex());
    auto& kept = LogSchemasKept();
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [&](const auto& k) { return k->database == schemas->database; }),
               kept.end());
    constexpr size_t kKeptFiles = 8;
    if (kept.size() >= kKeptFiles) kept.erase(kept.begin());
    kept.push_back(schemas);
  }
  return schemas->applied ? schemas : nullptr;
}

}  // namespace

size_t SchemaReadsThroughLogs() { return logSchemaReads.load(); }

Status LoadTableSchema(const std::filesystem::path& path, const std::string& table, TableSchema& schema) {
  schema = TableSchema{};
  // With a write-ahead log beside it, the database's schema is the one the
  // log's last commit gives, which the library cannot be asked for without
  // writing beside the file: the table's statement is read through the log
  // and compiled on its own.
  if (const std::shared_ptr<const LogSchemas> schemas = SchemasThroughLog(path)) {
    const auto it = schemas->sqlByName.find(AsciiLower(table));
    if (it == schemas->sqlByName.end()) return status::kBadData;
    return SchemaFromCreateTable(table, it->second, schema);
  }
  sqlite3* db = nullptr;
  // Immutable, read-only: the library neither writes nor locks the file, and
  // does not look for a journal beside it.
  std::string uri = "file:";
  for (unsigned char c : path.string()) {
    if (c == '%' || c == '?' || c == '#' || c < 0x21 || c > 0x7E) {
      uri += Format("%%%02X", c);
    } else {
      uri.push_back(static_cast<char>(c));
    }
  }
  uri += "?immutable=1";
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return status::kBadData;
  }
  const Status result = TableInfo(db, table, schema);
  if (result == status::kOk) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE type='table' AND name=?1", -1, &q, nullptr) ==
        SQLITE_OK) {
      sqlite3_bind_text(q, 1, table.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(q) == SQLITE_ROW) {
        const char* sql = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
        if (WithoutRowid(sql ? sql : "")) {
          schema.withoutRowid = true;
          schema.rowidAliasColumn = -1;
        }
      }
      sqlite3_finalize(q);
    }
  }
  sqlite3_close(db);
  return result;
}

int SchemaColumnCount(const std::filesystem::path& path, const std::string& table) {
  TableSchema schema;
  return LoadTableSchema(path, table, schema) == status::kOk ? schema.columnCount : 0;
}

}  // namespace orbanix
