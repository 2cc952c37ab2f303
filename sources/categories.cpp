#include "sources/categories.h"

#include <system_error>

#include "platform/safe_file.h"
#include "platform/text.h"

namespace orbanix {

namespace fs = std::filesystem;

const std::array<CategoryInfo, kCategoryCount>& Categories() {
  static const std::array<CategoryInfo, kCategoryCount> kTable = {{
      {Category::CameraRoll, "CameraRoll", "OptCameraRoll", "ScanPhotos"},
      {Category::PhotoStream, "PhotoStream", "OptPhotoStream", "ScanPhotos"},
      {Category::AppPhotos, "AppPhotos", "OptAppPhotos", "ScanAppMedia"},
      {Category::AppVideos, "AppVideos", "OptAppVideos", "ScanAppMedia"},
      {Category::Messages, "Messages", "OptMessages", "ScanMessages"},
      {Category::MessageAtts, "MessageAtts", "OptMessageAtts", "ScanMessageAttachments"},
      {Category::Contacts, "Contacts", "OptContacts", "ScanContacts"},
      {Category::CallHistory, "CallHistory", "OptCallHistory", "ScanCallHistory"},
      {Category::Notes, "Notes", "OptNotes", "ScanNotes"},
      {Category::WhatsApp, "WhatsApp", "WhatsApp", "ScanWhatsApp"},
      {Category::WhatsAppAtts, "WhatsAppAtts", "OptWhatsAppAtts", "ScanWhatsAppAttachments"},
      {Category::Reminder, "Reminder", "OptReminder", "ScanReminders"},
      {Category::Calendar, "Calendar", "OptCalendar", "ScanCalendar"},
      {Category::SafariBookmark, "SafariBookmark", "SafariBookmark", "ScanSafari"},
  }};
  return kTable;
}

const CategoryInfo& Describe(Category category) {
  int i = static_cast<int>(category) - 1;
  if (i < 0 || i >= kCategoryCount) i = 0;
  return Categories()[static_cast<size_t>(i)];
}

fs::path FixedDatabasePath(const fs::path& backupFolder, const FixedDatabase& database) {
  return ResolveStoredPath(backupFolder, database.hashedName);
}

fs::path CallHistoryDatabasePath(const fs::path& backupFolder) {
  fs::path newer = FixedDatabasePath(backupFolder, kCallHistoryDb);
  if (EntryExists(newer)) return newer;
  return FixedDatabasePath(backupFolder, kOldCallHistoryDb);
}

bool IsDatabaseSideFile(std::string_view key) {
  for (std::string_view suffix : {std::string_view("-wal"), std::string_view("-shm"), std::string_view("-journal")}) {
    if (key.size() >= suffix.size() && key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return true;
    }
  }
  return false;
}

std::vector<BackupFileEntry> FindReminderStores(const std::vector<BackupFileEntry>& index) {
  static constexpr std::string_view kFolder = "HomeDomain-Library/Reminders/Container_v1/Stores/Data-";
  static constexpr std::string_view kEnd = ".sqlite";
  std::vector<BackupFileEntry> found;
  for (const BackupFileEntry& e : index) {
    const std::string_view key = e.key;
    if (key.size() <= kFolder.size() + kEnd.size() || key.substr(0, kFolder.size()) != kFolder) continue;
    if (key.substr(key.size() - kEnd.size()) != kEnd) continue;
    // A store is a file of the folder itself, not of a folder below it.
    if (key.find('/', kFolder.size()) != std::string_view::npos) continue;
    found.push_back(e);
  }
  return found;
}

std::vector<BackupFileEntry> FindSafariDatabases(const std::vector<BackupFileEntry>& index,
                                                 std::string_view fileName) {
  const std::string home = "HomeDomain-Library/Safari/" + std::string(fileName);
  const std::string app = "AppDomain-com.apple.mobilesafari-Library/Safari/" + std::string(fileName);
  std::vector<BackupFileEntry> found;
  for (const BackupFileEntry& e : index) {
    if (e.key == home || e.key == app) found.push_back(e);
  }
  return found;
}

WhatsAppDatabases FindWhatsAppDatabases(const std::vector<BackupFileEntry>& index) {
  WhatsAppDatabases found;
  int matches = 0;
  for (const BackupFileEntry& e : index) {
    if (IsDatabaseSideFile(e.key)) continue;
    if (e.key.find("ChatStorage.sqlite") != std::string::npos) {
      if (!found.chat) found.chat = e;
      ++matches;
    } else if (e.key.find("Contacts.sqlite") != std::string::npos) {
      if (!found.contacts) found.contacts = e;
      ++matches;
    }
    if (matches == 2) break;
  }
  return found;
}

std::vector<ChatAccountDatabase> FindQQDatabases(const std::vector<BackupFileEntry>& index) {
  static constexpr std::string_view kMarker = "/QQ.db";
  std::vector<ChatAccountDatabase> found;
  for (const BackupFileEntry& e : index) {
    if (IsDatabaseSideFile(e.key)) continue;
    const size_t at = e.key.find(kMarker);
    if (at == std::string::npos) continue;
    const size_t slash = at == 0 ? std::string::npos : e.key.rfind('/', at - 1);
    const size_t from = slash == std::string::npos ? 0 : slash + 1;
    found.push_back({ValidUtf8(std::string_view(e.key).substr(from, at - from)), e});
  }
  return found;
}

std::vector<ChatAccountDatabase> FindWeChatDatabases(const std::vector<BackupFileEntry>& index) {
  std::vector<ChatAccountDatabase> found;
  for (const BackupFileEntry& e : index) {
    if (IsDatabaseSideFile(e.key) || e.key.find("/MM.sqlite") == std::string::npos) continue;
    found.push_back({"User" + std::to_string(found.size() + 1), e});
  }
  return found;
}

}  // namespace orbanix
