// Test helpers: the rows of a table as the SQLite library reads them, and as
// our page reader reads them (generic mode).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "tools/sqlitecorpus/corpus.h"

namespace orbanix::testing {

struct OracleRow {
  int64_t rowid = 0;
  std::vector<SqlValue> values;
};

// SELECT rowid, * through the library (read-only).
std::vector<OracleRow> ReadWithSqlite(const std::filesystem::path& db, const std::string& table);

struct ScanResult {
  Status status = 0;
  std::vector<GenericRow> rows;  // live first, then recovered
  TableSchema schema;
};

// Opens the file with CDbFileReader and scans `table` in generic mode.
ScanResult ScanGeneric(const std::filesystem::path& db, const std::string& table, const ScanOptions& options = {});

// Values equal as stored (the corpus's comparison: an integer equals a real
// of the same value, as a REAL column keeps whole numbers as integers).
using corpus::SameValues;
std::string Describe(const SqlValue& v);
std::string Describe(const std::vector<SqlValue>& v);

// A fresh, empty folder for one test's files.
std::filesystem::path TempFolder(const std::string& name);

}  // namespace orbanix::testing
