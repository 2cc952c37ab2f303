// B-tree walk and record parsing: varints, cell lists, schema roots, record
// values of every width, overflow chains, damaged trees.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/page_set.h"
#include "sqlite_pages/record.h"
#include "tests/sqlite_pages/page_builder.h"
#include "tests/sqlite_pages/sqlite_oracle.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::testing {
namespace {

// rootpage of every schema row, as the library reports it.
std::set<uint32_t> LibraryRoots(const std::filesystem::path& db, const std::string& sqlWhere) {
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "SELECT rootpage FROM sqlite_master WHERE rootpage > 0 AND " + sqlWhere;
  sqlite3_prepare_v2(h, sql.c_str(), -1, &stmt, nullptr);
  std::set<uint32_t> roots;
  while (sqlite3_step(stmt) == SQLITE_ROW) roots.insert(static_cast<uint32_t>(sqlite3_column_int(stmt, 0)) - 1);
  sqlite3_finalize(stmt);
  sqlite3_close(h);
  return roots;
}

std::set<uint32_t> OurRoots(CDbFileReader& reader, const std::string& name) {
  std::vector<uint8_t> page0(reader.pageSize);
  EXPECT_EQ(reader.ReadPage(0, page0.data()), 0);
  ChildPageMap roots;
  EXPECT_EQ(FindTableRoots(reader, page0.data(), name, roots), 0);
  std::set<uint32_t> out;
  for (const auto& [index, key] : roots) out.insert(index);
  return out;
}

TEST(Varint, LengthsBoundsAndNineByteValues) {
  const uint8_t two[] = {0x81, 0x00};
  int bound = 5;
  EXPECT_EQ(ReadVarint(two, bound), 128u);
  EXPECT_EQ(bound, 2);
  bound = 1;  // cut short: the value so far, bound unchanged
  EXPECT_EQ(ReadVarint(two, bound), 1u);
  EXPECT_EQ(bound, 1);
  bound = 0;
  EXPECT_EQ(ReadVarint(two, bound), 0u);
  for (uint64_t v : {0ull, 127ull, 128ull, 16383ull, 16384ull, 0x00FFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull,
                     0x8000000000000000ull}) {
    const std::string bytes = Varint(v);
    bound = 9;
    EXPECT_EQ(ReadVarint(reinterpret_cast<const uint8_t*>(bytes.data()), bound), v);
    EXPECT_EQ(bound, static_cast<int>(bytes.size()));
    // Written back the same, in its shortest form.
    uint8_t written[9];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(written), static_cast<size_t>(WriteVarint(v, written))), bytes);
  }
}

