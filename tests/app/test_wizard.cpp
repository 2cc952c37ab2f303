// The choose-backup page, the category page, the password step and the
// language texts.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QSet>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <fstream>

#include "app/about_wnd.h"
#include "app/itunes_backup_page.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/scan_page.h"
#include "app/select_all_box.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "app/texts.h"
#include "platform/language.h"
#include "tests/app/app_tests.h"
#include "tests/app/fake_backend.h"
#include "tools/backupgen/backup_writer.h"
#include "tools/backupgen/encrypt.h"
#include "ui_MainWnd.h"
#include "ui_PageItunesBackup.h"

namespace fs = std::filesystem;

namespace orbanix::app::testing {

namespace {

BoxLog g_boxes;

// A backup root with a plain backup ("Plain Phone") and, when asked, an
// encrypted one ("Locked Phone").
fs::path MakeRoot(const QTemporaryDir& dir, bool withEncrypted) {
  const fs::path root = fs::path(dir.path().toStdString()) / "Backup";
  gen::DeviceInfo plainDevice;
  plainDevice.displayName = "Plain Phone";
  gen::BackupWriter plain(root / "plain0000000000000000000000000000000001", gen::Era::Mbdb, plainDevice);
  if (!plain.Finish()) qFatal("cannot write the plain backup");
  if (withEncrypted) {
    gen::DeviceInfo lockedDevice;
    lockedDevice.displayName = "Locked Phone";
    lockedDevice.serialNumber = "F2LLOCKED01";
    gen::BackupWriter locked(root / "locked000000000000000000000000000000002", gen::Era::ManifestDb, lockedDevice);
    locked.EncryptWith(gen::EncryptionOptions{});
    if (!locked.Finish()) qFatal("cannot write the encrypted backup");
  }
  return root;
}

QTreeWidgetItem* RowNamed(QTreeWidget* list, const QString& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
  }
  return nullptr;
}

QImage IconImage(const QIcon& icon) { return icon.pixmap(48, 26).toImage(); }

}  // namespace

void WizardTests::init() {
  g_boxes = BoxLog{};
  g_boxes.Install();
}

void WizardTests::cleanup() { BoxLog::Remove(); }

void WizardTests::selectAllEdgeCases() {
  CScanVrtWnd scan;
  CSpecifyFileVrtWnd page(&scan);
  CSelectAllCheckBox* all = page.SelectAll();
  QPushButton* next = page.NextButton();
  QCOMPARE(all->checkState(), Qt::Checked);
  QVERIFY(next->isEnabled());

  // Unticking one by one: half-checked until the last goes, then unchecked
  // and "Next" disabled.
  for (int c = 1; c <= kCategoryCount; ++c) {
    page.Option(c)->click();
    if (c < kCategoryCount) {
      QCOMPARE(all->checkState(), Qt::PartiallyChecked);
      QVERIFY(next->isEnabled());
    }
  }
  QCOMPARE(all->checkState(), Qt::Unchecked);
  QVERIFY(!next->isEnabled());

  // One tick is enough to go on, and shows the half-checked look.
  page.Option(kReminder)->click();
  QCOMPARE(all->checkState(), Qt::PartiallyChecked);
  QVERIFY(next->isEnabled());
  QCOMPARE(page.Ticks()[kReminder - 1], true);

  // Ticking the rest makes it fully checked again.
  for (int c = 1; c <= kCategoryCount; ++c) {
    if (c != kReminder) page.Option(c)->click();
  }
  QCOMPARE(all->checkState(), Qt::Checked);

  // The box itself: unchecked unticks every option, checked ticks them all.
  all->click();
  QCOMPARE(all->checkState(), Qt::Unchecked);
  QVERIFY(!next->isEnabled());
  for (int c = 1; c <= kCategoryCount; ++c) QVERIFY(!page.Option(c)->isChecked());
  all->click();
  QCOMPARE(all->checkState(), Qt::Checked);
  QVERIFY(next->isEnabled());
  for (int c = 1; c <= kCategoryCount; ++c) QVERIFY(page.Option(c)->isChecked());
}

