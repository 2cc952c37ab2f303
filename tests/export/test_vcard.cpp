// vCard 4.0 cards of contacts, read back with a strict reader: escaping,
// folding, hostile texts and the mapping of a contact record.
#include <gtest/gtest.h>

#include <regex>

#include "export/vcard.h"
#include "tests/export/strict_readers.h"

namespace orbanix {
namespace {

using strict::ReadVCards;
using strict::VCard;

VCard ReadOne(const std::string& text) {
  std::vector<VCard> cards;
  std::string error;
  EXPECT_TRUE(ReadVCards(text, cards, error)) << error << "\n" << text;
  EXPECT_EQ(cards.size(), 1u);
  return cards.empty() ? VCard() : cards.front();
}

// Every text a damaged or hostile row may hold.
const std::vector<std::string>& HostileTexts() {
  static const std::vector<std::string> texts = {
      "plain",
      "comma, semicolon; backslash \\ end\\",
      "quote \" and 'single'",
      "line\nbreak\r\nand\rcarriage",
      std::string("control \x01\x02\x1b\x7f chars\ttab"),
      "invalid \xff\xfe utf-8 \xc3",
      "emoji \xF0\x9F\x98\x80\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
      "\\n is not a break, \\, not a comma",
      std::string(200, 'x') + "\xE4\xB8\xAD\xE6\x96\x87" + std::string(70, ',') + "\xF0\x9F\x98\x80",
      "",
  };
  return texts;
}

// What a text becomes after a round trip: valid UTF-8, breaks as "\n",
// control characters other than the tab gone.
std::string Expected(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
      continue;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

TEST(VCardEscape, EscapesWhatTextValuesMust) {
  EXPECT_EQ(VCardEscape("a,b;c\\d\ne"), "a\\,b\\;c\\\\d\\ne");
  EXPECT_EQ(VCardEscape("x\r\ny\rz"), "x\\ny\\nz");
  EXPECT_EQ(VCardEscape(std::string("a\0b\x1f" "c\td", 7)), "abc\td");
  EXPECT_EQ(VCardEscape("bad \xff"), "bad \xEF\xBF\xBD");
}

TEST(VCardFold, FoldsAt75OctetsWithoutSplittingCharactersOrEscapes) {
  // 74 ASCII octets then a 4-octet emoji: the emoji moves to the next line
  // whole.
  const std::string line = std::string(74, 'a') + "\xF0\x9F\x98\x80" + "b";
  EXPECT_EQ(VCardFoldLine(line), std::string(74, 'a') + "\r\n \xF0\x9F\x98\x80" "b\r\n");
  // An escape is never cut in two.
  const std::string escaped = std::string(74, 'a') + "\\,";
  EXPECT_EQ(VCardFoldLine(escaped), std::string(74, 'a') + "\r\n \\,\r\n");
  // Exactly 75 octets stay on one line.
  EXPECT_EQ(VCardFoldLine(std::string(75, 'z')), std::string(75, 'z') + "\r\n");
  // A long line: every physical line at most 75 octets, the first full.
  const std::string folded = VCardFoldLine(std::string(300, 'q'));
  size_t start = 0, lines = 0;
  for (size_t cr = folded.find("\r\n"); cr != std::string::npos; cr = folded.find("\r\n", start)) {
    EXPECT_LE(cr - start, 75u);
    if (lines == 0) {
      EXPECT_EQ(cr - start, 75u);
    }
    ++lines;
    start = cr + 2;
  }
  EXPECT_EQ(lines, 5u);  // 75 octets, then 74 after each leading space: 75 + 74 + 74 + 74 + 3
}

TEST(VCardText, EveryHostileTextComesBackFromAStrictReader) {
  for (const std::string& text : HostileTexts()) {
    SCOPED_TRACE(text);
    VCardContact c;
    c.formattedName = text;
    c.givenName = text;
    c.familyName = text;
    c.organization = text;
    c.note = text;
    c.phones = {text, "+1 555 200 0004"};
    c.emails = {text};
    c.addresses = {text};
    const VCard card = ReadOne(VCardText(c));
    const std::string want = strict::IsValidUtf8(text) ? Expected(text) : "";
    const auto* fn = card.Find("FN");
    ASSERT_NE(fn, nullptr);
    if (Expected(text).empty()) {
      EXPECT_EQ(fn->parts.front(), "No Name");  // FN is never empty
      EXPECT_EQ(card.Find("NOTE"), nullptr);     // nor is any other property
      continue;
    }
    if (!want.empty()) {
      EXPECT_EQ(fn->parts.front(), want);
      EXPECT_EQ(card.Find("NOTE")->parts.front(), want);
      EXPECT_EQ(card.Find("N")->parts[0], want);
      EXPECT_EQ(card.Find("N")->parts[1], want);
      EXPECT_EQ(card.Find("ADR")->parts[2], want);
      EXPECT_EQ(card.Find("ORG")->parts.front(), want);
      EXPECT_EQ(card.All("TEL").size(), 2u);
      EXPECT_EQ(card.All("TEL")[0]->parts.front(), want);
      EXPECT_EQ(card.All("EMAIL")[0]->parts.front(), want);
    } else {
      // Invalid bytes arrive as U+FFFD, the rest of the text intact.
      EXPECT_NE(fn->parts.front().find("\xEF\xBF\xBD"), std::string::npos);
      EXPECT_EQ(fn->parts.front().rfind("invalid ", 0), 0u);
    }
  }
}

TEST(VCardText, DeletedContactCarriesTheMarkAndEmptyPropertiesAreLeftOut) {
  VCardContact c;
  c.formattedName = "Anna";
  c.deleted = true;
  const std::string text = VCardText(c);
  const VCard card = ReadOne(text);
  ASSERT_NE(card.Find("X-ORBANIX-DELETED"), nullptr);
  EXPECT_EQ(card.Find("X-ORBANIX-DELETED")->raw, "1");
  for (const char* absent : {"N", "ORG", "TEL", "EMAIL", "ADR", "URL", "NOTE"}) EXPECT_EQ(card.Find(absent), nullptr) << absent;
  EXPECT_EQ(text.rfind("BEGIN:VCARD\r\nVERSION:4.0\r\n", 0), 0u);
  c.deleted = false;
  EXPECT_EQ(ReadOne(VCardText(c)).Find("X-ORBANIX-DELETED"), nullptr);
}

TEST(VCardText, UrlsAreUrisWrittenAsTheyAre) {
  VCardContact c;
  c.formattedName = "Web";
  c.urls = {"https://example.com/a,b;c?q=1", "http://x.test/\x01path"};
  const VCard card = ReadOne(VCardText(c));
  ASSERT_EQ(card.All("URL").size(), 2u);
  EXPECT_EQ(card.All("URL")[0]->raw, "https://example.com/a,b;c?q=1");
  EXPECT_EQ(card.All("URL")[1]->raw, "http://x.test/path");
}

TEST(VCardContactOf, MapsTheFieldsOfAContactRecord) {
  ContactRecord r;
  r.name = "Anna Smith";
  r.phones = "+1 555-200-0004\n5552000005";
  r.email = "anna@example.com  a.smith@work.test\n";
  r.homePage = "https://anna.example";
  r.address = " 1 Main St Springfield ";
  r.social = "twitter:anna";
  r.company = "Acme";
  r.deleted = 1;
  const VCardContact c = VCardContactOf(r);
  EXPECT_EQ(c.formattedName, "Anna Smith");
  EXPECT_EQ(c.givenName, "Anna Smith");
  EXPECT_EQ(c.organization, "Acme");
  EXPECT_EQ(c.phones, (std::vector<std::string>{"+1 555-200-0004", "5552000005"}));
  EXPECT_EQ(c.emails, (std::vector<std::string>{"anna@example.com", "a.smith@work.test"}));
  EXPECT_EQ(c.urls, (std::vector<std::string>{"https://anna.example"}));
  EXPECT_EQ(c.addresses, (std::vector<std::string>{"1 Main St Springfield"}));
  EXPECT_EQ(c.note, "twitter:anna");
  EXPECT_TRUE(c.deleted);

  // First and last name kept apart: N holds them, FN joins them.
  r.firstName = "Anna";
  r.lastName = "Smith";
  r.name = "AnnaSmith";
  const VCardContact named = VCardContactOf(r);
  EXPECT_EQ(named.formattedName, "Anna Smith");
  EXPECT_EQ(named.givenName, "Anna");
  EXPECT_EQ(named.familyName, "Smith");
  r.firstName.clear();
  EXPECT_EQ(VCardContactOf(r).formattedName, "Smith");
  EXPECT_EQ(VCardContactOf(r).familyName, "Smith");

  // A person the scan called "No Name" is named by the organisation, then
  // by the first number.
  ContactRecord nameless;
  nameless.name = "No Name";
  nameless.company = "Plumbing Ltd";
  nameless.phones = "5550001";
  EXPECT_EQ(VCardContactOf(nameless).formattedName, "Plumbing Ltd");
  EXPECT_TRUE(VCardContactOf(nameless).givenName.empty());
  nameless.company.clear();
  EXPECT_EQ(VCardContactOf(nameless).formattedName, "5550001");
}

TEST(VCardText, ManyCardsInOneFileAllParse) {
  std::string file;
  for (const std::string& text : HostileTexts()) {
    ContactRecord r;
    r.name = text;
    r.phones = "555 " + text;
    r.email = text;
    file += VCardText(VCardContactOf(r));
  }
  std::vector<VCard> cards;
  std::string error;
  ASSERT_TRUE(ReadVCards(file, cards, error)) << error;
  EXPECT_EQ(cards.size(), HostileTexts().size());
}

TEST(VCardContactOf, UidIsAStableNameBasedUuidOfTheWholeRecord) {
  ContactRecord a;
  a.name = "Anna";
  a.phones = "5550001";
  const std::string uid = VCardContactOf(a).uid;
  EXPECT_TRUE(std::regex_match(uid, std::regex("urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << uid;
  EXPECT_EQ(VCardContactOf(a).uid, uid);  // the same in every run
  ContactRecord deleted = a;
  deleted.deleted = 1;
  ContactRecord other = a;
  other.email = "anna@example.com";
  EXPECT_NE(VCardContactOf(deleted).uid, uid);
  EXPECT_NE(VCardContactOf(other).uid, uid);
  const VCard card = ReadOne(VCardText(VCardContactOf(a)));
  ASSERT_NE(card.Find("UID"), nullptr);
  EXPECT_EQ(card.Find("UID")->raw, uid);
}

}  // namespace
}  // namespace orbanix
