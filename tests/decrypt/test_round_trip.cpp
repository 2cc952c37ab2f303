// Encrypted backups of both eras from the generator, deciphered in-process
// and through the companion program, compared byte for byte with the plain
// files; and the damaged cases: wrong password, truncated key bag, a
// record without key, short and misaligned files, a full disk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <map>

#include "decrypt/backup_decryptor.h"
#include "decrypt/decryption_step.h"
#include "platform/digest.h"
#include "sources/discovery.h"
#include "sources/file_index.h"
#include "sources/plist.h"
#include "tools/backupgen/backup_writer.h"

using namespace orbanix;
using namespace orbanix::decrypt;
namespace fs = std::filesystem;

namespace {

const char* kPassword = " pass word \xC3\xBC ";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TempDir {
 public:
  TempDir() {
    static int n = 0;
    path_ = fs::temp_directory_path() / ("orbanix rt " + std::to_string(getpid()) + "-" + std::to_string(n++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A generated encrypted backup and the plain bytes of its files.
struct Fixture {
  fs::path folder;
  gen::Era era;
  std::map<std::string, std::string> plain;  // hashed name -> bytes
  std::string plainManifest;                 // Manifest.mbdb as written

  std::string Hash(const std::string& domain, const std::string& path) const { return Sha1Hex(domain + "-" + path); }
};

std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Files of every length class around the block size, a large one spanning
// several chunks, several protection classes, a folder and a link.
Fixture MakeBackup(const fs::path& root, gen::Era era, gen::EncryptionOptions options,
                   const std::function<void(gen::BackupWriter&, Fixture&)>& tweak = nullptr) {
  Fixture fx;
  fx.era = era;
  fx.folder = root / (era == gen::Era::Mbdb ? "old backup" : "new backup");
  gen::BackupWriter writer(fx.folder, era);
  const std::vector<size_t> sizes = {0, 1, 15, 16, 17, 4095, 4096, 70001, 300000};
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::string path = "Library/File " + std::to_string(i) + ".bin";
    const std::string bytes = Pattern(sizes[i], static_cast<uint32_t>(i));
    writer.AddFile("HomeDomain", path, bytes);
    writer.files().back().protectionClass = static_cast<uint8_t>(1 + i % 4);
    fx.plain[fx.Hash("HomeDomain", path)] = bytes;
  }
  writer.AddDirectory("HomeDomain", "Library");
  writer.AddLink("HomeDomain", "Library/link", "File 1.bin");
  if (tweak) tweak(writer, fx);
  options.password = kPassword;
  writer.EncryptWith(options);
  std::string error;
  if (!writer.Finish(&error)) ADD_FAILURE() << error;
  if (era == gen::Era::Mbdb) fx.plainManifest = ReadAll(fx.folder / "Manifest.mbdb");
  return fx;
}

fs::path OutPath(const Fixture& fx, const fs::path& out, const std::string& name) {
  return fx.era == gen::Era::Mbdb ? out / name : out / name.substr(0, 2) / name;
}

void ExpectPlainCopy(const Fixture& fx, const fs::path& out) {
  for (const auto& [name, bytes] : fx.plain) {
    const fs::path p = OutPath(fx, out, name);
    ASSERT_TRUE(fs::exists(p)) << p;
    EXPECT_EQ(ReadAll(p), bytes) << p;
    // The stored file really was enciphered.
    if (!bytes.empty()) {
      EXPECT_NE(ReadAll(OutPath(fx, fx.folder, name)), bytes);
    }
  }
  // Reads as a plain backup: not encrypted, no key bag, manifest readable.
  EXPECT_FALSE(IsEncrypted(out));
  PlistDoc manifest = PlistDoc::Load(out / "Manifest.plist");
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest.Get("BackupKeyBag"), nullptr);
  EXPECT_EQ(manifest.Get("ManifestKey"), nullptr);
  EXPECT_TRUE(manifest.Get("Lockdown"));
  EXPECT_EQ(ReadAll(out / "Info.plist"), ReadAll(fx.folder / "Info.plist"));
  std::vector<BackupFileEntry> index;
  ASSERT_EQ(ReadFileIndex(out, index), 0);
  size_t files = 0;
  for (const auto& e : index) files += fx.plain.count(e.hashedName.str());
  EXPECT_EQ(files, fx.plain.size());
  if (fx.era == gen::Era::Mbdb) {
    EXPECT_EQ(ReadAll(out / "Manifest.mbdb"), fx.plainManifest);
  }
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    EXPECT_NE(entry.path().extension(), ".part") << entry.path();
  }
}

}  // namespace

TEST(RoundTrip, BothErasInProcessWithSmallChunksAndTwoThreads) {
  for (gen::Era era : {gen::Era::Mbdb, gen::Era::ManifestDb}) {
    TempDir dir;
    const Fixture fx = MakeBackup(dir.path(), era, {});
    EXPECT_TRUE(IsEncrypted(fx.folder));
    if (era == gen::Era::ManifestDb) {
      EXPECT_NE(ReadAll(fx.folder / "Manifest.db").substr(0, 6), "SQLite");
    }
    DecryptOptions options;
    options.threads = 2;
    options.chunkBytes = 4096;  // every larger file spans many chunks
    DecryptSummary summary;
    std::vector<uint64_t> counts;
    DecryptEvents events;
    events.fileWritten = [&](uint64_t n) { counts.push_back(n); };
    const fs::path out = dir.path() / "out folder";
    ASSERT_EQ(DecryptBackup(fx.folder, out, kPassword, options, events, summary), 0) << summary.error;
    EXPECT_TRUE(summary.problems.empty());
    EXPECT_EQ(summary.filesDecrypted, fx.plain.size() + (era == gen::Era::ManifestDb ? 1 : 0));
    ASSERT_FALSE(counts.empty());
    for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], i + 1);
    // Stored files + manifest + Manifest.plist, Status.plist, Info.plist.
    EXPECT_EQ(summary.filesWritten, fx.plain.size() + 4);
    ExpectPlainCopy(fx, out);
  }
}

