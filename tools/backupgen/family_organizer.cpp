#include "tools/backupgen/family_organizer.h"

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

namespace {

Value AppleDate(int64_t unix) {
  if (unix == 0) return nullptr;
  return static_cast<double>(unix - kAppleEpochOffset);
}

Value TextOrNull(const std::string& text) {
  if (text.empty()) return nullptr;
  return text;
}

constexpr const char* kOldCalendarItemSql =
    "CREATE TABLE CalendarItem (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, summary TEXT, location_id INTEGER, "
    "description TEXT, start_date REAL, start_tz TEXT, end_date REAL, all_day INTEGER, calendar_id INTEGER, "
    "orig_item_id INTEGER, orig_date REAL, organizer_id INTEGER, self_attendee_id INTEGER, status INTEGER, "
    "invitation_status INTEGER, availability INTEGER, privacy_level INTEGER, url TEXT, last_modified REAL, "
    "sequence_num INTEGER, birthday_id INTEGER, modified_properties INTEGER, external_tracking_status INTEGER, "
    "external_id TEXT, external_mod_tag TEXT, unique_identifier TEXT, external_schedule_id TEXT, "
    "external_rep BLOB, response_comment TEXT, hidden INTEGER, has_recurrences INTEGER, has_attendees INTEGER, "
    "UUID TEXT, entity_type INTEGER, priority INTEGER, due_date REAL, due_tz TEXT, due_all_day INTEGER, "
    "completion_date REAL, creation_date REAL, conference TEXT, display_order INTEGER)";

// Newer phones: no location_id, columns added in the middle and at the end.
constexpr const char* kCurrentCalendarItemSql =
    "CREATE TABLE CalendarItem (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, summary TEXT, description TEXT, "
    "start_date REAL, start_tz TEXT, end_date REAL, all_day INTEGER, calendar_id INTEGER, orig_item_id INTEGER, "
    "orig_date REAL, organizer_id INTEGER, self_attendee_id INTEGER, status INTEGER, invitation_status INTEGER, "
    "availability INTEGER, privacy_level INTEGER, url TEXT, last_modified REAL, sequence_num INTEGER, "
    "travel_time INTEGER, travel_advisory_behavior INTEGER, start_location_id INTEGER, birthday_id INTEGER, "
    "modified_properties INTEGER, external_tracking_status INTEGER, external_id TEXT, external_mod_tag TEXT, "
    "unique_identifier TEXT, external_schedule_id TEXT, external_rep BLOB, response_comment TEXT, "
    "hidden INTEGER, has_recurrences INTEGER, has_attendees INTEGER, UUID TEXT, entity_type INTEGER, "
    "priority INTEGER, due_date REAL, due_tz TEXT, due_all_day INTEGER, completion_date REAL, "
    "creation_date REAL, conference TEXT, display_order INTEGER, created_by_id INTEGER, "
    "modified_by_id INTEGER, shared_item_created_date REAL, shared_item_created_tz TEXT, "
    "junk_status INTEGER, conference_url_detected TEXT, app_link_data BLOB, suggestion_info_id INTEGER)";

constexpr const char* kRecurrenceSql =
    "CREATE TABLE Recurrence (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, frequency INTEGER, interval INTEGER, "
    "week_start INTEGER, count INTEGER, cached_end_date REAL, cached_end_date_tz TEXT, end_date REAL, "
    "specifier TEXT, by_month_months INTEGER, owner_id INTEGER, external_id TEXT, external_mod_tag TEXT, "
    "external_id_tag TEXT, external_rep BLOB, UUID TEXT)";

}  // namespace

bool CurrentLayout(const BackupWriter& writer) { return writer.era() == Era::ManifestDb; }

