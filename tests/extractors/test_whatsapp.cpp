// WhatsApp: every layout of the chat store (27-30 columns by position, a
// wider one by column name), joins of chats, members and media, recovery,
// and the chat text export.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include <unistd.h>

#include "extractors/whatsapp.h"
#include "platform/text.h"
#include "tools/backupgen/family_whatsapp.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using gen::GenWhatsApp;

class WhatsAppTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = fs::temp_directory_path() / ("orbanix-wa-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static const ChatMessageRecord* Find(const WhatsAppChatMap& chats, const std::string& text) {
    for (const auto& [key, messages] : chats) {
      for (const ChatMessageRecord& m : messages) {
        if (m.text == text) return &m;
      }
    }
    return nullptr;
  }

  fs::path dir_;
};

TEST_P(WhatsAppTest, ChatsMembersAndMediaAreJoined) {
  const int layout = GetParam();
  const GenWhatsApp content = gen::WhatsAppContent(layout, {});
  const fs::path db = dir_ / "ChatStorage.sqlite";
  gen::BuildWhatsAppDb(db, content);

  WhatsAppColumns columns;
  ASSERT_EQ(ProbeWhatsAppColumns(db, columns), status::kOk);
  EXPECT_EQ(columns.messageColumns, layout);
  EXPECT_EQ(columns.byName, layout > 30);

  WhatsAppChatMap chats;
  ASSERT_EQ(ScanWhatsApp(db, chats), status::kOk);
  // The 29 and 30 layouts have no position for the group member; their
  // schema names it.
  const bool readsMembers = true;
  const bool readsMedia = layout >= 29;

  // The first message of a group run keeps its text.
  const ChatMessageRecord* first = Find(chats, "Group hello from Dora");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->chatId, 3);
  EXPECT_EQ(first->senderName, readsMembers ? "Dora" : "Family");
  EXPECT_EQ(first->senderAddress, readsMembers ? "+447700900004" : "447700900001-1400000000");
  EXPECT_EQ(first->chatTitle, "Family");
  EXPECT_EQ(first->partnerName.rfind("Alice,Dora,Eve", 0), 0u) << first->partnerName;
  EXPECT_EQ(first->partnerAddress.rfind("+447700900001,+447700900004,447700900005", 0), 0u) << first->partnerAddress;
  ASSERT_NE(Find(chats, "Eve writes"), nullptr);

  // Own messages in a group.
  const ChatMessageRecord* mine = Find(chats, "Me in the group");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->fromMe, 1);
  EXPECT_EQ(mine->senderName, "Me");
  EXPECT_EQ(mine->senderAddress, "");

  // A chat without members.
  const ChatMessageRecord* bob = Find(chats, "Bob says hi");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->partnerName, "Bob");
  EXPECT_EQ(bob->partnerAddress, "+447700900002");
  EXPECT_EQ(bob->senderName, "Bob");
  EXPECT_EQ(bob->senderAddress, "+447700900002");

  // A picture without text shows its local path; one never downloaded is dropped.
  const ChatMessageRecord* picture = Find(chats, "Media/447700900001@s.whatsapp.net/4/2/photo1.jpg");
  if (readsMedia) {
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->chatId, 1);
    EXPECT_EQ(picture->mediaItemId, 1);
  } else {
    EXPECT_EQ(picture, nullptr);
  }
  for (const auto& [key, messages] : chats) {
    for (const ChatMessageRecord& m : messages) EXPECT_FALSE(m.text.empty());
  }

  // Dates: reals since 2001, also beyond 2^29 seconds; each chat in date order.
  const ChatMessageRecord* late = Find(chats, "Late message");
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(late->date, "2021-01-01 00:00:00");
  EXPECT_EQ(Find(chats, "Hi from Alice")->date, "2014-05-13 16:53:20");
  for (const auto& [key, messages] : chats) {
    EXPECT_TRUE(std::is_sorted(messages.begin(), messages.end(),
                               [](const auto& a, const auto& b) { return a.date < b.date; }));
  }

  // Layout 30: a row whose column 16 is NULL takes its chat from column 12.
  const ChatMessageRecord* session = Find(chats, "Session only");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->chatId, 2);
  EXPECT_EQ(session->partnerName, "Bob");

  // Recovered messages.
  std::set<std::string> deleted;
  for (const auto& m : content.messages) {
    if (m.deleted) deleted.insert(m.text);
  }
  int back = 0, phantoms = 0;
  for (const auto& [key, messages] : chats) {
    for (const ChatMessageRecord& m : messages) {
      if (!m.deleted) continue;
      if (deleted.count(m.text)) {
        ++back;
      } else {
        ++phantoms;
        std::printf("phantom: chat %d '%s'\n", m.chatId, m.text.c_str());
      }
    }
  }
  std::printf("[recovery] whatsapp/%d: %d of %zu deleted messages back, %d phantom records\n", layout, back,
              deleted.size(), phantoms);
  EXPECT_GE(back, 2);
  EXPECT_EQ(phantoms, 0);
  const ChatMessageRecord* gone = Find(chats, "Deleted from Bob");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->deleted, 1);
  EXPECT_EQ(gone->chatId, 2);
  EXPECT_EQ(gone->senderName, "Bob");
}

