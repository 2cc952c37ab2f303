// The stores of current phones (iOS 16/17): columns found by name where
// they moved, group chats as conversations, reactions, edits, unsends,
// replies, every attachment, "Recently Deleted", and WhatsApp group senders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "extractors/calls.h"
#include "extractors/chat_apps.h"
#include "extractors/contacts.h"
#include "extractors/messages.h"
#include "extractors/whatsapp.h"
#include "platform/text.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/recovery.h"
#include "tests/extractors/test_support.h"
#include "tools/backupgen/family_calls.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/family_whatsapp.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using testing_support::ExecSql;
using testing_support::ScratchTest;

class CurrentLayouts : public ScratchTest {
 protected:
  fs::path Book(gen::SearchLayout layout, int persons = 12) {
    const fs::path db = Path("AddressBook.sqlitedb");
    gen::AddressBookShape shape;
    shape.persons = persons;
    shape.deleteRows = false;
    shape.search = layout;
    gen::BuildAddressBook(db, shape);
    return db;
  }
};

// --- the shared column lookup ---

TEST(ColumnLookupNumbered, FindsAKindWhateverItsNumber) {
  const ColumnLookup old({"docid", "c0First", "c1Last", "c15Phone", "c16Email"});
  const ColumnLookup current({"docid", "c0First", "c1Last", "c7OrganizationPhonetic", "c16Phone", "c17Email"});
  EXPECT_EQ(old.FindNumbered("Phone"), 3);
  EXPECT_EQ(current.FindNumbered("Phone"), 4);
  EXPECT_EQ(current.FindNumbered("email"), 5);
  // The kind is the whole rest of the name: "Organization" is not
  // "OrganizationPhonetic", nor is a name without a number a kind.
  EXPECT_EQ(current.FindNumbered("Organization"), -1);
  EXPECT_EQ(ColumnLookup({"cPhone", "Phone"}).FindNumbered("Phone"), -1);
  EXPECT_EQ(ColumnLookup().FindNumbered("Phone", 16), 16);
}

// --- contacts ---

TEST_F(CurrentLayouts, ContactsOfTheCurrentSearchTableAreReadByKind) {
  const fs::path db = Book(gen::SearchLayout::kCurrent);
  const ContactColumns columns = LoadContactColumns(db);
  EXPECT_EQ(columns.phone, 17);  // c16Phone behind docid
  EXPECT_EQ(columns.email, 18);
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  std::map<std::string, const ContactRecord*> byName;
  for (const ContactRecord& c : contacts) byName[c.name] = &c;
  ASSERT_TRUE(byName.count("Ann Lee"));
  EXPECT_EQ(byName["Ann Lee"]->phones, "555-200-0000");
  EXPECT_EQ(byName["Ann Lee"]->email, "ann.lee@example.com");
  ASSERT_TRUE(byName.count("Eve Park"));
  EXPECT_EQ(byName["Eve Park"]->company, "Initech");
  EXPECT_EQ(byName["Eve Park"]->phones, "555-200-0004\n07700-900456");
  ASSERT_TRUE(byName.count("Carl Young"));  // e-mail only
  EXPECT_EQ(byName["Carl Young"]->email, "carl.young@example.org");
  EXPECT_TRUE(byName.count("No Name"));
  EXPECT_EQ(contacts.size(), 12u);
}

TEST_F(CurrentLayouts, WithoutASearchTableThePersonTablesGiveTheContacts) {
  const fs::path db = Book(gen::SearchLayout::kNone);
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  EXPECT_EQ(maxRowId, 12);
  std::map<std::string, const ContactRecord*> byName;
  for (const ContactRecord& c : contacts) byName[c.name] = &c;
  ASSERT_TRUE(byName.count("Ann Lee"));
  EXPECT_EQ(byName["Ann Lee"]->phones, gen::DemoPhoneE164(0));
  EXPECT_EQ(byName["Ann Lee"]->email, "ann.lee@example.com");
  ASSERT_TRUE(byName.count("Carl Young"));
  EXPECT_EQ(byName["Carl Young"]->phones, "");
  EXPECT_EQ(byName["Eve Park"]->company, "Initech");
  EXPECT_EQ(contacts.size(), 12u);

  // An empty search table counts as none; the look-ups of the other scans
  // find the persons' numbers in their international form.
  ExecSql(db, "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY, c0First, c1Last, c16Phone);");
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(db), 0);
  std::vector<ContactRecord> rows;
  ASSERT_EQ(ReadAddressBook(reader, db, rows), 0);
  ASSERT_EQ(rows.size(), 12u);
  EXPECT_EQ(CallContactName(gen::DemoPhoneE164(4), rows), "Eve Park");
}

