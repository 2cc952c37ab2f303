// The deleted rows of one table, each once: the rows the page searches of a
// table scan find (free blocks, the space behind the highest cell, the gap
// before the content area, stale cell pointers, free-list pages), joined
// with what the schema-driven carver found for the same table.
//
// The searches look at the same bytes several ways: one deleted record is
// often found by two searches of its page, again on the free-list page that
// held an older copy of the page, and once more by the carver. A deleted
// row is handed to the table's decoder once, by these rules:
//
//   - rows are the same when every column but column 0 and the rowid alias
//     holds the same value (RowMatchKey, carver.h); column 0 may have lost
//     its serial type when the cell header was overwritten;
//   - a found row equal to a live row of the table is no deleted row;
//   - a found row equal to one the carver found is left to the carver's
//     copy, which comes with all its columns checked against the declared
//     types (and with its rowid where it survived);
//   - a found row that the carver did not find is kept only when every
//     serial type it holds fits its column's declared type: a record read
//     out of step with its bytes (its first serial type lost, or a
//     neighbour's bytes taken as its own) shows as values in the wrong
//     columns, and would be shown as garbled data; in a table whose
//     columns mostly have no declared type (a full-text search table) that
//     test tells nothing, and a record found without its cell header is
//     left to the carver;
//   - a record of NULLs only is no row (cleared space read as a record),
//     nor is one found without its cell header that holds nothing but NULLs
//     and one number (page numbers of interior cells or of a free-list
//     trunk read as a record);
//   - a found row whose bytes run into a live cell of its page is no row:
//     those bytes are the live cell's now, and the values read from them
//     belong to no deleted row (a stale pointer's record cut by a cell
//     written over its end would otherwise show a live row's copy with a
//     garbled last column);
//   - a record in a free block whose end a live cell took
//     (SQLite takes a new cell's room from the end of a free block) keeps
//     the columns that lie before that cell; those from it on are lost and
//     read as NULL (the row goes to the decoder as a cell rebuilt so), when
//     its serial types fit their columns and a text or blob of 8 bytes or
//     more survives whole;
//   - a carved copy that lost its cell header (no rowid) and agrees with a
//     copy found with its rowid in every value but its last stored one is
//     that row with its end overwritten (a free-block header written over
//     the bytes behind it): the row is shown once, by the whole copy
//     (DropCutCopies);
//   - two copies that differ (an older and a newer version of one row) are
//     different rows: both are kept, the newer first (OrderVersions).
//
// The carver's rows are handed over after every row of the table scan, as
// cells rebuilt from their values, so every decoder reads them as it reads
// a live cell (deleted 1, with the page, offset and source where the
// carver found them).
//
// Without a schema (a database held in memory, or one whose schema cannot
// be read) only copies of the same row found twice are dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sqlite_pages/btree.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/record.h"

namespace orbanix {

// The carver's finds for the file open in `reader`: made once per state of
// a file (path, size, modification time, change counter) and shared by the
// readers that hold it at the same time (a scan reads one file with two
// readers at once); kept in reader.carvedFile. The finds of the two files
// used last are kept after their readers close too (a scan opens one file
// for several tables in turn), until ReleaseCarvedFiles; older ones are
// freed with the last reader holding them. Null when the reader holds no
// file on disk.
std::shared_ptr<const CarvedFile> CarvedFileFor(CDbFileReader& reader);

// The same made on a thread of its own, while the caller goes on reading
// the file: the carve reads the file through a reader of its own. When the
// reader already holds the finds, they are ready at once; when no thread can
// be started, or the file is larger than 512 MiB (to keep the peak of
// memory down), they are made here. Null (once ready) when the file on disk
// is no longer the one `reader` holds.
std::shared_future<std::shared_ptr<const CarvedFile>> CarvedFileBeside(CDbFileReader& reader);

// Carves the database at `path` on a thread of its own ahead of a scan that
// reads it later (the scan's readers then find the finds made or being
// made): the finds, or nothing (an invalid future) when the file cannot be
// opened, is larger than `upTo` bytes (waiting for a large carve would hold
// up a cancelled scan), or no thread can be started.
std::shared_future<std::shared_ptr<const CarvedFile>> CarveAhead(const std::filesystem::path& path, uint64_t upTo);

// Lets go of the carver's finds kept beyond their readers (the files used
// last): at the end of a scan, or before a new one that must carve afresh.
void ReleaseCarvedFiles();

// Counts of one table's deleted rows, for tests and measurements.
struct DeletedRowCounts {
  size_t admitted = 0;     // rows of the searches handed to the decoder
  size_t duplicates = 0;   // copies of a row handed over before
  size_t live = 0;         // equal to a live row
  size_t carverCopies = 0; // equal to a row the carver found (left to it)
  size_t garbled = 0;      // serial types that do not fit the declared types, or NULLs only
  size_t carved = 0;       // the carver's rows handed over
};

// Lookups in a sorted list of row keys (hashes, their top bits spread
// evenly): the list is cut into buckets by its keys' top bits, about one key
// a bucket, so a lookup looks at a key or two instead of searching the list.
// The list is not copied: it must outlive the index and stay unchanged.
class SortedKeyIndex {
 public:
  void Build(const std::vector<size_t>& sorted);
  bool Contains(size_t key) const {
    if (keys_ == nullptr || keys_->empty()) return false;
    const size_t bucket = static_cast<size_t>(static_cast<uint64_t>(key) >> shift_);
    for (uint32_t i = start_[bucket], end = start_[bucket + 1]; i < end; ++i) {
      if ((*keys_)[i] >= key) return (*keys_)[i] == key;
    }
    return false;
  }

