// The file relay's archive: a gzip-compressed cpio archive in the portable
// ASCII ("odc") format.
//
// An odc entry is a 76-byte header of octal text fields, the entry's path
// with its terminating zero, then the entry's data; nothing pads between
// entries. The entry named "TRAILER!!!" ends the archive.
//
//   offset  size  field              offset  size  field
//   0       6     magic "070707"     42      6     rdev
//   6       6     dev                48      11    mtime
//   12      6     ino                59      6     namesize (with the zero)
//   18      6     mode               65      11    filesize
//   24      6     uid
//   30      6     gid
//   36      6     nlink
//
// Entries are found by walking the headers by their name and file sizes, so
// data that happens to hold header-like bytes never cuts an entry short.
// Only where a header is damaged does the walk fall back to searching for
// the next "07070700" (the magic and the first two digits of the device
// field, which phones write as zeros); a damaged entry whose path could
// still be read runs up to that mark or to the end of the archive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace orbanix::device {

inline constexpr size_t kOdcHeaderSize = 76;
inline constexpr std::string_view kOdcMagic = "070707";
inline constexpr std::string_view kOdcResyncMark = "07070700";
inline constexpr std::string_view kOdcTrailer = "TRAILER!!!";

struct ArchiveEntry {
  std::string name;           // the path as stored (without its zero)
  uint32_t mode = 0;          // 0 for a damaged header
  uint64_t headerOffset = 0;
  uint64_t dataOffset = 0;
  uint64_t dataSize = 0;
  bool damaged = false;       // sizes unreadable: data runs to the next mark
};

// Visits every entry in archive order (the trailer not included); the
// visitor answers false to stop. 0, or the errno of opening or reading.
Status WalkArchive(const std::filesystem::path& archive, const std::function<bool(const ArchiveEntry&)>& visit);

// True when an entry's stored name stands for the device path ("./var/x",
// "/var/x" and "var/x" are one path), compared without regard to ASCII case.
bool ArchiveNameMatches(std::string_view storedName, std::string_view devicePath);

// Writes `size` bytes of the archive from `offset` to `output` (created or
// truncated). 0, the errno of a failed call, or 30 when the archive ends
// first.
Status CopyArchiveRange(const std::filesystem::path& archive, uint64_t offset, uint64_t size,
                        const std::filesystem::path& output);

// Builds an odc archive (the simulated phone's relay, tests).
void AppendOdcEntry(std::string& archive, const std::string& name, uint32_t mode, std::string_view data,
                    uint32_t ino = 0, uint32_t mtime = 0);
void AppendOdcTrailer(std::string& archive);

// gzip with zlib: compresses bytes; and un-gzips a file (every member of a
// multi-member stream) into `output`, created or truncated. 0; 87 for a
// stream that is not gzip, is damaged or ends early; the errno of a failed
// file call.
std::string GzipBytes(std::string_view data);
Status GunzipFile(const std::filesystem::path& input, const std::filesystem::path& output);

}  // namespace orbanix::device