TEST(Record, IntegersOfEveryWidthUnsignedAndSigned) {
  const std::string rec = Record({{1, "\xFF"}, {2, "\xFF\xFF"}, {3, std::string("\x80\x00\x01", 3)}, {4, "\xFF\xFF\xFF\xFE"},
                                  {5, std::string("\xFF\xFF\xFF\xFF\xFF\xFD", 6)},
                                  {6, std::string("\x80\x00\x00\x00\x00\x00\x00\x00", 8)}, {8, ""}, {9, ""},
                                  {7, std::string("\x3F\xF8\x00\x00\x00\x00\x00\x00", 8)}, Null(), {12, ""}});
  const std::string page = LeafPage(512, {LeafCell(3, rec)});
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(OneTableDatabase(512, "t", "a", page)), 0);
  RowInput in;
  const uint32_t off = 512 - static_cast<uint32_t>(LeafCell(3, rec).size());
  in.record = reinterpret_cast<const uint8_t*>(page.data()) + off;
  in.bytesToEnd = 512 - off;
  ParsedRecord r;
  ASSERT_EQ(ParseLiveRecord(reader, in, r), 0);
  EXPECT_EQ(r.rowid, 3);
  EXPECT_EQ(r.AsUnsigned(0), 255u);  // 0xFF is 255 for the decoders, -1 as a signed value
  EXPECT_EQ(r.AsInt64(0), -1);
  EXPECT_EQ(r.AsUnsigned(1), 65535u);
  EXPECT_EQ(r.AsInt64(1), -1);
  EXPECT_EQ(r.AsInt64(2), -8388607);
  EXPECT_EQ(r.AsInt64(3), -2);
  EXPECT_EQ(r.AsInt64(4), -3);
  EXPECT_EQ(r.AsInt64(5), INT64_MIN);
  EXPECT_EQ(r.AsInt64(6), 0);
  EXPECT_EQ(r.AsInt64(7), 1);
  EXPECT_EQ(r.AsReal(8), 1.5);
  EXPECT_TRUE(r.IsNull(9));
  EXPECT_TRUE(r.IsBlob(10));
  EXPECT_TRUE(r.IsNull(11));  // beyond the record

  // Laid out up to column 3 only: the count stays whole, the later columns
  // read as absent, and a parse that reuses the record starts afresh.
  ASSERT_EQ(ParseLiveRecord(reader, in, r, true, 3), 0);
  EXPECT_EQ(r.ColumnCount(), 11);
  EXPECT_EQ(r.AsInt64(2), -8388607);
  EXPECT_FALSE(r.Has(3));
  EXPECT_TRUE(r.IsNull(8));
  ASSERT_EQ(ParseLiveRecord(reader, in, r), 0);
  EXPECT_EQ(r.ColumnCount(), 11);
  EXPECT_EQ(r.AsReal(8), 1.5);

  // A body past the bound fails the parse also where it is only counted.
  const std::string longText = Record({Int8(1), Text("abc")});
  const std::string cell = LeafCell(4, longText);
  const std::string shortPage = LeafPage(512, {cell});
  RowInput cut;
  const uint32_t at = 512 - static_cast<uint32_t>(cell.size());
  cut.record = reinterpret_cast<const uint8_t*>(shortPage.data()) + at;
  cut.bytesToEnd = 512 - at - 1;  // the text's last byte lies beyond
  EXPECT_EQ(ParseLiveRecord(reader, cut, r, true, 1), 87);
  EXPECT_EQ(ParseLiveRecord(reader, cut, r), 87);
}

TEST(Btree, OneCellPageListsTheContentAreaStart) {
  std::string page = LeafPage(512, {LeafCell(1, Record({Text("x")}))});
  Put16(page, 8, 300);  // the pointer array disagrees; the content-area start counts
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(OneTableDatabase(512, "t", "a", page)), 0);
  const CellList cells = ListCells(reader, reinterpret_cast<const uint8_t*>(page.data()), 0);
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_EQ(cells[0], 512 - LeafCell(1, Record({Text("x")})).size());
}

TEST(Btree, RootsOfLeafAndInteriorSchemaPagesIndexRootsAndSkippedZeroRoots) {
  const auto dir = TempFolder("btree_roots");
  for (int tables : {1, 80}) {
    const auto path = dir / ("s" + std::to_string(tables) + ".db");
    {
      gen::FixtureOptions options;
      options.pageSize = 512;
      gen::FixtureDb db(path, options);
      db.Exec("PRAGMA synchronous=OFF");
      for (int i = 0; i < tables; ++i) {
        db.Exec("CREATE TABLE t" + std::to_string(i) + "(id INTEGER PRIMARY KEY, v TEXT)");
      }
      db.Exec("CREATE INDEX t0_v ON t0(v)");
      // A trigger and a view whose tbl_name is the table: rootpage 0.
      db.Exec("CREATE TRIGGER t0_trg AFTER INSERT ON t0 BEGIN SELECT 1; END");
      db.Exec("BEGIN");
      for (int i = 0; i < 300; ++i) db.Run("INSERT INTO t0(v) VALUES (?)", {std::string(20, 'a' + i % 26)});
      db.Exec("COMMIT");
    }
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    std::vector<uint8_t> page0(reader.pageSize);
    ASSERT_EQ(reader.ReadPage(0, page0.data()), 0);
    EXPECT_EQ(page0[100], tables == 1 ? 13 : 5);
    EXPECT_EQ(OurRoots(reader, "t0"), LibraryRoots(path, "tbl_name = 't0'"));
    EXPECT_EQ(OurRoots(reader, "t0").size(), 2u);  // table and index, not the trigger
    if (tables > 1) {
      EXPECT_EQ(OurRoots(reader, "t79"), LibraryRoots(path, "name = 't79'"));
    }
    // The index pages are skipped: every row once.
    const ScanResult scan = ScanGeneric(path, "t0");
    EXPECT_EQ(scan.status, 0);
    size_t live = 0;
    for (const auto& row : scan.rows) live += !row.deleted;
    EXPECT_EQ(live, 300u);
  }
  std::filesystem::remove_all(dir);
}

