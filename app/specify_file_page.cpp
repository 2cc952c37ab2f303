#include "app/specify_file_page.h"

#include <QFrame>
#include <QProgressBar>
#include <QVBoxLayout>

#include "app/decryption_wnd.h"
#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/select_all_box.h"
#include "app/skin_catalog.h"
#include "app/texts.h"
#include "ui_PageSpecifyFile.h"

namespace orbanix::app {

CSpecifyFileVrtWnd::CSpecifyFileVrtWnd(CScanVrtWnd* scanPage, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::PageSpecifyFile>()), scanPage_(scanPage) {
  InitSkinResources();
  ui_->setupUi(this);
  for (const CategoryInfo& info : Categories()) {
    QCheckBox* option = findChild<QCheckBox*>(QString::fromLatin1(info.option));
    Q_ASSERT(option);
    options_[static_cast<size_t>(info.number - 1)] = option;
    connect(option, &QCheckBox::clicked, this, &CSpecifyFileVrtWnd::OnOption);
  }
  ui_->ChkSelAll->setCheckState(Qt::Checked);
  connect(ui_->ChkSelAll, &QCheckBox::clicked, this, &CSpecifyFileVrtWnd::OnSelectAll);
  connect(ui_->BtnNext2, &QPushButton::clicked, this, &CSpecifyFileVrtWnd::OnNext);
  connect(ui_->BtnBack2, &QPushButton::clicked, this, &CSpecifyFileVrtWnd::backRequested);
  ui_->LblChosenBackup->setStyleSheet(QStringLiteral("font-weight: bold;"));

  // Unlocking an encrypted backup takes seconds of key derivation before
  // anything can be shown: the page says so where the person looks.
  auto* box = new QFrame(this);
  box->setObjectName(QStringLiteral("CheckingBox"));
  box->setStyleSheet(QStringLiteral("#CheckingBox { background: #eaf2fc; border: 1px solid #b7cde8; border-radius: 6px; }"
                                    "#CheckingBox QLabel { background: transparent; }"));
  auto* boxLayout = new QVBoxLayout(box);
  boxLayout->setContentsMargins(16, 10, 16, 12);
  boxLayout->setSpacing(6);
  checkingText_ = new QLabel(QStringLiteral("Checking the password…"), box);
  checkingText_->setObjectName(QStringLiteral("LblChecking"));
  checkingText_->setStyleSheet(QStringLiteral("font-weight: bold;"));
  auto* remark = new QLabel(QStringLiteral("An encrypted backup takes a few seconds to unlock. The scan begins as "
                                           "soon as the password is found right."),
                            box);
  remark->setObjectName(QStringLiteral("LblCheckingRemark"));
  remark->setWordWrap(true);
  auto* bar = new QProgressBar(box);
  bar->setObjectName(QStringLiteral("ProgressCheckingPage"));
  bar->setRange(0, 0);
  bar->setTextVisible(false);
  bar->setMaximumHeight(10);
  boxLayout->addWidget(checkingText_);
  boxLayout->addWidget(remark);
  boxLayout->addWidget(bar);
  ui_->PageLayout->insertWidget(ui_->PageLayout->indexOf(ui_->ButtonLayout), box);
  box->hide();
  checkingBox_ = box;
  prompt_ = [](QWidget* parent, QString& password) {
    CDecryptionWnd wnd(parent);
    const int result = wnd.Run();
    if (result == 1) password = wnd.Password();
    return result;
  };
  ApplyLanguage();
}

CSpecifyFileVrtWnd::~CSpecifyFileVrtWnd() = default;

void CSpecifyFileVrtWnd::ApplyLanguage() {
  ApplyTexts(this, "PageSpecifyFile");
  ShowChosen();
}

void CSpecifyFileVrtWnd::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ShowChosen();
}

void CSpecifyFileVrtWnd::ShowChosen() {
  // Which backup (or phone) the ticks are for.
  QString text;
  if (scanPage_->DeviceSelected()) {
    const DeviceChoice& phone = scanPage_->SelectedDevice();
    text = FormatText(Text("PageSpecifyFile", "ChosenDevice", QStringLiteral("Connected iPhone: %s")),
                      {QString::fromStdString(phone.name.empty() ? std::string("iPhone") : phone.name)});
  } else if (!scanPage_->SelectedBackup().folder.empty()) {
    const BackupInfo& backup = scanPage_->SelectedBackup();
    text = FormatText(Text("PageSpecifyFile", "ChosenBackup", QStringLiteral("Backup: %s, %s")),
                      {QString::fromStdString(backup.displayName), QString::fromStdString(backup.lastBackupDate)});
    if (backup.encrypted) text += QLatin1Char(' ') + Text("PageSpecifyFile", "ChosenEncrypted", QStringLiteral("(encrypted)"));
  }
  ui_->LblChosenBackup->setText(text);
  ui_->LblChosenBackup->setVisible(!text.isEmpty());
}

