#include "app/scan_page.h"

#include <QFileDialog>
#include <QMetaObject>
#include <QPushButton>

#include "app/itunes_backup_page.h"
#include "app/message_box.h"
#include "app/skin_catalog.h"
#include "app/texts.h"
#include "app/preview/preview_views.h"
#include "platform/folders.h"
#include "ui_PageScan.h"

namespace orbanix::app {

QString SizeText(qint64 bytes) {
  const double n = static_cast<double>(bytes);
  if (bytes >= (qint64{1} << 40)) return QString::asprintf("%.2f TB", n / double(qint64{1} << 40));
  if (bytes >= (qint64{1} << 30)) return QString::asprintf("%.2f GB", n / double(qint64{1} << 30));
  if (bytes >= (qint64{1} << 20)) return QString::asprintf("%.2f MB", n / double(qint64{1} << 20));
  if (bytes >= 1024) return QString::asprintf("%.2f KB", n / 1024.0);
  return QString::asprintf("%lld Bytes", static_cast<long long>(bytes));
}

CScanVrtWnd::CScanVrtWnd(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::PageScan>()) {
  InitSkinResources();
  ui_->setupUi(this);
  ApplyLanguage();
  ui_->iPhoneInfoLayout->hide();
  ui_->ReocveryToolBar->hide();
  ui_->DataListToolBar->hide();
  ui_->PreviewLayout->setVisible(ui_->OptOnOffPreview->isChecked());
  connect(ui_->BtnScanPause, &QPushButton::clicked, this, &CScanVrtWnd::TogglePause);
  connect(ui_->BtnScanStop, &QPushButton::clicked, this, &CScanVrtWnd::Stop);
  connect(ui_->BtnHome, &QPushButton::clicked, this, &CScanVrtWnd::Home);
  connect(ui_->BtnRecovery, &QPushButton::clicked, this, &CScanVrtWnd::OnRecover);
  // The preview views wire "BtnPrint", the lists and the preview panel.
  views_ = new preview::CPreviewViews(preview::FindPreviewControls(this), this);
  views_->SetPrintFolder(DataFolder() / "Print");
  views_->SetTemplateFolder(ProgramDataFolder() / "template");
  // The views follow a scan only when its backend hands out its results.
  connect(this, &CScanVrtWnd::recordsArrived, views_, [this](const QList<int>& categories) {
    if (viewsActive_) views_->CategoriesReady(std::vector<int>(categories.begin(), categories.end()));
  });
  connect(this, &CScanVrtWnd::scanFinished, views_, [this] {
    if (!viewsActive_) return;
    views_->SetScanning(false);
    views_->RefreshStatistics();
  });
  connect(this, &CScanVrtWnd::recoverRequested, views_, [this](const QString& folder) { views_->Recover(folder); });
  connect(this, &CScanVrtWnd::homeRequested, views_, [this] {
    views_->Reset();
    viewsActive_ = false;
  });
  connect(ui_->OptOnOffPreview, &QCheckBox::toggled, ui_->PreviewLayout, &QWidget::setVisible);
  connect(ui_->NodeTree, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    // A category opened in the tree fills the data list: the list replaces
    // the hint that asks for one.
    if (item && item->data(0, Qt::UserRole).isValid()) ui_->DataListStack->setCurrentIndex(1);
    if (state_ != State::kFinished) return;
    ui_->iPhoneInfoLayout->hide();
    ui_->DataListLayout->show();
  });
}

CScanVrtWnd::~CScanVrtWnd() {
  // The worker reports into this page; it must end first.
  if (driver_) {
    driver_->Cancel();
    driver_->Wait();
  }
}

void CScanVrtWnd::ApplyLanguage() {
  ApplyTexts(this, "PageScan");
  if (state_ == State::kPaused) ui_->BtnScanPause->setText(Message("MSG0506", QStringLiteral("Resume")));
  if (state_ != State::kIdle) SetHeaderTexts();
  RefreshTreeLabels();
  RefreshStatistics();
}

bool CScanVrtWnd::HoldsResults() const { return TotalCount() > 0; }

void CScanVrtWnd::SetSelectedDevice(const DeviceChoice& device) {
  device_ = device;
  deviceSelected_ = true;
  selected_ = BackupInfo{};
  selected_.displayName = device.name.empty() ? std::string("iPhone") : device.name;
  password_.clear();
}

