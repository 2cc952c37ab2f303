#include "sqlite_pages/carver.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/parallel.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/page_set.h"

namespace orbanix {

namespace {

// Page ownership, from the walk of every live B-tree and of the free list.
constexpr int kOwnerUnknown = -2;  // outside every tree and the free list (pointer-map pages, lost pages)
constexpr int kOwnerFree = -3;     // free-list leaf page
constexpr int kOwnerOther = -4;    // any other live page (interior, index, overflow, other tables)
constexpr int kOwnerTrunk = -5;    // free-list trunk page
constexpr int kOwnerDropped = -6;  // free page of a dropped table (traced from its deleted schema row)
constexpr int kOwnerSpillEnd = -7; // last page of a live overflow chain: its bytes past the payload are unused
constexpr int kMaxDepth = 40;

uint64_t Load64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}
uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t VarintLength(uint64_t v) {
  uint32_t n = 1;
  while (n < 9 && (v >> (7 * n)) != 0) ++n;
  return n;
}
// ReadVarint with the one-byte case (most serial types and lengths) inline.
inline uint64_t Varint(const uint8_t* p, int& bound) {
  if (bound > 0 && p[0] < 0x80) {
    bound = 1;
    return p[0];
  }
  return ReadVarint(p, bound);
}
// SerialTypeBodyLength, inline: it runs for every serial type tried.
inline uint64_t BodyLength(uint64_t t) {
  static constexpr uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  return t >= 12 ? (t - 12) / 2 : kFixed[t];
}
bool Contains(const std::string& haystack, const char* needle) { return haystack.find(needle) != std::string::npos; }

void AppendVarint(std::string& out, uint64_t v) {
  uint8_t bytes[9];
  out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(WriteVarint(v, bytes)));
}

// A record of the serial types `types` whose bodies are the `length` bytes
// at `bodies`, into `out`: its header length (counting its own varint),
// the serial types, the bodies.
void WriteRecord(const std::vector<uint64_t>& types, const uint8_t* bodies, uint64_t length, std::string& out) {
  uint64_t typeBytes = 0;
  for (uint64_t t : types) typeBytes += VarintLength(t);
  uint64_t headerLen = typeBytes + 1;
  while (typeBytes + VarintLength(headerLen) != headerLen) headerLen = typeBytes + VarintLength(headerLen);
  out.clear();
  out.reserve(static_cast<size_t>(headerLen + length));
  AppendVarint(out, headerLen);
  for (uint64_t t : types) AppendVarint(out, t);
  out.append(reinterpret_cast<const char*>(bodies), static_cast<size_t>(length));
}

// The columns of a record kept as CarvedRow::record (header length, serial
// types, bodies), each with where its body lies; false when the bytes are
// no such record.
bool LayOutRecord(const std::string& record, std::vector<RecordColumn>& columns) {
  columns.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(record.data());
  const uint64_t size = record.size();
  auto varint = [&](uint64_t at, uint64_t end, uint64_t& v) -> uint32_t {
    if (at >= end) return 0;
    if (p[at] < 0x80) {
      v = p[at];
      return 1;
    }
    int b = static_cast<int>(std::min<uint64_t>(end - at, 9));
    v = ReadVarint(p + at, b);
    if (b < 9 && (p[at + static_cast<uint64_t>(b) - 1] & 0x80)) return 0;
    return static_cast<uint32_t>(b);
  };
  uint64_t headerLen = 0;
  const uint32_t h = varint(0, size, headerLen);
  if (h == 0 || headerLen < h || headerLen > size) return false;
  uint64_t pos = h, body = headerLen;
  while (pos < headerLen) {
    uint64_t t = 0;
    const uint32_t n = varint(pos, headerLen, t);
    if (n == 0) return false;
    pos += n;
    const uint64_t len = SerialTypeBodyLength(t);
    if (len > size - body) return false;
    RecordColumn& col = columns.emplace_back();
    col.serialType = t;
    col.body = p + body;
    col.length = static_cast<uint32_t>(len);
    col.present = true;
    body += len;
  }
  return true;
}

// The class of the value a serial type decodes to, in the order of
// SqlValue's alternatives: NULL, integer, real, text, blob.
int ValueClass(uint64_t t) {
  if (t == 0 || t == 10 || t == 11) return 0;
  if (t == 7) return 2;
  if (t <= 9) return 1;
  return (t & 1) ? 3 : 4;
}

// A big-endian two's-complement integer of 1 to 8 bytes; 8 and 9 are the
// integers 0 and 1.
int64_t IntegerValue(uint64_t t, const uint8_t* body, uint32_t length) {
  if (t == 8) return 0;
  if (t == 9) return 1;
  uint64_t raw = 0;
  for (uint32_t i = 0; i < length; ++i) raw = (raw << 8) | body[i];
  const uint32_t bits = length * 8;
  if (bits == 64 || bits == 0) return static_cast<int64_t>(raw);
  const uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((raw ^ sign) - sign);
}

// Whether two columns decode to the same value (reals by their bits, texts
// as the UTF-8 they give).
bool SameValue(const RecordColumn& a, const RecordColumn& b, TextEncoding encoding) {
  const int cls = ValueClass(a.serialType);
  if (cls != ValueClass(b.serialType)) return false;
  switch (cls) {
    case 0: return true;
    case 1: return IntegerValue(a.serialType, a.body, a.length) == IntegerValue(b.serialType, b.body, b.length);
    case 2: return std::memcmp(a.body, b.body, 8) == 0;
    case 3:
      if (encoding != TextEncoding::kUtf8) {
        const bool be = encoding == TextEncoding::kUtf16be;
        return Utf16ToUtf8(std::string_view(reinterpret_cast<const char*>(a.body), a.length), be) ==
               Utf16ToUtf8(std::string_view(reinterpret_cast<const char*>(b.body), b.length), be);
      }
      [[fallthrough]];
    default: return a.length == b.length && std::memcmp(a.body, b.body, a.length) == 0;
  }
}

// A hash of a run of bytes (texts of every live row and every live cell's
// record pass here): 32 bytes at a time in four independent lanes, so that
// the processor multiplies them side by side, then eight at a time.
uint64_t BytesHash(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ length;
  auto step = [](uint64_t lane, uint64_t word) {
    lane = (lane ^ word) * 0xBF58476D1CE4E5B9ULL;
    return lane ^ (lane >> 31);
  };
  if (length >= 32) {
    uint64_t a = h, b = h ^ 0x94D049BB133111EBULL, c = h ^ 0x2545F4914F6CDD1DULL, d = h ^ 0xD6E8FEB86659FD93ULL;
    for (; length >= 32; p += 32, length -= 32) {
      uint64_t w[4];
      std::memcpy(w, p, 32);
      a = step(a, w[0]);
      b = step(b, w[1]);
      c = step(c, w[2]);
      d = step(d, w[3]);
    }
    h = step(step(step(a, b), c), d);
  }
  for (; length >= 8; p += 8, length -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = step(h, word);
  }
  if (length > 0) {
    // The last 1 to 7 bytes, each of them in the word (the length is
    // mixed in already): two overlapping 4-byte reads, or three bytes.
    uint64_t word;
    if (length >= 4) {
      uint32_t first, last;
      std::memcpy(&first, p, 4);
      std::memcpy(&last, p + length - 4, 4);
      word = (uint64_t{first} << 32) | last;
    } else {
      word = (uint64_t{p[0]} << 16) | (uint64_t{p[length / 2]} << 8) | p[length - 1];
    }
    h = (h ^ word) * 0x94D049BB133111EBULL;
    h ^= h >> 29;
  }
  return h ^ (h >> 32);
}

// The word mixer of the row keys (RowMatchKey and the carver's own live-row
// keys): one multiply per word of a tagged form of the values, so that no
// two different value lists (an integer 0 and an empty text, "ab"+"c" and
// "a"+"bc") meet by construction.
struct KeyMix {
  uint64_t h = 14695981039346656037ULL;
  void operator()(uint64_t word) {
    h = (h ^ word) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  }
};

// Spreads 64-bit keys in place over 256 buckets by the byte at `shift`
// (each key swapped straight into its bucket); start[b] is where bucket b
// begins, start[256] the end.
template <class Key>
void SpreadByByte(Key* keys, size_t n, int shift, size_t (&start)[257]) {
  std::fill(std::begin(start), std::end(start), size_t{0});
  for (size_t i = 0; i < n; ++i) ++start[((static_cast<uint64_t>(keys[i]) >> shift) & 0xFF) + 1];
  for (int i = 1; i < 257; ++i) start[i] += start[i - 1];
  size_t fill[256];
  std::copy(start, start + 256, fill);
  for (size_t bucket = 0; bucket < 256; ++bucket) {
    while (fill[bucket] < start[bucket + 1]) {
      Key k = keys[fill[bucket]];
      size_t to = (static_cast<uint64_t>(k) >> shift) & 0xFF;
      while (to != bucket) {
        std::swap(k, keys[fill[to]++]);
        to = (static_cast<uint64_t>(k) >> shift) & 0xFF;
      }
      keys[fill[bucket]++] = k;
    }
  }
}

// Sorts 64-bit hashes in place, without a second list as large (there is
// one per live row of the file): spread over 256 buckets by their top byte,
// each large bucket again by the next byte, and what is left (a few keys,
// the hashes spread evenly) sorted on its own.
template <class Key>
void SortHashes(std::vector<Key>& keys) {
  static_assert(sizeof(Key) == 8);
  if (keys.size() < 4096) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  size_t start[257], inner[257];
  SpreadByByte(keys.data(), keys.size(), 56, start);
  for (size_t bucket = 0; bucket < 256; ++bucket) {
    Key* const first = keys.data() + start[bucket];
    const size_t n = start[bucket + 1] - start[bucket];
    if (n <= 64) {
      std::sort(first, first + n);
      continue;
    }
    SpreadByByte(first, n, 48, inner);
    for (size_t sub = 0; sub < 256; ++sub) std::sort(first + inner[sub], first + inner[sub + 1]);
  }
}

// A set of 64-bit hashes: collected in a list while the live rows are
// walked, sorted once, then looked up in the few keys that share the
// lookup's top bits (the hashes spread evenly: 8 to 16 a bucket).
// In front of it, a filter of 8 bits per hash (one bit set per hash, by
// its top bits) that answers most lookups of keys not in the set - deleted
// rows, mostly - from a table small enough to stay in the processor's cache.
class HashSet {
 public:
  void Insert(uint64_t h) { keys_.push_back(h); }
  void Seal() {
    SortHashes(keys_);
    Index();
  }
  // The set of keys already sorted.
  template <class Key>
  void SealSorted(const std::vector<Key>& sorted) {
    keys_.assign(sorted.begin(), sorted.end());
    Index();
  }

 private:
  void Index() {
    shift_ = 64;
    while (shift_ > 6 && (uint64_t{1} << (64 - shift_)) < keys_.size() * 8) --shift_;
    const uint64_t bits = shift_ >= 64 ? 1 : uint64_t{1} << (64 - shift_);
    filter_.assign(static_cast<size_t>((bits + 63) / 64), 0);
    for (uint64_t h : keys_) SetBit(h);
    // Buckets by the top bits, 8 to 16 keys each (keys_ is sorted): half a
    // byte of bucket starts per key at most.
    bucketShift_ = 64;
    while (bucketShift_ > 33 && (uint64_t{1} << (64 - bucketShift_)) * 16 < keys_.size()) --bucketShift_;
    const size_t buckets = bucketShift_ >= 64 ? 1 : size_t{1} << (64 - bucketShift_);
    start_.assign(buckets + 1, 0);
    for (uint64_t h : keys_) ++start_[Bucket(h) + 1];
    for (size_t b = 1; b <= buckets; ++b) start_[b] += start_[b - 1];
  }

 public:
  bool Contains(uint64_t h) const {
    if (keys_.empty()) return false;
    const uint64_t bit = shift_ >= 64 ? 0 : h >> shift_;
    if (!(filter_[bit >> 6] & (uint64_t{1} << (bit & 63)))) return false;
    const size_t b = Bucket(h);
    for (size_t i = start_[b]; i < start_[b + 1]; ++i) {
      if (keys_[i] >= h) return keys_[i] == h;
    }
    return false;
  }

 private:
  size_t Bucket(uint64_t h) const { return bucketShift_ >= 64 ? 0 : static_cast<size_t>(h >> bucketShift_); }
  void SetBit(uint64_t h) {
    const uint64_t bit = shift_ >= 64 ? 0 : h >> shift_;
    filter_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  std::vector<uint64_t> keys_;
  std::vector<uint64_t> filter_;
  std::vector<uint32_t> start_;  // where each bucket of keys_ begins
  int shift_ = 64;
  int bucketShift_ = 64;
};

struct ColumnRule {
  Affinity affinity = Affinity::kBlob;
  bool notNull = false;
  bool alias = false;
  // TypeAllowed and TypeExpected of the rule, one bit per TypeClass, for the
  // search of headers (a lookup per serial type read); set by SettleRule.
  uint16_t allowed = 0, expected = 0;
};

// Serial types by what the column rules tell apart: 0 to 11 each its own,
// then blobs (even from 12) and texts (odd from 13).
inline uint32_t TypeClass(uint64_t t) { return t < 12 ? static_cast<uint32_t>(t) : 12 + static_cast<uint32_t>(t & 1); }

// Which bytes can begin a record header of a shape (most bytes of free
// space are turned away by two lookups): by the first byte, a header length
// of one byte that counts the shape's serial types (n + 1 to 9n + 1), or the
// first byte of a two-byte one that can; and the byte that follows the
// header length, as the start of column 0's serial type (a byte with the
// high bit set begins a longer varint: any type). Kept as bit masks, so that
// one lookup answers for several shapes at once: bit i for shape i, bit 63
// for every shape from the 64th on.
struct StartMasks {
  uint64_t one[128] = {};  // by a one-byte header length
  uint64_t two[128] = {};  // by the low 7 bits of the first byte of a two-byte one
  uint64_t first[256] = {};
  // The one-byte header lengths of any shape lie in [low, high] (low 0: no
  // shape has one).
  uint32_t low = 0, high = 0;
  // The shapes that may begin at p (p + 2 < the region's end): necessary
  // conditions of what HeaderLengthFits and Intact test in full.
  uint64_t At(const uint8_t* page, uint32_t p) const {
    const uint8_t b = page[p];
    if (b < 0x80) return one[b] & first[page[p + 1]];
    if (page[p + 1] & 0x80) return 0;
    return two[b & 0x7F] & first[page[p + 2]];
  }
  void Add(const StartMasks& shape, int bit) {
    if (shape.low != 0) {
      low = low == 0 ? shape.low : std::min(low, shape.low);
      high = std::max(high, shape.high);
    }
    const uint64_t m = uint64_t{1} << std::min(bit, 63);
    for (int b = 0; b < 128; ++b) {
      if (shape.one[b]) one[b] |= m;
      if (shape.two[b]) two[b] |= m;
    }
    for (int b = 0; b < 256; ++b) {
      if (shape.first[b]) first[b] |= m;
    }
  }
};

// A table as the carver checks records against it.
struct Shape {
  int table = -1;  // -1: no schema (records of dropped tables)
  int dropped = -1;  // a dropped table whose CREATE statement survives: its index among them
  std::vector<ColumnRule> columns;
  int alias = -1;
  // Every column but the rowid alias has an integer, real or text type:
  // each serial type read is checked against one.
  bool typedBesideAlias = false;
  // Most columns have no declared type (a full-text search table): any
  // serial type fits them, so a run of serial types read anywhere in a
  // record's bytes fits too.
  bool mostlyUntyped = false;
  StartMasks starts;  // where a record of this shape may begin (bit 0)
  int Count() const { return static_cast<int>(columns.size()); }
};

bool TypeAllowed(const ColumnRule& rule, uint64_t t);

void FillStartTables(Shape& shape) {
  const uint64_t n = shape.columns.size();
  if (n == 0) return;
  StartMasks& m = shape.starts;
  for (uint64_t b = 0; b < 128; ++b) {
    m.one[b] = b >= n + 1 && b <= 9 * n + 1;
    // Two-byte lengths from b << 7 to (b << 7) + 127, of which n + 2 to
    // 9n + 2 fit.
    m.two[b] = (b << 7) + 127 >= n + 2 && (b << 7) <= 9 * n + 2;
  }
  for (uint64_t b = 0; b < 256; ++b) m.first[b] = b >= 0x80 || TypeAllowed(shape.columns[0], b);
  for (uint32_t b = 1; b < 128; ++b) {
    if (!m.one[b]) continue;
    if (m.low == 0) m.low = b;
    m.high = b;
  }
}

bool TypeAllowed(const ColumnRule& rule, uint64_t t) {
  if (t == 10 || t == 11) return false;
  if (rule.alias) return t == 0;
  if (t == 0) return !rule.notNull;
  switch (rule.affinity) {
    case Affinity::kInteger:
    case Affinity::kReal: return t <= 9;  // a text or blob there would have been converted, or is rare
    case Affinity::kText: return t >= 12 || t == 0;
    case Affinity::kBlob:
    case Affinity::kNumeric: return true;
  }
  return true;
}

// The stricter rule for records without the cell header in front (found
// with less evidence): an integer column holds no real, a text column no
// blob. Writers store those there only by exception.
bool TypeExpected(const ColumnRule& rule, uint64_t t) {
  if (!TypeAllowed(rule, t)) return false;
  if (t == 0) return true;
  if (rule.affinity == Affinity::kInteger) return t != 7;
  if (rule.affinity == Affinity::kText) return t >= 13 && (t & 1);
  return true;
}

// Fills the rule's lookups of TypeAllowed and TypeExpected (both take the
// same answer for every type of a class: 12 and 14 alike, 13 and 15 alike).
void SettleRule(ColumnRule& rule) {
  rule.allowed = rule.expected = 0;
  for (uint64_t t = 0; t < 14; ++t) {
    if (TypeAllowed(rule, t)) rule.allowed |= static_cast<uint16_t>(1u << TypeClass(t));
    if (TypeExpected(rule, t)) rule.expected |= static_cast<uint16_t>(1u << TypeClass(t));
  }
}

// The rows reported so far by their key hash (rows whose keys share a hash
// each keep a place): open addressing, no allocation per row.
class RowsByKey {
 public:
  // Calls found(index) for each row of hash h until it returns true.
  template <class Found>
  bool Find(uint64_t h, const Found& found) const {
    if (slots_.empty()) return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Slot(h, mask); slots_[i].row != kEmpty; i = (i + 1) & mask) {
      if (slots_[i].hash == h && found(slots_[i].row)) return true;
    }
    return false;
  }
  void Add(uint64_t h, size_t row) {
    if ((count_ + 1) * 2 > slots_.size()) {
      std::vector<Entry> old(std::max<size_t>(1024, slots_.size() * 2));
      old.swap(slots_);
      for (const Entry& e : old) {
        if (e.row != kEmpty) Place(e);
      }
    }
    Place({h, row});
    ++count_;
  }

