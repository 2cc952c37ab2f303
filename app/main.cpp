// orbanix-gui: the desktop program.
//
//   orbanix-gui [--backup-root DIR]...
//
// Backups are looked for under the default backup roots, or under the
// folders given with --backup-root or in ORBANIX_BACKUP_ROOT (separated by
// ":"). A second start shows the running window and ends.
#include <QApplication>
#include <QCommandLineParser>
#include <QScreen>
#include <exception>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "app/local_backend.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/single_instance.h"
#include "app/skin_catalog.h"
#include "orbanix_version.h"
#include "platform/folders.h"

namespace {

std::vector<std::filesystem::path> BackupRoots(const QStringList& fromOptions) {
  std::vector<std::filesystem::path> roots;
  for (const QString& root : fromOptions) roots.emplace_back(root.toStdString());
  if (roots.empty()) {
    const QString fromEnv = qEnvironmentVariable("ORBANIX_BACKUP_ROOT");
    for (const QString& root : fromEnv.split(':', Qt::SkipEmptyParts)) roots.emplace_back(root.toStdString());
  }
  if (roots.empty()) roots = orbanix::DefaultBackupRoots();
  return roots;
}

// The preview copies of the data folder do not outlive the program.
void DeletePreviewCopies() {
  const std::filesystem::path data = orbanix::DataFolder();
  std::error_code ec;
  for (const char* name : {"tmp.jpg", "tmp.wav", "tmp.avi"}) std::filesystem::remove(data / name, ec);
}

void SetUpOptions(QCommandLineParser& parser, QCommandLineOption& rootOption) {
  parser.setApplicationDescription(QStringLiteral("Corvane Orbanix: reads the data of iPhone backups."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addOption(rootOption);
}

}  // namespace

int main(int argc, char** argv) {
  QCommandLineOption rootOption(QStringList{QStringLiteral("backup-root")},
                                QStringLiteral("Look for backups in DIR (may be given more than once; default: "
                                               "$ORBANIX_BACKUP_ROOT, then the usual backup folders)."),
                                QStringLiteral("DIR"));
  // Help and bad options need no display.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--help" || arg == "-h" || arg == "--help-all" || arg == "--version" || arg == "-v") {
      QCoreApplication core(argc, argv);
      QCoreApplication::setApplicationName(QStringLiteral("orbanix-gui"));
      QCoreApplication::setApplicationVersion(QString::fromLatin1(orbanix::kVersion));
      QCommandLineParser parser;
      SetUpOptions(parser, rootOption);
      parser.process(core);
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvane Orbanix"));
  QApplication::setApplicationVersion(QString::fromLatin1(orbanix::kVersion));
  orbanix::app::InitSkinResources();

  QCommandLineParser parser;
  SetUpOptions(parser, rootOption);
  parser.process(app);

  using namespace orbanix::app;
  QString instanceName = qEnvironmentVariable("ORBANIX_INSTANCE_NAME");
  if (instanceName.isEmpty()) instanceName = SingleInstance::DefaultName();
  SingleInstance instance(instanceName);
  if (!instance.Acquire()) {
    if (!instance.AskRunningToShow()) {
      ShowMessageBox(nullptr, MsgKind::kInformation, QString(), QStringLiteral("Corvane Orbanix."));
    }
    return 0;
  }

  int result = 0;
  // A folder that cannot be reached (a data folder without permission, a
  // disk that went away) is a message, never an abort.
  try {
    const std::vector<std::filesystem::path> roots = BackupRoots(parser.values(rootOption));
    CMainWnd window(roots, MakeLocalBackendFactory(roots));
    QObject::connect(&instance, &SingleInstance::showRequested, &window, &CMainWnd::ShowFromAnotherStart);
    window.resize(1000, 665);
    if (QScreen* screen = window.screen()) {
      QRect frame = window.frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      window.move(frame.topLeft());
    }
    window.show();
    window.activateWindow();
    result = QApplication::exec();
  } catch (const std::exception& e) {
    ShowMessageBox(nullptr, MsgKind::kError, QString(), QString::fromStdString(e.what()));
    result = 1;
  }
  DeletePreviewCopies();
  return result;
}