TEST_F(CurrentLayouts, APersonTableNumberIsFoundInItsDigitsToo) {
  const fs::path db = Book(gen::SearchLayout::kNone, 5);
  ExecSql(db, "UPDATE ABMultiValue SET value = '+1 (555) 200-0003' WHERE record_id = 4 AND property = 3;"
              "INSERT INTO ABMultiValue (record_id, property, identifier, label, value) "
              "VALUES (4, 3, 1, 1, '+1 (555) 200-0003');"  // the same number twice: listed once
              "INSERT INTO ABMultiValue (record_id, property, identifier, label, value) "
              "VALUES (99, 3, 0, 1, '+15559999999');");     // a person that is not there
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  const auto dana = std::find_if(contacts.begin(), contacts.end(), [](const auto& c) { return c.name == "Dana Wu"; });
  ASSERT_NE(dana, contacts.end());
  EXPECT_EQ(dana->phones, "+1 (555) 200-0003");
  // The number of a person that is not there is kept, nameless, as a live
  // contact: nothing says it was deleted.
  const auto lone = std::find_if(contacts.begin(), contacts.end(),
                                 [](const auto& c) { return c.phones.find("+15559999999") != std::string::npos; });
  ASSERT_NE(lone, contacts.end());
  EXPECT_EQ(lone->name, "No Name");
  EXPECT_EQ(lone->deleted, 0);
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(db), 0);
  std::vector<ContactRecord> rows;
  ReadAddressBook(reader, db, rows);
  EXPECT_EQ(CallContactName("+15552000003", rows), "Dana Wu");
  EXPECT_EQ(CallContactName("+15559999999", rows), "");
}

TEST_F(CurrentLayouts, WithoutASearchTableTheRowDumpHoldsThePersonRowsOfTheChosenContacts) {
  const fs::path db = Book(gen::SearchLayout::kNone);
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  auto lines = [](const std::string& text) {
    size_t n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++n;
    return n;
  };
  // Everything: one line per person row.
  ASSERT_EQ(DumpContactRows(db, Path("all.csv"), maxRowId), 0);
  EXPECT_EQ(lines(ReadAll(Path("all.csv"))), 12u);
  // Two chosen contacts: their rows, and only theirs.
  const std::set<std::string> chosen = {"Ann Lee", "Eve Park"};
  const ContactRowFilter keep = [&](const ContactRecord& c) { return chosen.count(c.name) != 0; };
  ASSERT_EQ(DumpContactRows(db, Path("chosen.csv"), maxRowId, keep), 0);
  const std::string dump = ReadAll(Path("chosen.csv"));
  EXPECT_EQ(lines(dump), 2u) << dump;
  EXPECT_NE(dump.find("\"Ann\""), std::string::npos) << dump;
  EXPECT_NE(dump.find("\"Eve\""), std::string::npos) << dump;
  EXPECT_EQ(dump.find("\"Carl\""), std::string::npos) << dump;
}

// Deleted persons of the person tables: a freed cell loses its rowid with
// its first bytes, and with it the tie to the person's numbers (rows of their
// own, naming the person by rowid). Nothing of either is lost, and nothing is
// joined by guess: a recovered name shows only numbers of a person of that
// name, a nameless recovered contact only one person's numbers, and every
// deleted person's number still in the file is shown.
TEST_F(CurrentLayouts, RecoveredPersonsAndTheirNumbersAreKeptApartWhereTheRowidIsLost) {
  const fs::path db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 300;
  shape.search = gen::SearchLayout::kNone;
  const gen::AddressBookTruth truth = gen::BuildAddressBook(db, shape);
  std::map<std::string, std::set<std::string>> numbersOfName;  // of deleted persons
  std::map<std::string, const gen::PersonTruth*> personOfNumber;
  for (const gen::PersonTruth& p : truth.deleted) {
    const std::string number = gen::DemoPhoneE164(static_cast<int>(p.rowid - 1));
    numbersOfName[JoinPersonName(p.first, p.last)].insert(p.phoneText.empty() ? "" : number);
    if (!p.phoneText.empty()) personOfNumber[number] = &p;
  }
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  std::set<std::string> shownNumbers;
  size_t namesAlone = 0, numbersAlone = 0;
  for (const ContactRecord& c : contacts) {
    if (!c.deleted) continue;
    std::set<const gen::PersonTruth*> owners;
    for (const std::string& n : c.numbers) {
      shownNumbers.insert(n);
      ASSERT_TRUE(personOfNumber.count(n)) << c.name << " shows " << n << ", no deleted person's number";
      owners.insert(personOfNumber[n]);
    }
    EXPECT_LE(owners.size(), 1u) << c.name << " shows the numbers of several persons";
    if (c.name == "No Name") {
      numbersAlone += !owners.empty() && !JoinPersonName((*owners.begin())->first, (*owners.begin())->last).empty();
      continue;
    }
    ASSERT_TRUE(numbersOfName.count(c.name)) << c.name << " is no deleted person";
    for (const std::string& n : c.numbers) EXPECT_TRUE(numbersOfName[c.name].count(n)) << c.name << " shows " << n;
    namesAlone += c.numbers.empty() && c.email.empty();
  }
  const std::string bytes = ReadAll(db);
  size_t surviving = 0;
  for (const auto& [number, person] : personOfNumber) {
    if (bytes.find(number) == std::string::npos) continue;
    ++surviving;
    EXPECT_TRUE(shownNumbers.count(number)) << number << " of " << person->first << " " << person->last;
  }
  EXPECT_GT(surviving, 60u);
  // Of this seed's deletions, persons whose rowid is lost and numbers whose
  // person's row is: both shown, each on its own (where the sort index
  // does not join them again).
  EXPECT_GT(namesAlone, 10u);
  EXPECT_GT(numbersAlone, 5u);

  // Such a person chosen for the row dump: its person row is written, found
  // by its name and organization (it has no rowid).
  const auto nameOnly = std::find_if(contacts.begin(), contacts.end(), [](const ContactRecord& c) {
    return c.deleted && c.valuesUnknown;
  });
  ASSERT_NE(nameOnly, contacts.end());
  const std::string chosenName = nameOnly->name, chosenCompany = nameOnly->company;
  const ContactRowFilter keep = [&](const ContactRecord& c) {
    return c.valuesUnknown && c.name == chosenName && c.company == chosenCompany;
  };
  ASSERT_EQ(DumpContactRows(db, Path("chosen.csv"), maxRowId, keep), 0);
  const std::string dump = ReadAll(Path("chosen.csv"));
  EXPECT_NE(dump.find("\"" + nameOnly->firstName + "\""), std::string::npos) << dump;
  EXPECT_NE(dump.find("\"" + nameOnly->lastName + "\""), std::string::npos) << dump;
}

