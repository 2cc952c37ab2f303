// One-to-one chats of QQ and WeChat, and the plain-text export of a chat.
//
// QQ keeps, in QQ.db, a directory table tb_c2cTables (column 0: the name of
// one message table per partner, "tb_c2cMsg_<partner number>") and per
// partner a message table of 50 columns, of which are read
//   1 partner number (text)  2 time (Unix seconds)  4 direction (0 received)
//   6 text
// WeChat keeps, in MM.sqlite, its friends in Friend (1 user name, 2 nick
// name, 6 type) and each friend's messages in "Chat_" + the MD5 of the user
// name (32 lowercase hexadecimal digits), of which are read
//   3 time (Unix seconds)  4 text  8 direction (0 received)
// Rows are read live and recovered. Every message table of a store has the
// same columns, so nothing on a page freed from one (a free-list page, or a
// page of a dropped table) says whose it was: those pages are read once for
// all conversations. A recovered QQ row goes to the partner number it holds
// (also a partner whose table is gone); a recovered WeChat row of a freed
// page names no friend and is listed under "Unknown". Each recovered
// message is listed once, in one conversation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

// Progress of one extractor scan: the share done (0-100); a non-zero answer
// stops the scan, which then returns kCancelled and leaves its output alone.
using ExtractorProgress = std::function<int(int percent)>;

// One chat message of QQ or WeChat.
struct PeerChatRecord {
  int deleted = 0;   // 0 live, 1 recovered
  int incoming = 0;  // 1 when the direction column holds 0
  int rowId = 0;     // 0 when recovered without the cell header
  std::string date;  // local time "YYYY-MM-DD hh:mm:ss"
  std::string text;
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// Conversation key (QQ: partner number; WeChat: user name or "Unknown") ->
// its messages (more than two sorted by date; two or fewer in table order).
using PeerChatMap = std::map<std::string, std::vector<PeerChatRecord>>;

// The key under which recovered rows that name no conversation are listed.
inline constexpr const char* kUnknownConversation = "Unknown";

// The partner number of a QQ message table: the text after its last "_"
// (empty when there is none).
std::string QqPartnerOf(const std::string& tableName);
// The message table of a WeChat user name.
std::string WeChatTableOf(const std::string& userName);

// Fill `chats` (existing keys are replaced). 0, or the error of the open or
// of the directory / friend table; a conversation table that cannot be read
// is skipped. Nothing is added on failure or cancel.
Status ScanQQ(const std::filesystem::path& qqDb, PeerChatMap& chats, const ExtractorProgress& progress = {});
Status ScanWeChat(const std::filesystem::path& mmDb, PeerChatMap& chats, const ExtractorProgress& progress = {});

// --- the chat text export ---

// One message of an exported chat.
struct ChatTextEntry {
  std::string time;
  std::string speaker;
  std::string text;
};

// The speaker of a QQ/WeChat message: "Me" for sent ones, else the
// conversation's key (the partner).
std::string PeerSpeaker(const PeerChatRecord& message, const std::string& conversation);
std::vector<ChatTextEntry> PeerChatText(const std::vector<PeerChatRecord>& messages, const std::string& conversation);

// Reports progress of an export: percent done, a status (0, or the error
// that ended it) and the output path; a non-zero answer stops the export,
// which returns that answer.
using ChatExportReport = std::function<int(int percent, Status status, const std::filesystem::path& output)>;

// Writes a chat as UTF-8 text with a byte-order mark, each message as
// "<time> <speaker>:\n" followed by "    <text>\n\n"; missing folders are
// created. After each message the report gets messages written x 100 /
// count. An output that cannot be written gives its errno (and a report of
// 100 with it); an empty chat gives an empty file (with the mark) and 0.
Status ExportChatText(const std::filesystem::path& output, const std::vector<ChatTextEntry>& entries,
                      const ChatExportReport& report = {});

}  // namespace orbanix
