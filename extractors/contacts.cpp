#include "extractors/contacts.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <unordered_map>

#include "platform/text.h"
#include "sqlite_pages/db_file_reader.h"
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

ContactColumns ContactColumns::From(const ColumnLookup& lookup) {
  const ContactColumns h = Historical();
  ContactColumns c;
  c.first = lookup.FindNumbered("First", h.first);
  c.last = lookup.FindNumbered("Last", h.last);
  c.organization = lookup.FindNumbered("Organization", h.organization);
  c.phone = lookup.FindNumbered("Phone", h.phone);
  c.email = lookup.FindNumbered("Email", h.email);
  c.address = lookup.FindNumbered("Address", h.address);
  c.social = lookup.FindNumbered("SocialProfile", h.social);
  c.url = lookup.FindNumbered("URL", h.url);
  // A table that names none of the kinds is not one we know by its names:
  // its columns are where they always were.
  if (c.first < 0 && c.last < 0 && c.phone < 0 && c.email < 0) return h;
  return c;
}

int ContactColumns::Widest() const {
  return std::max({first, last, organization, phone, email, address, social, url});
}

ContactColumns LoadContactColumns(const std::filesystem::path& addressBook) {
  return ContactColumns::From(ColumnLookup::Load(addressBook, kContactsSearchTable));
}

std::string JoinPersonName(std::string_view first, std::string_view last) {
  std::string name(first);
  if (!name.empty() && !last.empty()) name += ' ';
  name += last;
  return name;
}

RowDecoder MakeContactRowDecoder(std::vector<ContactRecord>& sink, int64_t* maxRowId, const ContactColumns& columns) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, maxRowId, record, columns](CDbFileReader& reader, const RowInput& input) -> Status {
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
    contact.recoveredFrom = RecoveredFromInput(input);
    std::string first, last;
    for (int c = r.firstColumn; c < r.ColumnCount(); ++c) {
      if (!r.IsText(c)) continue;
      std::string text = r.AsText(c);
      if (text.empty()) continue;
      if (HasReplacementOrZero(text)) return status::kBadData;
      if (c == columns.first) first = std::move(text);
      else if (c == columns.last) last = std::move(text);
      else if (c == columns.organization) contact.company = std::move(text);
      else if (c == columns.phone) contact.phones = std::move(text);
      else if (c == columns.email) contact.email = std::move(text);
      else if (c == columns.address) contact.address = std::move(text);
      else if (c == columns.social) contact.social = std::move(text);
      else if (c == columns.url) contact.homePage = std::move(text);
    }
    if (HasControlCharacter(contact.phones)) return status::kBadData;
    // A recovered row is a contact only with a name, a number or an address
    // to show: a row of other columns alone (a profile, a web page) is as
    // likely the bytes of another record read as this table's.
    if (input.deleted && first.empty() && last.empty() && contact.company.empty() && contact.phones.empty() &&
        contact.email.empty() && contact.address.empty()) {
      return status::kBadData;
    }
    contact.name = JoinPersonName(first, last);
    contact.firstName = std::move(first);
    contact.lastName = std::move(last);
    if (maxRowId && r.hasRowid && r.rowid > *maxRowId) *maxRowId = r.rowid;
    sink.push_back(std::move(contact));
    return status::kOk;
  };
}

Status ReadContactRows(CDbFileReader& reader, std::vector<ContactRecord>& sink, int64_t* maxRowId,
                       const ContactColumns& columns) {
  return ScanTable(reader, kContactsSearchTable, MakeContactRowDecoder(sink, maxRowId, columns));
}

