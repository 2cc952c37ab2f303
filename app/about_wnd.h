// The About window: the program's name, version and build date, and the
// libraries it is built on with their versions (as loaded, where the
// library can tell) and licences.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QTreeWidget;

namespace orbanix::app {

struct LibraryInfo {
  QString name;
  QString version;
  QString licence;
};

// Every library the program uses, in the order shown.
std::vector<LibraryInfo> Libraries();
// "0.1" (the project's version).
QString ProgramVersion();
// The date the program was built, "YYYY-MM-DD".
QString BuildDate();

class CAboutWnd : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutWnd(QWidget* parent = nullptr);
  QTreeWidget* libraryList() const { return libraries_; }

 private:
  QTreeWidget* libraries_;
};

}  // namespace orbanix::app
