#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace orbanix {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTemporaryPrefix = ".orbanix-";
constexpr const char* kTemporarySuffix = ".part";

// The temporary files being written, for a signal handler that ends the
// process at once: a fixed table of C strings it reads without allocating or
// locking. A slot's state says whether its path may be read: it is free (0),
// being filled (1), holds a path (2), or is being removed by the handler
// (3; the slot then stays taken, the process is ending).
constexpr int kTemporarySlots = 64;
constexpr size_t kTemporaryPathBytes = 4096;
struct TemporarySlot {
  std::atomic<int> state{0};
  char path[kTemporaryPathBytes];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");
TemporarySlot gTemporaries[kTemporarySlots];

int RegisterTemporary(const std::string& path) {
  if (path.size() >= kTemporaryPathBytes) return -1;
  for (int i = 0; i < kTemporarySlots; ++i) {
    int expected = 0;
    if (gTemporaries[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(gTemporaries[i].path, path.c_str(), path.size() + 1);
      gTemporaries[i].state.store(2, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

void ReleaseTemporary(int& slot) {
  if (slot < 0) return;
  int expected = 2;
  gTemporaries[slot].state.compare_exchange_strong(expected, 0);
  slot = -1;
}

void Say(std::string* reason, int* error, int code, std::string text) {
  if (reason) *reason = std::move(text);
  if (error) *error = code;
}

// The real path of an open descriptor (Linux keeps it under /proc), or of
// the path when /proc is not there.
fs::path RealPathOf(int fd, const fs::path& path) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::error_code ec;
  fs::path real = fs::read_symlink(link, ec);
  if (!ec && real.is_absolute()) return real;
  real = fs::canonical(path, ec);
  return ec ? fs::path() : real;
}

bool Inside(const fs::path& real, const fs::path& realRoot) {
  if (real.empty() || realRoot.empty()) return false;
  auto r = realRoot.begin();
  auto p = real.begin();
  for (; r != realRoot.end(); ++r, ++p) {
    if (r->empty()) continue;  // a trailing separator of the root
    if (p == real.end() || *p != *r) return false;
  }
  return p != real.end();
}

}  // namespace

std::string FileTypeWords(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a file";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a FIFO";
    case S_IFLNK: return "a symbolic link";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "not a regular file";
  }
}

bool RealPathInside(const fs::path& path, const fs::path& root) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec) return false;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) return false;
  return Inside(real, realRoot);
}

int OpenStoredFile(const fs::path& path, const fs::path& root, std::string* reason, int* error, uint64_t* size) {
  // Not blocking: opening a FIFO for reading would otherwise wait for a
  // writer that never comes. Not following: a link is refused by the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    const int e = errno;
    Say(reason, error, e, e == ELOOP ? "is a symbolic link" : std::strerror(e));
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int e = errno;
    ::close(fd);
    Say(reason, error, e, std::strerror(e));
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    Say(reason, error, S_ISDIR(info.st_mode) ? EISDIR : EINVAL, "is " + FileTypeWords(info.st_mode) + ", not a file");
    return -1;
  }
  if (!root.empty()) {
    std::error_code ec;
    const fs::path realRoot = fs::canonical(root, ec);
    if (ec || !Inside(RealPathOf(fd, path), realRoot)) {
      ::close(fd);
      Say(reason, error, EXDEV, "lies outside the backup folder");
      return -1;
    }
  }
  // Reads from here on may wait for the disk as any read does.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (size) *size = static_cast<uint64_t>(info.st_size);
  return fd;
}

bool EntryExists(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool IsTemporaryOutputName(const std::string& fileName) {
  const size_t prefix = std::strlen(kTemporaryPrefix), suffix = std::strlen(kTemporarySuffix);
  return fileName.size() > prefix + suffix && fileName.compare(0, prefix, kTemporaryPrefix) == 0 &&
         fileName.compare(fileName.size() - suffix, suffix, kTemporarySuffix) == 0;
}

OutputFile::~OutputFile() { Discard(); }

Status OutputFile::Open(const fs::path& finalPath) {
  Discard();
  // Only a file is ever replaced: never a folder, nor a device or a FIFO
  // that the rename would put a file in place of.
  struct stat existing {};
  if (::stat(finalPath.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    return S_ISDIR(existing.st_mode) ? EISDIR : EEXIST;
  }
  final_ = finalPath;
  // A short temporary name of its own: the final name may already be as
  // long as the file system allows.
  std::string pattern = (finalPath.parent_path() / kTemporaryPrefix).string() + "XXXXXX" + kTemporarySuffix;
  const int fd = ::mkostemps(pattern.data(), static_cast<int>(std::strlen(kTemporarySuffix)), O_CLOEXEC);
  if (fd < 0) return errno;
  ::fchmod(fd, 0644);
  fd_ = fd;
  temporary_ = pattern;
  slot_ = RegisterTemporary(pattern);
  return status::kOk;
}

std::FILE* OutputFile::stream() {
  if (!stream_ && fd_ >= 0) stream_ = ::fdopen(fd_, "wb");
  return stream_;
}

Status OutputFile::Write(const void* data, size_t size) {
  if (fd_ < 0) return status::kBadData;
  if (stream_) {
    errno = 0;
    if (size > 0 && std::fwrite(data, 1, size, stream_) != size) return errno ? errno : EIO;
    return status::kOk;
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return status::kOk;
}

Status OutputFile::Commit() {
  if (fd_ < 0) return status::kBadData;
  Status result = status::kOk;
  if (stream_) {
    errno = 0;
    if (std::fflush(stream_) != 0) result = errno ? errno : EIO;
    if (std::fclose(stream_) != 0 && result == status::kOk) result = errno ? errno : EIO;
    stream_ = nullptr;
  } else if (::close(fd_) != 0) {
    result = errno;
  }
  fd_ = -1;
  if (result == status::kOk && ::rename(temporary_.c_str(), final_.c_str()) != 0) result = errno;
  if (result != status::kOk) {
    ::unlink(temporary_.c_str());
  }
  ReleaseTemporary(slot_);
  temporary_.clear();
  return result;
}

void OutputFile::Discard() {
  if (stream_) {
    std::fclose(stream_);
    stream_ = nullptr;
  } else if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  ReleaseTemporary(slot_);
  temporary_.clear();
}

void RemoveTemporaryOutputFiles() {
  for (TemporarySlot& slot : gTemporaries) {
    int expected = 2;
    if (slot.state.compare_exchange_strong(expected, 3, std::memory_order_acquire)) ::unlink(slot.path);
  }
}

}  // namespace orbanix
