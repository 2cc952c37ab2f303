// The address-book family of the synthetic backups: an AddressBook.sqlitedb
// with ABPerson, ABMultiValue and the full-text search content table the
// phone keeps (ABPersonFullTextSearch_content: docid, then one text column per
// kind of data - first name in column 1, last name in 2, organization in 7,
// all phone numbers of the person in 16, e-mail in 17, postal address in 18,
// social profiles in 19, web addresses in 20). The phone text lists every
// number of a person in several formats, as the phone indexes them.
//
// BuildAddressBook returns the persons it wrote, live and deleted, so tests
// can measure what the contacts scan delivers and recovers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

namespace fs = std::filesystem;

// A prepared statement run for many rows (the benchmark's databases hold a
// million rows). Throws std::runtime_error when SQLite fails.
class BulkStatement {
 public:
  BulkStatement(sqlite3* db, const std::string& sql);
  ~BulkStatement();
  BulkStatement(const BulkStatement&) = delete;
  BulkStatement& operator=(const BulkStatement&) = delete;
  void Run(const std::vector<Value>& values);

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// --- the people both databases refer to ---

// Ten-digit national number of person i ("555" + 7 digits) and its
// international form ("+1" + national).
std::string DemoPhoneNational(int person);
std::string DemoPhoneE164(int person);
// The phone text the address book's search table keeps for one number: the
// country prefix, the formatted number, the plain national number and the
// international form, each followed by a space.
std::string DemoPhoneText(int person);

// --- AddressBook.sqlitedb ---

// The search table: as iOS 5-9 keep it ("c15Phone"), as iOS 10 and later
// keep it (a kind inserted after the organization: "c16Phone"), or none at
// all (the persons only in ABPerson and ABMultiValue).
enum class SearchLayout { kIos9, kCurrent, kNone };

struct AddressBookShape {
  SearchLayout search = SearchLayout::kIos9;
  int persons = 40;
  uint32_t seed = 1;
  bool deleteRows = true;
  int pageSize = 4096;
};

struct PersonTruth {
  int64_t rowid = 0;
  std::string first, last, organization;
  std::string phoneText;  // the search table's phone text (column 16)
  std::string email;
};

struct AddressBookTruth {
  std::vector<PersonTruth> live, deleted;
  int64_t freelistPages = 0;
};

AddressBookTruth BuildAddressBook(const fs::path& path, const AddressBookShape& shape);

// The family: HomeDomain Library/AddressBook/AddressBook.sqlitedb.
void AddContactsFamily(BackupWriter& writer, const FamilyOptions& options);
// The same with the search table of current phones.
void AddCurrentContactsFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
