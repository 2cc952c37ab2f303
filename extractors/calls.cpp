#include "extractors/calls.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "extractors/messages.h"
#include "extractors/phone_numbers.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

// Whole seconds of a numeric column (integer of any width, or a real cut
// toward minus infinity); false for NULL, texts and blobs.
bool WholeSeconds(const ParsedRecord& rec, int c, int64_t& seconds) {
  if (rec.IsReal(c)) {
    const double v = rec.AsReal(c);
    if (!std::isfinite(v) || std::fabs(v) > 1e18) return false;
    seconds = static_cast<int64_t>(std::floor(v));
    return true;
  }
  if (!rec.IsInteger(c)) return false;
  seconds = rec.AsInt64(c);
  return true;
}

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char ch) { return static_cast<unsigned char>(ch) < 32; });
}

struct Columns {
  int address, date, duration, direction;
  bool appleEpoch;
  int answered = -1, type = -1, service = -1, name = -1, location = -1;
  int count = -1;  // the table's column count; -1 without a schema
};

bool TableListed(const std::filesystem::path& db, const std::string& table) {
  CDbFileReader reader;
  std::string sql;
  return reader.Open(db) == status::kOk && FindTableSql(reader, table, sql) == status::kOk;
}

Columns ColumnsOf(const ColumnLookup& t, CallLayout layout) {
  Columns c{};
  if (layout == CallLayout::kCallTable) {
    c = {t.Find("address", 1), t.Find("date", 2), t.Find("duration", 3), t.Find("flags", 4), false};
  } else {
    c = {t.Find("ZADDRESS", 12), t.Find("ZDATE", 10), t.Find("ZDURATION", 11), t.Find("ZORIGINATED", 8), true};
    c.answered = t.Find("ZANSWERED");
    c.type = t.Find("ZCALLTYPE");
    c.service = t.Find("ZSERVICE_PROVIDER");
    c.name = t.Find("ZNAME");
    c.location = t.Find("ZLOCATION");
  }
  if (t.HasSchema()) c.count = t.ColumnCount();
  return c;
}

std::string CleanText(const ParsedRecord& rec, int c) {
  if (c < 0 || !rec.IsText(c)) return {};
  std::string text = rec.AsText(c);
  if (HasReplacementOrZero(text) || HasControlCharacter(text)) return {};
  return text;
}

Status DecodeCall(CDbFileReader& reader, const RowInput& input, CallLayout layout, const Columns& col,
                  ParsedRecord& rec, std::vector<CallRecord>& sink) {
  Status st;
  if (!input.headerless) {
    st = ParseLiveRecord(reader, input, rec, false);
    // The live rows of `call` teach the searches for deleted ones how many
    // serial-type bytes a row of this database has.
    if (st == status::kOk && layout == CallLayout::kCallTable) {
      reader.callColumns = static_cast<int>(rec.headerLength - rec.headerLengthVarintBytes);
    }
  } else if (layout == CallLayout::kCallTable && reader.callColumns > 0) {
    st = ParseHeaderlessRecord(reader, input, rec, reader.callColumns);
  } else if (layout == CallLayout::kCallRecord && col.count > 0) {
    // A store of current phones has more columns than those of iOS 8.
    st = ParseHeaderlessRecord(reader, input, rec, col.count);
  } else {
    st = ParseHeaderlessRecord(reader, input, rec);
  }
  if (st != status::kOk) return st;
  // The table lacks a column the call needs: nothing to read.
  if (col.address < 0 || col.date < 0) return status::kBadData;

  CallRecord call;
  call.deleted = input.deleted;
  call.recoveredFrom = RecoveredFromInput(input);
  // The newer store may keep the number as a blob holding its text.
  if (rec.IsText(col.address) || (layout == CallLayout::kCallRecord && rec.IsBlob(col.address))) {
    call.address = rec.AsText(col.address);
  }
  if (HasControlCharacter(call.address) || HasReplacementOrZero(call.address)) return status::kBadData;
  call.date = FormatDateColumn(rec, col.date, col.appleEpoch ? Epoch::kApple : Epoch::kUnix);
  int64_t duration = 0;
  if (WholeSeconds(rec, col.duration, duration)) {
    call.duration = static_cast<int>(std::clamp<int64_t>(duration, INT32_MIN, INT32_MAX));
  }
  // Both tables mark an incoming call with 0 (flags, ZORIGINATED).
  call.incoming = col.direction >= 0 && rec.IsInteger(col.direction) && rec.AsInt64(col.direction) == 0 ? 1 : 0;
  if (call.address.empty() || call.date.empty()) return status::kBadData;
  if (col.answered >= 0 && rec.IsInteger(col.answered)) call.answered = rec.AsInt64(col.answered) != 0 ? 1 : 0;
  if (col.type >= 0 && rec.IsInteger(col.type)) {
    const int64_t type = rec.AsInt64(col.type);
    call.kind = type == 8 ? CallKind::kFaceTimeVideo : type == 16 ? CallKind::kFaceTimeAudio : CallKind::kPhone;
  }
  call.service = CleanText(rec, col.service);
  call.name = CleanText(rec, col.name);
  call.location = CleanText(rec, col.location);
  sink.push_back(std::move(call));
  return status::kOk;
}