std::vector<GenEvent> CalendarRows(bool current, const FamilyOptions& options) {
  const int64_t base = current ? 1700000000 : 1400000000;  // 2023-11-14 and 2014-05-13, UTC
  std::vector<GenEvent> rows;
  auto add = [&](std::string summary, int64_t start, int64_t length) -> GenEvent& {
    GenEvent e;
    e.rowId = static_cast<int64_t>(rows.size()) + 1;
    e.summary = std::move(summary);
    e.calendar = "Home";
    e.timeZone = "Europe/London";
    e.startUnix = start;
    e.endUnix = start + length;
    rows.push_back(e);
    return rows.back();
  };
  GenEvent& dentist = add("Dentist", base + 3600, 1800);
  dentist.description = "Bring the insurance card";
  dentist.location = "Smile Clinic";
  dentist.address = "1 High Street, Leeds";
  dentist.url = "https://clinic.example/booking?id=42&x=1";
  GenEvent& team = add("Team <sync> & review", base + 86400, 3600);
  team.calendar = "Work";
  team.frequency = 2;
  team.interval = 2;
  team.count = 5;
  team.rrule = "FREQ=WEEKLY;INTERVAL=2;COUNT=5";
  team.description = "Line one\nLine two; with, commas \\ and a backslash";
  GenEvent& holiday = add("Bank holiday", base - base % 86400 + 2 * 86400, 86400);
  holiday.allDay = true;
  holiday.timeZone = "_float";
  GenEvent& lunch = add("Lunch with Dana", base + 5 * 86400, 5400);
  lunch.deleted = true;
  lunch.description = "Cancelled lunch, deleted on the phone";
  lunch.location = "Corner Cafe";
  GenEvent& yearly = add("Mum's birthday", base + 10 * 86400, 86400);
  yearly.frequency = 4;
  yearly.rrule = "FREQ=YEARLY";
  // No dates at all, and a long URL and a summary with control characters.
  GenEvent& odd = add("Odd\x01 entry\twith tab", 0, 0);
  odd.startUnix = odd.endUnix = 0;
  odd.url = "https://long.example/" + std::string(3000, 'a');
  GenEvent& gone = add("Deleted conference", base + 20 * 86400, 7200);
  gone.deleted = true;
  gone.calendar = "Work";
  // A page of ordinary events around one deleted among them.
  for (int i = 0; i < 8; ++i) {
    GenEvent& e = add(Format("Planning session %d", i + 1), base + (30 + i) * 86400, 3600);
    e.description = Format("Agenda item %d: budget, hiring and the roadmap for the next quarter", i + 1);
    e.calendar = "Work";
    e.deleted = i == 5;
  }
  if (!current) {
    GenEvent& r1 = add("Buy milk", 0, 0);
    r1.reminder = true;
    r1.calendar = "Reminders";
    r1.timeZone.clear();
    r1.dueUnix = base + 7200;
    r1.priority = 1;
    GenEvent& r2 = add("Call the bank", 0, 0);
    r2.reminder = true;
    r2.calendar = "Reminders";
    r2.timeZone.clear();
    r2.completedUnix = base + 600;
    GenEvent& r3 = add("Old deleted reminder", 0, 0);
    r3.reminder = true;
    r3.calendar = "Reminders";
    r3.timeZone.clear();
    r3.deleted = true;
    r3.description = "it was removed";
  }
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 5; ++i) {
      GenEvent& e = add(Format("Meeting %d.%d", s, i), base + s * 86400 + i * 3600, 1800);
      e.deleted = i == 3;
    }
  }
  return rows;
}

