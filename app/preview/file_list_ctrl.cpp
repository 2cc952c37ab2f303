#include "app/preview/file_list_ctrl.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <algorithm>

#include "app/preview/preview_data.h"
#include "app/preview/preview_texts.h"
#include "export/text_format.h"

namespace orbanix::preview {

namespace {

constexpr int kCheckColumnWidth = 24;
constexpr int kRowHeight = 30;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// One line of a record's text for a list cell.
QString Flat(const std::string& s) {
  QString t = Q(s);
  t.replace(QLatin1String("\r\n"), QLatin1String(" "));
  t.replace(QLatin1Char('\n'), QLatin1Char(' '));
  t.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return t;
}

QString FirstLine(const std::string& s) {
  const size_t end = s.find('\n');
  return Q(end == std::string::npos ? s : s.substr(0, end)).trimmed();
}

QString Col(const char* key, const char* fallback) { return Text("PageScan", key, QString::fromLatin1(fallback)); }

const void* IdOf(const QTreeWidgetItem* item) {
  return reinterpret_cast<const void*>(item->data(0, CFileListCtrl::kIdRole).value<quintptr>());
}

}  // namespace

// ---------------------------------------------------------------- header

CCheckHeader::CCheckHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setObjectName(QStringLiteral("CheckAll"));
}

void CCheckHeader::SetState(Qt::CheckState state) {
  if (state_ == state) return;
  state_ = state;
  viewport()->update();
}

void CCheckHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  painter->save();
  QHeaderView::paintSection(painter, rect, logicalIndex);
  painter->restore();
  if (logicalIndex != 0) return;
  QStyleOptionButton option;
  const QSize box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this).size();
  option.rect = QRect(rect.x() + (rect.width() - box.width()) / 2, rect.y() + (rect.height() - box.height()) / 2,
                      box.width(), box.height());
  option.state = QStyle::State_Enabled;
  option.state |= state_ == Qt::Checked     ? QStyle::State_On
                  : state_ == Qt::Unchecked ? QStyle::State_Off
                                            : QStyle::State_NoChange;
  style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, painter, this);
}

void CCheckHeader::mousePressEvent(QMouseEvent* event) {
  if (logicalIndexAt(event->position().toPoint()) == 0) {
    const bool checked = state_ != Qt::Checked;
    SetState(checked ? Qt::Checked : Qt::Unchecked);
    emit toggled(checked);
    return;
  }
  QHeaderView::mousePressEvent(event);
}

// ---------------------------------------------------------------- list

bool CFileListCtrl::IsVideoFile(const std::string& name) { return IsVideoName(name); }

bool CFileListCtrl::IsAudioFile(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const QString extension = QString::fromStdString(name.substr(dot + 1)).toLower();
  // Voice messages (amr, caf, opus), recordings and music.
  static const QStringList kAudio{QStringLiteral("m4a"), QStringLiteral("mp3"),  QStringLiteral("wav"),
                                  QStringLiteral("aac"), QStringLiteral("amr"),  QStringLiteral("caf"),
                                  QStringLiteral("aif"), QStringLiteral("aiff"), QStringLiteral("opus"),
                                  QStringLiteral("ogg"), QStringLiteral("flac")};
  return kAudio.contains(extension);
}

CFileListCtrl::CFileListCtrl(QTreeWidget* list, QPushButton* backAppDir, PreviewData* data, QObject* parent)
    : QObject(parent), list_(list), back_(backAppDir), data_(data), header_(new CCheckHeader(list)) {
  InitPreviewResources();
  list_->setHeader(header_);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setIconSize(QSize(16, 16));
  header_->setStretchLastSection(true);
  if (back_) {
    back_->hide();
    connect(back_, &QPushButton::clicked, this, &CFileListCtrl::BackToApps);
  }
  connect(header_, &CCheckHeader::toggled, this, &CFileListCtrl::TickAll);
  connect(list_, &QTreeWidget::itemChanged, this, &CFileListCtrl::OnItemChanged);
  connect(list_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    if (item->data(0, kFolderRole).toBool()) OpenApp(IdOf(item));
  });
  connect(list_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item, int) {
    // The press of this click made the row current and showed it already.
    const bool shown = item == pressedCurrent_;
    pressedCurrent_ = nullptr;
    if (shown || item->data(0, kFolderRole).toBool()) return;
    emit itemClicked(static_cast<int>(category_), IdOf(item));
  });
  // The preview follows the current row however it moves (arrow keys,
  // Page Up/Down, Home/End, a search by typing), not only a click.
  connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    pressedCurrent_ = nullptr;
    if (updating_ || !item || item->data(0, kFolderRole).toBool()) return;
    if (QGuiApplication::mouseButtons() != Qt::NoButton) pressedCurrent_ = item;
    emit itemClicked(static_cast<int>(category_), IdOf(item));
  });
  list_->installEventFilter(this);
}

