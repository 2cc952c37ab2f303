#include "sqlite_pages/columns.h"

#include <cctype>

#include "platform/status.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix {

namespace {

// Splits the column list of a CREATE TABLE statement at its top-level commas,
// skipping quoted names, string literals and comments.
std::vector<std::string_view> SplitDefinitions(std::string_view body) {
  std::vector<std::string_view> parts;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '"' || c == '\'' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      for (++i; i < body.size(); ++i) {
        if (body[i] != close) continue;
        if (close != ']' && i + 1 < body.size() && body[i + 1] == close) {
          ++i;  // a doubled quote is one quote character
          continue;
        }
        break;
      }
    } else if (c == '-' && i + 1 < body.size() && body[i + 1] == '-') {
      while (i < body.size() && body[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < body.size() && body[i + 1] == '*') {
      const size_t end = body.find("*/", i + 2);
      i = end == std::string_view::npos ? body.size() : end + 1;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (c == ',' && depth == 0) {
      parts.push_back(body.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(body.substr(start));
  return parts;
}

// The first token of one definition: a column's name, or a constraint's
// keyword. Empty when the definition has none.
std::string FirstName(std::string_view def) {
  size_t i = 0;
  for (;;) {
    while (i < def.size() && std::isspace(static_cast<unsigned char>(def[i]))) ++i;
    if (def.substr(i, 2) == "--") {
      while (i < def.size() && def[i] != '\n') ++i;
    } else if (def.substr(i, 2) == "/*") {
      const size_t end = def.find("*/", i + 2);
      i = end == std::string_view::npos ? def.size() : end + 2;
    } else {
      break;
    }
  }
  if (i >= def.size()) return {};
  const char open = def[i];
  if (open == '"' || open == '\'' || open == '`' || open == '[') {
    const char close = open == '[' ? ']' : open;
    std::string name;
    for (++i; i < def.size(); ++i) {
      if (def[i] == close) {
        if (close != ']' && i + 1 < def.size() && def[i + 1] == close) {
          name.push_back(close);
          ++i;
          continue;
        }
        return name;
      }
      name.push_back(def[i]);
    }
    return {};  // an unterminated quote: no name to trust
  }
  size_t end = i;
  while (end < def.size() && !std::isspace(static_cast<unsigned char>(def[end])) && def[end] != '(') ++end;
  return std::string(def.substr(i, end - i));
}

bool IsTableConstraint(std::string_view word) {
  for (std::string_view keyword : {"constraint", "primary", "unique", "check", "foreign"}) {
    if (EqualsIgnoreAsciiCase(word, keyword)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ParseCreateTableColumns(std::string_view sql) {
  const std::string lower = AsciiLower(sql);
  const size_t create = lower.find("create");
  const size_t table = lower.find("table", create == std::string::npos ? 0 : create);
  if (create == std::string::npos || table == std::string::npos) return {};
  const size_t open = lower.find('(', table);
  if (open == std::string::npos) return {};
  // The column list ends at the parenthesis that closes the first one.
  int depth = 0;
  size_t close = std::string::npos;
  char quote = 0;
  for (size_t i = open; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'' || c == '`') {
      quote = c;
    } else if (c == '[') {
      quote = ']';
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      close = i;
      break;
    }
  }
  if (close == std::string::npos) return {};
  std::vector<std::string> names;
  for (std::string_view def : SplitDefinitions(sql.substr(open + 1, close - open - 1))) {
    std::string name = FirstName(def);
    if (name.empty()) return {};  // an empty definition: not a statement SQLite would accept
    if (IsTableConstraint(name)) break;  // constraints come after every column
    names.push_back(std::move(name));
  }
  return names;
}

ColumnLookup::ColumnLookup(std::vector<std::string> names) : names_(std::move(names)) {
  lowered_.reserve(names_.size());
  for (const std::string& name : names_) lowered_.push_back(AsciiLower(name));
}

ColumnLookup ColumnLookup::Load(const std::filesystem::path& path, const std::string& table) {
  TableSchema schema;
  if (LoadTableSchema(path, table, schema) == status::kOk) return ColumnLookup(schema);
  // The library refuses a whole schema for one bad statement (a column named
  // twice, an unknown word): the table's own statement may still name its
  // columns.
  CDbFileReader reader;
  std::string sql;
  if (reader.Open(path) != status::kOk || FindTableSql(reader, table, sql) != status::kOk) return ColumnLookup();
  return ColumnLookup(ParseCreateTableColumns(sql));
}

int ColumnLookup::Find(std::string_view name, int fallback) const {
  if (!HasSchema()) return fallback;
  const std::string wanted = AsciiLower(name);
  for (size_t i = 0; i < lowered_.size(); ++i) {
    if (lowered_[i] == wanted) return static_cast<int>(i);
  }
  return -1;
}

int ColumnLookup::FindAny(std::initializer_list<std::string_view> names, int fallback) const {
  if (!HasSchema()) return fallback;
  for (std::string_view name : names) {
    const int at = Find(name);
    if (at >= 0) return at;
  }
  return -1;
}

int ColumnLookup::FindNumbered(std::string_view kind, int fallback) const {
  if (!HasSchema()) return fallback;
  const std::string wanted = AsciiLower(kind);
  for (size_t i = 0; i < lowered_.size(); ++i) {
    const std::string& name = lowered_[i];
    if (name.size() < 2 || name[0] != 'c') continue;
    size_t digits = 1;
    while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
    if (digits == 1) continue;
    if (std::string_view(name).substr(digits) == wanted) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace orbanix