void BuildCalendarDb(const fs::path& path, const std::vector<GenEvent>& rows, bool current) {
  FixtureDb db(path);
  db.Exec(current ? kCurrentCalendarItemSql : kOldCalendarItemSql);
  db.Exec("CREATE TABLE Calendar (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, store_id INTEGER, title TEXT, "
          "flags INTEGER, color TEXT, type TEXT, supported_entity_types INTEGER, external_id TEXT)");
  if (current) {
    db.Exec("CREATE TABLE Location (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, title TEXT, address TEXT, "
            "latitude REAL, longitude REAL, radius REAL, reference_frame INTEGER, map_kit_handle BLOB, "
            "item_owner_id INTEGER, external_rep BLOB)");
  } else {
    db.Exec("CREATE TABLE Location (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, title TEXT, latitude REAL, "
            "longitude REAL, address TEXT, item_owner_id INTEGER)");
  }
  db.Exec(kRecurrenceSql);
  db.Exec("BEGIN");
  std::vector<std::string> calendars;
  auto calendarId = [&](const std::string& title) {
    for (size_t i = 0; i < calendars.size(); ++i)
      if (calendars[i] == title) return static_cast<int64_t>(i + 1);
    calendars.push_back(title);
    db.Run("INSERT INTO Calendar (ROWID, store_id, title, flags, color, type, supported_entity_types) "
           "VALUES (?, 1, ?, 0, '#1badf8', 'local', 4)",
           {static_cast<int64_t>(calendars.size()), title});
    return static_cast<int64_t>(calendars.size());
  };
  int64_t locationRow = 0;
  for (const GenEvent& e : rows) {
    Value location = nullptr;
    if (!e.location.empty()) {
      ++locationRow;
      location = locationRow;
      if (current) {
        db.Run("INSERT INTO Location (ROWID, title, address, latitude, longitude, item_owner_id) "
               "VALUES (?, ?, ?, 53.8, -1.5, ?)",
               {locationRow, e.location, TextOrNull(e.address), e.rowId});
      } else {
        db.Run("INSERT INTO Location (ROWID, title, latitude, longitude, address, item_owner_id) "
               "VALUES (?, ?, 53.8, -1.5, ?, ?)",
               {locationRow, e.location, TextOrNull(e.address), e.rowId});
      }
    }
    const int64_t cal = calendarId(e.calendar);
    const std::string uuid = Format("5E1D0000-0000-4000-8000-%012lld", static_cast<long long>(e.rowId));
    const std::vector<Value> common = {e.rowId,
                                       e.summary,
                                       TextOrNull(e.description),
                                       e.reminder ? Value(nullptr) : AppleDate(e.startUnix),
                                       TextOrNull(e.timeZone),
                                       e.reminder ? Value(nullptr) : AppleDate(e.endUnix),
                                       int64_t{e.allDay ? 1 : 0},
                                       cal,
                                       TextOrNull(e.url),
                                       int64_t{e.frequency ? 1 : 0},
                                       uuid,
                                       int64_t{e.reminder ? 3 : 2},
                                       int64_t{e.priority},
                                       AppleDate(e.dueUnix),
                                       AppleDate(e.completedUnix),
                                       AppleDate(e.startUnix ? e.startUnix - 86400 : 1300000000)};
    std::vector<Value> values = common;
    if (current) {
      db.Run("INSERT INTO CalendarItem (ROWID, summary, description, start_date, start_tz, end_date, all_day, "
             "calendar_id, url, has_recurrences, UUID, entity_type, priority, due_date, completion_date, "
             "creation_date, travel_time, junk_status) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,0,0)",
             values);
    } else {
      values.push_back(location);
      db.Run("INSERT INTO CalendarItem (ROWID, summary, description, start_date, start_tz, end_date, all_day, "
             "calendar_id, url, has_recurrences, UUID, entity_type, priority, due_date, completion_date, "
             "creation_date, location_id) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
             values);
    }
    if (e.frequency) {
      db.Run("INSERT INTO Recurrence (frequency, interval, week_start, count, owner_id, UUID) "
             "VALUES (?, ?, 0, ?, ?, ?)",
             {int64_t{e.frequency}, int64_t{e.interval}, int64_t{e.count}, e.rowId, uuid});
    }
  }
  db.Exec("COMMIT");
  for (const GenEvent& e : rows) {
    if (e.deleted) db.Run("DELETE FROM CalendarItem WHERE ROWID = ?", {e.rowId});
  }
}

std::vector<std::pair<std::string, std::vector<GenReminder>>> ReminderStores(const FamilyOptions& options) {
  const int64_t base = 1700000000;
  std::vector<GenReminder> home;
  auto add = [&](std::vector<GenReminder>& into, std::string title, std::string list) -> GenReminder& {
    GenReminder r;
    r.pk = static_cast<int64_t>(into.size()) + 1;
    r.title = std::move(title);
    r.list = std::move(list);
    r.createdUnix = base - 86400 + r.pk * 60;
    into.push_back(r);
    return into.back();
  };
  GenReminder& milk = add(home, "Buy milk & eggs", "Groceries");
  milk.dueUnix = base + 3600;
  milk.priority = 1;
  milk.flagged = true;
  milk.notes = "2 litres <semi-skimmed>";
  GenReminder& tax = add(home, "File the tax return", "Home");
  tax.completed = true;
  tax.completedUnix = base - 600;
  tax.dueUnix = base - 86400;
  GenReminder& bins = add(home, "Put the bins out", "Home");
  bins.dueUnix = base - base % 86400 + 3 * 86400;
  bins.allDay = true;
  GenReminder& marked = add(home, "Renew passport", "Home");
  marked.marked = true;
  GenReminder& deleted = add(home, "Deleted reminder with a long title that survives", "Groceries");
  deleted.deleted = true;
  deleted.notes = "removed from the list";
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 5; ++i) {
      GenReminder& r = add(home, Format("Task %d.%d", s, i), "Home");
      r.deleted = i == 3;
    }
  }
  std::vector<GenReminder> work;
  GenReminder& report = add(work, "Send the weekly report", "Work");
  report.dueUnix = base + 2 * 86400;
  report.priority = 5;
  return {{"Data-6F1E4C0A-0000-4000-8000-000000000001", home},
          {"Data-6F1E4C0A-0000-4000-8000-000000000002", work}};
}

