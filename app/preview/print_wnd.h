// CPrintWnd: printing of the open category. A worker builds the print page
// (the template "Print.html" split at its content marker, with one block per
// ticked record of the category between head and tail; only deleted records
// when the category's deleted-only filter is on) and writes it to the print
// folder; the window shows a waiting page meanwhile. The page is then laid
// out by a QTextDocument and shown in the print preview, from which the user
// prints or saves a PDF.
//
// The worker holds the window's lock while it builds and looks at the
// cancel flag before each record; closing asks first, and the window never
// goes before its worker has ended.
#pragma once

#include <QDialog>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTextDocument>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "export/recovery.h"

namespace orbanix::preview {

class CPrintWnd : public QDialog {
  Q_OBJECT
 public:
  struct Request {
    const CStatisticsObj* selection = nullptr;
    RecoveryRecords records;
    Category category = Category::Notes;
    bool deletedOnly = false;
    std::filesystem::path templateFile;  // empty: the installed Print.html
    std::filesystem::path pageFolder;    // where "page.html" is written
  };

  explicit CPrintWnd(Request request, QWidget* parent = nullptr);
  ~CPrintWnd() override;

  // Tests replace the print preview: the hook receives the laid-out page.
  using PreviewHook = std::function<void(QTextDocument& page)>;
  static void SetPreviewHook(PreviewHook hook);

  const std::string& body() const { return body_; }
  const std::filesystem::path& pagePath() const { return pagePath_; }
  QTextDocument& page() { return page_; }
  // The bar of the records built so far, out of the category's records.
  QProgressBar* progressBar() const { return busy_; }

  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnBuilt(Status status);
  void Join();

  Request request_;
  std::string head_, tail_, body_;
  std::filesystem::path pagePath_;
  QStackedWidget* tabs_;
  QTextDocument page_;
  std::mutex lock_;
  std::atomic<bool> cancelled_{false};
  std::atomic<int> done_{0};  // records the builder has come to
  int total_ = 0;
  QProgressBar* busy_ = nullptr;
  QTimer progressTimer_;
  bool built_ = false;
  Status builtStatus_ = status::kOk;
  bool asking_ = false;
  std::thread worker_;
};

}  // namespace orbanix::preview
