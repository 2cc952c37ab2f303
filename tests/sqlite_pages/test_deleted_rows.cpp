// The deleted rows of a table scan: every copy the searches and the carver
// find comes back once, none equal to a live row, none read out of step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "platform/text.h"
#include "sqlite_pages/deleted_rows.h"
#include "tests/sqlite_pages/sqlite_oracle.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::testing {
namespace {

// A carved row of `values`, its record as the carver keeps it (the bytes
// of the cell BuildCell writes, after the payload-length and rowid varints).
CarvedRow CarvedOf(std::vector<SqlValue> values, bool hasRowid = false, int64_t rowid = 0, int rowidColumn = -1,
                   TextEncoding encoding = TextEncoding::kUtf8) {
  GenericRow row;
  row.hasRowid = hasRowid;
  row.rowid = rowid;
  row.values = std::move(values);
  const std::vector<uint8_t> cell = BuildCell(row, rowidColumn, encoding);
  int a = static_cast<int>(std::min<size_t>(cell.size(), 9));
  ReadVarint(cell.data(), a);
  int b = static_cast<int>(std::min<size_t>(cell.size() - a, 9));
  ReadVarint(cell.data() + a, b);
  CarvedRow carved;
  carved.hasRowid = hasRowid;
  carved.rowid = rowid;
  carved.rowidColumn = rowidColumn;
  carved.encoding = encoding;
  carved.record.assign(cell.begin() + a + b, cell.end());
  return carved;
}

// --- rebuilt cells ---

std::vector<SqlValue> ParseBack(const std::vector<uint8_t>& cell, TextEncoding encoding, GenericRow& row,
                                bool rowidLost = false) {
  CDbFileReader reader;
  reader.pageSize = reader.usableSize = 1024;  // a payload above 989 bytes would spill on a real page
  reader.encoding = encoding;
  RowInput in;
  in.record = cell.data();
  in.bytesToEnd = static_cast<uint32_t>(cell.size());
  in.nextCellExtent = in.bytesToEnd;
  in.wholePayload = true;
  in.rowidLost = rowidLost;
  ParsedRecord scratch;
  EXPECT_EQ(DecodeGenericRow(reader, in, row, scratch), 0);
  return row.values;
}

TEST(RebuiltCell, EveryValueReadsBackAsItWas) {
  GenericRow row;
  row.hasRowid = true;
  row.rowid = 300;  // a two-byte varint
  row.values = {int64_t{300},  // the rowid alias: stored NULL, read back from the rowid
                nullptr,
                int64_t{0},
                int64_t{1},
                int64_t{-1},
                int64_t{127},
                int64_t{-128},
                int64_t{128},
                int64_t{-32769},
                int64_t{8388608},
                int64_t{-2147483649LL},
                int64_t{140737488355328LL},
                int64_t{INT64_MIN},
                2.5,
                std::string("caf\xC3\xA9 \xF0\x9F\x98\x80"),
                std::string(),
                BlobValue{std::string("\0\x01\xFF", 3)},
                std::string(3000, 'x')};  // longer than a page: stays whole
  for (TextEncoding encoding : {TextEncoding::kUtf8, TextEncoding::kUtf16le, TextEncoding::kUtf16be}) {
    SCOPED_TRACE(static_cast<int>(encoding));
    const std::vector<uint8_t> cell = BuildCell(row, 0, encoding);
    GenericRow back;
    const std::vector<SqlValue> values = ParseBack(cell, encoding, back);
    EXPECT_EQ(back.rowid, 300);
    ASSERT_EQ(values.size(), row.values.size());
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(values[0])) << "the alias is stored as NULL";
    for (size_t c = 1; c < values.size(); ++c) EXPECT_EQ(values[c], row.values[c]) << "column " << c;
    // Written into a buffer that held other cells before (the carver's rows
    // are rebuilt one after another in one buffer): the same bytes.
    std::vector<uint8_t> reused(5000, 0xAB);
    GenericRow small;
    small.values = {std::string("a much shorter row")};
    BuildCell(small, -1, encoding, reused);
    BuildCell(row, 0, encoding, reused);
    EXPECT_EQ(reused, cell);
  }
}

TEST(RebuiltCell, HeaderLengthOfTwoBytesAndNoRowid) {
  // 200 columns: the header of 201 bytes needs a two-byte length varint.
  GenericRow row;
  // Put in place, not moved in: a moved temporary makes GCC 12 warn that the
  // string alternative of the variant "may be used uninitialized" (a false
  // report about the inactive alternative).
  row.values.reserve(200);
  for (int i = 0; i < 200; ++i) row.values.emplace_back(int64_t{i + 2});
  const std::vector<uint8_t> cell = BuildCell(row, -1, TextEncoding::kUtf8);
  GenericRow back;
  EXPECT_EQ(ParseBack(cell, TextEncoding::kUtf8, back, true), row.values);
  EXPECT_FALSE(back.hasRowid) << "a row found without its rowid has none, not rowid 0";
}

// The match key of a parsed record is the key of the values decoded from
// it, whatever the values: texts in any encoding (also bytes that are no
// UTF-8), reals, integers of every width, blobs, NULLs, a record shorter
// than its table, a rowid alias.
TEST(RowMatchKey, OfTheParsedRecordIsThatOfItsDecodedValues) {
  GenericRow row;
  row.hasRowid = true;
  row.rowid = 77;
  row.values = {int64_t{77}, nullptr, int64_t{0}, int64_t{1}, int64_t{-5}, int64_t{40000}, int64_t{INT64_MIN},
                2.5, -0.0, std::numeric_limits<double>::quiet_NaN(), std::string("plain ascii text, long enough"),
                std::string("caf\xC3\xA9 \xF0\x9F\x98\x80"), std::string("bad \xFF\xFE bytes"), std::string(),
                BlobValue{std::string("\0\x01\xFF", 3)}, BlobValue{}};
  for (TextEncoding encoding : {TextEncoding::kUtf8, TextEncoding::kUtf16le, TextEncoding::kUtf16be}) {
    for (int alias : {-1, 0, 4}) {
      for (int columns : {0, static_cast<int>(row.values.size()), static_cast<int>(row.values.size()) + 3}) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(encoding) << " alias " << alias << " columns " << columns);
        const std::vector<uint8_t> cell = BuildCell(row, alias, encoding);
        CDbFileReader reader;
        reader.pageSize = reader.usableSize = 4096;
        reader.encoding = encoding;
        RowInput in;
        in.record = cell.data();
        in.bytesToEnd = static_cast<uint32_t>(cell.size());
        in.nextCellExtent = in.bytesToEnd;
        in.wholePayload = true;
        ParsedRecord parsed;
        GenericRow decoded;
        ASSERT_EQ(DecodeGenericRow(reader, in, decoded, parsed), 0);
        TableSchema schema;
        schema.columnCount = columns;
        schema.rowidAliasColumn = alias;
        EXPECT_EQ(RowMatchKey(parsed, schema), RowMatchKey(decoded.values, schema));
      }
    }
  }
  // Two records that differ only in column 0 have one key; in any other
  // column, two keys.
  TableSchema schema;
  schema.columnCount = 3;
  auto keyOf = [&](std::vector<SqlValue> values) {
    GenericRow r;
    r.values = std::move(values);
    const std::vector<uint8_t> cell = BuildCell(r, -1, TextEncoding::kUtf8);
    CDbFileReader reader;
    reader.pageSize = reader.usableSize = 4096;
    RowInput in;
    in.record = cell.data();
    in.bytesToEnd = static_cast<uint32_t>(cell.size());
    in.nextCellExtent = in.bytesToEnd;
    in.wholePayload = true;
    ParsedRecord parsed;
    EXPECT_EQ(ParseRecord(reader, in, parsed), 0);
    return RowMatchKey(parsed, schema);
  };
  EXPECT_EQ(keyOf({int64_t{1}, std::string("a"), int64_t{2}}), keyOf({int64_t{9}, std::string("a"), int64_t{2}}));
  EXPECT_NE(keyOf({int64_t{1}, std::string("a"), int64_t{2}}), keyOf({int64_t{1}, std::string("b"), int64_t{2}}));
  EXPECT_NE(keyOf({int64_t{1}, std::string("a"), int64_t{2}}), keyOf({int64_t{1}, BlobValue{"a"}, int64_t{2}}));
}