void BuildReminderStore(const fs::path& path, const std::vector<GenReminder>& reminders) {
  FixtureDb db(path);
  db.Exec("CREATE TABLE ZREMCDBASELIST ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
          "ZMARKEDFORDELETION INTEGER, ZACCOUNT INTEGER, ZSORTINGSTYLE VARCHAR, ZBADGEEMBLEM VARCHAR, "
          "ZNAME VARCHAR, ZCOLOR BLOB, ZCKIDENTIFIER VARCHAR, ZIDENTIFIER BLOB )");
  db.Exec("CREATE TABLE ZREMCDREMINDER ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
          "ZALLDAY INTEGER, ZCOMPLETED INTEGER, ZFLAGGED INTEGER, ZMARKEDFORDELETION INTEGER, "
          "ZPRIORITY INTEGER, ZACCOUNT INTEGER, ZLIST INTEGER, ZPARENTREMINDER INTEGER, "
          "ZCOMPLETIONDATE TIMESTAMP, ZCREATIONDATE TIMESTAMP, ZDUEDATE TIMESTAMP, "
          "ZLASTMODIFIEDDATE TIMESTAMP, ZSTARTDATE TIMESTAMP, ZNOTES VARCHAR, ZTITLE VARCHAR, "
          "ZTIMEZONE VARCHAR, ZCKIDENTIFIER VARCHAR, ZEXTERNALIDENTIFIER VARCHAR, ZIDENTIFIER BLOB )");
  db.Exec("BEGIN");
  std::vector<std::string> lists;
  auto listPk = [&](const std::string& name) {
    for (size_t i = 0; i < lists.size(); ++i)
      if (lists[i] == name) return static_cast<int64_t>(i + 1);
    lists.push_back(name);
    db.Run("INSERT INTO ZREMCDBASELIST (Z_PK, Z_ENT, Z_OPT, ZMARKEDFORDELETION, ZACCOUNT, ZNAME) "
           "VALUES (?, 20, 1, 0, 1, ?)",
           {static_cast<int64_t>(lists.size()), name});
    return static_cast<int64_t>(lists.size());
  };
  for (const GenReminder& r : reminders) {
    db.Run("INSERT INTO ZREMCDREMINDER (Z_PK, Z_ENT, Z_OPT, ZALLDAY, ZCOMPLETED, ZFLAGGED, ZMARKEDFORDELETION, "
           "ZPRIORITY, ZACCOUNT, ZLIST, ZCOMPLETIONDATE, ZCREATIONDATE, ZDUEDATE, ZLASTMODIFIEDDATE, ZNOTES, "
           "ZTITLE, ZCKIDENTIFIER) VALUES (?, 27, 3, ?, ?, ?, ?, ?, 1, ?, ?, ?, ?, ?, ?, ?, ?)",
           {r.pk, int64_t{r.allDay}, int64_t{r.completed}, int64_t{r.flagged}, int64_t{r.marked},
            int64_t{r.priority}, listPk(r.list), AppleDate(r.completedUnix), AppleDate(r.createdUnix),
            AppleDate(r.dueUnix), AppleDate(r.createdUnix + 5), TextOrNull(r.notes), r.title,
            Format("CK-%lld", static_cast<long long>(r.pk))});
  }
  db.Exec("COMMIT");
  for (const GenReminder& r : reminders) {
    if (r.deleted) db.Run("DELETE FROM ZREMCDREMINDER WHERE Z_PK = ?", {r.pk});
  }
}

