// orbanix sqlite [--table NAME] [--jsonl] DB_FILE: every row of a table (or
// of every table) of any SQLite file, read with the page reader: live rows,
// then the rows recovered from the file's free space.
#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/text.h"
#include "sources/stored_database.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"

namespace orbanix::cli {

namespace {

constexpr const char* kHelp =
    "usage: orbanix sqlite [--table NAME] [--jsonl] DB_FILE\n"
    "Prints every row of the table NAME (or of every table) of a SQLite database:\n"
    "the live rows, then the deleted rows carved from free blocks, unallocated\n"
    "space and free-list pages (checked against each table's declared column\n"
    "types; rows of dropped tables are listed last, with no table name). The\n"
    "file is only read.\n"
    "  --table NAME  only this table\n"
    "  --jsonl       one JSON object per line: {\"table\", \"deleted\", \"rowid\",\n"
    "                \"values\"}, recovered rows also with \"source\", \"page\" and\n"
    "                \"offset\" (1-based page number, byte offset in the page;\n"
    "                sources: freeblock, gap, stale-pointer, freelist,\n"
    "                freelist-dropped-table);\n"
    "                blobs as lowercase hexadecimal strings\n"
    "A write-ahead log beside the file (DB_FILE-wal) is read as SQLite reads it:\n"
    "what it gave (frames and transactions applied, pages replaced, frames after\n"
    "its last commit searched for deleted rows only) or why it could not be used\n"
    "goes to stderr, as does a summary line (tables, live rows, recovered rows).\n"
    "Exit status: 0 success, 1 the file, its log or a table cannot be read (or\n"
    "only in part), 2 bad usage.\n";

std::string JsonValue(const SqlValue& v) {
  if (std::holds_alternative<std::nullptr_t>(v)) return "null";
  if (auto i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (auto d = std::get_if<double>(&v)) return std::isfinite(*d) ? Format("%.17g", *d) : "null";
  if (auto t = std::get_if<std::string>(&v)) return JsonString(*t);
  return JsonString(HexLower(std::get<BlobValue>(v).bytes));
}

std::string PlainValue(const SqlValue& v) {
  std::string text;
  if (std::holds_alternative<std::nullptr_t>(v)) {
    text = "NULL";
  } else if (auto i = std::get_if<int64_t>(&v)) {
    text = std::to_string(*i);
  } else if (auto d = std::get_if<double>(&v)) {
    text = Format("%.17g", *d);
  } else if (auto t = std::get_if<std::string>(&v)) {
    text = *t;
  } else {
    text = "x'" + HexLower(std::get<BlobValue>(v).bytes) + "'";
  }
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  if (CodePointCount(text) > 40) {
    // Cut at a character boundary.
    size_t cut = 37;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  return text;
}

// `table` empty: a row of a table that no longer exists (JSON null).
void PrintRow(const std::string& table, const GenericRow& row, bool jsonl) {
  if (jsonl) {
    std::string line = "{\"table\": " + (table.empty() ? std::string("null") : JsonString(table)) + ", \"deleted\": " + (row.deleted ? "true" : "false") +
                       ", \"rowid\": " + (row.hasRowid ? std::to_string(row.rowid) : "null") + ", \"values\": [";
    for (size_t i = 0; i < row.values.size(); ++i) line += (i ? ", " : "") + JsonValue(row.values[i]);
    line += "]";
    if (row.deleted) {
      line += ", \"source\": " + JsonString(RowSourceName(row.source)) +
              ", \"page\": " + std::to_string(uint64_t{row.pageIndex} + 1) + ", \"offset\": " + std::to_string(row.offset);
    }
    std::cout << line << "}\n";
    return;
  }
  std::string line = row.deleted ? "deleted " : "live    ";
  line += row.hasRowid ? Format("%-8lld", static_cast<long long>(row.rowid)) : std::string("-       ");
  for (const SqlValue& v : row.values) line += " | " + PlainValue(v);
  std::cout << line << "\n";
}

// True when the root page of `table` (from the schema) is a page of a
// table's B-tree (leaf 13 or interior 5).
bool RootIsTablePage(CDbFileReader& reader, const std::string& table, std::string& why) {
  std::vector<uint8_t> page0(reader.pageSize);
  if (reader.ReadPage(0, page0.data()) != status::kOk) {
    why = "the first page cannot be read";
    return false;
  }
  ChildPageMap roots;
  FindTableRoots(reader, page0.data(), table, roots);
  if (roots.empty()) {
    why = "the schema names no root page for it";
    return false;
  }
  // The table's own root is a table page; the others found for the name
  // belong to its indexes (index pages, types 2 and 10).
  std::string seen;
  for (const auto& [root, key] : roots) {
    (void)key;
    std::vector<uint8_t> page(reader.pageSize);
    if (reader.ReadPage(root, page.data()) != status::kOk) {
      seen += (seen.empty() ? "" : ", ") + Format("page %u cannot be read", root + 1);
      continue;
    }
    const uint8_t type = page[root == 0 ? 100 : 0];
    if (type == 13 || type == 5) return true;
    if (type == 2 || type == 10) continue;
    seen += (seen.empty() ? "" : ", ") + Format("page %u is not a page of the table (type %u)", root + 1, type);
  }
  why = seen.empty() ? std::string("its root page is missing") : "its root " + seen;
  return false;
}

// What the write-ahead log beside the file gave, one line; empty when no
// log lies there.
std::string WalReport(const std::string& logName, const WalState& wal) {
  if (!wal.found) return std::string();
  std::string line = logName + ": ";
  if (wal.committedFrames > 0) {
    line += Format("write-ahead log applied: %u frame(s), %u transaction(s) up to the commit in frame %u "
                   "(database of %u pages); %u page(s) read from the log in place of the file's",
                   wal.committedFrames, wal.commits, wal.committedFrames, wal.databasePages, wal.pagesReplaced);
  } else if (!wal.damage.empty()) {
    return line + "write-ahead log could not be used (" + wal.damage + "); the file is read alone";
  } else {
    line += "write-ahead log holds no committed transaction; the file is read alone";
  }
  if (wal.uncommittedFrames > 0) {
    line += Format("; %u frame(s) after its last commit (not committed, or of an older use of the log) "
                   "searched for deleted rows, not applied",
                   wal.uncommittedFrames);
  }
  if (!wal.damage.empty()) line += "; damaged: " + wal.damage;
  return line;
}

// A live row has at most the table's column count of values (fewer for
// columns added later); a row with no rowid value and nothing but NULLs
// is the reading of zeroed bytes.
bool FitsTable(const GenericRow& row, size_t columnCount) {
  if (columnCount > 0 && row.values.size() > columnCount) return false;
  if (row.hasRowid && row.rowid == 0) {
    for (const SqlValue& v : row.values) {
      if (!std::holds_alternative<std::nullptr_t>(v)) return true;
    }
    return false;
  }
  return true;
}

}  // namespace

int RunSqlite(const Args& args) {
  bool jsonl = false;
  std::string onlyTable;
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kExitOk;
    }
    if (a == "--jsonl") {
      jsonl = true;
    } else if (a == "--table") {
      if (i + 1 >= args.size()) {
        std::cerr << "orbanix sqlite: --table needs a table name\n" << kHelp;
        return kExitUsage;
      }
      onlyTable = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "orbanix sqlite: unknown option " << a << "\n" << kHelp;
      return kExitUsage;
    } else if (file.empty()) {
      file = a;
    } else {
      std::cerr << "orbanix sqlite: only one DB_FILE may be given\n" << kHelp;
      return kExitUsage;
    }
  }
  if (file.empty()) {
    std::cerr << "orbanix sqlite: DB_FILE missing\n" << kHelp;
    return kExitUsage;
  }

