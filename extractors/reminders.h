// Reminders.
//
// Current phones keep them in Core Data stores of their own, one per
// account: Library/Reminders/Container_v1/Stores/Data-<UUID>.sqlite. A
// reminder is a row of ZREMCDREMINDER; its list is a row of
// ZREMCDBASELIST (older stores of the same family: ZREMCDOBJECT) named by
// ZLIST. Columns are found by name (ZTITLE, ZNOTES, ZDUEDATE, ZALLDAY,
// ZCOMPLETED, ZCOMPLETIONDATE, ZPRIORITY, ZFLAGGED, ZCREATIONDATE, ZLIST,
// ZMARKEDFORDELETION); dates count seconds since 2001-01-01. A reminder the
// phone has marked for deletion (ZMARKEDFORDELETION = 1) is a deleted
// reminder, as is a row recovered from free space.
//
// Older phones keep reminders in the calendar database instead (see
// calendar.h), with the same record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/problems.h"
#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

struct ReminderRecord {
  int deleted = 0;    // 1: recovered from free space or marked for deletion
  bool recovered = false;  // read from free space rather than a live row
  int64_t rowId = 0;  // Z_PK / ROWID of the row, 0 when recovered without its cell header
  std::string title;
  std::string notes;
  std::string list;   // the list (or, on older phones, the calendar) it belongs to
  std::optional<int64_t> due;          // Unix seconds
  bool dueAllDay = false;              // a due day without a time
  bool completed = false;
  std::optional<int64_t> completedAt;  // Unix seconds
  int priority = 0;                    // 0 none, 1 high ... 9 low
  bool flagged = false;
  std::optional<int64_t> created;      // Unix seconds
  // As shown: local "YYYY-MM-DD hh:mm:ss" ("YYYY-MM-DD" for a due day);
  // empty for no date.
  std::string dueText;
  std::string completedText;
  std::string createdText;
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// Progress of one reader: the share done (0-100); a non-zero answer stops
// it, which then returns kCancelled and leaves its output alone.
using OrganizerProgress = std::function<int(int percent)>;

// Reads one Data-*.sqlite store and appends its reminders (live rows in
// table order, then the recovered ones) to `reminders`. 0; the open error
// of the store; 87 when it has no reminder table.
Status ScanReminderStore(const std::filesystem::path& store, std::vector<ReminderRecord>& reminders,
                         const OrganizerProgress& progress = {});

// Drops recovered rows that repeat a row kept before them (SQLite leaves
// the old bytes of a cell it moved), keeping the first of each.
void DropRepeatedReminders(std::vector<ReminderRecord>& reminders);

// Reminder priority in words: "High" (1-4), "Medium" (5), "Low" (6-9), ""
// (0 or anything else).
const char* ReminderPriorityText(int priority);

}  // namespace orbanix
