// Contacts: the address book's full-text search content table.
//
// The phone keeps, per person, one row of "ABPersonFullTextSearch_content"
// with one text per kind of data:
//
//   column  content
//   0       docid (the person's ROWID; the rowid alias, stored as NULL)
//   1, 2    first name, last name
//   7       organization
//   16      every phone number of the person, each in several formats,
//           separated by spaces ("+1 555-200-0004 5552000004 +15552000004 ")
//   17      e-mail addresses
//   18      postal addresses
//   19      social profiles
//   20      web addresses
//   other   middle name, phonetic names, note, ... (not read)
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
  std::string name;      // column 1 followed directly by column 2; "No Name" when empty after the contacts scan
  std::string firstName; // column 1 alone (for documents that keep the parts of a name apart)
  std::string lastName;  // column 2 alone
};

// The row decoder of the search table: appends each row it accepts to
// `sink` and raises `maxRowId` (when given) to the largest live rowid.
// Every text column must be clean UTF-8 (no U+FFFD, no embedded zero) and
// the phone text free of control characters, otherwise the row is dropped
// (87). Live rows record the size of their serial-type area in
// reader.contactsFtsColumns, by which recovered rows are parsed.
RowDecoder MakeContactRowDecoder(std::vector<ContactRecord>& sink, int64_t* maxRowId = nullptr);

// ScanTable of the search table with that decoder: live rows, then the
// recovered ones, in scan order.
Status ReadContactRows(CDbFileReader& reader, std::vector<ContactRecord>& sink, int64_t* maxRowId = nullptr);

// The phone selection of the contacts scan: the phone text is cut at its
// spaces; a token of at least 7 characters is taken unless its 4th-last and
// 3rd-last characters equal the first two of the last 4 characters of the
// token taken before (another format of the same number). The text after the
// last space is a token too. The taken tokens are joined by "\n".
std::string SelectPhoneNumbers(std::string_view phoneText);

// The contacts scan: reads the address book at `addressBook`, keeps the rows
// with a phone text (the numbers selected, "No Name" for a nameless person),
// sorts them by name without regard to case (stable) and replaces the
// contents of `contacts` with them. `maxRowId` gets the largest rowid of the
// table. Returns the open status of the file; `contacts` is left as it was
// when the file cannot be opened.
Status ScanContacts(const std::filesystem::path& addressBook, std::vector<ContactRecord>& contacts,
                    int64_t& maxRowId);

// The contact row dump: appends every row of the search table, live and
// recovered, to `output` as a text line (row_dump.h); recovered rows are
// numbered on from `startRowId` (the value the contacts scan returned).
// With `keep`, a row is written only when it is a contact of the contacts
// scan (a phone text, the numbers selected, "No Name" for a nameless person)
// that `keep` accepts: the contacts the user chose. Returns the open status
// of the address book, or the first error writing the output.
using ContactRowFilter = std::function<bool(const ContactRecord& contact)>;
Status DumpContactRows(const std::filesystem::path& addressBook, const std::filesystem::path& output,
                       int64_t startRowId, const ContactRowFilter& keep = {});

}  // namespace orbanix