// The sort index on LastSort keeps (sort key, rowid) for each person, and
// its freed entries keep both: a recovered person whose rowid went with its
// cell header is joined again to its numbers where its sort key is its
// own among the recovered persons and the index gives it one rowid that
// no person row has. Each such contact shows that person's numbers and
// nothing else's; one chosen for the row dump has its person row written.
TEST_F(CurrentLayouts, ThePersonSortIndexGivesBackALostRowid) {
  const fs::path db = Path("AddressBook.sqlitedb");
  gen::AddressBookShape shape;
  shape.persons = 600;
  shape.search = gen::SearchLayout::kNone;
  const gen::AddressBookTruth truth = gen::BuildAddressBook(db, shape);
  std::map<std::string, const gen::PersonTruth*> personOfNumber;
  for (const gen::PersonTruth& p : truth.deleted) {
    if (!p.phoneText.empty()) personOfNumber[gen::DemoPhoneE164(static_cast<int>(p.rowid - 1))] = &p;
  }
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanContacts(db, contacts, maxRowId), 0);
  size_t linked = 0;
  std::set<int64_t> rowids;
  const ContactRecord* chosen = nullptr;
  for (const ContactRecord& c : contacts) {
    if (!c.rowidFromSortIndex) continue;
    ++linked;
    chosen = &c;
    EXPECT_TRUE(c.deleted);
    EXPECT_FALSE(c.valuesUnknown);
    EXPECT_TRUE(rowids.insert(c.personRowId).second) << c.personRowId << " given twice";
    ASSERT_FALSE(c.numbers.empty()) << c.name;
    for (const std::string& n : c.numbers) {
      ASSERT_TRUE(personOfNumber.count(n)) << c.name << " shows " << n;
      const gen::PersonTruth& owner = *personOfNumber[n];
      EXPECT_EQ(owner.rowid, c.personRowId) << c.name;
      EXPECT_EQ(JoinPersonName(owner.first, owner.last), c.name) << n;
    }
  }
  EXPECT_GT(linked, 15u);
  ASSERT_NE(chosen, nullptr);
  const ContactRowFilter keep = [&](const ContactRecord& c) {
    return c.rowidFromSortIndex && c.personRowId == chosen->personRowId;
  };
  ASSERT_EQ(DumpContactRows(db, Path("chosen.csv"), maxRowId, keep), 0);
  const std::string dump = ReadAll(Path("chosen.csv"));
  EXPECT_NE(dump.find("\"" + chosen->firstName + "\""), std::string::npos) << dump;
  EXPECT_NE(dump.find("\"" + chosen->lastName + "\""), std::string::npos) << dump;
}

TEST(PersonNames, AreJoinedWithASpace) {
  EXPECT_EQ(JoinPersonName("Ann", "Lee"), "Ann Lee");
  EXPECT_EQ(JoinPersonName("Ann", ""), "Ann");
  EXPECT_EQ(JoinPersonName("", "Lee"), "Lee");
  EXPECT_EQ(JoinPersonName("", ""), "");
}

// --- call history ---

