#include "app/main_wnd.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProgressBar>
#include <QScreen>
#include <QUrl>

#include "app/about_wnd.h"
#include "app/itunes_backup_page.h"
#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "app/texts.h"
#include "platform/folders.h"
#include "platform/language.h"
#include "ui_MainWnd.h"

namespace orbanix::app {

namespace {

const char* const kStyle = R"(
#Header { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2b6cb0, stop:1 #1d4f8a); }
#Header QLabel { color: white; }
#LblProductName { font-size: 20px; font-weight: bold; }
#TxtBackupFile1, #LblScanInfo { font-size: 15px; font-weight: bold; }
#TxtBackupFile2, #LblRemark { color: #dbe8f7; }
#HeaderSeparator { color: #5b8fcc; }
#BtnAssist { border: none; padding: 6px; border-radius: 4px; }
#BtnAssist:hover { background: rgba(255,255,255,0.18); }
#StepBar { background: #eef3f9; border-bottom: 1px solid #c9d6e6; }
#StepBar QToolButton { border: none; padding: 10px; font-size: 13px; color: #50657d; background: transparent; }
#StepBar QToolButton:checked { color: #1d4f8a; font-weight: bold; border-bottom: 3px solid #2b6cb0; background: #ffffff; }
#StepBar QToolButton:disabled { color: #9aa9ba; }
#Footer { background: #f4f6f9; border-top: 1px solid #dde3ea; }
#Footer QLabel { color: #6c7a89; }
#TreePanel { background: #f4f6f9; border-right: 1px solid #dde3ea; }
#ScanToolBar, #DataListToolBar { border-bottom: 1px solid #dde3ea; }
#ReocveryToolBar { border-top: 1px solid #dde3ea; background: #f4f6f9; }
#TxtDeviceName { font-size: 18px; font-weight: bold; }
#LblCurrentStep { color: #50657d; }
#BtnNext1, #BtnNext2, #BtnRecovery { font-weight: bold; }
#BackupFileList::item { height: 40px; }
)";

}  // namespace

CMainWnd::CMainWnd(std::vector<std::filesystem::path> roots, ScanBackendFactory factory, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::MainWnd>()) {
  InitSkinResources();
  ui_->setupUi(this);
  setObjectName(QStringLiteral("MainWnd"));
  setStyleSheet(QString::fromLatin1(kStyle));
  setWindowIcon(QIcon(QStringLiteral(":/skin/images/logo.svg")));

  // The pages: the scan page first, since the others hand it their work.
  scanPage_ = new CScanVrtWnd(ui_->MainTabPage);
  scanPage_->setObjectName(QStringLiteral("ScanVtrWnd"));
  scanPage_->SetBackendFactory(std::move(factory));
  scanPage_->SetHeader({ui_->HorLayoutMain, ui_->HorLayoutScan, ui_->LblScanInfo, ui_->LblRemark, ui_->LblRemarkIcon});
  ui_->MainTabPage->addWidget(scanPage_);

  backupPage_ = new CItunesBackupVrtWnd(scanPage_, std::move(roots), ui_->TabPage);
  backupPage_->setObjectName(QStringLiteral("ItunesVtrWnd"));
  ui_->TabPage->addWidget(backupPage_);
  categoryPage_ = new CSpecifyFileVrtWnd(scanPage_, ui_->TabPage);
  categoryPage_->setObjectName(QStringLiteral("SpecifyFileVtrWnd"));
  categoryPage_->SetNavigation(ui_->StepBar);
  ui_->TabPage->addWidget(categoryPage_);
  ui_->TabPage->setCurrentIndex(0);
  ui_->MainTabPage->setCurrentIndex(0);

  connect(ui_->OptStep1, &QToolButton::clicked, this, [this] { SelectStep(1); });
  connect(ui_->OptStep2, &QToolButton::clicked, this, [this] {
    // Going to step 2 from the step bar chooses the selected backup as
    // "Next" would; with no backup there is nothing to go on with.
    if (!backupPage_->ChooseSelected()) {
      SelectStep(scanPage_->SelectedBackup().folder.empty() && !scanPage_->DeviceSelected() ? 1 : 2);
    }
  });
  connect(backupPage_, &CItunesBackupVrtWnd::backupChosen, this, [this] { SelectStep(2); });

  connect(categoryPage_, &CSpecifyFileVrtWnd::startScanRequested, this, &CMainWnd::startScan);
  connect(categoryPage_, &CSpecifyFileVrtWnd::backRequested, this, [this] { SelectStep(1); });
  connect(this, &CMainWnd::startScan, this, &CMainWnd::OnStartScan, Qt::QueuedConnection);
  connect(scanPage_, &CScanVrtWnd::firstProgress, this, &CMainWnd::OnFirstProgress);
  connect(scanPage_, &CScanVrtWnd::wrongPassword, this, &CMainWnd::OnWrongPassword);
  connect(scanPage_, &CScanVrtWnd::cannotOpen, this, &CMainWnd::OnScanNotStarted);
  connect(scanPage_, &CScanVrtWnd::homeRequested, this, &CMainWnd::OnHome);

  // While an encrypted backup's password is checked (seconds of key
  // derivation before the first progress), the header says so with a busy
  // bar instead of leaving a greyed page.
  checking_ = new QProgressBar(ui_->HorLayoutScan);
  checking_->setObjectName(QStringLiteral("ProgressChecking"));
  checking_->setRange(0, 0);
  checking_->setTextVisible(false);
  checking_->setMaximumSize(260, 8);
  checking_->hide();
  ui_->ScanInfoLayout->addWidget(checking_);
  // The header's words get the room the header has, so that a remark is
  // wrapped into two even lines rather than a column ending in one word.
  ui_->LblRemark->setMinimumWidth(460);
  ui_->HorLayoutScan->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

  BuildAssistMenu();
  ReloadTexts();
  resize(1000, 665);
}

