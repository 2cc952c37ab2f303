// The relay archive: the cpio walk by headers, its fallback for damaged
// headers, entry extraction, media carving and the in-process un-gzip.
#include <gtest/gtest.h>

#include "device/cpio_archive.h"
#include "device/device_session.h"
#include "phone_fixture.h"
#include "platform/digest.h"

using namespace orbanix;
using namespace orbanix::device;
using namespace orbanix::device::testing;

namespace {

class Archive : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = FreshFolder("archive"); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Write(const std::string& name, const std::string& bytes) {
    WriteBytes(dir_ / name, bytes);
    return dir_ / name;
  }
  std::vector<ArchiveEntry> Entries(const fs::path& archive) {
    std::vector<ArchiveEntry> entries;
    EXPECT_EQ(WalkArchive(archive, [&](const ArchiveEntry& e) {
                entries.push_back(e);
                return true;
              }),
              0);
    return entries;
  }
  fs::path dir_;
};

constexpr const char* kSms = "/var/mobile/Library/SMS/sms.db";

}  // namespace

TEST_F(Archive, DataHoldingTheHeaderMarkIsNotCutShort) {
  // The messages database's bytes hold the header mark twice; the walk
  // goes by the header's file size, so every byte is extracted.
  const std::string sms = "SQLite format 3" + std::string(100, 'x') + "07070700" + std::string(50, 'y') +
                          "070707000000" + std::string(30, 'z');
  std::string cpio;
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS", 040755, {});
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/sms.db", 0100644, sms);
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/other.db", 0100644, "other");
  AppendOdcTrailer(cpio);
  const fs::path archive = Write("tamsel", cpio);
  const auto entries = Entries(archive);
  ASSERT_EQ(entries.size(), 3u);  // the trailer is not an entry
  EXPECT_EQ(entries[1].dataSize, sms.size());
  EXPECT_FALSE(entries[1].damaged);
  ASSERT_EQ(ExtractArchiveEntry(archive, kSms, dir_ / "sms"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "sms"), sms);
}

TEST_F(Archive, TheLastEntryIsWrittenToo) {
  // No trailer and no further header after the entry.
  std::string cpio;
  AppendOdcEntry(cpio, "var/mobile/Library/AddressBook/AddressBook.sqlitedb", 0100644, "first");
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/sms.db", 0100644, "the last entry's data");
  const fs::path archive = Write("tamsel", cpio);
  ASSERT_EQ(ExtractArchiveEntry(archive, kSms, dir_ / "sms"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "sms"), "the last entry's data");
  ASSERT_EQ(ExtractArchiveEntry(archive, "/var/mobile/Library/AddressBook/AddressBook.sqlitedb", dir_ / "ab"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "ab"), "first");
  EXPECT_EQ(ExtractArchiveEntry(archive, "/var/mobile/Library/Notes/notes.sqlite", dir_ / "n"), ENOENT);
}

TEST_F(Archive, ExtractionTruncatesAnEarlierLongerCopy) {
  std::string cpio;
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/sms.db", 0100644, "short");
  const fs::path archive = Write("tamsel", cpio);
  WriteBytes(dir_ / "sms", std::string(10000, 'o'));
  ASSERT_EQ(ExtractArchiveEntry(archive, kSms, dir_ / "sms"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "sms"), "short");
}

TEST_F(Archive, DamagedHeadersFallBackToTheMark) {
  std::string first, damaged, last;
  AppendOdcEntry(first, "./a.db", 0100644, "aaaa");
  AppendOdcEntry(damaged, "./var/mobile/Library/SMS/sms.db", 0100644, "sms bytes");
  AppendOdcEntry(last, "./c.db", 0100644, "cccc");
  // The file size field of the middle header is not octal any more.
  damaged.replace(65, 11, "99999999999");
  const fs::path archive = Write("tamsel", std::string("junk before the first header") + first + damaged + last);
  const auto entries = Entries(archive);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "./a.db");
  EXPECT_TRUE(entries[1].damaged);
  EXPECT_EQ(entries[2].name, "./c.db");
  EXPECT_EQ(entries[2].dataSize, 4u);
  ASSERT_EQ(ExtractArchiveEntry(archive, kSms, dir_ / "sms"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "sms"), "sms bytes");  // up to the next header

  // A header whose name cannot be read is skipped up to the next mark.
  std::string broken;
  AppendOdcEntry(broken, "./b.db", 0100644, "bbbb");
  broken.replace(59, 6, "777777");  // a name larger than the archive
  const fs::path second = Write("tamsel2", first + broken + last);
  const auto names = Entries(second);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].name, "./a.db");
  EXPECT_EQ(names[1].name, "./c.db");
  // A size that runs past the end is damaged too: data to the end.
  std::string cut;
  AppendOdcEntry(cut, "./var/mobile/Library/SMS/sms.db", 0100644, "0123456789");
  const fs::path truncated = Write("tamsel3", cut.substr(0, cut.size() - 4));
  ASSERT_EQ(ExtractArchiveEntry(truncated, kSms, dir_ / "sms3"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "sms3"), "012345");
}

