#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "sources/discovery.h"
#include "tools/backupgen/backup_writer.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("orbanix-discovery-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    fs::remove_all(root_);
    setenv("TZ", "UTC", 1);
    tzset();
  }

  fs::path Write(const std::string& name, gen::Era era, gen::DeviceInfo device = {}) {
    gen::BackupWriter writer(root_ / name, era, device);
    EXPECT_TRUE(writer.Finish());
    return writer.folder();
  }
  static void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string InfoXml(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
           "</dict>\n</plist>\n";
  }
  static BackupInfo Read(const fs::path& folder) {
    BackupInfo info;
    EXPECT_EQ(ReadBackupInfo(folder, info), 0);
    return info;
  }

  fs::path root_;
};

void SetZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

}  // namespace

TEST_F(Discovery, BothErasAndBothPlistFormsGiveTheSummary) {
  gen::DeviceInfo device;
  device.displayName = "Zoë's iPhone";
  device.serialNumber = "SER123";
  device.phoneNumber = "+86 138 0000 0000";
  device.lastBackupUnix = 1398939630;  // 2014-05-01 10:20:30 UTC
  Write("old", gen::Era::Mbdb, device);
  device.binaryPlists = true;
  Write("new", gen::Era::ManifestDb, device);
  std::vector<fs::path> candidates;
  FindBackups({root_}, candidates);
  std::vector<BackupInfo> backups;
  ASSERT_EQ(ListBackups(candidates, backups), 0);
  ASSERT_EQ(backups.size(), 2u);
  for (const BackupInfo& b : backups) {
    EXPECT_EQ(b.displayName, "Zoë's iPhone");
    EXPECT_EQ(b.serialNumber, "SER123");
    EXPECT_EQ(b.phoneNumber, "+86 138 0000 0000");
    EXPECT_EQ(b.lastBackupDate, "2014-05-01 10:20:30");
    EXPECT_FALSE(b.encrypted);
    EXPECT_EQ(b.folder.parent_path(), root_);
  }
}

TEST_F(Discovery, KeyOrderDoesNotMatter) {
  // Serial number before display name, date last.
  WriteText(root_ / "b" / "Info.plist",
            InfoXml("<key>Serial Number</key>\n<string>S1</string>\n"
                    "<key>Display Name</key>\n<string>Named</string>\n"
                    "<key>Last Backup Date</key>\n<date>2014-05-01T23:10:00Z</date>\n"));
  const BackupInfo info = Read(root_ / "b");
  EXPECT_EQ(info.displayName, "Named");
  EXPECT_EQ(info.serialNumber, "S1");
  EXPECT_EQ(info.lastBackupDate, "2014-05-01 23:10:00");
  EXPECT_EQ(info.phoneNumber, "");  // missing key: empty field
}

TEST_F(Discovery, BackupDateMovesToLocalTimeAsAWhole) {
  WriteText(root_ / "late" / "Info.plist",
            InfoXml("<key>Last Backup Date</key>\n<date>2014-05-01T23:10:00Z</date>\n"));
  WriteText(root_ / "early" / "Info.plist",
            InfoXml("<key>Last Backup Date</key>\n<date>2014-05-01T02:10:00Z</date>\n"));
  WriteText(root_ / "winter" / "Info.plist",
            InfoXml("<key>Last Backup Date</key>\n<date>2014-01-15T12:00:00Z</date>\n"));
  SetZone("Europe/Helsinki");  // two hours east (three in summer)
  EXPECT_EQ(Read(root_ / "late").lastBackupDate, "2014-05-02 02:10:00");  // summer time, next day
  EXPECT_EQ(Read(root_ / "winter").lastBackupDate, "2014-01-15 14:00:00");
  SetZone("America/Bogota");  // five hours west, no daylight saving
  EXPECT_EQ(Read(root_ / "early").lastBackupDate, "2014-04-30 21:10:00");  // previous day
  SetZone("Asia/Kolkata");  // five and a half hours east
  EXPECT_EQ(Read(root_ / "late").lastBackupDate, "2014-05-02 04:40:00");
  SetZone("Asia/Kathmandu");  // 5:45
  EXPECT_EQ(Read(root_ / "early").lastBackupDate, "2014-05-01 07:55:00");
}

TEST_F(Discovery, BadRootsAndBadPlistsAreSkippedWithAReason) {
  Write("good", gen::Era::Mbdb);
  WriteText(root_ / "loose-file", "not a backup");
  WriteText(root_ / "truncated" / "Info.plist", InfoXml("<key>Display Name</key>\n<string>x</string>\n").substr(0, 60));
  WriteText(root_ / "garbage" / "Info.plist", std::string("\x01\x02\xff\xfe garbage \x00\x10", 16));
  WriteText(root_ / "bplist-garbage" / "Info.plist", std::string("bplist00") + std::string(40, '\xff'));
  WriteText(root_ / "nokeys" / "Info.plist", InfoXml("<key>Other</key>\n<string>x</string>\n"));
  WriteText(root_ / "array" / "Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
  WriteText(root_ / "huge" / "Info.plist", InfoXml(std::string(9u << 20, ' ')));
  fs::create_directories(root_ / "empty");
  WriteText(root_ / ".hidden" / "Info.plist", InfoXml(""));

  std::vector<fs::path> candidates;
  std::vector<SkippedBackup> skipped;
  FindBackups({root_, root_ / "missing-root", root_ / "loose-file"}, candidates, &skipped);
  EXPECT_EQ(candidates.size(), 9u);  // every entry but ".hidden"
  EXPECT_EQ(skipped.size(), 2u);     // the missing root and the root that is a file
  std::vector<BackupInfo> backups;
  ListBackups(candidates, backups, &skipped);
  std::vector<std::string> names;
  for (const auto& b : backups) names.push_back(b.folder.filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"good", "nokeys"}));
  EXPECT_EQ(skipped.size(), 2u + 7u);
  for (const auto& s : skipped) EXPECT_FALSE(s.reason.empty()) << s.folder;

  BackupInfo untouched;
  untouched.displayName = "keep";
  EXPECT_EQ(ReadBackupInfo(root_ / "empty", untouched), 87);
  EXPECT_EQ(untouched.displayName, "keep");
}

TEST_F(Discovery, UnreadableFolderIsSkipped) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  const fs::path locked = Write("locked", gen::Era::Mbdb);
  fs::permissions(locked, fs::perms::none);
  BackupInfo info;
  EXPECT_EQ(ReadBackupInfo(locked, info), 87);
  fs::permissions(locked, fs::perms::owner_all);
}

TEST_F(Discovery, EncryptedTest) {
  gen::DeviceInfo noFlag;
  noFlag.writeIsEncrypted = false;
  const fs::path missing = Write("missing", gen::Era::Mbdb, noFlag);
  EXPECT_FALSE(IsEncrypted(missing));  // no address book under any name

  // A backup whose manifest lists a file without a wrapped key.
  gen::BackupWriter plain(root_ / "flat", gen::Era::Mbdb, noFlag);
  plain.AddFile("HomeDomain", "Library/Preferences/a.plist", "<plist/>");
  ASSERT_TRUE(plain.Finish());
  const fs::path flat = plain.folder();
  WriteText(flat / kAddressBookHashedName, std::string("sqlite format 3\0", 16) + std::string(608, '\0'));
  EXPECT_FALSE(IsEncrypted(flat));  // the signature compares without case
  // Manifest.mbdb gives no file a wrapped key: a garbled address book is
  // damage, not encryption.
  WriteText(flat / kAddressBookHashedName, std::string(608, '\x5a'));
  EXPECT_FALSE(IsEncrypted(flat));
  // Without a readable Manifest.mbdb, whole cipher blocks that are not zero
  // are taken for ciphertext; empty, zeroed or odd-sized files are not.
  WriteText(flat / "Manifest.mbdb", "garbage");
  EXPECT_TRUE(IsEncrypted(flat));
  for (const std::string& damaged : {std::string(), std::string(608, '\0'), std::string(600, '\x5a')}) {
    WriteText(flat / kAddressBookHashedName, damaged);
    EXPECT_FALSE(IsEncrypted(flat)) << damaged.size();
  }

  const fs::path older = Write("older", gen::Era::Mbdb, noFlag);
  fs::remove(older / "Manifest.mbdb");
  WriteText(older / (std::string(kAddressBookHashedName) + ".mddata"), std::string(608, '\x11'));
  EXPECT_TRUE(IsEncrypted(older));

  const fs::path modern = Write("modern", gen::Era::ManifestDb, noFlag);
  WriteText(modern / "31" / kAddressBookHashedName, std::string(608, '\x11'));
  EXPECT_TRUE(IsEncrypted(modern));

  // Manifest.plist's IsEncrypted wins over the address-book test.
  const fs::path flagged = Write("flagged", gen::Era::ManifestDb);
  WriteText(flagged / "31" / kAddressBookHashedName, std::string(600, '\x11'));
  EXPECT_FALSE(IsEncrypted(flagged));
  WriteText(flagged / "Manifest.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>IsEncrypted</key><true/></dict></plist>");
  EXPECT_TRUE(IsEncrypted(flagged));
}