CMainWnd::~CMainWnd() = default;

namespace {

std::function<bool(const QUrl&)>& UrlOpener() {
  static std::function<bool(const QUrl&)> opener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  return opener;
}

}  // namespace

void CMainWnd::SetUrlOpenerForTests(std::function<bool(const QUrl&)> opener) {
  UrlOpener() = opener ? std::move(opener) : [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

std::filesystem::path CMainWnd::ManualFolder() {
  // Beside the executable in a build, under share/ once installed.
  const std::filesystem::path program = ProgramFolder();
  for (const std::filesystem::path& folder :
       {program / "manual", (program / ".." / "share" / "orbanix" / "manual").lexically_normal()}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(folder / "index.html", ec)) return folder;
  }
  return program / "manual";
}

QString CMainWnd::AssistAddress(const QString& item) {
  // Help, FAQ and Support are pages of the manual installed with the
  // program; About is a window of its own (no address).
  const char* page = item == QLatin1String("item_help")      ? "index.html"
                     : item == QLatin1String("item_faq")     ? "faq.html"
                     : item == QLatin1String("item_support") ? "troubleshooting.html"
                                                             : nullptr;
  if (!page) return QString();
  return QUrl::fromLocalFile(QString::fromStdString((ManualFolder() / page).string())).toString();
}

void CMainWnd::ShowAbout() {
  if (!about_) {
    about_ = new CAboutWnd(this);
    about_->setAttribute(Qt::WA_DeleteOnClose);
  }
  about_->show();
  about_->raise();
  about_->activateWindow();
}

void CMainWnd::OpenAssistItem(const QString& item) {
  if (item == QLatin1String("item_about")) {
    ShowAbout();
    return;
  }
  const QUrl url(AssistAddress(item));
  // Never a link to a place that is not there: a manual that is missing
  // says so.
  if (!QFileInfo::exists(url.toLocalFile()) || !UrlOpener()(url)) {
    ShowMessageBox(this, MsgKind::kWarning, QString(),
                   FormatText(Text("MainWnd", "ManualMissing",
                                   QStringLiteral("The manual cannot be opened: %s is missing or no program opens it.")),
                              {url.toLocalFile()}));
  }
}

void CMainWnd::BuildAssistMenu() {
  assistMenu_ = new QMenu(this);
  assistMenu_->setObjectName(QStringLiteral("menu_assist_reg"));
  auto addItem = [this](const char* name, const char* text) {
    QAction* action = assistMenu_->addAction(QString::fromLatin1(text));
    action->setObjectName(QString::fromLatin1(name));
    return action;
  };
  for (const char* item : {"item_help", "item_faq", "item_about", "item_support"}) {
    const QString name = QString::fromLatin1(item);
    QAction* action = addItem(item, item);
    connect(action, &QAction::triggered, this, [this, name] { OpenAssistItem(name); });
  }
  // The language list: shown only when there is more than one language.
  languageMenu_ = new QMenu(assistMenu_);
  QAction* languageItem = assistMenu_->insertMenu(assistMenu_->actions().value(1), languageMenu_);
  languageItem->setObjectName(QStringLiteral("item_language"));
  languageItem->setText(QStringLiteral("Language"));
  auto* group = new QActionGroup(languageMenu_);
  for (const auto& [name, label] : Language().Languages()) {
    QAction* action = languageMenu_->addAction(QString::fromStdString(label.empty() ? name : label));
    action->setCheckable(true);
    action->setChecked(name == Language().CurrentLanguage());
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, language = name] {
      Language().Set(language);
      QMetaObject::invokeMethod(this, [this] { ReloadTexts(); }, Qt::QueuedConnection);
    });
  }
  languageItem->setVisible(Language().Languages().size() > 1);
  assistMenu_->addSeparator();
  QAction* exitItem = addItem("item_exit", "Exit");
  // Exit goes through the same confirmation as the close button.
  connect(exitItem, &QAction::triggered, this, &QWidget::close, Qt::QueuedConnection);
  ui_->BtnAssist->setMenu(assistMenu_);
}

