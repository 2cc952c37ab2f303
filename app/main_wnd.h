// The program's only top-level window: header, step bar, the wizard pages
// and the scan page. It routes the program's notices between the pages and
// the scan worker as queued signals:
//   start scan (source type)      category page -> scan page
//   first progress / wrong password (1035)   scan page -> this window
//   scan finished (1034), file tree ready (1032), counts changed (1033)
#pragma once

#include <QMenu>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/scan_backend.h"

namespace Ui {
class MainWnd;
}

namespace orbanix::app {

class CItunesBackupVrtWnd;
class CSpecifyFileVrtWnd;
class CScanVrtWnd;

class CMainWnd : public QWidget {
  Q_OBJECT
 public:
  // `roots`: where backups are looked for. `factory` makes the data source
  // of a scan (the local-backup source unless a test gives its own).
  CMainWnd(std::vector<std::filesystem::path> roots, ScanBackendFactory factory, QWidget* parent = nullptr);
  ~CMainWnd() override;

  // Shows the window for a later start of the program: restored when
  // minimised, raised and activated.
  void ShowFromAnotherStart();

  // Reloads every text after a language change (message 1030).
  void ReloadTexts();

  CItunesBackupVrtWnd* BackupPage() const { return backupPage_; }
  CSpecifyFileVrtWnd* CategoryPage() const { return categoryPage_; }
  CScanVrtWnd* ScanPage() const { return scanPage_; }
  Ui::MainWnd* ui() const { return ui_.get(); }
  QMenu* AssistMenu() const { return assistMenu_; }

  // Web pages of the assist menu (help, FAQ, about, support).
  static QString AssistAddress(const QString& item);

 signals:
  // Start a scan; queued so that the category page's click handler has
  // returned before the scan begins.
  void startScan(int sourceType);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void SelectStep(int step);
  void OnStartScan(int sourceType);
  void OnFirstProgress();
  void OnWrongPassword();
  void OnScanNotStarted();
  void OnHome();
  void BuildAssistMenu();

  std::unique_ptr<Ui::MainWnd> ui_;
  CScanVrtWnd* scanPage_ = nullptr;
  CItunesBackupVrtWnd* backupPage_ = nullptr;
  CSpecifyFileVrtWnd* categoryPage_ = nullptr;
  QMenu* assistMenu_ = nullptr;
  QMenu* languageMenu_ = nullptr;
};

}  // namespace orbanix::app
