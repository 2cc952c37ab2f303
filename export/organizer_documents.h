// Documents of the organiser categories: the CSV tables, the iCalendar file
// of events and reminders, and Safari's bookmarks as a Netscape bookmark
// file, the HTML that every browser imports.
//
// iCalendar (RFC 5545): lines end in CRLF and are folded to at most 75
// octets (a continuation line begins with one blank; a UTF-8 sequence is
// never cut). TEXT values escape "\", ";", "," and line breaks; other
// control characters are dropped. A time zone the phone named is written as
// a UTC time ("...Z"); a floating time as a local time without zone; an
// all-day event as a DATE with the day after it as its end. An event
// without a start date cannot be written as a VEVENT and is left to the
// other documents. Rows recovered as deleted carry
// "X-ORBANIX-RECOVERED:DELETED".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extractors/calendar.h"
#include "extractors/reminders.h"
#include "extractors/safari.h"

namespace orbanix {

// One TEXT value escaped for iCalendar.
std::string IcsText(std::string_view text);
// One content line ("NAME;PARAMS:value") folded, with its CRLF.
std::string IcsFold(std::string_view line);

// The whole iCalendar object: one VEVENT per event with a start date, one
// VTODO per reminder. `stamp` (Unix seconds) is every component's DTSTAMP.
std::string CalendarIcs(const std::vector<const CalendarEventRecord*>& events,
                        const std::vector<const ReminderRecord*>& reminders, int64_t stamp);

// CSV documents, a header row first.
std::string EventsCsv(const std::vector<const CalendarEventRecord*>& events);
std::string RemindersCsv(const std::vector<const ReminderRecord*>& reminders);
std::string BookmarksCsv(const std::vector<const SafariBookmarkRecord*>& bookmarks);
std::string HistoryCsv(const std::vector<const SafariHistoryRecord*>& history);

// The Netscape bookmark file: the bookmarks in their folders (a folder
// path "A/B" nests B in A), deleted ones under a folder of their own
// ("Recovered deleted bookmarks") with the same sub-folders.
std::string NetscapeBookmarks(const std::vector<const SafariBookmarkRecord*>& bookmarks);

// The HTML table rows of the organiser documents (cells escaped; a deleted
// record's row has the class "deleted").
std::string EventRow(const CalendarEventRecord& e);
std::string ReminderRow(const ReminderRecord& r);
// Safari's document body: a section for the bookmarks and one for the
// history, each a table.
std::string SafariSections(const std::vector<const SafariBookmarkRecord*>& bookmarks,
                           const std::vector<const SafariHistoryRecord*>& history);

// The reminder state in words ("Completed", "Open").
std::string ReminderStateText(const ReminderRecord& r);

// The fields of one record as (caption, value) lines for the preview's
// detail and the print page; empty values are left out.
using DetailLines = std::vector<std::pair<std::string, std::string>>;
DetailLines EventDetail(const CalendarEventRecord& e);
DetailLines ReminderDetail(const ReminderRecord& r);
DetailLines BookmarkDetail(const SafariBookmarkRecord& b);
DetailLines HistoryDetail(const SafariHistoryRecord& h);

}  // namespace orbanix
