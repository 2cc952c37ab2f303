#include "extractors/whatsapp.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

struct ChatRow {
  int key = 0;
  std::string address, name, memberNames, memberAddresses;
};
struct MemberRow {
  int key = 0;
  int chatId = 0;
  std::string address, name;
};
struct MediaRow {
  int key = 0;
  std::string localPath;
};

int MaxOf(const std::vector<int>& positions) {
  return positions.empty() ? -1 : *std::max_element(positions.begin(), positions.end());
}

// The part of a JID before its first "@"; a phone number (digits only) with
// its "+".
std::string BeforeAt(const std::string& jid) { return WhatsAppJidAddress(jid); }

bool IsNumber(const ParsedRecord& rec, int c) { return rec.IsInteger(c) || rec.IsReal(c); }

// Integer of the last listed column that holds one (columns in ascending order).
bool LastInteger(const ParsedRecord& rec, const std::vector<int>& columns, int64_t& value) {
  bool found = false;
  for (int c : columns) {
    if (rec.IsInteger(c)) {
      value = rec.AsInt64(c);
      found = true;
    }
  }
  return found;
}

// Text of the last listed column that holds a non-empty one.
std::string LastText(const ParsedRecord& rec, const std::vector<int>& columns) {
  std::string text;
  for (int c : columns) {
    if (rec.IsText(c)) {
      std::string t = rec.AsText(c);
      if (!t.empty()) text = std::move(t);
    }
  }
  return text;
}

// The date of the last listed column that holds one (seconds since 2001,
// integer or real).
std::string AppleDateText(const ParsedRecord& rec, const std::vector<int>& columns) {
  std::string text;
  for (int c : columns) {
    std::string t = FormatDateColumn(rec, c, Epoch::kApple);
    if (!t.empty()) text = std::move(t);
  }
  return text;
}

bool Plausible(const std::string& text, int deleted) { return deleted == 0 || !HasReplacementOrZero(text); }

Status Parse(CDbFileReader& reader, const RowInput& input, ParsedRecord& rec, int headerlessColumns) {
  if (!input.headerless) return ParseLiveRecord(reader, input, rec, true);
  return ParseHeaderlessRecord(reader, input, rec, headerlessColumns > 0 ? headerlessColumns : -1);
}

// Recovered messages that repeat a live message or an earlier recovered one
// are old copies of the same cell, left behind when SQLite moved it.
void DropRecoveredCopies(std::vector<ChatMessageRecord>& messages) {
  std::set<std::string> seen;
  auto key = [](const ChatMessageRecord& m) {
    return Format("%d|%d|%d|%d|", m.chatId, m.fromMe, m.groupMemberId, m.mediaItemId) + m.date + '\x1f' + m.text;
  };
  for (const ChatMessageRecord& m : messages) {
    if (!m.deleted) seen.insert(key(m));
  }
  std::vector<ChatMessageRecord> kept;
  kept.reserve(messages.size());
  for (ChatMessageRecord& m : messages) {
    if (m.deleted && !seen.insert(key(m)).second) continue;
    kept.push_back(std::move(m));
  }
  messages = std::move(kept);
}

int IndexOf(const std::vector<std::string>& names, const char* name) { return ColumnLookup(names).Find(name); }

std::vector<int> One(int position) { return position < 0 ? std::vector<int>{} : std::vector<int>{position}; }

}  // namespace

