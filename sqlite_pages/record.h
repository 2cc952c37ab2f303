// The one record parser every table decoder uses.
//
// Serial types of a record header and the bodies they announce:
//
//   0        NULL, no body             7     IEEE-754 double, 8 bytes
//   1,2,3,4  integer of 1-4 bytes      8, 9  the integers 0 and 1, no body
//   5        integer of 6 bytes        10,11 reserved, no body
//   6        integer of 8 bytes        N>=12 even: blob of (N-12)/2 bytes
//                                      N>=13 odd:  text of (N-13)/2 bytes
//
// Integers are big-endian two's complement. Texts are in the database's
// encoding (header offset 56).
//
// Live cells: payload length, rowid, header length, serial types; a payload
// longer than the cell's extent on the page (distance to the next cell, or to
// the usable end) continues on overflow pages, each holding a 4-byte link to
// the next and usable size - 4 bytes of payload.
//
// Headerless records (recovered from free space) start at their first serial
// type: the column count comes from ColumnCountFor (or an override); when the
// first byte is not 0 the column-0 serial type is taken as lost, columns are
// numbered from 1 and one serial type fewer is read.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix {

// One column of a parsed record: its serial type and where its body lies.
struct RecordColumn {
  uint64_t serialType = 0;
  const uint8_t* body = nullptr;
  uint32_t length = 0;
  bool present = false;  // false for column numbers the record does not hold
};

// Byte length of the body of a serial type.
uint64_t SerialTypeBodyLength(uint64_t serialType);

class ParsedRecord {
 public:
  ParsedRecord() = default;
  ParsedRecord(ParsedRecord&&) = default;
  ParsedRecord& operator=(ParsedRecord&&) = default;
  ParsedRecord(const ParsedRecord&) = delete;
  ParsedRecord& operator=(const ParsedRecord&) = delete;

  int64_t rowid = 0;                 // 0 in headerless records
  bool hasRowid = false;
  uint64_t payloadLength = 0;        // live cells only
  uint32_t headerLength = 0;         // live: H (with its own varint); headerless: serial-type bytes
  uint32_t headerLengthVarintBytes = 0;  // live: length of the H varint
  int firstColumn = 0;               // 0, or 1 when a headerless record lost its column-0 type
  int overflowPages = 0;             // overflow pages read to assemble the payload
  TextEncoding encoding = TextEncoding::kUtf8;
  std::vector<RecordColumn> columns; // indexed by column number
  // Columns counted (and their bodies checked against the bound) but not
  // laid out, after a parse limited to the first columns; they read as
  // absent.
  int unlaidColumns = 0;

  // Number of column numbers (highest column number + 1).
  int ColumnCount() const { return static_cast<int>(columns.size()) + unlaidColumns; }
  bool Has(int c) const { return c >= 0 && c < static_cast<int>(columns.size()) && columns[c].present; }
  uint64_t SerialType(int c) const { return Has(c) ? columns[c].serialType : 0; }
  // Serial type 0, or a column the record does not hold.
  bool IsNull(int c) const { return SerialType(c) == 0; }
  bool IsInteger(int c) const;
  bool IsReal(int c) const { return SerialType(c) == 7; }
  bool IsText(int c) const { return Has(c) && columns[c].serialType >= 13 && (columns[c].serialType & 1); }
  bool IsBlob(int c) const { return Has(c) && columns[c].serialType >= 12 && !(columns[c].serialType & 1); }

  // Serial types 1-4 as unsigned big-endian (0xFF is 255), 8 and 9 as 0 and
  // 1; any other type gives 0.
  uint32_t AsUnsigned(int c) const;
  // Signed integer of every width (1,2,3,4,6,8 bytes), 8/9 as 0/1, a real
  // truncated toward zero (saturating), texts and blobs 0.
  int64_t AsInt64(int c) const;
  // Real (type 7), or an integer converted; texts and blobs 0.
  double AsReal(int c) const;
  // Text as valid UTF-8 (UTF-16 databases decoded by their encoding, invalid
  // sequences U+FFFD). A blob gives its bytes read as text; an integer its
  // decimal digits; a real its shortest round-trip form; NULL "".
  std::string AsText(int c) const;
  // Raw body bytes (texts in the database's encoding).
  std::string AsBlob(int c) const;

  void Clear();

  // Payload assembled from overflow pages (the columns may point into it);
  // kept between parses so its capacity is reused.
  std::vector<uint8_t> assembledPayload;
};

// Parses a live cell: payload length, rowid, header, serial types, bodies.
// With assembleOverflow, a payload longer than input.nextCellExtent (or the
// bytes to the page end when it is 0) is completed from its overflow chain
// (a chain that loops or leaves the file ends the assembly; missing bytes
// make the affected columns fail the bound). Every body must lie within the
// assembled bound, otherwise 87 (the text bound rule, applied to all
// bodies). Read errors of overflow pages are returned.
// layOut: the columns laid out; the serial types after them are only
// counted and their bodies checked (a decoder that needs the first columns
// and the count).
Status ParseLiveRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& out, bool assembleOverflow = true,
                       int layOut = std::numeric_limits<int>::max());

// Parses a headerless record at input.record. columnCount < 0: take
// ColumnCountFor(reader). headerBytes >= 0: use that many serial-type bytes
// (minus 1 when the first byte is not 0) instead of measuring columnCount
// varints - the override of the contacts search table. Count 0 yields no
// columns (status 0). Bodies beyond input.bytesToEnd give 87.
// firstColumn 0 or 1 sets the column of the first serial type (with 1,
// columnCount - 1 serial types are read) instead of the first byte: a
// table whose rowid alias is column 1 leaves a NULL type first when its
// column-0 type was lost.
Status ParseHeaderlessRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& out, int columnCount = -1,
                             int headerBytes = -1, int firstColumn = -1);

// Live or headerless, by input.headerless, with the defaults above.
Status ParseRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& out);

// --- the generic decoder: every column of a record, faithfully ---

struct BlobValue {
  std::string bytes;
  bool operator==(const BlobValue&) const = default;
};
// NULL, integer, real, text (UTF-8) or blob.
using SqlValue = std::variant<std::nullptr_t, int64_t, double, std::string, BlobValue>;

struct GenericRow {
  bool deleted = false;
  bool hasRowid = false;
  int64_t rowid = 0;
  std::vector<SqlValue> values;  // by column number; columns a record lacks are NULL
  uint32_t pageIndex = 0;
  uint32_t offset = 0;
  RowSource source = RowSource::kLive;
};

// Decodes every column of the row. rowidAliasColumn >= 0: that column (an
// INTEGER PRIMARY KEY, stored as NULL) takes the rowid in live rows.
// minColumns pads the value list with NULLs (columns added after the row was
// written).
Status DecodeGenericRow(CDbFileReader& reader, const RowInput& input, GenericRow& row, ParsedRecord& scratch,
                        int rowidAliasColumn = -1, int minColumns = 0);
// The same for a record already parsed into `parsed`.
void DecodeParsedRow(const RowInput& input, const ParsedRecord& parsed, GenericRow& row, int rowidAliasColumn = -1,
                     int minColumns = 0);

}  // namespace orbanix
