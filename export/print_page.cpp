#include "export/print_page.h"

#include "export/documents.h"
#include "export/names.h"
#include "export/organizer_documents.h"
#include "export/text_format.h"

namespace orbanix {

namespace {

std::string Line(const std::string& caption, const std::string& valueHtml) {
  return "<p><span>" + HtmlEscape(caption) + "</span>" + valueHtml + "</p>\r\n";
}

}  // namespace

std::string PrintBlock(const std::vector<std::pair<std::string, std::string>>& lines) {
  std::string block = "<div>\r\n";
  for (const auto& [caption, value] : lines) block += Line(caption, HtmlEscape(value));
  block += "</div>\r\n";
  return block;
}

std::string PrintContact(const ContactRecord& c) {
  return "<div>\r\n" + Line("Name:", HtmlEscape(c.name)) + Line("Phone Number:", PhonesCell(c.phones)) +
         Line("Company:", HtmlEscape(c.company)) + Line("Email:", HtmlEscape(c.email)) +
         Line("URL:", HtmlEscape(c.homePage)) + "</div>\r\n";
}

std::string PrintCall(const CallRecord& c) {
  return PrintBlock({{"Name:", c.name},
                     {"Phone Number:", c.address},
                     {"Date:", c.date},
                     {"Type:", CallDirectionText(c.incoming != 0, CallKindText(c.kind))},
                     {"Duration:", CallDurationCell(c.duration, c.incoming != 0, CallNotConnected(c))}});
}

std::string PrintNote(const NoteRecord& n) {
  return PrintBlock({{"Title:", n.title}, {"Date:", n.date}, {"Notes:", n.body}});
}

std::string PrintConversation(const std::vector<MessageRecord>& messages) {
  std::string body;
  for (const MessageRecord& m : messages) {
    // A member's message in a group chat is from that member; the owner's
    // messages go to the conversation.
    const bool member = m.group && !m.fromMe;
    body += PrintBlock({{m.fromMe ? "To:" : "From:", member ? PartyLabel(m.senderName(), m.senderAddress())
                                                            : PartyLabel(m.contactName, m.address)},
                        {"Date:", m.date},
                        {"Content:", MessageDisplayText(m)}});
  }
  return body;
}

std::string PrintChat(const ChatMessageRecord& chat, const std::vector<ChatMessageRecord>& messages) {
  std::string block = "<div>\r\n" + Line("Chats:", HtmlEscape(chat.chatTitle)) +
                      Line("Name:", HtmlEscape(chat.partnerName.empty() ? chat.senderName : chat.partnerName)) +
                      Line("Phone Number:",
                           HtmlEscape(chat.partnerAddress.empty() ? chat.senderAddress : chat.partnerAddress)) +
                      "<p><span>Content:</span></p>\r\n";
  for (const ChatMessageRecord& m : messages) {
    block += "<p>" + HtmlEscape(m.fromMe ? std::string("Me") : m.senderName) + " (" + HtmlEscape(m.date) +
             "): " + HtmlEscape(m.text) + "</p>";
  }
  block += "</div>\r\n";
  return block;
}

Status PrintBody(const CStatisticsObj& selection, const RecoveryRecords& records, Category category,
                 bool deletedOnly, const std::function<bool()>& cancelled, std::string& body) {
  body.clear();
  for (const auto& [id, state] : selection.table().entries()) {
    if (state.folder || !state.ticked || state.category != static_cast<int>(category)) continue;
    if (deletedOnly && !state.deleted) continue;
    if (category == Category::Messages) {
      const MessageRecord* m = ElementOf(records.conversationRows, id);
      if (!m || !records.conversations) continue;
      const auto it = records.conversations->find(m->handleId);
      if (it == records.conversations->end()) continue;
      for (const MessageRecord& message : it->second) {
        if (cancelled && cancelled()) return status::kCancelled;
        body += PrintConversation({message});
      }
      continue;
    }
    if (cancelled && cancelled()) return status::kCancelled;
    switch (category) {
      case Category::Contacts:
        if (auto* c = ElementOf(records.contacts, id)) body += PrintContact(*c);
        break;
      case Category::CallHistory:
        if (auto* c = ElementOf(records.calls, id)) body += PrintCall(*c);
        break;
      case Category::Notes:
        if (auto* n = ElementOf(records.notes, id)) body += PrintNote(*n);
        break;
      case Category::WhatsApp:
        if (auto* c = ElementOf(records.chatRows, id)) {
          static const std::vector<ChatMessageRecord> kNone;
          const std::vector<ChatMessageRecord>* messages = &kNone;
          if (records.chats) {
            const auto it = records.chats->find(c->chatId);
            if (it != records.chats->end()) messages = &it->second;
          }
          body += PrintChat(*c, *messages);
        }
        break;
      case Category::Reminder:
        if (auto* r = ElementOf(records.reminders, id)) body += PrintBlock(ReminderDetail(*r));
        break;
      case Category::Calendar:
        if (auto* e = ElementOf(records.events, id)) body += PrintBlock(EventDetail(*e));
        break;
      case Category::SafariBookmark:
        if (auto* b = ElementOf(records.safariBookmarks, id)) {
          body += PrintBlock(BookmarkDetail(*b));
        } else if (auto* h = ElementOf(records.safariHistory, id)) {
          body += PrintBlock(HistoryDetail(*h));
        }
        break;
      default:
        return status::kOk;
    }
  }
  return status::kOk;
}

}  // namespace orbanix