std::vector<GenBookmark> BookmarkRows(const FamilyOptions& options) {
  std::vector<GenBookmark> rows;
  auto add = [&](int64_t parent, int type, std::string title, std::string url, std::string folder) -> GenBookmark& {
    GenBookmark b;
    b.id = static_cast<int64_t>(rows.size()) + 1;
    b.parent = parent;
    b.type = type;
    b.title = std::move(title);
    b.url = std::move(url);
    b.expectedFolder = std::move(folder);
    rows.push_back(b);
    return rows.back();
  };
  add(0, 1, "BookmarksBar", "", "");            // 1
  add(0, 1, "BookmarksMenu", "", "");           // 2
  add(0, 1, "com.apple.ReadingList", "", "");   // 3
  add(1, 0, "Apple", "https://www.apple.com/", "Favourites");
  add(1, 1, "News", "", "");                    // 5
  add(5, 0, "BBC <News> & Sport", "https://www.bbc.co.uk/news?a=1&b=2", "Favourites/News");
  add(2, 0, "Debian", "https://www.debian.org/", "Bookmarks Menu");
  add(3, 0, "An article to read", "https://blog.example/post/1", "Reading List");
  add(5, 0, "Deleted bookmark", "https://deleted.example/page", "Favourites/News").deleted = true;
  add(2, 0, "Marked bookmark", "https://marked.example/", "Bookmarks Menu").marked = true;
  add(2, 0, "Very long URL", "https://long.example/?q=" + std::string(5000, 'x'), "Bookmarks Menu");
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 5; ++i) {
      add(2, 0, Format("Site %d.%d", s, i), Format("https://site%d-%d.example/", s, i), "Bookmarks Menu").deleted =
          i == 3;
    }
  }
  return rows;
}

void BuildBookmarksDb(const fs::path& path, const std::vector<GenBookmark>& rows, bool current) {
  FixtureDb db(path);
  std::string sql =
      "CREATE TABLE bookmarks (id INTEGER PRIMARY KEY AUTOINCREMENT, special_id INTEGER DEFAULT 0, parent INTEGER, "
      "type INTEGER, title TEXT, url TEXT COLLATE NOCASE, num_children INTEGER DEFAULT 0, editable INTEGER DEFAULT "
      "1, deletable INTEGER DEFAULT 1, hidden INTEGER DEFAULT 0, hidden_ancestor_count INTEGER DEFAULT 0, "
      "order_index INTEGER NOT NULL, external_uuid TEXT, read INTEGER DEFAULT NULL, last_modified REAL DEFAULT "
      "NULL, server_id TEXT, sync_key TEXT, sync_data BLOB, added INTEGER DEFAULT 1, deleted INTEGER DEFAULT 0";
  if (current) {
    sql += ", extra_attributes BLOB DEFAULT NULL, local_attributes BLOB DEFAULT NULL, fetched_icon BOOL DEFAULT 0, "
           "icon BLOB DEFAULT NULL, dav_generation INTEGER DEFAULT 0, locally_added BOOL DEFAULT 0, "
           "archive_status INTEGER DEFAULT 0, syncable BOOL DEFAULT 1, web_filter_status INTEGER DEFAULT 0, "
           "modified_attributes UNSIGNED BIG INT DEFAULT 0";
  }
  db.Exec(sql + ")");
  db.Exec("CREATE INDEX parent_index ON bookmarks (parent, order_index)");
  db.Exec("BEGIN");
  db.Run("INSERT INTO bookmarks (id, special_id, parent, type, title, order_index) VALUES (0, 0, NULL, 1, 'Root', 0)",
         {});
  int order = 0;
  for (const GenBookmark& b : rows) {
    db.Run("INSERT INTO bookmarks (id, special_id, parent, type, title, url, order_index, external_uuid, deleted) "
           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
           {b.id, int64_t{b.parent == 0 ? b.id : 0}, b.parent, int64_t{b.type}, b.title, TextOrNull(b.url),
            int64_t{order++}, Format("B00C0000-0000-4000-8000-%012lld", static_cast<long long>(b.id)),
            int64_t{b.marked}});
  }
  db.Exec("COMMIT");
  for (const GenBookmark& b : rows) {
    if (b.deleted) db.Run("DELETE FROM bookmarks WHERE id = ?", {b.id});
  }
}

std::vector<GenHistoryItem> HistoryRows(const FamilyOptions& options) {
  const int64_t base = 1700000000;
  std::vector<GenHistoryItem> rows;
  auto add = [&](std::string url, std::vector<std::pair<int64_t, std::string>> visits) -> GenHistoryItem& {
    GenHistoryItem h;
    h.id = static_cast<int64_t>(rows.size()) + 1;
    h.url = std::move(url);
    h.visits = std::move(visits);
    h.visitCount = static_cast<int>(h.visits.size());
    rows.push_back(h);
    return rows.back();
  };
  add("https://www.apple.com/", {{base + 10, "Apple (old title)"}, {base + 500, "Apple"}});
  add("https://search.example/?q=a%26b&lang=en", {{base + 1000, "a&b <search>"}});
  add("https://private.example/secret", {{base + 2000, "Secret page"}, {base + 2100, "Secret page again"}}).deleted =
      true;
  add("https://news.example/", {{base + 3000, "News"}});
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 5; ++i) {
      add(Format("https://visit%d-%d.example/", s, i), {{base + s * 86400 + i, Format("Visit %d.%d", s, i)}})
          .deleted = i == 3;
    }
  }
  return rows;
}

