// Writing the deciphered copy of an encrypted backup: the work of the
// companion program orbanix-decrypt, as a library so that tests and the
// benchmark can call it in-process.
//
// The copy reads exactly as a plain backup of the same era:
//   - every stored file of the manifest, deciphered (or copied as it is when
//     its record has no encryption key), under the same hashed name: flat
//     for Manifest.mbdb backups, in two-digit subfolders for Manifest.db ones;
//   - Manifest.mbdb (and Manifest.mbdx) copied; Manifest.db deciphered with
//     ManifestKey (or copied when the backup has no ManifestKey, as iOS 10.0
//     and 10.1 wrote it);
//   - Status.plist and Info.plist copied, and Manifest.plist rewritten with
//     IsEncrypted false and without BackupKeyBag and ManifestKey, since
//     nothing in the copy is enciphered any more; discovery and the readers
//     then treat the copy as the plain backup it is.
// Every file is first written under its name + ".part" and renamed when
// complete, so an interrupted run (full disk, damaged input) never leaves a
// partial file under a final name. The plists come last, Info.plist at the
// very end: a copy without Info.plist is not a finished copy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "decrypt/keybag.h"
#include "platform/status.h"

namespace orbanix::decrypt {

namespace fs = std::filesystem;

// What unlocking the key bag yields; the password-derived key is computed
// once here and never again in the run.
struct UnlockedBackup {
  fs::path folder;
  ClassKeys classKeys;
  bool hasManifestKey = false;
  Key256 manifestKey{};
};

// Reads Manifest.plist's BackupKeyBag (and ManifestKey), derives the key
// from the password and unwraps the class keys. Returns 0; kWrongPassword;
// 6009 when Manifest.plist cannot be read; 87 when it has no key bag, the
// key bag is damaged or truncated, or ManifestKey does not unwrap. `error`
// says which.
Status UnlockBackup(const fs::path& backupFolder, std::string_view password, UnlockedBackup& unlocked,
                    std::string* error = nullptr);

struct DecryptOptions {
  unsigned threads = 0;            // 0: one per processor, at most 4
  size_t chunkBytes = 1u << 20;    // read size per file; memory per worker is about twice this
};

// One stored file that could not be written to the copy.
struct FileProblem {
  std::string hashedName;
  Status status = 0;
  std::string reason;
};

// Reported while the copy is written; calls never overlap (they are
// serialised, though they come from the worker threads).
struct DecryptEvents {
  std::function<void(uint64_t filesWritten)> fileWritten;
  std::function<void(const FileProblem&)> fileFailed;
  std::function<void(const std::string& hashedName)> fileMissing;
};

struct DecryptSummary {
  uint64_t filesWritten = 0;   // all files of the copy, plists and manifest included
  uint64_t filesDecrypted = 0;
  uint64_t filesCopied = 0;    // stored files without a key, copied as they are
  uint64_t filesMissing = 0;   // in the manifest but not in the backup folder
  std::vector<FileProblem> problems;
  std::string error;           // why the run stopped, when it did
};

// Writes the deciphered copy of an unlocked backup into `outputFolder`
// (created when missing). Returns 0 when the copy is complete, also when
// single files failed (they are in `summary.problems` and absent from the
// copy); a failure to write (a full disk: 28, no permission: 13, ...) stops
// the run with that errno and removes the partial file; 6009 when the
// manifest cannot be read; 87 when Manifest.db does not decipher to a
// database.
Status WriteDecryptedCopy(const UnlockedBackup& unlocked, const fs::path& outputFolder,
                          const DecryptOptions& options, const DecryptEvents& events, DecryptSummary& summary);

// UnlockBackup then WriteDecryptedCopy.
Status DecryptBackup(const fs::path& backupFolder, const fs::path& outputFolder, std::string_view password,
                     const DecryptOptions& options, const DecryptEvents& events, DecryptSummary& summary);

// One stored file. `key` null: copied as it is. Otherwise deciphered
// (AES-256-CBC, zero IV) in chunks, the padding checked and removed and the
// result trimmed to `recordedSize`. Written to `target` + ".part", renamed to
// `target` when complete; removed on any failure. Returns 0; errno of a
// failed read (`writeFailed` false) or write (`writeFailed` true); 87 when
// the stored length is not a multiple of 16 or the padding is wrong; 30 when
// the deciphered file is shorter than `recordedSize`. `reason` says which.
Status WriteStoredFile(const fs::path& source, const fs::path& target, const Key256* key, uint64_t recordedSize,
                       size_t chunkBytes, bool& writeFailed, std::string& reason);

// Manifest.plist for the copy: the original with IsEncrypted set to false
// and BackupKeyBag and ManifestKey removed, in the original's form (XML or
// binary). Written through a ".part" name. errno of a failed write, 6009
// when the original cannot be read.
Status WritePlainManifestPlist(const fs::path& source, const fs::path& target, bool& writeFailed);

}  // namespace orbanix::decrypt
