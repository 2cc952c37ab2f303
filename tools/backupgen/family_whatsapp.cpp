#include "tools/backupgen/family_whatsapp.h"

#include <map>
#include <stdexcept>

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/fixture_db.h"
#include "tools/backupgen/media_encode.h"

namespace orbanix::gen {

namespace {

using Names = std::vector<std::string>;

Names MessageColumns(int layout) {
  switch (layout) {
    case 27:
      return {"Z_PK", "Z_ENT", "Z_OPT", "ZCHILDMESSAGESDELIVEREDCOUNT", "ZCHILDMESSAGESPLAYEDCOUNT",
              "ZCHILDMESSAGESREADCOUNT", "ZFLAGS", "ZISFROMME", "ZMESSAGEERRORSTATUS", "ZMESSAGESTATUS",
              "ZMESSAGETYPE", "ZSORT", "ZCHATSESSION", "ZGROUPMEMBER", "ZMEDIAITEM", "ZMESSAGEINFO",
              "ZPARENTMESSAGE", "ZMESSAGEDATE", "ZSENTDATE", "ZFROMJID", "ZPUSHNAME", "ZTEXT", "ZTOJID",
              "ZSTANZAID", "ZMEDIASECTIONID", "ZPHASH", "ZSPOTLIGHTSTATUS"};
    case 28:
      return {"Z_PK", "Z_ENT", "Z_OPT", "ZCHILDMESSAGESDELIVEREDCOUNT", "ZCHILDMESSAGESPLAYEDCOUNT",
              "ZCHILDMESSAGESREADCOUNT", "ZDATAITEMVERSION", "ZFLAGS", "ZGROUPEVENTTYPE",
              "ZMESSAGEERRORSTATUS", "ZISFROMME", "ZMESSAGESTATUS", "ZMESSAGETYPE", "ZSORT", "ZCHATSESSION",
              "ZGROUPMEMBER", "ZMEDIAITEM", "ZMESSAGEINFO", "ZPARENTMESSAGE", "ZSPOTLIGHTSTATUS",
              "ZMESSAGEDATE", "ZSENTDATE", "ZFROMJID", "ZMEDIASECTIONID", "ZPHASH", "ZPUSHNAME", "ZTEXT",
              "ZTOJID"};
    case 29:
      return {"Z_PK", "Z_ENT", "Z_OPT", "ZCHILDMESSAGESDELIVEREDCOUNT", "ZCHILDMESSAGESPLAYEDCOUNT",
              "ZCHILDMESSAGESREADCOUNT", "ZDATAITEMVERSION", "ZDOCID", "ZFLAGS", "ZGROUPEVENTTYPE",
              "ZISFROMME", "ZMESSAGEERRORSTATUS", "ZMESSAGESTATUS", "ZMESSAGETYPE", "ZSORT", "ZCHATSESSION",
              "ZGROUPMEMBER", "ZLASTSESSION", "ZMEDIAITEM", "ZMESSAGEINFO", "ZPARENTMESSAGE",
              "ZMESSAGEDATE", "ZSENTDATE", "ZFROMJID", "ZMEDIASECTIONID", "ZPHASH", "ZPUSHNAME", "ZTEXT",
              "ZTOJID"};
    case 30:
      return {"Z_PK", "Z_ENT", "Z_OPT", "ZCHILDMESSAGESDELIVEREDCOUNT", "ZCHILDMESSAGESPLAYEDCOUNT",
              "ZCHILDMESSAGESREADCOUNT", "ZDATAITEMVERSION", "ZDOCID", "ZENCRETRYCOUNT", "ZFLAGS",
              "ZGROUPEVENTTYPE", "ZISFROMME", "ZLASTSESSION", "ZMESSAGEERRORSTATUS", "ZMESSAGESTATUS",
              "ZMESSAGETYPE", "ZCHATSESSION", "ZGROUPMEMBER", "ZSORT", "ZMEDIAITEM", "ZMESSAGEINFO",
              "ZPARENTMESSAGE", "ZMESSAGEDATE", "ZSENTDATE", "ZFROMJID", "ZMEDIASECTIONID", "ZPHASH",
              "ZPUSHNAME", "ZTEXT", "ZTOJID"};
    case kWhatsAppWideLayout:
      return {"Z_PK", "Z_ENT", "Z_OPT", "ZCHILDMESSAGESDELIVEREDCOUNT", "ZCHILDMESSAGESPLAYEDCOUNT",
              "ZCHILDMESSAGESREADCOUNT", "ZDATAITEMVERSION", "ZDOCID", "ZENCRETRYCOUNT",
              "ZFILTEREDRECIPIENTCOUNT", "ZFLAGS", "ZGROUPEVENTTYPE", "ZISFROMME", "ZMESSAGEERRORSTATUS",
              "ZMESSAGESTATUS", "ZMESSAGETYPE", "ZSORT", "ZSPOTLIGHTSTATUS", "ZSTARRED", "ZCHATSESSION",
              "ZGROUPMEMBER", "ZLASTSESSION", "ZMEDIAITEM", "ZMESSAGEINFO", "ZPARENTMESSAGE",
              "ZMESSAGEDATE", "ZSENTDATE", "ZFROMJID", "ZMEDIASECTIONID", "ZPHASH", "ZPUSHNAME",
              "ZSTANZAID", "ZTEXT", "ZTOJID", "ZBACKGROUNDID", "ZOUTGOINGRECIPIENTCOUNT"};
  }
  throw std::invalid_argument("unknown WhatsApp layout");
}

Names ChatColumns(int layout) {
  if (layout <= 28) {
    return {"Z_PK", "Z_ENT", "Z_OPT", "ZARCHIVED", "ZCONTACTABID", "ZFLAGS", "ZHIDDEN", "ZMESSAGECOUNTER",
            "ZSESSIONTYPE", "ZUNREADCOUNT", "ZGROUPINFO", "ZLASTMESSAGE", "ZPROPERTIES", "ZLASTMESSAGEDATE",
            "ZCONTACTJID", "ZLASTMESSAGETEXT", "ZPARTNERNAME", "ZSAVEDINPUT"};
  }
  if (layout == 29) {
    return {"Z_PK", "Z_ENT", "Z_OPT", "ZARCHIVED", "ZCONTACTABID", "ZFLAGS", "ZHIDDEN",
            "ZIDENTITYVERIFICATIONEPOCH", "ZIDENTITYVERIFICATIONSTATE", "ZMESSAGECOUNTER", "ZSESSIONTYPE",
            "ZUNREADCOUNT", "ZGROUPINFO", "ZLASTMESSAGE", "ZPROPERTIES", "ZLASTMESSAGEDATE", "ZCONTACTJID",
            "ZLASTMESSAGETEXT", "ZPARTNERNAME", "ZSAVEDINPUT"};
  }
  if (layout == 30) {
    return {"Z_PK", "Z_ENT", "Z_OPT", "ZARCHIVED", "ZCONTACTABID", "ZFLAGS", "ZHIDDEN",
            "ZIDENTITYVERIFICATIONEPOCH", "ZIDENTITYVERIFICATIONSTATE", "ZMESSAGECOUNTER", "ZREMOVED",
            "ZSESSIONTYPE", "ZUNREADCOUNT", "ZGROUPINFO", "ZLASTMESSAGE", "ZPROPERTIES", "ZLASTMESSAGEDATE",
            "ZCONTACTJID", "ZLASTMESSAGETEXT", "ZPARTNERNAME", "ZSAVEDINPUT"};
  }
  return {"Z_PK", "Z_ENT", "Z_OPT", "ZARCHIVED", "ZCONTACTABID", "ZFLAGS", "ZHIDDEN",
          "ZIDENTITYVERIFICATIONEPOCH", "ZIDENTITYVERIFICATIONSTATE", "ZMESSAGECOUNTER", "ZREMOVED",
          "ZSESSIONTYPE", "ZSPOTLIGHTSTATUS", "ZUNREADCOUNT", "ZGROUPINFO", "ZLASTMESSAGE", "ZPROPERTIES",
          "ZLASTMESSAGEDATE", "ZLOCATIONSHARINGENDDATE", "ZCONTACTIDENTIFIER", "ZCONTACTJID", "ZETAG",
          "ZLASTMESSAGETEXT", "ZPARTNERNAME", "ZSAVEDINPUT"};
}

Names MemberColumns(int layout) {
  if (layout < 28) {
    return {"Z_PK", "Z_ENT", "Z_OPT", "ZISACTIVE", "ZISADMIN", "ZCHATSESSION", "ZRECENTGROUPCHAT",
            "ZCONTACTNAME", "ZFIRSTNAME", "ZMEMBERJID"};
  }
  if (layout <= 30) {
    return {"Z_PK", "Z_ENT", "Z_OPT", "ZISACTIVE", "ZISADMIN", "ZSENDERKEYSENT", "ZCHATSESSION",
            "ZRECENTGROUPCHAT", "ZCONTACTNAME", "ZFIRSTNAME", "ZMEMBERJID"};
  }
  return {"Z_PK", "Z_ENT", "Z_OPT", "ZISACTIVE", "ZISADMIN", "ZSENDERKEYSENT", "ZCHATSESSION",
          "ZRECENTGROUPCHAT", "ZCONTACTIDENTIFIER", "ZCONTACTNAME", "ZFIRSTNAME", "ZMEMBERJID"};
}

Names MediaColumns(int layout) {
  if (layout <= 30) {
    return {"Z_PK", "Z_ENT", "Z_OPT", "ZCLOUDSTATUS", "ZFILESIZE", "ZMEDIAORIGIN", "ZMOVIEDURATION",
            "ZMESSAGE", "ZASPECTRATIO", "ZHACCURACY", "ZLATITUDE", "ZLONGITUDE", "ZMEDIAURLDATE",
            "ZAUTHORNAME", "ZCOLLECTIONNAME", "ZMEDIAKEY", "ZMEDIAURL", "ZMETADATA", "ZMEDIALOCALPATH",
            "ZTHUMBNAILLOCALPATH", "ZTITLE", "ZVCARDNAME"};
  }
  return {"Z_PK", "Z_ENT", "Z_OPT", "ZCLOUDSTATUS", "ZFILESIZE", "ZMEDIAORIGIN", "ZMOVIEDURATION", "ZMESSAGE",
          "ZASPECTRATIO", "ZHACCURACY", "ZLATITUDE", "ZLONGITUDE", "ZMEDIAURLDATE", "ZAUTHORNAME",
          "ZCOLLECTIONNAME", "ZMEDIAKEY", "ZMEDIAURL", "ZMETADATA", "ZXMPPTHUMBPATH", "ZVCARDSTRING",
          "ZMEDIALOCALPATH", "ZTHUMBNAILLOCALPATH", "ZTITLE", "ZVCARDNAME"};
}

std::string TypeOf(const std::string& column) {
  static const char* kTexts[] = {"ZFROMJID", "ZPUSHNAME", "ZTEXT", "ZTOJID", "ZSTANZAID", "ZMEDIASECTIONID",
                                 "ZPHASH", "ZCONTACTJID", "ZLASTMESSAGETEXT", "ZPARTNERNAME", "ZSAVEDINPUT",
                                 "ZCONTACTNAME", "ZFIRSTNAME", "ZMEMBERJID", "ZAUTHORNAME", "ZCOLLECTIONNAME",
                                 "ZMEDIAURL", "ZMEDIALOCALPATH", "ZTHUMBNAILLOCALPATH", "ZTITLE", "ZVCARDNAME",
                                 "ZXMPPTHUMBPATH", "ZVCARDSTRING", "ZCONTACTIDENTIFIER", "ZETAG",
                                 "ZBACKGROUNDID"};
  for (const char* t : kTexts) {
    if (column == t) return "VARCHAR";
  }
  if (column.find("DATE") != std::string::npos) return "TIMESTAMP";
  if (column == "ZMEDIAKEY" || column == "ZMETADATA" || column == "ZPROPERTIES") return "BLOB";
  if (column == "ZLATITUDE" || column == "ZLONGITUDE" || column == "ZASPECTRATIO" ||
      column == "ZHACCURACY" || column == "ZMOVIEDURATION") {
    return "FLOAT";
  }
  return "INTEGER";
}

std::string CreateSql(const std::string& table, const Names& columns) {
  std::string sql = "CREATE TABLE " + table + " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i) sql += ", ";
    sql += columns[i] + (i == 0 ? " INTEGER PRIMARY KEY" : " " + TypeOf(columns[i]));
  }
  return sql + ")";
}

// Inserts one row by column name; columns the layout lacks are ignored and
// the others are NULL.
void InsertNamed(FixtureDb& db, const std::string& table, const Names& columns,
                 const std::map<std::string, Value>& values) {
  std::string sql = "INSERT INTO " + table + " VALUES (";
  std::vector<Value> bound;
  for (size_t i = 0; i < columns.size(); ++i) {
    sql += i ? ",?" : "?";
    auto it = values.find(columns[i]);
    bound.push_back(it == values.end() ? Value(nullptr) : it->second);
  }
  db.Run(sql + ")", bound);
}

Value TextOrNull(const std::string& s) { return s.empty() ? Value(nullptr) : Value(s); }
Value KeyOrNull(int64_t k) { return k == 0 ? Value(nullptr) : Value(k); }

}  // namespace

std::vector<std::string> WhatsAppColumns(const std::string& table, int layout) {
  if (table == "ZWAMESSAGE") return MessageColumns(layout);
  if (table == "ZWACHATSESSION") return ChatColumns(layout);
  if (table == "ZWAGROUPMEMBER") return MemberColumns(layout);
  if (table == "ZWAMEDIAITEM") return MediaColumns(layout);
  throw std::invalid_argument("unknown WhatsApp table " + table);
}

GenWhatsApp WhatsAppContent(int layout, const FamilyOptions& options) {
  GenWhatsApp c;
  c.layout = layout;
  c.chats = {{1, "447700900001@s.whatsapp.net", "Alice", false},
             {2, "447700900002@s.whatsapp.net", "Bob", false},
             {3, "447700900001-1400000000@g.us", "Family", false},
             {4, "447700900006@s.whatsapp.net", "Zed", true}};
  c.members = {{1, 3, "447700900001@s.whatsapp.net", "Alice", false},
               {2, 3, "447700900004@s.whatsapp.net", "Dora", false},
               {3, 3, "447700900005", "Eve", false},
               {4, 3, "447700900009@s.whatsapp.net", "Gone member", true}};
  c.media = {{1, 6, "Media/447700900001@s.whatsapp.net/4/2/photo1.jpg"}, {2, 9, ""}};
  auto msg = [&](int64_t pk, int64_t chat, int64_t member, int64_t media, bool fromMe, std::string text,
                 int64_t unix, double fraction, bool deleted) {
    GenWaMessage m;
    m.pk = pk;
    m.chat = chat;
    m.lastSession = chat;
    m.member = member;
    m.media = media;
    m.fromMe = fromMe;
    m.text = std::move(text);
    m.unixDate = unix;
    m.fraction = fraction;
    m.deleted = deleted;
    c.messages.push_back(m);
  };
  msg(1, 1, 0, 0, false, "Hi from Alice", 1400000000, 0.5, false);
  msg(2, 1, 0, 0, true, "Hi back", 1400000060, 0.0, false);
  msg(3, 3, 2, 0, false, "Group hello from Dora", 1400000100, 0.25, false);
  msg(4, 3, 0, 0, true, "Me in the group", 1400000160, 0.0, false);
  msg(5, 3, 1, 0, false, "Alice in the group", 1400000220, 0.75, false);
  msg(6, 1, 0, 1, false, "", 1400000300, 0.0, false);  // a picture, no text
  msg(7, 3, 3, 0, false, "Eve writes", 1400000400, 0.0, false);
  msg(8, 2, 0, 0, false, "Bob says hi", 1400000500, 0.5, false);
  msg(9, 2, 0, 2, true, "", 1400000550, 0.0, false);   // media never downloaded
  msg(10, 2, 0, 0, false, "Deleted from Bob", 1400000600, 0.5, true);
  msg(11, 1, 0, 0, false, "Late message", 1609459200, 0.25, false);
  msg(12, 3, 2, 0, false, "Deleted in the group", 1400000700, 0.0, true);
  msg(13, 2, 0, 0, false, "Session only", 1400000800, 0.0, false);
  msg(14, 4, 0, 0, false, "Message of a deleted chat", 1400000900, 0.5, true);
  if (layout == 30) {
    c.messages[12].chat = 0;  // ZCHATSESSION NULL; ZLASTSESSION holds the chat
  }
  int64_t pk = 100;
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 10; ++i) {
      const int64_t chat = 1 + (i % 3);
      msg(pk++, chat, chat == 3 ? 1 + (i % 3) : 0, 0, i % 4 == 0, Format("Message %d.%d", s, i),
          1400100000 + s * 3600 + i * 30, 0.5, i % 5 == 4);
    }
  }
  return c;
}

