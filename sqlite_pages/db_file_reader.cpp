#include "sqlite_pages/db_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>

#include "platform/text.h"

namespace orbanix {

namespace {

constexpr size_t kHeaderProbe = 512;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

CDbFileReader::CDbFileReader() : scratchBuffer(new char[kScratchBufferBytes]) {}

CDbFileReader::~CDbFileReader() { Close(); }

void CDbFileReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  memory_ = false;
  bytes_.clear();
  bytes_.shrink_to_fit();
  fileSize_ = 0;
  path_.clear();
  modified_ = 0;
  freePageColumnCounts.clear();
  carvedFile.reset();
}

Status CDbFileReader::Open(const std::filesystem::path& path) {
  Close();
  freePages.clear();
  // Not blocking: a FIFO in place of a database would otherwise wait for a
  // writer forever. Only a regular file is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno ? errno : status::kBadData;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return err ? err : status::kBadData;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  fileSize_ = static_cast<uint64_t>(st.st_size);
  path_ = path;
  modified_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return ReadHeaderAndFreeList();
}

Status CDbFileReader::OpenBytes(std::string bytes) {
  Close();
  freePages.clear();
  bytes_ = std::move(bytes);
  memory_ = true;
  fileSize_ = bytes_.size();
  return ReadHeaderAndFreeList();
}

Status CDbFileReader::ReadAt(uint64_t offset, size_t length, uint8_t* buffer, size_t& bytesRead) const {
  bytesRead = 0;
  if (!IsOpen()) return status::kBadData;
  if (length == 0) return status::kOk;
  if (memory_) {
    if (offset >= bytes_.size()) return status::kShortRead;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::memcpy(buffer, bytes_.data() + offset, n);
    bytesRead = n;
    return n == length ? status::kOk : status::kShortRead;
  }
  while (bytesRead < length) {
    const ssize_t got = ::pread(fd_, buffer + bytesRead, length - bytesRead, static_cast<off_t>(offset + bytesRead));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno ? errno : status::kShortRead;
    }
    if (got == 0) return status::kShortRead;
    bytesRead += static_cast<size_t>(got);
  }
  return status::kOk;
}

Status CDbFileReader::ReadPage(uint32_t index, uint8_t* buffer) const {
  if (pageSize == 0) return status::kBadData;
  size_t got = 0;
  return ReadAt(static_cast<uint64_t>(index) * pageSize, pageSize, buffer, got);
}

Status PageRuns::Fill(uint32_t index, uint32_t pages, const uint8_t*& page) {
  const size_t size = reader_.pageSize;
  if (size == 0) return status::kBadData;
  count_ = 0;
  if (buffer_.size() < pages * size) buffer_.resize(pages * size);
  size_t got = 0;
  const Status st = reader_.ReadAt(static_cast<uint64_t>(index) * size, pages * size, buffer_.data(), got);
  const uint32_t whole = static_cast<uint32_t>(got / size);
  if (whole == 0) return st == status::kOk ? status::kShortRead : st;
  first_ = index;
  count_ = whole;
  page = buffer_.data();
  return status::kOk;
}

Status CDbFileReader::ReadHeaderAndFreeList() {
  // A shorter file leaves the rest of the probe zero; the checks below then
  // reject it or the first page read fails later.
  uint8_t header[kHeaderProbe] = {};
  size_t got = 0;
  ReadAt(0, sizeof header, header, got);
  static const char kMagic[] = "SQLite format 3";  // with its terminating zero: 16 bytes
  if (!EqualsIgnoreAsciiCase(std::string_view(reinterpret_cast<const char*>(header), 15), kMagic) ||
      header[15] != 0) {
    pageSize = 0;
    usableSize = 0;
    return status::kBadData;
  }
  uint32_t size = (uint32_t{header[16]} << 8) | header[17];
  if (size == 1) size = 65536;
  if (size < 512 || size > 65536 || (size & (size - 1)) != 0) {
    pageSize = 0;
    usableSize = 0;
    return status::kBadData;
  }
  const uint32_t reserved = header[20];
  // SQLite needs at least 480 usable bytes per page; anything less is damage.
  if (size - reserved < 480) {
    pageSize = 0;
    usableSize = 0;
    return status::kBadData;
  }
  pageSize = size;
  reservedBytes = reserved;
  usableSize = size - reserved;
  const uint32_t enc = Be32(header + 56);
  encoding = enc == 2 ? TextEncoding::kUtf16le : enc == 3 ? TextEncoding::kUtf16be : TextEncoding::kUtf8;

  // Free-list inventory. A trunk chain that loops, leaves the file or cannot
  // be read ends the inventory with what was collected so far.
  const uint64_t pages = PageCount();
  uint32_t trunk = Be32(header + 32);
  std::vector<uint8_t> page(pageSize);
  std::unordered_set<uint32_t> seen;
  const uint32_t maxLeaves = (usableSize - 8) / 4;
  while (trunk != 0 && trunk <= pages && seen.insert(trunk).second) {
    if (ReadPage(trunk - 1, page.data()) != status::kOk) break;
    const uint32_t next = Be32(page.data());
    uint32_t count = Be32(page.data() + 4);
    if (count > maxLeaves) count = maxLeaves;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t leaf = Be32(page.data() + 8 + 4 * i);
      if (leaf != 0) freePages.push_back(leaf - 1);
    }
    trunk = next;
  }
  return status::kOk;
}

}  // namespace orbanix