 private:
  static constexpr size_t kEmpty = SIZE_MAX;
  struct Entry {
    uint64_t hash = 0;
    size_t row = kEmpty;
  };
  static size_t Slot(uint64_t h, size_t mask) { return static_cast<size_t>((h * 0x9E3779B97F4A7C15ULL) >> 17) & mask; }
  void Place(const Entry& e) {
    const size_t mask = slots_.size() - 1;
    size_t i = Slot(e.hash, mask);
    while (slots_[i].row != kEmpty) i = (i + 1) & mask;
    slots_[i] = e;
  }
  std::vector<Entry> slots_;
  size_t count_ = 0;
};

// A record found (or rebuilt) on a page.
struct Candidate {
  uint32_t start = 0, end = 0;  // extent on the page (cell start when known)
  int score = 0;
  int table = -1;
  int dropped = -1;  // Shape::dropped of the shape it was read by
  bool hasRowid = false;
  int64_t rowid = 0;
  bool reconstructed = false;
  bool ambiguous = false;  // rebuilt, but column 0's value (NULL, 0, 1 or '') went with its serial type
  size_t recordHash = 0;  // of the local record bytes (intact records)
  std::string record;     // header length, serial types, bodies (see CarvedRow)
};

// Where records of a region of a page end (a set of page offsets): one bit
// per offset, cleared again by the offsets set.
class Boundaries {
 public:
  void Clear(uint32_t size) {
    for (uint32_t at : set_) bits_[at >> 6] = 0;
    set_.clear();
    if (bits_.size() * 64 < size) bits_.assign((size + 63) / 64, 0);
  }
  void Insert(uint32_t at) {
    if (at >= bits_.size() * 64) return;
    bits_[at >> 6] |= uint64_t{1} << (at & 63);
    set_.push_back(at);
  }
  bool Contains(uint32_t at) const { return at < bits_.size() * 64 && ((bits_[at >> 6] >> (at & 63)) & 1); }

 private:
  std::vector<uint64_t> bits_;
  std::vector<uint32_t> set_;
};

// What the search of one page found, each with where on the page it lay, in
// the order they are reported.
using PageFinds = std::vector<std::pair<Candidate, RowSource>>;

// The work areas of the search of a page, one set per thread that searches.
struct SearchScratch {
  std::vector<uint8_t> page;       // an overflow page
  std::vector<uint8_t> assembled;  // a payload assembled from its overflow pages
  std::vector<uint8_t> rebuilt;    // the local part of a rebuilt record
  std::vector<uint64_t> types;     // the serial types of the record being tried
  std::vector<uint64_t> readingTypes;
  std::vector<RecordColumn> columns;  // of a record found
  bool overflowAsked = false;  // a record tried continued on overflow pages
  // The search of one page (SearchPage).
  std::vector<std::pair<uint32_t, uint32_t>> regions, blocks, used, byLink, taken;
  std::vector<uint32_t> stale, headers, rebuiltStarts;
  std::vector<uint32_t> shapeStarts, plainStarts;
  std::vector<size_t> shapeFrom, plainFrom;
  std::vector<const Shape*> shapes;
  std::vector<size_t> fits;
  std::vector<double> likelihood;
  std::vector<Candidate> local, found;
  Boundaries boundaries;
};
SearchScratch& Scratch() {
  thread_local SearchScratch scratch;
  return scratch;
}

// A page of a table as the walk hands it to the work beside it: its bytes,
// its live cells, and whether (and as whose) its free space is searched.
struct PageJob {
  struct Cell {
    uint32_t start = 0;   // of the cell
    uint32_t record = 0;  // of its record
    uint32_t local = 0;   // the record's bytes on the page
    bool spills = false;  // the record continues on overflow pages
  };
  uint32_t index = 0;
  int table = -1;  // whose live rows' keys are taken; -1: none (an interior page)
  bool search = false;
  int owner = -1;
  uint32_t arrayStart = 0;
  std::vector<uint8_t> page;
  std::vector<Cell> cells;
  std::vector<std::pair<uint32_t, uint32_t>> extents;  // its live cells', taken from the carver's map
};

// What a page searched during the walk found.
struct SearchedPage {
  uint32_t index = 0;
  int32_t code = 0;
  std::vector<std::pair<Candidate, RowSource>> finds;
};

// What one thread's part of the work beside the walk found: the keys of a
// page's live rows until they join the carver's sets, the pages searched
// until the walk has ended (in no order that matters: the keys are sorted,
// the pages each found once).
struct WalkOutput {
  ParsedRecord record;
  std::string wideText;
  std::vector<uint64_t> liveRecords;
  std::vector<std::vector<size_t>> keys, matchKeys;  // by table
  std::vector<SearchedPage> searched;
  // The live cells' extents of the pages not searched here, given back.
  std::vector<std::pair<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>>> extents;
};

// The pages handed from the walk to the thread beside it.
struct PageJobs {
  static constexpr size_t kBatch = 32;
  static constexpr size_t kWaiting = 96;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::unique_ptr<PageJob>> queue;
  std::vector<std::unique_ptr<PageJob>> spare;
  bool done = false;
  bool sleeping = false;  // the thread beside the walk waits for pages
};

class Carver {
 public:
  Carver(CDbFileReader& reader, const std::vector<CarveTable>& tables, std::vector<CarvedRow>& out,
         CarveStats& stats)
      : r_(reader), tables_(tables), out_(out), stats_(stats), visited_(reader.PageCount()) {
    u_ = reader.usableSize;
    pages_ = reader.PageCount();
    maxLocal_ = u_ - 35;
    minLocal_ = (u_ - 12) * 32 / 255 - 23;
    for (size_t i = 0; i < tables.size(); ++i) {
      const TableSchema& s = tables[i].schema;
      if (s.withoutRowid || s.columnCount <= 0) continue;
      shapes_.push_back(MakeShape(s, static_cast<int>(i)));
    }
    liveKeys_.resize(tables.size());
  }

  // Also collects the match keys (RowMatchKey) of every live row, by table.
  // The dropped tables whose CREATE statement survives, filled by Run
  // (CarvedRow::droppedTable indexes them).
  // `pages`, when given, gets the pages found to be such a table's
  // (page index -> its index among them).
  void KeepDroppedTables(std::vector<CarveTable>& tables, std::unordered_map<uint32_t, int>* pages = nullptr) {
    droppedTablesOut_ = &tables;
    droppedPagesOut_ = pages;
  }

  void KeepLiveMatchKeys(std::vector<std::vector<size_t>>& keys) {
    liveMatchKeys_ = &keys;
    keys.assign(tables_.size(), {});
  }

  static Shape MakeShape(const TableSchema& s, int table) {
    Shape shape;
    shape.table = table;
    shape.alias = s.rowidAliasColumn;
    for (int c = 0; c < s.columnCount; ++c) {
      ColumnRule rule;
      rule.affinity = c < static_cast<int>(s.declaredTypes.size()) ? AffinityOf(s.declaredTypes[c]) : Affinity::kBlob;
      rule.notNull = c < static_cast<int>(s.notNull.size()) && s.notNull[c];
      rule.alias = c == s.rowidAliasColumn;
      SettleRule(rule);
      shape.columns.push_back(rule);
    }
    shape.typedBesideAlias = std::all_of(shape.columns.begin(), shape.columns.end(), [](const ColumnRule& rule) {
      return rule.alias || rule.affinity == Affinity::kInteger || rule.affinity == Affinity::kReal ||
             rule.affinity == Affinity::kText;
    });
    int typed = 0, others = 0;
    for (int c = 0; c < s.columnCount; ++c) {
      if (c == s.rowidAliasColumn) continue;
      ++others;
      typed += c < static_cast<int>(s.declaredTypes.size()) && !s.declaredTypes[c].empty();
    }
    shape.mostlyUntyped = typed * 2 < others;
    FillStartTables(shape);
    return shape;
  }

  Status Run() {
    if (u_ < 480 || pages_ == 0) return status::kBadData;
    owner_.assign(static_cast<size_t>(pages_), kOwnerUnknown);
    searchedAs_.assign(static_cast<size_t>(pages_), 0);
    walkPage_.resize(r_.pageSize);
    WalkAllTrees();
    liveRecords_.Seal();
    if (liveMatchKeys_) {
      for (auto& keys : *liveMatchKeys_) SortHashes(keys);
    }
    for (size_t t = 0; t < liveKeys_.size(); ++t) {
      if (SameKeys(static_cast<int>(t))) {
        liveKeys_[t].SealSorted((*liveMatchKeys_)[t]);
      } else {
        liveKeys_[t].Seal();
      }
    }
    WalkFreeList();
    TraceDroppedTables();
    if (droppedTablesOut_) *droppedTablesOut_ = droppedTables_;
    if (droppedPagesOut_) {
      for (const auto& [index, shape] : droppedShapeOf_) {
        if (shape >= 0) (*droppedPagesOut_)[index] = shape;
      }
    }
    for (const Shape& shape : shapes_) allShapes_.push_back(&shape);
    for (const Shape& shape : droppedShapes_) allShapes_.push_back(&shape);
    for (size_t i = 0; i < allShapes_.size(); ++i) allStarts_.Add(allShapes_[i]->starts, static_cast<int>(i));
    SearchAllPages();
    // The calling thread's work areas may have grown with a long payload.
    Scratch() = SearchScratch{};
    return status::kOk;
  }

 private:
  // --- inventory of the live pages ---

  uint32_t LocalSize(uint64_t payload, bool index) const {
    const uint64_t maxLocal = index ? (u_ - 12) * 64 / 255 - 23 : maxLocal_;
    if (payload <= maxLocal) return static_cast<uint32_t>(payload);
    const uint64_t k = minLocal_ + (payload - minLocal_) % (u_ - 4);
    return static_cast<uint32_t>(k <= maxLocal ? k : minLocal_);
  }

  // The pages of an overflow chain holding `spill` bytes of a payload. The
  // last page holds what is left of them; the bytes after are unused and
  // keep whatever the page held before (a leaf of a table, mostly, whose
  // cells sit at the end of the page): that tail is searched like a gap.
  void MarkOverflow(uint32_t first, uint64_t spill) {
    uint32_t next = first;
    uint64_t left = spill;
    for (uint64_t steps = 0; next != 0 && next <= pages_ && steps < pages_; ++steps) {
      const bool last = left <= u_ - 4;
      if (last && owner_[next - 1] == kOwnerUnknown) {
        owner_[next - 1] = kOwnerSpillEnd;
        spillUsed_[next - 1] = static_cast<uint32_t>(4 + left);
      } else {
        owner_[next - 1] = kOwnerOther;
      }
      if (last) return;
      left -= u_ - 4;
      if (r_.ReadPage(next - 1, walkPage_.data()) != status::kOk) return;
      next = Be32(walkPage_.data());
    }
  }

  static size_t RecordHash(const uint8_t* bytes, uint32_t length) {
    return static_cast<size_t>(BytesHash(bytes, length));
  }