// --- carved rows kept as records ---

// A record written by hand: the header length (in `lengthBytes` bytes,
// 0 for its shortest form), the serial types as given (varints written as
// they stand), the bodies.
std::string HandRecord(const std::vector<std::vector<uint8_t>>& types, const std::string& bodies, int lengthBytes = 0) {
  std::string header;
  for (const auto& t : types) header.append(t.begin(), t.end());
  std::string record;
  size_t length = header.size() + 1;
  if (lengthBytes == 2 || length > 127) {
    length = header.size() + 2;
    record.push_back(static_cast<char>(0x80 | (length >> 7)));
    record.push_back(static_cast<char>(length & 0x7F));
  } else {
    record.push_back(static_cast<char>(length));
  }
  return record + header + bodies;
}

std::string Utf16(const std::string& ascii, bool bigEndian) {
  std::string out;
  for (char ch : ascii) {
    if (bigEndian) out.push_back('\0');
    out.push_back(ch);
    if (!bigEndian) out.push_back('\0');
  }
  return out;
}

CarvedRow RowOfRecord(std::string record, TextEncoding encoding, bool hasRowid = false, int64_t rowid = 0,
                      int rowidColumn = -1) {
  CarvedRow row;
  row.record = std::move(record);
  row.encoding = encoding;
  row.hasRowid = hasRowid;
  row.rowid = rowid;
  row.rowidColumn = rowidColumn;
  row.pageIndex = 4;
  row.offset = 321;
  row.source = RowSource::kGap;
  return row;
}

// Records of every serial type, written as SQLite writes them and as it
// does not (integers wider than they need, 0 and 1 in a byte, the reserved
// types 10 and 11, serial types and header lengths in longer varints than
// needed), in each text encoding.
std::vector<std::string> RecordsOfEveryType(TextEncoding encoding) {
  const bool wide = encoding != TextEncoding::kUtf8;
  const bool be = encoding == TextEncoding::kUtf16be;
  const std::string text = wide ? Utf16("a text of some length", be) : std::string("caf\xC3\xA9 \xF0\x9F\x98\x80 text");
  const std::string shortText = wide ? Utf16("ab", be) : std::string("ab");
  auto textType = [](const std::string& t) { return std::vector<uint8_t>{static_cast<uint8_t>(13 + 2 * t.size())}; };
  const std::string real = std::string("\x40\x04\x00\x00\x00\x00\x00\x00", 8);      // 2.5
  const std::string negZero = std::string("\x80\x00\x00\x00\x00\x00\x00\x00", 8);  // -0.0
  const std::string blob("\0\x01\xFF\0", 4);
  std::vector<std::string> records;
  // NULL, 1-, 2-, 3-, 4-, 6-, 8-byte integers (negative ones too), a real,
  // 0 and 1, a text, a blob, an empty text and blob.
  records.push_back(HandRecord({{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}, textType(text), {20}, {13}, {12}},
                               std::string("\x85", 1) + std::string("\x01\x00", 2) + std::string("\xFF\x00\x01", 3) +
                                   std::string("\x7F\xFF\xFF\xFF", 4) + std::string("\x80\x00\x00\x00\x00\x01", 6) +
                                   std::string("\x80\x00\x00\x00\x00\x00\x00\x00", 8) + real + text + blob));
  // Integers wider than needed, 0 and 1 stored in a byte, -0.0.
  records.push_back(HandRecord({{0}, {4}, {1}, {1}, {2}, {7}, textType(shortText)},
                               std::string("\x00\x00\x00\x05", 4) + std::string("\x00", 1) + "\x01" +
                                   std::string("\xFF\xFF", 2) + negZero + shortText));
  // The reserved types.
  records.push_back(HandRecord({{0}, {10}, {11}, {1}}, "\x07"));
  // A serial type and the header length in two-byte varints.
  records.push_back(HandRecord({{0}, {0x80, 0x09}, textType(shortText)}, shortText, 2));
  // Fewer columns than the table has (columns added since).
  records.push_back(HandRecord({{0}, {1}}, "\x2A"));
  return records;
}

// The key of a carved row read from its record is the key of the values it
// decodes to, for every serial type and encoding, with and without the
// rowid, for tables with more columns than the record; the values are
// those the record's bytes hold.
TEST(CarvedRecord, KeyOfTheRecordIsThatOfItsValues) {
  for (TextEncoding encoding : {TextEncoding::kUtf8, TextEncoding::kUtf16le, TextEncoding::kUtf16be}) {
    const std::vector<std::string> records = RecordsOfEveryType(encoding);
    for (size_t r = 0; r < records.size(); ++r) {
      for (bool hasRowid : {false, true}) {
        for (int alias : {-1, 0}) {
          SCOPED_TRACE(::testing::Message() << "encoding " << static_cast<int>(encoding) << " record " << r
                                            << " rowid " << hasRowid << " alias " << alias);
          const CarvedRow row = RowOfRecord(records[r], encoding, hasRowid, 1234, alias);
          ParsedRecord parsed;
          ASSERT_TRUE(row.Parse(parsed));
          const std::vector<SqlValue> values = row.Values();
          ASSERT_EQ(static_cast<int>(values.size()), row.ColumnCount());
          ASSERT_EQ(parsed.ColumnCount(), row.ColumnCount());
          for (int columns : {0, row.ColumnCount(), row.ColumnCount() + 4}) {
            TableSchema schema;
            schema.columnCount = columns;
            schema.rowidAliasColumn = alias;
            EXPECT_EQ(RowMatchKey(parsed, schema), RowMatchKey(values, schema)) << "columns " << columns;
          }
          EXPECT_EQ(values[0], (hasRowid && alias == 0 ? SqlValue(int64_t{1234}) : SqlValue(nullptr)));
        }
      }
    }
    // The values themselves, by type.
    const std::vector<SqlValue> all = RowOfRecord(records[0], encoding).Values();
    const std::vector<SqlValue> expected = {nullptr, int64_t{-123}, int64_t{256}, int64_t{-65535}, int64_t{INT32_MAX},
                                            int64_t{-140737488355327}, int64_t{INT64_MIN}, 2.5, int64_t{0},
                                            int64_t{1}};
    for (size_t c = 0; c < expected.size(); ++c) EXPECT_EQ(all.at(c), expected[c]) << "column " << c;
    EXPECT_EQ(all.at(10), SqlValue(encoding == TextEncoding::kUtf8 ? std::string("caf\xC3\xA9 \xF0\x9F\x98\x80 text")
                                                                    : std::string("a text of some length")));
    EXPECT_EQ(all.at(11), SqlValue(BlobValue{std::string("\0\x01\xFF\0", 4)}));
    EXPECT_EQ(all.at(12), SqlValue(std::string()));
    EXPECT_EQ(all.at(13), SqlValue(BlobValue{}));
    const std::vector<SqlValue> odd = RowOfRecord(records[1], encoding).Values();
    EXPECT_EQ(odd.at(1), SqlValue(int64_t{5}));
    EXPECT_EQ(odd.at(2), SqlValue(int64_t{0}));
    EXPECT_EQ(odd.at(4), SqlValue(int64_t{-1}));
    const std::vector<SqlValue> reserved = RowOfRecord(records[2], encoding).Values();
    EXPECT_EQ(reserved, (std::vector<SqlValue>{nullptr, nullptr, nullptr, int64_t{7}}));
  }
}