void CMainWnd::ReloadTexts() {
  ApplyTexts(this, "MainWnd");
  // The menu's actions belong to the menu, not to this window's widgets.
  ApplyTexts(assistMenu_, "MainWnd");
  setWindowTitle(Text("MainWnd", "Title", QStringLiteral("Corvane Orbanix")));
  backupPage_->ApplyLanguage();
  categoryPage_->ApplyLanguage();
  scanPage_->ApplyLanguage();
}

void CMainWnd::ShowFromAnotherStart() {
  if (isMinimized()) {
    showNormal();
  } else {
    show();
  }
  raise();
  activateWindow();
}

void CMainWnd::SelectStep(int step) {
  ui_->OptStep1->setChecked(step == 1);
  ui_->OptStep2->setChecked(step == 2);
  ui_->TabPage->setCurrentIndex(step == 2 ? 1 : 0);
  if (step == 2) {
    categoryPage_->NextButton()->setFocus();
  } else {
    backupPage_->List()->setFocus();
  }
}

void CMainWnd::OnStartScan(int sourceType) {
  // The category page asks for a scan of what step 1 chose: a phone chosen
  // there is read as a connected device.
  if (sourceType == 1 && scanPage_->DeviceSelected()) sourceType = 0;
  if (scanPage_->StartScan(sourceType, categoryPage_->Ticks()) != 0) {
    OnScanNotStarted();
    return;
  }
  if (sourceType == 1 && scanPage_->SelectedBackup().encrypted && scanPage_->state() == CScanVrtWnd::State::kScanning) {
    ui_->HorLayoutMain->hide();
    ui_->HorLayoutScan->show();
    ui_->LblScanInfo->setText(Text("MainWnd", "CheckingPassword", QStringLiteral("Checking the password…")));
    ui_->LblRemark->setText(Text("MainWnd", "CheckingPasswordRemark",
                                 QStringLiteral("An encrypted backup takes a few seconds to unlock.")));
    checking_->show();
    categoryPage_->ShowChecking(true);
  }
}

void CMainWnd::EndChecking() {
  categoryPage_->ShowChecking(false);
  if (checking_->isHidden()) return;
  checking_->hide();
  scanPage_->ShowHeaderTexts();
}

void CMainWnd::OnFirstProgress() {
  EndChecking();
  categoryPage_->Unlock();
  ui_->MainTabPage->setCurrentIndex(1);
  ui_->HorLayoutMain->hide();
  ui_->HorLayoutScan->show();
}

void CMainWnd::OnWrongPassword() {
  // The scan never showed: the category page is still up, under the
  // wizard's own header.
  checking_->hide();
  categoryPage_->ShowChecking(false);
  ui_->MainTabPage->setCurrentIndex(0);
  ui_->HorLayoutMain->show();
  ui_->HorLayoutScan->hide();
  categoryPage_->ForgetPassword(scanPage_->SelectedBackup());
  ShowMessageBox(this, MsgKind::kInformation, Message("MSG0403", QStringLiteral("Information")),
                 Message("MSG0302", QStringLiteral("The password is not correct.")));
  if (categoryPage_->PasswordStep(scanPage_->SelectedBackup()) == 0) {
    emit startScan(1);
  } else {
    categoryPage_->Unlock();
  }
}

void CMainWnd::OnScanNotStarted() {
  checking_->hide();
  ui_->MainTabPage->setCurrentIndex(0);
  ui_->HorLayoutMain->show();
  ui_->HorLayoutScan->hide();
  categoryPage_->Unlock();
}

void CMainWnd::OnHome() {
  ui_->HorLayoutMain->show();
  ui_->HorLayoutScan->hide();
  ui_->MainTabPage->setCurrentIndex(0);
  SelectStep(1);
}

void CMainWnd::closeEvent(QCloseEvent* event) {
  if (scanPage_->MayClose() != kAnswerOk) {
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace orbanix::app
