// preview_shots BACKUP_FOLDER OUTPUT_FOLDER
// Scans one backup folder and saves a picture of the preview views for
// every category: the list with the first row previewed (a deleted one when
// the category has any), plus App Photos inside its first application and
// the category with its deleted-only filter on. For looking at layouts.
#include <QApplication>
#include <QDir>
#include <QTreeWidget>
#include <cstdio>

#include "app/preview/file_list_ctrl.h"
#include "app/preview/preview_texts.h"
#include "app/preview/preview_views.h"
#include "sources/catalog.h"
#include "sources/discovery.h"

using namespace orbanix;
using namespace orbanix::preview;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: preview_shots BACKUP_FOLDER OUTPUT_FOLDER\n");
    return 2;
  }
  const std::filesystem::path backup = argv[1];
  const QString out = QString::fromLocal8Bit(argv[2]);
  QDir().mkpath(out);
  SetAskHook([](AskKind, const QString& text) {
    std::fprintf(stderr, "asked: %s\n", text.toUtf8().constData());
    return kAnswerNo;
  });

  BackupCatalog catalog(std::filesystem::path(out.toStdString()) / "data", {backup.parent_path()});
  BackupInfo info;
  std::string reason;
  if (ReadBackupInfo(backup, info, &reason) != status::kOk) {
    std::fprintf(stderr, "not a backup: %s\n", reason.c_str());
    return 1;
  }
  catalog.SelectBackup(info);
  CLocalBuckupRecovery source;
  source.SetCatalog(&catalog);
  ScanResults results;
  CategorySet ticked;
  std::array<bool, kCategoryCount> ticks{};
  for (int c = 1; c <= kCategoryCount; ++c) {
    ticked.insert(static_cast<Category>(c));
    ticks[static_cast<size_t>(c - 1)] = true;
  }
  if (const Status st = source.Open(""); st != status::kOk) {
    std::fprintf(stderr, "cannot open %s: %d\n", backup.c_str(), st);
    return 1;
  }
  for (ScanStep& step : BuildScanPlan(source, ticked, results)) {
    const Status st = step.run();
    std::fprintf(stderr, "%s: %d\n", step.name.c_str(), st);
  }
  for (int c = 1; c <= kDataCategoryCount; ++c) {
    std::fprintf(stderr, "category %d: %zu\n", c, CountCategory(results, static_cast<Category>(c)).items);
  }

  CPreviewHost host;
  host.resize(1100, 640);
  host.show();
  CPreviewViews* views = host.views();
  views->SetPrintFolder(std::filesystem::path(out.toStdString()) / "print");
  views->Start(&results, &source, ticks);
  views->AllReady();
  std::fprintf(stderr, "selection: %zu entries, messages added %d\n", views->data().selection().table().size(),
               int(views->data().Added(Category::Messages)));
  auto shot = [&](const QString& name) {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    host.grab().save(QDir(out).filePath(name + QStringLiteral(".png")));
    std::printf("%s\n", qPrintable(name));
  };
  QTreeWidget* list = host.controls().dataList;
  auto clickRow = [&](bool preferDeleted) {
    QTreeWidgetItem* pick = list->topLevelItemCount() ? list->topLevelItem(0) : nullptr;
    for (int i = 0; preferDeleted && i < list->topLevelItemCount(); ++i) {
      if (list->topLevelItem(i)->foreground(1).style() != Qt::NoBrush) {
        pick = list->topLevelItem(i);
        break;
      }
    }
    if (!pick) return;
    list->setCurrentItem(pick);
    emit list->itemClicked(pick, 1);
  };
  for (int c = 1; c <= kDataCategoryCount; ++c) {
    const Category category = static_cast<Category>(c);
    views->OpenCategory(category);
    if (category == Category::AppPhotos || category == Category::AppVideos) {
      shot(QStringLiteral("%1-apps").arg(c, 2, 10, QLatin1Char('0')));
      if (list->topLevelItemCount()) {
        views->list()->OpenApp(reinterpret_cast<const void*>(
            list->topLevelItem(0)->data(0, CFileListCtrl::kIdRole).value<quintptr>()));
      }
    }
    clickRow(true);
    shot(QStringLiteral("%1").arg(c, 2, 10, QLatin1Char('0')));
    if (category == Category::Messages) {
      // Every conversation of a small backup, one picture each (group chats
      // among them).
      for (int row = 0; row < list->topLevelItemCount() && row < 8; ++row) {
        QTreeWidgetItem* item = list->topLevelItem(row);
        list->setCurrentItem(item);
        emit list->itemClicked(item, 1);
        shot(QStringLiteral("%1-conversation-%2").arg(c, 2, 10, QLatin1Char('0')).arg(row));
      }
    }
    if (c == 5 || c == 9 || c == 10 || c >= 12) {
      host.controls().filter->setChecked(true);
      shot(QStringLiteral("%1-deleted-only").arg(c, 2, 10, QLatin1Char('0')));
      host.controls().filter->setChecked(false);
    }
  }
  return 0;
}
