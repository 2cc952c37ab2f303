// Deleted-row recovery: the four searches on hand-built pages, the
// free-page stage, and recall/precision of the generic mode on databases
// whose rows were deleted with secure_delete off.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <tuple>

#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "tests/sqlite_pages/page_builder.h"
#include "tests/sqlite_pages/sqlite_oracle.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::testing {
namespace {

struct Found {
  uint32_t offset;
  RowSource source;
};

std::vector<Found> Candidates(CDbFileReader& reader, const std::string& table, const std::string& page) {
  reader.tableName = table;
  PageCellMap map;
  PageSourceMap sources;
  EXPECT_EQ(CollectDeletedCells(reader, reinterpret_cast<const uint8_t*>(page.data()), 1, map, &sources), 0);
  std::vector<Found> out;
  for (size_t i = 0; i < map[1].size(); ++i) out.push_back({map[1][i], sources[1][i]});
  return out;
}

bool HasCandidate(const std::vector<Found>& found, uint32_t offset, RowSource source) {
  for (const Found& f : found) {
    if (f.offset == offset && f.source == source) return true;
  }
  return false;
}

// A "handle"-shaped record (5 columns, the first the rowid alias).
std::string HandleRecord(const std::string& text, uint8_t a = 5) {
  return Record({Null(), Text(text), Int8(a), Int8(6), Text("tail")});
}

TEST(Recovery, FreeBlockWithSurvivingHeaderLengthVarint) {
  const uint32_t ps = 1024;
  const std::string live = LeafCell(1, HandleRecord("alive"));
  // Payload >= 128 and rowid >= 128: both varints take 2 bytes, so the
  // 4-byte free-block header covers exactly them and the header length
  // survives behind it.
  const std::string rec = HandleRecord(std::string(130, 'd'));
  const std::string dead = LeafCell(300, rec);
  ASSERT_EQ(Varint(rec.size()).size() + Varint(300).size(), 4u);
  std::string page = LeafPage(ps, {live, dead});
  const uint32_t deadAt = ps - static_cast<uint32_t>(live.size() + dead.size());
  // Delete the second cell: it becomes the first free block.
  Put16(page, 3, 1);
  Put16(page, 5, ps - static_cast<uint32_t>(live.size()));
  Put16(page, 1, deadAt);
  Put16(page, deadAt, 0);
  Put16(page, deadAt + 2, static_cast<uint32_t>(dead.size()));
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(OneTableDatabase(ps, "handle", "ROWID INTEGER PRIMARY KEY, a, b, c, d", page)), 0);
  const auto found = Candidates(reader, "handle", page);
  ASSERT_TRUE(HasCandidate(found, deadAt + 5, RowSource::kFreeblock));

  // First serial type 0: columns numbered from 0, every value in place.
  RowInput in;
  in.record = reinterpret_cast<const uint8_t*>(page.data()) + deadAt + 5;
  in.bytesToEnd = ps - deadAt - 5;
  in.headerless = true;
  ParsedRecord r;
  ASSERT_EQ(ParseRecord(reader, in, r), 0);
  EXPECT_EQ(r.firstColumn, 0);
  EXPECT_TRUE(r.IsNull(0));
  EXPECT_EQ(r.AsText(1), std::string(130, 'd'));
  EXPECT_EQ(r.AsUnsigned(2), 5u);
  EXPECT_EQ(r.AsText(4), "tail");

  // The same bytes for the table "message" (given 5 columns here): the 36
  // bytes behind the serial types hold zero bytes? Here they are 'd's, so
  // it is accepted; with a zero byte among them it is rejected.
  reader.messageColumns = 5;
  EXPECT_TRUE(HasCandidate(Candidates(reader, "message", page), deadAt + 5, RowSource::kFreeblock));
  std::string zeroed = page;
  zeroed[deadAt + 4 + 5 + 20] = 0;
  EXPECT_FALSE(HasCandidate(Candidates(reader, "message", zeroed), deadAt + 5, RowSource::kFreeblock));
}

