#include "tools/sqlitecorpus/corpus.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>

#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix::corpus {

namespace {

using Rng = std::mt19937_64;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct Column {
  std::string name;
  std::string type;  // declared type
  bool notNull = false;
};

struct TableShape {
  std::string name;
  std::vector<Column> columns;
  int alias = -1;
  bool withoutRowid = false;
  std::vector<int64_t> rowids;  // in insert order
};

// One row's cell as it lay in the file before the deletions: the bytes
// behind its first 4 (those a free-block header would overwrite), the whole
// local part, and the data of its overflow pages.
struct CellBytes {
  uint32_t page = 0, offset = 0;
  std::string local;
  std::string whole;
  // The first 4 bytes hold a value that nothing else tells: payload length
  // and rowid 1 byte each, so the header length and column 0's serial type
  // lie there, and that type (NULL, 0 or 1) has no body to read it from.
  bool headValue = false;
  std::vector<std::string> overflow;
};

std::string RandomText(Rng& rng, size_t length) {
  static const char* const kPieces[] = {"a", "b", "e", "k", "n", "o", "r", "s", "t", " ", "-", "1", "7",
                                        "\xC3\xA9", "\xC3\xBC", "\xE6\x97\xA5", "\xE2\x82\xAC", "Z", "q", "."};
  std::string out;
  while (out.size() < length) out += kPieces[rng() % (sizeof kPieces / sizeof *kPieces)];
  return out;
}

std::string RandomBytes(Rng& rng, size_t length) {
  std::string out(length, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

gen::Value RandomValue(Rng& rng, const Column& column, size_t longValue) {
  if (!column.notNull && rng() % 9 == 0) return nullptr;
  const std::string& t = column.type;
  const auto integer = [&]() -> int64_t {
    switch (rng() % 6) {
      case 0: return static_cast<int64_t>(rng() % 2);
      case 1: return static_cast<int64_t>(rng() % 200) - 100;
      case 2: return static_cast<int64_t>(rng() % 100000);
      case 3: return static_cast<int64_t>(rng() % 5000000000ull) - 2500000000ll;
      case 4: return static_cast<int64_t>(rng());
      default: return 1700000000 + static_cast<int64_t>(rng() % 100000000);
    }
  };
  const auto real = [&]() -> double {
    if (rng() % 4 == 0) return static_cast<double>(rng() % 1000);
    return (static_cast<double>(rng() % 2000000) - 1000000.0) / 997.0;
  };
  if (t == "INTEGER" || t == "INT") return integer();
  if (t == "REAL" || t == "DOUBLE") return real();
  if (t == "TEXT" || t == "VARCHAR(40)") return RandomText(rng, longValue ? longValue : rng() % 40);
  if (t == "BLOB") return gen::Blob{RandomBytes(rng, longValue ? longValue : rng() % 30)};
  if (t == "NUMERIC") {
    if (rng() % 2) return integer();
    return "2024-0" + std::to_string(1 + rng() % 9) + "-1" + std::to_string(rng() % 10);
  }
  // No declared type: anything.
  if (longValue) return RandomText(rng, longValue);
  switch (rng() % 4) {
    case 0: return integer();
    case 1: return real();
    case 2: return RandomText(rng, rng() % 25);
    default: return gen::Blob{RandomBytes(rng, rng() % 20)};
  }
}

TableShape RandomTable(Rng& rng, const std::string& name, bool allowWithoutRowid) {
  static const char* const kTypes[] = {"INTEGER", "TEXT", "REAL", "BLOB", "NUMERIC", "", "VARCHAR(40)", "INT", "DOUBLE"};
  TableShape shape;
  shape.name = name;
  const int count = 2 + static_cast<int>(rng() % 6);
  for (int c = 0; c < count; ++c) {
    Column col;
    col.name = "c" + std::to_string(c);
    col.type = kTypes[rng() % (sizeof kTypes / sizeof *kTypes)];
    col.notNull = rng() % 5 == 0;
    shape.columns.push_back(col);
  }
  // A TEXT column so that long values (overflow) have a place.
  shape.columns.push_back({"note", "TEXT", false});
  const int layout = static_cast<int>(rng() % 3);
  if (allowWithoutRowid && rng() % 3 == 0) {
    shape.withoutRowid = true;
  } else if (layout < 2) {
    shape.alias = layout;  // INTEGER PRIMARY KEY in column 0 or 1
    shape.columns.insert(shape.columns.begin() + layout, Column{"id", "INTEGER", false});
  }
  return shape;
}

std::string CreateSql(const TableShape& shape) {
  std::string sql = "CREATE TABLE " + shape.name + "(";
  for (size_t c = 0; c < shape.columns.size(); ++c) {
    const Column& col = shape.columns[c];
    sql += (c ? ", " : "") + col.name + (col.type.empty() ? "" : " " + col.type);
    if (static_cast<int>(c) == shape.alias) sql += " PRIMARY KEY";
    if (col.notNull) sql += " NOT NULL";
  }
  if (shape.withoutRowid) sql += ", k INTEGER PRIMARY KEY) WITHOUT ROWID";
  else sql += ")";
  return sql;
}

std::string InsertSql(const TableShape& shape, bool withRowid) {
  std::string cols, marks;
  if (withRowid) cols = "rowid", marks = "?";
  for (size_t c = 0; c < shape.columns.size(); ++c) {
    if (static_cast<int>(c) == shape.alias) continue;
    cols += (cols.empty() ? "" : ", ") + shape.columns[c].name;
    marks += marks.empty() ? "?" : ", ?";
  }
  if (shape.withoutRowid) cols += ", k", marks += ", ?";
  return "INSERT INTO " + shape.name + "(" + cols + ") VALUES (" + marks + ")";
}

std::vector<gen::Value> RandomRow(Rng& rng, const TableShape& shape, size_t longValue) {
  std::vector<gen::Value> values;
  for (size_t c = 0; c < shape.columns.size(); ++c) {
    if (static_cast<int>(c) == shape.alias) continue;
    const bool last = c + 1 == shape.columns.size();
    values.push_back(RandomValue(rng, shape.columns[c], last ? longValue : 0));
  }
  return values;
}

// rowid -> stored values (alias column NULL), through the library.
std::map<int64_t, std::vector<SqlValue>> ReadRows(sqlite3* db, const TableShape& shape) {
  std::map<int64_t, std::vector<SqlValue>> rows;
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "SELECT rowid, * FROM " + shape.name;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("corpus: ") + sqlite3_errmsg(db));
  }
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::vector<SqlValue> values;
    for (int c = 1; c < sqlite3_column_count(stmt); ++c) {
      if (c - 1 == shape.alias) {
        values.emplace_back(nullptr);
        continue;
      }
      switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER: values.emplace_back(static_cast<int64_t>(sqlite3_column_int64(stmt, c))); break;
        case SQLITE_FLOAT: values.emplace_back(sqlite3_column_double(stmt, c)); break;
        case SQLITE_TEXT:
          values.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                          sqlite3_column_bytes(stmt, c)));
          break;
        case SQLITE_BLOB: {
          const char* b = static_cast<const char*>(sqlite3_column_blob(stmt, c));
          values.emplace_back(BlobValue{std::string(b ? b : "", sqlite3_column_bytes(stmt, c))});
          break;
        }
        default: values.emplace_back(nullptr);
      }
    }
    rows[sqlite3_column_int64(stmt, 0)] = std::move(values);
  }
  sqlite3_finalize(stmt);
  return rows;
}

