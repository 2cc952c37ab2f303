// The media sniffer, the categories and key rules, and the media scans over
// generated backups of both eras.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <random>

#include "platform/digest.h"
#include "sources/categories.h"
#include "sources/file_index.h"
#include "sources/media_scan.h"
#include "sources/media_sniffer.h"
#include "tools/backupgen/backup_writer.h"
#include "tools/backupgen/family_media.h"
#include "tools/backupgen/fixture_db.h"

using namespace orbanix;
namespace fs = std::filesystem;
using gen::MediaSample;

namespace {

std::string Sniff(const std::string& bytes) {
  std::string name;
  int64_t counter = 0;
  MediaSniffer::SniffBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), name, counter);
  return name;
}

std::string Hex(const char* hex) {
  std::string out;
  for (const char* p = hex; p[0] && p[1]; p += 2) {
    if (*p == ' ') {
      --p;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
  }
  return out;
}

std::string Pad(std::string s, size_t n = 512) {
  s.resize(std::max(s.size(), n), '\0');
  return s;
}

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("orbanix-media-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path Write(const std::string& name, const std::string& bytes) {
    const fs::path p = root_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  // Stores a file the old way (flat) and returns its index entry.
  BackupFileEntry Store(const std::string& key, const std::string& bytes) {
    BackupFileEntry e{key, Sha1Hex(key), static_cast<int64_t>(bytes.size())};
    Write(e.hashedName.str(), bytes);
    return e;
  }
  fs::path root_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Sniffer

TEST(MediaSnifferTest, EveryGeneratedSampleIsNamedByTheFirstRowOfItsType) {
  for (int k = 0; k < gen::kMediaSampleCount; ++k) {
    const auto kind = static_cast<MediaSample>(k);
    const std::string bytes = gen::MediaSampleBytes(kind, 1024, 7);
    ASSERT_GE(bytes.size(), 1024u) << k;
    EXPECT_EQ(Sniff(bytes), std::string("0.") + gen::MediaSampleExtension(kind)) << k;
    // The smallest sample a generator gives still fills the 512 bytes.
    EXPECT_GE(gen::MediaSampleBytes(kind, 0).size(), 16u) << k;
    EXPECT_EQ(Sniff(gen::MediaSampleBytes(kind, 512)), std::string("0.") + gen::MediaSampleExtension(kind)) << k;
  }
  // MPEG streams are "mpeg", never mpg or vob; ASF is always "wmv".
  EXPECT_EQ(MediaSniffer::ExtensionOf(MediaType::Mpeg), std::string("mpeg"));
  EXPECT_EQ(MediaSniffer::ExtensionOf(MediaType::Asf), std::string("wmv"));
  EXPECT_EQ(MediaSniffer::ExtensionOf(MediaType::Jpeg), std::string("jpg"));
  EXPECT_EQ(MediaSniffer::ExtensionOf(MediaType::Unknown), std::string(""));
  // The newer rows come after every older one.
  const auto& table = MediaSniffer::Table();
  ASSERT_EQ(table.size(), 22u);
  EXPECT_EQ(std::string(table[19].extension), "ico");
  EXPECT_EQ(std::string(table[20].extension), "heic");
}

TEST(MediaSnifferTest, CounterNamesAndUntouchedNames) {
  const std::string png = gen::MediaSampleBytes(MediaSample::Png, 600);
  std::string name = "keep";
  int64_t counter = 41;
  MediaSniffer::SniffBuffer(reinterpret_cast<const uint8_t*>(png.data()), png.size(), name, counter);
  EXPECT_EQ(name, "41.png");
  EXPECT_EQ(counter, 42);
  const std::string text(600, 't');
  name = "keep";
  EXPECT_EQ(MediaSniffer::SniffBuffer(reinterpret_cast<const uint8_t*>(text.data()), text.size(), name, counter), 0);
  EXPECT_EQ(name, "keep");
  EXPECT_EQ(counter, 42);
  EXPECT_EQ(SniffedExtension("41.png"), "png");
  EXPECT_EQ(SniffedExtension("none"), "");
}

TEST(MediaSnifferTest, DetectorBoundaries) {
  // PNG: the 8-byte signature is enough through the buffer, 7 bytes are not.
  EXPECT_EQ(Sniff(Hex("89504E470D0A1A0A")), "0.png");
  EXPECT_EQ(Sniff(Hex("89504E470D0A1A")), "");
  // JPEG: the marker must agree with the tag.
  EXPECT_EQ(Sniff(Pad(Hex("FFD8FFE00010") + "JFIF")), "0.jpg");
  EXPECT_EQ(Sniff(Pad(Hex("FFD8FFE10010") + "Exif")), "0.jpg");
  EXPECT_EQ(Sniff(Pad(Hex("FFD8FFE00010") + "Exif")), "");
  EXPECT_EQ(Sniff(Hex("FFD8FFE00010") + "JFIF" + Hex("0001")), "");  // 12 bytes, needs 16
  // GIF: two digits and a lowercase letter.
  EXPECT_EQ(Sniff(Pad("GIF87a")), "0.gif");
  EXPECT_EQ(Sniff(Pad("GIF89A")), "");
  EXPECT_EQ(Sniff(Pad("GIF8xa")), "");
  // BMP: reserved words 0, a 40-byte info header.
  std::string bmp = gen::MediaSampleBytes(MediaSample::Bmp, 600);
  EXPECT_EQ(Sniff(bmp), "0.bmp");
  bmp[14] = 12;
  EXPECT_EQ(Sniff(bmp), "");
  std::string ba = gen::MediaSampleBytes(MediaSample::Bmp, 600);
  ba[1] = 'A';
  EXPECT_EQ(Sniff(ba), "0.bmp");
  ba[7] = 1;
  EXPECT_EQ(Sniff(ba), "");
  // MPEG: the second start code wholly inside the first 32 bytes.
  std::string mpeg = Pad(Hex("000001BA"), 64);
  mpeg.replace(28, 4, Hex("000001BB"));
  EXPECT_EQ(Sniff(mpeg), "0.mpeg");
  mpeg.replace(28, 4, std::string(4, '\0'));
  mpeg.replace(29, 4, Hex("000001BB"));
  EXPECT_EQ(Sniff(mpeg), "");
  EXPECT_EQ(Sniff(Pad(Hex("000001B3 00000000 000001B8"), 16)), "0.mpeg");
  EXPECT_EQ(Sniff(Pad(Hex("000001B3 00000000 000001BB"), 16)), "");
  // MP3: an ID3 tag header; shorter than its ten bytes it is never read past the end.
  EXPECT_EQ(Sniff(Pad(Hex("494433030000 00000000"))), "0.mp3");
  EXPECT_EQ(Sniff(Pad(Hex("494433FF0000 00000000"))), "");
  EXPECT_EQ(Sniff(Pad(Hex("494433030001 00000000"))), "");
  EXPECT_EQ(Sniff(Pad(Hex("494433030000 00800000"))), "");
  EXPECT_EQ(Sniff(Hex("49443303")), "");
  // MIDI: the header length is big-endian.
  EXPECT_EQ(Sniff(Pad("MThd" + Hex("00000006 0000 0001 0060") + "MTrk")), "0.mid");
  EXPECT_EQ(Sniff(Pad("MThd" + Hex("06000000 0000 0001 0060") + "MTrk")), "");
  // QuickTime: "moov" at 0, or the qt brand.
  EXPECT_EQ(Sniff(Pad("moov")), "0.mov");
  EXPECT_EQ(Sniff(Pad(Hex("00000014") + "ftypqt  ")), "0.mov");
  // ISO media brands.
  EXPECT_EQ(Sniff(Pad(Hex("00000018") + "ftyp3gp5")), "0.3gp");
  EXPECT_EQ(Sniff(Pad(Hex("00000018") + "ftypiso5")), "0.mp4");
  for (const char* brand : {"heic", "heix", "hevc", "mif1", "msf1"}) {
    EXPECT_EQ(Sniff(Pad(Hex("00000018") + "ftyp" + brand)), "0.heic") << brand;
  }
  for (const char* brand : {"mp41", "mp42", "M4V ", "M4VH", "isom"}) {
    EXPECT_EQ(Sniff(Pad(Hex("00000018") + "ftyp" + brand)), "0.mp4") << brand;
  }
  EXPECT_EQ(Sniff(Pad(Hex("00000018") + "ftypavif")), "");
  // RealMedia needs only its four bytes; ASF its GUID within 24 bytes.
  EXPECT_EQ(Sniff(".RMF"), "0.rmvb");
  EXPECT_EQ(Sniff(Pad(Hex("3026B2758E66CF11A6D900AA0062CE6C"), 24)), "0.wmv");
  EXPECT_EQ(Sniff(Hex("3026B2758E66CF11A6D900AA0062CE6C")), "");
  // RIFF: AVI needs LIST at 12, WAVE needs "fmt ".
  EXPECT_EQ(Sniff(Pad("RIFF" + Hex("10000000") + "AVI LIST")), "0.avi");
  EXPECT_EQ(Sniff(Pad("RIFF" + Hex("10000000") + "AVI JUNK")), "");
  EXPECT_EQ(Sniff(Pad("RIFF" + Hex("10000000") + "WAVEfmt ")), "0.wav");
}

TEST(MediaSnifferTest, IconDirectoryMustDescribeItsImages) {
  std::string ico = gen::MediaSampleBytes(MediaSample::Ico, 600);
  EXPECT_EQ(Sniff(ico), "0.ico");
  // Two entries whose images follow each other.
  std::string two = Hex("00000100 0200");
  two += Hex("10100000 01002000 64000000 26000000");  // 100 bytes at 38
  two += Hex("20200000 01002000 10000000 8A000000");  // 16 bytes at 138
  EXPECT_EQ(Sniff(Pad(two)), "0.ico");
  std::string gap = two;
  gap[6 + 16 + 12] = static_cast<char>(0x8B);  // the second image not where it must be
  EXPECT_EQ(Sniff(Pad(gap)), "");
  std::string reserved = two;
  reserved[6 + 3] = 1;
  EXPECT_EQ(Sniff(Pad(reserved)), "");
  EXPECT_EQ(Sniff(Pad(Hex("00000100 0000"))), "");  // no images
  // A count whose directory does not fit in the bytes read.
  EXPECT_EQ(Sniff(Pad(Hex("00000100 FFFF"))), "");
  EXPECT_EQ(Sniff(two.substr(0, 37)), "");
}

TEST_F(TempFolder, SniffFileNeedsAll512Bytes) {
  const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, 2000);
  std::string name;
  int64_t counter = 0;
  EXPECT_EQ(MediaSniffer::SniffFile(Write("full", jpeg.substr(0, 512)), name, counter), 0);
  EXPECT_EQ(name, "0.jpg");
  name.clear();
  EXPECT_EQ(MediaSniffer::SniffFile(Write("short", jpeg.substr(0, 511)), name, counter), 30);
  EXPECT_EQ(name, "");
  EXPECT_EQ(MediaSniffer::SniffFile(Write("png8", Hex("89504E470D0A1A0A")), name, counter), 30);
  EXPECT_EQ(MediaSniffer::SniffFile(Write("empty", ""), name, counter), 30);
  EXPECT_EQ(MediaSniffer::SniffFile(root_ / "missing", name, counter), ENOENT);
  EXPECT_EQ(MediaSniffer::SniffFile(root_, name, counter), EISDIR);
  EXPECT_EQ(name, "");
  EXPECT_EQ(counter, 1);
  // The size comes from the same open: the whole file, not what was read;
  // nothing is given for a file too short to sniff.
  uint64_t size = 7;
  EXPECT_EQ(MediaSniffer::SniffFile(Write("whole", jpeg), name, counter, &size), 0);
  EXPECT_EQ(name, "1.jpg");
  EXPECT_EQ(size, jpeg.size());
  EXPECT_EQ(MediaSniffer::SniffFile(Write("short2", jpeg.substr(0, 100)), name, counter, &size), 30);
  EXPECT_EQ(size, jpeg.size());
  EXPECT_EQ(MediaSniffer::SniffFile(root_ / "missing", name, counter, &size), ENOENT);

  size = 0;
  EXPECT_EQ(MediaSniffer::FileSize(root_ / "full", size), 0);
  EXPECT_EQ(size, 512u);
  EXPECT_NE(MediaSniffer::FileSize(root_ / "missing", size), 0);
  EXPECT_NE(MediaSniffer::FileSize(root_, size), 0);
}

// The size comes with the bytes when the file ends within the first read,
// and from the open file when it is longer: right on both sides of each
// boundary, and the same number the file system gives.
TEST_F(TempFolder, SniffedSizeIsTheFileSizeOnEitherSideOfTheRead) {
  const size_t read = MediaSniffer::kReadBytes;
  for (const size_t bytes : {size_t{512}, size_t{513}, read - 1, read, read + 1, 3 * read + 7, size_t{1} << 20}) {
    const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, bytes);
    ASSERT_EQ(jpeg.size(), bytes);
    const std::filesystem::path path = Write("sized" + std::to_string(bytes), jpeg);
    std::string name;
    int64_t counter = 0;
    uint64_t size = 1;
    EXPECT_EQ(MediaSniffer::SniffFile(path, name, counter, &size), 0) << bytes;
    EXPECT_EQ(name, "0.jpg") << bytes;
    EXPECT_EQ(size, std::filesystem::file_size(path)) << bytes;
  }
}

