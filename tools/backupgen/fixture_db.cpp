#include "tools/backupgen/fixture_db.h"

#include <stdexcept>

namespace orbanix::gen {

FixtureDb::FixtureDb(const std::filesystem::path& path, const FixtureOptions& options) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  // The side files of an earlier database of that name would be taken for
  // this one's.
  for (const char* side : {"-wal", "-shm", "-journal"}) std::filesystem::remove(path.string() + side, ec);
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    throw std::runtime_error("cannot create " + path.string());
  }
  if (options.reservedBytes > 0) {
    int reserve = options.reservedBytes;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
  }
  Exec("PRAGMA secure_delete=OFF;");
  Exec("PRAGMA page_size=" + std::to_string(options.pageSize) + ";");
  if (options.autoVacuumIncremental) Exec("PRAGMA auto_vacuum=INCREMENTAL;");
  if (options.utf16) Exec("PRAGMA encoding='UTF-16le';");
  Exec("PRAGMA journal_mode=DELETE;");
}

FixtureDb::~FixtureDb() { Close(); }

void FixtureDb::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

void FixtureDb::Exec(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error("SQL failed: " + text + " in: " + sql.substr(0, 200));
  }
}

int64_t FixtureDb::Run(const std::string& sql, const std::vector<Value>& values) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare failed: ") + sqlite3_errmsg(db_) + " in: " + sql);
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::nullptr_t>) {
            sqlite3_bind_null(stmt, index);
          } else if constexpr (std::is_same_v<T, int64_t>) {
            sqlite3_bind_int64(stmt, index, v);
          } else if constexpr (std::is_same_v<T, double>) {
            sqlite3_bind_double(stmt, index, v);
          } else if constexpr (std::is_same_v<T, std::string>) {
            sqlite3_bind_text(stmt, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
          } else {
            sqlite3_bind_blob(stmt, index, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT);
          }
        },
        values[i]);
  }
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw std::runtime_error(std::string("step failed: ") + sqlite3_errmsg(db_));
  return sqlite3_last_insert_rowid(db_);
}

int64_t FixtureDb::QueryInt(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare failed: ") + sqlite3_errmsg(db_));
  }
  int64_t value = 0;
  if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return value;
}

}  // namespace orbanix::gen
