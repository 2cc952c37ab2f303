// Fuzz target: Open + ScanTable (generic mode, every search and the
// free-page stage) + ListTables on arbitrary bytes. No crash, no hang, no
// read outside a buffer.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "sqlite_pages/carver.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "tools/backupgen/fixture_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orbanix;
  CDbFileReader reader;
  if (reader.OpenBytes(std::string(reinterpret_cast<const char*>(data), size)) != 0) return 0;
  std::vector<std::string> tables;
  ListTables(reader, tables);
  tables.push_back("t");
  tables.push_back("handle");  // a known table: the column-count heuristics of the iOS tables
  ParsedRecord scratch;
  GenericRow row;
  size_t rows = 0;
  for (size_t i = 0; i < tables.size() && i < 4; ++i) {
    reader.genericColumnCount = 3 + static_cast<int>(i);
    ScanTable(reader, tables[i], [&](CDbFileReader& r, const RowInput& in) {
      const Status st = DecodeGenericRow(r, in, row, scratch, 0, 0);
      if (st == 0) {
        ++rows;
        for (int c = 0; c < scratch.ColumnCount(); ++c) {
          scratch.AsText(c);
          scratch.AsInt64(c);
          scratch.AsUnsigned(c);
        }
      }
      return st;
    });
  }
  // The schema-driven carver, with the schema of a table of the seeds.
  std::vector<CarveTable> carveTables(1);
  carveTables[0].name = "t";
  carveTables[0].schema.columnCount = 4;
  carveTables[0].schema.rowidAliasColumn = 0;
  carveTables[0].schema.declaredTypes = {"INTEGER", "TEXT", "INTEGER", "BLOB"};
  carveTables[0].schema.notNull = {false, false, false, false};
  std::vector<CarvedRow> carved;
  CarveDeletedRows(reader, carveTables, carved);
  return rows + carved.size() > 1000000 ? 1 : 0;
}

// Seeds: small real databases (two page sizes, reserved bytes, a free list,
// overflow, UTF-16) built with the SQLite library.
extern "C" void OrbanixFuzzSeeds(std::vector<std::string>* seeds) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("orbanix_fuzz_seeds_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (int variant = 0; variant < 4; ++variant) {
    const fs::path path = dir / ("seed" + std::to_string(variant) + ".db");
    {
      orbanix::gen::FixtureOptions options;
      options.pageSize = variant % 2 ? 512 : 1024;
      options.reservedBytes = variant == 2 ? 32 : 0;
      options.utf16 = variant == 3;
      orbanix::gen::FixtureDb db(path, options);
      db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c BLOB)");
      db.Exec("CREATE TABLE gone(x, y)");
      db.Exec("CREATE INDEX ti ON t(b)");
      for (int i = 0; i < 40; ++i) {
        db.Run("INSERT INTO t(a, b, c) VALUES (?, ?, ?)",
               {std::string(i == 7 ? 1500 : 5 + i, static_cast<char>('a' + i % 26)), static_cast<int64_t>(i * 977),
                orbanix::gen::Blob{std::string(i % 9, '\x01')}});
        db.Run("INSERT INTO gone VALUES (?, ?)", {static_cast<int64_t>(i), std::string(30, 'g')});
      }
      db.Exec("DELETE FROM t WHERE id % 3 = 0");
      db.Exec("DROP TABLE gone");
    }
    std::ifstream in(path, std::ios::binary);
    seeds->emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  fs::remove_all(dir);
}