TEST_F(CurrentLayouts, CallsOfTheCurrentStoreAreReadByName) {
  const fs::path book = Book(gen::SearchLayout::kCurrent);
  const fs::path store = Path("CallHistory.storedata");
  gen::FamilyOptions options;
  const std::vector<gen::GenCall> rows = gen::CurrentCallRows(options);
  gen::BuildCurrentCallRecordDb(store, rows);
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(store, book, calls), 0);
  size_t live = 0;
  for (const gen::GenCall& c : rows) live += c.deleted ? 0 : 1;
  size_t liveFound = 0;
  for (const CallRecord& c : calls) liveFound += c.deleted ? 0 : 1;
  EXPECT_EQ(liveFound, live);
  auto find = [&](const std::string& address) -> const CallRecord* {
    for (const CallRecord& c : calls) {
      if (c.address == address && !c.deleted) return &c;
    }
    return nullptr;
  };
  // The address is a blob; the date a real since 2001; direction by name.
  const CallRecord* alice = find("+447700900001");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(alice->date, "2014-05-13 16:53:20");
  EXPECT_EQ(alice->duration, 125);
  EXPECT_EQ(alice->incoming, 1);
  EXPECT_FALSE(CallNotConnected(*alice));
  // Missed although the phone counted 14 seconds of ringing.
  const CallRecord* missed = find("+447700900021");
  ASSERT_NE(missed, nullptr);
  EXPECT_EQ(missed->answered, 0);
  EXPECT_EQ(missed->duration, 14);
  EXPECT_TRUE(CallNotConnected(*missed));
  // Answered and ended at once: connected, 0 seconds.
  const CallRecord* brief = find("+447700900022");
  ASSERT_NE(brief, nullptr);
  EXPECT_FALSE(CallNotConnected(*brief));
  const CallRecord* video = find("+447700900023");
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->kind, CallKind::kFaceTimeVideo);
  EXPECT_EQ(video->incoming, 0);
  EXPECT_EQ(video->service, "com.apple.FaceTime");
  const CallRecord* audio = find("friend@example.com");
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->kind, CallKind::kFaceTimeAudio);
  EXPECT_STREQ(CallKindText(audio->kind), "FaceTime Audio");
  // The name the phone stored, where no contact has the number; a contact's
  // name wins where one has it.
  EXPECT_EQ(find("+447700900024")->name, "Dr Office");
  const CallRecord* known = find(gen::DemoPhoneE164(7));
  ASSERT_NE(known, nullptr);
  EXPECT_FALSE(known->name.empty());
  EXPECT_EQ(known->location, "United Kingdom");
}

TEST_F(CurrentLayouts, DeletedCallsOfTheCurrentStoreComeBackWhole) {
  // The current table has more columns than that of iOS 8; the searches of
  // free space must read its deleted rows with its own column count.
  const fs::path store = Path("CallHistory.storedata");
  gen::FamilyOptions options;
  options.scale = 6;
  const std::vector<gen::GenCall> rows = gen::CurrentCallRows(options);
  gen::BuildCurrentCallRecordDb(store, rows);
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(store, Book(gen::SearchLayout::kCurrent), calls), 0);
  int deleted = 0, back = 0, wrong = 0;
  for (const gen::GenCall& c : rows) {
    if (!c.deleted) continue;
    ++deleted;
    const std::string date = FormatLocalDateTime(c.unixDate);
    const auto it = std::find_if(calls.begin(), calls.end(), [&](const CallRecord& r) {
      return r.deleted && r.address == c.address && r.date == date;
    });
    if (it == calls.end()) {
      std::printf("[recovery] calls/current: not back: %s %s\n", c.address.c_str(), date.c_str());
      continue;
    }
    ++back;
    wrong += it->duration != static_cast<int>(c.duration) || it->incoming != (c.incoming ? 1 : 0);
    if (c.answered >= 0) {
      EXPECT_EQ(it->answered, c.answered) << c.address;
    }
    if (c.callType == gen::kCallTypeFaceTimeVideo) {
      EXPECT_EQ(it->kind, CallKind::kFaceTimeVideo) << c.address;
    }
  }
  std::printf("[recovery] calls/current: %d of %d deleted rows back\n", back, deleted);
  EXPECT_GE(deleted, 15);
  // Two rows of this store cannot come back: the bytes of one were written
  // over by later rows, and the other sits alone on the page that became the
  // free list's trunk when the table's last row was deleted.
  EXPECT_GE(back, deleted - 2);
  EXPECT_EQ(wrong, 0);
  // Nothing recovered that the store never held.
  for (const CallRecord& r : calls) {
    if (!r.deleted) continue;
    const bool known = std::any_of(rows.begin(), rows.end(), [&](const gen::GenCall& c) {
      return c.address == r.address && FormatLocalDateTime(c.unixDate) == r.date;
    });
    EXPECT_TRUE(known) << r.address << " " << r.date;
  }
}

