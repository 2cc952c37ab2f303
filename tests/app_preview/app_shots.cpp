// app_shots BACKUPS_FOLDER OUTPUT_FOLDER WIDTHxHEIGHT [PASSWORD]
// Walks the desktop program over every backup in BACKUPS_FOLDER at the
// given window size and saves a picture of each page: the choice of the
// backup, the categories (with the password check of an encrypted backup),
// the scan under way, the scan's end, every category's preview (each note,
// the chats of QQ and WeChat among them), the print window, the recovery
// window under way and at its end, and the About window. For looking at
// layouts; a tool, not a test.
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QRegularExpression>
#include <QPrintPreviewDialog>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "app/itunes_backup_page.h"
#include "app/local_backend.h"
#include "app/main_wnd.h"
#include "app/message_box.h"
#include "app/preview/file_list_ctrl.h"
#include "app/preview/preview_texts.h"
#include "app/preview/preview_views.h"
#include "app/preview/print_wnd.h"
#include "app/preview/recover_process_wnd.h"
#include "app/scan_page.h"
#include "app/skin_catalog.h"
#include "app/specify_file_page.h"
#include "app/about_wnd.h"
#include "app/chat_apps_view.h"
#include "ui_MainWnd.h"
#include "ui_PageScan.h"

namespace fs = std::filesystem;
using namespace orbanix;
using namespace orbanix::preview;

namespace {

QString g_out;
QString g_size;

// `settle`: let pending events paint first (never from inside a watcher's
// tick, where they could start the very window being waited for).
void Save(QWidget* widget, const QString& name, bool settle = true) {
  for (int i = 0; settle && i < 3; ++i) QApplication::processEvents();
  const QString file = QDir(g_out).filePath(QStringLiteral("%1-%2.png").arg(name, g_size));
  widget->grab().save(file);
  std::printf("%s\n", qPrintable(file));
  std::fflush(stdout);
}

void Click(QTreeWidget* tree, QTreeWidgetItem* item, int column) {
  tree->scrollToItem(item);
  const QRect row = tree->visualItemRect(item);
  const int x = tree->header()->sectionViewportPosition(column) + tree->header()->sectionSize(column) / 2;
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(x, row.center().y()));
}