 private:
  const std::vector<size_t>* keys_ = nullptr;
  std::vector<uint32_t> start_;  // where each bucket begins in *keys_
  int shift_ = 63;
};

// The deleted rows of one table scan. Admit may be called from two threads
// at once (the halves of a scan).
class DeletedRowFilter {
 public:
  // `carved` may be null (no schema): then only repeats are dropped.
  DeletedRowFilter(std::shared_ptr<const CarvedFile> carved, const std::string& table);
  // The finds still being made: waited for when first needed (the first
  // deleted row to admit, or the carver's rows to deliver).
  DeletedRowFilter(std::shared_future<std::shared_ptr<const CarvedFile>> carved, const std::string& table);

  // The carver's finds the filter uses (waits for them).
  std::shared_ptr<const CarvedFile> Carved();

  // Whether a deleted row found by the searches goes to the decoder. A row
  // that cannot be parsed here goes on (the decoder judges it: some tables
  // are parsed with parameters of their own). `admitted`, when given,
  // receives the key of an admitted row (see Forget). `rebuilt`, when
  // given, receives a cell (payload length, a lost rowid, the record) to
  // hand to the decoder in place of the input, for a record that must be
  // read otherwise than the input says (a headerless record whose first
  // serial type is column 1's: column 0 then stands as NULL, its value
  // lost); it is left empty when the input is read as it is. Without it
  // such a record is not admitted.
  bool Admit(CDbFileReader& reader, const RowInput& input, ParsedRecord& scratch,
             std::vector<size_t>* admitted = nullptr, std::vector<uint8_t>* rebuilt = nullptr);
  // Takes back rows admitted before that the scan then threw away (the
  // rows of a stretch after a page that could not be read, or of a search
  // made again), so that another copy of them may still come through.
  void Forget(const std::vector<size_t>& keys);

  // Hands the carver's rows of the table to the decoder (on the calling
  // thread), in the carver's page order. Returns how many.
  size_t DeliverCarved(CDbFileReader& reader, const RowDecoder& decoder);
  // The same in two stretches at once (decoders that leave the reader
  // alone, as the halves of a table scan): the first half of the rows to
  // `first` on the calling thread, the rest to `second` beside it, so that
  // `second`'s rows follow `first`'s. Returns how many.
  size_t DeliverCarved(CDbFileReader& reader, const RowDecoder& first, const RowDecoder& second);

  DeletedRowCounts Counts() const;

 private:
  // Takes the finds when they are ready (once) and learns the table's schema.
  void Ready();

  std::shared_future<std::shared_ptr<const CarvedFile>> pending_;
  std::string tableName_;
  std::once_flag ready_;
  std::shared_ptr<const CarvedFile> carved_;
  int table_ = -1;
  const TableSchema* schema_ = nullptr;
  bool typed_ = false;  // most columns have a declared type
  // The table's live rows' keys (the carver's list, sorted) and the keys of
  // its carved rows, each looked up in the few keys that share its top bits.
  SortedKeyIndex liveKeys_;
  std::vector<size_t> carvedKeyList_;
  SortedKeyIndex carvedKeys_;
  mutable std::mutex mutex_;
  std::unordered_set<size_t> seen_;
  DeletedRowCounts counts_;
  // The rows turned away without a look at seen_ are counted without the
  // lock (two halves admit at once).
  std::atomic<size_t> live_{0}, carverCopies_{0}, garbled_{0};
};

// The carver's rows of one table in the order they are handed over: as
// found (page order), but the versions of one rowid (a row changed before it
// was deleted leaves a copy of each version) together where the first of
// them was found, the newer first: the later date of a column named for a
// modification where the copies hold different ones, else a copy on the
// table's own pages before one on a free-list page (that page left the tree
// before the other copy was freed). Copies that tell nothing of their age
// stay in the order found.
void OrderVersions(std::vector<const CarvedRow*>& rows, const TableSchema& schema);

// Drops the carved copies without a rowid that repeat a copy with its
// rowid in every value but their last stored one (the one whose bytes end
// the record), both an integer there, and that hold a text or blob of 8
// bytes or more among the values that agree (so that the agreement says
// something). Column 0 and the rowid alias are not compared (column 0 may
// have lost its type with the cell header).
void DropCutCopies(std::vector<const CarvedRow*>& rows, const TableSchema& schema);

// A cell (payload length, rowid, record) that holds `row`'s values, for the
// decoders that read cells. The rowid-alias column is stored as NULL when it
// holds the rowid, as SQLite stores it. Texts are written in `encoding`.
std::vector<uint8_t> BuildCell(const GenericRow& row, int rowidAliasColumn, TextEncoding encoding);
// The same written into `cell` (its bytes replaced; its room reused).
void BuildCell(const GenericRow& row, int rowidAliasColumn, TextEncoding encoding, std::vector<uint8_t>& cell);
// The cell BuildCell writes for a carved row's values (row.Row()), made
// from the row's record where its bytes are already those BuildCell would
// write (as SQLite writes records: integers in their smallest width, 0 and
// 1 as types 8 and 9, the rowid alias NULL), without decoding its values.
// `scratch` is a work area.
void BuildCell(const CarvedRow& row, int rowidAliasColumn, TextEncoding encoding, ParsedRecord& scratch,
               std::vector<uint8_t>& cell);

}  // namespace orbanix