TEST(Btree, TextPastThePageEndDropsOnlyThatRow) {
  std::string bad = Record({Text("abcdef")});
  bad[1] = static_cast<char>(13 + 2 * 100);  // claims 100 bytes
  bad.insert(1, 1, '\x81');                   // as a 2-byte varint: 0x81 0xD9 = 217
  bad[0] = 3;
  const std::string page = LeafPage(512, {LeafCell(1, Record({Text("good")})), LeafCell(2, bad)});
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(OneTableDatabase(512, "t", "a", page)), 0);
  std::vector<Status> results;
  std::vector<std::string> texts;
  ParsedRecord rec;
  ScanTable(reader, "t", [&](CDbFileReader& r, const RowInput& in) {
    if (in.deleted) return 0;
    const Status st = ParseRecord(r, in, rec);
    results.push_back(st);
    if (st == 0) texts.push_back(rec.AsText(0));
    return st;
  });
  EXPECT_EQ(results, (std::vector<Status>{0, 87}));
  EXPECT_EQ(texts, (std::vector<std::string>{"good"}));
}

TEST(Btree, TwelvePageOverflowTextAndNegativeRowids) {
  const auto dir = TempFolder("btree_overflow");
  const auto path = dir / "o.db";
  const std::string longText(12 * 1020 + 100, 'q');
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE m(a TEXT)");
    db.Run("INSERT INTO m(rowid, a) VALUES (?, ?)", {static_cast<int64_t>(-5), longText});
    db.Run("INSERT INTO m(rowid, a) VALUES (?, ?)", {INT64_MIN, std::string("min")});
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  ParsedRecord rec;
  std::map<int64_t, std::pair<std::string, int>> seen;
  ScanTable(reader, "m", [&](CDbFileReader& r, const RowInput& in) {
    if (in.deleted || ParseRecord(r, in, rec) != 0) return 87;
    seen[rec.rowid] = {rec.AsText(0), rec.overflowPages};
    return 0;
  });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[-5].first, longText);
  EXPECT_GE(seen[-5].second, 12);
  EXPECT_EQ(seen[INT64_MIN].first, "min");
  std::filesystem::remove_all(dir);
}

TEST(Btree, PageSetAnswersAsASetOnEitherSideOfItsSwitchToBits) {
  std::mt19937 rng(11);
  for (uint64_t pageCount : {1ull, 40ull, 1000ull, 100000ull}) {
    for (int round = 0; round < 20; ++round) {
      PageSet pages(pageCount);
      std::set<uint32_t> oracle;
      for (int i = 0; i < 300; ++i) {
        // Mostly pages of the file, some far beyond it (damaged pointers).
        const uint32_t index = rng() % 8 == 0 ? UINT32_MAX - rng() % 4
                                              : static_cast<uint32_t>(rng() % std::min<uint64_t>(pageCount, 60));
        ASSERT_EQ(pages.Insert(index), oracle.insert(index).second) << pageCount << " " << index;
      }
    }
  }
}

// What a decoder was handed, and what it read there.
struct Delivered {
  int deleted;
  RowSource source;
  uint32_t page, offset;
  Status parsed;
  int64_t rowid;
  bool operator==(const Delivered&) const = default;
};

TEST(Btree, HalvesDeliverWhatOneDecoderGetsInTheSameOrder) {
  const auto dir = TempFolder("btree_halves");
  const auto path = dir / "h.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA secure_delete=OFF");
    db.Exec("CREATE TABLE t(a INTEGER, b TEXT, c REAL)");
    db.Exec("CREATE INDEX t_b ON t(b)");  // a second root of the same name
    db.Exec("CREATE TABLE other(x TEXT, y TEXT, z TEXT)");
    db.Exec("BEGIN");
    std::mt19937 rng(5);
    for (int i = 0; i < 6000; ++i) {
      db.Run("INSERT INTO t VALUES (?, ?, ?)",
             {std::to_string(i), std::string(20 + rng() % 150, static_cast<char>('a' + i % 26)), "0.5"});
      if (i % 3 == 0) db.Run("INSERT INTO other VALUES (?, ?, ?)", {"x", std::string(300, 'y'), "z"});
    }
    db.Exec("COMMIT");
    // Scattered rows (free blocks), whole stretches (free-list pages) and
    // the other table's pages on the same free list.
    db.Exec("DELETE FROM t WHERE a % 7 = 3 OR (a > 2000 AND a < 2600) OR a > 5500");
    db.Exec("DELETE FROM other WHERE rowid % 2 = 0");
  }
  // How the table is read: by one decoder, in halves, or in halves with the
  // search sharing the live rows' reads, its column count learned ahead
  // right or wrong (a wrong one must be dropped and the search made again).
  enum class Mode { kOne, kHalves, kSearchAlong, kSearchAlongWrong };
  struct Calls {
    int joins = 0, searchJoins = 0, kept = 0;
  };
  auto scan = [&](Mode mode, Calls& calls, bool carve = false) {
    CDbFileReader reader;
    EXPECT_EQ(reader.Open(path), 0);
    reader.genericColumnCount = 3;  // as the table's schema gives it
    std::vector<Delivered> one, first, second, foundFirst, foundSecond;
    auto recorder = [](std::vector<Delivered>& into) {
      auto record = std::make_shared<ParsedRecord>();
      return [&into, record](CDbFileReader& r, const RowInput& in) {
        const Status st = ParseRecord(r, in, *record);
        into.push_back({in.deleted, in.source, in.pageIndex, in.offset, st, record->rowid});
        return st;
      };
    };
    DecoderHalves halves;
    halves.first = recorder(first);
    halves.second = recorder(second);
    halves.joined = [&](bool firstComplete) {
      EXPECT_TRUE(firstComplete);
      ++calls.joins;
      reader.genericColumnCount = 3;  // what the live rows tell
      first.insert(first.end(), second.begin(), second.end());
      second.clear();
    };
    if (mode == Mode::kSearchAlong || mode == Mode::kSearchAlongWrong) {
      const int ahead = mode == Mode::kSearchAlong ? 3 : 2;
      halves.learnAhead = [&, ahead](CDbFileReader& r, const PageCellMap& live) {
        EXPECT_FALSE(live.empty());
        r.genericColumnCount = ahead;
        return true;
      };
      halves.learnedAheadHeld = [ahead](const CDbFileReader& r) { return r.genericColumnCount == ahead; };
      halves.searchFirst = recorder(foundFirst);
      halves.searchSecond = recorder(foundSecond);
      halves.searchJoined = [&](bool firstComplete, bool keep) {
        EXPECT_TRUE(firstComplete);
        ++calls.searchJoins;
        if (keep) {
          ++calls.kept;
          first.insert(first.end(), foundFirst.begin(), foundFirst.end());
          first.insert(first.end(), foundSecond.begin(), foundSecond.end());
        }
        foundFirst.clear();
        foundSecond.clear();
      };
    }
    ScanOptions options;
    options.carve = carve;
    if (mode != Mode::kOne) options.halves = &halves;
    EXPECT_EQ(ScanTable(reader, "t", recorder(one), options), 0);
    return mode == Mode::kOne ? one : first;
  };
  Calls calls;
  const std::vector<Delivered> single = scan(Mode::kOne, calls);
  std::set<RowSource> sources;
  for (const Delivered& d : single) sources.insert(d.source);
  EXPECT_TRUE(sources.count(RowSource::kLive) && sources.count(RowSource::kFreeblock) &&
              sources.count(RowSource::kFreelistCell));
  // Each way gives the rows of one decoder in the same order; the stages
  // are joined as expected.
  struct Way {
    const char* name;
    Mode mode;
    Calls expected;
  };
  const Way ways[] = {
      // Live rows, candidates in the table's pages and free-list rows, each
      // stage joined once.
      {"halves", Mode::kHalves, {3, 0, 0}},
      // The live rows with their search, then the free-list pages.
      {"search along the live rows", Mode::kSearchAlong, {2, 1, 1}},
      // The search made again on its own.
      {"search along with a count learned wrongly", Mode::kSearchAlongWrong, {3, 1, 0}},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    calls = {};
    const std::vector<Delivered> rows = scan(way.mode, calls);
    EXPECT_EQ(calls.joins, way.expected.joins);
    EXPECT_EQ(calls.searchJoins, way.expected.searchJoins);
    EXPECT_EQ(calls.kept, way.expected.kept);
    ASSERT_EQ(rows.size(), single.size());
    EXPECT_TRUE(rows == single);
  }
  // Joined with the carver, each deleted row once: the halves still give
  // what one decoder gets.
  calls = {};
  const std::vector<Delivered> carvedSingle = scan(Mode::kOne, calls, true);
  EXPECT_LT(carvedSingle.size(), single.size());
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    calls = {};
    const std::vector<Delivered> rows = scan(way.mode, calls, true);
    ASSERT_EQ(rows.size(), carvedSingle.size());
    EXPECT_TRUE(rows == carvedSingle);
  }
  std::filesystem::remove_all(dir);
}