// The cells of a rowid table as they lie in the file now, and the rowid of
// the first cell pointer of every leaf page.
void SnapshotCells(const std::filesystem::path& path, const std::string& table, int alias,
                   std::map<int64_t, CellBytes>& cells, std::vector<int64_t>& firstOfPage, std::vector<std::vector<int64_t>>& pages) {
  CDbFileReader reader;
  if (reader.Open(path) != status::kOk) throw std::runtime_error("corpus: cannot read back " + path.string());
  std::vector<uint8_t> page(reader.pageSize), overflow(reader.pageSize);
  if (reader.ReadPage(0, page.data()) != status::kOk) throw std::runtime_error("corpus: page 1 unreadable");
  ChildPageMap roots;
  FindTableRoots(reader, page.data(), table, roots);
  const uint32_t u = reader.usableSize;
  for (const auto& [root, key] : roots) {
    (void)key;
    reader.ReadPage(root, page.data());
    PageCellMap live;
    CollectLiveCells(reader, page.data(), root, live);
    for (const auto& [index, list] : live) {
      reader.ReadPage(index, page.data());
      std::vector<int64_t> rowids;
      for (uint16_t off : list) {
        int a = static_cast<int>(u - off);
        const uint64_t payload = ReadVarint(page.data() + off, a);
        int b = static_cast<int>(u - off - a);
        const int64_t rowid = static_cast<int64_t>(ReadVarint(page.data() + off + a, b));
        const uint64_t maxLocal = u - 35, minLocal = (u - 12) * 32 / 255 - 23;
        uint64_t local = payload;
        if (payload > maxLocal) {
          const uint64_t k = minLocal + (payload - minLocal) % (u - 4);
          local = k <= maxLocal ? k : minLocal;
        }
        const uint32_t start = off + a + b;
        CellBytes cell;
        cell.page = index + 1;
        cell.offset = off;
        const uint32_t end = static_cast<uint32_t>(start + local);
        if (end > off + 4u) cell.local.assign(reinterpret_cast<const char*>(page.data() + off + 4), end - off - 4);
        cell.whole.assign(reinterpret_cast<const char*>(page.data() + off), end - off);
        if (a + b == 2 && alias != 0 && start + 1 < end) {
          const uint8_t type0 = page[start + 1];
          cell.headValue = type0 == 0 || type0 == 8 || type0 == 9;
        }
        if (payload > local) {
          uint32_t next = Be32(page.data() + end);
          uint64_t have = local;
          while (next != 0 && have < payload) {
            reader.ReadPage(next - 1, overflow.data());
            const uint64_t take = std::min<uint64_t>(u - 4, payload - have);
            cell.overflow.emplace_back(reinterpret_cast<const char*>(overflow.data() + 4), take);
            have += take;
            next = Be32(overflow.data());
          }
        }
        cells[rowid] = std::move(cell);
        rowids.push_back(rowid);
      }
      if (!rowids.empty()) firstOfPage.push_back(rowids.front());
      pages.push_back(rowids);
    }
  }
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SameValue(const SqlValue& a, const SqlValue& b) {
  if (a.index() == b.index()) return a == b;
  const auto num = [](const SqlValue& v, double& d) {
    if (auto i = std::get_if<int64_t>(&v)) {
      d = static_cast<double>(*i);
      return true;
    }
    if (auto r = std::get_if<double>(&v)) {
      d = *r;
      return true;
    }
    return false;
  };
  double x, y;
  return num(a, x) && num(b, y) && x == y;
}

}  // namespace

