// The calendar, reminders and Safari readers on generated stores of both
// eras: every live row with its fields, the deleted rows that left their
// bytes, and damaged or hostile stores.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "extractors/calendar.h"
#include "extractors/organizer_values.h"
#include "extractors/reminders.h"
#include "extractors/safari.h"
#include "sqlite_pages/values.h"
#include "test_support.h"
#include "tools/backupgen/family_organizer.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using gen::FixtureDb;
using testing_support::ExecSql;

class OrganizerTest : public testing_support::ScratchTest {};

template <typename T, typename F>
const T* Find(const std::vector<T>& items, F match) {
  const auto it = std::find_if(items.begin(), items.end(), match);
  return it == items.end() ? nullptr : &*it;
}

const CalendarEventRecord* EventNamed(const std::vector<CalendarEventRecord>& events, const std::string& summary) {
  return Find(events, [&](const CalendarEventRecord& e) { return e.summary == summary; });
}

// Every live event with its fields; a deleted event, when its bytes were
// found, with the fields that live in its own row. Returns the number of
// deleted events found.
int CheckEvents(const std::vector<gen::GenEvent>& rows, const std::vector<CalendarEventRecord>& events) {
  int deletedFound = 0;
  for (const gen::GenEvent& g : rows) {
    if (g.reminder) {
      EXPECT_EQ(EventNamed(events, g.summary), nullptr) << "a reminder among the events: " << g.summary;
      continue;
    }
    const CalendarEventRecord* e = EventNamed(events, g.summary);
    if (g.deleted && !e) continue;  // its bytes were overwritten
    deletedFound += g.deleted;
    if (!e) {
      ADD_FAILURE() << "live event missing: " << g.summary;
      continue;
    }
    EXPECT_EQ(e->deleted, g.deleted ? 1 : 0) << g.summary;
    EXPECT_EQ(e->description, g.description) << g.summary;
    EXPECT_EQ(e->url, g.url) << g.summary;
    EXPECT_EQ(e->allDay, g.allDay) << g.summary;
    EXPECT_EQ(e->start.value_or(0), g.startUnix) << g.summary;
    EXPECT_EQ(e->end.value_or(0), g.endUnix) << g.summary;
    if (!g.deleted) {
      // Joined through live rows of the side tables, which a recovered row
      // without its key cannot reach.
      EXPECT_EQ(e->calendar, g.calendar) << g.summary;
      EXPECT_EQ(e->location, g.location) << g.summary;
      EXPECT_EQ(e->locationAddress, g.address) << g.summary;
      EXPECT_EQ(e->recurrence, g.rrule) << g.summary;
    }
  }
  return deletedFound;
}

TEST_F(OrganizerTest, CalendarOfBothErasGivesEveryEventWithItsFields) {
  for (const bool current : {false, true}) {
    SCOPED_TRACE(current ? "current layout" : "old layout");
    const fs::path db = Path(current ? "current.sqlitedb" : "old.sqlitedb");
    const auto rows = gen::CalendarRows(current, {});
    gen::BuildCalendarDb(db, rows, current);
    std::vector<CalendarEventRecord> events;
    std::vector<ReminderRecord> reminders;
    ASSERT_EQ(ScanCalendarDatabase(db, &events, &reminders), status::kOk);
    const int deleted = CheckEvents(rows, events);
    const size_t live =
        std::count_if(rows.begin(), rows.end(), [](auto& g) { return !g.reminder && !g.deleted; });
    EXPECT_EQ(events.size(), live + static_cast<size_t>(deleted)) << "copies of rows or debris were listed";
    EXPECT_GE(deleted, 2) << "deleted events did not come back";
    EXPECT_EQ(reminders.size(), current ? 0u : 3u);
  }
}

