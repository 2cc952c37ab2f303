// The message scan: both table layouts, joins, the mended rules, progress,
// recovery and the sms.csv row dump.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <tuple>

#include "extractors/messages.h"
#include "platform/text.h"
#include "sqlite_pages/values.h"
#include "tests/extractors/test_support.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_messages.h"

using namespace orbanix;
using orbanix::testing_support::ExecSql;
using orbanix::testing_support::LiesWhereFound;
using orbanix::testing_support::ScratchTest;
namespace fs = std::filesystem;

namespace {

std::vector<MessageRecord> Flatten(const ConversationMap& map) {
  std::vector<MessageRecord> all;
  for (const auto& [handle, list] : map) {
    for (const MessageRecord& m : list) {
      EXPECT_EQ(m.handleId, handle);
      all.push_back(m);
    }
  }
  return all;
}

class Messages : public ScratchTest {
 protected:
  // An empty sms.db of the given layout for hand-written rows.
  fs::path EmptySms(gen::SmsLayout layout = gen::SmsLayout::kOld38) {
    const auto db = Path("sms.db");
    gen::SmsShape shape;
    shape.layout = layout;
    shape.handles = 0;
    shape.messages = 0;
    shape.deleteRows = false;
    gen::BuildSmsDb(db, shape);
    return db;
  }
  // An address book holding the given (first name, phone text) persons.
  fs::path AddressBook(const std::vector<std::pair<std::string, std::string>>& persons) {
    const auto db = Path("AddressBook.sqlitedb");
    gen::AddressBookShape shape;
    shape.persons = 0;
    shape.deleteRows = false;
    gen::BuildAddressBook(db, shape);
    std::string sql;
    int id = 1;
    for (const auto& [name, phone] : persons) {
      sql += Format("INSERT INTO ABPersonFullTextSearch (docid, First, Phone) VALUES (%d, '%s', '%s');", id++,
                    name.c_str(), phone.c_str());
    }
    ExecSql(db, sql);
    return db;
  }
  static std::string Message(int rowid, const std::string& text, int handle, const std::string& date,
                             int fromMe = 0) {
    return Format(
        "INSERT INTO message (ROWID, guid, text, handle_id, date, is_from_me, account_guid) VALUES "
        "(%d, 'G-%d', %s, %d, %s, %d, '6A1F0C3E-52B7-4D19-9E0A-3C5D7B2F8E41');",
        rowid, rowid, text.c_str(), handle, date.c_str(), fromMe);
  }
};

void ExpectScanMatchesTruth(const gen::SmsTruth& truth, const ConversationMap& map, bool layoutWide) {
  std::vector<MessageRecord> all = Flatten(map);
  std::map<int64_t, const gen::SmsMessageTruth*> byRow;
  for (const auto& m : truth.liveMessages) byRow[m.rowid] = &m;
  size_t live = 0, bodyOnly = 0, pictures = 0;
  for (const MessageRecord& m : all) {
    if (m.deleted) continue;
    ++live;
    ASSERT_TRUE(byRow.count(m.rowId)) << m.rowId;
    const gen::SmsMessageTruth& t = *byRow[m.rowId];
    std::string expectedText = t.text;
    EXPECT_EQ(m.text, expectedText) << m.rowId;
    EXPECT_EQ(m.handleId, t.handleId);
    EXPECT_EQ(m.fromMe, t.fromMe ? 1 : 0);
    EXPECT_EQ(m.date, FormatLocalTime(t.appleSeconds, Epoch::kApple)) << m.rowId;
    EXPECT_EQ(m.attachmentName, t.attachment);
    bodyOnly += t.textColumnNull && !t.text.empty();
    pictures += t.text.empty();
  }
  // Every live message is delivered: those without text carry a picture.
  EXPECT_EQ(live, truth.liveMessages.size());
  EXPECT_GT(pictures, 0u);
  if (layoutWide) {
    EXPECT_GT(bodyOnly, 0u);
  }
  for (size_t i = 1; i < all.size(); ++i) {
    if (all[i].handleId == all[i - 1].handleId) {
      EXPECT_LE(all[i - 1].date, all[i].date);
    }
  }
}

TEST_F(Messages, BothLayoutsDeliverEveryLiveMessage) {
  for (gen::SmsLayout layout : {gen::SmsLayout::kOld38, gen::SmsLayout::kWide}) {
    const bool wide = layout == gen::SmsLayout::kWide;
    SCOPED_TRACE(wide ? "wide" : "38 columns");
    const auto sms = Path(wide ? "wide.db" : "old.db");
    gen::SmsShape shape;
    shape.layout = layout;
    shape.messages = 500;
    shape.deleteRows = false;
    const gen::SmsTruth truth = gen::BuildSmsDb(sms, shape);
    const auto ab = Path("ab.db");
    gen::AddressBookShape abShape;
    abShape.persons = 20;
    abShape.deleteRows = false;
    gen::BuildAddressBook(ab, abShape);
    ConversationMap map;
    int64_t maxRowId = 0;
    ASSERT_EQ(ScanMessages(sms, ab, map, maxRowId), 0);
    EXPECT_EQ(maxRowId, 500);
    ExpectScanMatchesTruth(truth, map, wide);
    // Handle 1 is Ann Lee's number; handle 2 the nameless person's; handle 3
    // has no contact with a number; handle 10 is an e-mail address.
    ASSERT_TRUE(map.count(1) && map.count(2) && map.count(10));
    EXPECT_EQ(map[1].front().address, "+15552000000");
    EXPECT_EQ(map[1].front().contactName, "Ann Lee");
    EXPECT_EQ(map[2].front().contactName, "");
    EXPECT_EQ(map[3].front().contactName, "");
    EXPECT_EQ(map[10].front().address, "friend10@example.com");
    EXPECT_EQ(map[10].front().contactName, "");
    // The row dump writes every column of the layout; the archived body as hex.
    const auto csv = Path(wide ? "wide.csv" : "old.csv");
    ASSERT_EQ(DumpMessageRows(sms, csv, maxRowId), 0);
    const std::string all = ReadAll(csv);
    const std::string first = all.substr(0, all.find("\r\n"));
    EXPECT_EQ(std::count(first.begin(), first.end(), ','), wide ? 77 : 37) << first;
    EXPECT_EQ(first.find("040b73747265616d74797065") != std::string::npos, wide) << first;
    EXPECT_EQ(static_cast<size_t>(std::count(all.begin(), all.end(), '\n')), truth.liveMessages.size());
  }
}

TEST_F(Messages, EmptyTextIsKeptOnlyForLiveMessagesWithAnAttachment) {
  const auto sms = EmptySms();
  ExecSql(sms,
          "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS');" +
              Message(1, "NULL", 1, "400000000") + Message(2, "''", 1, "400000100") +
              Message(3, "'caption'", 1, "400000200") + Message(4, "NULL", 1, "400000300") +
              "INSERT INTO attachment (ROWID, guid, filename) VALUES (1, 'A1', '~/Library/SMS/Attachments/a.jpg');"
              "INSERT INTO attachment (ROWID, guid, filename) VALUES (2, 'A2', '~/Library/SMS/Attachments/b.jpg');"
              "INSERT INTO attachment (ROWID, guid, filename) VALUES (3, 'A3', '~/Library/SMS/Attachments/c.jpg');"
              "INSERT INTO message_attachment_join VALUES (1, 1), (3, 2), (1, 3);");
  ConversationMap map;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanMessages(sms, Path("none.db"), map, maxRowId), 0);
  const std::vector<MessageRecord> all = Flatten(map);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].rowId, 1);
  EXPECT_EQ(all[0].text, "");
  EXPECT_EQ(all[0].attachmentName, "~/Library/SMS/Attachments/a.jpg");  // the first of two
  EXPECT_EQ(all[1].rowId, 3);
  EXPECT_EQ(all[1].attachmentName, "~/Library/SMS/Attachments/b.jpg");
}

