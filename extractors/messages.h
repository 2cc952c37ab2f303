// Messages: the phone's message database (sms.db) joined into conversations.
//
// Tables and the columns read (numbers as in the CREATE TABLE statements; the
// message table of newer phones only adds columns behind the old 38):
//
//   message                  2 text, 5 handle_id (-> handle.ROWID),
//                            8 attributedBody (typedstream NSAttributedString,
//                            the body when text is NULL on newer phones),
//                            15 date (seconds or, on newer phones,
//                            nanoseconds since 2001-01-01), 21 is_from_me
//   handle                   1 id (phone number or e-mail address)
//   attachment               4 filename (a path on the phone)
//   message_attachment_join  0 message_id, 1 attachment_id
//
// Every column is found by its name in the table's schema (columns.h); the
// numbers above are used only when the schema cannot be read. Current phones
// add, by name:
//
//   message                  guid, associated_message_guid and
//                            associated_message_type (reactions: 2000-2005
//                            added, 3000-3005 removed), date_edited,
//                            date_retracted, thread_originator_guid (the
//                            message a reply answers)
//   chat                     style (43 a group), display_name
//   chat_handle_join         chat_id, handle_id (the members of a chat)
//   chat_message_join        chat_id, message_id (the chat of a message)
//   chat_recoverable_message_join  chat_id, message_id (the messages in the
//                            phone's "Recently Deleted", iOS 16 on)
//
// A group chat is one conversation of its own, keyed by GroupConversationKey
// of its chat; a message elsewhere belongs to the conversation of its handle.
//
// Each table is read with ScanTable: live rows, then the rows recovered from
// free space (deleted 1). The address book's search table gives the contact
// names (contacts.h).
#pragma once

#include <cstdint>
#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/contacts.h"
#include "extractors/scan_progress.h"
#include "platform/problems.h"
#include "platform/status.h"
#include "sqlite_pages/provenance.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/values.h"

namespace orbanix {

struct MessageRecord {
  int deleted = 0;       // 0 live row, 1 recovered from free space or in the phone's "Recently Deleted"
  int fromMe = 0;        // 1 when column 21 holds 1
  int64_t rowId = 0;     // the row's rowid (0 for rows recovered without a cell header)
  int64_t handleId = 0;  // the conversation's key: column 5, or GroupConversationKey of a group chat
  LocalDate date;        // column 15 as local date text; empty for 0, NULL or not a number
  // The conversation's other party: the handle's id and the name of the
  // first contact whose phone text contains it; for a group chat its
  // members' addresses joined by ", " and the chat's label.
  std::string address;
  std::string contactName;
  std::string text;            // column 2, or the archived string of column 8
  std::string attachmentName;  // file name of the first attachment linked to the message
  // Current phones.
  bool group = false;            // the message is in a group chat
  bool edited = false;           // shown "Edited"
  bool unsent = false;           // text is "This message was unsent."
  bool recentlyDeleted = false;  // in the phone's "Recently Deleted" (also deleted 1)
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
  // What only some messages have, kept apart so that a plain message stays
  // small (a scan holds millions); shared by copies of the record.
  struct Details {
    std::string senderName;     // group chats: who sent a received message (contact name, else address)
    std::string senderAddress;
    std::vector<std::string> attachmentNames;  // every attachment linked to the message
    std::string reactions;      // "♥ Ann Lee, 👍 Me": the reactions to this message
    std::string replyTo;        // the beginning of the message this one answers
    int64_t senderHandleId = 0; // group chats: the handle_id of the row (handleId holds the group's key)
  };
  std::shared_ptr<Details> details;

  const std::string& senderName() const { return details ? details->senderName : Empty(); }
  const std::string& senderAddress() const { return details ? details->senderAddress : Empty(); }
  const std::vector<std::string>& attachmentNames() const {
    static const std::vector<std::string> kNone;
    return details ? details->attachmentNames : kNone;
  }
  const std::string& reactions() const { return details ? details->reactions : Empty(); }
  const std::string& replyTo() const { return details ? details->replyTo : Empty(); }
  int64_t senderHandleId() const { return details ? details->senderHandleId : handleId; }
  // The details, made when the record has none.
  Details& Detail() {
    if (!details) details = std::make_shared<Details>();
    return *details;
  }

