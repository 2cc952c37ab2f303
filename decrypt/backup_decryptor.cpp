#include "decrypt/backup_decryptor.h"

#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "platform/digest.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "sources/file_index.h"
#include "sources/plist.h"

namespace orbanix::decrypt {

namespace {

constexpr uint64_t kNoRecordedSize = UINT64_MAX;
constexpr const char* kWorkManifestDb = ".Manifest.db.work";  // dot: not listed as a backup entry

// An open C stream closed on every path out.
struct File {
  std::FILE* f = nullptr;
  ~File() {
    if (f) std::fclose(f);
  }
  // Closes and reports a failure of the last flush (a full disk shows here).
  int Close() {
    if (!f) return 0;
    const int rc = std::fclose(f);
    f = nullptr;
    return rc == 0 ? 0 : (errno ? errno : EIO);
  }
};

fs::path PartPath(const fs::path& target) {
  fs::path part = target;
  part += ".part";
  return part;
}

Status WriteStoredFileImpl(const fs::path& source, const fs::path& target, const Key256* key,
                           uint64_t recordedSize, size_t chunkBytes, bool& writeFailed, std::string& reason) {
  writeFailed = false;
  std::error_code ec;
  const uint64_t storedSize = fs::file_size(source, ec);
  if (ec) {
    reason = "cannot be read: " + ec.message();
    return ec.value() ? ec.value() : status::kBadData;
  }
  if (key && storedSize % 16 != 0) {
    reason = Format("stored length %llu is not a multiple of the 16-byte block",
                    static_cast<unsigned long long>(storedSize));
    return status::kBadData;
  }
  if (key && storedSize == 0) {
    reason = "enciphered file is empty (no padding block)";
    return status::kBadData;
  }
  // A stored file is read only when it is a regular file (never a link,
  // never a FIFO that would block the open).
  File in;
  {
    std::string why;
    int e = 0;
    const int fd = OpenStoredFile(source, {}, &why, &e);
    if (fd < 0) {
      reason = "cannot be opened: " + why;
      return e ? e : status::kBadData;
    }
    in.f = ::fdopen(fd, "rb");
    if (!in.f) {
      e = errno;
      ::close(fd);
      reason = std::string("cannot be opened: ") + std::strerror(e);
      return e ? e : status::kBadData;
    }
  }
  const fs::path part = PartPath(target);
  File out;
  out.f = std::fopen(part.c_str(), "wb");
  if (!out.f) {
    const int e = errno;
    writeFailed = true;
    reason = "cannot create " + part.string() + ": " + std::strerror(e);
    return e ? e : status::kBadData;
  }
  // Our own chunks are the buffer; write failures then show at once.
  std::setvbuf(out.f, nullptr, _IONBF, 0);

  auto fail = [&](Status s) {
    out.Close();
    std::error_code ignored;
    fs::remove(part, ignored);
    return s;
  };

  // Buffers no larger than the file needs, no larger than the chunk size.
  const size_t chunk = static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(chunkBytes, 4096), storedSize + 16));
  std::vector<uint8_t> inBuf(chunk);
  std::vector<uint8_t> outBuf(key ? chunk + 32 : 0);
  CbcDecryptor cipher;
  if (key && cipher.Start(*key) != status::kOk) {
    reason = "cipher cannot be set up";
    return fail(status::kBadData);
  }
  uint64_t plainTotal = 0;  // deciphered bytes, before trimming
  uint64_t written = 0;
  auto put = [&](const uint8_t* data, size_t size) -> Status {
    if (key && recordedSize != kNoRecordedSize) {
      // Trim to the recorded size: bytes past it are not part of the file.
      const uint64_t room = written < recordedSize ? recordedSize - written : 0;
      size = static_cast<size_t>(std::min<uint64_t>(size, room));
    }
    if (size == 0) return status::kOk;
    if (std::fwrite(data, 1, size, out.f) != size) {
      const int e = errno ? errno : EIO;
      writeFailed = true;
      reason = "cannot write " + part.string() + ": " + std::strerror(e);
      return e;
    }
    written += size;
    return status::kOk;
  };

  for (;;) {
    errno = 0;
    const size_t got = std::fread(inBuf.data(), 1, inBuf.size(), in.f);
    if (got == 0) {
      if (std::ferror(in.f)) {
        const int e = errno ? errno : EIO;
        reason = std::string("read failed: ") + std::strerror(e);
        return fail(e);
      }
      break;
    }
    if (key) {
      size_t n = 0;
      if (cipher.Update(inBuf.data(), got, outBuf.data(), n) != status::kOk) {
        reason = "cipher failed";
        return fail(status::kBadData);
      }
      plainTotal += n;
      if (Status s = put(outBuf.data(), n); s != status::kOk) return fail(s);
    } else {
      if (Status s = put(inBuf.data(), got); s != status::kOk) return fail(s);
    }
  }
  if (key) {
    size_t n = 0;
    if (cipher.Finish(outBuf.data(), n) != status::kOk) {
      reason = "wrong padding after deciphering (damaged file or wrong file key)";
      return fail(status::kBadData);
    }
    plainTotal += n;
    if (Status s = put(outBuf.data(), n); s != status::kOk) return fail(s);
    if (recordedSize != kNoRecordedSize && plainTotal < recordedSize) {
      reason = Format("deciphered length %llu is shorter than the recorded %llu",
                      static_cast<unsigned long long>(plainTotal), static_cast<unsigned long long>(recordedSize));
      return fail(status::kShortRead);
    }
  }
  if (int e = out.Close(); e != 0) {
    writeFailed = true;
    reason = "cannot write " + part.string() + ": " + std::strerror(e);
    return fail(e);
  }
  fs::rename(part, target, ec);
  if (ec) {
    writeFailed = true;
    reason = "cannot rename " + part.string() + ": " + ec.message();
    return fail(ec.value() ? ec.value() : status::kBadData);
  }
  return status::kOk;
}

// One file of the copy still to be written.
struct Job {
  std::string name;
  fs::path source;
  fs::path target;
  bool encrypted = false;
  Key256 key{};
  uint64_t recordedSize = kNoRecordedSize;
};

class CopyWriter {
 public:
  CopyWriter(const UnlockedBackup& unlocked, const fs::path& output, const DecryptOptions& options,
             const DecryptEvents& events, DecryptSummary& summary)
      : unlocked_(unlocked), output_(output), options_(options), events_(events), summary_(summary) {}

  Status Run();

 private:
  Status CollectMbdb();
  Status CollectManifestDb();
  // Adds one stored file of the manifest. `keyField` empty: copied as is.
  void AddJob(const std::string& name, const fs::path& source, const fs::path& target,
              const std::string& keyField, uint32_t protectionClass, uint64_t recordedSize);
  Status RunJobs();
  Status FinishFile(const fs::path& source, const fs::path& target);  // a copy without key
  void Written(bool decrypted);
  void Problem(const std::string& name, Status s, const std::string& reason);
  Status Fatal(Status s, const std::string& message);

  const UnlockedBackup& unlocked_;
  const fs::path output_;
  const DecryptOptions& options_;
  const DecryptEvents& events_;
  DecryptSummary& summary_;
  std::vector<Job> jobs_;
  std::set<std::string> seen_;
  std::mutex mutex_;
  bool newEra_ = false;
};

void CopyWriter::Written(bool decrypted) {
  // Called under mutex_ or before/after the workers.
  ++summary_.filesWritten;
  if (decrypted) ++summary_.filesDecrypted;
  if (events_.fileWritten) events_.fileWritten(summary_.filesWritten);
}

void CopyWriter::Problem(const std::string& name, Status s, const std::string& reason) {
  FileProblem p{name, s, reason};
  if (events_.fileFailed) events_.fileFailed(p);
  summary_.problems.push_back(std::move(p));
}

Status CopyWriter::Fatal(Status s, const std::string& message) {
  summary_.error = message;
  return s;
}

void CopyWriter::AddJob(const std::string& name, const fs::path& source, const fs::path& target,
                        const std::string& keyField, uint32_t protectionClass, uint64_t recordedSize) {
  if (!seen_.insert(name).second) return;  // listed twice: one file, written once
  std::error_code ec;
  // Only a file that is not there at all is missing; a folder, a link or a
  // FIFO in its place is a file that fails, with its reason.
  if (!fs::exists(fs::symlink_status(source, ec))) {
    ++summary_.filesMissing;
    if (events_.fileMissing) events_.fileMissing(name);
    return;
  }
  Job job;
  job.name = name;
  job.source = source;
  job.target = target;
  job.recordedSize = recordedSize;
  if (!keyField.empty()) {
    const Status s = UnwrapWithClassKey(unlocked_.classKeys, keyField, protectionClass, job.key);
    if (s != status::kOk) {
      Problem(name, status::kBadData,
              s == status::kWrongPassword
                  ? "its file key fails the integrity check (damaged key)"
                  : Format("its file key cannot be unwrapped (protection class %u not available or key malformed)",
                           protectionClass));
      return;
    }
    job.encrypted = true;
  }
  jobs_.push_back(std::move(job));
}

Status CopyWriter::CollectMbdb() {
  std::vector<MbdbRecord> records;
  const Status s = ReadMbdbRecords(unlocked_.folder / kMbdbFileName, records);
  if (s != status::kOk) {
    return Fatal(s == status::kManifestOpen ? s : status::kManifestOpen, "Manifest.mbdb cannot be read");
  }
  for (const MbdbRecord& r : records) {
    if (!r.IsFile()) continue;  // folders and links have no stored data
    const std::string name = Sha1Hex(r.Key());
    AddJob(name, unlocked_.folder / name, output_ / name, r.encryptionKey, r.protectionClass, r.size);
  }
  return status::kOk;
}

Status CopyWriter::CollectManifestDb() {
  const fs::path source = unlocked_.folder / kManifestDbFileName;
  const fs::path work = output_ / kWorkManifestDb;
  bool writeFailed = false;
  std::string reason;
  const Status s = WriteStoredFileImpl(source, work, unlocked_.hasManifestKey ? &unlocked_.manifestKey : nullptr,
                                       kNoRecordedSize, options_.chunkBytes, writeFailed, reason);
  if (s != status::kOk) {
    if (writeFailed) return Fatal(s, "Manifest.db: " + reason);
    return Fatal(unlocked_.hasManifestKey ? status::kBadData : status::kManifestOpen, "Manifest.db: " + reason);
  }
  {
    char header[16] = {};
    std::FILE* f = std::fopen(work.c_str(), "rb");
    const size_t got = f ? std::fread(header, 1, sizeof header, f) : 0;
    if (f) std::fclose(f);
    if (got != sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0) {
      std::error_code ec;
      fs::remove(work, ec);
      return Fatal(status::kBadData, "Manifest.db does not decipher to an SQLite database");
    }
  }
  std::vector<ManifestDbRow> rows;
  std::string error;
  const Status rs = ReadManifestDbRows(work, rows, &error);
  if (rs != status::kOk && rows.empty()) {
    std::error_code ec;
    fs::remove(work, ec);
    return Fatal(rs, "Manifest.db cannot be read: " + error);
  }
  for (const ManifestDbRow& row : rows) {
    if (row.flags != 1) continue;  // folders and links have no stored data
    if (!IsHashedName(row.fileID)) {
      Problem(row.fileID, status::kBadData, "not a 40-digit hashed name; skipped");
      continue;
    }
    const std::string name = AsciiLower(row.fileID);
    const fs::path from = ResolveStoredPath(unlocked_.folder, name);
    const fs::path to = output_ / name.substr(0, 2) / name;
    const FileProperties& p = row.properties;
    AddJob(name, from, to, row.hasProperties ? p.encryptionKey : std::string(), p.protectionClass,
           row.hasProperties && p.hasSize ? p.size : kNoRecordedSize);
  }
  return status::kOk;
}

Status CopyWriter::RunJobs() {
  // Folders first, from one thread.
  std::set<fs::path> folders;
  for (const Job& j : jobs_) folders.insert(j.target.parent_path());
  for (const fs::path& f : folders) {
    std::error_code ec;
    fs::create_directories(f, ec);
    if (ec) return Fatal(ec.value(), "cannot create " + f.string() + ": " + ec.message());
  }
  unsigned threads = options_.threads;
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  threads = static_cast<unsigned>(std::min<size_t>(threads, jobs_.size()));
  if (threads == 0) return status::kOk;

  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  Status fatal = status::kOk;
  auto work = [&] {
    while (!stop.load()) {
      const size_t i = next.fetch_add(1);
      if (i >= jobs_.size()) break;
      const Job& job = jobs_[i];
      bool writeFailed = false;
      std::string reason;
      const Status s = WriteStoredFileImpl(job.source, job.target, job.encrypted ? &job.key : nullptr,
                                           job.encrypted ? job.recordedSize : kNoRecordedSize,
                                           options_.chunkBytes, writeFailed, reason);
      std::lock_guard<std::mutex> lock(mutex_);
      if (s == status::kOk) {
        if (!job.encrypted) ++summary_.filesCopied;
        Written(job.encrypted);
      } else if (writeFailed) {
        if (fatal == status::kOk) {
          fatal = s;
          summary_.error = reason;
        }
        stop = true;
      } else {
        Problem(job.name, s, reason);
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  return fatal;
}

Status CopyWriter::FinishFile(const fs::path& source, const fs::path& target) {
  bool writeFailed = false;
  std::string reason;
  const Status s = WriteStoredFileImpl(source, target, nullptr, kNoRecordedSize, options_.chunkBytes, writeFailed, reason);
  if (s != status::kOk) return Fatal(s, target.filename().string() + ": " + reason);
  Written(false);
  return status::kOk;
}

Status CopyWriter::Run() {
  std::error_code ec;
  fs::create_directories(output_, ec);
  if (!fs::is_directory(output_, ec)) {
    return Fatal(ec.value() ? ec.value() : status::kBadData, "cannot create the output folder " + output_.string());
  }
  const ManifestKind kind = FindManifest(unlocked_.folder);
  if (kind == ManifestKind::None) return Fatal(status::kManifestOpen, "the backup folder has no manifest");
  newEra_ = kind == ManifestKind::ManifestDb;
  if (Status s = newEra_ ? CollectManifestDb() : CollectMbdb(); s != status::kOk) return s;

  if (Status s = RunJobs(); s != status::kOk) {
    fs::remove(output_ / kWorkManifestDb, ec);
    return s;
  }

  // The manifest and the plists last, Info.plist at the very end.
  if (newEra_) {
    fs::rename(output_ / kWorkManifestDb, output_ / kManifestDbFileName, ec);
    if (ec) return Fatal(ec.value(), "cannot rename Manifest.db: " + ec.message());
    Written(unlocked_.hasManifestKey);
  } else {
    if (Status s = FinishFile(unlocked_.folder / kMbdbFileName, output_ / kMbdbFileName); s != status::kOk) return s;
    if (fs::is_regular_file(unlocked_.folder / "Manifest.mbdx", ec)) {
      if (Status s = FinishFile(unlocked_.folder / "Manifest.mbdx", output_ / "Manifest.mbdx"); s != status::kOk)
        return s;
    }
  }
  if (fs::is_regular_file(unlocked_.folder / "Status.plist", ec)) {
    if (Status s = FinishFile(unlocked_.folder / "Status.plist", output_ / "Status.plist"); s != status::kOk) return s;
  }
  bool writeFailed = false;
  if (Status s = WritePlainManifestPlist(unlocked_.folder / "Manifest.plist", output_ / "Manifest.plist", writeFailed);
      s != status::kOk) {
    return Fatal(s, "cannot write Manifest.plist");
  }
  Written(false);
  if (fs::is_regular_file(unlocked_.folder / "Info.plist", ec)) {
    if (Status s = FinishFile(unlocked_.folder / "Info.plist", output_ / "Info.plist"); s != status::kOk) return s;
  }
  return status::kOk;
}

}  // namespace

Status UnlockBackup(const fs::path& backupFolder, std::string_view password, UnlockedBackup& unlocked,
                    std::string* error) {
  auto fail = [&](Status s, const std::string& why) {
    if (error) *error = why;
    return s;
  };
  std::string why;
  PlistDoc manifest = PlistDoc::Load(backupFolder / "Manifest.plist", &why);
  if (!manifest) return fail(status::kManifestOpen, "Manifest.plist: " + why);
  const auto bagBytes = PlistData(manifest.Get("BackupKeyBag"));
  if (!bagBytes) return fail(status::kBadData, "Manifest.plist has no key bag (BackupKeyBag): the encrypted backup cannot be deciphered");
  KeyBag bag;
  if (ParseKeyBag(*bagBytes, bag) != status::kOk) return fail(status::kBadData, "the key bag is damaged or truncated");
  Key256 kek{};
  if (DeriveKeyEncryptionKey(bag, password, kek) != status::kOk)
    return fail(status::kBadData, "the key bag's iteration counts are unusable");
  UnlockedBackup result;
  result.folder = backupFolder;
  const Status s = UnlockClassKeys(bag, kek, result.classKeys);
  std::memset(kek.data(), 0, kek.size());
  if (s == status::kWrongPassword) return fail(s, "Wrong password");
  if (s != status::kOk) {
    return fail(s, "the key bag is damaged: its class keys cannot be unwrapped with the password");
  }
  if (const auto manifestKey = PlistData(manifest.Get("ManifestKey"))) {
    if (UnwrapWithClassKey(result.classKeys, *manifestKey, 0, result.manifestKey) != status::kOk)
      return fail(status::kBadData, "ManifestKey cannot be unwrapped");
    result.hasManifestKey = true;
  }
  unlocked = std::move(result);
  return status::kOk;
}

Status WriteDecryptedCopy(const UnlockedBackup& unlocked, const fs::path& outputFolder, const DecryptOptions& options,
                          const DecryptEvents& events, DecryptSummary& summary) {
  CopyWriter writer(unlocked, outputFolder, options, events, summary);
  return writer.Run();
}

Status DecryptBackup(const fs::path& backupFolder, const fs::path& outputFolder, std::string_view password,
                     const DecryptOptions& options, const DecryptEvents& events, DecryptSummary& summary) {
  UnlockedBackup unlocked;
  if (Status s = UnlockBackup(backupFolder, password, unlocked, &summary.error); s != status::kOk) return s;
  return WriteDecryptedCopy(unlocked, outputFolder, options, events, summary);
}

Status WriteStoredFile(const fs::path& source, const fs::path& target, const Key256* key, uint64_t recordedSize,
                       size_t chunkBytes, bool& writeFailed, std::string& reason) {
  return WriteStoredFileImpl(source, target, key, recordedSize, chunkBytes, writeFailed, reason);
}

Status WritePlainManifestPlist(const fs::path& source, const fs::path& target, bool& writeFailed) {
  writeFailed = false;
  std::string bytes;
  {
    const int fd = OpenStoredFile(source, {}, nullptr);
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (!f) {
      if (fd >= 0) ::close(fd);
      return status::kManifestOpen;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0 && bytes.size() < (64u << 20)) bytes.append(buffer, got);
    std::fclose(f);
  }
  PlistDoc doc = PlistDoc::Parse(bytes);
  if (!doc || plist_get_node_type(doc.root()) != PLIST_DICT) return status::kManifestOpen;
  if (doc.Get("BackupKeyBag")) plist_dict_remove_item(doc.root(), "BackupKeyBag");
  if (doc.Get("ManifestKey")) plist_dict_remove_item(doc.root(), "ManifestKey");
  plist_dict_set_item(doc.root(), "IsEncrypted", plist_new_bool(0));
  char* out = nullptr;
  uint32_t len = 0;
  if (bytes.compare(0, 8, "bplist00") == 0) {
    plist_to_bin(doc.root(), &out, &len);
  } else {
    plist_to_xml(doc.root(), &out, &len);
  }
  if (!out) return status::kBadData;
  const std::string text(out, len);
  free(out);

  const fs::path part = PartPath(target);
  std::FILE* f = std::fopen(part.c_str(), "wb");
  int e = 0;
  if (!f) {
    e = errno ? errno : EIO;
  } else {
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) e = errno ? errno : EIO;
    if (std::fclose(f) != 0 && e == 0) e = errno ? errno : EIO;
  }
  std::error_code ec;
  if (e == 0) {
    fs::rename(part, target, ec);
    if (ec) e = ec.value();
  }
  if (e != 0) {
    writeFailed = true;
    fs::remove(part, ec);
    return e;
  }
  return status::kOk;
}

}  // namespace orbanix::decrypt