TEST_F(OrganizerTest, CalendarTimesAreLocalAndAllDayEventsAreDates) {
  const fs::path db = Path("Calendar.sqlitedb");
  gen::BuildCalendarDb(db, gen::CalendarRows(true, {}), true);
  SetZone("America/New_York");
  std::vector<CalendarEventRecord> events;
  ASSERT_EQ(ScanCalendarDatabase(db, &events, nullptr), status::kOk);
  // 1700003600 is 2023-11-14 23:13:20 UTC, 18:13:20 in New York.
  EXPECT_EQ(EventNamed(events, "Dentist")->startText, "2023-11-14 18:13:20");
  const CalendarEventRecord* holiday = EventNamed(events, "Bank holiday");
  EXPECT_TRUE(holiday->floating);
  EXPECT_EQ(holiday->startText, "2023-11-16");  // the stored day, whatever the zone
  EXPECT_EQ(holiday->endText, "2023-11-17");
  const CalendarEventRecord* odd = EventNamed(events, "Odd\x01 entry\twith tab");
  ASSERT_NE(odd, nullptr);
  EXPECT_FALSE(odd->start.has_value());
  EXPECT_EQ(odd->startText, "");
  EXPECT_EQ(odd->url.size(), 3021u);
}

TEST_F(OrganizerTest, OldPhonesKeepRemindersInTheCalendar) {
  const fs::path db = Path("Calendar.sqlitedb");
  gen::BuildCalendarDb(db, gen::CalendarRows(false, {}), false);
  std::vector<ReminderRecord> reminders;
  ASSERT_EQ(ScanCalendarDatabase(db, nullptr, &reminders), status::kOk);
  const ReminderRecord* milk = Find(reminders, [](auto& r) { return r.title == "Buy milk"; });
  ASSERT_NE(milk, nullptr);
  EXPECT_EQ(milk->list, "Reminders");
  EXPECT_EQ(milk->due.value_or(0), 1400007200);
  EXPECT_EQ(milk->dueText, "2014-05-13 18:53:20");
  EXPECT_EQ(milk->priority, 1);
  EXPECT_FALSE(milk->completed);
  const ReminderRecord* bank = Find(reminders, [](auto& r) { return r.title == "Call the bank"; });
  ASSERT_NE(bank, nullptr);
  EXPECT_TRUE(bank->completed);
  EXPECT_EQ(bank->completedText, "2014-05-13 17:03:20");
  const ReminderRecord* old = Find(reminders, [](auto& r) { return r.title == "Old deleted reminder"; });
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->deleted, 1);
  EXPECT_EQ(old->notes, "it was removed");
}

TEST_F(OrganizerTest, ReminderStoresGiveListsFlagsAndDeletedReminders) {
  const auto stores = gen::ReminderStores({});
  const fs::path db = Path("Data-1.sqlite");
  gen::BuildReminderStore(db, stores[0].second);
  std::vector<ReminderRecord> reminders;
  ASSERT_EQ(ScanReminderStore(db, reminders), status::kOk);
  ASSERT_EQ(reminders.size(), stores[0].second.size());
  for (const gen::GenReminder& g : stores[0].second) {
    const ReminderRecord* r = Find(reminders, [&](auto& x) { return x.title == g.title; });
    ASSERT_NE(r, nullptr) << g.title;
    EXPECT_EQ(r->deleted, g.deleted || g.marked ? 1 : 0) << g.title;
    EXPECT_EQ(r->notes, g.notes) << g.title;
    EXPECT_EQ(r->list, g.list) << g.title;
    EXPECT_EQ(r->due.value_or(0), g.dueUnix) << g.title;
    EXPECT_EQ(r->completed, g.completed) << g.title;
    EXPECT_EQ(r->completedAt.value_or(0), g.completedUnix) << g.title;
    EXPECT_EQ(r->priority, g.priority) << g.title;
    EXPECT_EQ(r->flagged, g.flagged) << g.title;
    EXPECT_EQ(r->created.value_or(0), g.createdUnix) << g.title;
  }
  const ReminderRecord* bins = Find(reminders, [](auto& x) { return x.title == "Put the bins out"; });
  EXPECT_EQ(bins->dueText, "2023-11-17");  // an all-day due date is a day
  EXPECT_STREQ(ReminderPriorityText(1), "High");
  EXPECT_STREQ(ReminderPriorityText(5), "Medium");
  EXPECT_STREQ(ReminderPriorityText(9), "Low");
  EXPECT_STREQ(ReminderPriorityText(0), "");
}