 private:
  static const std::string& Empty() {
    static const std::string kEmpty;
    return kEmpty;
  }
};

// The conversation key of a group chat: below every handle id.
inline int64_t GroupConversationKey(int64_t chatRowId) { return INT64_MIN / 2 - chatRowId; }
inline bool IsGroupConversationKey(int64_t key) { return key <= INT64_MIN / 2; }

// The text of the mark of a reaction type (2000 loved "♥", 2001 liked "👍",
// 2002 disliked "👎", 2003 laughed "😂", 2004 emphasized "‼", 2005
// questioned "?"); the removal types 3000-3005 give the mark they remove.
// Empty for any other type.
std::string_view ReactionMark(int64_t type);

// The text a message is shown with: "Reply to “…”" on a line of its own
// before a reply, the text (for a message without text its attachments'
// file names, joined by ", "), " (Edited)" after an edited one, and the
// reactions on a last line.
std::string MessageDisplayText(const MessageRecord& m);
// Who sent a received message: in a group chat the member, elsewhere the
// conversation's party (the contact name, else the address).
const std::string& MessageSender(const MessageRecord& m);

// The columns of the message table the scan reads. Historical(): the
// positions of the 38-column table, no column of current phones.
struct MessageColumns {
  int guid = 1, text = 2, handle = 5, attributedBody = 8, accountGuid = 13, date = 15, dateRead = 16,
      isFinished = 19, fromMe = 21, isRead = 26;
  int associatedGuid = -1, associatedType = -1, dateEdited = -1, dateRetracted = -1, threadOriginator = -1;
  static MessageColumns Historical() { return {}; }
  static MessageColumns From(const ColumnLookup& lookup);
  // One more than the largest position read.
  int LayOut() const;
};

struct HandleRecord {
  int deleted = 0;
  int64_t rowId = 0;
  std::string id;  // column 1
};

struct AttachmentRecord {
  int deleted = 0;
  int64_t rowId = 0;
  int64_t messageId = 0;  // from the link table
  std::string fileName;   // column 4
};

struct AttachmentLinkRecord {
  int deleted = 0;
  int64_t attachmentId = 0;  // column 1
  int64_t messageId = 0;     // column 0
};

// handleId -> the messages of that party, in ascending date text.
using ConversationMap = std::map<int64_t, std::vector<MessageRecord>>;

// Row decoders. The message decoder keeps a live row whose text is empty
// (the scan keeps it only when an attachment is linked to it); a recovered
// row needs a clean, non-empty text. Live rows also set the expected column
// count of recovered message rows (reader.messageColumns): 38 for a record
// header below 51 bytes, else the record's own column count. `maxRowId`
// (when given) is raised to the largest rowid seen.
RowDecoder MakeMessageRowDecoder(std::vector<MessageRecord>& sink, int64_t* maxRowId = nullptr,
                                  const MessageColumns& columns = MessageColumns::Historical());
// The other decoders take the positions of their columns (those of every
// version when not given).
RowDecoder MakeHandleRowDecoder(std::vector<HandleRecord>& sink, int idColumn = 1);
RowDecoder MakeAttachmentRowDecoder(std::vector<AttachmentRecord>& sink, int fileNameColumn = 4);
RowDecoder MakeAttachmentLinkRowDecoder(std::vector<AttachmentLinkRecord>& sink, int messageColumn = 0,
                                        int attachmentColumn = 1);

// The joins of the message scan, each giving the first match in table order
// (hash maps and one pass over the contacts, so the cost stays near-linear):
//   attachment.messageId  <- the first link whose attachmentId is its rowId
//   message.address       <- the first handle with a non-zero rowId equal to handleId
//   message.contactName   <- the first contact whose phone text contains the address
//   message.attachmentName<- the first attachment whose messageId is the message's
//                            non-zero rowId
void LinkAttachments(std::vector<AttachmentRecord>& attachments, const std::vector<AttachmentLinkRecord>& links);
void JoinMessages(std::vector<MessageRecord>& messages, const std::vector<HandleRecord>& handles,
                  const std::vector<ContactRecord>& contacts, const std::vector<AttachmentRecord>& attachments);

// For every pattern, the index of the first text that contains it as a
// substring (exact bytes), or -1. One pass over the texts (Aho-Corasick).
std::vector<int64_t> FirstContaining(const std::vector<std::string>& patterns,
                                     const std::vector<std::string_view>& texts);
// For every number that FirstContaining left without a text (-1 in
// `first`): the first text holding the same phone number written another
// way (phone_numbers.h), or -1 still.
void MatchNumbersWrittenOtherwise(const std::vector<std::string>& numbers, const std::vector<std::string_view>& texts,
                                  std::vector<int64_t>& first);

// The message scan. Reads the message database at `smsDb`, joins handles,
// attachments and the contact names of the address book at `addressBook`,
// sorts by date (stable) and appends each message to its handleId's vector
// in `conversations`. `maxRowId` gets the largest rowid of the message table.
// Reports progress base + span/5, /4, /3, /2 after the four tables and
// base + span at the end; a non-zero answer stops the scan after the current
// step with `conversations` unchanged and is returned. An address book that
// is missing or unreadable only leaves the contact names empty. Returns the
// open status of the message database, else 0 (or the callback's answer).
// `problems` (when given) learns of the tables that could not be read or
// lack a column the scan needs (the messages are then delivered without
// what the table would have added: their chats, their reactions).
Status ScanMessages(const std::filesystem::path& smsDb, const std::filesystem::path& addressBook,
                    ConversationMap& conversations, int64_t& maxRowId, const ScanProgress& progress = {},
                    ProblemLog* problems = nullptr);

// The message row dump ("sms.csv"): appends every row of the message table,
// live and recovered, to `output` as one text line (row_dump.h), recovered
// rows numbered on from `startRowId`. A recovered row is made fit to be
// written back: its guid (column 1) becomes "27B99F78-F6F0-475F-8BA1-" and
// the row number as 12 uppercase hexadecimal digits; it is left out unless
// column 13 holds exactly 36 characters from '-' to 'z'; column 19 becomes 1;
// column 15 the current time in Apple seconds (nanoseconds when the row's
// own date was in nanoseconds); column 16 and 26 become 0 for a message
// sent by the owner, else the new date and 1. A row whose text (column 2) is
// not clean UTF-8 is left out. With `keep`, only the rows it accepts are
// written (the rows of the conversations the user chose); it is told each
// row's handle_id and rowid. Returns the open status of the database or the
// first error writing the output.
struct MessageRowKey {
  int64_t handleId = 0;  // column 5; 0 when it holds no integer
  int64_t rowId = 0;     // the row's rowid (as MessageRecord::rowId); 0 when recovered without its cell header
};
using MessageRowFilter = std::function<bool(const MessageRowKey& row)>;
Status DumpMessageRows(const std::filesystem::path& smsDb, const std::filesystem::path& output, int64_t startRowId,
                       const MessageRowFilter& keep = {});

}  // namespace orbanix