TEST_P(WhatsAppTest, RecoveryAtScale) {
  const int layout = GetParam();
  gen::FamilyOptions options;
  options.scale = 30;
  const GenWhatsApp content = gen::WhatsAppContent(layout, options);
  const fs::path db = dir_ / "ChatStorage.sqlite";
  gen::BuildWhatsAppDb(db, content);
  WhatsAppChatMap chats;
  ASSERT_EQ(ScanWhatsApp(db, chats), status::kOk);
  std::set<std::string> deleted, live;
  for (const auto& m : content.messages) (m.deleted ? deleted : live).insert(m.text);
  std::set<std::string> back;
  int phantoms = 0, copies = 0, liveFound = 0;
  for (const auto& [key, messages] : chats) {
    for (const ChatMessageRecord& m : messages) {
      if (!m.deleted) {
        liveFound += live.count(m.text) > 0;
      } else if (deleted.count(m.text)) {
        back.insert(m.text);
      } else if (live.count(m.text)) {
        ++copies;
      } else {
        ++phantoms;
      }
    }
  }
  std::printf("[recovery] whatsapp/%d at scale 30: %zu of %zu deleted messages back, %d phantom records, %d copies "
              "of live rows\n", layout, back.size(), deleted.size(), phantoms, copies);
  EXPECT_EQ(phantoms, 0);
  EXPECT_EQ(copies, 0);
  EXPECT_GE(back.size() * 2, deleted.size());
  EXPECT_GE(liveFound, 240);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WhatsAppTest, ::testing::Values(27, 28, 29, 30, gen::kWhatsAppWideLayout));

class WhatsAppStoreTest : public WhatsAppTest {};

TEST_F(WhatsAppStoreTest, AnEmptyMessageTableIsNotAnError) {
  const fs::path db = dir_ / "ChatStorage.sqlite";
  gen::BuildWhatsAppDb(db, gen::WhatsAppContent(gen::kWhatsAppWideLayout, {}), true);
  WhatsAppChatMap chats;
  EXPECT_EQ(ScanWhatsApp(db, chats), status::kOk);
  EXPECT_TRUE(chats.empty());
}

TEST_F(WhatsAppStoreTest, AStoreWithoutTheMessageTableFailsWithTheSchemaCode) {
  const fs::path db = dir_ / "other.sqlite";
  {
    gen::FixtureDb f(db);
    f.Exec("CREATE TABLE ZWACHATSESSION (Z_PK INTEGER PRIMARY KEY, ZCONTACTJID VARCHAR)");
  }
  WhatsAppChatMap chats;
  EXPECT_EQ(ScanWhatsApp(db, chats), status::kWhatsAppSchema);
  EXPECT_EQ(ScanWhatsApp(dir_ / "missing.sqlite", chats), status::kWhatsAppSchema);
  EXPECT_TRUE(chats.empty());
}

TEST_F(WhatsAppStoreTest, DamagedStoresGiveAnErrorNotAnEmptySuccess) {
  const fs::path db = dir_ / "ChatStorage.sqlite";
  for (uintmax_t size : {4096u, 2 * 4096u, 100u}) {
    gen::BuildWhatsAppDb(db, gen::WhatsAppContent(28, {}));
    fs::resize_file(db, size);
    WhatsAppChatMap chats;
    EXPECT_NE(ScanWhatsApp(db, chats), status::kOk) << size;
    EXPECT_TRUE(chats.empty()) << size;
  }
}

