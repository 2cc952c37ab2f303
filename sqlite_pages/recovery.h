// Deleted-row recovery: records left behind in the pages of a table and on
// the free-list pages of the file.
//
// When SQLite deletes a row it does not erase it: the cell becomes a free
// block (its first 4 bytes overwritten by the free-block header: 2 bytes link
// to the next free block, 2 bytes block size), or its bytes stay in the
// unallocated space between the cell pointer array and the content area, or
// a whole page goes to the free list with its old content. The searches work
// on raw bytes with heuristics anchored on the table's expected column count
// (ColumnCountFor); a record whose first bytes were overwritten is parsed
// without its cell header (headerless parse, record.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix {

// Expected column count of reader.tableName (the known iOS tables and their
// schema parameters; reader.genericColumnCount for any other name; 0 when
// none). Also stored in reader.lastColumnCount.
int ColumnCountFor(CDbFileReader& reader);

// Sum of the byte lengths of n consecutive varints at `bytes`, each bounded
// by the bytes left of `bound`. 0 for n <= 0.
uint32_t SerialTypesLength(const uint8_t* bytes, uint32_t bound, int n);

// Length from the first serial type at `bytes` to the end of the record body.
// With ColumnCountFor n != 0 the header bytes are measured anew (n varints
// when the first byte is 0, else n - 1); otherwise `headerBytes` is used.
// Stops early once the total exceeds `bound`. `available` bounds the reads of
// the serial types (bytes left in the page from `bytes`).
uint32_t RecordLength(CDbFileReader& reader, const uint8_t* bytes, uint32_t headerBytes, uint32_t bound,
                      uint32_t available);
// The same for an expected column count `n` already known.
uint32_t RecordLengthFor(int n, const uint8_t* bytes, uint32_t headerBytes, uint32_t bound, uint32_t available);

// The four searches (free-block chain, tail, gap, stale cell pointers) on
// the leaf pages under `page`; candidates are offsets of first serial types.
// `sources`, when given, receives the search that found each candidate.
Status CollectDeletedCells(CDbFileReader& reader, const uint8_t* page, uint32_t index, PageCellMap& candidates,
                           PageSourceMap* sources = nullptr);

// Number of serial types of the first cell of the first page of the map
// (with overflow assembly). 87 when the map or its first list is empty or the
// cell cannot be parsed; count is then left unchanged.
Status FirstRecordColumnCount(CDbFileReader& reader, const PageCellMap& cells, int& count,
                              const PageAtHand* atHand = nullptr);

// The deleted-row candidates of one table leaf page (index `index`, its
// bytes at `page`): free blocks, the space behind the highest cell, the gap
// before the content area and stale cell pointers, each with its source.
// What CollectDeletedCells finds on each leaf of a tree.
void SearchLeafPage(CDbFileReader& reader, const uint8_t* page, uint32_t index, CellList& candidates,
                    std::vector<RowSource>& sources);

// ScanTable's last stage: the free-list pages whose first record has the scanned
// table's column count are decoded as rows of that table (deleted 1). With
// `halves`, the free-list pages are split in two stretches decoded at once
// (btree.h DecoderHalves) instead of by `decoder`.
Status RunFreePageStage(CDbFileReader& reader, const RowDecoder& decoder, const DecoderHalves* halves = nullptr);

// --- generic mode ---

// A table's schema as the SQLite library reports it (read-only, immutable
// open: the file is never written).
struct TableSchema {
  int columnCount = 0;
  int rowidAliasColumn = -1;             // INTEGER PRIMARY KEY column, -1 none
  bool withoutRowid = false;
  std::vector<std::string> columnNames;
  std::vector<std::string> declaredTypes;
  std::vector<bool> notNull;             // NOT NULL constraint per column
};

// The schema of `table` from its CREATE TABLE statement alone, compiled in an
// empty in-memory database (a table of a write-ahead log, a dropped table).
// 87 when the text does not compile as one CREATE TABLE statement of that
// table.
Status SchemaFromCreateTable(const std::string& table, const std::string& sql, TableSchema& schema);
// Loads the schema of `table` from the database at `path` (through its
// write-ahead log when one lies beside it). 87 when the database or the
// table cannot be read.
Status LoadTableSchema(const std::filesystem::path& path, const std::string& table, TableSchema& schema);
// How often LoadTableSchema has read a database's statements through its
// write-ahead log (once per state of the database and its log; for tests
// and measurements).
size_t SchemaReadsThroughLogs();

// Column count of `table` from its schema, 0 when unknown.
int SchemaColumnCount(const std::filesystem::path& path, const std::string& table);

}  // namespace orbanix