  // A hash of the values of a record laid out in `columns` but the one at
  // `skip` (the carver's key of a row): the tagged form of RowMatchKey,
  // texts and blobs hashed a word at a time; each value mixed as the value
  // it decodes to (see MixColumn), and so the key of the values it gives.
  size_t KeyHashOf(const std::vector<RecordColumn>& columns, int skip, std::string& wideText) const {
    KeyMix key;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (static_cast<int>(i) == skip) continue;
      MixColumn(columns[i].serialType, columns[i].body, columns[i].length, &key, nullptr, wideText);
    }
    return static_cast<size_t>(key.h);
  }

  // Whether two records are the same row: every value but the one at
  // `skip` of the same type and the same value (reals by their bits).
  bool SameValues(const std::vector<RecordColumn>& a, const std::vector<RecordColumn>& b, int skip) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (static_cast<int>(i) == skip) continue;
      if (!SameValue(a[i], b[i], r_.encoding)) return false;
    }
    return true;
  }

  // A big-endian two's-complement integer of 1 to 8 bytes.
  static int64_t IntegerBody(const uint8_t* body, uint32_t length) {
    uint64_t raw = 0;
    for (uint32_t i = 0; i < length; ++i) raw = (raw << 8) | body[i];
    const uint32_t bits = length * 8;
    if (bits == 64) return static_cast<int64_t>(raw);
    const uint64_t sign = uint64_t{1} << (bits - 1);
    return static_cast<int64_t>((raw ^ sign) - sign);
  }

  SqlValue Decode(uint64_t t, const uint8_t* body, uint32_t length) const {
    return DecodeValue(t, body, length, r_.encoding);
  }

  // A text body that a writer could have stored: valid in the database's
  // encoding and without zero characters.
  bool TextPlausible(const uint8_t* body, uint32_t length) const {
    if (r_.encoding == TextEncoding::kUtf8) {
      // Fast path: plain ASCII without zeros, eight bytes at a time.
      constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
      uint32_t i = 0;
      for (; i + 8 <= length; i += 8) {
        const uint64_t w = Load64(body + i);
        // A byte with its high bit set, or a zero byte.
        if ((w | ((w - kOnes) & ~w)) & kHigh) break;
      }
      for (; i < length; ++i) {
        if (body[i] == 0 || body[i] >= 0x80) break;
      }
      if (i == length) return true;
      if (std::memchr(body, 0, length)) return false;
      const std::string_view raw(reinterpret_cast<const char*>(body), length);
      return ValidUtf8(raw) == raw;
    }
    if (length % 2) return false;
    const bool be = r_.encoding == TextEncoding::kUtf16be;
    // Text read one byte off its start shows units whose low byte is zero
    // (the high byte of the unit before): most Latin text that way.
    uint32_t shifted = 0;
    for (uint32_t i = 0; i < length; i += 2) {
      const uint32_t unit = be ? (uint32_t{body[i]} << 8) | body[i + 1] : (uint32_t{body[i + 1]} << 8) | body[i];
      if (unit == 0) return false;
      if ((unit & 0xFF) == 0) ++shifted;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (i + 3 >= length) return false;
        const uint32_t low =
            be ? (uint32_t{body[i + 2]} << 8) | body[i + 3] : (uint32_t{body[i + 3]} << 8) | body[i + 2];
        if (low < 0xDC00 || low > 0xDFFF) return false;
        i += 2;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return false;
      }
    }
    return length < 4 || shifted * 4 < length;  // fewer than half of the units
  }

  bool BodyPlausible(uint64_t t, const uint8_t* body, uint32_t length) const {
    if (t == 7) {
      uint64_t raw = 0;
      for (int i = 0; i < 8; ++i) raw = (raw << 8) | body[i];
      double d;
      std::memcpy(&d, &raw, sizeof d);
      // NaN is stored as NULL; subnormal and far-out magnitudes are what
      // other bytes read as reals give, not what writers store.
      const double m = std::fabs(d);
      return !std::isnan(d) && (d == 0 || std::isinf(d) || (m >= 1e-300 && m <= 1e300));
    }
    if (t >= 13 && (t & 1)) return TextPlausible(body, length);
    return true;
  }

  // Mixes one value of a record as KeyHashOf and RowMatchKey mix the value
  // it decodes to, into `a` and (when given) `b`, without building it.
  // MixColumn with NULLs and integers (most columns of most rows) mixed in
  // place, without the call.
  [[gnu::always_inline]] inline void MixColumnQuick(uint64_t t, const uint8_t* body, uint32_t length, KeyMix* a,
                                                    KeyMix* b, std::string& wideText) const {
    if (t == 0 || t == 10 || t == 11) {
      (*a)('n');
      if (b) (*b)('n');
    } else if (t <= 6) {
      const uint64_t value = static_cast<uint64_t>(IntegerBody(body, length));
      (*a)('i');
      (*a)(value);
      if (b) {
        (*b)('i');
        (*b)(value);
      }
    } else {
      MixColumn(t, body, length, a, b, wideText);
    }
  }
  void MixColumn(uint64_t t, const uint8_t* body, uint32_t length, KeyMix* a, KeyMix* b, std::string& wideText) const {
    if (b) {
      MixInto<true>(t, body, length, *a, *b, wideText);
    } else {
      MixInto<false>(t, body, length, *a, *a, wideText);
    }
  }
  // The same into `a`, and into `b` too when kTwo: every column of every
  // live row passes here, each word mixed where it is read.
  template <bool kTwo>
  [[gnu::always_inline]] inline void MixInto(uint64_t t, const uint8_t* body, uint32_t length, KeyMix& a, KeyMix& b,
                                             std::string& wideText) const {
    auto mix = [&](uint64_t word) [[gnu::always_inline]] {
      a(word);
      if constexpr (kTwo) b(word);
    };
    if (t == 0 || t == 10 || t == 11) {
      mix('n');
    } else if (t <= 9 && t != 7) {
      mix('i');
      mix(t == 8 ? 0 : t == 9 ? 1 : static_cast<uint64_t>(IntegerBody(body, length)));
    } else if (t == 7) {
      uint64_t raw = 0;
      for (int i = 0; i < 8; ++i) raw = (raw << 8) | body[i];
      mix('r');
      mix(raw);
    } else {
      std::string_view bytes(reinterpret_cast<const char*>(body), length);
      const bool text = t & 1;
      if (text && r_.encoding != TextEncoding::kUtf8) {
        wideText = Utf16ToUtf8(bytes, r_.encoding == TextEncoding::kUtf16be);
        bytes = wideText;
      }
      mix(text ? 't' : 'b');
      mix(bytes.size());
      mix(BytesHash(bytes.data(), bytes.size()));
    }
  }

  // The keys of a live row of `table` (its record in out.record): the
  // carver's own (every column but the rowid alias) and, when kept,
  // RowMatchKey's.
  void KeepLiveKeys(int table, WalkOutput& out) const {
    const TableSchema& schema = tables_[table].schema;
    const ParsedRecord& record = out.record;
    const int count = std::max(record.ColumnCount(), schema.columnCount);
    KeyMix key, match;
    // With the rowid alias in column 0 both keys leave out the same columns
    // and are the same: it is taken once.
    const bool same = SameKeys(table);
    KeyMix* matchMix = liveMatchKeys_ && !same ? &match : nullptr;
    for (int c = 0; c < count; ++c) {
      if (c == schema.rowidAliasColumn) continue;
      KeyMix* second = c >= 1 ? matchMix : nullptr;
      if (c < record.ColumnCount()) {
        const RecordColumn& col = record.columns[c];
        MixColumnQuick(col.serialType, col.body, col.length, &key, second, out.wideText);
      } else {
        MixColumn(0, nullptr, 0, &key, second, out.wideText);
      }
    }
    KeepKeys(table, same, key, match, out);
  }
  void KeepKeys(int table, bool same, const KeyMix& key, const KeyMix& match, WalkOutput& out) const {
    if (same) {
      out.matchKeys[table].push_back(static_cast<size_t>(key.h));
      return;
    }
    out.keys[table].push_back(static_cast<size_t>(key.h));
    if (liveMatchKeys_) out.matchKeys[table].push_back(static_cast<size_t>(match.h));
  }

  // The same keys of a live record held whole on its page (`length` bytes
  // at `data`), read in place: the serial types as ParseLiveRecord lays
  // them out, each value mixed as it is read (most live rows pass here). No
  // keys for a record that one does not read either.
  void KeepLiveKeysInPlace(int table, const uint8_t* data, uint32_t length, WalkOutput& out) const {
    int h = static_cast<int>(std::min<uint32_t>(length, 9));
    const uint64_t headerLen = ReadVarint(data, h);
    if (headerLen < static_cast<uint64_t>(h) || headerLen > length) return;
    const uint8_t* types = data + h;
    const uint32_t typeBytes = static_cast<uint32_t>(headerLen) - static_cast<uint32_t>(h);
    const uint8_t* bodies = data + headerLen;
    const uint64_t bodyBound = length - headerLen;
    const TableSchema& schema = tables_[table].schema;
    const bool same = SameKeys(table);
    KeyMix key, match;
    KeyMix* matchMix = liveMatchKeys_ && !same ? &match : nullptr;
    uint32_t pos = 0;
    uint64_t bodyPos = 0;
    int c = 0;
    for (; pos < typeBytes; ++c) {
      uint64_t type;
      if (types[pos] < 0x80) {
        type = types[pos++];
      } else {
        int b = static_cast<int>(typeBytes - pos);
        type = ReadVarint(types + pos, b);
        pos += static_cast<uint32_t>(b);
      }
      const uint64_t len = BodyLength(type);
      if (len > bodyBound - bodyPos) return;
      if (c != schema.rowidAliasColumn) {
        MixColumnQuick(type, bodies + bodyPos, static_cast<uint32_t>(len), &key, c >= 1 ? matchMix : nullptr,
                       out.wideText);
      }
      bodyPos += len;
    }
    for (; c < schema.columnCount; ++c) {
      if (c != schema.rowidAliasColumn) MixColumn(0, nullptr, 0, &key, c >= 1 ? matchMix : nullptr, out.wideText);
    }
    KeepKeys(table, same, key, match, out);
  }
  // Whether the carver's key of a table's live rows is RowMatchKey's, kept
  // once in the match keys (see KeepLiveKeys).
  bool SameKeys(int table) const { return liveMatchKeys_ && tables_[table].schema.rowidAliasColumn == 0; }

  // The work on a page of a table that needs nothing the rest of the walk
  // finds: the keys of its live rows and the search of its free space.
  // It is done beside the walk (see PageJobs), the page's bytes copied.
  void DoPageJob(PageJob& job, WalkOutput& out) {
    const uint8_t* page = job.page.data();
    for (const PageJob::Cell& cell : job.cells) {
      out.liveRecords.push_back(RecordHash(page + cell.record, cell.local));
      if (job.table < 0) continue;
      if (!cell.spills && cell.local > 0) {
        KeepLiveKeysInPlace(job.table, page + cell.record, cell.local, out);
        continue;
      }
      RowInput in;
      in.record = page + cell.start;
      in.bytesToEnd = u_ - cell.start;
      in.pageIndex = job.index;
      in.offset = cell.start;
      if (ParseLiveRecord(r_, in, out.record) != status::kOk) continue;
      KeepLiveKeys(job.table, out);
    }
    KeepPageKeys(job.table, out);
    // Its finds wait for the live rows of every table (see Emit). A page
    // whose records continue on overflow pages is searched again at the
    // end, when the free list tells which pages those may be: its extents
    // go back to the carver's map, as do those of a page not searched.
    // Those of the others are not needed again: the page can only stay the
    // table's or become no table's (an overflow page of another cell).
    if (job.search) {
      SearchScratch& k = Scratch();
      k.overflowAsked = false;
      PageFinds finds;
      SearchPage(job.index, page, job.owner, job.arrayStart, finds, &job.extents);
      if (!k.overflowAsked) {
        out.searched.push_back({job.index, SearchCode(job.owner, job.arrayStart), std::move(finds)});
        return;
      }
    }
    out.extents.emplace_back(job.index, std::move(job.extents));
  }

  // The keys a page gave, into the carver's sets (each thread's collected a
  // page at a time: held apart until the walk's end, they would double the
  // memory of the keys of a large file's rows).
  void KeepPageKeys(int table, WalkOutput& out) {
    std::lock_guard<std::mutex> lock(keysMutex_);
    for (uint64_t h : out.liveRecords) liveRecords_.Insert(h);
    out.liveRecords.clear();
    if (table < 0) return;
    for (size_t h : out.keys[table]) liveKeys_[table].Insert(h);
    out.keys[table].clear();
    if (liveMatchKeys_) {
      std::vector<size_t>& keys = (*liveMatchKeys_)[table];
      keys.insert(keys.end(), out.matchKeys[table].begin(), out.matchKeys[table].end());
      out.matchKeys[table].clear();
    }
  }

  // Hands a page to the thread beside the walk, a batch at a time (each
  // handing over costs more than a page's work when done one by one);
  // while that thread has many waiting, the walk does the oldest itself (so
  // the waiting pages stay few, and with one processor the walk does them
  // all).
  void Submit(std::unique_ptr<PageJob> job) {
    batch_.push_back(std::move(job));
    if (batch_.size() >= PageJobs::kBatch) HandOver();
  }
  void HandOver() {
    std::vector<std::unique_ptr<PageJob>> own;
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(jobs_.mutex);
      for (auto& job : batch_) jobs_.queue.push_back(std::move(job));
      while (jobs_.queue.size() > PageJobs::kWaiting) {
        own.push_back(std::move(jobs_.queue.front()));
        jobs_.queue.pop_front();
      }
      wake = jobs_.sleeping;
    }
    batch_.clear();
    if (wake) jobs_.ready.notify_one();
    for (auto& job : own) DoPageJob(*job, *walkOutput_[0]);
    Recycle(own);
  }
  std::unique_ptr<PageJob> NewJob() {
    if (spare_.empty()) {
      std::lock_guard<std::mutex> lock(jobs_.mutex);
      spare_.swap(jobs_.spare);
    }
    if (spare_.empty()) return std::make_unique<PageJob>();
    std::unique_ptr<PageJob> job = std::move(spare_.back());
    spare_.pop_back();
    return job;
  }
  void Recycle(std::vector<std::unique_ptr<PageJob>>& jobs) {
    if (jobs.empty()) return;
    std::lock_guard<std::mutex> lock(jobs_.mutex);
    for (auto& job : jobs) {
      job->cells.clear();
      jobs_.spare.push_back(std::move(job));
    }
    jobs.clear();
  }
  // The pages handed over, done on `out` until the walk has ended and none
  // is left (`last`: the walk's own thread, which ends them).
  void DoPageJobs(WalkOutput& out, bool last) {
    std::vector<std::unique_ptr<PageJob>> taken;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(jobs_.mutex);
        for (auto& job : taken) {
          job->cells.clear();
          jobs_.spare.push_back(std::move(job));
        }
        taken.clear();
        if (!last) {
          jobs_.sleeping = true;
          jobs_.ready.wait(lock, [&] { return !jobs_.queue.empty() || jobs_.done; });
          jobs_.sleeping = false;
        }
        if (jobs_.queue.empty()) {
          if (last) {
            jobs_.done = true;
            jobs_.ready.notify_all();
          }
          return;
        }
        while (!jobs_.queue.empty() && taken.size() < PageJobs::kBatch) {
          taken.push_back(std::move(jobs_.queue.front()));
          jobs_.queue.pop_front();
        }
      }
      for (auto& job : taken) DoPageJob(*job, out);
    }
  }

  // The bytes of a page at `depth` of a walk: each level keeps its own while
  // the levels below it are walked.
  uint8_t* DepthBuffer(int depth) {
    if (depthPages_.size() <= static_cast<size_t>(depth)) depthPages_.resize(static_cast<size_t>(depth) + 1);
    std::vector<uint8_t>& buffer = depthPages_[static_cast<size_t>(depth)];
    if (buffer.size() != r_.pageSize) buffer.assign(r_.pageSize, 0);
    return buffer.data();
  }

  void Walk(uint32_t index, int table, bool schema, int depth) {
    if (index >= pages_ || depth > kMaxDepth || !visited_.Insert(index)) return;
    uint8_t* const page = DepthBuffer(depth);
    if (r_.ReadPage(index, page) != status::kOk) return;
    const uint32_t hdr = index == 0 ? 100u : 0u;
    const uint8_t type = page[hdr];
    if (type != 2 && type != 5 && type != 10 && type != 13) return;
    owner_[index] = type == 13 && table >= 0 ? table : kOwnerOther;
    if (type == 5 && table >= 0) interiorOf_[index] = table;
    const bool interior = type == 2 || type == 5;
    const uint32_t count = Be16(page + hdr + 3);
    const uint32_t array = hdr + (interior ? 12u : 8u);
    std::vector<std::pair<uint32_t, uint32_t>>* extents = nullptr;
    if ((type == 13 || type == 5) && (table >= 0 || schema)) extents = &liveExtents_[index];
    // A page of a table: the keys of its live rows and the search of its
    // free space are done beside the walk, on a copy of its bytes.
    std::unique_ptr<PageJob> job;
    if (table >= 0 && (type == 13 || type == 5)) {
      job = NewJob();
      job->index = index;
      job->table = type == 13 ? table : -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t slot = array + 2 * i;
      if (slot + 2 > u_) break;
      const uint32_t off = Be16(page + slot);
      if (off < array || off >= u_) continue;
      if (interior) {
        if (off + 4 > u_) continue;
        if (extents) {
          int k = static_cast<int>(std::min<uint32_t>(u_ - off - 4, 9));
          ReadVarint(page + off + 4, k);
          extents->emplace_back(off, off + 4 + static_cast<uint32_t>(std::max(k, 0)));
        }
        Walk(Be32(page + off) - 1, table, schema, depth + 1);
        if (type == 2) {
          int b = static_cast<int>(u_ - off - 4);
          const uint64_t payload = ReadVarint(page + off + 4, b);
          const uint32_t local = LocalSize(payload, true);
          if (payload > local && off + 4 + b + local + 4 <= u_) {
            MarkOverflow(Be32(page + off + 4 + b + local), payload - local);
          }
        }
        continue;
      }
      int a = static_cast<int>(u_ - off);
      const uint64_t payload = Varint(page + off, a);
      uint32_t pos = off + static_cast<uint32_t>(a);
      if (type == 13) {
        int b = static_cast<int>(u_ - std::min(pos, u_));
        Varint(page + pos, b);
        pos += static_cast<uint32_t>(b);
      }
      const uint32_t local = LocalSize(payload, type == 10);
      const bool spills = payload > local;
      const uint64_t end = uint64_t{pos} + local + (spills ? 4 : 0);
      if (end > u_) continue;
      if (spills) MarkOverflow(Be32(page + pos + local), payload - local);
      if (extents) extents->emplace_back(off, static_cast<uint32_t>(end));
      if (job) {
        job->cells.push_back({off, pos, local, spills});
        continue;
      }
      // (Into the walk's own thread's keys: the thread beside it adds to
      // the carver's sets meanwhile.)
      walkOutput_[0]->liveRecords.push_back(RecordHash(page + pos, local));
      if (type != 13 || (table < 0 && !schema)) continue;
      RowInput in;
      in.record = page + off;
      in.bytesToEnd = u_ - off;
      in.pageIndex = index;
      in.offset = off;
      if (ParseLiveRecord(r_, in, record_) != status::kOk || !schema) continue;
      std::vector<SqlValue> values;
      for (int c = 0; c < record_.ColumnCount(); ++c) {
        const RecordColumn& col = record_.columns[c];
        values.push_back(Decode(col.serialType, col.body, col.length));
      }
      schemaRows_.push_back(std::move(values));
    }
    if (interior) Walk(Be32(page + hdr + 8) - 1, table, schema, depth + 1);
    if (!job) return;
    // A page of a table is searched with its bytes from the walk: its live
    // cells, which bound the free space, are all known now.
    job->search = SearchedAs(index, job->owner, job->arrayStart) && job->owner >= 0;
    // Its extents go with it, out of the map (which holds those of every
    // page walked until the walk's end otherwise).
    job->extents.swap(*extents);
    liveExtents_.erase(index);
    // The page's bytes go with it; this level of the walk takes the job's
    // old buffer for its next page.
    job->page.swap(depthPages_[static_cast<size_t>(depth)]);
    Submit(std::move(job));
  }


  // Every live tree walked, the work on the pages of tables beside it; then
  // what that work found joins the carver's state.
  void WalkAllTrees() {
    walkOutput_.clear();
    for (int i = 0; i < 2; ++i) {
      walkOutput_.push_back(std::make_unique<WalkOutput>());
      walkOutput_.back()->keys.assign(tables_.size(), {});
      walkOutput_.back()->matchKeys.assign(tables_.size(), {});
    }
    walking_ = true;
    RunBeside([&] { DoPageJobs(*walkOutput_[1], false); },
              [&] {
                try {
                  WalkTrees();
                  HandOver();
                } catch (...) {
                  std::lock_guard<std::mutex> lock(jobs_.mutex);
                  jobs_.queue.clear();
                  jobs_.done = true;
                  jobs_.ready.notify_all();
                  throw;
                }
                DoPageJobs(*walkOutput_[0], true);
              });
    walking_ = false;
    jobs_.spare.clear();
    spare_.clear();
    std::vector<std::pair<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>>> extents;
    for (auto& output : walkOutput_) {
      WalkOutput& out = *output;
      for (uint64_t h : out.liveRecords) liveRecords_.Insert(h);
      for (SearchedPage& page : out.searched) {
        searchedAs_[page.index] = page.code;
        if (!page.finds.empty()) walkFinds_[page.index] = std::move(page.finds);
      }
      for (auto& e : out.extents) extents.push_back(std::move(e));
    }
    walkOutput_.clear();
    // In page order, whichever thread had them.
    std::sort(extents.begin(), extents.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [index, e] : extents) liveExtents_[index] = std::move(e);
  }

  void WalkTrees() {
    Walk(0, -1, true, 0);
    // Schema rows: type, name, tbl_name, rootpage, sql.
    for (const auto& row : schemaRows_) {
      if (row.size() < 4) continue;
      const int64_t* root = std::get_if<int64_t>(&row[3]);
      if (!root || *root <= 0 || static_cast<uint64_t>(*root) > pages_) continue;
      int table = -1;
      const std::string* type = std::get_if<std::string>(&row[0]);
      const std::string* name = std::get_if<std::string>(&row[1]);
      if (type && name && *type == "table") {
        for (const Shape& s : shapes_) {
          if (tables_[s.table].name == *name) table = s.table;
        }
      }
      Walk(static_cast<uint32_t>(*root - 1), table, false, 0);
    }
  }

  void WalkFreeList() {
    std::vector<uint8_t> page(r_.pageSize);
    if (r_.ReadPage(0, page.data()) != status::kOk) return;
    uint32_t trunk = Be32(page.data() + 32);
    std::unordered_set<uint32_t> seen;
    while (trunk != 0 && trunk <= pages_ && seen.insert(trunk).second) {
      if (r_.ReadPage(trunk - 1, page.data()) != status::kOk) break;
      const uint32_t count = std::min(Be32(page.data() + 4), (u_ - 8) / 4);
      if (owner_[trunk - 1] == kOwnerUnknown) {
        owner_[trunk - 1] = kOwnerTrunk;
        trunkUsed_[trunk - 1] = 8 + 4 * count;
      }
      trunk = Be32(page.data());
    }
    for (uint32_t leaf : r_.freePages) {
      if (leaf < pages_ && owner_[leaf] == kOwnerUnknown) owner_[leaf] = kOwnerFree;
    }
  }

  // The schema rows of dropped tables survive in the free space of the
  // schema pages: their root page leads to the dropped table's old pages on
  // the free list (interior pages keep their child pointers).
  void TraceDroppedTables() {
    std::unordered_set<std::string> names;
    for (const CarveTable& t : tables_) names.insert(t.name);
    std::vector<uint8_t> page(r_.pageSize);
    for (const auto& [index, extents] : liveExtents_) {
      // Schema pages are the only ones that carry extents without a table.
      if (owner_[index] != kOwnerOther || interiorOf_.count(index)) continue;
      if (r_.ReadPage(index, page.data()) != status::kOk) continue;
      const uint32_t hdr = index == 0 ? 100u : 0u;
      std::vector<std::pair<uint32_t, uint32_t>> used = extents;
      used.emplace_back(0, std::min(u_, hdr + 8 + 2 * Be16(page.data() + hdr + 3)));
      std::sort(used.begin(), used.end());
      // A deleted schema row: type "table", name, tbl_name, rootpage, sql.
      // Its first bytes may be lost under a free-block header, so it is
      // found by the body "table" and the four serial types in front of it.
      std::string word = "table";
      if (r_.encoding != TextEncoding::kUtf8) {
        std::string wide;
        for (char ch : word) wide += r_.encoding == TextEncoding::kUtf16le ? std::string{ch, '\0'} : std::string{'\0', ch};
        word = wide;
      }
      uint32_t at = 0;
      for (const auto& [from, to] : used) {
        for (uint32_t p = at; p + word.size() <= from; ++p) {
          if (std::memcmp(page.data() + p, word.data(), word.size()) != 0) continue;
          for (uint32_t k = 4; k <= 14 && k + at <= p; ++k) {
            uint64_t t[4];
            uint32_t pos = p - k;
            bool ok = true;
            for (int i = 0; i < 4 && ok; ++i) {
              int len = static_cast<int>(std::min<uint32_t>(p - pos, 9));
              t[i] = ReadVarint(page.data() + pos, len);
              ok = len > 0 && !(page[pos + len - 1] & 0x80);
              pos += static_cast<uint32_t>(len);
            }
            if (!ok || pos != p || t[0] < 13 || !(t[0] & 1) || t[2] < 1 || t[2] > 4) continue;
            const uint32_t nameAt = p + static_cast<uint32_t>(word.size());
            const uint64_t nameLen = BodyLength(t[0]);
            const uint64_t rootAt = nameAt + nameLen + BodyLength(t[1]);
            if (rootAt + BodyLength(t[2]) > u_) continue;
            const SqlValue name = Decode(t[0], page.data() + nameAt, static_cast<uint32_t>(nameLen));
            const SqlValue root = Decode(t[2], page.data() + rootAt, static_cast<uint32_t>(BodyLength(t[2])));
            const std::string* n = std::get_if<std::string>(&name);
            const int64_t* rp = std::get_if<int64_t>(&root);
            if (n && rp && !names.count(*n) && *rp > 0 && static_cast<uint64_t>(*rp) <= pages_) {
              // The CREATE statement behind the root page number gives the
              // dropped table's columns.
              int shape = -1;
              const uint64_t sqlAt = rootAt + BodyLength(t[2]);
              const uint64_t sqlLen = BodyLength(t[3]);
              if (t[3] >= 13 && (t[3] & 1) && sqlAt + sqlLen <= u_) {
                const SqlValue sql = Decode(t[3], page.data() + sqlAt, static_cast<uint32_t>(sqlLen));
                if (const std::string* text = std::get_if<std::string>(&sql)) shape = DroppedShape(*n, *text);
              }
              MarkDropped(static_cast<uint32_t>(*rp - 1), 0, shape, true);
              break;
            }
          }
        }
        at = std::max(at, to);
      }
    }
  }

  // Marks the pages of a dropped table's tree. Dropping a table first
  // empties its root page (a fresh leaf header over the first 8 bytes) and
  // then frees it: a root that was an interior page keeps its right child at
  // bytes 8-11 and its cell pointers from byte 12 on.
  void MarkDropped(uint32_t index, int depth, int shape, bool root) {
    if (index >= pages_ || depth > kMaxDepth) return;
    if (owner_[index] == kOwnerTrunk) {
      // Freed first, it became a free-list trunk: its own pointers are
      // gone, its cells behind the trunk's entries are the table's.
      droppedShapeOf_.emplace(index, shape);
      return;
    }
    if (owner_[index] != kOwnerFree) return;
    std::vector<uint8_t> page(r_.pageSize);
    if (r_.ReadPage(index, page.data()) != status::kOk) return;
    const uint8_t type = page[0];
    if (type != 13 && type != 5) return;
    owner_[index] = kOwnerDropped;
    droppedShapeOf_[index] = shape;
    if (type == 5) {
      const uint32_t count = Be16(page.data() + 3);
      for (uint32_t i = 0; i < count && 12 + 2 * i + 2 <= u_; ++i) {
        const uint32_t off = Be16(page.data() + 12 + 2 * i);
        if (off + 4 <= u_) MarkDropped(Be32(page.data() + off) - 1, depth + 1, shape, false);
      }
      MarkDropped(Be32(page.data() + 8) - 1, depth + 1, shape, false);
      return;
    }
    if (!root || Be16(page.data() + 3) != 0) return;
    const uint32_t right = Be32(page.data() + 8);
    if (right == 0 || right > pages_ || !FreePage(right - 1)) return;
    std::vector<uint32_t> children{right};
    for (uint32_t slot = 12; slot + 2 <= u_; slot += 2) {
      const uint32_t off = Be16(page.data() + slot);
      if (off < slot + 2 || off + 4 > u_) break;
      const uint32_t child = Be32(page.data() + off);
      if (child == 0 || child > pages_ || !FreePage(child - 1)) break;
      children.push_back(child);
    }
    for (uint32_t child : children) MarkDropped(child - 1, depth + 1, shape, false);
  }

  bool FreePage(uint32_t index) const { return owner_[index] == kOwnerFree || owner_[index] == kOwnerTrunk; }

  // The shape of a dropped table from its CREATE TABLE statement (the
  // shared schema parser: compiled in an empty in-memory database); -1 when
  // it does not compile as one, or declares a table without rowids.
  int DroppedShape(const std::string& name, const std::string& sql) {
    CarveTable table;
    table.name = name;
    if (SchemaFromCreateTable(name, sql, table.schema) != status::kOk || table.schema.withoutRowid) return -1;
    Shape shape = MakeShape(table.schema, -1);
    shape.dropped = static_cast<int>(droppedShapes_.size());
    droppedShapes_.push_back(std::move(shape));
    droppedTables_.push_back(std::move(table));
    return static_cast<int>(droppedShapes_.size()) - 1;
  }

  // --- candidates ---

  // Serial types of columns first..n-1 of `shape` at b (at most `room`
  // bytes); all must be allowed. Returns false when one is not.
  bool ReadTypes(const Shape& shape, int first, const uint8_t* b, uint32_t room, std::vector<uint64_t>& types,
                 uint32_t& used, uint64_t& bodies, bool strict = false) const {
    used = 0;
    bodies = 0;
    for (int c = first; c < shape.Count(); ++c) {
      if (used >= room) return false;
      uint64_t t = b[used];
      int len = 1;  // most serial types: one byte
      if (t >= 0x80) {
        len = static_cast<int>(std::min<uint32_t>(room - used, 9));
        t = Varint(b + used, len);
        if (len <= 0 || (len < 9 && (b[used + len - 1] & 0x80))) return false;
      }
      const ColumnRule& rule = shape.columns[c];
      if (!(((strict ? rule.expected : rule.allowed) >> TypeClass(t)) & 1)) return false;
      used += static_cast<uint32_t>(len);
      bodies += BodyLength(t);
      if (bodies > (uint64_t{1} << 31)) return false;
      types[c] = t;
    }
    return true;
  }

  // The payload of a record of `total` bytes whose local part starts at
  // `local` on the page; the rest from the overflow chain on free pages.
  const uint8_t* Payload(const uint8_t* local, uint32_t localLen, uint64_t total) const {
    if (total <= localLen) return local;
    SearchScratch& k = Scratch();
    k.overflowAsked = true;
    // During the walk no page is known free yet: the page is searched again
    // after it.
    if (walking_) return nullptr;
    if (total > uint64_t{pages_} * (u_ - 4) + localLen) return nullptr;
    k.assembled.assign(local, local + localLen);
    uint32_t next = Be32(local + localLen);
    k.page.resize(r_.pageSize);
    for (uint64_t steps = 0; k.assembled.size() < total; ++steps) {
      if (next == 0 || next > pages_ || steps >= pages_ || owner_[next - 1] != kOwnerFree) return nullptr;
      if (r_.ReadPage(next - 1, k.page.data()) != status::kOk) return nullptr;
      const uint64_t take = std::min<uint64_t>(u_ - 4, total - k.assembled.size());
      k.assembled.insert(k.assembled.end(), k.page.data() + 4, k.page.data() + 4 + take);
      next = Be32(k.page.data());
    }
    return k.assembled.data();
  }

  // Whether the bodies that follow a record's header (`room` bytes at
  // `bodies`) are plausible for its serial types, and fill it: false when
  // one does not fit or is implausible.
  bool BodiesFit(const std::vector<uint64_t>& types, int first, const uint8_t* bodies, uint64_t room) const {
    uint64_t pos = 0;
    for (size_t c = static_cast<size_t>(first); c < types.size(); ++c) {
      const uint64_t len = BodyLength(types[c]);
      if (pos + len > room) return false;
      if (!BodyPlausible(types[c], bodies + pos, static_cast<uint32_t>(len))) return false;
      pos += len;
    }
    return true;
  }

  // The payload-length and rowid varints in front of a record of `total`
  // bytes at p, when they agree with it: the cell start, and the rowid.
  bool CellHeaderBefore(const uint8_t* page, uint32_t lo, uint32_t p, uint64_t total, uint32_t& cellStart,
                        int64_t& rowid) const {
    if (p < lo + 2) return false;
    if (page[p - 1] & 0x80) return false;
    uint32_t rs = p - 1;
    while (rs > lo && p - rs < 9 && (page[rs - 1] & 0x80)) --rs;
    const uint32_t a = VarintLength(total);
    if (rs < lo + a) return false;
    uint8_t expect[9];
    uint64_t v = total;
    for (int i = static_cast<int>(a) - 1; i >= 0; --i) {
      expect[i] = static_cast<uint8_t>((v & 0x7F) | (i == static_cast<int>(a) - 1 ? 0 : 0x80));
      v >>= 7;
    }
    if (std::memcmp(page + rs - a, expect, a) != 0) return false;
    int b = static_cast<int>(p - rs);
    rowid = static_cast<int64_t>(ReadVarint(page + rs, b));
    cellStart = rs - a;
    return true;
  }

  // The first tests of Intact, made inline before it is called: most bytes
  // of free space fail them. p + 2 < hi.
  // A record header's length at p, a varint of one or two bytes (a header
  // of 16 KiB or more is no header of a cell on a page): false when longer.
  static bool HeaderLengthAt(const uint8_t* page, uint32_t p, uint64_t& headerLen, uint32_t& h) {
    if (page[p] < 0x80) {
      headerLen = page[p];
      h = 1;
      return true;
    }
    if (page[p + 1] & 0x80) return false;
    headerLen = (uint64_t{page[p] & 0x7Fu} << 7) | page[p + 1];
    h = 2;
    return true;
  }

  static bool HeaderLengthFits(const Shape* shape, const uint8_t* page, uint32_t p, uint32_t lo, uint32_t hi) {
    uint64_t headerLen;
    uint32_t h;
    if (!HeaderLengthAt(page, p, headerLen, h) || p + headerLen > hi) return false;
    if (shape) {
      const uint64_t n = shape->columns.size();
      return headerLen >= n + h && headerLen <= 9 * n + h;
    }
    return headerLen > h && headerLen <= 400 && p >= lo + 2 && !(page[p - 1] & 0x80);
  }

  // The tests of Intact without a schema that come before its header is
  // read, and its first serial type's: most bytes of free space fail them.
  // p + 2 < hi.
  static bool MayStartWithoutSchema(const uint8_t* page, uint32_t p, uint32_t lo, uint32_t hi) {
    uint64_t headerLen;
    uint32_t h;
    if (!HeaderLengthAt(page, p, headerLen, h)) return false;
    if (headerLen <= h || headerLen > 400 || p + headerLen > hi) return false;
    uint64_t payloadBound;
    if (!CellHeaderMayStand(page, lo, p, headerLen, payloadBound)) return false;
    const uint8_t t = page[p + h];  // inside the header: headerLen > h
    if (t >= 0x80) return true;
    return t != 10 && t != 11 && headerLen + BodyLength(t) <= payloadBound;
  }

  // Whether a cell header (payload length, rowid) may stand in front of a
  // record at p whose header is `headerLen` bytes long, and the largest
  // payload length it can give (the record's length must match it, see
  // CellHeaderBefore): a one-byte payload length gives its value, which
  // the header length must stay below; a longer one the largest of the
  // lengths that its last bytes encode.
  static bool CellHeaderMayStand(const uint8_t* page, uint32_t lo, uint32_t p, uint64_t headerLen,
                                 uint64_t& payloadBound) {
    if (p < lo + 2 || (page[p - 1] & 0x80)) return false;
    uint32_t rs = p - 1;
    while (rs > lo && p - rs < 9 && (page[rs - 1] & 0x80)) --rs;
    if (rs <= lo || (page[rs - 1] & 0x80) || page[rs - 1] == 0) return false;
    if (rs - 1 == lo || !(page[rs - 2] & 0x80)) {
      payloadBound = page[rs - 1];
      return headerLen < payloadBound;
    }
    payloadBound = 0;
    uint64_t v = 0;
    for (uint32_t a = 1; a <= 9 && rs >= lo + a; ++a) {
      const uint8_t b = page[rs - a];
      if (a > 1 && !(b & 0x80)) break;
      v |= uint64_t{b & 0x7Fu} << (7 * (a - 1));
      if (VarintLength(v) == a) payloadBound = v;
    }
    return headerLen <= payloadBound;
  }

  // A record with its header length at p, checked against `shape` (or, with
  // no schema, against its own header and the cell header in front of it).
  // `decode` false: only whether a record stands there (neither its bytes
  // nor their hash are kept in `c`). `cut` (with a shape): where a cell begins whose cell header and
  // record header are whole and agree but whose record runs past `hi` (a
  // cell written since over its tail): no record, but a place where the
  // record before it ended.
  bool Intact(const Shape* shape, const uint8_t* page, uint32_t p, uint32_t lo, uint32_t hi, Candidate& c,
              bool decode = true, uint32_t* cut = nullptr) const {
    int h = static_cast<int>(std::min<uint32_t>(hi - p, 2));
    const uint64_t headerLen = Varint(page + p, h);
    if (h <= 0 || (page[p + h - 1] & 0x80)) return false;
    std::vector<uint64_t>& types = Scratch().types;
    uint64_t bodies = 0;
    if (shape) {
      const int n = shape->Count();
      if (headerLen < static_cast<uint64_t>(n) + h || headerLen > 9ull * n + h) return false;
      if (p + headerLen > hi) return false;
      // ReadTypes sets every type when it succeeds; no fill needed (this
      // runs at every byte of the free space).
      types.resize(static_cast<size_t>(n));
      uint32_t used;
      if (!ReadTypes(*shape, 0, page + p + h, static_cast<uint32_t>(headerLen) - h, types, used, bodies)) return false;
      if (used + h != headerLen) return false;
    } else {
      if (headerLen <= static_cast<uint64_t>(h) || headerLen > 400 || p + headerLen > hi) return false;
      // A cell header must stand in front: the rowid's last byte, and the
      // payload length's last byte before the rowid. The payload length
      // bounds the record: the header is given up once it says more.
      uint64_t payloadBound;
      if (!CellHeaderMayStand(page, lo, p, headerLen, payloadBound)) return false;
      types.clear();
      uint32_t pos = p + h;
      const uint32_t end = p + static_cast<uint32_t>(headerLen);
      bool any = false;
      while (pos < end) {
        uint64_t t = page[pos];
        if (t < 0x80) {
          ++pos;  // most serial types: one byte
        } else {
          int len = static_cast<int>(std::min<uint32_t>(end - pos, 9));
          t = Varint(page + pos, len);
          if (len < 9 && (page[pos + len - 1] & 0x80)) return false;
          pos += static_cast<uint32_t>(len);
        }
        if (t == 10 || t == 11) return false;
        any = any || t != 0;
        types.push_back(t);
        bodies += BodyLength(t);
        if (headerLen + bodies > payloadBound) return false;
      }
      if (pos != end || !any || bodies > (uint64_t{1} << 31)) return false;
    }
    const uint64_t total = headerLen + bodies;
    const uint32_t local = LocalSize(total, false);
    const bool spills = total > local;
    const uint64_t end = uint64_t{p} + local + (spills ? 4 : 0);
    if (end > hi) {
      uint32_t cellStart;
      int64_t rowid;
      if (cut && shape && CellHeaderBefore(page, lo, p, total, cellStart, rowid)) *cut = cellStart;
      return false;
    }
    uint32_t cellStart = p;
    int64_t rowid = 0;
    const bool header = CellHeaderBefore(page, lo, p, total, cellStart, rowid);
    if (!shape && !header) return false;
    // Without the cell header in front, a record must tell something by
    // itself: a header of a few serial types of NULLs and one number
    // stands in many other bytes (the page numbers of an interior page's
    // cells or of a free-list trunk read as a record), and would come back
    // as a row of values in columns they never were in.
    if (!header && !TellsAlone(types)) return false;
    if (shape && !header) {
      // Without the cell header in front, a record is one whose payload-
      // length and rowid varints a free-block header overwrote. In a table
      // of untyped columns its serial types tell it from a run of bytes
      // inside another record (a text length read as a header length) only
      // by that header standing in front.
      if (shape->mostlyUntyped && !(p >= lo + 4 && FreeBlockHeader(page, p - 4))) return false;
      for (int col = 0; col < shape->Count(); ++col) {
        if (!TypeExpected(shape->columns[col], types[col])) return false;
      }
    }
    const uint8_t* payload = Payload(page + p, local, total);
    if (!payload) return false;
    if (!BodiesFit(types, 0, payload + headerLen, total - headerLen)) return false;
    if (decode) c.record.assign(reinterpret_cast<const char*>(payload), static_cast<size_t>(total));
    c.start = cellStart;
    c.end = static_cast<uint32_t>(end);
    c.recordHash = decode ? RecordHash(page + p, local) : 0;
    c.table = shape ? shape->table : -1;
    c.dropped = shape ? shape->dropped : -1;
    c.hasRowid = header;
    c.rowid = rowid;
    c.reconstructed = false;
    c.score = header ? 4 : 3;
    return true;
  }

  // Serial types that make a record worth reading without its cell header:
  // a text or blob of at least 4 bytes, or two values that are not NULL.
  static bool TellsAlone(const std::vector<uint64_t>& types) {
    int values = 0;
    for (uint64_t t : types) {
      if (t == 0) continue;
      if (t >= 12 && SerialTypeBodyLength(t) >= 4) return true;
      ++values;
    }
    return values >= 2;
  }

  // A plausible free-block header at q (link 0 or further on; size within
  // the page).
  bool FreeBlockHeader(const uint8_t* page, uint32_t q) const {
    if (q + 4 > u_) return false;
    const uint32_t next = Be16(page + q);
    const uint32_t size = Be16(page + q + 2);
    return size >= 4 && q + size <= u_ && (next == 0 || (next >= q + size && next < u_));
  }

  // The serial type column 0 had, by its body length and the column rule;
  // false when the rule allows none.
  bool GuessFirstType(const ColumnRule& rule, const uint8_t* body, uint32_t len, uint64_t& t) const {
    if (rule.alias) {
      t = 0;
      return len == 0;
    }
    const bool numeric = rule.affinity != Affinity::kText;
    if (len == 0) {
      // NULL, 0, 1 and '' have no body: only a NOT NULL text column tells.
      t = 13;
      return rule.notNull && rule.affinity == Affinity::kText;
    }
    // A column of any type: printable text rather than a number whose
    // bytes happen to be letters.
    if ((rule.affinity == Affinity::kBlob || rule.affinity == Affinity::kNumeric) && len >= 4 &&
        PrintableText(body, len)) {
      t = 13 + 2ull * len;
      return true;
    }
    if (numeric && len <= 4) {
      t = len;
      return true;
    }
    if (numeric && len == 6) {
      t = 5;
      return true;
    }
    if (numeric && len == 8) {
      if (rule.affinity == Affinity::kInteger) {
        t = 6;
      } else {
        t = 7;
        if (!BodyPlausible(7, body, 8)) t = 6;
        if (rule.affinity != Affinity::kReal) {
          uint64_t raw = 0;
          for (int i = 0; i < 8; ++i) raw = (raw << 8) | body[i];
          double d;
          std::memcpy(&d, &raw, sizeof d);
          // An 8-byte integer is at least 2^47 in size: read as a real it
          // mostly gives far-out magnitudes, where stored reals seldom lie.
          if (d != 0 && !(std::fabs(d) >= 1e-10 && std::fabs(d) <= 1e16)) t = 6;
        }
      }
      return true;
    }
    if (rule.affinity == Affinity::kInteger || rule.affinity == Affinity::kReal) return false;
    const bool text = TextPlausible(body, len);
    if (!text && rule.affinity == Affinity::kText) return false;
    t = text ? 13 + 2ull * len : 12 + 2ull * len;
    return true;
  }

  // Text without control characters.
  bool PrintableText(const uint8_t* body, uint32_t len) const {
    if (!TextPlausible(body, len)) return false;
    if (r_.encoding == TextEncoding::kUtf8) {
      for (uint32_t i = 0; i < len; ++i) {
        if (body[i] < 0x20 || body[i] == 0x7F) return false;
      }
      return true;
    }
    const bool be = r_.encoding == TextEncoding::kUtf16be;
    for (uint32_t i = 0; i + 1 < len; i += 2) {
      const uint32_t unit = be ? (uint32_t{body[i]} << 8) | body[i + 1] : (uint32_t{body[i + 1]} << 8) | body[i];
      if (unit < 0x20 || unit == 0x7F) return false;
    }
    return true;
  }

  // A record whose cell began at q and whose first bytes the free-block
  // header overwrote: the header length lost (payload and rowid varints 3
  // bytes together), or the header length and the first serial type (1 byte
  // each). `boundary` tells whether a position can follow a record.
  template <typename Boundary>
  bool Rebuilt(const Shape& shape, const uint8_t* page, uint32_t q, uint32_t hi, const Boundary& boundary,
               Candidate& c, bool onlyCertain = false) const {
    const uint32_t size = Be16(page + q + 2);
    const uint32_t s = q + 4;
    if (s >= hi) return false;
    const int n = shape.Count();
    SearchScratch& k = Scratch();
    std::vector<uint64_t>& types = k.types;
    // With the rowid alias in column 0 (always NULL, no body) the lost bytes
    // hide nothing but which of the two readings below holds: when only one
    // of them gives a record that fits the block, its extent is certain
    // without a neighbour to end at (a block merged with the free blocks
    // after it, or one left from an older layout of the page, is larger).
    // Only where every other column has a declared type to check the
    // bytes against: columns of any type take whatever bytes follow.
    // A reading is also certain where it alone fills the block exactly
    // (the block of a cell freed between live neighbours is the cell).
    int certain = -2;  // not yet known; then the certain reading (lost types), or -1
    auto certainReading = [&] {
      if (certain == -2) {
        certain = -1;
        // Filling the block to its last byte is evidence enough where a few
        // columns take any type (a TIMESTAMP's numeric affinity) among
        // many typed ones: not in a table of a few columns, whose
        // readings fit much of any text.
        const auto anyType = std::count_if(shape.columns.begin(), shape.columns.end(), [](const ColumnRule& rule) {
          return !rule.alias && (rule.affinity == Affinity::kBlob || rule.affinity == Affinity::kNumeric);
        });
        if (shape.columns[0].alias && (shape.typedBesideAlias || (n >= 8 && anyType * 4 <= n))) {
          const bool fits0 = ReadingFits(shape, 0, page, q, hi, size);
          const bool fits1 = ReadingFits(shape, 1, page, q, hi, size);
          if (shape.typedBesideAlias && fits0 != fits1) {
            certain = fits0 ? 0 : 1;
          } else if (fits0 || fits1) {
            const bool fills0 = fits0 && ReadingFits(shape, 0, page, q, hi, size, true);
            const bool fills1 = fits1 && ReadingFits(shape, 1, page, q, hi, size, true);
            if (fills0 != fills1) certain = fills0 ? 0 : 1;
          }
        }
      }
      return certain;
    };
    auto certainAlone = [&] { return certainReading() >= 0; };
    if (onlyCertain && !certainAlone()) return false;
    // The header may instead have covered just the payload-length and rowid
    // varints, the record behind it whole with its own header length. Where
    // that reading fits, it explains more of the block than one of a
    // record that lost its first bytes, which would read the same bytes
    // with a value moved into another column (the header length taken for
    // a serial type): no such reading is made of them.
    if (OwnHeaderFits(shape, page, q, hi, size)) return false;
    // Only the header length lost.
    // ReadTypes sets every type it reads; column 0's is set below where
    // only the others are read.
    types.resize(static_cast<size_t>(n));
    uint32_t used;
    uint64_t bodies;
    if (ReadTypes(shape, 0, page + s, hi - s, types, used, bodies, true) && used + 1 < 128) {
      const uint64_t headerLen = used + 1;
      const uint64_t total = headerLen + bodies;
      const uint32_t a = VarintLength(total);
      const uint32_t local = LocalSize(total, false);
      const uint64_t cellLen = 3 + uint64_t{local} + (total > local ? 4 : 0);
      if (a <= 2 && q + cellLen <= hi && cellLen <= size &&
          ((!onlyCertain && (cellLen == size || boundary(q + cellLen))) || certainReading() == 0)) {
        // The local part as it was: the rebuilt header length, then the
        // bytes that survived.
        k.rebuilt.assign(1, static_cast<uint8_t>(headerLen));
        k.rebuilt.insert(k.rebuilt.end(), page + s, page + s + (local - 1) + (total > local ? 4 : 0));
        const uint8_t* payload = Payload(k.rebuilt.data(), local, total);
        if (payload && BodiesFit(types, 0, payload + headerLen, total - headerLen)) {
          c.record.assign(reinterpret_cast<const char*>(payload), static_cast<size_t>(total));
          c.start = q;
          c.end = static_cast<uint32_t>(q + cellLen);
          c.score = cellLen == size ? 2 : 1;
          c.table = shape.table;
          c.dropped = shape.dropped;
          c.hasRowid = false;
          c.reconstructed = true;
          return true;
        }
      }
    }
    // Header length and the first serial type lost: payload and rowid were
    // 1 byte each, so the record is below 128 bytes and stays on the page.
    if (n < 2) return false;
    if (!ReadTypes(shape, 1, page + s, hi - s, types, used, bodies, true)) return false;
    const uint64_t headerLen = used + 2;
    if (headerLen + bodies > 127) return false;
    const uint32_t bodyStart = s + used;
    auto attempt = [&](uint32_t len0, int score) {
      const uint64_t total = headerLen + len0 + bodies;
      const uint64_t cellLen = 2 + total;
      if (total > 127 || q + cellLen > hi || cellLen > size) return false;
      uint64_t t0;
      bool ambiguous = false;
      if (!GuessFirstType(shape.columns[0], page + bodyStart, len0, t0)) {
        // No body to tell the value by: the record's extent is still known.
        if (len0 != 0) return false;
        t0 = 0;
        ambiguous = true;
      }
      types[0] = t0;
      if (!BodiesFit(types, 0, page + bodyStart, len0 + bodies)) return false;
      // The header as it was: its length, column 0's type, the surviving
      // serial types.
      WriteRecord(types, page + bodyStart, len0 + bodies, c.record);
      c.ambiguous = ambiguous;
      c.start = q;
      c.end = static_cast<uint32_t>(q + cellLen);
      c.score = score;
      c.table = shape.table;
      c.dropped = shape.dropped;
      c.hasRowid = false;
      c.reconstructed = true;
      return true;
    };
    if (onlyCertain) return certainReading() == 1 && attempt(0, 1);
    // The block holds this record alone: its size gives the first body's length.
    if (size >= 2 + headerLen + bodies && attempt(static_cast<uint32_t>(size - 2 - headerLen - bodies), 2)) {
      return true;
    }
    for (uint32_t len0 = 0; len0 <= 57; ++len0) {
      const uint64_t end = q + 2 + headerLen + len0 + bodies;
      if (end > hi) break;
      if (boundary(static_cast<uint32_t>(end)) && attempt(len0, 1)) return true;
    }
    return certainReading() == 1 && attempt(0, 1);
  }

  // Whether the 4 bytes of the free-block header at q may have stood on the
  // cell's payload-length and rowid varints only (2 bytes each: rowids and
  // payloads from 128 up to 16383 bytes, the common case), the record behind
  // them whole: its header length counts exactly the serial types of
  // `shape`'s columns that follow it. The cell ends where the block ends, or
  // inside it (a block merged with its freed neighbours is larger) with its
  // values reading as their types where their bytes lie in the block. In a
  // table whose column 0 is the rowid alias, the NULL its serial type must
  // be is sign enough with the header length: the record may run past the
  // block (a new cell taken from a free block's end leaves the block
  // shorter) and its values may be overwritten by cells written since.
  bool OwnHeaderFits(const Shape& shape, const uint8_t* page, uint32_t q, uint32_t hi, uint32_t size) const {
    const uint32_t s = q + 4;
    uint64_t headerLen;
    uint32_t h;
    if (s + 2 > u_ || !HeaderLengthAt(page, s, headerLen, h)) return false;
    const uint64_t n = static_cast<uint64_t>(shape.Count());
    if (headerLen < n + h || headerLen > 9 * n + h || s + headerLen > u_) return false;
    std::vector<uint64_t>& types = Scratch().readingTypes;
    types.resize(static_cast<size_t>(n));
    uint32_t used;
    uint64_t bodies;
    if (!ReadTypes(shape, 0, page + s + h, static_cast<uint32_t>(headerLen - h), types, used, bodies, true) ||
        used + h != headerLen) {
      return false;
    }
    const uint64_t total = headerLen + bodies;
    // The payload length and the rowid shared the 4 bytes, each at least one.
    if (VarintLength(total) > 3) return false;
    const uint32_t local = LocalSize(total, false);
    const uint64_t end = uint64_t{s} + local + (total > local ? 4 : 0);
    const uint64_t blockEnd = uint64_t{q} + size;
    if (end == blockEnd || shape.columns[0].alias) return end <= u_;
    if (end > blockEnd) return false;
    const uint64_t reach = std::min<uint64_t>(hi, blockEnd);
    const uint8_t* body = page + s + headerLen;
    uint64_t at = s + headerLen;
    for (uint64_t c = 0; c < n && total <= local; ++c) {
      const uint32_t len = static_cast<uint32_t>(BodyLength(types[c]));
      if (at + len > reach) break;
      if (!BodyPlausible(types[c], body, len)) return false;
      body += len;
      at += len;
    }
    return true;
  }

  // Whether the bytes behind the free-block header at q read as the rest
  // of a record of `shape` that ends inside the block: with `lost` serial
  // types gone with the header (0: only the header length; 1: the first
  // serial type too, which with the rowid alias in column 0 was NULL).
  // `exact`: the cell must fill the block to its last byte.
  bool ReadingFits(const Shape& shape, int lost, const uint8_t* page, uint32_t q, uint32_t hi, uint32_t size,
                   bool exact = false) const {
    const uint32_t s = q + 4;
    std::vector<uint64_t>& types = Scratch().readingTypes;
    types.resize(static_cast<size_t>(shape.Count()));
    uint32_t used;
    uint64_t bodies;
    if (!ReadTypes(shape, lost, page + s, hi - s, types, used, bodies, true)) return false;
    const uint64_t headerLen = used + 1 + lost;
    const uint64_t total = headerLen + bodies;
    if (headerLen >= 128) return false;
    const uint32_t local = LocalSize(total, false);
    if (lost == 1 && total > 127) return false;
    const uint64_t cellLen = (lost == 0 ? 3 : 2) + uint64_t{local} + (total > local ? 4 : 0);
    if (q + cellLen > hi || cellLen > size || (exact && cellLen != size)) return false;
    if (total > local) return true;  // the overflow chain is checked when read
    const uint8_t* body = page + s + used;
    for (int c = lost; c < shape.Count(); ++c) {
      const uint32_t len = static_cast<uint32_t>(BodyLength(types[c]));
      if (!BodyPlausible(types[c], body, len)) return false;
      body += len;
    }
    return true;
  }

  // --- one page ---

  // Whether a page is searched, and as whose: a table's (its leaf pages, and
  // its interior pages, whose unused space holds old cells of the table too:
  // a root page that split keeps its leaf cells there), or a free-list
  // leaf's, a trunk's or a dropped table's. Not the schema page.
  bool SearchedAs(uint32_t index, int& owner, uint32_t& arrayStart) const {
    owner = owner_[index];
    arrayStart = 8;
    if (owner == kOwnerOther) {
      auto it = interiorOf_.find(index);
      if (it == interiorOf_.end()) return false;
      owner = it->second;
      arrayStart = 12;
    }
    if (owner < 0 && owner != kOwnerFree && owner != kOwnerTrunk && owner != kOwnerDropped &&
        owner != kOwnerSpillEnd) {
      return false;
    }
    return index != 0;
  }

  static int32_t SearchCode(int owner, uint32_t arrayStart) { return owner * 2 + (arrayStart == 12 ? 1 : 0) + 1; }

  // Every page searched, in page order: those of the tables from what the
  // walk found on them (when the page is still theirs), the others read
  // now, consecutive ones with one read.
  void SearchAllPages() {
    std::vector<std::pair<uint32_t, uint32_t>> toRead;
    for (uint64_t i = 0; i < pages_; ++i) {
      const uint32_t index = static_cast<uint32_t>(i);
      int owner;
      uint32_t arrayStart;
      if (!SearchedAs(index, owner, arrayStart)) continue;
      if (owner >= 0 && searchedAs_[index] == SearchCode(owner, arrayStart)) continue;
      toRead.emplace_back(index, arrayStart);
    }
    // The pages to read are searched a stretch at a time, each stretch in
    // two halves at once; their finds are reported in page order.
    constexpr size_t kStretch = 1024;
    std::vector<PageFinds> found;  // of toRead[stretchStart, stretchStart + found.size())
    std::vector<uint8_t> read;     // whether that page could be read
    size_t stretchStart = 0;
    auto searchStretch = [&](size_t from) {
      const size_t to = std::min(toRead.size(), from + kStretch);
      found.assign(to - from, PageFinds{});
      read.assign(to - from, 0);
      auto part = [&](size_t first, size_t last) {
        PageRuns runs(r_);
        const auto end = toRead.begin() + static_cast<std::ptrdiff_t>(last);
        for (size_t j = first; j < last; ++j) {
          const uint8_t* page = nullptr;
          if (runs.Get(toRead.begin() + static_cast<std::ptrdiff_t>(j), end, page) != status::kOk) continue;
          int owner;
          uint32_t arrayStart;
          SearchedAs(toRead[j].first, owner, arrayStart);
          read[j - from] = 1;
          auto extents = liveExtents_.find(toRead[j].first);
          SearchPage(toRead[j].first, page, owner, arrayStart, found[j - from],
                     extents == liveExtents_.end() ? nullptr : &extents->second);
        }
      };
      if (to - from >= 8) {
        const size_t middle = from + (to - from) / 2;
        RunBeside([&] { part(middle, to); }, [&] { part(from, middle); });
      } else {
        part(from, to);
      }
      stretchStart = from;
    };
    size_t next = 0;  // into toRead
    PageFinds finds;
    for (uint64_t i = 0; i < pages_; ++i) {
      const uint32_t index = static_cast<uint32_t>(i);
      finds.clear();
      if (next < toRead.size() && toRead[next].first == index) {
        if (next >= stretchStart + found.size()) searchStretch(next);
        const size_t j = next++ - stretchStart;
        if (!read[j]) continue;
        ++stats_.pagesSearched;
        finds.swap(found[j]);
      } else if (searchedAs_[index] != 0) {
        int owner;
        uint32_t arrayStart;
        if (!SearchedAs(index, owner, arrayStart) || searchedAs_[index] != SearchCode(owner, arrayStart)) continue;
        ++stats_.pagesSearched;
        auto it = walkFinds_.find(index);
        if (it == walkFinds_.end()) continue;
        finds.swap(it->second);
        walkFinds_.erase(it);
      } else {
        continue;
      }
      for (auto& [cand, src] : finds) Emit(index, cand, src);
    }
  }

  // Searches the free space of one page (its bytes in `page`) for records.
  // Two threads may search pages at once: the search only reads the
  // carver's state; its work areas are the thread's own (Scratch).
  void SearchPage(uint32_t index, const uint8_t* page, int owner, uint32_t arrayStart, PageFinds& finds,
                  const std::vector<std::pair<uint32_t, uint32_t>>* extents) const {
    SearchScratch& k = Scratch();
    std::vector<std::pair<uint32_t, uint32_t>>& regions = k.regions;
    std::vector<std::pair<uint32_t, uint32_t>>& blocks = k.blocks;
    std::vector<uint32_t>& stale = k.stale;
    regions.clear();
    blocks.clear();
    stale.clear();
    RowSource source = RowSource::kFreelistCandidate;
    uint32_t contentStart = 0;
    if (owner >= 0) {
      const uint32_t count = Be16(page + 3);
      contentStart = Be16(page + 5);
      if (contentStart == 0) contentStart = 65536;
      std::vector<std::pair<uint32_t, uint32_t>>& used = k.used;
      used.clear();
      if (extents) used = *extents;
      used.emplace_back(0, std::min(u_, arrayStart + 2 * count));
      std::sort(used.begin(), used.end());
      uint32_t at = 0;
      for (const auto& [from, to] : used) {
        if (from > at) regions.emplace_back(at, from);
        at = std::max(at, to);
      }
      if (at < u_) regions.emplace_back(at, u_);
      // Stale cell pointers behind the live ones, and the free-block chain
      // (its blocks in ascending order: a link that does not lead further
      // ends it).
      for (uint32_t slot = arrayStart + 2 * count; slot + 2 <= std::min(u_, contentStart); slot += 2) {
        const uint32_t e = Be16(page + slot);
        if (e == 0) break;
        stale.push_back(e);
      }
      std::sort(stale.begin(), stale.end());
      uint32_t off = Be16(page + 1);
      for (uint32_t steps = 0; off != 0 && off + 4 <= u_ && steps < u_ / 4; ++steps) {
        blocks.emplace_back(off, off + Be16(page + off + 2));
        const uint32_t next = Be16(page + off);
        if (next <= off) break;
        off = next;
      }
    } else if (owner == kOwnerTrunk) {
      auto it = trunkUsed_.find(index);
      regions.emplace_back(std::min(u_, it == trunkUsed_.end() ? 0u : it->second), u_);
    } else if (owner == kOwnerSpillEnd) {
      auto it = spillUsed_.find(index);
      regions.emplace_back(std::min(u_, it == spillUsed_.end() ? u_ : it->second), u_);
      source = RowSource::kGap;
    } else {
      // A free-list leaf keeps the bytes it had as a table's leaf: where its
      // old page header and cell pointers still read as such, the pointer
      // array holds no record (read as one, its pointers give numbers in
      // columns they never were in).
      uint32_t from = 8;
      const uint32_t count = Be16(page + 3);
      const uint32_t arrayEnd = 8 + 2 * count;
      if (page[0] == 0x0d && count > 0 && arrayEnd <= u_) {
        const uint32_t content = Be16(page + 5);
        bool pointers = content >= arrayEnd && content < u_;
        for (uint32_t slot = 8; slot < arrayEnd && pointers; slot += 2) {
          const uint32_t e = Be16(page + slot);
          pointers = e >= content && e < u_;
        }
        if (pointers) from = arrayEnd;
      }
      regions.emplace_back(from, u_);
    }

    // Which table's records this page holds. A live page: its table's. A
    // free page held the cells of one table: of the tables (live, or dropped
    // with their CREATE statement found) whose schema fits most intact cells
    // on it, the one under which their serial types are likeliest, when it
    // fits at least two thirds of them; when none does, a table that no
    // longer exists, whose records are read by their own headers.
    //
    // The bytes where a record may begin are found first, a region at a
    // time, by the start tables of the shapes that may stand on the page
    // and by the first tests of a record read by its own header; only
    // those places are tried in full.
    std::vector<const Shape*>& shapes = k.shapes;
    shapes.clear();
    bool schemaless = false, undetermined = false;
    const StartMasks* masks = nullptr;  // of the shapes that may stand here
    bool plain = false;                 // records read by their own header may stand here
    if (owner >= 0) {
      if (const Shape* own = ShapeOf(owner)) {
        shapes.push_back(own);
        masks = &own->starts;
      }
    } else if (owner == kOwnerDropped || droppedShapeOf_.count(index)) {
      auto it = droppedShapeOf_.find(index);
      if (it != droppedShapeOf_.end() && it->second >= 0) {
        shapes.push_back(&droppedShapes_[it->second]);
        masks = &droppedShapes_[it->second].starts;
      } else {
        schemaless = plain = true;
      }
    } else {
      masks = &allStarts_;
      plain = true;
    }
    if (plain) FindPlainStarts(page, regions, k);
    if (owner < 0 && !schemaless && masks == &allStarts_) {
      const std::vector<const Shape*>& all = allShapes_;
      size_t cells = 0, cellBytes = 0;
      std::vector<size_t> fitBytes(allShapes_.size(), 0);
      std::vector<size_t>& fits = k.fits;
      std::vector<double>& likelihood = k.likelihood;
      fits.assign(all.size(), 0);
      likelihood.assign(all.size(), 0.0);
      Candidate c;
      for (size_t r = 0; r < regions.size(); ++r) {
        const auto [lo, hi] = regions[r];
        for (size_t j = k.plainFrom[r]; j < k.plainFrom[r + 1]; ++j) {
          const uint32_t p = k.plainStarts[j];
          if (!Intact(nullptr, page, p, lo, hi, c, false)) continue;
          ++cells;
          const size_t extent = c.end - c.start;
          cellBytes += extent;
          for (size_t i = 0; i < all.size(); ++i) {
            if (all[i]->starts.At(page, p) && HeaderLengthFits(all[i], page, p, lo, hi) &&
                Intact(all[i], page, p, lo, hi, c, false) && c.hasRowid) {
              ++fits[i];
              fitBytes[i] += extent;
              likelihood[i] += LogLikelihood(*all[i], Scratch().types);
            }
          }
        }
      }
      size_t best = 0;
      for (size_t i = 0; i < all.size(); ++i) {
        if (fits[i] > fits[best] || (fits[i] == fits[best] && likelihood[i] > likelihood[best])) best = i;
      }
      if (cells == 0) {
        // Nothing tells whose page this was: intact records of any live
        // table, but nothing rebuilt.
        for (const Shape& shape : shapes_) shapes.push_back(&shape);
        undetermined = true;
      } else if (!all.empty() && (fits[best] * 3 >= cells * 2 || fitBytes[best] * 4 >= cellBytes * 3)) {
        shapes.push_back(all[best]);
        masks = &all[best]->starts;
      } else {
        schemaless = true;
      }
    }
    FindShapeStarts(page, regions, schemaless ? nullptr : masks, k);
    std::vector<Candidate>& found = k.found;
    found.clear();
    for (size_t r = 0; r < regions.size(); ++r) {
      const auto [lo, hi] = regions[r];
      if (hi <= lo + 2) continue;
      std::vector<Candidate>& local = k.local;
      local.clear();
      Boundaries& boundaries = k.boundaries;
      boundaries.Clear(u_);
      Candidate c;
      // A record's header length counts itself and at least one serial
      // type: no record starts at a zero byte (cleared space). With a
      // schema only the places where one of the shapes may begin are tried;
      // without, those that pass the first tests of a record read by its
      // own header.
      const bool byHeader = schemaless;
      const std::vector<uint32_t>& starts = byHeader ? k.plainStarts : k.shapeStarts;
      const size_t from = byHeader ? k.plainFrom[r] : k.shapeFrom[r];
      const size_t to = byHeader ? k.plainFrom[r + 1] : k.shapeFrom[r + 1];
      for (size_t j = from; j < to; ++j) {
        const uint32_t p = starts[j];
        bool matched = false;
        uint32_t cut = 0;
        for (size_t i = 0; i < shapes.size() && !matched; ++i) {
          matched = shapes[i]->starts.At(page, p) && HeaderLengthFits(shapes[i], page, p, lo, hi) &&
                    Intact(shapes[i], page, p, lo, hi, c, true, &cut);
        }
        if (!matched && schemaless) matched = Intact(nullptr, page, p, lo, hi, c);
        if (matched) {
          if (c.hasRowid) boundaries.Insert(c.start);
          local.push_back(std::move(c));
          c = Candidate{};
        } else if (cut != 0) {
          // A cell whose tail a later cell overwrote still ends the record
          // freed in front of it.
          boundaries.Insert(cut);
        }
      }
      // Rebuilt records: first those whose free block holds them alone,
      // then those that end where another record begins.
      // On a free page whose intact cells name no table (it has none), a
      // record behind a free-block header is read only when its cell fills
      // the block exactly under one wide table's typed columns and no
      // other's: the last cell of a leaf, freed before the page itself was.
      if (!shapes.empty()) {
        // Where a free-block header may stand (the headers tried begin 5
        // bytes before the region's end at the latest; one may begin 4
        // bytes before it as the end of a run), and the same by their link
        // to the next block, for finding the runs of neighbours.
        std::vector<uint32_t>& headers = k.headers;
        headers.clear();
        // A block at q >= lo is at most u_ - lo bytes long: the high byte
        // of its size at most `limit`. Eight places whose size bytes all
        // exceed it (text, mostly) are passed at once.
        // Eight places are tested at once, by their sizes: a place is tried
        // in full only where the high byte of its size is at most `limit`
        // and the size is not zero (the bytes of most free space, zeros and
        // text, fail one or the other).
        const uint32_t limit = (u_ - lo) >> 8;
        const uint64_t below = limit < 127 ? 0x0101010101010101ULL * (limit + 1) : 0;
        constexpr uint64_t kHigh = 0x8080808080808080ULL, kLow = 0x7F7F7F7F7F7F7F7FULL;
        for (uint32_t q = lo; q + 4 <= hi; ++q) {
          if (below && q + 11 <= hi) {
            // Byte j: the high (sizeHigh) and low (sizeLow) byte of the
            // size of a block at q + j.
            const uint64_t sizeHigh = Load64(page + q + 2), sizeLow = Load64(page + q + 3);
            // Per byte, exact: below 0x80 and its low seven bits below limit + 1.
            const uint64_t small = ~(((sizeHigh | kHigh) - below) | sizeHigh);
            const uint64_t either = sizeHigh | sizeLow;
            const uint64_t nonZero = ((either & kLow) + kLow) | either;
            uint64_t places = small & nonZero & kHigh;
            while (places) {
              const uint32_t at = q + static_cast<uint32_t>(std::countr_zero(places) >> 3);
              if (FreeBlockHeader(page, at)) headers.push_back(at);
              places &= places - 1;
            }
            q += 7;
            continue;
          }
          if (page[q + 2] == 0 && page[q + 3] == 0) {
            // A block of size 0: so are those at the next eight places
            // while the bytes of their sizes are zeros.
            while (q + 12 <= hi && Load64(page + q + 4) == 0) q += 8;
            continue;
          }
          if (FreeBlockHeader(page, q)) headers.push_back(q);
        }
        size_t tried = headers.size();
        while (tried > 0 && headers[tried - 1] + 5 >= hi) --tried;
        std::vector<std::pair<uint32_t, uint32_t>>& byLink = k.byLink;
        bool indexed = false;
        std::vector<uint32_t>& starts = k.rebuiltStarts;
        for (int pass = 0; pass < (undetermined ? 1 : 2); ++pass) {
          uint32_t sibling = 0;  // where the record being rebuilt may end (see below)
          bool siblingOnly = false;
          auto boundary = [&](uint32_t at) {
            if (siblingOnly) return at == sibling;
            return pass == 1 && (at >= hi || (sibling != 0 && at == sibling) || boundaries.Contains(at));
          };
          // The second pass goes down the page: in a run of neighbours freed
          // one after the other, each record ends where the one above it
          // (found just before) begins.
          starts.clear();
          for (size_t h = 0; h < tried; ++h) {
            const uint32_t q = pass == 0 ? headers[h] : headers[tried - 1 - h];
            const uint32_t next = Be16(page + q);
            // A header whose link leads to no free block is left from an
            // older layout of the page (the page was rewritten or emptied
            // since): only a record whose extent its own bytes make certain
            // is read behind it.
            const bool linked = next == 0 || FreeBlockHeader(page, next);
            if (!linked && pass == 0) continue;
            // A run of neighbours freed one after the other: every cell of it
            // kept the header written when it was freed, all with the same
            // link to the next free block and the same end, so the record at
            // q ends where the nearest such header above it begins. A run
            // left from an older layout of the page (its link leads nowhere
            // now: the page was rebuilt since, its old cells left in the gap)
            // still tells its records' ends by itself, and only so.
            sibling = 0;
            if (pass == 1) {
              if (!indexed) {
                byLink.clear();
                for (uint32_t at : headers) byLink.emplace_back(Be16(page + at), at);
                std::sort(byLink.begin(), byLink.end());
                indexed = true;
              }
              const uint32_t end = q + Be16(page + q + 2);
              const uint32_t stop = std::min(end, hi);
              const bool chainStart = IsChainStart(blocks, q);
              for (auto it = std::lower_bound(byLink.begin(), byLink.end(), std::make_pair(next, q + 5));
                   it != byLink.end() && it->first == next && it->second + 4 <= stop; ++it) {
                const uint32_t atEnd = it->second + Be16(page + it->second + 2);
                if (atEnd == end || (atEnd > end && chainStart)) {
                  sibling = it->second;
                  break;
                }
              }
            }
            siblingOnly = !linked && sibling != 0;
            bool matched = false;
            if (undetermined) {
              if (!linked) continue;
              size_t fits = 0;
              Candidate other;
              for (size_t i = 0; i < shapes.size() && fits < 2; ++i) {
                // Every column with a declared type to check its bytes by,
                // and enough of them that a reading of other bytes cannot
                // fit them all and the block's size by chance (a table of
                // three or four columns fits much of any text).
                if (shapes[i]->Count() < 8 || !std::all_of(shapes[i]->columns.begin(), shapes[i]->columns.end(),
                                 [](const ColumnRule& rule) { return rule.alias || rule.affinity != Affinity::kBlob; })) {
                  continue;
                }
                Candidate& into = fits == 0 ? c : other;
                if (Rebuilt(*shapes[i], page, q, hi, boundary, into) && into.score == 2 && Informative(into)) {
                  ++fits;
                } else if (fits == 0) {
                  c = Candidate{};
                }
              }
              matched = fits == 1;
            }
            for (size_t i = 0; i < shapes.size() && !matched && !undetermined; ++i) {
              matched = Rebuilt(*shapes[i], page, q, hi, boundary, c, !linked && !siblingOnly) &&
                        (pass == 1 || c.score == 2) && Informative(c);
            }
            if (matched) {
              if (pass == 0) starts.push_back(c.start);
              else boundaries.Insert(c.start);
              local.push_back(std::move(c));
            }
            c = Candidate{};
          }
          for (uint32_t q : starts) boundaries.Insert(q);
        }
      }
      // A page freed by one table and taken by another keeps cells of the
      // first in the space its new owner has not used yet. Where the owner's
      // own records explain nothing of a region, the other tables' records
      // are looked for there, on the strongest evidence only: an intact cell
      // whose payload length and rowid agree with its record, or a cell
      // whose free-block header gives its exact length.
      if (owner >= 0 && local.empty() && shapes.size() == 1 && shapes_.size() > 1) {
        ForeignRecords(page, lo, hi, shapes[0], local);
      }
      // The best readings win; a weaker one overlapping them is dropped.
      std::sort(local.begin(), local.end(), [](const Candidate& x, const Candidate& y) {
        return x.score != y.score ? x.score > y.score : x.start < y.start;
      });
      // The extents taken, disjoint, in order.
      std::vector<std::pair<uint32_t, uint32_t>>& taken = k.taken;
      taken.clear();
      for (Candidate& cand : local) {
        // The first extent that ends after the candidate begins is the only
        // one that can overlap it.
        auto it = std::upper_bound(taken.begin(), taken.end(), cand.start,
                                   [](uint32_t start, const std::pair<uint32_t, uint32_t>& e) { return start < e.second; });
        if (it != taken.end() && it->first < cand.end) continue;
        taken.emplace(it, cand.start, cand.end);
        if (!cand.ambiguous) found.push_back(std::move(cand));
      }
    }
    std::sort(found.begin(), found.end(), [](const Candidate& x, const Candidate& y) { return x.start < y.start; });
    for (Candidate& cand : found) {
      RowSource src = source;
      if (owner >= 0) {
        src = RowSource::kFreeblock;
        if (std::binary_search(stale.begin(), stale.end(), cand.start)) {
          src = RowSource::kStalePointer;
        } else if (cand.start < contentStart) {
          src = RowSource::kGap;
        }
        for (const auto& [from, to] : blocks) {
          if (cand.start >= from && cand.start < to) src = RowSource::kFreeblock;
        }
      } else if (cand.table < 0 || owner == kOwnerDropped) {
        src = RowSource::kFreelistDroppedTable;
      }
      finds.emplace_back(std::move(cand), src);
    }
  }

  // Records of tables other than `own` in [lo, hi) of a live page (see
  // SearchPage).
  void ForeignRecords(const uint8_t* page, uint32_t lo, uint32_t hi, const Shape* own,
                      std::vector<Candidate>& out) const {
    // Of the tables whose records fit at a place, the one with the most
    // columns (the more serial types fit, the less a reading owes to
    // chance: a two-column table fits almost any bytes with one long first
    // value), then the one under which the serial types are likeliest.
    Candidate c, best;
    double bestLikelihood = 0;
    int bestColumns = 0;
    auto consider = [&](const Shape& shape) {
      const double likelihood = LogLikelihood(shape, Scratch().types);
      if (best.end == 0 || shape.Count() > bestColumns ||
          (shape.Count() == bestColumns && likelihood > bestLikelihood)) {
        best = std::move(c);
        bestLikelihood = likelihood;
        bestColumns = shape.Count();
      }
      c = Candidate{};
    };
    auto take = [&] {
      if (best.end != 0) out.push_back(std::move(best));
      best = Candidate{};
    };
    for (uint32_t p = lo; p + 2 < hi; ++p) {
      if (page[p] == 0) continue;
      for (const Shape& shape : shapes_) {
        if (&shape == own || !HeaderLengthFits(&shape, page, p, lo, hi)) continue;
        if (Intact(&shape, page, p, lo, hi, c) && c.hasRowid && Informative(c)) consider(shape);
        c = Candidate{};
      }
      take();
    }
    // A record rebuilt behind a free-block header is taken only for a table
    // whose intact cells the region holds too: the page was that table's.
    std::unordered_set<int> held;
    for (const Candidate& found : out) held.insert(found.table);
    if (held.empty()) return;
    const auto nowhere = [](uint32_t) { return false; };
    for (uint32_t q = lo; q + 5 < hi; ++q) {
      if (!FreeBlockHeader(page, q)) continue;
      for (const Shape& shape : shapes_) {
        if (&shape == own || !held.count(shape.table)) continue;
        if (Rebuilt(shape, page, q, hi, nowhere, c) && c.score == 2 && Informative(c)) consider(shape);
        c = Candidate{};
      }
      take();
    }
  }

  // Whether a free block of the page's chain begins at q.
  static bool IsChainStart(const std::vector<std::pair<uint32_t, uint32_t>>& blocks, uint32_t q) {
    auto it = std::lower_bound(blocks.begin(), blocks.end(), q,
                               [](const std::pair<uint32_t, uint32_t>& b, uint32_t at) { return b.first < at; });
    return it != blocks.end() && it->first == q;
  }

  // The places of each region where a record of one of the shapes of
  // `masks` may begin (none without), for region r [shapeFrom[r],
  // shapeFrom[r + 1]) of shapeStarts. Every byte of the free space passes
  // here: eight at a time, only the places whose byte may be a header
  // length's first (a one-byte length of a shape, or the first byte of a
  // longer one) are tried one by one.
  static void FindShapeStarts(const uint8_t* page, const std::vector<std::pair<uint32_t, uint32_t>>& regions,
                              const StartMasks* masks, SearchScratch& k) {
    std::vector<uint32_t>& out = k.shapeStarts;
    out.clear();
    k.shapeFrom.assign(1, 0);
    for (const auto& [lo, hi] : regions) {
      if (masks) {
        uint32_t p = lo;
        if constexpr (std::endian::native == std::endian::little) {
          constexpr uint64_t kOne = 0x0101010101010101ULL, kHigh = kOne * 0x80;
          // One-byte header lengths lie in [low, high] (1 <= low <= high
          // <= 127), or there are none (low 0).
          const uint64_t low = masks->low, high = masks->high;
          for (; p + 10 <= hi; p += 8) {
            const uint64_t x = Load64(page + p);
            uint64_t places = x;
            if (low != 0) {
              // Per byte, its low seven bits with the top bit set: taking
              // low or high + 1 (at most 128) borrows from no other byte.
              const uint64_t seven = x | kHigh;
              places |= (seven - kOne * low) & ~(seven - kOne * (high + 1));
            }
            places &= kHigh;
            while (places) {
              const uint32_t at = p + static_cast<uint32_t>(std::countr_zero(places) >> 3);
              if (masks->At(page, at)) out.push_back(at);
              places &= places - 1;
            }
          }
        }
        for (; p + 2 < hi; ++p) {
          if (masks->At(page, p)) out.push_back(p);
        }
      }
      k.shapeFrom.push_back(out.size());
    }
  }

  // Whether the serial types of a header of `headerLen` (< 128) bytes at
  // `header` can add up to a record of exactly `payload` (< 128) bytes, the
  // one-byte payload length in front of it: read as far as they are one
  // byte each, none 10 or 11, their bodies within the payload, and when all
  // are read, not all NULL and exactly the payload. Inside texts most
  // places that pass the first tests fail here after two or three types
  // (each letter read as a type is a body of 40 bytes or more).
  static bool OneByteTypesFit(const uint8_t* header, uint32_t headerLen, uint32_t payload) {
    uint32_t total = headerLen;
    bool any = false;
    for (uint32_t i = 1; i < headerLen; ++i) {
      const uint8_t t = header[i];
      if (t >= 0x80) return true;  // a longer varint: left to the full test
      if (t == 10 || t == 11) return false;
      total += static_cast<uint32_t>(BodyLength(t));
      if (total > payload) return false;
      any = any || t != 0;
    }
    return any && total == payload;
  }

  // The places of each region that pass the first tests of a record read
  // by its own header (MayStartWithoutSchema), for region r
  // [plainFrom[r], plainFrom[r + 1]) of plainStarts.
  static void FindPlainStarts(const uint8_t* page, const std::vector<std::pair<uint32_t, uint32_t>>& regions,
                              SearchScratch& k) {
    k.plainStarts.clear();
    k.plainFrom.assign(1, 0);
    for (const auto& [lo, hi] : regions) {
      // Whether a record read by its own header may begin at p (lo + 2 <= p,
      // p + 2 < hi).
      auto tryAt = [&, lo = lo, hi = hi](uint32_t p) {
        // The header length is not zero, nor is the rowid's last byte in
        // front of it continued.
        if (page[p] == 0 || (page[p - 1] & 0x80)) return;
        // Most places: the header length, the first serial type and the
        // two bytes before the rowid all below 0x80, so one byte each, and
        // the payload length the byte before the rowid (as
        // MayStartWithoutSchema reads them).
        const uint8_t b = page[p], bound = page[p - 2], t = page[p + 1];
        if (p >= lo + 3 && (b | bound | t | page[p - 3]) < 0x80) {
          if (b >= 2 && bound != 0 && b < bound && p + b <= hi && t != 10 && t != 11 && b + BodyLength(t) <= bound &&
              OneByteTypesFit(page + p, b, bound)) {
            k.plainStarts.push_back(p);
          }
          return;
        }
        if (MayStartWithoutSchema(page, p, lo, hi)) k.plainStarts.push_back(p);
      };
      uint32_t p = lo + 2;
      if constexpr (std::endian::native == std::endian::little) {
        if (p + 2 < hi) tryAt(p++);
        // Eight places at a time (p >= lo + 3, every byte read inside the
        // region): only those that pass the first tests of tryAt - a
        // header length not zero, the byte before it not continued, a
        // header length's first byte, and either a byte of the four around
        // it of 0x80 or more or the header length below the payload
        // length - are tried one by one.
        // Most bytes of free space (zeros, texts) fail them.
        constexpr uint64_t kHigh = 0x8080808080808080ULL, kLow = 0x7F7F7F7F7F7F7F7FULL, kOne = 0x0101010101010101ULL;
        for (; p + 10 <= hi; p += 8) {
          const uint64_t b = Load64(page + p), before = Load64(page + p - 1), bound = Load64(page + p - 2);
          const uint64_t lengthBefore = Load64(page + p - 3), type = Load64(page + p + 1);
          const uint64_t nonZero = ((b & kLow) + kLow) | b;
          const uint64_t wide = b | bound | type | lengthBefore;
          // Per byte below 0x80: bound - (b + 1) >= 0, no borrow between bytes.
          const uint64_t below = (bound | kHigh) - ((b & kLow) + kOne);
          // A header length of two bytes is at most 400: its first byte
          // 0x80 to 0x83.
          const uint64_t longLength = b & ((b & kLow) + kOne * 0x7C);
          uint64_t places = nonZero & ~before & ~longLength & (wide | below) & kHigh;
          while (places) {
            tryAt(p + static_cast<uint32_t>(std::countr_zero(places) >> 3));
            places &= places - 1;
          }
        }
      }
      for (; p + 2 < hi; ++p) tryAt(p);
      k.plainFrom.push_back(k.plainStarts.size());
    }
  }

  // How likely a record's serial types are under a table's declared
  // types: each column's storage class (NULL, integer, real, text, blob)
  // by its affinity, as writers commonly fill such columns.
  static double LogLikelihood(const Shape& shape, const std::vector<uint64_t>& types) {
    // Rows: affinity; columns: NULL, integer, real, text, blob.
    static const double kOdds[5][5] = {
        {0.10, 0.84, 0.04, 0.01, 0.01},  // integer
        {0.10, 0.02, 0.02, 0.84, 0.02},  // text
        {0.10, 0.22, 0.22, 0.23, 0.23},  // blob (none)
        {0.10, 0.30, 0.58, 0.01, 0.01},  // real
        {0.10, 0.50, 0.20, 0.15, 0.05},  // numeric
    };
    // Their logarithms, taken once.
    static const auto kLogOdds = [] {
      std::array<std::array<double, 5>, 5> logs{};
      for (int a = 0; a < 5; ++a) {
        for (int c = 0; c < 5; ++c) logs[a][c] = std::log(kOdds[a][c]);
      }
      return logs;
    }();
    double sum = 0;
    for (int col = 0; col < shape.Count() && col < static_cast<int>(types.size()); ++col) {
      const ColumnRule& rule = shape.columns[col];
      if (rule.alias) continue;  // always NULL
      const uint64_t t = types[col];
      const int cls = t == 0 ? 0 : t <= 6 || t == 8 || t == 9 ? 1 : t == 7 ? 2 : (t & 1) ? 3 : 4;
      sum += kLogOdds[static_cast<int>(rule.affinity)][cls];
    }
    return sum;
  }

  // A rebuilt record tells something: not only NULLs, zeros and blobs of
  // zero bytes (what runs of cleared space read as).
  static bool Informative(const Candidate& c) {
    std::vector<RecordColumn>& columns = Scratch().columns;
    if (!LayOutRecord(c.record, columns)) return false;
    for (const RecordColumn& col : columns) {
      switch (ValueClass(col.serialType)) {
        case 1:
          if (IntegerValue(col.serialType, col.body, col.length) != 0) return true;
          break;
        case 2:
          // Any real but 0 and -0.
          for (uint32_t i = 0; i < 8; ++i) {
            if (col.body[i] != 0 && !(i == 0 && col.body[i] == 0x80)) return true;
          }
          break;
        case 3:
          if (col.length > 0) return true;
          break;
        case 4:
          for (uint32_t i = 0; i < col.length; ++i) {
            if (col.body[i] != 0) return true;
          }
          break;
        default: break;
      }
    }
    return false;
  }

  const Shape* ShapeOf(int table) const {
    for (const Shape& s : shapes_) {
      if (s.table == table) return &s;
    }
    return nullptr;
  }

  void Emit(uint32_t index, Candidate& cand, RowSource source) {
    // A copy of a live cell's record, byte for byte.
    if (!cand.reconstructed && liveRecords_.Contains(cand.recordHash)) {
      ++stats_.droppedAsLive;
      return;
    }
    std::vector<RecordColumn>& columns = emitColumns_;
    if (!LayOutRecord(cand.record, columns)) return;
    // The row's key: its table and its values but the rowid alias.
    int skip = -1;
    size_t hash;
    if (cand.table >= 0) {
      skip = tables_[cand.table].schema.rowidAliasColumn;
      hash = KeyHashOf(columns, skip, wideText_);
      if (liveKeys_[cand.table].Contains(hash)) {
        ++stats_.droppedAsLive;
        return;
      }
    } else {
      hash = KeyHashOf(columns, -1, wideText_);
      for (size_t t = 0; t < liveKeys_.size(); ++t) {
        if (liveKeys_[t].Contains(KeyHashOf(columns, tables_[t].schema.rowidAliasColumn, wideText_))) {
          ++stats_.droppedAsLive;
          return;
        }
      }
    }
    KeyMix withTable;
    withTable(hash);
    withTable(static_cast<uint64_t>(static_cast<int64_t>(cand.table)));
    CarvedRow* earlier = nullptr;
    seen_.Find(withTable.h, [&](size_t at) {
      CarvedRow& row = out_[at];
      if (row.table != cand.table || !LayOutRecord(row.record, earlierColumns_) ||
          !SameValues(earlierColumns_, columns, skip)) {
        return false;
      }
      earlier = &row;
      return true;
    });
    if (earlier) {
      ++stats_.duplicates;
      if (earlier->droppedTable < 0 && cand.dropped >= 0) earlier->droppedTable = cand.dropped;
      if (!earlier->hasRowid && cand.hasRowid) {
        earlier->hasRowid = true;
        earlier->rowid = cand.rowid;
      }
      return;
    }
    seen_.Add(withTable.h, out_.size());
    CarvedRow& row = out_.emplace_back();
    row.table = cand.table;
    row.droppedTable = cand.dropped;
    row.reconstructed = cand.reconstructed;
    row.hasRowid = cand.hasRowid;
    row.rowid = cand.rowid;
    row.rowidColumn = cand.table >= 0 ? tables_[cand.table].schema.rowidAliasColumn : -1;
    row.encoding = r_.encoding;
    row.pageIndex = index;
    row.offset = cand.start;
    row.source = source;
    if (cand.table >= 0) row.matchKey = MatchKeyOf(columns, tables_[cand.table].schema, skip, hash);
    row.record = std::move(cand.record);
  }

  // RowMatchKey of a record laid out in `columns`: the carver's key
  // `carverKey` (every column but `skip`, the rowid alias) where the two
  // leave out the same columns (see KeepLiveKeys).
  size_t MatchKeyOf(const std::vector<RecordColumn>& columns, const TableSchema& schema, int skip, size_t carverKey) {
    const int count = static_cast<int>(columns.size());
    if (skip == 0 && count >= schema.columnCount) return carverKey;
    KeyMix key;
    for (int c = 1; c < std::max(count, schema.columnCount); ++c) {
      if (c == schema.rowidAliasColumn) continue;
      if (c < count) {
        MixColumn(columns[c].serialType, columns[c].body, columns[c].length, &key, nullptr, wideText_);
      } else {
        MixColumn(0, nullptr, 0, &key, nullptr, wideText_);
      }
    }
    return static_cast<size_t>(key.h);
  }

  CDbFileReader& r_;
  const std::vector<CarveTable>& tables_;
  std::vector<CarvedRow>& out_;
  CarveStats& stats_;
  uint32_t u_ = 0;
  uint64_t pages_ = 0;
  uint64_t maxLocal_ = 0, minLocal_ = 0;
  std::vector<Shape> shapes_;
  std::vector<Shape> droppedShapes_;                // of dropped tables whose CREATE statement survives
  std::vector<CarveTable> droppedTables_;           // their names and schemas, in the same order
  std::vector<CarveTable>* droppedTablesOut_ = nullptr;
  std::unordered_map<uint32_t, int>* droppedPagesOut_ = nullptr;
  std::vector<const Shape*> allShapes_;             // shapes_, then droppedShapes_ (free pages compete for them)
  StartMasks allStarts_;                            // where one of allShapes_ may begin
  std::unordered_map<uint32_t, int> droppedShapeOf_;  // dropped page -> index into droppedShapes_, -1 unknown
  std::vector<int> owner_;
  std::unordered_map<uint32_t, uint32_t> trunkUsed_;
  std::unordered_map<uint32_t, uint32_t> spillUsed_;  // kOwnerSpillEnd pages: bytes of the chain on them
  std::unordered_map<uint32_t, int> interiorOf_;  // interior page of a table's tree -> table
  std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> liveExtents_;
  PageSet visited_;
  // Hashes of the values of every live row, by table, and of the local
  // record bytes of every live cell.
  std::vector<HashSet> liveKeys_;
  std::vector<std::vector<size_t>>* liveMatchKeys_ = nullptr;
  HashSet liveRecords_;
  std::vector<std::vector<SqlValue>> schemaRows_;
  RowsByKey seen_;
  std::vector<RecordColumn> emitColumns_, earlierColumns_;  // of the record emitted and of an earlier copy
  std::string wideText_;
  std::vector<int32_t> searchedAs_;                // SearchCode of the pages searched during the walk, 0 others
  std::unordered_map<uint32_t, PageFinds> walkFinds_;
  std::vector<std::vector<uint8_t>> depthPages_;   // the page of each level of a walk
  PageJobs jobs_;
  std::mutex keysMutex_;  // of the live rows' keys while the work beside the walk adds to them
  std::vector<std::unique_ptr<PageJob>> batch_, spare_;  // the walk's own
  std::vector<std::unique_ptr<WalkOutput>> walkOutput_;  // the walk's own thread's, the other's
  bool walking_ = false;
  std::vector<uint8_t> walkPage_;  // the overflow pages of live cells
  ParsedRecord record_;
};

}  // namespace

