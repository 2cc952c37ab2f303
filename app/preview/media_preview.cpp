#include "app/preview/media_preview.h"

#include <system_error>

#include "app/preview/preview_panel.h"
#include "app/preview/preview_process_wnd.h"
#include "platform/text.h"

namespace orbanix::preview {

CMediaPreview::CMediaPreview(CPreviewPanel* panel, QWidget* dialogParent, QObject* parent)
    : QObject(parent), panel_(panel), dialogParent_(dialogParent) {}

void CMediaPreview::SetSource(IPhoneRecoveryParse* source) {
  source_ = source;
  Reset();
}

void CMediaPreview::Reset() {
  last_.clear();
  copy_.clear();
  kind_ = Kind::kNothing;
}

void CMediaPreview::Preview(const std::filesystem::path& file, const QString& displayName, uint64_t size) {
  if (!last_.empty() && file == last_ && kind_ != Kind::kNothing) {
    Show();
    return;
  }
  last_ = file;
  name_ = displayName;
  kind_ = Kind::kNothing;
  copy_.clear();
  // The player holds the previous copy open, and the copy may be rewritten.
  panel_->Clear();
  if (!source_) return;

  std::error_code ec;
  const uintmax_t onDisk = std::filesystem::file_size(file, ec);
  if (!ec) size = onDisk;
  Status st = status::kOk;
  std::filesystem::path copy;
  if (size > kDirectCopyLimit) {
    CPreviewProcessWnd window(source_, file, displayName, dialogParent_);
    ++windowCopies_;
    ++copies_;
    if (window.exec() != 1) {
      last_.clear();
      return;
    }
    copy = window.copy();
    st = window.status();
  } else {
    ++copies_;
    st = source_->CopyForPreview(file, copy, nullptr, nullptr);
  }
  if (st != status::kOk || copy.empty()) {
    last_.clear();
    panel_->ShowPicture(QString());  // says that the file cannot be shown
    return;
  }
  copy_ = copy;
  const std::string ext = AsciiLower(copy.extension().string());
  kind_ = ext == ".jpg" ? Kind::kPicture : ext == ".wav" ? Kind::kAudio : ext == ".avi" ? Kind::kVideo : Kind::kNothing;
  if (kind_ == Kind::kNothing) {
    last_.clear();
    return;
  }
  Show();
}

void CMediaPreview::Show() {
  const QString path = QString::fromStdString(copy_.string());
  switch (kind_) {
    case Kind::kPicture: panel_->ShowPicture(path); break;
    case Kind::kAudio: panel_->Play(path, false, name_); break;
    case Kind::kVideo: panel_->Play(path, true, name_); break;
    case Kind::kNothing: return;
  }
  emit shown(static_cast<int>(kind_));
}

}  // namespace orbanix::preview
