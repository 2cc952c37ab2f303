#include <gtest/gtest.h>

#include "platform/digest.h"
#include "platform/text.h"

using namespace orbanix;

TEST(Text, ValidUtf8KeepsGoodTextAndReplacesBadSequences) {
  EXPECT_EQ(ValidUtf8("Grüße 你好 😀"), "Grüße 你好 😀");
  EXPECT_EQ(ValidUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD");          // overlong "/"
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD");      // surrogate
  EXPECT_EQ(ValidUtf8("ok\xE4\xBD"), "ok\xEF\xBF\xBD");      // truncated at the end
  EXPECT_TRUE(HasReplacementOrZero(ValidUtf8("x\x80")));
  EXPECT_TRUE(HasReplacementOrZero(std::string("a\0b", 3)));
  EXPECT_FALSE(HasReplacementOrZero("plain"));
}

TEST(Text, Utf16AndCodePoints) {
  EXPECT_EQ(Utf16ToUtf8(std::string("H\0i\0", 4), false), "Hi");
  EXPECT_EQ(Utf16ToUtf8(std::string("\xD8\x3D\xDE\x00", 4), true), "😀");
  EXPECT_EQ(Utf16ToUtf8(std::string("\x00\xD8", 2), false), "\xEF\xBF\xBD");  // lone surrogate
  EXPECT_EQ(CodePointCount("añ😀"), 3u);
}

TEST(Text, DigestsOfKnownKeys) {
  // The stored name of the messages database in every backup.
  EXPECT_EQ(Sha1Hex("HomeDomain-Library/SMS/sms.db"), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(Sha1Hex("HomeDomain-Library/AddressBook/AddressBook.sqlitedb"),
            "31bb7ba8914766d4ba40d6dfb6113c8b614be442");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Text, LocalDateTimeFollowsTheZone) {
  setenv("TZ", "Asia/Kolkata", 1);
  tzset();
  EXPECT_EQ(FormatLocalDateTime(1399000000), "2014-05-02 08:36:40");  // 03:06:40 UTC + 5:30
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatLocalDateTime(1399000000), "2014-05-02 03:06:40");
}