TEST_F(CurrentLayouts, WholePagesOfDeletedCallsOnTheFreeListComeBack) {
  // Deleting a long run of calls empties whole pages of the table, which go
  // to the free list; their records have the current table's column count.
  const fs::path store = Path("CallHistory.storedata");
  gen::FamilyOptions options;
  options.scale = 30;
  std::vector<gen::GenCall> rows = gen::CurrentCallRows(options);
  for (gen::GenCall& c : rows) c.deleted = false;
  gen::BuildCurrentCallRecordDb(store, rows);
  ExecSql(store, "DELETE FROM ZCALLRECORD WHERE Z_PK BETWEEN 40 AND 200");
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(store, Book(gen::SearchLayout::kCurrent), calls), 0);
  int back = 0;
  for (size_t i = 39; i < 200 && i < rows.size(); ++i) {
    const std::string date = FormatLocalDateTime(rows[i].unixDate);
    const bool got = std::any_of(calls.begin(), calls.end(), [&](const CallRecord& r) {
      return r.deleted && r.address == rows[i].address && r.date == date &&
             r.duration == static_cast<int>(rows[i].duration);
    });
    back += got;
  }
  std::printf("[recovery] calls/current free pages: %d of 161 deleted rows back\n", back);
  // The rows of the pages that went to the free list as leaves (three pages,
  // 96 rows) come back; the others were on the page that became the free
  // list's trunk, in the unused space of pages the date index took over, or
  // written over.
  EXPECT_GE(back, 75);
}

// Replaces the CREATE statement of `table` as a damaged or forged file
// would hold it (the library then refuses the schema as a whole).
void ForgeSchema(const fs::path& db, const std::string& table, const std::string& sql) {
  ExecSql(db, "PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = '" + sql + "' WHERE name = '" + table +
                  "'; PRAGMA writable_schema=OFF;");
}

TEST_F(CurrentLayouts, ACallSchemaTheLibraryRefusesStillNamesItsColumns) {
  const fs::path book = Book(gen::SearchLayout::kCurrent);
  const fs::path store = Path("CallHistory.storedata");
  const std::vector<gen::GenCall> rows = gen::CurrentCallRows({});
  gen::BuildCurrentCallRecordDb(store, rows);
  // The statement as built, with a column named a second time at its end.
  std::string sql = gen::kCurrentCallRecordTableSql;
  sql.insert(sql.rfind(')'), ", ZDATE TIMESTAMP");
  ForgeSchema(store, "ZCALLRECORD", sql);
  TableSchema refused;
  ASSERT_NE(LoadTableSchema(store, "ZCALLRECORD", refused), 0);

  std::vector<CallRecord> calls;
  ProblemLog problems;
  ASSERT_EQ(ScanCallHistory(store, book, calls, {}, &problems), 0);
  size_t live = 0;
  for (const gen::GenCall& c : rows) live += c.deleted ? 0 : 1;
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const CallRecord& c) { return !c.deleted; }),
            static_cast<std::ptrdiff_t>(live));
  const auto video = std::find_if(calls.begin(), calls.end(),
                                  [](const CallRecord& c) { return c.address == "+447700900023"; });
  ASSERT_NE(video, calls.end());
  EXPECT_EQ(video->kind, CallKind::kFaceTimeVideo);
  EXPECT_EQ(video->duration, 300);
  EXPECT_TRUE(problems.Snapshot().empty());
}

TEST_F(CurrentLayouts, AnUnreadableCallSchemaIsReported) {
  const fs::path store = Path("CallHistory.storedata");
  gen::BuildCurrentCallRecordDb(store, gen::CurrentCallRows({}));
  ForgeSchema(store, "ZCALLRECORD", "CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZADDRESS");
  EXPECT_EQ(ProbeCallLayout(store), CallLayout::kCallRecord);
  std::vector<CallRecord> calls;
  ProblemLog problems;
  ScanCallHistory(store, Book(gen::SearchLayout::kCurrent), calls, {}, &problems);
  // Never a silent zero: whatever the old positions give, the log says the
  // table's columns were not known.
  const std::vector<Problem> said = problems.Snapshot();
  ASSERT_FALSE(said.empty());
  EXPECT_EQ(said[0].category, "call-history");
  EXPECT_NE(said[0].what.find("ZCALLRECORD"), std::string::npos);
}

TEST_F(CurrentLayouts, ACallTableWithoutAnAddressColumnGivesNoCalls) {
  const fs::path store = Path("CallHistory.storedata");
  ExecSql(store, "CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZORIGINATED INTEGER, ZDATE TIMESTAMP, "
                 "ZDURATION FLOAT);"
                 "INSERT INTO ZCALLRECORD VALUES (1, 0, 700000000.5, 12);");
  std::vector<CallRecord> calls;
  ProblemLog problems;
  EXPECT_EQ(ScanCallHistory(store, Path("none.sqlitedb"), calls, {}, &problems), ENOENT);
  EXPECT_TRUE(calls.empty());
  // Never a silent zero: the log says why.
  const std::vector<Problem> said = problems.Snapshot();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].category, "call-history");
  EXPECT_TRUE(said[0].whole);
  EXPECT_NE(said[0].what.find("number"), std::string::npos);
}