int CScanVrtWnd::TotalCount() const {
  int total = 0;
  for (int c = 1; c <= kSafariBookmark; ++c) total += counts_[static_cast<size_t>(c)];
  return total;
}

void CScanVrtWnd::SetHeaderTexts() {
  const bool local = sourceType_ == 1;
  if (header_.info) {
    header_.info->setText(local ? Message("MSG0501", QStringLiteral("Scanning the iTunes backup file"))
                                : Message("MSG0503", QStringLiteral("Scanning your iPhone")));
  }
  if (header_.remark) header_.remark->setText(Message(local ? "MSG0502" : "MSG0504"));
  if (header_.remarkIcon) {
    header_.remarkIcon->setPixmap(
        QIcon(local ? QStringLiteral(":/skin/images/remark_backup.svg") : QStringLiteral(":/skin/images/remark_device.svg"))
            .pixmap(54, 54));
  }
}

void CScanVrtWnd::SetScanLook(bool scanning) {
  ui_->ScanToolBar->setVisible(scanning);
  ui_->ReocveryToolBar->setVisible(!scanning);
  ui_->DataListToolBar->setVisible(!scanning);
  if (scanning) {
    ui_->BtnGifLoading->Start();
  } else {
    ui_->BtnGifLoading->Stop();
  }
}

void CScanVrtWnd::ClearResults() {
  counts_.fill(0);
  steps_.clear();
  ui_->NodeTree->clear();
  nodes_.fill(nullptr);
  ui_->DataList->clear();
  ui_->DataListStack->setCurrentIndex(0);
  RefreshStatistics();
}

int CScanVrtWnd::StartScan(int sourceType, const CategoryTicks& ticks) {
  if (IsBusy()) return 1;
  if (sourceType != 1 && sourceType != 0) return 1;
  if (!factory_) return 1;
  if (driver_) driver_->Wait();  // the previous worker has ended; join it

  // Step 1: header, empty containers, the scanning look.
  sourceType_ = sourceType;
  ticks_ = ticks;
  SetHeaderTexts();
  ClearResults();
  ui_->iPhoneInfoLayout->hide();
  ui_->DataListLayout->show();
  SetScanLook(true);
  ui_->BtnHome->setEnabled(false);
  ui_->BtnRecovery->setEnabled(false);
  ui_->BtnScanPause->setEnabled(true);
  ui_->BtnScanStop->setEnabled(true);
  ui_->BtnScanPause->setText(Message("MSG0507", QStringLiteral("Pause")));
  ui_->ProgressScan->setValue(0);
  ui_->LblPercent->setText(QStringLiteral("0%"));
  ui_->LblCurrentStep->clear();
  shown_ = 0;
  progressSeen_ = false;
  BuildTree(ticks);

  // A phone scan names the phone (a backup chosen earlier does not stand
  // in for it).
  const bool device = sourceType == 0;
  const DeviceChoice phone = deviceSelected_ ? device_ : DeviceChoice{};
  const std::string name = device ? (phone.name.empty() ? std::string("iPhone") : phone.name) : selected_.displayName;
  ui_->TxtDeviceName->setText(QString::fromStdString(name));
  ui_->TxtBackupDate->setText(device ? QString() : QString::fromStdString(selected_.lastBackupDate));
  ui_->TxtSerial->setText(QString::fromStdString(device ? phone.udid : selected_.serialNumber));
  ui_->TxtPhone->setText(device ? QString() : QString::fromStdString(selected_.phoneNumber));
  ui_->TxtFolder->setText(device ? QString() : QString::fromStdString(selected_.folder.string()));
  ui_->LblInfoIcon->setPixmap((device ? DeviceIcon() : BackupIcon(selected_.encrypted)).pixmap(48, 26));

  // Step 2: the previous source goes before the next one is made.
  driver_.reset();
  backend_.reset();
  backend_ = factory_(sourceType);
  if (!backend_) {
    SetScanLook(false);
    ui_->BtnHome->setEnabled(true);
    return 1;
  }
  driver_ = std::make_unique<ScanDriver>();

  ScanDriver* driver = driver_.get();
  std::function<Status()> open;
  steps_.clear();
  if (device) backend_->SelectDevice(phone);
  backend_->Prepare(selected_, password_.toStdString(), ticks, [driver](int value) { return driver->Report(value); },
                    open, steps_);
  std::vector<ScanStep> steps;
  steps.reserve(steps_.size());
  for (const BackendStep& s : steps_) steps.push_back(s.step);

  // Every event is queued into this thread; none of them touches a widget
  // from the worker.
  ScanDriver::Events events;
  events.progress = [this](int percent, const std::string& step) {
    QMetaObject::invokeMethod(
        this, [this, percent, name = QString::fromStdString(step)] { OnProgress(percent, name); }, Qt::QueuedConnection);
  };
  events.opened = [this](Status) { QMetaObject::invokeMethod(this, [this] { OnOpened(); }, Qt::QueuedConnection); };
  events.stepDone = [this](size_t index, const ScanStep&, Status) {
    QMetaObject::invokeMethod(this, [this, index] { OnStepDone(index); }, Qt::QueuedConnection);
  };
  events.finished = [this](ScanOutcome outcome, Status) {
    QMetaObject::invokeMethod(this, [this, outcome] { OnFinished(outcome); }, Qt::QueuedConnection);
  };
  viewsActive_ = Results() != nullptr;
  if (ScanResults* results = Results()) {
    views_->SetDeviceName(name);
    views_->SetBackupFolder(device ? std::filesystem::path() : selected_.folder);
    views_->Start(results, Source(), ticks, /*buildTree=*/false);
    views_->SetScanning(true);
  }
  state_ = State::kScanning;
  if (driver_->Start(std::move(open), std::move(steps), std::move(events)) != status::kOk) {
    state_ = State::kIdle;
    SetScanLook(false);
    ui_->BtnHome->setEnabled(true);
    return 1;
  }
  return 0;
}

