// Step 1 of the wizard: the backups found under the backup roots, one row
// each (an encrypted one with the lock icon), and a folder picker for a
// backup kept elsewhere.
#pragma once

#include <QTreeWidget>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "sources/discovery.h"

namespace Ui {
class PageItunesBackup;
}

namespace orbanix::app {

class CScanVrtWnd;

class CItunesBackupVrtWnd : public QWidget {
  Q_OBJECT
 public:
  CItunesBackupVrtWnd(CScanVrtWnd* scanPage, std::vector<std::filesystem::path> roots, QWidget* parent = nullptr);
  ~CItunesBackupVrtWnd() override;

  void ApplyLanguage();
  // Lists the backups of the roots again and fills the list.
  void Reload();

  const std::vector<BackupInfo>& Backups() const { return backups_; }
  const std::vector<std::filesystem::path>& Roots() const { return roots_; }
  QTreeWidget* List() const;

  // "BtnNext1": hands the selected row's backup to the scan page. False
  // when no row is selected.
  bool ChooseSelected();

  // Asks for a folder (empty when cancelled). A folder dialog by default;
  // tests put their own answers here.
  using FolderPicker = std::function<QString(QWidget* parent, const QString& title)>;
  void SetFolderPicker(FolderPicker picker) { picker_ = std::move(picker); }
  void PickFolder();

 signals:
  // A backup has been chosen: go to step 2.
  void backupChosen();

 private:
  void Fill();
  void AddRow(const BackupInfo& info);
  void ShowEmptyText();

  std::unique_ptr<Ui::PageItunesBackup> ui_;
  CScanVrtWnd* scanPage_;
  std::vector<std::filesystem::path> roots_;
  std::vector<BackupInfo> backups_;
  std::vector<SkippedBackup> skipped_;
  FolderPicker picker_;
};

}  // namespace orbanix::app
