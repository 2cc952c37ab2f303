// The write-ahead log: a database whose newest transactions sit only in its
// "-wal" file reads as the SQLite library reads the same two files; damaged,
// cut or stale logs give what verifies and no more.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <random>
#include <set>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/wal.h"
#include "tests/sqlite_pages/sqlite_oracle.h"

namespace orbanix::testing {
namespace {

namespace fs = std::filesystem;

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << " " << sql;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

uint32_t Be32(const std::string& s, size_t at) {
  return (uint32_t{uint8_t(s[at])} << 24) | (uint32_t{uint8_t(s[at + 1])} << 16) | (uint32_t{uint8_t(s[at + 2])} << 8) |
         uint8_t(s[at + 3]);
}

void PutBe32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// A database in WAL mode: rows 1-40 of "t" checkpointed into the file, then
// (never checkpointed) rows 41-160 with long texts, an update and deletions
// of checkpointed rows, and a table "u" that exists only in the log, one
// transaction each. The copy of the two files is taken while the writer
// still holds them (closing would checkpoint). Returns the folder holding
// "w.db" and "w.db-wal".
struct WalDatabase {
  fs::path db, wal;
  std::string dbBytes, walBytes;
};

// A database in write-ahead-log mode whose log is never checkpointed by
// itself; nullptr when SQLite cannot open it.
sqlite3* OpenWithLog(const fs::path& file, uint32_t pageSize = 1024) {
  sqlite3* h = nullptr;
  if (sqlite3_open(file.c_str(), &h) != SQLITE_OK) {
    sqlite3_close(h);
    return nullptr;
  }
  Exec(h, "PRAGMA page_size=" + std::to_string(pageSize));
  Exec(h, "PRAGMA journal_mode=WAL");
  Exec(h, "PRAGMA wal_autocheckpoint=0");
  return h;
}

WalDatabase MakeWalDatabase(const std::string& name, uint32_t pageSize = 1024) {
  const fs::path dir = TempFolder(name);
  const fs::path live = dir / "live.db";
  sqlite3* h = OpenWithLog(live, pageSize);
  EXPECT_NE(h, nullptr);
  Exec(h, "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b BLOB, n REAL)");
  Exec(h, "BEGIN");
  for (int i = 1; i <= 40; ++i) {
    Exec(h, "INSERT INTO t VALUES(" + std::to_string(i) + ", 'old " + std::to_string(i) + "', x'0102', " +
                std::to_string(i) + ".5)");
  }
  Exec(h, "COMMIT");
  Exec(h, "PRAGMA wal_checkpoint(TRUNCATE)");
  for (int i = 41; i <= 160; i += 10) {
    Exec(h, "BEGIN");
    for (int k = i; k < i + 10; ++k) {
      Exec(h, "INSERT INTO t VALUES(" + std::to_string(k) + ", 'new " + std::to_string(k) + " " +
                  std::string(static_cast<size_t>(k * 7), 'x') + "', NULL, -" + std::to_string(k) + ")");
    }
    Exec(h, "COMMIT");
  }
  Exec(h, "UPDATE t SET a = 'changed' WHERE id = 3");
  Exec(h, "DELETE FROM t WHERE id BETWEEN 10 AND 19");
  Exec(h, "CREATE TABLE u(k TEXT, v INTEGER)");
  Exec(h, "INSERT INTO u VALUES('only in the log', 7), ('and this', 8)");
  WalDatabase out;
  out.db = dir / "w.db";
  out.wal = dir / "w.db-wal";
  out.dbBytes = ReadAll(live);
  out.walBytes = ReadAll(fs::path(live.string() + "-wal"));
  WriteAll(out.db, out.dbBytes);
  WriteAll(out.wal, out.walBytes);
  sqlite3_close(h);
  return out;
}

// The library's read of `db` with `wal` beside it, on copies of its own (a
// reader may write beside the files).
std::vector<OracleRow> LibraryRows(const std::string& dbBytes, const std::string& walBytes, const std::string& table,
                                   const std::string& name) {
  const fs::path dir = TempFolder(name + "_oracle");
  WriteAll(dir / "o.db", dbBytes);
  if (!walBytes.empty()) WriteAll(dir / "o.db-wal", walBytes);
  return ReadWithSqlite(dir / "o.db", table);
}

// Our live rows of `table` in `db` (its log beside it).
std::vector<OracleRow> OurRows(const fs::path& db, const std::string& table) {
  ScanOptions live;
  live.recoverInTree = false;
  live.freePageStage = false;
  live.carve = false;
  const ScanResult scan = ScanGeneric(db, table, live);
  EXPECT_EQ(scan.status, 0) << table;
  std::vector<OracleRow> rows;
  for (const GenericRow& row : scan.rows) {
    if (row.deleted) continue;
    rows.push_back({row.rowid, row.values});
  }
  return rows;
}

void ExpectSameRows(const std::vector<OracleRow>& ours, const std::vector<OracleRow>& library) {
  ASSERT_EQ(ours.size(), library.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i].rowid, library[i].rowid);
    EXPECT_TRUE(SameValues(ours[i].values, library[i].values))
        << ours[i].rowid << ": " << Describe(ours[i].values) << " vs " << Describe(library[i].values);
  }
}

