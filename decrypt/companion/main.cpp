// orbanix-decrypt BACKUP_FOLDER OUTPUT_FOLDER
//
// Writes the deciphered copy of an encrypted backup into OUTPUT_FOLDER. The
// password is read from standard input, one line (the line break and a
// carriage return before it removed, nothing else), so that it never shows
// in the process list; on a terminal it is asked for without echo. The output lines and exit codes are those that the
// decryption step reads (decrypt/decryption_step.h).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "decrypt/backup_decryptor.h"
#include "decrypt/decryption_step.h"
#include "decrypt/password_input.h"
#include "orbanix_version.h"
#include "platform/text.h"

using namespace orbanix;
using namespace orbanix::decrypt;

namespace {

int Usage(int code) {
  std::fprintf(code == 0 ? stdout : stderr,
               "usage: %s BACKUP_FOLDER OUTPUT_FOLDER\n"
               "Writes a deciphered copy of an encrypted iPhone backup. The password is read\n"
               "from standard input (one line).\n",
               kCompanionName);
  return code;
}

// Lines go out whole and at once: the reader judges them as they arrive.
void Say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) return Usage(0);
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("%s %s\n", kCompanionName, kVersion);
    return 0;
  }
  if (argc != 3) return Usage(kExitUsage);
  const fs::path backup = argv[1];
  const fs::path output = argv[2];

  std::string password;
  if (isatty(STDIN_FILENO)) {
    // Run by hand: ask without echo.
    if (PromptPasswordHidden("Password: ", password) != status::kOk) return kExitUsage;
  } else {
    if (!std::getline(std::cin, password)) password.clear();
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }

  UnlockedBackup unlocked;
  std::string why;
  const Status unlock = UnlockBackup(backup, password, unlocked, &why);
  password.assign(password.size(), '\0');
  if (unlock == status::kWrongPassword) {
    Say("Wrong password");
    return kExitWrongPassword;
  }
  if (unlock != status::kOk) {
    Say(Format("Error: %d: %s", unlock, why.c_str()));
    return kExitError;
  }

  // Counts at most every 20 ms (and always the last one): often enough for
  // the progress to move, rarely enough not to flood the pipe.
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastCount{};
  uint64_t lastPrinted = 0;
  uint64_t latest = 0;
  DecryptEvents events;
  events.fileWritten = [&](uint64_t written) {
    latest = written;
    const auto now = Clock::now();
    if (now - lastCount >= std::chrono::milliseconds(20)) {
      Say(Format("Count: %llu", static_cast<unsigned long long>(written)));
      lastCount = now;
      lastPrinted = written;
    }
  };
  events.fileFailed = [](const FileProblem& p) { Say(Format("Failed: %s: %d: %s", p.hashedName.c_str(), p.status, p.reason.c_str())); };
  events.fileMissing = [](const std::string& name) { Say("Missing: " + name); };

  DecryptSummary summary;
  const Status s = WriteDecryptedCopy(unlocked, output, DecryptOptions{}, events, summary);
  if (latest != lastPrinted) Say(Format("Count: %llu", static_cast<unsigned long long>(latest)));
  if (s != status::kOk) {
    Say(Format("Error: %d: %s", s, summary.error.c_str()));
    return kExitError;
  }
  return summary.problems.empty() ? kExitComplete : kExitSomeFilesFailed;
}
