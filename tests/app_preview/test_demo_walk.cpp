// A person's walk through the desktop program on the demo backups, driven
// with mouse clicks offscreen: choose a backup, scan it, open every
// category and preview an item of it (pictures must decode, a video and a
// sound must play in the panel), tick and untick, the deleted-only filter,
// print Notes through the print preview into a PDF, recover into a folder
// and press "Open Folder". Pictures of every category's preview are kept
// when ORBANIX_SCREENSHOT_DIR names a folder.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <set>

#include "app/itunes_backup_page.h"
#include "app/local_backend.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview/file_list_ctrl.h"
#include "app/preview/media_preview.h"
#include "app/preview/preview_panel.h"
#include "app/preview/preview_texts.h"
#include "app/preview/preview_views.h"
#include "app/preview/recover_process_wnd.h"
#include "app/scan_page.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "platform/folders.h"
#include "tools/backupgen/families.h"

namespace fs = std::filesystem;
using namespace orbanix;
using namespace orbanix::preview;

namespace {

// Where "Open Folder" would have gone.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
  Q_INVOKABLE void open(const QUrl& url) { urls << url; }
};

// Answers the program's modal windows as a person would, as they come up.
class ModalDriver : public QObject {
 public:
  using Handler = std::function<bool(QWidget*)>;  // true: handled
  explicit ModalDriver(Handler handler) : handler_(std::move(handler)) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || handled_.count(modal)) return;
      if (handler_(modal)) handled_.insert(modal);
    });
    timer_.start(50);
  }

 private:
  Handler handler_;
  QTimer timer_;
  std::set<QWidget*> handled_;
};

QPoint CellCentre(QTreeWidget* tree, QTreeWidgetItem* item, int column) {
  tree->scrollToItem(item);
  const QRect row = tree->visualItemRect(item);
  const int x = tree->header()->sectionViewportPosition(column) + tree->header()->sectionSize(column) / 2;
  return QPoint(x, row.center().y());
}

void Click(QTreeWidget* tree, QTreeWidgetItem* item, int column = 1) {
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, CellCentre(tree, item, column));
}

// As the window system delivers it: press, release, double click, release.
void DoubleClick(QTreeWidget* tree, QTreeWidgetItem* item) {
  const QPoint at = CellCentre(tree, item, 1);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(tree->viewport(), Qt::LeftButton, {}, at);
}

QTreeWidgetItem* RowNamed(QTreeWidget* list, const QString& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(1) == name) return list->topLevelItem(i);
  }
  return nullptr;
}

int VisibleRows(QTreeWidget* list) {
  int n = 0;
  for (int i = 0; i < list->topLevelItemCount(); ++i) n += !list->topLevelItem(i)->isHidden();
  return n;
}

// The picture inserted into the preview text, or a null image.
QImage ShownPicture(QTextEdit* edit) {
  QTextDocument* doc = edit->document();
  for (QTextBlock b = doc->begin(); b != doc->end(); b = b.next()) {
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat format = it.fragment().charFormat();
      if (format.isImageFormat()) {
        return doc->resource(QTextDocument::ImageResource, QUrl(format.toImageFormat().name())).value<QImage>();
      }
    }
  }
  return {};
}

int PdfPages(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray pdf = f.readAll();
  if (!pdf.startsWith("%PDF")) return -1;
  int pages = 0;
  QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("/Type\\s*/Page(?!s)")).globalMatch(QString::fromLatin1(pdf));
  while (it.hasNext()) {
    it.next();
    ++pages;
  }
  return pages;
}

}  // namespace

class DemoWalkTests : public QObject {
  Q_OBJECT

 private:
  QStringList boxes_;
  QString shots_;
  QWidget* window_ = nullptr;

  void Shoot(const QString& name) {
    if (shots_.isEmpty() || !window_) return;
    QApplication::processEvents();
    window_->grab().save(QStringLiteral("%1/walk-%2.png").arg(shots_, name));
  }

 private slots:
  void initTestCase() {
    app::InitSkinResources();
    shots_ = qEnvironmentVariable("ORBANIX_SCREENSHOT_DIR");
    app::SetMessageBoxHook([this](app::MsgKind, const QString&, const QString& text) {
      boxes_ << text;
      return app::kAnswerOk;
    });
    SetAskHook([this](AskKind, const QString& text) {
      boxes_ << text;
      return kAnswerYes;
    });
  }

  void walkThroughDemoBackup() {
    QTemporaryDir dir;
    const fs::path base = dir.path().toStdString();
    const fs::path root = base / "demo";
    std::string error;
    QVERIFY2(!gen::WriteDemo(root, &error).empty(), error.c_str());

    // What the player did since the last preview started (declared before
    // the window: its player reports until it goes).
    qint64 furthest = 0;
    bool ended = false;
    app::CMainWnd window({root}, app::MakeLocalBackendFactory({root}, base / "data"));
    window_ = &window;
    // Screenshots may ask for another window size ("1000x665").
    const QStringList size = qEnvironmentVariable("ORBANIX_SCREENSHOT_SIZE").split(QLatin1Char('x'));
    if (size.size() == 2 && size[0].toInt() > 0 && size[1].toInt() > 0) {
      window.resize(size[0].toInt(), size[1].toInt());
    } else {
      window.resize(1100, 700);
    }
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Shoot(QStringLiteral("00-choose-backup"));

    // Step 1: the newer backup (Ben's), then straight on through the
    // categories (all ticked) to the scan.
    QTreeWidget* backups = window.BackupPage()->List();
    QCOMPARE(backups->topLevelItemCount(), 2);
    QTreeWidgetItem* ben = nullptr;
    for (int i = 0; i < backups->topLevelItemCount(); ++i) {
      for (int c = 0; c < backups->columnCount(); ++c) {
        if (backups->topLevelItem(i)->text(c).contains(QStringLiteral("Ben"))) ben = backups->topLevelItem(i);
      }
    }
    QVERIFY(ben);
    backups->setCurrentItem(ben);
    QVERIFY(window.BackupPage()->ChooseSelected());
    Shoot(QStringLiteral("00-categories"));
    if (!shots_.isEmpty()) {
      window.ShowAbout();
      QApplication::processEvents();
      window.AboutWindow()->grab().save(QStringLiteral("%1/walk-00-about.png").arg(shots_));
      window.AboutWindow()->close();
    }
    window.CategoryPage()->NextButton()->click();
    app::CScanVrtWnd* page = window.ScanPage();
    QVERIFY(QTest::qWaitFor([&] { return page->state() == app::CScanVrtWnd::State::kFinished; }, 60000));
    auto* views = page->findChild<CPreviewViews*>();
    QVERIFY(views);
    const PreviewControls& c = views->controls();
    QTreeWidget* tree = c.nodeTree;
    QTreeWidget* list = c.dataList;
    CPreviewPanel* panel = views->panel();
    CMediaPreview* media = views->media();

    connect(panel->player(), &QMediaPlayer::positionChanged, this,
            [&](qint64 ms) { furthest = std::max(furthest, ms); });
    connect(panel->player(), &QMediaPlayer::mediaStatusChanged, this,
            [&](QMediaPlayer::MediaStatus status) { ended = ended || status == QMediaPlayer::EndOfMedia; });

    auto open = [&](Category category) {
      QTreeWidgetItem* node = page->CategoryNode(static_cast<int>(category));
      QVERIFY(node);
      Click(tree, node, 0);
      QCOMPARE(views->list()->category(), category);
    };
    // Clicks a data row by its name and waits until the media preview
    // has shown it.
    auto previewMedia = [&](const QString& name, CMediaPreview::Kind kind) {
      QTreeWidgetItem* row = RowNamed(list, name);
      QVERIFY2(row, qPrintable(name));
      furthest = 0;
      ended = false;
      Click(list, row);
      QTRY_COMPARE_WITH_TIMEOUT(media->kind(), kind, 10000);
    };
    auto expectPicture = [&](const QString& name) {
      previewMedia(name, CMediaPreview::Kind::kPicture);
      const QImage shown = ShownPicture(panel->edit());
      QVERIFY2(!shown.isNull() && shown.width() >= 100, qPrintable(name));
      // Not a flat colour: a real picture came through.
      QVERIFY(shown.pixel(shown.width() / 2, 5) != shown.pixel(shown.width() / 2, shown.height() - 5));
    };
    auto expectPlaying = [&](const QString& name, bool video) {
      previewMedia(name, video ? CMediaPreview::Kind::kVideo : CMediaPreview::Kind::kAudio);
      // Played: the position went on. A machine without a sound device may
      // run a sound through at once, and a busy machine may play a short
      // film to its end before a position past 300 ms is reported, so
      // reaching the end without an error counts too (a film must still
      // have shown its frames, below).
      QTRY_VERIFY2_WITH_TIMEOUT(furthest > 300 || (ended && panel->player()->error() == QMediaPlayer::NoError),
                                qPrintable(QStringLiteral("%1: status %2, state %3, error %4")
                                               .arg(name)
                                               .arg(panel->player()->mediaStatus())
                                               .arg(panel->player()->playbackState())
                                               .arg(panel->player()->errorString())),
                                10000);
      if (video) {
        QTRY_VERIFY_WITH_TIMEOUT(panel->videoView()->frames() > 2, 5000);
        QVERIFY(!panel->videoView()->frame().isNull());
        QCOMPARE(panel->videoView()->frame().size(), QSize(240, 180));
      }
      QVERIFY(panel->mediaView()->isVisible());
      QCOMPARE(panel->videoView()->isVisible(), video);
    };

    // Camera Roll: pictures of every kind Qt reads, and a film that plays.
    open(Category::CameraRoll);
    QCOMPARE(list->topLevelItemCount(), page->Count(static_cast<int>(Category::CameraRoll)));
    for (const char* name : {"IMG_0002.JPG", "IMG_0003.PNG", "IMG_0005.HEIC", "IMG_0007.GIF", "img_0008.bmp", "IMG_0001.JPG"}) {
      expectPicture(QString::fromLatin1(name));
    }
    Shoot(QStringLiteral("01-camera-roll-photo"));
    const int windowCopies = media->windowCopies();
    expectPlaying(QStringLiteral("IMG_0004.MOV"), true);
    QCOMPARE(media->windowCopies(), windowCopies + 1);  // above 64 KiB: with the progress window
    // Pause and play again with the panel's button.
    auto* playPause = panel->mediaView()->findChild<QToolButton*>(QStringLiteral("BtnPlayPause"));
    QVERIFY(playPause);
    if (panel->player()->playbackState() == QMediaPlayer::PlayingState) {
      playPause->click();
      QCOMPARE(panel->player()->playbackState(), QMediaPlayer::PausedState);
      const qint64 at = panel->player()->position();
      QTest::qWait(300);
      QCOMPARE(panel->player()->position(), at);
      playPause->click();
      QCOMPARE(panel->player()->playbackState(), QMediaPlayer::PlayingState);
    }
    QTest::qWait(200);
    Shoot(QStringLiteral("01-camera-roll-video"));
    // Another preview stops the film first.
    expectPicture(QStringLiteral("IMG_0003.PNG"));
    QCOMPARE(panel->player()->playbackState(), QMediaPlayer::StoppedState);
    expectPlaying(QStringLiteral("IMG_0006.MP4"), true);
    expectPlaying(QStringLiteral("IMG_0009.M4V"), true);

    open(Category::PhotoStream);
    expectPicture(QStringLiteral("IMG_0102.PNG"));
    expectPicture(QStringLiteral("IMG_0103.HEIC"));
    expectPicture(QStringLiteral("IMG_0101.JPG"));
    Shoot(QStringLiteral("02-photo-stream"));

    // App Photos and App Videos: the applications first, opened with a
    // double click, "Back" returns.
    for (Category category : {Category::AppPhotos, Category::AppVideos}) {
      open(category);
      QVERIFY(list->topLevelItemCount() > 0);
      Shoot(QStringLiteral("%1-apps").arg(static_cast<int>(category), 2, 10, QLatin1Char('0')));
      QTreeWidgetItem* app = nullptr;
      const QString wanted = category == Category::AppPhotos ? QStringLiteral("example.camera") : QStringLiteral("example.player");
      for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(1) == wanted) app = list->topLevelItem(i);
      }
      QVERIFY(app);
      DoubleClick(list, app);
      QTRY_VERIFY(views->list()->openApp() != nullptr);
      QVERIFY(c.backAppDir->isVisible());
      if (category == Category::AppPhotos) {
        expectPicture(QStringLiteral("photo1.JPG"));
        expectPicture(QStringLiteral("render.PNG"));
        Shoot(QStringLiteral("03-app-photos"));
      } else {
        expectPlaying(QStringLiteral("movie.MP4"), true);
        expectPlaying(QStringLiteral("show.3GP"), true);
        expectPlaying(QStringLiteral("clip.AVI"), true);
        Shoot(QStringLiteral("04-app-videos"));
      }
      QTest::mouseClick(c.backAppDir, Qt::LeftButton);
      QVERIFY(views->list()->openApp() == nullptr);
    }

    // Messages: the conversation as bubbles.
    open(Category::Messages);
    QVERIFY(list->topLevelItemCount() > 0);
    Click(list, list->topLevelItem(0));
    QTRY_VERIFY(c.messagesList->isVisible() && c.messagesList->count() > 1);
    Shoot(QStringLiteral("05-messages"));

    // Message attachments: a picture and a sound.
    open(Category::MessageAtts);
    expectPicture(QStringLiteral("photo.JPG"));
    expectPlaying(QStringLiteral("sound.WAV"), false);
    Shoot(QStringLiteral("06-message-attachments"));

    open(Category::Contacts);
    Click(list, list->topLevelItem(0));
    QTRY_VERIFY(panel->contactView()->isVisible());
    QVERIFY(!panel->ContactText("TxtUserName").isEmpty());
    Shoot(QStringLiteral("07-contacts"));

    open(Category::CallHistory);
    QVERIFY(list->topLevelItemCount() > 0);
    Click(list, list->topLevelItem(0));
    Shoot(QStringLiteral("08-call-history"));

    open(Category::WhatsApp);
    Click(list, list->topLevelItem(0));
    QTRY_VERIFY(c.messagesList->isVisible() && c.messagesList->count() > 1);
    Shoot(QStringLiteral("10-whatsapp"));

    open(Category::WhatsAppAtts);
    expectPicture(QStringLiteral("photo-1.JPG"));
    expectPicture(QStringLiteral("photo1.JPG"));  // a chat's picture
    expectPlaying(QStringLiteral("video-1.MP4"), true);
    Shoot(QStringLiteral("11-whatsapp-attachments-video"));
    expectPlaying(QStringLiteral("Audio-1.WAV"), false);
    Shoot(QStringLiteral("11-whatsapp-attachments-audio"));

    // Notes: preview, tick and untick, the deleted-only filter.
    open(Category::Notes);
    const int notes = list->topLevelItemCount();
    QVERIFY(notes >= 3);
    Click(list, list->topLevelItem(0));
    QTRY_VERIFY(panel->edit()->toPlainText().contains(QStringLiteral("Title:")));
    Shoot(QStringLiteral("09-notes"));
    const QString allTicked = c.statistics->text();
    QTreeWidgetItem* first = list->topLevelItem(0);
    Click(list, first, 0);
    QCOMPARE(first->checkState(0), Qt::Unchecked);
    QVERIFY(c.statistics->text() != allTicked);
    const QString oneUnticked = c.statistics->text();
    Click(list, first, 0);
    QCOMPARE(first->checkState(0), Qt::Checked);
    QCOMPARE(c.statistics->text(), allTicked);

    int deleted = 0;
    for (int i = 0; i < notes; ++i) {
      const SelectionState* entry = views->data().selection().table().Find(
          reinterpret_cast<const void*>(list->topLevelItem(i)->data(0, CFileListCtrl::kIdRole).value<quintptr>()));
      QVERIFY(entry);
      deleted += entry->deleted;
    }
    QVERIFY(deleted > 0 && deleted < notes);
    QTest::mouseClick(c.filter, Qt::LeftButton, {}, QPoint(8, c.filter->height() / 2));
    QVERIFY(c.filter->isChecked());
    QCOMPARE(VisibleRows(list), deleted);
    QVERIFY(c.filterCount->isVisible());
    // What the list shows, of how many.
    QCOMPARE(c.filterCount->text(), QStringLiteral("Showing %1 deleted of %2").arg(deleted).arg(notes));
    QVERIFY(c.statistics->text() != allTicked);
    // The note shown was live: hidden now, and gone from the panel too.
    QVERIFY(first->isHidden());
    QVERIFY(panel->edit()->toPlainText().isEmpty());
    Shoot(QStringLiteral("09-notes-deleted-only"));
    QTest::mouseClick(c.filter, Qt::LeftButton, {}, QPoint(8, c.filter->height() / 2));
    QVERIFY(!c.filter->isChecked());
    QCOMPARE(VisibleRows(list), notes);
    QVERIFY(!c.filterCount->isVisible());
    QCOMPARE(c.statistics->text(), allTicked);

    // Print Notes (one of them unticked) through the print preview's
    // "Print" into a PDF file, as the print dialog offers it.
    Click(list, first, 0);
    QCOMPARE(c.statistics->text(), oneUnticked);
    const QString pdf = QDir(dir.path()).filePath(QStringLiteral("notes.pdf"));
    bool previewSeen = false, printDialogSeen = false;
    {
      ModalDriver driver([&](QWidget* modal) {
        if (auto* preview = qobject_cast<QPrintPreviewDialog*>(modal)) {
          previewSeen = true;
          if (!shots_.isEmpty()) preview->grab().save(QStringLiteral("%1/walk-12-print-preview.png").arg(shots_));
          for (QAction* action : preview->findChildren<QAction*>()) {
            if (action->text().remove(QLatin1Char('&')) == QStringLiteral("Print")) {
              QTimer::singleShot(0, action, &QAction::trigger);
              return true;
            }
          }
          return false;
        }
        if (auto* print = qobject_cast<QPrintDialog*>(modal)) {
          printDialogSeen = true;
          if (auto* printers = print->findChild<QComboBox*>(QStringLiteral("printers"))) {
            for (int i = 0; i < printers->count(); ++i) {
              if (printers->itemText(i).contains(QStringLiteral("PDF"))) printers->setCurrentIndex(i);
            }
          }
          auto* file = print->findChild<QLineEdit*>(QStringLiteral("filename"));
          if (!file) return false;
          file->setText(pdf);
          QTimer::singleShot(0, print, &QDialog::accept);
          return true;
        }
        return false;
      });
      QTest::mouseClick(c.print, Qt::LeftButton);
    }
    QVERIFY(previewSeen);
    QVERIFY(printDialogSeen);
    // The printed page holds the ticked notes only.
    QFile printed(QString::fromStdString((DataFolder() / "Print" / "page.html").string()));
    QVERIFY(printed.open(QIODevice::ReadOnly));
    QCOMPARE(printed.readAll().count("<div>"), notes - 1);
    QVERIFY2(QFileInfo::exists(pdf), qPrintable(pdf));
    QVERIFY(PdfPages(pdf) >= 1);
    Click(list, first, 0);  // ticked again
    QCOMPARE(c.statistics->text(), allTicked);

    // Recover everything into a folder chosen in the folder dialog, then
    // "Open Folder" and "Finished".
    const QString out = QDir(dir.path()).filePath(QStringLiteral("recovered"));
    QVERIFY(QDir().mkpath(out));
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    bool recovered = false;
    {
      ModalDriver driver([&](QWidget* modal) {
        if (auto* folder = qobject_cast<QFileDialog*>(modal)) {
          folder->setDirectory(out);
          QTimer::singleShot(0, folder, &QDialog::accept);
          return true;
        }
        if (auto* recover = qobject_cast<CRecoverProcessWnd*>(modal)) {
          if (!recover->finished()) return false;  // looked at again on the next tick
          if (!shots_.isEmpty()) recover->grab().save(QStringLiteral("%1/walk-13-recovered.png").arg(shots_));
          QTest::mouseClick(recover->findChild<QPushButton*>(QStringLiteral("OpenBtn")), Qt::LeftButton);
          QTest::mouseClick(recover->finishButton(), Qt::LeftButton);
          recovered = true;
          return true;
        }
        return false;
      });
      QVERIFY(c.recover->isEnabled());
      QVERIFY(c.jsonExport);
      QTest::mouseClick(c.jsonExport, Qt::LeftButton);  // also as JSON Lines
      QVERIFY(c.jsonExport->isChecked());
      QTest::mouseClick(c.recover, Qt::LeftButton);
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QVERIFY(recovered);
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(QDir(catcher.urls[0].toLocalFile()).canonicalPath(), QDir(out).canonicalPath());
    int files = 0;
    int pictures = 0;
    int jsonLines = 0;
    for (QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
      const QString path = it.next();
      ++files;
      if (path.endsWith(QStringLiteral(".jsonl"))) ++jsonLines;
      if (path.endsWith(QStringLiteral(".JPG"), Qt::CaseInsensitive) && !LoadPicture(path).isNull()) ++pictures;
    }
    QVERIFY2(files > 20, qPrintable(QString::number(files)));
    QVERIFY(pictures >= 3);
    QVERIFY2(jsonLines >= 4, qPrintable(QString::number(jsonLines)));  // messages, contacts, calls, ... and media

    window_ = nullptr;
    window.close();
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  DemoWalkTests tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "test_demo_walk.moc"
