// One program per user: a later start shows the running window and ends.
#include <QCoreApplication>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/main_wnd.h"
#include "app/single_instance.h"
#include "tests/app/app_tests.h"
#include "tests/app/fake_backend.h"

namespace orbanix::app::testing {

namespace {
QString UniqueName(const char* what) {
  return QStringLiteral("orbanix-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(QLatin1String(what));
}
}  // namespace

void SingleInstanceTests::secondInstanceRaisesFirst() {
  const QString name = UniqueName("raise");
  SingleInstance first(name);
  QVERIFY(first.Acquire());
  CMainWnd window({}, FakeFactory({}));
  connect(&first, &SingleInstance::showRequested, &window, &CMainWnd::ShowFromAnotherStart);
  window.show();
  window.showMinimized();
  QVERIFY(window.isMinimized());

  // The later start runs beside this event loop, as another process would.
  std::atomic<bool> done{false};
  bool acquired = true;
  bool answered = false;
  std::thread later([&] {
    SingleInstance second(name);
    acquired = second.Acquire();
    if (!acquired) answered = second.AskRunningToShow(5000);
    done = true;
  });
  const bool ended = QTest::qWaitFor([&] { return done.load(); }, 8000);
  later.join();
  QVERIFY(ended);
  QVERIFY(!acquired);
  QVERIFY(answered);
  QVERIFY(!window.isMinimized());
  QVERIFY(window.isVisible());
}

void SingleInstanceTests::secondProgramStartEnds() {
  const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/orbanix-gui");
  if (!QFile::exists(program)) QSKIP("orbanix-gui is not built");
  QTemporaryDir dir;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("ORBANIX_INSTANCE_NAME"), UniqueName("process"));
  env.insert(QStringLiteral("ORBANIX_BACKUP_ROOT"), dir.path());
  QProcess first;
  first.setProcessEnvironment(env);
  first.start(program, {});
  QVERIFY(first.waitForStarted());
  // Ready once it listens.
  QVERIFY(QTest::qWaitFor(
      [&] {
        QLocalSocket probe;
        probe.connectToServer(UniqueName("process"));
        return probe.waitForConnected(100);
      },
      10000));
  QProcess second;
  second.setProcessEnvironment(env);
  second.start(program, {});
  QVERIFY(second.waitForFinished(10000));
  QCOMPARE(second.exitStatus(), QProcess::NormalExit);
  QCOMPARE(second.exitCode(), 0);
  QCOMPARE(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished(5000);
}

}  // namespace orbanix::app::testing