CSelectAllCheckBox* CSpecifyFileVrtWnd::SelectAll() const { return ui_->ChkSelAll; }
QPushButton* CSpecifyFileVrtWnd::NextButton() const { return ui_->BtnNext2; }

CategoryTicks CSpecifyFileVrtWnd::Ticks() const {
  CategoryTicks ticks{};
  for (size_t i = 0; i < options_.size(); ++i) ticks[i] = options_[i]->isChecked();
  return ticks;
}

void CSpecifyFileVrtWnd::OnSelectAll() {
  const bool checked = ui_->ChkSelAll->checkState() != Qt::Unchecked;
  for (QCheckBox* option : options_) option->setChecked(checked);
  ui_->BtnNext2->setEnabled(checked);
}

void CSpecifyFileVrtWnd::OnOption() {
  int ticked = 0;
  for (QCheckBox* option : options_) ticked += option->isChecked() ? 1 : 0;
  if (ticked == 0) {
    ui_->ChkSelAll->setCheckState(Qt::Unchecked);
  } else if (ticked == static_cast<int>(options_.size())) {
    ui_->ChkSelAll->setCheckState(Qt::Checked);
  } else {
    ui_->ChkSelAll->setCheckState(Qt::PartiallyChecked);
  }
  // At least one tick is needed to go on.
  ui_->BtnNext2->setEnabled(ticked > 0);
}

void CSpecifyFileVrtWnd::Lock() {
  for (QWidget* w : {static_cast<QWidget*>(ui_->LblGroupMedia), static_cast<QWidget*>(ui_->LblGroupMessages),
                     static_cast<QWidget*>(ui_->LblGroupOthers), static_cast<QWidget*>(ui_->ChkSelAll),
                     static_cast<QWidget*>(ui_->BtnBack2), static_cast<QWidget*>(ui_->BtnNext2)}) {
    w->setEnabled(false);
  }
  if (navigation_) navigation_->setEnabled(false);
}

void CSpecifyFileVrtWnd::Unlock() {
  for (QWidget* w : {static_cast<QWidget*>(ui_->LblGroupMedia), static_cast<QWidget*>(ui_->LblGroupMessages),
                     static_cast<QWidget*>(ui_->LblGroupOthers), static_cast<QWidget*>(ui_->ChkSelAll),
                     static_cast<QWidget*>(ui_->BtnBack2)}) {
    w->setEnabled(true);
  }
  ui_->BtnNext2->setEnabled(ui_->ChkSelAll->checkState() != Qt::Unchecked);
  if (navigation_) navigation_->setEnabled(true);
  ShowChecking(false);
}

void CSpecifyFileVrtWnd::ShowChecking(bool checking) { checkingBox_->setVisible(checking); }

int CSpecifyFileVrtWnd::PasswordStep(const BackupInfo& backup) {
  if (!backup.encrypted) {
    scanPage_->SetPassword(QString());
    return 0;
  }
  const std::string key = backup.folder.string();
  if (const auto known = passwords_.find(key); known != passwords_.end()) {
    scanPage_->SetPassword(known->second);
    return 0;
  }
  for (;;) {
    QString password;
    if (prompt_(window(), password) != 1) return 1;
    if (!password.isEmpty()) {
      scanPage_->SetPassword(password);
      passwords_[key] = password;
      return 0;
    }
    const int answer = ShowMessageBox(window(), MsgKind::kWarning, Message("MSG0405", QStringLiteral("Warning")),
                                      Message("MSG0301", QStringLiteral("The password is empty.")), true);
    if (answer != kAnswerOk) {
      scanPage_->SetPassword(QString());
      return 0;
    }
  }
}

void CSpecifyFileVrtWnd::ForgetPassword(const BackupInfo& backup) { passwords_.erase(backup.folder.string()); }

bool CSpecifyFileVrtWnd::KnowsPassword(const BackupInfo& backup) const {
  return passwords_.count(backup.folder.string()) != 0;
}

void CSpecifyFileVrtWnd::OnNext() {
  if (ui_->ChkSelAll->checkState() == Qt::Unchecked) return;
  Lock();
  if (PasswordStep(scanPage_->SelectedBackup()) == 1) {
    Unlock();
    return;
  }
  // Both stay disabled until the scan reports its first progress.
  emit startScanRequested(1);
}

}  // namespace orbanix::app
