#include "sqlite_pages/db_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

#include "platform/text.h"

namespace orbanix {

namespace {

constexpr size_t kHeaderProbe = 512;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::mutex& LogsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, std::filesystem::path>& Logs() {
  static std::map<std::string, std::filesystem::path> logs;
  return logs;
}

// A regular file opened for reading without waiting on a FIFO; -1 with
// errno set otherwise.
int OpenRegular(const std::filesystem::path& path, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

int64_t ModifiedNsOf(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

void SetWriteAheadLog(const std::filesystem::path& database, const std::filesystem::path& log) {
  std::lock_guard<std::mutex> lock(LogsMutex());
  if (log.empty()) {
    Logs().erase(database.string());
  } else {
    Logs()[database.string()] = log;
  }
}

void ForgetWriteAheadLogs() {
  std::lock_guard<std::mutex> lock(LogsMutex());
  Logs().clear();
}

std::filesystem::path WriteAheadLogOf(const std::filesystem::path& database) {
  {
    std::lock_guard<std::mutex> lock(LogsMutex());
    const auto it = Logs().find(database.string());
    if (it != Logs().end()) return it->second;
  }
  std::filesystem::path log = database;
  log += "-wal";
  return log;
}

CDbFileReader::CDbFileReader() : scratchBuffer(new char[kScratchBufferBytes]) {}

CDbFileReader::~CDbFileReader() { Close(); }

void CDbFileReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (walFd_ >= 0) ::close(walFd_);
  walFd_ = -1;
  memory_ = false;
  bytes_.clear();
  bytes_.shrink_to_fit();
  walBytes_.clear();
  walBytes_.shrink_to_fit();
  walPages_.clear();
  walPages_.shrink_to_fit();
  walPageSize_ = 0;
  replaced_.clear();
  replacedOf_.clear();
  walState_ = WalState{};
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
  struct stat st {};
  errno = 0;
  const int fd = OpenRegular(path, st);
  if (fd < 0) return errno ? errno : status::kBadData;
  fd_ = fd;
  fileSize_ = static_cast<uint64_t>(st.st_size);
  path_ = path;
  modified_ = ModifiedNsOf(st);
  // The log is optional: one that is missing or cannot be opened leaves the
  // file as it is (a log that cannot be opened is told by Wal()).
  const std::filesystem::path log = WriteAheadLogOf(path);
  struct stat walStat {};
  errno = 0;
  walFd_ = OpenRegular(log, walStat);
  if (walFd_ >= 0) {
    ApplyWal(static_cast<uint64_t>(walStat.st_size), ModifiedNsOf(walStat));
  } else if (errno != ENOENT && errno != ENOTDIR) {
    walState_.found = true;
    walState_.damage = std::string("the log cannot be opened: ") + std::strerror(errno);
  }
  return ReadHeaderAndFreeList();
}

Status CDbFileReader::OpenBytes(std::string bytes, std::string wal) {
  Close();
  freePages.clear();
  bytes_ = std::move(bytes);
  memory_ = true;
  fileSize_ = bytes_.size();
  if (!wal.empty()) {
    walBytes_ = std::move(wal);
    ApplyWal(walBytes_.size(), 0);
  }
  return ReadHeaderAndFreeList();
}

size_t CDbFileReader::ReadLog(uint64_t offset, size_t length, uint8_t* buffer) const {
  if (memory_) {
    if (offset >= walBytes_.size()) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, walBytes_.size() - offset));
    std::memcpy(buffer, walBytes_.data() + offset, n);
    return n;
  }
  if (walFd_ < 0) return 0;
  size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(walFd_, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void CDbFileReader::ApplyWal(uint64_t walSize, int64_t walModified) {
  walState_.found = walSize > 0;
  WalOverlay wal = ReadWalOverlay(
      walSize, [this](uint64_t offset, size_t length, uint8_t* buffer) { return ReadLog(offset, length, buffer); });
  walState_.damage = wal.damage;
  const auto drop = [this] {
    if (walFd_ >= 0) ::close(walFd_);
    walFd_ = -1;
    walBytes_.clear();
  };
  if (!wal.applied() && wal.uncommittedPages.empty()) {
    drop();
    return;
  }
  // The log belongs to a database of its page size; a file that says
  // otherwise is another database's (a file without a readable header is
  // whole in the log when the log holds its first page).
  uint8_t header[100] = {};
  size_t got = 0;
  ReadFile(0, sizeof header, header, got);
  uint32_t filePageSize = 0;
  if (got == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0) {
    filePageSize = (uint32_t{header[16]} << 8) | header[17];
    if (filePageSize == 1) filePageSize = 65536;
  }
  if (filePageSize != 0 ? filePageSize != wal.pageSize : wal.pages.count(0) == 0) {
    walState_.damage = filePageSize != 0 ? "the log's page size " + std::to_string(wal.pageSize) +
                                               " is not the database's " + std::to_string(filePageSize)
                                         : "the database file has no header and the log does not hold it";
    drop();
    return;
  }
  // A database grows only by pages written to the file or the log: a
  // commit that claims more (a forged or damaged log) is held to that.
  struct stat st {};
  const uint64_t fileBytes = memory_ ? bytes_.size() : (::fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0);
  if (!wal.applied()) {
    // Nothing committed: the file alone is the database, and the log's
    // frames are only versions of pages behind it.
    if (fileBytes / wal.pageSize == 0) {
      drop();
      return;
    }
    wal.databasePages = static_cast<uint32_t>(std::min<uint64_t>(fileBytes / wal.pageSize, UINT32_MAX));
  }
  uint64_t pages = fileBytes / wal.pageSize;
  for (const auto& entry : wal.pages) pages = std::max<uint64_t>(pages, uint64_t{entry.first} + 1);
  if (wal.databasePages > pages) wal.databasePages = static_cast<uint32_t>(pages);
  walPageSize_ = wal.pageSize;
  walPages_.assign(wal.databasePages, 0);
  for (const auto& [index, offset] : wal.pages) {
    if (index < walPages_.size()) walPages_[index] = offset + 1;
  }
  // The copies the log replaced: the file's pages first, in page order,
  // then the log's older frames in log order, then the frames after its
  // last commit. Copies of the first page are left out: it holds the
  // schema's rows behind the database header, never a table's rows, and
  // read as a freed page its header would read as records.
  {
    std::vector<uint32_t> fromFile;
    for (const auto& entry : wal.pages) {
      if (entry.first != 0 && entry.first < fileBytes / wal.pageSize) fromFile.push_back(entry.first);
    }
    std::sort(fromFile.begin(), fromFile.end());
    for (uint32_t index : fromFile) {
      replaced_.push_back(0);
      replacedOf_.push_back(index);
    }
    for (const auto* copies : {&wal.olderPages, &wal.uncommittedPages}) {
      for (const auto& [index, offset] : *copies) {
        if (index == 0) continue;
        replaced_.push_back(offset + 1);
        replacedOf_.push_back(index);
      }
    }
  }
  walState_.committedFrames = wal.committedFrames;
  walState_.pagesReplaced = static_cast<uint32_t>(wal.pages.size());
  walState_.replacedCopies = static_cast<uint32_t>(replaced_.size());
  walState_.uncommittedFrames = static_cast<uint32_t>(wal.uncommittedPages.size());
  walState_.commits = wal.commits;
  walState_.databasePages = wal.databasePages;
  fileSize_ = (uint64_t{wal.databasePages} + replaced_.size()) * wal.pageSize;
  modified_ = std::max(modified_, walModified);
}


Status CDbFileReader::ReadAt(uint64_t offset, size_t length, uint8_t* buffer, size_t& bytesRead) const {
  bytesRead = 0;
  if (!IsOpen()) return status::kBadData;
  if (length == 0) return status::kOk;
  if (walPages_.empty()) return ReadFile(offset, length, buffer, bytesRead);
  // Page by page: a page the log holds from the log, runs of the others
  // from the file with one read; nothing past the database's size.
  const uint64_t size = walPages_.size();
  const uint64_t page = walPageSize_;
  while (bytesRead < length) {
    const uint64_t at = offset + bytesRead;
    if (at >= fileSize_) return status::kShortRead;
    uint64_t index = at / page;
    const uint64_t within = at % page;
    uint64_t want = std::min<uint64_t>({length - bytesRead, page - within, fileSize_ - at});
    if (index >= size) {
      // A replaced copy, behind the database's pages.
      const uint64_t k = index - size;
      size_t got = 0;
      if (replaced_[k] != 0) {
        got = ReadLog(replaced_[k] - 1 + within, static_cast<size_t>(want), buffer + bytesRead);
      } else {
        const Status st = ReadFile(uint64_t{replacedOf_[k]} * page + within, static_cast<size_t>(want),
                                   buffer + bytesRead, got);
        if (st != status::kOk) {
          bytesRead += got;
          return st;
        }
      }
      bytesRead += got;
      if (got != want) return status::kShortRead;
      continue;
    }
    if (walPages_[index] != 0) {
      const size_t got = ReadLog(walPages_[index] - 1 + within, static_cast<size_t>(want), buffer + bytesRead);
      bytesRead += got;
      if (got != want) return status::kShortRead;
      continue;
    }
    while (bytesRead + want < length && ++index < size && walPages_[index] == 0) {
      want += std::min<uint64_t>({length - bytesRead - want, page, fileSize_ - (at + want)});
    }
    size_t got = 0;
    const Status st = ReadFile(at, static_cast<size_t>(want), buffer + bytesRead, got);
    bytesRead += got;
    if (st != status::kOk) return st;
  }
  return status::kOk;
}

Status CDbFileReader::ReadFile(uint64_t offset, size_t length, uint8_t* buffer, size_t& bytesRead) const {
  bytesRead = 0;
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
  // The copies a write-ahead log replaced are searched as freed pages.
  for (uint64_t k = 0; k < replaced_.size(); ++k) freePages.push_back(static_cast<uint32_t>(walPages_.size() + k));
  return status::kOk;
}

}  // namespace orbanix