std::string WhatsAppJidAddress(const std::string& jid) {
  const size_t at = jid.find('@');
  std::string address = jid.substr(0, at);
  if (at == std::string::npos) return address;
  // Only a user's JID on the phone-number servers names a number; a linked
  // id ("…@lid", which current groups give members who hide their number)
  // and a group's JID do not.
  const std::string_view server = std::string_view(jid).substr(at + 1);
  if (server != "s.whatsapp.net" && server != "c.us") return address;
  // A device's JID adds ":device" to the number.
  if (const size_t colon = address.find(':'); colon != std::string::npos) address.resize(colon);
  const bool number = !address.empty() && std::all_of(address.begin(), address.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
  return number ? "+" + address : address;
}

WhatsAppColumns WhatsAppPositions(int n) {
  WhatsAppColumns c;
  c.messageColumns = n;
  c.mediaPath = 18;
  c.memberChat = 6;
  c.memberName = 8;
  c.memberAddress = 10;
  c.chatAddress = {14};
  c.chatName = {16};
  if (n <= 27) {
    c.fromMe = {7};
    c.chat = {12};
    c.groupMember = {13};
    c.date = {17};
    c.text = {21};
    c.memberChat = 5;
    c.memberName = 7;
    c.memberAddress = 9;
  } else if (n == 28) {
    c.fromMe = {10};
    c.chat = {14};
    c.groupMember = {15};
    c.date = {20};
    c.text = {26};
  } else if (n == 29) {
    c.fromMe = {10};
    c.chat = {15};
    c.mediaItem = {18};
    c.date = {21};
    c.text = {27};
    c.keepIfNumber = {15, 16, 21};
    c.chatAddress = {16};
    c.chatName = {18};
  } else if (n == 30) {
    c.fromMe = {7, 11};
    c.chat = {12, 16};
    c.mediaItem = {19};
    c.date = {22};
    c.text = {21, 28};
    c.keepIfNumber = {12, 13, 16, 17, 22};
    c.chatAddress = {14, 17};
    c.chatName = {16, 19};
  } else {
    c.fromMe = {7};
    c.chat = {12};
    c.date = {17};
    c.text = {21};
    c.keepIfNumber = {12, 13, 17};
  }
  return c;
}

WhatsAppColumns WhatsAppColumnsByName(const std::vector<std::string>& message, const std::vector<std::string>& chat,
                                      const std::vector<std::string>& member,
                                      const std::vector<std::string>& media) {
  WhatsAppColumns c;
  c.byName = true;
  c.messageColumns = static_cast<int>(message.size());
  c.fromMe = One(IndexOf(message, "ZISFROMME"));
  c.chat = One(IndexOf(message, "ZCHATSESSION"));
  c.groupMember = One(IndexOf(message, "ZGROUPMEMBER"));
  c.mediaItem = One(IndexOf(message, "ZMEDIAITEM"));
  c.date = One(IndexOf(message, "ZMESSAGEDATE"));
  c.text = One(IndexOf(message, "ZTEXT"));
  c.keepIfNumber = c.chat;
  c.keepIfNumber.insert(c.keepIfNumber.end(), c.date.begin(), c.date.end());
  c.chatAddress = One(IndexOf(chat, "ZCONTACTJID"));
  c.chatName = One(IndexOf(chat, "ZPARTNERNAME"));
  c.memberChat = IndexOf(member, "ZCHATSESSION");
  c.memberName = IndexOf(member, "ZCONTACTNAME");
  c.memberAddress = IndexOf(member, "ZMEMBERJID");
  c.mediaPath = IndexOf(media, "ZMEDIALOCALPATH");
  c.chatColumns = static_cast<int>(chat.size());
  c.memberColumns = static_cast<int>(member.size());
  c.mediaColumns = static_cast<int>(media.size());
  return c;
}

Status ProbeWhatsAppColumns(const std::filesystem::path& chatDb, WhatsAppColumns& columns) {
  TableSchema message, chat, member, media;
  if (LoadTableSchema(chatDb, "ZWAMESSAGE", message) != status::kOk) return status::kWhatsAppSchema;
  LoadTableSchema(chatDb, "ZWACHATSESSION", chat);
  LoadTableSchema(chatDb, "ZWAGROUPMEMBER", member);
  LoadTableSchema(chatDb, "ZWAMEDIAITEM", media);
  const int n = message.columnCount;
  WhatsAppColumns positions = WhatsAppPositions(n);
  // The position table covers the layouts up to 30 columns, as long as every
  // table has the columns it names (a table the store lacks has none to read).
  auto fits = [](const TableSchema& t, int maxPosition) { return t.columnCount == 0 || maxPosition < t.columnCount; };
  const int maxMessage = std::max({MaxOf(positions.fromMe), MaxOf(positions.chat), MaxOf(positions.groupMember),
                                   MaxOf(positions.mediaItem), MaxOf(positions.date), MaxOf(positions.text),
                                   MaxOf(positions.keepIfNumber)});
  const bool covered = n <= 30 && maxMessage < n &&
                       fits(chat, std::max(MaxOf(positions.chatAddress), MaxOf(positions.chatName))) &&
                       fits(member, std::max({positions.memberChat, positions.memberName, positions.memberAddress})) &&
                       fits(media, positions.mediaPath);
  columns = covered ? positions
                    : WhatsAppColumnsByName(message.columnNames, chat.columnNames, member.columnNames,
                                            media.columnNames);
  // The layouts of 29 and 30 columns have no position for the sending group
  // member; the schema names it.
  if (columns.groupMember.empty()) columns.groupMember = One(IndexOf(message.columnNames, "ZGROUPMEMBER"));
  return status::kOk;
}

Status ScanWhatsApp(const std::filesystem::path& chatDb, WhatsAppChatMap& chats, const ExtractorProgress& progress) {
  CDbFileReader reader;
  WhatsAppColumns col;
  const Status probed = ProbeWhatsAppColumns(chatDb, col);
  if (probed != status::kOk) return probed;
  const Status opened = reader.Open(chatDb);
  if (opened != status::kOk) return opened;
  reader.waMessageColumns = col.messageColumns;
  ParsedRecord rec;

  std::vector<MediaRow> media;
  Status failed = status::kOk;
  Status read = ScanTable(reader, "ZWAMEDIAITEM", [&](CDbFileReader& r, const RowInput& in) {
    const Status st = Parse(r, in, rec, col.mediaColumns);
    if (st != status::kOk) return st;
    MediaRow m;
    m.key = static_cast<int>(rec.rowid);
    if (rec.IsText(col.mediaPath)) m.localPath = rec.AsText(col.mediaPath);
    if (!Plausible(m.localPath, in.deleted)) return status::kBadData;
    media.push_back(std::move(m));
    return status::kOk;
  });
  if (read != status::kOk && failed == status::kOk) failed = read;
  if (progress && progress(20) != 0) return status::kCancelled;

  std::vector<ChatRow> chatRows;
  read = ScanTable(reader, "ZWACHATSESSION", [&](CDbFileReader& r, const RowInput& in) {
    const Status st = Parse(r, in, rec, col.chatColumns);
    if (st != status::kOk) return st;
    ChatRow c;
    c.key = static_cast<int>(rec.rowid);
    // A chat's JID is kept only when it is one ("<number>@<domain>").
    const std::string jid = LastText(rec, col.chatAddress);
    if (jid.find('@') != std::string::npos) c.address = BeforeAt(jid);
    c.name = LastText(rec, col.chatName);
    if (!Plausible(c.address + c.name, in.deleted)) return status::kBadData;
    chatRows.push_back(std::move(c));
    return status::kOk;
  });
  if (read != status::kOk && failed == status::kOk) failed = read;
  if (progress && progress(40) != 0) return status::kCancelled;

  std::vector<MemberRow> members;
  read = ScanTable(reader, "ZWAGROUPMEMBER", [&](CDbFileReader& r, const RowInput& in) {
    const Status st = Parse(r, in, rec, col.memberColumns);
    if (st != status::kOk) return st;
    MemberRow m;
    m.key = static_cast<int>(rec.rowid);
    if (rec.IsInteger(col.memberChat)) m.chatId = static_cast<int>(rec.AsInt64(col.memberChat));
    if (rec.IsText(col.memberName)) m.name = rec.AsText(col.memberName);
    if (rec.IsText(col.memberAddress)) m.address = BeforeAt(rec.AsText(col.memberAddress));
    if (!Plausible(m.address + m.name, in.deleted)) return status::kBadData;
    members.push_back(std::move(m));
    return status::kOk;
  });
  if (read != status::kOk && failed == status::kOk) failed = read;
  if (progress && progress(60) != 0) return status::kCancelled;

  // The names members gave themselves (current stores): JID -> push name.
  std::unordered_map<std::string, std::string> pushNames;
  if (const ColumnLookup pushColumns = ColumnLookup::Load(chatDb, "ZWAPROFILEPUSHNAME"); pushColumns.HasSchema()) {
    const int jidColumn = pushColumns.Find("ZJID"), nameColumn = pushColumns.Find("ZPUSHNAME");
    ScanTable(reader, "ZWAPROFILEPUSHNAME", [&](CDbFileReader& r, const RowInput& in) {
      if (in.deleted) return status::kBadData;
      const Status st = Parse(r, in, rec, 0);
      if (st != status::kOk) return st;
      if (!rec.IsText(jidColumn) || !rec.IsText(nameColumn)) return status::kBadData;
      std::string name = rec.AsText(nameColumn);
      if (name.empty() || HasReplacementOrZero(name)) return status::kBadData;
      pushNames.emplace(BeforeAt(rec.AsText(jidColumn)), std::move(name));
      return status::kOk;
    });
  }

  std::vector<ChatMessageRecord> messages;
  read = ScanTable(reader, "ZWAMESSAGE", [&](CDbFileReader& r, const RowInput& in) {
    const Status st = Parse(r, in, rec, 0);
    if (st != status::kOk) return st;
    if (!col.keepIfNumber.empty() &&
        std::none_of(col.keepIfNumber.begin(), col.keepIfNumber.end(), [&](int c) { return IsNumber(rec, c); })) {
      return status::kBadData;
    }
    ChatMessageRecord m;
    m.deleted = in.deleted;
    m.recoveredFrom = RecoveredFromInput(in);
    m.rowId = static_cast<int>(rec.rowid);
    int64_t v = 0;
    if (LastInteger(rec, col.fromMe, v)) m.fromMe = v == 1 ? 1 : 0;
    if (LastInteger(rec, col.chat, v)) m.chatId = static_cast<int>(v);
    if (LastInteger(rec, col.groupMember, v)) m.groupMemberId = static_cast<int>(v);
    if (LastInteger(rec, col.mediaItem, v)) m.mediaItemId = static_cast<int>(v);
    m.date = AppleDateText(rec, col.date);
    m.text = LastText(rec, col.text);
    if (!Plausible(m.text, in.deleted)) return status::kBadData;
    messages.push_back(std::move(m));
    return status::kOk;
  });
  if (read != status::kOk && failed == status::kOk) failed = read;
  // A damaged store gives what could be read; only a store of which no
  // message could be read at all reports the failure of its table reads.
  if (messages.empty() && failed != status::kOk) return failed;
  DropRecoveredCopies(messages);
  if (progress && progress(80) != 0) return status::kCancelled;

  // Chats get their members' names and addresses.
  std::unordered_map<int, std::vector<const MemberRow*>> membersOfChat;
  for (const MemberRow& m : members) membersOfChat[m.chatId].push_back(&m);
  for (ChatRow& c : chatRows) {
    auto it = membersOfChat.find(c.key);
    if (it == membersOfChat.end()) continue;
    for (const MemberRow* m : it->second) {
      if (c.memberAddresses.empty()) {
        c.memberAddresses = m->address;
        c.memberNames = m->name;
      } else {
        c.memberAddresses += "," + m->address;
        if (!m->name.empty()) c.memberNames += "," + m->name;
      }
    }
  }

  // First match by key, as a linear search would find it. Rows recovered
  // without their cell header have lost their key (0); they must not stand
  // in for "no member" or "no media item", which are 0 as well.
  std::unordered_map<int, const ChatRow*> chatByKey;
  for (const ChatRow& c : chatRows) {
    if (c.key != 0) chatByKey.emplace(c.key, &c);
  }
  std::unordered_map<int, const MemberRow*> memberByKey;
  for (const MemberRow& m : members) {
    if (m.key != 0) memberByKey.emplace(m.key, &m);
  }
  std::unordered_map<int, const MediaRow*> mediaByKey;
  for (const MediaRow& m : media) {
    if (m.key != 0) mediaByKey.emplace(m.key, &m);
  }

  std::vector<ChatMessageRecord> kept;
  kept.reserve(messages.size());
  for (ChatMessageRecord& m : messages) {
    auto chat = chatByKey.find(m.chatId);
    if (chat != chatByKey.end()) {
      const ChatRow& c = *chat->second;
      m.senderAddress = c.address;
      m.senderName = c.name;
      m.chatTitle = c.name;
      m.partnerAddress = c.memberAddresses.empty() ? c.address : c.memberAddresses;
      m.partnerName = c.memberNames.empty() ? c.name : c.memberNames;
      if (m.fromMe == 1) {
        m.senderName = "Me";
        m.senderAddress.clear();
      } else {
        auto member = memberByKey.find(m.groupMemberId);
        if (member != memberByKey.end()) {
          // The member's name in the address book, else the name the member
          // gave, else the number.
          m.senderName = member->second->name;
          m.senderAddress = member->second->address;
          if (m.senderName.empty()) {
            auto push = pushNames.find(m.senderAddress);
            m.senderName = push != pushNames.end() ? push->second : m.senderAddress;
          }
        } else if (m.groupMemberId != 0 || !c.memberAddresses.empty()) {
          // A group message whose member is not known: not the group's name.
          m.senderName = "Unknown";
          m.senderAddress.clear();
        }
      }
    }
    if (m.mediaItemId != 0 && m.text.empty()) {
      auto item = mediaByKey.find(m.mediaItemId);
      if (item != mediaByKey.end()) m.text = item->second->localPath;
    }
    if (!m.text.empty()) kept.push_back(std::move(m));
  }
  std::stable_sort(kept.begin(), kept.end(), [](const ChatMessageRecord& a, const ChatMessageRecord& b) {
    return AsciiLower(a.date) < AsciiLower(b.date);
  });
  if (progress && progress(100) != 0) return status::kCancelled;
  for (ChatMessageRecord& m : kept) chats[m.chatId].push_back(std::move(m));
  return status::kOk;
}

std::string WhatsAppSpeaker(const ChatMessageRecord& message) {
  if (message.fromMe == 1) return "Me";
  if (message.senderName.empty() || message.senderName == "Unknown") return message.senderAddress;
  return message.senderName;
}

std::vector<ChatTextEntry> WhatsAppChatText(const std::vector<ChatMessageRecord>& messages) {
  std::vector<ChatTextEntry> entries;
  entries.reserve(messages.size());
  for (const ChatMessageRecord& m : messages) entries.push_back({m.date, WhatsAppSpeaker(m), m.text});
  return entries;
}

}  // namespace orbanix
