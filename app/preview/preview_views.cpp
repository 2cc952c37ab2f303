#include "app/preview/preview_views.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "app/preview/file_list_ctrl.h"
#include "app/preview/file_tree_ctrl.h"
#include "app/preview/media_preview.h"
#include "app/preview/preview_panel.h"
#include "app/preview/preview_texts.h"
#include "app/preview/print_wnd.h"
#include "export/organizer_documents.h"
#include "app/preview/recover_process_wnd.h"
#include "export/names.h"
#include "extractors/notestore_crypto.h"
#include "export/source_output.h"

namespace orbanix::preview {

namespace {

// The detail lines and, for a row recovered from free space, where it lay
// in its database.
std::vector<std::pair<std::string, std::string>> WithRecoveredFrom(
    std::vector<std::pair<std::string, std::string>> lines, const RecoveredFrom& from) {
  if (from.Known()) {
    lines.emplace_back(Text("Preview", "RecoveredFrom", QStringLiteral("Recovered from:")).toStdString(),
                       RecoveredFromText(from));
  }
  return lines;
}

template <typename T>
T* Find(QWidget* root, const char* name) {
  return root->findChild<T*>(QString::fromLatin1(name));
}

bool IsMediaCategory(Category c) {
  switch (c) {
    case Category::CameraRoll:
    case Category::PhotoStream:
    case Category::AppPhotos:
    case Category::AppVideos:
    case Category::MessageAtts:
    case Category::WhatsAppAtts: return true;
    default: return false;
  }
}

bool Printable(Category c) {
  return c == Category::Messages || c == Category::Contacts || c == Category::CallHistory || c == Category::Notes ||
         c == Category::WhatsApp || c == Category::Reminder || c == Category::Calendar ||
         c == Category::SafariBookmark;
}

}  // namespace

PreviewControls FindPreviewControls(QWidget* root) {
  PreviewControls c;
  c.nodeTree = Find<QTreeWidget>(root, "NodeTree");
  c.dataList = Find<QTreeWidget>(root, "DataList");
  c.backAppDir = Find<QPushButton>(root, "BtnBackAppDir");
  c.filterToolBar = Find<QWidget>(root, "FilterToolBar");
  c.filter = Find<QCheckBox>(root, "OptOnOffFilter");
  c.filterCount = Find<QLabel>(root, "LblFilterCount");
  c.print = Find<QPushButton>(root, "BtnPrint");
  c.previewSwitch = Find<QCheckBox>(root, "OptOnOffPreview");
  c.previewPanel = Find<QFrame>(root, "PreviewLayout");
  c.previewEdit = Find<QTextEdit>(root, "PreviewEdit");
  c.messagesList = Find<QListWidget>(root, "MessagesList");
  c.statistics = Find<QLabel>(root, "LblStatistics");
  c.recover = Find<QPushButton>(root, "BtnRecovery");
  c.jsonExport = Find<QCheckBox>(root, "ChkJsonExport");
  c.window = root;
  return c;
}

CPreviewViews::CPreviewViews(const PreviewControls& controls, QObject* parent) : QObject(parent), c_(controls) {
  tree_ = new CFileTreeCtrl(c_.nodeTree, this);
  list_ = new CFileListCtrl(c_.dataList, c_.backAppDir, &data_, this);
  panel_ = new CPreviewPanel(c_.previewPanel, c_.previewEdit, c_.messagesList, this);
  media_ = new CMediaPreview(panel_, c_.window, this);
  printFolder_ = std::filesystem::path(QDir::tempPath().toStdString()) / "orbanix-print";

  connect(tree_, &CFileTreeCtrl::categoryOpened, this, [this](int c) { OpenCategory(static_cast<Category>(c)); });
  connect(list_, &CFileListCtrl::itemClicked, this,
          [this](int category, const void* id) { Preview(static_cast<Category>(category), id); });
  connect(list_, &CFileListCtrl::selectionChanged, this, [this] {
    RefreshFilterCount();
    RefreshStatistics();
  });
  if (c_.filter) connect(c_.filter, &QCheckBox::toggled, this, &CPreviewViews::SetFilter);
  if (c_.print) connect(c_.print, &QPushButton::clicked, this, &CPreviewViews::Print);
  if (c_.previewSwitch && c_.previewPanel) {
    connect(c_.previewSwitch, &QCheckBox::toggled, this, [this](bool on) {
      c_.previewPanel->setVisible(on);
      if (!on) panel_->StopPlayback();
    });
  }
  if (c_.filterCount) c_.filterCount->hide();
  RefreshStatistics();
}

CPreviewViews::~CPreviewViews() = default;

void CPreviewViews::Start(ScanResults* results, IPhoneRecoveryParse* source,
                          const std::array<bool, kCategoryCount>& ticked, bool buildTree) {
  shown_ = nullptr;
  panel_->Clear();
  list_->Clear();
  data_.Reset(results, source);
  media_->SetSource(source);
  open_ = false;
  extraTicked_ = 0;
  extraRecovery_ = nullptr;
  if (buildTree) {
    tree_->Build(ticked);
  } else {
    tree_->Attach();
  }
  if (c_.filter) {
    QSignalBlocker block(c_.filter);
    c_.filter->setChecked(false);
  }
  RefreshFilterCount();
  RefreshStatistics();
}

void CPreviewViews::CategoriesReady(const std::vector<int>& categories) {
  bool any = false;
  for (int c : categories) any |= data_.AddCategory(static_cast<Category>(c));
  if (!any) return;
  tree_->UpdateCounts(data_);
  if (open_) list_->Refresh();
  RefreshStatistics();
}

void CPreviewViews::AllReady() {
  std::vector<int> all;
  for (int c = 1; c <= kDataCategoryCount; ++c) all.push_back(c);
  CategoriesReady(all);
  tree_->UpdateCounts(data_);
}

void CPreviewViews::SetScanning(bool scanning) {
  scanning_ = scanning;
  RefreshStatistics();
}

void CPreviewViews::Reset() {
  shown_ = nullptr;
  panel_->Clear();
  list_->Clear();
  media_->SetSource(nullptr);
  data_.Reset(nullptr, nullptr);
  open_ = false;
  extraTicked_ = 0;
  extraRecovery_ = nullptr;
  RefreshStatistics();
}

void CPreviewViews::OpenCategory(Category category) {
  open_ = true;
  shown_ = nullptr;
  panel_->Clear();
  media_->Reset();
  const bool deletedOnly = tree_->Mark(category) == QLatin1Char('D');
  if (data_.DeletedOnly(category) != deletedOnly) data_.SetDeletedOnly(category, deletedOnly);
  if (c_.filter) {
    QSignalBlocker block(c_.filter);
    c_.filter->setChecked(deletedOnly);
  }
  // Photos, videos and attachments carry no deleted state and print nothing.
  const bool records = !IsMediaCategory(category);
  if (c_.filter) c_.filter->setVisible(records);
  if (c_.print) c_.print->setVisible(Printable(category));
  if (c_.filterToolBar) c_.filterToolBar->setVisible(records || Printable(category));
  switch (category) {
    case Category::Messages:
    case Category::WhatsApp: panel_->SetMode(CPreviewPanel::Mode::kMessages); break;
    case Category::Contacts: panel_->SetMode(CPreviewPanel::Mode::kContact); break;
    default: panel_->SetMode(CPreviewPanel::Mode::kText); break;
  }
  list_->Open(category);
  RefreshFilterCount();
  RefreshStatistics();
  emit categoryOpened(static_cast<int>(category));
}

void CPreviewViews::CloseCategory() {
  open_ = false;
  shown_ = nullptr;
  panel_->Clear();
  media_->Reset();
  if (c_.filter) c_.filter->setVisible(false);
  if (c_.print) c_.print->setVisible(false);
  if (c_.filterCount) c_.filterCount->setVisible(false);
}

void CPreviewViews::OfferUnlock(const NoteRecord& note) {
  if (note.locked && LockedWithPasscode(*note.locked)) {
    // No password opens it: its key stays in the phone's keychain.
    Ask(c_.window, AskKind::kError,
        Text("Preview", "LockedNotePasscode",
             QStringLiteral("This note was locked with the phone's passcode. Its key is kept by the phone itself, "
                            "not in the backup, so it cannot be opened here.")));
    return;
  }
  QString text = Text("Preview", "LockedNoteAsk", QStringLiteral("This note is locked. Password of the locked notes:"));
  if (note.locked && !note.locked->hint.empty()) {
    text += QStringLiteral("\n") + FormatText(Text("Preview", "LockedNoteHint", QStringLiteral("Hint: %s")),
                                               {QString::fromStdString(note.locked->hint)});
  }
  QString typed;
  if (!AskPassword(c_.window, text, typed)) return;
  std::string password = typed.toStdString();
  typed.fill(QChar(0));
  // The records belong to the scan's results, which this view was given to
  // show and to change: opening a note replaces its body in place.
  NoteRecord& target = const_cast<NoteRecord&>(note);
  const Status st = UnlockNote(target, password);
  if (st == status::kOk) {
    // The Notes app has one password for all locked notes of an account:
    // open the others too.
    if (auto* all = const_cast<std::vector<NoteRecord>*>(data_.records().notes)) UnlockNotes(*all, password);
    // The list shows the opened notes' titles and text at once.
    list_->RefreshNoteTexts();
  } else if (st == status::kWrongPassword) {
    Ask(c_.window, AskKind::kError,
        Text("Preview", "LockedNoteWrong", QStringLiteral("The password is wrong. The note stays locked.")));
  } else {
    Ask(c_.window, AskKind::kError,
        Text("Preview", "LockedNoteDamaged",
             QStringLiteral("This note cannot be opened: its lock is damaged or of a kind this program cannot open.")));
  }
  std::fill(password.begin(), password.end(), '\0');
}

void CPreviewViews::Preview(Category category, const void* id) {
  const RecoveryRecords& r = data_.records();
  shown_ = id;
  switch (category) {
    case Category::Notes:
      if (auto* n = ElementOf(r.notes, id)) {
        if (n->lock == NoteLock::kLocked) OfferUnlock(*n);
        panel_->ShowNote(*n);
      }
      break;
    case Category::Contacts:
      if (auto* c = ElementOf(r.contacts, id)) panel_->ShowContact(*c);
      break;
    case Category::Reminder:
      if (auto* m = ElementOf(r.reminders, id)) {
        panel_->ShowDetail(WithRecoveredFrom(ReminderDetail(*m), m->recoveredFrom), m->deleted != 0);
      }
      break;
    case Category::Calendar:
      if (auto* e = ElementOf(r.events, id)) {
        panel_->ShowDetail(WithRecoveredFrom(EventDetail(*e), e->recoveredFrom), e->deleted != 0);
      }
      break;
    case Category::SafariBookmark:
      if (auto* b = ElementOf(r.safariBookmarks, id)) {
        panel_->ShowDetail(WithRecoveredFrom(BookmarkDetail(*b), b->recoveredFrom), b->deleted != 0);
      } else if (auto* h = ElementOf(r.safariHistory, id)) {
        panel_->ShowDetail(WithRecoveredFrom(HistoryDetail(*h), h->recoveredFrom), h->deleted != 0);
      }
      break;
    case Category::Messages:
      if (auto* m = ElementOf(r.conversationRows, id)) panel_->ShowConversation(data_.Conversation(m->handleId));
      break;
    case Category::WhatsApp:
      if (auto* m = ElementOf(r.chatRows, id)) panel_->ShowChat(data_.Chat(m->chatId));
      break;
    case Category::CallHistory:
      // The texts of the call's row, so the detail says what the list says.
      if (auto* c = ElementOf(r.calls, id); c && list_->RowOf(id)) {
        const QTreeWidgetItem* row = list_->RowOf(id);
        auto caption = [](const char* key, const char* text) {
          return Text("PageScan", key, QString::fromLatin1(text)).toStdString();
        };
        // A number without a contact says so rather than showing nothing.
        const std::string name = !c->name.empty() ? c->name : caption("CallNoName", "(not in the contacts)");
        panel_->ShowDetail(WithRecoveredFrom({{caption("CallName", "Name:"), name},
                                              {caption("CallNumber", "Phone Number:"), c->address},
                                              {caption("CallDate", "Date:"), c->date},
                                              {caption("CallType", "Type:"), row->text(4).toStdString()},
                                              {caption("CallDuration", "Duration:"), row->text(5).toStdString()},
                                              {caption("CallState", "Status:"), row->text(6).toStdString()}},
                                             c->recoveredFrom),
                           c->deleted != 0);
      }
      break;
    case Category::CameraRoll:
    case Category::PhotoStream:
    case Category::WhatsAppAtts: {
      const std::vector<MediaItem>* items =
          category == Category::CameraRoll ? r.cameraRoll : category == Category::PhotoStream ? r.photoStream : r.whatsAppMedia;
      if (auto* m = ElementOf(items, id)) media_->Preview(m->path, QString::fromStdString(m->name), m->size);
      break;
    }
    case Category::MessageAtts:
      if (auto* m = ElementOf(r.attachments, id)) media_->Preview(m->path, QString::fromStdString(m->name), m->size);
      break;
    case Category::AppPhotos:
    case Category::AppVideos:
      if (list_->openApp()) {
        const auto* items = static_cast<const std::vector<AppMediaItem>*>(list_->openApp());
        if (auto* m = ElementOf(items, id)) media_->Preview(m->path, QString::fromStdString(m->name), m->size);
      }
      break;
    default: break;
  }
}

void CPreviewViews::SetFilter(bool on) {
  if (!open_) return;
  tree_->SetMark(list_->category(), on);
  list_->SetFilter(on);
  // A record the filter has just hidden leaves the panel as well.
  if (const SelectionState* entry = shown_ ? data_.selection().table().Find(shown_) : nullptr; entry && entry->hidden) {
    panel_->Clear();
    shown_ = nullptr;
  }
  RefreshFilterCount();
  RefreshStatistics();
}

void CPreviewViews::RefreshFilterCount() {
  if (!c_.filterCount) return;
  const bool on = open_ && data_.DeletedOnly(list_->category());
  c_.filterCount->setVisible(on);
  if (on) {
    // What the list shows, of how many: the hidden ones are not gone.
    const int hidden = data_.selection().HiddenCount(list_->category());
    int items = 0;
    for (const auto& [id, state] : data_.selection().table().entries()) {
      if (!state.folder && state.category == static_cast<int>(list_->category())) ++items;
    }
    c_.filterCount->setText(FormatText(Text("PageScan", "FilterCountFormat", QStringLiteral("Showing %d deleted of %d")),
                                       {items - hidden, items}));
  }
}

void CPreviewViews::RefreshStatistics() {
  const SelectionStatistics s = data_.selection().Statistics();
  if (c_.statistics) {
    const QString none = QStringLiteral("0 MB");
    const QString format = Message("MSG0513", QStringLiteral("You select %s in %d item(s) of %s in %d item(s)"));
    QString line = FormatText(format, {s.totalCount ? SizeString(s.tickedSize) : none, std::max(s.tickedCount, 0),
                                       s.totalCount ? SizeString(s.totalSize) : none, s.totalCount});
    // Ticked items that the deleted-only filter hides are not recovered:
    // the line says so rather than letting the count drop unexplained.
    int tickedHidden = 0;
    for (const auto& [id, state] : data_.selection().table().entries()) {
      if (!state.folder && state.ticked && state.hidden) ++tickedHidden;
    }
    if (tickedHidden > 0) {
      line += QLatin1Char(' ') + FormatText(Text("PageScan", "StatisticsHidden",
                                                 QStringLiteral("(%d ticked item(s) hidden by the filter are left out)")),
                                            {tickedHidden});
    }
    c_.statistics->setText(line);
  }
  if (c_.recover) c_.recover->setEnabled(!scanning_ && (data_.selection().RecoverEnabled() || extraTicked_ > 0));
}

void CPreviewViews::Print() {
  if (!open_) return;
  CPrintWnd::Request request;
  request.selection = &data_.selection();
  request.records = data_.records();
  request.category = list_->category();
  request.deletedOnly = data_.DeletedOnly(list_->category());
  request.pageFolder = printFolder_;
  CPrintWnd window(request, c_.window);
  window.exec();
}

int CPreviewViews::Recover(const QString& folder) {
  if (folder.isEmpty() || !data_.source()) return 2;
  std::error_code ec;
  fs::path root = fs::absolute(fs::path(folder.toStdString()), ec).lexically_normal();
  if (!root.has_filename()) root = root.parent_path();
  if (!backupFolder_.empty()) {
    const fs::path backup = fs::absolute(backupFolder_, ec).lexically_normal();
    // The backup is only ever read.
    if (root == backup || IsInsideFolder(backup, root)) {
      Ask(c_.window, AskKind::kError,
          Text("PageScan", "OutputInsideBackup", QStringLiteral("Please choose a folder outside the backup folder.")));
      return 2;
    }
  }
  panel_->StopPlayback();
  RecoveryOptions options;
  options.outputRoot = root;
  options.templateFolder = templateFolder_;
  options.deviceName = deviceName_;
  options.jsonLines = c_.jsonExport && c_.jsonExport->isChecked();
  CRecoverProcessWnd window(data_.selection(), data_.records(), OutputSourceOf(*data_.source()), options, c_.window);
  if (extraRecovery_ && extraTicked_ > 0) window.SetAfterwards(extraRecovery_);
  return window.Run();
}

// ---------------------------------------------------------------- host

CPreviewHost::CPreviewHost(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("PageScan"));
  resize(1000, 600);
  auto* page = new QHBoxLayout(this);
  page->setContentsMargins(0, 0, 0, 0);
  page->setSpacing(0);
  auto* tree = new QTreeWidget(this);
  tree->setObjectName(QStringLiteral("NodeTree"));
  tree->setHeaderHidden(true);
  tree->setIconSize(QSize(18, 18));
  tree->setIndentation(14);
  tree->setFixedWidth(220);
  page->addWidget(tree);

