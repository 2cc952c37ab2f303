#include "sources/scan_plan.h"

#include <iterator>

#include "platform/text.h"
#include "sources/catalog.h"
#include "sources/media_sniffer.h"

namespace orbanix {

namespace {

template <typename T>
void Append(std::vector<T>& to, std::vector<T>& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

template <typename Record>
size_t CountDeleted(const std::vector<Record>& records) {
  size_t n = 0;
  for (const Record& r : records) n += r.deleted != 0;
  return n;
}

bool Ticked(const CategorySet& ticked, std::initializer_list<Category> any) {
  for (Category c : any)
    if (ticked.count(c)) return true;
  return false;
}

struct CliName {
  Category category;
  const char* name;
};
constexpr CliName kCliNames[] = {
    {Category::CameraRoll, "camera-roll"},       {Category::PhotoStream, "photo-stream"},
    {Category::AppPhotos, "app-photos"},         {Category::AppVideos, "app-videos"},
    {Category::Messages, "messages"},            {Category::MessageAtts, "message-attachments"},
    {Category::Contacts, "contacts"},            {Category::CallHistory, "call-history"},
    {Category::Notes, "notes"},                  {Category::WhatsApp, "whatsapp"},
    {Category::WhatsAppAtts, "whatsapp-attachments"}, {Category::Reminder, "reminders"},
    {Category::Calendar, "calendar"},            {Category::SafariBookmark, "safari-bookmarks"},
};

}  // namespace

void ScanResults::Clear() {
  std::lock_guard<std::mutex> guard(lock);
  cameraRoll.clear();
  photoStream.clear();
  appMedia.clear();
  appPhotos.clear();
  appVideos.clear();
  conversations.clear();
  messageAttachments.clear();
  contacts.clear();
  calls.clear();
  notes.clear();
  whatsApp.clear();
  whatsAppMedia.clear();
  reminders.clear();
  events.clear();
  safariBookmarks.clear();
  safariHistory.clear();
  qq.clear();
  weChat.clear();
}

bool IsAppVideo(const AppMediaItem& item) {
  // The lower-case extension of the name, looked up in the preview lists:
  // a video only when the image list does not claim it first.
  const size_t dot = item.name.rfind('.');
  if (dot == std::string::npos) return false;
  return PreviewKindOf(AsciiLower(item.name.substr(dot + 1))) == PreviewKind::Video;
}

CategoryCount CountCategory(const ScanResults& r, Category category) {
  CategoryCount c;
  auto files = [&c](size_t n) { c.items = c.records = n; };
  switch (category) {
    case Category::CameraRoll:
      files(r.cameraRoll.size());
      c.deleted = CountDeleted(r.cameraRoll);
      break;
    case Category::PhotoStream: files(r.photoStream.size()); break;
    case Category::MessageAtts: files(r.messageAttachments.size()); break;
    case Category::WhatsAppAtts: files(r.whatsAppMedia.size()); break;
    case Category::AppPhotos:
    case Category::AppVideos: {
      const auto& apps = category == Category::AppPhotos ? r.appPhotos : r.appVideos;
      size_t n = 0;
      for (const auto& [app, items] : apps) n += items.size();
      files(n);
      break;
    }
    case Category::Messages:
      c.items = r.conversations.size();
      for (const auto& [handle, messages] : r.conversations) {
        c.records += messages.size();
        c.deleted += CountDeleted(messages);
      }
      break;
    case Category::WhatsApp:
      c.items = r.whatsApp.size();
      for (const auto& [chat, messages] : r.whatsApp) {
        c.records += messages.size();
        c.deleted += CountDeleted(messages);
      }
      break;
    case Category::Contacts:
      c.items = c.records = r.contacts.size();
      c.deleted = CountDeleted(r.contacts);
      break;
    case Category::CallHistory:
      c.items = c.records = r.calls.size();
      c.deleted = CountDeleted(r.calls);
      break;
    case Category::Notes:
      c.items = c.records = r.notes.size();
      c.deleted = CountDeleted(r.notes);
      break;
    case Category::Reminder:
      c.items = c.records = r.reminders.size();
      c.deleted = CountDeleted(r.reminders);
      break;
    case Category::Calendar:
      c.items = c.records = r.events.size();
      c.deleted = CountDeleted(r.events);
      break;
    case Category::SafariBookmark:
      c.items = c.records = r.safariBookmarks.size() + r.safariHistory.size();
      c.deleted = CountDeleted(r.safariBookmarks) + CountDeleted(r.safariHistory);
      break;
    default: break;
  }
  return c;
}

std::vector<ScanStep> BuildScanPlan(IPhoneRecoveryParse& source, const CategorySet& ticked, ScanResults& results) {
  results.ticked = ticked;
  std::vector<ScanStep> plan;
  IPhoneRecoveryParse* s = &source;
  ScanResults* r = &results;
  if (Ticked(ticked, {Category::CameraRoll, Category::PhotoStream})) {
    // The photos are mostly waiting for files: the messages database is
    // carved beside them.
    const bool messagesLater = ticked.count(Category::Messages) != 0;
    plan.push_back({"photos", [s, r, messagesLater] {
      if (messagesLater) s->PrepareMessages();
      std::vector<MediaItem> roll, stream;
      const Status st = s->ScanPhotos(roll, stream);
      std::lock_guard<std::mutex> g(r->lock);
      if (r->ticked.count(Category::CameraRoll)) Append(r->cameraRoll, roll);
      if (r->ticked.count(Category::PhotoStream)) Append(r->photoStream, stream);
      return st;
    }});
  }
  if (ticked.count(Category::Messages)) {
    // The messages scan waits for its carve most of its time: the
    // operations after it that read other files begin beside it.
    AheadOperations ahead;
    ahead.messageAttachments = ticked.count(Category::MessageAtts) != 0;
    ahead.contacts = ticked.count(Category::Contacts) != 0;
    ahead.callHistory = ticked.count(Category::CallHistory) != 0;
    ahead.appMedia = Ticked(ticked, {Category::AppPhotos, Category::AppVideos, Category::WhatsAppAtts});
    plan.push_back({"messages", [s, r, ahead] {
      s->BeginAhead(ahead);
      ConversationMap found;
      const Status st = s->ScanMessages(found);
      std::lock_guard<std::mutex> g(r->lock);
      for (auto& [handle, messages] : found) {
        auto& into = r->conversations[handle];
        if (into.empty()) into = std::move(messages);
        else Append(into, messages);
      }
      return st;
    }, [s] { s->EndAhead(); }});
  }
  if (ticked.count(Category::MessageAtts)) {
    plan.push_back({"message attachments", [s, r] {
      std::vector<AttachmentFile> found;
      const Status st = s->ScanMessageAttachments(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->messageAttachments, found);
      return st;
    }});
  }
  if (ticked.count(Category::Contacts)) {
    plan.push_back({"contacts", [s, r] {
      std::vector<ContactRecord> found;
      const Status st = s->ScanContacts(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->contacts, found);
      return st;
    }});
  }
  if (ticked.count(Category::CallHistory)) {
    plan.push_back({"call history", [s, r] {
      std::vector<CallRecord> found;
      const Status st = s->ScanCallHistory(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->calls, found);
      return st;
    }});
  }
  if (ticked.count(Category::Notes)) {
    plan.push_back({"notes", [s, r] {
      std::vector<NoteRecord> found;
      const Status st = s->ScanNotes(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->notes, found);
      return st;
    }});
  }
  // WhatsApp attachments are set aside by the application-media walk, so the
  // walk also runs when only they are ticked (its other files stay hidden).
  if (Ticked(ticked, {Category::AppPhotos, Category::AppVideos, Category::WhatsAppAtts})) {
    plan.push_back({"application media", [s, r] {
      std::vector<AppMediaItem> found;
      const Status st = s->ScanAppMedia(found);
      std::lock_guard<std::mutex> g(r->lock);
      for (const AppMediaItem& item : found) {
        const bool video = IsAppVideo(item);
        if (video && r->ticked.count(Category::AppVideos)) r->appVideos[item.appName].push_back(item);
        if (!video && r->ticked.count(Category::AppPhotos)) r->appPhotos[item.appName].push_back(item);
      }
      Append(r->appMedia, found);
      return st;
    }});
  }
  if (ticked.count(Category::WhatsApp)) {
    plan.push_back({"WhatsApp", [s, r] {
      WhatsAppChatMap found;
      const Status st = s->ScanWhatsApp(found);
      std::lock_guard<std::mutex> g(r->lock);
      for (auto& [chat, messages] : found) Append(r->whatsApp[chat], messages);
      return st;
    }});
  }
  if (ticked.count(Category::WhatsAppAtts)) {
    plan.push_back({"WhatsApp attachments", [s, r] {
      std::vector<MediaItem> found;
      const Status st = s->ScanWhatsAppAttachments(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->whatsAppMedia, found);
      return st;
    }});
  }
  if (ticked.count(Category::Reminder)) {
    plan.push_back({"reminders", [s, r] {
      std::vector<ReminderRecord> found;
      const Status st = s->ScanReminders(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->reminders, found);
      return st;
    }});
  }
  if (ticked.count(Category::Calendar)) {
    plan.push_back({"calendar", [s, r] {
      std::vector<CalendarEventRecord> found;
      const Status st = s->ScanCalendar(found);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->events, found);
      return st;
    }});
  }
  if (ticked.count(Category::SafariBookmark)) {
    plan.push_back({"Safari", [s, r] {
      std::vector<SafariBookmarkRecord> bookmarks;
      std::vector<SafariHistoryRecord> history;
      const Status st = s->ScanSafari(bookmarks, history);
      std::lock_guard<std::mutex> g(r->lock);
      Append(r->safariBookmarks, bookmarks);
      Append(r->safariHistory, history);
      return st;
    }});
  }
  return plan;
}

void AddChatAppSteps(IPhoneRecoveryParse& source, bool qq, bool weChat, ScanResults& results,
                     std::vector<ScanStep>& plan) {
  IPhoneRecoveryParse* s = &source;
  ScanResults* r = &results;
  auto merge = [](ChatAccountMap& into, ChatAccountMap& found) {
    for (auto& [account, chats] : found) into[account] = std::move(chats);
  };
  if (qq) {
    plan.push_back({"QQ", [s, r, merge] {
      ChatAccountMap found;
      const Status st = s->ScanQQ(found);
      std::lock_guard<std::mutex> g(r->lock);
      merge(r->qq, found);
      return st;
    }});
  }
  if (weChat) {
    plan.push_back({"WeChat", [s, r, merge] {
      ChatAccountMap found;
      const Status st = s->ScanWeChat(found);
      std::lock_guard<std::mutex> g(r->lock);
      merge(r->weChat, found);
      return st;
    }});
  }
}

CategoryCount CountChatAccounts(const ChatAccountMap& accounts) {
  CategoryCount c;
  for (const auto& [account, chats] : accounts) {
    c.items += chats.size();
    for (const auto& [chat, messages] : chats) {
      c.records += messages.size();
      c.deleted += CountDeleted(messages);
    }
  }
  return c;
}

const char* CategoryCliName(Category category) {
  for (const CliName& n : kCliNames)
    if (n.category == category) return n.name;
  return "unknown";
}

bool CategoryFromCliName(const std::string& name, Category& category) {
  for (const CliName& n : kCliNames) {
    if (name == n.name) {
      category = n.category;
      return true;
    }
  }
  return false;
}

}  // namespace orbanix