TEST_F(Messages, TextsWithAZeroAReplacementCharacterOrBadBytesAreDroppedWherever) {
  // Every position within and across the eight-byte steps of the text check.
  const auto sms = EmptySms();
  std::string sql = "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS');";
  std::set<int64_t> clean;
  int rowid = 0;
  auto add = [&](const std::string& hexText, bool isClean) {
    ++rowid;
    sql += Message(rowid, "CAST(X'" + hexText + "' AS TEXT)", 1, std::to_string(400000000 + rowid));
    if (isClean) clean.insert(rowid);
  };
  const std::string letters = "616263646566676869707172737475767778";  // "abcdefghijpqrstuvwx"
  for (size_t at = 0; at <= 18; ++at) {
    const std::string before = letters.substr(0, 2 * at), after = letters.substr(2 * at);
    add(before + after, true);
    add(before + "00" + after, false);             // a zero byte
    add(before + "EFBFBD" + after, false);         // U+FFFD
    add(before + "FF" + after, false);             // not UTF-8
    add(before + "C3" + after, false);             // a lead byte without its continuation
    add(before + "C3A9" + after, true);            // e acute
    add(before + "F09F9880" + after, true);        // an emoji
    add(before + "EDA080" + after, false);         // a UTF-16 surrogate
  }
  ExecSql(sms, sql);
  ConversationMap map;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanMessages(sms, Path("none.db"), map, maxRowId), 0);
  std::set<int64_t> delivered;
  for (const MessageRecord& m : Flatten(map)) delivered.insert(m.rowId);
  EXPECT_EQ(delivered, clean);
  EXPECT_EQ(maxRowId, rowid);
}

