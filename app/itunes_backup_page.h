// Step 1 of the wizard: the iPhones attached to this computer, then the
// backups found under the backup roots, one row each (an encrypted backup
// with the lock icon), and a folder picker for a backup kept elsewhere.
//
// The phones are listed off the user-interface thread (asking a phone its
// name may take a while) when the page is shown and every few seconds while
// it stays shown; their rows follow when a listing is back.
#pragma once

#include <QFutureWatcher>
#include <QIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/scan_backend.h"
#include "sources/discovery.h"

namespace Ui {
class PageItunesBackup;
}

namespace orbanix::app {

class CScanVrtWnd;

// The picture of an attached phone (48 x 26, beside the backup pictures).
QIcon DeviceIcon();

class CItunesBackupVrtWnd : public QWidget {
  Q_OBJECT
 public:
  CItunesBackupVrtWnd(CScanVrtWnd* scanPage, std::vector<std::filesystem::path> roots, QWidget* parent = nullptr);
  ~CItunesBackupVrtWnd() override;

  void ApplyLanguage();
  // Lists the backups of the roots again and fills the list.
  void Reload();

  const std::vector<BackupInfo>& Backups() const { return backups_; }
  // The phones of the last listing, in the order of their rows.
  const std::vector<DeviceChoice>& Devices() const { return devices_; }
  const std::vector<std::filesystem::path>& Roots() const { return roots_; }
  QTreeWidget* List() const;

  // "BtnNext1": hands the selected row's backup (or phone) to the scan
  // page. False when no row is selected.
  bool ChooseSelected();

  // Lists the attached phones again; nothing when a listing is running.
  // devicesListed() tells when the rows follow the new list.
  void RefreshDevices();
  bool ListingDevices() const { return watcher_->isRunning(); }
  // How the phones are listed (the device library's list by default);
  // called on a worker thread.
  using DeviceLister = std::function<std::vector<DeviceChoice>()>;
  void SetDeviceLister(DeviceLister lister) { lister_ = std::move(lister); }
  QTimer* DeviceTimer() const { return deviceTimer_; }

  // Asks for a folder (empty when cancelled), starting in `start`. A folder
  // dialog by default; tests put their own answers here.
  using FolderPicker = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;
  void SetFolderPicker(FolderPicker picker) { picker_ = std::move(picker); }
  // Accepts a backup folder, or a folder that holds backups (the folder
  // iTunes keeps them in, a copy of it): all of these join the list; one
  // alone is chosen at once, several wait for the person to choose.
  void PickFolder();
  // Where the next folder dialog starts: the home folder, then the folder
  // last picked.
  const QString& LastFolder() const { return lastFolder_; }

 signals:
  // A backup has been chosen: go to step 2.
  void backupChosen();
  // A listing of the phones is back and the rows show it.
  void devicesListed();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Fill();
  void AddRow(const BackupInfo& info, int index);
  QTreeWidgetItem* MakeDeviceRow(const DeviceChoice& device) const;
  QTreeWidgetItem* BackupRow(int index) const;
  void ShowDevices(const std::vector<DeviceChoice>& devices);
  void ShowEmptyText();

  std::unique_ptr<Ui::PageItunesBackup> ui_;
  CScanVrtWnd* scanPage_;
  std::vector<std::filesystem::path> roots_;
  std::vector<BackupInfo> backups_;
  std::vector<SkippedBackup> skipped_;
  std::vector<DeviceChoice> devices_;
  FolderPicker picker_;
  QString lastFolder_;
  DeviceLister lister_;
  QFutureWatcher<std::vector<DeviceChoice>>* watcher_ = nullptr;
  QTimer* deviceTimer_ = nullptr;
};

}  // namespace orbanix::app
