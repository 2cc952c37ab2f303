// Schema-driven carving of deleted rows from any SQLite database: the
// recovery used for tables the column-count table of the iOS scanners does
// not know, and for tables that no longer exist.
//
// Where deleted records lie, and what is left of them:
//
//   - a cell freed inside a page becomes a free block: its first 4 bytes are
//     overwritten by the free-block header (2 bytes link, 2 bytes size).
//     With a 1-byte payload length and a 1- or 2-byte rowid this destroys
//     the header-length varint and, when both varints are 1 byte long, the
//     first serial type as well; they are rebuilt from the schema (the
//     header length from the serial types, the first column's body length
//     from the free-block size, from where the next record begins, or from
//     the header the next cell of a run kept: cells freed one after the
//     other each keep the header written when they were freed, with the
//     same link and the same end). A first column of no body (NULL, 0, 1 or
//     '') is then unknowable: such a record only marks where its
//     neighbours end and is not reported. With the rowid alias in column 0
//     and every other column typed, the record's extent needs no
//     neighbour when only one reading of the lost bytes fits: so records
//     behind a block merged with the ones after it, or behind a header left
//     from an older layout of the page (whose link leads nowhere now), come
//     back too;
//   - a cell freed next to the free block before it, or at the start of the
//     content area, keeps every byte (only the neighbour's size changes);
//   - a page emptied by deletions keeps its old cells, behind a reset page
//     header; pages freed to the free list keep their whole content (the
//     trunk pages lose their first 8 + 4 x count bytes), and so do the
//     overflow pages a deleted cell pointed to;
//   - a table's interior pages keep old leaf cells in their unused space
//     (a root that split was a leaf before);
//   - a dropped table's root is emptied to a leaf header before it is freed:
//     an interior root keeps its right child at bytes 8-11 and its cell
//     pointers from byte 12, which lead to the rest of its pages.
//
// Every byte position of that free space is tried as the start of a record
// whose header has exactly the table's number of serial types, each allowed
// by the column's declared type (affinity), the rowid-alias column NULL, the
// NOT NULL columns not NULL, texts valid in the database's encoding without
// zero characters (nor UTF-16 read a byte off), reals not NaN nor subnormal.
// Records without the cell header in front are held to the types writers
// use (no real in an integer column, no blob in a text one). Where the
// payload-length and rowid varints in front of a record agree with it, the
// rowid comes with it.
//
// Nothing live is ever reported: only the space outside live cells (and the
// pages outside every live B-tree) is searched, a record whose values equal
// a live row of its table is dropped, and a row found twice is reported once.
// A free-list page belongs to the table whose schema fits at least two
// thirds of its intact cells, the likeliest by the declared types among
// those that fit most; a dropped table whose CREATE statement survives in
// the schema page's free space competes with its own columns. Records of
// dropped tables (traced from their deleted schema row, or on free pages no
// table fits) are reported with table -1.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"

namespace orbanix {

// Column affinity by the declared type, by the SQLite rules: "INT" ->
// integer; "CHAR", "CLOB", "TEXT" -> text; "BLOB" or no type -> blob (none);
// "REAL", "FLOA", "DOUB" -> real; anything else numeric.
enum class Affinity : uint8_t { kInteger, kText, kBlob, kReal, kNumeric };
Affinity AffinityOf(const std::string& declaredType);

struct CarveTable {
  std::string name;
  TableSchema schema;
};

// A deleted row as the carver keeps it: where it was found, and its record
// as the bytes of a SQLite record (header length, serial types, bodies),
// the header rebuilt where the carver rebuilt it. Its values are decoded
// only when asked for: a file's carved rows are kept until its tables are
// read, and a row of eighty columns decoded takes ten times its bytes.
struct CarvedRow {
  int table = -1;              // index into the tables carved for; -1: a table that no longer exists
  // For a row of a table that no longer exists, read by the columns of its
  // own CREATE statement (which survived in the schema's free space): the
  // index of that table among the dropped tables found; -1 otherwise.
  int droppedTable = -1;
  bool reconstructed = false;  // the header length (and maybe the first serial type) was rebuilt
  bool hasRowid = false;
  // The column that takes the rowid when it is known (the table's INTEGER
  // PRIMARY KEY, stored as NULL); -1 none.
  int rowidColumn = -1;
  TextEncoding encoding = TextEncoding::kUtf8;  // of the texts in `record`
  RowSource source = RowSource::kFreeblock;      // where the cell (or record) lay
  uint32_t pageIndex = 0;
  uint32_t offset = 0;  // of the cell start (or the record's) on its page
  int64_t rowid = 0;
  std::string record;
  // RowMatchKey of its values under its table's schema (table >= 0): taken
  // when the row is found, as the table scans of the file compare their
  // own finds by it.
  size_t matchKey = 0;