TEST_F(Messages, HandlesContactsAndDatesJoinByTheirRules) {
  const auto sms = EmptySms();
  ExecSql(sms,
          "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS'), (2, '+445550002222', 'SMS'), "
          "(3, '+15550003333', 'SMS');"
          "DELETE FROM handle WHERE ROWID = 3;" +
              Message(1, "'first'", 1, "400000000") + Message(2, "'country code'", 2, "400000100") +
              Message(3, "'handle deleted'", 3, "400000200") + Message(4, "'no date'", 1, "0") +
              Message(5, "'real date'", 1, "400000050.5") + Message(6, "'nanoseconds'", 1, "400000010000000000") +
              Message(7, "'mine'", 1, "400000300", 1));
  const auto ab = AddressBook({{"Zed", "+1 555-000-1111 +15550001111 "},
                               {"Amy", "+15550001111 "},
                               {"Bob", "5550002222 "},
                               {"Cid", "+44 555-000-2222 +445550002222 "}});
  ConversationMap map;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanMessages(sms, ab, map, maxRowId), 0);
  EXPECT_EQ(maxRowId, 7);
  std::map<int64_t, MessageRecord> byRow;
  for (const MessageRecord& m : Flatten(map)) byRow[m.rowId] = m;
  ASSERT_EQ(byRow.size(), 7u);
  // Two contacts hold the number: the first in table order names it.
  EXPECT_EQ(byRow[1].contactName, "Zed");
  // The full international number is found, not the national one alone.
  EXPECT_EQ(byRow[2].address, "+445550002222");
  EXPECT_EQ(byRow[2].contactName, "Cid");
  // A deleted handle that was not recovered with its rowid: no address, still
  // grouped under its handle id.
  EXPECT_EQ(byRow[3].address, "");
  EXPECT_EQ(byRow[3].contactName, "");
  ASSERT_TRUE(map.count(3));
  EXPECT_EQ(byRow[4].date, "");
  EXPECT_EQ(byRow[5].date, "2013-09-04 15:07:30");
  EXPECT_EQ(byRow[6].date, "2013-09-04 15:06:50");
  EXPECT_EQ(byRow[1].date, "2013-09-04 15:06:40");
  EXPECT_EQ(byRow[7].fromMe, 1);
  EXPECT_EQ(byRow[1].fromMe, 0);
  // Undated messages sort first, then by date.
  const std::vector<MessageRecord>& first = map[1];
  ASSERT_EQ(first.size(), 5u);
  EXPECT_EQ(first[0].rowId, 4);
  EXPECT_EQ(first[1].rowId, 1);
  EXPECT_EQ(first[2].rowId, 6);
  EXPECT_EQ(first[3].rowId, 5);
  EXPECT_EQ(first[4].rowId, 7);
}

