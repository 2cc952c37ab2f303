#include "decrypt/password_input.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace orbanix::decrypt {

namespace fs = std::filesystem;

namespace {

constexpr uintmax_t kMaxPasswordFile = 64 * 1024;

// The first line without its line break.
std::string FirstLine(std::string text) {
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  const size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

}  // namespace

Status ReadPasswordFile(const fs::path& path, std::string& password) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec) return ec.value() ? ec.value() : status::kBadData;
  if (!fs::is_regular_file(st) && st.type() != fs::file_type::fifo && st.type() != fs::file_type::character) {
    return status::kBadData;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return errno ? errno : status::kBadData;
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    text.append(buffer, got);
    if (text.size() > kMaxPasswordFile) {
      std::fclose(f);
      return status::kBadData;
    }
    // A pipe or terminal may never end; the first line is all we need.
    if (text.find('\n') != std::string::npos && !fs::is_regular_file(st)) break;
  }
  const bool failed = std::ferror(f) != 0;
  const int e = errno;
  std::fclose(f);
  if (failed) return e ? e : status::kBadData;
  password = FirstLine(std::move(text));
  return status::kOk;
}

Status PromptPasswordHidden(const std::string& prompt, std::string& password) {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno ? errno : ENXIO;
  termios saved{};
  if (tcgetattr(fd, &saved) != 0) {
    const int e = errno;
    close(fd);
    return e ? e : ENXIO;
  }
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the line break still shows, so the cursor moves on
  if (!prompt.empty() && write(fd, prompt.data(), prompt.size()) < 0) {
    // The prompt is a courtesy; reading goes on.
  }
  tcsetattr(fd, TCSAFLUSH, &quiet);
  std::string line;
  Status result = status::kOk;
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = errno ? errno : EIO;
      break;
    }
    if (n == 0) {
      result = status::kCancelled;
      break;
    }
    if (c == '\n') break;
    if (line.size() < kMaxPasswordFile) line.push_back(c);
  }
  tcsetattr(fd, TCSAFLUSH, &saved);
  close(fd);
  if (result != status::kOk) return result;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = std::move(line);
  return status::kOk;
}

}  // namespace orbanix::decrypt
