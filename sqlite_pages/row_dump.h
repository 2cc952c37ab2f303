// Row dumps: every row of a table, live and recovered, as one text line.
//
// A line holds one field per column, separated by commas and ended by
// "\r\n":
//   column 0      the row number: the rowid of a live row, the next value of
//                 the reader's rowCounter for a recovered row (recovered rows
//                 have no rowid; the caller starts the counter at the largest
//                 live rowid, so they are numbered on from there); a column 0
//                 that holds a value of its own (not the rowid alias) gives
//                 that value instead
//   NULL          NULL (also an empty text)
//   integers      decimal, signed, of every width; the constants 0 and 1
//   reals         shortest decimal form
//   texts         in double quotes, each single or double quote doubled
//   blobs         lowercase hexadecimal, two digits per byte
// A text that is not clean UTF-8 (U+FFFD, an embedded zero) rejects the
// whole row: nothing of it is written. Columns the record does not hold, up
// to the table's column count, are written as NULL so every line has the
// same number of fields.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/record.h"

namespace orbanix {

// Builds one dump line field by field.
class DumpLine {
 public:
  void AddNull() { Add("NULL"); }
  void AddInteger(int64_t value);
  // The text as given (already checked clean), quoted, quotes doubled. An
  // empty text is written as NULL.
  void AddText(std::string text);
  void AddHex(std::string_view bytes);
  void AddRaw(std::string_view field) { Add(field); }
  // Appends the field of column c of the record; false when the column is a
  // text that is not clean (the caller drops the row).
  bool AddColumn(const ParsedRecord& record, int c);
  // The fields joined by commas, with "\r\n".
  std::string Finish() const { return line_ + "\r\n"; }
  void Clear() { line_.clear(), fields_ = 0; }

 private:
  void Add(std::string_view field);
  std::string line_;
  int fields_ = 0;
};

// An output file opened for appending in binary mode.
class DumpFile {
 public:
  DumpFile() = default;
  ~DumpFile() { Close(); }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;
  // errno when the file cannot be opened.
  Status Open(const std::filesystem::path& path);
  // errno (or 87) when the write fails.
  Status Write(std::string_view bytes);
  // errno when the data cannot be flushed.
  Status Close();

 private:
  std::FILE* file_ = nullptr;
};

// Dump decoder of the contacts search table ("ABPersonFullTextSearch_content",
// 24 columns): writes one row of a ScanTable pass to the file at `path`
// (opened, appended to and closed per row). Live rows record the size of
// their serial-type area in reader.contactsFtsColumns; recovered rows are
// parsed with that size (or, before any live row, with ColumnCountFor).
// 0 when written; 87 for a row that cannot be parsed or holds an unclean
// text (nothing written); errno when the file cannot be opened or written.
Status DumpRowToFile(CDbFileReader& reader, const std::filesystem::path& path, const RowInput& input);

}  // namespace orbanix
