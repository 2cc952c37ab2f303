// The calendar database: HomeDomain Library/Calendar/Calendar.sqlitedb.
//
//   CalendarItem  ROWID, summary, description, start_date, end_date (seconds
//                 since 2001-01-01), start_tz (an Olson name, "_float" for a
//                 floating time), all_day, calendar_id, location_id (older
//                 phones), url, has_recurrences, entity_type (2 event,
//                 3 reminder on phones that kept reminders here), due_date,
//                 due_all_day, completion_date, priority, creation_date
//   Calendar      ROWID, title
//   Location      ROWID, title, address, item_owner_id (newer phones: the
//                 item the location belongs to)
//   Recurrence    owner_id (the item), frequency (1 daily, 2 weekly,
//                 3 monthly, 4 yearly), interval, count, end_date
// Every column is found by name. Floating and all-day times are wall-clock
// times stored as if they were UTC; the others are moments, shown in the
// computer's time zone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "extractors/reminders.h"
#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

struct CalendarEventRecord {
  int deleted = 0;    // 1: recovered from free space
  int64_t rowId = 0;  // ROWID, 0 when recovered without its cell header
  std::string summary;
  std::string description;
  std::string calendar;         // the calendar's title
  std::string location;         // the location's title
  std::string locationAddress;
  std::string url;
  std::string recurrence;       // an iCalendar RRULE value ("FREQ=WEEKLY;INTERVAL=2"), empty for none
  std::string timeZone;         // start_tz as stored ("_float" for floating)
  std::optional<int64_t> start;  // Unix seconds; wall clock as UTC when `floating`
  std::optional<int64_t> end;
  bool allDay = false;
  bool floating = false;        // all-day, "_float" or no time zone
  std::string startText;        // as shown: local time, or the date of an all-day event
  std::string endText;
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// Reads the calendar database: its events into `events`, the reminders
// older phones keep there into `reminders` (each appended, live rows before
// recovered ones). Either may be null when the caller wants only the other.
// 0; the open error of the database; 87 when it has no CalendarItem table.
Status ScanCalendarDatabase(const std::filesystem::path& database, std::vector<CalendarEventRecord>* events,
                            std::vector<ReminderRecord>* reminders, const OrganizerProgress& progress = {});

// The recurrence in words for the preview ("Every 2 weeks, 5 times").
std::string RecurrenceText(const std::string& rrule);

}  // namespace orbanix
