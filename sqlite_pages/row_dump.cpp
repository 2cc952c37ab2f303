#include "sqlite_pages/row_dump.h"

#include <algorithm>
#include <cerrno>

#include "platform/text.h"
#include "sqlite_pages/recovery.h"
#include "sqlite_pages/values.h"

namespace orbanix {

void DumpLine::Add(std::string_view field) {
  if (fields_++ > 0) line_.push_back(',');
  line_.append(field);
}

void DumpLine::AddInteger(int64_t value) { Add(std::to_string(value)); }

void DumpLine::AddText(std::string text) {
  if (text.empty()) {
    AddNull();
    return;
  }
  QuoteDouble(text);
  if (fields_++ > 0) line_.push_back(',');
  line_.push_back('"');
  line_.append(text);
  line_.push_back('"');
}

void DumpLine::AddHex(std::string_view bytes) { Add(HexLower(bytes)); }

bool DumpLine::AddColumn(const ParsedRecord& record, int c) {
  const uint64_t type = record.SerialType(c);
  if (!record.Has(c) || type == 0 || type == 10 || type == 11) {
    AddNull();
  } else if (record.IsInteger(c)) {
    AddInteger(record.AsInt64(c));
  } else if (record.IsReal(c)) {
    AddRaw(record.AsText(c));
  } else if (record.IsText(c)) {
    std::string text = record.AsText(c);
    if (!text.empty() && !IsCleanText(text)) return false;
    AddText(std::move(text));
  } else {
    AddHex(record.AsBlob(c));
  }
  return true;
}

Status DumpFile::Open(const std::filesystem::path& path) {
  Close();
  file_ = std::fopen(path.c_str(), "ab");
  if (!file_) return errno ? errno : status::kBadData;
  return status::kOk;
}

Status DumpFile::Write(std::string_view bytes) {
  if (!file_) return status::kBadData;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) return errno ? errno : status::kBadData;
  return status::kOk;
}

Status DumpFile::Close() {
  if (!file_) return status::kOk;
  const int rc = std::fclose(file_);
  file_ = nullptr;
  return rc == 0 ? status::kOk : (errno ? errno : status::kBadData);
}

namespace {

// The contacts search table: docid plus 23 text columns.
constexpr int kContactsLineColumns = 24;

}  // namespace

Status DumpRowToFile(CDbFileReader& reader, const std::filesystem::path& path, const RowInput& input) {
  ParsedRecord record;
  int lineColumns = kContactsLineColumns;
  int64_t rowNumber = 0;
  if (!input.headerless) {
    const Status st = ParseLiveRecord(reader, input, record);
    if (st != status::kOk) return st;
    reader.contactsFtsColumns = static_cast<int>(record.headerLength - record.headerLengthVarintBytes);
    rowNumber = record.rowid;
    if (rowNumber == 0) rowNumber = static_cast<int64_t>(++reader.rowCounter);
  } else {
    Status st;
    if (reader.contactsFtsColumns != 0) {
      st = ParseHeaderlessRecord(reader, input, record, -1, reader.contactsFtsColumns);
    } else {
      st = ParseHeaderlessRecord(reader, input, record);
      lineColumns = ColumnCountFor(reader);
    }
    if (st != status::kOk) return st;
    if (record.ColumnCount() == 0) return status::kBadData;
    rowNumber = static_cast<int64_t>(++reader.rowCounter);
  }

  DumpLine line;
  // Column 0: the row number, unless the record holds a value of its own there.
  if (record.firstColumn == 0 && !record.IsNull(0)) {
    if (!line.AddColumn(record, 0)) return status::kBadData;
  } else {
    line.AddInteger(rowNumber);
  }
  const int columns = std::max(lineColumns, record.ColumnCount());
  for (int c = 1; c < columns; ++c) {
    if (!line.AddColumn(record, c)) return status::kBadData;
  }

  DumpFile file;
  Status st = file.Open(path);
  if (st != status::kOk) return st;
  st = file.Write(line.Finish());
  const Status closed = file.Close();
  return st != status::kOk ? st : closed;
}

}  // namespace orbanix
