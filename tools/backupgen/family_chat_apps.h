// The chat stores of QQ and WeChat.
//
// QQ ("AppDomain-com.tencent.mqq-Documents/<account>/QQ.db") lists one
// message table per chat partner in tb_c2cTables; each table
// "tb_c2cMsg_<partner>" has 50 columns, of which the partner number (1),
// the Unix time (2), the direction (4, 0 = received) and the text (6) are
// read. WeChat ("AppDomain-com.tencent.xin-Documents/<hash>/DB/MM.sqlite")
// keeps its friends in Friend and each friend's messages in
// "Chat_<md5 of the user name>" (time 3, text 4, direction 8).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

struct GenPeerMessage {
  int64_t unixDate = 0;
  std::string text;       // empty: a picture message without text
  bool incoming = false;
  bool deleted = false;   // inserted, then deleted (free space of the live table)
};

// One QQ partner or WeChat friend and their messages. A `dropped` table is
// created and filled after every live table and then dropped, so its pages
// go to the free list with their rows (QQ also loses its directory row,
// WeChat its Friend row).
struct GenPeer {
  std::string id;            // QQ partner number / WeChat user name
  std::string nickName;      // WeChat only
  std::string table;         // the table's name when it is not the usual one
  bool hasTable = true;      // WeChat: a friend without a message table
  bool dropped = false;
  std::vector<GenPeerMessage> messages;
};

// The QQ message table's name for a partner, and its CREATE statement.
std::string QqTableName(const std::string& partner);
std::string QqTableSql(const std::string& table);
// The WeChat message table of a user name: "Chat_" + MD5 hex.
std::string WeChatTableName(const std::string& userName);
std::string WeChatTableSql(const std::string& table);
inline constexpr const char* kWeChatFriendSql =
    "CREATE TABLE Friend (FriendID INTEGER PRIMARY KEY, UsrName TEXT, NickName TEXT, Uin INTEGER, "
    "Email TEXT, Mobile TEXT, Type INTEGER, Remark TEXT, ConRemark TEXT, ConChatRoomMem TEXT, "
    "ConStrRes1 TEXT, DraftInfo TEXT, ImgStatus INTEGER)";

std::vector<GenPeer> QqPeers(const FamilyOptions& options);
std::vector<GenPeer> WeChatPeers(const FamilyOptions& options);

// `directoryExtra` adds directory rows as they are (for tables without a
// partner number in their name).
void BuildQqDb(const fs::path& path, const std::vector<GenPeer>& peers,
               const std::vector<std::string>& directoryExtra = {});
void BuildWeChatDb(const fs::path& path, const std::vector<GenPeer>& peers);

void AddChatAppsFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