bool CFileListCtrl::eventFilter(QObject* watched, QEvent* event) {
  // Space ticks or unticks the current row, whichever cell has the focus
  // (the view itself only toggles a box when the box's own cell is current).
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space &&
      static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
    if (QTreeWidgetItem* item = list_->currentItem()) {
      item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void CFileListCtrl::Clear() {
  updating_ = true;
  pressedCurrent_ = nullptr;
  list_->clear();
  updating_ = false;
  open_ = false;
  app_ = nullptr;
  if (back_) back_->hide();
  header_->SetState(Qt::Unchecked);
}

void CFileListCtrl::Open(Category category) {
  category_ = category;
  open_ = true;
  app_ = nullptr;
  Build();
}

void CFileListCtrl::OpenApp(const void* folder) {
  if (category_ != Category::AppPhotos && category_ != Category::AppVideos) return;
  app_ = folder;
  Build();
}

void CFileListCtrl::BackToApps() {
  app_ = nullptr;
  Build();
}

void CFileListCtrl::Refresh() {
  if (open_) Build();
}

void CFileListCtrl::RefreshNoteTexts() {
  if (!open_ || category_ != Category::Notes) return;
  updating_ = true;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    const auto* note = static_cast<const NoteRecord*>(IdOf(row));
    if (!note) continue;
    const QStringList values{Flat(note->title), Q(note->date), Flat(note->body)};
    for (int c = 0; c < values.size(); ++c) {
      row->setText(c + 1, values[c]);
      row->setToolTip(c + 1, values[c]);
    }
  }
  updating_ = false;
}

void CFileListCtrl::SetColumns(const QList<QPair<QString, int>>& columns) {
  QStringList labels{QString()};
  for (const auto& c : columns) labels << c.first;
  list_->setColumnCount(static_cast<int>(labels.size()));
  list_->setHeaderLabels(labels);
  header_->setSectionResizeMode(0, QHeaderView::Fixed);
  list_->setColumnWidth(0, kCheckColumnWidth);
  widths_.clear();
  for (const auto& c : columns) widths_.push_back(c.second);
  for (int i = 0; i < columns.size(); ++i) {
    if (columns[i].second > 0) list_->setColumnWidth(i + 1, columns[i].second);
  }
}

void CFileListCtrl::AddRow(const void* id, const QStringList& values, bool deleted, const QIcon& icon) {
  auto* row = new QTreeWidgetItem(list_);
  row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  row->setData(0, kIdRole, QVariant::fromValue(reinterpret_cast<quintptr>(id)));
  row->setSizeHint(0, QSize(kCheckColumnWidth, kRowHeight));
  for (int i = 0; i < values.size(); ++i) {
    row->setText(i + 1, values[i]);
    row->setToolTip(i + 1, values[i]);
  }
  if (deleted) {
    for (int i = 0; i <= values.size(); ++i) row->setForeground(i, QColor(QString::fromLatin1(kDeletedColour)));
    row->setIcon(1, QIcon(QStringLiteral(":/preview/deleted_mark.svg")));
  } else if (!icon.isNull()) {
    row->setIcon(1, icon);
  }
  const SelectionState* state = data_->selection().table().Find(id);
  row->setCheckState(0, state && state->ticked ? Qt::Checked : Qt::Unchecked);
}

void CFileListCtrl::Build() {
  updating_ = true;
  pressedCurrent_ = nullptr;
  list_->clear();
  if (back_) back_->setVisible(app_ != nullptr);
  const RecoveryRecords& r = data_->records();
  const QIcon pictureIcon(QStringLiteral(":/preview/picture.svg"));
  const QIcon videoIcon(QStringLiteral(":/preview/video.svg"));
  const QIcon audioIcon(QStringLiteral(":/preview/audio.svg"));
  auto iconOf = [&](const std::string& name) -> const QIcon& {
    return IsVideoName(name) ? videoIcon : IsAudioFile(name) ? audioIcon : pictureIcon;
  };
  // `withDate`: the Camera Roll, whose items the photo library dates.
  auto media = [&](const auto* items, bool withIcons, int nameWidth, bool withDate = false) {
    if (withDate) {
      SetColumns({{Col("ColFileName", "File Name"), nameWidth}, {Col("ColDateTaken", "Date Taken"), 130},
                  {Col("ColFileSize", "File Size"), 0}});
    } else {
      SetColumns({{Col("ColFileName", "File Name"), nameWidth}, {Col("ColFileSize", "File Size"), 0}});
    }
    if (!items) return;
    for (const auto& m : *items) {
      const QIcon icon = withIcons ? iconOf(m.name) : QIcon();
      bool deleted = false;
      QStringList values{Q(m.name)};
      if constexpr (requires { m.deleted; }) deleted = m.deleted != 0;  // trashed in the photo library
      if constexpr (requires { m.date; }) {
        if (withDate) values << Q(m.date);
      }
      values << SizeString(m.size);
      AddRow(&m, values, deleted, icon);
    }
  };
  switch (category_) {
    case Category::CameraRoll: media(r.cameraRoll, false, 200, true); break;
    case Category::PhotoStream: media(r.photoStream, false, 200); break;
    case Category::MessageAtts: media(r.attachments, true, 300); break;
    case Category::WhatsAppAtts: media(r.whatsAppMedia, true, 300); break;
    case Category::AppPhotos:
    case Category::AppVideos: {
      const AppMediaByName* apps = category_ == Category::AppPhotos ? r.appPhotos : r.appVideos;
      if (!app_) {
        SetColumns({{Col("ColAppName", "App Name"), 300}, {Col("ColType", "Type"), 0}});
        if (apps) {
          const QIcon folderIcon(QStringLiteral(":/preview/folder.svg"));
          for (const auto& [name, items] : *apps) {
            AddRow(&items, {Q(name), Col("Folder", "Folder")}, false, folderIcon);
            list_->topLevelItem(list_->topLevelItemCount() - 1)->setData(0, kFolderRole, true);
          }
        }
      } else {
        SetColumns({{Col("ColFileName", "File Name"), 200}, {Col("ColAppName", "App Name"), 200},
                    {Col("ColSize", "Size"), 0}});
        const auto* items = static_cast<const std::vector<AppMediaItem>*>(app_);
        for (const AppMediaItem& m : *items) {
          AddRow(&m, {Q(m.name), Q(m.appName), SizeString(m.size)}, false, iconOf(m.name));
        }
      }
      break;
    }
    case Category::Messages:
      SetColumns({{Col("ColUserName", "User Name"), 100}, {Col("ColPhoneNumber", "Phone Number"), 100},
                  {Col("ColDate", "Date"), 120}, {Col("ColMessage", "Message"), 0}});
      for (const MessageRecord& m : data_->conversationRows()) {
        // A conversation known by neither a name nor an address (recovered
        // messages whose handle was lost) is named as the documents name it.
        const QString name = m.contactName.empty() && m.address.empty()
                                 ? Text("Preview", "UnknownConversation", QStringLiteral("Unknown"))
                                 : Q(m.contactName);
        AddRow(&m, {name, Q(m.address), Q(m.date), Flat(m.text)}, m.deleted != 0);
      }
      break;
    case Category::Contacts:
      SetColumns({{Col("ColName", "Name"), 100}, {Col("ColCompany", "Company"), 100}, {Col("ColPhone", "Phone"), 100},
                  {Col("ColEmail", "Email"), 100}, {Col("ColHomePage", "Home Page"), 0}});
      if (r.contacts) {
        for (const ContactRecord& c : *r.contacts) {
          AddRow(&c, {Q(c.name), Q(c.company), FirstLine(c.phones), Q(c.email), Q(c.homePage)}, c.deleted != 0);
        }
      }
      break;
    case Category::CallHistory:
      SetColumns({{Col("ColUserName", "User Name"), 150}, {Col("ColPhoneNumber", "Phone Number"), 150},
                  {Col("ColDate", "Date"), 130}, {Col("ColCallStatus", "Call Status"), 100},
                  {Col("ColDuration", "Duration"), 100}, {Col("ColStatus", "Status"), 0}});
      if (r.calls) {
        for (const CallRecord& c : *r.calls) {
          QString duration = Q(CallDurationCell(c.duration, c.incoming != 0, CallNotConnected(c)));
          if (CallNotConnected(c)) duration = c.incoming ? Col("Missed", "Missed") : Col("Canceled", "Canceled");
          QString direction = c.incoming ? Col("Incoming", "Incoming") : Col("Outgoing", "Outgoing");
          if (c.kind != CallKind::kPhone) direction += " (" + Q(CallKindText(c.kind)) + ")";
          AddRow(&c,
                 {Q(c.name), Q(c.address), Q(c.date), direction,
                  duration, c.deleted ? Col("Deleted", "Deleted") : Col("Normal", "Normal")},
                 c.deleted != 0);
        }
      }
      break;
    case Category::Notes:
      SetColumns({{Col("ColTitle", "Title"), 100}, {Col("ColDate", "Date"), 110}, {Col("ColNote", "Note"), 0}});
      if (r.notes) {
        for (const NoteRecord& n : *r.notes) AddRow(&n, {Flat(n.title), Q(n.date), Flat(n.body)}, n.deleted != 0);
      }
      break;
    case Category::WhatsApp:
      SetColumns({{Col("ColChats", "Chats"), 150}, {Col("ColName", "Name"), 150}, {Col("ColPhone", "Phone"), 0}});
      for (const ChatMessageRecord& c : data_->chatRows()) {
        AddRow(&c,
               {Q(c.chatTitle), Q(c.partnerName.empty() ? c.senderName : c.partnerName),
                Q(c.partnerAddress.empty() ? c.senderAddress : c.partnerAddress)},
               c.deleted != 0);
      }
      break;
    case Category::Reminder:
      SetColumns({{Col("ColTitle", "Title"), 200}, {Col("ColList", "List"), 100}, {Col("ColDue", "Due"), 130},
                  {Col("ColState", "State"), 90}, {Col("ColPriority", "Priority"), 70}, {Col("ColNotes", "Notes"), 0}});
      if (r.reminders) {
        for (const ReminderRecord& m : *r.reminders) {
          AddRow(&m,
                 {Flat(m.title), Q(m.list), Q(m.dueText),
                  m.completed ? Col("Completed", "Completed") : Col("Open", "Open"),
                  QString::fromLatin1(ReminderPriorityText(m.priority)), Flat(m.notes)},
                 m.deleted != 0);
        }
      }
      break;
    case Category::Calendar:
      SetColumns({{Col("ColTitle", "Title"), 200}, {Col("ColStart", "Start"), 130}, {Col("ColEnd", "End"), 130},
                  {Col("ColCalendar", "Calendar"), 100}, {Col("ColLocation", "Location"), 0}});
      if (r.events) {
        for (const CalendarEventRecord& e : *r.events) {
          AddRow(&e, {Flat(e.summary), Q(e.startText), Q(e.endText), Q(e.calendar), Flat(e.location)}, e.deleted != 0);
        }
      }
      break;
    case Category::SafariBookmark: {
      SetColumns({{Col("ColTitle", "Title"), 220}, {Col("ColUrl", "URL"), 260}, {Col("ColFolderDate", "Folder / Last Visit"), 150},
                  {Col("ColVisits", "Visits"), 0}});
      // Two groups, each under a heading row that has no box of its own.
      auto heading = [&](const QString& text, size_t count) {
        auto* row = new QTreeWidgetItem(list_);
        row->setFlags(Qt::ItemIsEnabled);
        row->setData(0, kFolderRole, true);
        row->setSizeHint(0, QSize(kCheckColumnWidth, kRowHeight));
        row->setText(1, FormatText(QStringLiteral("%s (%d)"), {text, static_cast<int>(count)}));
        QFont font = row->font(1);
        font.setBold(true);
        row->setFont(1, font);
      };
      const size_t bookmarks = r.safariBookmarks ? r.safariBookmarks->size() : 0;
      const size_t history = r.safariHistory ? r.safariHistory->size() : 0;
      heading(Col("GroupBookmarks", "Bookmarks"), bookmarks);
      if (r.safariBookmarks) {
        for (const SafariBookmarkRecord& b : *r.safariBookmarks) {
          AddRow(&b, {Flat(b.title), Flat(b.url), Q(b.folder), QString()}, b.deleted != 0);
        }
      }
      heading(Col("GroupHistory", "History"), history);
      if (r.safariHistory) {
        for (const SafariHistoryRecord& h : *r.safariHistory) {
          AddRow(&h, {Flat(h.title), Flat(h.url), Q(h.lastVisitText), QString::number(h.visitCount)}, h.deleted != 0);
        }
      }
      break;
    }
    default:
      SetColumns({{Col("ColName", "Name"), 0}});
      break;
  }
  updating_ = false;
  SyncChecks();
  FitColumns();
}

void CFileListCtrl::FitColumns() {
  // Every column but the last (which takes the rest) is as wide as its
  // header and its texts need (dates whole, names uncut), at least its
  // given width and at most two fifths of the list, so one long text does
  // not push the others out of sight.
  const int last = list_->columnCount() - 1;
  const int widest = std::max(240, list_->viewport()->width() * 2 / 5);
  for (int i = 1; i < last; ++i) {
    const int given = i - 1 < static_cast<int>(widths_.size()) ? widths_[static_cast<size_t>(i - 1)] : 0;
    // (public through the view's base class, the tree's own override runs)
    const QAbstractItemView* view = list_;
    const int wanted = std::max(view->sizeHintForColumn(i), header_->sectionSizeHint(i)) + 12;
    list_->setColumnWidth(i, std::clamp(wanted, given, std::max(given, widest)));
  }
}

QTreeWidgetItem* CFileListCtrl::RowOf(const void* id) const {
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    if (IdOf(row) == id) return row;
  }
  return nullptr;
}

