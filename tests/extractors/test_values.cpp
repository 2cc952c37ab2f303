// Value conversions, the contacts row dump and the typedstream reader.
#include <gtest/gtest.h>

#include <random>

#include "extractors/typedstream.h"
#include "platform/text.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/row_dump.h"
#include "sqlite_pages/values.h"
#include "tests/extractors/test_support.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/fixture_db.h"

using namespace orbanix;
using orbanix::testing_support::ExecSql;
using orbanix::testing_support::ScratchTest;
namespace fs = std::filesystem;

namespace {

class Values : public ScratchTest {};

TEST_F(Values, FormatLocalTimeCountsAppleSecondsFrom2001) {
  EXPECT_EQ(FormatLocalTime(0, Epoch::kApple), "2001-01-01 00:00:00");
  EXPECT_EQ(FormatLocalTime(0, Epoch::kUnix), "1970-01-01 00:00:00");
  EXPECT_EQ(FormatLocalTime(500000000, Epoch::kApple), "2016-11-05 00:53:20");
  // January and February of leap years came out a day early when 31 was
  // added to the year of the value read as Unix seconds.
  EXPECT_EQ(FormatLocalTime(348278400, Epoch::kApple), "2012-01-15 00:00:00");
  EXPECT_EQ(FormatLocalTime(1400000000, Epoch::kUnix), "2014-05-13 16:53:20");
  // Far outside four-digit years: no text rather than a malformed one.
  EXPECT_EQ(FormatLocalTime(INT64_MAX, Epoch::kApple), "");
  EXPECT_EQ(FormatLocalTime(INT64_MIN, Epoch::kUnix), "");
}

TEST_F(Values, FormatLocalTimeUsesTheDaylightSavingRulesOfTheTrueYear) {
  SetZone("Europe/Berlin");
  // 2016-10-29 12:00 UTC: summer time in 2016 (it ended on 30 October), but
  // not in 1985 (ended 29 September), the year the old reading used.
  EXPECT_EQ(FormatLocalTime(499435200, Epoch::kApple), "2016-10-29 14:00:00");
  SetZone("America/New_York");
  EXPECT_EQ(FormatLocalTime(348278400, Epoch::kApple), "2012-01-14 19:00:00");
}

TEST_F(Values, FormatLocalTimeAgreesWithTheCLibraryInEveryZone) {
  std::mt19937_64 rng(3);
  for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kathmandu",
                           "America/St_Johns", "Pacific/Apia"}) {
    SetZone(zone);
    // A clock kept across the whole walk (as a table scan keeps one) must
    // give the same dates as the per-call conversion, and keys that order
    // as the texts do.
    LocalClock clock;
    std::string previousText;
    uint64_t previousKey = 0;
    int64_t t = -2500000000LL;  // 1890
    for (int i = 0; i < 20000; ++i) {
      // Steps from seconds to weeks, so transitions are crossed at every scale.
      t += static_cast<int64_t>(rng() % (i % 3 == 0 ? 900 : i % 3 == 1 ? 86400 : 1209600));
      const time_t tt = static_cast<time_t>(t);
      struct tm local {};
      ASSERT_TRUE(localtime_r(&tt, &local));
      const std::string expected =
          Format("%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
      ASSERT_EQ(FormatLocalTime(t, Epoch::kUnix), expected) << zone << " " << t;
      const uint64_t key = clock.Key(t);
      ASSERT_EQ(DateKeyText(key), expected) << zone << " " << t;
      ASSERT_EQ(LocalDate(key), expected) << zone << " " << t;
      ASSERT_EQ(LocalDate(key) < LocalDate(previousKey), expected < previousText) << zone << " " << t;
      ASSERT_EQ(key < previousKey, expected < previousText) << zone << " " << t;
      ASSERT_EQ(key == previousKey, expected == previousText) << zone << " " << t;
      previousKey = key;
      previousText = expected;
    }
  }
}