TEST(RoundTrip, PlainManifestDbOfEarlyTenAndSha1OnlyKeyBag) {
  TempDir dir;
  gen::EncryptionOptions options;
  options.encryptManifestDb = false;
  options.derivation = gen::KeyDerivation::Sha1Only;
  const Fixture fx = MakeBackup(dir.path(), gen::Era::ManifestDb, options);
  EXPECT_EQ(ReadAll(fx.folder / "Manifest.db").substr(0, 15), "SQLite format 3");
  DecryptSummary summary;
  const fs::path out = dir.path() / "out";
  ASSERT_EQ(DecryptBackup(fx.folder, out, kPassword, {}, {}, summary), 0) << summary.error;
  ExpectPlainCopy(fx, out);
}

TEST(RoundTrip, WrongPasswordAndDamagedKeyBagWriteNothing) {
  TempDir dir;
  const Fixture fx = MakeBackup(dir.path(), gen::Era::ManifestDb, {});
  const fs::path out = dir.path() / "out";
  DecryptSummary summary;
  EXPECT_EQ(DecryptBackup(fx.folder, out, " pass word \xC3\xBC", {}, {}, summary), status::kWrongPassword);
  EXPECT_EQ(DecryptBackup(fx.folder, out, "", {}, {}, summary), status::kWrongPassword);
  EXPECT_FALSE(fs::exists(out));

  // Cut the key bag in half.
  PlistDoc manifest = PlistDoc::Load(fx.folder / "Manifest.plist");
  const std::string bag = *PlistData(manifest.Get("BackupKeyBag"));
  plist_dict_set_item(manifest.root(), "BackupKeyBag", plist_new_data(bag.data(), bag.size() / 2 + 3));
  ASSERT_TRUE(gen::WritePlistFile(fx.folder / "Manifest.plist", manifest.root(), true));
  std::string why;
  UnlockedBackup unlocked;
  EXPECT_EQ(UnlockBackup(fx.folder, kPassword, unlocked, &why), status::kBadData);
  EXPECT_NE(why.find("key bag"), std::string::npos) << why;
  EXPECT_FALSE(fs::exists(out));
}

TEST(RoundTrip, DamagedFilesFailAloneRecordWithoutKeyIsCopied) {
  auto hash = [](const char* path) { return Sha1Hex(std::string("HomeDomain-") + path); };
  const std::string rawName = hash("Library/File 5.bin");
  const std::string shortName = hash("Library/File 7.bin");
  const std::string misalignedName = hash("Library/File 8.bin");
  const std::string badPaddingName = hash("Library/File 6.bin");
  for (gen::Era era : {gen::Era::Mbdb, gen::Era::ManifestDb}) {
    TempDir again;
    gen::EncryptionOptions options;
    options.plainHashedNames = {rawName};  // a record without key, its file stored plain
    Fixture fx = MakeBackup(again.path(), era, options, [&](gen::BackupWriter& w, Fixture&) {
      // The manifest records more bytes than the file holds.
      for (auto& f : w.files()) {
        if (f.hashedName == shortName) f.size += 100;
      }
    });
    EXPECT_EQ(ReadAll(OutPath(fx, fx.folder, rawName)), fx.plain[rawName]);

    // Damage two stored files after the fact: cut 5 bytes off one, and break
    // the padding of another. In CBC the last plain byte is the last byte of
    // the block before it XORed in, so flipping that byte flips the padding
    // byte (0x01 for this 4,095-byte file) to 0x54, which never checks;
    // flipping the last byte itself would garble the block at random and
    // leave valid padding about once in 256 runs.
    const fs::path misaligned = OutPath(fx, fx.folder, misalignedName);
    fs::resize_file(misaligned, fs::file_size(misaligned) - 5);
    const fs::path padded = OutPath(fx, fx.folder, badPaddingName);
    std::string bytes = ReadAll(padded);
    ASSERT_GE(bytes.size(), 32u);
    bytes[bytes.size() - 17] ^= 0x55;
    std::ofstream(padded, std::ios::binary | std::ios::trunc) << bytes;
    // One stored file missing altogether.
    const std::string goneName = fx.Hash("HomeDomain", "Library/File 2.bin");
    fs::remove(OutPath(fx, fx.folder, goneName));

    const fs::path out = again.path() / "out";
    DecryptSummary summary;
    std::vector<std::string> missing;
    DecryptEvents events;
    events.fileMissing = [&](const std::string& n) { missing.push_back(n); };
    ASSERT_EQ(DecryptBackup(fx.folder, out, kPassword, {}, events, summary), 0) << summary.error;
    std::map<std::string, Status> failed;
    for (const auto& p : summary.problems) failed[p.hashedName] = p.status;
    EXPECT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[misalignedName], status::kBadData);
    EXPECT_EQ(failed[badPaddingName], status::kBadData);
    EXPECT_EQ(failed[shortName], status::kShortRead);
    EXPECT_EQ(missing, std::vector<std::string>({goneName}));
    EXPECT_EQ(summary.filesCopied, 1u);
    for (const auto& name : {misalignedName, badPaddingName, shortName, goneName}) {
      EXPECT_FALSE(fs::exists(OutPath(fx, out, name))) << name;
      EXPECT_FALSE(fs::exists(OutPath(fx, out, name + ".part"))) << name;
    }
    EXPECT_EQ(ReadAll(OutPath(fx, out, rawName)), fx.plain[rawName]);
    const std::string fine = fx.Hash("HomeDomain", "Library/File 4.bin");
    EXPECT_EQ(ReadAll(OutPath(fx, out, fine)), fx.plain[fine]);
    EXPECT_TRUE(fs::exists(out / "Info.plist"));
  }
}

TEST(RoundTrip, FullDiskStopsTheRunAndLeavesNoFileAsComplete) {
  TempDir dir;
  const Fixture fx = MakeBackup(dir.path(), gen::Era::Mbdb, {});
  const fs::path out = dir.path() / "out";
  fs::create_directories(out);
  // Writes of this one file land on /dev/full, which answers every write
  // with "no space left on device".
  const std::string victim = fx.Hash("HomeDomain", "Library/File 8.bin");
  fs::create_symlink("/dev/full", out / (victim + ".part"));
  DecryptSummary summary;
  DecryptOptions options;
  options.threads = 1;
  EXPECT_EQ(DecryptBackup(fx.folder, out, kPassword, options, {}, summary), ENOSPC);
  EXPECT_FALSE(summary.error.empty());
  EXPECT_FALSE(fs::exists(out / victim));
  EXPECT_FALSE(fs::is_symlink(out / (victim + ".part")));
  // The plists come last: an interrupted copy is never taken for a backup.
  EXPECT_FALSE(fs::exists(out / "Info.plist"));
  EXPECT_FALSE(fs::exists(out / "Manifest.mbdb"));
}

TEST(RoundTrip, CompanionThroughTheStepBothErasAndWrongPassword) {
  for (gen::Era era : {gen::Era::Mbdb, gen::Era::ManifestDb}) {
    TempDir dir;
    const Fixture fx = MakeBackup(dir.path(), era, {});
    DecryptionStepRequest request;
    request.password = kPassword;
    request.backupFolder = fx.folder;
    request.fileCount = CountBackupFiles(fx.folder);
    request.outputFolder = dir.path() / "work folder" / "copy";
    EXPECT_EQ(request.fileCount, fx.plain.size() + 4);
    std::vector<int32_t> values;
    StepProgress progress;
    progress.step = 10;
    progress.callback = [&](int32_t v) {
      values.push_back(v);
      return 0;
    };
    fs::path output;
    DecryptionStepReport report;
    ASSERT_EQ(RunDecryptionStep(request, progress, output, &report), 0) << report.error;
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_EQ(report.filesWritten, fx.plain.size() + 4);
    ExpectPlainCopy(fx, output);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.front(), 1);
    EXPECT_EQ(values.back(), 11);
    for (size_t i = 1; i < values.size(); ++i) EXPECT_GE(values[i], values[i - 1]);

    request.password = "wrong";
    request.outputFolder = dir.path() / "other";
    progress.progress = 0;
    EXPECT_EQ(RunDecryptionStep(request, progress, output, &report), status::kWrongPassword);
    EXPECT_FALSE(fs::exists(request.outputFolder / "Info.plist"));
  }
}

TEST(RoundTrip, CompanionReportsADamagedKeyBag) {
  TempDir dir;
  const Fixture fx = MakeBackup(dir.path(), gen::Era::Mbdb, {});
  PlistDoc manifest = PlistDoc::Load(fx.folder / "Manifest.plist");
  plist_dict_remove_item(manifest.root(), "BackupKeyBag");
  ASSERT_TRUE(gen::WritePlistFile(fx.folder / "Manifest.plist", manifest.root(), false));
  DecryptionStepRequest request;
  request.password = kPassword;
  request.backupFolder = fx.folder;
  request.outputFolder = dir.path() / "out";
  StepProgress progress;
  fs::path output;
  DecryptionStepReport report;
  EXPECT_EQ(RunDecryptionStep(request, progress, output, &report), status::kBadData);
  EXPECT_EQ(report.exitCode, kExitError);
  EXPECT_NE(report.error.find("BackupKeyBag"), std::string::npos) << report.error;
}
