#include "app/itunes_backup_page.h"

#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QPushButton>
#include <QtConcurrent/QtConcurrentRun>

#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/skin_catalog.h"
#include "app/texts.h"
#include "device/device_binding.h"
#include "ui_PageItunesBackup.h"

namespace orbanix::app {

namespace {
constexpr int kRowHeight = 40;
constexpr int kBackupRole = Qt::UserRole;      // index into backups_; -1 on a phone's row
constexpr int kDeviceRole = Qt::UserRole + 1;  // the phone's UDID, on a phone's row only
constexpr int kDeviceListingMs = 3000;

bool IsDeviceRow(const QTreeWidgetItem* row) { return row && row->data(0, kDeviceRole).isValid(); }

bool SameDevices(const std::vector<DeviceChoice>& a, const std::vector<DeviceChoice>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].udid != b[i].udid || a[i].name != b[i].name) return false;
  }
  return true;
}

// The row picture of an attached phone, in the size and colours of the
// backup pictures: the phone with its cable plugged in.
constexpr char kDeviceIconSvg[] =
    R"(<svg xmlns="http://www.w3.org/2000/svg" width="48" height="26" viewBox="0 0 48 26">)"
    R"(<rect x="4" y="1" width="14" height="24" rx="3" fill="#2f6db5"/>)"
    R"(<rect x="6" y="4" width="10" height="16" fill="#dfeaf7"/>)"
    R"(<circle cx="11" cy="22.5" r="1.2" fill="#dfeaf7"/>)"
    R"(<path d="M18 13h9" stroke="#6b6b6b" stroke-width="2"/>)"
    R"(<rect x="27" y="9" width="9" height="8" rx="1" fill="#6b6b6b"/>)"
    R"(<path d="M36 11h6M36 15h6" stroke="#6b6b6b" stroke-width="2"/>)"
    R"(<circle cx="43" cy="4" r="3" fill="#2fa84f"/></svg>)";

// Shown in the date column of a phone's row.
QString DeviceStateText() { return Text("PageItunesBackup", "DeviceConnected", QStringLiteral("Connected now")); }

std::vector<DeviceChoice> AttachedPhones() {
  std::vector<DeviceChoice> phones;
  for (const device::ConnectedDevice& d : device::ListConnectedDevices()) phones.push_back({d.udid, d.name});
  return phones;
}

}  // namespace

QIcon DeviceIcon() {
  QPixmap picture;
  picture.loadFromData(reinterpret_cast<const uchar*>(kDeviceIconSvg), sizeof kDeviceIconSvg - 1, "SVG");
  return QIcon(picture);
}

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
  picker_ = [](QWidget* parent, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
  };
  lastFolder_ = QDir::homePath();
  lister_ = &AttachedPhones;
  watcher_ = new QFutureWatcher<std::vector<DeviceChoice>>(this);
  connect(watcher_, &QFutureWatcherBase::finished, this, [this] {
    const QFuture<std::vector<DeviceChoice>> future = watcher_->future();
    ShowDevices(future.resultCount() > 0 ? future.result() : std::vector<DeviceChoice>{});
  });
  deviceTimer_ = new QTimer(this);
  deviceTimer_->setInterval(kDeviceListingMs);
  connect(deviceTimer_, &QTimer::timeout, this, &CItunesBackupVrtWnd::RefreshDevices);
  connect(ui_->BtnNext1, &QPushButton::clicked, this, &CItunesBackupVrtWnd::ChooseSelected);
  connect(ui_->BtnSelDir, &QPushButton::clicked, this, &CItunesBackupVrtWnd::PickFolder);
  // Enter (and a double click) on a row is Next.
  connect(ui_->BackupFileList, &QTreeWidget::itemActivated, this, [this] { ChooseSelected(); });
  connect(ui_->BackupFileList, &QTreeWidget::itemSelectionChanged, this,
          [this] { ui_->BtnNext1->setEnabled(!ui_->BackupFileList->selectedItems().isEmpty()); });
  ApplyLanguage();
  Reload();
}