// The cell a carved row goes to the decoders in is the one BuildCell writes
// for its values, whether its record's bytes are already those (taken as
// they are) or not (integers wider than needed, 0 and 1 in a byte, reserved
// types, long varints, a rowid alias that holds a value): byte for byte.
TEST(CarvedRecord, CellIsTheOneItsValuesGive) {
  for (TextEncoding encoding : {TextEncoding::kUtf8, TextEncoding::kUtf16le, TextEncoding::kUtf16be}) {
    std::vector<std::string> records = RecordsOfEveryType(encoding);
    // As SQLite writes them: BuildCell's own record of a row, whole.
    GenericRow written;
    written.values = {nullptr, int64_t{-7}, int64_t{300}, 1.5, int64_t{1}, std::string("some text"),
                      BlobValue{std::string("\0\0", 2)}};
    const std::vector<uint8_t> cell = BuildCell(written, 0, encoding);
    records.emplace_back(cell.begin() + 2, cell.end());  // payload length and rowid 0: a byte each
    // The rowid alias holding a number.
    records.push_back(HandRecord({{1}, {1}}, "\x05\x06"));
    ParsedRecord scratch;
    std::vector<uint8_t> got;
    for (size_t r = 0; r < records.size(); ++r) {
      for (bool hasRowid : {false, true}) {
        for (int alias : {-1, 0}) {
          SCOPED_TRACE(::testing::Message() << "encoding " << static_cast<int>(encoding) << " record " << r
                                            << " rowid " << hasRowid << " alias " << alias);
          const CarvedRow row = RowOfRecord(records[r], encoding, hasRowid, 99, alias);
          BuildCell(row, alias, encoding, scratch, got);
          EXPECT_EQ(got, BuildCell(row.Row(), alias, encoding));
        }
      }
    }
  }
}

// Bytes that are no record (a header longer than the bytes, a body past
// the end, a serial type cut short) give no columns, and no read past them.
TEST(CarvedRecord, BytesThatAreNoRecordGiveNoValues) {
  const std::vector<std::string> bad = {
      std::string(),
      std::string("\x05\x01", 2),           // header of 5 bytes in 2
      std::string("\x02\x0F", 2),           // a text of 1 byte, none there
      std::string("\x03\x01\x81", 3),      // a serial type cut short by the header's end
      std::string("\x81", 1),               // the header length cut short
      std::string("\x02\x06\x01\x02", 4),  // an 8-byte integer of 2 bytes
  };
  for (const std::string& bytes : bad) {
    const CarvedRow row = RowOfRecord(bytes, TextEncoding::kUtf8);
    ParsedRecord parsed;
    EXPECT_FALSE(row.Parse(parsed)) << bytes.size();
    EXPECT_EQ(row.ColumnCount(), 0);
    EXPECT_TRUE(row.Values().empty());
  }
  // The row keeps where it was found.
  const GenericRow row = RowOfRecord(HandRecord({{0}, {1}}, "\x2A"), TextEncoding::kUtf8, true, 8, 0).Row();
  EXPECT_TRUE(row.deleted);
  EXPECT_EQ(row.values, (std::vector<SqlValue>{int64_t{8}, int64_t{42}}));
  EXPECT_EQ(row.pageIndex, 4u);
  EXPECT_EQ(row.offset, 321u);
  EXPECT_EQ(row.source, RowSource::kGap);
}

// --- the gate ---

// A table t(id INTEGER PRIMARY KEY, n INTEGER NOT NULL, label TEXT) known
// to a carve with one live row (5, 'live') and one carved row (6, 'carved').
struct GateFixture {
  std::shared_ptr<CarvedFile> file = std::make_shared<CarvedFile>();
  CDbFileReader reader;

  GateFixture() {
    CarveTable t;
    t.name = "t";
    t.schema.columnCount = 3;
    t.schema.rowidAliasColumn = 0;
    t.schema.columnNames = {"id", "n", "label"};
    t.schema.declaredTypes = {"INTEGER", "INTEGER", "TEXT"};
    t.schema.notNull = {false, true, false};
    file->tables.push_back(t);
    file->liveMatchKeys.resize(1);
    file->liveMatchKeys[0].push_back(RowMatchKey({nullptr, int64_t{5}, std::string("live")}, t.schema));
    CarvedRow carved = CarvedOf({nullptr, int64_t{6}, std::string("carved")}, false, 0, 0);
    carved.table = 0;
    carved.pageIndex = 3;
    carved.offset = 700;
    carved.source = RowSource::kFreeblock;
    carved.matchKey = RowMatchKey(carved.Values(), t.schema);
    file->rows.push_back(carved);
    CarvedRow other = CarvedOf({int64_t{1}});  // of another table: never handed to t's decoder
    other.table = 1;
    file->rows.push_back(other);
    reader.pageSize = reader.usableSize = 1024;
    reader.tableName = "t";
    reader.genericColumnCount = 3;
  }
};

// A headerless record of three serial types and their bodies.
std::vector<uint8_t> Headerless(std::vector<uint8_t> types, const std::string& bodies) {
  types.insert(types.end(), bodies.begin(), bodies.end());
  return types;
}

RowInput At(const std::vector<uint8_t>& bytes, uint32_t offset = 100) {
  RowInput in;
  in.record = bytes.data();
  in.bytesToEnd = static_cast<uint32_t>(bytes.size());
  in.headerless = true;
  in.deleted = 1;
  in.pageIndex = 2;
  in.offset = offset;
  in.source = RowSource::kGap;
  return in;
}

// --- key lookups ---

// Every key of the list is found and no other, whatever its top bits (the
// bucket boundaries, the first and last bucket, keys sharing a bucket).
TEST(SortedKeyIndex, FindsExactlyTheKeysOfItsList) {
  SortedKeyIndex empty;
  EXPECT_FALSE(empty.Contains(0));
  const std::vector<size_t> none;
  empty.Build(none);
  EXPECT_FALSE(empty.Contains(0));
  EXPECT_FALSE(empty.Contains(std::numeric_limits<size_t>::max()));

  for (size_t count : {size_t{1}, size_t{2}, size_t{3}, size_t{100}, size_t{5000}}) {
    std::vector<size_t> keys;
    uint64_t x = 0x9E3779B97F4A7C15ULL * count;
    for (size_t i = 0; i < count; ++i) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      keys.push_back(static_cast<size_t>(x));
    }
    keys.push_back(0);
    keys.push_back(std::numeric_limits<size_t>::max());
    keys.push_back(size_t{1} << 63);
    keys.push_back((size_t{1} << 63) - 1);
    keys.push_back(keys[0] + 1);  // a neighbour in the same bucket
    std::sort(keys.begin(), keys.end());
    keys.push_back(keys.back());  // a repeat
    SortedKeyIndex index;
    index.Build(keys);
    const std::set<size_t> in(keys.begin(), keys.end());
    for (size_t key : keys) EXPECT_TRUE(index.Contains(key)) << key;
    for (size_t key : keys) {
      for (size_t near : {key - 1, key + 1, key ^ (size_t{1} << 40), ~key}) {
        EXPECT_EQ(index.Contains(near), in.count(near) == 1) << near;
      }
    }
  }
}

TEST(DeletedRowGate, EachRowOnceNoneLiveNoneGarbled) {
  GateFixture f;
  DeletedRowFilter filter(f.file, "t");
  ParsedRecord scratch;
  // NULL alias, integer 7, text "seven".
  const auto seven = Headerless({0, 1, 13 + 2 * 5}, std::string("\x07seven", 6));
  EXPECT_TRUE(filter.Admit(f.reader, At(seven), scratch));
  // The same row again (another search, another copy): dropped.
  EXPECT_FALSE(filter.Admit(f.reader, At(seven, 900), scratch));
  // Equal to the live row: no deleted row.
  const auto live = Headerless({0, 1, 13 + 2 * 4}, std::string("\x05live", 5));
  EXPECT_FALSE(filter.Admit(f.reader, At(live), scratch));
  // Equal to the carver's row: left to the carver's complete copy.
  const auto carved = Headerless({0, 1, 13 + 2 * 6}, std::string("\x06" "carved", 7));
  EXPECT_FALSE(filter.Admit(f.reader, At(carved), scratch));
  // Read out of step: a text where the integer column is (the e-mail
  // address in the phone field), a NULL in the NOT NULL column.
  const auto shifted = Headerless({0, 13 + 2 * 3, 1}, std::string("abc\x07", 4));
  EXPECT_FALSE(filter.Admit(f.reader, At(shifted), scratch));
  const auto nullInNotNull = Headerless({0, 0, 13 + 2 * 1}, std::string("z", 1));
  EXPECT_FALSE(filter.Admit(f.reader, At(nullInNotNull), scratch));
  // A real in the integer column: allowed in a cell, not in a record found
  // without its header.
  const auto real = Headerless({0, 7, 13}, std::string("\x40\x04\0\0\0\0\0\0", 8));
  EXPECT_FALSE(filter.Admit(f.reader, At(real), scratch));
  const DeletedRowCounts counts = filter.Counts();
  EXPECT_EQ(counts.admitted, 1u);
  EXPECT_EQ(counts.duplicates, 1u);
  EXPECT_EQ(counts.live, 1u);
  EXPECT_EQ(counts.carverCopies, 1u);
  EXPECT_EQ(counts.garbled, 3u);
}

// A record whose bytes run into a live cell of its page (a stale pointer's
// record, cut by a cell written over its end) is no row: its last values are
// the live cell's bytes.
TEST(DeletedRowGate, ARecordRunningIntoALiveCellIsNoRow) {
  GateFixture f;
  DeletedRowFilter filter(f.file, "t");
  ParsedRecord scratch;
  std::vector<uint8_t> page(f.reader.usableSize, 0);
  page[0] = 0x0d;  // a table leaf with one live cell
  page[4] = 1;
  auto placeLiveCell = [&](uint16_t at) {
    page[8] = static_cast<uint8_t>(at >> 8);
    page[9] = static_cast<uint8_t>(at & 0xFF);
  };
  const auto nine = Headerless({0, 1, 13 + 2 * 10}, std::string("	" "nine again", 11));  // 14 bytes
  std::copy(nine.begin(), nine.end(), page.begin() + 600);
  RowInput in = At(nine, 600);
  in.record = page.data() + 600;
  in.bytesToEnd = f.reader.usableSize - 600;
  placeLiveCell(610);  // inside the text
  EXPECT_FALSE(filter.Admit(f.reader, in, scratch));
  EXPECT_EQ(filter.Counts().garbled, 1u);
  placeLiveCell(614);  // just behind it
  EXPECT_TRUE(filter.Admit(f.reader, in, scratch));
}

TEST(DeletedRowGate, RowsTakenBackMayComeAgain) {
  GateFixture f;
  DeletedRowFilter filter(f.file, "t");
  ParsedRecord scratch;
  const auto eight = Headerless({0, 1, 13 + 2 * 5}, std::string("\x08" "eight", 6));
  std::vector<size_t> keys;
  ASSERT_TRUE(filter.Admit(f.reader, At(eight), scratch, &keys));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_FALSE(filter.Admit(f.reader, At(eight), scratch));
  filter.Forget(keys);
  EXPECT_TRUE(filter.Admit(f.reader, At(eight), scratch));
}

TEST(DeletedRowGate, CarvedRowsComeAsCellsWithWhereTheyWereFound) {
  GateFixture f;
  DeletedRowFilter filter(f.file, "t");
  std::vector<GenericRow> delivered;
  ParsedRecord scratch;
  filter.DeliverCarved(f.reader, [&](CDbFileReader& r, const RowInput& in) {
    GenericRow row;
    EXPECT_FALSE(in.headerless);
    EXPECT_EQ(in.deleted, 1);
    const Status st = DecodeGenericRow(r, in, row, scratch);
    delivered.push_back(row);
    return st;
  });
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].values, (std::vector<SqlValue>{nullptr, int64_t{6}, std::string("carved")}));
  EXPECT_EQ(delivered[0].pageIndex, 3u);
  EXPECT_EQ(delivered[0].offset, 700u);
  EXPECT_EQ(delivered[0].source, RowSource::kFreeblock);
}

TEST(DeletedRowGate, WithoutSchemaOnlyRepeatsAreDropped) {
  GateFixture f;
  DeletedRowFilter filter(nullptr, "t");
  ParsedRecord scratch;
  const auto shifted = Headerless({0, 13 + 2 * 3, 1}, std::string("abc\x07", 4));
  EXPECT_TRUE(filter.Admit(f.reader, At(shifted), scratch));
  EXPECT_FALSE(filter.Admit(f.reader, At(shifted), scratch));
  int calls = 0;
  filter.DeliverCarved(f.reader, [&](CDbFileReader&, const RowInput&) { return ++calls, Status{0}; });
  EXPECT_EQ(calls, 0);
}

// --- whole scans of real files ---

// Rows by their values without column 0 (the rowid alias here).
struct Tally {
  std::map<std::string, int> deleted;  // -> times delivered
  std::map<std::string, std::vector<SqlValue>> values;
  std::set<std::string> live;
};

Tally Count(const ScanResult& scan) {
  Tally t;
  for (const GenericRow& row : scan.rows) {
    std::vector<SqlValue> v(row.values.begin() + (row.values.empty() ? 0 : 1), row.values.end());
    const std::string key = Describe(v);
    if (row.deleted) {
      ++t.deleted[key];
      t.values[key] = v;
    } else {
      t.live.insert(key);
    }
  }
  return t;
}

