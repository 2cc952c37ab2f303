#include "app/itunes_backup_page.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QPushButton>

#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/skin_catalog.h"
#include "app/texts.h"
#include "ui_PageItunesBackup.h"

namespace orbanix::app {

namespace {
constexpr int kRowHeight = 40;
constexpr int kBackupRole = Qt::UserRole;  // index into backups_
}  // namespace

CItunesBackupVrtWnd::CItunesBackupVrtWnd(CScanVrtWnd* scanPage, std::vector<std::filesystem::path> roots,
                                         QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::PageItunesBackup>()), scanPage_(scanPage), roots_(std::move(roots)) {
  InitSkinResources();
  ui_->setupUi(this);
  QHeaderView* header = ui_->BackupFileList->header();
  header->setStretchLastSection(false);
  header->setSectionResizeMode(0, QHeaderView::Stretch);
  header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  header->setMinimumSectionSize(150);
  picker_ = [](QWidget* parent, const QString& title) {
    return QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
  };
  connect(ui_->BtnNext1, &QPushButton::clicked, this, &CItunesBackupVrtWnd::ChooseSelected);
  connect(ui_->BtnSelDir, &QPushButton::clicked, this, &CItunesBackupVrtWnd::PickFolder);
  // Enter (and a double click) on a row is Next.
  connect(ui_->BackupFileList, &QTreeWidget::itemActivated, this, [this] { ChooseSelected(); });
  connect(ui_->BackupFileList, &QTreeWidget::itemSelectionChanged, this,
          [this] { ui_->BtnNext1->setEnabled(!ui_->BackupFileList->selectedItems().isEmpty()); });
  ApplyLanguage();
  Reload();
}

CItunesBackupVrtWnd::~CItunesBackupVrtWnd() = default;

QTreeWidget* CItunesBackupVrtWnd::List() const { return ui_->BackupFileList; }

void CItunesBackupVrtWnd::ApplyLanguage() {
  ApplyTexts(this, "PageItunesBackup");
  ui_->BackupFileList->setHeaderLabels({Text("PageItunesBackup", "ColName", QStringLiteral("Name")),
                                        Text("PageItunesBackup", "ColDate", QStringLiteral("Last Backup Date")),
                                        Text("PageItunesBackup", "ColSerial", QStringLiteral("Serial Number"))});
  ShowEmptyText();
}

void CItunesBackupVrtWnd::Reload() {
  backups_.clear();
  skipped_.clear();
  std::vector<std::filesystem::path> candidates;
  FindBackups(roots_, candidates, &skipped_);
  ListBackups(candidates, backups_, &skipped_);
  Fill();
}

void CItunesBackupVrtWnd::AddRow(const BackupInfo& info) {
  auto* row = new QTreeWidgetItem(ui_->BackupFileList);
  row->setIcon(0, BackupIcon(info.encrypted));
  row->setText(0, QString::fromStdString(info.displayName));
  row->setText(1, QString::fromStdString(info.lastBackupDate));
  row->setText(2, QString::fromStdString(info.serialNumber));
  row->setToolTip(0, QString::fromStdString(info.folder.string()));
  row->setData(0, kBackupRole, ui_->BackupFileList->topLevelItemCount() - 1);
  row->setSizeHint(0, QSize(-1, kRowHeight));
}

void CItunesBackupVrtWnd::Fill() {
  ui_->BackupFileList->clear();
  for (const BackupInfo& info : backups_) AddRow(info);
  if (ui_->BackupFileList->topLevelItemCount() > 0) {
    ui_->BackupFileList->setCurrentItem(ui_->BackupFileList->topLevelItem(0));
    ui_->ListStack->setCurrentIndex(0);
  } else {
    ui_->ListStack->setCurrentIndex(1);
  }
  ui_->BtnNext1->setEnabled(!backups_.empty());
  ShowEmptyText();
}

void CItunesBackupVrtWnd::ShowEmptyText() {
  QStringList places;
  for (const auto& root : roots_) places << QString::fromStdString(root.string());
  if (places.isEmpty()) places << QStringLiteral("-");
  const QString format = Text("PageItunesBackup", "LblEmptyList",
                              QStringLiteral("No iTunes backups were found in:\n%s\nChoose a backup folder yourself."));
  ui_->LblEmptyList->setText(FormatText(format, {places.join('\n')}));
}

bool CItunesBackupVrtWnd::ChooseSelected() {
  QTreeWidgetItem* row = ui_->BackupFileList->currentItem();
  if (!row || !row->isSelected()) return false;
  const int index = row->data(0, kBackupRole).toInt();
  if (index < 0 || index >= static_cast<int>(backups_.size())) return false;
  scanPage_->SetSelectedBackup(backups_[static_cast<size_t>(index)]);
  emit backupChosen();
  return true;
}

void CItunesBackupVrtWnd::PickFolder() {
  const QString title = Text("PageItunesBackup", "SelDirTitle",
                             QStringLiteral("Select the iTunes Backup File from other folder to recover your data."));
  for (;;) {
    const QString folder = picker_(window(), title);
    if (folder.isEmpty()) return;
    BackupInfo info;
    if (ReadBackupInfo(std::filesystem::path(folder.toStdString()), info) == status::kOk) {
      // The picked backup joins the list (once) and is selected, so going
      // back to step 1 shows what was chosen.
      int index = -1;
      for (size_t i = 0; i < backups_.size(); ++i) {
        if (std::filesystem::path(backups_[i].folder).lexically_normal() == info.folder.lexically_normal()) {
          index = static_cast<int>(i);
        }
      }
      if (index < 0) {
        backups_.push_back(info);
        AddRow(info);
        index = static_cast<int>(backups_.size()) - 1;
        ui_->ListStack->setCurrentIndex(0);
      }
      ui_->BackupFileList->setCurrentItem(ui_->BackupFileList->topLevelItem(index));
      scanPage_->SetSelectedBackup(backups_[static_cast<size_t>(index)]);
      emit backupChosen();
      return;
    }
    const int answer = ShowMessageBox(
        window(), MsgKind::kQuestion, Text("PageItunesBackup", "SelDirRetryTitle", QStringLiteral("Question")),
        Text("PageItunesBackup", "SelDirRetry",
             QStringLiteral("Can not found the backup file, do you want to try again?")));
    if (answer != kAnswerOk) return;
  }
}

}  // namespace orbanix::app
