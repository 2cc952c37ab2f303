#include "tools/backupgen/family_messages.h"

#include <map>
#include <random>

#include "platform/text.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

namespace {

// --- typedstream writer ---
//
// A typedstream is a sequence of tagged values. Integers are one signed byte,
// or 0x81 + int16 LE, or 0x82 + int32 LE. 0x84 introduces something new (a
// shared string, an object or a class), 0x85 is nil (it ends a class chain)
// and 0x86 ends an object. Shared strings (type encodings, class names) and
// objects/classes each have a table; a byte 0x92 + n refers to entry n of the
// table that the context reads from. A class is its name (shared string),
// its version (integer) and then its superclass, down to nil.
class TypedStreamWriter {
 public:
  TypedStreamWriter() {
    out_.push_back('\x04');
    out_.push_back('\x0B');
    out_ += "streamtyped";
    Integer(1000);  // system version
  }

  void Integer(int64_t v) {
    if (v >= -110 && v < 0x80 && !(v >= -127 && v <= -122)) {
      out_.push_back(static_cast<char>(static_cast<int8_t>(v)));
    } else if (v >= -32768 && v <= 32767) {
      out_.push_back('\x81');
      out_.push_back(static_cast<char>(v & 0xFF));
      out_.push_back(static_cast<char>((v >> 8) & 0xFF));
    } else {
      out_.push_back('\x82');
      for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
  }

  void SharedString(const std::string& s) {
    auto it = strings_.find(s);
    if (it != strings_.end()) {
      out_.push_back(static_cast<char>(0x92 + it->second));
      return;
    }
    out_.push_back('\x84');
    Integer(static_cast<int64_t>(s.size()));
    out_ += s;
    const int index = static_cast<int>(strings_.size());
    strings_[s] = index;
  }

  // Begins an object of the class chain (most derived first).
  void BeginObject(const std::vector<std::pair<std::string, int>>& chain) {
    out_.push_back('\x84');
    ++objects_;  // the object takes its table entry before its class
    Class(chain, 0);
  }
  void EndObject() { out_.push_back('\x86'); }

  // Raw bytes of a value whose length was written before.
  void Bytes(const std::string& bytes) { out_ += bytes; }
  void Byte(uint8_t b) { out_.push_back(static_cast<char>(b)); }

  std::string Take() { return std::move(out_); }

 private:
  void Class(const std::vector<std::pair<std::string, int>>& chain, size_t i) {
    if (i == chain.size()) {
      out_.push_back('\x85');
      return;
    }
    auto it = classes_.find(chain[i].first);
    if (it != classes_.end()) {
      out_.push_back(static_cast<char>(0x92 + it->second));
      return;
    }
    out_.push_back('\x84');
    classes_[chain[i].first] = objects_++;
    SharedString(chain[i].first);
    Integer(chain[i].second);
    Class(chain, i + 1);
  }

  std::string out_;
  std::map<std::string, int> strings_;
  std::map<std::string, int> classes_;
  int objects_ = 0;
};

// Length of a UTF-8 text in UTF-16 units (the attribute run length).
int64_t Utf16Length(const std::string& s) {
  int64_t n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    if ((c & 0xC0) == 0x80) continue;
    n += c >= 0xF0 ? 2 : 1;
  }
  return n;
}

const char* const kWords[] = {"see",   "you",     "at",    "the",     "station", "tomorrow", "thanks", "for",
                              "lunch", "running", "late",  "call",    "me",      "when",     "free",   "café",
                              "ok",    "great",   "news",  "dinner",  "tonight", "where",    "are",    "we",
                              "🎉",    "\"quoted\"", "it's", "meeting", "moved",   "to",       "Friday", "Grüße"};

std::string Sentence(std::mt19937& rng, int64_t rowid) {
  std::string s;
  const int words = 3 + static_cast<int>(rng() % 14);
  for (int i = 0; i < words; ++i) {
    if (!s.empty()) s += ' ';
    s += kWords[rng() % std::size(kWords)];
  }
  return s + Format(" (#%lld)", static_cast<long long>(rowid));
}

std::string Guid(std::mt19937& rng) {
  return Format("%08X-%04X-4%03X-A%03X-%04X%08X", static_cast<unsigned>(rng()), static_cast<unsigned>(rng() & 0xFFFF),
                static_cast<unsigned>(rng() & 0xFFF), static_cast<unsigned>(rng() & 0xFFF),
                static_cast<unsigned>(rng() & 0xFFFF), static_cast<unsigned>(rng()));
}

const char* const kOldMessageColumns =
    "ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, replace INTEGER DEFAULT 0, "
    "service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB, "
    "version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, "
    "error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, "
    "is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, "
    "is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, "
    "is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
    "is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
    "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, "
    "is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, "
    "was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0";

// The columns newer phones add behind the 38 old ones (40 more).
const char* const kWideMessageColumns =
    ", is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played INTEGER, "
    "item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title TEXT, "
    "group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, share_direction INTEGER DEFAULT 0, "
    "is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, message_action_type INTEGER DEFAULT 0, "
    "message_source INTEGER DEFAULT 0, associated_message_guid TEXT, associated_message_type INTEGER DEFAULT 0, "
    "balloon_bundle_id TEXT, payload_data BLOB, expressive_send_style_id TEXT, "
    "associated_message_range_location INTEGER DEFAULT 0, associated_message_range_length INTEGER DEFAULT 0, "
    "time_expressive_send_played INTEGER, message_summary_info BLOB, ck_sync_state INTEGER DEFAULT 0, "
    "ck_record_id TEXT, ck_record_change_tag TEXT, destination_caller_id TEXT, sr_ck_sync_state INTEGER DEFAULT 0, "
    "sr_ck_record_id TEXT, sr_ck_record_change_tag TEXT, is_corrupt INTEGER DEFAULT 0, reply_to_guid TEXT, "
    "sort_id INTEGER, is_spam INTEGER DEFAULT 0, has_unseen_mention INTEGER DEFAULT 0, "
    "thread_originator_guid TEXT, thread_originator_part TEXT, syndication_ranges TEXT, "
    "was_delivered_quietly INTEGER DEFAULT 0, did_notify_recipient INTEGER DEFAULT 0, "
    "synced_syndication_ranges TEXT";

void CreateSchema(FixtureDb& db, SmsLayout layout) {
  db.Exec("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));");
  db.Exec(std::string("CREATE TABLE message (") + kOldMessageColumns +
          (layout == SmsLayout::kWide ? kWideMessageColumns : "") + ");");
  db.Exec(
      "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
      "service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service));");
  db.Exec(
      "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
      "created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, "
      "transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0);");
  db.Exec(
      "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, "
      "attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id));");
  db.Exec(
      "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, "
      "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, "
      "account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, "
      "group_id TEXT);");
  db.Exec(
      "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
      "handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id));");
  db.Exec(
      "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
      "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY KEY (chat_id, message_id));");
  db.Exec("CREATE INDEX message_idx_handle ON message(handle_id, date);");
  db.Exec("INSERT INTO _SqliteDatabaseProperties VALUES ('counter_in_all', '0'), ('_ClientVersion', '10013');");
}

std::string HandleId(int64_t rowid) {
  if (rowid % 10 == 0) return Format("friend%lld@example.com", static_cast<long long>(rowid));
  return DemoPhoneE164(static_cast<int>(rowid - 1));
}

}  // namespace

