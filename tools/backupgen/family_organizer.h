// The organiser stores of a synthetic backup: the calendar database, the
// Reminders stores of current phones and Safari's bookmarks and history,
// in the layout of either era.
//
// Old era (Manifest.mbdb; phones up to iOS 9): Calendar.sqlitedb with
// location_id in CalendarItem and the reminders in it (entity_type 3);
// Bookmarks.db and History.db under HomeDomain.
// Current era (Manifest.db): Calendar.sqlitedb with columns in another
// order and more of them, locations that name their item (item_owner_id),
// no reminders; two Reminders stores (Data-<UUID>.sqlite) under
// Library/Reminders/Container_v1/Stores; History.db under the Safari
// application's domain.
//
// Every table gets live rows, rows deleted with their bytes left in the
// file (secure_delete off) and texts that documents must escape.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

struct GenEvent {
  int64_t rowId = 0;
  std::string summary;
  std::string description;
  std::string calendar;
  std::string location;
  std::string address;
  std::string url;
  std::string timeZone;        // start_tz as stored
  int64_t startUnix = 0;       // 0: stored as NULL
  int64_t endUnix = 0;
  bool allDay = false;
  std::string rrule;           // expected RRULE value, empty for none
  int frequency = 0;           // the Recurrence row (0: none)
  int interval = 1;
  int count = 0;
  bool deleted = false;        // deleted after it was written
  bool reminder = false;       // old era: a reminder kept in CalendarItem
  // Reminder fields (old era CalendarItem reminders, and the stores).
  int64_t dueUnix = 0;
  int64_t completedUnix = 0;
  int priority = 0;
};

struct GenReminder {
  int64_t pk = 0;
  std::string title;
  std::string notes;
  std::string list;
  int64_t dueUnix = 0;
  bool allDay = false;
  bool completed = false;
  int64_t completedUnix = 0;
  int priority = 0;
  bool flagged = false;
  int64_t createdUnix = 0;
  bool marked = false;   // ZMARKEDFORDELETION
  bool deleted = false;  // row deleted after it was written
};

struct GenBookmark {
  int64_t id = 0;
  int64_t parent = 0;
  int type = 0;  // 0 bookmark, 1 folder
  std::string title;
  std::string url;
  std::string expectedFolder;  // of a bookmark
  bool marked = false;         // the deleted column
  bool deleted = false;
};

struct GenHistoryItem {
  int64_t id = 0;
  std::string url;
  int visitCount = 0;
  std::vector<std::pair<int64_t, std::string>> visits;  // Unix time, title
  bool deleted = false;  // the item and its visits
};

bool CurrentLayout(const BackupWriter& writer);

std::vector<GenEvent> CalendarRows(bool current, const FamilyOptions& options);
void BuildCalendarDb(const fs::path& path, const std::vector<GenEvent>& rows, bool current);

// The stores of the current era: store name (the UUID) -> its reminders.
std::vector<std::pair<std::string, std::vector<GenReminder>>> ReminderStores(const FamilyOptions& options);
void BuildReminderStore(const fs::path& path, const std::vector<GenReminder>& reminders);

std::vector<GenBookmark> BookmarkRows(const FamilyOptions& options);
void BuildBookmarksDb(const fs::path& path, const std::vector<GenBookmark>& rows, bool current);
std::vector<GenHistoryItem> HistoryRows(const FamilyOptions& options);
void BuildHistoryDb(const fs::path& path, const std::vector<GenHistoryItem>& rows);

void AddOrganizerFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
