// The test classes of the desktop program, run one after another by main.
#pragma once

#include <QObject>
#include <QString>

namespace orbanix::app::testing {

// Answers of the message boxes during a test: every box is recorded, and
// answered with `answer`.
struct BoxLog {
  int answer = 1;
  QStringList texts;
  void Install();
  static void Remove();
};

class WizardTests : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void cleanup();
  void selectAllEdgeCases();
  void selectAllClickOnHalfCheckedUnticksAll();
  void passwordCancelLeavesPageUsable();
  void emptyPasswordAsksAgainOnOk();
  void encryptedBackupShowsLockIcon();
  void emptyListSaysWhereItLooked();
  void folderWithoutInfoPlistAsksAgain();
  void folderOfBackupsListsThemAll();
  void assistMenuOpensOnlyWhatExists();
  void aboutNamesLibraryVersions();
  void enterOnListGoesToStep2();
  void textsComeFromLanguageFile();
  void formatTextChecksConversions();
};

class ScanPageTests : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void cleanup();
  void reminderOnlyFinishesWithNoRecords();
  void percentNeverGoesBackNorShows100();
  void pauseThenStopAsksOnceAndEndsFinished();
  void stopAnsweredNoKeepsScanning();
  void closeWhileScanningAsksAndWaits();
  void countsInTreeLabels();
  void wrongPasswordAsksAgainAndRescans();
  void passwordKeptForTheSession();
  void splitterSharesWidthAndIsRemembered();
  void qqAndWeChatNodesAndTheirRecovery();
  void checkingPasswordShowsBusyHeader();
  void homeAsksAndReturnsToStep1();
  void reminderOnlyOnDemoBackup();
  void walkThroughDemoBackup();
};

class ScanProblemTests : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void cleanup();
  void missingDecryptionProgramIsListed();
  void damagedDatabaseMarksItsCategory();
  void unreadableManifestStillReadsFixedDatabases();
  void phoneWithoutRelaySaysSo();
  void emptyCategorySaysNothingFound();
  void cancelledStepIsNoProblem();
  void statusReasons();
};

class DevicePageTests : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void cleanup();
  void simulatedPhoneIsListedFirstAndScanned();
  void withoutPhoneOnlyBackupsAndRowsFollowTheListing();
  void phoneThatCannotBeReadIsReported();
  void phoneGoneDuringScanKeepsWhatWasFound();
  void whatsAppAloneOnPhone();
};

class SingleInstanceTests : public QObject {
  Q_OBJECT
 private slots:
  void secondInstanceRaisesFirst();
  void secondProgramStartEnds();
};

}  // namespace orbanix::app::testing