void CScanVrtWnd::BuildTree(const CategoryTicks& ticks) {
  ui_->NodeTree->clear();
  nodes_.fill(nullptr);
  auto* media = new QTreeWidgetItem(ui_->NodeTree, {Text("PageScan", "NodePhotos", QStringLiteral("Photos & Videos"))});
  media->setIcon(0, GroupIcon(true));
  auto* messages =
      new QTreeWidgetItem(ui_->NodeTree, {Text("PageScan", "NodeMessagesCalls", QStringLiteral("Messages & Call logs"))});
  messages->setIcon(0, GroupIcon(false));
  for (const CategoryInfo& info : Categories()) {
    if (!ticks[static_cast<size_t>(info.number - 1)]) continue;
    auto* node = new QTreeWidgetItem(info.mediaGroup ? media : messages,
                                     {Text("PageScan", info.node, QString::fromLatin1(info.nodeText))});
    node->setIcon(0, CategoryIcon(info.number));
    node->setData(0, Qt::UserRole, info.number);
    nodes_[static_cast<size_t>(info.number)] = node;
  }
  media->setHidden(media->childCount() == 0);
  messages->setHidden(messages->childCount() == 0);
  ui_->NodeTree->expandAll();
}

void CScanVrtWnd::RefreshTreeLabels() {
  for (int c = 1; c <= kCategoryCount; ++c) {
    QTreeWidgetItem* node = nodes_[static_cast<size_t>(c)];
    if (!node) continue;
    QString base = Text("PageScan", CategoryByNumber(c).node, QString::fromLatin1(CategoryByNumber(c).nodeText));
    const int cut = base.indexOf('(');
    if (cut >= 0) base = base.left(cut);
    node->setText(0, FormatText(QStringLiteral("%s(%d)"), {base, counts_[static_cast<size_t>(c)]}));
  }
}

void CScanVrtWnd::RefreshStatistics() {
  qint64 bytes = 0;
  int items = 0;
  if (backend_) {
    for (int c = 1; c <= kSafariBookmark; ++c) {
      if (!counts_[static_cast<size_t>(c)]) continue;
      items += counts_[static_cast<size_t>(c)];
      bytes += static_cast<qint64>(backend_->Bytes(c));
    }
  }
  // Everything found starts ticked, none of it hidden.
  const QString size = items ? SizeText(bytes) : QStringLiteral("0 MB");
  const QString format = Message("MSG0513", QStringLiteral("You select %s in %d item(s) of %s in %d item(s)"));
  ui_->LblStatistics->setText(FormatText(format, {size, items, size, items}));
}

