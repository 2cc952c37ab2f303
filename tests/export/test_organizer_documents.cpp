// The documents of reminders, events and Safari: the iCalendar file read
// back by a strict parser, the Netscape bookmark file, the CSV tables.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "export/organizer_documents.h"

namespace orbanix {
namespace {

// A strict reader of the iCalendar subset the writer uses: every line ends
// in CRLF and holds at most 75 octets, continuation lines start with one
// blank, no control character but HTAB stands in a line, names are
// upper-case tokens, components nest properly and each VEVENT / VTODO has
// UID and DTSTAMP (and a VEVENT a DTSTART). Values come back unfolded.
struct IcsProperty {
  std::string name;    // with its parameters
  std::string value;
};
struct IcsComponent {
  std::string kind;
  std::vector<IcsProperty> properties;
  std::string Get(const std::string& name) const {
    for (const IcsProperty& p : properties)
      if (p.name == name) return p.value;
    return "<none>";
  }
};

::testing::AssertionResult ParseIcs(const std::string& text, std::vector<IcsComponent>& components) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) return ::testing::AssertionFailure() << "a line without CRLF at " << at;
    const std::string line = text.substr(at, end - at);
    if (line.size() > 75) return ::testing::AssertionFailure() << "a line of " << line.size() << " octets";
    for (unsigned char c : line) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) return ::testing::AssertionFailure() << "a control character";
    }
    if (!line.empty() && line[0] == ' ') {
      if (lines.empty()) return ::testing::AssertionFailure() << "a continuation first";
      lines.back() += line.substr(1);
    } else {
      lines.push_back(line);
    }
    at = end + 2;
  }
  const std::regex contentLine("^([A-Z][A-Z0-9-]*(;[A-Z-]+=[A-Za-z0-9/_-]+)*):(.*)$");
  std::vector<std::string> open;
  for (const std::string& l : lines) {
    // Folding must not have cut a UTF-8 sequence: the unfolded line is valid.
    std::smatch m;
    if (!std::regex_match(l, m, contentLine)) return ::testing::AssertionFailure() << "not a content line: " << l;
    const std::string name = m[1];
    const std::string value = m[3];
    if (name == "BEGIN") {
      open.push_back(value);
      if (value != "VCALENDAR") components.push_back({value, {}});
    } else if (name == "END") {
      if (open.empty() || open.back() != value) return ::testing::AssertionFailure() << "END:" << value << " unmatched";
      open.pop_back();
    } else if (open.size() == 2) {
      components.back().properties.push_back({name, value});
    } else if (open.size() != 1) {
      return ::testing::AssertionFailure() << "a property outside a component: " << name;
    }
  }
  if (!open.empty()) return ::testing::AssertionFailure() << "unclosed " << open.back();
  for (const IcsComponent& c : components) {
    for (const char* required : {"UID", "DTSTAMP"}) {
      if (c.Get(required) == "<none>") return ::testing::AssertionFailure() << c.kind << " without " << required;
    }
    if (c.kind == "VEVENT" && c.Get("DTSTART") == "<none>" && c.Get("DTSTART;VALUE=DATE") == "<none>") {
      return ::testing::AssertionFailure() << "VEVENT without DTSTART";
    }
  }
  return ::testing::AssertionSuccess();
}

// The TEXT value read back: the escapes undone; a lone backslash is an error.
std::string IcsUnescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      EXPECT_NE(value[i], ';') << "an unescaped ; in " << value;
      EXPECT_NE(value[i], ',') << "an unescaped , in " << value;
      out += value[i];
      continue;
    }
    EXPECT_LT(i + 1, value.size()) << "a trailing backslash";
    const char next = value[++i];
    if (next == 'n' || next == 'N') out += '\n';
    else if (next == '\\' || next == ';' || next == ',') out += next;
    else ADD_FAILURE() << "unknown escape \\" << next;
  }
  return out;
}

CalendarEventRecord Event(std::string summary, int64_t start, int64_t end) {
  CalendarEventRecord e;
  e.summary = std::move(summary);
  e.start = start;
  e.end = end;
  e.timeZone = "Europe/London";
  return e;
}

TEST(Ics, TextIsEscapedAndControlCharactersDropped) {
  EXPECT_EQ(IcsText("a,b;c\\d\ne\r\nf"), "a\\,b\\;c\\\\d\\ne\\nf");
  EXPECT_EQ(IcsText(std::string("x\x01y\x7fz\tw", 8)), "xyz w");
  EXPECT_EQ(IcsText(""), "");
}

TEST(Ics, FoldingKeepsLinesShortAndUtf8Whole) {
  std::string long_;
  for (int i = 0; i < 60; ++i) long_ += "\xC3\xA9\xE2\x82\xAC";  // é€, 5 octets, 300 in all
  const std::string folded = IcsFold("SUMMARY:" + long_);
  std::vector<IcsComponent> none;
  std::string unfolded;
  size_t at = 0;
  while (at < folded.size()) {
    const size_t end = folded.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    std::string line = folded.substr(at, end - at);
    EXPECT_LE(line.size(), 75u);
    if (at > 0) {
      ASSERT_EQ(line[0], ' ');
      line.erase(0, 1);
      // A continuation never starts inside a UTF-8 sequence.
      EXPECT_NE(static_cast<unsigned char>(line[0]) & 0xC0, 0x80);
    }
    unfolded += line;
    at = end + 2;
  }
  EXPECT_EQ(unfolded, "SUMMARY:" + long_);
  EXPECT_EQ(IcsFold("A:b"), "A:b\r\n");
  EXPECT_EQ(IcsFold(std::string(75, 'x')), std::string(75, 'x') + "\r\n");  // exactly 75 stays whole
}