void BuildWhatsAppDb(const fs::path& path, const GenWhatsApp& c, bool emptyMessages) {
  FixtureDb db(path);
  const Names message = MessageColumns(c.layout);
  const Names chat = ChatColumns(c.layout);
  const Names member = MemberColumns(c.layout);
  const Names media = MediaColumns(c.layout);
  db.Exec(CreateSql("ZWACHATSESSION", chat));
  db.Exec(CreateSql("ZWAGROUPMEMBER", member));
  db.Exec(CreateSql("ZWAMEDIAITEM", media));
  db.Exec(CreateSql("ZWAMESSAGE", message));
  db.Exec("CREATE INDEX ZWAMESSAGE_ZCHATSESSION_INDEX ON ZWAMESSAGE (ZCHATSESSION)");
  db.Exec("CREATE INDEX ZWAGROUPMEMBER_ZCHATSESSION_INDEX ON ZWAGROUPMEMBER (ZCHATSESSION)");
  db.Exec("CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER)");
  db.Exec("BEGIN");
  for (const GenWaChat& ch : c.chats) {
    const bool group = ch.jid.find("@g.us") != std::string::npos;
    InsertNamed(db, "ZWACHATSESSION", chat,
                {{"Z_PK", ch.pk}, {"Z_ENT", int64_t{5}}, {"Z_OPT", int64_t{3}}, {"ZARCHIVED", int64_t{0}},
                 {"ZHIDDEN", int64_t{0}}, {"ZSESSIONTYPE", int64_t{group ? 1 : 0}},
                 {"ZUNREADCOUNT", int64_t{0}}, {"ZLASTMESSAGEDATE", 420000000.5},
                 {"ZCONTACTJID", ch.jid}, {"ZPARTNERNAME", ch.name}, {"ZLASTMESSAGETEXT", std::string("...")}});
  }
  for (const GenWaMember& m : c.members) {
    InsertNamed(db, "ZWAGROUPMEMBER", member,
                {{"Z_PK", m.pk}, {"Z_ENT", int64_t{7}}, {"Z_OPT", int64_t{1}}, {"ZISACTIVE", int64_t{1}},
                 {"ZISADMIN", int64_t{m.pk == 1 ? 1 : 0}}, {"ZCHATSESSION", m.chat},
                 {"ZCONTACTNAME", m.name}, {"ZFIRSTNAME", m.name}, {"ZMEMBERJID", m.jid}});
  }
  for (const GenWaMedia& m : c.media) {
    InsertNamed(db, "ZWAMEDIAITEM", media,
                {{"Z_PK", m.pk}, {"Z_ENT", int64_t{9}}, {"Z_OPT", int64_t{2}}, {"ZFILESIZE", int64_t{1024}},
                 {"ZMESSAGE", m.message}, {"ZMEDIALOCALPATH", TextOrNull(m.localPath)},
                 {"ZMEDIAURL", std::string("https://mmg.whatsapp.net/d/f/") + std::to_string(m.pk) + ".enc"}});
  }
  if (!emptyMessages) {
    for (const GenWaMessage& m : c.messages) {
      const double date = static_cast<double>(m.unixDate - kAppleEpochOffset) + m.fraction;
      const GenWaChat* ch = nullptr;
      for (const GenWaChat& x : c.chats) {
        if (x.pk == (m.chat ? m.chat : m.lastSession)) ch = &x;
      }
      const std::string partner = ch ? ch->jid : std::string();
      InsertNamed(
          db, "ZWAMESSAGE", message,
          {{"Z_PK", m.pk}, {"Z_ENT", int64_t{8}}, {"Z_OPT", int64_t{4}}, {"ZFLAGS", int64_t{0}},
           {"ZISFROMME", int64_t{m.fromMe ? 1 : 0}}, {"ZMESSAGESTATUS", int64_t{m.fromMe ? 8 : 0}},
           {"ZMESSAGETYPE", int64_t{m.media ? 1 : 0}}, {"ZSORT", m.pk}, {"ZCHATSESSION", KeyOrNull(m.chat)},
           {"ZLASTSESSION", KeyOrNull(m.lastSession)}, {"ZGROUPMEMBER", KeyOrNull(m.member)},
           {"ZMEDIAITEM", KeyOrNull(m.media)}, {"ZMESSAGEDATE", date}, {"ZSENTDATE", date},
           {"ZFROMJID", m.fromMe ? Value(nullptr) : Value(partner)},
           {"ZTOJID", m.fromMe ? Value(partner) : Value(nullptr)}, {"ZTEXT", TextOrNull(m.text)},
           {"ZSTANZAID", Format("3EB0%012llX", static_cast<unsigned long long>(m.pk) * 7919ULL)}});
    }
  }
  if (!c.pushNames.empty()) {
    db.Exec("CREATE TABLE ZWAPROFILEPUSHNAME ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
            "ZJID VARCHAR, ZPUSHNAME VARCHAR )");
    int64_t pk = 0;
    for (const GenWaPushName& p : c.pushNames) {
      db.Run("INSERT INTO ZWAPROFILEPUSHNAME VALUES (?, 12, 1, ?, ?)", {++pk, p.jid, p.name});
    }
  }
  db.Exec("COMMIT");
  if (!emptyMessages) {
    for (const GenWaMessage& m : c.messages) {
      if (m.deleted) db.Run("DELETE FROM ZWAMESSAGE WHERE Z_PK = ?", {m.pk});
    }
  }
  for (const GenWaMember& m : c.members) {
    if (m.deleted) db.Run("DELETE FROM ZWAGROUPMEMBER WHERE Z_PK = ?", {m.pk});
  }
  for (const GenWaChat& ch : c.chats) {
    if (ch.deleted) db.Run("DELETE FROM ZWACHATSESSION WHERE Z_PK = ?", {ch.pk});
  }
}