TEST_F(OrganizerTest, ManyDeletedRemindersComeBackOnceEach) {
  gen::FamilyOptions options;
  options.scale = 12;
  const auto stores = gen::ReminderStores(options);
  const fs::path db = Path("Data-1.sqlite");
  gen::BuildReminderStore(db, stores[0].second);
  std::vector<ReminderRecord> reminders;
  ASSERT_EQ(ScanReminderStore(db, reminders), status::kOk);
  for (const gen::GenReminder& g : stores[0].second) {
    const auto n = std::count_if(reminders.begin(), reminders.end(), [&](auto& r) { return r.title == g.title; });
    EXPECT_EQ(n, 1) << g.title;
  }
  EXPECT_EQ(reminders.size(), stores[0].second.size());
}

TEST_F(OrganizerTest, BookmarksKeepTheirFoldersAndTheReadingList) {
  for (const bool current : {false, true}) {
    SCOPED_TRACE(current ? "current layout" : "old layout");
    const fs::path db = Path(current ? "current.db" : "old.db");
    const auto rows = gen::BookmarkRows({});
    gen::BuildBookmarksDb(db, rows, current);
    std::vector<SafariBookmarkRecord> bookmarks;
    ASSERT_EQ(ScanSafariBookmarks(db, bookmarks), status::kOk);
    size_t expected = 0;
    for (const gen::GenBookmark& g : rows) {
      if (g.type != 0) {
        EXPECT_EQ(Find(bookmarks, [&](auto& b) { return b.title == g.title; }), nullptr) << "a folder listed";
        continue;
      }
      ++expected;
      const SafariBookmarkRecord* b = Find(bookmarks, [&](auto& x) { return x.title == g.title; });
      ASSERT_NE(b, nullptr) << g.title;
      EXPECT_EQ(b->url, g.url) << g.title;
      EXPECT_EQ(b->folder, g.expectedFolder) << g.title;
      EXPECT_EQ(b->deleted, g.deleted || g.marked ? 1 : 0) << g.title;
      EXPECT_EQ(b->readingList, g.expectedFolder == "Reading List") << g.title;
    }
    EXPECT_EQ(bookmarks.size(), expected);
  }
}

TEST_F(OrganizerTest, AFolderLoopEndsAndAnUnknownFolderIsBookmarks) {
  const fs::path db = Path("Bookmarks.db");
  gen::BuildBookmarksDb(db, {}, true);
  ExecSql(db,
          "INSERT INTO bookmarks (id, parent, type, title, order_index) VALUES (10, 11, 1, 'A', 0);"
          "INSERT INTO bookmarks (id, parent, type, title, order_index) VALUES (11, 10, 1, 'B', 1);"
          "INSERT INTO bookmarks (id, parent, type, title, url, order_index) VALUES (12, 10, 0, 'looped', 'u1', 2);"
          "INSERT INTO bookmarks (id, parent, type, title, url, order_index) VALUES (13, 99, 0, 'lost', 'u2', 3);");
  std::vector<SafariBookmarkRecord> bookmarks;
  ASSERT_EQ(ScanSafariBookmarks(db, bookmarks), status::kOk);
  ASSERT_EQ(bookmarks.size(), 2u);
  EXPECT_EQ(bookmarks[0].folder, "B/A");
  EXPECT_EQ(bookmarks[1].folder, "Bookmarks");
}

TEST_F(OrganizerTest, HistoryGivesTheLatestVisitAndRecoversADeletedPage) {
  const fs::path db = Path("History.db");
  const auto rows = gen::HistoryRows({});
  gen::BuildHistoryDb(db, rows);
  std::vector<SafariHistoryRecord> history;
  ASSERT_EQ(ScanSafariHistory(db, history), status::kOk);
  const SafariHistoryRecord* apple = Find(history, [](auto& h) { return h.url == "https://www.apple.com/"; });
  ASSERT_NE(apple, nullptr);
  EXPECT_EQ(apple->title, "Apple");
  EXPECT_EQ(apple->lastVisit.value_or(0), 1700000500);
  EXPECT_EQ(apple->lastVisitText, "2023-11-14 22:21:40");
  EXPECT_EQ(apple->visitCount, 2);
  EXPECT_EQ(apple->deleted, 0);
  const SafariHistoryRecord* secret = Find(history, [](auto& h) { return h.url == "https://private.example/secret"; });
  ASSERT_NE(secret, nullptr) << "the deleted page was not recovered";
  EXPECT_EQ(secret->deleted, 1);
  EXPECT_EQ(secret->visitCount, 2);
  for (const gen::GenHistoryItem& g : rows) {
    if (g.deleted) continue;
    const SafariHistoryRecord* h = Find(history, [&](auto& x) { return x.url == g.url; });
    ASSERT_NE(h, nullptr) << g.url;
    EXPECT_EQ(h->title, g.visits.back().second);
  }
}

