// Connected phones in the desktop program: their rows on the choose-backup
// page, the scan of a simulated phone through the program's own device
// backend, and the routing of a chosen phone to a device scan.
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTreeWidget>
#include <set>

#include "app/itunes_backup_page.h"
#include "app/local_backend.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/select_all_box.h"
#include "app/specify_file_page.h"
#include "app/texts.h"
#include "device/device_binding.h"
#include "tests/app/app_tests.h"
#include "tests/app/fake_backend.h"
#include "tests/device/phone_fixture.h"
#include "tools/backupgen/families.h"
#include "ui_MainWnd.h"
#include "ui_PageScan.h"

namespace fs = std::filesystem;

namespace orbanix::app::testing {

namespace {

BoxLog g_boxes;
device::testing::Phone* g_phone = nullptr;

bool WaitFinished(CMainWnd& window, int ms = 60000) {
  return QTest::qWaitFor([&] { return window.ScanPage()->state() == CScanVrtWnd::State::kFinished; }, ms);
}

QPushButton* NextOnStep1(CMainWnd& window) { return window.BackupPage()->findChild<QPushButton*>("BtnNext1"); }

// The row texts of the choose-backup list, top to bottom.
QStringList RowNames(QTreeWidget* list) {
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
  return names;
}

QStringList BackupNames(const CItunesBackupVrtWnd* page) {
  QStringList names;
  for (const BackupInfo& b : page->Backups()) names << QString::fromStdString(b.displayName);
  return names;
}

// Waits for the next listing of the phones to reach the rows.
bool ListAgain(CItunesBackupVrtWnd* page) {
  if (!QTest::qWaitFor([&] { return !page->ListingDevices(); }, 10000)) return false;
  QSignalSpy listed(page, &CItunesBackupVrtWnd::devicesListed);
  page->RefreshDevices();
  return listed.wait(10000);
}

void Shoot(QWidget& window, const char* name) {
  const QString shots = qEnvironmentVariable("ORBANIX_SCREENSHOT_DIR");
  if (shots.isEmpty()) return;
  QCoreApplication::processEvents();
  window.grab().save(QStringLiteral("%1/%2.png").arg(shots, QLatin1String(name)));
}

}  // namespace

void DevicePageTests::initTestCase() {
  g_phone = new device::testing::Phone(device::testing::BuildPhone(device::testing::FreshFolder("app-phone")));
}

void DevicePageTests::cleanupTestCase() {
  fs::remove_all(g_phone->folder);
  delete g_phone;
  g_phone = nullptr;
}

void DevicePageTests::init() {
  g_boxes = BoxLog{};
  g_boxes.Install();
}

void DevicePageTests::cleanup() {
  BoxLog::Remove();
  // A listing may still read the environment on a pool thread.
  QThreadPool::globalInstance()->waitForDone();
  qunsetenv("ORBANIX_SIMULATED_PHONE");
}

void DevicePageTests::simulatedPhoneIsListedFirstAndScanned() {
  qputenv("ORBANIX_SIMULATED_PHONE", QByteArray::fromStdString(g_phone->folder.string()));
  QTemporaryDir dir;
  const fs::path root = fs::path(dir.path().toStdString()) / "demo";
  std::string error;
  QVERIFY2(!gen::WriteDemo(root, &error).empty(), error.c_str());
  CMainWnd window({root}, MakeLocalBackendFactory({root}, fs::path(dir.path().toStdString()) / "data"));
  window.resize(1000, 665);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));

  CItunesBackupVrtWnd* page = window.BackupPage();
  QTreeWidget* list = page->List();
  QVERIFY(!page->Backups().empty());
  QTRY_COMPARE(list->topLevelItemCount(), static_cast<int>(page->Backups().size()) + 1);
  QCOMPARE(RowNames(list), QStringList{QStringLiteral("Simulated iPhone")} + BackupNames(page));
  QTreeWidgetItem* phoneRow = list->topLevelItem(0);
  QVERIFY(!phoneRow->icon(0).isNull());
  QCOMPARE(phoneRow->toolTip(0), QString::fromStdString(g_phone->options.udid));
  // The phone's arrival leaves the backup chosen at the start chosen.
  QCOMPARE(list->currentItem(), list->topLevelItem(1));
  QVERIFY(page->DeviceTimer()->isActive());
  Shoot(window, "device-1-choose-backup");

  list->setCurrentItem(phoneRow);
  NextOnStep1(window)->click();
  QCOMPARE(window.ui()->TabPage->currentIndex(), 1);
  QVERIFY(window.ScanPage()->DeviceSelected());
  QCOMPARE(window.ScanPage()->SelectedDevice().udid, g_phone->options.udid);
  // The hidden page stops listing.
  QVERIFY(!page->DeviceTimer()->isActive());

  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window));
  Shoot(window, "device-2-finished");
  CScanVrtWnd* scan = window.ScanPage();
  QVERIFY2(g_boxes.texts.isEmpty(), qPrintable(g_boxes.texts.join('\n')));
  for (int c : {kMessages, kMessageAtts, kContacts, kCallHistory, kNotes, kWhatsApp, kPhotoStream}) {
    QVERIFY2(scan->Count(c) > 0, CategoryByNumber(c).label);
  }
  QCOMPARE(scan->Count(kCameraRoll), 3);
  QCOMPARE(scan->ui()->TxtDeviceName->text(), QStringLiteral("Simulated iPhone"));
  QCOMPARE(scan->ui()->TxtSerial->text(), QString::fromStdString(g_phone->options.udid));
  QVERIFY(scan->ui()->TxtFolder->text().isEmpty());
  QVERIFY(scan->ui()->BtnRecovery->isEnabled());

  // The preview and the recovery copy from the scan's own source: its
  // copies of the phone's pictures are still there after the scan.
  IPhoneRecoveryParse* source = scan->Source();
  QVERIFY(source && scan->Results());
  QVERIFY(!source->IsBackupSource(0));
  std::vector<MediaItem> roll;
  {
    std::lock_guard<std::mutex> guard(scan->Results()->lock);
    roll = scan->Results()->cameraRoll;
  }
  const std::set<std::string> onPhone{
      device::testing::ReadBytes(g_phone->Media("DCIM/100APPLE/IMG_0001.JPG")),
      device::testing::ReadBytes(g_phone->Media("DCIM/100APPLE/IMG_0002.MOV")),
      device::testing::ReadBytes(g_phone->Media("DCIM/101APPLE/img_0003.png"))};
  std::set<std::string> copied;
  for (size_t i = 0; i < roll.size(); ++i) {
    const fs::path to = fs::path(dir.path().toStdString()) / ("copy" + std::to_string(i));
    QCOMPARE(source->CopyFile(roll[i].path, to, nullptr, nullptr), status::kOk);
    copied.insert(device::testing::ReadBytes(to));
  }
  QVERIFY(copied == onPhone);

  // The category lists show the phone's records as they do a backup's.
  QTreeWidget* tree = scan->ui()->NodeTree;
  QTreeWidgetItem* messages = scan->CategoryNode(kMessages);
  tree->scrollToItem(messages);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(messages).center());
  QTRY_VERIFY(scan->ui()->DataList->topLevelItemCount() > 0);
  QVERIFY(scan->ui()->DataList->isVisible());
  QTreeWidget* rows = scan->ui()->DataList;
  QTest::mouseClick(rows->viewport(), Qt::LeftButton, {}, rows->visualItemRect(rows->topLevelItem(0)).center());
  Shoot(window, "device-3-messages");

  // Back at step 1 the rows are listed again, the phone still first.
  g_boxes.answer = kAnswerOk;
  scan->ui()->BtnHome->click();
  QCOMPARE(window.ui()->TabPage->currentIndex(), 0);
  QVERIFY(ListAgain(page));
  QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("Simulated iPhone"));
  window.close();
}