TEST(Ics, EventsAndRemindersReadBackThroughAStrictParser) {
  std::vector<CalendarEventRecord> events;
  events.push_back(Event("Team <sync> & review, weekly; again", 1700086400, 1700090000));
  events.back().description = "Line one\nLine two \\ end";
  events.back().recurrence = "FREQ=WEEKLY;INTERVAL=2;COUNT=5";
  events.back().url = "https://x.example/?a=1&b=2,3";
  events.back().location = "Room 1";
  events.back().locationAddress = "High St, Leeds";
  events.back().calendar = "Work";
  events.push_back(Event("Bank holiday", 1700179200, 1700265600));
  events.back().allDay = events.back().floating = true;
  events.push_back(Event("Floating lunch", 1700222400, 1700226000));
  events.back().floating = true;
  events.push_back(Event("No date", 0, 0));
  events.back().start.reset();
  events.back().end.reset();
  events.push_back(Event(std::string(300, 'L') + "\x01", 1700000000, 1699990000));  // ends before it starts
  events.back().deleted = 1;
  events.back().url = "not a uri with blanks";
  std::vector<ReminderRecord> reminders(2);
  reminders[0].title = "Buy milk, eggs";
  reminders[0].due = 1700003600;
  reminders[0].priority = 1;
  reminders[0].list = "Groceries";
  reminders[0].created = 1699900000;
  reminders[1].title = "Bins";
  reminders[1].due = 1700265600;
  reminders[1].dueAllDay = true;
  reminders[1].completed = true;
  reminders[1].completedAt = 1700000000;
  reminders[1].deleted = 1;

  std::vector<const CalendarEventRecord*> e;
  for (const auto& x : events) e.push_back(&x);
  std::vector<const ReminderRecord*> r{&reminders[0], &reminders[1]};
  const std::string ics = CalendarIcs(e, r, 1733616000);
  std::vector<IcsComponent> c;
  ASSERT_TRUE(ParseIcs(ics, c)) << ics;
  ASSERT_EQ(c.size(), 6u);  // the event without a date is left to the other documents

  const IcsComponent& team = c[0];
  EXPECT_EQ(team.kind, "VEVENT");
  EXPECT_EQ(IcsUnescape(team.Get("SUMMARY")), "Team <sync> & review, weekly; again");
  EXPECT_EQ(IcsUnescape(team.Get("DESCRIPTION")), "Line one\nLine two \\ end");
  EXPECT_EQ(IcsUnescape(team.Get("LOCATION")), "Room 1, High St, Leeds");
  EXPECT_EQ(team.Get("DTSTART"), "20231115T221320Z");
  EXPECT_EQ(team.Get("DTEND"), "20231115T231320Z");
  EXPECT_EQ(team.Get("DTSTAMP"), "20241208T000000Z");
  EXPECT_EQ(team.Get("RRULE"), "FREQ=WEEKLY;INTERVAL=2;COUNT=5");
  EXPECT_EQ(team.Get("URL"), "https://x.example/?a=1&b=2,3");
  EXPECT_EQ(team.Get("X-ORBANIX-RECOVERED"), "<none>");

  EXPECT_EQ(c[1].Get("DTSTART;VALUE=DATE"), "20231117");
  EXPECT_EQ(c[1].Get("DTEND;VALUE=DATE"), "20231118");
  EXPECT_EQ(c[2].Get("DTSTART"), "20231117T120000");  // floating: no zone
  const IcsComponent& odd = c[3];
  EXPECT_EQ(IcsUnescape(odd.Get("SUMMARY")), std::string(300, 'L'));
  EXPECT_EQ(odd.Get("DTEND"), "<none>");  // an end before the start is left out
  EXPECT_EQ(odd.Get("URL"), "<none>");
  EXPECT_EQ(IcsUnescape(odd.Get("DESCRIPTION")), "not a uri with blanks");
  EXPECT_EQ(odd.Get("X-ORBANIX-RECOVERED"), "DELETED");

  EXPECT_EQ(c[4].kind, "VTODO");
  EXPECT_EQ(IcsUnescape(c[4].Get("SUMMARY")), "Buy milk, eggs");
  EXPECT_EQ(c[4].Get("DUE"), "20231114T231320Z");
  EXPECT_EQ(c[4].Get("STATUS"), "NEEDS-ACTION");
  EXPECT_EQ(c[4].Get("PRIORITY"), "1");
  EXPECT_EQ(c[4].Get("CATEGORIES"), "Groceries");
  EXPECT_EQ(c[5].Get("DUE;VALUE=DATE"), "20231118");
  EXPECT_EQ(c[5].Get("STATUS"), "COMPLETED");
  EXPECT_EQ(c[5].Get("COMPLETED"), "20231114T221320Z");
  EXPECT_EQ(c[5].Get("X-ORBANIX-RECOVERED"), "DELETED");
  // Every UID differs.
  std::set<std::string> uids;
  for (const IcsComponent& x : c) uids.insert(x.Get("UID"));
  EXPECT_EQ(uids.size(), c.size());
}

TEST(Bookmarks, NetscapeFileNestsFoldersAndEscapes) {
  std::vector<SafariBookmarkRecord> b(5);
  b[0] = {0, false, 1, "Apple", "https://www.apple.com/", "Favourites", false, {}};
  b[1] = {0, false, 2, "BBC <News> & \"Sport\"", "https://bbc.example/?a=1&b=\"2\"", "Favourites/News", false, {}};
  b[2] = {0, false, 3, "Read me", "https://blog.example/1", "Reading List", true, {}};
  b[3] = {1, true, 0, "Gone", "https://gone.example/", "Favourites/News", false, {}};
  b[4] = {0, false, 5, "", "https://untitled.example/", "Bookmarks Menu", false, {}};
  std::vector<const SafariBookmarkRecord*> all;
  for (const auto& x : b) all.push_back(&x);
  const std::string html = NetscapeBookmarks(all);
  EXPECT_EQ(html.rfind("<!DOCTYPE NETSCAPE-Bookmark-file-1>\n", 0), 0u);
  EXPECT_NE(html.find("<DT><A HREF=\"https://bbc.example/?a=1&amp;b=&quot;2&quot;\">BBC &lt;News&gt; &amp; "
                      "&quot;Sport&quot;</A>"),
            std::string::npos)
      << html;
  // News sits inside Favourites, and the deleted bookmark in a folder of
  // its own with the same path.
  const size_t favourites = html.find("<H3>Favourites</H3>");
  const size_t news = html.find("<H3>News</H3>");
  const size_t recovered = html.find("<H3>Recovered deleted bookmarks</H3>");
  ASSERT_NE(favourites, std::string::npos);
  ASSERT_NE(news, std::string::npos);
  ASSERT_NE(recovered, std::string::npos);
  EXPECT_LT(favourites, news);
  EXPECT_GT(html.find("gone.example"), recovered);
  EXPECT_NE(html.find(">https://untitled.example/</A>"), std::string::npos);  // no title: the address
  // Every <DL> is closed.
  size_t opens = 0, closes = 0;
  for (size_t p = 0; (p = html.find("<DL><p>", p)) != std::string::npos; ++p) ++opens;
  for (size_t p = 0; (p = html.find("</DL><p>", p)) != std::string::npos; ++p) ++closes;
  EXPECT_EQ(opens, closes);
  // The top, Favourites, News, Reading List, Bookmarks Menu, and the
  // recovered folder with Favourites/News below it.
  EXPECT_EQ(opens, 8u);
}

