// QQ and WeChat: directory and friend tables, per-partner tables, the
// partner check of QQ rows from free-list pages, WeChat's "Unknown"
// conversation, the two-versus-three sorting rule, and the text export.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "extractors/chat_apps.h"
#include "platform/digest.h"
#include "platform/text.h"
#include "tools/backupgen/family_chat_apps.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using gen::GenPeer;

class PeerChatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("orbanix-peer-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::vector<std::string> Texts(const std::vector<PeerChatRecord>& messages) {
    std::vector<std::string> out;
    for (const PeerChatRecord& m : messages) out.push_back(m.text);
    return out;
  }

  // Prints and returns how many deleted messages of `peers` came back under
  // their own key and how many recovered records match no message.
  // `db` (when given): the deleted texts whose bytes are still in that
  // file are counted too (what recovery can give back at best).
  static void Count(const char* family, const std::vector<GenPeer>& peers, const PeerChatMap& chats, int& back,
                    int& phantoms, const fs::path& db = {}) {
    std::set<std::string> deleted, live;
    for (const GenPeer& p : peers) {
      for (const auto& m : p.messages) {
        if (m.text.empty()) continue;
        (m.deleted || p.dropped ? deleted : live).insert(m.text);
      }
    }
    std::set<std::string> found;
    phantoms = 0;
    int copies = 0, twice = 0;
    for (const auto& [key, messages] : chats) {
      for (const PeerChatRecord& m : messages) {
        if (!m.deleted) continue;
        if (deleted.count(m.text)) {
          twice += !found.insert(m.text).second;
        } else if (live.count(m.text)) {
          ++copies;
        } else {
          ++phantoms;
        }
      }
    }
    back = static_cast<int>(found.size());
    size_t surviving = 0;
    if (!db.empty()) {
      std::ifstream in(db, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      for (const std::string& text : deleted) surviving += bytes.find(text) != std::string::npos;
    }
    std::printf("[recovery] %s: %d of %zu deleted messages back (%zu with bytes in the file), %d delivered twice, "
                "%d phantom records, %d copies of live rows\n",
                family, back, deleted.size(), surviving, twice, phantoms, copies);
    EXPECT_EQ(copies, 0);
    EXPECT_EQ(twice, 0);
  }

  fs::path dir_;
};

TEST_F(PeerChatTest, QqReadsEveryPartnersTableAndChecksThePartnerOfRecoveredRows) {
  const fs::path db = dir_ / "QQ.db";
  const std::vector<GenPeer> peers = gen::QqPeers({});
  gen::BuildQqDb(db, peers);
  PeerChatMap chats;
  chats["20002"] = {PeerChatRecord{}};  // replaced by the scan
  ASSERT_EQ(ScanQQ(db, chats), status::kOk);

  ASSERT_EQ(chats.count("10001"), 1u);
  const auto& first = chats["10001"];
  // Live rows, in date order (more than two messages); the picture message
  // without text is not listed.
  std::vector<std::string> live;
  for (const auto& m : peers[0].messages) {
    if (!m.deleted && !m.text.empty()) live.push_back(m.text);
  }
  std::vector<std::string> liveFound;
  for (const PeerChatRecord& m : first) {
    if (!m.deleted) liveFound.push_back(m.text);
  }
  EXPECT_EQ(std::set<std::string>(liveFound.begin(), liveFound.end()), std::set<std::string>(live.begin(), live.end()));
  EXPECT_TRUE(std::is_sorted(first.begin(), first.end(), [](const auto& a, const auto& b) { return a.date < b.date; }));
  // The dropped old copy of this partner's table comes back from the free
  // list under this partner; the removed partner's rows never do.
  const auto old = std::count_if(first.begin(), first.end(), [](const PeerChatRecord& m) {
    return m.deleted && m.text.rfind("qq-10001-old", 0) == 0;
  });
  EXPECT_GT(old, 60);
  for (const auto& [key, messages] : chats) {
    for (const PeerChatRecord& m : messages) EXPECT_EQ(m.text.find("qq-30003"), std::string::npos) << key;
  }
  // Direction and date of a known row.
  const auto m0 = std::find_if(first.begin(), first.end(), [](const auto& m) { return m.text == "qq-10001 message 0"; });
  ASSERT_NE(m0, first.end());
  EXPECT_EQ(m0->incoming, 1);
  EXPECT_EQ(m0->date, "2014-05-13 16:53:20");
  EXPECT_GT(m0->rowId, 0);

  // Two messages keep their table order although their dates are reversed.
  EXPECT_EQ(Texts(chats["20002"]), (std::vector<std::string>{"qq-20002 message 0", "qq-20002 message 1"}));
  EXPECT_EQ(chats["20002"][1].incoming, 0);

  int back = 0, phantoms = 0;
  Count("qq", peers, chats, back, phantoms);
  EXPECT_EQ(phantoms, 0);
}