namespace {

// The picture a chat message carries: a real JPEG, so that its preview
// shows something.
std::string ChatPicture() { return EncodeJpeg(DrawScene(240, 180, 11), JpegHeader::kJfif, 80); }

}  // namespace

GenWhatsApp CurrentWhatsAppContent(const FamilyOptions& options) {
  GenWhatsApp c = WhatsAppContent(kWhatsAppWideLayout, options);
  // Members of the group "Family" that are not in the address book.
  c.members.push_back({5, 3, "447700900011@s.whatsapp.net", "", false});
  c.members.push_back({6, 3, "447700900012@s.whatsapp.net", "", false});
  // Members whose number the group hides: a linked id instead of a number.
  c.members.push_back({7, 3, "123456789012345@lid", "", false});
  c.members.push_back({8, 3, "987654321098765@lid", "", false});
  c.pushNames = {{"447700900011@s.whatsapp.net", "Kim from work"}, {"123456789012345@lid", "Lou"}};
  GenWaMessage m;
  m.pk = 90;
  m.chat = 3;
  m.lastSession = 3;
  m.member = 5;
  m.text = "Kim writes to the group";
  m.unixDate = 1400000950;
  c.messages.push_back(m);
  m.pk = 91;
  m.member = 6;
  m.text = "A member without a name";
  m.unixDate = 1400000960;
  c.messages.push_back(m);
  m.pk = 92;
  m.member = 7;
  m.text = "Lou hides the number";
  m.unixDate = 1400000970;
  c.messages.push_back(m);
  m.pk = 93;
  m.member = 8;
  m.text = "Nameless linked id";
  m.unixDate = 1400000980;
  c.messages.push_back(m);
  return c;
}