namespace {

// The digits of a stored phone number, with its leading "+" (the form the
// message handles and call records use).
std::string PhoneDigits(std::string_view number) {
  std::string out;
  for (char ch : number) {
    if ((ch >= '0' && ch <= '9') || (ch == '+' && out.empty())) out.push_back(ch);
  }
  return out;
}

struct PersonValue {
  int64_t person = 0;
  int property = 0;
  std::string value;
  RecoveredFrom from;  // where the row lay, when it was recovered
  uint8_t deleted = 0;
};

constexpr int kPhoneProperty = 3, kEmailProperty = 4;

// The rowids that the entries of an index on one text column give for
// `key`, read from the index leaf pages of the file (live ones, and freed
// ones that kept their page type) in the bytes where an entry of that key
// lies whole or behind the free-block header that took its first bytes.
// An entry of such an index is (text, rowid): a cell of a payload length,
// a header length, the text's and the rowid's serial types, the text and
// the rowid's bytes. A freed entry of a text below 58 bytes lost exactly
// those four one-byte fields, and its block's size, when the block is the
// entry alone, tells the rowid's length.
std::set<int64_t> IndexedRowids(const std::vector<std::vector<uint8_t>>& leaves, uint32_t usable,
                                const std::string& key) {
  std::set<int64_t> rowids;
  if (key.empty() || key.size() > 1000) return rowids;
  const uint64_t textType = 13 + 2 * key.size();
  auto rowidOf = [](const uint8_t* at, uint32_t length) {
    int64_t v = (at[0] & 0x80) ? -1 : 0;
    for (uint32_t i = 0; i < length; ++i) v = static_cast<int64_t>((static_cast<uint64_t>(v) << 8) | at[i]);
    return v;
  };
  for (const std::vector<uint8_t>& page : leaves) {
    const uint8_t* data = page.data();
    const std::string_view bytes(reinterpret_cast<const char*>(data), usable);
    for (size_t at = bytes.find(key, 8); at != std::string_view::npos; at = bytes.find(key, at + 1)) {
      const uint32_t o = static_cast<uint32_t>(at);
      const uint32_t end = o + static_cast<uint32_t>(key.size());
      // Whole: [payload length][header length][text type][rowid type] text rowid.
      const uint32_t t = textType < 128 ? 1 : 2;
      if (o >= 3 + t) {
        const uint8_t intType = data[o - 1];
        uint64_t readType = data[o - 1 - t];
        if (t == 2) readType = (uint64_t{data[o - 3] & 0x7Fu} << 7) | data[o - 2];
        const bool typeOk = t == 1 || (data[o - 3] & 0x80);
        const uint32_t header = data[o - 2 - t];
        if (typeOk && intType >= 1 && intType <= 6 && readType == textType && header == t + 2) {
          const uint32_t length = intType == 5 ? 6 : intType == 6 ? 8 : intType;
          const uint64_t payload = header + key.size() + length;
          const uint8_t p0 = data[o - 3 - t];
          const bool onePayload = payload < 128 && p0 == payload && (o - 3 - t == 8 || !(data[o - 4 - t] & 0x80));
          if (onePayload && end + length <= usable) rowids.insert(rowidOf(data + end, length));
        }
      }
      // Freed: [next block][block size] text rowid, the block the entry alone.
      if (t == 1 && o >= 12 && key.size() + 4 < 128) {
        const uint32_t block = o - 4;
        const uint32_t next = (uint32_t{data[block]} << 8) | data[block + 1];
        const uint32_t size = (uint32_t{data[block + 2]} << 8) | data[block + 3];
        if (size > key.size() + 4 && block + size <= usable && (next == 0 || next >= block + size)) {
          const uint32_t length = size - 4 - static_cast<uint32_t>(key.size());
          if (length >= 1 && length <= 4) rowids.insert(rowidOf(data + end, length));
        }
      }
    }
  }
  return rowids;
}

// Adds a multi-value to the contact it belongs to: a number once, as stored
// and in its digits; an e-mail address.
void AddPersonValue(ContactRecord& c, PersonValue& v) {
  if (v.property == kPhoneProperty) {
    if (std::find(c.numbers.begin(), c.numbers.end(), v.value) != c.numbers.end()) return;
    c.phones += v.value + ' ';
    const std::string digits = PhoneDigits(v.value);
    if (!digits.empty() && digits != v.value) c.phones += digits + ' ';
    c.numbers.push_back(std::move(v.value));
  } else if (v.property == kEmailProperty) {
    if (!c.email.empty()) c.email += ' ';
    c.email += v.value;
  }
}

}  // namespace