TEST_F(PeerChatTest, QqTableWithoutPartnerNumberIsNotChecked) {
  const fs::path db = dir_ / "QQ.db";
  std::vector<GenPeer> peers = gen::QqPeers({});
  peers.resize(2);
  // A directory entry without "_": an old table kept by its own name.
  gen::BuildQqDb(db, peers, {"c2cMsgLegacy"});
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "PRAGMA secure_delete=OFF;", nullptr, nullptr, nullptr);
  ASSERT_EQ(sqlite3_exec(raw, gen::QqTableSql("c2cMsgLegacy").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw,
                         "INSERT INTO c2cMsgLegacy (uin, time, flag, content) VALUES ('55555', 1400000000, 0, "
                         "'legacy one'), ('66666', 1400000100, 1, 'legacy two')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  PeerChatMap chats;
  ASSERT_EQ(ScanQQ(db, chats), status::kOk);
  ASSERT_EQ(chats.count(""), 1u);
  EXPECT_EQ(Texts(chats[""]), (std::vector<std::string>{"legacy one", "legacy two"}));
}

TEST_F(PeerChatTest, WeChatListsFriendsAndFreeListRowsUnderUnknown) {
  const fs::path db = dir_ / "MM.sqlite";
  const std::vector<GenPeer> peers = gen::WeChatPeers({});
  gen::BuildWeChatDb(db, peers);
  PeerChatMap chats;
  ASSERT_EQ(ScanWeChat(db, chats), status::kOk);

  EXPECT_EQ(chats.count("wxid_carol03"), 0u);  // a friend without a table
  EXPECT_EQ(chats.count("wxid_dave04"), 0u);   // removed with his table
  // Three messages are sorted by date (their table order is reversed).
  EXPECT_EQ(Texts(chats["wxid_bob02"]),
            (std::vector<std::string>{"wx-bob message 2", "wx-bob message 1", "wx-bob message 0"}));
  // Two keep their table order.
  EXPECT_EQ(Texts(chats["12345678@chatroom"]),
            (std::vector<std::string>{"wx-room message 0", "wx-room message 1"}));
  // The dropped table's rows appear only under "Unknown".
  ASSERT_EQ(chats.count(kUnknownConversation), 1u);
  for (const auto& [key, messages] : chats) {
    for (const PeerChatRecord& m : messages) {
      if (m.text.rfind("wx-dave", 0) == 0) {
        EXPECT_EQ(key, kUnknownConversation);
        EXPECT_EQ(m.deleted, 1);
      }
    }
  }
  EXPECT_GT(chats[kUnknownConversation].size(), 40u);

  int back = 0, phantoms = 0;
  Count("wechat", peers, chats, back, phantoms);
  EXPECT_EQ(phantoms, 0);
}

TEST_F(PeerChatTest, RecoveryAtScale) {
  gen::FamilyOptions options;
  options.scale = 25;
  const std::vector<GenPeer> qq = gen::QqPeers(options);
  gen::BuildQqDb(dir_ / "QQ.db", qq);
  PeerChatMap qqChats;
  ASSERT_EQ(ScanQQ(dir_ / "QQ.db", qqChats), status::kOk);
  int back = 0, phantoms = 0;
  Count("qq at scale 25", qq, qqChats, back, phantoms, dir_ / "QQ.db");
  EXPECT_EQ(phantoms, 0);
  const std::vector<GenPeer> wx = gen::WeChatPeers(options);
  gen::BuildWeChatDb(dir_ / "MM.sqlite", wx);
  PeerChatMap wxChats;
  ASSERT_EQ(ScanWeChat(dir_ / "MM.sqlite", wxChats), status::kOk);
  Count("wechat at scale 25", wx, wxChats, back, phantoms, dir_ / "MM.sqlite");
  EXPECT_EQ(phantoms, 0);
  // Deleted rows found in a friend's own pages keep the date and direction
  // that were written, although the table keeps its rowid in column 1.
  int own = 0;
  for (const PeerChatRecord& m : wxChats["wxid_alice01"]) {
    if (!m.deleted) continue;
    for (const auto& g : wx[0].messages) {
      if (g.text != m.text) continue;
      ++own;
      EXPECT_TRUE(g.deleted) << m.text;
      EXPECT_EQ(m.date, FormatLocalDateTime(g.unixDate)) << m.text;
      EXPECT_EQ(m.incoming, g.incoming ? 1 : 0) << m.text;
    }
  }
  EXPECT_GT(own, 10);
}

TEST_F(PeerChatTest, UnreadableDatabasesReturnTheirErrorAndAddNothing) {
  PeerChatMap chats;
  EXPECT_EQ(ScanQQ(dir_ / "none.db", chats), 2);
  EXPECT_EQ(ScanWeChat(dir_ / "none.sqlite", chats), 2);
  std::ofstream(dir_ / "junk.db") << std::string(2048, 'j');
  EXPECT_EQ(ScanQQ(dir_ / "junk.db", chats), status::kBadData);
  EXPECT_TRUE(chats.empty());
}

TEST_F(PeerChatTest, TableNames) {
  EXPECT_EQ(QqPartnerOf("tb_c2cMsg_10001"), "10001");
  EXPECT_EQ(QqPartnerOf("tb_c2cMsg_10001_old"), "old");
  EXPECT_EQ(QqPartnerOf("legacy"), "");
  EXPECT_EQ(WeChatTableOf("wxid_alice01"), "Chat_" + Md5Hex("wxid_alice01"));
  EXPECT_EQ(WeChatTableOf("").size(), 37u);
}

TEST_F(PeerChatTest, ExportNamesThePartnerAsSpeaker) {
  std::vector<PeerChatRecord> messages(2);
  messages[0].incoming = 1;
  messages[0].date = "2014-05-13 16:53:20";
  messages[0].text = "ni hao";
  messages[1].date = "2014-05-13 16:54:00";
  messages[1].text = "hello";
  const fs::path out = dir_ / "qq.txt";
  ASSERT_EQ(ExportChatText(out, PeerChatText(messages, "10001")), status::kOk);
  std::ifstream in(out, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}),
            "\xEF\xBB\xBF"
            "2014-05-13 16:53:20 10001:\r\n    ni hao\r\n\r\n2014-05-13 16:54:00 Me:\r\n    hello\r\n\r\n");
}

}  // namespace
}  // namespace orbanix