std::string ArchiveAttributedString(const std::string& text, bool mutableClasses) {
  TypedStreamWriter w;
  w.SharedString("@");
  if (mutableClasses) {
    w.BeginObject({{"NSMutableAttributedString", 0}, {"NSAttributedString", 0}, {"NSObject", 0}});
  } else {
    w.BeginObject({{"NSAttributedString", 0}, {"NSObject", 0}});
  }
  // The string itself: type "+" (bytes with their count), then the UTF-8 bytes.
  w.SharedString("@");
  if (mutableClasses) {
    w.BeginObject({{"NSMutableString", 1}, {"NSString", 1}, {"NSObject", 0}});
  } else {
    w.BeginObject({{"NSString", 1}, {"NSObject", 0}});
  }
  w.SharedString("+");
  w.Integer(static_cast<int64_t>(text.size()));
  w.Bytes(text);
  w.EndObject();
  // One attribute run over the whole text: (index 1, length in UTF-16 units)
  // and its dictionary {__kIMMessagePartAttributeName: 0}.
  w.SharedString("iI");
  w.Integer(1);
  w.Integer(Utf16Length(text));
  w.SharedString("@");
  w.BeginObject({{"NSDictionary", 0}, {"NSObject", 0}});
  w.SharedString("i");
  w.Integer(1);
  w.SharedString("@");
  w.BeginObject({{"NSString", 1}, {"NSObject", 0}});
  w.SharedString("+");
  const std::string key = "__kIMMessagePartAttributeName";
  w.Integer(static_cast<int64_t>(key.size()));
  w.Bytes(key);
  w.EndObject();
  w.SharedString("@");
  w.BeginObject({{"NSNumber", 0}, {"NSValue", 0}, {"NSObject", 0}});
  w.SharedString("*");
  w.Byte(0x84);
  w.SharedString("i");
  w.SharedString("i");
  w.Integer(0);
  w.EndObject();
  w.EndObject();
  w.EndObject();
  return w.Take();
}

