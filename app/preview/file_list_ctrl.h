// CFileListCtrl: the list of the open category ("DataList"). Column 0 holds
// each row's checkbox (its selection entry's tick), the header's checkbox
// ("CheckAll") ticks or unticks the whole category. Deleted records are
// drawn in #F37302 with the deleted mark in column 1. App Photos and App
// Videos list their applications first, with a three-state box each; an
// application opens on activation and "BtnBackAppDir" goes back.
#pragma once

#include <QHeaderView>
#include <QObject>
#include <QPushButton>
#include <QTreeWidget>

#include <vector>

#include "sources/categories.h"

namespace orbanix::preview {

class PreviewData;

// A header whose first section draws a checkbox.
class CCheckHeader : public QHeaderView {
  Q_OBJECT
 public:
  explicit CCheckHeader(QWidget* parent = nullptr);
  void SetState(Qt::CheckState state);
  Qt::CheckState State() const { return state_; }

 signals:
  void toggled(bool checked);

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  Qt::CheckState state_ = Qt::Unchecked;
};

class CFileListCtrl : public QObject {
  Q_OBJECT
 public:
  static constexpr int kIdRole = Qt::UserRole;          // the entry's identity (quintptr)
  static constexpr int kFolderRole = Qt::UserRole + 1;  // true on an application row

  CFileListCtrl(QTreeWidget* list, QPushButton* backAppDir, PreviewData* data, QObject* parent = nullptr);

  // Builds the list of a category (its filter as its mark says).
  void Open(Category category);
  // The open application of App Photos / App Videos (its list's address).
  void OpenApp(const void* folder);
  void BackToApps();
  // Builds the open list again (after ticks changed elsewhere, or new records).
  void Refresh();
  // The texts of the open Notes list's rows again from their records (after
  // locked notes were opened), keeping order, ticks and the current row.
  void RefreshNoteTexts();
  void Clear();

  // The deleted-only filter of the open category.
  void SetFilter(bool on);
  // Ticks or unticks every entry of the open category.
  void TickAll(bool ticked);

  Category category() const { return category_; }
  const void* openApp() const { return app_; }
  QTreeWidget* list() const { return list_; }
  CCheckHeader* header() const { return header_; }
  // The row of an entry, or nullptr.
  QTreeWidgetItem* RowOf(const void* id) const;

  static bool IsVideoFile(const std::string& name);
  // Sounds get their own icon (voice messages, recordings, music).
  static bool IsAudioFile(const std::string& name);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 signals:
  // A data row became the current one, by a click or the keyboard (for
  // the preview panel).
  void itemClicked(int category, const void* id);
  // Ticks or hidden flags changed.
  void selectionChanged();

 private:
  void Build();
  void AddRow(const void* id, const QStringList& values, bool deleted, const QIcon& icon = {});
  void SetColumns(const QList<QPair<QString, int>>& columns);
  void SyncChecks();
  void FitColumns();
  void OnItemChanged(QTreeWidgetItem* item, int column);

  QTreeWidget* list_;
  QPushButton* back_;
  PreviewData* data_;
  CCheckHeader* header_;
  Category category_ = Category::Reminder;
  bool open_ = false;
  const void* app_ = nullptr;
  bool updating_ = false;
  // The row a mouse press made current (its click then shows nothing new).
  QTreeWidgetItem* pressedCurrent_ = nullptr;
  std::vector<int> widths_;  // the given widths of the open list's columns
};

}  // namespace orbanix::preview
