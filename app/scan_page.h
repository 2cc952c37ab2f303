// The scan page (tab 1 of the main window): runs the scan of the chosen
// backup on the scan driver's worker, shows progress and the counts per
// category in the tree, lets the user pause, stop or leave, and keeps the
// results for the preview and the recovery.
//
// The worker never touches a widget: every driver event is queued into the
// user-interface thread. The page never goes away while its worker runs:
// a confirmed stop, a confirmed close and the destructor all wait for it.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QSplitter>
#include <QString>
#include <QTreeWidgetItem>
#include <QWidget>
#include <array>
#include <memory>

#include "app/chat_apps_view.h"
#include "app/scan_backend.h"
#include "app/scan_problems.h"
#include "sources/discovery.h"
#include "sources/scan_driver.h"

namespace Ui {
class PageScan;
}

namespace orbanix::preview {
class CPreviewViews;
}

namespace orbanix::app {

class CScanVrtWnd : public QWidget {
  Q_OBJECT
 public:
  enum class State { kIdle, kScanning, kPaused, kStopping, kFinished };

  explicit CScanVrtWnd(QWidget* parent = nullptr);
  ~CScanVrtWnd() override;

  // The header parts of the main window that the scan shows or hides.
  struct Header {
    QWidget* main = nullptr;  // "HorLayoutMain"
    QWidget* scan = nullptr;  // "HorLayoutScan"
    QLabel* info = nullptr;   // "LblScanInfo"
    QLabel* remark = nullptr;  // "LblRemark"
    QLabel* remarkIcon = nullptr;
  };
  void SetHeader(const Header& header) { header_ = header; }
  void SetBackendFactory(ScanBackendFactory factory) { factory_ = std::move(factory); }

  // Step 1 chose a backup, or a connected phone. A phone stands as a
  // backup without folder and password named after it, so the category
  // page's password step passes it by.
  void SetSelectedBackup(const BackupInfo& backup) {
    selected_ = backup;
    deviceSelected_ = false;
  }
  void SetSelectedDevice(const DeviceChoice& device);
  const BackupInfo& SelectedBackup() const { return selected_; }
  bool DeviceSelected() const { return deviceSelected_; }
  const DeviceChoice& SelectedDevice() const { return device_; }
  void SetPassword(const QString& password) { password_ = password; }
  QString Password() const { return password_; }

  void ApplyLanguage();
  // The header texts of the running scan's source (a backup or a phone).
  void ShowHeaderTexts() { SetHeaderTexts(); }

  // Starts a scan of the selected backup (source type 1) or the selected
  // phone (source type 0; the first one attached when none was chosen) for
  // the ticked categories. 0 when the worker started, 1 when nothing was started (an
  // unknown source type, no source for it, or a scan already running).
  int StartScan(int sourceType, const CategoryTicks& ticks);

  // Asked by the main window before it closes: 1 allows the close (a
  // running scan has been stopped and its worker has ended), 2 keeps the
  // window.
  int MayClose();

  void TogglePause();
  void Stop();
  void Home();

  State state() const { return state_; }
  bool IsBusy() const { return state_ == State::kScanning || state_ == State::kPaused || state_ == State::kStopping; }
  bool HoldsResults() const;
  int ShownPercent() const { return shown_; }
  // True while a worker thread exists that has not ended.
  bool WorkerRunning() const { return driver_ && driver_->Running(); }
  int Count(int category) const { return counts_[static_cast<size_t>(category)]; }
  int TotalCount() const;
  // The tree node of a category, or nullptr when it has none.
  QTreeWidgetItem* CategoryNode(int category) const { return nodes_[static_cast<size_t>(category)]; }
  Ui::PageScan* ui() const { return ui_.get(); }
  // The containers and the source of the current scan (null before the
  // first scan, after "BtnHome", or for a backend without them). They live
  // until the next scan starts.
  ScanResults* Results() const { return backend_ ? backend_->Results() : nullptr; }
  IPhoneRecoveryParse* Source() const { return backend_ ? backend_->Source() : nullptr; }
  const CategoryTicks& Ticks() const { return ticks_; }
  // What the scan could not read (the backup, the phone, categories).
  const ScanProblemList& Problems() const { return problems_; }
  // The list of problems shown above the data list ("ProblemsList").
  QListWidget* ProblemsList() const { return problemsList_; }
  QWidget* ProblemsBox() const { return problemsBox_; }
  QSplitter* Splitter() const { return splitter_; }
  CChatAppsView* ChatApps() const { return chats_; }
  // Whether a category's operation has ended (its count is final).
  bool CategoryRead(int category) const { return read_[static_cast<size_t>(category)]; }
  // What the data-list area says for an opened category without items:
  // "Nothing found" when it was read, the problem when it was not.
  QString EmptyCategoryText(int category) const;