TEST_F(Messages, LongConversationsSortStablyByDateAndKeepTheirOwnMessages) {
  // Two parties' messages interleaved, many with the same date, some without
  // text (dropped), the dates scrambled against the rowids: each
  // conversation is its own messages in date order, equal dates in table
  // order - the order a stable sort of the whole table by date gives. The
  // large table is read in parts whose stores are joined; a third party
  // whose messages all come late is numbered differently in the last part.
  for (const int count : {1500, 40000}) {
    SCOPED_TRACE(count);
    const auto sms = EmptySms();
    std::string sql =
        "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS'), (2, 'b@example.com', 'iMessage'), "
        "(3, '+15550003333', 'SMS');BEGIN;";
    struct Row {
      int rowid, handle;
      int64_t date;
      bool text;
    };
    std::vector<Row> rows;
    for (int i = 1; i <= count; ++i) {
      const int handle = i > count * 3 / 4 && i % 2 == 0 ? 3 : i % 3 == 0 ? 2 : 1;
      const Row r{i, handle, 400000000 + (i * 7919) % 97 * 60, i % 11 != 0};
      rows.push_back(r);
      sql += Message(r.rowid, r.text ? Format("'m%d'", i) : "NULL", r.handle, std::to_string(r.date));
    }
    ExecSql(sms, sql + "COMMIT;");
    ConversationMap map;
    int64_t maxRowId = 0;
    ASSERT_EQ(ScanMessages(sms, Path("none.db"), map, maxRowId), 0);
    std::erase_if(rows, [](const Row& r) { return !r.text; });
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.date < b.date; });
    for (int handle : {1, 2, 3}) {
      std::vector<int64_t> expected, got;
      for (const Row& r : rows) {
        if (r.handle == handle) expected.push_back(r.rowid);
      }
      for (const MessageRecord& m : map[handle]) {
        got.push_back(m.rowId);
        EXPECT_EQ(m.text, Format("m%lld", static_cast<long long>(m.rowId)));
      }
      EXPECT_EQ(got, expected) << "handle " << handle;
    }
  }
}

TEST_F(Messages, AMissingAddressBookStillDeliversEveryConversation) {
  const auto sms = Path("sms.db");
  gen::SmsShape shape;
  shape.messages = 120;
  shape.deleteRows = false;
  const gen::SmsTruth truth = gen::BuildSmsDb(sms, shape);
  std::ofstream(Path("garbage.db")) << "not a database at all";
  for (const char* book : {"missing.db", "garbage.db"}) {
    ConversationMap map;
    int64_t maxRowId = 0;
    ASSERT_EQ(ScanMessages(sms, Path(book), map, maxRowId), 0) << book;
    const std::vector<MessageRecord> all = Flatten(map);
    EXPECT_EQ(all.size(), truth.liveMessages.size());
    for (const MessageRecord& m : all) EXPECT_EQ(m.contactName, "");
    EXPECT_FALSE(all.front().address.empty());
  }
}

struct ProgressLog {
  std::vector<int> positions;
  int cancelAt = -1;  // answer 2 at this report
  static int Callback(void* user, int position) {
    auto* log = static_cast<ProgressLog*>(user);
    log->positions.push_back(position);
    return static_cast<int>(log->positions.size()) - 1 == log->cancelAt ? 2 : 0;
  }
};

TEST_F(Messages, ProgressIsReportedPerTableAndCancelLeavesTheMapAlone) {
  const auto sms = Path("sms.db");
  gen::SmsShape shape;
  shape.messages = 60;
  gen::BuildSmsDb(sms, shape);
  ProgressLog log;
  ScanProgress progress{&ProgressLog::Callback, &log, 10, 40};
  ConversationMap map;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanMessages(sms, Path("none.db"), map, maxRowId, progress), 0);
  EXPECT_EQ(log.positions, (std::vector<int>{18, 20, 23, 30, 50}));
  EXPECT_FALSE(map.empty());
  for (int at = 0; at < 4; ++at) {
    ProgressLog cancel;
    cancel.cancelAt = at;
    ScanProgress p{&ProgressLog::Callback, &cancel, 10, 40};
    ConversationMap untouched;
    untouched[99].emplace_back();
    EXPECT_EQ(ScanMessages(sms, Path("none.db"), untouched, maxRowId, p), 2) << at;
    EXPECT_EQ(untouched.size(), 1u);
    EXPECT_EQ(cancel.positions.back(), 50);  // the final report still comes
    EXPECT_EQ(cancel.positions.size(), static_cast<size_t>(at) + 2);
  }
  // A message database that cannot be opened is an error, callback or not.
  ProgressLog missing;
  ScanProgress p{&ProgressLog::Callback, &missing, 0, 100};
  EXPECT_EQ(ScanMessages(Path("missing.db"), Path("none.db"), map, maxRowId, p), ENOENT);
  EXPECT_EQ(ScanMessages(Path("missing.db"), Path("none.db"), map, maxRowId), ENOENT);
}