// Rows deleted here and there in a table that spans pages, some pages then
// emptied to the free list, a table beside it: the searches alone deliver
// some rows twice; joined with the carver each comes once, and nothing the
// searches found is lost.
TEST(DeletedRowScan, EachDeletedRowOnceAndNothingLost) {
  const auto dir = TempFolder("deleted_once");
  const auto path = dir / "d.db";
  std::set<std::string> deletedLabels;
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, label TEXT, x REAL)");
    db.Exec("CREATE TABLE u(a TEXT, b INTEGER)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 400; ++i) {
      db.Run("INSERT INTO t(n, label, x) VALUES (?, ?, ?)",
             {int64_t{i} * 7919, "label number " + std::to_string(i), 0.5 + i});
      if (i % 3 == 0) db.Run("INSERT INTO u VALUES (?, ?)", {"other " + std::to_string(i), int64_t{i}});
    }
    db.Exec("COMMIT");
    for (int i = 1; i <= 400; ++i) {
      if (i % 7 == 0 || (i > 200 && i < 260)) {
        db.Exec("DELETE FROM t WHERE id = " + std::to_string(i));
        deletedLabels.insert("label number " + std::to_string(i));
      }
    }
    // A row deleted and written again with the same values: live, never deleted.
    db.Exec("DELETE FROM t WHERE id = 5");
    db.Run("INSERT INTO t(id, n, label, x) VALUES (5, ?, ?, ?)", {int64_t{5} * 7919, std::string("label number 5"), 5.5});
  }
  ScanOptions searchesOnly;
  searchesOnly.carve = false;
  const Tally before = Count(ScanGeneric(path, "t", searchesOnly));
  const Tally after = Count(ScanGeneric(path, "t"));
  size_t twiceBefore = 0;
  for (const auto& [key, n] : before.deleted) twiceBefore += n > 1;
  std::printf("searches alone: %zu distinct deleted rows, %zu delivered more than once\n", before.deleted.size(),
              twiceBefore);
  for (const auto& [key, n] : after.deleted) {
    EXPECT_EQ(n, 1) << key;
    EXPECT_FALSE(after.live.count(key)) << "a live row as deleted: " << key;
  }
  // Every deleted row the searches found (and that is no live row, nor
  // read out of step with its columns' types) is still there.
  auto fits = [](const std::vector<SqlValue>& v) {
    return v.size() == 3 && std::holds_alternative<int64_t>(v[0]) && std::holds_alternative<std::string>(v[1]) &&
           !std::holds_alternative<std::string>(v[2]) && !std::holds_alternative<BlobValue>(v[2]);
  };
  for (const auto& [key, n] : before.deleted) {
    if (before.live.count(key) || !fits(before.values.at(key))) continue;
    EXPECT_TRUE(after.deleted.count(key)) << "lost: " << key;
  }
  std::set<std::string> found;
  for (const auto& [key, v] : after.values) {
    if (v.size() >= 2 && std::holds_alternative<std::string>(v[1])) found.insert(std::get<std::string>(v[1]));
  }
  // Every deleted row whose bytes survive in the file comes back.
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  size_t surviving = 0;
  for (const std::string& label : deletedLabels) {
    bool survives = false;
    for (size_t at = bytes.find(label); at != std::string::npos && !survives; at = bytes.find(label, at + 1)) {
      survives = at + label.size() >= bytes.size() || !std::isdigit(static_cast<unsigned char>(bytes[at + label.size()]));
    }
    if (!survives) continue;
    ++surviving;
    EXPECT_TRUE(found.count(label)) << "not recovered: " << label;
  }
  EXPECT_GT(surviving, deletedLabels.size() / 2);
  std::filesystem::remove_all(dir);
}

// A table whose rowid alias is column 1, column 0 without body (the value
// 1): a free-block header over a cell with a 1-byte rowid takes column 0's
// serial type with it, and the record then starts with column 1's NULL.
// Each such row comes back once, every value in its own column, column 0
// NULL (its value is lost).
TEST(DeletedRowScan, ARecordThatLostColumnZerosTypeIsReadFromColumnOne) {
  const auto dir = TempFolder("deleted_column_one");
  const auto path = dir / "c.db";
  std::map<std::string, int64_t> doomed;  // label -> n
  {
    gen::FixtureDb db(path);
    db.Exec("CREATE TABLE t(v INTEGER DEFAULT 1, id INTEGER PRIMARY KEY, label TEXT, n INTEGER)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 100; ++i) {
      db.Run("INSERT INTO t(v, label, n) VALUES (1, ?, ?)", {"row label " + std::to_string(i), int64_t{i} * 1000});
    }
    db.Exec("COMMIT");
    for (int i = 3; i <= 100; i += 4) {
      db.Exec("DELETE FROM t WHERE id = " + std::to_string(i));
      doomed["row label " + std::to_string(i)] = int64_t{i} * 1000;
    }
  }
  const ScanResult scan = ScanGeneric(path, "t");
  std::map<std::string, int> times;
  for (const GenericRow& row : scan.rows) {
    if (!row.deleted) continue;
    ASSERT_EQ(row.values.size(), 4u);
    ASSERT_TRUE(std::holds_alternative<std::string>(row.values[2])) << Describe(row.values);
    const std::string& label = std::get<std::string>(row.values[2]);
    ASSERT_TRUE(doomed.count(label)) << "not a deleted row: " << Describe(row.values);
    ++times[label];
    EXPECT_EQ(row.values[3], SqlValue(doomed[label])) << label;
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(row.values[0]) || row.values[0] == SqlValue(int64_t{1}))
        << label;
  }
  for (const auto& [label, n] : times) EXPECT_EQ(n, 1) << label;
  for (const auto& [label, n] : doomed) EXPECT_TRUE(times.count(label)) << "not recovered: " << label;
  std::filesystem::remove_all(dir);
}

// Twenty rows with two-byte rowids and payload lengths (a free-block
// header takes just a cell's header, the record's own header stays); the
// rows `deleted` are deleted one by one, then a small new cell takes the end
// of the free space they left.
namespace {

void WriteCutTable(const std::filesystem::path& path, std::initializer_list<int64_t> deleted) {
  gen::FixtureDb db(path);
  db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, label TEXT NOT NULL, n INTEGER, note TEXT)");
  db.Exec("BEGIN");
  for (int i = 1; i <= 20; ++i) {
    db.Run("INSERT INTO t(id, label, n, note) VALUES (?, ?, ?, ?)",
           {int64_t{1000 + i}, "row label " + std::to_string(i), int64_t{i} * 1000,
            std::string(120, 'a') + " a note long enough to be cut " + std::to_string(i)});
  }
  db.Exec("COMMIT");
  for (int64_t id : deleted) db.Run("DELETE FROM t WHERE id = ?", {id});
  db.Exec("INSERT INTO t(id, label, n) VALUES (2000, 'x', 1)");
}

}  // namespace

// SQLite takes a new cell's room from the end of a free block: the deleted
// record at the block's head loses its last bytes. The row comes back once,
// with the columns that lie before the new cell and the cut one NULL.
TEST(DeletedRowScan, ARecordWhoseEndANewCellTookKeepsItsFirstColumns) {
  const auto dir = TempFolder("deleted_cut_by_cell");
  const auto path = dir / "c.db";
  WriteCutTable(path, {1010});
  const ScanResult scan = ScanGeneric(path, "t");
  int found = 0;
  for (const GenericRow& row : scan.rows) {
    if (!row.deleted) continue;
    ASSERT_EQ(row.values.size(), 4u);
    ASSERT_EQ(row.values[1], SqlValue(std::string("row label 10"))) << Describe(row.values);
    EXPECT_EQ(row.values[2], SqlValue(int64_t{10000}));
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(row.values[3])) << Describe(row.values);
    ++found;
  }
  EXPECT_EQ(found, 1);
  std::filesystem::remove_all(dir);
}