void CFileListCtrl::SyncChecks() {
  updating_ = true;
  const CStatisticsObj& selection = data_->selection();
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = list_->topLevelItem(i);
    const void* id = IdOf(row);
    const SelectionState* state = selection.table().Find(id);
    if (!state) continue;
    if (row->data(0, kFolderRole).toBool()) {
      const FolderCheck check = selection.FolderState(id);
      row->setCheckState(0, check == FolderCheck::kChecked   ? Qt::Checked
                            : check == FolderCheck::kPartial ? Qt::PartiallyChecked
                                                             : Qt::Unchecked);
      // An application whose files are all hidden has nothing to show.
      row->setHidden(state->counters.items > 0 && state->counters.hidden == state->counters.items);
    } else {
      row->setCheckState(0, state->ticked ? Qt::Checked : Qt::Unchecked);
      row->setHidden(state->hidden != 0);
    }
  }
  // The header box: over every item of the category.
  int items = 0, ticked = 0;
  for (const auto& [id, state] : selection.table().entries()) {
    if (state.folder || state.category != static_cast<int>(category_)) continue;
    ++items;
    ticked += state.ticked != 0;
  }
  header_->SetState(items > 0 && ticked == items ? Qt::Checked : ticked > 0 ? Qt::PartiallyChecked : Qt::Unchecked);
  updating_ = false;
}

void CFileListCtrl::OnItemChanged(QTreeWidgetItem* item, int column) {
  if (updating_ || column != 0) return;
  const void* id = IdOf(item);
  // A partly checked application box becomes checked on a click.
  data_->selection().SetTicked(id, item->checkState(0) != Qt::Unchecked);
  SyncChecks();
  emit selectionChanged();
}

void CFileListCtrl::TickAll(bool ticked) {
  if (!open_) return;
  data_->selection().SetCategoryTicked(category_, ticked);
  SyncChecks();
  emit selectionChanged();
}

void CFileListCtrl::SetFilter(bool on) {
  if (!open_) return;
  data_->SetDeletedOnly(category_, on);
  SyncChecks();
  emit selectionChanged();
}

}  // namespace orbanix::preview