TEST(MessageJoins, FirstContainingEqualsTheNestedSearch) {
  std::mt19937 rng(7);
  for (int round = 0; round < 30; ++round) {
    std::vector<std::string> patterns, texts;
    const char alphabet[] = "0123+ ";
    for (int i = 0; i < 40; ++i) {
      std::string p;
      for (int n = 1 + rng() % 5; n > 0; --n) p += alphabet[rng() % 6];
      patterns.push_back(p);
    }
    patterns.push_back("");
    patterns.push_back(patterns[0]);  // the same pattern twice
    for (int i = 0; i < 60; ++i) {
      std::string t;
      for (int n = rng() % 30; n > 0; --n) t += alphabet[rng() % 6];
      texts.push_back(t);
    }
    std::vector<std::string_view> views(texts.begin(), texts.end());
    const std::vector<int64_t> fast = FirstContaining(patterns, views);
    for (size_t p = 0; p < patterns.size(); ++p) {
      int64_t expected = -1;
      for (size_t t = 0; t < texts.size() && !patterns[p].empty(); ++t) {
        if (texts[t].find(patterns[p]) != std::string::npos) {
          expected = static_cast<int64_t>(t);
          break;
        }
      }
      ASSERT_EQ(fast[p], expected) << "pattern '" << patterns[p] << "' round " << round;
    }
  }
}

TEST(MessageJoins, AttachmentsTakeTheirFirstLinkAndMessagesTheirFirstAttachment) {
  std::vector<AttachmentRecord> attachments = {{0, 5, 0, "a"}, {0, 6, 0, "b"}, {1, 0, 0, "recovered"},
                                               {0, 7, 0, "c"}};
  std::vector<AttachmentLinkRecord> links = {{0, 6, 100}, {0, 5, 100}, {0, 6, 200}, {1, 0, 300}};
  LinkAttachments(attachments, links);
  EXPECT_EQ(attachments[0].messageId, 100);
  EXPECT_EQ(attachments[1].messageId, 100);
  EXPECT_EQ(attachments[2].messageId, 300);
  EXPECT_EQ(attachments[3].messageId, 0);
  std::vector<MessageRecord> messages(3);
  messages[0].rowId = 100;
  messages[1].rowId = 0;  // recovered without rowid: not joined
  messages[2].rowId = 300;
  JoinMessages(messages, {}, {}, attachments);
  EXPECT_EQ(messages[0].attachmentName, "a");
  EXPECT_EQ(messages[1].attachmentName, "");
  EXPECT_EQ(messages[2].attachmentName, "recovered");
}

// --- recovery on the generated databases ---

struct RecoveryCounts {
  size_t deleted = 0, recovered = 0, duplicates = 0, phantoms = 0, twice = 0;
};