// --- messages ---

class CurrentMessages : public CurrentLayouts {
 protected:
  void SetUp() override {
    CurrentLayouts::SetUp();
    book_ = Book(gen::SearchLayout::kCurrent);
    sms_ = Path("sms.db");
    gen::CurrentSmsShape shape;
    shape.fillerMessages = 30;
    truth_ = gen::BuildCurrentSmsDb(sms_, shape);
    int64_t maxRowId = 0;
    ASSERT_EQ(ScanMessages(sms_, book_, map_, maxRowId), 0);
  }
  const MessageRecord* Find(const std::string& text) const {
    for (const auto& [key, list] : map_) {
      for (const MessageRecord& m : list) {
        if (m.text == text) return &m;
      }
    }
    return nullptr;
  }
  fs::path book_, sms_;
  gen::CurrentSmsTruth truth_;
  ConversationMap map_;
};

TEST_F(CurrentMessages, EveryLiveMessageIsDeliveredOnce) {
  std::multiset<std::string> found;
  for (const auto& [key, list] : map_) {
    for (const MessageRecord& m : list) {
      if (!m.deleted || m.recentlyDeleted) found.insert(m.text);
    }
  }
  for (const gen::CurrentSmsMessage& m : truth_.messages) {
    if (m.deleted) continue;
    EXPECT_EQ(found.count(m.text), 1u) << m.text;
  }
  // No reaction shows as a message of its own (only the one whose message
  // is not there).
  for (const std::string& text : found) {
    EXPECT_EQ(text.find("Loved"), std::string::npos);
    EXPECT_EQ(text.find("Laughed"), std::string::npos);
  }
}

TEST_F(CurrentMessages, GroupChatsAreConversationsWithSenders) {
  const MessageRecord* trail = Find("Trail at 9?");
  ASSERT_NE(trail, nullptr);
  EXPECT_TRUE(trail->group);
  EXPECT_TRUE(IsGroupConversationKey(trail->handleId));
  EXPECT_EQ(trail->contactName, "Hiking Club");
  EXPECT_EQ(trail->senderName(), "Ann Lee");
  EXPECT_EQ(trail->senderAddress(), gen::DemoPhoneE164(0));
  EXPECT_EQ(trail->senderHandleId(), 1);
  const std::vector<MessageRecord>& hiking = map_.at(trail->handleId);
  ASSERT_EQ(hiking.size(), 3u);  // the deleted group message lost its chat with its join row
  EXPECT_EQ(hiking[1].text, "Count me in");
  EXPECT_EQ(hiking[1].senderName(), "Eve Park");
  EXPECT_EQ(hiking[2].fromMe, 1);
  EXPECT_EQ(hiking[2].text, "Great, I'll bring snacks");
  // Not in Ann's one-to-one conversation.
  for (const MessageRecord& m : map_.at(1)) EXPECT_NE(m.text, "Trail at 9?");

  // A group without a name is labelled by its members.
  const MessageRecord* unnamed = Find("Hello you two");
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(unnamed->contactName, "Ann Lee, Eve Park");
  EXPECT_EQ(unnamed->address, gen::DemoPhoneE164(0) + ", " + gen::DemoPhoneE164(4));
  EXPECT_EQ(map_.at(unnamed->handleId).size(), 2u);

  // One-to-one chats keep their conversation per handle and their label.
  const MessageRecord* hello = Find("Hello! Yes we are");
  ASSERT_NE(hello, nullptr);
  EXPECT_FALSE(hello->group);
  EXPECT_EQ(hello->handleId, 1);
  EXPECT_EQ(hello->contactName, "Ann Lee");
  // A join row naming a chat that is not there leaves the message with its handle.
  const MessageRecord* stray = Find("Stray message");
  ASSERT_NE(stray, nullptr);
  EXPECT_EQ(stray->handleId, 2);
}

TEST_F(CurrentMessages, ReactionsSitOnTheMessageTheyPointAt) {
  const MessageRecord* hello = Find("Hello! Yes we are");
  ASSERT_NE(hello, nullptr);
  EXPECT_EQ(hello->reactions(), "\u2665 Me");
  EXPECT_EQ(MessageDisplayText(*hello), "Hello! Yes we are\n\u2665 Me");
  // A laugh taken back leaves only the like.
  const MessageRecord* trail = Find("Trail at 9?");
  ASSERT_NE(trail, nullptr);
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(book_), 0);
  std::vector<ContactRecord> rows;
  ReadAddressBook(reader, book_, rows);
  const std::string sixth = CallContactName(gen::DemoPhoneE164(5), rows);
  ASSERT_FALSE(sixth.empty());
  EXPECT_EQ(trail->reactions(), "\U0001F44D " + sixth);
  // A reaction to a message that is not there stays a message.
  EXPECT_NE(Find("Liked \u201Can old message\u201D"), nullptr);
}

