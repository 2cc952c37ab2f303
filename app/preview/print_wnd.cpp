#include "app/preview/print_wnd.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QRegularExpression>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "app/preview/preview_texts.h"
#include "export/print_page.h"
#include "export/templates.h"

namespace orbanix::preview {

namespace {
CPrintWnd::PreviewHook g_previewHook;
constexpr const char* kContentMarker = "{|content|}";
}  // namespace

void CPrintWnd::SetPreviewHook(PreviewHook hook) { g_previewHook = std::move(hook); }

CPrintWnd::CPrintWnd(Request request, QWidget* parent) : QDialog(parent), request_(std::move(request)) {
  setObjectName(QStringLiteral("PrintWnd"));
  setWindowTitle(Text("PrintWnd", "Title", QStringLiteral("Print")));
  setModal(true);
  resize(420, 160);
  auto* box = new QVBoxLayout(this);
  tabs_ = new QStackedWidget(this);
  tabs_->setObjectName(QStringLiteral("PrintTabPage"));
  auto* waiting = new QWidget(tabs_);
  auto* waitBox = new QVBoxLayout(waiting);
  auto* label = new QLabel(Text("PrintWnd", "Preparing", QStringLiteral("Preparing the page...")), waiting);
  label->setAlignment(Qt::AlignCenter);
  busy_ = new QProgressBar(waiting);
  busy_->setObjectName(QStringLiteral("BtnGifPrintLoading"));
  // Records of the category: the bar counts them as the page is built.
  int items = 0;
  if (request_.selection) {
    for (const auto& [id, state] : request_.selection->table().entries()) {
      if (!state.folder && state.category == static_cast<int>(request_.category)) ++items;
    }
  }
  total_ = items;
  busy_->setRange(0, std::max(items, 1));
  busy_->setValue(0);
  auto* cancel = new QPushButton(Text("PrintWnd", "BtnCancel", QStringLiteral("Cancel")), waiting);
  cancel->setObjectName(QStringLiteral("BtnCancel"));
  cancel->setAutoDefault(false);
  connect(cancel, &QPushButton::clicked, this, &CPrintWnd::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel);
  waitBox->addWidget(label);
  waitBox->addWidget(busy_);
  waitBox->addLayout(buttons);
  progressTimer_.setInterval(50);
  connect(&progressTimer_, &QTimer::timeout, this, [this] { busy_->setValue(std::min(done_.load(), total_)); });
  tabs_->addWidget(waiting);
  auto* ready = new QLabel(Text("PrintWnd", "Ready", QStringLiteral("The page is shown in the print preview.")), tabs_);
  ready->setAlignment(Qt::AlignCenter);
  tabs_->addWidget(ready);
  box->addWidget(tabs_);

  // The template: head and tail around the first content marker; a missing
  // template leaves both empty and the page holds the body alone.
  const std::filesystem::path templateFile = request_.templateFile.empty()
                                                 ? DefaultTemplateFolder() / TemplateFileName(DocumentKind::kPrint)
                                                 : request_.templateFile;
  std::ifstream in(templateFile, std::ios::binary);
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    const std::string t = text.str();
    const size_t at = t.find(kContentMarker);
    if (at != std::string::npos) {
      head_ = t.substr(0, at);
      tail_ = t.substr(at + std::char_traits<char>::length(kContentMarker));
    } else {
      head_ = t;
    }
  }
  std::error_code ec;
  std::filesystem::create_directories(request_.pageFolder, ec);
  pagePath_ = request_.pageFolder / "page.html";
}

CPrintWnd::~CPrintWnd() {
  cancelled_ = true;
  Join();
}

void CPrintWnd::Join() {
  if (worker_.joinable()) worker_.join();
}

void CPrintWnd::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (worker_.joinable() || built_) return;
  progressTimer_.start();
  worker_ = std::thread([this] {
    Status st;
    {
      std::lock_guard<std::mutex> guard(lock_);
      // The builder asks before each record whether to stop: that also
      // counts the records for the bar.
      st = request_.selection ? PrintBody(*request_.selection, request_.records, request_.category,
                                          request_.deletedOnly,
                                          [this] {
                                            ++done_;
                                            return cancelled_.load();
                                          },
                                          body_)
                              : status::kOk;
    }
    if (st == status::kOk) {
      // A page that cannot be written still shows what was built.
      std::ofstream out(pagePath_, std::ios::binary | std::ios::trunc);
      out << head_ << body_ << tail_;
    }
    QMetaObject::invokeMethod(this, [this, st] { OnBuilt(st); }, Qt::QueuedConnection);
  });
}

void CPrintWnd::OnBuilt(Status st) {
  progressTimer_.stop();
  busy_->setValue(busy_->maximum());
  built_ = true;
  builtStatus_ = st;
  if (asking_) return;
  Join();
  if (st != status::kOk || cancelled_) {
    done(2);
    return;
  }
  tabs_->setCurrentIndex(1);
  // The page's script is for browsers; the document would show it as text.
  QString html = QString::fromStdString(head_ + body_ + tail_);
  html.remove(QRegularExpression(QStringLiteral("<script[^>]*>.*</script>"),
                                 QRegularExpression::DotMatchesEverythingOption | QRegularExpression::InvertedGreedinessOption));
  // Nor does it draw a block's border or pad its captions: a rule stands
  // for the border above each record, a blank keeps "Title:" off its value.
  html.replace(QStringLiteral("<div>"), QStringLiteral("<div><hr>"));
  html.replace(QStringLiteral("</span>"), QStringLiteral("</span> "));
  page_.setHtml(html);
  if (g_previewHook) {
    g_previewHook(page_);
  } else {
    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(QStringLiteral("Orbanix"));
    QPrintPreviewDialog preview(&printer, parentWidget());
    preview.setWindowTitle(windowTitle());
    preview.resize(900, 700);
    connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this](QPrinter* p) { page_.print(p); });
    hide();
    preview.exec();
  }
  done(1);
}

void CPrintWnd::reject() {
  if (built_) {
    Join();
    done(2);
    return;
  }
  asking_ = true;
  const int answer = Ask(this, AskKind::kQuestion, Message("MSG0903", QStringLiteral("Do you want to cancel?")));
  asking_ = false;
  if (answer == kAnswerYes) {
    cancelled_ = true;
    Join();
    done(2);
    return;
  }
  if (built_) OnBuilt(builtStatus_);
}

void CPrintWnd::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
  if (event->key() == Qt::Key_Escape) {
    // Escape closes at once; the builder stops at its next record.
    cancelled_ = true;
    Join();
    done(2);
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace orbanix::preview
