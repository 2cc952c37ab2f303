// The database file reader: header validation, page size and reserved
// bytes, free-list inventory, short files, 64-bit offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/record.h"
#include "tests/sqlite_pages/page_builder.h"
#include "tests/sqlite_pages/sqlite_oracle.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::testing {
namespace {

std::string SmallDatabase(uint32_t pageSize = 512) {
  return OneTableDatabase(pageSize, "t", "a",
                          LeafPage(pageSize, {LeafCell(1, Record({Text("one")})), LeafCell(2, Record({Text("two")}))}));
}

std::vector<std::string> TextsOf(CDbFileReader& reader, const std::string& table) {
  std::vector<std::string> out;
  ParsedRecord rec;
  ScanTable(reader, table, [&](CDbFileReader& r, const RowInput& in) {
    if (in.deleted) return 0;
    const Status st = ParseRecord(r, in, rec);
    if (st == 0) out.push_back(rec.AsText(0));
    return st;
  });
  return out;
}

TEST(Reader, HeaderTextInAnyCaseIsAcceptedAndAnythingElseRejected) {
  std::string db = SmallDatabase();
  db.replace(0, 15, "sQlItE FORMAT 3");
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(db), 0);
  EXPECT_EQ(TextsOf(reader, "t"), (std::vector<std::string>{"one", "two"}));
  db[15] = 'x';  // no terminating zero
  EXPECT_EQ(reader.OpenBytes(db), 87);
  db = SmallDatabase();
  db[3] = 'X';
  EXPECT_EQ(reader.OpenBytes(db), 87);
}

TEST(Reader, PageSizeOneMeans65536AndOtherValuesMustBePowersOfTwo) {
  CDbFileReader reader;
  const std::string big = SmallDatabase(65536);
  ASSERT_EQ(static_cast<uint8_t>(big[16]), 0);
  ASSERT_EQ(big[17], 1);
  ASSERT_EQ(reader.OpenBytes(big), 0);
  EXPECT_EQ(reader.pageSize, 65536u);
  EXPECT_EQ(TextsOf(reader, "t"), (std::vector<std::string>{"one", "two"}));
  for (uint32_t bad : {0u, 2u, 256u, 513u, 1000u, 3000u, 65535u}) {
    std::string db = SmallDatabase();
    Put16(db, 16, bad);
    EXPECT_EQ(reader.OpenBytes(db), 87) << bad;
    EXPECT_EQ(reader.pageSize, 0u);
  }
}

TEST(Reader, ReservedBytesAndEncodingComeFromTheHeader) {
  const auto dir = TempFolder("reader_reserved");
  gen::FixtureOptions options;
  options.pageSize = 1024;
  options.reservedBytes = 32;
  options.utf16 = true;
  {
    gen::FixtureDb db(dir / "r.db", options);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("CREATE TABLE t(a TEXT)");
    db.Exec("INSERT INTO t VALUES ('h\xC3\xA9llo')");
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(dir / "r.db"), 0);
  EXPECT_EQ(reader.reservedBytes, 32u);
  EXPECT_EQ(reader.usableSize, 992u);
  EXPECT_EQ(reader.encoding, TextEncoding::kUtf16le);
  EXPECT_EQ(TextsOf(reader, "t"), (std::vector<std::string>{"h\xC3\xA9llo"}));
  std::filesystem::remove_all(dir);
}

TEST(Reader, MissingFileShortFileAndClosedReader) {
  CDbFileReader reader;
  EXPECT_EQ(reader.Open("/nonexistent/orbanix/db.sqlite"), 2);
  EXPECT_FALSE(reader.IsOpen());
  uint8_t buf[16];
  size_t got = 99;
  EXPECT_EQ(reader.ReadAt(0, sizeof buf, buf, got), 87);
  EXPECT_EQ(got, 0u);

  // The header text alone: the page size reads as 0 and is rejected.
  EXPECT_EQ(reader.OpenBytes(std::string("SQLite format 3\0", 16)), 87);
  // A valid header in a file shorter than its first page: opens, but the
  // first page cannot be read and the scan says so.
  std::string header = SmallDatabase(4096).substr(0, 100);
  ASSERT_EQ(reader.OpenBytes(header), 0);
  EXPECT_EQ(ScanTable(reader, "t", [](CDbFileReader&, const RowInput&) { return 0; }), 30);
}

TEST(Reader, FreeListTrunksGiveTheirLeavesInOrderAndLoopsEnd) {
  const uint32_t ps = 512;
  std::string trunk1(ps, '\0'), trunk2(ps, '\0');
  Put32(trunk1, 0, 4);  // next trunk: page 4
  Put32(trunk1, 4, 3);
  Put32(trunk1, 8, 7);
  Put32(trunk1, 12, 5);
  Put32(trunk1, 16, 6);
  Put32(trunk2, 0, 0);
  Put32(trunk2, 4, 0);
  const std::string empty(ps, '\0');
  std::string db = SmallDatabase(ps) + trunk1 + trunk2 + empty + empty + empty;  // pages 1..7
  Put32(db, 32, 3);
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(db), 0);
  EXPECT_EQ(reader.freePages, (std::vector<uint32_t>{6, 4, 5}));

  // The second trunk links back to the first: the walk ends.
  Put32(db, 3 * ps, 3);
  // A leaf count larger than a trunk page can hold is cut to what it holds.
  Put32(db, 2 * ps + 4, 0xFFFFFFFF);
  ASSERT_EQ(reader.OpenBytes(db), 0);
  EXPECT_EQ(reader.freePages.size(), 3u);  // the zero entries after the three leaves are not pages

  // Opening another file replaces the list.
  ASSERT_EQ(reader.OpenBytes(SmallDatabase(ps)), 0);
  EXPECT_TRUE(reader.freePages.empty());
}

// Pages read in runs give the bytes and the failures of reading each page
// on its own: over gaps, across run lengths, at and past a cut-off end.
TEST(Reader, PageRunsGiveWhatSingleReadsGive) {
  const uint32_t ps = 512;
  std::string db = SmallDatabase(ps);
  db.resize(ps, '\0');  // its first page; the others are made here
  for (uint32_t p = 1; p < 40; ++p) {
    std::string page(ps, '\0');
    for (uint32_t i = 0; i < ps; ++i) page[i] = static_cast<char>((p * 31 + i) & 0xFF);
    db += page;
  }
  db += std::string(ps / 2, 'x');  // a last page cut in half: index 40
  CDbFileReader reader;
  ASSERT_EQ(reader.OpenBytes(db), 0);
  std::map<uint32_t, int> wanted;
  for (uint32_t p : {0u, 1u, 2u, 3u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 20u, 21u,
                     22u, 23u, 24u, 30u, 37u, 38u, 39u, 40u, 41u, 90u}) {
    wanted[p] = 0;
  }
  PageRuns runs(reader);
  std::vector<uint8_t> single(ps);
  for (auto it = wanted.begin(); it != wanted.end(); ++it) {
    const uint8_t* bytes = nullptr;
    const Status alone = reader.ReadPage(it->first, single.data());
    const Status run = runs.Get(it, wanted.end(), bytes);
    EXPECT_EQ(run, alone) << it->first;
    if (alone == 0) {
      ASSERT_NE(bytes, nullptr);
      EXPECT_EQ(std::memcmp(bytes, single.data(), ps), 0) << it->first;
    }
  }
  EXPECT_EQ(reader.ReadPage(40, single.data()), 30);  // the cut page fails in both ways

  // Asked again out of order (a new run), the same bytes.
  const uint8_t* bytes = nullptr;
  ASSERT_EQ(runs.Get(wanted.find(5), wanted.end(), bytes), 0);
  ASSERT_EQ(reader.ReadPage(5, single.data()), 0);
  EXPECT_EQ(std::memcmp(bytes, single.data(), ps), 0);
}

TEST(Reader, ReadsPagesBeyondTwoGibibytes) {
  // A sparse file: the table's root page lies at 2.6 GB, beyond any 32-bit
  // signed offset.
  const auto dir = TempFolder("reader_large");
  const uint32_t ps = 65536;
  const uint32_t root = 40000;
  const std::string schema =
      Record({Text("table"), Text("t"), Text("t"), {3, std::string("\x00\x9C\x40", 3)}, Text("CREATE TABLE t(a)")});
  std::string page1 = LeafPage(ps, {LeafCell(1, schema)}, 100);
  DatabaseHeader(page1, ps, root);
  const std::string leaf = LeafPage(ps, {LeafCell(5, Record({Text("far away")}))});
  {
    std::ofstream out(dir / "big.db", std::ios::binary);
    out.write(page1.data(), page1.size());
    out.seekp(static_cast<std::streamoff>(root - 1) * ps);
    out.write(leaf.data(), leaf.size());
    ASSERT_TRUE(out.good());
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(dir / "big.db"), 0);
  EXPECT_GT(reader.FileSize(), 0x80000000ull);
  EXPECT_EQ(TextsOf(reader, "t"), (std::vector<std::string>{"far away"}));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing
