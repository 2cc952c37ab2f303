#include "app/scan_page.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMetaObject>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStyle>
#include <QVBoxLayout>
#include <cerrno>

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
  BuildSplitter();
  connect(ui_->NodeTree, &QTreeWidget::itemClicked, this, &CScanVrtWnd::OpenCategoryArea);
  connect(ui_->NodeTree, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { OpenCategoryArea(item); });

  // What could not be read, between the toolbars and the lists: shown as
  // soon as the first problem is known, and kept after the scan.
  problemsBox_ = new QFrame(this);
  problemsBox_->setObjectName(QStringLiteral("ProblemsLayout"));
  auto* box = new QVBoxLayout(problemsBox_);
  box->setContentsMargins(8, 4, 8, 4);
  box->setSpacing(2);
  problemsTitle_ = new QLabel(problemsBox_);
  problemsTitle_->setObjectName(QStringLiteral("LblProblems"));
  problemsTitle_->setWordWrap(true);
  problemsTitle_->setStyleSheet(QStringLiteral("color: #B3261E; font-weight: bold;"));
  problemsList_ = new QListWidget(problemsBox_);
  problemsList_->setObjectName(QStringLiteral("ProblemsList"));
  problemsList_->setWordWrap(true);
  problemsList_->setMaximumHeight(96);
  problemsList_->setSelectionMode(QAbstractItemView::NoSelection);
  box->addWidget(problemsTitle_);
  box->addWidget(problemsList_);
  ui_->RightLayout->insertWidget(ui_->RightLayout->indexOf(ui_->DataListToolBar) + 1, problemsBox_);
  problemsBox_->hide();

  // The chats of QQ and WeChat: a third page of the list area.
  auto* chatPage = new QWidget(ui_->DataListStack);
  auto* chatBox = new QVBoxLayout(chatPage);
  chatBox->setContentsMargins(0, 0, 0, 0);
  auto* chatList = new QTreeWidget(chatPage);
  chatList->setObjectName(QStringLiteral("ChatAppList"));
  chatBox->addWidget(chatList);
  ui_->DataListStack->addWidget(chatPage);
  chats_ = new CChatAppsView(chatList, views_->panel(), this);
  connect(chats_, &CChatAppsView::tickedChanged, this, &CScanVrtWnd::OfferChatsToRecovery);
}

void CScanVrtWnd::OfferChatsToRecovery() {
  // The recovery writes the ticked chats after the selection's items,
  // through the source's chat export, into "QQ/" and "WeChat/".
  std::vector<ChatAppJob> jobs = chats_->TickedJobs();
  const int ticked = static_cast<int>(jobs.size());
  IPhoneRecoveryParse* source = Source();
  if (!source || !viewsActive_) return;
  views_->SetExtraRecovery(ticked, [source, jobs](RecoveryProgress& progress, const std::filesystem::path& root) {
    WriteChatApps(*source, jobs, root, progress);
  });
  ui_->BtnRecovery->setEnabled(state_ == State::kFinished && (TotalCount() > 0 || ticked > 0));
}

void CScanVrtWnd::ChatsArrived(int category) {
  if (counts_[static_cast<size_t>(category)] == 0 || !messagesGroup_) return;
  if (!nodes_[static_cast<size_t>(category)]) {
    auto* node = new QTreeWidgetItem(messagesGroup_);
    node->setIcon(0, CategoryIcon(kMessages));
    node->setData(0, Qt::UserRole, category);
    nodes_[static_cast<size_t>(category)] = node;
    messagesGroup_->setHidden(false);
  }
  if (ScanResults* results = Results()) chats_->SetChats(&results->qq, &results->weChat);
  OfferChatsToRecovery();
}

namespace {

// The one place the window's layout is remembered between runs (the
// user's configuration folder, never beside the program).
QSettings LayoutSettings() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orbanix"), QStringLiteral("layout"));
}

}  // namespace

void CScanVrtWnd::BuildSplitter() {
  // The list and the preview share the width as the person drags the
  // handle between them; the preview starts at two fifths of it.
  splitter_ = new QSplitter(Qt::Horizontal, ui_->DataListLayout);
  splitter_->setObjectName(QStringLiteral("DataListSplitter"));
  splitter_->setChildrenCollapsible(false);
  ui_->DataListLayoutLayout->removeWidget(ui_->DataListStack);
  ui_->DataListLayoutLayout->removeWidget(ui_->PreviewLayout);
  ui_->PreviewLayout->setMinimumWidth(240);
  ui_->PreviewLayout->setMaximumWidth(QWIDGETSIZE_MAX);
  ui_->DataListStack->setMinimumWidth(300);
  splitter_->addWidget(ui_->DataListStack);
  splitter_->addWidget(ui_->PreviewLayout);
  splitter_->setStretchFactor(0, 3);
  splitter_->setStretchFactor(1, 2);
  ui_->DataListLayoutLayout->addWidget(splitter_);
  // The lists take the height the toolbars do not need.
  ui_->RightLayout->setStretchFactor(ui_->DataListLayout, 1);
  ui_->RightLayout->setStretchFactor(ui_->iPhoneInfoLayout, 1);
  const QByteArray saved = LayoutSettings().value(QStringLiteral("ScanPage/Splitter")).toByteArray();
  if (saved.isEmpty() || !splitter_->restoreState(saved)) splitter_->setSizes({600, 400});
  connect(splitter_, &QSplitter::splitterMoved, this,
          [this] { LayoutSettings().setValue(QStringLiteral("ScanPage/Splitter"), splitter_->saveState()); });
}

namespace {

// The name of a category as the page shows it (QQ and WeChat included).
QString CategoryName(int category) {
  if (category == kQQChats) return QStringLiteral("QQ");
  if (category == kWeChatChats) return QStringLiteral("WeChat");
  const CategoryInfo& info = CategoryByNumber(category);
  return Text("PageSpecifyFile", info.option, QString::fromLatin1(info.label));
}

}  // namespace

QString CScanVrtWnd::EmptyCategoryText(int category) const {
  const QString name = CategoryName(category);
  const QStringList texts = problems_.TextsOf(category);
  if (!texts.isEmpty()) {
    return FormatText(Text("PageScan", "CategoryNotRead", QStringLiteral("%s could not be read:")), {name}) +
           QLatin1Char('\n') + texts.join(QLatin1Char('\n'));
  }
  if (!read_[static_cast<size_t>(category)]) {
    return FormatText(Text("PageScan", "CategoryNotYet", QStringLiteral("%s has not been read yet.")), {name});
  }
  if (absent_[static_cast<size_t>(category)]) {
    return FormatText(Text("PageScan", "CategoryAbsent",
                           QStringLiteral("Nothing found: this backup holds no %s database.")),
                      {name});
  }
  return FormatText(Text("PageScan", "CategoryEmpty", QStringLiteral("Nothing found in %s.")), {name});
}

void CScanVrtWnd::OpenCategoryArea(QTreeWidgetItem* item) {
  if (!item || !item->data(0, Qt::UserRole).isValid()) return;
  const int category = item->data(0, Qt::UserRole).toInt();
  // A category with items fills the data list; one without says why it
  // holds nothing: found nothing, not read yet, or could not be read.
  const bool empty = category >= 1 && category <= kWeChatChats && counts_[static_cast<size_t>(category)] == 0;
  if (!empty && (category == kQQChats || category == kWeChatChats)) {
    if (views_) views_->CloseCategory();
    chats_->Open(category == kQQChats ? ChatApp::kQQ : ChatApp::kWeChat);
    ui_->DataListStack->setCurrentIndex(2);
  } else if (empty) {
    ui_->LblDataList->setText(EmptyCategoryText(category));
    ui_->DataListStack->setCurrentIndex(0);
  } else {
    ui_->DataListStack->setCurrentIndex(1);
  }
  if (state_ != State::kFinished) return;
  ui_->iPhoneInfoLayout->hide();
  ui_->DataListLayout->show();
}

