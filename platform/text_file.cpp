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

Utf8TextFile::~Utf8TextFile() {
  file_ = nullptr;
  out_.Discard();
}

Status Utf8TextFile::Open(const std::filesystem::path& path) {
  file_ = nullptr;
  failed_ = status::kOk;
  lastWasCr_ = false;
  if (const Status opened = out_.Open(path); opened != status::kOk) return opened;
  file_ = out_.stream();
  errno = 0;
  if (!file_ || std::fwrite(kBom, 1, 3, file_) != 3 || std::fflush(file_) != 0) {
    const Status err = LastErrno();
    file_ = nullptr;
    out_.Discard();
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
    if (failed_ == status::kOk) failed_ = LastErrno();
    return failed_;
  }
  return status::kOk;
}

Status Utf8TextFile::Close() {
  if (!file_) return status::kOk;
  file_ = nullptr;
  if (failed_ != status::kOk) {
    out_.Discard();
    return failed_;
  }
  return out_.Commit();
}

}  // namespace orbanix