TEST_F(Messages, DeletedMessagesHandlesAndAttachmentsComeBack) {
  for (gen::SmsLayout layout : {gen::SmsLayout::kOld38, gen::SmsLayout::kWide}) {
    const bool wide = layout == gen::SmsLayout::kWide;
    SCOPED_TRACE(wide ? "wide" : "38 columns");
    const auto sms = Path(wide ? "wide.db" : "old.db");
    gen::SmsShape shape;
    shape.layout = layout;
    shape.messages = 1500;
    shape.handles = 12;
    const gen::SmsTruth truth = gen::BuildSmsDb(sms, shape);
    CDbFileReader reader;
    ASSERT_EQ(reader.Open(sms), 0);
    std::vector<MessageRecord> messages;
    std::vector<HandleRecord> handles;
    std::vector<AttachmentRecord> attachments;
    ScanTable(reader, "message", MakeMessageRowDecoder(messages));
    ScanTable(reader, "handle", MakeHandleRowDecoder(handles));
    ScanTable(reader, "attachment", MakeAttachmentRowDecoder(attachments));
    // The scan, which reads every stage of the table in two halves at once
    // (and learns the column count for the recovered rows from them),
    // recovers exactly the rows one decoder does.
    {
      ConversationMap map;
      int64_t maxRowId = 0;
      ASSERT_EQ(ScanMessages(sms, Path("none.db"), map, maxRowId), 0);
      using Row = std::tuple<int64_t, int64_t, std::string, std::string, int>;
      std::multiset<Row> scanned, decoded;
      const std::string bytes = ReadAll(sms);
      for (const MessageRecord& m : Flatten(map)) {
        if (m.deleted) scanned.insert({m.rowId, m.handleId, m.text, m.date, m.fromMe});
        // A recovered message says where it lay, and its text is there.
        if (m.deleted && !m.recentlyDeleted) {
          EXPECT_TRUE(LiesWhereFound(bytes, m.recoveredFrom, m.text))
              << m.text << " said to be at " << RecoveredFromText(m.recoveredFrom);
        } else {
          EXPECT_FALSE(m.recoveredFrom.Known()) << m.text;
        }
      }
      for (const MessageRecord& m : messages) {
        if (m.deleted) decoded.insert({m.rowId, m.handleId, m.text, m.date, m.fromMe});
      }
      EXPECT_FALSE(decoded.empty());
      EXPECT_TRUE(scanned == decoded);
      int64_t largest = 0;
      for (const auto& m : truth.liveMessages) largest = std::max<int64_t>(largest, m.rowid);
      EXPECT_GE(maxRowId, largest);
    }

    std::map<std::string, int64_t> liveText, deletedText;
    for (const auto& m : truth.liveMessages) liveText[m.text] = m.handleId;
    for (const auto& m : truth.deletedMessages) {
      if (!m.text.empty()) deletedText[m.text] = m.handleId;
    }
    RecoveryCounts msg;
    msg.deleted = deletedText.size();
    std::set<std::string> found;
    for (const MessageRecord& m : messages) {
      if (m.deleted == 0) continue;
      if (deletedText.count(m.text) && deletedText[m.text] == m.handleId) {
        if (!found.insert(m.text).second) ++msg.twice;
      } else if (liveText.count(m.text)) {
        ++msg.duplicates;
      } else {
        ++msg.phantoms;
        std::printf("[sms recovery] phantom message: '%s'\n", m.text.c_str());
      }
    }
    msg.recovered = found.size();
    // The deleted messages whose text is still in the file: what recovery
    // can give back at best.
    size_t surviving = 0;
    {
      const std::string bytes = ReadAll(sms);
      for (const auto& [text, handle] : deletedText) surviving += bytes.find(text) != std::string::npos;
    }

    std::set<std::string> liveIds, deletedIds, foundIds;
    for (const auto& h : truth.liveHandles) liveIds.insert(h.id);
    for (const auto& h : truth.deletedHandles) deletedIds.insert(h.id);
    size_t handlePhantoms = 0;
    for (const HandleRecord& h : handles) {
      if (!h.deleted) continue;
      if (deletedIds.count(h.id)) foundIds.insert(h.id);
      else if (!liveIds.count(h.id)) ++handlePhantoms;
    }
    std::set<std::string> deletedFiles, foundFiles;
    for (const auto& a : truth.deletedAttachments) deletedFiles.insert(a.fileName);
    size_t attachmentPhantoms = 0;
    for (const AttachmentRecord& a : attachments) {
      if (!a.deleted) continue;
      if (deletedFiles.count(a.fileName)) foundFiles.insert(a.fileName);
      else ++attachmentPhantoms;
    }
    std::printf("[sms recovery, %s] messages: deleted %zu (%zu with text in the file), recovered %zu, delivered twice %zu, duplicates of live rows %zu, phantoms %zu; "
                "handles: deleted %zu, recovered %zu, phantoms %zu; attachments: deleted %zu, recovered %zu, "
                "phantoms %zu; free-list pages %lld\n",
                wide ? "wide layout" : "38 columns", msg.deleted, surviving, msg.recovered, msg.twice, msg.duplicates, msg.phantoms,
                deletedIds.size(), foundIds.size(), handlePhantoms, deletedFiles.size(), foundFiles.size(),
                attachmentPhantoms, static_cast<long long>(truth.freelistPages));
    EXPECT_EQ(handlePhantoms, 0u);
    EXPECT_EQ(msg.phantoms, 0u);
    // Each deleted message once, however many copies of it the file holds.
    EXPECT_EQ(msg.twice, 0u);
    EXPECT_GE(msg.recovered * 10, msg.deleted * 7);
    EXPECT_GE(foundIds.size(), 1u);
  }
}