// Opening relative to the held backup folder gives what opening by path
// gives; a FIFO among the stored files (a hostile backup) is a short read,
// not a wait for a writer.
TEST_F(TempFolder, SniffFileAtAndAFifo) {
  const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, 2000);
  const std::string hashed(40, 'a');
  std::filesystem::create_directories(root_ / "aa");
  Write("aa/" + hashed, jpeg);
  StoredFileLayout::RelativeName relative;
  StoredFileLayout::RelativePath(hashed, relative);
  EXPECT_EQ(std::string(relative.data()), "aa/" + hashed);
  const int folder = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  std::string byPath, byFolder;
  int64_t pathCounter = 3, folderCounter = 3;
  uint64_t pathSize = 0, folderSize = 0;
  EXPECT_EQ(MediaSniffer::SniffFile(root_ / "aa" / hashed, byPath, pathCounter, &pathSize), 0);
  EXPECT_EQ(MediaSniffer::SniffFileAt(folder, relative.data(), byFolder, folderCounter, &folderSize), 0);
  EXPECT_EQ(byFolder, "3.jpg");
  EXPECT_EQ(byFolder, byPath);
  EXPECT_EQ(folderSize, pathSize);
  EXPECT_EQ(folderCounter, 4);
  std::string none;
  EXPECT_EQ(MediaSniffer::SniffFileAt(folder, "ab/missing", none, folderCounter), ENOENT);

  const auto fifo = root_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto sniffed = std::async(std::launch::async, [&] {
    std::string name;
    int64_t counter = 0;
    return MediaSniffer::SniffFile(fifo, name, counter);
  });
  if (sniffed.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "sniffing a FIFO waits for a writer";
    const int writer = ::open(fifo.c_str(), O_WRONLY);  // lets the open return
    if (writer >= 0) ::close(writer);
  }
  EXPECT_EQ(sniffed.get(), EINVAL);  // not a file: said so, not taken for a short one
  ::close(folder);
}

