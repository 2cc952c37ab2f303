// What one scan collects, and the plan of operations for a set of ticked
// categories, in the fixed order:
//   photos (Camera Roll or Photo Stream), messages, message attachments,
//   contacts, call history, notes, application media (photos or videos),
//   WhatsApp, WhatsApp attachments, reminders, calendar, Safari (bookmarks
//   and history).
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sources/categories.h"
#include "sources/recovery_source.h"
#include "sources/scan_driver.h"

namespace orbanix {

using CategorySet = std::set<Category>;

// The record containers of a scan. Operations fill private containers and
// append them here under `lock` when they end, so a reader holding `lock`
// always sees whole operations.
struct ScanResults {
  mutable std::mutex lock;
  std::vector<MediaItem> cameraRoll;
  std::vector<MediaItem> photoStream;
  std::vector<AppMediaItem> appMedia;
  std::map<std::string, std::vector<AppMediaItem>> appPhotos;  // by application name
  std::map<std::string, std::vector<AppMediaItem>> appVideos;
  ConversationMap conversations;
  std::vector<AttachmentFile> messageAttachments;
  std::vector<ContactRecord> contacts;
  std::vector<CallRecord> calls;
  std::vector<NoteRecord> notes;
  WhatsAppChatMap whatsApp;
  std::vector<MediaItem> whatsAppMedia;
  std::vector<ReminderRecord> reminders;
  std::vector<CalendarEventRecord> events;
  // The Safari category holds two groups.
  std::vector<SafariBookmarkRecord> safariBookmarks;
  std::vector<SafariHistoryRecord> safariHistory;
  // The chats of QQ and WeChat, by account (no category of the category
  // page; read when asked for, see AddChatAppSteps).
  ChatAccountMap qq;
  ChatAccountMap weChat;
  // The categories that were ticked (only these are shown and counted).
  CategorySet ticked;

  void Clear();
};

// The three numbers a category shows: items (what the category tree
// counts: one per conversation for messages and per chat for WhatsApp, one
// per record or file otherwise), records, and records carrying the deleted
// mark. Read under results.lock.
struct CategoryCount {
  size_t items = 0;
  size_t records = 0;
  size_t deleted = 0;
};
CategoryCount CountCategory(const ScanResults& results, Category category);

// True when an application file is a video by its name's extension; photos
// otherwise (the preview lists decide).
bool IsAppVideo(const AppMediaItem& item);

// The operations for the ticked categories, each filling `results`.
std::vector<ScanStep> BuildScanPlan(IPhoneRecoveryParse& source, const CategorySet& ticked, ScanResults& results);

// Appends the steps that read every QQ and WeChat database into
// results.qq / results.weChat.
void AddChatAppSteps(IPhoneRecoveryParse& source, bool qq, bool weChat, ScanResults& results,
                     std::vector<ScanStep>& plan);

// Chats (conversations), messages and recovered messages of all accounts.
CategoryCount CountChatAccounts(const ChatAccountMap& accounts);

// Category names of the command line ("camera-roll", "messages", ...).
const char* CategoryCliName(Category category);
bool CategoryFromCliName(const std::string& name, Category& category);

}  // namespace orbanix