// A listing still running goes on in the thread pool on its own data; its
// result is dropped with the watcher.
CItunesBackupVrtWnd::~CItunesBackupVrtWnd() = default;

void CItunesBackupVrtWnd::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  RefreshDevices();
  deviceTimer_->start();
}

void CItunesBackupVrtWnd::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  deviceTimer_->stop();
}

void CItunesBackupVrtWnd::RefreshDevices() {
  if (watcher_->isRunning() || !lister_) return;
  watcher_->setFuture(QtConcurrent::run([lister = lister_] { return lister(); }));
}

QTreeWidget* CItunesBackupVrtWnd::List() const { return ui_->BackupFileList; }

void CItunesBackupVrtWnd::ApplyLanguage() {
  ApplyTexts(this, "PageItunesBackup");
  ui_->BackupFileList->setHeaderLabels({Text("PageItunesBackup", "ColName", QStringLiteral("Name")),
                                        Text("PageItunesBackup", "ColDate", QStringLiteral("Last Backup Date")),
                                        Text("PageItunesBackup", "ColSerial", QStringLiteral("Serial Number"))});
  for (int i = 0; i < ui_->BackupFileList->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = ui_->BackupFileList->topLevelItem(i);
    if (IsDeviceRow(row)) row->setText(1, DeviceStateText());
  }
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

QTreeWidgetItem* CItunesBackupVrtWnd::MakeDeviceRow(const DeviceChoice& device) const {
  auto* row = new QTreeWidgetItem;
  row->setIcon(0, DeviceIcon());
  row->setText(0, device.name.empty() ? QStringLiteral("iPhone") : QString::fromStdString(device.name));
  row->setText(1, DeviceStateText());
  row->setToolTip(0, QString::fromStdString(device.udid));
  row->setData(0, kBackupRole, -1);
  row->setData(0, kDeviceRole, QString::fromStdString(device.udid));
  row->setSizeHint(0, QSize(-1, kRowHeight));
  return row;
}

QTreeWidgetItem* CItunesBackupVrtWnd::BackupRow(int index) const {
  QTreeWidget* list = ui_->BackupFileList;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    if (!IsDeviceRow(row) && row->data(0, kBackupRole).toInt() == index) return row;
  }
  return nullptr;
}

void CItunesBackupVrtWnd::AddRow(const BackupInfo& info, int index) {
  auto* row = new QTreeWidgetItem(ui_->BackupFileList);
  row->setIcon(0, BackupIcon(info.encrypted));
  row->setText(0, QString::fromStdString(info.displayName));
  row->setText(1, QString::fromStdString(info.lastBackupDate));
  row->setText(2, QString::fromStdString(info.serialNumber));
  row->setToolTip(0, QString::fromStdString(info.folder.string()));
  row->setData(0, kBackupRole, index);
  row->setSizeHint(0, QSize(-1, kRowHeight));
}

void CItunesBackupVrtWnd::Fill() {
  ui_->BackupFileList->clear();
  for (const DeviceChoice& device : devices_) ui_->BackupFileList->addTopLevelItem(MakeDeviceRow(device));
  for (size_t i = 0; i < backups_.size(); ++i) AddRow(backups_[i], static_cast<int>(i));
  if (ui_->BackupFileList->topLevelItemCount() > 0) {
    ui_->BackupFileList->setCurrentItem(ui_->BackupFileList->topLevelItem(0));
    ui_->ListStack->setCurrentIndex(0);
  } else {
    ui_->ListStack->setCurrentIndex(1);
  }
  ui_->BtnNext1->setEnabled(ui_->BackupFileList->topLevelItemCount() > 0);
  ShowEmptyText();
}

