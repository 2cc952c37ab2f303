// The program's only top-level window: header, step bar, the wizard pages
// and the scan page. It routes the program's notices between the pages and
// the scan worker as queued signals:
//   start scan (source type)      category page -> scan page
//   first progress / wrong password (1035)   scan page -> this window
//   scan finished (1034), file tree ready (1032), counts changed (1033)
#pragma once

#include <QMenu>
#include <QPointer>
#include <QUrl>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/about_wnd.h"
#include "app/scan_backend.h"

namespace Ui {
class MainWnd;
}

class QProgressBar;

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

  // The pages of the manual that the assist menu opens ("item_help",
  // "item_faq", "item_support"), as file addresses; empty for "item_about",
  // which opens the About window.
  static QString AssistAddress(const QString& item);
  // The folder of the manual (beside the executable, or its installed place).
  static std::filesystem::path ManualFolder();
  // What a menu item does; tests open addresses through their own opener.
  void OpenAssistItem(const QString& item);
  static void SetUrlOpenerForTests(std::function<bool(const QUrl&)> opener);
  void ShowAbout();
  CAboutWnd* AboutWindow() const { return about_; }

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
  // The password has been checked (or the scan ended): the busy bar goes.
  void EndChecking();
  void BuildAssistMenu();

  std::unique_ptr<Ui::MainWnd> ui_;
  CScanVrtWnd* scanPage_ = nullptr;
  CItunesBackupVrtWnd* backupPage_ = nullptr;
  CSpecifyFileVrtWnd* categoryPage_ = nullptr;
  QMenu* assistMenu_ = nullptr;
  QMenu* languageMenu_ = nullptr;
  QProgressBar* checking_ = nullptr;  // "ProgressChecking"
  QPointer<CAboutWnd> about_;
};

}  // namespace orbanix::app
