// Step 2 of the wizard: the fourteen kinds of data to look for, the
// three-look "select all" box and "BtnNext2", which asks for the password
// of an encrypted backup and then asks the main window to start the scan.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <array>
#include <map>
#include <string>
#include <functional>
#include <memory>

#include "app/scan_backend.h"
#include "sources/discovery.h"

class CSelectAllCheckBox;

namespace Ui {
class PageSpecifyFile;
}

namespace orbanix::app {

class CScanVrtWnd;

class CSpecifyFileVrtWnd : public QWidget {
  Q_OBJECT
 public:
  CSpecifyFileVrtWnd(CScanVrtWnd* scanPage, QWidget* parent = nullptr);
  ~CSpecifyFileVrtWnd() override;

  // The control that is disabled together with the page's own while the
  // scan is being started (the step bar).
  void SetNavigation(QWidget* navigation) { navigation_ = navigation; }
  void ApplyLanguage();

  CategoryTicks Ticks() const;
  QCheckBox* Option(int category) const { return options_[static_cast<size_t>(category - 1)]; }
  CSelectAllCheckBox* SelectAll() const;
  QPushButton* NextButton() const;

  // The password step for `backup`: 0 to go on (the password, possibly
  // empty, is stored with the scan page), 1 when the user cancelled.
  int PasswordStep(const BackupInfo& backup);

  // Asks for a password: 1 with `password` filled when confirmed, else 2.
  // The password window by default; tests put their own answers here.
  using PasswordPrompt = std::function<int(QWidget* parent, QString& password)>;
  void SetPasswordPrompt(PasswordPrompt prompt) { prompt_ = std::move(prompt); }

  // Disables the ticks, the buttons and the navigation while the scan is
  // being started; Unlock enables them again ("BtnNext2" by the select-all
  // rule) and hides the password indicator.
  void Lock();
  void Unlock();
  // The indicator in the page, above its buttons, while an encrypted
  // backup's password is checked: words and a busy bar.
  void ShowChecking(bool checking);
  QWidget* CheckingBox() const { return checkingBox_; }

  // The password typed for an encrypted backup is kept in memory (never
  // on disk) for the rest of the session, so that going back Home and
  // scanning the same backup again does not ask again. A password found
  // wrong is forgotten.
  void ForgetPassword(const BackupInfo& backup);
  bool KnowsPassword(const BackupInfo& backup) const;

 signals:
  // Start a scan of the given source type (1 local backup); queued.
  void startScanRequested(int sourceType);
  // "BtnBack2": back to the choice of the backup.
  void backRequested();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnSelectAll();
  void OnOption();
  void OnNext();
  void ShowChosen();

  std::unique_ptr<Ui::PageSpecifyFile> ui_;
  CScanVrtWnd* scanPage_;
  QWidget* navigation_ = nullptr;
  std::array<QCheckBox*, 14> options_{};
  PasswordPrompt prompt_;
  std::map<std::string, QString> passwords_;  // by backup folder
  QWidget* checkingBox_ = nullptr;
  QLabel* checkingText_ = nullptr;
};

}  // namespace orbanix::app
