// Differential test: every live row our B-tree walker delivers equals the
// row the SQLite library reads, on random databases (random schemas, every
// serial type, overflow chains of 1 to 20 pages, 2- and 3-level trees, page
// sizes 512 to 65,536, reserved bytes 0 and 32, UTF-8 and UTF-16).
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "tests/sqlite_pages/sqlite_oracle.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::testing {
namespace {

using gen::FixtureDb;
using gen::FixtureOptions;
using gen::Value;

std::string RandomText(std::mt19937_64& rng, size_t bytes) {
  static const char* kPieces[] = {"a", "Z", "0", " ", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "'", "\"", "\n"};
  std::string out;
  while (out.size() < bytes) out += kPieces[rng() % 10];
  // Cut at a character boundary so the text stays valid UTF-8.
  while (out.size() > bytes && !out.empty()) {
    size_t cut = out.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

Value RandomValue(std::mt19937_64& rng, uint32_t usable, bool large) {
  auto bits = [&](int n) {
    const int64_t v = static_cast<int64_t>(rng());
    return n == 64 ? v : v >> (64 - n);  // a signed value of about n bits
  };
  if (large) {
    const uint32_t pages = 1 + static_cast<uint32_t>(rng() % 20);
    const size_t bytes = pages * (usable - 4) - rng() % 64;
    if (rng() % 2) return RandomText(rng, bytes);
    std::string blob(bytes, '\0');
    for (char& c : blob) c = static_cast<char>(rng());
    return gen::Blob{blob};
  }
  switch (rng() % 12) {
    case 0: return nullptr;
    case 1: return static_cast<int64_t>(rng() % 2);
    case 2: return bits(8);
    case 3: return bits(16);
    case 4: return bits(24);
    case 5: return bits(32);
    case 6: return bits(48);
    case 7: {
      static const int64_t kEdges[] = {INT64_MIN, INT64_MAX, -1, 255, 65535, 0xFFFFFF, 0x7FFFFFFF, -129, 128};
      return rng() % 2 ? bits(64) : kEdges[rng() % 9];
    }
    case 8: return (static_cast<double>(bits(40)) / 7.0) * (rng() % 2 ? 1e-3 : 1e12);
    case 9:
    case 10: return RandomText(rng, rng() % 60);
    default: {
      std::string blob(rng() % 40, '\0');
      for (char& c : blob) c = static_cast<char>(rng());
      return gen::Blob{blob};
    }
  }
}

struct Table {
  std::string name;
  int columns = 0;
};

// The depth of a table's B-tree, following the left-most children.
int TreeDepth(CDbFileReader& reader, const std::string& table) {
  std::vector<uint8_t> page(reader.pageSize);
  if (reader.ReadPage(0, page.data())) return 0;
  ChildPageMap roots;
  FindTableRoots(reader, page.data(), table, roots);
  int best = 0;
  for (const auto& [root, key] : roots) {
    (void)key;
    uint32_t index = root;
    int depth = 0;
    while (depth < 10 && reader.ReadPage(index, page.data()) == 0) {
      ++depth;
      if (page[0] != 5) break;
      ChildPageMap children;
      ListChildren(reader, page.data(), 0, children);
      if (children.empty()) break;
      index = children.begin()->first;
    }
    best = std::max(best, depth);
  }
  return best;
}

struct Built {
  std::vector<Table> tables;
};

Built BuildRandomDatabase(const std::filesystem::path& path, uint64_t seed, const FixtureOptions& options) {
  std::mt19937_64 rng(seed);
  FixtureDb db(path, options);
  db.Exec("PRAGMA synchronous=OFF");
  const uint32_t usable = options.pageSize - options.reservedBytes;
  Built built;
  static const char* kTypes[] = {"INTEGER", "TEXT", "BLOB", "REAL", "NUMERIC", ""};
  const int tableCount = 1 + static_cast<int>(rng() % 3);
  for (int t = 0; t < tableCount; ++t) {
    Table table{"t" + std::to_string(t), 1 + static_cast<int>(rng() % 10)};
    const int ipk = rng() % 3 == 0 ? static_cast<int>(rng() % table.columns) : -1;
    std::string sql = "CREATE TABLE " + table.name + " (";
    for (int c = 0; c < table.columns; ++c) {
      sql += (c ? ", c" : "c") + std::to_string(c) + " ";
      sql += c == ipk ? "INTEGER PRIMARY KEY" : kTypes[rng() % 6];
    }
    db.Exec(sql + ")");
    if (rng() % 2) db.Exec("CREATE INDEX " + table.name + "_i ON " + table.name + "(c0)");
    if (rng() % 3 == 0) db.Exec("CREATE VIEW " + table.name + "_v AS SELECT * FROM " + table.name);
    // Small pages get many rows, for trees of 2 and 3 levels.
    const int rows = options.pageSize <= 1024 ? 1200 + static_cast<int>(rng() % 600)
                                              : 40 + static_cast<int>(rng() % 300);
    int largeLeft = 1 + static_cast<int>(rng() % 3);
    std::string insert = "INSERT INTO " + table.name + " VALUES (";
    for (int c = 0; c < table.columns; ++c) insert += c ? ",?" : "?";
    insert += ")";
    db.Exec("BEGIN");
    for (int r = 0; r < rows; ++r) {
      std::vector<Value> values;
      for (int c = 0; c < table.columns; ++c) {
        if (c == ipk) {
          if (rng() % 4) {
            values.emplace_back(nullptr);
          } else {
            values.emplace_back(static_cast<int64_t>(rng() >> 1));
          }
          continue;
        }
        const bool large = largeLeft > 0 && rng() % 40 == 0;
        if (large) --largeLeft;
        values.push_back(RandomValue(rng, usable, large));
      }
      try {
        db.Run(insert, values);
      } catch (const std::exception&) {
        // A random rowid collided with an existing one: skip the row.
      }
    }
    db.Exec("COMMIT");
    // Deletions and updates leave free blocks between live cells.
    db.Exec("DELETE FROM " + table.name + " WHERE rowid % 7 = " + std::to_string(rng() % 7));
    if (table.columns > 1 && ipk != 1) {
      db.Exec("UPDATE " + table.name + " SET c1 = 'updated' WHERE rowid % 5 = 1");
    }
    built.tables.push_back(table);
  }
  db.Close();
  return built;
}

TEST(Differential, LiveRowsEqualSqlite) {
  const auto dir = TempFolder("differential");
  static const int kPageSizes[] = {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
  int databases = 0;
  int maxDepth = 0;
  size_t totalRows = 0;
  for (int round = 0; round < 3; ++round) {
    for (int p = 0; p < 8; ++p) {
      FixtureOptions options;
      options.pageSize = kPageSizes[p];
      options.reservedBytes = (round + p) % 2 ? 32 : 0;
      options.utf16 = round == 2 && p % 2 == 0;
      const uint64_t seed = 1000 + round * 8 + p;
      const auto path = dir / ("db" + std::to_string(seed) + ".sqlite");
      const Built built = BuildRandomDatabase(path, seed, options);
      ++databases;
      for (const Table& table : built.tables) {
        SCOPED_TRACE("page size " + std::to_string(options.pageSize) + ", reserved " +
                     std::to_string(options.reservedBytes) + ", seed " + std::to_string(seed) + ", " + table.name);
        const auto expected = ReadWithSqlite(path, table.name);
        const ScanResult ours = ScanGeneric(path, table.name);
        ASSERT_EQ(ours.status, 0);
        std::map<int64_t, const GenericRow*> live;
        for (const GenericRow& row : ours.rows) {
          if (row.deleted) continue;
          ASSERT_TRUE(row.hasRowid);
          ASSERT_TRUE(live.emplace(row.rowid, &row).second) << "rowid delivered twice: " << row.rowid;
        }
        ASSERT_EQ(live.size(), expected.size());
        for (const OracleRow& want : expected) {
          auto it = live.find(want.rowid);
          ASSERT_NE(it, live.end()) << "rowid " << want.rowid << " missing";
          ASSERT_TRUE(SameValues(it->second->values, want.values))
              << "rowid " << want.rowid << "\n ours " << Describe(it->second->values) << "\n sqlite "
              << Describe(want.values);
        }
        totalRows += expected.size();
        CDbFileReader reader;
        ASSERT_EQ(reader.Open(path), 0);
        maxDepth = std::max(maxDepth, TreeDepth(reader, table.name));
      }
    }
  }
  std::printf("differential: %d databases, %zu live rows equal, deepest tree %d levels\n", databases, totalRows,
              maxDepth);
  EXPECT_GE(maxDepth, 3);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing
