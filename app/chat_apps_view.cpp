#include "app/chat_apps_view.h"

#include <QHeaderView>
#include <QKeyEvent>

#include "app/preview/preview_panel.h"
#include "app/texts.h"

namespace orbanix::app {

namespace {

constexpr int kAccountRole = Qt::UserRole;
constexpr int kChatRole = Qt::UserRole + 1;
constexpr const char* kDeletedColour = "#F37302";

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString Flat(const std::string& s) {
  QString t = Q(s);
  t.replace(QLatin1Char('\n'), QLatin1Char(' '));
  t.replace(QLatin1Char('\r'), QLatin1Char(' '));
  return t;
}

}  // namespace

CChatAppsView::CChatAppsView(QTreeWidget* list, preview::CPreviewPanel* panel, QObject* parent)
    : QObject(parent), list_(list), panel_(panel) {
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setHeaderLabels({QString(), Text("PageScan", "ColAccount", QStringLiteral("Account")),
                          Text("PageScan", "ColChat", QStringLiteral("Chat")),
                          Text("PageScan", "ColMessages", QStringLiteral("Messages")),
                          Text("PageScan", "ColDate", QStringLiteral("Date")),
                          Text("PageScan", "ColMessage", QStringLiteral("Message"))});
  list_->header()->setStretchLastSection(true);
  list_->setColumnWidth(0, 24);
  connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* row) {
    if (!updating_ && row) ShowChat(row);
  });
  connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* row, int column) {
    if (updating_ || column != 0) return;
    const Key key{static_cast<int>(app_), row->data(0, kAccountRole).toString().toStdString(),
                  row->data(0, kChatRole).toString().toStdString()};
    if (row->checkState(0) == Qt::Checked) {
      unticked_.erase(key);
    } else {
      unticked_.insert(key);
    }
    emit tickedChanged();
  });
  list_->installEventFilter(this);
}

bool CChatAppsView::eventFilter(QObject* watched, QEvent* event) {
  // Space ticks or unticks the current chat, as in the other lists.
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space &&
      static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
    if (QTreeWidgetItem* row = list_->currentItem()) {
      row->setCheckState(0, row->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    }
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void CChatAppsView::SetChats(const ChatAccountMap* qq, const ChatAccountMap* weChat) {
  qq_ = qq;
  weChat_ = weChat;
}

void CChatAppsView::Clear() {
  updating_ = true;
  list_->clear();
  updating_ = false;
  unticked_.clear();
  qq_ = nullptr;
  weChat_ = nullptr;
}

void CChatAppsView::Open(ChatApp app) {
  app_ = app;
  updating_ = true;
  list_->clear();
  if (const ChatAccountMap* accounts = Accounts(app)) {
    for (const auto& [account, chats] : *accounts) {
      for (const auto& [chat, messages] : chats) {
        auto* row = new QTreeWidgetItem(list_);
        row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        row->setData(0, kAccountRole, Q(account));
        row->setData(0, kChatRole, Q(chat));
        row->setCheckState(0, Ticked(app, account, chat) ? Qt::Checked : Qt::Unchecked);
        row->setSizeHint(0, QSize(24, 30));
        const PeerChatRecord* last = messages.empty() ? nullptr : &messages.back();
        row->setText(1, Q(account));
        row->setText(2, Q(chat));
        row->setText(3, QString::number(messages.size()));
        row->setText(4, last ? Q(last->date) : QString());
        row->setText(5, last ? Flat(last->text) : QString());
        for (int c = 1; c <= 5; ++c) row->setToolTip(c, row->text(c));
        if (last && last->deleted) {
          for (int c = 0; c <= 5; ++c) row->setForeground(c, QColor(QString::fromLatin1(kDeletedColour)));
        }
      }
    }
  }
  for (int c = 1; c <= 4; ++c) list_->resizeColumnToContents(c);
  updating_ = false;
}

void CChatAppsView::ShowChat(QTreeWidgetItem* row) {
  const ChatAccountMap* accounts = Accounts(app_);
  if (!accounts || !panel_) return;
  const std::string account = row->data(0, kAccountRole).toString().toStdString();
  const std::string chat = row->data(0, kChatRole).toString().toStdString();
  const auto a = accounts->find(account);
  if (a == accounts->end()) return;
  const auto c = a->second.find(chat);
  if (c == a->second.end()) return;
  // The bubbles of the preview: the partner's messages under the chat's
  // name, one's own as "Me".
  std::vector<ChatMessageRecord> bubbles;
  bubbles.reserve(c->second.size());
  for (const PeerChatRecord& m : c->second) {
    ChatMessageRecord b;
    b.deleted = m.deleted;
    b.fromMe = m.incoming ? 0 : 1;
    b.date = m.date;
    b.text = m.text;
    b.senderName = m.incoming ? chat : std::string("Me");
    b.chatTitle = chat;
    bubbles.push_back(std::move(b));
  }
  panel_->ShowChat(bubbles);
}

int CChatAppsView::ChatCount(ChatApp app) const {
  int n = 0;
  if (const ChatAccountMap* accounts = Accounts(app)) {
    for (const auto& [account, chats] : *accounts) n += static_cast<int>(chats.size());
  }
  return n;
}

bool CChatAppsView::Ticked(ChatApp app, const std::string& account, const std::string& chat) const {
  return unticked_.count(Key{static_cast<int>(app), account, chat}) == 0;
}

int CChatAppsView::TickedCount() const { return static_cast<int>(TickedJobs().size()); }

std::vector<ChatAppJob> CChatAppsView::TickedJobs() const {
  std::vector<ChatAppJob> jobs;
  for (ChatApp app : {ChatApp::kQQ, ChatApp::kWeChat}) {
    if (const ChatAccountMap* accounts = Accounts(app)) {
      for (const ChatAppJob& job : ChatAppJobs(app, *accounts)) {
        if (Ticked(app, job.account, job.chat)) jobs.push_back(job);
      }
    }
  }
  return jobs;
}

}  // namespace orbanix::app