// Two neighbouring cells freed one after the other make one free block; the
// second record lies behind the first, behind the 4 bytes of its own former
// free-block header. A new cell then takes the block's end, that record's
// last bytes. Both rows come back once, the cut one without its last column.
TEST(DeletedRowScan, ARecordBehindAnotherInAMergedFreeBlockIsFound) {
  const auto dir = TempFolder("deleted_merged_block");
  const auto path = dir / "m.db";
  WriteCutTable(path, {1010, 1011});
  const ScanResult scan = ScanGeneric(path, "t");
  std::map<std::string, int> times;
  for (const GenericRow& row : scan.rows) {
    if (!row.deleted) continue;
    ASSERT_EQ(row.values.size(), 4u);
    ASSERT_TRUE(std::holds_alternative<std::string>(row.values[1])) << Describe(row.values);
    const std::string label = std::get<std::string>(row.values[1]);
    ++times[label];
    if (label == "row label 10") {
      EXPECT_EQ(row.values[2], SqlValue(int64_t{10000}));
      EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(row.values[3])) << Describe(row.values);
    } else {
      EXPECT_EQ(label, "row label 11");
      EXPECT_EQ(row.values[3], SqlValue(std::string(120, 'a') + " a note long enough to be cut 11"));
    }
  }
  EXPECT_EQ(times, (std::map<std::string, int>{{"row label 10", 1}, {"row label 11", 1}}));
  std::filesystem::remove_all(dir);
}

// A changed row: the old version's bytes stay in the page beside the new
// one. The old version is a deleted row of its own, the new one is live.
TEST(DeletedRowScan, AnOlderVersionOfALiveRowIsKept) {
  const auto dir = TempFolder("deleted_version");
  const auto path = dir / "v.db";
  {
    gen::FixtureDb db(path);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, label TEXT, n INTEGER)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 20; ++i) db.Run("INSERT INTO t(label, n) VALUES (?, ?)", {"first text of " + std::to_string(i), int64_t{i}});
    db.Exec("COMMIT");
    db.Exec("UPDATE t SET label = 'a much longer second text that moves the cell' WHERE id = 7");
  }
  const ScanResult scan = ScanGeneric(path, "t");
  int old = 0, current = 0;
  for (const GenericRow& row : scan.rows) {
    if (row.values.size() < 2 || !std::holds_alternative<std::string>(row.values[1])) continue;
    const std::string& label = std::get<std::string>(row.values[1]);
    if (label == "first text of 7") {
      EXPECT_TRUE(row.deleted);
      ++old;
    }
    if (label == "a much longer second text that moves the cell") {
      EXPECT_FALSE(row.deleted);
      ++current;
    }
  }
  EXPECT_EQ(old, 1);
  EXPECT_EQ(current, 1);
  std::filesystem::remove_all(dir);
}

// The carver's finds of a file are made once for the readers that open it
// one after the other, and made afresh once the file changed or they were
// let go.
TEST(CarvedFileShare, OneCarvePerStateOfAFile) {
  const auto dir = TempFolder("carved_share");
  const auto path = dir / "s.db";
  auto write = [&](int from, int to) {
    gen::FixtureDb db(path);
    db.Exec("CREATE TABLE IF NOT EXISTS t(id INTEGER PRIMARY KEY, label TEXT)");
    db.Exec("BEGIN");
    for (int i = from; i <= to; ++i) db.Run("INSERT INTO t(label) VALUES (?)", {"row text " + std::to_string(i)});
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id % 3 = 0");
  };
  write(1, 60);
  ReleaseCarvedFiles();
  std::weak_ptr<const CarvedFile> first;
  size_t firstRows = 0;
  {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    auto carved = CarvedFileFor(reader);
    ASSERT_TRUE(carved);
    first = carved;
    firstRows = carved->rows.size();
    EXPECT_GT(firstRows, 0u);
  }
  // The first reader is gone: the next one gets the same finds.
  {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    auto carved = CarvedFileFor(reader);
    ASSERT_FALSE(first.expired());
    EXPECT_EQ(carved.get(), first.lock().get());
  }
  // The file written again (new rows, deleted ones): its new state is
  // carved, whatever the clock's resolution.
  write(61, 90);
  {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    auto carved = CarvedFileFor(reader);
    ASSERT_TRUE(carved);
    ASSERT_FALSE(first.expired());  // still kept: the old state is not handed out for the new
    EXPECT_NE(carved.get(), first.lock().get());
  }
  // Let go: nothing of them is held any longer.
  ReleaseCarvedFiles();
  EXPECT_TRUE(first.expired());
  std::filesystem::remove_all(dir);
}

// A file carved ahead of its scan: the scan's readers get those finds, not a
// carve of their own; a file too large for it, or one that cannot be read,
// is not carved ahead.
TEST(CarvedFileShare, ACarveAheadIsTheOneTheScanUses) {
  const auto dir = TempFolder("carved_ahead");
  const auto path = dir / "a.db";
  {
    gen::FixtureDb db(path);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, label TEXT)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 80; ++i) db.Run("INSERT INTO t(label) VALUES (?)", {"a text of row " + std::to_string(i)});
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id % 4 = 0");
  }
  ReleaseCarvedFiles();
  const uint64_t size = std::filesystem::file_size(path);
  EXPECT_FALSE(CarveAhead(path, size - 1).valid());
  EXPECT_FALSE(CarveAhead(dir / "missing.db", size).valid());
  auto ahead = CarveAhead(path, size);
  ASSERT_TRUE(ahead.valid());
  const std::shared_ptr<const CarvedFile> carved = ahead.get();
  ASSERT_TRUE(carved);
  EXPECT_GE(carved->rows.size(), 20u);
  {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    EXPECT_EQ(CarvedFileFor(reader).get(), carved.get());
    EXPECT_EQ(CarvedFileBeside(reader).get().get(), carved.get());
  }
  // Asked for while the carve ahead is still running: waited for, not
  // carved again.
  ReleaseCarvedFiles();
  auto again = CarveAhead(path, size);
  ASSERT_TRUE(again.valid());
  {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    const auto scanned = CarvedFileFor(reader);
    EXPECT_EQ(scanned.get(), again.get().get());
    EXPECT_NE(scanned.get(), carved.get());  // let go before: carved afresh
  }
  ReleaseCarvedFiles();
  std::filesystem::remove_all(dir);
}

// Table scans of one file on two readers at once, each carving beside its
// live rows: the file is carved once, both readers end up holding the same
// finds, and the deleted rows each scan delivers are those of a scan that
// carved before it started.
TEST(CarvedFileShare, ScansAtOnceCarveOnceAndDeliverTheSameRows) {
  const auto dir = TempFolder("carved_beside");
  const auto path = dir / "b.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, label TEXT, n INTEGER)");
    db.Exec("CREATE TABLE u(id INTEGER PRIMARY KEY, note TEXT)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 3000; ++i) {
      db.Run("INSERT INTO t(label, n) VALUES (?, ?)", {"label of row " + std::to_string(i), int64_t{i} * 31});
      if (i % 3 == 0) db.Run("INSERT INTO u(note) VALUES (?)", {"note " + std::to_string(i)});
    }
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id % 7 = 2 OR id BETWEEN 1200 AND 1900");
    db.Exec("DELETE FROM u WHERE id % 5 = 1");
  }
  // What a scan delivers: its deleted rows by values, in order.
  auto scan = [&](CDbFileReader& reader, const std::string& table, std::vector<std::string>& deleted) {
    ParsedRecord record;
    return ScanTable(reader, table, [&](CDbFileReader& r, const RowInput& in) {
      GenericRow row;
      const Status st = DecodeGenericRow(r, in, row, record);
      if (st == 0 && in.deleted) deleted.push_back(Describe(row.values));
      return st;
    });
  };
  // The rows of scans with the finds made before them.
  ReleaseCarvedFiles();
  std::vector<std::string> expectT, expectU;
  {
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(path), 0);
    ASSERT_TRUE(CarvedFileFor(reader));
    ASSERT_EQ(scan(reader, "t", expectT), 0);
    ASSERT_EQ(scan(reader, "u", expectU), 0);
  }
  ASSERT_GT(expectT.size(), 700u);
  ASSERT_GT(expectU.size(), 100u);
  for (int round = 0; round < 3; ++round) {
    ReleaseCarvedFiles();
    CDbFileReader first, second;
    ASSERT_EQ(first.Open(path), 0);
    ASSERT_EQ(second.Open(path), 0);
    std::vector<std::string> gotT, gotU;
    Status stT = -1, stU = -1;
    std::thread other([&] { stU = scan(second, "u", gotU); });
    stT = scan(first, "t", gotT);
    other.join();
    EXPECT_EQ(stT, 0);
    EXPECT_EQ(stU, 0);
    EXPECT_EQ(gotT, expectT);
    EXPECT_EQ(gotU, expectU);
    ASSERT_TRUE(first.carvedFile);
    EXPECT_EQ(first.carvedFile.get(), second.carvedFile.get()) << "the file was carved twice";
    // A second scan of the reader uses the finds it holds.
    const auto held = first.carvedFile;
    std::vector<std::string> again;
    ASSERT_EQ(scan(first, "t", again), 0);
    EXPECT_EQ(again, expectT);
    EXPECT_EQ(first.carvedFile.get(), held.get());
  }
  ReleaseCarvedFiles();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing

namespace orbanix::testing {
namespace {

// --- versions of one row ---

CarvedRow Version(int64_t rowid, RowSource source, SqlValue modified, const std::string& label) {
  CarvedRow r = CarvedOf({nullptr, label, modified}, true, rowid);
  r.table = 0;
  r.source = source;
  return r;
}

std::vector<std::string> Labels(const std::vector<const CarvedRow*>& rows) {
  std::vector<std::string> out;
  for (const CarvedRow* r : rows) out.push_back(std::get<std::string>(r->Values()[1]));
  return out;
}

TEST(RowVersions, NewerFirstByModificationDateElseByWhereTheyLay) {
  TableSchema schema;
  schema.columnCount = 3;
  schema.rowidAliasColumn = 0;
  schema.columnNames = {"id", "label", "ModificationDate"};
  schema.declaredTypes = {"INTEGER", "TEXT", "REAL"};
  schema.notNull = {false, false, false};
  // In page order: the oldest version first (on a free-list page), another
  // row, then two newer versions in a page of the table.
  const std::vector<CarvedRow> found = {
      Version(5, RowSource::kFreelistCell, 100.0, "five, oldest"),
      Version(9, RowSource::kFreeblock, 50.0, "nine"),
      Version(5, RowSource::kFreeblock, 300.0, "five, newest"),
      Version(5, RowSource::kGap, int64_t{200}, "five, middle"),
      Version(0, RowSource::kGap, 1.0, "no rowid"),
  };
  std::vector<const CarvedRow*> rows;
  for (const CarvedRow& r : found) rows.push_back(&r);
  OrderVersions(rows, schema);
  EXPECT_EQ(Labels(rows), (std::vector<std::string>{"five, newest", "five, middle", "five, oldest", "nine", "no rowid"}));

  // Without a date in every copy: the copies on the table's pages before the
  // one on a free-list page, each group in the order found.
  const std::vector<CarvedRow> undated = {
      Version(5, RowSource::kFreelistCandidate, nullptr, "free-list copy"),
      Version(5, RowSource::kFreeblock, 300.0, "free block copy"),
      Version(5, RowSource::kStalePointer, nullptr, "stale pointer copy"),
  };
  rows.clear();
  for (const CarvedRow& r : undated) rows.push_back(&r);
  OrderVersions(rows, schema);
  EXPECT_EQ(Labels(rows), (std::vector<std::string>{"free block copy", "stale pointer copy", "free-list copy"}));
}

// A copy that lost its cell header and whose last stored value was written
// over (a free-block header on its last bytes) is shown once, by the copy
// found whole; copies that differ otherwise stay.
TEST(RowVersions, ACopyCutAtItsEndRepeatsTheWholeCopy) {
  TableSchema schema;
  schema.columnCount = 4;
  schema.rowidAliasColumn = 0;
  schema.columnNames = {"ROWID", "guid", "date", "flag"};
  schema.declaredTypes = {"INTEGER", "TEXT", "INTEGER", "INTEGER"};
  schema.notNull = {false, true, false, false};
  auto copy = [](bool rowid, const std::string& guid, int64_t date, const char* label) {
    CarvedRow r = CarvedOf({rowid ? SqlValue(int64_t{1628}) : SqlValue(nullptr), guid, date, int64_t{1}}, rowid,
                           rowid ? 1628 : 0);
    r.table = 0;
    r.source = RowSource::kGap;
    r.offset = static_cast<uint32_t>(std::string(label).size());
    return r;
  };
  const std::string guid = "C366892E-1F8F-4C39-AEED-64E8CB052C00";
  const std::vector<CarvedRow> found = {
      copy(false, guid, 3817, "cut"),             // date's bytes overwritten: dropped
      copy(true, guid, 400574439, "whole copy"),  // kept
      copy(false, guid + "!", 3817, "another"),   // another guid: kept
      copy(false, "short", 3817, "weak"),         // nothing telling agrees: kept
      copy(true, guid, 400570000, "version"),     // an older version with its rowid: kept
  };
  std::vector<const CarvedRow*> rows;
  for (const CarvedRow& r : found) rows.push_back(&r);
  DropCutCopies(rows, schema);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], &found[1]);
  EXPECT_EQ(rows[1], &found[2]);
  EXPECT_EQ(rows[2], &found[3]);
  EXPECT_EQ(rows[3], &found[4]);

  // Not when the values differ before the last stored one.
  const CarvedRow earlier = copy(false, guid.substr(1) + "0", 400574439, "differs in guid");
  const CarvedRow whole = copy(true, guid, 400574439, "whole");
  rows = {&earlier, &whole};
  DropCutCopies(rows, schema);
  EXPECT_EQ(rows.size(), 2u);
}

// In a table of numbers only (a join table) no copy holds a value that
// tells two copies to be one row: every copy stays, and the copies are not
// compared pairwise (tens of thousands of them share one hash of their
// numbers-but-the-last). A telling copy among them is still found.
TEST(RowVersions, CopiesOfANumbersOnlyTableStayAndAreNotComparedPairwise) {
  TableSchema schema;
  schema.columnCount = 3;
  schema.rowidAliasColumn = -1;
  schema.columnNames = {"message_id", "attachment_id", "note"};
  schema.declaredTypes = {"INTEGER", "INTEGER", ""};
  std::vector<CarvedRow> found;
  constexpr int kWhole = 40000, kCut = 4000;
  found.reserve(kWhole + kCut + 2);
  for (int i = 0; i < kWhole + kCut; ++i) {
    // Column 1 the same everywhere, the last stored one differing: without
    // a telling value the rest agrees.
    found.push_back(CarvedOf({int64_t{i + 2}, int64_t{7}, int64_t{1000 + i}}, i < kWhole, i + 1));
  }
  const std::string text = "a value long enough to tell";
  const CarvedRow whole = CarvedOf({int64_t{5}, text, int64_t{400574439}}, true, 99);
  const CarvedRow cut = CarvedOf({int64_t{5}, text, int64_t{3817}});
  // A second copy cut otherwise (another free block over its end).
  const CarvedRow cutAgain = CarvedOf({int64_t{5}, text, int64_t{77}});
  found.push_back(cut);
  found.push_back(whole);
  found.push_back(cutAgain);
  std::vector<const CarvedRow*> rows;
  for (const CarvedRow& r : found) rows.push_back(&r);
  const auto start = std::chrono::steady_clock::now();
  DropCutCopies(rows, schema);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(rows.size(), found.size() - 2);
  EXPECT_EQ(rows.back(), &found[found.size() - 2]);  // both cut copies went, their whole copy stayed
  EXPECT_EQ(rows[kWhole + kCut - 1], &found[kWhole + kCut - 1]);  // the rest in the order found
  // 160 million pairwise comparisons take seconds; one look-up each, a few
  // milliseconds (generous for a loaded machine and sanitizers).
  EXPECT_LT(seconds, 1.5);
}

