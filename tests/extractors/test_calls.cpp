// Call history: both layouts from generated databases, names from a small
// address book, dates of every stored form, recovery of deleted calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <unistd.h>

#include "extractors/calls.h"
#include "extractors/contacts.h"
#include "platform/text.h"
#include "sqlite_pages/db_file_reader.h"
#include "tests/extractors/test_support.h"
#include "tools/backupgen/family_calls.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using gen::FixtureDb;
using gen::GenCall;
using gen::Value;

class CallHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("orbanix-calls-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    book_ = dir_ / "AddressBook.sqlitedb";
    BuildBook(book_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The search table of the address book: docid, then text columns; first
  // name 1, last name 2, phones 16.
  static void BuildBook(const fs::path& path) {
    FixtureDb db(path);
    std::string sql = "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY";
    for (int i = 0; i < 24; ++i) sql += Format(", c%dcol TEXT", i);
    db.Exec(sql + ")");
    auto person = [&](const std::string& first, const std::string& last, const std::string& phones) {
      std::vector<Value> v(24, Value(nullptr));
      v[0] = first;
      v[1] = last;
      v[15] = phones;
      std::string insert = "INSERT INTO ABPersonFullTextSearch_content VALUES (NULL";
      for (int i = 0; i < 24; ++i) insert += ",?";
      db.Run(insert + ")", v);
    };
    person("Alice", "Smith", "44 +44 7700 900001 07700900001 +447700900001 ");
    person("Bob", "", "+447700900002 07700900002 ");
    person("Short", "Number", "1234 ");
    person("First", "Match", "+447700900005 ");
    person("Second", "Match", "+447700900005 ");
  }

  const GenCall* Expected(const std::vector<GenCall>& rows, const CallRecord& r, bool appleDates) const {
    for (const GenCall& c : rows) {
      if (c.address == r.address && FormatLocalDateTime(c.unixDate) == r.date) return &c;
    }
    (void)appleDates;
    return nullptr;
  }

  // Recovered rows that match a deleted call, and those that match nothing.
  void CountRecovery(const char* layout, const std::vector<GenCall>& rows, const std::vector<CallRecord>& calls,
                     int& recovered, int& phantoms) const {
    std::set<std::string> found;
    recovered = phantoms = 0;
    int deleted = 0;
    for (const GenCall& c : rows) deleted += c.deleted;
    for (const CallRecord& r : calls) {
      if (!r.deleted) continue;
      const GenCall* c = Expected(rows, r, true);
      if (c == nullptr) {
        ++phantoms;
      } else if (c->deleted && found.insert(r.address + r.date).second) {
        ++recovered;
      }
    }
    std::printf("[recovery] calls/%s: %d of %d deleted rows back, %d phantom records, %zu records in all\n", layout,
                recovered, deleted, phantoms, calls.size());
  }

  fs::path dir_;
  fs::path book_;
};

TEST_F(CallHistoryTest, OlderLayoutReadsEveryLiveCallWithDirectionDurationAndName) {
  const fs::path db = dir_ / "call_history.db";
  const std::vector<GenCall> rows = gen::CallRows({});
  gen::BuildCallHistoryDb(db, rows);
  EXPECT_EQ(ProbeCallLayout(db), CallLayout::kCallTable);

  std::vector<CallRecord> calls;
  calls.push_back(CallRecord{});  // the scan appends
  ASSERT_EQ(ScanCallHistory(db, book_, calls), status::kOk);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_TRUE(calls.front().address.empty());
  calls.erase(calls.begin());

  int live = 0;
  for (const GenCall& c : rows) live += !c.deleted;
  std::vector<CallRecord> liveCalls;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(liveCalls), [](const CallRecord& r) { return !r.deleted; });
  ASSERT_EQ(static_cast<int>(liveCalls.size()), live);
  for (const CallRecord& r : liveCalls) {
    const GenCall* c = Expected(rows, r, false);
    ASSERT_NE(c, nullptr) << r.address << " " << r.date;
    EXPECT_FALSE(c->deleted);
    EXPECT_EQ(r.incoming, c->incoming ? 1 : 0) << r.address;  // flags 1 and 5 are both outgoing
    EXPECT_EQ(r.duration, static_cast<int>(c->duration)) << r.address;
  }
  auto find = [&](const std::string& address) {
    return std::find_if(liveCalls.begin(), liveCalls.end(), [&](const CallRecord& r) { return r.address == address; });
  };
  EXPECT_EQ(find("+447700900001")->name, "Alice Smith");
  EXPECT_EQ(find("1234")->name, "");                   // 4 characters never get a name
  EXPECT_EQ(find("+447700900005")->name, "First Match"); // the first contact in table order
  EXPECT_EQ(find("07700900003")->name, "");
  // Unanswered calls: incoming (shown "Missed") and outgoing ("Canceled").
  EXPECT_EQ(find("+447700900002")->duration, 0);
  EXPECT_EQ(find("+447700900002")->incoming, 1);
  EXPECT_EQ(find("07700900003")->duration, 0);
  EXPECT_EQ(find("07700900003")->incoming, 0);

  int recovered = 0, phantoms = 0;
  CountRecovery("call", rows, calls, recovered, phantoms);
  EXPECT_GE(recovered, 2);
  EXPECT_EQ(phantoms, 0);
}

