// CRecoverProcessWnd: the recovery window. It runs the recovery driver on a
// worker thread over the scan's selection, shows the file in work
// ("current"), the counts ("recovered"), the percent ("percent") and a
// status list ("DetailList", shown by "Detail") with failures on top in red,
// and offers "Open Folder" at any time and "Finished" at the end.
//
// Cancel ("Cancel", the close box, Escape) opens the driver's cancel
// question, so the worker stands still at its next report while the user
// decides; a confirmed cancel stops the run and the window closes after
// its worker has ended.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "export/recovery.h"

namespace orbanix::preview {

class CRecoverProcessWnd : public QDialog {
  Q_OBJECT
 public:
  CRecoverProcessWnd(const CStatisticsObj& selection, const RecoveryRecords& records, RecoveryOutputSource source,
                     RecoveryOptions options, QWidget* parent = nullptr);
  ~CRecoverProcessWnd() override;

  // Checks the templates (an error box and 2 when they cannot be read),
  // then runs the window modally: 1 when finished, 2 when cancelled.
  int Run();

  // More output written by the worker after the selection's items, into
  // the same folder and counted in the same progress (the chats of QQ and
  // WeChat). Set before Run.
  using Afterwards = std::function<void(RecoveryProgress& progress, const std::filesystem::path& root)>;
  void SetAfterwards(Afterwards afterwards) { afterwards_ = std::move(afterwards); }

  bool finished() const { return finished_; }
  const RecoveryResult& result() const { return result_; }
  QLabel* currentLabel() const { return current_; }
  QLabel* recoveredLabel() const { return recovered_; }
  QLabel* percentLabel() const { return percent_; }
  QProgressBar* progressBar() const { return bar_; }
  QTreeWidget* detailList() const { return detail_; }
  QPushButton* finishButton() const { return finish_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* detailButton() const { return detailBtn_; }
  // How often the window has taken the worker's reports so far.
  int flushes() const { return flushes_; }

  // The figure the bar and "Current progress" show: the share of the
  // items done, with the part of the file in work.
  static int OverallPercent(int filePercent, RecoveryProgress::Counts counts);
  // The window shows the worker's state at most once per this period.
  static constexpr int kRepaintMs = 33;

  // The cancel procedure.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Shows what the worker noted since the last time.
  void Flush();
  void OnFinished();
  void Join();

  const CStatisticsObj& selection_;
  RecoveryRecords records_;
  RecoveryOutputSource source_;
  RecoveryOptions options_;
  Afterwards afterwards_;
  std::unique_ptr<RecoveryProgress> progress_;
  RecoveryResult result_;
  std::thread worker_;
  bool started_ = false;
  bool finished_ = false;
  bool asking_ = false;

  // What the worker noted since the window last looked (under pendingLock_).
  struct Row {
    std::filesystem::path path;
    Status status = 0;
    std::string text;
  };
  struct Pending {
    bool changed = false;
    int percent = 0;
    std::filesystem::path path;
    RecoveryProgress::Counts counts;
    std::vector<Row> rows;
  };
  std::mutex pendingLock_;
  Pending pending_;
  QTimer repaint_;
  int flushes_ = 0;
  int failedRows_ = 0;

  QLabel* current_;
  QLabel* recovered_;
  QLabel* percent_;
  QProgressBar* bar_;
  QPushButton* open_;
  QPushButton* finish_;
  QPushButton* cancel_;
  QPushButton* detailBtn_;
  QTreeWidget* detail_;
};

}  // namespace orbanix::preview
