#include "extractors/contacts.h"

#include <algorithm>
#include <memory>

#include "platform/text.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/row_dump.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

// The code points of valid UTF-8 text, each as its byte sequence.
std::vector<std::string_view> CodePoints(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    n = std::min(n, text.size() - i);
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c) < 32; });
}

// Lowercase of ASCII letters, for the case-blind name sort.
bool NameLess(const ContactRecord& a, const ContactRecord& b) {
  return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
    const auto lx = static_cast<unsigned char>(x >= 'A' && x <= 'Z' ? x + 32 : x);
    const auto ly = static_cast<unsigned char>(y >= 'A' && y <= 'Z' ? y + 32 : y);
    return lx < ly;
  });
}

}  // namespace

RowDecoder MakeContactRowDecoder(std::vector<ContactRecord>& sink, int64_t* maxRowId) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, maxRowId, record](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    Status st;
    if (!input.headerless) {
      st = ParseLiveRecord(reader, input, r);
      if (st != status::kOk) return st;
      reader.contactsFtsColumns = static_cast<int>(r.headerLength - r.headerLengthVarintBytes);
    } else if (reader.contactsFtsColumns != 0) {
      st = ParseHeaderlessRecord(reader, input, r, -1, reader.contactsFtsColumns);
    } else {
      st = ParseHeaderlessRecord(reader, input, r);
    }
    if (st != status::kOk) return st;
    if (r.ColumnCount() == 0) return status::kBadData;

    ContactRecord contact;
    contact.deleted = input.deleted;
    for (int c = r.firstColumn; c < r.ColumnCount(); ++c) {
      if (!r.IsText(c)) continue;
      std::string text = r.AsText(c);
      if (text.empty()) continue;
      if (HasReplacementOrZero(text)) return status::kBadData;
      switch (c) {
        case 1:
          contact.name += text;
          contact.firstName = text;
          break;
        case 2:
          contact.name += text;
          contact.lastName = text;
          break;
        case 7: contact.company = std::move(text); break;
        case 16: contact.phones = std::move(text); break;
        case 17: contact.email = std::move(text); break;
        case 18: contact.address = std::move(text); break;
        case 19: contact.social = std::move(text); break;
        case 20: contact.homePage = std::move(text); break;
        default: break;
      }
    }
    if (HasControlCharacter(contact.phones)) return status::kBadData;
    if (maxRowId && r.hasRowid && r.rowid > *maxRowId) *maxRowId = r.rowid;
    sink.push_back(std::move(contact));
    return status::kOk;
  };
}

Status ReadContactRows(CDbFileReader& reader, std::vector<ContactRecord>& sink, int64_t* maxRowId) {
  return ScanTable(reader, kContactsSearchTable, MakeContactRowDecoder(sink, maxRowId));
}

std::string SelectPhoneNumbers(std::string_view phoneText) {
  std::string out;
  std::vector<std::string_view> suffix;  // last 4 characters of the token taken last
  auto consider = [&](std::string_view token) {
    const std::vector<std::string_view> cps = CodePoints(token);
    if (cps.size() < 7) return;
    const size_t n = cps.size();
    const bool sameNumber = suffix.size() >= 2 && cps[n - 4] == suffix[0] && cps[n - 3] == suffix[1];
    if (sameNumber) return;
    if (!out.empty()) out += '\n';
    out += token;
    suffix.assign(cps.end() - 4, cps.end());
  };
  size_t start = 0;
  for (size_t space = phoneText.find(' '); space != std::string_view::npos; space = phoneText.find(' ', start)) {
    consider(phoneText.substr(start, space - start));
    start = space + 1;
  }
  // The text after the last space is a number too (a phone text need not end
  // with a space).
  if (start < phoneText.size()) consider(phoneText.substr(start));
  return out;
}

Status ScanContacts(const std::filesystem::path& addressBook, std::vector<ContactRecord>& contacts,
                    int64_t& maxRowId) {
  CDbFileReader reader;
  const Status opened = reader.Open(addressBook);
  if (opened != status::kOk) return opened;
  std::vector<ContactRecord> rows;
  int64_t largest = 0;
  ReadContactRows(reader, rows, &largest);
  std::vector<ContactRecord> kept;
  kept.reserve(rows.size());
  for (ContactRecord& c : rows) {
    if (c.phones.empty()) continue;
    if (c.name.empty()) c.name = "No Name";
    c.phones = SelectPhoneNumbers(c.phones);
    kept.push_back(std::move(c));
  }
  std::stable_sort(kept.begin(), kept.end(), NameLess);
  contacts = std::move(kept);
  maxRowId = largest;
  return opened;
}

Status DumpContactRows(const std::filesystem::path& addressBook, const std::filesystem::path& output,
                       int64_t startRowId, const ContactRowFilter& keep) {
  CDbFileReader reader;
  const Status opened = reader.Open(addressBook);
  if (opened != status::kOk) return opened;
  reader.rowCounter = static_cast<uint64_t>(std::max<int64_t>(startRowId, 0));
  Status writeError = status::kOk;
  // The chosen contacts are recognised by the record the contacts scan made
  // of the same row.
  std::vector<ContactRecord> decoded;
  const RowDecoder decode = keep ? MakeContactRowDecoder(decoded) : RowDecoder();
  ScanTable(reader, kContactsSearchTable, [&](CDbFileReader& r, const RowInput& input) -> Status {
    if (writeError != status::kOk) return writeError;
    if (keep) {
      decoded.clear();
      if (decode(r, input) != status::kOk || decoded.empty() || decoded.back().phones.empty()) return status::kOk;
      ContactRecord& contact = decoded.back();
      if (contact.name.empty()) contact.name = "No Name";
      contact.phones = SelectPhoneNumbers(contact.phones);
      if (!keep(contact)) return status::kOk;
    }
    const Status st = DumpRowToFile(r, output, input);
    // 87 is a row that cannot be written as text; anything else is the
    // output failing, which ends the dump.
    if (st != status::kOk && st != status::kBadData) writeError = st;
    return st;
  });
  return writeError;
}

}  // namespace orbanix