void WizardTests::selectAllClickOnHalfCheckedUnticksAll() {
  CScanVrtWnd scan;
  CSpecifyFileVrtWnd page(&scan);
  page.Option(kNotes)->click();
  QCOMPARE(page.SelectAll()->checkState(), Qt::PartiallyChecked);
  // A half-checked box counts as checked: a click unticks everything.
  page.SelectAll()->click();
  QCOMPARE(page.SelectAll()->checkState(), Qt::Unchecked);
  for (int c = 1; c <= kCategoryCount; ++c) QVERIFY(!page.Option(c)->isChecked());
  QVERIFY(!page.NextButton()->isEnabled());
}

void WizardTests::passwordCancelLeavesPageUsable() {
  QTemporaryDir dir;
  CMainWnd window({MakeRoot(dir, false)}, FakeFactory({}));
  CSpecifyFileVrtWnd* page = window.CategoryPage();
  BackupInfo locked;
  locked.encrypted = true;
  locked.displayName = "Locked";
  window.ScanPage()->SetSelectedBackup(locked);
  int prompts = 0;
  page->SetPasswordPrompt([&](QWidget*, QString&) {
    ++prompts;
    // While the password is asked, the page cannot be used twice.
    if (page->NextButton()->isEnabled() || window.ui()->StepBar->isEnabled() || page->Option(kContacts)->isEnabled()) {
      qFatal("controls not locked");
    }
    return 2;
  });
  page->NextButton()->click();
  QCoreApplication::processEvents();
  QCOMPARE(prompts, 1);
  QVERIFY(page->NextButton()->isEnabled());
  QVERIFY(window.ui()->StepBar->isEnabled());
  QVERIFY(page->Option(kContacts)->isEnabled());
  QVERIFY(page->CheckingBox()->isHidden());
  QCOMPARE(window.ScanPage()->state(), CScanVrtWnd::State::kIdle);
  QVERIFY(g_boxes.texts.isEmpty());
}

void WizardTests::emptyPasswordAsksAgainOnOk() {
  CScanVrtWnd scan;
  CSpecifyFileVrtWnd page(&scan);
  BackupInfo locked;
  locked.encrypted = true;
  QStringList answers{QString(), QStringLiteral("s3cret")};
  page.SetPasswordPrompt([&](QWidget*, QString& password) {
    password = answers.takeFirst();
    return 1;
  });
  g_boxes.answer = kAnswerOk;
  QCOMPARE(page.PasswordStep(locked), 0);
  QCOMPARE(g_boxes.texts.size(), 1);
  QCOMPARE(g_boxes.texts[0], Message("MSG0301"));
  QCOMPARE(scan.Password(), QStringLiteral("s3cret"));

  // Cancel on the warning goes on with the empty password (another
  // backup: the first one's password is kept and not asked again).
  answers = QStringList{QString()};
  g_boxes.answer = kAnswerCancel;
  locked.folder = "/nonexistent/another";
  QCOMPARE(page.PasswordStep(locked), 0);
  QCOMPARE(scan.Password(), QString());
  QVERIFY(answers.isEmpty());

  // A plain backup asks nothing.
  BackupInfo plain;
  page.SetPasswordPrompt([](QWidget*, QString&) -> int { qFatal("asked for a password of a plain backup"); });
  QCOMPARE(page.PasswordStep(plain), 0);
}