void DevicePageTests::withoutPhoneOnlyBackupsAndRowsFollowTheListing() {
  if (!device::ListConnectedDevices().empty()) QSKIP("a phone is attached to this computer");
  QTemporaryDir dir;
  const fs::path root = fs::path(dir.path().toStdString()) / "demo";
  std::string error;
  QVERIFY2(!gen::WriteDemo(root, &error).empty(), error.c_str());
  std::vector<int> types;
  DeviceChoice told;
  FakeScript script;
  script.device = &told;
  CMainWnd window({root}, [&](int type) -> std::unique_ptr<ScanBackend> {
    types.push_back(type);
    return std::make_unique<FakeBackend>(script);
  });
  CItunesBackupVrtWnd* page = window.BackupPage();
  QTreeWidget* list = page->List();
  QSignalSpy listed(page, &CItunesBackupVrtWnd::devicesListed);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QTRY_VERIFY(listed.size() >= 1);
  QVERIFY(page->Backups().size() >= 2);
  QCOMPARE(RowNames(list), BackupNames(page));
  QVERIFY(page->Devices().empty());

  // A phone arrives: its row goes on top, the backup chosen stays chosen.
  std::vector<DeviceChoice> attached{{"UDID-ANNA", "Anna's iPhone"}};
  page->SetDeviceLister([&attached] { return attached; });
  list->setCurrentItem(list->topLevelItem(1));
  QVERIFY(ListAgain(page));
  QCOMPARE(RowNames(list), QStringList{QStringLiteral("Anna's iPhone")} + BackupNames(page));
  QCOMPARE(list->currentItem(), list->topLevelItem(2));

  // Chosen, it is scanned as a connected device.
  list->setCurrentItem(list->topLevelItem(0));
  NextOnStep1(window)->click();
  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window, 10000));
  QCOMPARE(types, std::vector<int>{0});
  QCOMPARE(told.udid, std::string("UDID-ANNA"));
  QCOMPARE(window.ScanPage()->ui()->TxtDeviceName->text(), QStringLiteral("Anna's iPhone"));
  g_boxes.answer = kAnswerOk;
  window.ScanPage()->ui()->BtnHome->click();

  // Another phone replaces the chosen one: the first row is chosen; a
  // phone without a name is called "iPhone".
  attached = {{"UDID-NONAME", ""}};
  QVERIFY(ListAgain(page));
  QCOMPARE(RowNames(list), QStringList{QStringLiteral("iPhone")} + BackupNames(page));
  QCOMPARE(list->currentItem(), list->topLevelItem(0));
  // It goes too: only backups, the first one chosen.
  attached.clear();
  QVERIFY(ListAgain(page));
  QCOMPARE(RowNames(list), BackupNames(page));
  QCOMPARE(list->currentItem(), list->topLevelItem(0));

  // A backup chosen after a phone is scanned as a backup.
  NextOnStep1(window)->click();
  QVERIFY(!window.ScanPage()->DeviceSelected());
  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window, 10000));
  QCOMPARE(types, (std::vector<int>{0, 1}));
  QCOMPARE(window.ScanPage()->ui()->TxtDeviceName->text(), BackupNames(page).first());
  window.close();
}