Affinity AffinityOf(const std::string& declaredType) {
  const std::string t = AsciiLower(declaredType);
  if (Contains(t, "int")) return Affinity::kInteger;
  if (Contains(t, "char") || Contains(t, "clob") || Contains(t, "text")) return Affinity::kText;
  if (t.empty() || Contains(t, "blob")) return Affinity::kBlob;
  if (Contains(t, "real") || Contains(t, "floa") || Contains(t, "doub")) return Affinity::kReal;
  return Affinity::kNumeric;
}

Status CarveDeletedRows(CDbFileReader& reader, const std::vector<CarveTable>& tables, std::vector<CarvedRow>& rows,
                        CarveStats* stats, std::vector<CarveTable>* droppedTables) {
  if (!reader.IsOpen() || reader.pageSize == 0) return status::kBadData;
  CarveStats local;
  Carver carver(reader, tables, rows, stats ? *stats : local);
  if (droppedTables) carver.KeepDroppedTables(*droppedTables);
  return carver.Run();
}

bool SerialTypeFits(const TableSchema& schema, int column, uint64_t serialType, bool strict) {
  if (column < 0 || column >= schema.columnCount) return false;
  ColumnRule rule;
  rule.affinity = column < static_cast<int>(schema.declaredTypes.size()) ? AffinityOf(schema.declaredTypes[column])
                                                                         : Affinity::kBlob;
  rule.notNull = column < static_cast<int>(schema.notNull.size()) && schema.notNull[column];
  rule.alias = column == schema.rowidAliasColumn;
  return strict ? TypeExpected(rule, serialType) : TypeAllowed(rule, serialType);
}