TEST(MediaSnifferTest, PreviewKinds) {
  EXPECT_EQ(PreviewKindOf("ico"), PreviewKind::Image);
  EXPECT_EQ(PreviewKindOf("heic"), PreviewKind::Image);
  EXPECT_EQ(PreviewKindOf("JPG"), PreviewKind::Image);
  EXPECT_EQ(PreviewKindOf("mid"), PreviewKind::Audio);
  EXPECT_EQ(PreviewKindOf("wma"), PreviewKind::Audio);
  EXPECT_EQ(PreviewKindOf("3gp"), PreviewKind::Video);
  EXPECT_EQ(PreviewKindOf("mpeg"), PreviewKind::Video);
  EXPECT_EQ(PreviewKindOf("rmvb"), PreviewKind::Video);
  EXPECT_EQ(PreviewKindOf("xyz"), PreviewKind::None);
  EXPECT_EQ(PreviewKindOf(""), PreviewKind::None);
}

// ---------------------------------------------------------------------------
// Categories and database rules

TEST(CategoriesTest, PageOrderAndFixedNames) {
  const auto& table = Categories();
  for (int i = 0; i < kCategoryCount; ++i) EXPECT_EQ(static_cast<int>(table[static_cast<size_t>(i)].category), i + 1);
  EXPECT_STREQ(Describe(Category::WhatsApp).optionControl, "WhatsApp");
  EXPECT_STREQ(Describe(Category::PhotoStream).scanOperation, "ScanPhotos");
  EXPECT_STREQ(Describe(Category::Calendar).scanOperation, "ScanCalendar");
  EXPECT_TRUE(HoldsData(Category::WhatsAppAtts));
  EXPECT_TRUE(HoldsData(Category::SafariBookmark));
  for (const FixedDatabase& db :
       {kAddressBookDb, kMessagesDb, kCallHistoryDb, kOldCallHistoryDb, kNotesDb, kCalendarDb}) {
    EXPECT_EQ(Sha1Hex(db.key), db.hashedName) << db.key;
  }
}

TEST_F(TempFolder, CallHistoryPrefersTheNewerDatabase) {
  EXPECT_EQ(CallHistoryDatabasePath(root_), root_ / "2b" / kOldCallHistoryDb.hashedName);
  Write(std::string("5a/") + kCallHistoryDb.hashedName, "db");
  EXPECT_EQ(CallHistoryDatabasePath(root_), root_ / "5a" / kCallHistoryDb.hashedName);
}

namespace {
std::vector<BackupFileEntry> IndexOf(std::initializer_list<const char*> keys) {
  std::vector<BackupFileEntry> index;
  for (const char* k : keys) index.push_back({k, Sha1Hex(k), 1});
  return index;
}
}  // namespace

TEST(CategoriesTest, WhatsAppDatabasesByKey) {
  // The shared app group of newer backups, with its side files listed first.
  auto found = FindWhatsAppDatabases(IndexOf({
      "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite-wal",
      "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite",
      "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ContactsV2.sqlite",
      "AppDomain-net.whatsapp.WhatsApp-Documents/Contacts.sqlite",
      "AppDomain-other-ChatStorage.sqlite",
  }));
  ASSERT_TRUE(found.chat);
  EXPECT_EQ(found.chat->key, "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite");
  ASSERT_TRUE(found.contacts);
  EXPECT_EQ(found.contacts->key, "AppDomain-net.whatsapp.WhatsApp-Documents/Contacts.sqlite");

  // The walk ends at the second match: a third file is never looked at.
  found = FindWhatsAppDatabases(IndexOf({"a-ChatStorage.sqlite", "b-ChatStorage.sqlite", "c-Contacts.sqlite"}));
  EXPECT_EQ(found.chat->key, "a-ChatStorage.sqlite");
  EXPECT_FALSE(found.contacts);
  found = FindWhatsAppDatabases(IndexOf({"x-other"}));
  EXPECT_FALSE(found.chat);
  EXPECT_FALSE(found.contacts);
}

TEST(CategoriesTest, QQAndWeChatAccounts) {
  const auto index = IndexOf({
      "AppDomain-com.tencent.mqq-Documents/12345678/QQ.db",
      "AppDomain-com.tencent.mqq-Documents/12345678/QQ.db-wal",
      "AppDomain-com.tencent.mqq-Documents/contents/QQ.dbx/other",
      "AppDomain-com.tencent.mqq-Documents/87654321/QQ.db",
      "AppDomain-com.tencent.xin-Documents/0f1e2d3c/DB/MM.sqlite",
      "AppDomain-com.tencent.xin-Documents/aa11bb22/DB/MM.sqlite",
      "AppDomain-com.tencent.xin-Documents/aa11bb22/DB/MM.sqlite-shm",
  });
  const auto qq = FindQQDatabases(index);
  ASSERT_EQ(qq.size(), 3u);  // the "/QQ.dbx" folder matches the substring too
  EXPECT_EQ(qq[0].account, "12345678");
  EXPECT_EQ(qq[1].account, "contents");
  EXPECT_EQ(qq[2].account, "87654321");
  const auto wechat = FindWeChatDatabases(index);
  ASSERT_EQ(wechat.size(), 2u);
  EXPECT_EQ(wechat[0].account, "User1");
  EXPECT_EQ(wechat[1].account, "User2");
  EXPECT_EQ(wechat[1].entry.key, "AppDomain-com.tencent.xin-Documents/aa11bb22/DB/MM.sqlite");
  EXPECT_EQ(FindQQDatabases(IndexOf({"/QQ.db"}))[0].account, "");
}

// ---------------------------------------------------------------------------
// Key rules and names

TEST(MediaRulesTest, AlbumsAppNamesAndNames) {
  EXPECT_EQ(PhotoAlbumOf("CameraRollDomain-Media/DCIM/MediaDomain-Media/PhotoStreamsData/x.jpg"),
            PhotoAlbum::CameraRoll);
  EXPECT_EQ(PhotoAlbumOf("MediaDomain-Media/PhotoStreamsData/1/100APPLE/x.jpg"), PhotoAlbum::PhotoStream);
  EXPECT_EQ(PhotoAlbumOf("CameraRollDomain-Media/PhotoData/x.jpg"), PhotoAlbum::None);

  EXPECT_EQ(AppNameOf("AppDomain-com.example.app-Documents/a.jpg"), "example.app");
  EXPECT_EQ(AppNameOf("AppDomain-net.whatsapp.WhatsApp-Library/a.jpg"), "whatsapp.WhatsApp");
  EXPECT_EQ(AppNameOf("AppDomain-org.example.tool-Documents/com.icon.ico"), "other");
  EXPECT_EQ(AppNameOf("AppDomain-org.example-Documents/a.jpg"), "other");
  // "com." wins over an earlier "net.".
  EXPECT_EQ(AppNameOf("AppDomain-net.x-com.y-z"), "y");

  EXPECT_EQ(LastComponent("a/b/IMG_0001.JPG"), "IMG_0001.JPG");
  EXPECT_EQ(LastComponent("nokey"), "nokey");
  EXPECT_EQ(NameWithSniffedExtension("photo.jpeg", "0.jpg"), "photo.JPG");
  EXPECT_EQ(NameWithSniffedExtension("archive.tar.gz", "3.mpeg"), "archive.tar.MPEG");
  EXPECT_EQ(NameWithSniffedExtension("sound", "1.wav"), "sound.WAV");
  EXPECT_EQ(NameWithSniffedExtension("x.png", "nodot"), "x.JPG");

  EXPECT_LT(CompareNamesIgnoreCase("img_0008.bmp", "IMG_0009.M4V"), 0);
  EXPECT_EQ(CompareNamesIgnoreCase("ABC", "abc"), 0);
  EXPECT_LT(CompareNamesIgnoreCase("ab", "abc"), 0);

  // The sort of the lists orders as a stable sort by that comparison does:
  // names from a small alphabet (cases, a byte above 0x7F, a character
  // between the cases), many equal but for case.
  std::mt19937 rng(7);
  const std::string alphabet = "aAbB_\xc3z";
  std::vector<MediaItem> items;
  for (uint32_t i = 0; i < 300; ++i) {
    std::string name;
    for (size_t len = rng() % 4; len > 0; --len) name += alphabet[rng() % alphabet.size()];
    items.push_back({i, name, {}});
  }
  std::vector<MediaItem> expected = items;
  std::stable_sort(expected.begin() + 5, expected.end(), [](const MediaItem& a, const MediaItem& b) {
    return CompareNamesIgnoreCase(a.name, b.name) < 0;
  });
  SortByName(items, 5);
  ASSERT_EQ(items.size(), expected.size());
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].size, expected[i].size) << i;
    EXPECT_EQ(items[i].name, expected[i].name) << i;
  }
}

// ---------------------------------------------------------------------------
// Media scans

namespace {

std::vector<std::string> Names(const auto& items) {
  std::vector<std::string> names;
  for (const auto& i : items) names.push_back(i.name);
  return names;
}

struct Recorder {
  std::vector<int> values;
  int stopAt = -1;  // answer 2 on this call (0-based)
  static int Callback(void* user, int value) {
    auto* self = static_cast<Recorder*>(user);
    self->values.push_back(value);
    return static_cast<int>(self->values.size()) - 1 == self->stopAt ? 2 : 0;
  }
};

}  // namespace

class MediaScanEras : public TempFolder, public ::testing::WithParamInterface<gen::Era> {};

TEST_P(MediaScanEras, GeneratedMediaLandInTheirLists) {
  gen::BackupWriter writer(root_ / "backup", GetParam());
  gen::AddMediaFamily(writer, {});
  ASSERT_TRUE(writer.Finish());
  std::vector<BackupFileEntry> index;
  ASSERT_EQ(ReadFileIndex(writer.folder(), index), 0);

  std::vector<MediaItem> camera, stream;
  ASSERT_EQ(ScanPhotos(writer.folder(), index, camera, stream), 0);
  EXPECT_EQ(Names(camera), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.PNG", "IMG_0004.MOV",
                                                     "IMG_0005.HEIC", "IMG_0006.MP4", "IMG_0007.GIF", "img_0008.bmp",
                                                     "IMG_0009.M4V"}));
  EXPECT_EQ(Names(stream), (std::vector<std::string>{"IMG_0101.JPG", "IMG_0102.PNG", "IMG_0103.HEIC"}));
  for (const MediaItem& m : camera) {
    EXPECT_EQ(m.size, fs::file_size(m.path)) << m.name;
    EXPECT_EQ(m.path.parent_path() == writer.folder(), GetParam() == gen::Era::Mbdb);
  }
  EXPECT_GE(camera[0].size, 1500u);

  std::vector<AttachmentFile> attachments;
  ASSERT_EQ(ScanMessageAttachments(writer.folder(), index, attachments), 0);
  EXPECT_EQ(Names(attachments),
            (std::vector<std::string>{"clip.MOV", "IMG_2001.HEIC", "movie.MPEG", "photo.JPG", "song.MID", "sound.WAV",
                                      "trailer.MPEG", "video.WMV", "voice.MP3"}));
  for (const AttachmentFile& a : attachments) EXPECT_EQ(a.reserved, 0u);

  std::vector<AppMediaItem> apps;
  std::vector<MediaItem> whatsApp = {{1, "stale", "x"}};
  ASSERT_EQ(ScanAppMedia(writer.folder(), index, apps, whatsApp), 0);
  std::vector<std::string> labelled;
  for (const AppMediaItem& a : apps) labelled.push_back(a.appName + "/" + a.name);
  EXPECT_EQ(labelled, (std::vector<std::string>{
                          "example.player/clip.AVI", "other/com.icon.ICO", "example.player/film.RMVB",
                          "example.camera/Fotog\xcc\x86raf c\xcc\xa7ic\xcc\xa7" "ek.JPG", "example.player/movie.MP4",
                          "example.camera/photo1.JPG", "example.camera/render.PNG", "example.player/show.3GP",
                          "example.player/tune.WAV"}));
  EXPECT_EQ(Names(whatsApp), (std::vector<std::string>{"Audio-1.WAV", "photo-1.JPG", "video-1.MP4"}));

  std::vector<MediaItem> handedOver;
  ASSERT_EQ(ScanWhatsAppAttachments(whatsApp, handedOver), 0);
  EXPECT_EQ(Names(handedOver), Names(whatsApp));
}

INSTANTIATE_TEST_SUITE_P(BothEras, MediaScanEras, ::testing::Values(gen::Era::Mbdb, gen::Era::ManifestDb));

TEST_P(MediaScanEras, ThePhotoLibraryMarksTrashedCameraRollItems) {
  gen::BackupWriter writer(root_ / "backup", GetParam());
  gen::AddCurrentMediaFamily(writer, {});
  ASSERT_TRUE(writer.Finish());
  std::vector<BackupFileEntry> index;
  ASSERT_EQ(ReadFileIndex(writer.folder(), index), 0);
  PhotoLibrary library;
  ASSERT_EQ(ReadPhotoLibrary(FixedDatabasePath(writer.folder(), kPhotosDb), library), 0);
  // Live assets only: the row the library deleted does not come back.
  EXPECT_EQ(library.size(), 5u);

  std::vector<MediaItem> camera, stream;
  ASSERT_EQ(ScanPhotos(writer.folder(), index, camera, stream, {}, &library), 0);
  // The classification by content is unchanged.
  EXPECT_EQ(camera.size(), 9u);
  std::vector<std::string> trashed;
  for (const MediaItem& m : camera) {
    if (m.deleted) trashed.push_back(m.name + " " + m.trashedDate);
  }
  EXPECT_EQ(trashed, (std::vector<std::string>{"IMG_0002.JPG 2023-11-26 12:00:00", "IMG_0005.HEIC 2023-11-26 13:00:00"}));
  EXPECT_EQ(camera[0].date, "2023-11-14 22:13:20");
  EXPECT_EQ(camera[5].date, "");  // IMG_0006.MP4: not in the library
  for (const MediaItem& m : stream) EXPECT_EQ(m.deleted, 0);

  // Without the library, as before.
  std::vector<MediaItem> plain, plainStream;
  ASSERT_EQ(ScanPhotos(writer.folder(), index, plain, plainStream), 0);
  for (const MediaItem& m : plain) EXPECT_EQ(m.deleted, 0);
}

TEST_F(TempFolder, APhotoLibraryOfAnotherLayoutIsRefused) {
  const fs::path db = root_ / "Photos.sqlite";
  {
    gen::FixtureDb f(db);
    f.Exec("CREATE TABLE ZASSET (Z_PK INTEGER PRIMARY KEY, ZNAME VARCHAR)");
    f.Exec("INSERT INTO ZASSET VALUES (1, 'x')");
  }
  PhotoLibrary library;
  EXPECT_EQ(ReadPhotoLibrary(db, library), status::kBadData);
  EXPECT_TRUE(library.empty());
  std::ofstream(root_ / "garbage.sqlite") << "not a database at all";
  EXPECT_NE(ReadPhotoLibrary(root_ / "garbage.sqlite", library), 0);
}

TEST_F(TempFolder, PhotoLibrariesOfiOS13AndWithoutOptionalColumnsAreRead) {
  // iOS 13 keeps its assets in ZGENERICASSET; a folder may be named alone.
  const fs::path older = root_ / "Photos13.sqlite";
  {
    gen::FixtureDb f(older);
    f.Exec("CREATE TABLE ZGENERICASSET ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCOMPLETE INTEGER, "
           "ZFAVORITE INTEGER, ZHIDDEN INTEGER, ZKIND INTEGER, ZTRASHEDSTATE INTEGER, ZHEIGHT INTEGER, "
           "ZWIDTH INTEGER, ZDATECREATED TIMESTAMP, ZMODIFICATIONDATE TIMESTAMP, ZTRASHEDDATE TIMESTAMP, "
           "ZDIRECTORY VARCHAR, ZFILENAME VARCHAR, ZUNIFORMTYPEIDENTIFIER VARCHAR, ZUUID VARCHAR )");
    f.Exec("INSERT INTO ZGENERICASSET (Z_PK, ZKIND, ZTRASHEDSTATE, ZDATECREATED, ZTRASHEDDATE, ZDIRECTORY, ZFILENAME) "
           "VALUES (1, 0, 0, 600000000.5, NULL, 'DCIM/100APPLE', 'IMG_0001.JPG'), "
           "(2, 1, 1, 600003600, 601000000, '101APPLE', 'IMG_0102.MOV')");
  }
  PhotoLibrary library;
  ASSERT_EQ(ReadPhotoLibrary(older, library), 0);
  ASSERT_EQ(library.size(), 2u);
  EXPECT_FALSE(library.at("DCIM/100APPLE/IMG_0001.JPG").trashed);
  EXPECT_FALSE(library.at("DCIM/100APPLE/IMG_0001.JPG").created.empty());
  const PhotoAsset& video = library.at("DCIM/101APPLE/IMG_0102.MOV");
  EXPECT_TRUE(video.trashed);
  EXPECT_FALSE(video.trashedDate.empty());

  // A library without the trash and date columns: its files are known,
  // none trashed, no date.
  const fs::path bare = root_ / "PhotosBare.sqlite";
  {
    gen::FixtureDb f(bare);
    f.Exec("CREATE TABLE ZASSET ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZFILENAME VARCHAR, ZDIRECTORY VARCHAR )");
    f.Exec("INSERT INTO ZASSET VALUES (1, 3, 'IMG_0001.HEIC', 'DCIM/100APPLE')");
  }
  library.clear();
  ASSERT_EQ(ReadPhotoLibrary(bare, library), 0);
  ASSERT_EQ(library.size(), 1u);
  EXPECT_FALSE(library.begin()->second.trashed);
  EXPECT_EQ(library.begin()->second.created, "");
}

TEST_F(TempFolder, SameJpegNamedByAlbumOrAsAttachment) {
  const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, 900);
  std::vector<BackupFileEntry> index = {
      Store("CameraRollDomain-Media/DCIM/100APPLE/IMG_0001.JPG", jpeg),
      Store("MediaDomain-Library/SMS/Attachments/aa/10/G/photo.jpeg", jpeg),
  };
  std::vector<MediaItem> camera, stream;
  ASSERT_EQ(ScanPhotos(root_, index, camera, stream), 0);
  ASSERT_EQ(Names(camera), std::vector<std::string>{"IMG_0001.JPG"});
  EXPECT_EQ(camera[0].path, root_ / index[0].hashedName.str());
  EXPECT_EQ(camera[0].size, 900u);
  std::vector<AttachmentFile> attachments;
  ASSERT_EQ(ScanMessageAttachments(root_, index, attachments), 0);
  EXPECT_EQ(Names(attachments), std::vector<std::string>{"photo.JPG"});
}

TEST_F(TempFolder, ProgressValuesSkipsAndStop) {
  const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, 900);
  std::vector<BackupFileEntry> index = {
      Store("CameraRollDomain-Media/DCIM/100APPLE/IMG_0002.JPG", jpeg),
      {"CameraRollDomain-Media/DCIM/100APPLE/gone.JPG", Sha1Hex("gone"), 5},  // stored file missing
      Store("HomeDomain-Library/Preferences/x.plist", std::string(600, 'p')),
      Store("MediaDomain-Media/PhotoStreamsData/1/IMG_0001.JPG", jpeg),
      Store("CameraRollDomain-Media/DCIM/100APPLE/IMG_0001.JPG", jpeg),
  };
  Recorder r;
  MediaProgress p{Recorder::Callback, &r, 10, 11};
  std::vector<MediaItem> camera, stream;
  ASSERT_EQ(ScanPhotos(root_, index, camera, stream, p), 0);
  // progress + 2 x step x i / n after entries 1, 3, 4 and 5 (2 has no stored file).
  EXPECT_EQ(r.values, (std::vector<int>{14, 23, 27, 32}));
  EXPECT_EQ(Names(camera), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG"}));

  // A stop answer ends the pass at once; what was found stays, unsorted.
  Recorder stop;
  stop.stopAt = 0;
  camera.clear();
  stream.clear();
  EXPECT_EQ(ScanPhotos(root_, index, camera, stream, {Recorder::Callback, &stop, 0, 11}), 2);
  EXPECT_EQ(stop.values.size(), 1u);
  EXPECT_EQ(Names(camera), std::vector<std::string>{"IMG_0002.JPG"});

  // Attachments: step x i / n, the same skip for a missing stored file.
  std::vector<BackupFileEntry> attIndex = {
      Store("MediaDomain-Library/SMS/Attachments/a/b.jpeg", jpeg),
      {"MediaDomain-Library/SMS/Attachments/a/gone.jpeg", Sha1Hex("gone2"), 5},
      Store("MediaDomain-Library/SMS/Attachments/a/c.txt", std::string(600, 't')),
  };
  Recorder att;
  std::vector<AttachmentFile> files;
  ASSERT_EQ(ScanMessageAttachments(root_, attIndex, files, {Recorder::Callback, &att, 5, 10}), 0);
  EXPECT_EQ(att.values, (std::vector<int>{8, 15}));
  EXPECT_EQ(Names(files), std::vector<std::string>{"b.JPG"});

  // Application media: 2 x step x i / n after every entry, missing or not.
  std::vector<BackupFileEntry> appIndex = {
      {"AppDomain-com.a-Documents/gone.jpg", Sha1Hex("gone3"), 5},
      Store("AppDomain-com.a-Documents/a.jpg", jpeg),
  };
  Recorder app;
  std::vector<AppMediaItem> apps;
  std::vector<MediaItem> wa;
  ASSERT_EQ(ScanAppMedia(root_, appIndex, apps, wa, {Recorder::Callback, &app, 0, 10}), 0);
  EXPECT_EQ(app.values, (std::vector<int>{10, 20}));
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].appName, "a");
}

TEST_F(TempFolder, ListsAreAppendedToAndWhatsAppListDependsOnAppMedia) {
  const std::string png = gen::MediaSampleBytes(MediaSample::Png, 700);
  std::vector<BackupFileEntry> index = {
      Store("AppDomain-net.whatsapp.WhatsApp-Library/Media/b.png", png),
      Store("AppDomain-net.whatsapp.WhatsApp-Library/Media/A.png", png),
      Store("CameraRollDomain-Media/DCIM/100APPLE/B.PNG", png),
      Store("CameraRollDomain-Media/DCIM/100APPLE/a.png", png),
  };
  // Without ScanAppMedia the WhatsApp list stays empty whatever the backup holds.
  std::vector<MediaItem> catalogList, out;
  ASSERT_EQ(ScanWhatsAppAttachments(catalogList, out), 0);
  EXPECT_TRUE(out.empty());

  // The caller's earlier items stay first and untouched by the sort.
  std::vector<MediaItem> camera = {{1, "zzz", "p"}}, stream;
  ASSERT_EQ(ScanPhotos(root_, index, camera, stream), 0);
  EXPECT_EQ(Names(camera), (std::vector<std::string>{"zzz", "a.png", "B.PNG"}));

  std::vector<AppMediaItem> apps;
  ASSERT_EQ(ScanAppMedia(root_, index, apps, catalogList), 0);
  EXPECT_TRUE(apps.empty());
  EXPECT_EQ(Names(catalogList), (std::vector<std::string>{"A.PNG", "b.PNG"}));
  ASSERT_EQ(ScanWhatsAppAttachments(catalogList, out), 0);
  ASSERT_EQ(ScanWhatsAppAttachments(catalogList, out), 0);
  EXPECT_EQ(out.size(), 4u);
  ASSERT_EQ(ScanWhatsAppAttachments(catalogList, catalogList), 0);
  EXPECT_EQ(catalogList.size(), 2u);
}

TEST_F(TempFolder, WhatsAppMediaOfTheSharedGroupContainerAreFound) {
  const std::string png = gen::MediaSampleBytes(MediaSample::Png, 700);
  std::vector<BackupFileEntry> index = {
      Store("AppDomainGroup-group.net.whatsapp.WhatsApp.shared-Message/Media/4477@s.whatsapp.net/a/b/c.png", png),
      Store("AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite", png),
      Store("AppDomainGroup-group.com.other.shared-Message/Media/x.png", png),
  };
  std::vector<AppMediaItem> apps;
  std::vector<MediaItem> whatsApp;
  ASSERT_EQ(ScanAppMedia(root_, index, apps, whatsApp), 0);
  EXPECT_TRUE(apps.empty());
  EXPECT_EQ(Names(whatsApp), (std::vector<std::string>{"c.PNG"}));
}