TEST(Recovery, HeaderlessFirstByteRuleAndUnknownTables) {
  // Serial types of columns 1..4 only (the column-0 type was lost): the
  // first byte is not 0, so one type fewer is read and numbering starts at 1.
  const std::string bytes = std::string("\x17\x01\x01\x15", 4) + "abcde" + "\x07" + "\x08" + "tail" + "junk";
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(OneTableDatabase(512, "handle", "a,b,c,d,e", LeafPage(512, {}))), 0);
  reader.tableName = "handle";
  RowInput in;
  in.record = reinterpret_cast<const uint8_t*>(bytes.data());
  in.bytesToEnd = static_cast<uint32_t>(bytes.size());
  in.headerless = true;
  ParsedRecord r;
  ASSERT_EQ(ParseRecord(reader, in, r), 0);
  EXPECT_EQ(r.firstColumn, 1);
  EXPECT_FALSE(r.Has(0));
  EXPECT_EQ(r.AsText(1), "abcde");
  EXPECT_EQ(r.AsUnsigned(2), 7u);
  EXPECT_EQ(r.AsUnsigned(3), 8u);
  EXPECT_EQ(r.AsText(4), "tail");
  EXPECT_EQ(RecordLength(reader, in.record, 0, 1000, in.bytesToEnd), 4u + 5 + 1 + 1 + 4);

  // A table the column-count table does not know, without a schema count.
  reader.tableName = "unknown_table";
  reader.genericColumnCount = 0;
  ASSERT_EQ(ParseRecord(reader, in, r), 0);
  EXPECT_EQ(r.ColumnCount(), 0);
  // With the schema's count (generic mode) it is parsed like a known table.
  reader.genericColumnCount = 5;
  ASSERT_EQ(ParseRecord(reader, in, r), 0);
  EXPECT_EQ(r.AsText(4), "tail");
  // A body that runs past the bytes left is refused.
  in.bytesToEnd = 10;
  EXPECT_EQ(ParseRecord(reader, in, r), 87);
}

TEST(Recovery, StaleCellPointers) {
  const uint32_t ps = 1024;
  const std::string a = LeafCell(1, HandleRecord("first"));
  const std::string b = LeafCell(2, HandleRecord("second"));
  const std::string c = LeafCell(3, HandleRecord("deleted but intact"));
  // Content area from the end: a, c, b; c is no longer pointed to by a live
  // slot, but its pointer stayed in the array behind the live ones.
  std::string page = LeafPage(ps, {a, c, b});
  const uint32_t aAt = ps - static_cast<uint32_t>(a.size());
  const uint32_t cAt = aAt - static_cast<uint32_t>(c.size());
  const uint32_t bAt = cAt - static_cast<uint32_t>(b.size());
  Put16(page, 3, 2);
  Put16(page, 8, aAt);
  Put16(page, 10, bAt);
  Put16(page, 12, cAt);
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(OneTableDatabase(ps, "handle", "a,b,c,d,e", page)), 0);
  const uint32_t firstType = cAt + 3;  // payload, rowid and header-length varints of one byte each
  EXPECT_TRUE(HasCandidate(Candidates(reader, "handle", page), firstType, RowSource::kStalePointer));

  // A stale entry equal to the last live one or at most 6 bytes above it is
  // the shifted copy of a live pointer, not a deleted cell.
  for (uint32_t delta : {0u, 3u, 6u}) {
    std::string near = page;
    Put16(near, 12, bAt + delta);
    for (const Found& f : Candidates(reader, "handle", near)) {
      EXPECT_NE(f.source, RowSource::kStalePointer) << delta;
    }
  }
}

// Rows of a dropped 5-column table on the free list belong to a table named
// "handle" (5 columns) and not to "message" (38).
TEST(Recovery, FreeListPagesMatchedByFirstRecordColumnCount) {
  const auto dir = TempFolder("recovery_freelist");
  const auto path = dir / "f.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE old(ROWID INTEGER PRIMARY KEY, a TEXT, b INTEGER, c TEXT, d INTEGER)");
    db.Exec("CREATE INDEX old_a ON old(a)");
    db.Exec("BEGIN");
    for (int i = 0; i < 200; ++i) {
      db.Run("INSERT INTO old(a, b, c, d) VALUES (?, ?, ?, ?)",
             {"name" + std::to_string(i), static_cast<int64_t>(i), std::string("x"), static_cast<int64_t>(7)});
    }
    db.Exec("COMMIT");
    db.Exec("DROP TABLE old");
    db.Exec("CREATE TABLE handle(ROWID INTEGER PRIMARY KEY, id TEXT, country TEXT, service TEXT, uncanonicalized_id TEXT)");
    db.Exec("CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT)");
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(path), 0);
  ASSERT_GT(reader.freePages.size(), 5u);
  std::set<std::string> names;
  size_t fromFreeList = 0;
  ParsedRecord rec;
  // The searches on their own: joined with the carver, these rows of a
  // dropped table (an integer where "handle" has a text) are left out.
  ScanOptions searchesOnly;
  searchesOnly.carve = false;
  ScanTable(
      reader, "handle",
      [&](CDbFileReader& r, const RowInput& in) {
        EXPECT_EQ(in.deleted, 1);
        if (in.source == RowSource::kFreelistCell && ParseRecord(r, in, rec) == 0) {
          ++fromFreeList;
          names.insert(rec.AsText(1));
        }
        return 0;
      },
      searchesOnly);
  EXPECT_GE(names.size(), 150u);
  EXPECT_TRUE(names.count("name0") + names.count("name199") > 0);
  size_t joinedRows = 0;
  ScanTable(reader, "handle", [&](CDbFileReader& r, const RowInput& in) {
    GenericRow row;
    ParsedRecord scratch;
    DecodeGenericRow(r, in, row, scratch);
    ADD_FAILURE() << "shown as a handle: " << RowSourceName(in.source) << " " << Describe(row.values);
    return ++joinedRows, 0;
  });
  EXPECT_EQ(joinedRows, 0u);
  size_t messageRows = 0;
  ScanTable(reader, "message", [&](CDbFileReader&, const RowInput& in) {
    messageRows += in.source == RowSource::kFreelistCell || in.source == RowSource::kFreelistCandidate;
    return 0;
  });
  EXPECT_EQ(messageRows, 0u);
  std::filesystem::remove_all(dir);
}