// The candidates that the search along the live rows finds are looked at
// again when the search is joined (the carver's finds are ready then): a
// file cut short meanwhile loses the candidates of the pages that are gone,
// keeps those before the cut, and the scan ends without a crash.
TEST(Btree, SearchAlongCandidatesOfPagesGoneBeforeTheJoinAreDropped) {
  const auto dir = TempFolder("btree_held");
  const auto path = dir / "h.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA secure_delete=OFF");
    db.Exec("CREATE TABLE t(a INTEGER, b TEXT)");
    db.Exec("BEGIN");
    for (int i = 0; i < 4000; ++i) db.Run("INSERT INTO t VALUES (?, ?)", {std::to_string(i), std::string(60, 'q')});
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE a % 5 = 2");  // free blocks on every leaf
  }
  const uint64_t size = std::filesystem::file_size(path);
  const uint32_t cutPage = static_cast<uint32_t>(size / 2 / 1024);
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  reader.genericColumnCount = 2;
  std::vector<Delivered> live, found;
  std::mutex mutex;
  auto recorder = [&mutex](std::vector<Delivered>& into) {
    return [&into, &mutex](CDbFileReader& r, const RowInput& in) {
      ParsedRecord record;
      const Status st = ParseRecord(r, in, record);
      std::lock_guard<std::mutex> lock(mutex);
      into.push_back({in.deleted, in.source, in.pageIndex, in.offset, st, record.rowid});
      return st;
    };
  };
  int searchJoins = 0;
  DecoderHalves halves;
  halves.first = recorder(live);
  halves.second = recorder(live);
  halves.joined = [](bool) {};
  halves.learnAhead = [](CDbFileReader&, const PageCellMap&) { return true; };
  halves.learnedAheadHeld = [&](const CDbFileReader&) {
    // Between the live walk and the join, the file loses its second half.
    std::filesystem::resize_file(path, static_cast<uint64_t>(cutPage) * 1024);
    return true;
  };
  halves.searchFirst = recorder(found);
  halves.searchSecond = recorder(found);
  halves.searchJoined = [&](bool, bool keep) {
    EXPECT_TRUE(keep);
    ++searchJoins;
    // Only the candidates of the pages still there were handed on.
    size_t before = 0;
    for (const Delivered& d : found) {
      EXPECT_LT(d.page, cutPage);
      EXPECT_EQ(d.deleted, 1);
      before += d.page < cutPage;
    }
    EXPECT_GT(before, 0u);
    found.clear();
  };
  ScanOptions options;
  options.halves = &halves;
  ScanTable(reader, "t", recorder(live), options);
  EXPECT_EQ(searchJoins, 1);
  EXPECT_GT(live.size(), 3000u);
  std::filesystem::remove_all(dir);
}