TEST(WriteAheadLog, UncheckpointedTransactionsReadAsTheLibraryReadsThem) {
  const WalDatabase w = MakeWalDatabase("wal_whole");
  ASSERT_GT(w.walBytes.size(), 32u);
  const auto library = LibraryRows(w.dbBytes, w.walBytes, "t", "wal_whole");
  ASSERT_EQ(library.size(), 150u);  // 160 rows, 10 deleted
  ExpectSameRows(OurRows(w.db, "t"), library);
  // A table created after the last checkpoint exists only in the log.
  ExpectSameRows(OurRows(w.db, "u"), LibraryRows(w.dbBytes, w.walBytes, "u", "wal_whole_u"));
  EXPECT_EQ(OurRows(w.db, "u").size(), 2u);
  TableSchema schema;
  ASSERT_EQ(LoadTableSchema(w.db, "u", schema), 0);
  EXPECT_EQ(schema.columnNames, (std::vector<std::string>{"k", "v"}));

  CDbFileReader reader;
  ASSERT_EQ(reader.Open(w.db), 0);
  EXPECT_TRUE(reader.Wal().found);
  EXPECT_GT(reader.Wal().committedFrames, 0u);
  EXPECT_TRUE(reader.Wal().damage.empty()) << reader.Wal().damage;
  // The database has the size of the last commit, larger than the file.
  EXPECT_GT(reader.PageCount(), w.dbBytes.size() / 1024);
  EXPECT_EQ(reader.FileSize(), reader.PageCount() * 1024);
  // The copies the log replaced follow the database's pages.
  EXPECT_FALSE(reader.ReplacedCopiesOf().empty());
  EXPECT_EQ(reader.PageCount(), reader.DatabasePageCount() + reader.ReplacedCopiesOf().size());
  EXPECT_EQ(reader.Wal().replacedCopies, reader.ReplacedCopiesOf().size());

  // Without its log the file holds only the checkpointed rows.
  const fs::path alone = TempFolder("wal_alone") / "a.db";
  WriteAll(alone, w.dbBytes);
  const auto before = OurRows(alone, "t");
  ASSERT_EQ(before.size(), 40u);
  EXPECT_EQ(std::get<std::string>(before[2].values[1]), "old 3");

  // The same in memory.
  ASSERT_EQ(reader.OpenBytes(w.dbBytes, w.walBytes), 0);
  size_t rows = 0;
  ScanTable(reader, "t", [&](CDbFileReader&, const RowInput& in) {
    rows += in.deleted ? 0 : 1;
    return 0;
  });
  EXPECT_EQ(rows, 150u);
}

TEST(WriteAheadLog, RowsTheLogDeletedOrChangedComeBackFromTheCopiesItReplaced) {
  const WalDatabase w = MakeWalDatabase("wal_deleted");
  // The checkpointed rows 10-19 were deleted and row 3 changed by the
  // log's transactions: their old versions are in the file's pages that
  // the log's copies replaced.
  const ScanResult scan = ScanGeneric(w.db, "t");
  ASSERT_EQ(scan.status, 0);
  std::set<std::string> deleted;
  size_t live = 0;
  for (const GenericRow& row : scan.rows) {
    if (!row.deleted) {
      ++live;
      continue;
    }
    if (row.values.size() > 1) {
      if (const auto* text = std::get_if<std::string>(&row.values[1])) deleted.insert(*text);
    }
  }
  EXPECT_EQ(live, 150u);
  for (int i = 10; i <= 19; ++i) EXPECT_TRUE(deleted.count("old " + std::to_string(i))) << i;
  EXPECT_TRUE(deleted.count("old 3"));
  // Nothing live comes back as deleted.
  for (const std::string& text : deleted) {
    EXPECT_TRUE(text == "old 3" || (text.size() == 6 && text.rfind("old 1", 0) == 0)) << text;
  }
}

TEST(WriteAheadLog, TheSchemaIsReadThroughTheLogOncePerStateOfTheFiles) {
  const WalDatabase w = MakeWalDatabase("wal_schema_once");
  const size_t before = SchemaReadsThroughLogs();
  TableSchema t, u, again, missing;
  ASSERT_EQ(LoadTableSchema(w.db, "t", t), 0);
  ASSERT_EQ(LoadTableSchema(w.db, "U", u), 0);  // names as the schema's, ASCII case ignored
  ASSERT_EQ(LoadTableSchema(w.db, "t", again), 0);
  EXPECT_NE(LoadTableSchema(w.db, "nothing", missing), 0);
  EXPECT_EQ(SchemaReadsThroughLogs() - before, 1u);
  EXPECT_EQ(t.columnNames, (std::vector<std::string>{"id", "a", "b", "n"}));
  EXPECT_EQ(t.rowidAliasColumn, 0);
  EXPECT_EQ(again.columnNames, t.columnNames);
  EXPECT_EQ(again.declaredTypes, t.declaredTypes);
  EXPECT_EQ(u.columnNames, (std::vector<std::string>{"k", "v"}));
  // The same as the library gives for the two files (a copy of them, so
  // that nothing is written beside ours).
  {
    const fs::path dir = TempFolder("wal_schema_once_library");
    WriteAll(dir / "o.db", w.dbBytes);
    WriteAll(dir / "o.db-wal", w.walBytes);
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "o.db").c_str(), &h), SQLITE_OK);
    sqlite3_stmt* q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(h, "SELECT name, type FROM pragma_table_info('t')", -1, &q, nullptr), SQLITE_OK);
    std::vector<std::string> names, types;
    while (sqlite3_step(q) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
      types.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(q, 1)));
    }
    sqlite3_finalize(q);
    sqlite3_close(h);
    EXPECT_EQ(t.columnNames, names);
    EXPECT_EQ(t.declaredTypes, types);
  }

  // A column added by a later transaction: the longer log is read again.
  const fs::path live = TempFolder("wal_schema_changed") / "live.db";
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(live.c_str(), &h), SQLITE_OK);
  Exec(h, "PRAGMA journal_mode=WAL");
  Exec(h, "PRAGMA wal_autocheckpoint=0");
  Exec(h, "CREATE TABLE seed(x)");
  Exec(h, "PRAGMA wal_checkpoint(TRUNCATE)");
  Exec(h, "CREATE TABLE u(k TEXT, v INTEGER)");
  const std::string dbBytes = ReadAll(live);
  const std::string firstLog = ReadAll(fs::path(live.string() + "-wal"));
  Exec(h, "ALTER TABLE u ADD COLUMN w REAL");
  const std::string secondLog = ReadAll(fs::path(live.string() + "-wal"));
  sqlite3_close(h);

  const fs::path db = TempFolder("wal_schema_changed_copy") / "c.db";
  const fs::path log = fs::path(db.string() + "-wal");
  WriteAll(db, dbBytes);
  WriteAll(log, firstLog);
  ASSERT_EQ(LoadTableSchema(db, "u", u), 0);
  EXPECT_EQ(u.columnNames, (std::vector<std::string>{"k", "v"}));
  WriteAll(log, secondLog);
  ASSERT_EQ(LoadTableSchema(db, "u", u), 0);
  EXPECT_EQ(u.columnNames, (std::vector<std::string>{"k", "v", "w"}));
  // The log restarted (new salts) over the same bytes, as fast as the clock
  // may not tell: its frames are no longer current, and "u" is gone with
  // them.
  std::string restarted = secondLog;
  PutBe32(restarted, 16, Be32(restarted, 16) + 1);
  uint32_t sum[2] = {0, 0};
  WalChecksum(reinterpret_cast<const uint8_t*>(restarted.data()), 24, (Be32(restarted, 0) & 1) != 0, sum);
  PutBe32(restarted, 24, sum[0]);
  PutBe32(restarted, 28, sum[1]);
  WriteAll(log, restarted);
  EXPECT_NE(LoadTableSchema(db, "u", u), 0);
  TableSchema seed;
  EXPECT_EQ(LoadTableSchema(db, "seed", seed), 0);
}

TEST(WriteAheadLog, ALogStoredUnderAnotherNameIsUsedWhenSet) {
  const WalDatabase w = MakeWalDatabase("wal_named");
  const fs::path dir = TempFolder("wal_named_backup");
  WriteAll(dir / "3d0d7e5f", w.dbBytes);
  WriteAll(dir / "a1b2c3d4", w.walBytes);
  EXPECT_EQ(OurRows(dir / "3d0d7e5f", "t").size(), 40u);
  SetWriteAheadLog(dir / "3d0d7e5f", dir / "a1b2c3d4");
  EXPECT_EQ(WriteAheadLogOf(dir / "3d0d7e5f"), dir / "a1b2c3d4");
  EXPECT_EQ(OurRows(dir / "3d0d7e5f", "t").size(), 150u);
  EXPECT_EQ(OurRows(dir / "3d0d7e5f", "u").size(), 2u);
  ForgetWriteAheadLogs();
  EXPECT_EQ(OurRows(dir / "3d0d7e5f", "t").size(), 40u);
}

TEST(WriteAheadLog, ACutOrDamagedLogGivesTheTransactionsBeforeTheDamage) {
  const WalDatabase w = MakeWalDatabase("wal_damage");
  const uint32_t pageSize = Be32(w.walBytes, 8);
  const size_t frame = 24 + pageSize;
  const size_t frames = (w.walBytes.size() - 32) / frame;
  ASSERT_GT(frames, 20u);

  // Cut inside the last frame: the last transaction is lost, as for the
  // library.
  {
    const std::string cut = w.walBytes.substr(0, w.walBytes.size() - pageSize / 2);
    const fs::path db = TempFolder("wal_cut") / "c.db";
    WriteAll(db, w.dbBytes);
    WriteAll(fs::path(db.string() + "-wal"), cut);
    ExpectSameRows(OurRows(db, "t"), LibraryRows(w.dbBytes, cut, "t", "wal_cut"));
    EXPECT_TRUE(OurRows(db, "u").empty());
  }
  // A byte changed in the page of a middle frame: that frame's transaction
  // and every later one are left out, and the reader says so.
  {
    std::string bad = w.walBytes;
    const size_t middle = frames / 2;
    bad[32 + middle * frame + 24 + 100] ^= 0x55;
    const fs::path db = TempFolder("wal_bad") / "b.db";
    WriteAll(db, w.dbBytes);
    WriteAll(fs::path(db.string() + "-wal"), bad);
    const auto ours = OurRows(db, "t");
    ExpectSameRows(ours, LibraryRows(w.dbBytes, bad, "t", "wal_bad"));
    EXPECT_GT(ours.size(), 40u);
    EXPECT_LT(ours.size(), 160u);
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(db), 0);
    EXPECT_GT(reader.Wal().committedFrames, 0u);
    EXPECT_LE(reader.Wal().committedFrames, middle);
    EXPECT_NE(reader.Wal().damage.find("checksum"), std::string::npos) << reader.Wal().damage;
  }
  // Frames of an older use of the log (other salts): the log holds nothing
  // current, and that is no damage.
  {
    std::string stale = w.walBytes;
    PutBe32(stale, 16, Be32(stale, 16) + 1);
    uint32_t sum[2] = {0, 0};
    WalChecksum(reinterpret_cast<const uint8_t*>(stale.data()), 24, (Be32(stale, 0) & 1) != 0, sum);
    PutBe32(stale, 24, sum[0]);
    PutBe32(stale, 28, sum[1]);
    const fs::path db = TempFolder("wal_stale") / "s.db";
    WriteAll(db, w.dbBytes);
    WriteAll(fs::path(db.string() + "-wal"), stale);
    ExpectSameRows(OurRows(db, "t"), LibraryRows(w.dbBytes, stale, "t", "wal_stale"));
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(db), 0);
    EXPECT_EQ(reader.Wal().committedFrames, 0u);
    EXPECT_TRUE(reader.Wal().damage.empty()) << reader.Wal().damage;
    EXPECT_EQ(reader.DatabasePageCount(), w.dbBytes.size() / pageSize);
    // Its frames are no part of the database, only pages to search.
    EXPECT_EQ(reader.Wal().uncommittedFrames, frames);
    EXPECT_GT(reader.ReplacedCopiesOf().size(), frames / 2);
    EXPECT_EQ(reader.PageCount(), reader.DatabasePageCount() + reader.ReplacedCopiesOf().size());
  }
}

// The texts of column `a` of the deleted and the live rows of a generic
// scan of `table`.
struct FoundTexts {
  std::set<std::string> deleted, live;
};

FoundTexts TextsOf(const fs::path& db, const std::string& table) {
  FoundTexts found;
  const ScanResult scan = ScanGeneric(db, table);
  EXPECT_EQ(scan.status, 0);
  for (const GenericRow& row : scan.rows) {
    if (row.values.size() < 2) continue;
    if (const auto* text = std::get_if<std::string>(&row.values[1])) (row.deleted ? found.deleted : found.live).insert(*text);
  }
  return found;
}

size_t CountWithPrefix(const std::set<std::string>& texts, const std::string& prefix) {
  size_t n = 0;
  for (const std::string& t : texts) n += t.rfind(prefix, 0) == 0;
  return n;
}

TEST(WriteAheadLog, FramesAfterTheLastCommitAreSearchedButNeverApplied) {
  // A transaction cut off before its commit frame: the rows it wrote were
  // never part of the database, but they are rows the user wrote.
  {
    const fs::path dir = TempFolder("wal_uncommitted");
    const fs::path live = dir / "live.db";
    sqlite3* h = OpenWithLog(live);
    ASSERT_NE(h, nullptr);
    Exec(h, "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT)");
    Exec(h, "PRAGMA wal_checkpoint(TRUNCATE)");
    Exec(h, "INSERT INTO t(a) VALUES('saved 1'), ('saved 2')");
    Exec(h, "BEGIN");
    for (int i = 1; i <= 40; ++i) {
      Exec(h, "INSERT INTO t(a) VALUES('unsaved " + std::to_string(i) + " " + std::string(150, 'u') + "')");
    }
    Exec(h, "COMMIT");
    const std::string dbBytes = ReadAll(live);
    const std::string log = ReadAll(fs::path(live.string() + "-wal"));
    sqlite3_close(h);
    const uint32_t pageSize = Be32(log, 8);
    const size_t frame = 24 + pageSize;
    const size_t frames = (log.size() - 32) / frame;
    ASSERT_GT(frames, 4u);
    ASSERT_NE(Be32(log, 32 + (frames - 1) * frame + 4), 0u);  // the last frame commits
    const std::string cut = log.substr(0, log.size() - frame);
    const fs::path db = dir / "c.db";
    WriteAll(db, dbBytes);
    WriteAll(fs::path(db.string() + "-wal"), cut);

    // Read as the library reads it: the cut transaction never happened.
    ExpectSameRows(OurRows(db, "t"), LibraryRows(dbBytes, cut, "t", "wal_uncommitted"));
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(db), 0);
    EXPECT_EQ(reader.Wal().commits, 1u);
    EXPECT_EQ(reader.Wal().uncommittedFrames, frames - 2);  // all but the commit before and the frame cut
    const FoundTexts found = TextsOf(db, "t");
    EXPECT_EQ(found.live, (std::set<std::string>{"saved 1", "saved 2"}));
    // The cut transaction's rows come back as deleted, from the pages of
    // its frames (the page of the commit frame is lost with it).
    EXPECT_GE(CountWithPrefix(found.deleted, "unsaved "), 20u);
    EXPECT_EQ(CountWithPrefix(found.deleted, "unsaved "), found.deleted.size());
  }
  // A log restarted after a checkpoint: the new transaction's frames lie
  // over the start of the old ones, and the old frames behind them keep
  // the old salts. Rows those frames hold that are nowhere else (written
  // and deleted before the checkpoint, erased from the file by
  // secure_delete) come back from them alone.
  {
    const fs::path dir = TempFolder("wal_restarted");
    const fs::path live = dir / "live.db";
    sqlite3* h = OpenWithLog(live);
    ASSERT_NE(h, nullptr);
    Exec(h, "PRAGMA secure_delete=ON");
    Exec(h, "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT)");
    Exec(h, "INSERT INTO t(a) VALUES('kept 1')");
    for (int k = 0; k < 6; ++k) {
      Exec(h, "BEGIN");
      for (int i = 1; i <= 8; ++i) {
        Exec(h, "INSERT INTO t(a) VALUES('ghost " + std::to_string(k * 8 + i) + " " + std::string(100, 'g') + "')");
      }
      Exec(h, "COMMIT");
    }
    Exec(h, "DELETE FROM t WHERE a LIKE 'ghost%'");
    const size_t oldLog = ReadAll(fs::path(live.string() + "-wal")).size();
    Exec(h, "PRAGMA wal_checkpoint(PASSIVE)");
    Exec(h, "INSERT INTO t(a) VALUES('kept 2')");  // the log starts again from its beginning
    const std::string dbBytes = ReadAll(live);
    const std::string log = ReadAll(fs::path(live.string() + "-wal"));
    sqlite3_close(h);
    ASSERT_EQ(log.size(), oldLog);  // not truncated: the old frames are behind the new ones
    ASSERT_EQ(dbBytes.find("ghost"), std::string::npos);
    const fs::path db = dir / "r.db";
    WriteAll(db, dbBytes);
    WriteAll(fs::path(db.string() + "-wal"), log);

    ExpectSameRows(OurRows(db, "t"), LibraryRows(dbBytes, log, "t", "wal_restarted"));
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(db), 0);
    EXPECT_EQ(reader.Wal().commits, 1u);
    EXPECT_GT(reader.Wal().uncommittedFrames, 10u);
    EXPECT_TRUE(reader.Wal().damage.empty()) << reader.Wal().damage;
    const FoundTexts found = TextsOf(db, "t");
    EXPECT_EQ(found.live, (std::set<std::string>{"kept 1", "kept 2"}));
    EXPECT_GE(CountWithPrefix(found.deleted, "ghost "), 24u);
    EXPECT_FALSE(found.deleted.count("kept 1"));
    EXPECT_FALSE(found.deleted.count("kept 2"));
  }
}

// Transactions that only add rows leave older versions of pages in the log
// and in the file, but no deleted row: none is reported, neither by the
// table's scan nor as a row of a dropped table (old copies of the first
// page hold the database header, which must not read as records).
TEST(WriteAheadLog, OlderPageVersionsOfOnlyAddedRowsGiveNoDeletedRow) {
  const fs::path dir = TempFolder("wal_only_added");
  const fs::path live = dir / "live.db";
  sqlite3* h = OpenWithLog(live);
  ASSERT_NE(h, nullptr);
  Exec(h, "CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT)");
  Exec(h, "PRAGMA wal_checkpoint(TRUNCATE)");
  for (int k = 0; k < 4; ++k) {
    Exec(h, "BEGIN");
    for (int i = 0; i < 20; ++i) {
      Exec(h, "INSERT INTO t(a) VALUES('row " + std::to_string(k * 20 + i) + " " + std::string(100, 'x') + "')");
    }
    Exec(h, "COMMIT");
  }
  const std::string dbBytes = ReadAll(live);
  const std::string log = ReadAll(fs::path(live.string() + "-wal"));
  sqlite3_close(h);
  const fs::path db = dir / "a.db";
  WriteAll(db, dbBytes);
  WriteAll(fs::path(db.string() + "-wal"), log);
  // Cut inside the last transaction, so that frames after the last commit
  // are searched too.
  const fs::path cut = dir / "c.db";
  WriteAll(cut, dbBytes);
  WriteAll(fs::path(cut.string() + "-wal"), log.substr(0, log.size() - (24 + 1024)));
  for (const fs::path& file : {db, cut}) {
    SCOPED_TRACE(file.filename().string());
    const FoundTexts found = TextsOf(file, "t");
    EXPECT_EQ(found.live.size(), file == db ? 80u : 60u);
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(file), 0);
    EXPECT_FALSE(reader.ReplacedCopiesOf().empty());
    CarvedFile carved;
    ASSERT_EQ(CarveFile(reader, file, carved), 0);
    for (const CarvedRow& row : carved.rows) {
      if (file == db) {
        ADD_FAILURE() << "table " << row.table << " page " << row.pageIndex + 1 << ": " << Describe(row.Values());
        continue;
      }
      // The cut transaction's rows, never committed, are the only ones.
      ASSERT_EQ(row.table, 0) << Describe(row.Values());
      const std::vector<SqlValue> values = row.Values();
      const auto* text = std::get_if<std::string>(&values.at(1));
      ASSERT_TRUE(text);
      EXPECT_TRUE(found.deleted.count(*text)) << *text;
    }
    if (file == db) {
      EXPECT_TRUE(found.deleted.empty()) << *found.deleted.begin();
    }
  }
}

TEST(WriteAheadLog, HostileLogsNeverReachPastWhatVerifies) {
  const WalDatabase w = MakeWalDatabase("wal_hostile", 512);
  CDbFileReader reader;
  // A header cut short, a wrong magic, a header checksum that does not
  // match, a page size that is not the database's: nothing applied, said.
  for (const std::string& log : {w.walBytes.substr(0, 20), std::string(64, 'x'),
                                 [&] { std::string s = w.walBytes; s[25] ^= 1; return s; }()}) {
    ASSERT_EQ(reader.OpenBytes(w.dbBytes, log), 0);
    EXPECT_EQ(reader.Wal().committedFrames, 0u);
    EXPECT_FALSE(reader.Wal().damage.empty());
    EXPECT_EQ(reader.PageCount(), w.dbBytes.size() / 512);
  }
  {
    std::string other = w.walBytes;
    PutBe32(other, 8, 1024);
    uint32_t sum[2] = {0, 0};
    WalChecksum(reinterpret_cast<const uint8_t*>(other.data()), 24, (Be32(other, 0) & 1) != 0, sum);
    PutBe32(other, 24, sum[0]);
    PutBe32(other, 28, sum[1]);
    ASSERT_EQ(reader.OpenBytes(w.dbBytes, other), 0);
    EXPECT_EQ(reader.Wal().committedFrames, 0u);
  }
  // A forged commit that claims a huge database, with valid checksums: held
  // to the pages that exist.
  {
    std::string forged = w.walBytes.substr(0, 32 + 24 + 512);
    PutBe32(forged, 32 + 4, 0xFFFFFFF0u);
    const bool big = (Be32(forged, 0) & 1) != 0;
    uint32_t sum[2] = {Be32(forged, 24), Be32(forged, 28)};
    WalChecksum(reinterpret_cast<const uint8_t*>(forged.data()) + 32, 8, big, sum);
    WalChecksum(reinterpret_cast<const uint8_t*>(forged.data()) + 56, 512, big, sum);
    PutBe32(forged, 32 + 16, sum[0]);
    PutBe32(forged, 32 + 20, sum[1]);
    ASSERT_EQ(reader.OpenBytes(w.dbBytes, forged), 0);
    EXPECT_EQ(reader.Wal().committedFrames, 1u);
    EXPECT_LE(reader.PageCount(), w.dbBytes.size() / 512 + 1);
  }
  // Random damage anywhere: the scan ends, with no more rows than exist.
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string log = w.walBytes;
    const int changes = 1 + static_cast<int>(random() % 8);
    for (int c = 0; c < changes; ++c) log[random() % log.size()] = static_cast<char>(random());
    if (round % 3 == 0) log.resize(random() % log.size());
    ASSERT_EQ(reader.OpenBytes(w.dbBytes, log), 0);
    size_t rows = 0;
    ScanTable(reader, "t", [&](CDbFileReader&, const RowInput& in) {
      rows += in.deleted ? 0 : 1;
      return 0;
    });
    EXPECT_LE(rows, 160u);
  }
}

}  // namespace
}  // namespace orbanix::testing