const char* KindName(DeletionKind kind) {
  switch (kind) {
    case DeletionKind::kSingle: return "single";
    case DeletionKind::kRun: return "run";
    case DeletionKind::kFirstOfPage: return "first-of-page";
    case DeletionKind::kOverflow: return "overflow";
    case DeletionKind::kOverwritten: return "overwritten";
    case DeletionKind::kFreedPages: return "freed-pages";
    case DeletionKind::kDroppedTable: return "dropped-table";
    case DeletionKind::kEmptiedThenDropped: return "emptied-dropped";
    case DeletionKind::kAppTableEmptied: return "app-emptied";
  }
  return "?";
}

bool SameValues(const std::vector<SqlValue>& a, const std::vector<SqlValue>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameValue(a[i], b[i])) return false;
  }
  return true;
}

std::string Describe(const std::vector<SqlValue>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    const SqlValue& v = values[i];
    out += i ? ", " : "";
    if (std::holds_alternative<std::nullptr_t>(v)) out += "NULL";
    else if (auto n = std::get_if<int64_t>(&v)) out += std::to_string(*n);
    else if (auto d = std::get_if<double>(&v)) out += Format("%.17g", *d);
    else if (auto t = std::get_if<std::string>(&v)) out += "'" + ValidUtf8(t->substr(0, 30)) + "'";
    else out += "x'" + HexLower(std::get<BlobValue>(v).bytes.substr(0, 16)) + "'";
  }
  return out + "]";
}

