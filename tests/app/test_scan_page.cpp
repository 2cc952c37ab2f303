// The scan page through the main window: start, progress, pause, stop,
// close, finish and home, with a scripted data source; and a walk through
// the demo backup with the real one.
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QListWidget>
#include <QProgressBar>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "app/itunes_backup_page.h"
#include "app/preview/recover_process_wnd.h"
#include "app/local_backend.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview/recover_process_wnd.h"
#include "app/scan_page.h"
#include "app/select_all_box.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "app/texts.h"
#include "tests/app/app_tests.h"
#include "tests/app/fake_backend.h"
#include "tools/backupgen/backup_writer.h"
#include "tools/backupgen/family_chat_apps.h"
#include "tools/backupgen/families.h"
#include "ui_MainWnd.h"
#include "ui_PageScan.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace orbanix::app::testing {

namespace {

BoxLog g_boxes;

BackupInfo PlainBackup() {
  BackupInfo info;
  info.displayName = "Plain Phone";
  info.serialNumber = "F2LDEMO0001";
  info.lastBackupDate = "2014-05-13 16:53:20";
  info.folder = "/nonexistent/plain";
  return info;
}

// Ticks exactly the given categories on the category page.
void TickOnly(CSpecifyFileVrtWnd* page, std::initializer_list<int> categories) {
  page->SelectAll()->setCheckState(Qt::Checked);
  page->SelectAll()->click();  // everything off
  for (int c : categories) page->Option(c)->click();
}

// Chooses the backup and presses "BtnNext2".
void StartFromCategoryPage(CMainWnd& window, const BackupInfo& backup) {
  window.ScanPage()->SetSelectedBackup(backup);
  window.CategoryPage()->NextButton()->click();
}

bool WaitFinished(CMainWnd& window, int ms = 10000) {
  return QTest::qWaitFor([&] { return window.ScanPage()->state() == CScanVrtWnd::State::kFinished; }, ms);
}

// A scan that runs for a while: many small reports.
FakeScript LongScript() {
  FakeScript script;
  script.stepReports.clear();
  for (int v = 5; v < 95; ++v) script.stepReports.push_back(v);
  script.between = 3ms;
  return script;
}

// Holds a scan before its first operation until the test opens the gate
// (or the scan is cancelled).
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<bool> waiting{false};
};

class GatedBackend : public ScanBackend {
 public:
  GatedBackend(std::unique_ptr<ScanBackend> inner, Gate* gate) : inner_(std::move(inner)), gate_(gate) {}
  void Prepare(const BackupInfo& b, const std::string& password, const CategoryTicks& t,
               std::function<int(int)> report, std::function<Status()>& open,
               std::vector<BackendStep>& steps) override {
    inner_->Prepare(b, password, t, report, open, steps);
    if (steps.empty()) return;
    auto first = steps.front().step.run;
    steps.front().step.run = [first, report, gate = gate_] {
      gate->waiting = true;
      while (!gate->open) {
        if (report(0) != 0) return status::kCancelled;
        std::this_thread::sleep_for(5ms);
      }
      return first();
    };
  }
  int Count(int category) const override { return inner_->Count(category); }
  uint64_t Bytes(int category) const override { return inner_->Bytes(category); }
  ScanResults* Results() override { return inner_->Results(); }
  IPhoneRecoveryParse* Source() override { return inner_->Source(); }

 private:
  std::unique_ptr<ScanBackend> inner_;
  Gate* gate_;
};

}  // namespace

void ScanPageTests::init() {
  g_boxes = BoxLog{};
  g_boxes.Install();
}

void ScanPageTests::cleanup() { BoxLog::Remove(); }

