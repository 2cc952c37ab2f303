#include "app/preview/print_wnd.h"

#include <QAbstractTextDocumentLayout>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPrintPreviewDialog>
#include <QPainter>
#include <QPrinter>
#include <QProgressDialog>
#include <QScreen>
#include <QTextCursor>
#include <QRegularExpression>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
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
  step_ = new QLabel(Text("PrintWnd", "Preparing", QStringLiteral("Preparing the page...")), waiting);
  step_->setObjectName(QStringLiteral("LblPrintStep"));
  step_->setAlignment(Qt::AlignCenter);
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
  step_->setText(FormatText(Text("PrintWnd", "Building", QStringLiteral("Preparing the page: %d of %d items")), {0, items}));
  busy_->setRange(0, std::max(items, 1));
  busy_->setValue(0);
  auto* cancel = new QPushButton(Text("PrintWnd", "BtnCancel", QStringLiteral("Cancel")), waiting);
  cancel->setObjectName(QStringLiteral("BtnCancel"));
  cancel->setAutoDefault(false);
  connect(cancel, &QPushButton::clicked, this, &CPrintWnd::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel);
  waitBox->addWidget(step_);
  waitBox->addWidget(busy_);
  waitBox->addLayout(buttons);
  progressTimer_.setInterval(50);
  connect(&progressTimer_, &QTimer::timeout, this, [this] {
    const int done = std::min(done_.load(), total_);
    busy_->setValue(done);
    step_->setText(FormatText(Text("PrintWnd", "Building", QStringLiteral("Preparing the page: %d of %d items")),
                              {done, total_}));
  });
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
  StartLayout();
}

void CPrintWnd::StartLayout() {
  if (layingOut_) return;
  layingOut_ = true;
  // The records' blocks: each starts with its "<div>".
  const std::string marker = "<div>";
  size_t at = 0;
  while (at < body_.size()) {
    size_t next = body_.find(marker, at + 1);
    if (next == std::string::npos) next = body_.size();
    blocks_.emplace_back(at, next - at);
    at = next;
  }
  laidOut_ = 0;
  busy_->setRange(0, std::max<int>(static_cast<int>(blocks_.size()), 1));
  busy_->setValue(0);
  step_->setText(FormatText(Text("PrintWnd", "LayingOut", QStringLiteral("Laying out the pages: %d of %d items")),
                            {0, static_cast<int>(blocks_.size())}));

  // The page's script is for browsers; the document would show it as text.
  QString head = QString::fromStdString(head_);
  head.remove(QRegularExpression(QStringLiteral("<script[^>]*>.*</script>"),
                                 QRegularExpression::DotMatchesEverythingOption |
                                     QRegularExpression::InvertedGreedinessOption));
  // Each piece of records is read with the page's styles: the head as far
  // as the body's opening tag.
  const qsizetype bodyTag = head.indexOf(QStringLiteral("<body"), 0, Qt::CaseInsensitive);
  const qsizetype headEnd = head.indexOf(QStringLiteral("</head>"), 0, Qt::CaseInsensitive);
  if (bodyTag >= 0 && head.indexOf(QLatin1Char('>'), bodyTag) >= 0) {
    pieceHead_ = head.left(head.indexOf(QLatin1Char('>'), bodyTag) + 1);
  } else if (headEnd >= 0) {
    pieceHead_ = head.left(headEnd + 7) + QStringLiteral("<body>");
  }

  // The pages are those of the printer the preview will use, in the
  // document's own units (pixels of the screen's resolution) so that sizes
  // in points come out the same on paper.
  if (!printer_) printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen ? screen->logicalDotsPerInchY() : 96.0;
  const QRectF inches = printer_->pageLayout().paintRect(QPageLayout::Inch);
  page_.setPageSize(QSizeF(inches.width() * dpi, inches.height() * dpi));
  page_.setHtml(head + QString::fromStdString(tail_));
  QTimer::singleShot(0, this, &CPrintWnd::LayOutSome);
}

void CPrintWnd::LayOutSome() {
  if (cancelled_ || !isVisible()) return;
  // A question is open: go on once it is answered.
  if (asking_) {
    QTimer::singleShot(50, this, &CPrintWnd::LayOutSome);
    return;
  }
  // Pieces of a few records until a slice of time is used, then the
  // events get their turn (the bar, Cancel, the rest of the program).
  constexpr int kPerPiece = 16;
  QElapsedTimer slice;
  slice.start();
  QTextCursor cursor(&page_);
  while (laidOut_ < static_cast<int>(blocks_.size()) && slice.elapsed() < 40) {
    const int end = std::min<int>(laidOut_ + kPerPiece, static_cast<int>(blocks_.size()));
    QString piece = pieceHead_;
    for (int i = laidOut_; i < end; ++i) {
      const auto& [from, size] = blocks_[static_cast<size_t>(i)];
      piece += QString::fromUtf8(body_.data() + from, static_cast<qsizetype>(size));
    }
    piece += QStringLiteral("</body></html>");
    // The document draws no block borders nor pads its captions: a rule
    // stands for the border above each record, a blank keeps "Title:" off
    // its value.
    piece.replace(QStringLiteral("<div>"), QStringLiteral("<div><hr>"));
    piece.replace(QStringLiteral("</span>"), QStringLiteral("</span> "));
    cursor.movePosition(QTextCursor::End);
    cursor.insertHtml(piece);
    laidOut_ = end;
    // Into pages now, while the piece is small, not all at once later.
    page_.documentLayout()->pageCount();
  }
  busy_->setValue(laidOut_);
  step_->setText(FormatText(Text("PrintWnd", "LayingOut", QStringLiteral("Laying out the pages: %d of %d items")),
                            {laidOut_, static_cast<int>(blocks_.size())}));
  if (laidOut_ < static_cast<int>(blocks_.size())) {
    QTimer::singleShot(0, this, &CPrintWnd::LayOutSome);
    return;
  }
  layingOut_ = false;
  ShowPreview();
}

int CPrintWnd::PaintPages(QTextDocument& page, QPrinter& printer, const std::function<bool(int, int)>& going) {
  QSizeF size = page.pageSize();
  const QSizeF target(printer.width(), printer.height());
  if (size.isEmpty() || target.isEmpty()) return 0;
  // Another paper or orientation chosen in the preview: the pages are
  // laid out again for it, never stretched.
  if (std::abs(size.width() / size.height() - target.width() / target.height()) > 0.01) {
    size = QSizeF(size.width(), size.width() * target.height() / target.width());
    page.setPageSize(size);
  }
  const int pages = page.pageCount();
  int first = 1, last = pages;
  if (printer.printRange() == QPrinter::PageRange && printer.fromPage() > 0) {
    first = std::max(1, printer.fromPage());
    last = std::min(pages, printer.toPage() > 0 ? printer.toPage() : pages);
  }
  QPainter painter(&printer);
  if (!painter.isActive()) return 0;
  const double scale = target.width() / size.width();
  int drawn = 0;
  for (int p = first; p <= last; ++p) {
    if (drawn > 0) printer.newPage();
    painter.save();
    painter.scale(scale, scale);
    const QRectF view(0, (p - 1) * size.height(), size.width(), size.height());
    painter.translate(0, -view.top());
    painter.setClipRect(view);
    QAbstractTextDocumentLayout::PaintContext context;
    context.clip = view;
    context.palette.setColor(QPalette::Text, Qt::black);
    page.documentLayout()->draw(&painter, context);
    painter.restore();
    ++drawn;
    if (going && !going(drawn, last - first + 1)) break;
  }
  return drawn;
}

void CPrintWnd::ShowPreview() {
  tabs_->setCurrentIndex(1);
  if (g_previewHook) {
    g_previewHook(page_);
    done(1);
    return;
  }
  printer_->setDocName(QStringLiteral("Orbanix"));
  QPrintPreviewDialog preview(printer_.get(), parentWidget());
  preview.setWindowTitle(windowTitle());
  preview.resize(900, 700);
  connect(&preview, &QPrintPreviewDialog::paintRequested, this, [this, &preview](QPrinter* printer) {
    // Hundreds of pages take seconds to draw: a bar and a way out.
    QProgressDialog drawing(Text("PrintWnd", "Drawing", QStringLiteral("Drawing the pages...")),
                            Text("PrintWnd", "BtnCancel", QStringLiteral("Cancel")), 0, 1, &preview);
    drawing.setObjectName(QStringLiteral("PrintDrawing"));
    drawing.setWindowModality(Qt::ApplicationModal);
    drawing.setMinimumDuration(300);
    const int pages = PaintPages(page_, *printer, [&drawing](int done, int all) {
      drawing.setMaximum(all);
      drawing.setLabelText(FormatText(Text("PrintWnd", "DrawingPage", QStringLiteral("Drawing page %d of %d")),
                                      {done, all}));
      drawing.setValue(done);
      return !drawing.wasCanceled();
    });
    if (drawing.wasCanceled()) {
      printer->abort();
      QMetaObject::invokeMethod(&preview, &QDialog::reject, Qt::QueuedConnection);
    }
    (void)pages;
  });
  hide();
  preview.exec();
  done(1);
}

void CPrintWnd::reject() {
  // The preview was shown (or the page could not be built): nothing runs.
  if (built_ && !layingOut_ && tabs_->currentIndex() == 1) {
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
  // The builder ended while the question was open: the laying out begins.
  if (built_ && !layingOut_ && tabs_->currentIndex() == 0) OnBuilt(builtStatus_);
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