void WizardTests::encryptedBackupShowsLockIcon() {
  QTemporaryDir dir;
  CMainWnd window({MakeRoot(dir, true)}, FakeFactory({}));
  QTreeWidget* list = window.BackupPage()->List();
  QCOMPARE(list->topLevelItemCount(), 2);
  QTreeWidgetItem* locked = RowNamed(list, QStringLiteral("Locked Phone"));
  QTreeWidgetItem* plain = RowNamed(list, QStringLiteral("Plain Phone"));
  QVERIFY(locked && plain);
  QCOMPARE(locked->text(2), QStringLiteral("F2LLOCKED01"));
  QCOMPARE(IconImage(locked->icon(0)), IconImage(BackupIcon(true)));
  QCOMPARE(IconImage(plain->icon(0)), IconImage(BackupIcon(false)));
  QVERIFY(IconImage(BackupIcon(true)) != IconImage(BackupIcon(false)));
  // The first row is selected.
  QCOMPARE(list->currentItem(), list->topLevelItem(0));
  QVERIFY(list->topLevelItem(0)->isSelected());
}

void WizardTests::emptyListSaysWhereItLooked() {
  QTemporaryDir dir;
  const fs::path nowhere = fs::path(dir.path().toStdString()) / "no-backups-here";
  CMainWnd window({nowhere}, FakeFactory({}));
  auto* ui = window.BackupPage()->findChild<QStackedWidget*>(QStringLiteral("ListStack"));
  QCOMPARE(ui->currentIndex(), 1);
  auto* text = window.BackupPage()->findChild<QLabel*>(QStringLiteral("LblEmptyList"));
  QVERIFY(text->text().contains(QString::fromStdString(nowhere.string())));
  QVERIFY(!window.BackupPage()->findChild<QPushButton*>(QStringLiteral("BtnNext1"))->isEnabled());
  QVERIFY(window.BackupPage()->findChild<QPushButton*>(QStringLiteral("BtnSelDir"))->isEnabled());
  // Next on an empty list does nothing.
  QVERIFY(!window.BackupPage()->ChooseSelected());
  QCOMPARE(window.ui()->TabPage->currentIndex(), 0);
}

void WizardTests::folderWithoutInfoPlistAsksAgain() {
  QTemporaryDir dir;
  const fs::path root = MakeRoot(dir, false);
  const fs::path empty = fs::path(dir.path().toStdString()) / "empty";
  fs::create_directories(empty);
  CMainWnd window({fs::path(dir.path().toStdString()) / "elsewhere"}, FakeFactory({}));
  QStringList picks{QString::fromStdString(empty.string()),
                    QString::fromStdString((root / "plain0000000000000000000000000000000001").string())};
  window.BackupPage()->SetFolderPicker([&](QWidget*, const QString&, const QString&) { return picks.takeFirst(); });
  g_boxes.answer = kAnswerOk;
  window.BackupPage()->PickFolder();
  QCOMPARE(g_boxes.texts.size(), 1);
  QVERIFY(picks.isEmpty());
  QCOMPARE(window.ScanPage()->SelectedBackup().displayName, std::string("Plain Phone"));
  QCOMPARE(window.ui()->TabPage->currentIndex(), 1);
  QVERIFY(window.ui()->OptStep2->isChecked());
  // The picked backup is now a row of the list, selected.
  QCOMPARE(window.BackupPage()->List()->currentItem()->text(0), QStringLiteral("Plain Phone"));

  // Answering no to the question ends the action.
  picks = QStringList{QString::fromStdString(empty.string())};
  g_boxes.answer = kAnswerCancel;
  g_boxes.texts.clear();
  window.BackupPage()->PickFolder();
  QCOMPARE(g_boxes.texts.size(), 1);
}

