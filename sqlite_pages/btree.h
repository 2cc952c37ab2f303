// Table B-tree walk, cell lists and the one table scan every decoder uses.
//
// B-tree page header (at byte 100 of page index 0, byte 0 elsewhere):
//
//   byte  meaning
//   0     page type: 13 leaf table, 5 interior table (2, 10: index pages,
//         skipped by every walk)
//   1-2   offset of the first free block (0 = none)
//   3-4   number of cells
//   5-6   start of the cell content area
//   7     fragmented free bytes
//   8-11  right-most child page number (interior pages only)
//
// The cell pointer array (16-bit offsets from the page start) follows the
// header: from header byte 12 on interior pages, from byte 8 on leaf pages.
//
//   leaf table cell:      payload length (varint), rowid (varint), record;
//                         a spilled payload ends its local part with the
//                         4-byte first overflow page number
//   interior table cell:  left child page number (4 bytes), key (varint)
//   record:               header length (varint, counting itself), one
//                         serial type per column, then the column bodies
//
// Rows are delivered in ascending page index of their leaf page and, within
// a page, in cell-pointer order; then the deleted candidates of the same
// B-tree; then the rows found on free-list pages.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix {

// Offsets (from the page start) of the cells of a page, or of recovered
// record candidates (offset of the first serial type), in the order found.
using CellList = std::vector<uint16_t>;
// Page index -> cell list, iterated in ascending page index.
using PageCellMap = std::map<uint32_t, CellList>;
// Child page index -> key of the interior cell pointing to it (-1 for the
// right-most child and for table roots). Children are visited in ascending
// page index; the keys are kept but never steer a walk.
using ChildPageMap = std::map<uint32_t, int64_t>;

// Where a row handed to a RowDecoder was found.
enum class RowSource : uint8_t {
  kLive,              // a live cell of the table's B-tree
  kFreeblock,         // search 1: a free block inside a page of the table
  kTail,              // search 2: behind the highest cell of a page
  kGap,               // search 3: between the cell pointer array and the content area
  kStalePointer,      // search 4: a cell pointer left behind the live ones
  kFreelistCell,      // a cell (with header) of a free-list page of this table
  kFreelistCandidate,  // a candidate inside a free-list page of this table
  kFreelistDroppedTable  // a record on a free-list page of a table that no longer exists
};
const char* RowSourceName(RowSource source);

// Source per candidate, parallel to the CellList of the same page.
using PageSourceMap = std::map<uint32_t, std::vector<RowSource>>;

// One row handed to a RowDecoder.
struct RowInput {
  // Live (headerless false): the cell start (payload-length varint).
  // Headerless: the first serial type of a recovered record.
  const uint8_t* record = nullptr;
  uint32_t bytesToEnd = 0;      // bytes from `record` to the usable end of the page
  uint32_t nextCellExtent = 0;  // live: bytes from the cell start to the next cell or the usable end; 0 headerless
  bool headerless = false;
  int deleted = 0;              // 0 live row, 1 recovered
  uint32_t pageIndex = 0;
  uint32_t offset = 0;          // of `record` in its page
  RowSource source = RowSource::kLive;
  // Live parse: the whole payload lies at `record` (a cell rebuilt from a
  // recovered row's values), never on overflow pages.
  bool wholePayload = false;
  // Live parse: the rowid in the cell is a stand-in (0) for one that was
  // lost; the parsed record has none.
  bool rowidLost = false;
};

// The per-table decoder; the sink is whatever the lambda captures. Its result
// is not examined by the scan: a row that fails to decode (87) is dropped.
using RowDecoder = std::function<Status(CDbFileReader&, const RowInput&)>;

// Reads a SQLite varint of at most `bound` bytes (9 at most). On return
// `bound` holds the bytes taken; when the bound ends the varint early the
// value so far is returned and `bound` is left unchanged. Bound <= 0 gives 0.
uint64_t ReadVarint(const uint8_t* bytes, int& bound);

// Writes `v` as a SQLite varint into `out` (room for 9 bytes): the bytes
// written, 1 to 9 (the shortest form).
int WriteVarint(uint64_t v, uint8_t* out);

// The cells of the page whose B-tree header starts at `header` (within a
// page buffer of `pageSize` bytes starting at `page`). One cell: the content
// area start. Entries of the pointer array beyond the usable end are dropped.
CellList ListCells(const CDbFileReader& reader, const uint8_t* page, uint32_t headerOffset);

// Children of the interior table page in `page` (header at `headerOffset`).
void ListChildren(const CDbFileReader& reader, const uint8_t* page, uint32_t headerOffset, ChildPageMap& children);

// Root pages of every schema row whose type, name or tbl_name equals `name`
// (case-sensitive). Rows whose rootpage is not a positive 1- to 4-byte
// integer are skipped.
Status FindTableRoots(CDbFileReader& reader, const uint8_t* page0, const std::string& name, ChildPageMap& roots);