CorpusDb BuildCorpusDb(const std::filesystem::path& path, uint64_t seed) {
  static const int kPageSizes[] = {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
  Rng rng(seed * 0x9E3779B97F4A7C15ull + 17);
  CorpusDb out;
  out.path = path;
  out.seed = seed;
  out.options.pageSize = kPageSizes[seed % 8];
  out.options.reservedBytes = rng() % 3 == 0 ? static_cast<int>(8 + rng() % 25) : 0;
  out.options.utf16 = rng() % 4 == 0;
  out.options.autoVacuumIncremental = rng() % 4 == 0;
  const uint32_t usable = static_cast<uint32_t>(out.options.pageSize - out.options.reservedBytes);

  std::vector<TableShape> tables;
  tables.push_back(RandomTable(rng, "t_main", false));
  if (rng() % 2) tables.push_back(RandomTable(rng, "t_more", true));
  const bool dropOne = rng() % 3 != 0;
  if (dropOne) tables.push_back(RandomTable(rng, "t_gone", false));

  // The app-shaped table, filled beside the others from a generator of its
  // own (the other tables' values stay as the seed made them before).
  TableShape app;
  app.name = "t_app";
  app.alias = 0;
  app.columns = {{"id", "INTEGER", false}, {"title", "TEXT", false},  {"stamp", "INTEGER", false},
                 {"flags", "INTEGER", false}, {"amount", "REAL", false}, {"note", "TEXT", false}};
  Rng appRng(seed * 0x2545F4914F6CDD1Dull + 3);

  gen::FixtureDb db(path, out.options);
  db.Exec("PRAGMA synchronous=OFF");
  for (const TableShape& t : tables) db.Exec(CreateSql(t));
  db.Exec(CreateSql(app));
  // Rows: enough for several leaf pages at every page size.
  const size_t rowsPerTable = 120 + rng() % 160 + (usable >= 16384 ? 250 : 0);
  db.Exec("BEGIN");
  for (size_t i = 0; i < rowsPerTable; ++i) {
    for (TableShape& t : tables) {
      const size_t longValue = rng() % 25 == 0 ? usable + rng() % (2 * usable) : 0;
      std::vector<gen::Value> values = RandomRow(rng, t, longValue);
      if (t.withoutRowid) values.emplace_back(static_cast<int64_t>(i + 1));
      const int64_t rowid = db.Run(InsertSql(t, false), values);
      t.rowids.push_back(t.withoutRowid ? static_cast<int64_t>(i + 1) : rowid);
    }
    app.rowids.push_back(db.Run(InsertSql(app, false), RandomRow(appRng, app, 0)));
  }
  db.Exec("COMMIT");

  out.description = Format("seed %llu: page %d, reserved %d, %s, auto-vacuum %s, tables",
                           static_cast<unsigned long long>(seed), out.options.pageSize, out.options.reservedBytes,
                           out.options.utf16 ? "UTF-16le" : "UTF-8",
                           out.options.autoVacuumIncremental ? "incremental" : "off");
  std::map<std::string, std::map<int64_t, std::vector<SqlValue>>> before;
  std::map<std::string, std::map<int64_t, CellBytes>> cells;
  std::map<std::string, std::map<int64_t, DeletionKind>> kinds;
  std::map<std::string, std::vector<int64_t>> firstOf;
  std::map<std::string, std::vector<std::vector<int64_t>>> pagesOf;
  for (TableShape& t : tables) {
    out.description += " " + t.name + (t.withoutRowid ? "(without rowid)" : t.alias >= 0 ? Format("(alias %d)", t.alias)
                                                                                          : "(no alias)");
    if (t.withoutRowid) continue;
    before[t.name] = ReadRows(db.handle(), t);
    SnapshotCells(path, t.name, t.alias, cells[t.name], firstOf[t.name], pagesOf[t.name]);
  }
  const std::map<int64_t, std::vector<SqlValue>> appBefore = ReadRows(db.handle(), app);
  {
    std::vector<int64_t> first;
    std::vector<std::vector<int64_t>> pages;
    SnapshotCells(path, app.name, app.alias, cells[app.name], first, pages);
  }
  // The deletions in one transaction: the pages change as they would one
  // statement at a time, with far fewer writes.
  db.Exec("BEGIN");
  for (TableShape& t : tables) {
    if (t.withoutRowid || (&t == &tables.back() && dropOne)) continue;  // dropped whole below
    const std::vector<int64_t>& first = firstOf[t.name];
    const std::vector<std::vector<int64_t>>& pages = pagesOf[t.name];
    auto& k = kinds[t.name];
    const auto del = [&](int64_t rowid, DeletionKind kind) {
      if (k.count(rowid)) return;
      db.Run("DELETE FROM " + t.name + " WHERE rowid = ?", {rowid});
      k[rowid] = kind;
    };
    // The first cell of every third leaf page.
    for (size_t i = 0; i < first.size(); i += 3) del(first[i], DeletionKind::kFirstOfPage);
    // Single rows, not next to each other.
    for (size_t i = 0; i < t.rowids.size() / 20; ++i) {
      const int64_t r = t.rowids[rng() % t.rowids.size()];
      if (!k.count(r - 1) && !k.count(r + 1)) del(r, DeletionKind::kSingle);
    }
    // Runs of neighbours.
    for (int run = 0; run < 3; ++run) {
      const size_t at = rng() % t.rowids.size();
      const size_t len = 3 + rng() % 6;
      for (size_t i = at; i < at + len && i < t.rowids.size(); ++i) del(t.rowids[i], DeletionKind::kRun);
    }
    // Half of the rows with overflow pages.
    for (const auto& [rowid, cell] : cells[t.name]) {
      if (!cell.overflow.empty() && rng() % 2) del(rowid, DeletionKind::kOverflow);
    }
    // Whole pages: every row of two neighbouring leaf pages (not the last).
    if (pages.size() > 4) {
      const size_t p = 1 + rng() % (pages.size() - 3);
      for (size_t q = p; q < p + 2; ++q) {
        for (int64_t r : pages[q]) del(r, DeletionKind::kFreedPages);
      }
    }
    // Rows deleted and their rowids inserted again with fresh values.
    std::vector<int64_t> again;
    for (int i = 0; i < 4; ++i) {
      const int64_t r = t.rowids[rng() % t.rowids.size()];
      if (k.count(r)) continue;
      del(r, DeletionKind::kOverwritten);
      again.push_back(r);
    }
    for (int64_t r : again) {
      std::vector<gen::Value> values = RandomRow(rng, t, 0);
      values.insert(values.begin(), r);
      db.Run(InsertSql(t, true), values);
    }
  }
  // The WITHOUT ROWID table loses rows too; they are never in the truth.
  for (TableShape& t : tables) {
    if (t.withoutRowid) db.Exec("DELETE FROM " + t.name + " WHERE k % 4 = 1");
  }
  // Every other database with a dropped table has it emptied row by row
  // first (chosen by the seed alone, so the other choices stay as they were).
  const bool emptiedFirst = dropOne && (seed * 0xD1B54A32D192ED03ull >> 61) % 2 == 1;
  if (emptiedFirst) {
    const TableShape& gone = tables.back();
    std::vector<int64_t> order = gone.rowids;
    Rng shuffled(seed * 31 + 7);
    std::shuffle(order.begin(), order.end(), shuffled);
    for (int64_t r : order) db.Run("DELETE FROM " + gone.name + " WHERE rowid = ?", {r});
  }
  if (dropOne) {
    db.Exec("DROP TABLE " + tables.back().name);
    out.description += emptiedFirst ? " (t_gone emptied row by row, then dropped)" : " (t_gone dropped)";
  }
  db.Exec("COMMIT");
  // The app-shaped table emptied a row at a time, each DELETE committed on
  // its own, then dropped.
  {
    std::vector<int64_t> order = app.rowids;
    std::shuffle(order.begin(), order.end(), appRng);
    for (int64_t r : order) db.Run("DELETE FROM " + app.name + " WHERE rowid = ?", {r});
    db.Exec("DROP TABLE " + app.name);
    out.description += " (t_app emptied a row per transaction, then dropped)";
  }
  if (out.options.autoVacuumIncremental) db.Exec("PRAGMA incremental_vacuum(" + std::to_string(rng() % 6) + ")");

  // The rows deleted for good: in the truth, with the values they had.
  for (size_t ti = 0; ti < tables.size(); ++ti) {
    const TableShape& t = tables[ti];
    if (t.withoutRowid) continue;
    const bool dropped = dropOne && ti + 1 == tables.size();
    if (!dropped) out.aliasColumn[t.name] = t.alias;
    for (const auto& [rowid, values] : before[t.name]) {
      DeletionKind kind = emptiedFirst ? DeletionKind::kEmptiedThenDropped : DeletionKind::kDroppedTable;
      if (!dropped) {
        auto it = kinds[t.name].find(rowid);
        if (it == kinds[t.name].end()) continue;
        kind = it->second;
      }
      TruthRow row;
      row.table = dropped ? std::string() : t.name;
      row.kind = kind;
      row.rowid = rowid;
      row.values = values;
      out.deleted.push_back(std::move(row));
    }
  }
  for (const auto& [rowid, values] : appBefore) {
    TruthRow row;
    row.kind = DeletionKind::kAppTableEmptied;
    row.rowid = rowid;
    row.values = values;
    out.deleted.push_back(std::move(row));
  }
  db.Close();

  // Survival: the cell's bytes behind its first 4 and every overflow chunk
  // are somewhere in the final file; when the first 4 bytes held column 0's
  // value (see CellBytes), the whole cell must be there.
  const std::string file = ReadFile(path);
  for (TruthRow& row : out.deleted) {
    const std::string name = row.kind == DeletionKind::kAppTableEmptied ? app.name
                             : row.table.empty()                         ? tables.back().name
                                                                         : row.table;
    const CellBytes& cell = cells[name][row.rowid];
    bool all = !cell.local.empty() && file.find(cell.headValue ? cell.whole : cell.local) != std::string::npos;
    for (size_t i = 0; i < cell.overflow.size() && all; ++i) all = file.find(cell.overflow[i]) != std::string::npos;
    row.survives = all;
    row.page = cell.page;
    row.offset = cell.offset;
  }
  return out;
}

void WriteTruth(const CorpusDb& db, const std::filesystem::path& file) {
  std::ofstream out(file, std::ios::binary);
  for (const TruthRow& row : db.deleted) {
    out << "{\"table\": " << (row.table.empty() ? std::string("null") : "\"" + row.table + "\"") << ", \"kind\": \""
        << KindName(row.kind) << "\", \"rowid\": " << row.rowid << ", \"survives\": " << (row.survives ? "true" : "false")
        << ", \"page\": " << row.page << ", \"offset\": " << row.offset << ", \"values\": \"" << Describe(row.values).substr(0, 200) << "\"}\n";
  }
}

void Figures::Add(const Figures& o) {
  for (int k = 0; k < kKindCount; ++k) {
    kinds[k].deleted += o.kinds[k].deleted;
    kinds[k].surviving += o.kinds[k].surviving;
    kinds[k].recalledSurviving += o.kinds[k].recalledSurviving;
    kinds[k].recalledLost += o.kinds[k].recalledLost;
  }
  for (const auto& [name, s] : o.sources) {
    sources[name].reported += s.reported;
    sources[name].exact += s.exact;
  }
  reported += o.reported;
  exact += o.exact;
  liveReported += o.liveReported;
  liveSeconds += o.liveSeconds;
  carveSeconds += o.carveSeconds;
  for (const std::string& m : o.mistakes) {
    if (mistakes.size() < 20) mistakes.push_back(m);
  }
  for (const std::string& m : o.misses) {
    if (misses.size() < 20) misses.push_back(m);
  }
}

size_t Figures::Surviving() const {
  size_t n = 0;
  for (const KindFigures& k : kinds) n += k.surviving;
  return n;
}
size_t Figures::RecalledSurviving() const {
  size_t n = 0;
  for (const KindFigures& k : kinds) n += k.recalledSurviving;
  return n;
}
double Figures::Recall() const {
  return Surviving() ? static_cast<double>(RecalledSurviving()) / static_cast<double>(Surviving()) : 1.0;
}
double Figures::Precision() const { return reported ? static_cast<double>(exact) / static_cast<double>(reported) : 1.0; }

Figures MeasureCorpusDb(const CorpusDb& db) {
  Figures f;
  using Clock = std::chrono::steady_clock;
  CDbFileReader reader;
  if (reader.Open(db.path) != status::kOk) throw std::runtime_error("corpus: cannot open " + db.path.string());
  std::vector<CarveTable> tables;
  LoadCarveTables(reader, db.path, tables);

  // Baseline: every live row of every table through the page reader.
  std::map<std::string, std::vector<std::vector<SqlValue>>> live;
  const auto liveStart = Clock::now();
  ParsedRecord scratch;
  for (const CarveTable& t : tables) {
    ScanOptions options;
    options.recoverInTree = false;
    options.freePageStage = false;
    ScanTable(reader, t.name, [&](CDbFileReader& r, const RowInput& in) {
      GenericRow row;
      if (DecodeGenericRow(r, in, row, scratch, -1, t.schema.columnCount) == status::kOk) {
        live[t.name].push_back(std::move(row.values));
      }
      return status::kOk;
    }, options);
  }
  f.liveSeconds = std::chrono::duration<double>(Clock::now() - liveStart).count();

  std::vector<CarvedRow> rows;
  const auto carveStart = Clock::now();
  CarveDeletedRows(reader, tables, rows);
  f.carveSeconds = std::chrono::duration<double>(Clock::now() - carveStart).count();

  std::vector<bool> hit(db.deleted.size(), false);
  for (const TruthRow& t : db.deleted) {
    KindFigures& k = f.kinds[static_cast<int>(t.kind)];
    ++k.deleted;
    k.surviving += t.survives;
  }
  for (CarvedRow& carved : rows) {
    const std::string table = carved.table >= 0 ? tables[carved.table].name : std::string();
    std::vector<SqlValue> values = carved.Values();
    if (carved.table >= 0) {
      auto it = db.aliasColumn.find(table);
      const int alias = it == db.aliasColumn.end() ? -1 : it->second;
      if (alias >= 0 && alias < static_cast<int>(values.size())) values[alias] = nullptr;
    }
    ++f.reported;
    SourceFigures& src = f.sources[RowSourceName(carved.source)];
    ++src.reported;
    bool exact = false;
    for (size_t i = 0; i < db.deleted.size(); ++i) {
      if (db.deleted[i].table == table && SameValues(db.deleted[i].values, values)) {
        hit[i] = true;
        exact = true;
      }
    }
    if (exact) {
      ++f.exact;
      ++src.exact;
      continue;
    }
    bool isLive = false;
    for (const auto& [name, list] : live) {
      auto it = db.aliasColumn.find(name);
      const int alias = it == db.aliasColumn.end() ? -1 : it->second;
      for (const auto& lv : list) {
        std::vector<SqlValue> v = lv;
        if (alias >= 0 && alias < static_cast<int>(v.size())) v[alias] = nullptr;
        isLive = isLive || ((name == table || table.empty()) && SameValues(v, values));
      }
    }
    f.liveReported += isLive;
    if (f.mistakes.size() < 40) {
      f.mistakes.push_back(Format("%s %s page %u offset %u %s%s: %s", db.path.filename().c_str(),
                                  table.empty() ? "(dropped)" : table.c_str(), carved.pageIndex + 1,
                                  carved.offset, RowSourceName(carved.source),
                                  isLive ? " LIVE" : carved.reconstructed ? " rebuilt" : "",
                                  Describe(values).c_str()));
    }
  }
  for (size_t i = 0; i < db.deleted.size(); ++i) {
    const TruthRow& t = db.deleted[i];
    if (!hit[i] && t.survives && f.misses.size() < 40) {
      f.misses.push_back(Format("%s %s %s rowid %lld (was page %u offset %u): %s", db.path.filename().c_str(),
                                t.table.empty() ? "(dropped)" : t.table.c_str(), KindName(t.kind),
                                static_cast<long long>(t.rowid), t.page, t.offset, Describe(t.values).c_str()));
    }
    if (!hit[i]) continue;
    KindFigures& k = f.kinds[static_cast<int>(db.deleted[i].kind)];
    if (db.deleted[i].survives) ++k.recalledSurviving;
    else ++k.recalledLost;
  }
  return f;
}

}  // namespace orbanix::corpus