void WizardTests::folderOfBackupsListsThemAll() {
  QTemporaryDir dir;
  const fs::path root = MakeRoot(dir, true);  // two backups in it
  CMainWnd window({fs::path(dir.path().toStdString()) / "elsewhere"}, FakeFactory({}));
  QStringList starts;
  QStringList picks{QString::fromStdString(root.string()),
                    QString::fromStdString((root / "plain0000000000000000000000000000000001").string())};
  window.BackupPage()->SetFolderPicker([&](QWidget*, const QString&, const QString& start) {
    starts << start;
    return picks.takeFirst();
  });
  window.BackupPage()->PickFolder();
  QVERIFY(g_boxes.texts.isEmpty());
  // Both backups are listed; with two the person chooses: still step 1.
  QTreeWidget* list = window.BackupPage()->List();
  QVERIFY(RowNamed(list, QStringLiteral("Plain Phone")));
  QVERIFY(RowNamed(list, QStringLiteral("Locked Phone")));
  QCOMPARE(list->topLevelItemCount(), 2);
  QVERIFY(list->currentItem());
  QCOMPARE(window.ui()->TabPage->currentIndex(), 0);
  // The dialog first opened in the home folder, then where it was left.
  window.BackupPage()->PickFolder();
  QCOMPARE(starts, (QStringList{QDir::homePath(), QString::fromStdString(root.string())}));
  // A backup picked again is not listed twice, and one alone goes on.
  QCOMPARE(list->topLevelItemCount(), 2);
  QCOMPARE(window.ScanPage()->SelectedBackup().displayName, std::string("Plain Phone"));
  QCOMPARE(window.ui()->TabPage->currentIndex(), 1);
}

void WizardTests::assistMenuOpensOnlyWhatExists() {
  CMainWnd window({}, FakeFactory({}));
  QList<QUrl> opened;
  CMainWnd::SetUrlOpenerForTests([&](const QUrl& url) {
    opened << url;
    return true;
  });
  for (const char* item : {"item_help", "item_faq", "item_support"}) {
    auto* action = window.AssistMenu()->findChild<QAction*>(QString::fromLatin1(item));
    QVERIFY2(action, item);
    action->trigger();
  }
  QCOMPARE(opened.size(), 3);
  QVERIFY(g_boxes.texts.isEmpty());
  // Each is a page of the manual that is there, and every link of those
  // pages leads to a page that is there too.
  QSet<QString> pages;
  for (const QUrl& url : opened) {
    QVERIFY2(url.isLocalFile(), qPrintable(url.toString()));
    QVERIFY2(QFileInfo::exists(url.toLocalFile()), qPrintable(url.toString()));
    pages << url.toLocalFile();
  }
  const QDir manual(QString::fromStdString(CMainWnd::ManualFolder().string()));
  for (const QString& page : manual.entryList({QStringLiteral("*.html")})) {
    QFile file(manual.filePath(page));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(file.readAll());
    QRegularExpression link(QStringLiteral("(?:href|src)=\"([^\"#]+)"));
    for (auto match = link.globalMatch(html); match.hasNext();) {
      const QString target = match.next().captured(1);
      QVERIFY2(!target.contains(QStringLiteral("://")), qPrintable(page + QStringLiteral(": ") + target));
      QVERIFY2(QFileInfo::exists(manual.filePath(target)), qPrintable(page + QStringLiteral(": ") + target));
    }
  }
  // A manual that is not there says so instead of opening nothing.
  QTemporaryDir empty;
  opened.clear();
  CMainWnd::SetUrlOpenerForTests([&](const QUrl& url) {
    opened << url;
    return false;  // no program opens it
  });
  window.OpenAssistItem(QStringLiteral("item_help"));
  QCOMPARE(g_boxes.texts.size(), 1);
  QVERIFY(g_boxes.texts.first().contains(QStringLiteral("manual")));
  CMainWnd::SetUrlOpenerForTests(nullptr);
}