TEST_F(Values, DateKeysStandForNoDateAndTheEndsOfTheRange) {
  EXPECT_EQ(DateKeyText(0), "");
  EXPECT_EQ(LocalTimeKey(INT64_MAX, Epoch::kApple), 0u);
  EXPECT_EQ(DateKeyText(LocalTimeKey(-62135596800LL, Epoch::kUnix)), "0001-01-01 00:00:00");
  EXPECT_EQ(DateKeyText(LocalTimeKey(253402300799LL, Epoch::kUnix)), "9999-12-31 23:59:59");
  EXPECT_EQ(LocalTimeKey(253402300800LL, Epoch::kUnix), 0u);
  LocalClock clock;
  EXPECT_EQ(clock.Key(253402300800LL), 0u);
  EXPECT_EQ(DateKeyText(clock.Key(0, Epoch::kApple)), "2001-01-01 00:00:00");
  // The date held in place: no date is empty, and a text not of the form
  // is no date either.
  EXPECT_TRUE(LocalDate(0).empty());
  EXPECT_EQ(LocalDate(0), "");
  EXPECT_EQ(std::string(LocalDate(LocalTimeKey(253402300799LL, Epoch::kUnix))), "9999-12-31 23:59:59");
  EXPECT_EQ(LocalDate::FromText("2014-01-01 10:00:00"), "2014-01-01 10:00:00");
  EXPECT_TRUE(LocalDate::FromText("2014-01-01 10:00").empty());
}

TEST_F(Values, StoredAppleValuesAboveTenToTheElevenAreNanoseconds) {
  EXPECT_EQ(StoredTimeToUnix(int64_t{588813210539788032}, Epoch::kApple), 588813210 + kAppleEpochUnixSeconds);
  EXPECT_EQ(StoredTimeToUnix(int64_t{100000000000}, Epoch::kApple), 100000000000 + kAppleEpochUnixSeconds);
  EXPECT_EQ(StoredTimeToUnix(int64_t{100000000001}, Epoch::kApple), 100 + kAppleEpochUnixSeconds);
  EXPECT_EQ(StoredTimeToUnix(int64_t{-1500000000}, Epoch::kApple), -1500000000 + kAppleEpochUnixSeconds);
  EXPECT_EQ(StoredTimeToUnix(5.888132105e17, Epoch::kApple), 588813210 + kAppleEpochUnixSeconds);
  EXPECT_EQ(StoredTimeToUnix(400000000.75, Epoch::kApple), 400000000 + kAppleEpochUnixSeconds);
  // Unix values are never scaled.
  EXPECT_EQ(StoredTimeToUnix(int64_t{200000000000}, Epoch::kUnix), 200000000000);
  EXPECT_FALSE(StoredTimeToUnix(std::numeric_limits<double>::quiet_NaN(), Epoch::kApple).has_value());
  EXPECT_FALSE(StoredTimeToUnix(1e300, Epoch::kUnix).has_value());
}

