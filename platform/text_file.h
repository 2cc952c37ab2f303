// Text files the user reads: UTF-8 with a byte order mark and CR LF line
// ends, flushed after every write so that a cancelled or failed run leaves
// whole lines behind.
//
// The byte order mark lets editors on every system recognise the encoding
// (Windows editors otherwise guess a legacy code page). Line ends are CR LF
// because the same files are read on Windows, and CSV files are CR LF by
// RFC 4180: a line feed that is not already preceded by a carriage return
// becomes CR LF; a CR LF in the text stays one line end.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "platform/status.h"

namespace orbanix {

class Utf8TextFile {
 public:
  Utf8TextFile() = default;
  Utf8TextFile(const Utf8TextFile&) = delete;
  Utf8TextFile& operator=(const Utf8TextFile&) = delete;
  ~Utf8TextFile();

  // Creates or truncates the file and writes the byte order mark.
  // 0, or the errno of the failed open or write.
  Status Open(const std::filesystem::path& path);

  // Appends the text with its line ends made CR LF, then flushes.
  // 0, or the errno of the failed write (87 when the file is not open).
  Status Write(std::string_view text);

  // Closes the file; 0, or the errno of the failed final flush.
  Status Close();

  bool IsOpen() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
  bool lastWasCr_ = false;
};

// The CR LF form of a text, as Utf8TextFile writes it (without the BOM).
std::string CrLfLineEnds(std::string_view text, bool previousWasCr = false);

}  // namespace orbanix