Status ReadPersonTables(CDbFileReader& reader, const std::filesystem::path& addressBook,
                        std::vector<ContactRecord>& sink, int64_t* maxRowId) {
  const ColumnLookup person = ColumnLookup::Load(addressBook, "ABPerson");
  const ColumnLookup multi = ColumnLookup::Load(addressBook, "ABMultiValue");
  // The positions of the tables as every version since iOS 4 creates them.
  const int firstCol = person.Find("First", 1), lastCol = person.Find("Last", 2);
  const int orgCol = person.Find("Organization", 7);
  const int ownerCol = multi.Find("record_id", 1), propertyCol = multi.Find("property", 2);
  const int valueCol = multi.Find("value", 5);

  const int sortCol = person.Find("LastSort", 17);
  struct Person {
    int64_t rowid = 0;
    ContactRecord record;
    std::string first, last;
    std::string sortKey;  // LastSort: the key of the person's entry in the sort index
  };
  std::vector<Person> persons;
  ParsedRecord r;
  auto text = [&r](int c) { return c >= 0 && r.IsText(c) ? r.AsText(c) : std::string(); };
  const Status st = ScanTable(reader, "ABPerson", [&](CDbFileReader& rd, const RowInput& in) -> Status {
    if (const Status parsed = ParseRecord(rd, in, r); parsed != status::kOk) return parsed;
    Person p;
    p.rowid = r.hasRowid ? r.rowid : 0;
    p.first = text(firstCol);
    p.last = text(lastCol);
    p.sortKey = text(sortCol);
    p.record.company = text(orgCol);
    if (HasReplacementOrZero(p.first) || HasReplacementOrZero(p.last) || HasReplacementOrZero(p.record.company)) {
      return status::kBadData;
    }
    // A recovered row needs something of a person to be one.
    if (in.deleted && p.first.empty() && p.last.empty() && p.record.company.empty()) return status::kBadData;
    p.record.deleted = in.deleted;
    p.record.recoveredFrom = RecoveredFromInput(in);
    p.record.personRowId = p.rowid;
    // A freed cell loses its first bytes to the free-block header, and with
    // them the rowid (kept only in the cell header): nothing then ties the
    // person to its numbers, which are rows of their own.
    p.record.valuesUnknown = in.deleted && p.rowid == 0;
    if (maxRowId && p.rowid > *maxRowId) *maxRowId = p.rowid;
    persons.push_back(std::move(p));
    return status::kOk;
  });
  if (st != status::kOk && persons.empty()) return st;

  std::vector<PersonValue> values;
  ScanTable(reader, "ABMultiValue", [&](CDbFileReader& rd, const RowInput& in) -> Status {
    if (const Status parsed = ParseRecord(rd, in, r); parsed != status::kOk) return parsed;
    if (ownerCol < 0 || propertyCol < 0 || !r.IsInteger(ownerCol) || !r.IsInteger(propertyCol)) {
      return status::kBadData;
    }
    PersonValue v{r.AsInt64(ownerCol), static_cast<int>(r.AsInt64(propertyCol)), text(valueCol),
                  RecoveredFromInput(in), static_cast<uint8_t>(in.deleted)};
    if (v.value.empty() || HasReplacementOrZero(v.value) || HasControlCharacter(v.value)) return status::kBadData;
    values.push_back(std::move(v));
    return status::kOk;
  });

  std::unordered_map<int64_t, size_t> byRowid;
  for (size_t i = 0; i < persons.size(); ++i) {
    if (persons[i].rowid != 0) byRowid.emplace(persons[i].rowid, i);  // the live row first
  }
  // A recovered person whose rowid went with its cell header is still
  // named in the sort index (LastSort, rowid), whose freed entries keep
  // both: where exactly one such person has its sort key, the index gives
  // that key exactly one rowid, no person row has that rowid, and numbers or
  // addresses name it (record_id), the person is that rowid.
  if (reader.encoding == TextEncoding::kUtf8 && reader.pageSize != 0) {
    std::map<std::string, std::vector<size_t>> lostBySortKey;
    for (size_t i = 0; i < persons.size(); ++i) {
      const Person& p = persons[i];
      if (p.record.deleted && p.rowid == 0 && !p.sortKey.empty()) lostBySortKey[p.sortKey].push_back(i);
    }
    std::set<int64_t> orphanOwners;
    for (const PersonValue& v : values) {
      if (!byRowid.count(v.person)) orphanOwners.insert(v.person);
    }
    if (!lostBySortKey.empty() && !orphanOwners.empty()) {
      // The index leaves are held and searched once for each lost key: an
      // address book whose leaves or lost persons are so many that this
      // would hold much memory or take long keeps those persons unlinked.
      constexpr uint64_t kLeafBytesHeld = uint64_t{32} << 20;
      constexpr uint64_t kBytesSearched = uint64_t{4} << 30;
      std::vector<std::vector<uint8_t>> leaves;
      std::vector<uint8_t> page(reader.pageSize);
      bool bounded = true;
      for (uint64_t i = 0; i < reader.PageCount() && bounded; ++i) {
        if (reader.ReadPage(static_cast<uint32_t>(i), page.data()) != status::kOk) continue;
        // An index leaf (page 1 begins with the file header).
        if (i != 0 && page[0] == 0x0a) leaves.push_back(page);
        bounded = leaves.size() * uint64_t{reader.pageSize} <= kLeafBytesHeld;
      }
      if (!bounded || leaves.size() * uint64_t{reader.pageSize} * lostBySortKey.size() > kBytesSearched) {
        leaves.clear();
        lostBySortKey.clear();
      }
      for (const auto& [key, lost] : lostBySortKey) {
        if (lost.size() != 1) continue;
        std::set<int64_t> rowids = IndexedRowids(leaves, reader.usableSize, key);
        for (auto it = rowids.begin(); it != rowids.end();) {
          it = byRowid.count(*it) || *it <= 0 ? rowids.erase(it) : std::next(it);
        }
        if (rowids.size() != 1 || !orphanOwners.count(*rowids.begin())) continue;
        Person& p = persons[lost.front()];
        p.rowid = *rowids.begin();
        p.record.personRowId = p.rowid;
        p.record.valuesUnknown = false;
        p.record.rowidFromSortIndex = true;
        byRowid.emplace(p.rowid, lost.front());
        orphanOwners.erase(p.rowid);
      }
    }
  }
  // Multi-values whose person is not known by its rowid (its row was
  // overwritten, or recovered without the rowid): each is still a number or
  // an address of a deleted person, the one its record_id names, so those of
  // one record_id make one nameless contact. They are never put under a
  // person by anything less certain than the rowid: a number shown under the
  // wrong name is worse than one shown under none.
  std::vector<ContactRecord> orphans;
  std::unordered_map<int64_t, size_t> orphanOf;
  for (PersonValue& v : values) {
    if (auto it = byRowid.find(v.person); it != byRowid.end()) {
      AddPersonValue(persons[it->second].record, v);
      continue;
    }
    if (v.property != kPhoneProperty && v.property != kEmailProperty) continue;
    auto [at, added] = orphanOf.emplace(v.person, orphans.size());
    if (added) {
      ContactRecord c;
      c.deleted = v.deleted;
      c.personRowId = v.person;
      c.recoveredFrom = v.from;
      orphans.push_back(std::move(c));
    } else if (!v.deleted) {
      // A live number of a person the table no longer holds (a damaged
      // file): the contact is not a deleted one.
      orphans[at->second].deleted = 0;
      orphans[at->second].recoveredFrom = RecoveredFrom();
    }
    AddPersonValue(orphans[at->second], v);
  }
  for (Person& p : persons) {
    // A recovered person none of whose numbers or addresses came back (their
    // rows overwritten since): its values cannot be told either, and its
    // name is still a deleted contact's.
    if (p.record.deleted && p.record.numbers.empty() && p.record.email.empty()) p.record.valuesUnknown = true;
    p.record.name = JoinPersonName(p.first, p.last);
    p.record.firstName = p.first;
    p.record.lastName = p.last;
    sink.push_back(std::move(p.record));
  }
  for (ContactRecord& c : orphans) sink.push_back(std::move(c));
  return status::kOk;
}