// Files that are simply not media are skipped; stored files that are there
// but cannot be read (a folder, a FIFO, a link) are skipped and reported.
TEST_F(TempFolder, UnreadableCandidatesAreSkippedAndTheRefusedOnesReported) {
  const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, 900);
  const fs::path outside = root_.parent_path() / (root_.filename().string() + "-outside.jpg");
  { std::ofstream(outside, std::ios::binary) << jpeg; }
  std::vector<BackupFileEntry> index = {
      Store("CameraRollDomain-Media/DCIM/100APPLE/short.JPG", gen::MediaSampleBytes(MediaSample::JpegJfif).substr(0, 511)),
      Store("CameraRollDomain-Media/DCIM/100APPLE/text.JPG", std::string(4096, 'x')),
      {"CameraRollDomain-Media/DCIM/100APPLE/folder.JPG", Sha1Hex("folder"), 0},
      {"CameraRollDomain-Media/DCIM/100APPLE/fifo.JPG", Sha1Hex("fifo"), 0},
      {"CameraRollDomain-Media/DCIM/100APPLE/link.JPG", Sha1Hex("link"), 0},
      Store("CameraRollDomain-Media/DCIM/100APPLE/good.JPG", jpeg),
  };
  fs::create_directories(root_ / index[2].hashedName.str());
  ASSERT_EQ(::mkfifo((root_ / index[3].hashedName.str()).c_str(), 0600), 0);
  fs::create_symlink(outside, root_ / index[4].hashedName.str());
  std::vector<MediaItem> camera, stream;
  ProblemLog problems;
  MediaProgress progress;
  progress.problems = &problems;
  EXPECT_EQ(ScanPhotos(root_, index, camera, stream, progress), 0);
  ASSERT_EQ(camera.size(), 1u);
  EXPECT_EQ(camera[0].name, "good.JPG");
  std::vector<std::string> reported;
  for (const Problem& p : problems.Snapshot()) {
    EXPECT_EQ(p.category, "camera-roll");
    EXPECT_FALSE(p.whole);
    reported.push_back(p.file + " " + p.reason);
  }
  std::sort(reported.begin(), reported.end());
  EXPECT_EQ(reported, (std::vector<std::string>{
                          "CameraRollDomain-Media/DCIM/100APPLE/fifo.JPG is not a regular file (a FIFO, a device or a socket)",
                          "CameraRollDomain-Media/DCIM/100APPLE/folder.JPG is a folder",
                          "CameraRollDomain-Media/DCIM/100APPLE/link.JPG is a symbolic link",
                          "CameraRollDomain-Media/DCIM/100APPLE/text.JPG its bytes are of no known kind"}));

  // A photo shorter than the manifest recorded is cut short; a file not
  // named as media (a sidecar) is nobody's loss.
  ProblemLog more;
  progress.problems = &more;
  std::vector<BackupFileEntry> second = {
      Store("CameraRollDomain-Media/DCIM/100APPLE/cut.JPG", jpeg),
      Store("CameraRollDomain-Media/DCIM/100APPLE/IMG_0001.AAE", "<plist/>"),
  };
  second[0].size = static_cast<int64_t>(jpeg.size()) * 2;
  camera.clear();
  EXPECT_EQ(ScanPhotos(root_, second, camera, stream, progress), 0);
  EXPECT_EQ(camera.size(), 1u);  // still delivered
  const auto cut = more.Snapshot();
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].what, "is cut short");
  fs::remove(outside);
}

// Large passes: the later half of the candidates' files is looked at ahead
// of the reports. The reports, their order, the skips and a stop in either
// half must be what one pass in index order gives, in both storage layouts.
TEST_F(TempFolder, ManyCandidatesReportAndCollectInIndexOrder) {
  const std::string jpeg = gen::MediaSampleBytes(MediaSample::JpegJfif, 900);
  for (const bool sharded : {false, true}) {
    const fs::path folder = root_ / (sharded ? "new" : "old");
    std::vector<BackupFileEntry> index;
    std::vector<int> expectedValues;  // the model: one report per entry, none for a missing photo
    std::vector<std::string> expectedCamera;
    std::vector<size_t> foundByReport;  // photos found when each report is given
    size_t found = 0;
    const int n = 400;
    for (int i = 0; i < n; ++i) {
      const std::string number = std::to_string(1000 + i);
      std::string key;
      std::string bytes = jpeg;
      bool stored = true;
      switch (i % 5) {
        case 0: key = "HomeDomain-Library/p" + number + ".plist"; break;            // not a candidate
        case 1: key = "CameraRollDomain-Media/DCIM/100APPLE/IMG_" + number + ".JPG"; break;
        case 2: key = "CameraRollDomain-Media/DCIM/100APPLE/gone" + number + ".JPG"; stored = false; break;
        case 3: key = "CameraRollDomain-Media/DCIM/100APPLE/text" + number + ".JPG"; bytes.assign(600, 't'); break;
        default: key = "MediaDomain-Media/PhotoStreamsData/1/IMG_" + number + ".JPG"; break;
      }
      const std::string name = Sha1Hex(key);
      if (stored) {
        const fs::path path = sharded ? folder / name.substr(0, 2) / name : folder / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
      }
      index.push_back({key, Sha1Hex(key), static_cast<int64_t>(bytes.size())});
      if (i % 5 == 1) expectedCamera.push_back("IMG_" + number + ".JPG");
      if (i % 5 == 1 || i % 5 == 4) ++found;
      if (i % 5 != 2) {
        expectedValues.push_back(2 * 10 * (i + 1) / n);
        foundByReport.push_back(found);
      }
    }
    fs::create_directories(folder);
    EXPECT_EQ(StoredFileLayout(folder).MayHoldFlatFiles(), !sharded);

    Recorder all;
    std::vector<MediaItem> camera, stream;
    ASSERT_EQ(ScanPhotos(folder, index, camera, stream, {Recorder::Callback, &all, 0, 10}), 0);
    EXPECT_EQ(all.values, expectedValues) << sharded;
    EXPECT_EQ(Names(camera), expectedCamera);
    EXPECT_EQ(stream.size(), 80u);
    for (const MediaItem& item : camera) EXPECT_TRUE(fs::is_regular_file(item.path)) << item.path;

    // A stop in the first half of the candidates and one in the second:
    // the answer, nothing reported after it, the items found before it.
    for (const int stopAt : {20, 250}) {
      Recorder stop;
      stop.stopAt = stopAt;
      camera.clear();
      stream.clear();
      EXPECT_EQ(ScanPhotos(folder, index, camera, stream, {Recorder::Callback, &stop, 0, 10}), 2);
      ASSERT_EQ(stop.values.size(), static_cast<size_t>(stopAt) + 1);
      EXPECT_TRUE(std::equal(stop.values.begin(), stop.values.end(), expectedValues.begin()));
      EXPECT_EQ(camera.size() + stream.size(), foundByReport[stopAt]) << stopAt;
    }
  }
}
