// SQLite databases built through the real library for fixtures. Every
// connection turns secure_delete off, so deleted rows keep their bytes in
// the file (Debian's SQLite turns it on by default).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>
#include <variant>

namespace orbanix::gen {

// A bound value: NULL, integer, real, text or blob.
struct Blob {
  std::string bytes;
};
using Value = std::variant<std::nullptr_t, int64_t, double, std::string, Blob>;

struct FixtureOptions {
  int pageSize = 4096;
  int reservedBytes = 0;
  bool autoVacuumIncremental = false;
  bool utf16 = false;
};

class FixtureDb {
 public:
  // Creates a new database file (an existing file is replaced). Throws
  // std::runtime_error on failure: fixtures either build or the test fails.
  explicit FixtureDb(const std::filesystem::path& path, const FixtureOptions& options = {});
  ~FixtureDb();
  FixtureDb(const FixtureDb&) = delete;
  FixtureDb& operator=(const FixtureDb&) = delete;

  void Exec(const std::string& sql);
  // Runs one statement with bound values; returns the last insert rowid.
  int64_t Run(const std::string& sql, const std::vector<Value>& values);
  // First column of the first row of a query, as integer.
  int64_t QueryInt(const std::string& sql);
  sqlite3* handle() { return db_; }
  void Close();

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace orbanix::gen
