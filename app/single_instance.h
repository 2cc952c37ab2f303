// One running program per user: the first start holds a lock file and
// listens on a local socket; a later start asks it to show its window and
// ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace orbanix::app {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // `name` identifies the program (per user); tests pass their own.
  explicit SingleInstance(const QString& name, QObject* parent = nullptr);
  ~SingleInstance() override;

  // The program's name for the current user.
  static QString DefaultName();

  // True when this process is the first: it then serves later starts.
  bool Acquire();

  // For a later start: asks the running one to show its window. True when
  // it answered within `timeoutMs`.
  bool AskRunningToShow(int timeoutMs = 3000);

 signals:
  // Another start asked for the window (queued on this object's thread).
  void showRequested();

 private:
  void OnConnection();

  QString name_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
};

}  // namespace orbanix::app
