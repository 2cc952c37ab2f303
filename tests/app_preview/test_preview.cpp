// The preview views and their windows, driven offscreen on scan results
// made in the test (and, for the media preview, on real files copied
// through the local backup source).
#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QScrollBar>
#include <QTest>
#include <QVideoFrame>
#include <QVideoSink>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <fstream>
#include <thread>

#include "app/preview/file_list_ctrl.h"
#include "app/preview/file_tree_ctrl.h"
#include "app/preview/media_preview.h"
#include "app/preview/preview_panel.h"
#include "app/preview/preview_texts.h"
#include "app/preview/preview_views.h"
#include "app/preview/print_wnd.h"
#include "app/preview/recover_process_wnd.h"
#include "export/print_page.h"
#include "extractors/notestore.h"
#include "extractors/notestore_crypto.h"
#include "sources/catalog.h"
#include "sources/media_sniffer.h"
#include "tools/backupgen/family_media.h"
#include "tools/backupgen/family_notestore.h"

using namespace orbanix;
using namespace orbanix::preview;

namespace {

std::array<bool, kCategoryCount> Ticked(std::initializer_list<Category> categories) {
  std::array<bool, kCategoryCount> t{};
  for (Category c : categories) t[static_cast<size_t>(c) - 1] = true;
  return t;
}

MessageRecord Msg(int64_t handle, const char* date, const char* text, int deleted, int fromMe = 0) {
  MessageRecord m;
  m.handleId = handle;
  m.date = LocalDate::FromText(date);
  m.text = text;
  m.deleted = deleted;
  m.fromMe = fromMe;
  m.address = "+1555000" + std::to_string(handle);
  m.contactName = "Person " + std::to_string(handle);
  return m;
}

NoteRecord Note(const char* title, int deleted) {
  NoteRecord n;
  n.title = title;
  n.body = std::string("body of ") + title;
  n.date = "2020-01-02 03:04:05";
  n.deleted = deleted;
  return n;
}

// A JPEG of exactly `size` bytes (a real picture, padded after its end).
void WriteJpeg(const QString& path, qint64 size) {
  QImage image(40, 30, QImage::Format_RGB32);
  image.fill(QColor(200, 120, 40));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG");
  QVERIFY(bytes.size() < size);
  bytes.append(QByteArray(size - bytes.size(), '\0'));
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

// The local source counting its preview copies.
class CountingSource : public CLocalBuckupRecovery {
 public:
  Status CopyForPreview(const std::filesystem::path& source, std::filesystem::path& copy, ProgressCallback callback,
                        void* user) override {
    ++copies;
    withCallback += callback != nullptr;
    return CLocalBuckupRecovery::CopyForPreview(source, copy, callback, user);
  }
  int copies = 0;
  int withCallback = 0;
};

QStringList Column(QTreeWidget* list, int column, bool visibleOnly = true) {
  QStringList out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (visibleOnly && list->topLevelItem(i)->isHidden()) continue;
    out << list->topLevelItem(i)->text(column);
  }
  return out;
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    SetAskHook([this](AskKind, const QString& text) {
      asked << text;
      return answer;
    });
    CPrintWnd::SetPreviewHook(nullptr);
    asked.clear();
    answer = kAnswerYes;
  }
  void cleanup() { SetAskHook(nullptr); }

  void conversationWithDeletedLastMessageComesFirst() {
    ScanResults results;
    results.ticked = {Category::Messages};
    results.conversations[1] = {Msg(1, "2020-01-01 10:00:00", "hello", 0), Msg(1, "2020-01-01 10:01:00", "live last", 0, 1)};
    results.conversations[2] = {Msg(2, "2020-01-01 09:00:00", "first", 0),
                                Msg(2, "2020-01-01 09:05:00", "deleted last", 1)};
    results.conversations[3] = {Msg(3, "2020-01-01 08:00:00", "third live", 0)};
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::Messages}));
    host.views()->AllReady();
    QCOMPARE(host.views()->tree()->Node(Category::Messages)->text(0), QStringLiteral("Messages (3)"));
    host.views()->OpenCategory(Category::Messages);
    QTreeWidget* list = host.controls().dataList;
    QCOMPARE(Column(list, 4), QStringList({"deleted last", "live last", "third live"}));
    QTreeWidgetItem* first = list->topLevelItem(0);
    QCOMPARE(first->foreground(1).color(), QColor("#F37302"));
    QVERIFY(!first->icon(1).isNull());
    QCOMPARE(list->topLevelItem(1)->foreground(1).style(), Qt::NoBrush);
    QCOMPARE(first->text(1), QStringLiteral("Person 2"));

    // The bubbles of the conversation: the heading row, then each message.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(first).center());
    QListWidget* bubbles = host.controls().messagesList;
    QCOMPARE(bubbles->count(), 3);
    QCOMPARE(bubbles->item(2)->data(Qt::UserRole).toBool(), true);
    QCOMPARE(bubbles->item(1)->data(Qt::UserRole).toBool(), false);
    QCOMPARE(bubbles->item(2)->data(Qt::UserRole + 1).toString(), QStringLiteral("deleted last"));
  }

  void organiserCategoriesListFilterTickAndPrint() {
    ScanResults results;
    results.ticked = {Category::Reminder, Category::Calendar, Category::SafariBookmark};
    results.reminders.resize(2);
    results.reminders[0].title = "Milk";
    results.reminders[0].list = "Groceries";
    results.reminders[1].title = "Gone reminder";
    results.reminders[1].deleted = 1;
    results.reminders[1].recovered = true;
    results.events.resize(1);
    results.events[0].summary = "Dentist";
    results.events[0].startText = "2023-11-14 23:13:20";
    results.safariBookmarks.resize(2);
    results.safariBookmarks[0].title = "Apple";
    results.safariBookmarks[0].url = "https://www.apple.com/";
    results.safariBookmarks[0].folder = "Favourites";
    results.safariBookmarks[1].title = "Deleted bookmark";
    results.safariBookmarks[1].url = "https://deleted.example/";
    results.safariBookmarks[1].deleted = 1;
    results.safariBookmarks[1].recovered = true;
    results.safariBookmarks[1].recoveredFrom = {9, 1234, RowSource::kFreeblock};
    results.safariHistory.resize(1);
    results.safariHistory[0].title = "News";
    results.safariHistory[0].url = "https://news.example/";
    results.safariHistory[0].visitCount = 4;
    CPreviewHost host;
    host.resize(1000, 600);
    host.show();
    CPreviewViews* views = host.views();
    views->Start(&results, nullptr, Ticked({Category::Reminder, Category::Calendar, Category::SafariBookmark}));
    views->AllReady();
    QCOMPARE(views->tree()->Node(Category::Reminder)->text(0), QStringLiteral("Reminder (2)"));
    QCOMPARE(views->tree()->Node(Category::Calendar)->text(0), QStringLiteral("Calendar (1)"));
    QCOMPARE(views->tree()->Node(Category::SafariBookmark)->text(0), QStringLiteral("Safari Bookmarks (3)"));

    // Safari: the bookmarks and the history under a heading each; the
    // headings have no box and stay when the filter hides live rows.
    views->OpenCategory(Category::SafariBookmark);
    QTreeWidget* list = host.controls().dataList;
    QCOMPARE(Column(list, 1), QStringList({"Bookmarks (2)", "Apple", "Deleted bookmark", "History (1)", "News"}));
    QVERIFY(!list->topLevelItem(0)->data(0, Qt::CheckStateRole).isValid());
    QCOMPARE(list->topLevelItem(4)->text(4), QStringLiteral("4"));
    QVERIFY(host.controls().print->isVisible());
    QVERIFY(host.controls().filter->isVisible());
    host.controls().filter->setChecked(true);
    QCOMPARE(Column(list, 1), QStringList({"Bookmarks (2)", "Deleted bookmark", "History (1)"}));
    QCOMPARE(host.controls().filterCount->text(), QStringLiteral("Showing 1 deleted of 3"));
    // A click on a heading shows nothing; on a record its fields.
    auto click = [list](QTreeWidgetItem* row) {
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
    };
    click(list->topLevelItem(0));
    QVERIFY(host.controls().previewEdit->toPlainText().isEmpty());
    click(list->topLevelItem(2));
    QVERIFY(host.controls().previewEdit->toPlainText().contains(QStringLiteral("Status:\n    Deleted")));
    // A recovered row says where it lay in its database.
    QVERIFY(host.controls().previewEdit->toPlainText().contains(
        QStringLiteral("Recovered from:\n    free block, page 9, offset 1234")));
    const QTextCursor status = host.controls().previewEdit->document()->find(QStringLiteral("Deleted"));
    QCOMPARE(status.charFormat().foreground().color().name(), QStringLiteral("#f37302"));
    host.controls().filter->setChecked(false);

    // Ticking: one reminder off leaves five of six items in the line.
    views->OpenCategory(Category::Reminder);
    QCOMPARE(Column(list, 1), QStringList({"Milk", "Gone reminder"}));
    list->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    QCOMPARE(views->data().selection().Statistics().tickedCount, 5);
    QCOMPARE(views->data().selection().Statistics().totalCount, 6);
    std::string body;
    QCOMPARE(PrintBody(views->data().selection(), views->data().records(), Category::Reminder, false, {}, body), 0);
    QVERIFY(body.find("Milk") == std::string::npos);  // unticked
    QVERIFY(body.find("Gone reminder") != std::string::npos);
    QCOMPARE(PrintBody(views->data().selection(), views->data().records(), Category::SafariBookmark, false, {}, body),
             0);
    QVERIFY(body.find("https://news.example/") != std::string::npos);
    QVERIFY(body.find("Visits:") != std::string::npos);
  }

  void previewFollowsKeyboardAndSpaceTicks() {
    ScanResults results;
    results.ticked = {Category::Messages};
    results.conversations[1] = {Msg(1, "2020-01-01 10:00:00", "one a", 0), Msg(1, "2020-01-01 10:01:00", "one b", 0)};
    results.conversations[2] = {Msg(2, "2020-01-01 09:00:00", "two", 0)};
    results.conversations[3] = {Msg(3, "2020-01-01 08:00:00", "three a", 0), Msg(3, "2020-01-01 08:01:00", "three b", 0),
                                Msg(3, "2020-01-01 08:02:00", "three c", 0)};
    CPreviewHost host;
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    host.views()->Start(&results, nullptr, Ticked({Category::Messages}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Messages);
    QTreeWidget* list = host.controls().dataList;
    QListWidget* bubbles = host.controls().messagesList;
    auto lastBubble = [&] { return bubbles->item(bubbles->count() - 1)->data(Qt::UserRole + 1).toString(); };
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(0)).center());
    QCOMPARE(lastBubble(), QStringLiteral("one b"));
    // The arrow keys move the preview with the highlight, both ways.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(list->currentItem(), list->topLevelItem(1));
    QCOMPARE(bubbles->count(), 2);
    QCOMPARE(lastBubble(), QStringLiteral("two"));
    QTest::keyClick(list, Qt::Key_End);
    QCOMPARE(bubbles->count(), 4);
    QCOMPARE(lastBubble(), QStringLiteral("three c"));
    QTest::keyClick(list, Qt::Key_Up);
    QCOMPARE(lastBubble(), QStringLiteral("two"));

    // Space ticks and unticks the current row whatever cell is current,
    // and the statistics follow.
    auto ticked = [&](int row) {
      const auto id = reinterpret_cast<const void*>(list->topLevelItem(row)->data(0, CFileListCtrl::kIdRole).value<quintptr>());
      return host.views()->data().selection().table().Find(id)->ticked != 0;
    };
    list->setCurrentItem(list->topLevelItem(1), 3);
    const QString before = host.controls().statistics->text();
    QVERIFY(ticked(1));
    QTest::keyClick(list, Qt::Key_Space);
    QVERIFY(!ticked(1));
    QCOMPARE(list->topLevelItem(1)->checkState(0), Qt::Unchecked);
    QVERIFY(host.controls().statistics->text() != before);
    QTest::keyClick(list, Qt::Key_Space);
    QVERIFY(ticked(1));
    QCOMPARE(host.controls().statistics->text(), before);
    // Space moved nothing: the same conversation is still shown.
    QCOMPARE(list->currentItem(), list->topLevelItem(1));
    QCOMPARE(lastBubble(), QStringLiteral("two"));
  }

  void columnsFitTheirTexts() {
    ScanResults results;
    results.ticked = {Category::Messages, Category::Contacts};
    results.conversations[1] = {Msg(1, "2013-09-07 03:44:55", "hello", 0)};
    results.conversations[1].front().contactName = "Maximiliane Oberholzer";
    ContactRecord c;
    c.name = "Bartholomew Featherstonehaugh";
    c.company = "Acme";
    results.contacts = {c};
    CPreviewHost host;
    host.resize(1000, 665);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    host.views()->Start(&results, nullptr, Ticked({Category::Messages, Category::Contacts}));
    host.views()->AllReady();
    QTreeWidget* list = host.controls().dataList;
    const QFontMetrics metrics(list->font());
    auto fits = [&](int column, const QString& text) {
      return list->columnWidth(column) >= metrics.horizontalAdvance(text);
    };
    host.views()->OpenCategory(Category::Messages);
    QVERIFY2(fits(3, QStringLiteral("2013-09-07 03:44:55")), qPrintable(QString::number(list->columnWidth(3))));
    QVERIFY(fits(1, QStringLiteral("Maximiliane Oberholzer")));
    host.views()->OpenCategory(Category::Contacts);
    QVERIFY(fits(1, QStringLiteral("Bartholomew Featherstonehaugh")));
    // A short column keeps its given width.
    QCOMPARE(list->columnWidth(2), 100);
  }

  void bubblesShowTheirWholeTextInsideTheList() {
    // Enough messages for a scroll bar, some long enough to wrap several
    // times, sent ones on the right edge.
    ScanResults results;
    results.ticked = {Category::Messages};
    auto& chat = results.conversations[1];
    for (int i = 0; i < 12; ++i) {
      std::string text = "message " + std::to_string(i);
      for (int k = 0; k < i % 4; ++k) text += " with several more words that have to wrap onto further lines";
      chat.push_back(Msg(1, "2020-01-01 10:00:00", text.c_str(), i == 5, i % 2));
    }
    CPreviewHost host;
    host.resize(1000, 600);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    host.views()->Start(&results, nullptr, Ticked({Category::Messages}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Messages);
    QTreeWidget* list = host.controls().dataList;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(0)).center());
    QListWidget* bubbles = host.controls().messagesList;
    QCOMPARE(bubbles->count(), 13);
    QTRY_VERIFY(bubbles->verticalScrollBar()->isVisible());
    for (int i = 1; i < bubbles->count(); ++i) {
      bubbles->scrollToItem(bubbles->item(i));
      QApplication::processEvents();
      QWidget* row = bubbles->itemWidget(bubbles->item(i));
      QVERIFY(row);
      const QString text = bubbles->item(i)->data(Qt::UserRole + 1).toString();
      QLabel* bubble = nullptr;
      for (QLabel* label : row->findChildren<QLabel*>()) {
        if (label->wordWrap()) bubble = label;
      }
      QVERIFY(bubble);
      // Within the list, clear of the scroll bar.
      const QRect inList(bubble->mapTo(bubbles->viewport(), QPoint(0, 0)), bubble->size());
      QVERIFY2(inList.left() >= 0 && inList.right() < bubbles->viewport()->width(), qPrintable(text));
      // High enough for its text wrapped at its width.
      QVERIFY2(bubble->heightForWidth(bubble->width()) <= bubble->height(), qPrintable(text));
    }
  }

  void generatedContentIsSniffedAsItsKind() {
    // The scans keep only what the sniffer recognises: real content must
    // still look like its kind in its first 512 bytes.
    for (int k = 0; k < gen::kMediaSampleCount; ++k) {
      const auto kind = static_cast<gen::MediaSample>(k);
      const std::string bytes = gen::MediaSampleContent(kind, 3);
      std::string name;
      int64_t counter = 0;
      QCOMPARE(MediaSniffer::SniffBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), name, counter), 0);
      QCOMPARE(QString::fromStdString(name), QStringLiteral("0.") + QLatin1String(gen::MediaSampleExtension(kind)));
    }
  }

  void generatedPicturesDecode() {
    // What the generated backups hold for a preview: real pictures of the
    // promised size, each kind read by content as the preview reads it.
    QTemporaryDir dir;
    using S = gen::MediaSample;
    struct Case {
      S kind;
      QSize size;
    };
    for (const Case& c : {Case{S::JpegJfif, {320, 240}}, Case{S::JpegExif, {240, 320}}, Case{S::Png, {320, 240}},
                          Case{S::Gif, {160, 120}}, Case{S::Bmp, {160, 120}}, Case{S::Heic, {320, 240}}}) {
      const QString path = dir.filePath(QStringLiteral("sample%1").arg(static_cast<int>(c.kind)));
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      const std::string bytes = gen::MediaSampleContent(c.kind, 3);
      f.write(bytes.data(), static_cast<qint64>(bytes.size()));
      f.close();
      const QImage image = LoadPicture(path);
      QCOMPARE(image.size(), c.size);
      // A landscape: sky above, water below.
      const QColor sky = image.pixelColor(c.size.width() / 2, 2), water = image.pixelColor(c.size.width() / 2, c.size.height() - 2);
      QVERIFY2(sky != water, gen::MediaSampleExtension(c.kind));
    }
    // The small sniffer samples decode too, at exactly the asked size (the
    // padding goes into comment segments, even when only a few bytes are
    // missing).
    const size_t natural = gen::MediaSampleBytes(S::JpegJfif, 0, 1).size();
    for (size_t size : {size_t{2000}, natural + 4, natural + 5, size_t{70000}, size_t{200000}}) {
      const std::string bytes = gen::MediaSampleBytes(S::JpegJfif, size, 1);
      QCOMPARE(bytes.size(), size);
      QImage image;
      QVERIFY(image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()), "JPG"));
      QCOMPARE(image.size(), QSize(16, 16));
    }
    // Fewer than a segment's four bytes missing: a little more, still whole.
    const std::string near = gen::MediaSampleBytes(S::JpegExif, natural + 2, 1);
    QVERIFY(near.size() >= natural + 2 && near.size() <= natural + 6);
    QVERIFY(QImage::fromData(reinterpret_cast<const uchar*>(near.data()), static_cast<int>(near.size())).width() == 16);
  }

  void generatedMoviesPlay() {
    // Every movie kind of the generated backups plays: frames of 240 x 180
    // for two seconds.
    QTemporaryDir dir;
    using S = gen::MediaSample;
    for (S kind : {S::Avi, S::QuickTime, S::Mp4, S::Mp4Brand, S::M4v, S::ThreeGp}) {
      const QString path = dir.filePath(QStringLiteral("movie%1").arg(static_cast<int>(kind)));
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      const std::string bytes = gen::MediaSampleContent(kind, 5);
      f.write(bytes.data(), static_cast<qint64>(bytes.size()));
      f.close();
      QMediaPlayer player;
      QVideoSink sink;
      player.setVideoSink(&sink);
      QImage frame;
      connect(&sink, &QVideoSink::videoFrameChanged, this, [&](const QVideoFrame& v) {
        if (v.isValid()) frame = v.toImage();
      });
      player.setSource(QUrl::fromLocalFile(path));
      player.play();
      QTRY_VERIFY2_WITH_TIMEOUT(!frame.isNull() && player.duration() > 0, gen::MediaSampleExtension(kind), 10000);
      QCOMPARE(frame.size(), QSize(240, 180));
      QCOMPARE(player.duration(), qint64{2000});
      QCOMPARE(player.error(), QMediaPlayer::NoError);
    }
  }

  void contactShowsFirstNumberInListAndAllInDetail() {
    ScanResults results;
    results.ticked = {Category::Contacts};
    ContactRecord c;
    c.name = "Anna Berg";
    c.phones = "+15550001\n+15550002\n+15550003";
    c.email = "anna@example.com";
    results.contacts.push_back(c);
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::Contacts}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Contacts);
    QTreeWidget* list = host.controls().dataList;
    QCOMPARE(list->topLevelItem(0)->text(3), QStringLiteral("+15550001"));
    host.views()->Preview(Category::Contacts, &results.contacts[0]);
    QCOMPARE(host.views()->panel()->ContactText("TxtPhone"), QStringLiteral("+15550001\n+15550002\n+15550003"));
    QCOMPARE(host.views()->panel()->ContactText("TxtEmail"), QStringLiteral("anna@example.com"));
    QCOMPARE(host.views()->panel()->ContactText("TxtAddress"), QString());
    QVERIFY(host.views()->panel()->contactView()->isVisibleTo(&host));
  }

  void cameraRollShowsDateTakenAndTrashedItems() {
    ScanResults results;
    results.ticked = {Category::CameraRoll, Category::PhotoStream};
    MediaItem kept, trashed, undated;
    kept.name = "IMG_0001.JPG";
    kept.size = 2048;
    kept.date = "2023-11-14 22:13:20";
    trashed.name = "IMG_0002.JPG";
    trashed.size = 1024;
    trashed.date = "2023-11-14 23:13:20";
    trashed.deleted = 1;
    trashed.trashedDate = "2023-11-26 12:00:00";
    undated.name = "IMG_0003.PNG";
    undated.size = 10;
    results.cameraRoll = {kept, trashed, undated};
    results.photoStream = {kept};
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::CameraRoll, Category::PhotoStream}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::CameraRoll);
    QTreeWidget* list = host.controls().dataList;
    QCOMPARE(list->headerItem()->text(2), QStringLiteral("Date Taken"));
    QCOMPARE(Column(list, 1), QStringList({"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.PNG"}));
    QCOMPARE(Column(list, 2), QStringList({"2023-11-14 22:13:20", "2023-11-14 23:13:20", ""}));
    QCOMPARE(list->topLevelItem(1)->foreground(1).color(), QColor("#F37302"));
    QVERIFY(list->topLevelItem(0)->foreground(1).color() != QColor("#F37302"));
    // The Photo Stream has no capture dates: name and size only.
    host.views()->OpenCategory(Category::PhotoStream);
    QCOMPARE(list->columnCount(), 3);
    QCOMPARE(list->headerItem()->text(2), QStringLiteral("File Size"));
  }

  void unansweredCallsShowMissedOrCanceled() {
    ScanResults results;
    results.ticked = {Category::CallHistory};
    CallRecord in, out, talk;
    in.incoming = 1;
    out.incoming = 0;
    talk.incoming = 1;
    talk.duration = 75;
    talk.deleted = 1;
    results.calls = {in, out, talk};
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::CallHistory}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::CallHistory);
    QTreeWidget* list = host.controls().dataList;
    QCOMPARE(Column(list, 5), QStringList({"Missed", "Canceled", "1 Min 15 Sec"}));
    QCOMPARE(Column(list, 4), QStringList({"Incoming", "Outgoing", "Incoming"}));
    QCOMPARE(Column(list, 6), QStringList({"Normal", "Normal", "Deleted"}));
    // Each call has its detail in the panel, with the same words as its row.
    list->setCurrentItem(list->topLevelItem(2));
    const QString detail = host.controls().previewEdit->toPlainText();
    QVERIFY2(detail.contains(QStringLiteral("Duration:\n    1 Min 15 Sec")) && detail.contains(QStringLiteral("Deleted")),
             qPrintable(detail));
    list->setCurrentItem(list->topLevelItem(1));
    QVERIFY(host.controls().previewEdit->toPlainText().contains(QStringLiteral("Type:\n    Outgoing")));
    // A number of no contact: the name says so.
    QVERIFY(results.calls[1].name.empty());
    QVERIFY(host.controls().previewEdit->toPlainText().contains(QStringLiteral("Name:\n    (not in the contacts)")));
  }

  void untickingOneAppFileMakesItsBoxPartlyChecked() {
    ScanResults results;
    results.ticked = {Category::AppPhotos};
    for (int i = 0; i < 3; ++i) {
      AppMediaItem m;
      m.appName = "Camera+";
      m.name = "IMG_" + std::to_string(i) + ".JPG";
      m.size = 4096;
      results.appPhotos["Camera+"].push_back(m);
    }
    results.appPhotos["Other"].push_back(results.appPhotos["Camera+"][0]);
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::AppPhotos}));
    host.views()->AllReady();
    QCOMPARE(host.views()->tree()->Node(Category::AppPhotos)->text(0), QStringLiteral("App Photos (4)"));
    host.views()->OpenCategory(Category::AppPhotos);
    CFileListCtrl* list = host.views()->list();
    const void* app = &results.appPhotos["Camera+"];
    QCOMPARE(list->RowOf(app)->checkState(0), Qt::Checked);
    QCOMPARE(list->RowOf(app)->text(2), QStringLiteral("Folder"));
    list->OpenApp(app);
    QVERIFY(host.controls().backAppDir->isVisibleTo(&host));
    list->RowOf(&results.appPhotos["Camera+"][1])->setCheckState(0, Qt::Unchecked);
    QCOMPARE(list->header()->State(), Qt::PartiallyChecked);
    QTest::mouseClick(host.controls().backAppDir, Qt::LeftButton);
    QCOMPARE(list->RowOf(app)->checkState(0), Qt::PartiallyChecked);
    QCOMPARE(list->RowOf(&results.appPhotos["Other"])->checkState(0), Qt::Checked);
    QVERIFY(host.controls().statistics->text().contains(QStringLiteral("in 3 item(s) of")));
    // A click on the partly checked box ticks the whole application again.
    list->RowOf(app)->setCheckState(0, Qt::Checked);
    QCOMPARE(list->RowOf(app)->checkState(0), Qt::Checked);
    QVERIFY(host.controls().statistics->text().contains(QStringLiteral("in 4 item(s) of")));
    // The header box unticks every file of every application.
    list->TickAll(false);
    QCOMPARE(list->RowOf(app)->checkState(0), Qt::Unchecked);
    QVERIFY(!host.controls().recover->isEnabled());
  }

  void filterOnAndOffRestoresRowsAndStatistics() {
    ScanResults results;
    results.ticked = {Category::Notes};
    results.notes = {Note("a", 0), Note("b", 1), Note("c", 0), Note("d", 1), Note("e", 0)};
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::Notes}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Notes);
    CFileListCtrl* list = host.views()->list();
    list->RowOf(&results.notes[0])->setCheckState(0, Qt::Unchecked);  // live
    list->RowOf(&results.notes[3])->setCheckState(0, Qt::Unchecked);  // deleted
    const QString before = host.controls().statistics->text();
    QCOMPARE(before, QStringLiteral("You select 3.00 KB in 3 item(s) of 5.00 KB in 5 item(s)"));
    QVERIFY(!host.controls().filterCount->isVisibleTo(&host));

    host.controls().filter->setChecked(true);
    QCOMPARE(Column(host.controls().dataList, 1), QStringList({"b", "d"}));
    QCOMPARE(host.views()->tree()->Mark(Category::Notes), QLatin1Char('D'));
    QVERIFY(host.controls().filterCount->isVisibleTo(&host));
    QCOMPARE(host.controls().filterCount->text(), QStringLiteral("Showing 2 deleted of 5"));
    // Hidden ticked notes count in neither the number nor the size, and
    // the line says that they are left out.
    QCOMPARE(host.controls().statistics->text(),
             QStringLiteral("You select 1.00 KB in 1 item(s) of 5.00 KB in 5 item(s) (2 ticked item(s) hidden by the "
                            "filter are left out)"));
    QVERIFY(host.controls().recover->isEnabled());
    // The one visible ticked note unticked: nothing would be written.
    list->RowOf(&results.notes[1])->setCheckState(0, Qt::Unchecked);
    QVERIFY(!host.controls().recover->isEnabled());
    list->RowOf(&results.notes[1])->setCheckState(0, Qt::Checked);

    host.controls().filter->setChecked(false);
    QCOMPARE(Column(host.controls().dataList, 1), QStringList({"a", "b", "c", "d", "e"}));
    QCOMPARE(host.controls().statistics->text(), before);
    QCOMPARE(host.views()->tree()->Mark(Category::Notes), QLatin1Char('N'));
    QVERIFY(!host.controls().filterCount->isVisibleTo(&host));
    QCOMPARE(list->RowOf(&results.notes[0])->checkState(0), Qt::Unchecked);
    QCOMPARE(list->RowOf(&results.notes[2])->checkState(0), Qt::Checked);
  }

  void filterIsRememberedPerCategory() {
    ScanResults results;
    results.ticked = {Category::Notes, Category::CallHistory};
    results.notes = {Note("a", 0), Note("b", 1)};
    results.calls.resize(2);
    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::Notes, Category::CallHistory}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Notes);
    host.controls().filter->setChecked(true);
    host.views()->OpenCategory(Category::CallHistory);
    QVERIFY(!host.controls().filter->isChecked());
    QCOMPARE(Column(host.controls().dataList, 1).size(), 2);
    host.views()->OpenCategory(Category::Notes);
    QVERIFY(host.controls().filter->isChecked());
    QCOMPARE(Column(host.controls().dataList, 1), QStringList({"b"}));
  }

  // The password window of a locked note: a wrong password says so and
  // changes nothing; the right one opens the note (and the other locked
  // notes), and the list shows its text at once. A note locked with the
  // phone's passcode asks for no password and says why.
  void lockedNoteOpensWithTheRightPasswordOnly() {
    QTemporaryDir dir;
    const std::filesystem::path db = std::filesystem::path(dir.path().toStdString()) / "NoteStore.sqlite";
    std::vector<gen::GenStoreNote> rows = gen::NoteStoreRows({});
    gen::AddPasscodeLockedNote(rows);
    gen::BuildNoteStoreDb(db, rows, gen::NoteStoreLayout::kIos17);
    ScanResults results;
    results.ticked = {Category::Notes};
    QCOMPARE(ScanNoteStore(db, results.notes), status::kOk);
    const auto locked = std::find_if(rows.begin(), rows.end(), [](const gen::GenStoreNote& g) { return !g.password.empty(); });
    QVERIFY(locked != rows.end());
    auto noteTitled = [&](const std::string& title) -> NoteRecord* {
      for (NoteRecord& n : results.notes) {
        if (n.title == title) return &n;
      }
      return nullptr;
    };
    NoteRecord* secret = noteTitled(locked->title);
    NoteRecord* phone = noteTitled("Passcode note");
    QVERIFY(secret && phone);

    CPreviewHost host;
    host.show();
    host.views()->Start(&results, nullptr, Ticked({Category::Notes}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Notes);
    QTreeWidgetItem* row = host.views()->list()->RowOf(secret);
    QVERIFY(row);
    QCOMPARE(row->text(3), QStringLiteral("Locked note"));

    QStringList offered;
    QString typed = QStringLiteral("not the password");
    SetPasswordHook([&](const QString& text, QString& password) {
      offered << text;
      password = typed;
      return true;
    });
    host.views()->Preview(Category::Notes, secret);
    QCOMPARE(offered.size(), 1);
    QVERIFY(offered[0].contains(QStringLiteral("Hint: the usual")));
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].contains(QStringLiteral("wrong")));
    QCOMPARE(secret->lock, NoteLock::kLocked);
    QCOMPARE(secret->body, std::string(kLockedNoteText));
    QCOMPARE(row->text(3), QStringLiteral("Locked note"));

    typed = QString::fromStdString(locked->password);
    asked.clear();
    host.views()->Preview(Category::Notes, secret);
    QCOMPARE(offered.size(), 2);
    QVERIFY(asked.isEmpty());
    QCOMPARE(secret->lock, NoteLock::kUnlocked);
    QCOMPARE(secret->body, locked->expected);
    // The row, not only the preview, shows the opened note at once.
    QCOMPARE(row->text(3), QString::fromStdString(locked->expected).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    QCOMPARE(row->text(1), QString::fromStdString(locked->title));
    QVERIFY(host.controls().previewEdit->toPlainText().contains(QStringLiteral("The key is under the mat")));

    // The passcode-locked note: no password asked, the reason given.
    asked.clear();
    host.views()->Preview(Category::Notes, phone);
    QCOMPARE(offered.size(), 2);
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].contains(QStringLiteral("passcode")));
    QCOMPARE(phone->lock, NoteLock::kLocked);
    SetPasswordHook(nullptr);
  }

  void printingNotesGivesOneBlockPerTickedNote() {
    ScanResults results;
    results.ticked = {Category::Notes};
    results.notes = {Note("a", 0), Note("b", 1), Note("c", 0), Note("d", 1), Note("e", 0)};
    CPreviewHost host;
    host.show();
    QTemporaryDir dir;
    host.views()->SetPrintFolder(dir.path().toStdString());
    host.views()->Start(&results, nullptr, Ticked({Category::Notes}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Notes);
    CFileListCtrl* list = host.views()->list();
    list->TickAll(false);
    list->RowOf(&results.notes[2])->setCheckState(0, Qt::Checked);  // live
    list->RowOf(&results.notes[3])->setCheckState(0, Qt::Checked);  // deleted

    QString shown;
    int pages = 0;
    CPrintWnd::SetPreviewHook([&](QTextDocument& page) {
      shown = page.toPlainText();
      // The page prints: a PDF as the print preview would save it.
      QPrinter printer(QPrinter::HighResolution);
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(dir.filePath(QStringLiteral("notes.pdf")));
      page.print(&printer);
      ++pages;
    });
    host.views()->Print();
    QCOMPARE(pages, 1);
    QVERIFY(shown.contains(QStringLiteral("body of c")));
    QVERIFY(shown.contains(QStringLiteral("body of d")));
    QVERIFY(!shown.contains(QStringLiteral("body of a")));
    QVERIFY(!shown.contains(QStringLiteral("Init()")));  // the page's script is not text
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("notes.pdf"))).size() > 500);
    std::ifstream page(std::filesystem::path(dir.path().toStdString()) / "page.html");
    const std::string html((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    auto blocks = [](const std::string& text) {
      int n = 0;
      for (size_t at = text.find("<div>"); at != std::string::npos; at = text.find("<div>", at + 1)) ++n;
      return n;
    };
    QCOMPARE(blocks(html), 2);
    QVERIFY(html.find("{|content|}") == std::string::npos);

    // With the filter on only the ticked deleted note is printed.
    host.controls().filter->setChecked(true);
    host.views()->Print();
    QCOMPARE(pages, 2);
    QVERIFY(shown.contains(QStringLiteral("body of d")));
    QVERIFY(!shown.contains(QStringLiteral("body of c")));
  }

  // Thousands of contacts: the page is laid out a piece at a time, the
  // window answering between pieces; the pages come out whole and in order.
  void printingManyContactsLaysOutInPiecesAndCancels() {
    ScanResults results;
    results.ticked = {Category::Contacts};
    constexpr int kContacts = 3000;
    for (int i = 0; i < kContacts; ++i) {
      ContactRecord c;
      c.name = "Person " + std::to_string(i);
      c.phones = "+1 555 " + std::to_string(100000 + i);
      c.email = "p" + std::to_string(i) + "@example.com";
      results.contacts.push_back(c);
    }
    CPreviewHost host;
    host.show();
    QTemporaryDir dir;
    host.views()->SetPrintFolder(dir.path().toStdString());
    host.views()->Start(&results, nullptr, Ticked({Category::Contacts}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::Contacts);

    // Watches the window while it works: the bar's values, and Cancel
    // pressed once the laying out is under way when asked to.
    bool pressCancel = true;
    QList<int> barValues;
    int blocksSeen = 0, laidOutAtCancel = -1;
    QTimer watch;
    watch.setInterval(5);
    connect(&watch, &QTimer::timeout, [&] {
      auto* window = qobject_cast<CPrintWnd*>(QApplication::activeModalWidget());
      if (!window || window->blocks() == 0) return;
      blocksSeen = window->blocks();
      if (barValues.isEmpty() || barValues.last() != window->progressBar()->value()) {
        barValues << window->progressBar()->value();
      }
      if (pressCancel && laidOutAtCancel < 0 && window->laidOut() > 0) {
        laidOutAtCancel = window->laidOut();
        window->findChild<QPushButton*>(QStringLiteral("BtnCancel"))->click();
      }
    });
    watch.start();
    int previews = 0;
    CPrintWnd::SetPreviewHook([&](QTextDocument&) { ++previews; });
    QElapsedTimer clock;
    clock.start();
    host.views()->Print();
    QCOMPARE(previews, 0);  // stopped: no preview
    QCOMPARE(blocksSeen, kContacts);
    QVERIFY2(laidOutAtCancel > 0 && laidOutAtCancel < kContacts, qPrintable(QString::number(laidOutAtCancel)));
    QCOMPARE(asked.size(), 1);  // "Do you want to cancel?"

    // Answered No, the work goes on to the end; the pages hold every
    // contact once, in order, and the first page keeps the title.
    answer = kAnswerNo;
    asked.clear();
    laidOutAtCancel = -1;
    barValues.clear();
    QString text;
    int pages = 0, drawn = 0, askedGoing = 0;
    CPrintWnd::SetPreviewHook([&](QTextDocument& page) {
      ++previews;
      text = page.toPlainText();
      pages = page.pageCount();
      QPrinter printer(QPrinter::HighResolution);
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(dir.filePath(QStringLiteral("contacts.pdf")));
      drawn = CPrintWnd::PaintPages(page, printer, [&](int, int) { return ++askedGoing < 3; });
    });
    host.views()->Print();
    watch.stop();
    QCOMPARE(previews, 1);
    QVERIFY(barValues.size() >= 3);  // the bar moved while the pages were laid out
    QVERIFY(text.startsWith(QStringLiteral("Orbanix\n")));
    QVERIFY(!text.contains(QStringLiteral("preview.Name")));  // the note and the first record apart
    int last = -1;
    for (int i = 0; i < kContacts; i += 499) {
      const qsizetype at = text.indexOf(QRegularExpression(QStringLiteral("Name: Person %1\\s").arg(i)));
      QVERIFY2(at > last, qPrintable(QString::number(i)));
      last = static_cast<int>(at);
    }
    QCOMPARE(text.count(QStringLiteral("Name: Person ")), kContacts);
    QVERIFY(pages > 50);
    // The drawing of the pages stops when told to.
    QCOMPARE(drawn, 3);
    QCOMPARE(askedGoing, 3);
  }

  void samePhotoTwiceIsPreparedOnce() {
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("data"));
    const QString empty = dir.filePath(QStringLiteral("none"));
    QDir().mkpath(empty);
    BackupCatalog catalog(data.toStdString(), {empty.toStdString()});
    CountingSource source;
    source.SetCatalog(&catalog);

    ScanResults results;
    results.ticked = {Category::CameraRoll};
    const char* names[] = {"small.jpg", "limit.jpg", "large.jpg"};
    const qint64 sizes[] = {1000, 65536, 65537};
    for (int i = 0; i < 3; ++i) {
      const QString path = dir.filePath(QString::fromLatin1(names[i]));
      WriteJpeg(path, sizes[i]);
      MediaItem m;
      m.name = names[i];
      m.path = path.toStdString();
      m.size = static_cast<uint64_t>(sizes[i]);
      results.cameraRoll.push_back(m);
    }
    CPreviewHost host;
    host.show();
    host.resize(1000, 600);
    host.show();
    host.views()->Start(&results, &source, Ticked({Category::CameraRoll}));
    host.views()->AllReady();
    host.views()->OpenCategory(Category::CameraRoll);
    CMediaPreview* media = host.views()->media();
    QTextEdit* edit = host.controls().previewEdit;

    host.views()->Preview(Category::CameraRoll, &results.cameraRoll[0]);
    QCOMPARE(source.copies, 1);
    QCOMPARE(media->kind(), CMediaPreview::Kind::kPicture);
    QCOMPARE(media->copy().filename().string(), std::string("tmp.jpg"));
    QVERIFY(media->copy().parent_path() == std::filesystem::path(data.toStdString()));
    QVERIFY(edit->toHtml().contains(QStringLiteral("<img")));
    edit->clear();
    host.views()->Preview(Category::CameraRoll, &results.cameraRoll[0]);
    QCOMPARE(source.copies, 1);  // shown again from the copy
    QVERIFY(edit->toHtml().contains(QStringLiteral("<img")));

    // 65,536 bytes: copied directly, without a progress callback.
    host.views()->Preview(Category::CameraRoll, &results.cameraRoll[1]);
    QCOMPARE(source.copies, 2);
    QCOMPARE(source.withCallback, 0);
    QCOMPARE(media->windowCopies(), 0);
    // 65,537 bytes: through the progress window and its callback.
    host.views()->Preview(Category::CameraRoll, &results.cameraRoll[2]);
    QCOMPARE(source.copies, 3);
    QCOMPARE(source.withCallback, 1);
    QCOMPARE(media->windowCopies(), 1);
    QCOMPARE(media->kind(), CMediaPreview::Kind::kPicture);
    QCOMPARE(QFileInfo(QString::fromStdString(media->copy().string())).size(), 65537);
    QVERIFY(edit->toHtml().contains(QStringLiteral("<img")));
  }

  void newPreviewStopsPlayback() {
    QTemporaryDir dir;
    QFrame panel;
    auto* box = new QVBoxLayout(&panel);
    auto* edit = new QTextEdit(&panel);
    auto* messages = new QListWidget(&panel);
    box->addWidget(edit);
    box->addWidget(messages);
    CPreviewPanel preview(&panel, edit, messages);
    const QString wav = dir.filePath(QStringLiteral("tmp.wav"));
    QFile f(wav);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, '\0'));
    f.close();
    preview.Play(wav, false);
    QCOMPARE(preview.player()->source(), QUrl::fromLocalFile(wav));
    QCOMPARE(preview.mode(), CPreviewPanel::Mode::kMedia);
    NoteRecord note = Note("n", 1);
    preview.Clear();  // what every new preview does first
    preview.ShowNote(note);
    QVERIFY(preview.player()->source().isEmpty());
    QCOMPARE(preview.player()->playbackState(), QMediaPlayer::StoppedState);
    QVERIFY(edit->toPlainText().contains(QStringLiteral("Title:\n    n\nNote:\n     body of n")));
    // A body of several lines stays under its caption, apart from the
    // folder's caption after it.
    note.body = "first\nsecond";
    note.folder = "Travel";
    preview.ShowNote(note);
    QVERIFY(edit->toPlainText().contains(QStringLiteral("Note:\n     first\n     second\nFolder:\n    Travel")));
  }

  void unreadablePictureSaysNotFound() {
    QTemporaryDir dir;
    QFrame panel;
    auto* box = new QVBoxLayout(&panel);
    auto* edit = new QTextEdit(&panel);
    auto* messages = new QListWidget(&panel);
    box->addWidget(edit);
    box->addWidget(messages);
    CPreviewPanel preview(&panel, edit, messages);
    QVERIFY(!preview.ShowPicture(dir.filePath(QStringLiteral("missing.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(edit->toPlainText(),
                              QStringLiteral("This picture cannot be shown (the file is damaged or not a picture)."), 3000);
  }

  void recoveryWithNothingTickedFinishesAtOnce() {
    ScanResults results;
    results.ticked = {Category::Notes};
    results.notes = {Note("a", 0)};
    PreviewData data;
    data.Reset(&results, nullptr);
    data.AddAll();
    data.selection().SetCategoryTicked(Category::Notes, false);
    QTemporaryDir dir;
    RecoveryOptions options;
    options.outputRoot = dir.filePath(QStringLiteral("out")).toStdString();
    int copies = 0;
    RecoveryOutputSource source;
    source.copyFile = [&](const fs::path&, const fs::path&, const ReportFn&) {
      ++copies;
      return status::kOk;
    };
    CRecoverProcessWnd window(data.selection(), data.records(), source, options);
    bool finishShown = false;
    QTimer::singleShot(0, &window, [&] {
      QTRY_VERIFY_WITH_TIMEOUT(window.finished(), 5000);
      finishShown = window.finishButton()->isVisible() && !window.cancelButton()->isVisible();
      QTest::mouseClick(window.finishButton(), Qt::LeftButton);
    });
    QCOMPARE(window.Run(), 1);
    QVERIFY(finishShown);
    QCOMPARE(window.recoveredLabel()->text(), QStringLiteral("0/0 file(s) recovered"));
    QCOMPARE(window.detailList()->topLevelItemCount(), 0);
    QCOMPARE(copies, 0);
    QVERIFY(asked.isEmpty());
  }

  void recoveryWindowKeepsPaceAndItsFiguresAgree() {
    // Thousands of quick copies: the window takes their reports in rounds,
    // not one by one, and ends with its bar, percent and counter agreeing.
    ScanResults results;
    results.ticked = {Category::CameraRoll};
    const int count = 3000;
    for (int i = 0; i < count; ++i) {
      MediaItem m;
      m.name = "IMG_" + std::to_string(i) + ".JPG";
      m.path = "/nonexistent/" + m.name;
      m.size = 2048;
      results.cameraRoll.push_back(m);
    }
    PreviewData data;
    data.Reset(&results, nullptr);
    data.AddAll();
    QTemporaryDir dir;
    RecoveryOptions options;
    options.outputRoot = dir.filePath(QStringLiteral("out")).toStdString();
    RecoveryOutputSource source;
    source.copyFile = [&](const fs::path& from, const fs::path& destination, const ReportFn& report) -> Status {
      // Two copies fail: they are listed first, in the order met.
      const bool fails = from.filename() == "IMG_7.JPG" || from.filename() == "IMG_2500.JPG";
      for (int p : {10, 60}) {
        if (const int answer = report(p, status::kOk, destination)) return answer;
      }
      return report(100, fails ? EIO : status::kOk, destination) ? status::kCancelled : status::kOk;
    };
    CRecoverProcessWnd window(data.selection(), data.records(), source, options);
    QElapsedTimer clock;
    qint64 elapsed = 0;
    bool agreedAtEnd = false;
    QTimer::singleShot(0, &window, [&] {
      clock.start();
      // While it runs, the three figures come from one snapshot.
      while (!window.finished()) {
        QTest::qWait(20);
        const QString counter = window.recoveredLabel()->text();
        const int done = counter.section(QLatin1Char('/'), 0, 0).toInt();
        const int percent = window.progressBar()->value();
        QVERIFY2(window.percentLabel()->text().endsWith(QString::number(percent) + QLatin1Char('%')),
                 qPrintable(window.percentLabel()->text()));
        QVERIFY2(percent >= done * 100 / count && percent <= (done + 1) * 100 / count,
                 qPrintable(counter + QStringLiteral(" vs ") + QString::number(percent)));
      }
      elapsed = clock.elapsed();
      agreedAtEnd = window.progressBar()->value() == 100 && window.percentLabel()->text().endsWith(QStringLiteral(" 100%")) &&
                    window.recoveredLabel()->text().startsWith(QStringLiteral("3000/3000"));
      QTest::mouseClick(window.finishButton(), Qt::LeftButton);
    });
    QCOMPARE(window.Run(), 1);
    QVERIFY(agreedAtEnd);
    QCOMPARE(window.result().counts.done, count);
    QCOMPARE(window.result().counts.failed, 2);
    // At most one round per repaint period (and the last one at the end).
    QVERIFY2(window.flushes() <= elapsed / CRecoverProcessWnd::kRepaintMs + 3,
             qPrintable(QString::number(window.flushes()) + QStringLiteral(" rounds in ") + QString::number(elapsed)));
    QTreeWidget* detail = window.detailList();
    QCOMPARE(detail->topLevelItemCount(), count);
    QVERIFY(detail->topLevelItem(0)->text(0).endsWith(QStringLiteral("IMG_7.JPG")));
    QVERIFY(detail->topLevelItem(1)->text(0).endsWith(QStringLiteral("IMG_2500.JPG")));
    QCOMPARE(detail->topLevelItem(1)->foreground(0).color(), QColor(Qt::red));
    QCOMPARE(detail->topLevelItem(2)->text(1), QStringLiteral("Success"));
  }

  void overallPercentCountsTheFileInWork() {
    using Counts = RecoveryProgress::Counts;
    QCOMPARE(CRecoverProcessWnd::OverallPercent(50, Counts{1, 0, 4}), 37);
    // A report of 100 is already among the done.
    QCOMPARE(CRecoverProcessWnd::OverallPercent(100, Counts{2, 0, 4}), 50);
    QCOMPARE(CRecoverProcessWnd::OverallPercent(100, Counts{4, 1, 4}), 100);
    QCOMPARE(CRecoverProcessWnd::OverallPercent(0, Counts{0, 0, 0}), 0);
    // More completions than expected (a document failure added late) never
    // shows more than 100.
    QCOMPARE(CRecoverProcessWnd::OverallPercent(40, Counts{5, 0, 4}), 100);
  }

  // Five photos; each copy reports in ten pieces and waits at the gate.
  void cancellingRecoveryAsksThenStops() {
    for (const bool stop : {false, true}) {
      ScanResults results;
      results.ticked = {Category::CameraRoll};
      for (int i = 0; i < 5; ++i) {
        MediaItem m;
        m.name = "IMG_" + std::to_string(i) + ".JPG";
        m.path = "/nonexistent/" + m.name;
        m.size = 2048;
        results.cameraRoll.push_back(m);
      }
      PreviewData data;
      data.Reset(&results, nullptr);
      data.AddAll();
      QTemporaryDir dir;
      RecoveryOptions options;
      options.outputRoot = dir.filePath(QStringLiteral("out")).toStdString();
      std::atomic<int> started{0}, pieces{0};
      std::atomic<bool> gate{false};
      RecoveryOutputSource source;
      source.copyFile = [&](const fs::path&, const fs::path& destination, const ReportFn& report) -> Status {
        ++started;
        std::ofstream(destination) << "x";
        for (int p = 10; p <= 100; p += 10) {
          while (!gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          ++pieces;
          if (const int answer = report(p, status::kOk, destination)) return answer;
        }
        return status::kOk;
      };
      answer = stop ? kAnswerYes : kAnswerNo;
      asked.clear();
      CRecoverProcessWnd window(data.selection(), data.records(), source, options);
      int piecesWhenAsked = -1;
      SetAskHook([&](AskKind, const QString& text) {
        asked << text;
        // While the question is open the worker stands still.
        gate = true;
        const int before = pieces.load();
        QTest::qWait(100);
        piecesWhenAsked = pieces.load() - before;
        return answer;
      });
      QTimer::singleShot(0, &window, [&] {
        QTRY_VERIFY_WITH_TIMEOUT(started.load() == 1, 5000);
        window.reject();  // "Cancel"
        if (!stop) {
          QTRY_VERIFY_WITH_TIMEOUT(window.finished(), 5000);
          QTest::mouseClick(window.finishButton(), Qt::LeftButton);
        }
      });
      const int result = window.Run();
      QCOMPARE(asked.size(), 1);
      QCOMPARE(asked[0], QStringLiteral("Do you want to stop the recovery? Files already written are kept."));
      QVERIFY(piecesWhenAsked <= 1);  // at most the report already under way
      if (stop) {
        QCOMPARE(result, 2);
        QVERIFY(window.result().cancelled);
        QCOMPARE(started.load(), 1);
        QVERIFY(!window.finishButton()->isVisible());
      } else {
        QCOMPARE(result, 1);
        QCOMPARE(started.load(), 5);
        QCOMPARE(window.result().counts.written(), 5);
        QCOMPARE(window.detailList()->topLevelItemCount(), 5);
        QCOMPARE(window.recoveredLabel()->text(), QStringLiteral("5/5 file(s) processed, 5 recovered, 0 failed"));
      }
    }
  }

  void failuresAreListedFirstInRed() {
    ScanResults results;
    results.ticked = {Category::CameraRoll};
    for (int i = 0; i < 3; ++i) {
      MediaItem m;
      m.name = "IMG_" + std::to_string(i) + ".JPG";
      m.size = 10;
      results.cameraRoll.push_back(m);
    }
    PreviewData data;
    data.Reset(&results, nullptr);
    data.AddAll();
    QTemporaryDir dir;
    RecoveryOptions options;
    options.outputRoot = dir.filePath(QStringLiteral("out")).toStdString();
    RecoveryOutputSource source;
    source.copyFile = [&](const fs::path&, const fs::path& destination, const ReportFn& report) -> Status {
      const Status st = destination.filename().string().find("_1") != std::string::npos ? status::kBadData : 0;
      report(100, st, destination);
      return st;
    };
    CRecoverProcessWnd window(data.selection(), data.records(), source, options);
    QTimer::singleShot(0, &window, [&] {
      QTRY_VERIFY_WITH_TIMEOUT(window.finished(), 5000);
      QTest::mouseClick(window.detailButton(), Qt::LeftButton);
      QVERIFY(window.detailList()->isVisible());
      QTest::mouseClick(window.finishButton(), Qt::LeftButton);
    });
    QCOMPARE(window.Run(), 1);
    QTreeWidget* list = window.detailList();
    QCOMPARE(list->topLevelItemCount(), 3);
    QVERIFY(list->topLevelItem(0)->text(0).endsWith(QStringLiteral("IMG_1.JPG")));
    QCOMPARE(list->topLevelItem(0)->foreground(1).color(), QColor(Qt::red));
    QCOMPARE(list->topLevelItem(1)->text(1), QStringLiteral("Success"));
    QCOMPARE(window.recoveredLabel()->text(), QStringLiteral("3/3 file(s) processed, 2 recovered, 1 failed"));
  }

  void missingTemplatesStopBeforeAnything() {
    ScanResults results;
    results.ticked = {Category::Notes};
    results.notes = {Note("a", 0)};
    PreviewData data;
    data.Reset(&results, nullptr);
    data.AddAll();
    QTemporaryDir dir;
    RecoveryOptions options;
    options.outputRoot = dir.filePath(QStringLiteral("out")).toStdString();
    options.templateFolder = dir.filePath(QStringLiteral("no-templates")).toStdString();
    CRecoverProcessWnd window(data.selection(), data.records(), RecoveryOutputSource{}, options);
    QCOMPARE(window.Run(), 2);
    QCOMPARE(asked.size(), 1);
    QVERIFY(asked[0].startsWith(QStringLiteral("The document templates cannot be read")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("out"))));
  }

 private:
  QStringList asked;
  int answer = kAnswerYes;
};

QTEST_MAIN(PreviewTest)
#include "test_preview.moc"