TEST_F(Values, DateColumnsOfEveryWidthAndRealsAreRead) {
  const auto db = Path("dates.db");
  {
    gen::FixtureDb f(db);
    f.Exec("CREATE TABLE t (v);");
    f.Exec(
        "INSERT INTO t VALUES (100), (30000), (8000000), (400000000), (10000000000), (588813210539788032), "
        "(400000000.75), (-1), (0), (NULL), ('400000000'), (X'01');");
  }
  CDbFileReader reader;
  ASSERT_EQ(reader.Open(db), 0);
  std::vector<std::string> apple, unix;
  std::vector<uint64_t> types;
  ParsedRecord r;
  ScanTable(reader, "t", [&](CDbFileReader& rd, const RowInput& in) {
    if (ParseRecord(rd, in, r) != 0 || in.deleted) return status::kBadData;
    types.push_back(r.SerialType(0));
    apple.push_back(FormatDateColumn(r, 0, Epoch::kApple));
    unix.push_back(FormatDateColumn(r, 0, Epoch::kUnix));
    return status::kOk;
  });
  ASSERT_EQ(apple.size(), 12u);
  // 1-, 2-, 3-, 4-, 6- and 8-byte integers, a real, a negative 1-byte value.
  EXPECT_EQ(types, (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 1, 8, 0, 31, 14}));
  EXPECT_EQ(apple[0], "2001-01-01 00:01:40");
  EXPECT_EQ(apple[1], "2001-01-01 08:20:00");
  EXPECT_EQ(apple[2], "2001-04-03 14:13:20");
  EXPECT_EQ(apple[3], "2013-09-04 15:06:40");
  EXPECT_EQ(apple[4], "2317-11-21 17:46:40");
  EXPECT_EQ(apple[5], "2019-08-29 23:13:30");
  EXPECT_EQ(apple[6], "2013-09-04 15:06:40");
  EXPECT_EQ(apple[7], "2000-12-31 23:59:59");
  for (size_t i : {8u, 9u, 10u, 11u}) EXPECT_EQ(apple[i], "") << i;
  EXPECT_EQ(unix[3], "1982-09-04 15:06:40");
  EXPECT_EQ(unix[8], "");
}

TEST_F(Values, QuoteDoubleDoublesBothQuoteKinds) {
  std::string text = "a\"b'c";
  EXPECT_EQ(QuoteDouble(text), 7u);
  EXPECT_EQ(text, "a\"\"b''c");
  std::string plain = "abc";
  EXPECT_EQ(QuoteDouble(plain), 3u);
  EXPECT_EQ(plain, "abc");
}

TEST_F(Values, CleanTextRejectsReplacementCharactersAndZeros) {
  EXPECT_TRUE(IsCleanText("abc"));
  EXPECT_FALSE(IsCleanText(""));
  EXPECT_FALSE(IsCleanText("a\xEF\xBF\xBD"));
  EXPECT_FALSE(IsCleanText(std::string("a\0b", 3)));
}

// --- DumpRowToFile over the contacts search table ---

class ContactsDump : public ScratchTest {
 protected:
  std::vector<std::string> DumpLines(const fs::path& db, const fs::path& out, Status* lastError = nullptr) {
    CDbFileReader reader;
    EXPECT_EQ(reader.Open(db), 0);
    reader.rowCounter = 1000;
    Status last = 0;
    ScanTable(reader, "ABPersonFullTextSearch_content", [&](CDbFileReader& rd, const RowInput& in) {
      const Status st = DumpRowToFile(rd, out, in);
      if (st != 0) last = st;
      return st;
    });
    if (lastError) *lastError = last;
    std::vector<std::string> lines;
    const std::string all = ReadAll(out);
    size_t start = 0;
    for (size_t end = all.find("\r\n"); end != std::string::npos; end = all.find("\r\n", start)) {
      lines.push_back(all.substr(start, end - start));
      start = end + 2;
    }
    EXPECT_EQ(start, all.size()) << "every line ends with CR LF";
    return lines;
  }
};

TEST_F(ContactsDump, WritesOneAlignedLinePerRow) {
  const auto db = Path("ab.db");
  gen::AddressBookShape shape;
  shape.persons = 6;
  shape.deleteRows = false;
  gen::BuildAddressBook(db, shape);
  // A text holding a quote, and one with bytes that are not UTF-8.
  ExecSql(db, "UPDATE ABPersonFullTextSearch SET Organization = 'Say \"hi\"' WHERE docid = 1;");
  ExecSql(db, "UPDATE ABPersonFullTextSearch SET Email = CAST(X'61FF62' AS TEXT) WHERE docid = 6;");
  std::vector<std::string> lines = DumpLines(db, Path("contacts.csv"));
  // The updates left the rows' old versions in free space; they follow the
  // live rows, numbered from 1001. Live row 6 is left out whole.
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[4].rfind("5,", 0), 0u);
  if (lines.size() > 5) {
    EXPECT_EQ(lines[5].rfind("1001,", 0), 0u);
  }
  EXPECT_EQ(lines[0].rfind("1,\"Ann\",\"Lee\",NULL,NULL,NULL,NULL,\"Say \"\"hi\"\"\",", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(",\"+1 555-200-0000 5552000000 +15552000000 \",\"ann.lee@example.com\","),
            std::string::npos);
  for (const std::string& line : lines) {
    // 24 fields, none of them holding a comma of its own here.
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 23) << line;
  }
  EXPECT_EQ(lines[1].rfind("2,NULL,NULL,", 0), 0u) << lines[1];
}