Status ReadAddressBook(CDbFileReader& reader, const std::filesystem::path& addressBook,
                       std::vector<ContactRecord>& sink, int64_t* maxRowId) {
  const size_t before = sink.size();
  const Status st = ReadContactRows(reader, sink, maxRowId, LoadContactColumns(addressBook));
  if (std::any_of(sink.begin() + static_cast<std::ptrdiff_t>(before), sink.end(),
                  [](const ContactRecord& c) { return c.deleted == 0; })) {
    return st;
  }
  // No live row: the rows recovered for a table without one had no live
  // row to learn their layout from; the person tables tell the persons.
  sink.resize(before);
  return ReadPersonTables(reader, addressBook, sink, maxRowId);
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

namespace {

// What the contacts scan makes of a row: a contact needs a phone text or an
// e-mail address; a nameless one is "No Name"; the numbers are the stored
// ones of the person tables, else those selected from the phone text.
bool FinishContact(ContactRecord& c) {
  // A person reached only by e-mail is a contact too; so is a recovered
  // person whose numbers cannot be told (they may well exist).
  if (c.phones.empty() && c.email.empty() && !c.valuesUnknown) return false;
  if (c.name.empty()) c.name = "No Name";
  if (!c.numbers.empty()) {
    // Numbers of the person table are listed as stored, each once.
    c.phones.clear();
    for (const std::string& n : c.numbers) {
      if (!c.phones.empty()) c.phones += '\n';
      c.phones += n;
    }
  } else {
    c.phones = SelectPhoneNumbers(c.phones);
  }
  return true;
}

}  // namespace

Status ScanContacts(const std::filesystem::path& addressBook, std::vector<ContactRecord>& contacts,
                    int64_t& maxRowId) {
  CDbFileReader reader;
  const Status opened = reader.Open(addressBook);
  if (opened != status::kOk) return opened;
  std::vector<ContactRecord> rows;
  int64_t largest = 0;
  ReadAddressBook(reader, addressBook, rows, &largest);
  std::vector<ContactRecord> kept;
  kept.reserve(rows.size());
  for (ContactRecord& c : rows) {
    if (FinishContact(c)) kept.push_back(std::move(c));
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

  // The table the contacts came from: the search table, or the person table
  // when the search table has no live row (the contacts scan's choice). The
  // look is taken with a reader of its own, so that the dump's numbering of
  // recovered rows starts where the scan's ended.
  const ContactColumns columns = LoadContactColumns(addressBook);
  std::vector<ContactRecord> decoded;
  bool personTables = false;
  {
    CDbFileReader look;
    if (look.Open(addressBook) == status::kOk) {
      // Only the live rows decide, so the look neither searches free space
      // nor carves.
      ScanOptions liveOnly;
      liveOnly.recoverInTree = liveOnly.freePageStage = liveOnly.carve = false;
      ScanTable(look, kContactsSearchTable, MakeContactRowDecoder(decoded, nullptr, columns), liveOnly);
      personTables = decoded.empty();
    }
  }
  // With the person table, the chosen contacts are known by their rows; a
  // recovered person whose rowid was lost, by its name and organization.
  std::set<std::pair<int, int64_t>> chosenPersons;
  std::set<std::tuple<std::string, std::string, std::string>> chosenWithoutRowid;
  if (personTables && keep) {
    decoded.clear();
    CDbFileReader look;
    if (look.Open(addressBook) == status::kOk) ReadPersonTables(look, addressBook, decoded);
    for (ContactRecord& c : decoded) {
      if (!FinishContact(c) || !keep(c)) continue;
      if (c.rowidFromSortIndex) {
        // Its row has no rowid of its own: known by its name.
        chosenWithoutRowid.emplace(c.firstName, c.lastName, c.company);
      } else if (c.personRowId != 0) {
        chosenPersons.emplace(c.deleted, c.personRowId);
      } else if (c.valuesUnknown) {
        chosenWithoutRowid.emplace(c.firstName, c.lastName, c.company);
      }
    }
  }
  const ColumnLookup personColumns = ColumnLookup::Load(addressBook, "ABPerson");
  const int firstCol = personColumns.Find("First", 1), lastCol = personColumns.Find("Last", 2);
  const int orgCol = personColumns.Find("Organization", 7);

  reader.rowCounter = static_cast<uint64_t>(std::max<int64_t>(startRowId, 0));
  Status writeError = status::kOk;
  // On the search table the chosen contacts are recognised by the record the
  // contacts scan made of the same row.
  const RowDecoder decode = keep && !personTables ? MakeContactRowDecoder(decoded, nullptr, columns) : RowDecoder();
  ParsedRecord person;
  auto personText = [&person](int c) {
    return c >= 0 && c < person.ColumnCount() && person.IsText(c) ? person.AsText(c) : std::string();
  };
  ScanTable(reader, personTables ? "ABPerson" : kContactsSearchTable,
            [&](CDbFileReader& r, const RowInput& input) -> Status {
    if (writeError != status::kOk) return writeError;
    if (keep && personTables) {
      if (ParseRecord(r, input, person) != status::kOk) return status::kOk;
      const bool chosen =
          person.hasRowid ? chosenPersons.count({input.deleted, person.rowid}) != 0
                          : input.deleted && chosenWithoutRowid.count({personText(firstCol), personText(lastCol),
                                                                       personText(orgCol)}) != 0;
      if (!chosen) return status::kOk;
    } else if (keep) {
      decoded.clear();
      if (decode(r, input) != status::kOk || decoded.empty() || !FinishContact(decoded.back()) ||
          !keep(decoded.back())) {
        return status::kOk;
      }
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