TEST_F(Archive, NamesMatchWhateverTheirPrefixAndCase) {
  EXPECT_TRUE(ArchiveNameMatches("./var/mobile/Library/SMS/sms.db", kSms));
  EXPECT_TRUE(ArchiveNameMatches("var/mobile/Library/SMS/sms.db", kSms));
  EXPECT_TRUE(ArchiveNameMatches("/var/mobile/Library/SMS/SMS.DB", kSms));
  EXPECT_FALSE(ArchiveNameMatches("./var/mobile/Library/SMS/sms.db-wal", kSms));
  EXPECT_FALSE(ArchiveNameMatches("./private/var/mobile/Library/SMS/sms.db", kSms));
  EXPECT_FALSE(ArchiveNameMatches("", kSms));
}

TEST_F(Archive, UngzipsInProcessEveryMemberAndRejectsDamage) {
  std::string cpio;
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/sms.db", 0100644, std::string(300000, 's'));
  AppendOdcTrailer(cpio);
  // Two members, as a stream written in parts would be.
  const std::string gz = GzipBytes(cpio.substr(0, 1000)) + GzipBytes(cpio.substr(1000));
  const fs::path download = Write("Tamsel.tmp", gz);
  ASSERT_EQ(UnpackRelayArchive(download, dir_ / "tamsel"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "tamsel"), cpio);

  // An earlier, longer archive does not leave its tail.
  const fs::path small = Write("small.tmp", GzipBytes("tiny"));
  ASSERT_EQ(UnpackRelayArchive(small, dir_ / "tamsel"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "tamsel"), "tiny");

  const fs::path cut = Write("cut.tmp", gz.substr(0, gz.size() - 20));
  EXPECT_EQ(UnpackRelayArchive(cut, dir_ / "tamsel"), 87);
  EXPECT_FALSE(fs::exists(dir_ / "tamsel"));  // a half-unpacked archive is not read
  const fs::path plain = Write("plain.tmp", cpio);
  EXPECT_EQ(UnpackRelayArchive(plain, dir_ / "tamsel"), 87);
  EXPECT_EQ(UnpackRelayArchive(dir_ / "missing.tmp", dir_ / "tamsel"), 87);
}

TEST_F(Archive, CarvesRecognisedMediaSortedWithProgress) {
  const std::string jpeg = gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 2000, 1);
  const std::string png = gen::MediaSampleBytes(gen::MediaSample::Png, 1000, 2);
  std::string cpio;
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/Attachments", 040755, {});
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/Attachments/01/b.jpg", 0100644, jpeg);
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/sms.db", 0100644, "SQLite format 3" + std::string(600, '\0'));
  AppendOdcEntry(cpio, "./var/mobile/Library/SMS/Attachments/02/A.png", 0100644, png);
  AppendOdcTrailer(cpio);
  const fs::path archive = Write("tamsel", cpio);
  std::vector<int> reports;
  struct Log {
    static int Callback(void* user, int value) {
      static_cast<std::vector<int>*>(user)->push_back(value);
      return 0;
    }
  };
  std::vector<MediaItem> media;
  ASSERT_EQ(CarveArchiveMedia(archive, dir_, media, DeviceProgress{&Log::Callback, &reports, 20, 10}), 0);
  ASSERT_EQ(media.size(), 2u);
  EXPECT_EQ(media[0].name, "A.png");  // sorted without regard to case
  EXPECT_EQ(media[1].name, "b.jpg");
  EXPECT_EQ(media[1].path, dir_ / Sha1Hex("./var/mobile/Library/SMS/Attachments/01/b.jpg"));
  EXPECT_EQ(ReadBytes(media[1].path), jpeg);
  EXPECT_EQ(media[0].size, png.size());
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_GE(reports.front(), 20);
  EXPECT_LE(reports.back(), 30);

  // A non-zero answer stops the carving and is its result.
  struct Stop {
    static int Callback(void*, int) { return 2; }
  };
  std::vector<MediaItem> stopped;
  EXPECT_EQ(CarveArchiveMedia(archive, dir_, stopped, DeviceProgress{&Stop::Callback, nullptr, 0, 10}), 2);
  EXPECT_TRUE(stopped.empty());
}

TEST(PathDigest, IsTheSha1OfThePathBytes) {
  EXPECT_EQ(PathDigestName("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(PathDigestName("/DCIM/100APPLE/IMG_0001.JPG").size(), 40u);
}