TEST_F(ContactsDump, RecoveredRowsAreNumberedOnFromTheCounter) {
  const auto db = Path("ab.db");
  gen::AddressBookShape shape;
  shape.persons = 40;
  const gen::AddressBookTruth truth = gen::BuildAddressBook(db, shape);
  ASSERT_FALSE(truth.deleted.empty());
  std::vector<std::string> lines = DumpLines(db, Path("contacts.csv"));
  ASSERT_GT(lines.size(), truth.live.size());
  // Live rows carry their rowids, recovered ones 1001, 1002, ...
  int64_t expected = 1001;
  size_t recovered = 0;
  for (size_t i = truth.live.size(); i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(std::to_string(expected++) + ",", 0), 0u) << lines[i];
    ++recovered;
  }
  bool sawDeletedName = false;
  for (const gen::PersonTruth& p : truth.deleted) {
    for (size_t i = truth.live.size(); i < lines.size(); ++i) {
      if (lines[i].find("\"" + p.first + "\",\"" + p.last + "\"") != std::string::npos) sawDeletedName = true;
    }
  }
  EXPECT_TRUE(sawDeletedName);
  EXPECT_GT(recovered, 0u);
}

TEST_F(ContactsDump, AnOutputThatCannotBeOpenedIsAnError) {
  const auto db = Path("ab.db");
  gen::AddressBookShape shape;
  shape.persons = 3;
  shape.deleteRows = false;
  gen::BuildAddressBook(db, shape);
  Status last = 0;
  DumpLines(db, Path("missing-folder") / "contacts.csv", &last);
  EXPECT_EQ(last, ENOENT);
}

// --- typedstream ---

TEST(TypedStream, ReadsTheArchivedStringOfBothClassFamilies) {
  for (bool mutableClasses : {false, true}) {
    std::string text;
    ASSERT_TRUE(ReadAttributedStringText(gen::ArchiveAttributedString("Hello, world", mutableClasses), text));
    EXPECT_EQ(text, "Hello, world");
  }
}

TEST(TypedStream, ReadsEveryLengthEncoding) {
  for (size_t n : {0u, 1u, 127u, 128u, 1000u, 32767u, 32768u, 100000u}) {
    std::string body(n, 'x');
    if (n > 3) body.replace(0, 3, "\xC3\xA9z");  // a two-byte character
    std::string text;
    ASSERT_TRUE(ReadAttributedStringText(gen::ArchiveAttributedString(body), text)) << n;
    EXPECT_EQ(text, body) << n;
  }
}

