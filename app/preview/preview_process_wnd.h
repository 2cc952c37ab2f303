// CPreviewProcessWnd: the small progress window shown while a large media
// file is copied out of the source for its preview. A worker thread runs
// the source's CopyForPreview; its progress reports take the window's lock,
// so a report never runs while the cancel question is open, and answer 2
// once the user has confirmed the cancel. The window closes with 1 when the
// copy is ready and 2 when it was cancelled or failed, always after the
// worker has ended.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "sources/recovery_source.h"

namespace orbanix::preview {

class CPreviewProcessWnd : public QDialog {
  Q_OBJECT
 public:
  CPreviewProcessWnd(IPhoneRecoveryParse* source, std::filesystem::path file, const QString& displayName,
                     QWidget* parent = nullptr);
  ~CPreviewProcessWnd() override;

  // The prepared copy (after a result of 1) and the copy's status.
  const std::filesystem::path& copy() const { return copy_; }
  Status status() const { return status_; }
  QProgressBar* progressBar() const { return progress_; }

  // Buttons, the close box and Escape ask before cancelling.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static int Report(void* self, int percent);
  void OnProgress(int percent);
  void OnCopied();
  void Join();

  IPhoneRecoveryParse* source_;
  std::filesystem::path file_;
  std::filesystem::path copy_;
  Status status_ = status::kOk;
  QLabel* fileName_;
  QLabel* percent_;
  QProgressBar* progress_;
  QPushButton* cancel_;
  std::mutex lock_;
  bool cancelled_ = false;  // under lock_
  bool asking_ = false;     // the cancel question is open
  bool copied_ = false;     // the worker's result arrived
  std::thread worker_;
};

}  // namespace orbanix::preview
