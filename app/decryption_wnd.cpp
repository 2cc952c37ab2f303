#include "app/decryption_wnd.h"

#include <QDesktopServices>
#include <QUrl>

#include "app/skin_catalog.h"
#include "app/texts.h"
#include "ui_DecryptionWnd.h"

namespace orbanix::app {

QString RestoreLinkAddress() {
  return QStringLiteral("https://support.apple.com/en-us/HT205220");
}

CDecryptionWnd::CDecryptionWnd(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::DecryptionWnd>()) {
  InitSkinResources();
  ui_->setupUi(this);
  ApplyTexts(this, "DecryptionWnd");
  resize(550, 270);
  connect(ui_->BtnOK, &QPushButton::clicked, this, [this] {
    password_ = ui_->EditPassword->text();
    done(1);
  });
  connect(ui_->BtnCancel, &QPushButton::clicked, this, [this] { done(2); });
  connect(ui_->BtnRestoreLink, &QPushButton::clicked, this,
          [] { QDesktopServices::openUrl(QUrl(RestoreLinkAddress())); });
  ui_->EditPassword->setFocus();
}

CDecryptionWnd::~CDecryptionWnd() = default;

int CDecryptionWnd::Run() {
  ui_->EditPassword->setFocus();
  const int result = exec();
  // Escape and the window's close button reject with 0.
  return result == 1 ? 1 : 2;
}

}  // namespace orbanix::app
