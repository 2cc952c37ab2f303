#include "tests/sqlite_pages/sqlite_oracle.h"

#include <sqlite3.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/text.h"

namespace orbanix::testing {

std::vector<OracleRow> ReadWithSqlite(const std::filesystem::path& db, const std::string& table) {
  sqlite3* h = nullptr;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    throw std::runtime_error("cannot open " + db.string());
  }
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "SELECT rowid, * FROM \"" + table + "\"";
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare: ") + sqlite3_errmsg(h));
  }
  std::vector<OracleRow> rows;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    OracleRow row;
    row.rowid = sqlite3_column_int64(stmt, 0);
    const int n = sqlite3_column_count(stmt);
    for (int c = 1; c < n; ++c) {
      switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER: row.values.emplace_back(static_cast<int64_t>(sqlite3_column_int64(stmt, c))); break;
        case SQLITE_FLOAT: row.values.emplace_back(sqlite3_column_double(stmt, c)); break;
        case SQLITE_TEXT: {
          const char* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
          row.values.emplace_back(std::string(t, sqlite3_column_bytes(stmt, c)));
          break;
        }
        case SQLITE_BLOB: {
          const char* b = static_cast<const char*>(sqlite3_column_blob(stmt, c));
          row.values.emplace_back(BlobValue{std::string(b ? b : "", sqlite3_column_bytes(stmt, c))});
          break;
        }
        default: row.values.emplace_back(nullptr);
      }
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(h);
  return rows;
}

ScanResult ScanGeneric(const std::filesystem::path& db, const std::string& table, const ScanOptions& options) {
  ScanResult result;
  LoadTableSchema(db, table, result.schema);
  CDbFileReader reader;
  result.status = reader.Open(db);
  if (result.status != 0) return result;
  reader.genericColumnCount = result.schema.columnCount;
  ParsedRecord scratch;
  const int alias = result.schema.rowidAliasColumn;
  const int columns = result.schema.columnCount;
  result.status = ScanTable(
      reader, table,
      [&](CDbFileReader& r, const RowInput& in) {
        GenericRow row;
        const Status st = DecodeGenericRow(r, in, row, scratch, in.headerless ? -1 : alias, columns);
        if (st == 0) result.rows.push_back(std::move(row));
        return st;
      },
      options);
  return result;
}

std::string Describe(const SqlValue& v) {
  if (std::holds_alternative<std::nullptr_t>(v)) return "NULL";
  if (auto i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (auto d = std::get_if<double>(&v)) return Format("%.17g", *d);
  if (auto t = std::get_if<std::string>(&v)) return "'" + t->substr(0, 40) + "'(" + std::to_string(t->size()) + ")";
  const auto& b = std::get<BlobValue>(v).bytes;
  return "x'" + HexLower(b.substr(0, 20)) + "'(" + std::to_string(b.size()) + ")";
}

std::string Describe(const std::vector<SqlValue>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + Describe(v[i]);
  return out + "]";
}

std::filesystem::path TempFolder(const std::string& name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("orbanix_pages_" + std::to_string(::getpid()) + "_" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace orbanix::testing
