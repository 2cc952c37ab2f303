// Carving of deleted rows in any table (generic mode): recall and precision
// over the generated corpus, and no live row ever reported as deleted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "platform/text.h"
#include "sqlite_pages/carver.h"
#include "tests/sqlite_pages/sqlite_oracle.h"
#include "tools/backupgen/fixture_db.h"
#include "tools/sqlitecorpus/corpus.h"

namespace orbanix::testing {
namespace {

// Databases of the corpus: seeds 1..8 cover every page size from 512 to
// 65,536; the sanitizer build takes the three smallest-page ones.
// ORBANIX_CORPUS_DBS overrides.
uint64_t CorpusSize() {
  if (const char* env = std::getenv("ORBANIX_CORPUS_DBS")) return std::strtoull(env, nullptr, 10);
#if defined(__SANITIZE_ADDRESS__)
  return 3;
#else
  return 8;
#endif
}

TEST(Carver, RecallAndPrecisionOverTheCorpus) {
  const auto dir = TempFolder("carver_corpus");
  corpus::Figures all;
  const uint64_t count = CorpusSize();
  for (uint64_t seed = 1; seed <= count; ++seed) {
    const corpus::CorpusDb db = corpus::BuildCorpusDb(dir / Format("c%llu.db", static_cast<unsigned long long>(seed)), seed);
    const corpus::Figures f = corpus::MeasureCorpusDb(db);
    // Never a live row reported as deleted.
    EXPECT_EQ(f.liveReported, 0u) << db.description;
    for (const std::string& m : f.mistakes) {
      if (m.find(" LIVE") != std::string::npos) ADD_FAILURE() << m;
    }
    all.Add(f);
  }
  for (int k = 0; k < corpus::kKindCount; ++k) {
    const corpus::KindFigures& kf = all.kinds[k];
    std::printf("%-14s deleted %4zu surviving %4zu recalled %4zu\n", corpus::KindName(static_cast<corpus::DeletionKind>(k)),
                kf.deleted, kf.surviving, kf.recalledSurviving);
  }
  std::printf("recall %.4f (%zu of %zu), precision %.4f (%zu of %zu)\n", all.Recall(), all.RecalledSurviving(),
              all.Surviving(), all.Precision(), all.exact, all.reported);
  RecordProperty("recall", Format("%.4f", all.Recall()));
  RecordProperty("precision", Format("%.4f", all.Precision()));
  ASSERT_GT(all.Surviving(), 500u);
  EXPECT_GE(all.Recall(), 0.95);
  EXPECT_GE(all.Precision(), 0.98);
  // Every row of a dropped table whose bytes survive comes back, with table null.
  const corpus::KindFigures& dropped = all.kinds[static_cast<int>(corpus::DeletionKind::kDroppedTable)];
  EXPECT_GE(dropped.recalledSurviving * 100, dropped.surviving * 95);
  // A table apps make, emptied a row per transaction and dropped: its freed
  // pages keep free-block headers of older layouts whose links lead nowhere,
  // and the records behind them still come back.
  const corpus::KindFigures& app = all.kinds[static_cast<int>(corpus::DeletionKind::kAppTableEmptied)];
  ASSERT_GT(app.surviving, 100u);
  EXPECT_GE(app.recalledSurviving * 100, app.surviving * 99);
  std::filesystem::remove_all(dir);
}

std::vector<CarvedRow> CarveFile(const std::filesystem::path& path, std::vector<CarveTable>& tables) {
  CDbFileReader reader;
  EXPECT_EQ(reader.Open(path), 0);
  EXPECT_EQ(LoadCarveTables(reader, path, tables), 0);
  std::vector<CarvedRow> rows;
  EXPECT_EQ(CarveDeletedRows(reader, tables, rows), 0);
  return rows;
}

// Rows that differ in every row, so that each carved row names its source.
std::vector<gen::Value> NumberedRow(int i) {
  return {int64_t{i} * 7919, "row number " + std::to_string(i) + " of the table", 0.5 + i};
}

// A table dropped after growing past one page: its root was an interior page
// that dropping emptied, its leaves went to the free list. A live table of
// the same columns would take those leaves for its own were they not traced
// from the dropped table's root: every row comes back as a row of no existing
// table, with the values it had.
TEST(Carver, DroppedTableTracedThroughItsEmptiedRoot) {
  const auto dir = TempFolder("carver_dropped");
  const auto path = dir / "d.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE kept(n INTEGER, label TEXT, x REAL)");
    db.Exec("CREATE TABLE gone(n INTEGER, label TEXT, x REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 150; ++i) db.Run("INSERT INTO gone VALUES (?, ?, ?)", NumberedRow(i));
    db.Run("INSERT INTO kept VALUES (?, ?, ?)", {int64_t{-1}, std::string("stays"), 0.25});
    db.Exec("COMMIT");
    ASSERT_GT(db.QueryInt("PRAGMA page_count"), 8);
    db.Exec("DROP TABLE gone");
  }
  std::vector<CarveTable> tables;
  const std::vector<CarvedRow> rows = CarveFile(path, tables);
  std::set<int> numbers;
  for (const CarvedRow& row : rows) {
    const std::vector<SqlValue> values = row.Values();
    ASSERT_EQ(row.table, -1) << Describe(values);
    ASSERT_EQ(values.size(), 3u);
    const int64_t* n = std::get_if<int64_t>(&values[0]);
    ASSERT_NE(n, nullptr);
    const int i = static_cast<int>(*n / 7919);
    EXPECT_TRUE(SameValues(values, {int64_t{i} * 7919, "row number " + std::to_string(i) + " of the table", 0.5 + i}));
    EXPECT_EQ(row.source, RowSource::kFreelistDroppedTable);
    numbers.insert(i);
  }
  EXPECT_EQ(numbers.size(), 150u);
  std::filesystem::remove_all(dir);
}

// Neighbours deleted one after the other inside a page: each cell keeps the
// free-block header written over its first bytes when it was freed. Every one
// is rebuilt with its values; the rows around them stay live and unreported.
TEST(Carver, RunOfNeighboursRebuiltFromTheHeadersTheyKept) {
  const auto dir = TempFolder("carver_run");
  const auto path = dir / "r.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 4096;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE t(n INTEGER, label TEXT, x REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 40; ++i) db.Run("INSERT INTO t VALUES (?, ?, ?)", NumberedRow(i));
    db.Exec("COMMIT");
    db.Exec("BEGIN");
    for (int i = 10; i <= 16; ++i) db.Exec("DELETE FROM t WHERE rowid = " + std::to_string(i));
    db.Exec("COMMIT");
  }
  std::vector<CarveTable> tables;
  const std::vector<CarvedRow> rows = CarveFile(path, tables);
  std::set<int> numbers;
  for (const CarvedRow& row : rows) {
    ASSERT_EQ(row.table, 0);
    const std::vector<SqlValue> values = row.Values();
    const int64_t* n = std::get_if<int64_t>(&values[0]);
    ASSERT_NE(n, nullptr) << Describe(values);
    const int i = static_cast<int>(*n / 7919);
    EXPECT_TRUE(SameValues(values, {int64_t{i} * 7919, "row number " + std::to_string(i) + " of the table", 0.5 + i}))
        << Describe(values);
    EXPECT_TRUE(numbers.insert(i).second) << "reported twice: " << i;
  }
  EXPECT_EQ(numbers, (std::set<int>{10, 11, 12, 13, 14, 15, 16}));
  std::filesystem::remove_all(dir);
}

