#include "sources/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/folders.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "sources/media_sniffer.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCopyChunk = 65536;

// Writes all of `size` bytes; 0 or errno.
Status WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return status::kOk;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  Status Close() {
    const int rc = fd_ >= 0 ? close(fd_) : 0;
    fd_ = -1;
    return rc == 0 ? status::kOk : errno;
  }

 private:
  int fd_;
};

}  // namespace

Status CopyForPreviewTo(const fs::path& dataFolder, const fs::path& source, fs::path& copy, ProgressCallback callback,
                        void* user) {
  copy.clear();
  std::string sniffed;
  int64_t counter = 0;
  if (MediaSniffer::SniffFile(source, sniffed, counter) != status::kOk || sniffed.empty()) return status::kBadData;
  const char* name = nullptr;
  switch (PreviewKindOf(AsciiLower(SniffedExtension(sniffed)))) {
    case PreviewKind::Image: name = "tmp.jpg"; break;
    case PreviewKind::Audio: name = "tmp.wav"; break;
    case PreviewKind::Video: name = "tmp.avi"; break;
    case PreviewKind::None: return status::kOk;
  }
  copy = dataFolder / name;
  Status result = status::kOk;
  {
    Fd in(OpenStoredFile(source, {}, nullptr));
    // The copy replaces an earlier preview of the same kind entirely.
    Fd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!in.ok() || !out.ok()) {
      result = status::kBadData;
    } else {
      uint64_t size = 0;
      MediaSniffer::FileSize(source, size);
      std::vector<char> buffer(kCopyChunk);
      uint64_t copied = 0;
      for (;;) {
        const ssize_t n = read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          result = errno;
          break;
        }
        if (n == 0) break;
        if ((result = WriteAll(out.get(), buffer.data(), static_cast<size_t>(n))) != status::kOk) break;
        copied += static_cast<uint64_t>(n);
        if (callback && size > 0) {
          if (const int answer = callback(user, static_cast<int>(copied * 100 / size))) {
            result = answer;
            break;
          }
        }
      }
      if (const Status closed = out.Close(); result == status::kOk) result = closed;
    }
  }
  if (callback) callback(user, 100);
  return result;
}

Status CopyFileWithProgress(const fs::path& source, const fs::path& destination, CopyCallback callback,
                            void* user, const fs::path& root) {
  CreateFolderTree(destination.parent_path());
  // The stored file only when it is a regular file (inside `root` when
  // given); the copy under a temporary name until it is whole.
  uint64_t size = 0;
  Fd in(OpenStoredFile(source, root, nullptr, nullptr, &size));
  OutputFile out;
  if (!in.ok() || out.Open(destination) != status::kOk) {
    if (callback) callback(user, 100, status::kBadData, destination);
    return status::kBadData;
  }
  if (size == 0) return out.Commit();
  std::vector<char> buffer(kCopyChunk);
  uint64_t copied = 0;
  for (;;) {
    const ssize_t n = read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    Status chunk = n < 0 ? errno : status::kOk;
    if (n > 0) chunk = out.Write(buffer.data(), static_cast<size_t>(n));
    if (n > 0 && chunk == status::kOk) copied += static_cast<uint64_t>(n);
    // A file that ends before the length it had when opened is cut short.
    if (n == 0 && chunk == status::kOk && copied < size) chunk = status::kShortRead;
    const bool last = chunk == status::kOk && copied >= size;
    if (last) chunk = out.Commit();  // a failed final flush or rename is a failed write too
    if (chunk != status::kOk) {
      // A failed read or write ends the copy with that error; the file is
      // never reported as done, and nothing of it stays behind.
      if (callback) callback(user, static_cast<int>(copied * 100 / size), chunk, destination);
      return chunk;
    }
    const int percent = last ? 100 : static_cast<int>(copied * 100 / size);
    if (callback) {
      if (const int answer = callback(user, percent, status::kOk, destination)) return answer;
    }
    if (last) return status::kOk;
  }
}

namespace {

Status ExportEntries(const std::vector<ChatTextEntry>& entries, const fs::path& output, CopyCallback callback,
                     void* user) {
  return ExportChatText(output, entries, [&](int percent, Status s, const fs::path& path) {
    return callback ? callback(user, percent, s, path) : 0;
  });
}

}  // namespace

Status ExportWhatsAppChatTo(const WhatsAppChatMap& chats, int chatKey, const fs::path& output, CopyCallback callback,
                            void* user) {
  auto chat = chats.find(chatKey);
  return ExportEntries(chat == chats.end() ? std::vector<ChatTextEntry>() : WhatsAppChatText(chat->second), output,
                       callback, user);
}

Status ExportPeerChatTo(const ChatAccountMap& accounts, const std::string& account, const std::string& chat,
                        const fs::path& output, CopyCallback callback, void* user) {
  std::vector<ChatTextEntry> entries;
  if (auto a = accounts.find(account); a != accounts.end()) {
    if (auto c = a->second.find(chat); c != a->second.end()) entries = PeerChatText(c->second, chat);
  }
  return ExportEntries(entries, output, callback, user);
}

}  // namespace orbanix
