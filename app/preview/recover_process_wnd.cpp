#include "app/preview/recover_process_wnd.h"

#include <QDesktopServices>
#include <algorithm>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QUrl>
#include <QVBoxLayout>

#include "app/preview/preview_texts.h"
#include "export/templates.h"

namespace orbanix::preview {

namespace {
const char* const kSection = "RecoverProcessWnd";
QString T(const char* key, const char* fallback) { return Text(kSection, key, QString::fromLatin1(fallback)); }
}  // namespace

CRecoverProcessWnd::CRecoverProcessWnd(const CStatisticsObj& selection, const RecoveryRecords& records,
                                       RecoveryOutputSource source, RecoveryOptions options, QWidget* parent)
    : QDialog(parent), selection_(selection), records_(records), source_(std::move(source)), options_(std::move(options)) {
  setObjectName(QStringLiteral("RecoverProcessWnd"));
  setWindowTitle(T("Title", "Recover"));
  setModal(true);
  resize(770, 300);
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(20, 16, 20, 16);
  current_ = new QLabel(T("current", "filename"), this);
  current_->setObjectName(QStringLiteral("current"));
  current_->setTextFormat(Qt::PlainText);
  current_->setMinimumWidth(100);
  current_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  recovered_ = new QLabel(T("recovered", "0/0 file(s) recovered"), this);
  recovered_->setObjectName(QStringLiteral("recovered"));
  percent_ = new QLabel(T("percent", "Current progress: 0%"), this);
  percent_->setObjectName(QStringLiteral("percent"));
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("Progress"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  box->addWidget(current_);
  box->addWidget(bar_);
  auto* counts = new QHBoxLayout;
  counts->addWidget(percent_);
  counts->addStretch(1);
  counts->addWidget(recovered_);
  box->addLayout(counts);

  detail_ = new QTreeWidget(this);
  detail_->setObjectName(QStringLiteral("DetailList"));
  detail_->setRootIsDecorated(false);
  detail_->setUniformRowHeights(true);
  detail_->setTextElideMode(Qt::ElideRight);
  detail_->setHeaderLabels({T("ColFile", "File"), T("ColStatus", "Status")});
  detail_->header()->setStretchLastSection(false);
  detail_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  detail_->header()->setSectionResizeMode(1, QHeaderView::Fixed);
  detail_->setColumnWidth(1, 220);
  detail_->hide();
  box->addWidget(detail_, 1);

  auto* buttons = new QHBoxLayout;
  detailBtn_ = new QPushButton(T("DetailBtn", "Detail"), this);
  detailBtn_->setObjectName(QStringLiteral("DetailBtn"));
  detailBtn_->setCheckable(true);
  open_ = new QPushButton(T("OpenBtn", "Open Folder"), this);
  open_->setObjectName(QStringLiteral("OpenBtn"));
  finish_ = new QPushButton(T("FinishBtn", "Finished"), this);
  finish_->setObjectName(QStringLiteral("FinishBtn"));
  finish_->hide();
  cancel_ = new QPushButton(T("CancelBtn", "Cancel"), this);
  cancel_->setObjectName(QStringLiteral("CancelBtn"));
  for (QPushButton* b : {detailBtn_, open_, finish_, cancel_}) b->setAutoDefault(false);
  buttons->addWidget(detailBtn_);
  buttons->addStretch(1);
  buttons->addWidget(open_);
  buttons->addWidget(finish_);
  buttons->addWidget(cancel_);
  box->addLayout(buttons);

  connect(open_, &QPushButton::clicked, this, [this] {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(options_.outputRoot.string())));
  });
  connect(finish_, &QPushButton::clicked, this, [this] { done(1); });
  connect(cancel_, &QPushButton::clicked, this, &CRecoverProcessWnd::reject);
  connect(detailBtn_, &QPushButton::toggled, this, [this](bool on) {
    detail_->setVisible(on);
    resize(width(), on ? std::max(height(), 700) : minimumSizeHint().height());
  });