TEST_F(CallHistoryTest, RecoveryAtScale) {
  gen::FamilyOptions options;
  options.scale = 40;
  const std::vector<GenCall> rows = gen::CallRows(options);
  gen::BuildCallHistoryDb(dir_ / "call_history.db", rows);
  gen::BuildCallRecordDb(dir_ / "CallHistory.storedata", rows);
  for (const char* name : {"call_history.db", "CallHistory.storedata"}) {
    std::vector<CallRecord> calls;
    ASSERT_EQ(ScanCallHistory(dir_ / name, book_, calls), status::kOk);
    int recovered = 0, phantoms = 0;
    CountRecovery(name, rows, calls, recovered, phantoms);
    EXPECT_EQ(phantoms, 0);
    EXPECT_GT(recovered, 0);
    int copies = 0;
    std::set<std::string> seen;
    for (const CallRecord& r : calls) copies += !seen.insert(r.address + r.date).second;
    EXPECT_EQ(copies, 0);
    // Every recovered call says where it lay in the file, and its number is
    // there; a live call names no place.
    std::ifstream in(dir_ / name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const CallRecord& r : calls) {
      if (r.deleted) {
        EXPECT_TRUE(testing_support::LiesWhereFound(bytes, r.recoveredFrom, r.address))
            << r.address << " said to be at " << RecoveredFromText(r.recoveredFrom);
      } else {
        EXPECT_FALSE(r.recoveredFrom.Known()) << r.address;
      }
    }
  }
}

TEST_F(CallHistoryTest, NamesOfABigBookAreThoseOfTheFirstContactHoldingTheNumber) {
  // Hundreds of contacts and numbers looked up together: each call gets the
  // name of the first contact whose phone text holds its number anywhere
  // (a national form inside an international one, a number only a later
  // contact has, one that none has, a long non-Latin address).
  const fs::path book = dir_ / "Big.sqlitedb";
  {
    FixtureDb db(book);
    std::string sql = "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY";
    for (int i = 0; i < 24; ++i) sql += Format(", c%dcol TEXT", i);
    db.Exec(sql + ")");
    for (int i = 0; i < 400; ++i) {
      std::vector<Value> v(24, Value(nullptr));
      v[0] = "Person" + std::to_string(i);
      v[1] = i % 7 == 0 ? std::string() : "Family" + std::to_string(i % 13);
      v[15] = Format("+4477009%05d 077009%05d ", i, i) + (i % 50 == 49 ? Format("+3361234%04d ", i / 50) : "");
      if (i == 300) v[15] = std::string("\xe5\x8c\x97\xe4\xba\xac\xe5\xb8\x82\xe6\xb5\xb7 ");
      std::string insert = "INSERT INTO ABPersonFullTextSearch_content VALUES (NULL";
      for (int k = 0; k < 24; ++k) insert += ",?";
      db.Run(insert + ")", v);
    }
  }
  std::vector<GenCall> rows;
  for (int i = 0; i < 600; ++i) {
    GenCall c;
    c.unixDate = 1400000000 + i * 60;
    c.duration = i % 5;
    switch (i % 6) {
      case 0: c.address = Format("+4477009%05d", (i * 7) % 400); break;
      case 1: c.address = Format("77009%05d", (i * 11) % 400); break;   // inside both forms
      case 2: c.address = Format("+3361234%04d", (i / 6) % 8); break;   // only every fiftieth contact
      case 3: c.address = Format("+1555%07d", i); break;                // nobody's
      case 4: c.address = i % 12 == 4 ? "\xe5\x8c\x97\xe4\xba\xac\xe5\xb8\x82" : "1234"; break;
      default: c.address = "9001"; break;                                // too short to name
    }
    rows.push_back(c);
  }
  const fs::path db = dir_ / "call_history.db";
  gen::BuildCallHistoryDb(db, rows);
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(db, book, calls), status::kOk);

  // The reference: the book as the call scan reads it, each number looked
  // up on its own.
  std::vector<ContactRecord> people;
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(book), status::kOk);
  ASSERT_EQ(ReadAddressBook(reader, book, people), status::kOk);
  ASSERT_EQ(people.size(), 400u);
  size_t live = 0, named = 0;
  for (const CallRecord& r : calls) {
    if (r.deleted) continue;
    ++live;
    EXPECT_EQ(r.name, CallContactName(r.address, people)) << r.address;
    named += !r.name.empty();
  }
  EXPECT_EQ(live, rows.size());
  EXPECT_GT(named, rows.size() / 3);
  const auto it = std::find_if(calls.begin(), calls.end(), [](const CallRecord& r) { return r.address == "+33612340003"; });
  ASSERT_NE(it, calls.end());
  EXPECT_EQ(it->name, "Person199 Family4");
}

