#include "sqlite_pages/btree.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "platform/parallel.h"
#include "platform/text.h"
#include "sqlite_pages/deleted_rows.h"
#include "sqlite_pages/page_set.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"

namespace orbanix {

namespace {

// SQLite itself never builds trees deeper than 20 levels; a deeper walk is
// a damaged file pointing in circles through fresh pages.
constexpr int kMaxDepth = 40;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t HeaderOffsetOf(uint32_t index) { return index == 0 ? 100u : 0u; }

// The keys a subtree may hold, as its ancestors' dividers bound them: a
// table interior cell's key is the largest rowid of its left child, and
// every key of the right-most child lies above the page's last key.
struct KeyRange {
  bool hasLow = false;   // low is exclusive
  int64_t low = 0;
  bool hasHigh = false;  // high is inclusive
  int64_t high = 0;
  bool Holds(int64_t key) const { return (!hasLow || key > low) && (!hasHigh || key <= high); }
};

// The key of the cell at `off`: the rowid of a leaf cell, the divider of an
// interior cell. False when the cell runs past the usable end.
bool CellKey(const CDbFileReader& reader, const uint8_t* page, uint8_t type, uint16_t off, int64_t& key) {
  const uint32_t usable = reader.usableSize;
  uint32_t at = off;
  if (type == 5) {
    at += 4;
  } else {
    int bound = at < usable ? static_cast<int>(std::min<uint32_t>(usable - at, 9)) : 0;
    if (bound <= 0) return false;
    ReadVarint(page + at, bound);  // payload length
    at += static_cast<uint32_t>(bound);
  }
  if (at >= usable) return false;
  int bound = static_cast<int>(std::min<uint32_t>(usable - at, 9));
  key = static_cast<int64_t>(ReadVarint(page + at, bound));
  return true;
}

// Why the page `child` (its B-tree header at `bytes`) cannot be the page of
// a table tree that its parent gives the key range `range`; empty when it
// can be. The cells of a B-tree page are in key order: its first and last
// keys bound all the others.
std::string NotATreePage(const CDbFileReader& reader, const uint8_t* bytes, const KeyRange& range) {
  const uint8_t type = bytes[0];
  if (type != 13 && type != 5) {
    if (type == 2 || type == 10) return Format("is an index page (type %u), not a page of a table", type);
    if (type == 0) return "is not a page of a table (its header is zeroed)";
    return Format("is not a page of a table (type %u)", type);
  }
  // The first and the last cell as ListCells gives them, without the list.
  const uint32_t usable = reader.usableSize;
  const uint32_t count = Be16(bytes + 3);
  uint32_t firstOff = 0, lastOff = 0;
  if (count == 1) {
    firstOff = lastOff = Be16(bytes + 5);
  } else {
    const uint32_t arrayStart = type == 5 ? 12u : 8u;
    for (uint32_t i = 0; i < count && arrayStart + 2 * i + 2 <= usable; ++i) {
      const uint32_t off = Be16(bytes + arrayStart + 2 * i);
      if (off == 0 || off >= usable) continue;
      if (firstOff == 0) firstOff = off;
      lastOff = off;
    }
  }
  if (firstOff == 0 || firstOff >= usable || lastOff >= usable) return {};
  int64_t first = 0, last = 0;
  const bool firstRead = CellKey(reader, bytes, type, static_cast<uint16_t>(firstOff), first);
  const bool lastRead = CellKey(reader, bytes, type, static_cast<uint16_t>(lastOff), last);
  if ((firstRead && !range.Holds(first)) || (lastRead && !range.Holds(last))) {
    return "holds keys outside the range its parent gives it";
  }
  return {};
}

Status CollectLive(CDbFileReader& reader, const uint8_t* page, uint32_t index, PageCellMap& cells,
                   PageSet& visited, int depth, const KeyRange& range, CutBranches* cuts) {
  const uint32_t hdr = HeaderOffsetOf(index);
  if (hdr + 12 > reader.usableSize) return status::kOk;
  const uint8_t type = page[hdr];
  if (type == 13) {
    cells[index] = ListCells(reader, page, hdr);
    return status::kOk;
  }
  if (type != 5) return status::kOk;
  auto cut = [&](uint32_t child, std::string reason) {
    if (cuts) cuts->push_back(CutBranch{index, child, std::move(reason)});
  };
  // The children in cell order with the key range each may hold, then in
  // ascending page index (the order the pages are read in).
  std::vector<std::pair<uint32_t, KeyRange>> children;
  const CellList list = ListCells(reader, page, hdr);
  children.reserve(list.size() + 1);
  KeyRange left = range;
  for (uint16_t off : list) {
    if (off + 4u > reader.usableSize) continue;
    const uint32_t child = Be32(page + off);
    int64_t key = 0;
    if (!CellKey(reader, page, 5, off, key)) continue;
    KeyRange own = left;
    if (!own.hasHigh || key < own.high) {
      own.hasHigh = true;
      own.high = key;
    }
    if (child != 0) children.emplace_back(child - 1, own);
    if (!left.hasLow || key > left.low) {
      left.hasLow = true;
      left.low = key;
    }
  }
  const uint32_t rightMost = Be32(page + hdr + 8);
  if (rightMost != 0) children.emplace_back(rightMost - 1, left);
  std::stable_sort(children.begin(), children.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Pointers that no page can answer are left out before the reads, so
  // that a run of pages is never asked to reach past the file.
  const uint64_t pageCount = reader.PageCount();
  std::vector<std::pair<uint32_t, KeyRange>> readable;
  readable.reserve(children.size());
  for (const auto& entry : children) {
    const uint32_t child = entry.first;
    if (child >= pageCount) {
      cut(child, "lies beyond the end of the file");
    } else if (child == 0) {
      cut(child, "is the first page of the file, which holds the schema");
    } else if (depth + 1 >= kMaxDepth) {
      cut(child, "lies deeper than SQLite builds any tree");
    } else if (visited.Contains(child)) {
      cut(child, "was reached before (the tree points in a circle)");
    } else {
      readable.push_back(entry);
    }
  }
  PageRuns runs(reader);
  for (auto it = readable.begin(); it != readable.end(); ++it) {
    const uint32_t child = it->first;
    const uint8_t* bytes = nullptr;
    if (Status st = runs.Get(it, readable.end(), bytes); st != status::kOk) return st;
    // A page is taken as the tree's only once it passed, so that of two
    // pointers to one page the one whose key range fits it wins.
    if (std::string why = NotATreePage(reader, bytes, it->second); !why.empty()) {
      cut(child, std::move(why));
      continue;
    }
    if (!visited.Insert(child)) {
      cut(child, "was reached before (the tree points in a circle)");
      continue;
    }
    if (Status st = CollectLive(reader, bytes, child, cells, visited, depth + 1, it->second, cuts);
        st != status::kOk) {
      return st;
    }
  }
  return status::kOk;
}

}  // namespace

const char* RowSourceName(RowSource source) {
  switch (source) {
    case RowSource::kLive: return "live";
    case RowSource::kFreeblock: return "freeblock";
    case RowSource::kTail: return "tail";
    case RowSource::kGap: return "gap";
    case RowSource::kStalePointer: return "stale-pointer";
    case RowSource::kFreelistCell: return "freelist";
    case RowSource::kFreelistCandidate: return "freelist";
    case RowSource::kFreelistDroppedTable: return "freelist-dropped-table";
  }
  return "unknown";
}

uint64_t ReadVarint(const uint8_t* bytes, int& bound) {
  if (bound <= 0) return 0;
  uint64_t value = 0;
  const int limit = std::min(bound, 9);
  for (int i = 0; i < limit; ++i) {
    const uint8_t b = bytes[i];
    if (i == 8) {
      value = (value << 8) | b;
      bound = 9;
      return value;
    }
    value = (value << 7) | (b & 0x7F);
    if (b < 0x80) {
      bound = i + 1;
      return value;
    }
  }
  return value;
}

int WriteVarint(uint64_t v, uint8_t* out) {
  if (v > 0x00FFFFFFFFFFFFFFULL) {
    // Nine bytes: eight of seven bits, then a whole byte.
    out[8] = static_cast<uint8_t>(v);
    v >>= 8;
    for (int i = 7; i >= 0; --i) {
      out[i] = static_cast<uint8_t>((v & 0x7F) | 0x80);
      v >>= 7;
    }
    return 9;
  }
  uint8_t low[8];
  int n = 0;
  do {
    low[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  } while (v != 0);
  for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(low[n - 1 - i] | (i < n - 1 ? 0x80 : 0));
  return n;
}

CellList ListCells(const CDbFileReader& reader, const uint8_t* page, uint32_t headerOffset) {
  CellList cells;
  const uint32_t usable = reader.usableSize;
  if (headerOffset + 8 > usable) return cells;
  const uint8_t* header = page + headerOffset;
  const uint32_t count = Be16(header + 3);
  if (count == 1) {
    const uint32_t start = Be16(header + 5);
    if (start != 0 && start < usable) cells.push_back(static_cast<uint16_t>(start));
    return cells;
  }
  const uint32_t arrayStart = headerOffset + (header[0] == 5 ? 12u : 8u);
  cells.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t pos = arrayStart + 2 * i;
    if (pos + 2 > usable) break;  // a count larger than the page can hold
    const uint32_t off = Be16(page + pos);
    if (off != 0 && off < usable) cells.push_back(static_cast<uint16_t>(off));
  }
  return cells;
}

void ListChildren(const CDbFileReader& reader, const uint8_t* page, uint32_t headerOffset, ChildPageMap& children) {
  const uint32_t usable = reader.usableSize;
  if (headerOffset + 12 > usable) return;
  for (uint16_t off : ListCells(reader, page, headerOffset)) {
    if (off + 4u > usable) continue;
    const uint32_t child = Be32(page + off);
    int bound = static_cast<int>(usable - off - 4);
    const uint64_t key = ReadVarint(page + off + 4, bound);
    if (child != 0) children[child - 1] = static_cast<int64_t>(key);
  }
  const uint32_t rightMost = Be32(page + headerOffset + 8);
  if (rightMost != 0) children[rightMost - 1] = -1;
}

Status FindTableRoots(CDbFileReader& reader, const uint8_t* page0, const std::string& name, ChildPageMap& roots) {
  if (reader.pageSize == 0) return status::kBadData;
  // The schema table is rooted at page index 0; its leaf cells are rows
  // (type, name, tbl_name, rootpage, sql).
  PageCellMap schemaCells;
  PageSet visited(reader.PageCount());
  visited.Insert(0);
  const Status walk = CollectLive(reader, page0, 0, schemaCells, visited, 0, KeyRange{}, nullptr);
  std::vector<uint8_t> buffer(reader.pageSize);
  ParsedRecord record;
  for (const auto& [index, cells] : schemaCells) {
    const uint8_t* page = page0;
    if (index != 0) {
      if (Status st = reader.ReadPage(index, buffer.data()); st != status::kOk) return st;
      page = buffer.data();
    }
    for (uint16_t off : cells) {
      RowInput in;
      in.record = page + off;
      in.bytesToEnd = reader.usableSize - off;
      in.pageIndex = index;
      in.offset = off;
      if (ParseLiveRecord(reader, in, record) != status::kOk) continue;
      bool matches = false;
      for (int c = 0; c < 3 && !matches; ++c) {
        matches = record.IsText(c) && record.AsText(c) == name;
      }
      if (!matches) continue;
      // A rootpage that is not a positive 1- to 4-byte integer (views and
      // triggers store 0) names no B-tree.
      const uint64_t type = record.SerialType(3);
      if (type < 1 || type > 4) continue;
      const uint32_t root = record.AsUnsigned(3);
      if (root == 0) continue;
      roots[root - 1] = -1;
    }
  }
  return walk;
}

std::string CutBranchText(const CutBranch& cut) {
  if (cut.parent == cut.child) return Format("root page %u %s", cut.child + 1, cut.reason.c_str());
  return Format("page %u (under page %u) %s", cut.child + 1, cut.parent + 1, cut.reason.c_str());
}

Status CollectLiveCells(CDbFileReader& reader, const uint8_t* page, uint32_t index, PageCellMap& cells,
                        CutBranches* cuts) {
  if (reader.pageSize == 0) return status::kBadData;
  PageSet visited(reader.PageCount());
  visited.Insert(index);
  return CollectLive(reader, page, index, cells, visited, 0, KeyRange{}, cuts);
}

namespace {

// Calls the decoder on the cells `list` of the page `index` whose bytes are
// at `bytes`, in list order (`sorted` is scratch space).
void DecodeCells(CDbFileReader& reader, const uint8_t* bytes, uint32_t index, const CellList& list,
                 const RowDecoder& decoder, int deleted, RowSource source, std::vector<uint16_t>& sorted) {
  sorted.assign(list.begin(), list.end());
  std::sort(sorted.begin(), sorted.end());
  for (uint16_t off : list) {
    if (off >= reader.usableSize) continue;
    auto it = std::upper_bound(sorted.begin(), sorted.end(), off);
    const uint32_t next = it == sorted.end() ? reader.usableSize : *it;
    RowInput in;
    in.record = bytes + off;
    in.bytesToEnd = reader.usableSize - off;
    in.nextCellExtent = next - off;
    in.headerless = false;
    in.deleted = deleted;
    in.pageIndex = index;
    in.offset = off;
    in.source = source;
    decoder(reader, in);
  }
}

// DecodeRows over the pages [begin, end) of a cell map; `visit` (when set)
// is given each page's bytes after its rows.
Status DecodeRange(CDbFileReader& reader, PageCellMap::const_iterator begin, PageCellMap::const_iterator end,
                   const RowDecoder& decoder, int deleted, RowSource source, const PageAtHand* atHand = nullptr,
                   const PageVisitor* visit = nullptr) {
  PageRuns runs(reader);
  std::vector<uint16_t> sorted;
  for (auto page = begin; page != end; ++page) {
    const auto& [index, list] = *page;
    const uint8_t* bytes = atHand && atHand->index == index ? atHand->bytes : nullptr;
    if (!bytes) {
      if (Status st = runs.Get(page, end, bytes); st != status::kOk) return st;
    }
    DecodeCells(reader, bytes, index, list, decoder, deleted, source, sorted);
    if (visit) (*visit)(index, bytes);
  }
  return status::kOk;
}

// Splits the cell map where about half of its cells lie before.
PageCellMap::const_iterator Middle(const PageCellMap& cells) {
  size_t total = 0;
  for (const auto& [index, list] : cells) total += list.size();
  auto middle = cells.begin();
  for (size_t before = 0; middle != cells.end() && before < total / 2; ++middle) before += middle->second.size();
  return middle;
}

// Hands the deleted candidates of one page (its bytes in `page`) to the
// decoder: headerless, deleted 1.
void DecodePageCandidates(CDbFileReader& reader, const uint8_t* page, uint32_t index, const CellList& list,
                          const std::vector<RowSource>& sources, const RowDecoder& decoder) {
  for (size_t i = 0; i < list.size(); ++i) {
    const uint16_t off = list[i];
    if (off >= reader.usableSize) continue;
    RowInput in;
    in.record = page + off;
    in.bytesToEnd = reader.usableSize - off;
    in.nextCellExtent = 0;
    in.headerless = true;
    in.deleted = 1;
    in.pageIndex = index;
    in.offset = off;
    in.source = i < sources.size() ? sources[i] : RowSource::kFreeblock;
    decoder(reader, in);
  }
}

// The live rows of the pages [begin, end) and the deleted candidates found
// in each of those pages, with one read of each page: every page's live
// rows go to `live`, its candidates to `search`. A page that cannot be read
// ends both.
Status DecodeAndSearch(CDbFileReader& reader, PageCellMap::const_iterator begin, PageCellMap::const_iterator end,
                       const RowDecoder& live, const RowDecoder& search) {
  PageRuns runs(reader);
  std::vector<uint16_t> sorted;
  CellList list;
  std::vector<RowSource> sources;
  for (auto page = begin; page != end; ++page) {
    const uint8_t* bytes = nullptr;
    if (Status st = runs.Get(page, end, bytes); st != status::kOk) return st;
    DecodeCells(reader, bytes, page->first, page->second, live, 0, RowSource::kLive, sorted);
    list.clear();
    sources.clear();
    SearchLeafPage(reader, bytes, page->first, list, sources);
    DecodePageCandidates(reader, bytes, page->first, list, sources, search);
  }
  return status::kOk;
}

// Decodes the live rows of one B-tree in two stretches at once. With
// `searchToo`, the stretches also search their pages for deleted candidates
// (for the halves' search decoders); the statuses of the stretches are
// returned.
std::pair<Status, Status> DecodeLiveInHalves(CDbFileReader& reader, const PageCellMap& live,
                                             const DecoderHalves& halves, bool searchToo) {
  const auto middle = Middle(live);
  Status first = status::kOk, second = status::kOk;
  if (searchToo) {
    RunBeside([&] { second = DecodeAndSearch(reader, middle, live.end(), halves.second, halves.searchSecond); },
              [&] { first = DecodeAndSearch(reader, live.begin(), middle, halves.first, halves.searchFirst); });
  } else {
    RunBeside([&] { second = DecodeRange(reader, middle, live.end(), halves.second, 0, RowSource::kLive); },
              [&] { first = DecodeRange(reader, live.begin(), middle, halves.first, 0, RowSource::kLive); });
  }
  if (halves.joined) halves.joined(first == status::kOk);
  return {first, second};
}

// Searches the leaf pages [begin, end) of a live walk for deleted
// candidates and decodes them, page by page.
Status SearchAndDecode(CDbFileReader& reader, PageCellMap::const_iterator begin, PageCellMap::const_iterator end,
                       const RowDecoder& decoder) {
  PageRuns runs(reader);
  CellList list;
  std::vector<RowSource> sources;
  for (auto page = begin; page != end; ++page) {
    const uint8_t* bytes = nullptr;
    if (Status st = runs.Get(page, end, bytes); st != status::kOk) return st;
    list.clear();
    sources.clear();
    SearchLeafPage(reader, bytes, page->first, list, sources);
    DecodePageCandidates(reader, bytes, page->first, list, sources, decoder);
  }
  return status::kOk;
}

}  // namespace

Status DecodeRows(CDbFileReader& reader, const PageCellMap& cells, const RowDecoder& decoder, int deleted,
                  RowSource source, const PageAtHand* atHand, const PageVisitor* visit) {
  if (reader.pageSize == 0) return status::kBadData;
  return DecodeRange(reader, cells.begin(), cells.end(), decoder, deleted, source, atHand, visit);
}

namespace {

// The walk of ScanTable: the table's trees and the free-list pages.
Status ScanTableTrees(CDbFileReader& reader, const std::string& name, const RowDecoder& decoder,
                      const ScanOptions& options, bool& usedHalves);

// The deleted candidates of one stretch of a table's pages, held by their
// place (page and offset) while the live rows are read, instead of waiting
// there for the carver's finds (the file is carved beside the live walk);
// they go through the gate, in the order found, when the search is joined.
// Only rows lying in a page (a candidate, or a cell of a free-list page)
// are held: the page is read again for them.
struct HeldCandidates {
  std::vector<RowInput> rows;  // `record` cleared: it pointed into a page read then
  bool replaying = false;
};

// The decoder behind the gate of a table's deleted rows: a deleted row goes
// on only when the filter admits it; one the decoder then refuses is taken
// back, so that another copy of it may still be shown. `keys` (when given)
// collects the rows admitted, for the stretch's join to take back. With
// `held`, the candidates found in a page are held (HeldCandidates).
RowDecoder Gate(const std::shared_ptr<DeletedRowFilter>& filter, const RowDecoder& inner,
                const std::shared_ptr<std::vector<size_t>>& keys,
                const std::shared_ptr<HeldCandidates>& held = nullptr) {
  if (!inner) return inner;
  auto scratch = std::make_shared<ParsedRecord>();
  return [filter, inner, keys, scratch, held](CDbFileReader& r, const RowInput& in) -> Status {
    if (in.deleted == 0) return inner(r, in);
    if (held && !held->replaying && !in.wholePayload && in.offset < r.usableSize &&
        in.bytesToEnd == r.usableSize - in.offset) {
      RowInput place = in;
      place.record = nullptr;
      held->rows.push_back(place);
      return status::kOk;
    }
    std::vector<size_t> admitted;
    std::vector<uint8_t> rebuilt;
    if (!filter->Admit(r, in, *scratch, &admitted, &rebuilt)) return status::kBadData;
    Status st;
    if (rebuilt.empty()) {
      st = inner(r, in);
    } else {
      // The record read otherwise than found: as the cell the filter built.
      RowInput cell = in;
      cell.record = rebuilt.data();
      cell.bytesToEnd = cell.nextCellExtent = static_cast<uint32_t>(rebuilt.size());
      cell.headerless = false;
      cell.wholePayload = true;
      cell.rowidLost = true;
      st = inner(r, cell);
    }
    if (st != status::kOk) {
      filter->Forget(admitted);
    } else if (keys) {
      keys->insert(keys->end(), admitted.begin(), admitted.end());
    }
    return st;
  };
}

// Hands the held candidates through their gate `gated`, each page read
// again once; a page that can no longer be read whole ends them (the file
// changed since: what lies there now is not what was found).
void ReplayHeld(CDbFileReader& reader, HeldCandidates& held, const RowDecoder& gated) {
  held.replaying = true;
  std::vector<uint8_t> page(reader.pageSize);
  bool have = false;
  uint32_t index = 0;
  for (RowInput in : held.rows) {
    if (!have || in.pageIndex != index) {
      index = in.pageIndex;
      have = reader.ReadPage(index, page.data()) == status::kOk;
      if (!have) break;
    }
    in.record = page.data() + in.offset;
    gated(reader, in);
  }
  held.rows.clear();
  held.rows.shrink_to_fit();
  held.replaying = false;
}

// The halves with their deleted rows behind the gate. A stretch's rows that
// its join throws away are taken back from the filter. The in-tree search
// that shares the live rows' reads does not wait for the carver: its
// candidates are held and go through the gate when the search is joined,
// one stretch after the other.
//
// Which copy of a row found by both stretches is shown must not depend on
// which thread gets to the gate first: the second stretch's deleted rows
// (the in-tree search of a table split in halves, the free-list stage in
// halves) are held while the stretches run, and go through the gate after
// the first stretch's, when the stretches are joined.
DecoderHalves GateHalves(CDbFileReader& reader, const std::shared_ptr<DeletedRowFilter>& filter,
                         const DecoderHalves& halves) {
  DecoderHalves gated = halves;
  auto firstKeys = std::make_shared<std::vector<size_t>>();
  auto secondKeys = std::make_shared<std::vector<size_t>>();
  auto searchFirstKeys = std::make_shared<std::vector<size_t>>();
  auto searchSecondKeys = std::make_shared<std::vector<size_t>>();
  auto heldSecondRows = halves.second ? std::make_shared<HeldCandidates>() : nullptr;
  gated.first = Gate(filter, halves.first, firstKeys);
  gated.second = Gate(filter, halves.second, secondKeys, heldSecondRows);
  gated.joined = [&reader, filter, firstKeys, secondKeys, heldSecondRows, second = gated.second,
                  joined = halves.joined](bool firstComplete) {
    if (heldSecondRows) {
      // A stretch after a page the first could not read is thrown away.
      if (firstComplete) {
        ReplayHeld(reader, *heldSecondRows, second);
      } else {
        heldSecondRows->rows.clear();
      }
    }
    if (!firstComplete) filter->Forget(*secondKeys);
    firstKeys->clear();
    secondKeys->clear();
    if (joined) joined(firstComplete);
  };
  if (halves.searchJoined) {
    auto heldFirst = std::make_shared<HeldCandidates>();
    auto heldSecond = std::make_shared<HeldCandidates>();
    gated.searchFirst = Gate(filter, halves.searchFirst, searchFirstKeys, heldFirst);
    gated.searchSecond = Gate(filter, halves.searchSecond, searchSecondKeys, heldSecond);
    gated.searchJoined = [&reader, filter, searchFirstKeys, searchSecondKeys, heldFirst, heldSecond,
                          searchFirst = gated.searchFirst, searchSecond = gated.searchSecond,
                          searchJoined = halves.searchJoined](bool firstComplete, bool keep) {
      // Candidates that are thrown away anyway are not looked at.
      if (!keep) heldFirst->rows.clear();
      if (!keep || !firstComplete) heldSecond->rows.clear();
      // One stretch after the other: a row found in both is the first
      // stretch's (the gate keeps the copy it is shown first).
      ReplayHeld(reader, *heldFirst, searchFirst);
      ReplayHeld(reader, *heldSecond, searchSecond);
      if (!keep) filter->Forget(*searchFirstKeys);
      if (!keep || !firstComplete) filter->Forget(*searchSecondKeys);
      searchFirstKeys->clear();
      searchSecondKeys->clear();
      searchJoined(firstComplete, keep);
    };
  }
  return gated;
}

}  // namespace

Status ScanTable(CDbFileReader& reader, const std::string& name, const RowDecoder& tableDecoder,
                 const ScanOptions& scanOptions) {
  if (reader.pageSize == 0) return status::kBadData;
  // Every deleted row of the table goes through one gate (each row once,
  // none equal to a live row, none garbled); the carver's rows follow at
  // the end. The file is carved on a thread of its own while the live rows
  // are read: the gate waits for the carver's finds at the first deleted
  // row (the search along the live rows holds its candidates until it is
  // joined, so that the live rows are read meanwhile).
  std::shared_ptr<DeletedRowFilter> filter;
  ScanOptions options = scanOptions;
  DecoderHalves gatedHalves;
  RowDecoder gated;
  if (options.carve && (options.recoverInTree || options.freePageStage)) {
    filter = std::make_shared<DeletedRowFilter>(CarvedFileBeside(reader), name);
    gated = Gate(filter, tableDecoder, nullptr);
    if (options.halves) {
      gatedHalves = GateHalves(reader, filter, *options.halves);
      options.halves = &gatedHalves;
    }
  }
  const RowDecoder& decoder = filter ? gated : tableDecoder;
  bool usedHalves = false;
  const Status last = ScanTableTrees(reader, name, decoder, options, usedHalves);
  if (filter) {
    // Where the table's rows went: to the halves (then joined as a stage
    // of their own), or to the table decoder.
    if (usedHalves) {
      if (filter->DeliverCarved(reader, scanOptions.halves->first, scanOptions.halves->second) > 0 &&
          scanOptions.halves->joined) {
        scanOptions.halves->joined(true);
      }
    } else {
      filter->DeliverCarved(reader, tableDecoder);
    }
    // The next scan of this reader uses the same finds.
    if (!reader.carvedFile) reader.carvedFile = filter->Carved();
  }
  return last;
}

namespace {

Status ScanTableTrees(CDbFileReader& reader, const std::string& name, const RowDecoder& decoder,
                      const ScanOptions& options, bool& usedHalves) {
  std::vector<uint8_t> buffer(reader.pageSize);
  if (Status st = reader.ReadPage(0, buffer.data()); st != status::kOk) return st;
  ChildPageMap roots;
  FindTableRoots(reader, buffer.data(), name, roots);
  reader.tableName = name;

  // The live rows go to the halves only when the name has one table tree
  // (indexes of the table share its name): with several, the rows of each
  // tree come before the next tree's deleted candidates.
  bool halves = false;
  if (options.halves) {
    int trees = 0;
    for (const auto& [root, key] : roots) {
      if (reader.ReadPage(root, buffer.data()) != status::kOk) continue;
      const uint8_t type = buffer[HeaderOffsetOf(root)];
      trees += type == 13 || type == 5;
    }
    halves = trees == 1;
  }
  usedHalves = halves;
  Status last = status::kOk;
  CutBranches cuts;
  for (const auto& [root, key] : roots) {
    (void)key;
    if (Status st = reader.ReadPage(root, buffer.data()); st != status::kOk) {
      last = st;
      break;
    }
    // The name's roots are the table's and its indexes'; a root that is
    // neither a table page nor an index page (zeroes, garbage) is a table
    // whose rows cannot be reached.
    if (const uint8_t type = buffer[HeaderOffsetOf(root)]; type != 13 && type != 5 && type != 2 && type != 10) {
      cuts.push_back(CutBranch{root, root, Format("is not a page of a B-tree (type %u)", type)});
      continue;
    }
    // The live rows first: their decoders learn schema parameters of the
    // reader that the searches below use.
    PageCellMap live;
    const Status collected = CollectLiveCells(reader, buffer.data(), root, live, &cuts);
    // The in-tree search shares the live rows' read of each page when the
    // decoders can tell the schema parameters the live rows will leave.
    const bool searchAlong = halves && !live.empty() && collected == status::kOk && options.recoverInTree &&
                             options.halves->learnAhead && options.halves->learnAhead(reader, live);
    // Rows collected before a failed page are still delivered.
    std::pair<Status, Status> stretches{status::kOk, status::kOk};
    if (halves && !live.empty()) {
      stretches = DecodeLiveInHalves(reader, live, *options.halves, searchAlong);
    } else {
      DecodeRows(reader, live, decoder, 0, RowSource::kLive);
    }
    if (collected != status::kOk) {
      last = collected;
      break;
    }
    if (!options.recoverInTree) continue;
    if (searchAlong) {
      // The candidates were found with the parameters learned ahead; they
      // stand when the live rows left the same ones.
      const bool held = options.halves->learnedAheadHeld(reader);
      options.halves->searchJoined(stretches.first == status::kOk, held);
      if (held) {
        if (Status st = stretches.first != status::kOk ? stretches.first : stretches.second; st != status::kOk) {
          last = st;
          break;
        }
        continue;
      }
    }
    if (halves && !live.empty()) {
      // The leaves are those the live walk found (the search walks the same
      // tree the same way): each half searches its pages and decodes what
      // it finds with one read of each page.
      const auto middle = std::next(live.begin(), static_cast<std::ptrdiff_t>(live.size() / 2));
      Status first = status::kOk, second = status::kOk;
      RunBeside([&] { second = SearchAndDecode(reader, middle, live.end(), options.halves->second); },
                [&] { first = SearchAndDecode(reader, live.begin(), middle, options.halves->first); });
      if (options.halves->joined) options.halves->joined(first == status::kOk);
      if (Status st = first != status::kOk ? first : second; st != status::kOk) {
        last = st;
        break;
      }
      continue;
    }
    // The candidates of the leaves the live walk kept (a page it left out
    // belongs to no tree of this table); a page that cannot be read ends
    // them (and is the scan's last failure so far); the free-list pages
    // still follow.
    if (Status st = SearchAndDecode(reader, live.begin(), live.end(), decoder); st != status::kOk) last = st;
  }
  if (options.freePageStage) {
    if (Status st = RunFreePageStage(reader, decoder, halves ? options.halves : nullptr); st != status::kOk) last = st;
  }
  if (!cuts.empty()) {
    if (last == status::kOk) last = status::kDamagedTree;
    if (options.cuts) options.cuts->insert(options.cuts->end(), cuts.begin(), cuts.end());
  }
  return last;
}

}  // namespace

namespace {

// Calls `row` with every live row of the schema table.
Status ForEachSchemaRow(CDbFileReader& reader, const std::function<void(const ParsedRecord&)>& row) {
  if (reader.pageSize == 0) return status::kBadData;
  std::vector<uint8_t> page0(reader.pageSize);
  if (Status st = reader.ReadPage(0, page0.data()); st != status::kOk) return st;
  PageCellMap schemaCells;
  PageSet visited(reader.PageCount());
  visited.Insert(0);
  const Status walk = CollectLive(reader, page0.data(), 0, schemaCells, visited, 0, KeyRange{}, nullptr);
  std::vector<uint8_t> buffer(reader.pageSize);
  ParsedRecord record;
  for (const auto& [index, cells] : schemaCells) {
    const uint8_t* page = page0.data();
    if (index != 0) {
      if (Status st = reader.ReadPage(index, buffer.data()); st != status::kOk) return st;
      page = buffer.data();
    }
    for (uint16_t off : cells) {
      RowInput in;
      in.record = page + off;
      in.bytesToEnd = reader.usableSize - off;
      if (ParseLiveRecord(reader, in, record) != status::kOk) continue;
      row(record);
    }
  }
  return walk;
}

}  // namespace

Status ListTables(CDbFileReader& reader, std::vector<std::string>& names) {
  return ForEachSchemaRow(reader, [&](const ParsedRecord& record) {
    if (record.AsText(0) == "table" && record.IsText(1)) names.push_back(record.AsText(1));
  });
}

Status FindTableSql(CDbFileReader& reader, const std::string& name, std::string& sql) {
  sql.clear();
  bool found = false;
  const Status st = ForEachSchemaRow(reader, [&](const ParsedRecord& record) {
    if (found || record.AsText(0) != "table" || !record.IsText(1) || !record.IsText(4)) return;
    if (!EqualsIgnoreAsciiCase(record.AsText(1), name)) return;
    sql = record.AsText(4);
    found = true;
  });
  if (found) return status::kOk;
  return st != status::kOk ? st : status::kBadData;
}

Status ListTableSql(CDbFileReader& reader, std::vector<std::pair<std::string, std::string>>& tables) {
  return ForEachSchemaRow(reader, [&](const ParsedRecord& record) {
    if (record.AsText(0) != "table" || !record.IsText(1) || !record.IsText(4)) return;
    tables.emplace_back(record.AsText(1), record.AsText(4));
  });
}

}  // namespace orbanix
