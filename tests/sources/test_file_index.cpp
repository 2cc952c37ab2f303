// The file index of both backup eras: Manifest.mbdb records, Manifest.db
// rows, and where a stored file lives.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "platform/digest.h"
#include "sources/categories.h"
#include "sources/file_index.h"
#include "tools/backupgen/backup_writer.h"
#include "tools/backupgen/family_media.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

// Builds Manifest.mbdb bytes record by record.
class Mbdb {
 public:
  Mbdb() : bytes_("mbdb\x05\x00", 6) {}

  // A string; `null` writes the 0xFFFF marker instead.
  Mbdb& Str(const std::string& s, bool null = false) {
    if (null) return U16(0xFFFF);
    U16(static_cast<uint16_t>(s.size()));
    bytes_ += s;
    return *this;
  }
  Mbdb& U16(uint16_t v) {
    bytes_.push_back(static_cast<char>(v >> 8));
    bytes_.push_back(static_cast<char>(v));
    return *this;
  }
  Mbdb& Be(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  // A whole record with the usual fields.
  Mbdb& Record(const std::string& domain, const std::string& path, uint16_t mode, uint64_t size = 100,
               const std::string& key = "", uint8_t protection = 4,
               std::vector<std::pair<std::string, std::string>> properties = {}, bool nullPath = false) {
    Str(domain).Str(path, nullPath || path.empty()).Str("", true).Str("", true).Str(key, key.empty());
    U16(mode).Be(7, 8).Be(501, 4).Be(501, 4).Be(1, 4).Be(2, 4).Be(3, 4).Be(size, 8);
    bytes_.push_back(static_cast<char>(protection));
    bytes_.push_back(static_cast<char>(properties.size()));
    for (auto& [name, value] : properties) Str(name).Str(value);
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class FileIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("orbanix-fileindex-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }
  fs::path WriteFile(const std::string& name, const std::string& bytes) {
    const fs::path p = root_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  static std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  fs::path root_;
};

std::vector<std::string> Keys(const std::vector<BackupFileEntry>& index) {
  std::vector<std::string> keys;
  for (const auto& e : index) keys.push_back(e.key);
  return keys;
}

}  // namespace

TEST_F(FileIndexTest, KeepsFilesAndLinksDropsFoldersAndEmptyNames) {
  Mbdb m;
  m.Record("HomeDomain", "Library/SMS/sms.db", 0x81A4, 28672)
      .Record("HomeDomain", "Library/SMS", 0x41ED)                       // folder
      .Record("HomeDomain", "Library/Link", 0xA1ED, 0)                   // symbolic link
      .Record("HomeDomain", "", 0x81A4, 5, "", 4, {}, /*nullPath=*/true)  // 0xFFFF path
      .Record("HomeDomain", "", 0x81A4, 5)                               // 0-length? written as null too
      .Str("").Str("x").Str("", true).Str("", true).Str("", true);       // empty domain...
  m.U16(0x81A4).Be(0, 8).Be(0, 4).Be(0, 4).Be(0, 4).Be(0, 4).Be(0, 4).Be(9, 8).Be(0, 1).Be(0, 1);
  // A zero-length path string (not the marker).
  m.Str("MediaDomain").U16(0).Str("", true).Str("", true).Str("", true);
  m.U16(0x81A4).Be(0, 8).Be(0, 4).Be(0, 4).Be(0, 4).Be(0, 4).Be(0, 4).Be(9, 8).Be(0, 1).Be(0, 1);
  m.Record("AppDomain-com.example", "Documents/a.jpg", 0x81A4, 1234, "", 3, {{"com.apple.x", "1"}, {"y", ""}});

  std::vector<BackupFileEntry> index;
  ASSERT_EQ(ParseMbdbIndex(m.bytes(), index), 0);
  ASSERT_EQ(Keys(index), (std::vector<std::string>{"HomeDomain-Library/SMS/sms.db", "HomeDomain-Library/Link",
                                                   "AppDomain-com.example-Documents/a.jpg"}));
  EXPECT_EQ(index[0].hashedName, "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(index[0].size, 28672);
  EXPECT_EQ(index[1].size, 0);
  EXPECT_EQ(index[2].size, 1234);
  EXPECT_EQ(index[2].hashedName, Sha1Hex("AppDomain-com.example-Documents/a.jpg"));
}

TEST_F(FileIndexTest, NonAsciiKeysAreHashedAsStored) {
  // "Fotoğraf" in decomposed (NFD) and composed form: different bytes,
  // different names, neither touched by any conversion.
  const std::string nfd = "Documents/Fotog\xcc\x86raf.jpg", nfc = "Documents/Foto\xc4\x9fraf.jpg";
  const std::string latin1 = "Documents/caf\xe9.jpg";  // not even UTF-8
  Mbdb m;
  m.Record("AppDomain-a", nfd, 0x81A4).Record("AppDomain-a", nfc, 0x81A4).Record("AppDomain-a", latin1, 0x81A4);
  std::vector<BackupFileEntry> index;
  ASSERT_EQ(ParseMbdbIndex(m.bytes(), index), 0);
  ASSERT_EQ(index.size(), 3u);
  EXPECT_EQ(index[0].key, "AppDomain-a-" + nfd);
  EXPECT_EQ(index[0].hashedName, Sha1Hex("AppDomain-a-" + nfd));
  EXPECT_EQ(index[1].hashedName, Sha1Hex("AppDomain-a-" + nfc));
  EXPECT_NE(index[0].hashedName, index[1].hashedName);
  EXPECT_EQ(index[2].key, "AppDomain-a-" + latin1);
  EXPECT_EQ(index[2].hashedName, Sha1Hex("AppDomain-a-" + latin1));
}

TEST_F(FileIndexTest, TruncatedRecordsEndTheReadingAndKeepWhatCameBefore) {
  Mbdb m;
  m.Record("HomeDomain", "a", 0x81A4).Record("HomeDomain", "b", 0x81A4, 7, "", 4, {{"p", "v"}});
  const std::string whole = m.bytes();
  // Every cut inside the second record keeps exactly the first entry.
  Mbdb first;
  first.Record("HomeDomain", "a", 0x81A4);
  for (size_t cut = first.bytes().size(); cut < whole.size(); ++cut) {
    std::vector<BackupFileEntry> index;
    ASSERT_EQ(ParseMbdbIndex(std::string_view(whole).substr(0, cut), index), 0) << cut;
    ASSERT_EQ(index.size(), 1u) << cut;
    std::vector<MbdbRecord> records;
    ASSERT_EQ(ParseMbdbRecords(std::string_view(whole).substr(0, cut), records), 0);
    ASSERT_EQ(records.size(), 1u) << cut;
  }
  // A string length that points far past the end.
  std::string bad = first.bytes();
  bad += std::string("\x00\x0AHomeDomain\xFF\xF0", 14);
  std::vector<BackupFileEntry> index;
  EXPECT_EQ(ParseMbdbIndex(bad, index), 0);
  EXPECT_EQ(index.size(), 1u);
}

TEST_F(FileIndexTest, StatusesOfTheManifestFile) {
  std::vector<BackupFileEntry> index;
  EXPECT_EQ(ReadManifest("", index), 87);
  EXPECT_EQ(ReadManifest(root_ / "missing.mbdb", index), 6009);
  EXPECT_EQ(ReadManifest(root_, index), 6009);  // a folder
  EXPECT_EQ(ReadManifest(WriteFile("wrong.mbdb", "mbdx\x02\x00 more bytes"), index), 87);
  EXPECT_EQ(ReadManifest(WriteFile("short.mbdb", "mb"), index), 87);
  EXPECT_EQ(ReadManifest(WriteFile("empty.mbdb", ""), index), 87);
  EXPECT_TRUE(index.empty());
  EXPECT_EQ(ReadManifest(WriteFile("header.mbdb", std::string("mbdb\x05\x00", 6)), index), 0);
  EXPECT_EQ(ReadManifest(WriteFile("magic-only.mbdb", "mbdb"), index), 0);
  EXPECT_TRUE(index.empty());

  if (geteuid() != 0) {  // root reads files whatever their permissions
    const fs::path locked = WriteFile("locked.mbdb", Mbdb().Record("HomeDomain", "a", 0x81A4).bytes());
    fs::permissions(locked, fs::perms::none);
    EXPECT_EQ(ReadManifest(locked, index), 6009);
  }
  // The index is appended to; earlier entries stay.
  index.push_back({"k", HashedName(std::string(40, '0')), 1});
  ASSERT_EQ(ReadManifest(WriteFile("one.mbdb", Mbdb().Record("HomeDomain", "a", 0x81A4).bytes()), index), 0);
  EXPECT_EQ(Keys(index), (std::vector<std::string>{"k", "HomeDomain-a"}));
}

TEST_F(FileIndexTest, FullRecordsCarryEveryField) {
  const std::string key = std::string("\x04\x00\x00\x00", 4) + std::string(40, '\x5A');
  Mbdb m;
  m.Record("HomeDomain", "Library", 0x41ED)
      .Record("HomeDomain", "Library/Notes/notes.sqlite", 0x81A4, 8192, key, 3, {{"name", "value"}});
  std::vector<MbdbRecord> records;
  ASSERT_EQ(ReadMbdbRecords(WriteFile("Manifest.mbdb", m.bytes()), records), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].IsDirectory());
  const MbdbRecord& r = records[1];
  EXPECT_TRUE(r.IsFile());
  EXPECT_EQ(r.Key(), "HomeDomain-Library/Notes/notes.sqlite");
  EXPECT_EQ(r.encryptionKey, key);
  EXPECT_EQ(r.protectionClass, 3);
  EXPECT_EQ(r.size, 8192u);
  EXPECT_EQ(r.inode, 7u);
  EXPECT_EQ(r.modified, 1u);
  EXPECT_EQ(r.accessed, 2u);
  EXPECT_EQ(r.created, 3u);
  EXPECT_EQ(records[0].offset, 6u);
  ASSERT_EQ(r.properties.size(), 1u);
  EXPECT_EQ(r.properties[0].second, "value");
  EXPECT_EQ(m.bytes().substr(r.offset + 2, 10), "HomeDomain");
}

TEST_F(FileIndexTest, BothErasIndexTheSameBackupToTheSameEntries) {
  std::vector<BackupFileEntry> eras[2];
  int i = 0;
  for (gen::Era era : {gen::Era::Mbdb, gen::Era::ManifestDb}) {
    gen::BackupWriter writer(root_ / (i ? "modern" : "old"), era);
    gen::AddMediaFamily(writer, {});
    writer.AddFile("HomeDomain", "Library/SMS/sms.db", std::string(600, 's'));
    writer.AddDirectory("HomeDomain", "Library/SMS");
    ASSERT_TRUE(writer.Finish());
    EXPECT_EQ(FindManifest(writer.folder()), i ? ManifestKind::ManifestDb : ManifestKind::Mbdb);
    std::string error;
    ASSERT_EQ(ReadFileIndex(writer.folder(), eras[i], &error), 0) << error;
    // Every stored file of the index is found where the resolver says.
    size_t found = 0;
    for (const BackupFileEntry& e : eras[i]) {
      const fs::path p = ResolveStoredPath(writer.folder(), e.hashedName);
      if (fs::exists(p)) {
        ++found;
        EXPECT_EQ(p, writer.StoredPath(e.hashedName.str()));
        EXPECT_EQ(static_cast<int64_t>(fs::file_size(p)), e.size) << e.key;
      }
    }
    EXPECT_EQ(found, 39u);  // every stored file but the link and the one removed
    // Without the recorded sizes: the same entries, and no size from the
    // archived properties of Manifest.db.
    std::vector<BackupFileEntry> named;
    ASSERT_EQ(ReadFileIndex(writer.folder(), named, &error, RecordedSizes::kLeft), 0) << error;
    ASSERT_EQ(named.size(), eras[i].size());
    for (size_t k = 0; k < named.size(); ++k) {
      EXPECT_EQ(named[k].key, eras[i][k].key);
      EXPECT_EQ(named[k].hashedName, eras[i][k].hashedName);
      EXPECT_EQ(named[k].size, i ? -1 : eras[i][k].size);
    }
    ++i;
  }
  ASSERT_EQ(eras[0].size(), eras[1].size());
  for (size_t k = 0; k < eras[0].size(); ++k) {
    EXPECT_EQ(eras[0][k].key, eras[1][k].key);
    EXPECT_EQ(eras[0][k].hashedName, eras[1][k].hashedName);
    EXPECT_EQ(eras[0][k].size, eras[1][k].size);
  }
  const auto keys = Keys(eras[0]);
  EXPECT_NE(std::find(keys.begin(), keys.end(), "CameraRollDomain-Media/DCIM/100APPLE/Latest.JPG"), keys.end());
  EXPECT_EQ(std::find(keys.begin(), keys.end(), "HomeDomain-Library/SMS"), keys.end());
}

namespace {

// A Manifest.db written straight through SQLite, for the odd rows a real
// backup writer would not make.
fs::path MakeManifestDb(const fs::path& path, const std::string& rowsSql, const char* journal = "DELETE") {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const std::string sql = std::string("PRAGMA journal_mode=") + journal +
                          ";CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags "
                          "INTEGER, file BLOB);CREATE INDEX FilesFlagsIdx ON Files(flags);" +
                          rowsSql;
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
  return path;
}

std::string Id(const std::string& key) { return Sha1Hex(key); }

}  // namespace

TEST_F(FileIndexTest, ManifestDbKeepsFilesAndLinksInTableOrder) {
  gen::StoredFile f;
  f.relativePath = "Library/SMS/sms.db";
  f.size = 278528;
  f.protectionClass = 3;
  f.encryptionKey = std::string("\x03\x00\x00\x00", 4) + std::string(40, 'k');
  const std::string blob = gen::ArchiveFileProperties(f);
  std::string hex;
  for (unsigned char c : blob) hex += "0123456789ABCDEF"[c >> 4], hex += "0123456789ABCDEF"[c & 15];
  const std::string rows =
      "INSERT INTO Files VALUES('" + Id("HomeDomain-z") + "','HomeDomain','z',1,NULL);"
      "INSERT INTO Files VALUES('" + Id("HomeDomain-Library") + "','HomeDomain','Library',2,NULL);"
      "INSERT INTO Files VALUES('" + Id("HomeDomain-Library/SMS/sms.db") + "','HomeDomain','Library/SMS/sms.db',1,X'" +
      hex + "');"
      "INSERT INTO Files VALUES('" + Id("HomeDomain-a") + "','HomeDomain','a',4,X'00');"
      "INSERT INTO Files VALUES('" + Id("HomeDomain-b") + "','HomeDomain','b',16,NULL);"
      "INSERT INTO Files VALUES('../../../etc/passwd','HomeDomain','c',1,NULL);"
      "INSERT INTO Files VALUES('" + Id("HomeDomain-") + "','HomeDomain','',1,NULL);"
      "INSERT INTO Files VALUES(NULL,'HomeDomain','d',1,NULL);";
  const fs::path db = MakeManifestDb(root_ / "Manifest.db", rows);
  std::vector<BackupFileEntry> index;
  ASSERT_EQ(ReadManifestDb(db, index), 0);
  ASSERT_EQ(Keys(index), (std::vector<std::string>{"HomeDomain-z", "HomeDomain-Library/SMS/sms.db", "HomeDomain-a"}));
  EXPECT_EQ(index[0].size, -1);  // no properties
  EXPECT_EQ(index[1].hashedName, "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(index[1].size, 278528);
  EXPECT_EQ(index[2].size, -1);  // properties that are not a property list

  std::vector<ManifestDbRow> all;
  ASSERT_EQ(ReadManifestDbRows(db, all), 0);
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(all[1].flags, 2);
  ASSERT_TRUE(all[2].hasProperties);
  EXPECT_EQ(all[2].properties.protectionClass, 3u);
  EXPECT_EQ(all[2].properties.encryptionKey, f.encryptionKey);
  EXPECT_EQ(all[2].properties.relativePath, "Library/SMS/sms.db");
  EXPECT_EQ(all[2].properties.mode, 0100644u);
  EXPECT_FALSE(all[3].hasProperties);
}

TEST_F(FileIndexTest, ArchivedLinkTargetIsResolved) {
  gen::StoredFile link;
  link.relativePath = "Library/Link";
  link.mode = 0120755;
  link.linkTarget = "/private/var/mobile/Target";
  FileProperties p;
  ASSERT_TRUE(DecodeFileProperties(gen::ArchiveFileProperties(link), p));
  EXPECT_EQ(p.linkTarget, "/private/var/mobile/Target");
  EXPECT_TRUE(p.encryptionKey.empty());
  EXPECT_FALSE(DecodeFileProperties("bplist00", p));
  EXPECT_FALSE(DecodeFileProperties("<plist></plist>", p));
}

TEST_F(FileIndexTest, ArchivedSizeAgreesWithTheFullDecoder) {
  // Sizes of every integer width of a binary property list, a link without
  // a size-worthy mode, and an encrypted file's key in the archive.
  for (uint64_t size : {0ull, 1ull, 255ull, 256ull, 65535ull, 65536ull, 4294967295ull, 4294967296ull,
                        static_cast<unsigned long long>(INT64_MAX)}) {
    gen::StoredFile f;
    f.relativePath = "Media/DCIM/100APPLE/IMG_0001.JPG";
    f.size = size;
    f.encryptionKey = std::string("\x03\x00\x00\x00", 4) + std::string(40, 'k');
    const std::string blob = gen::ArchiveFileProperties(f);
    FileProperties full;
    ASSERT_TRUE(DecodeFileProperties(blob, full));
    ASSERT_TRUE(full.hasSize);
    EXPECT_EQ(ArchivedFileSize(blob), static_cast<int64_t>(full.size)) << size;
    EXPECT_EQ(ArchivedFileSize(blob), static_cast<int64_t>(size));
    // Every cut of the archive and every single damaged byte: a size or -1,
    // never a read outside the blob (the sanitizer build checks that).
    for (size_t cut = 0; cut < blob.size(); ++cut) EXPECT_EQ(ArchivedFileSize(blob.substr(0, cut)), -1);
    for (size_t at = 0; at < blob.size(); ++at) {
      std::string damaged = blob;
      damaged[at] = static_cast<char>(damaged[at] ^ 0xFF);
      EXPECT_GE(ArchivedFileSize(damaged), -1);
    }
  }
  EXPECT_EQ(ArchivedFileSize(""), -1);
  EXPECT_EQ(ArchivedFileSize("bplist00"), -1);
  EXPECT_EQ(ArchivedFileSize(std::string("bplist00") + std::string(40, '\xFF')), -1);
}

TEST_F(FileIndexTest, DamagedOrForeignManifestDbGivesAStatus) {
  std::vector<BackupFileEntry> index;
  std::string error;
  EXPECT_EQ(ReadManifestDb(root_ / "none.db", index, &error), 6009);
  EXPECT_EQ(ReadManifestDb(root_, index, &error), 6009);
  EXPECT_EQ(ReadManifestDb(WriteFile("text.db", std::string(4096, 'x')), index, &error), 6009);
  EXPECT_EQ(ReadManifestDb(WriteFile("empty.db", ""), index, &error), 6009);  // a database without Files
  // A database without the Files table.
  sqlite3* db = nullptr;
  sqlite3_open((root_ / "other.db").c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE t(x);", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(ReadManifestDb(root_ / "other.db", index, &error), 6009);
  EXPECT_NE(error.find("Files"), std::string::npos) << error;
  EXPECT_TRUE(index.empty());

  // Many rows, then the table's later pages overwritten: the rows before
  // the damage are kept and the status says the table is damaged.
  std::string rows = "BEGIN;";
  for (int i = 0; i < 3000; ++i) {
    const std::string key = "HomeDomain-f" + std::to_string(i);
    rows += "INSERT INTO Files VALUES('" + Id(key) + "','HomeDomain','f" + std::to_string(i) + "',1,zeroblob(100));";
  }
  rows += "COMMIT;";
  const fs::path big = MakeManifestDb(root_ / "big.db", rows);
  std::string bytes = ReadAll(big);
  ASSERT_GT(bytes.size(), 40u * 4096);
  for (size_t at = bytes.size() / 2; at < bytes.size(); ++at) bytes[at] = static_cast<char>(0xA5);
  WriteFile("big.db", bytes);
  const Status s = ReadManifestDb(big, index, &error);
  EXPECT_EQ(s, 87) << error;
  EXPECT_GT(index.size(), 0u);
  EXPECT_LT(index.size(), 3000u);
}

TEST_F(FileIndexTest, ManifestDbRowsComeInRowidOrderAcrossPageSplits) {
  // Rows inserted in a scrambled rowid order make leaf pages whose numbers do
  // not follow their keys; the index must still follow the table (rowid)
  // order, exactly as the library's ORDER BY rowid gives it. Small pages
  // make a three-level tree.
  std::string rows = "PRAGMA page_size=512;BEGIN;";
  const int kRows = 2000;
  for (int i = 0; i < kRows; ++i) {
    const int rowid = static_cast<int>((i * 7919L) % kRows) + 1;
    const std::string path = "f" + std::to_string(rowid);
    rows += "INSERT INTO Files(rowid, fileID, domain, relativePath, flags, file) VALUES(" + std::to_string(rowid) +
            ",'" + Id("HomeDomain-" + path) + "','HomeDomain','" + path + "'," + (rowid % 10 == 0 ? "2" : "1") +
            ",zeroblob(" + std::to_string(rowid % 50) + "));";
  }
  rows += "COMMIT;";
  const fs::path db = MakeManifestDb(root_ / "split.db", rows);
  std::vector<std::string> expected;
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT domain || '-' || relativePath FROM Files WHERE flags = 1 ORDER BY rowid",
                               -1, &stmt, nullptr),
            SQLITE_OK);
  while (sqlite3_step(stmt) == SQLITE_ROW) expected.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  sqlite3_finalize(stmt);
  sqlite3_close(handle);

  std::vector<BackupFileEntry> index;
  std::string error;
  ASSERT_EQ(ReadManifestDb(db, index, &error), 0) << error;
  EXPECT_EQ(Keys(index), expected);
  std::vector<ManifestDbRow> all;
  ASSERT_EQ(ReadManifestDbRows(db, all, &error), 0) << error;
  ASSERT_EQ(all.size(), static_cast<size_t>(kRows));
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i].relativePath, "f" + std::to_string(i + 1));
}

TEST_F(FileIndexTest, ManifestDbWhoseBranchesShareAPageGivesEachRowOnce) {
  // A large table is read in two halves of the root's children. Here the
  // root's right-most pointer is damaged to name its first child, so both
  // halves reach the same pages: the rows must still come once each, in
  // table order, and the table must be reported damaged.
  std::string rows = "BEGIN;";
  const int kRows = 2000;
  for (int i = 1; i <= kRows; ++i) {
    const std::string path = "f" + std::to_string(i);
    rows += "INSERT INTO Files(rowid, fileID, domain, relativePath, flags, file) VALUES(" + std::to_string(i) + ",'" +
            Id("HomeDomain-" + path) + "','HomeDomain','" + path + "',1,zeroblob(20));";
  }
  rows += "COMMIT;";
  const fs::path db = MakeManifestDb(root_ / "shared.db", rows);
  std::vector<BackupFileEntry> whole;
  ASSERT_EQ(ReadManifestDb(db, whole), 0);
  ASSERT_EQ(whole.size(), static_cast<size_t>(kRows));

  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT rootpage FROM sqlite_master WHERE name = 'Files'", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  const int rootPage = sqlite3_column_int(stmt, 0);
  sqlite3_finalize(stmt);
  sqlite3_close(handle);
  std::string bytes = ReadAll(db);
  const size_t pageSize = (static_cast<uint8_t>(bytes[16]) << 8) | static_cast<uint8_t>(bytes[17]);
  const size_t root = static_cast<size_t>(rootPage - 1) * pageSize;
  ASSERT_EQ(bytes[root], 5);  // an interior table page
  const size_t firstCell = (static_cast<uint8_t>(bytes[root + 12]) << 8) | static_cast<uint8_t>(bytes[root + 13]);
  bytes.replace(root + 8, 4, bytes.substr(root + firstCell, 4));  // right-most := first child
  std::ofstream(db, std::ios::binary | std::ios::trunc) << bytes;

  std::vector<BackupFileEntry> index;
  std::string error;
  EXPECT_EQ(ReadManifestDb(db, index, &error), 87);
  EXPECT_EQ(error, "the Files table is damaged");
  const std::vector<std::string> keys = Keys(index);
  ASSERT_FALSE(keys.empty());
  ASSERT_LT(keys.size(), static_cast<size_t>(kRows));
  // Every row once, and in table order: the keys of the undamaged table's
  // prefix, up to where the right-most child's rows began.
  const std::vector<std::string> all = Keys(whole);
  EXPECT_TRUE(std::equal(keys.begin(), keys.end(), all.begin()));
}

TEST_F(FileIndexTest, ManifestDbIsNeverWrittenTo) {
  // A manifest left in WAL mode, with a leftover journal name beside it
  // that must not be touched, in a folder whose name needs URI escaping.
  const fs::path folder = root_ / "odd ?#% name";
  fs::create_directories(folder);
  const fs::path db = MakeManifestDb(
      folder / "Manifest.db", "INSERT INTO Files VALUES('" + Id("HomeDomain-x") + "','HomeDomain','x',1,NULL);", "WAL");
  ASSERT_FALSE(fs::exists(folder / "Manifest.db-wal"));
  const std::string before = ReadAll(db);
  const auto entriesBefore = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);  // a read-only folder
  std::vector<BackupFileEntry> index;
  std::string error;
  EXPECT_EQ(ReadManifestDb(db, index, &error), 0) << error;
  ASSERT_EQ(index.size(), 1u);
  fs::permissions(folder, fs::perms::owner_all);
  EXPECT_EQ(ReadAll(db), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), entriesBefore);
}

TEST_F(FileIndexTest, StoredPathPrefersTheFlatFile) {
  const std::string name = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
  EXPECT_EQ(ResolveStoredPath(root_, name), root_ / "3d" / name);  // neither exists
  WriteFile("3d/" + name, "modern");
  EXPECT_EQ(ResolveStoredPath(root_, name), root_ / "3d" / name);
  WriteFile(name, "flat");
  EXPECT_EQ(ResolveStoredPath(root_, name), root_ / name);
  EXPECT_EQ(FixedDatabasePath(root_, kMessagesDb), root_ / name);

  // Resolving many files of one folder gives the same answers.
  EXPECT_TRUE(StoredFileLayout(root_).MayHoldFlatFiles());
  EXPECT_EQ(StoredFileLayout(root_).Resolve(name), root_ / name);
  fs::remove(root_ / name);
  WriteFile("Manifest.db", "x");
  WriteFile("Info.plist", "x");
  const StoredFileLayout modern(root_);  // only subfolders and plists: nothing is asked for flat
  EXPECT_FALSE(modern.MayHoldFlatFiles());
  EXPECT_EQ(modern.Resolve(name), root_ / "3d" / name);
  EXPECT_EQ(modern.Resolve("ff" + name.substr(2)), root_ / "ff" / ("ff" + name.substr(2)));  // neither exists
  WriteFile(name + ".mddata", "older layout");
  EXPECT_TRUE(StoredFileLayout(root_).MayHoldFlatFiles());
  EXPECT_TRUE(StoredFileLayout(root_ / "missing").MayHoldFlatFiles());  // unknown: asked as before

  EXPECT_TRUE(IsHashedName(name));
  EXPECT_FALSE(IsHashedName("../" + name.substr(3)));
  EXPECT_FALSE(IsHashedName(name.substr(1)));
}

TEST_F(FileIndexTest, ReadFileIndexNeedsAManifest) {
  std::vector<BackupFileEntry> index;
  std::string error;
  EXPECT_EQ(ReadFileIndex(root_, index, &error), 87);
  EXPECT_FALSE(error.empty());
  // Manifest.mbdb wins when both are there.
  WriteFile("Manifest.mbdb", Mbdb().Record("HomeDomain", "from-mbdb", 0x81A4).bytes());
  WriteFile("Manifest.db", "not a database at all, but never read");
  ASSERT_EQ(ReadFileIndex(root_, index, &error), 0);
  EXPECT_EQ(Keys(index), std::vector<std::string>{"HomeDomain-from-mbdb"});
}
