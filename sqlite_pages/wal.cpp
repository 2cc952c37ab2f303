#include "sqlite_pages/wal.h"

#include <vector>

namespace orbanix {

namespace {

constexpr uint32_t kMagic = 0x377f0682;  // the low bit is the checksums' byte order
constexpr uint32_t kVersion = 3007000;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t Le32(const uint8_t* p) {
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

}  // namespace

void WalChecksum(const uint8_t* data, size_t size, bool bigEndian, uint32_t s[2]) {
  uint32_t s0 = s[0], s1 = s[1];
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint32_t x0 = bigEndian ? Be32(data + i) : Le32(data + i);
    const uint32_t x1 = bigEndian ? Be32(data + i + 4) : Le32(data + i + 4);
    s0 += x0 + s1;
    s1 += x1 + s0;
  }
  s[0] = s0;
  s[1] = s1;
}

WalOverlay ReadWalOverlay(uint64_t size, const WalReadFn& read) {
  WalOverlay wal;
  if (size == 0) return wal;  // an empty log: nothing was written since the last checkpoint
  uint8_t header[kWalHeaderSize];
  if (size < kWalHeaderSize || read(0, kWalHeaderSize, header) != kWalHeaderSize) {
    wal.damage = "the log is cut short inside its header (" + std::to_string(size) + " bytes)";
    return wal;
  }
  const uint32_t magic = Be32(header);
  if ((magic & ~1u) != kMagic) {
    wal.damage = "the log's header is not that of a write-ahead log";
    return wal;
  }
  const bool bigEndian = (magic & 1u) != 0;
  if (Be32(header + 4) != kVersion) {
    wal.damage = "the log's format version " + std::to_string(Be32(header + 4)) + " is unknown";
    return wal;
  }
  const uint32_t pageSize = Be32(header + 8);
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
    wal.damage = "the log's header gives the page size " + std::to_string(pageSize);
    return wal;
  }
  uint32_t sum[2] = {0, 0};
  WalChecksum(header, 24, bigEndian, sum);
  if (sum[0] != Be32(header + 24) || sum[1] != Be32(header + 28)) {
    wal.damage = "the log's header does not match its checksum";
    return wal;
  }
  wal.pageSize = pageSize;
  const uint32_t salt1 = Be32(header + 16), salt2 = Be32(header + 20);

  const uint64_t frameSize = kWalFrameHeaderSize + uint64_t{pageSize};
  std::vector<uint8_t> frame(frameSize);
  // The frames of the transaction being read, applied when its commit
  // frame verifies: (page index, offset of the page).
  std::vector<std::pair<uint32_t, uint64_t>> pending;
  uint32_t frameNumber = 0;
  uint64_t at = kWalHeaderSize;
  for (; at + frameSize <= size; at += frameSize) {
    ++frameNumber;
    if (read(at, frameSize, frame.data()) != frameSize) {
      wal.damage = "frame " + std::to_string(frameNumber) + " of the log cannot be read";
      break;
    }
    const uint8_t* h = frame.data();
    // A frame of an older use of the log: the current log ends before it.
    if (Be32(h + 8) != salt1 || Be32(h + 12) != salt2) break;
    uint32_t next[2] = {sum[0], sum[1]};
    WalChecksum(h, 8, bigEndian, next);
    WalChecksum(h + kWalFrameHeaderSize, pageSize, bigEndian, next);
    const uint32_t page = Be32(h);
    if (next[0] != Be32(h + 16) || next[1] != Be32(h + 20) || page == 0) {
      wal.damage = "frame " + std::to_string(frameNumber) + " of the log does not match its checksum";
      break;
    }
    sum[0] = next[0];
    sum[1] = next[1];
    pending.emplace_back(page - 1, at + kWalFrameHeaderSize);
    const uint32_t databasePages = Be32(h + 4);
    if (databasePages == 0) continue;
    // A commit: the transaction's pages replace the earlier copies.
    for (const auto& [index, offset] : pending) {
      auto [it, fresh] = wal.pages.try_emplace(index, offset);
      if (!fresh) {
        wal.olderPages.emplace_back(index, it->second);
        it->second = offset;
      }
    }
    pending.clear();
    wal.databasePages = databasePages;
    wal.committedFrames = frameNumber;
    ++wal.commits;
  }
  // What follows the last commit is never applied, but its pages are rows
  // someone wrote: the frames of a transaction that never committed, and
  // behind them (or after damage) the frames of an older use of the log.
  // Their pages are offered as older versions too.
  wal.uncommittedPages = std::move(pending);
  for (; at + frameSize <= size; at += frameSize) {
    uint8_t h[kWalFrameHeaderSize];
    if (read(at, kWalFrameHeaderSize, h) != kWalFrameHeaderSize) break;
    if (Be32(h) != 0) wal.uncommittedPages.emplace_back(Be32(h) - 1, at + kWalFrameHeaderSize);
  }
  // Pages the last commit cut off the end of the database are no longer
  // part of it; their copies are older versions.
  for (auto it = wal.pages.begin(); it != wal.pages.end();) {
    if (it->first >= wal.databasePages) {
      wal.olderPages.emplace_back(it->first, it->second);
      it = wal.pages.erase(it);
    } else {
      ++it;
    }
  }
  if (!wal.damage.empty() && wal.applied()) {
    wal.damage += wal.commits == 1 ? std::string("; the transaction before it is used")
                                   : "; the " + std::to_string(wal.commits) + " transactions before it are used";
  }
  return wal;
}

}  // namespace orbanix