TEST_F(CallHistoryTest, CallsAreSortedByDateAndEqualDatesKeepTableOrder) {
  const fs::path db = dir_ / "call_history.db";
  gen::BuildCallHistoryDb(db, gen::CallRows({}));
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(db, book_, calls), status::kOk);
  EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end(),
                             [](const CallRecord& a, const CallRecord& b) { return a.date < b.date; }));
  // Two calls at 2014-05-13 21:20:00: table order, the second number after the first.
  std::vector<std::string> sameDate;
  for (const CallRecord& r : calls) {
    if (r.date == FormatLocalDateTime(1400014400) && !r.deleted) sameDate.push_back(r.address);
  }
  EXPECT_EQ(sameDate, (std::vector<std::string>{"+447700900002", "+447700900005"}));
}

TEST_F(CallHistoryTest, NewerLayoutReadsRealDatesFromTheAppleEpochAndRealDurations) {
  const fs::path db = dir_ / "CallHistory.storedata";
  const std::vector<GenCall> rows = gen::CallRows({});
  gen::BuildCallRecordDb(db, rows);
  EXPECT_EQ(ProbeCallLayout(db), CallLayout::kCallRecord);
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(db, book_, calls), status::kOk);

  int live = 0;
  for (const GenCall& c : rows) live += !c.deleted;
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const CallRecord& r) { return !r.deleted; }), live);
  for (const CallRecord& r : calls) {
    if (r.deleted) continue;
    const GenCall* c = Expected(rows, r, true);
    ASSERT_NE(c, nullptr) << r.address << " " << r.date;
    EXPECT_EQ(r.incoming, c->incoming ? 1 : 0);
    EXPECT_EQ(r.duration, static_cast<int>(c->duration));  // 61.6 s stored as a real reads 61
  }
  // A date of 2021 (631,152,000.5 seconds since 2001, beyond 2^29) and one
  // with a fraction (421,692,800.25) read as their whole seconds.
  auto has = [&](const std::string& address, const char* date) {
    return std::any_of(calls.begin(), calls.end(),
                       [&](const CallRecord& r) { return r.address == address && r.date == date; });
  };
  EXPECT_TRUE(has("+447700900009", "2021-01-01 00:00:00"));
  EXPECT_TRUE(has("+447700900001", "2014-05-13 16:53:20"));

  int recovered = 0, phantoms = 0;
  CountRecovery("ZCALLRECORD", rows, calls, recovered, phantoms);
  EXPECT_GE(recovered, 2);
  EXPECT_EQ(phantoms, 0);
}