void DevicePageTests::phoneThatCannotBeReadIsReported() {
  // The simulated phone is attached, but another one was chosen: the
  // device source cannot open it.
  qputenv("ORBANIX_SIMULATED_PHONE", QByteArray::fromStdString(g_phone->folder.string()));
  QTemporaryDir dir;
  CMainWnd window({}, MakeLocalBackendFactory({}, fs::path(dir.path().toStdString()) / "data"));
  window.ScanPage()->SetSelectedDevice({"0000NOSUCHPHONE", "Gone Phone"});
  QSignalSpy notOpened(window.ScanPage(), &CScanVrtWnd::cannotOpen);
  window.CategoryPage()->NextButton()->click();
  QVERIFY(notOpened.wait(30000));
  QCOMPARE(g_boxes.texts.size(), 1);
  QVERIFY2(g_boxes.texts.first().contains(QStringLiteral("iPhone cannot be read")), qPrintable(g_boxes.texts.first()));
  QCOMPARE(window.ScanPage()->state(), CScanVrtWnd::State::kIdle);
  QCOMPARE(window.ui()->MainTabPage->currentIndex(), 0);
  QVERIFY(window.CategoryPage()->NextButton()->isEnabled());
}

void DevicePageTests::phoneGoneDuringScanKeepsWhatWasFound() {
  FakeScript script;
  script.deviceGone = true;
  CMainWnd window({}, [&](int) -> std::unique_ptr<ScanBackend> { return std::make_unique<FakeBackend>(script); });
  // A backup scan never asks about a phone.
  window.ScanPage()->SetSelectedBackup(BackupInfo{});
  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window, 10000));
  QVERIFY(g_boxes.texts.isEmpty());
  g_boxes.answer = kAnswerOk;
  window.ScanPage()->ui()->BtnHome->click();
  g_boxes.texts.clear();

  window.ScanPage()->SetSelectedDevice({"UDID-GONE", "Gone Phone"});
  window.CategoryPage()->NextButton()->click();
  QVERIFY(WaitFinished(window, 10000));
  QCOMPARE(g_boxes.texts.size(), 1);
  QVERIFY2(g_boxes.texts.first().contains(QStringLiteral("disconnected")), qPrintable(g_boxes.texts.first()));
  // What was found stays, ready for the recovery.
  QVERIFY(window.ScanPage()->TotalCount() > 0);
  QVERIFY(window.ScanPage()->ui()->BtnRecovery->isEnabled());
  window.close();
}

void DevicePageTests::whatsAppAloneOnPhone() {
  // WhatsApp's chat store is fetched with the applications' containers;
  // ticked on its own, it must still be found.
  qputenv("ORBANIX_SIMULATED_PHONE", QByteArray::fromStdString(g_phone->folder.string()));
  QTemporaryDir dir;
  CMainWnd window({}, MakeLocalBackendFactory({}, fs::path(dir.path().toStdString()) / "data"));
  window.ScanPage()->SetSelectedDevice({g_phone->options.udid, "Simulated iPhone"});
  CSpecifyFileVrtWnd* categories = window.CategoryPage();
  categories->SelectAll()->setCheckState(Qt::Checked);
  categories->SelectAll()->click();  // everything off
  categories->Option(kWhatsApp)->click();
  categories->NextButton()->click();
  QVERIFY(WaitFinished(window));
  QVERIFY2(g_boxes.texts.isEmpty(), qPrintable(g_boxes.texts.join('\n')));
  QVERIFY(window.ScanPage()->Count(kWhatsApp) > 0);
  QVERIFY(window.ScanPage()->Problems().Empty());
  window.close();
}

}  // namespace orbanix::app::testing
