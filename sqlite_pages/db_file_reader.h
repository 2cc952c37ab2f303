// CDbFileReader: a SQLite database file read page by page.
//
// The reader never goes through the SQLite library for data: it reads raw
// pages so that the bytes the library hides (free-list pages, free blocks and
// the unallocated space of a page) can be searched for deleted rows.
//
// Database header (first 100 bytes of the file, big-endian fields) - the
// fields the reader uses:
//
//   offset size  meaning
//   0      16    "SQLite format 3\0" (compared ignoring ASCII case)
//   16     2     page size; 1 means 65,536; otherwise a power of two 512..32768
//   20     1     reserved bytes at the end of every page (usable size =
//                page size - reserved bytes; cell content never goes there)
//   32     4     first free-list trunk page (1-based; 0 = no free list)
//   56     4     text encoding: 1 UTF-8, 2 UTF-16le, 3 UTF-16be
//
// Free-list trunk page: bytes 0-3 next trunk (0 ends the chain), 4-7 number
// of leaf page numbers that follow from byte 8 (4 bytes each).
//
// Pages are addressed by a 0-based index (SQLite page number - 1); page index
// i lies at file offset i * pageSize (64-bit). The B-tree header of page 0
// starts at byte 100, behind the database header.
//
// A database whose write-ahead log lies beside it ("<db>-wal", or the file
// named with SetWriteAheadLog) is read as SQLite reads it: the newest
// committed copy of a page in the log stands for the page of the file, and
// the database has the size of the log's last commit (wal.h). Every read,
// offsets included, sees the database so combined. The copies the log
// replaced (the file's page, older frames of the page) hold the rows the
// log's transactions deleted or overwrote: they follow the database's
// pages as pages of their own, listed with the free-list pages, so that
// the searches for deleted rows look at them as at freed pages. So do the
// pages of the log's frames after its last commit, which are never applied.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/wal.h"

namespace orbanix {

struct CarvedFile;

// The write-ahead log of the database at `database` is the file `log`
// (backups store a database's log as a file of its own, under another name).
// Holds for every reader opened on that path afterwards, in any thread,
// until forgotten. An empty `log` forgets the database's entry.
void SetWriteAheadLog(const std::filesystem::path& database, const std::filesystem::path& log);
void ForgetWriteAheadLogs();
// The log the readers of `database` use: the one set for it, else
// "<database>-wal" (which may not exist).
std::filesystem::path WriteAheadLogOf(const std::filesystem::path& database);

// What a database's write-ahead log gave.
struct WalState {
  bool found = false;            // a log file lies there (and is not empty)
  uint32_t committedFrames = 0;  // frames used, up to the last commit
  uint32_t pagesReplaced = 0;    // pages whose log copy stands for the file's
  uint32_t replacedCopies = 0;   // older copies kept as pages behind the database's
  // Frames after the last commit (a transaction never committed, an older
  // use of the log): never applied, their pages among the copies above.
  uint32_t uncommittedFrames = 0;
  uint32_t commits = 0;          // transactions applied
  uint32_t databasePages = 0;    // the database's size in pages after them
  std::string damage;            // why (part of) the log could not be used
};

enum class TextEncoding : uint8_t { kUtf8 = 1, kUtf16le = 2, kUtf16be = 3 };

class CDbFileReader {
 public:
  CDbFileReader();
  ~CDbFileReader();
  CDbFileReader(const CDbFileReader&) = delete;
  CDbFileReader& operator=(const CDbFileReader&) = delete;

  // Opens and validates a database file and takes the inventory of its
  // free-list leaf pages. Closes the file opened before. Returns 0; errno when
  // the file cannot be opened (ENOENT = 2); 87 when the header text is wrong
  // or the page size is not 1 or a power of two from 512 to 32,768 (the file
  // stays held until the next Open, Close or the destruction, as before).
  // The schema parameters below survive Open.
  Status Open(const std::filesystem::path& path);
  // The same on a database held in memory (tests, fuzzing): the reader keeps
  // its own copy of the bytes (and of its write-ahead log, when given).
  Status OpenBytes(std::string bytes, std::string wal = {});
  void Close();
  bool IsOpen() const { return fd_ >= 0 || memory_; }

  // Reads `length` bytes at the absolute offset with positioned reads (no
  // separate seek). bytesRead gets the count read. 87 when no file is open,
  // 30 when the file ends before `length` bytes, errno of a failed read.
  Status ReadAt(uint64_t offset, size_t length, uint8_t* buffer, size_t& bytesRead) const;
  // ReadAt of pageSize bytes at index * pageSize.
  Status ReadPage(uint32_t index, uint8_t* buffer) const;

  // Number of whole pages in the file (bounds of every walk and chain);
  // with a write-ahead log applied, the pages of its last commit and behind
  // them the copies it replaced.
  uint64_t PageCount() const { return pageSize ? fileSize_ / pageSize : 0; }
  // The pages of the database itself (below the replaced copies).
  uint64_t DatabasePageCount() const { return walPages_.empty() ? PageCount() : walPages_.size(); }
  // The size PageCount gives in bytes.
  uint64_t FileSize() const { return fileSize_; }
  // The path given to Open (empty for a database held in memory) and the
  // file's modification time then (nanoseconds since the epoch; with a
  // write-ahead log the later of the two files'): together with the size
  // they tell one state of a file from the next.
  const std::filesystem::path& Path() const { return path_; }
  int64_t ModifiedNs() const { return modified_; }
  // What the write-ahead log gave (nothing found when there is none).
  const WalState& Wal() const { return walState_; }
  // The replaced copies behind the database's pages, in that order: the
  // page index each was a copy of.
  const std::vector<uint32_t>& ReplacedCopiesOf() const { return replacedOf_; }