// The free-page stage delivers, for each free-list page of the table, the
// rows of every leaf below it and then the deleted candidates of those
// leaves in ascending page order, with the candidates searched after all
// the rows (a row may teach the reader the column count the searches
// use). The reference follows those steps one by one with the building
// blocks; the stage must give the same calls in the same order, for
// dropped tables whose interior pages went to the free list with their
// leaves, with and without a count taught on the way.
TEST(Recovery, FreePageStageOrderAcrossInteriorFreeListPages) {
  const auto dir = TempFolder("recovery_freelist_order");
  const auto path = dir / "f.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE old(ROWID INTEGER PRIMARY KEY, a TEXT, b INTEGER, c TEXT, d INTEGER)");
    db.Exec("BEGIN");
    // Enough rows for a tree of three levels: the interior pages below the
    // root keep their bytes on the free list (the root is emptied first).
    for (int i = 0; i < 5000; ++i) {
      db.Run("INSERT INTO old(a, b, c, d) VALUES (?, ?, ?, ?)",
             {"name" + std::to_string(i) + std::string(i % 17 + 30, 'q'), static_cast<int64_t>(i),
              std::string("x"), static_cast<int64_t>(7)});
    }
    db.Exec("COMMIT");
    db.Exec("DELETE FROM old WHERE rowid % 7 = 3");  // free blocks in the leaves
    db.Exec("DROP TABLE old");
    db.Exec("CREATE TABLE keep(ROWID INTEGER PRIMARY KEY, a TEXT)");
  }
  using Call = std::tuple<uint32_t, uint32_t, RowSource, bool>;  // page, offset, source, headerless
  // A decoder that records its calls; with `teachAt`, the row of that rowid
  // sets the expected column count of the searches to 6.
  auto recorder = [](std::vector<Call>& calls, int64_t teachAt) {
    return [&calls, teachAt, rec = std::make_shared<ParsedRecord>()](CDbFileReader& r, const RowInput& in) -> Status {
      calls.emplace_back(in.pageIndex, in.offset, in.source, in.headerless);
      if (teachAt > 0 && !in.headerless && ParseRecord(r, in, *rec) == 0 && rec->hasRowid && rec->rowid == teachAt) {
        r.genericColumnCount = 6;
      }
      return Status{0};
    };
  };
  // The steps one by one over the reader's free list; counts the interior
  // pages taken and the candidates found below them.
  struct Taken {
    std::vector<uint32_t> interiorPages;
    size_t interiorCandidates = 0;
  };
  auto reference = [](CDbFileReader& reader, const RowDecoder& decoder, Taken& taken) {
    std::vector<uint8_t> page(reader.pageSize), other(reader.pageSize);
    for (uint32_t index : reader.freePages) {
      if (reader.ReadPage(index, page.data()) != 0 || (page[0] != 13 && page[0] != 5)) continue;
      PageCellMap live;
      ASSERT_EQ(CollectLiveCells(reader, page.data(), index, live), 0);
      int count = -1;
      ASSERT_EQ(FirstRecordColumnCount(reader, live, count), 0);
      if (count != ColumnCountFor(reader)) continue;
      DecodeRows(reader, live, decoder, 1, RowSource::kFreelistCell);
      PageCellMap candidates;
      ASSERT_EQ(CollectDeletedCells(reader, page.data(), index, candidates), 0);
      if (page[0] == 5) taken.interiorPages.push_back(index);
      for (const auto& [at, list] : candidates) {
        ASSERT_EQ(reader.ReadPage(at, other.data()), 0);
        if (page[0] == 5) taken.interiorCandidates += list.size();
        for (uint16_t off : list) {
          RowInput in;
          in.record = other.data() + off;
          in.bytesToEnd = reader.usableSize - off;
          in.headerless = true;
          in.deleted = 1;
          in.pageIndex = at;
          in.offset = off;
          in.source = RowSource::kFreelistCandidate;
          decoder(reader, in);
        }
      }
    }
  };
  auto open = [&](CDbFileReader& reader) {
    ASSERT_EQ(reader.Open(path), 0);
    reader.tableName = "unknown table";
    reader.genericColumnCount = 5;
  };

  // The whole free list, nothing taught.
  Taken taken;
  std::vector<Call> expected, actual;
  {
    CDbFileReader reader;
    open(reader);
    reference(reader, recorder(expected, 0), taken);
    ASSERT_FALSE(taken.interiorPages.empty());
    ASSERT_GT(taken.interiorCandidates, 0u);
    CDbFileReader again;
    open(again);
    EXPECT_EQ(RunFreePageStage(again, recorder(actual, 0)), 0);
    EXPECT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected);
  }

  // One interior page whose last leaf's first row teaches another count:
  // the leaves before it were searched with the old one.
  {
    CDbFileReader reader;
    open(reader);
    const uint32_t interior = taken.interiorPages.front();
    std::vector<uint8_t> page(reader.pageSize);
    ASSERT_EQ(reader.ReadPage(interior, page.data()), 0);
    PageCellMap live;
    ASSERT_EQ(CollectLiveCells(reader, page.data(), interior, live), 0);
    ASSERT_GT(live.size(), 2u);
    const auto& [lastLeaf, cells] = *live.rbegin();
    ASSERT_EQ(reader.ReadPage(lastLeaf, page.data()), 0);
    RowInput in;
    in.record = page.data() + cells.front();
    in.bytesToEnd = reader.usableSize - cells.front();
    ParsedRecord first;
    ASSERT_EQ(ParseLiveRecord(reader, in, first), 0);
    const int64_t teachAt = first.rowid;

    reader.freePages = {interior};
    expected.clear();
    Taken one;
    reference(reader, recorder(expected, teachAt), one);
    ASSERT_EQ(reader.genericColumnCount, 6);
    CDbFileReader again;
    open(again);
    again.freePages = {interior};
    actual.clear();
    EXPECT_EQ(RunFreePageStage(again, recorder(actual, teachAt)), 0);
    EXPECT_EQ(again.genericColumnCount, 6);
    EXPECT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected);
  }
  std::filesystem::remove_all(dir);
}