  CDbFileReader reader;
  if (const Status st = reader.Open(file); st != status::kOk) {
    std::cerr << "orbanix sqlite: " << file << ": "
              << (st == status::kBadData ? std::string("not a SQLite database (or an unsupported page size)")
                                         : std::string("cannot be opened (error ") + std::to_string(st) + ")")
              << "\n";
    return kExitFailure;
  }
  int failures = 0;
  // The log changes what every row below is: say what it gave first.
  if (const std::string wal = WalReport(WriteAheadLogOf(file).string(), reader.Wal()); !wal.empty()) {
    std::cerr << "orbanix sqlite: " << wal << "\n";
    if (!reader.Wal().damage.empty()) ++failures;
  }
  // A file shorter than its header says (or not a whole number of pages)
  // is listed as far as its pages go, and the run tells it was cut.
  {
    uint8_t header[100] = {};
    size_t got = 0;
    reader.ReadAt(0, sizeof header, header, got);
    const StoredDatabaseCheck check = CheckDatabaseHeader(header, got, reader.FileSize());
    if (check.state == StoredDatabaseState::kPartial) {
      ++failures;
      std::cerr << "orbanix sqlite: " << file << ": " << check.what << " (" << check.reason
                << "); what its pages still hold is listed\n";
    }
  }
  std::vector<std::string> tables;
  const Status listed = ListTables(reader, tables);
  if (tables.empty() && listed != status::kOk) {
    std::cerr << "orbanix sqlite: " << file << ": the schema cannot be read (error " << listed << ")\n";
    return kExitFailure;
  }
  if (!onlyTable.empty()) {
    bool known = false;
    for (const std::string& t : tables) known = known || t == onlyTable;
    if (!known) {
      std::cerr << "orbanix sqlite: " << file << ": no table named " << onlyTable << "\n";
      return kExitFailure;
    }
    tables = {onlyTable};
  }