size_t RowMatchKey(const std::vector<SqlValue>& values, const TableSchema& schema) {
  const int n = std::max(schema.columnCount, static_cast<int>(values.size()));
  // A hash over a tagged form of each value, so that no two different value
  // lists (an integer 0 and an empty text, "ab"+"c" and "a"+"bc") meet by
  // construction.
  uint64_t h = 14695981039346656037ULL;
  // One multiply per word of the tagged form (a row of eighty columns
  // passes here for every live row).
  auto mix = [&h](uint64_t word) {
    h = (h ^ word) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  };
  for (int c = 1; c < n; ++c) {
    if (c == schema.rowidAliasColumn) continue;
    const SqlValue* v = c < static_cast<int>(values.size()) ? &values[c] : nullptr;
    if (!v || std::holds_alternative<std::nullptr_t>(*v)) {
      mix('n');
    } else if (auto i = std::get_if<int64_t>(v)) {
      mix('i');
      mix(static_cast<uint64_t>(*i));
    } else if (auto d = std::get_if<double>(v)) {
      mix('r');
      uint64_t raw;
      std::memcpy(&raw, d, sizeof raw);
      mix(raw);
    } else {
      const bool text = std::holds_alternative<std::string>(*v);
      const std::string& bytes = text ? std::get<std::string>(*v) : std::get<BlobValue>(*v).bytes;
      const uint64_t size = bytes.size();
      mix(text ? 't' : 'b');
      mix(size);
      // Long texts (message bodies) are hashed a word at a time, then
      // mixed in; byte by byte they cost more than reading them.
      const uint64_t digest = BytesHash(bytes.data(), bytes.size());
      mix(digest);
    }
  }
  return static_cast<size_t>(h);
}

size_t RowMatchKey(const ParsedRecord& record, const TableSchema& schema) {
  const int n = std::max(schema.columnCount, record.ColumnCount());
  uint64_t h = 14695981039346656037ULL;
  auto mix = [&h](uint64_t word) {
    h = (h ^ word) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  };
  // Every deleted row a scan finds passes here, most of them texts of pure
  // ASCII: those are hashed where they lie (the decoded text has the same
  // bytes); any other text as the decoder gives it.
  auto ascii = [](const uint8_t* p, uint32_t length) {
    uint32_t i = 0;
    for (; i + 8 <= length; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) return false;
    }
    for (; i < length; ++i) {
      if (p[i] & 0x80) return false;
    }
    return true;
  };
  for (int c = 1; c < n; ++c) {
    if (c == schema.rowidAliasColumn) continue;
    const uint64_t t = record.Has(c) ? record.SerialType(c) : 0;
    if (t == 0 || t == 10 || t == 11) {
      mix('n');
    } else if (t == 7) {
      mix('r');
      const double d = record.AsReal(c);
      uint64_t raw;
      std::memcpy(&raw, &d, sizeof raw);
      mix(raw);
    } else if (record.IsInteger(c)) {
      mix('i');
      mix(static_cast<uint64_t>(record.AsInt64(c)));
    } else {
      const RecordColumn& col = record.columns[c];
      const bool text = record.IsText(c);
      mix(text ? 't' : 'b');
      if (!text || (record.encoding == TextEncoding::kUtf8 && ascii(col.body, col.length))) {
        mix(col.length);
        mix(BytesHash(col.body, col.length));
      } else {
        const std::string decoded = record.AsText(c);
        mix(decoded.size());
        mix(BytesHash(decoded.data(), decoded.size()));
      }
    }
  }
  return static_cast<size_t>(h);
}

