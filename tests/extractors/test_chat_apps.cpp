// QQ and WeChat: directory and friend tables, per-partner tables, the
// partner check of QQ rows from free-list pages, WeChat's "Unknown"
// conversation, the two-versus-three sorting rule, and the text export.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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
  // Whether a message's text stands in the file's bytes as a whole (not as
  // the start of a longer text: "message 1" of "message 12").
  static bool Survives(const std::string& bytes, const std::string& text) {
    for (size_t at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1)) {
      const size_t end = at + text.size();
      if (end == bytes.size() || !std::isdigit(static_cast<unsigned char>(bytes[end]))) return true;
    }
    return false;
  }

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

  // Prints and checks how many deleted messages of `peers` came back, each
  // once and under the conversation it belongs to (`keyOf`: the expected
  // key of a deleted message of a peer), and how many recovered records
  // match no message. `db` (when given): the deleted texts whose bytes are
  // still in that file are counted too (what recovery can give back at
  // best), and at least 98 in 100 of them must come back.
  template <typename KeyOf>
  static void Count(const char* family, const std::vector<GenPeer>& peers, const PeerChatMap& chats, int& back,
                    int& phantoms, KeyOf keyOf, const fs::path& db = {}) {
    std::map<std::string, std::string> deleted;  // text -> expected key
    std::set<std::string> live;
    for (const GenPeer& p : peers) {
      for (const auto& m : p.messages) {
        if (m.text.empty()) continue;
        if (m.deleted || p.dropped) {
          deleted[m.text] = keyOf(p);
        } else {
          live.insert(m.text);
        }
      }
    }
    std::set<std::string> found;
    phantoms = 0;
    int copies = 0, twice = 0, misfiled = 0;
    for (const auto& [key, messages] : chats) {
      for (const PeerChatRecord& m : messages) {
        if (!m.deleted) continue;
        if (auto at = deleted.find(m.text); at != deleted.end()) {
          twice += !found.insert(m.text).second;
          if (at->second != key) {
            ++misfiled;
            ADD_FAILURE() << m.text << " listed under " << key << ", not " << at->second;
          }
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
      for (const auto& [text, key] : deleted) surviving += Survives(bytes, text);
      EXPECT_GE(back * 100, static_cast<int>(surviving) * 98) << family;
    }
    std::printf("[recovery] %s: %d of %zu deleted messages back (%zu with bytes in the file), %d delivered twice, "
                "%d phantom records, %d copies of live rows, %d in another chat\n",
                family, back, deleted.size(), surviving, twice, phantoms, copies, misfiled);
    EXPECT_EQ(copies, 0);
    EXPECT_EQ(twice, 0);
  }
  // QQ rows name their partner; WeChat rows of a dropped table are listed
  // under "Unknown".
  static std::string QqKey(const GenPeer& p) { return p.id; }
  static std::string WeChatKey(const GenPeer& p) { return p.dropped ? kUnknownConversation : p.id; }

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
  // list under this partner, and the conversation of a partner removed with
  // its table under the partner number its rows name.
  const auto old = std::count_if(first.begin(), first.end(), [](const PeerChatRecord& m) {
    return m.deleted && m.text.rfind("qq-10001-old", 0) == 0;
  });
  EXPECT_EQ(old, 120);
  ASSERT_EQ(chats.count("30003"), 1u);
  EXPECT_EQ(chats["30003"].size(), 120u);
  EXPECT_EQ(chats["30003"][0].text, "qq-30003 message 0");
  EXPECT_EQ(chats["30003"][0].recoveredFrom.source, RowSource::kFreelistDroppedTable);
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
  Count("qq", peers, chats, back, phantoms, QqKey);
  EXPECT_EQ(phantoms, 0);
}

// A table kept under a name whose end is no partner number: its rows go to
// the partner they name, not to "old".
TEST_F(PeerChatTest, QqRowsOfATableNamedAfterNoPartnerGoToThePartnerTheyName) {
  const fs::path db = dir_ / "QQ.db";
  std::vector<GenPeer> peers = gen::QqPeers({});
  peers[2].dropped = false;  // "tb_c2cMsg_10001_old", listed in the directory
  gen::BuildQqDb(db, peers);
  PeerChatMap chats;
  ASSERT_EQ(ScanQQ(db, chats), status::kOk);
  EXPECT_EQ(chats.count("old"), 0u);
  const auto old = std::count_if(chats["10001"].begin(), chats["10001"].end(), [](const PeerChatRecord& m) {
    return !m.deleted && m.text.rfind("qq-10001-old", 0) == 0;
  });
  EXPECT_EQ(old, 120);
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
  Count("wechat", peers, chats, back, phantoms, WeChatKey);
  EXPECT_EQ(phantoms, 0);
}

// Tables dropped beside the chat tables: one of another kind with the chat
// tables' column count and types (a draft store) whose rows would read as
// messages by their count alone, and a chat table of an older layout, its
// columns in another order. Where a dropped table's CREATE statement
// survives, its rows are matched by its column names: the drafts are no
// messages, and the old chat's rows are read by name.
TEST_F(PeerChatTest, RowsOfDroppedTablesAreMatchedByTheirOwnColumnNames) {
  const fs::path db = dir_ / "MM.sqlite";
  const std::vector<GenPeer> peers = gen::WeChatPeers({});
  gen::BuildWeChatDb(db, peers);
  {
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    const auto exec = [&](const std::string& sql) {
      char* error = nullptr;
      ASSERT_EQ(sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
    };
    exec("PRAGMA secure_delete=OFF");
    exec("CREATE TABLE Drafts (Version INTEGER DEFAULT 1, DraftID INTEGER PRIMARY KEY AUTOINCREMENT, Server "
         "INTEGER DEFAULT 0, SavedTime INTEGER DEFAULT 0, Body TEXT, State INTEGER DEFAULT 0, Shown INTEGER "
         "DEFAULT 0, Kind INTEGER, Mine INTEGER)");
    exec("CREATE TABLE " + WeChatTableOf("wxid_erin05") +
         " (MesLocalID INTEGER PRIMARY KEY AUTOINCREMENT, Message TEXT, TableVer INTEGER DEFAULT 1, Des INTEGER, "
         "MesSvrID INTEGER DEFAULT 0, Type INTEGER, CreateTime INTEGER DEFAULT 0, Status INTEGER DEFAULT 0, "
         "ImgStatus INTEGER DEFAULT 0)");
    exec("BEGIN");
    for (int i = 0; i < 60; ++i) {
      exec("INSERT INTO Drafts (SavedTime, Body, Kind, Mine) VALUES (" + std::to_string(1401000000 + i * 60) +
           ", 'draft " + std::to_string(i) + " never sent', 1, " + std::to_string(i % 2) + ")");
      exec("INSERT INTO " + WeChatTableOf("wxid_erin05") + " (Message, Des, Type, CreateTime) VALUES ('wx-erin message " +
           std::to_string(i) + "', " + std::to_string(i % 2) + ", 1, " + std::to_string(1402000000 + i * 60) + ")");
    }
    exec("COMMIT");
    exec("DROP TABLE Drafts");
    exec("DROP TABLE " + WeChatTableOf("wxid_erin05"));
    sqlite3_close(h);
  }
  PeerChatMap chats;
  ASSERT_EQ(ScanWeChat(db, chats), status::kOk);
  std::set<std::string> erin;
  size_t daves = 0;
  for (const auto& [key, messages] : chats) {
    for (const PeerChatRecord& m : messages) {
      EXPECT_EQ(m.text.find("draft"), std::string::npos) << key << ": " << m.text;
      if (m.text.rfind("wx-erin message ", 0) == 0) {
        EXPECT_EQ(key, kUnknownConversation);
        EXPECT_EQ(m.deleted, 1);
        EXPECT_FALSE(m.date.empty()) << m.text;
        EXPECT_TRUE(erin.insert(m.text).second) << m.text;
      }
      daves += m.text.rfind("wx-dave", 0) == 0;
    }
  }
  // Read by name: every message of the old layout with its text and date.
  EXPECT_EQ(erin.size(), 60u);
  // The dropped chat of today's layout still comes back (what the new
  // tables did not write over).
  std::ifstream in(db, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  size_t surviving = 0;
  for (const auto& m : peers[4].messages) surviving += Survives(bytes, m.text);
  EXPECT_GT(surviving, 50u);
  EXPECT_GE(daves * 100, surviving * 98);
}

TEST_F(PeerChatTest, RecoveryAtScale) {
  gen::FamilyOptions options;
  options.scale = 25;
  const std::vector<GenPeer> qq = gen::QqPeers(options);
  gen::BuildQqDb(dir_ / "QQ.db", qq);
  PeerChatMap qqChats;
  ASSERT_EQ(ScanQQ(dir_ / "QQ.db", qqChats), status::kOk);
  int back = 0, phantoms = 0;
  Count("qq at scale 25", qq, qqChats, back, phantoms, QqKey, dir_ / "QQ.db");
  EXPECT_EQ(phantoms, 0);
  const std::vector<GenPeer> wx = gen::WeChatPeers(options);
  gen::BuildWeChatDb(dir_ / "MM.sqlite", wx);
  PeerChatMap wxChats;
  ASSERT_EQ(ScanWeChat(dir_ / "MM.sqlite", wxChats), status::kOk);
  Count("wechat at scale 25", wx, wxChats, back, phantoms, WeChatKey, dir_ / "MM.sqlite");
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

  // Bob's table took over a page of Alice's: its stale cell pointers still
  // lead to rows Alice deleted, which her own page keeps in free blocks.
  // With Alice read after Bob (her friend row moved to the end), each of
  // those rows is still listed once, under Alice.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "MM.sqlite").c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "UPDATE Friend SET FriendID = 1000 WHERE UsrName = 'wxid_alice01'", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  PeerChatMap reordered;
  ASSERT_EQ(ScanWeChat(dir_ / "MM.sqlite", reordered), status::kOk);
  Count("wechat, Alice read last", wx, reordered, back, phantoms, WeChatKey, dir_ / "MM.sqlite");
  EXPECT_EQ(phantoms, 0);
}

// Every message table of a store has the same columns, so nothing on a page
// freed from one of them tells whose it was: a chat that loses nearly all
// its messages frees whole pages, which must not be listed under another
// chat (the one whose table comes first), nor twice, nor be lost.
TEST_F(PeerChatTest, RowsOnPagesFreedFromALiveTableAreListedOnceUnderTheirOwnChat) {
  auto chat = [](const std::string& tag, int64_t start, int count, int keep) {
    std::vector<gen::GenPeerMessage> out;
    for (int i = 0; i < count; ++i) {
      gen::GenPeerMessage m;
      m.unixDate = start + i * 60;
      m.text = tag + " message " + std::to_string(i);
      m.incoming = i % 2 == 0;
      m.deleted = i < count - keep;
      out.push_back(m);
    }
    return out;
  };
  std::vector<GenPeer> qq(2);
  qq[0].id = "10001";
  qq[0].messages = chat("qq-first", 1400000000, 3, 3);
  qq[1].id = "20002";
  qq[1].messages = chat("qq-second", 1400100000, 300, 2);
  gen::BuildQqDb(dir_ / "QQ.db", qq);
  PeerChatMap qqChats;
  ASSERT_EQ(ScanQQ(dir_ / "QQ.db", qqChats), status::kOk);
  int back = 0, phantoms = 0;
  // QQ rows name their partner: all of them go back to it.
  Count("qq, a chat emptied", qq, qqChats, back, phantoms, QqKey, dir_ / "QQ.db");
  EXPECT_EQ(phantoms, 0);
  EXPECT_GT(back, 60);

  std::vector<GenPeer> wx(2);
  wx[0].id = "wxid_alice01";
  wx[0].nickName = "Alice";
  wx[0].messages = chat("wx-alice", 1400000000, 3, 3);
  wx[1].id = "wxid_bob02";
  wx[1].nickName = "Bob";
  wx[1].messages = chat("wx-bob", 1400100000, 300, 2);
  gen::BuildWeChatDb(dir_ / "MM.sqlite", wx);
  PeerChatMap wxChats;
  ASSERT_EQ(ScanWeChat(dir_ / "MM.sqlite", wxChats), status::kOk);
  ASSERT_EQ(wxChats.count("wxid_alice01"), 1u);
  EXPECT_EQ(Texts(wxChats["wxid_alice01"]),
            (std::vector<std::string>{"wx-alice message 0", "wx-alice message 1", "wx-alice message 2"}));
  // WeChat rows of freed pages are listed under "Unknown"; those found in
  // Bob's own pages under Bob.
  std::set<std::string> bobs;
  size_t listed = 0;
  for (const char* key : {"wxid_bob02", kUnknownConversation}) {
    for (const PeerChatRecord& m : wxChats[key]) {
      if (!m.deleted) continue;
      ++listed;
      EXPECT_EQ(m.text.rfind("wx-bob", 0), 0u) << m.text;
      bobs.insert(m.text);
    }
  }
  EXPECT_EQ(listed, bobs.size());  // each once
  EXPECT_FALSE(wxChats[kUnknownConversation].empty());
  std::ifstream in(dir_ / "MM.sqlite", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  size_t surviving = 0;
  for (const auto& m : wx[1].messages) surviving += m.deleted && Survives(bytes, m.text);
  EXPECT_GE(bobs.size() * 100, surviving * 98);
}

// Deletions in a long chat leave its pages under-full; merged, one of them
// is freed, and a chat created later takes it as its root page: the long
// chat's old rows stay in the space the new owner has not used. (The
// generator's chats at scale 10 do this: Alice's 120 messages, a quarter
// deleted, then the group's table.) Their rowids lie beyond any the new
// table ever gave (its AUTOINCREMENT sequence): they are none of its
// messages, and go to no chat rather than to the wrong one.
TEST_F(PeerChatTest, WeChatRowsBeyondATablesSequenceAreNotItsMessages) {
  gen::FamilyOptions options;
  options.scale = 10;
  const std::vector<GenPeer> wx = gen::WeChatPeers(options);
  const fs::path db = dir_ / "MM.sqlite";
  gen::BuildWeChatDb(db, wx);
  PeerChatMap chats;
  ASSERT_EQ(ScanWeChat(db, chats), status::kOk);
  std::map<std::string, std::string> chatOf;  // deleted text -> its chat
  for (const GenPeer& p : wx) {
    for (const auto& m : p.messages) {
      if (m.deleted || p.dropped) chatOf[m.text] = WeChatKey(p);
    }
  }
  std::set<std::string> back;
  size_t unknown = 0;
  for (const auto& [key, messages] : chats) {
    for (const PeerChatRecord& m : messages) {
      if (!m.deleted) continue;
      const auto it = chatOf.find(m.text);
      ASSERT_NE(it, chatOf.end()) << m.text << " is no deleted message";
      EXPECT_TRUE(back.insert(m.text).second) << m.text << " twice";
      if (key == it->second) continue;
      // Not its own chat: only where no chat is known.
      EXPECT_EQ(key, kUnknownConversation) << m.text << " listed under " << key;
      ++unknown;
    }
  }
  std::ifstream in(db, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  size_t surviving = 0;
  for (const auto& [text, key] : chatOf) surviving += Survives(bytes, text);
  EXPECT_GT(surviving, 150u);
  EXPECT_GE(back.size() * 100, surviving * 98);
  EXPECT_LE(unknown, 2u);
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
