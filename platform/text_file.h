// Text files the user reads: UTF-8 with a byte order mark and CR LF line
// ends. The file is written under a temporary name beside its final one and
// takes its name at Close; a file abandoned before (a failed write, a
// cancel: the object destroyed without Close) is removed, so that no part
// of a document ever stands under a name that looks whole.
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

#include "platform/safe_file.h"
#include "platform/status.h"

namespace orbanix {

class Utf8TextFile {
 public:
  Utf8TextFile() = default;
  Utf8TextFile(const Utf8TextFile&) = delete;
  Utf8TextFile& operator=(const Utf8TextFile&) = delete;
  ~Utf8TextFile();

  // Creates the temporary file and writes the byte order mark. 0, or the
  // errno of the failed open or write.
  Status Open(const std::filesystem::path& path);

  // Appends the text with its line ends made CR LF, then flushes.
  // 0, or the errno of the failed write (87 when the file is not open).
  Status Write(std::string_view text);

  // Closes the file and gives it its final name; 0, or the errno of the
  // failed final flush or rename (nothing is left behind then). A file
  // whose writing failed is removed and the first failure returned.
  Status Close();

  bool IsOpen() const { return out_.IsOpen(); }

 private:
  OutputFile out_;
  std::FILE* file_ = nullptr;  // the stream of out_
  Status failed_ = 0;
  bool lastWasCr_ = false;
};

// The CR LF form of a text, as Utf8TextFile writes it (without the BOM).
std::string CrLfLineEnds(std::string_view text, bool previousWasCr = false);

}  // namespace orbanix