void ScanPageTests::reminderOnlyFinishesWithNoRecords() {
  std::atomic<int> opens{0};
  FakeScript script;
  script.opens = &opens;
  script.recordsPerCategory = 0;  // a backup without reminders
  CMainWnd window({}, FakeFactory(script));
  TickOnly(window.CategoryPage(), {kReminder});
  QVERIFY(window.CategoryPage()->NextButton()->isEnabled());
  const std::vector<OperationPlan> planned = PlannedOperations(window.CategoryPage()->Ticks());
  QCOMPARE(planned.size(), size_t{1});
  QCOMPARE(std::string(planned[0].name), std::string("ScanReminders"));
  QSignalSpy finished(window.ScanPage(), &CScanVrtWnd::scanFinished);
  StartFromCategoryPage(window, PlainBackup());
  QVERIFY(WaitFinished(window));
  QCOMPARE(finished.size(), 1);
  QCOMPARE(opens.load(), 1);
  QCOMPARE(window.ScanPage()->TotalCount(), 0);
  QVERIFY(!window.ScanPage()->HoldsResults());
  QCOMPARE(window.ScanPage()->CategoryNode(kReminder)->text(0), QStringLiteral("Reminder (0)"));
  QVERIFY(!window.ScanPage()->CategoryNode(kCameraRoll));
  // The scan page shows its result toolbars.
  QCOMPARE(window.ui()->MainTabPage->currentIndex(), 1);
  Ui::PageScan* ui = window.ScanPage()->ui();
  QVERIFY(ui->ScanToolBar->isHidden());
  QVERIFY(!ui->ReocveryToolBar->isHidden());
  QVERIFY(!ui->DataListToolBar->isHidden());
  QVERIFY(ui->BtnHome->isEnabled());
  QVERIFY(!ui->BtnRecovery->isEnabled());
  QVERIFY(window.CategoryPage()->NextButton()->isEnabled());
  QVERIFY(window.ui()->MainTabPage->isEnabled());
  QVERIFY(g_boxes.texts.isEmpty());
}

void ScanPageTests::percentNeverGoesBackNorShows100() {
  FakeScript script;
  script.openReports = {0, 1, 1, 5, 3, 50, 40};
  script.stepReports = {60, 55, 100, 150, 99, 120, 0, -5};
  CMainWnd window({}, FakeFactory(script));
  QList<int> shown;
  QStringList labels;
  bool finished = false;
  connect(window.ScanPage(), &CScanVrtWnd::percentShown, this, [&](int percent) {
    if (finished) return;
    shown << percent;
    labels << window.ScanPage()->ui()->LblPercent->text();
    QCOMPARE(window.ScanPage()->ui()->ProgressScan->value(), percent);
  });
  connect(window.ScanPage(), &CScanVrtWnd::scanFinished, this, [&] { finished = true; });
  StartFromCategoryPage(window, PlainBackup());
  QVERIFY(WaitFinished(window));
  QVERIFY(shown.size() >= 3);
  QCOMPARE(shown.first(), 2);  // the first report of an open backup shows 2
  for (int i = 1; i < shown.size(); ++i) QVERIFY2(shown[i] > shown[i - 1], "the percent went back");
  QCOMPARE(shown.last(), 99);
  for (const QString& label : labels) QVERIFY(label != QStringLiteral("100%"));
  QCOMPARE(labels.last(), QStringLiteral("99%"));
}

void ScanPageTests::pauseThenStopAsksOnceAndEndsFinished() {
  CMainWnd window({}, FakeFactory(LongScript()));
  CScanVrtWnd* page = window.ScanPage();
  StartFromCategoryPage(window, PlainBackup());
  QTRY_VERIFY(page->ShownPercent() >= 5);
  page->TogglePause();
  QCOMPARE(page->state(), CScanVrtWnd::State::kPaused);
  QCOMPARE(page->ui()->BtnScanPause->text(), Message("MSG0506"));
  // While paused the worker holds at its next report: once the reports
  // already under way have arrived, nothing moves.
  QTest::qWait(50);
  const int held = page->ShownPercent();
  QTest::qWait(150);
  QCOMPARE(page->ShownPercent(), held);
  QVERIFY(page->WorkerRunning());

  g_boxes.answer = kAnswerOk;
  page->ui()->BtnScanStop->click();
  QCOMPARE(g_boxes.texts, QStringList{Message("MSG0508")});
  // The worker has ended when the stop returns.
  QVERIFY(!page->WorkerRunning());
  QVERIFY(WaitFinished(window, 2000));
  QCOMPARE(page->ui()->BtnScanPause->text(), Message("MSG0507"));
  QVERIFY(page->ui()->ScanToolBar->isHidden());
  QVERIFY(!page->ui()->ReocveryToolBar->isHidden());
  QVERIFY(page->ui()->BtnHome->isEnabled());
  QCOMPARE(g_boxes.texts.size(), 1);
  // It stopped early: not every operation ran.
  QVERIFY(page->ShownPercent() < 99);
}

void ScanPageTests::stopAnsweredNoKeepsScanning() {
  FakeScript script = LongScript();
  script.between = 1ms;
  CMainWnd window({}, FakeFactory(script));
  CScanVrtWnd* page = window.ScanPage();
  TickOnly(window.CategoryPage(), {kContacts, kNotes});
  StartFromCategoryPage(window, PlainBackup());
  QTRY_VERIFY(page->ShownPercent() >= 5);
  g_boxes.answer = kAnswerCancel;
  page->Stop();
  QCOMPARE(g_boxes.texts.size(), 1);
  QCOMPARE(page->state(), CScanVrtWnd::State::kScanning);
  QVERIFY(page->ui()->BtnGifLoading->IsRunning());
  QVERIFY(WaitFinished(window));
  QCOMPARE(page->Count(kContacts), 2);
  QCOMPARE(page->Count(kNotes), 2);
}

void ScanPageTests::closeWhileScanningAsksAndWaits() {
  CMainWnd window({}, FakeFactory(LongScript()));
  window.show();
  CScanVrtWnd* page = window.ScanPage();
  StartFromCategoryPage(window, PlainBackup());
  QTRY_VERIFY(page->ShownPercent() >= 5);

  g_boxes.answer = kAnswerCancel;
  QVERIFY(!window.close());
  QCOMPARE(g_boxes.texts, QStringList{Message("MSG0511")});
  QCOMPARE(page->state(), CScanVrtWnd::State::kScanning);
  QVERIFY(page->WorkerRunning());

  g_boxes.answer = kAnswerOk;
  QVERIFY(window.close());
  QCOMPARE(g_boxes.texts.size(), 2);
  QVERIFY(!page->WorkerRunning());
}

void ScanPageTests::countsInTreeLabels() {
  FakeScript script;
  script.recordsPerCategory = 3;
  CMainWnd window({}, FakeFactory(script));
  StartFromCategoryPage(window, PlainBackup());
  QVERIFY(WaitFinished(window));
  CScanVrtWnd* page = window.ScanPage();
  QCOMPARE(page->CategoryNode(kCameraRoll)->text(0), QStringLiteral("Camera Roll (3)"));
  QCOMPARE(page->CategoryNode(kMessageAtts)->text(0), QStringLiteral("Message Attachments (3)"));
  QCOMPARE(page->CategoryNode(kWhatsApp)->text(0), QStringLiteral("WhatsApp (3)"));
  QCOMPARE(page->CategoryNode(kSafariBookmark)->text(0), QStringLiteral("Safari Bookmarks (3)"));
  QCOMPARE(page->TotalCount(), 42);
  // 42 items of 2048 bytes each, all ticked.
  QCOMPARE(page->ui()->LblStatistics->text(),
           FormatText(Message("MSG0513"), {QStringLiteral("84.00 KB"), 42, QStringLiteral("84.00 KB"), 42}));
  QVERIFY(page->ui()->BtnRecovery->isEnabled());
}

void ScanPageTests::wrongPasswordAsksAgainAndRescans() {
  // The scripted source refuses the first password.
  std::atomic<int> opens{0};
  struct Refusing : FakeBackend {
    using FakeBackend::FakeBackend;
    void Prepare(const BackupInfo& b, const std::string& password, const CategoryTicks& t,
                 std::function<int(int)> report, std::function<Status()>& open,
                 std::vector<BackendStep>& steps) override {
      FakeBackend::Prepare(b, password, t, report, open, steps);
      if (password == "wrong") open = [] { return status::kWrongPassword; };
    }
  };
  FakeScript script;
  script.opens = &opens;
  CMainWnd window({}, [script](int) -> std::unique_ptr<ScanBackend> { return std::make_unique<Refusing>(script); });
  QStringList passwords{QStringLiteral("wrong"), QStringLiteral("right")};
  bool scanningHeaderBehindBox = false;
  window.CategoryPage()->SetPasswordPrompt([&](QWidget*, QString& password) {
    // Asked again right after the box: the wizard's own header and no
    // indicator of a check that has ended.
    if (passwords.size() == 1) {
      scanningHeaderBehindBox = !window.ui()->HorLayoutScan->isHidden() ||
                                !window.CategoryPage()->CheckingBox()->isHidden() ||
                                window.ui()->MainTabPage->currentIndex() != 0;
    }
    password = passwords.takeFirst();
    return 1;
  });
  BackupInfo locked = PlainBackup();
  locked.encrypted = true;
  StartFromCategoryPage(window, locked);
  QVERIFY(WaitFinished(window));
  QVERIFY(passwords.isEmpty());
  QCOMPARE(g_boxes.texts, QStringList{Message("MSG0302")});
  QCOMPARE(window.ScanPage()->Password(), QStringLiteral("right"));
  QCOMPARE(opens.load(), 1);  // the wrong one never reached the scripted open
  QVERIFY(!scanningHeaderBehindBox);
  QVERIFY(window.ScanPage()->TotalCount() > 0);
}

namespace {

// A scripted source that accepts only the password "right".
struct Refusing : FakeBackend {
  using FakeBackend::FakeBackend;
  void Prepare(const BackupInfo& b, const std::string& password, const CategoryTicks& t,
               std::function<int(int)> report, std::function<Status()>& open,
               std::vector<BackendStep>& steps) override {
    FakeBackend::Prepare(b, password, t, report, open, steps);
    if (password != "right") open = [] { return status::kWrongPassword; };
  }
};

}  // namespace

void ScanPageTests::passwordKeptForTheSession() {
  FakeScript script;
  CMainWnd window({}, [script](int) -> std::unique_ptr<ScanBackend> { return std::make_unique<Refusing>(script); });
  QStringList passwords{QStringLiteral("wrong"), QStringLiteral("right")};
  int prompts = 0;
  window.CategoryPage()->SetPasswordPrompt([&](QWidget*, QString& password) {
    ++prompts;
    if (passwords.isEmpty()) return 2;
    password = passwords.takeFirst();
    return 1;
  });
  BackupInfo locked = PlainBackup();
  locked.encrypted = true;
  StartFromCategoryPage(window, locked);
  QVERIFY(WaitFinished(window));
  QCOMPARE(prompts, 2);
  // The wrong one was forgotten, the right one kept.
  QVERIFY(window.CategoryPage()->KnowsPassword(locked));

  // Home and the same backup again: no question.
  g_boxes.answer = kAnswerOk;
  window.ScanPage()->ui()->BtnHome->click();
  QCOMPARE(window.ScanPage()->state(), CScanVrtWnd::State::kIdle);
  StartFromCategoryPage(window, locked);
  QVERIFY(WaitFinished(window));
  QCOMPARE(prompts, 2);
  QCOMPARE(window.ScanPage()->Password(), QStringLiteral("right"));

  // Another encrypted backup has its own password.
  window.ScanPage()->ui()->BtnHome->click();
  BackupInfo other = locked;
  other.folder = "/nonexistent/other";
  QVERIFY(!window.CategoryPage()->KnowsPassword(other));
  StartFromCategoryPage(window, other);
  QCOMPARE(prompts, 3);  // asked, and cancelled: the page stays usable
  QVERIFY(window.CategoryPage()->NextButton()->isEnabled());
}

void ScanPageTests::splitterSharesWidthAndIsRemembered() {
  QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Orbanix"), QStringLiteral("layout")).clear();
  int dragged = 0;
  {
    CMainWnd window({}, FakeFactory({}));
    window.resize(1600, 1000);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    StartFromCategoryPage(window, PlainBackup());
    QVERIFY(WaitFinished(window));
    QSplitter* splitter = window.ScanPage()->Splitter();
    QVERIFY(splitter);
    QCOMPARE(splitter->widget(1), static_cast<QWidget*>(window.ScanPage()->ui()->PreviewLayout));
    // Wide windows give the preview a real share, not a fixed strip.
    QTRY_VERIFY(splitter->sizes().value(1) > 400);
    // A drag of the handle 150 pixels to the right.
    QSplitterHandle* handle = splitter->handle(1);
    const QPoint middle = handle->rect().center();
    QTest::mousePress(handle, Qt::LeftButton, {}, middle);
    QTest::mouseMove(handle, middle + QPoint(150, 0));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, middle + QPoint(150, 0));
    dragged = splitter->sizes().value(1);
    QVERIFY2(dragged < 400, qPrintable(QString::number(dragged)));
    window.ScanPage()->ui()->BtnHome->setEnabled(true);
    g_boxes.answer = kAnswerOk;
  }
  // The next window (the next run) keeps the shares.
  CMainWnd window({}, FakeFactory({}));
  window.resize(1600, 1000);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  StartFromCategoryPage(window, PlainBackup());
  QVERIFY(WaitFinished(window));
  QTRY_VERIFY(std::abs(window.ScanPage()->Splitter()->sizes().value(1) - dragged) <= 2);
  g_boxes.answer = kAnswerOk;
}

void ScanPageTests::qqAndWeChatNodesAndTheirRecovery() {
  QTemporaryDir dir;
  const fs::path root = fs::path(dir.path().toStdString()) / "backups";
  const fs::path folder = root / "chatapps00000000000000000000000000000001";
  {
    gen::BackupWriter writer(folder, gen::Era::ManifestDb);
    gen::AddChatAppsFamily(writer, gen::FamilyOptions{});
    QVERIFY(writer.Finish());
  }
  BackupInfo info;
  QCOMPARE(ReadBackupInfo(folder, info), status::kOk);
  CMainWnd window({root}, MakeLocalBackendFactory({root}, fs::path(dir.path().toStdString()) / "data"));
  TickOnly(window.CategoryPage(), {kMessages});
  StartFromCategoryPage(window, info);
  QVERIFY(WaitFinished(window, 60000));
  CScanVrtWnd* page = window.ScanPage();
  QVERIFY(page->Problems().Empty());
  // Two more nodes under "Messages & Call logs", with their counts.
  QTreeWidgetItem* qq = page->CategoryNode(kQQChats);
  QTreeWidgetItem* weChat = page->CategoryNode(kWeChatChats);
  QVERIFY(qq && weChat);
  QCOMPARE(qq->parent(), page->CategoryNode(kMessages)->parent());
  QVERIFY(page->Count(kQQChats) > 0);
  QCOMPARE(qq->text(0), QStringLiteral("QQ (%1)").arg(page->Count(kQQChats)));
  QVERIFY(page->ui()->BtnRecovery->isEnabled());

  // The chat list, the chat under the cursor as bubbles, ticks. What
  // belongs to the category open before (its filter, Print, its preview)
  // goes with it: Print would print that category, not the chats.
  page->ui()->NodeTree->setCurrentItem(page->CategoryNode(kMessages));
  auto* print = page->findChild<QPushButton*>(QStringLiteral("BtnPrint"));
  QVERIFY(print && !print->isHidden());
  QListWidget* bubbles = page->ui()->MessagesList;
  bubbles->addItem(QStringLiteral("left from before"));
  page->ui()->NodeTree->setCurrentItem(qq);
  QCOMPARE(page->ui()->DataListStack->currentIndex(), 2);
  QVERIFY(print->isHidden());
  QCOMPARE(bubbles->count(), 0);
  QTreeWidget* chats = page->ChatApps()->list();
  QCOMPARE(chats->topLevelItemCount(), page->Count(kQQChats));
  chats->setCurrentItem(chats->topLevelItem(0), 2);
  QTRY_VERIFY(bubbles->count() > 1);
  const int all = page->ChatApps()->TickedCount();
  QCOMPARE(all, page->Count(kQQChats) + page->Count(kWeChatChats));
  chats->setFocus();
  QTest::keyClick(chats, Qt::Key_Space);
  QCOMPARE(page->ChatApps()->TickedCount(), all - 1);
  QCOMPARE(chats->topLevelItem(0)->checkState(0), Qt::Unchecked);

  // The recovery writes every ticked chat as text under QQ/ and WeChat/.
  const QString out = QDir(dir.path()).filePath(QStringLiteral("out"));
  bool done = false;
  QTimer driver;
  connect(&driver, &QTimer::timeout, this, [&] {
    auto* recover = qobject_cast<preview::CRecoverProcessWnd*>(QApplication::activeModalWidget());
    if (!recover || !recover->finished() || done) return;
    done = true;
    QTest::mouseClick(recover->finishButton(), Qt::LeftButton);
  });
  driver.start(50);
  emit page->recoverRequested(out);
  driver.stop();
  QVERIFY(done);
  int texts = 0;
  bool qqFolder = false, weChatFolder = false;
  for (QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
    const QString file = QDir(out).relativeFilePath(it.next());
    if (!file.endsWith(QStringLiteral(".txt"))) continue;
    qqFolder = qqFolder || file.startsWith(QStringLiteral("QQ/"));
    weChatFolder = weChatFolder || file.startsWith(QStringLiteral("WeChat/"));
    if (file.startsWith(QStringLiteral("QQ/")) || file.startsWith(QStringLiteral("WeChat/"))) ++texts;
  }
  QVERIFY(qqFolder && weChatFolder);
  QCOMPARE(texts, all - 1);
}

