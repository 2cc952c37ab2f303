#include "app/preview/preview_data.h"

#include <mutex>

namespace orbanix::preview {

void PreviewData::Reset(ScanResults* results, IPhoneRecoveryParse* source) {
  results_ = results;
  source_ = source;
  conversationRows_.clear();
  chatRows_.clear();
  records_ = RecoveryRecords{};
  selection_.Clear();
  added_.fill(false);
  deletedOnly_.fill(false);
}

bool PreviewData::AddCategory(Category category) {
  if (!results_ || !HoldsData(category) || added_[Index(category)]) return false;
  std::lock_guard<std::mutex> guard(results_->lock);
  if (!results_->ticked.count(category)) return false;
  ScanResults& r = *results_;
  // Only this category's container is set, so SelectAll adds just its items.
  RecoveryRecords one;
  switch (category) {
    case Category::CameraRoll: one.cameraRoll = records_.cameraRoll = &r.cameraRoll; break;
    case Category::PhotoStream: one.photoStream = records_.photoStream = &r.photoStream; break;
    case Category::AppPhotos: one.appPhotos = records_.appPhotos = &r.appPhotos; break;
    case Category::AppVideos: one.appVideos = records_.appVideos = &r.appVideos; break;
    case Category::Messages:
      conversationRows_ = ConversationRows(r.conversations);
      records_.conversations = &r.conversations;
      one.conversationRows = records_.conversationRows = &conversationRows_;
      break;
    case Category::MessageAtts: one.attachments = records_.attachments = &r.messageAttachments; break;
    case Category::Contacts: one.contacts = records_.contacts = &r.contacts; break;
    case Category::CallHistory: one.calls = records_.calls = &r.calls; break;
    case Category::Notes: one.notes = records_.notes = &r.notes; break;
    case Category::WhatsApp:
      chatRows_ = ChatRows(r.whatsApp);
      records_.chats = &r.whatsApp;
      one.chatRows = records_.chatRows = &chatRows_;
      break;
    case Category::WhatsAppAtts: one.whatsAppMedia = records_.whatsAppMedia = &r.whatsAppMedia; break;
    case Category::Reminder: one.reminders = records_.reminders = &r.reminders; break;
    case Category::Calendar: one.events = records_.events = &r.events; break;
    case Category::SafariBookmark:
      one.safariBookmarks = records_.safariBookmarks = &r.safariBookmarks;
      one.safariHistory = records_.safariHistory = &r.safariHistory;
      break;
    default: return false;
  }
  SelectAll(selection_, one);
  added_[Index(category)] = true;
  // A category opened with its filter on before its records came keeps it.
  if (deletedOnly_[Index(category)]) selection_.SetDeletedOnly(category, true);
  return true;
}

void PreviewData::AddAll() {
  for (int c = 1; c <= kDataCategoryCount; ++c) AddCategory(static_cast<Category>(c));
}

int PreviewData::ItemCount(Category category) const {
  if (!results_ || !added_[Index(category)]) return 0;
  std::lock_guard<std::mutex> guard(results_->lock);
  return static_cast<int>(CountCategory(*results_, category).items);
}

const std::vector<MessageRecord>& PreviewData::Conversation(int64_t handleId) const {
  static const std::vector<MessageRecord> kNone;
  if (!records_.conversations) return kNone;
  const auto it = records_.conversations->find(handleId);
  return it == records_.conversations->end() ? kNone : it->second;
}

const std::vector<ChatMessageRecord>& PreviewData::Chat(int chatId) const {
  static const std::vector<ChatMessageRecord> kNone;
  if (!records_.chats) return kNone;
  const auto it = records_.chats->find(chatId);
  return it == records_.chats->end() ? kNone : it->second;
}

int PreviewData::SetDeletedOnly(Category category, bool on) {
  deletedOnly_[Index(category)] = on;
  return selection_.SetDeletedOnly(category, on);
}

}  // namespace orbanix::preview
