#include "sqlite_pages/record.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/text.h"
#include "sqlite_pages/recovery.h"

namespace orbanix {

namespace {

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t BigEndian(const uint8_t* p, uint32_t n) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

constexpr uint8_t kFixedBodyLength[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};

// Body lengths of the serial types that fit one varint byte (0..127).
constexpr auto kOneByteBodyLength = [] {
  std::array<uint8_t, 128> lengths{};
  for (int t = 0; t < 128; ++t) lengths[t] = static_cast<uint8_t>(t < 12 ? kFixedBodyLength[t] : (t - 12) / 2);
  return lengths;
}();

// Reads serial types from `types` (typeBytes of them) and lays the columns
// out over the bodies at `bodies`, numbering from `firstColumn`. Every body
// must end within bodyBound bytes of `bodies`. Columns from number `layOut`
// on are only counted (unlaidColumns). This runs for every row a scan looks
// at, so the common one-byte serial type is read in place, and the columns
// only counted take a loop of their own.
Status LayOutColumns(ParsedRecord& out, const uint8_t* types, uint32_t typeBytes, const uint8_t* bodies,
                     uint64_t bodyBound, int firstColumn, int layOut = std::numeric_limits<int>::max()) {
  out.firstColumn = firstColumn;
  if (firstColumn > 0) out.columns.resize(firstColumn);
  uint32_t pos = 0;
  uint64_t bodyPos = 0;  // never beyond bodyBound
  auto next = [&](uint64_t& type) -> uint64_t {
    const uint8_t first = types[pos];
    if (first < 0x80) {
      ++pos;
      type = first;
      return kOneByteBodyLength[first];
    }
    int b = static_cast<int>(typeBytes - pos);
    type = ReadVarint(types + pos, b);
    pos += static_cast<uint32_t>(b);
    return SerialTypeBodyLength(type);
  };
  const size_t limit = layOut < 0 ? 0 : static_cast<size_t>(layOut);
  while (pos < typeBytes && out.columns.size() < limit) {
    uint64_t type;
    const uint64_t len = next(type);
    if (len > bodyBound - bodyPos) return status::kBadData;
    RecordColumn& col = out.columns.emplace_back();
    col.serialType = type;
    col.body = bodies + bodyPos;
    col.length = static_cast<uint32_t>(len);
    col.present = true;
    bodyPos += len;
  }
  // Counted and bounded, not laid out.
  int counted = 0;
  while (pos < typeBytes) {
    uint64_t type;
    const uint64_t len = next(type);
    if (len > bodyBound - bodyPos) return status::kBadData;
    bodyPos += len;
    ++counted;
  }
  out.unlaidColumns += counted;
  return status::kOk;
}

}  // namespace

uint64_t SerialTypeBodyLength(uint64_t serialType) {
  if (serialType >= 12) return (serialType - 12) / 2;
  return kFixedBodyLength[serialType];
}

void ParsedRecord::Clear() {
  rowid = 0;
  hasRowid = false;
  payloadLength = 0;
  headerLength = 0;
  headerLengthVarintBytes = 0;
  firstColumn = 0;
  overflowPages = 0;
  columns.clear();
  unlaidColumns = 0;
}

bool ParsedRecord::IsInteger(int c) const {
  const uint64_t t = SerialType(c);
  return Has(c) && ((t >= 1 && t <= 6) || t == 8 || t == 9);
}

uint32_t ParsedRecord::AsUnsigned(int c) const {
  if (!Has(c)) return 0;
  const RecordColumn& col = columns[c];
  if (col.serialType >= 1 && col.serialType <= 4) return static_cast<uint32_t>(BigEndian(col.body, col.length));
  if (col.serialType == 9) return 1;
  return 0;
}

int64_t ParsedRecord::AsInt64(int c) const {
  if (!Has(c)) return 0;
  const RecordColumn& col = columns[c];
  switch (col.serialType) {
    case 1: case 2: case 3: case 4: case 5: case 6: {
      const uint64_t raw = BigEndian(col.body, col.length);
      const uint32_t bits = col.length * 8;
      if (bits == 64) return static_cast<int64_t>(raw);
      const uint64_t sign = uint64_t{1} << (bits - 1);
      return static_cast<int64_t>((raw ^ sign) - sign);
    }
    case 7: {
      const double d = AsReal(c);
      if (std::isnan(d)) return 0;
      if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
      if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
      return static_cast<int64_t>(d);
    }
    case 9: return 1;
    default: return 0;
  }
}

double ParsedRecord::AsReal(int c) const {
  if (!Has(c)) return 0;
  const RecordColumn& col = columns[c];
  if (col.serialType == 7) {
    const uint64_t bits = BigEndian(col.body, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  return IsInteger(c) ? static_cast<double>(AsInt64(c)) : 0.0;
}

std::string ParsedRecord::AsText(int c) const {
  if (!Has(c)) return {};
  const RecordColumn& col = columns[c];
  if (IsText(c)) {
    const std::string_view raw(reinterpret_cast<const char*>(col.body), col.length);
    if (encoding == TextEncoding::kUtf16le) return Utf16ToUtf8(raw, false);
    if (encoding == TextEncoding::kUtf16be) return Utf16ToUtf8(raw, true);
    return ValidUtf8(raw);
  }
  if (IsBlob(c)) return ValidUtf8(std::string_view(reinterpret_cast<const char*>(col.body), col.length));
  if (IsReal(c)) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, AsReal(c));
    return std::string(buf, res.ptr);
  }
  if (IsInteger(c)) return std::to_string(AsInt64(c));
  return {};
}

std::string ParsedRecord::AsBlob(int c) const {
  if (!Has(c)) return {};
  return std::string(reinterpret_cast<const char*>(columns[c].body), columns[c].length);
}

Status ParseLiveRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& out, bool assembleOverflow,
                       int layOut) {
  out.Clear();
  out.encoding = reader.encoding;
  const uint8_t* p = input.record;
  const uint32_t avail = input.bytesToEnd;
  if (p == nullptr || avail == 0 || reader.usableSize == 0) return status::kBadData;

  int a = static_cast<int>(avail);
  const uint64_t payload = ReadVarint(p, a);
  uint32_t pos = static_cast<uint32_t>(a);
  if (pos >= avail) return status::kBadData;
  int b = static_cast<int>(avail - pos);
  const uint64_t rowid = ReadVarint(p + pos, b);
  pos += static_cast<uint32_t>(b);
  if (pos >= avail) return status::kBadData;
  out.payloadLength = payload;
  out.rowid = static_cast<int64_t>(rowid);
  out.hasRowid = !input.rowidLost;

  // The part of the payload stored in the cell itself, by the format's rule
  // for leaf table cells (usable size U): all of it up to U - 35 bytes,
  // otherwise M + (P - M) % (U - 4) when that fits, else M.
  const uint64_t usable = reader.usableSize;
  const uint64_t maxLocal = usable - 35;
  const uint8_t* data = p + pos;
  uint64_t dataLen;
  if (payload <= maxLocal || input.wholePayload) {
    dataLen = std::min<uint64_t>(payload, avail - pos);
  } else {
    const uint64_t minLocal = (usable - 12) * 32 / 255 - 23;
    const uint64_t k = minLocal + (payload - minLocal) % (usable - 4);
    const uint64_t local = k <= maxLocal ? k : minLocal;
    if (local + 4 > avail - pos) return status::kBadData;
    dataLen = local;
    if (assembleOverflow) {
      // The chain cannot hold more than every page of the file; a longer
      // claimed payload or a chain that loops ends when the file is used up.
      const uint64_t perPage = usable - 4;
      const uint64_t pages = reader.PageCount();
      const uint64_t reachable = local + pages * perPage;
      const uint64_t want = std::min(payload, reachable);
      out.assembledPayload.resize(static_cast<size_t>(want));
      std::memcpy(out.assembledPayload.data(), data, local);
      uint64_t have = local;
      uint32_t next = Be32(data + local);
      std::vector<uint8_t> page(reader.pageSize);
      uint64_t steps = 0;
      while (next != 0 && have < want && next <= pages && steps++ < pages) {
        if (Status st = reader.ReadPage(next - 1, page.data()); st != status::kOk) return st;
        const uint64_t take = std::min<uint64_t>(perPage, want - have);
        std::memcpy(out.assembledPayload.data() + have, page.data() + 4, take);
        have += take;
        ++out.overflowPages;
        next = Be32(page.data());
      }
      out.assembledPayload.resize(static_cast<size_t>(have));
      data = out.assembledPayload.data();
      dataLen = have;
    }
  }

  int h = static_cast<int>(std::min<uint64_t>(dataLen, 9));
  const uint64_t headerLen = ReadVarint(data, h);
  if (headerLen < static_cast<uint64_t>(h) || headerLen > dataLen) return status::kBadData;
  out.headerLength = static_cast<uint32_t>(headerLen);
  out.headerLengthVarintBytes = static_cast<uint32_t>(h);
  return LayOutColumns(out, data + h, static_cast<uint32_t>(headerLen) - h, data + headerLen, dataLen - headerLen, 0,
                       layOut);
}

Status ParseHeaderlessRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& out, int columnCount,
                             int headerBytes, int firstColumn) {
  out.Clear();
  out.encoding = reader.encoding;
  const uint8_t* p = input.record;
  const uint32_t avail = input.bytesToEnd;
  if (p == nullptr || avail == 0) return status::kBadData;
  const int n = columnCount < 0 ? ColumnCountFor(reader) : columnCount;
  const bool lostFirst = firstColumn < 0 ? p[0] != 0 : firstColumn > 0;
  uint32_t typeBytes;
  if (headerBytes >= 0) {
    const int bytes = lostFirst ? headerBytes - 1 : headerBytes;
    if (bytes <= 0) return status::kOk;
    typeBytes = static_cast<uint32_t>(bytes);
  } else {
    if (n <= 0) return status::kOk;
    typeBytes = SerialTypesLength(p, avail, lostFirst ? n - 1 : n);
  }
  if (typeBytes > avail) return status::kBadData;
  out.headerLength = typeBytes;
  return LayOutColumns(out, p, typeBytes, p + typeBytes, avail - typeBytes, lostFirst ? 1 : 0);
}

Status ParseRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& out) {
  return input.headerless ? ParseHeaderlessRecord(reader, input, out) : ParseLiveRecord(reader, input, out);
}

Status DecodeGenericRow(CDbFileReader& reader, const RowInput& input, GenericRow& row, ParsedRecord& scratch,
                        int rowidAliasColumn, int minColumns) {
  if (Status st = ParseRecord(reader, input, scratch); st != status::kOk) return st;
  DecodeParsedRow(input, scratch, row, rowidAliasColumn, minColumns);
  return status::kOk;
}

void DecodeParsedRow(const RowInput& input, const ParsedRecord& scratch, GenericRow& row, int rowidAliasColumn,
                     int minColumns) {
  row.deleted = input.deleted != 0;
  row.hasRowid = scratch.hasRowid;
  row.rowid = scratch.rowid;
  row.pageIndex = input.pageIndex;
  row.offset = input.offset;
  row.source = input.source;
  const int count = std::max(scratch.ColumnCount(), minColumns);
  row.values.assign(static_cast<size_t>(count), nullptr);
  for (int c = 0; c < scratch.ColumnCount(); ++c) {
    const uint64_t t = scratch.SerialType(c);
    if (!scratch.Has(c) || t == 0 || t == 10 || t == 11) {
      if (c == rowidAliasColumn && scratch.hasRowid) row.values[c] = scratch.rowid;
    } else if (t == 7) {
      row.values[c] = scratch.AsReal(c);
    } else if (scratch.IsInteger(c)) {
      row.values[c] = scratch.AsInt64(c);
    } else if (scratch.IsText(c)) {
      row.values[c] = scratch.AsText(c);
    } else {
      row.values[c] = BlobValue{scratch.AsBlob(c)};
    }
  }
  if (rowidAliasColumn >= scratch.ColumnCount() && rowidAliasColumn < count && scratch.hasRowid) {
    row.values[rowidAliasColumn] = scratch.rowid;
  }
}

}  // namespace orbanix