  // Number of columns the record holds.
  int ColumnCount() const;
  // The values by column number: texts as UTF-8, the rowid in rowidColumn
  // when known.
  std::vector<SqlValue> Values() const;
  // The row as the generic decoder gives a deleted row.
  GenericRow Row() const;
  // The record laid out in `out` (its columns point into `record`, rowid
  // and hasRowid set; the rowid column keeps its stored NULL); false for
  // bytes that are no record (never for what the carver keeps).
  bool Parse(ParsedRecord& out) const;
};

// The value of a serial type and its body as the carver decodes it: types
// 10 and 11 NULL, texts converted to UTF-8 from a UTF-16 encoding.
SqlValue DecodeValue(uint64_t serialType, const uint8_t* body, uint32_t length, TextEncoding encoding);

struct CarveStats {
  size_t pagesSearched = 0;
  size_t droppedAsLive = 0;   // candidates equal to a live row
  size_t duplicates = 0;      // found again by another copy or search
};

// Carves the deleted rows of the given tables (WITHOUT ROWID tables are
// skipped) and of dropped tables from the file open in `reader`. Rows are
// appended in page order. Read errors of single pages skip those pages.
// 87 when the reader holds no database.
// `droppedTables`, when given, gets the dropped tables whose CREATE statement
// survives (name and columns), as CarvedRow::droppedTable counts them.
Status CarveDeletedRows(CDbFileReader& reader, const std::vector<CarveTable>& tables, std::vector<CarvedRow>& rows,
                        CarveStats* stats = nullptr, std::vector<CarveTable>* droppedTables = nullptr);

// The tables of the database at `path` with their schemas (for
// CarveDeletedRows), in schema order.
Status LoadCarveTables(CDbFileReader& reader, const std::filesystem::path& path, std::vector<CarveTable>& tables);

// Whether a serial type may stand in `column` of the table: the carver's own
// test of a record against the declared types (the rowid alias NULL, NOT
// NULL columns not NULL, no text or blob in an integer or real column).
// `strict` adds the test of records found without their cell header: no
// real in an integer column, no blob in a text one. False for a column the
// table does not have.
bool SerialTypeFits(const TableSchema& schema, int column, uint64_t serialType, bool strict);

// The key by which two copies of one row are known as the same: a hash of
// the values of every column but column 0 and the rowid alias (columns a
// row lacks count as NULL). Column 0 is left out because a record found
// without its cell header may have lost its first serial type with it; in
// the tables of this field column 0 is mostly the rowid alias anyway.
size_t RowMatchKey(const std::vector<SqlValue>& values, const TableSchema& schema);
// The same key of a parsed record: that of the values DecodeGenericRow
// gives for it (without a rowid alias), without building them.
size_t RowMatchKey(const ParsedRecord& record, const TableSchema& schema);

// Everything the carver found in one file: its tables, their deleted rows,
// and the match keys of their live rows (sorted, by table) - what the
// table scans of the same file compare their own finds with.
struct CarvedFile {
  std::vector<CarveTable> tables;
  std::vector<CarvedRow> rows;
  std::vector<std::vector<size_t>> liveMatchKeys;
  // The dropped tables whose CREATE statement survives (CarvedRow::droppedTable).
  std::vector<CarveTable> droppedTables;
  // The pages traced to one of them (page index -> index in droppedTables).
  std::unordered_map<uint32_t, int> droppedTablePages;
  CarveStats stats;
  // Index of the table named exactly `name`, -1 when none.
  int TableIndex(const std::string& name) const;
};

// Loads the schema of the database at `path` (open in `reader`) and carves
// the deleted rows of all its tables.
Status CarveFile(CDbFileReader& reader, const std::filesystem::path& path, CarvedFile& file);

}  // namespace orbanix
