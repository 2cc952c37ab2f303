// The decryption step of opening an encrypted backup: runs the companion
// program orbanix-decrypt, which writes a deciphered copy of the backup into
// an output folder, and turns its console output into progress.
//
// How the companion is run:
//   - from the program folder, where it is installed beside this program;
//   - with two arguments, the backup folder and the output folder, each
//     passed as its own argument (blanks need no quoting);
//   - the password goes to its standard input as one line, never onto its
//     command line, where every user of the machine could read it;
//   - its standard output and standard error are read through one pipe.
//
// What it prints (one item per line):
//   "Count: N"          N files of the copy are written so far
//   "Wrong password"    the password does not unwrap the class keys
//   "Missing: NAME"     a stored file named in the manifest is absent
//   "Failed: NAME: S: REASON"   one stored file could not be deciphered
//   "Error: S: MESSAGE" the run stopped (S is a status, 28 for a full disk)
// and it ends with 0 (copy complete), 1 (wrong password), 2 (stopped by an
// error), 3 (copy complete but some files failed), 64 (bad arguments).
//
// The output is read in chunks of at most 4096 bytes, and each chunk is
// judged alone: "Wrong password" anywhere in it ends the step with -110 and
// no count of that chunk is reported; otherwise the first "Count:" in it
// gives N (64-bit, leading blanks allowed, 0 without digits), and
//   step * N / total + progress
// is reported through the callback (integer division; N is taken as at
// most total, so the step never reports past its share, and a total of 0
// reports progress alone). The first count
// ever seen, while progress is 0, first sets progress to 1 and reports 1.
// A line split between two chunks is not joined for this; the companion
// prints its counts often and on lines of their own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace orbanix::decrypt {

namespace fs = std::filesystem;

// File name of the companion in the program folder.
inline constexpr const char* kCompanionName = "orbanix-decrypt";

// The companion's exit codes.
inline constexpr int kExitComplete = 0;
inline constexpr int kExitWrongPassword = 1;
inline constexpr int kExitError = 2;
inline constexpr int kExitSomeFilesFailed = 3;
inline constexpr int kExitUsage = 64;

// The progress state the step shares with its caller (the local source).
struct StepProgress {
  int32_t progress = 0;  // where this step starts; set to 1 at the first count when 0
  int32_t step = 0;      // the share of the scale this step may use
  // The registered progress callback, or empty. 0 to go on; any other value
  // cancels and becomes the step's result.
  std::function<int32_t(int32_t value)> callback;
};

// The chunk rules above, apart from any pipe, so that they can be checked
// chunk by chunk.
class CompanionOutput {
 public:
  CompanionOutput(StepProgress& progress, uint64_t total) : progress_(progress), total_(total) {}
  // 0 to go on; kWrongPassword; or the callback's non-zero answer.
  Status Chunk(std::string_view chunk);

 private:
  StepProgress& progress_;
  uint64_t total_;
};

// The value N that follows the first "Count:" of a chunk, or 0 when the
// chunk has no "Count:" or no digits follow it. Saturates instead of
// overflowing.
uint64_t FirstCount(std::string_view chunk);

struct DecryptionStepRequest {
  std::string password;       // UTF-8; one line (a line break is refused with 87)
  uint64_t fileCount = 0;     // the total that counts are divided by (CountBackupFiles)
  fs::path backupFolder;
  fs::path outputFolder;      // empty: DefaultDecryptionOutputFolder()
  fs::path companion;         // empty: CompanionPath()
};

// What the step learnt from the companion besides its result.
struct DecryptionStepReport {
  int exitCode = -1;                     // -1 when the companion did not end normally
  uint64_t filesWritten = 0;             // the last count seen
  std::vector<std::string> failedFiles;  // the "Failed:" lines, without the prefix
  std::vector<std::string> missingFiles;
  std::string error;                     // the "Error:" line, without the prefix
};

// Runs the companion and follows its output. `outputFolder` receives the
// folder of the deciphered copy (created before the run). Returns
//   0       the copy is complete (single files may have failed: `report`)
//   -110    wrong password
//   87      the companion cannot be started, or the request is unusable
//   the callback's non-zero answer (a cancel; the companion is stopped)
//   the status of the companion's "Error:" line when it stopped on an
//   error (28 for a full disk, 87 for a damaged key bag, ...), 87 when it
//   ended abnormally without one.
// After the loop the callback is called once more with step + progress.
Status RunDecryptionStep(const DecryptionStepRequest& request, StepProgress& progress, fs::path& outputFolder,
                         DecryptionStepReport* report = nullptr);

// The companion beside the running program.
fs::path CompanionPath();

// Work folder + "TamselOrbanixBackupPath": where the deciphered copy goes.
fs::path DefaultDecryptionOutputFolder();

// The number of files the companion will write for this backup, the total
// for the progress: the regular files of the folder and of its two-digit
// subfolders, names beginning with "." skipped.
uint64_t CountBackupFiles(const fs::path& backupFolder);

}  // namespace orbanix::decrypt
