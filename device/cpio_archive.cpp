#include "device/cpio_archive.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace orbanix::device {

namespace fs = std::filesystem;

namespace {

// Longest stored path accepted; a larger namesize is a damaged header.
constexpr uint64_t kMaxNameSize = 65536;
constexpr size_t kChunk = 1 << 20;

class File {
 public:
  File(const fs::path& path, int flags, mode_t mode = 0) : fd_(::open(path.c_str(), flags | O_CLOEXEC, mode)) {
    error_ = fd_ < 0 ? errno : 0;
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  Status error() const { return error_; }
  Status Close() {
    const int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc == 0 ? status::kOk : errno;
  }

 private:
  int fd_;
  Status error_;
};

// Reads up to `size` bytes at `offset`: the count read, or -errno.
int64_t ReadAt(int fd, char* data, size_t size, uint64_t offset) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, data + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

Status WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return status::kOk;
}

std::optional<uint64_t> Octal(const char* text, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    if (text[i] < '0' || text[i] > '7') return std::nullopt;
    value = value * 8 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

// The first resync mark at or after `from`, or the archive's size when none.
uint64_t FindMark(int fd, uint64_t from, uint64_t size, Status& error) {
  std::vector<char> buffer(kChunk + kOdcResyncMark.size());
  uint64_t at = from;
  while (at < size) {
    const int64_t n = ReadAt(fd, buffer.data(), buffer.size(), at);
    if (n < 0) {
      error = static_cast<Status>(-n);
      return size;
    }
    if (n < static_cast<int64_t>(kOdcResyncMark.size())) return size;
    const std::string_view window(buffer.data(), static_cast<size_t>(n));
    const size_t hit = window.find(kOdcResyncMark);
    if (hit != std::string_view::npos) return at + hit;
    // The next window overlaps this one by the mark's length less one.
    at += static_cast<uint64_t>(n) - (kOdcResyncMark.size() - 1);
    if (static_cast<size_t>(n) < buffer.size()) return size;
  }
  return size;
}

}  // namespace

Status WalkArchive(const fs::path& archive, const std::function<bool(const ArchiveEntry&)>& visit) {
  File in(archive, O_RDONLY);
  if (!in.ok()) return in.error();
  const off_t end = ::lseek(in.fd(), 0, SEEK_END);
  if (end < 0) return errno;
  const uint64_t size = static_cast<uint64_t>(end);
  Status error = status::kOk;
  char header[kOdcHeaderSize];
  std::string name;
  uint64_t p = 0;
  while (p + kOdcHeaderSize <= size) {
    const int64_t n = ReadAt(in.fd(), header, kOdcHeaderSize, p);
    if (n < 0) return static_cast<Status>(-n);
    if (n < static_cast<int64_t>(kOdcHeaderSize)) break;
    if (std::string_view(header, kOdcMagic.size()) != kOdcMagic) {
      // Not a header: look for the next one.
      p = FindMark(in.fd(), p + 1, size, error);
      if (error != status::kOk) return error;
      continue;
    }
    const auto nameSize = Octal(header + 59, 6);
    const auto fileSize = Octal(header + 65, 11);
    const auto mode = Octal(header + 18, 6);
    // The path must be readable and end with its zero, else nothing of the
    // entry can be used.
    bool nameOk = nameSize && *nameSize >= 1 && *nameSize <= kMaxNameSize && p + kOdcHeaderSize + *nameSize <= size;
    if (nameOk) {
      name.assign(static_cast<size_t>(*nameSize), '\0');
      const int64_t got = ReadAt(in.fd(), name.data(), name.size(), p + kOdcHeaderSize);
      if (got < 0) return static_cast<Status>(-got);
      nameOk = got == static_cast<int64_t>(name.size()) && name.back() == '\0';
      if (nameOk) name.resize(std::strlen(name.c_str()));
    }
    if (!nameOk) {
      p = FindMark(in.fd(), p + 1, size, error);
      if (error != status::kOk) return error;
      continue;
    }
    ArchiveEntry entry;
    entry.name = name;
    entry.headerOffset = p;
    entry.dataOffset = p + kOdcHeaderSize + *nameSize;
    if (fileSize && mode && *fileSize <= size - entry.dataOffset) {
      entry.mode = static_cast<uint32_t>(*mode);
      entry.dataSize = *fileSize;
      p = entry.dataOffset + entry.dataSize;
    } else {
      // The sizes cannot be trusted: the data runs to the next header mark.
      entry.damaged = true;
      const uint64_t next = FindMark(in.fd(), entry.dataOffset, size, error);
      if (error != status::kOk) return error;
      entry.dataSize = next - entry.dataOffset;
      p = next;
    }
    if (!entry.damaged && entry.name == kOdcTrailer) break;
    if (!visit(entry)) break;
  }
  return status::kOk;
}

bool ArchiveNameMatches(std::string_view storedName, std::string_view devicePath) {
  // "./var/x", "/var/x" and "var/x" all stand for the same path.
  auto strip = [](std::string_view s) {
    if (s.substr(0, 2) == "./") s.remove_prefix(2);
    while (!s.empty() && s.front() == '/') s.remove_prefix(1);
    return s;
  };
  const std::string_view a = strip(storedName), b = strip(devicePath);
  return !b.empty() && EqualsIgnoreAsciiCase(a, b);
}

Status CopyArchiveRange(const fs::path& archive, uint64_t offset, uint64_t size, const fs::path& output) {
  File in(archive, O_RDONLY);
  if (!in.ok()) return in.error();
  File out(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!out.ok()) return out.error();
  std::vector<char> buffer(kChunk);
  uint64_t done = 0;
  while (done < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
    const int64_t n = ReadAt(in.fd(), buffer.data(), want, offset + done);
    if (n < 0) return static_cast<Status>(-n);
    if (n == 0) return status::kShortRead;
    if (const Status s = WriteAll(out.fd(), buffer.data(), static_cast<size_t>(n))) return s;
    done += static_cast<uint64_t>(n);
  }
  return out.Close();
}

void AppendOdcEntry(std::string& archive, const std::string& name, uint32_t mode, std::string_view data, uint32_t ino,
                    uint32_t mtime) {
  archive += Format("%s%06o%06o%06o%06o%06o%06o%06o%011o%06o%011llo", std::string(kOdcMagic).c_str(), 0u, ino & 0777777u,
                    mode & 0777777u, 501u, 501u, 1u, 0u, mtime, static_cast<unsigned>(name.size() + 1),
                    static_cast<unsigned long long>(data.size()));
  archive += name;
  archive.push_back('\0');
  archive.append(data);
}

void AppendOdcTrailer(std::string& archive) { AppendOdcEntry(archive, std::string(kOdcTrailer), 0, {}); }

std::string GzipBytes(std::string_view data) {
  z_stream zs{};
  deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  out.resize(deflateBound(&zs, static_cast<uLong>(data.size())) + 64);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Status GunzipFile(const fs::path& input, const fs::path& output) {
  File in(input, O_RDONLY);
  if (!in.ok()) return in.error();
  File out(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!out.ok()) return out.error();
  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return status::kBadData;
  std::vector<char> inBuffer(kChunk), outBuffer(kChunk);
  Status result = status::kOk;
  bool ended = false;       // the current member ended
  bool anyMember = false;   // at least one member was complete
  for (;;) {
    ssize_t n = ::read(in.fd(), inBuffer.data(), inBuffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = errno;
      break;
    }
    if (n == 0) break;
    zs.next_in = reinterpret_cast<Bytef*>(inBuffer.data());
    zs.avail_in = static_cast<uInt>(n);
    while (zs.avail_in > 0 && result == status::kOk) {
      if (ended) {
        // Another member follows (or padding zeros, which end the stream).
        if (*zs.next_in == 0) {
          zs.avail_in = 0;
          break;
        }
        inflateReset(&zs);
        ended = false;
      }
      zs.next_out = reinterpret_cast<Bytef*>(outBuffer.data());
      zs.avail_out = static_cast<uInt>(outBuffer.size());
      const int rc = inflate(&zs, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
        result = status::kBadData;
        break;
      }
      const size_t produced = outBuffer.size() - zs.avail_out;
      if (produced > 0) result = WriteAll(out.fd(), outBuffer.data(), produced);
      if (rc == Z_STREAM_END) {
        ended = true;
        anyMember = true;
      } else if (rc == Z_BUF_ERROR && produced == 0) {
        break;  // needs more input
      }
    }
    if (result != status::kOk) break;
  }
  // Drain what inflate still holds for the last member.
  while (result == status::kOk && !ended) {
    zs.next_out = reinterpret_cast<Bytef*>(outBuffer.data());
    zs.avail_out = static_cast<uInt>(outBuffer.size());
    const int rc = inflate(&zs, Z_FINISH);
    const size_t produced = outBuffer.size() - zs.avail_out;
    if (produced > 0) result = WriteAll(out.fd(), outBuffer.data(), produced);
    if (rc == Z_STREAM_END) {
      ended = true;
      anyMember = true;
    } else if (produced == 0) {
      break;
    }
  }
  inflateEnd(&zs);
  if (result == status::kOk && (!ended || !anyMember)) result = status::kBadData;
  if (const Status closed = out.Close(); result == status::kOk) result = closed;
  return result;
}

}  // namespace orbanix::device
