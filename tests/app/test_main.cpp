#include <QApplication>
#include <QTest>

#include "app/message_box.h"
#include "app/skin_catalog.h"
#include "tests/app/app_tests.h"

namespace orbanix::app::testing {

void BoxLog::Install() {
  SetMessageBoxHook([this](MsgKind, const QString&, const QString& text) {
    texts << text;
    return answer;
  });
}

void BoxLog::Remove() {
  // A box shown without a hook would block the test run: fail loudly instead.
  SetMessageBoxHook([](MsgKind, const QString&, const QString& text) {
    qFatal("unexpected message box: %s", qPrintable(text));
    return 2;
  });
}

}  // namespace orbanix::app::testing

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  orbanix::app::InitSkinResources();
  orbanix::app::testing::BoxLog::Remove();
  int failures = 0;
  {
    orbanix::app::testing::WizardTests tests;
    failures += QTest::qExec(&tests, argc, argv);
  }
  {
    orbanix::app::testing::ScanPageTests tests;
    failures += QTest::qExec(&tests, argc, argv);
  }
  {
    orbanix::app::testing::ScanProblemTests tests;
    failures += QTest::qExec(&tests, argc, argv);
  }
  {
    orbanix::app::testing::DevicePageTests tests;
    failures += QTest::qExec(&tests, argc, argv);
  }
  {
    orbanix::app::testing::SingleInstanceTests tests;
    failures += QTest::qExec(&tests, argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