void WizardTests::aboutNamesLibraryVersions() {
  CMainWnd window({}, FakeFactory({}));
  window.AssistMenu()->findChild<QAction*>(QStringLiteral("item_about"))->trigger();
  CAboutWnd* about = window.AboutWindow();
  QVERIFY(about);
  QVERIFY(about->isVisible());
  QTreeWidget* list = about->libraryList();
  QStringList names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list->topLevelItem(i);
    names << row->text(0);
    // Every library has a version that looks like one, and a licence.
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\.\\d+")).match(row->text(1)).hasMatch(),
             qPrintable(row->text(0) + QStringLiteral(" ") + row->text(1)));
    QVERIFY(!row->text(2).isEmpty());
  }
  QCOMPARE(names, (QStringList{"Qt", "SQLite", "libplist", "libimobiledevice", "OpenSSL", "zlib", "libheif"}));
  QCOMPARE(list->topLevelItem(0)->text(1), QString::fromLatin1(qVersion()));
  const QLabel* version = about->findChild<QLabel*>(QStringLiteral("LblVersion"));
  QVERIFY(version->text().contains(ProgramVersion()));
  QVERIFY(QRegularExpression(QStringLiteral("\\d{4}-\\d{2}-\\d{2}")).match(version->text()).hasMatch());
  // One window, however often it is asked for.
  window.ShowAbout();
  QCOMPARE(window.findChildren<CAboutWnd*>().size(), 1);
}

void WizardTests::enterOnListGoesToStep2() {
  QTemporaryDir dir;
  CMainWnd window({MakeRoot(dir, true)}, FakeFactory({}));
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QTreeWidget* list = window.BackupPage()->List();
  list->setFocus();
  const QString name = list->currentItem()->text(0);
  QTest::keyClick(list, Qt::Key_Return);
  QCOMPARE(window.ui()->TabPage->currentIndex(), 1);
  QCOMPARE(QString::fromStdString(window.ScanPage()->SelectedBackup().displayName), name);
  // The step bar goes back.
  window.ui()->OptStep1->click();
  QCOMPARE(window.ui()->TabPage->currentIndex(), 0);
}

