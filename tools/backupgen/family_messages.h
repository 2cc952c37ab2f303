// The message family of the synthetic backups.
//
// BuildSmsDb writes an sms.db in one of two message-table layouts:
//   kOld38  the 38-column "message" table of older phones; dates are whole
//           seconds since 2001-01-01 in 4-byte integers; text in column 2
//   kWide   the wide table of newer phones (the first 38 columns unchanged,
//           then 40 more); dates in nanoseconds since 2001-01-01 (8-byte
//           integers); every message carries its body as a typedstream
//           NSAttributedString in column 8 and a share of them has no text
//           in column 2 at all
// with handles, attachments and their links, and (unless told otherwise)
// deletions whose bytes survive in free blocks, in the unallocated gap of a
// page and on free-list pages. Handle ids are the international numbers of
// the address-book family's persons (family_contacts.h), so the two
// databases join.
//
// BuildSmsDb returns what it wrote (live and deleted rows) so tests can
// measure what the extractors deliver and recover.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/backupgen/family_contacts.h"

namespace orbanix::gen {

namespace fs = std::filesystem;

// --- typedstream (NSArchiver) ---

// An NSAttributedString holding `text` archived the way the message
// database's attributedBody column keeps it: the "streamtyped" header, the
// class chain NSAttributedString -> NSObject, the NSString with its UTF-8
// bytes, one attribute run. `mutableClasses` archives the mutable
// subclasses (NSMutableAttributedString, NSMutableString) instead.
std::string ArchiveAttributedString(const std::string& text, bool mutableClasses = false);

// --- sms.db ---

enum class SmsLayout { kOld38, kWide };

struct SmsShape {
  SmsLayout layout = SmsLayout::kOld38;
  int handles = 12;
  int messages = 600;
  uint32_t seed = 1;
  bool deleteRows = true;
  int pageSize = 4096;
};

struct SmsMessageTruth {
  int64_t rowid = 0;
  int64_t handleId = 0;
  std::string text;       // the message body (also when only archived in column 8)
  bool textColumnNull = false;
  bool fromMe = false;
  int64_t appleSeconds = 0;  // message date in whole seconds since 2001-01-01
  int64_t storedDate = 0;    // the value in column 15 (seconds or nanoseconds)
  std::string attachment;    // file name of its attachment, empty when none
};

struct SmsHandleTruth {
  int64_t rowid = 0;
  std::string id;
};

struct SmsAttachmentTruth {
  int64_t rowid = 0;
  int64_t messageId = 0;
  std::string fileName;
};

struct SmsTruth {
  std::vector<SmsMessageTruth> liveMessages, deletedMessages;
  std::vector<SmsHandleTruth> liveHandles, deletedHandles;
  std::vector<SmsAttachmentTruth> liveAttachments, deletedAttachments;
  int64_t freelistPages = 0;
};

// Builds the database at `path` (replaced). Throws std::runtime_error when
// SQLite fails.
SmsTruth BuildSmsDb(const fs::path& path, const SmsShape& shape);

// The family: HomeDomain Library/SMS/sms.db, in the wide layout for backups
// of the Manifest.db era and the 38-column layout otherwise.
void AddMessagesFamily(BackupWriter& writer, const FamilyOptions& options);

// --- sms.db of current phones (iOS 16/17) ---
//
// The message table as current phones keep it (the wide table and, behind
// it, date_retracted, date_edited and the later columns), chats with their
// handles and messages, and chat_recoverable_message_join for "Recently
// Deleted". The content is a fixed story, with `fillerMessages` more one-to-
// one messages for size:
//
//   chat 1  one-to-one with handle 1 (Ann Lee of the address book)
//   chat 2  one-to-one with handle 5 (Eve Park)
//   chat 3  group "Hiking Club": handles 1, 5, 6
//   chat 4  group without a name: handles 1, 5
//
// with texts only in attributedBody, reactions (and one taken back), an
// edited and an unsent message, a reply, a message with two attachments and
// no text, a message in Recently Deleted, a reaction to a message that is
// not there, a join row naming a chat that is not there, and deleted rows
// whose bytes stay in the file.
//
// The last `logMessages` messages (chat 2) are written after the database
// went into WAL mode and are never checkpointed: they exist only in
// "<path>-wal", as on a phone whose newest messages SQLite has not yet
// copied back into the file.
struct CurrentSmsShape {
  int fillerMessages = 40;
  int logMessages = 3;
  uint32_t seed = 1;
  int pageSize = 4096;
};

struct CurrentSmsMessage {
  int64_t rowid = 0;
  int64_t handleId = 0;
  int64_t chat = 0;  // the chat of chat_message_join (or of Recently Deleted); 0 none
  bool fromMe = false;
  std::string guid;
  std::string text;  // the text the reader should give (empty for attachments alone)
  bool deleted = false;           // deleted from the table (bytes left behind)
  bool recentlyDeleted = false;
  bool onlyInLog = false;         // in the write-ahead log only
};

struct CurrentSmsTruth {
  std::vector<CurrentSmsMessage> messages;  // in rowid order, reactions left out
  int64_t reactions = 0;                    // reaction rows written
};

CurrentSmsTruth BuildCurrentSmsDb(const fs::path& path, const CurrentSmsShape& shape);

// The family of current phones: the same path, the current layout.
void AddCurrentMessagesFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