TEST_F(CurrentMessages, EditsUnsendsRepliesAndAttachments) {
  const MessageRecord* edited = Find("See you at 7");
  ASSERT_NE(edited, nullptr);
  EXPECT_TRUE(edited->edited);
  const MessageRecord* unsent = Find("This message was unsent.");
  ASSERT_NE(unsent, nullptr);
  EXPECT_TRUE(unsent->unsent);
  EXPECT_EQ(unsent->fromMe, 1);
  const MessageRecord* reply = Find("Yes, see you there");
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->replyTo(), "Hi Ann, are we still on for tonight?");
  EXPECT_EQ(MessageDisplayText(*reply), "Reply to \u201CHi Ann, are we still on for tonight?\u201D\nYes, see you there");
  EXPECT_EQ(MessageDisplayText(*edited), "See you at 7 (Edited)");
  const MessageRecord* photos = nullptr;
  for (const MessageRecord& m : map_.at(1)) {
    if (m.attachmentNames().size() == 2) photos = &m;
  }
  ASSERT_NE(photos, nullptr);
  // The marks of the attachments are no text; the names are shown instead.
  EXPECT_EQ(photos->text, "");
  EXPECT_EQ(MessageDisplayText(*photos), "IMG_4001.HEIC, IMG_4002.HEIC");
  EXPECT_NE(photos->attachmentNames()[1].find("IMG_4002.HEIC"), std::string::npos);
  EXPECT_EQ(photos->attachmentName, photos->attachmentNames()[0]);
}

TEST_F(CurrentMessages, RecentlyDeletedMessagesAreDeletedInTheirChat) {
  const MessageRecord* oops = Find("Oops, wrong chat");
  ASSERT_NE(oops, nullptr);
  EXPECT_EQ(oops->deleted, 1);
  EXPECT_TRUE(oops->recentlyDeleted);
  EXPECT_EQ(oops->handleId, 1);
  // A row deleted from a group chat comes back from free space; its chat
  // went with its join row, so it stays with its handle.
  const MessageRecord* gone = Find("Deleted group message");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->deleted, 1);
  EXPECT_FALSE(gone->recentlyDeleted);
  EXPECT_FALSE(gone->group);
  EXPECT_EQ(gone->handleId, 6);
}

TEST_F(CurrentLayouts, MessagesWithoutChatTablesStayWithTheirHandles) {
  const fs::path book = Book(gen::SearchLayout::kCurrent);
  const fs::path sms = Path("sms.db");
  gen::BuildCurrentSmsDb(sms, {});
  ExecSql(sms, "DROP TABLE chat; DROP TABLE chat_recoverable_message_join;");
  ConversationMap map;
  int64_t maxRowId = 0;
  ProblemLog problems;
  ASSERT_EQ(ScanMessages(sms, book, map, maxRowId, {}, &problems), 0);
  EXPECT_TRUE(problems.Empty());  // a store without chats is an older one, not a damaged one
  for (const auto& [key, list] : map) {
    EXPECT_FALSE(IsGroupConversationKey(key));
    for (const MessageRecord& m : list) EXPECT_FALSE(m.group);
  }
  // The reactions still find their messages.
  bool loved = false;
  for (const MessageRecord& m : map.at(1)) loved = loved || m.reactions() == "\u2665 Me";
  EXPECT_TRUE(loved);
}

TEST_F(CurrentLayouts, AChatJoinWithoutItsColumnsIsReported) {
  const fs::path book = Book(gen::SearchLayout::kCurrent);
  const fs::path sms = Path("sms.db");
  gen::BuildCurrentSmsDb(sms, {});
  // A join table of another shape: the group messages stay with their
  // handles, and the scan says why.
  ExecSql(sms, "DROP TABLE chat_message_join; CREATE TABLE chat_message_join (a INTEGER, b INTEGER);"
               "INSERT INTO chat_message_join VALUES (3, 9);");
  ConversationMap map;
  int64_t maxRowId = 0;
  ProblemLog problems;
  ASSERT_EQ(ScanMessages(sms, book, map, maxRowId, {}, &problems), 0);
  for (const auto& [key, list] : map) EXPECT_FALSE(IsGroupConversationKey(key));
  EXPECT_FALSE(map.at(1).empty());
  const std::vector<Problem> said = problems.Snapshot();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].what.find("chat_message_join"), std::string::npos);
  EXPECT_FALSE(said[0].whole);
}

TEST(MessageColumnsByName, OlderTablesKeepTheirPositions) {
  const MessageColumns historical = MessageColumns::Historical();
  EXPECT_EQ(historical.LayOut(), 22);
  EXPECT_EQ(historical.associatedType, -1);
  // A table that moved its columns is read where they are.
  const MessageColumns moved = MessageColumns::From(
      ColumnLookup({"ROWID", "text", "guid", "date", "handle_id", "is_from_me", "associated_message_type"}));
  EXPECT_EQ(moved.text, 1);
  EXPECT_EQ(moved.guid, 2);
  EXPECT_EQ(moved.date, 3);
  EXPECT_EQ(moved.attributedBody, -1);
  EXPECT_EQ(moved.associatedType, 6);
  EXPECT_EQ(moved.LayOut(), 7);
}

