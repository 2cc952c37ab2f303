// Columns found by name. iOS versions add columns to their tables and Core
// Data orders a table's columns by attribute type, so a column's position in
// one version says nothing about the next. Every reader of a known table asks
// this lookup for the position of each column it reads, by the name the
// table's own CREATE TABLE statement gives it; the historical position is
// used only when the table's schema cannot be read at all.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite_pages/recovery.h"

namespace orbanix {

// The column names of a CREATE TABLE statement, in order; empty when the
// text is not a CREATE TABLE statement with a column list (a damaged or
// foreign schema). Table constraints (PRIMARY KEY (...), UNIQUE, CHECK,
// FOREIGN KEY, CONSTRAINT) are not columns. Quoted names ("x", [x], `x`,
// 'x') are unquoted.
std::vector<std::string> ParseCreateTableColumns(std::string_view sql);

class ColumnLookup {
 public:
  // No schema: every lookup answers its fallback.
  ColumnLookup() = default;
  // From the column names of a table, in order. A name given twice keeps its
  // first position (SQLite itself refuses such a table, so the second is a
  // damaged or forged schema).
  explicit ColumnLookup(std::vector<std::string> names);
  explicit ColumnLookup(const TableSchema& schema) : ColumnLookup(schema.columnNames) {}

  // The schema of `table` in the database at `path` (through LoadTableSchema,
  // else from the column list of the table's CREATE statement when the
  // library refuses the schema); no schema when neither can be read.
  static ColumnLookup Load(const std::filesystem::path& path, const std::string& table);

  bool HasSchema() const { return !names_.empty(); }
  int ColumnCount() const { return static_cast<int>(names_.size()); }
  const std::vector<std::string>& Names() const { return names_; }

  // The position of column `name` (ASCII case ignored). With a schema: its
  // position, or -1 when the table has no such column. Without one:
  // `fallback` (the position older versions of the table use; -1 for a
  // column they never had).
  int Find(std::string_view name, int fallback = -1) const;
  // The first of `names` that the table has (columns renamed between
  // versions, e.g. ZCREATIONDATE1 / ZCREATIONDATE3), else as Find.
  int FindAny(std::initializer_list<std::string_view> names, int fallback = -1) const;
  bool Has(std::string_view name) const { return HasSchema() && Find(name) >= 0; }
  // The first column named "c", a running number, then `kind` (the columns
  // of a full-text search content table: "c15Phone", later "c16Phone"),
  // else as Find.
  int FindNumbered(std::string_view kind, int fallback = -1) const;

 private:
  std::vector<std::string> names_;
  std::vector<std::string> lowered_;
};

}  // namespace orbanix
