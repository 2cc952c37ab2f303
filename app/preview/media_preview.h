// The media preview of a photo, video or audio file found in the source: the
// file is copied out through the source's CopyForPreview into the data
// folder (tmp.jpg, tmp.wav or tmp.avi by its content), with the progress
// window above 65,536 bytes, then shown in the preview panel: a picture in
// "PreviewEdit", audio and video in the panel's player. The same file
// clicked again is shown again without a new copy; a new preview first ends
// the playback of the previous one (which holds the copy open).
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <filesystem>

#include "sources/recovery_source.h"

namespace orbanix::preview {

class CPreviewPanel;

class CMediaPreview : public QObject {
  Q_OBJECT
 public:
  // Files above this size are copied with the progress window.
  static constexpr uint64_t kDirectCopyLimit = 65536;
  enum class Kind { kNothing = 0, kPicture = 1, kAudio = 2, kVideo = 3 };

  CMediaPreview(CPreviewPanel* panel, QWidget* dialogParent, QObject* parent = nullptr);

  void SetSource(IPhoneRecoveryParse* source);
  // Previews one stored file; `size` is used when the file cannot be
  // measured on disk.
  void Preview(const std::filesystem::path& file, const QString& displayName, uint64_t size);
  // Forgets the last prepared file (a new scan).
  void Reset();

  Kind kind() const { return kind_; }
  const std::filesystem::path& copy() const { return copy_; }
  // How many copies were made, and how many of them with the window.
  int copies() const { return copies_; }
  int windowCopies() const { return windowCopies_; }

 signals:
  // The copy is ready (or shown again) and handed to the panel.
  void shown(int kind);

 private:
  void Show();

  CPreviewPanel* panel_;
  QPointer<QWidget> dialogParent_;
  IPhoneRecoveryParse* source_ = nullptr;
  std::filesystem::path last_;
  QString name_;
  std::filesystem::path copy_;
  Kind kind_ = Kind::kNothing;
  int copies_ = 0;
  int windowCopies_ = 0;
};

}  // namespace orbanix::preview
