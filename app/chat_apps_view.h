// The chats of QQ and WeChat on the scan page. They are no category of the
// selection: this view lists one application's chats (account, partner,
// messages, last message) with a tick each, shows the chat under the
// cursor in the preview panel as bubbles, and gives the ticked chats to
// the recovery, which writes each through the source's chat text export.
#pragma once

#include <QObject>
#include <QTreeWidget>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "export/chat_apps_output.h"

namespace orbanix::preview {
class CPreviewPanel;
}

namespace orbanix::app {

class CChatAppsView : public QObject {
  Q_OBJECT
 public:
  CChatAppsView(QTreeWidget* list, preview::CPreviewPanel* panel, QObject* parent = nullptr);

  // The scan's chats (read under the results' lock by the caller's
  // promise that no operation writes them while this view shows them:
  // each is filled once, when its operation ends). Everything starts ticked.
  void SetChats(const ChatAccountMap* qq, const ChatAccountMap* weChat);
  void Clear();

  // Lists the chats of one application.
  void Open(ChatApp app);
  ChatApp open() const { return app_; }

  int ChatCount(ChatApp app) const;
  // Ticked chats of both applications.
  int TickedCount() const;
  std::vector<ChatAppJob> TickedJobs() const;
  bool Ticked(ChatApp app, const std::string& account, const std::string& chat) const;

  QTreeWidget* list() const { return list_; }

 signals:
  void tickedChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  using Key = std::tuple<int, std::string, std::string>;
  const ChatAccountMap* Accounts(ChatApp app) const { return app == ChatApp::kQQ ? qq_ : weChat_; }
  void ShowChat(QTreeWidgetItem* row);

  QTreeWidget* list_;
  preview::CPreviewPanel* panel_;
  const ChatAccountMap* qq_ = nullptr;
  const ChatAccountMap* weChat_ = nullptr;
  ChatApp app_ = ChatApp::kQQ;
  std::set<Key> unticked_;
  bool updating_ = false;
};

}  // namespace orbanix::app