void ScanPageTests::checkingPasswordShowsBusyHeader() {
  // The key derivation: a long open without progress.
  FakeScript script;
  script.openReports = {0, 0, 0, 0, 0, 0};
  script.between = 60ms;
  CMainWnd window({}, FakeFactory(script));
  window.CategoryPage()->SetPasswordPrompt([](QWidget*, QString& password) {
    password = QStringLiteral("secret");
    return 1;
  });
  BackupInfo locked = PlainBackup();
  locked.encrypted = true;
  StartFromCategoryPage(window, locked);
  auto* busy = window.findChild<QProgressBar*>(QStringLiteral("ProgressChecking"));
  QVERIFY(busy);
  QTRY_VERIFY(!busy->isHidden());
  QCOMPARE(busy->maximum(), 0);  // a busy bar, not a percent
  QCOMPARE(window.ui()->LblScanInfo->text(), QStringLiteral("Checking the password…"));
  QVERIFY(!window.ui()->HorLayoutScan->isHidden());
  // The page itself says so too, with a bar that moves: shown and not
  // greyed, while the ticks and buttons wait.
  QWidget* box = window.CategoryPage()->CheckingBox();
  QVERIFY(!box->isHidden());
  QVERIFY(box->isEnabled());
  QCOMPARE(window.ui()->MainTabPage->currentIndex(), 0);
  QVERIFY(box->findChild<QProgressBar*>()->maximum() == 0);
  QVERIFY(box->findChild<QLabel*>()->text().contains(QStringLiteral("Checking the password…")));
  QVERIFY(!window.CategoryPage()->NextButton()->isEnabled());
  QVERIFY(!window.CategoryPage()->Option(kContacts)->isEnabled());
  QVERIFY(WaitFinished(window));
  QVERIFY(busy->isHidden());
  QVERIFY(box->isHidden());
  QCOMPARE(window.ui()->LblScanInfo->text(), QStringLiteral("The scan is complete"));

  // A backup without a password shows no such bar.
  g_boxes.answer = kAnswerOk;
  window.ScanPage()->ui()->BtnHome->click();
  StartFromCategoryPage(window, PlainBackup());
  QTest::qWait(100);
  QVERIFY(busy->isHidden());
  QVERIFY(WaitFinished(window));
}

void ScanPageTests::homeAsksAndReturnsToStep1() {
  CMainWnd window({}, FakeFactory({}));
  StartFromCategoryPage(window, PlainBackup());
  QVERIFY(WaitFinished(window));
  QVERIFY(window.ui()->HorLayoutMain->isHidden());
  QVERIFY(!window.ui()->HorLayoutScan->isHidden());
  CScanVrtWnd* page = window.ScanPage();

  g_boxes.answer = kAnswerCancel;
  page->ui()->BtnHome->click();
  QCOMPARE(g_boxes.texts, QStringList{Message("MSG0510")});
  QCOMPARE(window.ui()->MainTabPage->currentIndex(), 1);
  QVERIFY(page->HoldsResults());

  g_boxes.answer = kAnswerOk;
  page->ui()->BtnHome->click();
  QCOMPARE(window.ui()->MainTabPage->currentIndex(), 0);
  QCOMPARE(window.ui()->TabPage->currentIndex(), 0);
  QVERIFY(window.ui()->OptStep1->isChecked());
  QVERIFY(!window.ui()->HorLayoutMain->isHidden());
  QVERIFY(window.ui()->HorLayoutScan->isHidden());
  QVERIFY(!page->HoldsResults());
  QCOMPARE(page->state(), CScanVrtWnd::State::kIdle);
  // Nothing is held after going home: closing asks nothing.
  QCOMPARE(g_boxes.texts.size(), 2);
  QVERIFY(window.close());
  QCOMPARE(g_boxes.texts.size(), 2);
}

void ScanPageTests::reminderOnlyOnDemoBackup() {
  // The program's own source: Open runs, then the reminders alone.
  QTemporaryDir dir;
  const fs::path root = fs::path(dir.path().toStdString()) / "demo";
  std::string error;
  QVERIFY2(!gen::WriteDemo(root, &error).empty(), error.c_str());
  CMainWnd window({root}, MakeLocalBackendFactory({root}, fs::path(dir.path().toStdString()) / "data"));
  QVERIFY(window.BackupPage()->ChooseSelected());
  TickOnly(window.CategoryPage(), {kReminder});
  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window, 30000));
  QVERIFY(window.ScanPage()->TotalCount() > 0);
  QCOMPARE(window.ScanPage()->CategoryNode(kReminder)->text(0),
           QStringLiteral("Reminder (%1)").arg(window.ScanPage()->TotalCount()));
  QVERIFY(!window.ScanPage()->CategoryNode(kCalendar));
  QVERIFY(window.ScanPage()->ui()->BtnRecovery->isEnabled());
  QVERIFY(g_boxes.texts.isEmpty());
}

void ScanPageTests::walkThroughDemoBackup() {
  // The demo backups with the program's own data source; pictures of each
  // step are kept when ORBANIX_SCREENSHOT_DIR names a folder.
  QTemporaryDir dir;
  const fs::path root = fs::path(dir.path().toStdString()) / "demo";
  std::string error;
  QVERIFY2(!gen::WriteDemo(root, &error).empty(), error.c_str());
  ScanBackendFactory local = MakeLocalBackendFactory({root}, fs::path(dir.path().toStdString()) / "data");
  Gate gate;
  ScanBackendFactory factory = [&](int type) -> std::unique_ptr<ScanBackend> {
    gate.open = false;
    gate.waiting = false;
    return std::make_unique<GatedBackend>(local(type), &gate);
  };
  const QString shots = qEnvironmentVariable("ORBANIX_SCREENSHOT_DIR");
  for (const QSize size : {QSize(1000, 665), QSize(1440, 900), QSize(820, 560)}) {
    g_boxes.texts.clear();
    CMainWnd window({root}, factory);
    window.resize(size);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto shoot = [&](const char* step) {
      if (shots.isEmpty()) return;
      QCoreApplication::processEvents();
      window.grab().save(QStringLiteral("%1/%2-%3x%4.png").arg(shots, QLatin1String(step)).arg(size.width()).arg(size.height()));
    };
    QTreeWidget* list = window.BackupPage()->List();
    QCOMPARE(list->topLevelItemCount(), 2);
    shoot("1-choose-backup");
    QVERIFY(window.BackupPage()->ChooseSelected());
    QCOMPARE(window.ui()->TabPage->currentIndex(), 1);
    shoot("2-categories");
    // Held before its first operation, so the picture shows the scan
    // running; then it goes on.
    window.CategoryPage()->NextButton()->click();
    QVERIFY(QTest::qWaitFor([&] { return window.ui()->MainTabPage->currentIndex() == 1; }, 10000));
    QVERIFY(QTest::qWaitFor([&] { return gate.waiting.load(); }, 10000));
    QTest::qWait(50);
    QCOMPARE(window.ScanPage()->state(), CScanVrtWnd::State::kScanning);
    QVERIFY(window.ScanPage()->ShownPercent() >= 2);
    shoot("3-scanning");
    gate.open = true;
    QVERIFY(WaitFinished(window, 60000));
    shoot("4-finished");
    // The preview reaches the containers and the source of the scan.
    QVERIFY(window.ScanPage()->Results() && window.ScanPage()->Source());
    // Every kind of data of the demo is found.
    for (int c : {kCameraRoll, kMessages, kContacts, kCallHistory, kNotes, kWhatsApp}) {
      QVERIFY2(window.ScanPage()->Count(c) > 0, CategoryByNumber(c).label);
    }
    QVERIFY(window.ScanPage()->ui()->BtnRecovery->isEnabled());
    QVERIFY(g_boxes.texts.isEmpty() || g_boxes.texts == QStringList{Message("MSG0511")});
    g_boxes.answer = kAnswerOk;
    window.close();
  }
}

}  // namespace orbanix::app::testing
