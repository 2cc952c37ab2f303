#include "tools/backupgen/family_chat_apps.h"

#include "platform/digest.h"
#include "platform/text.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

std::string QqTableName(const std::string& partner) { return "tb_c2cMsg_" + partner; }

std::string QqTableSql(const std::string& table) {
  // 50 columns; the app keeps many per-message flags behind the text.
  std::string sql = "CREATE TABLE \"" + table +
                    "\" (msgId INTEGER PRIMARY KEY, uin TEXT, time INTEGER, msgSeq INTEGER, flag INTEGER, "
                    "msgType INTEGER, content TEXT";
  for (int i = 7; i < 50; ++i) sql += Format(", ext%02d INTEGER", i);
  return sql + ")";
}

std::string WeChatTableName(const std::string& userName) { return "Chat_" + Md5Hex(userName); }

std::string WeChatTableSql(const std::string& table) {
  return "CREATE TABLE " + table +
         " (TableVer INTEGER DEFAULT 1, MesLocalID INTEGER PRIMARY KEY AUTOINCREMENT, MesSvrID INTEGER "
         "DEFAULT 0, CreateTime INTEGER DEFAULT 0, Message TEXT, Status INTEGER DEFAULT 0, ImgStatus INTEGER "
         "DEFAULT 0, Type INTEGER, Des INTEGER)";
}

namespace {

std::vector<GenPeerMessage> Conversation(const std::string& tag, int64_t start, int count, int deletedEvery,
                                         bool reversedDates = false) {
  std::vector<GenPeerMessage> out;
  for (int i = 0; i < count; ++i) {
    GenPeerMessage m;
    // Out-of-order dates: the tables keep messages in arrival order, which
    // is not always the order of their time stamps.
    m.unixDate = reversedDates ? start - i * 50 : start + i * 50 + (i % 3 == 1 ? -40 : 0);
    m.text = Format("%s message %d", tag.c_str(), i);
    m.incoming = i % 2 == 0;
    m.deleted = deletedEvery > 0 && i % deletedEvery == deletedEvery - 1;
    out.push_back(m);
  }
  return out;
}

}  // namespace

std::vector<GenPeer> QqPeers(const FamilyOptions& options) {
  const int n = 12 * options.scale;
  std::vector<GenPeer> peers(4);
  peers[0].id = "10001";
  peers[0].messages = Conversation("qq-10001", 1400000000, n, 5);
  GenPeerMessage picture;
  picture.unixDate = 1400000020;
  picture.incoming = true;
  peers[0].messages.insert(peers[0].messages.begin() + 2, picture);  // a picture: no text
  peers[1].id = "20002";
  peers[1].messages = Conversation("qq-20002", 1400005000, 2, 0, true);  // two, out of date order
  // An old copy of the first partner's conversation that the app dropped,
  // and the whole conversation of a partner removed since.
  peers[2].id = "10001";
  peers[2].table = "tb_c2cMsg_10001_old";
  peers[2].dropped = true;
  peers[2].messages = Conversation("qq-10001-old", 1390000000, 120, 0);
  peers[3].id = "30003";
  peers[3].dropped = true;
  peers[3].messages = Conversation("qq-30003", 1395000000, 120, 0);
  return peers;
}

std::vector<GenPeer> WeChatPeers(const FamilyOptions& options) {
  const int n = 12 * options.scale;
  std::vector<GenPeer> peers(5);
  peers[0].id = "wxid_alice01";
  peers[0].nickName = "Alice";
  peers[0].messages = Conversation("wx-alice", 1400000000, n, 4);
  peers[1].id = "wxid_bob02";
  peers[1].nickName = "Bob";
  peers[1].messages = Conversation("wx-bob", 1400009000, 3, 0, true);
  peers[2].id = "wxid_carol03";
  peers[2].nickName = "Carol";
  peers[2].hasTable = false;
  peers[3].id = "12345678@chatroom";
  peers[3].nickName = "Team room";
  peers[3].messages = Conversation("wx-room", 1400020000, 2, 0, true);
  peers[4].id = "wxid_dave04";
  peers[4].nickName = "Dave";
  peers[4].dropped = true;
  peers[4].messages = Conversation("wx-dave", 1395000000, 150, 0);
  return peers;
}