void CScanVrtWnd::OnProgress(int percent, const QString& step) {
  if (state_ != State::kScanning && state_ != State::kPaused && state_ != State::kStopping) return;
  if (!progressSeen_) {
    progressSeen_ = true;
    ui_->iPhoneInfoLayout->show();
    ui_->DataListLayout->hide();
    emit firstProgress();
  }
  // Never back, never 100 while the scan runs.
  percent = std::min(percent, 99);
  if (percent > shown_) {
    shown_ = percent;
    ui_->ProgressScan->setValue(shown_);
    ui_->LblPercent->setText(FormatText(QStringLiteral("%d%%"), {shown_}));
    emit percentShown(shown_);
  }
  QString what;
  for (const OperationPlan& op : OperationOrder()) {
    if (step == QLatin1String(op.name)) {
      const CategoryInfo& info = CategoryByNumber(op.categories.front());
      what = Text("PageSpecifyFile", info.option, QString::fromLatin1(info.label));
    }
  }
  const QString opening = sourceType_ == 0
                              ? Text("PageScan", "ScanningDeviceOpen", QStringLiteral("Reading the databases of the iPhone"))
                              : Text("PageScan", "ScanningOpen", QStringLiteral("Reading the file index of the backup"));
  ui_->LblCurrentStep->setText(what.isEmpty() ? opening
                                              : FormatText(Text("PageScan", "ScanningStep", QStringLiteral("Scanning: %s")), {what}));
}

void CScanVrtWnd::OnOpened() {
  if (!IsBusy()) return;
  emit fileTreeReady();
}

void CScanVrtWnd::OnStepDone(size_t index) {
  if (!backend_ || index >= steps_.size()) return;
  // A category that was not ticked stays hidden even when its operation
  // collected it.
  QList<int> arrived;
  for (int c : steps_[index].categories) {
    if (!ticks_[static_cast<size_t>(c - 1)]) continue;
    counts_[static_cast<size_t>(c)] = backend_->Count(c);
    arrived << c;
  }
  RefreshTreeLabels();
  RefreshStatistics();
  if (!arrived.isEmpty()) emit recordsArrived(arrived);
  if (state_ == State::kFinished) emit countsChanged();
}

void CScanVrtWnd::OnFinished(ScanOutcome outcome) {
  if (driver_) driver_->Wait();
  switch (outcome) {
    case ScanOutcome::kWrongPassword:
      state_ = State::kIdle;
      SetScanLook(false);
      ui_->BtnHome->setEnabled(true);
      emit wrongPassword();
      return;
    case ScanOutcome::kCannotOpen:
      state_ = State::kIdle;
      SetScanLook(false);
      ui_->BtnHome->setEnabled(true);
      ShowMessageBox(this, MsgKind::kWarning, QString(),
                     sourceType_ == 0
                         ? Text("PageScan", "DeviceCannotOpen",
                                QStringLiteral("The iPhone cannot be read. Check that it is connected, unlocked and "
                                               "trusts this computer, then try again."))
                         : Message("MSG0512", QStringLiteral("The selected backup cannot be opened.")));
      emit cannotOpen();
      return;
    case ScanOutcome::kCompleted:
    case ScanOutcome::kCancelled:
      break;
  }
  if (!progressSeen_) {
    progressSeen_ = true;
    emit firstProgress();
  }
  state_ = State::kFinished;
  SetScanLook(false);
  ui_->BtnScanPause->setText(Message("MSG0507", QStringLiteral("Pause")));
  ui_->iPhoneInfoLayout->hide();
  ui_->DataListLayout->show();
  ui_->BtnHome->setEnabled(true);
  ui_->BtnRecovery->setEnabled(TotalCount() > 0);
  ui_->LblCurrentStep->clear();
  if (header_.info) {
    header_.info->setText(outcome == ScanOutcome::kCancelled
                              ? Text("PageScan", "ScanStopped", QStringLiteral("The scan was stopped"))
                              : Text("PageScan", "ScanDone", QStringLiteral("The scan is complete")));
  }
  if (header_.remark) header_.remark->setText(Text("PageScan", "ScanDoneRemark"));
  RefreshTreeLabels();
  RefreshStatistics();
  // What was read before the phone went away stays (its media are local
  // copies already).
  if (sourceType_ == 0 && backend_ && backend_->DeviceGone()) {
    ShowMessageBox(this, MsgKind::kWarning, QString(),
                   Text("PageScan", "DeviceGone",
                        QStringLiteral("The iPhone was disconnected during the scan. Only what was read before is "
                                       "shown; connect it again and scan it once more to find the rest.")));
  }
  emit scanFinished();
}

