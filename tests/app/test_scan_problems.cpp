// What a scan could not read, as the scan page shows it: the header's
// verdict, the list of problems with their reasons, the marks in the tree,
// and what an empty category says. Scripted sources fail the way real ones
// do (the decryption program missing, a damaged database, an unreadable
// manifest, a phone whose databases cannot be fetched).
#include <QLabel>
#include <QListWidget>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/select_all_box.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "app/texts.h"
#include "tests/app/app_tests.h"
#include "tests/app/fake_backend.h"
#include "ui_MainWnd.h"
#include "ui_PageScan.h"

namespace orbanix::app::testing {

namespace {

BoxLog g_boxes;

BackupInfo SomeBackup(bool encrypted = false) {
  BackupInfo info;
  info.displayName = "Troubled Phone";
  info.folder = "/nonexistent/troubled";
  info.encrypted = encrypted;
  return info;
}

void Scan(CMainWnd& window, const BackupInfo& backup) {
  window.CategoryPage()->SetPasswordPrompt([](QWidget*, QString& password) {
    password = QStringLiteral("secret");
    return 1;
  });
  window.ScanPage()->SetSelectedBackup(backup);
  window.CategoryPage()->NextButton()->click();
}

bool WaitFinished(CMainWnd& window) {
  return QTest::qWaitFor([&] { return window.ScanPage()->state() == CScanVrtWnd::State::kFinished; }, 10000);
}

QString Header(CMainWnd& window) { return window.findChild<QLabel*>(QStringLiteral("LblScanInfo"))->text(); }

QStringList ListedProblems(CScanVrtWnd* page) {
  QStringList lines;
  for (int i = 0; i < page->ProblemsList()->count(); ++i) lines << page->ProblemsList()->item(i)->text();
  return lines;
}

bool Marked(CScanVrtWnd* page, int category) { return !page->CategoryNode(category)->toolTip(0).isEmpty(); }

}  // namespace

void ScanProblemTests::init() {
  g_boxes = BoxLog{};
  g_boxes.Install();
}

void ScanProblemTests::cleanup() { BoxLog::Remove(); }

void ScanProblemTests::missingDecryptionProgramIsListed() {
  // The decryption step cannot start its program: Open fails with ENOENT
  // and says why; the operations then find nothing of the backup.
  FakeScript script;
  script.openStatus = ENOENT;
  script.openMessage = "the decryption program orbanix-decrypt was not found";
  script.recordsPerCategory = 0;
  CMainWnd window({}, FakeFactory(script));
  Scan(window, SomeBackup(/*encrypted=*/true));
  QVERIFY(WaitFinished(window));
  CScanVrtWnd* page = window.ScanPage();
  QCOMPARE(Header(window), QStringLiteral("The scan finished with problems"));
  QVERIFY(!page->ProblemsBox()->isHidden());
  const QStringList lines = ListedProblems(page);
  QCOMPARE(lines.size(), 1);
  QVERIFY2(lines.first().contains(QStringLiteral("orbanix-decrypt was not found")), qPrintable(lines.first()));
  QVERIFY(g_boxes.texts.isEmpty());  // a list on the page, not a box
}

void ScanProblemTests::damagedDatabaseMarksItsCategory() {
  FakeScript script;
  script.stepStatus["ScanMessages"] = status::kBadData;
  script.stepProblems["ScanMessages"] = {
      Problem{"messages", "HomeDomain-Library/SMS/sms.db", "is not a database", "bad header", true}};
  script.stepStatus["ScanNotes"] = status::kShortRead;  // a status without the source's words
  CMainWnd window({}, FakeFactory(script));
  Scan(window, SomeBackup());
  QVERIFY(WaitFinished(window));
  CScanVrtWnd* page = window.ScanPage();
  QCOMPARE(Header(window), QStringLiteral("The scan finished with problems"));
  const QStringList lines = ListedProblems(page);
  // The source's words stand for the messages (not its status as well);
  // the notes fall back on the status's reason.
  QCOMPARE(lines.size(), 2);
  QVERIFY2(lines[0].startsWith(QStringLiteral("Messages: ")) && lines[0].contains(QStringLiteral("sms.db")) &&
               lines[0].contains(QStringLiteral("bad header")),
           qPrintable(lines[0]));
  QVERIFY2(lines[1].startsWith(QStringLiteral("Notes: ")) && lines[1].contains(QStringLiteral("cut short")),
           qPrintable(lines[1]));
  QVERIFY(Marked(page, kMessages));
  QVERIFY(Marked(page, kNotes));
  QVERIFY(!Marked(page, kContacts));
  QCOMPARE(page->Count(kContacts), 2);
  // The category that could not be read says so instead of "Nothing found".
  QVERIFY(page->EmptyCategoryText(kMessages).contains(QStringLiteral("could not be read")));
  QVERIFY(!page->EmptyCategoryText(kMessages).contains(QStringLiteral("Nothing found")));
  page->ui()->NodeTree->setCurrentItem(page->CategoryNode(kMessages));
  QCOMPARE(page->ui()->DataListStack->currentIndex(), 0);
  QVERIFY(page->ui()->LblDataList->text().contains(QStringLiteral("bad header")));
}

void ScanProblemTests::unreadableManifestStillReadsFixedDatabases() {
  FakeScript script;
  script.openStatus = status::kManifestOpen;
  script.openMessage = "Manifest.db: file is not a database";
  CMainWnd window({}, FakeFactory(script));
  Scan(window, SomeBackup());
  QVERIFY(WaitFinished(window));
  CScanVrtWnd* page = window.ScanPage();
  QCOMPARE(Header(window), QStringLiteral("The scan finished with problems"));
  const QStringList lines = ListedProblems(page);
  QCOMPARE(lines.size(), 1);
  QVERIFY(lines.first().contains(QStringLiteral("file index")));
  QVERIFY(lines.first().contains(QStringLiteral("Manifest.db: file is not a database")));
  // The problem is the backup's, not a category's: what was read is there.
  QCOMPARE(page->Count(kMessages), 2);
  QVERIFY(!Marked(page, kMessages));
  QVERIFY(page->ui()->BtnRecovery->isEnabled());
}

void ScanProblemTests::phoneWithoutRelaySaysSo() {
  FakeScript script;
  script.openStatus = status::kBadData;
  script.openMessage = "the phone's databases could not be fetched (the file relay refused)";
  CMainWnd window({}, FakeFactory(script, /*device=*/true));
  window.ScanPage()->SetSelectedDevice({"UDID-NORELAY", "Relay-less Phone"});
  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window));
  CScanVrtWnd* page = window.ScanPage();
  QCOMPARE(Header(window), QStringLiteral("The scan finished with problems"));
  const QStringList lines = ListedProblems(page);
  QCOMPARE(lines.size(), 1);
  QVERIFY2(lines.first().contains(QStringLiteral("iPhone")) && lines.first().contains(QStringLiteral("file relay refused")),
           qPrintable(lines.first()));
}

void ScanProblemTests::emptyCategorySaysNothingFound() {
  FakeScript script;
  script.recordsPerCategory = 0;
  // The backup holds no notes database at all.
  script.stepStatus["ScanNotes"] = ENOENT;
  CMainWnd window({}, FakeFactory(script));
  Scan(window, SomeBackup());
  QVERIFY(WaitFinished(window));
  CScanVrtWnd* page = window.ScanPage();
  // Nothing failed: empty categories are no problem.
  QCOMPARE(Header(window), QStringLiteral("The scan is complete"));
  QVERIFY(page->ProblemsBox()->isHidden());
  QVERIFY(!Marked(page, kContacts));
  QVERIFY(!Marked(page, kNotes));
  page->ui()->NodeTree->setCurrentItem(page->CategoryNode(kContacts));
  QCOMPARE(page->ui()->DataListStack->currentIndex(), 0);
  QCOMPARE(page->ui()->LblDataList->text(), QStringLiteral("Nothing found in Contacts."));
  QVERIFY(page->EmptyCategoryText(kNotes).startsWith(QStringLiteral("Nothing found")));
  QVERIFY(page->EmptyCategoryText(kNotes).contains(QStringLiteral("no Notes database")));
  // Categories that nothing reads were read too: there was nothing.
  QVERIFY(page->EmptyCategoryText(kReminder).startsWith(QStringLiteral("Nothing found")));
}

void ScanProblemTests::cancelledStepIsNoProblem() {
  // Stopping the scan makes the running operation answer 2: that is the
  // user's stop, not ENOENT and not a failure.
  FakeScript script;
  script.stepReports.clear();
  for (int v = 5; v < 95; ++v) script.stepReports.push_back(v);
  script.between = std::chrono::milliseconds(3);
  CMainWnd window({}, FakeFactory(script));
  Scan(window, SomeBackup());
  CScanVrtWnd* page = window.ScanPage();
  QTRY_VERIFY(page->ShownPercent() >= 10);
  g_boxes.answer = kAnswerOk;
  page->Stop();
  QVERIFY(WaitFinished(window));
  QCOMPARE(Header(window), QStringLiteral("The scan was stopped"));
  QVERIFY(page->Problems().Empty());
  QVERIFY(page->ProblemsBox()->isHidden());
}

void ScanProblemTests::statusReasons() {
  QCOMPARE(StatusReason(status::kShortRead), QStringLiteral("the file is cut short"));
  QVERIFY(StatusReason(EACCES).contains(QStringLiteral("ermission")));
  QCOMPARE(StatusReason(-7), QStringLiteral("status -7"));
  QCOMPARE(CategoryOfName("call-history"), static_cast<int>(kCallHistory));
  QCOMPARE(CategoryOfName(""), 0);
  QCOMPARE(CategoryOfName("no-such"), 0);
  // Source problems replace the operation's status for their category
  // only; a later snapshot replaces an earlier one.
  ScanProblemList list;
  list.StepFailed({kContacts, kNotes}, status::kBadData);
  list.SetSourceProblems({Problem{"contacts", "AddressBook.sqlitedb", "is damaged", "", true}});
  QCOMPARE(list.TextsOf(kContacts), QStringList{QStringLiteral("AddressBook.sqlitedb is damaged")});
  QCOMPARE(list.TextsOf(kNotes).size(), 1);
  list.SetSourceProblems({});
  QVERIFY(list.TextsOf(kContacts).first().contains(QStringLiteral("could not be read")));
  // QQ and WeChat have nodes of their own; a name the page does not know
  // stays with the backup's problems, named.
  list.SetSourceProblems({Problem{"qq", "", "cannot be opened", "", false},
                          Problem{"viber", "", "cannot be opened", "", false}});
  QCOMPARE(list.TextsOf(kQQChats), QStringList{QStringLiteral("cannot be opened")});
  QCOMPARE(list.TextsOf(0), QStringList{QStringLiteral("viber: cannot be opened")});
}

}  // namespace orbanix::app::testing
