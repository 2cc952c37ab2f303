// The print page body: ticked records only, the deleted-only mode, escaping.
#include <gtest/gtest.h>

#include "export/print_page.h"

namespace orbanix {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(PrintPage, TwoOfFiveTickedNotesGiveTwoBlocksAndTheFilterKeepsDeletedOnes) {
  std::vector<NoteRecord> notes(5);
  for (int i = 0; i < 5; ++i) notes[i].title = "note " + std::to_string(i);
  notes[1].deleted = 1;
  notes[3].body = "<script>alert(1)</script>\nsecond line";
  RecoveryRecords records;
  records.notes = &notes;
  CStatisticsObj selection;
  SelectAll(selection, records);
  for (int i : {0, 2, 4}) selection.SetTicked(&notes[i], false);
  std::string body;
  ASSERT_EQ(PrintBody(selection, records, Category::Notes, false, nullptr, body), 0);
  EXPECT_EQ(Count(body, "<div>"), 2u);
  EXPECT_NE(body.find("<p><span>Title:</span>note 1</p>\r\n"), std::string::npos);
  EXPECT_NE(body.find("<p><span>Notes:</span>&lt;script&gt;alert(1)&lt;/script&gt;\nsecond line</p>"),
            std::string::npos);
  ASSERT_EQ(PrintBody(selection, records, Category::Notes, true, nullptr, body), 0);
  EXPECT_EQ(Count(body, "<div>"), 1u);
  EXPECT_NE(body.find("note 1"), std::string::npos);
  ASSERT_EQ(PrintBody(selection, records, Category::CameraRoll, false, nullptr, body), 0);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(PrintBody(selection, records, Category::Notes, false, [] { return true; }, body), status::kCancelled);
}

TEST(PrintPage, ContactsCallsConversationsAndChats) {
  ContactRecord contact;
  contact.name = "A&B";
  contact.phones = "1\n2\n3";
  EXPECT_NE(PrintContact(contact).find("<p><span>Phone Number:</span>1<br />2<br />3</p>"), std::string::npos);
  EXPECT_NE(PrintContact(contact).find("<p><span>Name:</span>A&amp;B</p>"), std::string::npos);
  CallRecord call;
  call.incoming = 1;
  EXPECT_NE(PrintCall(call).find("<p><span>Duration:</span>Missed</p>"), std::string::npos);

  ConversationMap conversations;
  for (int i = 0; i < 3; ++i) {
    MessageRecord m;
    m.handleId = 5;
    m.contactName = "Unknown";
    m.address = "+1";
    m.fromMe = i == 1;
    conversations[5].push_back(m);
  }
  const auto rows = ConversationRows(conversations);
  WhatsAppChatMap chats;
  ChatMessageRecord c;
  c.chatId = 2;
  c.chatTitle = "Family";
  c.senderName = "Bob";
  c.senderAddress = "+49";
  c.text = "hi <b>";
  chats[2].push_back(c);
  c.fromMe = 1;
  c.text = "yes";
  chats[2].push_back(c);
  const auto chatRows = ChatRows(chats);
  RecoveryRecords records;
  records.conversations = &conversations;
  records.conversationRows = &rows;
  records.chats = &chats;
  records.chatRows = &chatRows;
  CStatisticsObj selection;
  SelectAll(selection, records);
  std::string body;
  ASSERT_EQ(PrintBody(selection, records, Category::Messages, false, nullptr, body), 0);
  EXPECT_EQ(Count(body, "<div>"), 3u);  // one block per message
  EXPECT_EQ(Count(body, "<p><span>From:</span>+1</p>"), 2u);
  EXPECT_EQ(Count(body, "<p><span>To:</span>+1</p>"), 1u);
  ASSERT_EQ(PrintBody(selection, records, Category::WhatsApp, false, nullptr, body), 0);
  EXPECT_EQ(body,
            "<div>\r\n<p><span>Chats:</span>Family</p>\r\n<p><span>Name:</span>Bob</p>\r\n"
            "<p><span>Phone Number:</span>+49</p>\r\n<p><span>Content:</span></p>\r\n"
            "<p>Bob (): hi &lt;b&gt;</p><p>Me (): yes</p></div>\r\n");
}

}  // namespace
}  // namespace orbanix