TEST(DeletedRowScan, VersionsOfADeletedRowThatSurviveComeNewestFirst) {
  const auto dir = TempFolder("deleted_versions");
  const auto path = dir / "v.db";
  {
    gen::FixtureDb db(path);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, label TEXT, ZMODIFICATIONDATE REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 20; ++i) {
      db.Run("INSERT INTO t(label, ZMODIFICATIONDATE) VALUES (?, ?)",
             {"first text of " + std::to_string(i), 1000.5 + i});
    }
    db.Exec("COMMIT");
    // Each change makes the cell longer, so it moves and the old one stays.
    db.Exec("UPDATE t SET label = 'second, longer text of row seven', ZMODIFICATIONDATE = 2000.5 WHERE id = 7");
    db.Exec("UPDATE t SET label = 'third and longest text of row seven, written last', ZMODIFICATIONDATE = 3000.5 "
            "WHERE id = 7");
    db.Exec("DELETE FROM t WHERE id = 7");
  }
  const ScanResult scan = ScanGeneric(path, "t");
  std::vector<std::string> versions;
  for (const GenericRow& row : scan.rows) {
    if (!row.deleted || row.values.size() < 2 || !std::holds_alternative<std::string>(row.values[1])) continue;
    const std::string& label = std::get<std::string>(row.values[1]);
    if (label.find("seven") != std::string::npos || label == "first text of 7") versions.push_back(label);
  }
  // The second version's space went to the third: the versions whose bytes
  // survive come back, the later one first.
  EXPECT_EQ(versions,
            (std::vector<std::string>{"third and longest text of row seven, written last", "first text of 7"}));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orbanix::testing

namespace orbanix::testing {
namespace {

// --- the halves of a scan: which copy is shown ---

// A table of 400 rows of about 100 bytes (1 KiB pages, so the rows fill
// some 50 pages) in which rows 60 and 300 hold the same values; `remove`
// deletes rows. Returns the file's bytes.
std::string TwinRowsDatabase(const std::string& name, const std::string& remove) {
  const auto dir = TempFolder(name);
  const auto path = dir / "h.db";
  {
    gen::FixtureOptions options;
    options.pageSize = 1024;
    gen::FixtureDb db(path, options);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 400; ++i) {
      const std::string text = i == 60 || i == 300 ? "twin" : "row " + std::to_string(i);
      db.Run("INSERT INTO t VALUES(?, ?)", {int64_t{i}, text + " " + std::string(90, 'p')});
    }
    db.Exec("COMMIT");
    db.Exec(remove);
  }
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove_all(dir);
  return bytes;
}

struct HalvesOutcome {
  std::vector<std::string> first, second;  // texts of the deleted rows each stretch was given
};

// A scan of "t" in halves (no carve: a database held in memory; the gate
// still shows each row once). The first stretch's decoder is slow at its
// first deleted row, so that the second stretch runs ahead of it.
HalvesOutcome ScanInHalves(const std::string& bytes, bool inTree, bool gate) {
  CDbFileReader reader;
  EXPECT_EQ(reader.OpenBytes(bytes), 0);
  reader.genericColumnCount = 2;
  HalvesOutcome out;
  ParsedRecord firstScratch, secondScratch;
  auto textOf = [](CDbFileReader& r, const RowInput& in, ParsedRecord& scratch, std::string& text) {
    GenericRow row;
    if (DecodeGenericRow(r, in, row, scratch, 0, 2) != 0 || row.values.size() != 2) return false;
    const auto* t = std::get_if<std::string>(&row.values[1]);
    if (!t) return false;
    text = t->substr(0, t->find(" p"));
    return true;
  };
  bool slept = false;
  DecoderHalves halves;
  halves.first = [&](CDbFileReader& r, const RowInput& in) -> Status {
    if (in.deleted == 0) return 0;
    if (!slept) {
      slept = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::string text;
    if (!textOf(r, in, firstScratch, text)) return status::kBadData;
    out.first.push_back(text);
    return 0;
  };
  halves.second = [&](CDbFileReader& r, const RowInput& in) -> Status {
    if (in.deleted == 0) return 0;
    std::string text;
    if (!textOf(r, in, secondScratch, text)) return status::kBadData;
    out.second.push_back(text);
    return 0;
  };
  halves.joined = [](bool firstComplete) { EXPECT_TRUE(firstComplete); };
  ScanOptions options;
  options.halves = &halves;
  options.carve = gate;
  options.recoverInTree = inTree;
  options.freePageStage = !inTree;
  ScanTable(reader, "t", [](CDbFileReader&, const RowInput&) { return Status{0}; }, options);
  return out;
}

size_t Twins(const std::vector<std::string>& texts) { return std::count(texts.begin(), texts.end(), "twin"); }

TEST(DeletedRowHalves, ARowBothStretchesFindIsTheFirstStretchsWhicheverThreadIsFaster) {
  // The in-tree search of a table split in halves: rows deleted here and
  // there leave free blocks in the table's own pages.
  const std::string inTree = TwinRowsDatabase("halves_in_tree", "DELETE FROM t WHERE id IN (50, 60, 300)");
  // The free-list stage in halves: the pages emptied by a long deletion
  // are on the free list, the twins' early and late in it.
  const std::string freed = TwinRowsDatabase("halves_free_list", "DELETE FROM t WHERE id <= 380");
  for (const auto& [bytes, inTreeStage] : {std::pair{inTree, true}, std::pair{freed, false}}) {
    SCOPED_TRACE(inTreeStage ? "in-tree search" : "free-list stage");
    // Without the gate each stretch shows its own copy: one copy lies in
    // each half.
    const HalvesOutcome ungated = ScanInHalves(bytes, inTreeStage, false);
    ASSERT_EQ(Twins(ungated.first), 1u);
    ASSERT_EQ(Twins(ungated.second), 1u);
    ASSERT_GE(ungated.first.size(), 2u);  // the slow row comes before the twin
    // Through the gate the row is shown once, always by the first stretch
    // (as a single decoder would meet it first), however the threads run.
    std::set<std::string> all(ungated.first.begin(), ungated.first.end());
    all.insert(ungated.second.begin(), ungated.second.end());
    for (int round = 0; round < 3; ++round) {
      const HalvesOutcome gated = ScanInHalves(bytes, inTreeStage, true);
      EXPECT_EQ(Twins(gated.first), 1u);
      EXPECT_EQ(Twins(gated.second), 0u);
      // Every row once, nothing lost.
      std::multiset<std::string> shown(gated.first.begin(), gated.first.end());
      shown.insert(gated.second.begin(), gated.second.end());
      EXPECT_EQ(std::set<std::string>(shown.begin(), shown.end()), all);
      EXPECT_EQ(shown.size(), all.size());
    }
  }
}

}  // namespace
}  // namespace orbanix::testing