// --- sms.csv ---

std::vector<std::string> Lines(const std::string& all) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = all.find("\r\n"); end != std::string::npos; end = all.find("\r\n", start)) {
    lines.push_back(all.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TEST_F(Messages, RowDumpWritesLiveRowsAndAdjustedRecoveredRows) {
  const auto sms = EmptySms();
  std::string sql = "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS');";
  for (int r = 1; r <= 30; ++r) {
    sql += Message(r, Format("'message number %d with \"quotes\" and some more words to fill the row'", r), 1,
                   Format("%d", 400000000 + r), r % 2);
  }
  sql += Message(31, "CAST(X'41FF42' AS TEXT)", 1, "400000031");
  sql += "DELETE FROM message WHERE ROWID IN (5, 12);";
  ExecSql(sms, sql);
  ConversationMap map;
  int64_t maxRowId = 0;
  ASSERT_EQ(ScanMessages(sms, Path("none.db"), map, maxRowId), 0);
  EXPECT_EQ(maxRowId, 31);
  const auto out = Path("sms.csv");
  ASSERT_EQ(DumpMessageRows(sms, out, maxRowId), 0);
  const std::vector<std::string> lines = Lines(ReadAll(out));
  size_t live = 0;
  std::vector<std::string> recovered;
  for (const std::string& line : lines) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 37) << line;  // 38 fields, no commas inside
    if (line.find("27B99F78-F6F0-475F-8BA1-") != std::string::npos) recovered.push_back(line);
    else ++live;
  }
  EXPECT_EQ(live, 28u);  // row 31's text is not clean UTF-8
  EXPECT_EQ(lines[0].rfind("1,\"G-1\",\"message number 1 with \"\"quotes\"\" and", 0), 0u) << lines[0];
  ASSERT_EQ(recovered.size(), 2u);
  const int64_t before = AppleSecondsNow();
  for (const std::string& line : recovered) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma = line.find(','); ; comma = line.find(',', start)) {
      fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    ASSERT_EQ(fields.size(), 38u);
    const bool mine = line.find("message number 5 ") != std::string::npos;  // 5 is odd: sent by me
    EXPECT_TRUE(mine || line.find("message number 12 ") != std::string::npos) << line;
    EXPECT_TRUE(fields[0] == "32" || fields[0] == "33") << line;
    EXPECT_EQ(fields[1], Format("\"27B99F78-F6F0-475F-8BA1-%012llX\"", std::stoull(fields[0])));
    EXPECT_EQ(fields[19], "1");
    const int64_t date = std::stoll(fields[15]);
    EXPECT_LE(std::llabs(date - before), 5) << "the current time in Apple seconds";
    EXPECT_EQ(fields[16], mine ? "0" : fields[15]);
    EXPECT_EQ(fields[26], mine ? "0" : "1");
  }
}

TEST_F(Messages, RowDumpLeavesOutRecoveredRowsWithoutAnAccountGuid) {
  const auto sms = EmptySms();
  std::string sql = "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS');";
  for (int r = 1; r <= 10; ++r) sql += Message(r, Format("'row %d of the table with a longer text'", r), 1, "400000000");
  sql += "UPDATE message SET account_guid = 'short' WHERE ROWID = 4;";
  sql += "DELETE FROM message WHERE ROWID IN (4, 7);";
  ExecSql(sms, sql);
  const auto out = Path("sms.csv");
  ASSERT_EQ(DumpMessageRows(sms, out, 10), 0);
  const std::string all = ReadAll(out);
  EXPECT_EQ(all.find("row 4 of"), std::string::npos);
  EXPECT_NE(all.find("row 7 of"), std::string::npos);
  EXPECT_EQ(DumpMessageRows(sms, Path("no-folder") / "sms.csv", 10), ENOENT);
}

}  // namespace

