// The write-ahead log beside a database ("<db>-wal"): the pages SQLite has
// committed but not yet copied back into the database file. A phone's newest
// messages, contacts and calls often sit only there, so every reader of a
// database reads its pages through the log.
//
// Layout (all fields big-endian 32-bit words):
//
//   log header, 32 bytes
//     0  magic 0x377f0682 or 0x377f0683 (the low bit: the checksums read
//        the data as big-endian words when set, little-endian when clear)
//     4  format version 3007000
//     8  database page size
//     12 checkpoint sequence number
//     16 salt-1, 20 salt-2 (new random values at every restart of the log)
//     24 checksum-1, 28 checksum-2 of the first 24 header bytes
//   frames, each a 24-byte header and one page
//     0  page number (1-based)
//     4  for a commit frame: the size of the database in pages after the
//        commit; 0 for the other frames of a transaction
//     8  salt-1, 12 salt-2 (equal to the header's for a frame of this log)
//     16 checksum-1, 20 checksum-2: cumulative over the log header's
//        checksum, every earlier frame, the first 8 bytes of this frame's
//        header and its page
//
// A frame counts only when its salts match and its checksum verifies, and
// only up to the last such frame that ends a transaction (a commit frame):
// what follows was never committed, or belongs to an older use of the file
// (a log is rewritten from its start after a checkpoint, and the old frames
// behind the new ones keep the old salts). The newest committed frame of a
// page is that page's current content; older frames of it are older
// versions of the page. The frames after the last commit are never part of
// the database, but their pages hold rows that were written all the same
// (a transaction the phone never finished, an older use of the log): they
// are kept apart, as versions of pages that no reader sees.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/status.h"

namespace orbanix {

inline constexpr size_t kWalHeaderSize = 32;
inline constexpr size_t kWalFrameHeaderSize = 24;

struct WalOverlay {
  // The log holds at least one whole committed transaction.
  bool applied() const { return committedFrames > 0; }

  uint32_t pageSize = 0;
  // The database's size in pages after the last commit.
  uint32_t databasePages = 0;
  // 0-based page index -> file offset of the page's newest committed copy
  // (behind its frame header).
  std::unordered_map<uint32_t, uint64_t> pages;
  // Older committed copies of pages, each (0-based page index, offset), in
  // log order: versions the newest copies replaced.
  std::vector<std::pair<uint32_t, uint64_t>> olderPages;
  // The pages of the whole frames after the last commit (of a transaction
  // not committed, of an older use of the log, or behind damage), each
  // (0-based page index the frame names, offset), in log order. Never
  // applied.
  std::vector<std::pair<uint32_t, uint64_t>> uncommittedPages;
  uint32_t committedFrames = 0;  // frames up to and including the last commit
  uint32_t commits = 0;
  // Why nothing (or not everything) of the log could be used; empty when
  // the log is whole or simply holds nothing (empty, or reset after a
  // checkpoint: no frame with this header's salts).
  std::string damage;
};

// Reads `length` bytes at `offset` of the log into `buffer`; the count read
// (less at the end of the file).
using WalReadFn = std::function<size_t(uint64_t offset, size_t length, uint8_t* buffer)>;

// Reads the log of `size` bytes. Never fails: a log that cannot be used
// gives an overlay that is not applied, with the reason in `damage` (a
// damaged header, a first transaction that does not verify); a log damaged
// further on gives its transactions before the damage, and says so.
WalOverlay ReadWalOverlay(uint64_t size, const WalReadFn& read);

// The log's checksum over `data` (a multiple of 8 bytes), continuing from
// s[0], s[1]; `bigEndian` by the magic's low bit.
void WalChecksum(const uint8_t* data, size_t size, bool bigEndian, uint32_t s[2]);

}  // namespace orbanix