void AddCurrentWhatsAppFamily(BackupWriter& writer, const FamilyOptions& options) {
  const GenWhatsApp content = CurrentWhatsAppContent(options);
  const fs::path built = writer.ScratchPath("ChatStorage.sqlite");
  BuildWhatsAppDb(built, content);
  for (const GenWaMedia& m : content.media) {
    if (!m.localPath.empty()) {
      writer.AddFile("AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "Message/" + m.localPath, ChatPicture());
    }
  }
  writer.AddFileFrom("AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "ChatStorage.sqlite", built);
}

void AddWhatsAppFamily(BackupWriter& writer, const FamilyOptions& options) {
  const bool old = writer.era() == Era::Mbdb;
  const GenWhatsApp content = WhatsAppContent(old ? 30 : kWhatsAppWideLayout, options);
  const fs::path built = writer.ScratchPath("ChatStorage.sqlite");
  BuildWhatsAppDb(built, content);
  for (const GenWaMedia& m : content.media) {
    if (m.localPath.empty()) continue;
    if (old) {
      writer.AddFile("AppDomain-net.whatsapp.WhatsApp", "Library/" + m.localPath, ChatPicture());
    } else {
      writer.AddFile("AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "Message/" + m.localPath, ChatPicture());
    }
  }
  if (old) {
    writer.AddFileFrom("AppDomain-net.whatsapp.WhatsApp", "Documents/ChatStorage.sqlite", built);
  } else {
    writer.AddFileFrom("AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "ChatStorage.sqlite", built);
  }
}

}  // namespace orbanix::gen
