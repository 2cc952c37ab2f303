// sms.db as current phones (iOS 16/17) write it. Column lists follow the
// public descriptions of the database: the wide message table of family_
// messages.cpp, with the columns of iOS 14-17 behind it, the chat table's
// later columns and the join table of "Recently Deleted".
#include <sqlite3.h>

#include <random>

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

namespace {

const char* const kCurrentMessageTable =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT, "
    "replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, "
    "attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account TEXT, "
    "account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, "
    "is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, "
    "is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, "
    "is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
    "is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, "
    "is_service_message INTEGER DEFAULT 0, is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, "
    "is_archive INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, "
    "was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0, is_audio_message INTEGER DEFAULT 0, "
    "is_played INTEGER DEFAULT 0, date_played INTEGER, item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, "
    "group_title TEXT, group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, "
    "share_direction INTEGER DEFAULT 0, is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0, "
    "message_action_type INTEGER DEFAULT 0, message_source INTEGER DEFAULT 0, associated_message_guid TEXT, "
    "associated_message_type INTEGER DEFAULT 0, balloon_bundle_id TEXT, payload_data BLOB, "
    "expressive_send_style_id TEXT, associated_message_range_location INTEGER DEFAULT 0, "
    "associated_message_range_length INTEGER DEFAULT 0, time_expressive_send_played INTEGER, "
    "message_summary_info BLOB, ck_sync_state INTEGER DEFAULT 0, ck_record_id TEXT, ck_record_change_tag TEXT, "
    "destination_caller_id TEXT, is_corrupt INTEGER DEFAULT 0, reply_to_guid TEXT, sort_id INTEGER, "
    "is_spam INTEGER DEFAULT 0, has_unseen_mention INTEGER DEFAULT 0, thread_originator_guid TEXT, "
    "thread_originator_part TEXT, syndication_ranges TEXT, synced_syndication_ranges TEXT, "
    "was_delivered_quietly INTEGER DEFAULT 0, did_notify_recipient INTEGER DEFAULT 0, "
    "date_retracted INTEGER DEFAULT 0, date_edited INTEGER DEFAULT 0, was_detonated INTEGER DEFAULT 0, "
    "part_count INTEGER, is_stewie INTEGER DEFAULT 0, is_kt_verified INTEGER DEFAULT 0, is_sos INTEGER DEFAULT 0, "
    "is_critical INTEGER DEFAULT 0, bia_reference_id TEXT DEFAULT NULL, fallback_hash TEXT DEFAULT NULL, "
    "associated_message_emoji TEXT DEFAULT NULL, is_pending_satellite_send INTEGER DEFAULT 0, "
    "needs_relay INTEGER DEFAULT 0, schedule_type INTEGER DEFAULT 0, schedule_state INTEGER DEFAULT 0, "
    "sent_or_received_off_grid INTEGER DEFAULT 0)";

const char* const kCurrentChatTable =
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER, "
    "state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT, room_name TEXT, "
    "account_login TEXT, is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, "
    "group_id TEXT, is_filtered INTEGER DEFAULT 0, successful_query INTEGER, engram_id TEXT, "
    "server_change_token TEXT, ck_sync_state INTEGER DEFAULT 0, original_group_id TEXT, "
    "last_read_message_timestamp INTEGER DEFAULT 0, cloudkit_record_id TEXT, last_addressed_sim_id TEXT, "
    "is_blackholed INTEGER DEFAULT 0, syndication_date INTEGER DEFAULT 0, syndication_type INTEGER DEFAULT 0, "
    "is_recovered INTEGER DEFAULT 0, is_deleting_incoming_messages INTEGER DEFAULT 0, "
    "is_pending_review INTEGER DEFAULT 0)";

std::string CurrentGuid(std::mt19937& rng) {
  return Format("%08X-%04X-4%03X-B%03X-%04X%08X", static_cast<unsigned>(rng()), static_cast<unsigned>(rng() & 0xFFFF),
                static_cast<unsigned>(rng() & 0xFFF), static_cast<unsigned>(rng() & 0xFFF),
                static_cast<unsigned>(rng() & 0xFFFF), static_cast<unsigned>(rng()));
}

}  // namespace