SqlValue DecodeValue(uint64_t t, const uint8_t* body, uint32_t length, TextEncoding encoding) {
  switch (ValueClass(t)) {
    case 0: return nullptr;
    case 1: return IntegerValue(t, body, length);
    case 2: {
      uint64_t raw = 0;
      for (int i = 0; i < 8; ++i) raw = (raw << 8) | body[i];
      double d;
      std::memcpy(&d, &raw, sizeof d);
      return d;
    }
    case 3: {
      const std::string_view bytes(reinterpret_cast<const char*>(body), length);
      if (encoding == TextEncoding::kUtf16le) return Utf16ToUtf8(bytes, false);
      if (encoding == TextEncoding::kUtf16be) return Utf16ToUtf8(bytes, true);
      return std::string(bytes);
    }
    default: return BlobValue{std::string(reinterpret_cast<const char*>(body), length)};
  }
}

int CarvedRow::ColumnCount() const {
  thread_local std::vector<RecordColumn> columns;
  return LayOutRecord(record, columns) ? static_cast<int>(columns.size()) : 0;
}

std::vector<SqlValue> CarvedRow::Values() const {
  thread_local std::vector<RecordColumn> columns;
  std::vector<SqlValue> values;
  if (!LayOutRecord(record, columns)) return values;
  values.reserve(columns.size());
  for (const RecordColumn& col : columns) values.push_back(DecodeValue(col.serialType, col.body, col.length, encoding));
  if (hasRowid && rowidColumn >= 0 && rowidColumn < static_cast<int>(values.size())) values[rowidColumn] = rowid;
  return values;
}