 signals:
  // The first progress of the scan (or its end, when it reported none): the
  // main window shows this page (message 1035, 0).
  void firstProgress();
  // The shown percent rose.
  void percentShown(int percent);
  // The backup is open and the category operations begin (message 1032).
  void fileTreeReady();
  // An operation ended and its records are in the containers; the counts
  // of `categories` (1..11) are refreshed.
  void recordsArrived(const QList<int>& categories);
  // Counts changed while results are shown (message 1033).
  void countsChanged();
  // The scan ended normally or was stopped (message 1034).
  void scanFinished();
  // The password was wrong (message 1035, 1).
  void wrongPassword();
  // The backup (or the phone) cannot be read at all; the warning has been shown.
  void cannotOpen();
  // "BtnHome" was confirmed: back to step 1.
  void homeRequested();
  // "BtnRecovery" chose an output folder / "BtnPrint" was pressed.
  void recoverRequested(const QString& folder);
  void printRequested();

 private:
  void OnProgress(int percent, const QString& step);
  void OnOpened(Status result, const std::string& message, const std::vector<Problem>& problems);
  void OnStepDone(size_t index, Status result, const std::vector<Problem>& problems);
  void ShowProblems();
  void BuildSplitter();
  void ChatsArrived(int category);
  void OfferChatsToRecovery();
  void OpenCategoryArea(QTreeWidgetItem* item);
  void OnFinished(ScanOutcome outcome);
  void OnRecover();
  void BuildTree(const CategoryTicks& ticks);
  void RefreshTreeLabels();
  void RefreshStatistics();
  void SetHeaderTexts();
  void SetScanLook(bool scanning);
  void ClearResults();
  // Holds the worker at its next progress report (stop and close ask with
  // the worker held). Returns whether the page was already paused.
  bool HoldForQuestion();
  void ReleaseAfterQuestion(bool wasPaused);
  void CancelAndWait();

  std::unique_ptr<Ui::PageScan> ui_;
  // The category lists, the preview panel, printing and the recovery
  // window over this page's controls (a child QObject of the page).
  preview::CPreviewViews* views_ = nullptr;
  bool viewsActive_ = false;
  Header header_;
  ScanBackendFactory factory_;
  // Declared before the driver so that the driver (and its worker) goes first.
  std::unique_ptr<ScanBackend> backend_;
  std::unique_ptr<ScanDriver> driver_;
  std::vector<BackendStep> steps_;
  State state_ = State::kIdle;
  int sourceType_ = 1;
  BackupInfo selected_;
  bool deviceSelected_ = false;
  DeviceChoice device_;
  QString password_;
  CategoryTicks ticks_{};
  bool progressSeen_ = false;
  bool finishedOnce_ = false;
  int shown_ = 0;
  // By category number, with the chats of QQ (15) and WeChat (16).
  std::array<int, 17> counts_{};
  std::array<QTreeWidgetItem*, 17> nodes_{};
  std::array<bool, 17> read_{};
  std::array<bool, 17> absent_{};  // the backup holds no database for it
  CChatAppsView* chats_ = nullptr;
  QTreeWidgetItem* messagesGroup_ = nullptr;
  ScanProblemList problems_;
  QString openMessage_;
  QString recoveryFolder_;  // where the recovery's folder dialog starts  // the source's reason when it could not be opened
  QSplitter* splitter_ = nullptr;  // "DataListSplitter": the list | the preview
  QWidget* problemsBox_ = nullptr;
  QLabel* problemsTitle_ = nullptr;
  QListWidget* problemsList_ = nullptr;
};

// "%d Bytes", "%.2f KB", ... of a byte count.
QString SizeText(qint64 bytes);

}  // namespace orbanix::app
