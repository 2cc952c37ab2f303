// One phone number written in several ways: with or without the country
// code, the trunk zero, spaces, brackets and dashes. Messages and calls take
// the contact's name for a handle or a call whose number the address book
// writes another way.
#include <gtest/gtest.h>

#include "extractors/calls.h"
#include "extractors/messages.h"
#include "extractors/phone_numbers.h"

namespace orbanix {
namespace {

TEST(PhoneNumbers, CountryCodesTrunkZerosAndPunctuationDoNotMatter) {
  EXPECT_TRUE(SamePhoneNumber("+44 7700 900123", "07700 900123"));
  EXPECT_TRUE(SamePhoneNumber("+447700900123", "07700900123"));
  EXPECT_TRUE(SamePhoneNumber("0044 7700 900123", "07700 900123"));
  EXPECT_TRUE(SamePhoneNumber("+1 (555) 010-0000", "555-010-0000"));
  EXPECT_TRUE(SamePhoneNumber("5550100000", "+15550100000"));
  EXPECT_TRUE(SamePhoneNumber("+45 12 34 56 78", "12345678"));  // eight-digit national numbers
  // Other numbers, short codes, e-mail addresses and names are not.
  EXPECT_FALSE(SamePhoneNumber("+44 7700 900123", "07700 900124"));
  EXPECT_FALSE(SamePhoneNumber("+1 555-010-0000", "+1 555-010-0001"));
  EXPECT_FALSE(SamePhoneNumber("12345", "12345"));
  EXPECT_FALSE(SamePhoneNumber("ann@example.com", "ann@example.com"));
  EXPECT_FALSE(SamePhoneNumber("Ann 5550100000", "5550100000"));
  EXPECT_EQ(SignificantDigits("+44 (0) 7700-900.123"), "4407700900123");
  EXPECT_EQ(SignificantDigits("007700900123"), "7700900123");
  EXPECT_EQ(SignificantDigits("123456"), "");
}

TEST(PhoneNumbers, APhoneTextHoldsOneNumberPerLineAndTheSearchTablesVariants) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(PhoneNumbersIn("+1 (555) 010-0000"), (V{"+1 (555) 010-0000"}));
  EXPECT_EQ(PhoneNumbersIn("+1 555-010-0000 5550100000 +15550100000 "),
            (V{"+1 555-010-0000", "5550100000", "+15550100000"}));
  EXPECT_EQ(PhoneNumbersIn("07700 900123\n+44 7700 900124\r\n"), (V{"07700 900123", "+44 7700 900124"}));
  EXPECT_EQ(PhoneNumbersIn(""), V{});

  const std::vector<std::string_view> book = {"ann@example.com", "+1 555-010-0000 5550100000", "07700 900123",
                                              "+44 7700 900123"};
  const PhoneNumberIndex index(book);
  EXPECT_EQ(index.FirstMatching("+447700900123"), 2);  // the first text in order
  EXPECT_EQ(index.FirstMatching("(555) 010-0000"), 1);
  EXPECT_EQ(index.FirstMatching("+15550100009"), -1);
  EXPECT_EQ(index.FirstMatching("ann@example.com"), -1);
}

TEST(PhoneNumbers, MessagesAndCallsFindTheContactOfANumberWrittenAnotherWay) {
  std::vector<ContactRecord> contacts(3);
  contacts[0].name = "Ann Lee";
  contacts[0].phones = "07700 900123";
  contacts[1].name = "Bob Roe";
  contacts[1].phones = "555-010-0000\nbob@example.com";
  contacts[2].name = "Cat Poe";
  contacts[2].phones = "+447700900999";

  EXPECT_EQ(CallContactName("+44 7700 900123", contacts), "Ann Lee");
  EXPECT_EQ(CallContactName("+447700900123", contacts), "Ann Lee");
  EXPECT_EQ(CallContactName("+1 (555) 010-0000", contacts), "Bob Roe");
  EXPECT_EQ(CallContactName("07700 900999", contacts), "Cat Poe");
  EXPECT_EQ(CallContactName("+447700900555", contacts), "");
  // The contained text still comes first: it is how older phones matched.
  EXPECT_EQ(CallContactName("900999", contacts), "Cat Poe");

  std::vector<HandleRecord> handles(4);
  handles[0] = {0, 1, "+447700900123"};
  handles[1] = {0, 2, "+15550100000"};
  handles[2] = {0, 3, "ann@example.com"};
  handles[3] = {0, 4, "+33612345678"};
  std::vector<MessageRecord> messages(4);
  for (int i = 0; i < 4; ++i) {
    messages[i].rowId = i + 1;
    messages[i].handleId = i + 1;
  }
  JoinMessages(messages, handles, contacts, {});
  EXPECT_EQ(messages[0].address, "+447700900123");
  EXPECT_EQ(messages[0].contactName, "Ann Lee");
  EXPECT_EQ(messages[1].contactName, "Bob Roe");
  EXPECT_EQ(messages[2].contactName, "");
  EXPECT_EQ(messages[3].contactName, "");
}

}  // namespace
}  // namespace orbanix
