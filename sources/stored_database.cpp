#include "sources/stored_database.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/safe_file.h"
#include "sqlite_pages/db_file_reader.h"

namespace orbanix {

namespace {

constexpr size_t kHeaderSize = 100;
constexpr char kMagic[] = "SQLite format 3";  // and its terminating zero: 16 bytes

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

StoredDatabaseCheck Result(StoredDatabaseState state, std::string what, std::string reason, uint64_t size) {
  StoredDatabaseCheck check;
  check.state = state;
  check.what = std::move(what);
  check.reason = std::move(reason);
  check.size = size;
  return check;
}

}  // namespace

StoredDatabaseCheck CheckDatabaseHeader(const uint8_t* header, size_t headerSize, uint64_t fileSize) {
  using S = StoredDatabaseState;
  if (fileSize == 0) return Result(S::kUnreadable, "is empty", "0 bytes", fileSize);
  if (headerSize < kHeaderSize || fileSize < kHeaderSize) {
    return Result(S::kUnreadable, "is cut short", std::to_string(fileSize) + " bytes, less than its header",
                  fileSize);
  }
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    bool zero = true;
    for (size_t i = 0; i < kHeaderSize && zero; ++i) zero = header[i] == 0;
    return Result(S::kUnreadable, "is not an SQLite database",
                  zero ? "its first page is zeroed" : "its header is not an SQLite header", fileSize);
  }
  const uint32_t pageSizeField = (uint32_t{header[16]} << 8) | header[17];
  const uint32_t pageSize = pageSizeField == 1 ? 65536 : pageSizeField;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
    return Result(S::kUnreadable, "has a damaged header", "page size " + std::to_string(pageSizeField), fileSize);
  }
  // The page count in the header is valid when the change counter beside it
  // matches the "version valid for" number (SQLite 3.7.0 and later).
  const uint32_t pageCount = BigEndian32(header + 28);
  const bool countValid = pageCount != 0 && BigEndian32(header + 24) == BigEndian32(header + 92);
  if (countValid && fileSize < uint64_t{pageCount} * pageSize) {
    return Result(S::kPartial, "is cut short",
                  std::to_string(fileSize) + " of " + std::to_string(uint64_t{pageCount} * pageSize) + " bytes",
                  fileSize);
  }
  if (fileSize % pageSize != 0) {
    return Result(S::kPartial, "is cut short",
                  std::to_string(fileSize) + " bytes, not a whole number of " + std::to_string(pageSize) +
                      "-byte pages",
                  fileSize);
  }
  return Result(S::kReadable, "", "", fileSize);
}

StoredDatabaseCheck CheckStoredDatabase(const std::filesystem::path& path, const std::filesystem::path& root) {
  using S = StoredDatabaseState;
  std::string reason;
  int error = 0;
  uint64_t size = 0;
  const int fd = OpenStoredFile(path, root, &reason, &error, &size);
  if (fd < 0) {
    if (error == ENOENT || error == ENOTDIR) return Result(S::kMissing, "", "", 0);
    const bool refused = error == ELOOP || error == EXDEV || error == EINVAL || error == EISDIR;
    return Result(S::kUnreadable, refused ? "is refused" : "cannot be opened", reason, 0);
  }
  uint8_t header[kHeaderSize] = {};
  size_t got = 0;
  int readError = 0;
  while (got < kHeaderSize) {
    const ssize_t n = ::read(fd, header + got, kHeaderSize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) readError = errno;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (readError) return Result(S::kUnreadable, "cannot be read", std::strerror(readError), size);
  return CheckDatabaseHeader(header, got, size);
}

std::optional<Problem> WriteAheadLogProblem(const std::string& category, const std::string& logName,
                                            const std::filesystem::path& path) {
  CDbFileReader reader;
  if (reader.Open(path) != 0 || reader.Wal().damage.empty()) return std::nullopt;
  const WalState& wal = reader.Wal();
  if (wal.committedFrames == 0) {
    return Problem{category, logName, "could not be applied",
                   wal.damage + "; the database is read without the changes it holds", false};
  }
  return Problem{category, logName, "is damaged", wal.damage, false};
}

}  // namespace orbanix
