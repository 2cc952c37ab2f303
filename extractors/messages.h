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
// Each table is read with ScanTable: live rows, then the rows recovered from
// free space (deleted 1). The address book's search table gives the contact
// names (contacts.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/contacts.h"
#include "extractors/scan_progress.h"
#include "platform/status.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/values.h"

namespace orbanix {

struct MessageRecord {
  int deleted = 0;       // 0 live row, 1 recovered from free space
  int fromMe = 0;        // 1 when column 21 holds 1
  int64_t rowId = 0;     // the row's rowid (0 for rows recovered without a cell header)
  int64_t handleId = 0;  // column 5
  LocalDate date;        // column 15 as local date text; empty for 0, NULL or not a number
  std::string address;   // id of the handle whose rowid is handleId; empty when none
  std::string contactName;     // name of the first contact whose phone text contains address
  std::string text;            // column 2, or the archived string of column 8
  std::string attachmentName;  // file name of the first attachment linked to the message
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
RowDecoder MakeMessageRowDecoder(std::vector<MessageRecord>& sink, int64_t* maxRowId = nullptr);
RowDecoder MakeHandleRowDecoder(std::vector<HandleRecord>& sink);
RowDecoder MakeAttachmentRowDecoder(std::vector<AttachmentRecord>& sink);
RowDecoder MakeAttachmentLinkRowDecoder(std::vector<AttachmentLinkRecord>& sink);

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

// The message scan. Reads the message database at `smsDb`, joins handles,
// attachments and the contact names of the address book at `addressBook`,
// sorts by date (stable) and appends each message to its handleId's vector
// in `conversations`. `maxRowId` gets the largest rowid of the message table.
// Reports progress base + span/5, /4, /3, /2 after the four tables and
// base + span at the end; a non-zero answer stops the scan after the current
// step with `conversations` unchanged and is returned. An address book that
// is missing or unreadable only leaves the contact names empty. Returns the
// open status of the message database, else 0 (or the callback's answer).
Status ScanMessages(const std::filesystem::path& smsDb, const std::filesystem::path& addressBook,
                    ConversationMap& conversations, int64_t& maxRowId, const ScanProgress& progress = {});

// The message row dump ("sms.csv"): appends every row of the message table,
// live and recovered, to `output` as one text line (row_dump.h), recovered
// rows numbered on from `startRowId`. A recovered row is made fit to be
// written back: its guid (column 1) becomes "27B99F78-F6F0-475F-8BA1-" and
// the row number as 12 uppercase hexadecimal digits; it is left out unless
// column 13 holds exactly 36 characters from '-' to 'z'; column 19 becomes 1;
// column 15 the current time in Apple seconds (nanoseconds when the row's
// own date was in nanoseconds); column 16 and 26 become 0 for a message
// sent by the owner, else the new date and 1. A row whose text (column 2) is
// not clean UTF-8 is left out. With `keep`, only the rows whose handle_id
// (column 5; 0 when it holds no integer) it accepts are written: the rows of
// the conversations the user chose. Returns the open status of the database
// or the first error writing the output.
using MessageRowFilter = std::function<bool(int64_t handleId)>;
Status DumpMessageRows(const std::filesystem::path& smsDb, const std::filesystem::path& output, int64_t startRowId,
                       const MessageRowFilter& keep = {});

}  // namespace orbanix
