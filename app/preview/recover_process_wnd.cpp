#include "app/preview/recover_process_wnd.h"

#include <QDesktopServices>
#include <QScreen>
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
  current_ = new QLabel(T("current", "Preparing the recovery..."), this);
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
    // The list opens as tall as the screen allows, never past its edge.
    int tallest = 700;
    if (const QScreen* screen = this->screen()) tallest = std::min(tallest, screen->availableGeometry().height() - 60);
    resize(width(), on ? std::max(height(), tallest) : minimumSizeHint().height());
  });
  repaint_.setInterval(kRepaintMs);
  connect(&repaint_, &QTimer::timeout, this, &CRecoverProcessWnd::Flush);

  RecoveryProgress::Events events;
  // Both run on the worker under the driver's lock, for every report of
  // every file: they only note the latest state and the finished files.
  // The window takes them at most ~30 times a second (Flush), so however
  // fast the files go, the interface never falls behind the work.
  events.progress = [this](int percent, const fs::path& path) {
    const RecoveryProgress::Counts n = progress_->counts();
    std::lock_guard<std::mutex> hold(pendingLock_);
    pending_.percent = percent;
    pending_.path = path;
    pending_.counts = n;
    pending_.changed = true;
  };
  events.completed = [this](const fs::path& path, Status st, const std::string& text) {
    const RecoveryProgress::Counts n = progress_->counts();
    std::lock_guard<std::mutex> hold(pendingLock_);
    pending_.rows.push_back({path, st, text});
    pending_.counts = n;
    pending_.changed = true;
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
  repaint_.start();
  worker_ = std::thread([this] {
    // Read by the user-interface thread only once this thread has ended.
    result_ = RunRecovery(selection_, records_, source_, options_, *progress_);
    if (afterwards_ && result_.error.empty() && !progress_->Cancelled()) {
      afterwards_(*progress_, options_.outputRoot);
      result_.cancelled = progress_->Cancelled();
      if (result_.cancelled) result_.status = status::kCancelled;
      result_.counts = progress_->counts();
    }
    QMetaObject::invokeMethod(this, [this] { OnFinished(); }, Qt::QueuedConnection);
  });
}

int CRecoverProcessWnd::OverallPercent(int filePercent, RecoveryProgress::Counts n) {
  if (n.total <= 0) return n.done > 0 ? 100 : 0;
  // The files done, and the share of the one in work (a report of 100
  // already counts among the done).
  const int64_t share = filePercent > 0 && filePercent < 100 && n.done < n.total ? filePercent : 0;
  return static_cast<int>(std::min<int64_t>(100, (int64_t{n.done} * 100 + share) / n.total));
}

void CRecoverProcessWnd::Flush() {
  Pending taken;
  {
    std::lock_guard<std::mutex> hold(pendingLock_);
    if (!pending_.changed) return;
    taken = std::move(pending_);
    pending_ = Pending{};
    // The latest state stays for the next round's counts.
    pending_.percent = taken.percent;
    pending_.path = taken.path;
    pending_.counts = taken.counts;
  }
  ++flushes_;
  // The bar, the percent and the counter come from one snapshot, so they
  // always agree.
  const int overall = OverallPercent(taken.percent, taken.counts);
  bar_->setValue(overall);
  if (!taken.path.empty()) current_->setText(QString::fromStdString(taken.path.string()));
  percent_->setText(FormatText(QStringLiteral("%s %d%%"), {Message("MSG1101", QStringLiteral("Current progress:")), overall}));
  const RecoveryProgress::Counts& n = taken.counts;
  recovered_->setText(FormatText(Message("MSG1102", QStringLiteral("%d/%d file(s) processed, %d recovered, %d failed")),
                                 {n.done, n.total, n.written(), n.failed}));
  if (taken.rows.empty()) return;
  QList<QTreeWidgetItem*> written;
  QList<QTreeWidgetItem*> failed;
  for (const Row& r : taken.rows) {
    const QString path = QString::fromStdString(r.path.string());
    auto* row = new QTreeWidgetItem({path, r.status == status::kOk ? T("Success", "Success") : QString::fromStdString(r.text)});
    row->setTextAlignment(1, Qt::AlignCenter);
    row->setToolTip(0, path);
    if (r.status == status::kOk) {
      written << row;
    } else {
      row->setForeground(0, Qt::red);
      row->setForeground(1, Qt::red);
      failed << row;
    }
  }
  // Failures on top, in the order met; successes below.
  detail_->setUpdatesEnabled(false);
  if (!failed.isEmpty()) detail_->insertTopLevelItems(failedRows_, failed);
  failedRows_ += static_cast<int>(failed.size());
  if (!written.isEmpty()) detail_->addTopLevelItems(written);
  detail_->setUpdatesEnabled(true);
}

void CRecoverProcessWnd::OnFinished() {
  Join();
  repaint_.stop();
  Flush();  // the last reports and files
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