TEST(TypedStream, ReadsAnArchiveWrittenByThePhone) {
  // An NSAttributedString "Fesker" as a phone archived it.
  const unsigned char bytes[] = {
      0x04, 0x0B, 's',  't',  'r',  'e',  'a',  'm',  't',  'y',  'p',  'e',  'd',  0x81, 0xE8, 0x03, 0x84, 0x01,
      '@',  0x84, 0x84, 0x84, 0x12, 'N',  'S',  'A',  't',  't',  'r',  'i',  'b',  'u',  't',  'e',  'd',  'S',
      't',  'r',  'i',  'n',  'g',  0x00, 0x84, 0x84, 0x08, 'N',  'S',  'O',  'b',  'j',  'e',  'c',  't',  0x00,
      0x85, 0x92, 0x84, 0x84, 0x84, 0x08, 'N',  'S',  'S',  't',  'r',  'i',  'n',  'g',  0x01, 0x94, 0x84, 0x01,
      '+',  0x06, 'F',  'e',  's',  'k',  'e',  'r',  0x86, 0x84, 0x02, 'i',  'I',  0x01, 0x06, 0x92, 0x86};
  std::string text;
  ASSERT_TRUE(ReadAttributedStringText(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes), text));
  EXPECT_EQ(text, "Fesker");
}

TEST(TypedStream, DropsAttachmentMarkers) {
  std::string text;
  ASSERT_TRUE(ReadAttributedStringText(gen::ArchiveAttributedString("\xEF\xBF\xBCnice \xEF\xBF\xBC"), text));
  EXPECT_EQ(text, "nice ");
}

TEST(TypedStream, RejectsWhatIsNotAnArchivedAttributedString) {
  const std::string good = gen::ArchiveAttributedString("Hello there");
  std::string text;
  // Every truncation fails: the string's bytes and the end of its object are checked.
  for (size_t cut = 0; cut < good.find("Hello") + 12; ++cut) {
    EXPECT_FALSE(ReadAttributedStringText(good.substr(0, cut), text)) << cut;
  }
  std::string badSignature = good;
  badSignature[3] = 'X';
  EXPECT_FALSE(ReadAttributedStringText(badSignature, text));
  std::string wrongRoot = good;
  wrongRoot.replace(wrongRoot.find("NSAttributedString"), 18, "NSAttributedStrinX");
  EXPECT_FALSE(ReadAttributedStringText(wrongRoot, text));
  // A text that the archive says is longer than the blob.
  std::string tooLong = good;
  tooLong[good.find("Hello") - 1] = 0x7F;
  EXPECT_FALSE(ReadAttributedStringText(tooLong, text));
  EXPECT_FALSE(ReadAttributedStringText("plain text, not an archive", text));
}

// Class chains that refer back to a class whose superclasses are still
// being read (hostile archives): such a reference adds no class, and no
// chain goes round in a circle.
TEST(TypedStream, ClassesReferringBackIntoTheirOwnChainEnd) {
  auto archive = [](std::string_view rootSuper, std::string_view stringClass) {
    std::string a("\x04\x0Bstreamtyped\x81\xE8\x03\x84\x01@", 19);
    // Object 0, class 1 "NSAttributedString", then its superclass.
    a += std::string("\x84\x84\x84\x12NSAttributedString\x00", 23);
    a += rootSuper;
    a += '\x92';  // "@" again
    a += '\x84';  // the string object
    a += stringClass;
    a += std::string("\x84\x01+\x03" "abc\x86", 8);
    return a;
  };
  const std::string nsString("\x84\x84\x08NSString\x01\x85", 13);  // a new class NSString, no superclass
  std::string text;
  // Its own superclass: the chain is the class alone.
  ASSERT_TRUE(ReadAttributedStringText(archive("\x93", nsString), text));
  EXPECT_EQ(text, "abc");
  // NSObject (entry 2) whose superclass is NSAttributedString, still being
  // read; then a string object of class NSObject: NSObject's chain does not
  // lead back to NSAttributedString, and it is no NSString.
  const std::string objectUnderRoot("\x84\x84\x08NSObject\x00\x93", 13);
  EXPECT_FALSE(ReadAttributedStringText(archive(objectUnderRoot, "\x94"), text));
  // The same NSObject below a proper NSString class is fine.
  ASSERT_TRUE(ReadAttributedStringText(archive(objectUnderRoot, std::string("\x84\x84\x08NSString\x01\x94", 13)), text));
  EXPECT_EQ(text, "abc");
}

}  // namespace
