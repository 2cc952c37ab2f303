#include "app/preview/preview_process_wnd.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "app/preview/preview_texts.h"

namespace orbanix::preview {

CPreviewProcessWnd::CPreviewProcessWnd(IPhoneRecoveryParse* source, std::filesystem::path file,
                                       const QString& displayName, QWidget* parent)
    : QDialog(parent), source_(source), file_(std::move(file)) {
  setObjectName(QStringLiteral("PreviewProcessWnd"));
  setWindowTitle(Text("PreviewProcessWnd", "Title", QStringLiteral("Preview")));
  setModal(true);
  resize(500, 200);
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(24, 20, 24, 20);
  fileName_ = new QLabel(this);
  fileName_->setObjectName(QStringLiteral("LblFileName"));
  fileName_->setText(FormatText(QStringLiteral("%s %s"), {Message("MSG0902", QStringLiteral("Preparing")), displayName}));
  fileName_->setWordWrap(true);
  percent_ = new QLabel(Text("PreviewProcessWnd", "LblPercent", QStringLiteral("Current progress: 0%")), this);
  percent_->setObjectName(QStringLiteral("LblPercent"));
  progress_ = new QProgressBar(this);
  progress_->setObjectName(QStringLiteral("Progress"));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  cancel_ = new QPushButton(Text("PreviewProcessWnd", "BtnCancel", QStringLiteral("Cancel")), this);
  cancel_->setObjectName(QStringLiteral("BtnCancel"));
  cancel_->setAutoDefault(false);
  box->addWidget(fileName_);
  box->addStretch(1);
  box->addWidget(percent_);
  box->addWidget(progress_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  box->addLayout(buttons);
  connect(cancel_, &QPushButton::clicked, this, &CPreviewProcessWnd::reject);
}

CPreviewProcessWnd::~CPreviewProcessWnd() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    cancelled_ = true;
  }
  Join();
}

void CPreviewProcessWnd::Join() {
  if (worker_.joinable()) worker_.join();
}

void CPreviewProcessWnd::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (worker_.joinable() || copied_) return;
  worker_ = std::thread([this] {
    std::filesystem::path copy;
    const Status st = source_ ? source_->CopyForPreview(file_, copy, &CPreviewProcessWnd::Report, this)
                              : status::kBadData;
    {
      std::lock_guard<std::mutex> guard(lock_);
      copy_ = copy;
      status_ = st;
    }
    QMetaObject::invokeMethod(this, [this] { OnCopied(); }, Qt::QueuedConnection);
  });
}

int CPreviewProcessWnd::Report(void* self, int percent) {
  auto* wnd = static_cast<CPreviewProcessWnd*>(self);
  std::lock_guard<std::mutex> guard(wnd->lock_);
  if (wnd->cancelled_) return status::kCancelled;
  QMetaObject::invokeMethod(wnd, [wnd, percent] { wnd->OnProgress(percent); }, Qt::QueuedConnection);
  return 0;
}

void CPreviewProcessWnd::OnProgress(int percent) {
  progress_->setValue(percent);
  percent_->setText(FormatText(QStringLiteral("%s %d%%"), {Message("MSG0901", QStringLiteral("Current progress:")), percent}));
}

void CPreviewProcessWnd::OnCopied() {
  copied_ = true;
  if (asking_) return;  // the cancel procedure closes the window
  Join();
  done(status_ == status::kCancelled || cancelled_ || status_ != status::kOk ? 2 : 1);
}

void CPreviewProcessWnd::reject() {
  if (copied_) {
    Join();
    done(2);
    return;
  }
  // The lock is held while the question is open: the copy waits at its
  // next report until the user has answered.
  std::unique_lock<std::mutex> guard(lock_);
  asking_ = true;
  const int answer = Ask(this, AskKind::kQuestion, Message("MSG0903", QStringLiteral("Do you want to cancel the preview?")));
  asking_ = false;
  if (answer == kAnswerYes) {
    cancelled_ = true;
    guard.unlock();
    Join();
    done(2);
    return;
  }
  guard.unlock();
  if (copied_) OnCopied();
}

void CPreviewProcessWnd::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;  // swallowed
  QDialog::keyPressEvent(event);
}

}  // namespace orbanix::preview