void CScanVrtWnd::ShowProblems() {
  const std::vector<ScanProblem> items = problems_.Items();
  problemsList_->clear();
  const QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
  for (const ScanProblem& p : items) {
    QString line = p.text;
    if (p.category >= 1 && p.category <= kWeChatChats) line = CategoryName(p.category) + QStringLiteral(": ") + line;
    auto* row = new QListWidgetItem(warning, line, problemsList_);
    row->setData(Qt::UserRole, p.category);
    row->setToolTip(line);
  }
  problemsTitle_->setText(
      FormatText(Text("PageScan", "ProblemsTitle", QStringLiteral("What could not be read (%d):")),
                 {static_cast<int>(items.size())}));
  problemsBox_->setVisible(!items.empty());
  // The tree marks every category that was not wholly read.
  for (int c = 1; c <= kWeChatChats; ++c) {
    QTreeWidgetItem* node = nodes_[static_cast<size_t>(c)];
    if (!node) continue;
    const QStringList texts = problems_.TextsOf(c);
    if (texts.isEmpty()) {
      node->setIcon(0, CategoryIcon(c <= kCategoryCount ? c : kMessages));
      node->setToolTip(0, QString());
      node->setData(0, Qt::ForegroundRole, QVariant());
    } else {
      node->setIcon(0, warning);
      node->setToolTip(0, texts.join(QLatin1Char('\n')));
      node->setForeground(0, QColor(0xB3, 0x26, 0x1E));
    }
  }
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

bool CScanVrtWnd::HoldsResults() const {
  return TotalCount() > 0 || counts_[kQQChats] > 0 || counts_[kWeChatChats] > 0;
}

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
  read_.fill(false);
  absent_.fill(false);
  problems_.Clear();
  if (problemsList_) problemsList_->clear();
  if (problemsBox_) problemsBox_->hide();
  if (chats_) chats_->Clear();
  messagesGroup_ = nullptr;
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
  // The source's words and problems are asked for on the worker, where
  // they were made, right after the call that made them.
  ScanBackend* backend = backend_.get();
  events.opened = [this, backend, driver](Status result) {
    const std::string message = backend->OpenMessage();
    const std::vector<Problem> problems = backend->Problems();
    const Status shown = driver->Cancelled() ? status::kOk : result;
    QMetaObject::invokeMethod(
        this, [this, shown, message, problems] { OnOpened(shown, message, problems); }, Qt::QueuedConnection);
  };
  events.stepDone = [this, backend, driver](size_t index, const ScanStep&, Status result) {
    const std::vector<Problem> problems = backend->Problems();
    // A cancel is known by the flag, never by the value.
    const Status shown = driver->Cancelled() ? status::kOk : result;
    QMetaObject::invokeMethod(
        this, [this, index, shown, problems] { OnStepDone(index, shown, problems); }, Qt::QueuedConnection);
  };
  events.finished = [this, backend](ScanOutcome outcome, Status) {
    const std::vector<Problem> problems = backend->Problems();
    const std::string message = outcome == ScanOutcome::kCannotOpen ? backend->OpenMessage() : std::string();
    QMetaObject::invokeMethod(
        this,
        [this, outcome, problems, message] {
          problems_.SetSourceProblems(problems);
          openMessage_ = QString::fromStdString(message);
          OnFinished(outcome);
        },
        Qt::QueuedConnection);
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
  // QQ and WeChat join this group when the backup holds their chats.
  messagesGroup_ = messages;
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
  for (int c : {kQQChats, kWeChatChats}) {
    if (QTreeWidgetItem* node = nodes_[static_cast<size_t>(c)]) {
      node->setText(0, FormatText(QStringLiteral("%s (%d)"), {CategoryName(c), counts_[static_cast<size_t>(c)]}));
    }
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
  if (step == QLatin1String("QQ") || step == QLatin1String("WeChat")) what = step;
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

void CScanVrtWnd::OnOpened(Status result, const std::string& message, const std::vector<Problem>& problems) {
  if (!IsBusy()) return;
  if (result != status::kOk) {
    problems_.OpenFailed(result, message, sourceType_ == 0);
  } else {
    problems_.OpenNote(message);
  }
  problems_.SetSourceProblems(problems);
  ShowProblems();
  emit fileTreeReady();
}

void CScanVrtWnd::OnStepDone(size_t index, Status result, const std::vector<Problem>& problems) {
  if (!backend_ || index >= steps_.size()) return;
  // A category that was not ticked stays hidden even when its operation
  // collected it.
  QList<int> arrived;
  std::vector<int> failed;
  for (int c : steps_[index].categories) {
    if (c == kQQChats || c == kWeChatChats) {
      // Read with Messages; a node appears only when there are chats.
      counts_[static_cast<size_t>(c)] = backend_->Count(c);
      read_[static_cast<size_t>(c)] = true;
      ChatsArrived(c);
      failed.push_back(c);
      continue;
    }
    if (!ticks_[static_cast<size_t>(c - 1)]) continue;
    counts_[static_cast<size_t>(c)] = backend_->Count(c);
    read_[static_cast<size_t>(c)] = true;
    arrived << c;
    failed.push_back(c);
  }
  // A database the backup does not hold (ENOENT) is no failure: there was
  // nothing to read. Anything else is.
  if (result == ENOENT) {
    for (int c : failed) absent_[static_cast<size_t>(c)] = true;
  } else if (result != status::kOk) {
    problems_.StepFailed(failed, result);
  }
  problems_.SetSourceProblems(problems);
  ShowProblems();
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
    {
      QString text = sourceType_ == 0
                         ? Text("PageScan", "DeviceCannotOpen",
                                QStringLiteral("The iPhone cannot be read. Check that it is connected, unlocked and "
                                               "trusts this computer, then try again."))
                         : Message("MSG0512", QStringLiteral("The selected backup cannot be opened."));
      // The source's own reason, when it gave one, says what to mend.
      if (!openMessage_.isEmpty()) text += QStringLiteral("\n\n") + openMessage_;
      ShowMessageBox(this, MsgKind::kWarning, QString(), text);
    }
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
  ui_->BtnRecovery->setEnabled(TotalCount() > 0 || chats_->TickedCount() > 0);
  ui_->LblCurrentStep->clear();
  // Every category without an operation of its own was read (there was
  // nothing to read); the counts are final.
  if (outcome == ScanOutcome::kCompleted) {
    for (int c = 1; c <= kCategoryCount; ++c) {
      if (ticks_[static_cast<size_t>(c - 1)]) read_[static_cast<size_t>(c)] = true;
    }
  }
  ShowProblems();
  const bool troubled = !problems_.Empty();
  if (header_.info) {
    header_.info->setText(outcome == ScanOutcome::kCancelled
                              ? Text("PageScan", "ScanStopped", QStringLiteral("The scan was stopped"))
                          : troubled ? Text("PageScan", "ScanDoneProblems", QStringLiteral("The scan finished with problems"))
                                     : Text("PageScan", "ScanDone", QStringLiteral("The scan is complete")));
  }
  if (header_.remark) {
    header_.remark->setText(troubled ? Text("PageScan", "ScanProblemsRemark",
                                            QStringLiteral("Some data could not be read: see the list above the "
                                                           "results. Everything that could be read is shown."))
                                     : Text("PageScan", "ScanDoneRemark"));
  }
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
  if (recoveryFolder_.isEmpty()) recoveryFolder_ = QDir::homePath();
  const QString folder = QFileDialog::getExistingDirectory(
      this, Message("MSG0509", QStringLiteral("Choose the folder to save the recovered files in.")), recoveryFolder_,
      QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return;
  // A folder typed in that does not exist yet is made, when the person
  // agrees; one that cannot be made says why.
  if (!QFileInfo(folder).isDir()) {
    if (ShowMessageBox(this, MsgKind::kQuestion, QString(),
                       FormatText(Text("PageScan", "CreateFolder",
                                       QStringLiteral("The folder %s does not exist. Do you want to create it?")),
                                  {folder})) != kAnswerOk) {
      return;
    }
    if (!QDir().mkpath(folder)) {
      ShowMessageBox(this, MsgKind::kError, QString(),
                     FormatText(Text("PageScan", "CreateFolderFailed", QStringLiteral("The folder %s cannot be created.")),
                                {folder}));
      return;
    }
  }
  recoveryFolder_ = folder;
  emit recoverRequested(folder);
}

}  // namespace orbanix::app