// Recovered rows that repeat a live call or an earlier recovered one are old
// copies of the same cell (left behind when SQLite moved it), not calls of
// their own.
void DropRecoveredCopies(std::vector<CallRecord>& calls) {
  std::set<std::string> seen;
  auto key = [](const CallRecord& c) {
    return c.address + '\x1f' + c.date + '\x1f' + std::to_string(c.duration) + '\x1f' + std::to_string(c.incoming);
  };
  for (const CallRecord& c : calls) {
    if (!c.deleted) seen.insert(key(c));
  }
  std::vector<CallRecord> kept;
  kept.reserve(calls.size());
  for (CallRecord& c : calls) {
    if (c.deleted && !seen.insert(key(c)).second) continue;
    kept.push_back(std::move(c));
  }
  calls = std::move(kept);
}

}  // namespace

bool CallNotConnected(const CallRecord& call) { return call.answered >= 0 ? call.answered == 0 : call.duration == 0; }

const char* CallKindText(CallKind kind) {
  switch (kind) {
    case CallKind::kFaceTimeAudio: return "FaceTime Audio";
    case CallKind::kFaceTimeVideo: return "FaceTime Video";
    case CallKind::kPhone: break;
  }
  return "";
}

CallLayout ProbeCallLayout(const std::filesystem::path& callDb) {
  if (ColumnLookup::Load(callDb, "ZCALLRECORD").HasSchema()) return CallLayout::kCallRecord;
  // The table may be there with a statement that names no columns readably.
  return TableListed(callDb, "ZCALLRECORD") ? CallLayout::kCallRecord : CallLayout::kCallTable;
}

std::string CallContactName(const std::string& address, const std::vector<ContactRecord>& contacts) {
  if (CodePointCount(address) <= 4) return {};
  for (const ContactRecord& c : contacts) {
    if (c.phones.find(address) != std::string::npos) return c.name;
  }
  // The same number written another way (with or without the country
  // code, spaced).
  if (SignificantDigits(address).empty()) return {};
  for (const ContactRecord& c : contacts) {
    for (std::string_view number : PhoneNumbersIn(c.phones)) {
      if (SamePhoneNumber(address, number)) return c.name;
    }
  }
  return {};
}

Status ScanCallHistory(const std::filesystem::path& callDb, const std::filesystem::path& addressBookDb,
                       std::vector<CallRecord>& calls, const ExtractorProgress& progress, ProblemLog* problems) {
  CDbFileReader reader;
  const Status opened = reader.Open(callDb);
  if (opened != status::kOk) return opened;
  const CallLayout layout = ProbeCallLayout(callDb);

  const char* table = layout == CallLayout::kCallRecord ? "ZCALLRECORD" : "call";
  const ColumnLookup lookup = ColumnLookup::Load(callDb, table);
  if (problems && !lookup.HasSchema() && TableListed(callDb, table)) {
    problems->Add("call-history", callDb.string(),
                  std::string("the columns of table \"") + table + "\" could not be read from its schema",
                  "its rows are read where older phones keep the columns", false);
  }
  const Columns columns = ColumnsOf(lookup, layout);
  reader.newCallSchema = layout == CallLayout::kCallRecord ? 1 : 0;
  // Current phones' table has more columns than that of iOS 8: the searches
  // of free space parse its deleted rows with the count its schema gives.
  reader.callRecordColumns = layout == CallLayout::kCallRecord && columns.count > 0 ? columns.count : 0;
  if (problems && (columns.address < 0 || columns.date < 0)) {
    problems->Add("call-history", callDb.string(),
                  std::string("table \"") + table + "\" has no " + (columns.address < 0 ? "number" : "date") + " column",
                  {}, true);
  }
  std::vector<CallRecord> found;
  ParsedRecord rec;
  ScanTable(reader, table,
            [&](CDbFileReader& r, const RowInput& in) { return DecodeCall(r, in, layout, columns, rec, found); });
  DropRecoveredCopies(found);
  if (progress && progress(50) != 0) return status::kCancelled;

  // The address book is opened on the same reader, as a second file.
  std::vector<ContactRecord> contacts;
  Status book = reader.Open(addressBookDb);
  if (book == status::kOk) ReadAddressBook(reader, addressBookDb, contacts);
  if (book == status::kOk) {
    // Many calls share a number, and a book holds thousands of contacts:
    // every distinct number is looked for in one pass over all the phone
    // texts (the same first contact CallContactName finds).
    std::unordered_map<std::string_view, size_t> numberIndex;
    std::vector<std::string> numbers;
    for (const CallRecord& call : found) {
      if (CodePointCount(call.address) <= 4) continue;
      if (numberIndex.emplace(call.address, numbers.size()).second) numbers.push_back(call.address);
    }
    std::vector<std::string_view> phoneTexts;
    phoneTexts.reserve(contacts.size());
    for (const ContactRecord& c : contacts) phoneTexts.emplace_back(c.phones);
    std::vector<int64_t> first = FirstContaining(numbers, phoneTexts);
    MatchNumbersWrittenOtherwise(numbers, phoneTexts, first);
    for (CallRecord& call : found) {
      auto it = numberIndex.find(call.address);
      if (it == numberIndex.end() || first[it->second] < 0) continue;
      // The contact's name, else the one the phone stored with the call.
      const std::string& name = contacts[static_cast<size_t>(first[it->second])].name;
      if (!name.empty()) call.name = name;
    }
  }
  // By date, equal dates in table order; each date lowered once, not at
  // every comparison.
  std::vector<std::pair<std::string, size_t>> order;
  order.reserve(found.size());
  for (size_t i = 0; i < found.size(); ++i) order.emplace_back(AsciiLower(found[i].date), i);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<CallRecord> sorted;
  sorted.reserve(found.size());
  for (const auto& entry : order) sorted.push_back(std::move(found[entry.second]));
  found = std::move(sorted);
  if (progress && progress(100) != 0) return status::kCancelled;
  calls.insert(calls.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  return book;
}

}  // namespace orbanix