void BuildHistoryDb(const fs::path& path, const std::vector<GenHistoryItem>& rows) {
  FixtureDb db(path);
  db.Exec("CREATE TABLE history_items (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL UNIQUE, "
          "domain_expansion TEXT NULL, visit_count INTEGER NOT NULL, daily_visit_counts BLOB NOT NULL, "
          "weekly_visit_counts BLOB NULL, autocomplete_triggers BLOB NULL, should_recompute_derived_visit_counts "
          "INTEGER NOT NULL, visit_count_score INTEGER NOT NULL, status_code INTEGER NOT NULL DEFAULT 0)");
  db.Exec("CREATE TABLE history_visits (id INTEGER PRIMARY KEY AUTOINCREMENT, history_item INTEGER NOT NULL "
          "REFERENCES history_items(id) ON DELETE CASCADE, visit_time REAL NOT NULL, title TEXT NULL, "
          "load_successful BOOLEAN NOT NULL DEFAULT 1, http_non_get BOOLEAN NOT NULL DEFAULT 0, synthesized "
          "BOOLEAN NOT NULL DEFAULT 0, redirect_source INTEGER NULL UNIQUE, redirect_destination INTEGER NULL "
          "UNIQUE, origin INTEGER NOT NULL DEFAULT 0, generation INTEGER NOT NULL DEFAULT 0, attributes INTEGER "
          "NOT NULL DEFAULT 0, score INTEGER NOT NULL DEFAULT 0)");
  db.Exec("CREATE INDEX history_visits__last_visit ON history_visits (history_item, visit_time DESC)");
  db.Exec("BEGIN");
  for (const GenHistoryItem& h : rows) {
    db.Run("INSERT INTO history_items (id, url, domain_expansion, visit_count, daily_visit_counts, "
           "should_recompute_derived_visit_counts, visit_count_score) VALUES (?, ?, NULL, ?, ?, 0, ?)",
           {h.id, h.url, int64_t{h.visitCount}, Blob{std::string(4, '\0')}, int64_t{h.visitCount * 100}});
    for (const auto& [when, title] : h.visits) {
      db.Run("INSERT INTO history_visits (history_item, visit_time, title) VALUES (?, ?, ?)",
             {h.id, AppleDate(when), title});
    }
  }
  db.Exec("COMMIT");
  for (const GenHistoryItem& h : rows) {
    if (!h.deleted) continue;
    db.Run("DELETE FROM history_visits WHERE history_item = ?", {h.id});
    db.Run("DELETE FROM history_items WHERE id = ?", {h.id});
  }
}

void AddOrganizerFamily(BackupWriter& writer, const FamilyOptions& options) {
  const bool current = CurrentLayout(writer);
  const fs::path calendar = writer.ScratchPath("Calendar.sqlitedb");
  BuildCalendarDb(calendar, CalendarRows(current, options), current);
  writer.AddFileFrom("HomeDomain", "Library/Calendar/Calendar.sqlitedb", calendar);
  if (current) {
    for (const auto& [name, reminders] : ReminderStores(options)) {
      const fs::path store = writer.ScratchPath(name + ".sqlite");
      BuildReminderStore(store, reminders);
      writer.AddFileFrom("HomeDomain", "Library/Reminders/Container_v1/Stores/" + name + ".sqlite", store);
    }
  }
  const fs::path bookmarks = writer.ScratchPath("Bookmarks.db");
  BuildBookmarksDb(bookmarks, BookmarkRows(options), current);
  writer.AddFileFrom("HomeDomain", "Library/Safari/Bookmarks.db", bookmarks);
  const fs::path history = writer.ScratchPath("History.db");
  BuildHistoryDb(history, HistoryRows(options));
  writer.AddFileFrom(current ? "AppDomain-com.apple.mobilesafari" : "HomeDomain", "Library/Safari/History.db",
                     history);
}

}  // namespace orbanix::gen