// A free-block header over a cell whose payload length and rowid took 2
// bytes each leaves the record behind it whole: its header length (6) reads
// as an 8-byte integer's serial type too, which would make a row of bytes
// moved into other columns. Row 150's block was then cut short by a new
// cell taken from its end (the record runs past the block, its text partly
// overwritten): nothing of it is delivered. Row 100's block holds it whole:
// it comes back once, with its own values.
TEST(Carver, WholeRecordBehindFreeBlockHeaderNotReadAsOneThatLostItsHeader) {
  const auto dir = TempFolder("carver_whole_behind_header");
  const auto path = dir / "w.db";
  auto label = [](int i) {
    std::string text = "row " + std::to_string(i) + " ";
    while (text.size() < 300) text += static_cast<char>('A' + (i * 7 + text.size() * 3) % 26);
    return text;
  };
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA secure_delete=OFF");
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, label TEXT, x REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 200; ++i) db.Run("INSERT INTO t VALUES (?, NULL, ?, 1)", {int64_t{i}, label(i)});
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id = 100");
    db.Exec("DELETE FROM t WHERE id = 150");
    db.Exec("INSERT INTO t VALUES (150, 7, 'short', 2)");
  }
  std::vector<CarveTable> tables;
  const std::vector<CarvedRow> rows = CarveFile(path, tables);
  ASSERT_EQ(rows.size(), 1u);
  for (const CarvedRow& row : rows) {
    EXPECT_EQ(row.table, 0);
    EXPECT_TRUE(SameValues(row.Values(), {nullptr, nullptr, label(100), int64_t{1}})) << Describe(row.Values());
  }
  std::filesystem::remove_all(dir);
}

// A table emptied over thousands of pages: its leaves went to the free list,
// more of them than the carver searches at once, and with them the overflow
// pages of the long rows. Every deleted row comes back once, whole, in the
// order of the pages it lay on; the live rows left behind (the long ones
// among them too) are never reported.
TEST(Carver, LargeFreeListEveryRowOnceInPageOrder) {
  const auto dir = TempFolder("carver_large");
  const auto path = dir / "l.db";
  const int kRows = 5200, kKept = 200;
  int64_t searchable = 0;
  // Every fiftieth row spills onto overflow pages.
  auto label = [](int i) {
    std::string text = "row number " + std::to_string(i) + " of the table ";
    text += std::string(i % 50 == 0 ? 1500 : 150, static_cast<char>('a' + i % 26));
    return text;
  };
  auto row = [&](int i) { return std::vector<gen::Value>{int64_t{i} * 7919, label(i), 0.5 + i}; };
  {
    gen::FixtureOptions options;
    options.pageSize = 512;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE t(n INTEGER, label TEXT, x REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= kRows; ++i) db.Run("INSERT INTO t VALUES (?, ?, ?)", row(i));
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE rowid > " + std::to_string(kKept));
    ASSERT_GT(db.QueryInt("PRAGMA freelist_count"), 2500);
    // Every page is searched but the schema page and the overflow pages of
    // the live rows; of those, the last of each chain is searched past the
    // payload's end.
    searchable = db.QueryInt("PRAGMA page_count") - 1 -
                 db.QueryInt("SELECT count(*) FROM dbstat WHERE pagetype = 'overflow'") +
                 db.QueryInt("SELECT count(*) FROM t WHERE length(label) > 1000");
  }
  std::vector<CarveTable> tables;
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  ASSERT_EQ(LoadCarveTables(reader, path, tables), 0);
  std::vector<CarvedRow> rows;
  CarveStats stats;
  ASSERT_EQ(CarveDeletedRows(reader, tables, rows, &stats), 0);
  EXPECT_EQ(stats.pagesSearched, static_cast<size_t>(searchable));
  std::set<int> numbers;
  uint32_t lastPage = 0;
  // No record read out of other bytes: the page numbers of the freed
  // interior pages' cells and of the trunks' lists read as a header of
  // NULLs and one short number ([NULL, NULL, 32]) are no rows.
  size_t phantoms = 0;
  for (const CarvedRow& carved : rows) {
    EXPECT_GE(carved.pageIndex, lastPage) << "out of page order: " << Describe(carved.Values());
    lastPage = carved.pageIndex;
    const std::vector<SqlValue> values = carved.Values();
    const int64_t* n = std::get_if<int64_t>(&values[0]);
    const int i = n && *n % 7919 == 0 ? static_cast<int>(*n / 7919) : 0;
    if (i <= 0 || i > kRows || !SameValues(values, {int64_t{i} * 7919, label(i), 0.5 + i})) {
      ++phantoms;
      ADD_FAILURE() << "not a row of the table: " << Describe(carved.Values());
      continue;
    }
    EXPECT_GT(i, kKept) << "a live row reported: " << Describe(carved.Values());
    EXPECT_TRUE(numbers.insert(i).second) << "reported twice: " << i;
  }
  EXPECT_EQ(phantoms, 0u) << phantoms << " of " << rows.size();
  // The rows whose bytes survive: all but the few whose cells the free-list
  // trunk pages overwrote.
  EXPECT_GE(numbers.size(), static_cast<size_t>(kRows - kKept) * 97 / 100);
  size_t spilled = 0;
  for (int i : numbers) spilled += i % 50 == 0;
  EXPECT_GE(spilled, static_cast<size_t>(kRows - kKept) / 50 * 9 / 10);
  std::filesystem::remove_all(dir);
}

// A dropped table whose rows all equal rows of a live table: every one of
// them is a copy of a live row, found among thousands, and none is reported.
// A deleted row of a live table's page, spilled onto overflow pages, is
// still read whole.
TEST(Carver, CopiesOfLiveRowsAmongManyNeverReported) {
  const auto dir = TempFolder("carver_copies");
  const auto path = dir / "c.db";
  const int kRows = 6000;
  const std::string longLabel(2500, 'q');
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE kept(n INTEGER, label TEXT, x REAL)");
    db.Exec("CREATE TABLE copy(n INTEGER, label TEXT, x REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= kRows; ++i) db.Run("INSERT INTO kept VALUES (?, ?, ?)", NumberedRow(i));
    db.Run("INSERT INTO kept VALUES (?, ?, ?)", {int64_t{-5}, longLabel, 0.75});
    for (int i = kRows + 1; i <= kRows + 20; ++i) db.Run("INSERT INTO kept VALUES (?, ?, ?)", NumberedRow(i));
    db.Exec("INSERT INTO copy SELECT * FROM kept WHERE n > 0");
    db.Exec("COMMIT");
    // The free list first has a trunk page, so that the long row's
    // overflow pages become its leaves and keep their bytes.
    db.Exec("DROP TABLE copy");
    db.Exec("DELETE FROM kept WHERE n = -5");
  }
  std::vector<CarveTable> tables;
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  ASSERT_EQ(LoadCarveTables(reader, path, tables), 0);
  std::vector<CarvedRow> rows;
  CarveStats stats;
  ASSERT_EQ(CarveDeletedRows(reader, tables, rows, &stats), 0);
  EXPECT_GE(stats.droppedAsLive, static_cast<size_t>(kRows) * 9 / 10);
  ASSERT_EQ(rows.size(), 1u);
  for (const CarvedRow& row : rows) EXPECT_TRUE(SameValues(row.Values(), {int64_t{-5}, longLabel, 0.75})) << Describe(row.Values());
  std::filesystem::remove_all(dir);
}

