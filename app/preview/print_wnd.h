// CPrintWnd: printing of the open category. A worker builds the print page
// (the template "Print.html" split at its content marker, with one block per
// ticked record of the category between head and tail; only deleted records
// when the category's deleted-only filter is on) and writes it to the print
// folder. The page is then laid out into pages by a QTextDocument a few
// records at a time between events, so that the window keeps its bar moving
// and its Cancel answering even for ten thousand contacts, and is shown in
// the print preview, from which the user prints or saves a PDF. The preview
// draws its pages with a bar and a Cancel of its own.
//
// The worker holds the window's lock while it builds and looks at the
// cancel flag before each record; closing asks first, and the window never
// goes before its worker has ended.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPrinter>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTextDocument>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

  // Draws the pages of a paginated `page` on `printer` (its page range
  // when one was chosen), asking `going(drawn, pages)` after each page
  // whether to go on. Returns the number of pages drawn.
  static int PaintPages(QTextDocument& page, QPrinter& printer, const std::function<bool(int, int)>& going);

  const std::string& body() const { return body_; }
  const std::filesystem::path& pagePath() const { return pagePath_; }
  QTextDocument& page() { return page_; }
  // The bar of the work so far: records built, then records laid out.
  QProgressBar* progressBar() const { return busy_; }
  QLabel* stepLabel() const { return step_; }
  // Records of the page laid out so far, and in all.
  int laidOut() const { return laidOut_; }
  int blocks() const { return static_cast<int>(blocks_.size()); }

  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnBuilt(Status status);
  void StartLayout();
  void LayOutSome();
  void ShowPreview();
  void Join();

  Request request_;
  std::string head_, tail_, body_;
  std::filesystem::path pagePath_;
  QStackedWidget* tabs_;
  QLabel* step_ = nullptr;
  QTextDocument page_;
  std::unique_ptr<QPrinter> printer_;
  std::mutex lock_;
  std::atomic<bool> cancelled_{false};
  std::atomic<int> done_{0};  // records the builder has come to
  int total_ = 0;
  QProgressBar* busy_ = nullptr;
  QTimer progressTimer_;
  bool built_ = false;
  Status builtStatus_ = status::kOk;
  bool asking_ = false;
  // The laying out: the records' blocks of the page, how many are in the
  // document, and the page's head as far as its body opens (each piece is
  // read with the page's styles).
  std::vector<std::pair<size_t, size_t>> blocks_;
  int laidOut_ = 0;
  bool layingOut_ = false;
  QString pieceHead_;
  std::thread worker_;
};

}  // namespace orbanix::preview