namespace orbanix {
namespace {

TEST_F(Messages, RowDumpLimitedToChosenConversationsKeepsTheirRowsAndNumbers) {
  const auto sms = EmptySms();
  std::string sql =
      "INSERT INTO handle (ROWID, id, service) VALUES (1, '+15550001111', 'SMS');"
      "INSERT INTO handle (ROWID, id, service) VALUES (2, '+15550002222', 'SMS');";
  for (int r = 1; r <= 30; ++r) {
    sql += Message(r, Format("'message number %d with \"quotes\" and some more words to fill the row'", r), r % 2 + 1,
                   Format("%d", 400000000 + r), r % 2);
  }
  sql += "DELETE FROM message WHERE ROWID IN (5, 12);";  // one deleted row of each conversation
  ExecSql(sms, sql);
  const auto whole = Path("whole.csv");
  const auto chosen = Path("chosen.csv");
  ASSERT_EQ(DumpMessageRows(sms, whole, 30), 0);
  std::set<int64_t> rowIds;
  ASSERT_EQ(DumpMessageRows(sms, chosen, 30,
                            [&](const MessageRowKey& row) {
                              rowIds.insert(row.rowId);
                              return row.handleId == 2;
                            }),
            0);
  // A recovered row is dated when it is dumped (columns 15 and 16): the two
  // dumps may fall in different seconds, so those columns are compared
  // apart, within a few seconds of now.
  const int64_t now = AppleSecondsNow();
  auto undated = [now](std::vector<std::string> lines) {
    for (std::string& line : lines) {
      if (line.find("27B99F78-F6F0-475F-8BA1-") == std::string::npos) continue;
      std::vector<std::string> fields;
      for (size_t start = 0;;) {
        const size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      EXPECT_EQ(fields.size(), 38u) << line;
      if (fields.size() != 38u) continue;
      for (int c : {15, 16}) {
        if (fields[c] == "0") continue;  // column 16 of a message sent by the owner
        EXPECT_LE(std::llabs(std::stoll(fields[c]) - now), 5) << line;
        fields[c] = "now";
      }
      line.clear();
      for (size_t c = 0; c < fields.size(); ++c) line += (c ? "," : "") + fields[c];
    }
    return lines;
  };
  const std::vector<std::string> all = undated(Lines(ReadAll(whole)));
  const std::vector<std::string> kept = undated(Lines(ReadAll(chosen)));
  // Exactly the lines of the whole dump that belong to handle 2 (odd rows),
  // the recovered row 5 among them with the number it has in the whole dump.
  std::vector<std::string> expected;
  for (const std::string& line : all) {
    const size_t at = line.find("message number ");
    ASSERT_NE(at, std::string::npos) << line;
    if (std::stoi(line.substr(at + 15)) % 2 == 1) expected.push_back(line);
  }
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(kept.size(), 15u);
  EXPECT_TRUE(std::any_of(kept.begin(), kept.end(), [](const std::string& l) {
    return l.find("message number 5 ") != std::string::npos && l.find("27B99F78-") != std::string::npos;
  }));
  // Choosing none writes an empty file.
  const auto none = Path("none.csv");
  ASSERT_EQ(DumpMessageRows(sms, none, 30, [](const MessageRowKey&) { return false; }), 0);
  EXPECT_EQ(ReadAll(none), "");
  // The filter is told each row's rowid, as the message scan gives it.
  for (int64_t r = 1; r <= 30; ++r) {
    if (r != 5 && r != 12) {
      EXPECT_TRUE(rowIds.count(r)) << r;
    }
  }
  const auto one = Path("one.csv");
  ASSERT_EQ(DumpMessageRows(sms, one, 30, [](const MessageRowKey& row) { return row.rowId == 7; }), 0);
  const std::vector<std::string> seven = Lines(ReadAll(one));
  ASSERT_EQ(seven.size(), 1u);
  EXPECT_NE(seven[0].find("message number 7 "), std::string::npos);
}

}  // namespace
}  // namespace orbanix