TEST_F(OrganizerTest, DamagedOrForeignStoresFailWithoutOutput) {
  const fs::path missing = Path("missing.sqlite");
  const fs::path garbage = Path("garbage.sqlite");
  {
    std::ofstream out(garbage, std::ios::binary);
    out << std::string(5000, '\x7f');
  }
  const fs::path foreign = Path("foreign.sqlite");
  ExecSql(foreign, "CREATE TABLE other (a TEXT); INSERT INTO other VALUES ('x');");
  const fs::path cut = Path("cut.sqlite");
  gen::BuildCalendarDb(cut, gen::CalendarRows(true, {}), true);
  fs::resize_file(cut, 1500);

  for (const fs::path& p : {missing, garbage, foreign, cut}) {
    SCOPED_TRACE(p.filename().string());
    std::vector<CalendarEventRecord> events;
    std::vector<ReminderRecord> reminders;
    std::vector<SafariBookmarkRecord> bookmarks;
    std::vector<SafariHistoryRecord> history;
    EXPECT_NE(ScanCalendarDatabase(p, &events, &reminders), status::kOk);
    EXPECT_NE(ScanReminderStore(p, reminders), status::kOk);
    EXPECT_NE(ScanSafariBookmarks(p, bookmarks), status::kOk);
    EXPECT_NE(ScanSafariHistory(p, history), status::kOk);
    EXPECT_TRUE(events.empty() && reminders.empty() && bookmarks.empty() && history.empty());
  }
}

TEST_F(OrganizerTest, DatesOfZeroNullTextOrOutOfRangeAreNoDate) {
  const fs::path db = Path("Data-x.sqlite");
  gen::BuildReminderStore(db, {});
  ExecSql(db,
          "INSERT INTO ZREMCDREMINDER (Z_PK, ZTITLE, ZDUEDATE, ZCREATIONDATE) VALUES (1, 'zero', 0, NULL);"
          "INSERT INTO ZREMCDREMINDER (Z_PK, ZTITLE, ZDUEDATE, ZCREATIONDATE) VALUES (2, 'text', 'soon', 'x');"
          "INSERT INTO ZREMCDREMINDER (Z_PK, ZTITLE, ZDUEDATE, ZCREATIONDATE) VALUES (3, 'far', 1e300, -9e18);"
          "INSERT INTO ZREMCDREMINDER (Z_PK, ZTITLE, ZDUEDATE) VALUES (4, 'nanoseconds', 721692800000000000);");
  std::vector<ReminderRecord> reminders;
  ASSERT_EQ(ScanReminderStore(db, reminders), status::kOk);
  ASSERT_EQ(reminders.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(reminders[i].due.has_value()) << reminders[i].title;
    EXPECT_FALSE(reminders[i].created.has_value()) << reminders[i].title;
    EXPECT_EQ(reminders[i].dueText, "") << reminders[i].title;
  }
  EXPECT_EQ(reminders[3].due.value_or(0), 721692800 + kAppleEpochUnixSeconds);
}

TEST_F(OrganizerTest, RecurrenceInWords) {
  EXPECT_EQ(RecurrenceText("FREQ=WEEKLY;INTERVAL=2;COUNT=5"), "Every 2 weeks, 5 times");
  EXPECT_EQ(RecurrenceText("FREQ=YEARLY"), "Yearly");
  EXPECT_EQ(RecurrenceText("FREQ=DAILY;UNTIL=20240101T000000Z"), "Daily, until 2024-01-01");
  EXPECT_EQ(RecurrenceText(""), "");
}

}  // namespace
}  // namespace orbanix
