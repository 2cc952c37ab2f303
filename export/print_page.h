// The body of the print page (template "Print.html"): one block per ticked
// record of the category open in the preview.
//
//   <div>
//   <p><span>Caption:</span>value</p>      one line per field
//   </div>
//
// Values are HTML-escaped; the print template shows their line breaks
// (white-space: pre-wrap), and a contact's numbers are separated by
// "<br />". Messages give one block per message of the conversation;
// WhatsApp one block per chat with its messages as lines.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "export/recovery.h"

namespace orbanix {

// One block from (caption, record text) lines.
std::string PrintBlock(const std::vector<std::pair<std::string, std::string>>& lines);

std::string PrintContact(const ContactRecord& contact);
std::string PrintCall(const CallRecord& call);
std::string PrintNote(const NoteRecord& note);
std::string PrintConversation(const std::vector<MessageRecord>& messages);
std::string PrintChat(const ChatMessageRecord& chat, const std::vector<ChatMessageRecord>& messages);

// The blocks of every ticked entry of `category` in selection order (only
// records recovered from deleted rows when `deletedOnly`). `cancelled` is
// asked before each record; when it answers true the result is 2 and `body`
// holds what was built so far. Categories without print blocks give an
// empty body.
Status PrintBody(const CStatisticsObj& selection, const RecoveryRecords& records, Category category,
                 bool deletedOnly, const std::function<bool()>& cancelled, std::string& body);

}  // namespace orbanix