TEST_F(WhatsAppStoreTest, ANarrowStoreIsReadByColumnName) {
  // 20 columns: fewer than the positions of any layout need.
  const fs::path db = dir_ / "ChatStorage.sqlite";
  {
    gen::FixtureDb f(db);
    f.Exec("CREATE TABLE ZWAMESSAGE (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZTEXT VARCHAR, ZISFROMME INTEGER, "
           "ZCHATSESSION INTEGER, ZMESSAGEDATE TIMESTAMP, c6, c7, c8, c9, c10, c11, c12, c13, c14, c15, c16, c17, "
           "c18, c19)");
    f.Exec("CREATE TABLE ZWACHATSESSION (Z_PK INTEGER PRIMARY KEY, ZPARTNERNAME VARCHAR, ZCONTACTJID VARCHAR)");
    f.Exec("INSERT INTO ZWACHATSESSION VALUES (5, 'Carol', '447700900003@s.whatsapp.net')");
    f.Exec("INSERT INTO ZWAMESSAGE (Z_PK, ZTEXT, ZISFROMME, ZCHATSESSION, ZMESSAGEDATE) VALUES "
           "(1, 'narrow hello', 0, 5, 421692800.5), (2, 'narrow reply', 1, 5, 421692860)");
  }
  WhatsAppChatMap chats;
  ASSERT_EQ(ScanWhatsApp(db, chats), status::kOk);
  ASSERT_EQ(chats.count(5), 1u);
  const auto& messages = chats[5];
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text, "narrow hello");
  EXPECT_EQ(messages[0].senderName, "Carol");
  EXPECT_EQ(messages[0].senderAddress, "+447700900003");
  EXPECT_EQ(messages[0].date, "2014-05-13 16:53:20");
  EXPECT_EQ(messages[1].senderName, "Me");
}

TEST_F(WhatsAppStoreTest, ExportWritesOneBlockPerMessage) {
  std::vector<ChatMessageRecord> messages(3);
  messages[0].fromMe = 1;
  messages[0].date = "2014-05-13 16:53:20";
  messages[0].text = "hello";
  messages[1].senderName = "Unknown";
  messages[1].senderAddress = "447700900004";
  messages[1].date = "2014-05-13 16:54:00";
  messages[1].text = "who?";
  messages[2].senderName = "Dora";
  messages[2].date = "2014-05-13 16:55:00";
  messages[2].text = "me";
  const fs::path out = dir_ / "deeper" / "chat.txt";
  std::vector<int> percents;
  ASSERT_EQ(ExportChatText(out, WhatsAppChatText(messages),
                           [&](int percent, Status st, const fs::path& path) {
                             EXPECT_EQ(st, status::kOk);
                             EXPECT_EQ(path, out);
                             percents.push_back(percent);
                             return 0;
                           }),
            status::kOk);
  std::ifstream in(out, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text,
            "\xEF\xBB\xBF"
            "2014-05-13 16:53:20 Me:\r\n    hello\r\n\r\n"
            "2014-05-13 16:54:00 447700900004:\r\n    who?\r\n\r\n"
            "2014-05-13 16:55:00 Dora:\r\n    me\r\n\r\n");
  EXPECT_EQ(percents, (std::vector<int>{33, 66, 100}));

  // A stop answer ends the export with that answer.
  EXPECT_EQ(ExportChatText(out, WhatsAppChatText(messages), [](int, Status, const fs::path&) { return 2; }), 2);
  // A chat that was not found: an empty file (with its mark) and 0.
  EXPECT_EQ(ExportChatText(out, {}), status::kOk);
  EXPECT_EQ(fs::file_size(out), 3u);
  // An output that cannot be created: its error, reported with 100.
  int reported = -1;
  Status error = 0;
  EXPECT_NE(ExportChatText(out / "below-a-file.txt", WhatsAppChatText(messages),
                           [&](int percent, Status st, const fs::path&) {
                             reported = percent;
                             error = st;
                             return 0;
                           }),
            status::kOk);
  EXPECT_EQ(reported, 100);
  EXPECT_NE(error, status::kOk);
}

}  // namespace
}  // namespace orbanix