void CItunesBackupVrtWnd::ShowDevices(const std::vector<DeviceChoice>& devices) {
  if (SameDevices(devices, devices_)) {
    emit devicesListed();
    return;
  }
  QTreeWidget* list = ui_->BackupFileList;
  // The selection survives the new rows: a backup stays chosen, and so does
  // a phone still attached; a phone gone leaves the first row chosen.
  QTreeWidgetItem* current = list->currentItem();
  const bool chosen = current && current->isSelected();
  const bool onDevice = IsDeviceRow(current);
  const QString udid = onDevice ? current->data(0, kDeviceRole).toString() : QString();
  const int backup = current && !onDevice ? current->data(0, kBackupRole).toInt() : -1;

  devices_ = devices;
  while (list->topLevelItemCount() > 0 && IsDeviceRow(list->topLevelItem(0))) delete list->takeTopLevelItem(0);
  for (size_t i = 0; i < devices_.size(); ++i) list->insertTopLevelItem(static_cast<int>(i), MakeDeviceRow(devices_[i]));

  QTreeWidgetItem* select = nullptr;
  if (chosen && !onDevice) select = BackupRow(backup);
  for (int i = 0; chosen && onDevice && i < static_cast<int>(devices_.size()); ++i) {
    if (list->topLevelItem(i)->data(0, kDeviceRole).toString() == udid) select = list->topLevelItem(i);
  }
  if (!select && (!chosen || onDevice)) select = list->topLevelItem(0);
  if (select) {
    list->setCurrentItem(select);
  } else {
    list->setCurrentItem(nullptr);
  }
  ui_->ListStack->setCurrentIndex(list->topLevelItemCount() > 0 ? 0 : 1);
  ui_->BtnNext1->setEnabled(!list->selectedItems().isEmpty());
  emit devicesListed();
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
  if (IsDeviceRow(row)) {
    const QString udid = row->data(0, kDeviceRole).toString();
    for (const DeviceChoice& device : devices_) {
      if (QString::fromStdString(device.udid) != udid) continue;
      scanPage_->SetSelectedDevice(device);
      emit backupChosen();
      return true;
    }
    return false;
  }
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
    const QString folder = picker_(window(), title, lastFolder_);
    if (folder.isEmpty()) return;
    lastFolder_ = folder;
    const std::filesystem::path picked(folder.toStdString());
    std::vector<BackupInfo> found;
    BackupInfo info;
    if (ReadBackupInfo(picked, info) == status::kOk) {
      found.push_back(info);
    } else {
      // Not a backup itself: perhaps the folder that holds backups.
      std::vector<std::filesystem::path> candidates;
      FindBackups({picked}, candidates);
      ListBackups(candidates, found);
    }
    if (!found.empty()) {
      // The backups join the list (each once) and the first is selected,
      // so going back to step 1 shows what was chosen.
      int first = -1;
      for (const BackupInfo& backup : found) {
        int index = -1;
        for (size_t i = 0; i < backups_.size(); ++i) {
          if (std::filesystem::path(backups_[i].folder).lexically_normal() == backup.folder.lexically_normal()) {
            index = static_cast<int>(i);
          }
        }
        if (index < 0) {
          backups_.push_back(backup);
          index = static_cast<int>(backups_.size()) - 1;
          AddRow(backup, index);
        }
        if (first < 0) first = index;
      }
      ui_->ListStack->setCurrentIndex(0);
      ui_->BackupFileList->setCurrentItem(BackupRow(first));
      ui_->BtnNext1->setEnabled(true);
      if (found.size() > 1) return;  // the person chooses among them
      scanPage_->SetSelectedBackup(backups_[static_cast<size_t>(first)]);
      emit backupChosen();
      return;
    }
    const int answer = ShowMessageBox(
        window(), MsgKind::kQuestion, Text("PageItunesBackup", "SelDirRetryTitle", QStringLiteral("Question")),
        Text("PageItunesBackup", "SelDirRetry",
             QStringLiteral("There is no iPhone backup in this folder, nor in the folders inside it. Do you want "
                            "to choose another folder?")));
    if (answer != kAnswerOk) return;
  }
}

}  // namespace orbanix::app