  RecoveryProgress::Events events;
  // Both run on the worker under the driver's lock; the window is touched
  // only in the user-interface thread.
  events.progress = [this](int percent, const fs::path& path) {
    const RecoveryProgress::Counts n = progress_->counts();
    QMetaObject::invokeMethod(
        this, [this, percent, p = QString::fromStdString(path.string()), n] { OnProgress(percent, p, n); },
        Qt::QueuedConnection);
  };
  events.completed = [this](const fs::path& path, Status st, const std::string& text) {
    QMetaObject::invokeMethod(
        this,
        [this, p = QString::fromStdString(path.string()), st, t = QString::fromStdString(text)] { OnCompleted(p, st, t); },
        Qt::QueuedConnection);
  };
  progress_ = std::make_unique<RecoveryProgress>(std::move(events));
}

CRecoverProcessWnd::~CRecoverProcessWnd() {
  if (worker_.joinable()) {
    progress_->Cancel();
    worker_.join();
  }
}

void CRecoverProcessWnd::Join() {
  if (worker_.joinable()) worker_.join();
}

int CRecoverProcessWnd::Run() {
  DocumentTemplates templates;
  std::string error;
  const fs::path folder = options_.templateFolder.empty() ? DefaultTemplateFolder() : options_.templateFolder;
  if (templates.Load(folder, options_.deviceName, error) != status::kOk) {
    Ask(parentWidget(), AskKind::kError,
        Message("MSG1104", QStringLiteral("The document templates cannot be read.")) + QStringLiteral("\n") +
            QString::fromStdString(error));
    return 2;
  }
  return exec();
}

void CRecoverProcessWnd::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  worker_ = std::thread([this] {
    // Read by the user-interface thread only once this thread has ended.
    result_ = RunRecovery(selection_, records_, source_, options_, *progress_);
    QMetaObject::invokeMethod(this, [this] { OnFinished(); }, Qt::QueuedConnection);
  });
}

void CRecoverProcessWnd::OnProgress(int percent, const QString& path, RecoveryProgress::Counts n) {
  bar_->setValue(percent);
  current_->setText(path);
  percent_->setText(FormatText(QStringLiteral("%s %d%%"), {Message("MSG1101", QStringLiteral("Current progress:")), percent}));
  recovered_->setText(FormatText(Message("MSG1102", QStringLiteral("%d/%d file(s) processed, %d recovered, %d failed")),
                                 {n.done, n.total, n.written(), n.failed}));
}

void CRecoverProcessWnd::OnCompleted(const QString& path, Status st, const QString& text) {
  auto* row = new QTreeWidgetItem({path, st == status::kOk ? T("Success", "Success") : text});
  row->setTextAlignment(1, Qt::AlignCenter);
  row->setToolTip(0, path);
  if (st == status::kOk) {
    detail_->addTopLevelItem(row);
  } else {
    row->setForeground(0, Qt::red);
    row->setForeground(1, Qt::red);
    detail_->insertTopLevelItem(0, row);
  }
  const RecoveryProgress::Counts n = progress_->counts();
  recovered_->setText(FormatText(Message("MSG1102", QStringLiteral("%d/%d file(s) processed, %d recovered, %d failed")),
                                 {n.done, n.total, n.written(), n.failed}));
}

void CRecoverProcessWnd::OnFinished() {
  Join();
  finished_ = true;
  if (!isVisible()) return;  // closed by a confirmed cancel
  if (!result_.error.empty()) {
    // The run could not start (an output folder that cannot be made).
    auto* row = new QTreeWidgetItem({QString::fromStdString(options_.outputRoot.string()),
                                     QString::fromStdString(result_.error)});
    row->setForeground(0, Qt::red);
    row->setForeground(1, Qt::red);
    detail_->insertTopLevelItem(0, row);
    detail_->show();
  }
  if (asking_) return;  // the cancel procedure decides
  if (progress_->Cancelled()) {
    done(2);
    return;
  }
  finish_->show();
  cancel_->hide();
}

void CRecoverProcessWnd::reject() {
  if (finished_ && !progress_->Cancelled()) {
    finish_->show();
    cancel_->hide();
    done(1);
    return;
  }
  // Reports wait while the question is open.
  progress_->OpenCancelQuestion();
  asking_ = true;
  const int answer = Ask(this, AskKind::kQuestion,
                         Message("MSG1103", QStringLiteral("Do you want to stop the recovery?")));
  asking_ = false;
  progress_->AnswerCancelQuestion(answer == kAnswerYes);
  if (answer == kAnswerYes) {
    Join();
    done(2);
    return;
  }
  if (finished_) OnFinished();
}

void CRecoverProcessWnd::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
  QDialog::keyPressEvent(event);
}

}  // namespace orbanix::preview
