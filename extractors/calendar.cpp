#include "extractors/calendar.h"

#include <map>
#include <set>
#include <utility>

#include "extractors/organizer_values.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"

namespace orbanix {

namespace {

constexpr int64_t kReminderEntity = 3;

struct Named {
  std::string title;
  std::string address;
};

// The rows of a small side table that carry their ROWID (live rows and
// free-list cells): ROWID -> the row's title (and address).
std::map<int64_t, Named> ReadTitles(CDbFileReader& reader, const std::filesystem::path& path, const char* table,
                                    const char* ownerColumn, std::map<int64_t, Named>* byOwner) {
  std::map<int64_t, Named> titles;
  const ColumnLookup cols = ColumnLookup::Load(path, table);
  const int title = cols.Find("title", 1);
  const int address = cols.Find("address", -1);
  const int owner = ownerColumn ? cols.Find(ownerColumn, -1) : -1;
  ParsedRecord rec;
  reader.genericColumnCount = cols.ColumnCount();
  ScanTable(reader, table, [&](CDbFileReader& r, const RowInput& in) {
    if (ParseRecord(r, in, rec) != status::kOk || !rec.hasRowid) return status::kBadData;
    Named n{TextColumn(rec, title), TextColumn(rec, address)};
    if (!PlausibleField(n.title, in.deleted) || !PlausibleField(n.address, in.deleted)) return status::kBadData;
    // A live row wins over a recovered copy of the same key.
    if (in.deleted == 0 || !titles.count(rec.rowid)) titles[rec.rowid] = n;
    if (byOwner && owner >= 0 && rec.IsInteger(owner)) {
      const int64_t item = rec.AsInt64(owner);
      if (in.deleted == 0 || !byOwner->count(item)) (*byOwner)[item] = n;
    }
    return status::kOk;
  });
  return titles;
}

std::string UntilText(int64_t unix) {
  const std::string t = WallClockText(unix, false);  // "YYYY-MM-DD hh:mm:ss"
  if (t.size() != 19) return {};
  return t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2) + "T" + t.substr(11, 2) + t.substr(14, 2) +
         t.substr(17, 2) + "Z";
}

// Recurrence rules by the item they belong to, as RRULE values.
std::map<int64_t, std::string> ReadRecurrences(CDbFileReader& reader, const std::filesystem::path& path) {
  std::map<int64_t, std::string> rules;
  const ColumnLookup cols = ColumnLookup::Load(path, "Recurrence");
  if (!cols.HasSchema()) return rules;
  const int owner = cols.Find("owner_id");
  const int frequency = cols.Find("frequency");
  const int interval = cols.Find("interval");
  const int count = cols.Find("count");
  const int endDate = cols.Find("end_date");
  ParsedRecord rec;
  reader.genericColumnCount = cols.ColumnCount();
  ScanTable(reader, "Recurrence", [&](CDbFileReader& r, const RowInput& in) {
    if (in.deleted || ParseRecord(r, in, rec) != status::kOk || !rec.IsInteger(owner)) return status::kBadData;
    static const char* const kFreq[] = {nullptr, "DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
    const int64_t f = IntColumn(rec, frequency, 0);
    if (f < 1 || f > 4) return status::kBadData;
    std::string rule = std::string("FREQ=") + kFreq[f];
    const int64_t every = IntColumn(rec, interval, 1);
    if (every > 1 && every < 1000) rule += ";INTERVAL=" + std::to_string(every);
    const int64_t times = IntColumn(rec, count, 0);
    if (times > 0 && times < 100000) {
      rule += ";COUNT=" + std::to_string(times);
    } else if (const auto until = AppleDateColumn(rec, endDate)) {
      const std::string u = UntilText(*until);
      if (!u.empty()) rule += ";UNTIL=" + u;
    }
    rules.emplace(rec.AsInt64(owner), rule);
    return status::kOk;
  });
  return rules;
}

// Drops recovered events that repeat an event kept before them.
void DropRepeatedEvents(std::vector<CalendarEventRecord>& events, size_t from) {
  std::set<std::string> seen;
  auto key = [](const CalendarEventRecord& e) {
    return e.summary + '\x1f' + e.description + '\x1f' + e.url + '\x1f' + std::to_string(e.start.value_or(0)) +
           '\x1f' + std::to_string(e.end.value_or(0));
  };
  std::vector<CalendarEventRecord> kept;
  for (size_t i = 0; i < events.size(); ++i) {
    CalendarEventRecord& e = events[i];
    const bool fresh = seen.insert(key(e)).second;
    if (i >= from && e.deleted && !fresh) continue;
    kept.push_back(std::move(e));
  }
  events = std::move(kept);
}

}  // namespace

Status ScanCalendarDatabase(const std::filesystem::path& database, std::vector<CalendarEventRecord>* events,
                            std::vector<ReminderRecord>* reminders, const OrganizerProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(database);
  if (opened != status::kOk) return opened;
  const ColumnLookup cols = ColumnLookup::Load(database, "CalendarItem");
  if (!cols.HasSchema()) return status::kBadData;

  std::map<int64_t, Named> locationsByOwner;
  const std::map<int64_t, Named> calendars = ReadTitles(reader, database, "Calendar", nullptr, nullptr);
  const std::map<int64_t, Named> locations =
      ReadTitles(reader, database, "Location", "item_owner_id", &locationsByOwner);
  const std::map<int64_t, std::string> rules = ReadRecurrences(reader, database);
  if (progress && progress(30) != 0) return status::kCancelled;

  const int summary = cols.Find("summary");
  const int description = cols.Find("description");
  const int start = cols.Find("start_date");
  const int startTz = cols.Find("start_tz");
  const int end = cols.Find("end_date");
  const int allDay = cols.Find("all_day");
  const int calendarId = cols.Find("calendar_id");
  const int locationId = cols.Find("location_id");
  const int url = cols.Find("url");
  const int entity = cols.Find("entity_type");
  const int due = cols.Find("due_date");
  const int dueAllDay = cols.Find("due_all_day");
  const int completion = cols.Find("completion_date");
  const int priority = cols.Find("priority");
  const int creation = cols.Find("creation_date");

  std::vector<CalendarEventRecord> foundEvents;
  std::vector<ReminderRecord> foundReminders;
  ParsedRecord rec;
  reader.genericColumnCount = cols.ColumnCount();
  ScanTable(reader, "CalendarItem", [&](CDbFileReader& r, const RowInput& in) {
    if (ParseRecord(r, in, rec) != status::kOk) return status::kBadData;
    const int64_t rowId = rec.hasRowid ? rec.rowid : 0;
    const std::string title = TextColumn(rec, summary);
    const std::string notes = TextColumn(rec, description);
    if (!PlausibleField(title, in.deleted) || !PlausibleField(notes, in.deleted)) return status::kBadData;
    const std::string calendar = rec.IsInteger(calendarId)
                                     ? [&] {
                                         auto it = calendars.find(rec.AsInt64(calendarId));
                                         return it == calendars.end() ? std::string() : it->second.title;
                                       }()
                                     : std::string();
    if (IntColumn(rec, entity, 2) == kReminderEntity) {
      ReminderRecord m;
      m.deleted = in.deleted;
      m.recovered = in.deleted != 0;
      m.recoveredFrom = RecoveredFromInput(in);
      m.rowId = rowId;
      m.title = title;
      m.notes = notes;
      m.list = calendar;
      m.due = AppleDateColumn(rec, due);
      m.dueAllDay = IntColumn(rec, dueAllDay, 0) != 0;
      m.completedAt = AppleDateColumn(rec, completion);
      m.completed = m.completedAt.has_value();
      m.priority = static_cast<int>(IntColumn(rec, priority, 0));
      m.created = AppleDateColumn(rec, creation);
      m.dueText = m.dueAllDay ? WallClockText(m.due, true) : LocalDateTimeText(m.due);
      m.completedText = LocalDateTimeText(m.completedAt);
      m.createdText = LocalDateTimeText(m.created);
      if (in.deleted && m.title.empty() && m.notes.empty()) return status::kBadData;
      foundReminders.push_back(std::move(m));
      return status::kOk;
    }
    CalendarEventRecord e;
    e.deleted = in.deleted;
    e.recoveredFrom = RecoveredFromInput(in);
    e.rowId = rowId;
    e.summary = title;
    e.description = notes;
    e.calendar = calendar;
    e.url = TextColumn(rec, url);
    e.timeZone = TextColumn(rec, startTz);
    if (!PlausibleField(e.url, in.deleted) || !PlausibleField(e.timeZone, in.deleted)) return status::kBadData;
    e.start = AppleDateColumn(rec, start);
    e.end = AppleDateColumn(rec, end);
    e.allDay = IntColumn(rec, allDay, 0) != 0;
    e.floating = e.allDay || e.timeZone.empty() || e.timeZone == "_float";
    if (e.floating) {
      e.startText = WallClockText(e.start, e.allDay);
      e.endText = WallClockText(e.end, e.allDay);
    } else {
      e.startText = LocalDateTimeText(e.start);
      e.endText = LocalDateTimeText(e.end);
    }
    const Named* place = nullptr;
    if (rec.IsInteger(locationId)) {
      auto it = locations.find(rec.AsInt64(locationId));
      if (it != locations.end()) place = &it->second;
    }
    if (!place && rowId != 0) {
      auto it = locationsByOwner.find(rowId);
      if (it != locationsByOwner.end()) place = &it->second;
    }
    if (place) {
      e.location = place->title;
      e.locationAddress = place->address;
    }
    if (rowId != 0) {
      auto it = rules.find(rowId);
      if (it != rules.end()) e.recurrence = it->second;
    }
    // A recovered row with neither a title nor a date is page debris.
    if (in.deleted && e.summary.empty() && !e.start) return status::kBadData;
    foundEvents.push_back(std::move(e));
    return status::kOk;
  });
  if (progress && progress(100) != 0) return status::kCancelled;

  if (events) {
    const size_t from = events->size();
    events->insert(events->end(), std::make_move_iterator(foundEvents.begin()),
                   std::make_move_iterator(foundEvents.end()));
    DropRepeatedEvents(*events, from);
  }
  if (reminders) {
    reminders->insert(reminders->end(), std::make_move_iterator(foundReminders.begin()),
                      std::make_move_iterator(foundReminders.end()));
    DropRepeatedReminders(*reminders);
  }
  return status::kOk;
}

std::string RecurrenceText(const std::string& rrule) {
  if (rrule.empty()) return {};
  std::map<std::string, std::string> parts;
  size_t pos = 0;
  while (pos <= rrule.size()) {
    const size_t semi = std::min(rrule.find(';', pos), rrule.size());
    const std::string part = rrule.substr(pos, semi - pos);
    const size_t eq = part.find('=');
    if (eq != std::string::npos) parts[part.substr(0, eq)] = part.substr(eq + 1);
    pos = semi + 1;
  }
  static const std::map<std::string, std::pair<const char*, const char*>> kUnits = {
      {"DAILY", {"Daily", "days"}},
      {"WEEKLY", {"Weekly", "weeks"}},
      {"MONTHLY", {"Monthly", "months"}},
      {"YEARLY", {"Yearly", "years"}}};
  const auto unit = kUnits.find(parts["FREQ"]);
  if (unit == kUnits.end()) return rrule;
  std::string text = unit->second.first;
  if (!parts["INTERVAL"].empty() && parts["INTERVAL"] != "1") {
    text = "Every " + parts["INTERVAL"] + " " + unit->second.second;
  }
  if (!parts["COUNT"].empty()) text += ", " + parts["COUNT"] + " times";
  const std::string& until = parts["UNTIL"];
  if (until.size() >= 8) text += ", until " + until.substr(0, 4) + "-" + until.substr(4, 2) + "-" + until.substr(6, 2);
  return text;
}

}  // namespace orbanix
