// The password window of an encrypted backup: a masked edit of at most 256
// characters, OK (result 1, the password is kept) and Cancel (result 2).
#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class DecryptionWnd;
}

namespace orbanix::app {

class CDecryptionWnd : public QDialog {
  Q_OBJECT
 public:
  explicit CDecryptionWnd(QWidget* parent = nullptr);
  ~CDecryptionWnd() override;

  // Runs the window modally: 1 when closed with OK, 2 otherwise.
  int Run();
  QString Password() const { return password_; }

 private:
  std::unique_ptr<Ui::DecryptionWnd> ui_;
  QString password_;
};

// Address of the help page about forgotten backup passwords.
QString RestoreLinkAddress();

}  // namespace orbanix::app