// A live table of hundreds of pages, searched beside the walk of its tree (a
// batch of pages at a time, by two threads): the rows deleted from its
// pages come back once each, in page order, and no live row with them; the
// keys of its live rows are every live row's, whichever thread took them;
// and carving again gives the same rows in the same order.
TEST(Carver, LiveTreeSearchedBesideTheWalk) {
  const auto dir = TempFolder("carver_beside");
  const auto path = dir / "b.db";
  const int kRows = 9000;
  auto label = [](int i) {
    std::string text = "entry " + std::to_string(i) + " ";
    text += std::string(20 + i % 40, static_cast<char>('a' + i % 26));
    return text;
  };
  auto row = [&](int i) { return std::vector<SqlValue>{int64_t{i}, int64_t{i} * 7919, label(i), 0.5 + i}; };
  auto deleted = [](int i) { return i % 7 == 3 || i % 97 == 0; };  // singles and neighbours
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, label TEXT, x REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= kRows; ++i) {
      db.Run("INSERT INTO t VALUES (?, ?, ?, ?)", {int64_t{i}, int64_t{i} * 7919, label(i), 0.5 + i});
    }
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id % 7 = 3 OR id % 97 = 0");
    ASSERT_GT(db.QueryInt("SELECT count(*) FROM dbstat WHERE name = 't' AND pagetype = 'leaf'"), 400);
  }
  auto carve = [&](CarvedFile& file) {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    ASSERT_EQ(orbanix::CarveFile(reader, path, file), 0);
  };
  CarvedFile file;
  carve(file);
  const int t = file.TableIndex("t");
  ASSERT_GE(t, 0);
  std::set<int> found;
  uint32_t lastPage = 0;
  for (const CarvedRow& carved : file.rows) {
    EXPECT_GE(carved.pageIndex, lastPage) << "out of page order: " << Describe(carved.Values());
    lastPage = carved.pageIndex;
    std::vector<SqlValue> values = carved.Values();
    const int64_t* n = values.size() < 2 ? nullptr : std::get_if<int64_t>(&values[1]);
    const int i = n && *n % 7919 == 0 ? static_cast<int>(*n / 7919) : 0;
    // The rowid alias comes with the row only where the cell's header survived.
    if (!carved.hasRowid) values[0] = int64_t{i};
    // (Records read out of other bytes are another matter: not counted.)
    if (i <= 0 || i > kRows || !SameValues(values, row(i))) continue;
    EXPECT_TRUE(deleted(i)) << "a live row reported: " << i;
    EXPECT_TRUE(found.insert(i).second) << "reported twice: " << i;
  }
  int deletedCount = 0;
  for (int i = 1; i <= kRows; ++i) deletedCount += deleted(i);
  EXPECT_GE(found.size() * 100, static_cast<size_t>(deletedCount) * 85) << found.size() << " of " << deletedCount;
  // The live rows' keys, every one of them.
  std::vector<size_t> expected;
  for (int i = 1; i <= kRows; ++i) {
    if (!deleted(i)) expected.push_back(RowMatchKey(row(i), file.tables[t].schema));
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(file.liveMatchKeys[t], expected);
  // Again: the same rows in the same order and the same keys, whichever
  // thread took which page (that depends on the timing of each run).
  for (int round = 0; round < 3; ++round) {
    CarvedFile again;
    carve(again);
    EXPECT_EQ(again.liveMatchKeys[t], expected);
    ASSERT_EQ(again.rows.size(), file.rows.size());
    for (size_t k = 0; k < file.rows.size(); ++k) {
      EXPECT_EQ(again.rows[k].pageIndex, file.rows[k].pageIndex);
      EXPECT_EQ(again.rows[k].offset, file.rows[k].offset);
      EXPECT_TRUE(SameValues(again.rows[k].Values(), file.rows[k].Values()));
    }
  }
  std::filesystem::remove_all(dir);
}

// Each carved row comes with the key of its values (the one the table
// scans compare their finds by), whatever its table's rowid alias, its
// encoding, or a record shorter than its table; rows of tables that no
// longer exist decode to as many values as their record holds.
TEST(Carver, EachRowsKeyIsThatOfItsValues) {
  const auto dir = TempFolder("carver_keys");
  size_t keyed = 0;
  // Small pages; seed 10 is in UTF-16 with the rowid alias in column 1.
  for (uint64_t seed : {1, 2, 3, 10}) {
    const corpus::CorpusDb db = corpus::BuildCorpusDb(dir / Format("k%llu.db", static_cast<unsigned long long>(seed)), seed);
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(db.path), 0);
    CarvedFile file;
    ASSERT_EQ(CarveFile(reader, db.path, file), 0);
    for (const CarvedRow& row : file.rows) {
      const std::vector<SqlValue> values = row.Values();
      ASSERT_EQ(static_cast<int>(values.size()), row.ColumnCount()) << db.path;
      ASSERT_GT(values.size(), 0u) << db.path;
      EXPECT_EQ(row.encoding, reader.encoding);
      if (row.table < 0) continue;
      const TableSchema& schema = file.tables[row.table].schema;
      EXPECT_EQ(row.matchKey, RowMatchKey(values, schema)) << db.path << " " << Describe(values);
      EXPECT_EQ(row.rowidColumn, schema.rowidAliasColumn);
      ++keyed;
    }
  }
  EXPECT_GT(keyed, 100u);
  std::filesystem::remove_all(dir);
}

// Freed cells at every byte offset of the page, of a narrow table (few
// places in text can be its header length) and of a wide one (most letters
// can): the free space is searched a word at a time, and a record must come
// back wherever it lies in the word, at a region's last bytes too. Every
// other row is deleted, so each freed cell is a free block of its own. With
// small rowids the block's header covers the record's header length (the
// record is rebuilt behind the block's header); with rowids of five bytes
// and more it leaves the record whole.
TEST(Carver, FreedCellsAtEveryOffsetComeBack) {
  const auto dir = TempFolder("carver_offsets");
  for (const auto& [extra, base] : {std::pair{0, int64_t{0}}, std::pair{100, int64_t{0}},
                                    std::pair{0, int64_t{1} << 40}, std::pair{100, int64_t{1} << 40}}) {
    const auto path = dir / Format("o%d_%lld.db", extra, static_cast<long long>(base));
    std::string columns = "n INTEGER, label TEXT";
    for (int c = 0; c < extra; ++c) columns += Format(", c%d INTEGER", c);
    auto label = [](int i) { return "label " + std::to_string(i) + std::string(static_cast<size_t>(i % 23), 'a' + i % 26); };
    {
      gen::FixtureOptions options;
      options.pageSize = 4096;
      gen::FixtureDb db(path, options);
      db.Exec("PRAGMA secure_delete=OFF");
      db.Exec("CREATE TABLE t(" + columns + ")");
      db.Exec("BEGIN");
      for (int i = 1; i <= 120; ++i) {
        db.Run("INSERT INTO t(rowid, n, label) VALUES (?, ?, ?)", {base + i, int64_t{i} * 7919, label(i)});
      }
      db.Exec("COMMIT");
      db.Exec("DELETE FROM t WHERE n % 2 = 1");
    }
    std::vector<CarveTable> tables;
    const std::vector<CarvedRow> rows = CarveFile(path, tables);
    std::set<int> numbers;
    for (const CarvedRow& row : rows) {
      const std::vector<SqlValue> values = row.Values();
      ASSERT_GE(values.size(), 2u);
      const int64_t* n = std::get_if<int64_t>(&values[0]);
      ASSERT_NE(n, nullptr) << Describe(values);
      const int i = static_cast<int>(*n / 7919);
      EXPECT_EQ(*n, int64_t{i} * 7919) << Describe(values);
      EXPECT_TRUE(SameValues({values[1]}, {label(i)})) << Describe(values);
      EXPECT_TRUE(numbers.insert(i).second) << "reported twice: " << i;
    }
    std::set<int> odd;
    for (int i = 1; i <= 120; i += 2) odd.insert(i);
    EXPECT_EQ(numbers, odd) << "extra columns " << extra << ", rowids from " << base;
  }
  std::filesystem::remove_all(dir);
}

// Damaged files: the carver stays inside its pages and ends.
TEST(Carver, DamagedPagesEndWithoutReadingOutside) {
  const auto dir = TempFolder("carver_damaged");
  const corpus::CorpusDb db = corpus::BuildCorpusDb(dir / "d.db", 2);
  std::string bytes;
  {
    FILE* f = std::fopen(db.path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
  }
  std::vector<CarveTable> tables;
  CDbFileReader probe;
  ASSERT_EQ(probe.Open(db.path), 0);
  ASSERT_EQ(LoadCarveTables(probe, db.path, tables), 0);
  uint64_t state = 7;
  for (int round = 0; round < 20; ++round) {
    std::string damaged = bytes;
    // Scribble over page contents (not the 100-byte file header), and cut
    // the file short in some rounds.
    for (int i = 0; i < 300; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      damaged[100 + (state >> 33) % (damaged.size() - 100)] = static_cast<char>(state >> 17);
    }
    if (round % 4 == 3) damaged.resize(damaged.size() * 2 / 3);
    CDbFileReader reader;
    ASSERT_EQ(reader.OpenBytes(damaged), 0);
    std::vector<CarvedRow> rows;
    EXPECT_EQ(CarveDeletedRows(reader, tables, rows), 0);
  }
  CDbFileReader closed;
  std::vector<CarvedRow> rows;
  EXPECT_EQ(CarveDeletedRows(closed, tables, rows), 87);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing
