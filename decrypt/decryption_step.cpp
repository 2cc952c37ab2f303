#include "decrypt/decryption_step.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "platform/folders.h"
#include "platform/process.h"

namespace orbanix::decrypt {

namespace {

constexpr size_t kChunkBytes = 4096;
constexpr size_t kMaxListedLines = 10000;
constexpr size_t kMaxLineBytes = 64 * 1024;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Joins the companion's output into whole lines for the report (the
// progress rules work on raw chunks; this is only what the caller may want
// to show afterwards).
class LineCollector {
 public:
  explicit LineCollector(DecryptionStepReport& report) : report_(report) {}

  void Feed(std::string_view chunk) {
    for (char c : chunk) {
      if (c == '\n') {
        Line();
        pending_.clear();
        overlong_ = false;
      } else if (pending_.size() < kMaxLineBytes) {
        pending_.push_back(c);
      } else {
        overlong_ = true;
      }
    }
  }
  void Flush() {
    if (!pending_.empty()) Line();
    pending_.clear();
  }

 private:
  void Line() {
    if (overlong_) return;
    std::string_view line(pending_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (StartsWith(line, "Count:")) {
      report_.filesWritten = FirstCount(line);
    } else if (StartsWith(line, "Failed: ")) {
      if (report_.failedFiles.size() < kMaxListedLines) report_.failedFiles.emplace_back(line.substr(8));
    } else if (StartsWith(line, "Missing: ")) {
      if (report_.missingFiles.size() < kMaxListedLines) report_.missingFiles.emplace_back(line.substr(9));
    } else if (StartsWith(line, "Error: ")) {
      report_.error.assign(line.substr(7));
    }
  }

  DecryptionStepReport& report_;
  std::string pending_;
  bool overlong_ = false;
};

// The status at the front of an "Error:" line's text ("28: No space ...").
Status ErrorLineStatus(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  int64_t value = 0;
  size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 10) {
    value = value * 10 + (text[i] - '0');
    ++i;
    ++digits;
  }
  if (digits == 0 || value == 0 || value > INT32_MAX) return status::kBadData;
  return static_cast<Status>(negative ? -value : value);
}

}  // namespace

uint64_t FirstCount(std::string_view chunk) {
  const size_t at = chunk.find("Count:");
  if (at == std::string_view::npos) return 0;
  size_t i = at + 6;
  while (i < chunk.size() && (chunk[i] == ' ' || chunk[i] == '\t')) ++i;
  uint64_t value = 0;
  for (; i < chunk.size() && chunk[i] >= '0' && chunk[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(chunk[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

Status CompanionOutput::Chunk(std::string_view chunk) {
  if (chunk.find("Wrong password") != std::string_view::npos) return status::kWrongPassword;
  uint64_t n = 0;
  if (chunk.find("Count:") != std::string_view::npos) {
    if (progress_.progress == 0) {
      progress_.progress = 1;
      if (progress_.callback) {
        if (Status s = progress_.callback(1); s != 0) return s;
      }
    }
    n = FirstCount(chunk);
  }
  if (progress_.callback) {
    int32_t value = progress_.progress;
    if (total_ > 0) {
      const unsigned __int128 share =
          static_cast<unsigned __int128>(std::max<int32_t>(progress_.step, 0)) * std::min(n, total_) / total_;
      value = static_cast<int32_t>(static_cast<int64_t>(share) + progress_.progress);
    }
    if (Status s = progress_.callback(value); s != 0) return s;
  }
  return status::kOk;
}

Status RunDecryptionStep(const DecryptionStepRequest& request, StepProgress& progress, fs::path& outputFolder,
                         DecryptionStepReport* report) {
  DecryptionStepReport local;
  DecryptionStepReport& rep = report ? *report : local;
  rep = DecryptionStepReport{};
  // The password travels as one line; a line break cannot be sent.
  if (request.password.find_first_of("\r\n") != std::string::npos) return status::kBadData;
  if (request.backupFolder.empty()) return status::kBadData;

  const fs::path companion = request.companion.empty() ? CompanionPath() : request.companion;
  const fs::path output = request.outputFolder.empty() ? DefaultDecryptionOutputFolder() : request.outputFolder;
  if (output.empty()) return status::kBadData;
  if (Status s = CreateFolderTree(output); s != status::kOk) return s;
  outputFolder = output;

  ChildProcess child;
  if (child.Start(companion, {request.backupFolder.string(), output.string()}) != status::kOk) {
    return status::kBadData;
  }
  // A companion that ends before reading its input makes this write fail;
  // its output and exit code say what happened.
  child.WriteInput(request.password + "\n");
  child.CloseInput();

  CompanionOutput rules(progress, request.fileCount);
  LineCollector lines(rep);
  Status result = status::kOk;
  char buffer[kChunkBytes];
  for (;;) {
    // Blocks until the companion writes or closes its output; everything
    // still in the pipe after it ended is read before the end is seen.
    size_t got = 0;
    if (child.ReadOutput(buffer, sizeof buffer, got) != status::kOk || got == 0) break;
    const std::string_view chunk(buffer, got);
    lines.Feed(chunk);
    result = rules.Chunk(chunk);
    if (result != status::kOk) break;
  }
  lines.Flush();
  // A cancel stops the companion, so that it does not go on writing into a
  // folder the caller is about to empty; after "Wrong password" it has
  // nothing left to do.
  if (result != status::kOk) child.Kill();
  int exitCode = -1;
  if (child.Wait(exitCode) == status::kOk) rep.exitCode = exitCode;

  if (result == status::kOk) {
    switch (rep.exitCode) {
      case kExitComplete:
      case kExitSomeFilesFailed:
        break;
      case kExitWrongPassword:
        result = status::kWrongPassword;
        break;
      default:
        // The exit code is read so that a run that stopped (a full disk, a
        // damaged key bag) is not taken for a complete copy.
        result = rep.error.empty() ? status::kBadData : ErrorLineStatus(rep.error);
        break;
    }
  }
  if (progress.callback) progress.callback(progress.step + progress.progress);
  return result;
}

fs::path CompanionPath() { return ProgramFolder() / kCompanionName; }

fs::path DefaultDecryptionOutputFolder() {
  const fs::path work = WorkFolder();
  if (work.empty()) return {};
  return work / "TamselOrbanixBackupPath";
}

uint64_t CountBackupFiles(const fs::path& backupFolder) {
  uint64_t count = 0;
  std::error_code ec;
  fs::directory_iterator it(backupFolder, ec);
  if (ec) return 0;
  auto isHexPair = [](const std::string& n) {
    return n.size() == 2 && std::isxdigit(static_cast<unsigned char>(n[0])) &&
           std::isxdigit(static_cast<unsigned char>(n[1]));
  };
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    std::error_code e;
    if (it->is_regular_file(e)) {
      ++count;
    } else if (it->is_directory(e) && isHexPair(name)) {
      fs::directory_iterator sub(it->path(), e);
      if (e) continue;
      for (; sub != fs::directory_iterator(); sub.increment(e)) {
        if (e) break;
        const std::string subName = sub->path().filename().string();
        std::error_code f;
        if (!subName.empty() && subName[0] != '.' && sub->is_regular_file(f)) ++count;
      }
    }
  }
  return count;
}

}  // namespace orbanix::decrypt