CurrentSmsTruth BuildCurrentSmsDb(const fs::path& path, const CurrentSmsShape& shape) {
  CurrentSmsTruth truth;
  FixtureOptions options;
  options.pageSize = shape.pageSize;
  FixtureDb db(path, options);
  std::mt19937 rng(shape.seed);
  db.Exec("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));");
  db.Exec(kCurrentMessageTable);
  db.Exec(
      "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT, "
      "service TEXT NOT NULL, uncanonicalized_id TEXT, person_centric_id TEXT, UNIQUE (id, service))");
  db.Exec(
      "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, "
      "created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, uti TEXT, mime_type TEXT, "
      "transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER DEFAULT 0, user_info BLOB, transfer_name TEXT, "
      "total_bytes INTEGER DEFAULT 0, is_sticker INTEGER DEFAULT 0, sticker_user_info BLOB, "
      "attribution_info BLOB, hide_attachment INTEGER DEFAULT 0, ck_sync_state INTEGER DEFAULT 0, "
      "ck_server_change_token_blob BLOB, ck_record_id TEXT, original_guid TEXT UNIQUE NOT NULL, "
      "is_commsafety_sensitive INTEGER DEFAULT 0)");
  db.Exec(
      "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, "
      "attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, UNIQUE(message_id, attachment_id))");
  db.Exec(kCurrentChatTable);
  db.Exec(
      "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
      "handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, UNIQUE(chat_id, handle_id))");
  db.Exec(
      "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
      "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, message_date INTEGER DEFAULT 0, "
      "PRIMARY KEY (chat_id, message_id))");
  db.Exec(
      "CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE, "
      "message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, delete_date INTEGER, "
      "ck_sync_state INTEGER DEFAULT 0, PRIMARY KEY (chat_id, message_id), CHECK (delete_date != 0))");

  const std::string account = "9B3C1E7A-0D42-4F6B-8C15-2E9A7D3F1B60";
  db.Exec("BEGIN");
  // Handles: the address book's persons 0-5 (handle n is person n-1).
  for (int h = 1; h <= 6; ++h) {
    db.Run("INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) VALUES (?,?,?,?,?)",
           {int64_t{h}, DemoPhoneE164(h - 1), std::string("us"), std::string("iMessage"), nullptr});
  }
  struct ChatRow {
    int64_t id;
    int style;
    std::string name;
    std::vector<int64_t> members;
  };
  const ChatRow chats[] = {{1, 45, "", {1}}, {2, 45, "", {5}}, {3, 43, "Hiking Club", {1, 5, 6}}, {4, 43, "", {1, 5}}};
  for (const ChatRow& c : chats) {
    const std::string identifier = c.style == 43 ? Format("chat%lld0000", static_cast<long long>(c.id))
                                                 : DemoPhoneE164(static_cast<int>(c.members.front() - 1));
    db.Run("INSERT INTO chat (ROWID, guid, style, state, account_id, chat_identifier, service_name, display_name, "
           "group_id) VALUES (?,?,?,3,?,?,'iMessage',?,?)",
           {c.id, std::string(c.style == 43 ? "iMessage;+;" : "iMessage;-;") + identifier, int64_t{c.style}, account,
            identifier, c.name.empty() ? Value(nullptr) : Value(c.name), CurrentGuid(rng)});
    for (int64_t member : c.members) db.Run("INSERT INTO chat_handle_join VALUES (?,?)", {c.id, member});
  }

  int64_t seconds = 720000000;  // 2023-10-26
  int64_t rowid = 0;
  std::vector<int64_t> doomed;
  // One message row. `chat` 0: no chat_message_join row.
  struct Extra {
    std::string associatedGuid;
    int64_t associatedType = 0;
    std::string threadOriginator;
    bool edited = false;
    bool retracted = false;
    bool textColumn = false;  // also in `text` (most current rows leave it NULL)
    std::vector<std::string> attachments;
  };
  auto message = [&](int64_t handle, int64_t chat, bool fromMe, const std::string& body, const Extra& extra,
                     const std::string& shown) -> CurrentSmsMessage& {
    seconds += 90;
    const int64_t nanos = seconds * 1000000000LL + 250000000LL;
    CurrentSmsMessage m;
    m.rowid = ++rowid;
    m.handleId = handle;
    m.chat = chat;
    m.fromMe = fromMe;
    m.guid = CurrentGuid(rng);
    m.text = shown;
    const Value archived = body.empty() ? Value(nullptr) : Value(Blob{ArchiveAttributedString(body)});
    db.Run(
        "INSERT INTO message (ROWID, guid, text, handle_id, service, account, account_guid, date, date_read, "
        "date_delivered, is_delivered, is_finished, is_from_me, is_read, is_sent, cache_has_attachments, "
        "attributedBody, associated_message_guid, associated_message_type, thread_originator_guid, "
        "date_edited, date_retracted, part_count, destination_caller_id) "
        "VALUES (?,?,?,?,'iMessage','e:me@example.com',?,?,?,?,1,1,?,?,?,?,?,?,?,?,?,?,1,'+15550100199')",
        {m.rowid, m.guid, extra.textColumn ? Value(body) : Value(nullptr), handle, account, nanos,
         fromMe ? int64_t{0} : nanos + 20000000000LL, fromMe ? nanos + 1000000000LL : int64_t{0},
         int64_t{fromMe ? 1 : 0}, int64_t{fromMe ? 0 : 1}, int64_t{fromMe ? 1 : 0},
         int64_t{extra.attachments.empty() ? 0 : 1}, archived,
         extra.associatedGuid.empty() ? Value(nullptr) : Value(extra.associatedGuid), extra.associatedType,
         extra.threadOriginator.empty() ? Value(nullptr) : Value(extra.threadOriginator),
         extra.edited ? Value(nanos + 60000000000LL) : Value(int64_t{0}),
         extra.retracted ? Value(nanos + 30000000000LL) : Value(int64_t{0})});
    if (chat != 0) db.Run("INSERT INTO chat_message_join VALUES (?,?,?)", {chat, m.rowid, nanos});
    for (const std::string& name : extra.attachments) {
      const int64_t a = db.Run(
          "INSERT INTO attachment (guid, created_date, start_date, filename, uti, mime_type, transfer_state, "
          "is_outgoing, transfer_name, total_bytes, original_guid) VALUES (?,?,?,?,'public.jpeg','image/jpeg',5,?,?,?,?)",
          {CurrentGuid(rng), seconds, seconds, "~/Library/SMS/Attachments/4f/15/" + CurrentGuid(rng) + "/" + name,
           int64_t{fromMe ? 1 : 0}, name, int64_t{150000}, CurrentGuid(rng)});
      db.Run("INSERT INTO message_attachment_join VALUES (?,?)", {m.rowid, a});
    }
    if (extra.associatedType != 0) {
      ++truth.reactions;
      static CurrentSmsMessage none;
      none = m;
      return none;
    }
    truth.messages.push_back(m);
    return truth.messages.back();
  };
  auto reaction = [&](int64_t handle, int64_t chat, bool fromMe, const std::string& target, int64_t type,
                      const std::string& text) {
    Extra e;
    e.associatedGuid = "p:0/" + target;
    e.associatedType = type;
    e.textColumn = true;
    message(handle, chat, fromMe, text, e, text);
  };
  const Extra plain;
  Extra inText;
  inText.textColumn = true;

  // Chat 1, one-to-one with Ann Lee.
  const std::string hi = message(1, 1, true, "Hi Ann, are we still on for tonight?", inText,
                                 "Hi Ann, are we still on for tonight?").guid;
  const std::string hello = message(1, 1, false, "Hello! Yes we are", plain, "Hello! Yes we are").guid;
  reaction(1, 1, true, hello, 2000, "Loved \xE2\x80\x9CHello! Yes we are\xE2\x80\x9D");
  Extra edited;
  edited.edited = true;
  message(1, 1, false, "See you at 7", edited, "See you at 7");
  Extra unsent;
  unsent.retracted = true;
  message(1, 1, true, "", unsent, "This message was unsent.");
  Extra reply;
  reply.threadOriginator = hi;
  message(1, 1, false, "Yes, see you there", reply, "Yes, see you there");
  Extra photos;
  photos.attachments = {"IMG_4001.HEIC", "IMG_4002.HEIC"};
  message(1, 1, true, "\xEF\xBF\xBC\xEF\xBF\xBC", photos, "");
  // In "Recently Deleted": no chat_message_join row, a recoverable one.
  CurrentSmsMessage& oops = message(1, 0, true, "Oops, wrong chat", plain, "Oops, wrong chat");
  oops.chat = 1;
  oops.recentlyDeleted = true;
  db.Run("INSERT INTO chat_recoverable_message_join VALUES (1, ?, ?, 0)",
         {oops.rowid, (seconds + 600) * 1000000000LL});
  // A reaction to a message that is not in the table: kept as a message.
  Extra orphan;
  orphan.associatedGuid = "p:0/00000000-0000-4000-A000-000000000000";
  orphan.associatedType = 2001;
  orphan.textColumn = true;
  message(1, 1, false, "Liked \xE2\x80\x9C" "an old message\xE2\x80\x9D", orphan, "");
  truth.messages.push_back({rowid, 1, 1, false, "", "Liked \xE2\x80\x9C" "an old message\xE2\x80\x9D", false, false});
  --truth.reactions;

  // Chat 3, "Hiking Club".
  const std::string trail = message(1, 3, false, "Trail at 9?", plain, "Trail at 9?").guid;
  message(5, 3, false, "Count me in", plain, "Count me in");
  message(0, 3, true, "Great, I'll bring snacks", plain, "Great, I'll bring snacks");
  reaction(6, 3, false, trail, 2001, "Liked \xE2\x80\x9CTrail at 9?\xE2\x80\x9D");
  reaction(5, 3, false, trail, 2003, "Laughed at \xE2\x80\x9CTrail at 9?\xE2\x80\x9D");
  reaction(5, 3, false, trail, 3003, "Removed a laugh from \xE2\x80\x9CTrail at 9?\xE2\x80\x9D");
  // Chat 4, a group without a name.
  message(5, 4, false, "Hello you two", plain, "Hello you two");
  message(0, 4, true, "hi both", plain, "hi both");
  // Chat 2, one-to-one with Eve Park, and filler. A share of it is deleted
  // later, as people delete messages: every fifth one (their cells become
  // free blocks) and, in a longer chat, a run of consecutive ones (whole
  // pages go to the free list); some of those carry a photo, whose
  // attachment row and join row go with them.
  const int runFrom = shape.fillerMessages >= 100 ? shape.fillerMessages / 2 : shape.fillerMessages;
  const int runTo = runFrom + shape.fillerMessages / 5;
  for (int i = 0; i < shape.fillerMessages; ++i) {
    const bool me = rng() % 2 == 0;
    const bool doomedFiller = i % 5 == 2 || (i >= runFrom && i < runTo);
    const std::string text = Format("Filler message %d about the %s", i, i % 3 == 0 ? "weather" : "plans");
    Extra extra = i % 4 == 0 ? inText : plain;
    if (doomedFiller && i % 3 == 1) extra.attachments = {Format("IMG_%d.HEIC", 5000 + i)};
    const int64_t id = message(5, 2, me, text, extra, text).rowid;
    if (doomedFiller) doomed.push_back(id);
  }
  // A join row naming a chat that is not there: the message stays with its handle.
  CurrentSmsMessage& stray = message(2, 99, false, "Stray message", plain, "Stray message");
  (void)stray;
  // Deleted rows: one of chat 1 and one of the group.
  doomed.push_back(message(1, 1, false, "Deleted one-to-one message", inText, "Deleted one-to-one message").rowid);
  doomed.push_back(message(6, 3, false, "Deleted group message", inText, "Deleted group message").rowid);
  message(1, 1, true, "Last live message", inText, "Last live message");
  db.Exec("COMMIT");
  db.Exec("PRAGMA secure_delete=OFF");
  db.Exec("BEGIN");
  for (int64_t id : doomed) {
    db.Run("DELETE FROM message WHERE ROWID = ?", {id});
    db.Run("DELETE FROM chat_message_join WHERE message_id = ?", {id});
    db.Run("DELETE FROM attachment WHERE ROWID IN (SELECT attachment_id FROM message_attachment_join "
           "WHERE message_id = ?)",
           {id});
    db.Run("DELETE FROM message_attachment_join WHERE message_id = ?", {id});
    for (CurrentSmsMessage& m : truth.messages) {
      if (m.rowid == id) m.deleted = true;
    }
  }
  db.Exec("COMMIT");
  if (shape.logMessages > 0) {
    // The newest messages stay in the write-ahead log: no checkpoint while
    // they are written nor when the database is closed.
    db.Exec("PRAGMA journal_mode=WAL");
    db.Exec("PRAGMA wal_autocheckpoint=0");
    sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    for (int i = 0; i < shape.logMessages; ++i) {
      const std::string text = Format("Newest message %d, not yet in the database file", i + 1);
      db.Exec("BEGIN");
      message(5, 2, i % 2 == 0, text, i % 2 == 0 ? inText : plain, text).onlyInLog = true;
      db.Exec("COMMIT");
    }
  }
  db.Close();
  return truth;
}

void AddCurrentMessagesFamily(BackupWriter& writer, const FamilyOptions& options) {
  CurrentSmsShape shape;
  shape.seed = options.seed;
  shape.fillerMessages = 40 * std::max(1, options.scale);
  const fs::path built = writer.ScratchPath("sms.db");
  BuildCurrentSmsDb(built, shape);
  writer.AddFileFrom("HomeDomain", "Library/SMS/sms.db", built);
  // The log is a stored file of its own.
  std::error_code ec;
  const fs::path log = built.string() + "-wal";
  if (fs::exists(log, ec)) writer.AddFileFrom("HomeDomain", "Library/SMS/sms.db-wal", log);
}

}  // namespace orbanix::gen