GenericRow CarvedRow::Row() const {
  GenericRow row;
  row.deleted = true;
  row.hasRowid = hasRowid;
  row.rowid = rowid;
  row.values = Values();
  row.pageIndex = pageIndex;
  row.offset = offset;
  row.source = source;
  return row;
}

bool CarvedRow::Parse(ParsedRecord& out) const {
  out.Clear();
  out.encoding = encoding;
  out.hasRowid = hasRowid;
  out.rowid = hasRowid ? rowid : 0;
  if (!LayOutRecord(record, out.columns)) {
    out.columns.clear();
    return false;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(record.data());
  int h = static_cast<int>(std::min<size_t>(record.size(), 9));
  out.headerLength = static_cast<uint32_t>(ReadVarint(p, h));
  out.headerLengthVarintBytes = static_cast<uint32_t>(h);
  out.payloadLength = record.size();
  return true;
}

int CarvedFile::TableIndex(const std::string& name) const {
  for (size_t i = 0; i < tables.size(); ++i) {
    if (tables[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

Status CarveFile(CDbFileReader& reader, const std::filesystem::path& path, CarvedFile& file) {
  file = CarvedFile{};
  if (!reader.IsOpen() || reader.pageSize == 0) return status::kBadData;
  LoadCarveTables(reader, path, file.tables);
  Carver carver(reader, file.tables, file.rows, file.stats);
  carver.KeepLiveMatchKeys(file.liveMatchKeys);
  carver.KeepDroppedTables(file.droppedTables, &file.droppedTablePages);
  return carver.Run();
}

Status LoadCarveTables(CDbFileReader& reader, const std::filesystem::path& path, std::vector<CarveTable>& tables) {
  std::vector<std::string> names;
  const Status listed = ListTables(reader, names);
  for (const std::string& name : names) {
    CarveTable table;
    table.name = name;
    LoadTableSchema(path, name, table.schema);
    tables.push_back(std::move(table));
  }
  return listed;
}

}  // namespace orbanix
