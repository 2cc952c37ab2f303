// The kinds of data a scan looks for, and where each one's databases are.
//
// Databases with a fixed place are opened directly under their hashed
// names (the SHA-1 of the key shown beside each). The chat databases of
// WhatsApp, QQ and WeChat live in application containers whose names vary,
// so they are found by substrings of the index keys.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/file_index.h"

namespace orbanix {

// In the order of the category page, numbered 1 to 14 by the preview and
// the recovery.
enum class Category : int {
  CameraRoll = 1,
  PhotoStream = 2,
  AppPhotos = 3,
  AppVideos = 4,
  Messages = 5,
  MessageAtts = 6,
  Contacts = 7,
  CallHistory = 8,
  Notes = 9,
  WhatsApp = 10,
  WhatsAppAtts = 11,
  Reminder = 12,
  Calendar = 13,
  SafariBookmark = 14,
};

inline constexpr int kCategoryCount = 14;
inline constexpr int kDataCategoryCount = 14;

struct CategoryInfo {
  Category category;
  const char* name;           // "CameraRoll", ...
  const char* optionControl;  // the control that stands for it on the category page
  const char* scanOperation;  // the scan operation that serves it; nullptr when none
};

// All fourteen, in page order.
const std::array<CategoryInfo, kCategoryCount>& Categories();
const CategoryInfo& Describe(Category category);
// True for the categories that something reads (all of them).
inline bool HoldsData(Category category) { return static_cast<int>(category) <= kDataCategoryCount; }

// A database at a fixed place of every backup.
struct FixedDatabase {
  const char* hashedName;
  const char* key;  // domain + "-" + relative path
};

inline constexpr FixedDatabase kAddressBookDb{"31bb7ba8914766d4ba40d6dfb6113c8b614be442",
                                              "HomeDomain-Library/AddressBook/AddressBook.sqlitedb"};
inline constexpr FixedDatabase kMessagesDb{"3d0d7e5fb2ce288813306e4d4636395e047a3d28",
                                           "HomeDomain-Library/SMS/sms.db"};
inline constexpr FixedDatabase kCallHistoryDb{"5a4935c78a5255723f707230a451d79c540d2741",
                                              "HomeDomain-Library/CallHistoryDB/CallHistory.storedata"};
inline constexpr FixedDatabase kOldCallHistoryDb{"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca",
                                                 "WirelessDomain-Library/CallHistory/call_history.db"};
inline constexpr FixedDatabase kPhotosDb{"12b144c0bd44f2b3dffd9186d3f9c05b917cee25",
                                         "CameraRollDomain-Media/PhotoData/Photos.sqlite"};
inline constexpr FixedDatabase kNotesDb{"ca3bc056d4da0bbf88b5fb3be254f3b7147e639c",
                                        "HomeDomain-Library/Notes/notes.sqlite"};
// The current Notes app's store (iOS 9 on), in its app group.
inline constexpr FixedDatabase kNoteStoreDb{"4f98687d8ab0d6d1a371110e6b7300f6e465bef2",
                                            "AppDomainGroup-group.com.apple.notes-NoteStore.sqlite"};

inline constexpr FixedDatabase kCalendarDb{"2041457d5fe04d39d0ab481178355df6781e6858",
                                           "HomeDomain-Library/Calendar/Calendar.sqlitedb"};

// The stored file of a fixed database (through ResolveStoredPath).
std::filesystem::path FixedDatabasePath(const std::filesystem::path& backupFolder, const FixedDatabase& database);

// The newer call-history database when its stored file exists, otherwise
// the older one.
std::filesystem::path CallHistoryDatabasePath(const std::filesystem::path& backupFolder);

// True for the side files SQLite keeps beside a database (keys ending in
// "-wal", "-shm" or "-journal"): they hold a database's name in their key
// but are not the database.
bool IsDatabaseSideFile(std::string_view key);

// WhatsApp: the chat database is the first entry whose key contains
// "ChatStorage.sqlite", the contact database the first whose key contains
// "Contacts.sqlite"; the walk ends at the second match. Side files do not
// count as matches.
struct WhatsAppDatabases {
  std::optional<BackupFileEntry> chat;
  std::optional<BackupFileEntry> contacts;
};
WhatsAppDatabases FindWhatsAppDatabases(const std::vector<BackupFileEntry>& index);

// The Reminders stores of current phones: every entry whose key is
// "HomeDomain-Library/Reminders/Container_v1/Stores/Data-<name>.sqlite", in
// index order.
std::vector<BackupFileEntry> FindReminderStores(const std::vector<BackupFileEntry>& index);

// Safari's databases named `fileName` ("Bookmarks.db", "History.db"): the
// entries "HomeDomain-Library/Safari/<fileName>" and
// "AppDomain-com.apple.mobilesafari-Library/Safari/<fileName>", in index
// order.
std::vector<BackupFileEntry> FindSafariDatabases(const std::vector<BackupFileEntry>& index,
                                                 std::string_view fileName);

// One chat account's database.
struct ChatAccountDatabase {
  std::string account;
  BackupFileEntry entry;
};

// QQ: every entry whose key contains "/QQ.db" (side files aside), named
// after the path component just before "/QQ.db".
std::vector<ChatAccountDatabase> FindQQDatabases(const std::vector<BackupFileEntry>& index);

// WeChat: every entry whose key contains "/MM.sqlite" (side files aside),
// named "User1", "User2", ... in index order.
std::vector<ChatAccountDatabase> FindWeChatDatabases(const std::vector<BackupFileEntry>& index);

}  // namespace orbanix
