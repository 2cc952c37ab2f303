// Contacts: the address book's full-text search content table.
//
// The phone keeps, per person, one row of "ABPersonFullTextSearch_content"
// with one text per kind of data. Each column is named by a running number
// and its kind ("c0First", "c15Phone"); later versions inserted kinds, so
// the number of a kind changes ("c16Phone" from iOS 10). Columns are found
// by their kind, the number after the "c" ignored; without a readable
// schema the positions of iOS 5-9 are used:
//
//   column  kind                  content
//   0       docid                 the person's ROWID (rowid alias, stored as NULL)
//   1, 2    First, Last           first name, last name
//   7       Organization          organization
//   16      Phone                 every phone number of the person, each in
//                                 several formats, separated by spaces
//                                 ("+1 555-200-0004 5552000004 +15552000004 ")
//   17      Email                 e-mail addresses
//   18      Address               postal addresses
//   19      SocialProfile         social profiles
//   20      URL                   web addresses
//   other   middle name, phonetic names, note, ... (not read)
//
// Where the search table is missing or empty, the same records are made
// from the person table ABPerson (First, Last, Organization) and its
// multi-values ABMultiValue (record_id, property 3 phone, 4 e-mail, value).
//
// The same row reader gives the message and call-history scans their name
// look-ups; the contacts scan adds the phone selection, the "No Name"
// default, the filter and the sort.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/provenance.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix {

inline constexpr char kContactsSearchTable[] = "ABPersonFullTextSearch_content";

struct ContactRecord {
  int deleted = 0;       // 0 live row, 1 recovered from free space
  std::string email;     // column 17
  std::string address;   // column 18
  std::string social;    // column 19
  std::string homePage;  // column 20
  std::string phones;    // column 16; after the contacts scan the selected numbers joined by "\n"
  std::string company;   // column 7
  std::string name;      // first and last name joined by a space (either alone when the other is empty);
                         // "No Name" when empty after the contacts scan
  std::string firstName; // the first name alone (for documents that keep the parts of a name apart)
  std::string lastName;  // the last name alone
  // Numbers of a person read from ABMultiValue, as stored; empty for search
  // table rows (whose phone text holds every number in several formats).
  std::vector<std::string> numbers;
  // The person's ROWID when the record was made from the person tables
  // (0 otherwise, and for a recovered person whose rowid was lost): what
  // ties a contact back to its row there. A contact made of multi-values
  // whose person is unknown carries their record_id.
  int64_t personRowId = 0;
  // A recovered person whose numbers and e-mail addresses cannot be told:
  // its rowid was lost with its cell header (they cannot be joined to it and
  // are listed as a contact of their own, "No Name"), or none of them was
  // recovered. It is a contact by its name alone.
  bool valuesUnknown = false;
  // A recovered person whose rowid was lost with its cell header and found
  // again in the sort index's entry for its LastSort (personRowId is that
  // rowid; the person's row itself has none).
  bool rowidFromSortIndex = false;
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// Where the search table keeps each kind of data (-1: the table has no such
// column). Historical() is the layout of iOS 5-9.
struct ContactColumns {
  int first = 1, last = 2, organization = 7, phone = 16, email = 17, address = 18, social = 19, url = 20;
  static ContactColumns Historical() { return {}; }
  // By the kinds of the columns; the historical positions when `lookup` has
  // no schema.
  static ContactColumns From(const ColumnLookup& lookup);
  int Widest() const;
};

// The columns of the search table of the address book at `path`.
ContactColumns LoadContactColumns(const std::filesystem::path& addressBook);

// The row decoder of the search table: appends each row it accepts to
// `sink` and raises `maxRowId` (when given) to the largest live rowid.
// Every text column must be clean UTF-8 (no U+FFFD, no embedded zero) and
// the phone text free of control characters, otherwise the row is dropped
// (87). Live rows record the size of their serial-type area in
// reader.contactsFtsColumns, by which recovered rows are parsed.
RowDecoder MakeContactRowDecoder(std::vector<ContactRecord>& sink, int64_t* maxRowId = nullptr,
                                  const ContactColumns& columns = ContactColumns::Historical());

// ScanTable of the search table with that decoder: live rows, then the
// recovered ones, in scan order.
Status ReadContactRows(CDbFileReader& reader, std::vector<ContactRecord>& sink, int64_t* maxRowId = nullptr,
                       const ContactColumns& columns = ContactColumns::Historical());

// The persons of ABPerson with their ABMultiValue phone numbers and e-mail
// addresses, as contact records: the phone text holds each number as stored
// and in its digits (with a leading "+" when it had one), separated by
// spaces, so that the look-ups of the message and call scans find it; the
// numbers as stored are kept in `numbers`. Live persons, then recovered
// ones, then one nameless recovered contact per person that only
// multi-values are left of (by their record_id). A multi-value is joined to
// a person only by the person's rowid.
Status ReadPersonTables(CDbFileReader& reader, const std::filesystem::path& addressBook,
                        std::vector<ContactRecord>& sink, int64_t* maxRowId = nullptr);

// The contact rows of the address book at `addressBook`, with `reader`
// opened on it: the search table by its columns' names, or the person
// tables where the search table is missing or holds no row.
Status ReadAddressBook(CDbFileReader& reader, const std::filesystem::path& addressBook,
                       std::vector<ContactRecord>& sink, int64_t* maxRowId = nullptr);

// The phone selection of the contacts scan: the phone text is cut at its
// spaces; a token of at least 7 characters is taken unless its 4th-last and
// 3rd-last characters equal the first two of the last 4 characters of the
// token taken before (another format of the same number). The text after the
// last space is a token too. The taken tokens are joined by "\n".
std::string SelectPhoneNumbers(std::string_view phoneText);

// A person's name: first and last joined by a space, either alone when the
// other is empty.
std::string JoinPersonName(std::string_view first, std::string_view last);

// The contacts scan: reads the address book at `addressBook`, keeps the rows
// with a phone text or an e-mail address (the numbers selected, "No Name"
// for a nameless person),
// sorts them by name without regard to case (stable) and replaces the
// contents of `contacts` with them. `maxRowId` gets the largest rowid of the
// table. Returns the open status of the file; `contacts` is left as it was
// when the file cannot be opened.
Status ScanContacts(const std::filesystem::path& addressBook, std::vector<ContactRecord>& contacts,
                    int64_t& maxRowId);

// The contact row dump: appends every row of the search table, live and
// recovered, to `output` as a text line (row_dump.h); recovered rows are
// numbered on from `startRowId` (the value the contacts scan returned).
// Where the search table holds no live row (the contacts then come from the
// person tables), the rows of ABPerson are dumped instead.
// With `keep`, a row is written only when it is a contact of the contacts
// scan (a phone text, the numbers selected, "No Name" for a nameless person)
// that `keep` accepts: the contacts the user chose. Returns the open status
// of the address book, or the first error writing the output.
using ContactRowFilter = std::function<bool(const ContactRecord& contact)>;
Status DumpContactRows(const std::filesystem::path& addressBook, const std::filesystem::path& output,
                       int64_t startRowId, const ContactRowFilter& keep = {});

}  // namespace orbanix
