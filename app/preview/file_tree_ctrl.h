// CFileTreeCtrl: the category tree of the scan page ("NodeTree"). Two group
// nodes, "Photos & Videos" and "Messages & Call logs", with a node for each
// category ticked for the scan; each node's text is its name and its count,
// and it carries the deleted-only mark of its category ("D" on, "N" off).
#pragma once

#include <QObject>
#include <QTreeWidget>
#include <array>

#include "sources/categories.h"

namespace orbanix::preview {

class PreviewData;

class CFileTreeCtrl : public QObject {
  Q_OBJECT
 public:
  // Item data of a category node: its number under kCategoryRole (the
  // scan page's own tree uses the same role), its mark under kMarkRole.
  static constexpr int kCategoryRole = Qt::UserRole;
  static constexpr int kMarkRole = Qt::UserRole + 1;

  explicit CFileTreeCtrl(QTreeWidget* tree, QObject* parent = nullptr);

  // Builds the nodes for the ticked categories (index 0 = category 1).
  void Build(const std::array<bool, kCategoryCount>& ticked);
  // Takes the category nodes of a tree that its owner built (by their
  // kCategoryRole numbers).
  void Attach();
  // Every node's text becomes its base text (cut before "(") + "(count)".
  void UpdateCounts(const PreviewData& data);

  QTreeWidgetItem* Node(Category category) const { return nodes_[static_cast<size_t>(category)]; }
  // 'D' or 'N'.
  QChar Mark(Category category) const;
  void SetMark(Category category, bool deletedOnly);

  static QIcon CategoryIcon(Category category);

 signals:
  // A category node was clicked.
  void categoryOpened(int category);

 private:
  QTreeWidget* tree_;
  std::array<QTreeWidgetItem*, kCategoryCount + 1> nodes_{};
};

// The language key and the text of each category's node ("NodeCameraRoll",
// "Camera Roll (0)").
const char* NodeKey(Category category);
const char* NodeText(Category category);

}  // namespace orbanix::preview
