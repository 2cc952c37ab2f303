#include "app/preview/file_tree_ctrl.h"

#include "app/preview/preview_data.h"
#include "app/preview/preview_texts.h"

namespace orbanix::preview {

namespace {

struct NodeInfo {
  const char* key;
  const char* text;
  bool media;  // under "Photos & Videos"
};

const NodeInfo& Info(Category c) {
  static const NodeInfo kNodes[kCategoryCount] = {
      {"NodeCameraRoll", "Camera Roll (0)", true},
      {"NodePhotoStream", "Photo Stream (0)", true},
      {"NodeAppPhotos", "App Photos (0)", true},
      {"NodeAppVideos", "App Videos (0)", true},
      {"NodeMessages", "Messages (0)", false},
      {"NodeMessageAtts", "Message Attachments (0)", false},
      {"NodeContacts", "Contacts (0)", false},
      {"NodeCallHistory", "Call History (0)", false},
      {"NodeNotes", "Notes (0)", false},
      {"NodeWhatsApp", "WhatsApp (0)", false},
      {"NodeWhatsAppAtts", "WhatsApp Attachments (0)", false},
      {"NodeReminder", "Reminder (0)", false},
      {"NodeCalendar", "Calendar (0)", false},
      {"NodeSafariBookmark", "Safari Bookmarks (0)", false},
  };
  return kNodes[static_cast<int>(c) - 1];
}

}  // namespace

const char* NodeKey(Category category) { return Info(category).key; }
const char* NodeText(Category category) { return Info(category).text; }

QIcon CFileTreeCtrl::CategoryIcon(Category category) {
  return QIcon(QStringLiteral(":/preview/cat_%1.svg").arg(static_cast<int>(category)));
}

CFileTreeCtrl::CFileTreeCtrl(QTreeWidget* tree, QObject* parent) : QObject(parent), tree_(tree) {
  InitPreviewResources();
  connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    const QVariant v = item->data(0, kCategoryRole);
    if (v.isValid() && v.toInt() >= 1 && v.toInt() <= kCategoryCount) emit categoryOpened(v.toInt());
  });
}

void CFileTreeCtrl::Build(const std::array<bool, kCategoryCount>& ticked) {
  tree_->clear();
  nodes_.fill(nullptr);
  auto* media = new QTreeWidgetItem(tree_, {Text("PageScan", "NodePhotos", QStringLiteral("Photos & Videos"))});
  media->setIcon(0, QIcon(QStringLiteral(":/preview/group_media.svg")));
  auto* messages =
      new QTreeWidgetItem(tree_, {Text("PageScan", "NodeMessagesCalls", QStringLiteral("Messages & Call logs"))});
  messages->setIcon(0, QIcon(QStringLiteral(":/preview/group_messages.svg")));
  for (int c = 1; c <= kCategoryCount; ++c) {
    if (!ticked[static_cast<size_t>(c - 1)]) continue;
    const Category category = static_cast<Category>(c);
    const NodeInfo& info = Info(category);
    auto* node = new QTreeWidgetItem(info.media ? media : messages,
                                     {Text("PageScan", info.key, QString::fromLatin1(info.text))});
    node->setIcon(0, CategoryIcon(category));
    node->setData(0, kCategoryRole, c);
    node->setData(0, kMarkRole, QStringLiteral("N"));
    nodes_[static_cast<size_t>(c)] = node;
  }
  media->setHidden(media->childCount() == 0);
  messages->setHidden(messages->childCount() == 0);
  tree_->expandAll();
}

void CFileTreeCtrl::Attach() {
  nodes_.fill(nullptr);
  for (QTreeWidgetItemIterator it(tree_); *it; ++it) {
    const QVariant v = (*it)->data(0, kCategoryRole);
    if (!v.isValid()) continue;
    const int c = v.toInt();
    if (c < 1 || c > kCategoryCount) continue;
    nodes_[static_cast<size_t>(c)] = *it;
    if (!(*it)->data(0, kMarkRole).isValid()) (*it)->setData(0, kMarkRole, QStringLiteral("N"));
  }
}

void CFileTreeCtrl::UpdateCounts(const PreviewData& data) {
  for (int c = 1; c <= kCategoryCount; ++c) {
    QTreeWidgetItem* node = nodes_[static_cast<size_t>(c)];
    if (!node) continue;
    const Category category = static_cast<Category>(c);
    QString base = Text("PageScan", Info(category).key, QString::fromLatin1(Info(category).text));
    const int cut = base.indexOf(QLatin1Char('('));
    if (cut >= 0) base = base.left(cut);
    // Reminder, calendar and Safari bookmarks are never read: they keep 0.
    const int count = HoldsData(category) ? data.ItemCount(category) : 0;
    node->setText(0, FormatText(QStringLiteral("%s(%d)"), {base, count}));
  }
}

QChar CFileTreeCtrl::Mark(Category category) const {
  QTreeWidgetItem* node = Node(category);
  if (!node) return QLatin1Char('N');
  const QString mark = node->data(0, kMarkRole).toString();
  return mark == QLatin1String("D") ? QLatin1Char('D') : QLatin1Char('N');
}

void CFileTreeCtrl::SetMark(Category category, bool deletedOnly) {
  if (QTreeWidgetItem* node = Node(category)) {
    node->setData(0, kMarkRole, deletedOnly ? QStringLiteral("D") : QStringLiteral("N"));
  }
}

}  // namespace orbanix::preview