SmsTruth BuildSmsDb(const fs::path& path, const SmsShape& shape) {
  SmsTruth truth;
  FixtureOptions options;
  options.pageSize = shape.pageSize;
  FixtureDb db(path, options);
  CreateSchema(db, shape.layout);
  const bool wide = shape.layout == SmsLayout::kWide;
  std::mt19937 rng(shape.seed);
  const std::string accountGuid = "6A1F0C3E-52B7-4D19-9E0A-3C5D7B2F8E41";

  std::vector<SmsHandleTruth> handles;
  std::vector<SmsMessageTruth> messages;
  std::vector<SmsAttachmentTruth> attachments;

  db.Exec("BEGIN;");
  {
    BulkStatement handle(db.handle(), "INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) "
                                  "VALUES (?,?,?,?,?)");
    BulkStatement chat(db.handle(), "INSERT INTO chat (ROWID, guid, style, state, account_id, chat_identifier, "
                                "service_name, account_login) VALUES (?,?,45,3,?,?,?,?)");
    BulkStatement chatHandle(db.handle(), "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?,?)");
    for (int64_t h = 1; h <= shape.handles; ++h) {
      const std::string id = HandleId(h);
      const bool mail = id.find('@') != std::string::npos;
      handle.Run({h, id, std::string("us"), std::string(mail ? "iMessage" : "SMS"),
                  mail ? Value(nullptr) : Value(DemoPhoneNational(static_cast<int>(h - 1)))});
      chat.Run({h, (mail ? "iMessage;-;" : "SMS;-;") + id, accountGuid, id,
                std::string(mail ? "iMessage" : "SMS"), std::string("E:me@example.com")});
      chatHandle.Run({h, h});
      handles.push_back({h, id});
    }

    std::string columns =
        "ROWID, guid, text, handle_id, service, account, account_guid, date, date_read, date_delivered, "
        "is_delivered, is_finished, is_from_me, is_read, is_sent, cache_has_attachments, attributedBody, version, "
        "type, error, country";
    std::string marks = "?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?";
    if (wide) {
      columns += ", destination_caller_id, ck_record_id, reply_to_guid, sort_id, date_played";
      marks += ",?,?,?,?,?";
    }
    BulkStatement message(db.handle(), "INSERT INTO message (" + columns + ") VALUES (" + marks + ")");
    BulkStatement attachment(db.handle(), "INSERT INTO attachment (ROWID, guid, created_date, start_date, filename, uti, "
                                      "mime_type, transfer_state, is_outgoing) VALUES (?,?,?,?,?,?,?,5,?)");
    BulkStatement link(db.handle(), "INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?,?)");
    BulkStatement chatMessage(db.handle(), "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?,?)");

    int64_t appleSeconds = 400000000;  // 2013-09-05
    std::string previousGuid;
    for (int64_t r = 1; r <= shape.messages; ++r) {
      SmsMessageTruth m;
      m.rowid = r;
      m.handleId = shape.handles > 0 ? 1 + static_cast<int64_t>(rng() % shape.handles) : 0;
      m.fromMe = rng() % 2 == 0;
      appleSeconds += 60 + static_cast<int64_t>(rng() % 600);
      m.appleSeconds = appleSeconds;
      m.storedDate = wide ? appleSeconds * 1000000000LL + static_cast<int64_t>(rng() % 1000) * 1000000LL
                          : appleSeconds;
      const bool withAttachment = r % 17 == 0;
      if (withAttachment) {
        // Picture messages: half with a caption, half with no text at all.
        m.text = r % 2 == 0 ? Sentence(rng, r) : "";
        const int64_t a = static_cast<int64_t>(attachments.size()) + 1;
        m.attachment = Format("~/Library/SMS/Attachments/%02x/%02d/%s/IMG_%04lld.JPG", static_cast<unsigned>(a % 256),
                              static_cast<int>(a % 100), Guid(rng).c_str(), static_cast<long long>(a));
        attachments.push_back({a, r, m.attachment});
      } else {
        m.text = Sentence(rng, r);
      }
      // Newer phones keep the body in attributedBody and often leave text NULL.
      m.textColumnNull = m.text.empty() || (wide && rng() % 3 == 0);
      Value body = nullptr;
      if (wide) {
        // An attachment is marked in the archived string by U+FFFC.
        const std::string archived = m.text.empty() ? std::string("\xEF\xBF\xBC") : m.text;
        body = Blob{ArchiveAttributedString(archived, rng() % 2 == 0)};
      }
      const std::string guid = Guid(rng);
      const bool mail = handles.empty() ? false : handles[m.handleId - 1].id.find('@') != std::string::npos;
      std::vector<Value> values = {
          r,
          guid,
          m.textColumnNull ? Value(nullptr) : Value(m.text),
          m.handleId,
          std::string(mail ? "iMessage" : "SMS"),
          std::string(mail ? "e:me@example.com" : "p:+15550100199"),
          accountGuid,
          m.storedDate,
          m.fromMe ? int64_t{0} : m.storedDate + (wide ? 30000000000LL : 30),
          m.fromMe ? m.storedDate + (wide ? 5000000000LL : 5) : int64_t{0},
          int64_t{1},
          int64_t{1},
          int64_t{m.fromMe ? 1 : 0},
          int64_t{m.fromMe ? 0 : 1},
          int64_t{m.fromMe ? 1 : 0},
          int64_t{withAttachment ? 1 : 0},
          body,
          int64_t{10},
          int64_t{0},
          int64_t{0},
          std::string("us"),
      };
      if (wide) {
        const std::string caller = "+15550100199";
        const std::string record = Format("%016llx%016llx%016llx%016llx", (unsigned long long)rng(),
                                          (unsigned long long)rng(), (unsigned long long)rng(),
                                          (unsigned long long)rng());
        values.emplace_back(std::in_place_type<std::string>, caller);
        values.emplace_back(std::in_place_type<std::string>, record);
        values.push_back(previousGuid.empty() ? Value(nullptr) : Value(previousGuid));
        values.push_back(int64_t{0});
        values.push_back(int64_t{0});
      }
      message.Run(values);
      previousGuid = guid;
      chatMessage.Run({m.handleId, r});
      if (withAttachment) {
        const SmsAttachmentTruth& a = attachments.back();
        attachment.Run({a.rowid, Guid(rng), appleSeconds, appleSeconds, a.fileName, std::string("public.jpeg"),
                        std::string("image/jpeg"), int64_t{m.fromMe ? 1 : 0}});
        link.Run({r, a.rowid});
      }
      messages.push_back(std::move(m));
    }
  }
  db.Exec("COMMIT;");

  std::vector<bool> deletedMessage(messages.size(), false);
  std::vector<bool> deletedHandle(handles.size(), false);
  if (shape.deleteRows && shape.messages >= 40) {
    const int64_t n = shape.messages;
    // Scattered messages of the older part: free blocks inside their pages.
    for (int64_t r = 6; r < n * 35 / 100; r += 13) deletedMessage[r - 1] = true;
    // A run of consecutive messages: emptied pages go to the free list.
    if (n >= 300) {
      for (int64_t r = n * 45 / 100; r < n * 60 / 100; ++r) deletedMessage[r - 1] = true;
    }
    // The newest messages: their cells end in the unallocated gap.
    for (int64_t r = n - 2; r <= n; ++r) deletedMessage[r - 1] = true;
    if (shape.handles >= 4) {
      deletedHandle[2] = true;                 // in the middle of the page: a free block
      deletedHandle[handles.size() - 1] = true;  // the newest: the gap
    }
    db.Exec("BEGIN;");
    BulkStatement delMessage(db.handle(), "DELETE FROM message WHERE ROWID = ?");
    BulkStatement delChatMessage(db.handle(), "DELETE FROM chat_message_join WHERE chat_id = ? AND message_id = ?");
    BulkStatement delLink(db.handle(), "DELETE FROM message_attachment_join WHERE message_id = ?");
    BulkStatement delAttachment(db.handle(), "DELETE FROM attachment WHERE ROWID = ?");
    BulkStatement delHandle(db.handle(), "DELETE FROM handle WHERE ROWID = ?");
    for (size_t i = 0; i < messages.size(); ++i) {
      if (!deletedMessage[i]) continue;
      delMessage.Run({messages[i].rowid});
      delChatMessage.Run({messages[i].handleId, messages[i].rowid});
      delLink.Run({messages[i].rowid});
    }
    for (SmsAttachmentTruth& a : attachments) {
      if (deletedMessage[a.messageId - 1]) delAttachment.Run({a.rowid});
    }
    for (size_t i = 0; i < handles.size(); ++i) {
      if (deletedHandle[i]) delHandle.Run({handles[i].rowid});
    }
    db.Exec("COMMIT;");
  }
  for (size_t i = 0; i < messages.size(); ++i) {
    (deletedMessage[i] ? truth.deletedMessages : truth.liveMessages).push_back(messages[i]);
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    (deletedHandle[i] ? truth.deletedHandles : truth.liveHandles).push_back(handles[i]);
  }
  for (const SmsAttachmentTruth& a : attachments) {
    (deletedMessage[a.messageId - 1] ? truth.deletedAttachments : truth.liveAttachments).push_back(a);
  }
  truth.freelistPages = db.QueryInt("PRAGMA freelist_count");
  db.Close();
  return truth;
}

void AddMessagesFamily(BackupWriter& writer, const FamilyOptions& options) {
  const int scale = std::max(1, options.scale);
  SmsShape shape;
  shape.seed = options.seed;
  shape.handles = 12 * scale;
  shape.messages = 600 * scale;
  // Newer backups (Manifest.db) come from phones with the wide layout.
  shape.layout = writer.era() == Era::ManifestDb ? SmsLayout::kWide : SmsLayout::kOld38;
  const fs::path built = writer.ScratchPath("sms.db");
  BuildSmsDb(built, shape);
  writer.AddFileFrom("HomeDomain", "Library/SMS/sms.db", built);
}

}  // namespace orbanix::gen