QString Slug(QString text) {
  text = text.toLower();
  text.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
  return text.left(40);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 4) {
    std::fprintf(stderr, "usage: app_shots BACKUPS_FOLDER OUTPUT_FOLDER WIDTHxHEIGHT [PASSWORD]\n");
    return 2;
  }
  const fs::path root = argv[1];
  g_out = QString::fromLocal8Bit(argv[2]);
  g_size = QString::fromLatin1(argv[3]);
  const QString password = argc > 4 ? QString::fromLocal8Bit(argv[4]) : QString();
  const QStringList wh = g_size.split(QLatin1Char('x'));
  if (wh.size() != 2) return 2;
  QDir().mkpath(g_out);
  app::InitSkinResources();
  app::SetMessageBoxHook([](app::MsgKind, const QString&, const QString& text) {
    std::fprintf(stderr, "box: %s\n", qPrintable(text));
    return app::kAnswerOk;
  });
  SetAskHook([](AskKind, const QString& text) {
    std::fprintf(stderr, "asked: %s\n", qPrintable(text));
    return kAnswerNo;
  });
  SetPasswordHook([](const QString&, QString&) { return false; });

  const fs::path data = fs::path(g_out.toStdString()) / ("data-" + g_size.toStdString());
  app::CMainWnd window({root}, app::MakeLocalBackendFactory({root}, data));
  window.resize(wh[0].toInt(), wh[1].toInt());
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return 1;
  window.CategoryPage()->SetPasswordPrompt([password](QWidget*, QString& answer) {
    answer = password;
    return 1;
  });
  Save(&window, QStringLiteral("01-choose-backup"));
  window.ShowAbout();
  Save(window.AboutWindow(), QStringLiteral("00-about"));
  window.AboutWindow()->close();

  QTreeWidget* backups = window.BackupPage()->List();
  const int count = backups->topLevelItemCount();
  for (int b = 0; b < count; ++b) {
    const QString tag = QStringLiteral("b%1").arg(b);
    backups = window.BackupPage()->List();
    backups->setCurrentItem(backups->topLevelItem(b));
    backups->topLevelItem(b)->setSelected(true);
    if (!window.BackupPage()->ChooseSelected()) continue;
    Save(&window, tag + QStringLiteral("-02-categories"));
    app::CScanVrtWnd* page = window.ScanPage();
    window.CategoryPage()->NextButton()->click();
    // The password check of an encrypted backup, then the scan under way.
    if (page->SelectedBackup().encrypted) {
      if (QTest::qWaitFor([&] { return !window.CategoryPage()->CheckingBox()->isHidden(); }, 5000)) {
        Save(&window, tag + QStringLiteral("-02-checking-password"), false);
      }
    }
    if (QTest::qWaitFor([&] { return page->ShownPercent() > 0 || page->state() == app::CScanVrtWnd::State::kFinished; },
                        60000) &&
        page->state() != app::CScanVrtWnd::State::kFinished) {
      Save(&window, tag + QStringLiteral("-03-scanning"), false);
    }
    if (!QTest::qWaitFor([&] { return page->state() == app::CScanVrtWnd::State::kFinished; }, 300000)) return 1;
    Save(&window, tag + QStringLiteral("-04-scan-done"));

    auto* views = page->findChild<CPreviewViews*>();
    QTreeWidget* tree = views->controls().nodeTree;
    QTreeWidget* list = views->controls().dataList;
    std::vector<QTreeWidgetItem*> nodes;
    for (int c = 1; c <= 16; ++c) {
      if (QTreeWidgetItem* node = page->CategoryNode(c); node && !node->isHidden()) nodes.push_back(node);
    }
    for (QTreeWidgetItem* node : nodes) {
      const QString name = tag + QStringLiteral("-10-") + Slug(node->text(0).section(QLatin1Char('('), 0, 0));
      Click(tree, node, 0);
      QApplication::processEvents();
      // Applications first: the first one opened.
      const Category category = views->list()->category();
      if ((category == Category::AppPhotos || category == Category::AppVideos) && list->topLevelItemCount() > 0 &&
          !views->list()->openApp()) {
        Save(&window, name + QStringLiteral("-apps"));
        views->list()->OpenApp(reinterpret_cast<const void*>(
            list->topLevelItem(0)->data(0, CFileListCtrl::kIdRole).value<quintptr>()));
      }
      // The chats of QQ and WeChat have a list of their own.
      if (QTreeWidget* chats = page->ChatApps()->list(); chats->isVisible()) {
        Save(&window, name + QStringLiteral("-list"));
        for (int i = 0; i < chats->topLevelItemCount() && i < 2; ++i) {
          Click(chats, chats->topLevelItem(i), 2);
          Save(&window, name + QStringLiteral("-chat%1").arg(i));
        }
        continue;
      }
      const int rows = list->isVisible() ? list->topLevelItemCount() : 0;
      if (rows == 0) {
        Save(&window, name + QStringLiteral("-empty"));
        continue;
      }
      // Every note (the kinds differ: old notes, NoteStore, locked), a few
      // rows of the others; a deleted one among them when there is one.
      const bool all = category == Category::Notes;
      int deletedRow = -1;
      for (int i = 0; i < rows && deletedRow < 0; ++i) {
        if (list->topLevelItem(i)->foreground(1).style() != Qt::NoBrush) deletedRow = i;
      }
      std::vector<int> picks;
      for (int i = 0; i < rows && (all ? i < 24 : i < 2); ++i) picks.push_back(i);
      if (deletedRow >= 2 && !all) picks.push_back(deletedRow);
      for (int i : picks) {
        Click(list, list->topLevelItem(i), 1);
        QTest::qWait(category == Category::CameraRoll || category == Category::AppVideos ? 900 : 250);
        Save(&window, name + QStringLiteral("-row%1").arg(i));
      }
      if (views->controls().filter && views->controls().filter->isVisible()) {
        views->controls().filter->setChecked(true);
        Save(&window, name + QStringLiteral("-deleted-only"));
        views->controls().filter->setChecked(false);
      }
    }

    // The print window while it works and the print preview, on the
    // notes.
    if (QTreeWidgetItem* notes = page->CategoryNode(static_cast<int>(Category::Notes)); notes && b == 0) {
      Click(tree, notes, 0);
      bool printShot = false, previewShot = false;
      QTimer watch;
      QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* print = qobject_cast<CPrintWnd*>(modal); print && !printShot) {
          printShot = true;
          Save(print, tag + QStringLiteral("-20-print-window"), false);
        } else if (auto* preview = qobject_cast<QPrintPreviewDialog*>(modal); preview && !previewShot) {
          previewShot = true;
          Save(preview, tag + QStringLiteral("-21-print-preview"), false);
          QTimer::singleShot(0, preview, &QDialog::reject);
        }
      });
      watch.start(5);
      views->Print();
      watch.stop();
    }

    // The recovery window under way and at its end.
    if (b == 0) {
      const QString out = QDir(g_out).filePath(QStringLiteral("recovered-%1").arg(g_size));
      QDir(out).removeRecursively();
      QDir().mkpath(out);
      bool runningShot = false, doneShot = false;
      QTimer watch;
      QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* recover = qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
        if (!recover) return;
        if (!runningShot && !recover->finished()) {
          runningShot = true;
          Save(recover, tag + QStringLiteral("-30-recovering"), false);
        } else if (recover->finished() && !doneShot) {
          doneShot = true;
          Save(recover, tag + QStringLiteral("-31-recovered"), false);
          QTimer::singleShot(0, recover->finishButton(), &QPushButton::click);
        }
      });
      watch.start(20);
      emit page->recoverRequested(out);
      watch.stop();
    }

    // Home, and the next backup.
    page->ui()->BtnHome->click();
    QApplication::processEvents();
  }
  return 0;
}
