// Document writers: the TXT, CSV and HTML files of one message conversation
// or WhatsApp chat, and the rows of the contacts, call-history and notes
// tables.
//
// Record text is escaped (HTML) or quoted (CSV) here; the markup the writers
// make themselves (the table cells, "<br />" between phone numbers, the
// message blocks) stays markup.
//
// HTML message block, one per message:
//   <div class="date">Date: DATE Me:</div>            (sent)
//   <div class="send_msg">TEXT</div>                 (del_send_msg when deleted)
//   <div class="date">Date: DATE SENDER:</div>        (received)
//   <div class="recv_msg">TEXT</div>                 (del_recv_msg when deleted)
// TXT, three lines and a blank line per message, the captions right-aligned
// in ten characters:
//         To: LABEL                                  (From: when received)
//       Date: DATE
//    Content: TEXT
// CSV: "Chats,Name/Phone,Date,Type,Content,Recovered From,Page,Offset",
// then one RFC 4180 line per message: sender name, sender address, date,
// Send or Received, text, and for a message recovered from free space where
// it lay in its database (RecoveredFromCells; empty for the others).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

namespace fs = std::filesystem;

// The report callback of a writer: percent, status, path of the file in work;
// answers 0 to go on and anything else to stop.
using ReportFn = std::function<int(int percent, Status status, const fs::path& path)>;

// One message of a conversation or chat, in the words the documents use.
struct ConversationLine {
  bool fromMe = false;
  bool deleted = false;
  std::string date;
  std::string label;   // TXT: the other party, "Name(address)" or the address
  std::string sender;  // HTML: who sent a received message
  std::string text;
  std::string csvName;     // CSV: sender name
  std::string csvAddress;  // CSV: sender address
  RecoveredFrom recoveredFrom;  // CSV: where a recovered message lay
};

// The trailing cells of a CSV row that tell where a recovered row lay in its
// database: the kind of free space ("free block", "unallocated space",
// "stale cell pointer", "free-list page", "dropped table"), the page number
// and the byte offset; three empty cells for a live row. The header cells
// are kRecoveredFromHeader.
struct RecoveredFromCells {
  std::string source, page, offset;
};
RecoveredFromCells RecoveredFromCsv(const RecoveredFrom& from);
inline constexpr const char* kRecoveredFromHeader[3] = {"Recovered From", "Page", "Offset"};

// Writes the TXT file (UTF-8 with BOM). 0 or the errno of the failed
// open or write.
Status WriteConversationTxt(const fs::path& path, const std::vector<ConversationLine>& lines);
// Writes the CSV file (UTF-8 with BOM). 0 or the errno of the failed open or write.
Status WriteConversationCsv(const fs::path& path, const std::vector<ConversationLine>& lines);

// The HTML block of one message.
std::string MessageBlock(const ConversationLine& line);

// Writes the HTML file: head, one block per message, tail. While building it
// reports (i * 100) / n after the i-th block, holding back the 100 until the
// file is on disk; the completion is then reported with 100 and the status of
// the write (a conversation without messages completes the same way). A
// failed open or write is reported as a completion with its errno. When a
// report answers non-zero the file is not written (nothing partial is left)
// and the result is 2 with `stopped` set.
Status WriteConversationHtml(const fs::path& path, std::string_view head, std::string_view tail,
                             const std::vector<ConversationLine>& lines, const ReportFn& report,
                             bool& stopped);

// One table row "\t<tr>" + cells + "</tr>\r\n" from cells that are already
// HTML; a deleted record's row has the class "deleted".
std::string TableRow(const std::vector<std::string>& cellsHtml, bool deleted);
// The phone numbers of a contact (separated by "\n") as one escaped cell with
// "<br />" between the numbers.
std::string PhonesCell(std::string_view phones);
// A record text as one escaped cell.
std::string TextCell(std::string_view text);

// Writes `parts` one after the other into a new or truncated file, in binary.
// 0 or the errno of the failed open or write.
Status WriteBinaryFile(const fs::path& path, std::initializer_list<std::string_view> parts);

}  // namespace orbanix