TEST_F(CallHistoryTest, IntegerDatesOfEveryWidthAndBlobAddresses) {
  const fs::path db = dir_ / "CallHistory.storedata";
  {
    FixtureDb f(db);
    f.Exec(gen::kCallRecordTableSql);
    auto add = [&](Value date, Value address, Value originated) {
      f.Run("INSERT INTO ZCALLRECORD (Z_ENT, ZORIGINATED, ZDATE, ZDURATION, ZADDRESS) VALUES (2, ?, ?, 5, ?)",
            {originated, date, address});
    };
    add(int64_t{100}, std::string("+441111111111"), int64_t{0});                  // 1 byte
    add(int64_t{8000000000LL}, std::string("+442222222222"), int64_t{1});         // 6 bytes
    add(int64_t{421692800LL * 1000000000LL}, std::string("+443333333333"), nullptr);  // nanoseconds, 8 bytes
    add(int64_t{421692800}, gen::Blob{"+444444444444"}, int64_t{0});
  }
  std::vector<CallRecord> calls;
  EXPECT_EQ(ScanCallHistory(db, dir_ / "missing.sqlitedb", calls), 2);  // no address book: ENOENT, calls kept
  ASSERT_EQ(calls.size(), 4u);
  auto date = [&](const std::string& address) {
    for (const CallRecord& r : calls) {
      if (r.address == address) return r.date + (r.incoming ? " in" : " out");
    }
    return std::string("none");
  };
  EXPECT_EQ(date("+441111111111"), "2001-01-01 00:01:40 in");
  EXPECT_EQ(date("+442222222222"), FormatLocalDateTime(978307200LL + 8000000000LL) + " out");
  EXPECT_EQ(date("+443333333333"), "2014-05-13 16:53:20 out");  // NULL direction: outgoing
  EXPECT_EQ(date("+444444444444"), "2014-05-13 16:53:20 in");
  for (const CallRecord& r : calls) EXPECT_TRUE(r.name.empty());
}

TEST_F(CallHistoryTest, ControlCharactersAndMissingFieldsDropTheRow) {
  const fs::path db = dir_ / "call_history.db";
  {
    FixtureDb f(db);
    f.Exec(gen::kCallTableSql);
    f.Run("INSERT INTO call (address, date, duration, flags) VALUES (?, ?, 1, 0)", {std::string("+44\x01" "99"), int64_t{1400000000}});
    f.Run("INSERT INTO call (address, date, duration, flags) VALUES (?, ?, 1, 0)", {std::string(""), int64_t{1400000000}});
    f.Run("INSERT INTO call (address, date, duration, flags) VALUES (?, ?, 1, 0)", {std::string("+4455"), nullptr});
    f.Run("INSERT INTO call (address, date, duration, flags) VALUES (?, ?, 7, 3)", {std::string("+4466"), int64_t{1400000000}});
  }
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(db, book_, calls), status::kOk);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].address, "+4466");
  EXPECT_EQ(calls[0].incoming, 0);  // flags 3: outgoing
  EXPECT_EQ(calls[0].date, "2014-05-13 16:53:20");
}

TEST_F(CallHistoryTest, FilesThatAreNotDatabasesEndTheScanWithTheirError) {
  std::vector<CallRecord> calls;
  EXPECT_EQ(ScanCallHistory(dir_ / "absent.db", book_, calls), 2);
  const fs::path junk = dir_ / "junk.db";
  std::ofstream(junk) << std::string(4096, 'x');
  EXPECT_EQ(ScanCallHistory(junk, book_, calls), status::kBadData);
  EXPECT_TRUE(calls.empty());
}

TEST_F(CallHistoryTest, TheSchemaProbeLeavesTheFileUntouched) {
  const fs::path db = dir_ / "CallHistory.storedata";
  gen::BuildCallRecordDb(db, gen::CallRows({}));
  std::ifstream before(db, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(before)), {});
  const auto stamp = fs::last_write_time(db);
  std::vector<CallRecord> calls;
  ASSERT_EQ(ScanCallHistory(db, book_, calls), status::kOk);
  std::ifstream after(db, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), bytes);
  EXPECT_EQ(fs::last_write_time(db), stamp);
  EXPECT_FALSE(fs::exists(dir_ / "CallHistory.storedata-journal"));
  EXPECT_FALSE(fs::exists(dir_ / "CallHistory.storedata-wal"));
}

TEST_F(CallHistoryTest, ACancelLeavesTheListAlone) {
  const fs::path db = dir_ / "call_history.db";
  gen::BuildCallHistoryDb(db, gen::CallRows({}));
  std::vector<CallRecord> calls;
  EXPECT_EQ(ScanCallHistory(db, book_, calls, [](int) { return 1; }), status::kCancelled);
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace orbanix
