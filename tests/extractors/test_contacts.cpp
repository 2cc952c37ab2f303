// The contacts scan: phone selection, names, filter and sort, recovery.
#include <gtest/gtest.h>

#include <set>

#include "extractors/contacts.h"
#include "tests/extractors/test_support.h"
#include "tools/backupgen/family_contacts.h"

using namespace orbanix;
using orbanix::testing_support::ExecSql;
using orbanix::testing_support::ScratchTest;
namespace fs = std::filesystem;

namespace {

TEST(PhoneSelection, SkipsPrefixesAndOtherFormatsOfTheSameNumber) {
  // Country prefix, formatted number, the same number plain: only the
  // formatted one is taken.
  EXPECT_EQ(SelectPhoneNumbers("+1 555-200-0012 5552000012 "), "555-200-0012");
  EXPECT_EQ(SelectPhoneNumbers("+1 555-200-0012 5552000012 +15552000012 "), "555-200-0012");
  // Two different numbers.
  EXPECT_EQ(SelectPhoneNumbers("+1 555-200-0004 5552000004 +15552000004 +44 07700-900456 447700900456 "),
            "555-200-0004\n07700-900456");
  // Short tokens are never numbers.
  EXPECT_EQ(SelectPhoneNumbers("112 911 "), "");
  EXPECT_EQ(SelectPhoneNumbers(""), "");
}

TEST(PhoneSelection, TheTextAfterTheLastSpaceIsExaminedToo) {
  EXPECT_EQ(SelectPhoneNumbers("5552000077"), "5552000077");
  EXPECT_EQ(SelectPhoneNumbers("+1 555-200-0077"), "555-200-0077");
  EXPECT_EQ(SelectPhoneNumbers("555-200-0077 5552000077"), "555-200-0077");
}

TEST(PhoneSelection, CountsCharactersNotBytes) {
  // Six characters but eight bytes: not a number.
  EXPECT_EQ(SelectPhoneNumbers("55\xE2\x80\x93" "201 "), "");
  // The suffix comparison is by characters: "٠١٢٣٤٥٦٧" (Arabic-Indic digits).
  const std::string arabic = "\xD9\xA0\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4\xD9\xA5\xD9\xA6\xD9\xA7";
  EXPECT_EQ(SelectPhoneNumbers(arabic + " 0" + arabic.substr(2) + " "), arabic);
}

class Contacts : public ScratchTest {};

TEST_F(Contacts, ScanKeepsPeopleWithNumbersNamedAndSorted) {
  const auto db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 12;
  shape.deleteRows = false;
  gen::BuildAddressBook(db, shape);
  // Lower-case names sort among the others.
  ExecSql(db, "UPDATE ABPersonFullTextSearch SET First = 'aaron', Last = 'lowercase' WHERE docid = 8;");
  std::vector<ContactRecord> all(1);  // replaced, not appended to
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, all, maxRowId), 0);
  EXPECT_EQ(maxRowId, 12);
  // The version of person 8 before the update stays in the page's free
  // space: an older version of a row is a deleted row of its own.
  std::vector<ContactRecord> contacts, older;
  for (ContactRecord& c : all) (c.deleted ? older : contacts).push_back(c);
  ASSERT_EQ(older.size(), 1u);
  EXPECT_NE(older[0].name, "aaron lowercase");
  EXPECT_FALSE(older[0].phones.empty());
  ASSERT_EQ(contacts.size(), 12u);  // Carl Young has no number but an e-mail address
  std::set<std::string> names;
  for (size_t i = 0; i < contacts.size(); ++i) {
    names.insert(contacts[i].name);
    EXPECT_EQ(contacts[i].deleted, 0);
    EXPECT_FALSE(contacts[i].phones.empty() && contacts[i].email.empty()) << contacts[i].name;
    if (i > 0) {
      std::string a = contacts[i - 1].name, b = contacts[i].name;
      for (auto* s : {&a, &b}) std::transform(s->begin(), s->end(), s->begin(), ::tolower);
      EXPECT_LE(a, b);
    }
  }
  EXPECT_EQ(contacts.front().name, "aaron lowercase");
  EXPECT_TRUE(names.count("Ann Lee"));
  EXPECT_TRUE(names.count("No Name"));
  EXPECT_TRUE(names.count("Carl Young"));
  for (const ContactRecord& c : contacts) {
    if (c.name == "Carl Young") {
      EXPECT_EQ(c.phones, "");
      EXPECT_EQ(c.email, "carl.young@example.org");
    }
    if (c.name == "Ann Lee") {
      EXPECT_EQ(c.phones, "555-200-0000");
      EXPECT_EQ(c.email, "ann.lee@example.com");
    }
    if (c.name == "Dana Wu") {
      EXPECT_EQ(c.phones, "5552000003");
    }
    if (c.name == "Eve Park") {
      EXPECT_EQ(c.phones, "555-200-0004\n07700-900456");
      EXPECT_EQ(c.company, "Initech");
    }
  }
}

TEST_F(Contacts, RowReaderKeepsPeopleWithoutNumbersForNameLookUps) {
  const auto db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 5;
  shape.deleteRows = false;
  gen::BuildAddressBook(db, shape);
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(db), 0);
  std::vector<ContactRecord> rows;
  int64_t maxRowId = 0;
  ReadContactRows(reader, rows, &maxRowId);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[1].name, "");  // no "No Name" here
  EXPECT_EQ(rows[2].name, "Carl Young");
  EXPECT_EQ(rows[2].phones, "");
  EXPECT_EQ(rows[3].phones, "5552000003");
  EXPECT_EQ(rows[0].phones, gen::DemoPhoneText(0));  // unprocessed
  EXPECT_EQ(maxRowId, 5);
}

TEST_F(Contacts, RowsWithControlCharactersOrBadTextAreDropped) {
  const auto db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 6;
  shape.deleteRows = false;
  gen::BuildAddressBook(db, shape);
  ExecSql(db, "UPDATE ABPersonFullTextSearch SET Phone = '555' || char(10) || '2000001' WHERE docid = 1;");
  ExecSql(db, "UPDATE ABPersonFullTextSearch SET Note = CAST(X'41C3' AS TEXT) WHERE docid = 4;");
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(db), 0);
  std::vector<ContactRecord> rows;
  ReadContactRows(reader, rows);
  // The updates left the old versions of the two rows in free space, which
  // come back as recovered rows; the live rows themselves are dropped.
  std::erase_if(rows, [](const ContactRecord& c) { return c.deleted != 0; });
  ASSERT_EQ(rows.size(), 4u);
  for (const ContactRecord& c : rows) {
    EXPECT_NE(c.name, "Ann Lee");
    EXPECT_NE(c.name, "Dana Wu");
  }
}

TEST_F(Contacts, AMissingAddressBookLeavesTheListAlone) {
  std::vector<ContactRecord> contacts(2);
  int64_t maxRowId = 77;
  EXPECT_EQ(ScanContacts(Path("none.sqlitedb"), contacts, maxRowId), ENOENT);
  EXPECT_EQ(contacts.size(), 2u);
  EXPECT_EQ(maxRowId, 77);
  EXPECT_EQ(DumpContactRows(Path("none.sqlitedb"), Path("out.csv"), 0), ENOENT);
}