TEST(OrganizerCsv, HeaderRowsAndQuotedFields) {
  ReminderRecord r;
  r.title = "a, \"b\"";
  r.notes = "two\nlines";
  r.priority = 5;
  r.dueText = "2023-11-14 22:13:20";
  const std::string csv = RemindersCsv({&r});
  EXPECT_EQ(csv,
            "Title,List,Due,State,Completed On,Priority,Flagged,Created,Notes,Status,Recovered From,Page,Offset\r\n"
            "\"a, \"\"b\"\"\",,2023-11-14 22:13:20,Open,,Medium,,,\"two\nlines\",Normal,,,\r\n");
  // A recovered row ends with where it lay in its database.
  SafariHistoryRecord h;
  h.url = "https://x.example/?q=1,2";
  h.visitCount = 3;
  h.deleted = 1;
  h.recoveredFrom = {12, 3050, RowSource::kFreeblock};
  EXPECT_EQ(HistoryCsv({&h}), "Title,URL,Last Visit,Visits,Status,Recovered From,Page,Offset\r\n"
                              ",\"https://x.example/?q=1,2\",,3,Deleted,free block,12,3050\r\n");
  SafariBookmarkRecord b;
  b.deleted = 1;
  b.recoveredFrom = {4, 8, RowSource::kFreelistDroppedTable};
  EXPECT_EQ(BookmarksCsv({&b}), "Title,URL,Folder,Status,Recovered From,Page,Offset\r\n,,,Deleted,dropped table,4,8\r\n");
  CalendarEventRecord e = Event("x", 0, 0);
  e.recurrence = "FREQ=YEARLY";
  EXPECT_NE(EventsCsv({&e}).find(",Yearly,"), std::string::npos);
}

TEST(OrganizerHtml, RowsEscapeAndMarkDeletedRecords) {
  CalendarEventRecord e = Event("<script>alert(1)</script> & {|person|}", 0, 0);
  e.deleted = 1;
  const std::string row = EventRow(e);
  EXPECT_NE(row.find("class=\"deleted\""), std::string::npos);
  EXPECT_EQ(row.find("<script>"), std::string::npos);
  EXPECT_EQ(row.find("{|"), std::string::npos);
  SafariBookmarkRecord b{0, false, 1, "a<b", "https://x/?a&b", "Favourites", false, {}};
  SafariHistoryRecord h;
  h.title = "t&t";
  const std::string sections = SafariSections({&b}, {&h});
  EXPECT_NE(sections.find("Bookmarks (1)"), std::string::npos);
  EXPECT_NE(sections.find("History (1)"), std::string::npos);
  EXPECT_NE(sections.find("a&lt;b"), std::string::npos);
  EXPECT_NE(sections.find("t&amp;t"), std::string::npos);
}

}  // namespace
}  // namespace orbanix