bool CScanVrtWnd::HoldForQuestion() {
  const bool wasPaused = state_ == State::kPaused;
  if (!wasPaused && state_ == State::kScanning) {
    driver_->Pause();
    ui_->BtnGifLoading->Stop();
  }
  return wasPaused;
}

void CScanVrtWnd::ReleaseAfterQuestion(bool wasPaused) {
  if (wasPaused || state_ != State::kScanning) return;
  driver_->Resume();
  ui_->BtnGifLoading->Start();
}

void CScanVrtWnd::CancelAndWait() {
  state_ = State::kStopping;
  ui_->BtnScanPause->setText(Message("MSG0507", QStringLiteral("Pause")));
  ui_->BtnScanPause->setEnabled(false);
  ui_->BtnScanStop->setEnabled(false);
  driver_->Cancel();
  // The worker stops at its next progress report; the page stays until it
  // has ended. Its last events arrive queued and finish the page.
  driver_->Wait();
}

void CScanVrtWnd::TogglePause() {
  if (state_ == State::kScanning) {
    driver_->Pause();
    state_ = State::kPaused;
    ui_->BtnScanPause->setText(Message("MSG0506", QStringLiteral("Resume")));
    ui_->BtnGifLoading->Stop();
  } else if (state_ == State::kPaused) {
    driver_->Resume();
    state_ = State::kScanning;
    ui_->BtnScanPause->setText(Message("MSG0507", QStringLiteral("Pause")));
    ui_->BtnGifLoading->Start();
  }
}

void CScanVrtWnd::Stop() {
  if (state_ != State::kScanning && state_ != State::kPaused) return;
  const bool wasPaused = HoldForQuestion();
  const int answer = ShowMessageBox(this, MsgKind::kQuestion, QString(),
                                    Message("MSG0508", QStringLiteral("Do you want to stop the scan?")));
  // The scan may have ended by itself while the question was up.
  if (state_ != State::kScanning && state_ != State::kPaused) return;
  if (answer == kAnswerOk) {
    CancelAndWait();
  } else {
    ReleaseAfterQuestion(wasPaused);
  }
}

int CScanVrtWnd::MayClose() {
  if (!IsBusy() && !HoldsResults()) return kAnswerOk;
  if (state_ == State::kStopping) {
    driver_->Wait();
    return kAnswerOk;
  }
  const bool running = state_ == State::kScanning || state_ == State::kPaused;
  const bool wasPaused = running ? HoldForQuestion() : false;
  const int answer = ShowMessageBox(this, MsgKind::kWarning, Message("MSG0405", QStringLiteral("Warning")),
                                    Message("MSG0511", QStringLiteral("Do you want to quit?")), true);
  if (answer == kAnswerOk) {
    if (state_ == State::kScanning || state_ == State::kPaused) CancelAndWait();
    if (driver_) driver_->Wait();
    return kAnswerOk;
  }
  if (running) ReleaseAfterQuestion(wasPaused);
  return kAnswerCancel;
}

void CScanVrtWnd::Home() {
  if (IsBusy()) return;
  if (HoldsResults() &&
      ShowMessageBox(this, MsgKind::kQuestion, QString(),
                     Message("MSG0510", QStringLiteral("Do you want to go back to the start?"))) != kAnswerOk) {
    return;
  }
  if (driver_) driver_->Wait();
  ClearResults();
  driver_.reset();
  backend_.reset();
  state_ = State::kIdle;
  if (header_.main) header_.main->show();
  if (header_.scan) header_.scan->hide();
  emit homeRequested();
}

void CScanVrtWnd::OnRecover() {
  const QString folder = QFileDialog::getExistingDirectory(
      this, Message("MSG0509", QStringLiteral("Choose the folder to save the recovered files in.")), QString(),
      QFileDialog::ShowDirsOnly);
  if (!folder.isEmpty()) emit recoverRequested(folder);
}

}  // namespace orbanix::app