TEST_F(Contacts, DeletedPeopleComeBack) {
  const auto db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 300;
  const gen::AddressBookTruth truth = gen::BuildAddressBook(db, shape);
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(db), 0);
  std::vector<ContactRecord> rows;
  ReadContactRows(reader, rows);

  auto key = [](const std::string& name, const std::string& phones) { return name + "|" + phones; };
  std::multiset<std::string> live, deleted;
  for (const gen::PersonTruth& p : truth.live) live.insert(key(JoinPersonName(p.first, p.last), p.phoneText));
  for (const gen::PersonTruth& p : truth.deleted) deleted.insert(key(JoinPersonName(p.first, p.last), p.phoneText));
  size_t liveRows = 0, recovered = 0, duplicates = 0, phantoms = 0;
  std::set<std::string> found;
  for (const ContactRecord& c : rows) {
    const std::string k = key(c.name, c.phones);
    if (c.deleted == 0) {
      ++liveRows;
      EXPECT_TRUE(live.count(k)) << k;
    } else if (deleted.count(k)) {
      ++recovered;
      found.insert(k);
    } else if (live.count(k)) {
      ++duplicates;
    } else {
      ++phantoms;
      std::printf("[contacts recovery] phantom: %s\n", k.c_str());
    }
  }
  EXPECT_EQ(liveRows, truth.live.size());
  std::printf("[contacts recovery] deleted %zu, recovered %zu distinct (%zu rows), duplicates of live rows %zu, "
              "phantoms %zu, free-list pages %lld\n",
              truth.deleted.size(), found.size(), recovered, duplicates, phantoms,
              static_cast<long long>(truth.freelistPages));
  // Figures of this fixed seed: the scattered deletions (free blocks) and the
  // newest ones (the gap) come back; fragments stay rare.
  EXPECT_GE(found.size(), 20u);
  EXPECT_EQ(phantoms, 0u);
}

TEST_F(Contacts, RowDumpWritesLiveThenRecoveredRows) {
  const auto db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 40;
  const gen::AddressBookTruth truth = gen::BuildAddressBook(db, shape);
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  EXPECT_EQ(maxRowId, 38);  // the two newest were deleted
  const auto out = Path("contacts.csv");
  ASSERT_EQ(DumpContactRows(db, out, maxRowId), 0);
  const std::string all = ReadAll(out);
  EXPECT_EQ(all.rfind("1,\"Ann\",\"Lee\"", 0), 0u);
  EXPECT_NE(all.find("\r\n39,"), std::string::npos);  // the first recovered row
  // Appending: a second dump doubles the file.
  ASSERT_EQ(DumpContactRows(db, out, maxRowId), 0);
  EXPECT_EQ(ReadAll(out), all + all);
}

}  // namespace

namespace orbanix {
namespace {

TEST_F(Contacts, RowDumpLimitedToChosenContactsWritesOnlyTheirRows) {
  const auto db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 40;
  gen::BuildAddressBook(db, shape);
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  ASSERT_GE(contacts.size(), 3u);
  // Two live contacts and, when the scan recovered one, a deleted contact.
  std::vector<const ContactRecord*> chosen = {&contacts[0], &contacts[1]};
  for (const ContactRecord& c : contacts) {
    if (c.deleted != 0) {
      chosen.push_back(&c);
      break;
    }
  }
  const auto same = [](const ContactRecord& a, const ContactRecord& b) {
    return a.deleted == b.deleted && a.name == b.name && a.phones == b.phones && a.email == b.email &&
           a.company == b.company;
  };
  int asked = 0;
  const ContactRowFilter keep = [&](const ContactRecord& row) {
    ++asked;
    return std::any_of(chosen.begin(), chosen.end(), [&](const ContactRecord* c) { return same(*c, row); });
  };
  const auto out = Path("chosen.csv");
  ASSERT_EQ(DumpContactRows(db, out, maxRowId, keep), 0);
  EXPECT_GE(asked, static_cast<int>(contacts.size()));  // every contact row was offered
  const std::string all = ReadAll(out);
  size_t lines = 0;
  for (size_t at = all.find("\r\n"); at != std::string::npos; at = all.find("\r\n", at + 2)) ++lines;
  EXPECT_EQ(lines, chosen.size()) << all;
  for (const ContactRecord* c : chosen) {
    const std::string first = c->name.substr(0, std::min<size_t>(3, c->name.size()));
    EXPECT_NE(all.find("\"" + first), std::string::npos) << c->name << "\n" << all;
  }
}

}  // namespace
}  // namespace orbanix