TEST(ReactionMarks, ForAddedAndRemovedReactions) {
  EXPECT_EQ(ReactionMark(2000), "\u2665");
  EXPECT_EQ(ReactionMark(3000), "\u2665");
  EXPECT_EQ(ReactionMark(2005), "?");
  EXPECT_EQ(ReactionMark(2006), "");
  EXPECT_EQ(ReactionMark(1000), "");
}

// --- WeChat ---

TEST_F(CurrentLayouts, WeChatTablesWithMovedColumnsAreReadByName) {
  const fs::path db = Path("MM.sqlite");
  const std::string table = WeChatTableOf("wxid_friend");
  ExecSql(db, "CREATE TABLE Friend (NickName TEXT, UsrName TEXT, Type INTEGER);"
              "INSERT INTO Friend VALUES ('Friend', 'wxid_friend', 3);"
              "CREATE TABLE " + table + " (MesLocalID INTEGER PRIMARY KEY, Message TEXT, Des INTEGER, "
              "CreateTime INTEGER, Status INTEGER);"
              "INSERT INTO " + table + " VALUES (1, 'hello from a friend', 1, 1700000000, 2);"
              "INSERT INTO " + table + " VALUES (2, 'my answer', 0, 1700000060, 2);");
  PeerChatMap chats;
  ASSERT_EQ(ScanWeChat(db, chats), 0);
  ASSERT_EQ(chats.count("wxid_friend"), 1u);
  const std::vector<PeerChatRecord>& messages = chats.at("wxid_friend");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text, "hello from a friend");
  EXPECT_EQ(messages[0].date, "2023-11-14 22:13:20");
  EXPECT_EQ(messages[0].incoming, 0);
  EXPECT_EQ(messages[1].incoming, 1);
}

// --- WhatsApp ---

TEST_F(CurrentLayouts, WhatsAppGroupMessagesNameTheirMember) {
  const fs::path db = Path("ChatStorage.sqlite");
  gen::BuildWhatsAppDb(db, gen::CurrentWhatsAppContent({}));
  WhatsAppChatMap chats;
  ASSERT_EQ(ScanWhatsApp(db, chats), 0);
  ASSERT_TRUE(chats.count(3));
  std::map<std::string, const ChatMessageRecord*> byText;
  for (const ChatMessageRecord& m : chats.at(3)) byText[m.text] = &m;
  ASSERT_TRUE(byText.count("Group hello from Dora"));
  EXPECT_EQ(byText["Group hello from Dora"]->senderName, "Dora");
  EXPECT_EQ(byText["Group hello from Dora"]->senderAddress, "+447700900004");
  ASSERT_TRUE(byText.count("Kim writes to the group"));
  EXPECT_EQ(byText["Kim writes to the group"]->senderName, "Kim from work");
  ASSERT_TRUE(byText.count("A member without a name"));
  EXPECT_EQ(WhatsAppSpeaker(*byText["A member without a name"]), "+447700900012");
  EXPECT_EQ(WhatsAppSpeaker(*byText["Me in the group"]), "Me");
  // A linked id is no number: its push name, else its digits without "+".
  ASSERT_TRUE(byText.count("Lou hides the number"));
  EXPECT_EQ(WhatsAppSpeaker(*byText["Lou hides the number"]), "Lou");
  ASSERT_TRUE(byText.count("Nameless linked id"));
  EXPECT_EQ(WhatsAppSpeaker(*byText["Nameless linked id"]), "987654321098765");
  // One-to-one chats: the partner's number with "+".
  ASSERT_TRUE(chats.count(1));
  EXPECT_EQ(chats.at(1).front().senderAddress, "+447700900001");
}

TEST(WhatsAppJids, NumbersGetTheirPlus) {
  EXPECT_EQ(WhatsAppJidAddress("447700900001@s.whatsapp.net"), "+447700900001");
  EXPECT_EQ(WhatsAppJidAddress("447700900001-1400000000@g.us"), "447700900001-1400000000");
  EXPECT_EQ(WhatsAppJidAddress("447700900005"), "447700900005");  // not a JID
  EXPECT_EQ(WhatsAppJidAddress(""), "");
  // A linked id hides the member's number: its digits are no phone number.
  EXPECT_EQ(WhatsAppJidAddress("123456789012345@lid"), "123456789012345");
  EXPECT_EQ(WhatsAppJidAddress("447700900001:12@s.whatsapp.net"), "+447700900001");
  EXPECT_EQ(WhatsAppJidAddress("447700900001@c.us"), "+447700900001");
}

}  // namespace
}  // namespace orbanix
