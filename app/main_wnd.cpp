#include "app/main_wnd.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QScreen>
#include <QUrl>

#include "app/itunes_backup_page.h"
#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "app/texts.h"
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
  categoryPage_->SetNavigation(ui_->MainTabPage);
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
  connect(this, &CMainWnd::startScan, this, &CMainWnd::OnStartScan, Qt::QueuedConnection);
  connect(scanPage_, &CScanVrtWnd::firstProgress, this, &CMainWnd::OnFirstProgress);
  connect(scanPage_, &CScanVrtWnd::wrongPassword, this, &CMainWnd::OnWrongPassword);
  connect(scanPage_, &CScanVrtWnd::cannotOpen, this, &CMainWnd::OnScanNotStarted);
  connect(scanPage_, &CScanVrtWnd::homeRequested, this, &CMainWnd::OnHome);

  BuildAssistMenu();
  ReloadTexts();
  resize(1000, 665);
}

CMainWnd::~CMainWnd() = default;

QString CMainWnd::AssistAddress(const QString& item) {
  if (item == QLatin1String("item_help")) return QStringLiteral("https://corvane.example/orbanix/help");
  if (item == QLatin1String("item_faq")) return QStringLiteral("https://corvane.example/orbanix/faq");
  if (item == QLatin1String("item_about")) return QStringLiteral("https://corvane.example/orbanix/about");
  return QStringLiteral("https://corvane.example/orbanix/support");
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
    connect(action, &QAction::triggered, this, [name] { QDesktopServices::openUrl(QUrl(AssistAddress(name))); });
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
  if (scanPage_->StartScan(sourceType, categoryPage_->Ticks()) != 0) OnScanNotStarted();
}

void CMainWnd::OnFirstProgress() {
  categoryPage_->Unlock();
  ui_->MainTabPage->setCurrentIndex(1);
  ui_->HorLayoutMain->hide();
  ui_->HorLayoutScan->show();
}

void CMainWnd::OnWrongPassword() {
  // The scan never showed: the category page is still up.
  ui_->MainTabPage->setCurrentIndex(0);
  ShowMessageBox(this, MsgKind::kInformation, Message("MSG0403", QStringLiteral("Information")),
                 Message("MSG0302", QStringLiteral("The password is not correct.")));
  if (categoryPage_->PasswordStep(scanPage_->SelectedBackup()) == 0) {
    emit startScan(1);
  } else {
    categoryPage_->Unlock();
  }
}

void CMainWnd::OnScanNotStarted() {
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
