#include "app/about_wnd.h"

#include <libheif/heif.h>
#include <openssl/crypto.h>
#include <sqlite3.h>
#include <zlib.h>

#include <QDate>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtGlobal>

#include "app/texts.h"

namespace orbanix::app {

namespace {
QString T(const char* key, const char* fallback) { return Text("AboutWnd", key, QString::fromUtf8(fallback)); }
}  // namespace

QString ProgramVersion() { return QStringLiteral(ORBANIX_VERSION); }

QString BuildDate() {
  // __DATE__ is "Mmm dd yyyy" in the C locale.
  const QDate date = QLocale::c().toDate(QString::fromLatin1(__DATE__).simplified(), QStringLiteral("MMM d yyyy"));
  return date.isValid() ? date.toString(Qt::ISODate) : QString::fromLatin1(__DATE__);
}

std::vector<LibraryInfo> Libraries() {
  // The versions loaded at run time where the library tells them; libplist
  // and libimobiledevice have no such call, so theirs is the one built
  // against.
  return {
      {QStringLiteral("Qt"), QString::fromLatin1(qVersion()), QStringLiteral("LGPL-3.0")},
      {QStringLiteral("SQLite"), QString::fromLatin1(sqlite3_libversion()), QStringLiteral("Public domain")},
      {QStringLiteral("libplist"), QStringLiteral(ORBANIX_PLIST_VERSION), QStringLiteral("LGPL-2.1")},
      {QStringLiteral("libimobiledevice"), QStringLiteral(ORBANIX_IMOBILEDEVICE_VERSION), QStringLiteral("LGPL-2.1")},
      {QStringLiteral("OpenSSL"), QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION)).section(QLatin1Char(' '), 1, 1),
       QStringLiteral("Apache-2.0")},
      {QStringLiteral("zlib"), QString::fromLatin1(zlibVersion()), QStringLiteral("zlib")},
      {QStringLiteral("libheif"), QString::fromLatin1(heif_get_version()), QStringLiteral("LGPL-3.0")},
  };
}

CAboutWnd::CAboutWnd(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutWnd"));
  setWindowTitle(T("Title", "About Orbanix"));
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(24, 20, 24, 16);
  auto* name = new QLabel(T("LblName", "Corvane Orbanix"), this);
  name->setObjectName(QStringLiteral("LblName"));
  name->setStyleSheet(QStringLiteral("font-size: 20px; color: #F37302;"));
  auto* version = new QLabel(FormatText(T("LblVersion", "Version %s, built on %s"), {ProgramVersion(), BuildDate()}), this);
  version->setObjectName(QStringLiteral("LblVersion"));
  auto* what = new QLabel(T("LblWhat",
                            "Gives you back the photos, messages, contacts, calls, notes and chats kept in iPhone "
                            "backups and on connected iPhones, deleted ones included. Everything stays on this "
                            "computer."),
                          this);
  what->setWordWrap(true);
  auto* built = new QLabel(T("LblLibraries", "Built with these libraries:"), this);
  libraries_ = new QTreeWidget(this);
  libraries_->setObjectName(QStringLiteral("LibraryList"));
  libraries_->setRootIsDecorated(false);
  libraries_->setSelectionMode(QAbstractItemView::NoSelection);
  libraries_->setHeaderLabels({T("ColLibrary", "Library"), T("ColVersion", "Version"), T("ColLicence", "Licence")});
  for (const LibraryInfo& library : Libraries()) {
    new QTreeWidgetItem(libraries_, {library.name, library.version, library.licence});
  }
  for (int c = 0; c < 3; ++c) libraries_->resizeColumnToContents(c);
  libraries_->setMinimumHeight(libraries_->sizeHintForRow(0) * 8 + libraries_->header()->sizeHint().height());
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setText(T("BtnClose", "Close"));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  box->addWidget(name);
  box->addWidget(version);
  box->addSpacing(6);
  box->addWidget(what);
  box->addSpacing(6);
  box->addWidget(built);
  box->addWidget(libraries_, 1);
  box->addWidget(buttons);
  resize(480, 420);
}

}  // namespace orbanix::app
