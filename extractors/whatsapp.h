// WhatsApp chats from the app's chat store (ChatStorage.sqlite, Core Data).
//
// Four tables are read: ZWAMESSAGE (messages), ZWACHATSESSION (chats),
// ZWAGROUPMEMBER (members of group chats) and ZWAMEDIAITEM (media). The app
// has moved columns between versions; the layout is told by the column count
// N of ZWAMESSAGE, learned from the SQLite library (read-only, immutable
// open; no data is read through it):
//
//   table           field           N<=27  28   29   30       by name
//   ZWAMESSAGE      from me         7      10   10   11,7     ZISFROMME
//                   chat            12     14   15   12,16    ZCHATSESSION
//                   group member    13     15   -    -        ZGROUPMEMBER
//                   media item      -      -    18   19       ZMEDIAITEM
//                   date            17     20   21   22       ZMESSAGEDATE
//                   text            21     26   27   28,21    ZTEXT
//   ZWACHATSESSION  address         14     14   16   17,14    ZCONTACTJID
//                   name            16     16   18   19,16    ZPARTNERNAME
//   ZWAGROUPMEMBER  chat            5      6    6    6        ZCHATSESSION
//                   name            7      8    8    8        ZCONTACTNAME
//                   address         9      10   10   10       ZMEMBERJID
//   ZWAMEDIAITEM    local path      18     18   18   18       ZMEDIALOCALPATH
//
// Where two positions are given both are read in column order and the later
// one wins when both hold a value. Stores with more than 30 columns, or with
// fewer columns than the positions need, are read by column name. Dates are
// seconds since 2001-01-01 (integer or real). Addresses ("JIDs") keep the
// part before the first "@", a phone number with a "+" in front.
//
// In a group chat an incoming message names its member: the member's name
// (ZWAGROUPMEMBER), else the push name the member gave (ZWAPROFILEPUSHNAME,
// by JID), else the member's number.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "extractors/chat_apps.h"
#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

// Progress of one extractor scan: the share done (0-100); a non-zero answer
// stops the scan, which then returns kCancelled and leaves its output alone.
using ExtractorProgress = std::function<int(int percent)>;

// One chat message (WhatsApp).
struct ChatMessageRecord {
  int deleted = 0;        // 0 live, 1 recovered
  int fromMe = 0;
  int rowId = 0;          // the message row's rowid (0 when recovered without its cell header)
  int chatId = -1;        // key of the message's chat; -1 until read
  int groupMemberId = 0;  // key of the sending group member (0 none)
  int mediaItemId = 0;    // key of the media item (0 none)
  std::string date;       // local time "YYYY-MM-DD hh:mm:ss"
  std::string senderName;     // "Me" for own messages; the member's or the chat's name
  std::string text;           // the text; for a message without text the media item's local path
  std::string senderAddress;  // empty for own messages
  std::string partnerName;    // the chat's member names joined by ","; the chat's name when none
  std::string partnerAddress; // the same for addresses
  std::string chatTitle;      // the chat's name
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// Chat key -> its messages in ascending date order.
using WhatsAppChatMap = std::map<int, std::vector<ChatMessageRecord>>;

// Column positions for one store (-1: not read). Exposed for tests and for
// the row dump of the command line.
struct WhatsAppColumns {
  int messageColumns = 0;  // N
  bool byName = false;
  std::vector<int> fromMe, chat, groupMember, mediaItem, date, text;
  std::vector<int> keepIfNumber;  // N > 28: a recovered or live row needs a number in one of these
  std::vector<int> chatAddress, chatName;
  int memberChat = -1, memberName = -1, memberAddress = -1;
  int mediaPath = -1;
  // Column counts of the other three tables (for rows recovered without
  // their cell header); 0 = the reader's own expectation.
  int chatColumns = 0, memberColumns = 0, mediaColumns = 0;
};

// Positions of the table above for a store whose ZWAMESSAGE has n columns
// (27 or fewer, 28, 29, 30; and the positions of 31 or more, used only when
// the store has no column names to go by).
WhatsAppColumns WhatsAppPositions(int n);

// Positions by column name, from the four tables' column names.
WhatsAppColumns WhatsAppColumnsByName(const std::vector<std::string>& message,
                                      const std::vector<std::string>& chat,
                                      const std::vector<std::string>& member,
                                      const std::vector<std::string>& media);

// The address of a JID: the part before its first "@" (without a device's
// ":n"), with a "+" in front when the JID is a user's on the phone-number
// server ("…@s.whatsapp.net", "…@c.us") and that part is digits only.
std::string WhatsAppJidAddress(const std::string& jid);

// Learns the layout of a store through the SQLite library (read-only).
// 1006 when ZWAMESSAGE cannot be queried; an empty ZWAMESSAGE is fine.
Status ProbeWhatsAppColumns(const std::filesystem::path& chatDb, WhatsAppColumns& columns);

// Reads the chat store into `chats` (filled; existing keys get the new
// messages appended). 0; 1006 when ZWAMESSAGE cannot be queried; the open
// error of the page reader; the first failed table read when no message
// could be read at all (a damaged store otherwise gives what it holds).
// Nothing is added on failure or cancel.
Status ScanWhatsApp(const std::filesystem::path& chatDb, WhatsAppChatMap& chats,
                    const ExtractorProgress& progress = {});

// The speaker of a message in the chat text export: "Me" for own messages,
// else the sender's name, or the sender's address when the name is empty or
// "Unknown".
std::string WhatsAppSpeaker(const ChatMessageRecord& message);
std::vector<ChatTextEntry> WhatsAppChatText(const std::vector<ChatMessageRecord>& messages);

}  // namespace orbanix