  size_t liveRows = 0, recoveredRows = 0, duplicates = 0;
  ParsedRecord scratch;
  // Every table's schema: the carver checks deleted records against the
  // declared types, and reads the whole file once for all tables.
  std::vector<CarveTable> carveTables;
  LoadCarveTables(reader, file, carveTables);
  std::vector<CarvedRow> carved;
  CarveStats stats;
  CarveDeletedRows(reader, carveTables, carved, &stats);
  duplicates = stats.duplicates + stats.droppedAsLive;
  for (const std::string& table : tables) {
    TableSchema schema;
    int carveIndex = -1;
    for (size_t i = 0; i < carveTables.size(); ++i) {
      if (carveTables[i].name == table) {
        schema = carveTables[i].schema;
        carveIndex = static_cast<int>(i);
      }
    }
    reader.genericColumnCount = schema.columnCount;
    if (!jsonl) {
      std::string header = "== " + table;
      if (!schema.columnNames.empty()) {
        header += " (";
        for (size_t i = 0; i < schema.columnNames.size(); ++i) header += (i ? ", " : "") + schema.columnNames[i];
        header += ")";
      }
      if (schema.withoutRowid) header += " [WITHOUT ROWID: stored as an index, not read]";
      std::cout << header << "\n";
    }
    // The table's root must be a page of a table's B-tree: a zeroed or
    // overwritten root would otherwise read as a table without rows.
    if (!schema.withoutRowid) {
      std::string why;
      if (!RootIsTablePage(reader, table, why)) {
        ++failures;
        std::cerr << "orbanix sqlite: " << table << ": " << why << "; its live rows cannot be read\n";
      }
    }
    size_t misfits = 0;
    CutBranches cuts;
    ScanOptions liveOnly;
    liveOnly.recoverInTree = false;
    liveOnly.freePageStage = false;
    liveOnly.cuts = &cuts;
    const Status st = ScanTable(reader, table, [&](CDbFileReader& r, const RowInput& in) {
      GenericRow row;
      const Status decoded = DecodeGenericRow(r, in, row, scratch, schema.rowidAliasColumn, schema.columnCount);
      if (decoded != status::kOk) return decoded;
      if (!FitsTable(row, schema.columnCount)) {
        ++misfits;  // bytes of a damaged page read as a cell
        return status::kOk;
      }
      ++liveRows;
      PrintRow(table, row, jsonl);
      return status::kOk;
    }, liveOnly);
    for (const CarvedRow& c : carved) {
      if (c.table != carveIndex || carveIndex < 0) continue;
      PrintRow(table, c.Row(), jsonl);
      ++recoveredRows;
    }
    if (misfits > 0) {
      ++failures;
      std::cerr << "orbanix sqlite: " << table << ": " << misfits
                << " cells of its pages are not rows of the table (more values than its columns, or empty); "
                   "they were left out\n";
    }
    // A root that is not a table page was told above.
    size_t shown = 0;
    for (const CutBranch& cut : cuts) {
      if (cut.parent == cut.child) continue;
      if (++shown > 20) continue;
      std::cerr << "orbanix sqlite: " << table << ": " << CutBranchText(cut)
                << "; the rows below it are left out\n";
    }
    if (shown > 20) std::cerr << "orbanix sqlite: " << table << ": " << shown - 20 << " more such pages\n";
    if (shown > 0) ++failures;
    if (st != status::kOk && st != status::kDamagedTree) {
      ++failures;
      std::cerr << "orbanix sqlite: " << table << ": the scan stopped early (error " << st
                << "); the rows found before are listed\n";
    }
  }
  if (onlyTable.empty()) {
    bool header = false;
    for (const CarvedRow& c : carved) {
      if (c.table >= 0) continue;
      if (!jsonl && !header) std::cout << "== (dropped tables)\n";
      header = true;
      PrintRow(std::string(), c.Row(), jsonl);
      ++recoveredRows;
    }
  }
  std::cerr << Format("%zu tables, %zu live rows, %zu recovered rows", tables.size(), liveRows, recoveredRows)
            << (duplicates ? Format(" (%zu repeats of live or recovered rows left out)", duplicates) : std::string())
            << "\n";
  return failures ? kExitFailure : kExitOk;
}

}  // namespace orbanix::cli