namespace {

void FillQq(FixtureDb& db, const std::string& table, const std::string& partner,
            const std::vector<GenPeerMessage>& messages, bool deleteMarked) {
  std::string insert = "INSERT INTO \"" + table + "\" (uin, time, msgSeq, flag, msgType, content";
  for (int i = 7; i < 50; ++i) insert += Format(", ext%02d", i);
  insert += ") VALUES (?,?,?,?,?,?";
  for (int i = 7; i < 50; ++i) insert += ",?";
  insert += ")";
  std::vector<int64_t> doomed;
  int64_t seq = 0;
  for (const GenPeerMessage& m : messages) {
    // The values are put in place one by one: a temporary Value moved into
    // the vector makes GCC 12 warn that the string alternative of the moved
    // variant "may be used uninitialized" (a false report about the inactive
    // alternative).
    std::vector<Value> v;
    v.reserve(50);
    v.emplace_back(partner);
    v.emplace_back(m.unixDate);
    v.emplace_back(++seq);
    v.emplace_back(int64_t{m.incoming ? 0 : 1});
    v.emplace_back(int64_t{m.text.empty() ? 1 : 0});
    if (m.text.empty()) {
      v.emplace_back(nullptr);
    } else {
      v.emplace_back(m.text);
    }
    for (int i = 7; i < 50; ++i) {
      if (i % 7 == 0) {
        v.emplace_back(int64_t{i});
      } else {
        v.emplace_back(nullptr);
      }
    }
    const int64_t id = db.Run(insert, v);
    if (deleteMarked && m.deleted) doomed.push_back(id);
  }
  for (int64_t id : doomed) db.Run("DELETE FROM \"" + table + "\" WHERE msgId = ?", {id});
}

void FillWeChat(FixtureDb& db, const std::string& table, const std::vector<GenPeerMessage>& messages,
                bool deleteMarked) {
  std::vector<int64_t> doomed;
  int64_t svr = 5000000;
  for (const GenPeerMessage& m : messages) {
    const int64_t id = db.Run("INSERT INTO " + table +
                                  " (TableVer, MesSvrID, CreateTime, Message, Status, ImgStatus, Type, Des) "
                                  "VALUES (?,?,?,?,?,?,?,?)",
                              {int64_t{1}, svr += 7919, m.unixDate, m.text, int64_t{m.incoming ? 4 : 2},
                               int64_t{1}, int64_t{1}, int64_t{m.incoming ? 0 : 1}});
    if (deleteMarked && m.deleted) doomed.push_back(id);
  }
  for (int64_t id : doomed) db.Run("DELETE FROM " + table + " WHERE MesLocalID = ?", {id});
}

}  // namespace

void BuildQqDb(const fs::path& path, const std::vector<GenPeer>& peers,
               const std::vector<std::string>& directoryExtra) {
  FixtureDb db(path);
  db.Exec("CREATE TABLE tb_c2cTables (name TEXT)");
  db.Exec("CREATE TABLE tb_recentC2CMsg (uin TEXT, time INTEGER, content TEXT)");
  for (int pass = 0; pass < 2; ++pass) {
    for (const GenPeer& p : peers) {
      if (p.dropped != (pass == 1)) continue;
      const std::string table = p.table.empty() ? QqTableName(p.id) : p.table;
      db.Exec(QqTableSql(table));
      db.Run("INSERT INTO tb_c2cTables (name) VALUES (?)", {table});
      db.Exec("BEGIN");
      FillQq(db, table, p.id, p.messages, !p.dropped);
      db.Exec("COMMIT");
    }
  }
  for (const std::string& extra : directoryExtra) {
    db.Run("INSERT INTO tb_c2cTables (name) VALUES (?)", {extra});
  }
  for (const GenPeer& p : peers) {
    if (!p.dropped) continue;
    const std::string table = p.table.empty() ? QqTableName(p.id) : p.table;
    db.Exec("DROP TABLE \"" + table + "\"");
    db.Run("DELETE FROM tb_c2cTables WHERE name = ?", {table});
  }
}

void BuildWeChatDb(const fs::path& path, const std::vector<GenPeer>& peers) {
  FixtureDb db(path);
  db.Exec(kWeChatFriendSql);
  db.Exec("CREATE TABLE Friend_Ext (UsrName TEXT, ConExtInfo BLOB)");
  int64_t uin = 100000;
  for (int pass = 0; pass < 2; ++pass) {
    for (const GenPeer& p : peers) {
      if (p.dropped != (pass == 1)) continue;
      db.Run("INSERT INTO Friend (UsrName, NickName, Uin, Email, Mobile, Type, Remark, ConRemark, "
             "ConChatRoomMem, ConStrRes1, DraftInfo, ImgStatus) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
             {p.id, p.nickName, uin += 13, nullptr, nullptr, int64_t{3}, nullptr, std::string(), nullptr,
              nullptr, nullptr, int64_t{1}});
      if (!p.hasTable) continue;
      const std::string table = p.table.empty() ? WeChatTableName(p.id) : p.table;
      db.Exec(WeChatTableSql(table));
      db.Exec("BEGIN");
      FillWeChat(db, table, p.messages, !p.dropped);
      db.Exec("COMMIT");
    }
  }
  for (const GenPeer& p : peers) {
    if (!p.dropped) continue;
    db.Exec("DROP TABLE " + (p.table.empty() ? WeChatTableName(p.id) : p.table));
    db.Run("DELETE FROM Friend WHERE UsrName = ?", {p.id});
  }
}

void AddChatAppsFamily(BackupWriter& writer, const FamilyOptions& options) {
  const fs::path qq = writer.ScratchPath("QQ.db");
  BuildQqDb(qq, QqPeers(options));
  writer.AddFileFrom("AppDomain-com.tencent.mqq", "Documents/88001234/QQ.db", qq);
  const fs::path mm = writer.ScratchPath("MM.sqlite");
  BuildWeChatDb(mm, WeChatPeers(options));
  writer.AddFileFrom("AppDomain-com.tencent.xin", "Documents/" + Md5Hex("wxid_owner") + "/DB/MM.sqlite", mm);
}

}  // namespace orbanix::gen