// --- recall and precision of the generic mode ---

struct Figures {
  size_t deleted = 0, recalled = 0, recovered = 0, correct = 0, duplicatesOfLive = 0;
  void Add(const Figures& o) {
    deleted += o.deleted;
    recalled += o.recalled;
    recovered += o.recovered;
    correct += o.correct;
    duplicatesOfLive += o.duplicatesOfLive;
  }
  double Recall() const { return deleted ? static_cast<double>(recalled) / deleted : 1; }
  double Precision() const {
    const size_t judged = recovered - duplicatesOfLive;
    return judged ? static_cast<double>(correct) / judged : 1;
  }
};

// The values of a row without its rowid-alias column (recovered records
// have no rowid).
std::vector<SqlValue> WithoutColumn(std::vector<SqlValue> values, int column) {
  if (column >= 0 && column < static_cast<int>(values.size())) values.erase(values.begin() + column);
  return values;
}

Figures MeasureOne(const std::filesystem::path& path, uint64_t seed, const gen::FixtureOptions& options, bool ipk) {
  std::mt19937_64 rng(seed);
  std::map<int64_t, std::vector<SqlValue>> all;
  {
    gen::FixtureDb db(path, options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec(std::string("CREATE TABLE r(") + (ipk ? "id INTEGER PRIMARY KEY, " : "") +
            "name TEXT, n INTEGER, x REAL, b BLOB, note TEXT)");
    db.Exec("BEGIN");
    for (int i = 0; i < 600; ++i) {
      const std::string name = "row" + std::to_string(i) + "-" + std::string(rng() % 30, 'a' + i % 26);
      const int64_t n = static_cast<int64_t>(rng() % 100000) - 500;
      const double x = static_cast<double>(rng() % 1000) / 8.0 + 0.5;
      std::string blob(rng() % 12, '\0');
      for (char& ch : blob) ch = static_cast<char>(rng());
      gen::Value note = nullptr;
      if (rng() % 3) note = std::string(rng() % 200, 'n');
      const int64_t rowid = db.Run("INSERT INTO r(name, n, x, b, note) VALUES (?, ?, ?, ?, ?)",
                                   {name, n, x, gen::Blob{blob}, note});
      std::vector<SqlValue> v{name, n, x, BlobValue{blob}, nullptr};
      if (auto t = std::get_if<std::string>(&note)) v[4] = *t;
      all[rowid] = v;
    }
    db.Exec("COMMIT");
    // Single rows, runs of neighbours, the first row of a page, and a range
    // long enough to free whole pages.
    db.Exec("DELETE FROM r WHERE rowid % 23 = 5");
    db.Exec("DELETE FROM r WHERE rowid BETWEEN 100 AND 108");
    db.Exec("DELETE FROM r WHERE rowid = 1");
    db.Exec("DELETE FROM r WHERE rowid BETWEEN 300 AND 420");
  }
  const auto live = ReadWithSqlite(path, "r");
  std::set<int64_t> liveIds;
  std::vector<std::vector<SqlValue>> liveValues;
  const int alias = ipk ? 0 : -1;
  for (const auto& row : live) {
    liveIds.insert(row.rowid);
    liveValues.push_back(WithoutColumn(row.values, alias));
  }
  std::vector<std::vector<SqlValue>> deleted;
  for (const auto& [rowid, values] : all) {
    if (!liveIds.count(rowid)) deleted.push_back(values);
  }
  const ScanResult scan = ScanGeneric(path, "r");
  Figures f;
  f.deleted = deleted.size();
  std::vector<bool> hit(deleted.size(), false);
  for (const GenericRow& row : scan.rows) {
    if (!row.deleted) continue;
    ++f.recovered;
    const auto values = WithoutColumn(row.values, alias);
    bool correct = false;
    for (size_t i = 0; i < deleted.size(); ++i) {
      if (SameValues(values, deleted[i])) {
        hit[i] = true;
        correct = true;
      }
    }
    if (correct) {
      ++f.correct;
    } else {
      for (const auto& lv : liveValues) {
        if (SameValues(values, lv)) {
          ++f.duplicatesOfLive;
          break;
        }
      }
    }
  }
  for (bool h : hit) f.recalled += h;
  return f;
}

TEST(Recovery, RecallAndPrecisionOfTheGenericMode) {
  const auto dir = TempFolder("recovery_measure");
  static const int kPageSizes[] = {512, 1024, 4096, 8192, 65536};
  Figures withIpk, withoutIpk;
  int db = 0;
  for (int p = 0; p < 5; ++p) {
    for (int variant = 0; variant < 2; ++variant) {
      gen::FixtureOptions options;
      options.pageSize = kPageSizes[p];
      options.reservedBytes = variant ? 32 : 0;
      options.utf16 = p == 2 && variant == 1;
      options.autoVacuumIncremental = p == 3 && variant == 0;
      for (bool ipk : {true, false}) {
        ++db;
        const Figures f = MeasureOne(dir / ("m" + std::to_string(db) + ".db"), 77 + db, options, ipk);
        (ipk ? withIpk : withoutIpk).Add(f);
      }
    }
  }
  for (const auto& [label, f] : {std::pair<const char*, Figures&>{"INTEGER PRIMARY KEY", withIpk},
                                 std::pair<const char*, Figures&>{"no rowid alias", withoutIpk}}) {
    std::printf(
        "generic recovery (%s): %zu deleted rows, %zu recalled (recall %.3f); %zu recovered, %zu exact, %zu "
        "duplicates of live rows (precision %.3f)\n",
        label, f.deleted, f.recalled, f.Recall(), f.recovered, f.correct, f.duplicatesOfLive, f.Precision());
  }
  RecordProperty("recall_ipk", Format("%.3f", withIpk.Recall()));
  RecordProperty("precision_ipk", Format("%.3f", withIpk.Precision()));
  EXPECT_GT(withIpk.deleted, 1000u);
  EXPECT_GE(withIpk.Recall(), 0.5);
  EXPECT_GE(withIpk.Precision(), 0.9);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing
