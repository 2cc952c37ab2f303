// A corpus of small SQLite databases with deleted rows, built through the
// SQLite library with secure_delete off, each with the exact truth of its
// deleted rows: their values, how they were deleted, and whether their record
// bytes are still in the file. Used to measure the carving of deleted rows
// (recall and precision) in a test and in the report command.
//
// Deletion kinds:
//   single        a row deleted alone
//   run           3-8 neighbouring rows deleted one after the other
//   first-of-page the row of a leaf page's first cell pointer
//   overflow      a row whose payload spilled onto overflow pages
//   overwritten   a row whose rowid was then inserted again with new values
//                 (the new cell usually lands on the old one's bytes)
//   freed-pages   a range of rows long enough to empty whole leaf pages
//   dropped-table every row of a table dropped after filling
//   emptied-dropped every row of a table deleted one by one, then dropped
//   app-emptied   the same for an app-shaped table, a transaction per row
//
// Each database varies by seed: page size 512-65,536, reserved bytes per
// page, UTF-8 or UTF-16le text, auto-vacuum off or incremental (with an
// incremental vacuum at the end), tables with an INTEGER PRIMARY KEY in
// column 0 or 1 or without one, all declared types and NULLs, and sometimes
// a WITHOUT ROWID table whose deleted rows are left out of the truth (they
// must not be reported as rows of another table either).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sqlite_pages/record.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::corpus {

// kEmptiedThenDropped: every row of a table deleted one by one, then the
// table dropped. kAppTableEmptied: the same for a table shaped as apps make
// them (an INTEGER PRIMARY KEY, then columns of declared types), in every
// database, each DELETE a transaction of its own: the pages shrink and merge
// as they do on a phone, and free blocks of older layouts of a page stay
// behind on the pages freed.
enum class DeletionKind : uint8_t {
  kSingle,
  kRun,
  kFirstOfPage,
  kOverflow,
  kOverwritten,
  kFreedPages,
  kDroppedTable,
  kEmptiedThenDropped,
  kAppTableEmptied
};
constexpr int kKindCount = 9;
const char* KindName(DeletionKind kind);

struct TruthRow {
  std::string table;  // empty: a table that no longer exists
  DeletionKind kind = DeletionKind::kSingle;
  int64_t rowid = 0;
  std::vector<SqlValue> values;  // as stored: the rowid-alias column NULL
  bool survives = false;         // the cell's bytes behind its first 4, and its overflow data, are in the file
  uint32_t page = 0, offset = 0;  // where the cell lay before the deletions (page number from 1)
};

struct CorpusDb {
  std::filesystem::path path;
  uint64_t seed = 0;
  gen::FixtureOptions options;
  std::string description;
  std::map<std::string, int> aliasColumn;  // live rowid tables -> rowid-alias column (-1 none)
  std::vector<TruthRow> deleted;
};

// Writes the database for `seed` at `path` (replacing it). Throws
// std::runtime_error when the library fails.
CorpusDb BuildCorpusDb(const std::filesystem::path& path, uint64_t seed);

// The truth as JSON lines: {"table", "kind", "rowid", "survives", "page", "offset", "values"}.
void WriteTruth(const CorpusDb& db, const std::filesystem::path& file);

// --- measurement of the carving over a corpus database ---

struct KindFigures {
  size_t deleted = 0, surviving = 0, recalledSurviving = 0, recalledLost = 0;
};
struct SourceFigures {
  size_t reported = 0, exact = 0;
};
struct Figures {
  KindFigures kinds[kKindCount];
  std::map<std::string, SourceFigures> sources;  // by "source" name
  size_t reported = 0, exact = 0, liveReported = 0;
  double liveSeconds = 0, carveSeconds = 0;
  std::vector<std::string> mistakes;  // descriptions of the first few wrong rows
  std::vector<std::string> misses;    // descriptions of the first few surviving rows not found
  void Add(const Figures& other);
  size_t Surviving() const;
  size_t RecalledSurviving() const;
  double Recall() const;
  double Precision() const;
};

// Carves the database and compares with its truth. The live-row scan (every
// table read with the page reader, no recovery) is timed as the baseline.
Figures MeasureCorpusDb(const CorpusDb& db);

// Values equal as stored (an integer equals a real of the same value: REAL
// columns keep whole numbers as integers on disk).
bool SameValues(const std::vector<SqlValue>& a, const std::vector<SqlValue>& b);
std::string Describe(const std::vector<SqlValue>& values);

}  // namespace orbanix::corpus