void WizardTests::textsComeFromLanguageFile() {
  // Every named control of the forms has its English text.
  QTemporaryDir dir;
  CMainWnd window({fs::path(dir.path().toStdString())}, FakeFactory({}));
  const QRegularExpression named(QStringLiteral("^(Btn|Opt|Chk|Lbl|Txt|item_)|^WhatsApp$|^SafariBookmark$"));
  const QStringList valueLabels{"LblLogo",   "LblRemarkIcon", "LblInfoIcon",   "TxtDeviceName", "TxtBackupDate",
                                "TxtSerial", "TxtPhone",      "TxtFolder",     "LblCurrentStep", "LblScanInfo",
                                "LblRemark", "LblEmptyList",  "LblFilterCount", "BtnGifLoading",
                                // The preview panel's value fields and its icon-only play button.
                                "TxtUserName", "TxtEmail", "TxtAddress", "TxtUrl", "TxtSocial", "TxtCompany",
                                "BtnPlayPause",
                                // The backup the category page is for, the problems' heading.
                                "LblChosenBackup", "LblProblems"};
  struct Page {
    QWidget* widget;
    const char* section;
  };
  const Page pages[] = {{window.ui()->Header, "MainWnd"},
                        {window.ui()->StepBar, "MainWnd"},
                        {window.BackupPage(), "PageItunesBackup"},
                        {window.CategoryPage(), "PageSpecifyFile"},
                        {window.ScanPage(), "PageScan"}};
  int checked = 0;
  for (const Page& page : pages) {
    QList<QObject*> objects;
    for (QWidget* w : page.widget->findChildren<QWidget*>()) objects << w;
    for (QObject* o : objects) {
      const QString name = o->objectName();
      if (!named.match(name).hasMatch() || valueLabels.contains(name)) continue;
      // The contact detail of the preview panel has a section of its own.
      const char* section = page.section;
      for (QObject* up = o->parent(); up; up = up->parent()) {
        if (up->objectName() == QLatin1String("ContactInfo")) section = "ContactInfo";
      }
      QVERIFY2(Language().HasText(section, name.toStdString()),
               qPrintable(QStringLiteral("%1 has no text in [%2]").arg(name, QString::fromLatin1(section))));
      ++checked;
    }
  }
  for (QAction* action : window.AssistMenu()->actions()) {
    if (action->objectName().startsWith(QLatin1String("item_"))) {
      QVERIFY2(Language().HasText("MainWnd", action->objectName().toStdString()), qPrintable(action->objectName()));
    }
  }
  QVERIFY(checked > 30);

  // Every message key is there, and the format texts take their arguments.
  for (const char* key : {"MSG0301", "MSG0302", "MSG0401", "MSG0402", "MSG0403", "MSG0404", "MSG0405", "MSG0501",
                          "MSG0502", "MSG0503", "MSG0504", "MSG0506", "MSG0507", "MSG0508", "MSG0509", "MSG0510",
                          "MSG0511", "MSG0512", "MSG0513", "MSG0901", "MSG0902", "MSG0903", "MSG1101", "MSG1102",
                          "MSG1103", "MSG1104", "MSG1207"}) {
    QVERIFY2(!Message(key).isEmpty(), key);
  }
  auto conversions = [](const QString& text) {
    QString out;
    const QRegularExpression re(QStringLiteral("%[-+ #0-9.]*([a-zA-Z%])"));
    for (auto it = re.globalMatch(text); it.hasNext();) out += it.next().captured(1);
    return out;
  };
  QCOMPARE(conversions(Message("MSG0513")), QStringLiteral("sdsd"));
  QCOMPARE(conversions(Message("MSG1102")), QStringLiteral("dddd"));
  // Used as "%s %d%%" with the percent: no conversion of their own.
  QCOMPARE(conversions(Message("MSG0901")), QString());
  QCOMPARE(conversions(Message("MSG1101")), QString());
  QCOMPARE(conversions(Message("MSG0902")), QString());
  QCOMPARE(conversions(Text("PageItunesBackup", "LblEmptyList")), QStringLiteral("s"));

  // Another language replaces the form's text; a missing text restores it.
  QTemporaryDir langDir;
  const fs::path folder(langDir.path().toStdString());
  fs::create_directories(folder / "Languages");
  std::ofstream(folder / "config.ini") << "[DefaultLanguage]\nDefault=Test\n[Languages]\nTest=Test\n";
  std::ofstream(folder / "Languages" / "Test.ini") << "[PageSpecifyFile]\nOptNotes=Notizen\n";
  LanguageSettings test(folder);
  test.Load();
  SetLanguageForTests(&test);
  window.ReloadTexts();
  QCOMPARE(window.CategoryPage()->Option(kNotes)->text(), QStringLiteral("Notizen"));
  QCOMPARE(window.CategoryPage()->Option(kContacts)->text(), QStringLiteral("Contacts"));
  SetLanguageForTests(nullptr);
  window.ReloadTexts();
  QCOMPARE(window.CategoryPage()->Option(kNotes)->text(), QStringLiteral("Notes"));
}

void WizardTests::formatTextChecksConversions() {
  QCOMPARE(FormatText(QStringLiteral("You select %s in %d item(s) of %s in %d item(s)"),
                      {QStringLiteral("1.00 KB"), 3, QStringLiteral("2.00 KB"), 7}),
           QStringLiteral("You select 1.00 KB in 3 item(s) of 2.00 KB in 7 item(s)"));
  QCOMPARE(FormatText(QStringLiteral("%d%%"), {42}), QStringLiteral("42%"));
  // A wrong language text shows its mistake instead of crashing.
  QCOMPARE(FormatText(QStringLiteral("%d and %d"), {QStringLiteral("text")}), QStringLiteral("%d and %d"));
  QCOMPARE(FormatText(QStringLiteral("%s %s"), {QStringLiteral("one")}), QStringLiteral("one %s"));
  QCOMPARE(FormatText(QStringLiteral("50%"), {}), QStringLiteral("50%"));
  QCOMPARE(SizeText(1023), QStringLiteral("1023 Bytes"));
  QCOMPARE(SizeText(1536), QStringLiteral("1.50 KB"));
  QCOMPARE(SizeText(qint64{3} << 30), QStringLiteral("3.00 GB"));
}

}  // namespace orbanix::app::testing
