#include "platform/text_file.h"

#include <cerrno>
#include <string>

namespace orbanix {

namespace {
constexpr char kBom[] = "\xEF\xBB\xBF";

Status LastErrno() { return errno != 0 ? errno : status::kBadData; }
}  // namespace

std::string CrLfLineEnds(std::string_view text, bool previousWasCr) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  bool cr = previousWasCr;
  for (char c : text) {
    if (c == '\n' && !cr) out.push_back('\r');
    out.push_back(c);
    cr = c == '\r';
  }
  return out;
}

Utf8TextFile::~Utf8TextFile() { Close(); }

Status Utf8TextFile::Open(const std::filesystem::path& path) {
  Close();
  errno = 0;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return LastErrno();
  lastWasCr_ = false;
  errno = 0;
  if (std::fwrite(kBom, 1, 3, file_) != 3 || std::fflush(file_) != 0) {
    const Status err = LastErrno();
    std::fclose(file_);
    file_ = nullptr;
    return err;
  }
  return status::kOk;
}

Status Utf8TextFile::Write(std::string_view text) {
  if (!file_) return status::kBadData;
  if (text.empty()) return status::kOk;
  const std::string bytes = CrLfLineEnds(text, lastWasCr_);
  lastWasCr_ = text.back() == '\r';
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() || std::fflush(file_) != 0) {
    return LastErrno();
  }
  return status::kOk;
}

Status Utf8TextFile::Close() {
  if (!file_) return status::kOk;
  errno = 0;
  const int rc = std::fclose(file_);
  file_ = nullptr;
  return rc == 0 ? status::kOk : LastErrno();
}

}  // namespace orbanix