  // --- from the database header ---
  uint32_t pageSize = 0;       // 512..65536
  uint32_t reservedBytes = 0;  // header offset 20
  uint32_t usableSize = 0;     // pageSize - reservedBytes: the end of a page's content
  TextEncoding encoding = TextEncoding::kUtf8;
  // 0-based indexes of the free-list leaf pages, in trunk order (trunk pages
  // themselves are not listed).
  std::vector<uint32_t> freePages;
  // Column count of the first record of each free-list page already looked
  // at (-1: no record; -2: not a table page). A file's free pages do not
  // change, so the free-page stage of every table of one file reads a page
  // that belongs to another table only once. Cleared by Open and Close.
  std::unordered_map<uint32_t, int> freePageColumnCounts;
  // The carver's finds in this file (deleted_rows.h), made by the first
  // table scan that asks for them. Cleared by Open and Close.
  std::shared_ptr<const CarvedFile> carvedFile;

  // --- scan state and schema parameters ---
  std::string tableName;       // table being scanned; set by ScanTable
  // Last result of ColumnCountFor (atomic: the decoders of a table scan
  // split in halves compute it on two threads at once).
  std::atomic<int> lastColumnCount{0};
  int waMessageColumns = 28;   // column count of "ZWAMESSAGE"
  int contactsFtsColumns = 0;  // serial-type bytes of live "ABPersonFullTextSearch_content" rows
  int messageColumns = 38;     // column count of "message" (38 or 51)
  int callColumns = 0;         // serial-type bytes of live "call" rows
  int newCallSchema = 0;       // 1: call history in "ZCALLRECORD", 0: in "call"
  int callRecordColumns = 0;   // column count of "ZCALLRECORD" from its schema; 0: unknown (that of iOS 8)
  int noteColumns = 0;         // column count of "ZNOTE" from its schema; 0: unknown (19, that of iOS 5-8)
  int noteBodyColumns = 0;     // column count of "ZNOTEBODY" from its schema; 0: unknown (7)
  std::string freeStageText;   // set by the per-conversation chat scan during its free-page stage
  uint64_t rowCounter = 0;     // synthetic row numbers of the row dump
  // Expected column count for tables ColumnCountFor does not know (generic
  // mode); 0 = none. Taken from the table's schema (see recovery.h
  // LoadTableSchema). Known tables keep their own counts.
  int genericColumnCount = 0;

  // 8 MiB work area for texts written out by the row dump and row writers
  // (allocated at construction, not zero-filled: its pages are only touched
  // when used).
  static constexpr size_t kScratchBufferBytes = 8u * 1024u * 1024u;
  std::unique_ptr<char[]> scratchBuffer;

 private:
  Status ReadHeaderAndFreeList();
  // Applies the log when it holds committed pages of this database's page
  // size; records what it gave.
  void ApplyWal(uint64_t walSize, int64_t walModified);
  // Raw reads of the database file and of the log.
  Status ReadFile(uint64_t offset, size_t length, uint8_t* buffer, size_t& bytesRead) const;
  size_t ReadLog(uint64_t offset, size_t length, uint8_t* buffer) const;

  int fd_ = -1;
  bool memory_ = false;
  std::string bytes_;  // the database when opened with OpenBytes
  int walFd_ = -1;
  std::string walBytes_;  // the log when opened with OpenBytes
  // 0-based page index -> offset of its copy in the log + 1 (0: the file's
  // page), for the pages below the database's size.
  std::vector<uint64_t> walPages_;
  uint32_t walPageSize_ = 0;
  // The replaced copies, page index DatabasePageCount() + k: offset in the
  // log + 1, or 0 with the file's page at replacedOf_[k].
  std::vector<uint64_t> replaced_;
  std::vector<uint32_t> replacedOf_;
  WalState walState_;
  uint64_t fileSize_ = 0;
  std::filesystem::path path_;
  int64_t modified_ = 0;
};

// Pages wanted in ascending order, read through one buffer: the page asked
// for and the consecutive pages that the caller wants right after it are
// read with one call, up to kRunPages at a time (a table's pages mostly lie
// in runs). A page of a run that could not be read whole is asked for again
// on its own when it is reached, so it fails as a single read would. One
// per thread.
class PageRuns {
 public:
  static constexpr uint32_t kRunPages = 16;
  explicit PageRuns(const CDbFileReader& reader) : reader_(reader) {}

  // The bytes of the page at `at`, an iterator over (page index, ...) pairs
  // in ascending order that ends at `end`.
  template <class It>
  Status Get(It at, It end, const uint8_t*& page) {
    const uint32_t index = at->first;
    if (index - first_ < count_) {
      page = buffer_.data() + static_cast<size_t>(index - first_) * reader_.pageSize;
      return status::kOk;
    }
    uint32_t n = 1;
    for (It next = std::next(at); next != end && n < kRunPages && next->first == index + n; ++next) ++n;
    return Fill(index, n, page);
  }

 private:
  Status Fill(uint32_t index, uint32_t pages, const uint8_t*& page);

  const CDbFileReader& reader_;
  std::vector<uint8_t> buffer_;
  uint32_t first_ = 0, count_ = 0;  // the pages held: [first_, first_ + count_)
};

}  // namespace orbanix