// A branch of a table's B-tree that a walk left out because the page
// pointed to cannot be a page of that tree: it lies beyond the end of the
// file, it is not a table page (an index page, a free-list page, zeroes), it
// was reached before (the tree points in a circle), its keys lie outside the
// range its parent's dividers give it, or it lies deeper than SQLite ever
// builds. The rest of the tree is still read. A table root that is not a
// B-tree page is reported with `parent` equal to `child`.
struct CutBranch {
  uint32_t parent = 0;  // page index of the interior page holding the pointer
  uint32_t child = 0;   // page index it points to
  std::string reason;   // why the page is not one of the tree's
};
using CutBranches = std::vector<CutBranch>;

// "page 7 (under page 3) holds keys outside ..." with 1-based page numbers,
// as SQLite numbers them.
std::string CutBranchText(const CutBranch& cut);

// Live cells of the leaf pages under `page` (index `index`), recursively.
// Children that cannot belong to the tree are left out with their subtrees
// and listed in `cuts` (when given); a child page that cannot be read ends
// the walk with the read's status.
Status CollectLiveCells(CDbFileReader& reader, const uint8_t* page, uint32_t index, PageCellMap& cells,
                        CutBranches* cuts = nullptr);

// A page whose bytes the caller holds already: the functions given one use
// those bytes instead of reading that page again.
struct PageAtHand {
  uint32_t index = 0;
  const uint8_t* bytes = nullptr;
};

// Called with a page's index and bytes; the bytes are valid during the call.
using PageVisitor = std::function<void(uint32_t index, const uint8_t* bytes)>;

// Calls the decoder on every cell of the map (live parse, headerless false),
// page by page in ascending index, each page read once; `visit` (when set)
// is then given the page's bytes. A page that cannot be read ends it with
// the read's status.
Status DecodeRows(CDbFileReader& reader, const PageCellMap& cells, const RowDecoder& decoder, int deleted,
                  RowSource source = RowSource::kLive, const PageAtHand* atHand = nullptr,
                  const PageVisitor* visit = nullptr);

// Decoders that share a table's rows between two threads. Each stage of the
// scan (the live rows, the deleted candidates of the table's pages, the
// free-list pages) is split in two stretches of pages in ascending order,
// about half of its rows (live) or pages (the searches) in each: `first`
// decodes the first
// stretch on the calling thread while `second` decodes the rest on a thread
// of its own, so every row of `first` comes before every row of `second`
// in table order. The decoders must not change the reader or any state they
// share. `joined` then runs on the calling thread before the next stage;
// `firstComplete` is false when the first stretch ended early on a page
// that could not be read (a single decoder would have delivered no row
// after it, so the second stretch's rows are to be dropped).
//
// The in-tree search of a page can share the read of its live rows when the
// decoders' owner can tell ahead which schema parameters (column counts)
// the live rows will leave in the reader: `learnAhead` sets them from the
// live cells and returns true when it could. The candidates then go to
// `searchFirst` and `searchSecond` (held apart from the live rows), and
// after `joined`, `searchJoined(firstComplete, keep)` appends them after the
// live rows, or drops them when `learnedAheadHeld` finds that the live rows
// left other parameters; the search is then made again on its own. These
// five are set together or not at all.
struct DecoderHalves {
  RowDecoder first;
  RowDecoder second;
  std::function<void(bool firstComplete)> joined;

  std::function<bool(CDbFileReader&, const PageCellMap& live)> learnAhead;
  std::function<bool(const CDbFileReader&)> learnedAheadHeld;
  RowDecoder searchFirst;
  RowDecoder searchSecond;
  std::function<void(bool firstComplete, bool keep)> searchJoined;
};

struct ScanOptions {
  bool recoverInTree = true;   // the deleted candidates in the table's own pages
  bool freePageStage = true;   // the free-list pages, after every tree
  // When set and the name has exactly one table tree, its rows go to these
  // decoders instead of the table decoder.
  const DecoderHalves* halves = nullptr;
  // The deleted rows are joined with the carver's rows of the table, each
  // row once (deleted_rows.h); off: every candidate of the searches as
  // found.
  bool carve = true;
  // When set, gets the branches of the table's trees that were left out
  // (appended).
  CutBranches* cuts = nullptr;
};

// The table scan: for every root page in ascending index, the live rows, then
// the deleted candidates of that B-tree; then the free-page stage; then
// (with options.carve) the carver's rows of the table that the searches did
// not find. Sets reader.tableName. Returns the code of the last failed step;
// status::kDamagedTree when every step ran but branches of the table's trees
// (or a root) had to be left out; or 0. The deleted candidates are searched
// on the leaves the live walk kept.
Status ScanTable(CDbFileReader& reader, const std::string& name, const RowDecoder& decoder,
                 const ScanOptions& options = {});

// Names of the tables in the schema (type "table"), in schema order.
Status ListTables(CDbFileReader& reader, std::vector<std::string>& names);

// The CREATE statement (column "sql") of the table `name` (ASCII case
// ignored), read from the schema's own pages: also where the SQLite library
// refuses the schema as a whole. 87 (and `sql` empty) when there is no such
// table.
Status FindTableSql(CDbFileReader& reader, const std::string& name, std::string& sql);

// Every table's (name, CREATE statement) in schema order, with one walk of
// the schema's pages; rows without a statement are left out.
Status ListTableSql(CDbFileReader& reader, std::vector<std::pair<std::string, std::string>>& tables);

}  // namespace orbanix