  auto* right = new QVBoxLayout;
  right->setSpacing(0);
  auto* toolbar = new QHBoxLayout;
  toolbar->setContentsMargins(10, 6, 10, 6);
  auto* back = new QPushButton(Text("PageScan", "BtnBackAppDir", QStringLiteral("Back")), this);
  back->setObjectName(QStringLiteral("BtnBackAppDir"));
  toolbar->addWidget(back);
  auto* filterBar = new QWidget(this);
  filterBar->setObjectName(QStringLiteral("FilterToolBar"));
  auto* filterBox = new QHBoxLayout(filterBar);
  filterBox->setContentsMargins(0, 0, 0, 0);
  auto* filter = new QCheckBox(Text("PageScan", "OptOnOffFilter", QStringLiteral("Only display the deleted items")), filterBar);
  filter->setObjectName(QStringLiteral("OptOnOffFilter"));
  auto* count = new QLabel(Text("PageScan", "LblFilterCount", QStringLiteral("Showing 0 deleted of 0")), filterBar);
  count->setObjectName(QStringLiteral("LblFilterCount"));
  auto* print = new QPushButton(Text("PageScan", "BtnPrint", QStringLiteral("Print")), filterBar);
  print->setObjectName(QStringLiteral("BtnPrint"));
  filterBox->addWidget(filter);
  filterBox->addWidget(count);
  filterBox->addWidget(print);
  toolbar->addWidget(filterBar);
  toolbar->addStretch(1);
  auto* previewSwitch = new QCheckBox(Text("PageScan", "OptOnOffPreview", QStringLiteral("Preview")), this);
  previewSwitch->setObjectName(QStringLiteral("OptOnOffPreview"));
  previewSwitch->setChecked(true);
  toolbar->addWidget(previewSwitch);
  right->addLayout(toolbar);

  auto* middle = new QHBoxLayout;
  middle->setSpacing(0);
  auto* list = new QTreeWidget(this);
  list->setObjectName(QStringLiteral("DataList"));
  middle->addWidget(list, 1);
  auto* panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("PreviewLayout"));
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFixedWidth(240);
  auto* panelBox = new QVBoxLayout(panel);
  panelBox->setContentsMargins(0, 0, 0, 0);
  auto* edit = new QTextEdit(panel);
  edit->setObjectName(QStringLiteral("PreviewEdit"));
  edit->setReadOnly(true);
  auto* messages = new QListWidget(panel);
  messages->setObjectName(QStringLiteral("MessagesList"));
  panelBox->addWidget(edit);
  panelBox->addWidget(messages);
  middle->addWidget(panel);
  right->addLayout(middle, 1);

  auto* bottom = new QHBoxLayout;
  bottom->setContentsMargins(10, 8, 10, 8);
  auto* statistics = new QLabel(this);
  statistics->setObjectName(QStringLiteral("LblStatistics"));
  auto* recover = new QPushButton(Text("PageScan", "BtnRecovery", QStringLiteral("Recover")), this);
  recover->setObjectName(QStringLiteral("BtnRecovery"));
  auto* json = new QCheckBox(Text("PageScan", "ChkJsonExport", QStringLiteral("Also as JSON Lines")), this);
  json->setObjectName(QStringLiteral("ChkJsonExport"));
  bottom->addWidget(statistics, 1);
  bottom->addWidget(json);
  bottom->addWidget(recover);
  right->addLayout(bottom);
  page->addLayout(right, 1);

  controls_ = FindPreviewControls(this);
  views_ = new CPreviewViews(controls_, this);
  connect(recover, &QPushButton::clicked, this, [this] {
    const QString folder = QFileDialog::getExistingDirectory(
        this, Message("MSG0509", QStringLiteral("Choose the folder to save the recovered files in.")), QString(),
        QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) views_->Recover(folder);
  });
}

}  // namespace orbanix::preview