TEST(Btree, LoopsInTreesAndOverflowChainsEnd) {
  const auto dir = TempFolder("btree_loops");
  const auto path = dir / "l.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 512;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE t(a TEXT)");
    db.Exec("BEGIN");
    for (int i = 0; i < 200; ++i) db.Run("INSERT INTO t VALUES (?)", {std::string(i == 50 ? 3000 : 30, 'z')});
    db.Exec("COMMIT");
  }
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(bytes), 0);
  const std::set<uint32_t> roots = OurRoots(reader, "t");
  ASSERT_EQ(roots.size(), 1u);
  const uint32_t root = *roots.begin();
  ASSERT_EQ(bytes[root * 512], 5);
  // The root's right-most child points back to the root; every overflow
  // page links to itself.
  std::string damaged = bytes;
  Put32(damaged, root * 512 + 8, root + 1);
  for (size_t p = 1; p * 512 < damaged.size(); ++p) {
    if (p == root || damaged[p * 512] == 13 || damaged[p * 512] == 5 || damaged[p * 512] == 2) continue;
    Put32(damaged, p * 512, static_cast<uint32_t>(p + 1));
  }
  ASSERT_EQ(reader.OpenBytes(damaged), 0);
  size_t rows = 0;
  ParsedRecord rec;
  ScanTable(reader, "t", [&](CDbFileReader& r, const RowInput& in) {
    if (!in.deleted && ParseRecord(r, in, rec) == 0) ++rows;
    return 0;
  });
  EXPECT_GT(rows, 0u);
  EXPECT_LT(rows, 200u);
  std::filesystem::remove_all(dir);
}

// A damaged table tree: each pointer of the root that leads somewhere no
// page of the table can be loses that branch only, is reported, and every
// other row is read once.
TEST(Btree, PagesThatAreNotTheTablesCutOnlyTheirBranch) {
  const auto dir = TempFolder("btree_cut_branches");
  const auto path = dir / "c.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 512;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE t(a TEXT, b INTEGER)");
    db.Exec("CREATE TABLE far(a TEXT)");
    db.Exec("CREATE INDEX t_b ON t(b)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 300; ++i) db.Run("INSERT INTO t VALUES (?, ?)", {std::string(20, 'a' + i % 26), int64_t{i}});
    for (int i = 0; i < 8; ++i) db.Run("INSERT INTO far(rowid, a) VALUES (?, ?)", {int64_t{900000 + i}, std::string(30, 'f')});
    db.Exec("COMMIT");
  }
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(bytes), 0);
  const uint32_t root = *OurRoots(reader, "t").begin();
  ASSERT_EQ(bytes[root * 512], 5) << "the table needs an interior root";
  // The leaves of the whole tree and the rowids on each.
  std::map<uint32_t, std::set<int64_t>> leaves;
  {
    std::vector<uint8_t> page(512);
    ASSERT_EQ(reader.ReadPage(root, page.data()), 0);
    PageCellMap live;
    CutBranches cuts;
    ASSERT_EQ(CollectLiveCells(reader, page.data(), root, live, &cuts), 0);
    EXPECT_TRUE(cuts.empty());
    ParsedRecord rec;
    DecodeRows(reader, live, [&](CDbFileReader& r, const RowInput& in) {
      if (ParseRecord(r, in, rec) == 0) leaves[in.pageIndex].insert(rec.rowid);
      return 0;
    }, 0);
  }
  ASSERT_GT(leaves.size(), 4u);

  struct Scan {
    Status status = 0;
    std::multiset<int64_t> rowids;
    CutBranches cuts;
  };
  auto scan = [&](const std::string& file) {
    Scan out;
    EXPECT_EQ(reader.OpenBytes(file), 0);
    ParsedRecord rec;
    ScanOptions options;
    options.cuts = &out.cuts;
    out.status = ScanTable(reader, "t", [&](CDbFileReader& r, const RowInput& in) {
      if (!in.deleted && ParseRecord(r, in, rec) == 0) out.rowids.insert(rec.rowid);
      return 0;
    }, options);
    return out;
  };
  const Scan healthy = scan(bytes);
  EXPECT_EQ(healthy.status, 0);
  EXPECT_TRUE(healthy.cuts.empty());
  ASSERT_EQ(healthy.rowids.size(), 300u);

  // The root's cells in order: (offset of the cell, child page index).
  std::vector<std::pair<size_t, uint32_t>> pointers;
  {
    const size_t at = root * 512;
    const uint32_t count = (static_cast<uint8_t>(bytes[at + 3]) << 8) | static_cast<uint8_t>(bytes[at + 4]);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t cell = at + ((static_cast<uint8_t>(bytes[at + 12 + 2 * i]) << 8) |
                                static_cast<uint8_t>(bytes[at + 13 + 2 * i]));
      uint32_t child = 0;
      for (int k = 0; k < 4; ++k) child = (child << 8) | static_cast<uint8_t>(bytes[cell + k]);
      pointers.emplace_back(cell, child - 1);
    }
  }
  ASSERT_GT(pointers.size(), 3u);
  auto firstPageOfType = [&](const std::string& file, uint8_t type) -> uint32_t {
    for (uint32_t p = 1; p * 512 < file.size(); ++p) {
      if (static_cast<uint8_t>(file[p * 512]) == type) return p;
    }
    return 0;
  };
  const uint32_t indexPage = firstPageOfType(bytes, 10);
  ASSERT_NE(indexPage, 0u);
  const uint32_t farRoot = *OurRoots(reader, "far").begin();
  ASSERT_EQ(reader.OpenBytes(bytes), 0);
  ASSERT_EQ(bytes[farRoot * 512], 13) << "the other table is one leaf";

  struct Case {
    const char* name;
    uint32_t newTarget;   // 1-based page number written into the pointer (0: the page itself is zeroed)
    const char* reason;   // part of the reported reason
  };
  const uint32_t beyond = static_cast<uint32_t>(bytes.size() / 512) + 7;
  const Case cases[] = {
      {"beyond the file", beyond + 1, "beyond the end of the file"},
      {"an index page", indexPage + 1, "index page"},
      {"the root itself", root + 1, "reached before"},
      {"another table's leaf", farRoot + 1, "outside the range"},
      {"the schema page", 1, "first page of the file"},
      {"a zeroed leaf", 0, "zeroed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [cell, child] = pointers[1];
    std::string damaged = bytes;
    if (c.newTarget == 0) {
      std::fill(damaged.begin() + child * 512, damaged.begin() + child * 512 + 512, '\0');
    } else {
      Put32(damaged, cell, c.newTarget);
    }
    const Scan got = scan(damaged);
    EXPECT_EQ(got.status, status::kDamagedTree);
    ASSERT_EQ(got.cuts.size(), 1u);
    EXPECT_EQ(got.cuts[0].parent, root);
    EXPECT_NE(got.cuts[0].reason.find(c.reason), std::string::npos) << CutBranchText(got.cuts[0]);
    // Exactly the rows of the leaf that lost its pointer are missing, and
    // none comes twice.
    std::multiset<int64_t> expected = healthy.rowids;
    for (int64_t id : leaves[child]) expected.erase(id);
    EXPECT_TRUE(got.rowids == expected) << got.rowids.size() << " rows, expected " << expected.size();
  }

  // A pointer to a sibling leaf: that leaf is read once; its keys also lie
  // outside the range of the pointer's place when it is not the neighbour.
  {
    std::string damaged = bytes;
    Put32(damaged, pointers[1].first, pointers[3].second + 1);
    const Scan got = scan(damaged);
    EXPECT_EQ(got.status, status::kDamagedTree);
    std::multiset<int64_t> expected = healthy.rowids;
    for (int64_t id : leaves[pointers[1].second]) expected.erase(id);
    EXPECT_TRUE(got.rowids == expected);
  }

  // A zeroed root: no row, and the scan says the table could not be read.
  {
    std::string damaged = bytes;
    std::fill(damaged.begin() + root * 512, damaged.begin() + root * 512 + 512, '\0');
    const Scan got = scan(damaged);
    EXPECT_EQ(got.status, status::kDamagedTree);
    EXPECT_TRUE(got.rowids.empty());
    ASSERT_EQ(got.cuts.size(), 1u);
    EXPECT_EQ(got.cuts[0].parent, got.cuts[0].child);
    EXPECT_EQ(CutBranchText(got.cuts[0]).rfind("root page " + std::to_string(root + 1), 0), 0u);
  }
  std::filesystem::remove_all(dir);
}

// A healthy tree of three levels, after deletes, updates and inserts that
// leave stale dividers: nothing is cut, every row is read.
TEST(Btree, HealthyDeepTreesAfterChurnAreNeverCut) {
  const auto dir = TempFolder("btree_churn");
  const auto path = dir / "h.db";
  std::mt19937 random(7);
  {
    gen::FixtureOptions options;
    options.pageSize = 512;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE t(a TEXT)");
    db.Exec("BEGIN");
    for (int i = 0; i < 4000; ++i) db.Run("INSERT INTO t VALUES (?)", {std::string(10 + random() % 60, 'x')});
    for (int i = 0; i < 1500; ++i) db.Run("DELETE FROM t WHERE rowid = ?", {static_cast<int64_t>(1 + random() % 4000)});
    for (int i = 0; i < 500; ++i) {
      db.Run("UPDATE t SET a = ? WHERE rowid = ?", {std::string(random() % 200, 'y'), static_cast<int64_t>(1 + random() % 4000)});
    }
    for (int i = 0; i < 300; ++i) db.Run("INSERT INTO t(rowid, a) VALUES (?, 'n')", {-int64_t{1 + i * 7}});
    db.Exec("COMMIT");
  }
  const std::vector<OracleRow> oracle = ReadWithSqlite(path, "t");
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  CutBranches cuts;
  ScanOptions options;
  options.cuts = &cuts;
  size_t live = 0;
  ParsedRecord rec;
  const Status st = ScanTable(reader, "t", [&](CDbFileReader& r, const RowInput& in) {
    if (!in.deleted && ParseRecord(r, in, rec) == 0) ++live;
    return 0;
  }, options);
  EXPECT_EQ(st, 0);
  for (const CutBranch& cut : cuts) ADD_FAILURE() << CutBranchText(cut);
  EXPECT_EQ(live, oracle.size());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing
