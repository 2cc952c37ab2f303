// JSON Lines export: escaping of hostile texts, dates with their offset, the
// objects of each category, and streaming to a file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "export/json_lines.h"
#include "tests/export/strict_readers.h"
#include "tests/export/temp_folder.h"

namespace orbanix {
namespace {

using strict::JsonValue;

JsonValue Parse(const std::string& line) {
  std::vector<JsonValue> objects;
  std::string error;
  EXPECT_TRUE(strict::ReadJsonLines(line, objects, error)) << error << "\n" << line;
  return objects.empty() ? JsonValue() : objects.front();
}

// Runs a block with TZ set to `zone`, restoring it afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST(JsonQuote, EveryHostileTextParsesBackToItsValidForm) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"quote \" backslash \\ slash /", "quote \" backslash \\ slash /"},
      {"line\nbreak\r\ttab", "line\nbreak\r\ttab"},
      {std::string("nul \0 and \x01\x1f\x7f", 14), std::string("nul \0 and \x01\x1f\x7f", 14)},
      {"invalid \xff\xfe end \xc3", "invalid \xEF\xBF\xBD\xEF\xBF\xBD end \xEF\xBF\xBD"},
      {"emoji \xF0\x9F\x98\x80", "emoji \xF0\x9F\x98\x80"},
      {"separators \xE2\x80\xA8 \xE2\x80\xA9", "separators \xE2\x80\xA8 \xE2\x80\xA9"},
      {"", ""},
  };
  for (const auto& [text, back] : cases) {
    SCOPED_TRACE(text);
    const std::string quoted = JsonQuote(text);
    // Nothing below U+0020 and neither line separator stays raw.
    for (char c : quoted) EXPECT_FALSE(static_cast<uint8_t>(c) < 0x20) << quoted;
    EXPECT_EQ(quoted.find("\xE2\x80\xA8"), std::string::npos);
    const JsonValue v = Parse("{\"k\":" + quoted + "}\n");
    ASSERT_NE(v.Get("k"), nullptr);
    EXPECT_EQ(v.Get("k")->text, back);
  }
}

TEST(IsoDateWithOffset, GivesTheZoneOffsetOfThatMoment) {
  {
    ZoneScope zone("UTC");
    EXPECT_EQ(IsoDateWithOffset("2014-12-08 00:53:20"), "2014-12-08T00:53:20+00:00");
  }
  {
    ZoneScope zone("Europe/Berlin");
    EXPECT_EQ(IsoDateWithOffset("2014-12-08 09:53:20"), "2014-12-08T09:53:20+01:00");  // winter
    EXPECT_EQ(IsoDateWithOffset("2024-07-01 12:00:00"), "2024-07-01T12:00:00+02:00");  // summer
    // The hour that repeats when clocks go back: the earlier reading.
    EXPECT_EQ(IsoDateWithOffset("2024-10-27 02:30:00"), "2024-10-27T02:30:00+02:00");
  }
  {
    ZoneScope zone("America/St_Johns");  // a half-hour zone west of UTC
    EXPECT_EQ(IsoDateWithOffset("2024-01-15 08:00:00"), "2024-01-15T08:00:00-03:30");
  }
  {
    ZoneScope zone("Asia/Kolkata");
    EXPECT_EQ(IsoDateWithOffset("2000-02-29 23:59:59"), "2000-02-29T23:59:59+05:30");
  }
  for (const char* bad : {"", "2014-12-08", "2014-12-08T00:53:20", "2014-13-08 00:00:00", "20x4-12-08 00:00:00",
                          "2014-12-08 24:00:00"}) {
    EXPECT_EQ(IsoDateWithOffset(bad), "") << bad;
  }
}

TEST(JsonObjects, MessageObjectHoldsTheDocumentedFields) {
  ZoneScope zone("UTC");
  MessageRecord m;
  m.rowId = 42;
  m.handleId = 7;
  m.date = LocalDate::FromText("2014-12-08 00:53:20");
  m.fromMe = 1;
  m.address = "+15550001111";
  m.contactName = "Anna \"A\" Smith";
  m.text = "hi,\nthere";
  m.attachmentName = "~/Library/SMS/Attachments/ab/IMG_0001.JPG";
  const JsonValue v = Parse(MessageJson(m, "Anna(+15550001111)", {"Message Attachments/IMG_0001.JPG"}).Line());
  EXPECT_EQ(v.Get("conversation")->text, "Anna(+15550001111)");
  EXPECT_EQ(v.Get("conversation_id")->text, "7");
  EXPECT_EQ(v.Get("row_id")->text, "42");
  EXPECT_EQ(v.Get("date")->text, "2014-12-08T00:53:20+00:00");
  EXPECT_EQ(v.Get("local_date")->text, "2014-12-08 00:53:20");
  EXPECT_TRUE(v.Get("from_me")->boolean);
  EXPECT_EQ(v.Get("contact")->text, "Anna \"A\" Smith");
  EXPECT_EQ(v.Get("text")->text, "hi,\nthere");
  EXPECT_EQ(v.Get("attachment")->text, m.attachmentName);
  ASSERT_EQ(v.Get("attachment_paths")->items.size(), 1u);
  EXPECT_EQ(v.Get("attachment_paths")->items[0].text, "Message Attachments/IMG_0001.JPG");
  EXPECT_FALSE(v.Get("deleted")->boolean);
  ASSERT_NE(v.Get("recovered_from"), nullptr);
  EXPECT_EQ(v.Get("recovered_from")->kind, JsonValue::kNull);

  // A recovered row without its cell header: no row id, no date; where it
  // lay in the database.
  MessageRecord r;
  r.deleted = 1;
  r.recoveredFrom = {70000, 65535, RowSource::kGap};  // the largest page offset there is
  const JsonValue d = Parse(MessageJson(r, "Unknown", {}).Line());
  EXPECT_EQ(d.Get("row_id")->kind, JsonValue::kNull);
  EXPECT_EQ(d.Get("date")->kind, JsonValue::kNull);
  EXPECT_EQ(d.Get("attachment")->kind, JsonValue::kNull);
  EXPECT_TRUE(d.Get("attachment_paths")->items.empty());
  EXPECT_TRUE(d.Get("deleted")->boolean);
  const JsonValue* from = d.Get("recovered_from");
  ASSERT_NE(from, nullptr);
  ASSERT_EQ(from->kind, JsonValue::kObject);
  EXPECT_EQ(from->Get("source")->text, "unallocated");
  EXPECT_EQ(from->Get("page")->text, "70000");
  EXPECT_EQ(from->Get("offset")->text, "65535");
}

// Every category's object says where a recovered row was found, by the
// kinds of free space the manual names; a row the phone only marked deleted
// was found in no free space.
TEST(JsonObjects, EveryCategoryTellsWhereARecoveredRowLay) {
  ZoneScope zone("UTC");
  const std::pair<RowSource, const char*> kinds[] = {
      {RowSource::kFreeblock, "freeblock"},         {RowSource::kTail, "unallocated"},
      {RowSource::kStalePointer, "stale-pointer"},  {RowSource::kFreelistCell, "freelist"},
      {RowSource::kFreelistCandidate, "freelist"},  {RowSource::kFreelistDroppedTable, "dropped-table"}};
  uint32_t page = 2;
  for (const auto& [source, key] : kinds) {
    SCOPED_TRACE(key);
    const RecoveredFrom at{page, static_cast<uint16_t>(page * 100), source};
    ContactRecord c;
    c.deleted = 1;
    c.recoveredFrom = at;
    CallRecord call;
    call.deleted = 1;
    call.recoveredFrom = at;
    NoteRecord n;
    n.deleted = 1;
    n.recoveredFrom = at;
    ChatMessageRecord w;
    w.deleted = 1;
    w.recoveredFrom = at;
    CalendarEventRecord e;
    e.deleted = 1;
    e.recoveredFrom = at;
    ReminderRecord rem;
    rem.deleted = 1;
    rem.recovered = true;
    rem.recoveredFrom = at;
    SafariBookmarkRecord b;
    b.deleted = 1;
    b.recoveredFrom = at;
    SafariHistoryRecord h;
    h.deleted = 1;
    h.recoveredFrom = at;
    for (const JsonObject& o : {ContactJson(c), CallJson(call), NoteJson(n), ChatMessageJson(w, "c", {}),
                                CalendarEventJson(e), ReminderJson(rem), SafariBookmarkJson(b), SafariHistoryJson(h)}) {
      const JsonValue v = Parse(o.Line());
      const JsonValue* from = v.Get("recovered_from");
      ASSERT_NE(from, nullptr) << o.Line();
      ASSERT_EQ(from->kind, JsonValue::kObject) << o.Line();
      EXPECT_EQ(from->Get("source")->text, key);
      EXPECT_EQ(from->Get("page")->text, std::to_string(page));
      EXPECT_EQ(from->Get("offset")->text, std::to_string(page * 100));
    }
    ++page;
  }
  // Marked for deletion on the phone: deleted, but no place in free space.
  ReminderRecord marked;
  marked.deleted = 1;
  const JsonValue v = Parse(ReminderJson(marked).Line());
  EXPECT_TRUE(v.Get("deleted")->boolean);
  EXPECT_EQ(v.Get("recovered_from")->kind, JsonValue::kNull);
}

TEST(JsonObjects, ContactCallNoteChatAndMediaObjects) {
  ZoneScope zone("UTC");
  ContactRecord c;
  c.name = "BobRoss";
  c.firstName = "Bob";
  c.lastName = "Ross";
  c.phones = "+1 555 1\n5552";
  c.email = "a@x.test b@y.test";
  c.homePage = "https://b.test";
  c.deleted = 1;
  const JsonValue cj = Parse(ContactJson(c).Line());
  EXPECT_EQ(cj.Get("name")->text, "BobRoss");
  EXPECT_EQ(cj.Get("first_name")->text, "Bob");
  EXPECT_EQ(cj.Get("last_name")->text, "Ross");
  ASSERT_EQ(cj.Get("phones")->items.size(), 2u);
  EXPECT_EQ(cj.Get("phones")->items[0].text, "+1 555 1");
  ASSERT_EQ(cj.Get("emails")->items.size(), 2u);
  EXPECT_EQ(cj.Get("urls")->items[0].text, "https://b.test");
  EXPECT_TRUE(cj.Get("deleted")->boolean);

  CallRecord call;
  call.date = "2014-12-08 00:53:20";
  call.incoming = 1;
  call.duration = 0;
  call.address = "555";
  const JsonValue k = Parse(CallJson(call).Line());
  EXPECT_EQ(k.Get("direction")->text, "incoming");
  EXPECT_FALSE(k.Get("answered")->boolean);
  EXPECT_EQ(k.Get("duration_seconds")->text, "0");
  EXPECT_EQ(k.Get("date")->text, "2014-12-08T00:53:20+00:00");

  NoteRecord n;
  n.title = "T";
  n.body = "line 1\nline 2";
  n.rowId = 3;
  const JsonValue nj = Parse(NoteJson(n).Line());
  EXPECT_EQ(nj.Get("body")->text, "line 1\nline 2");
  EXPECT_EQ(nj.Get("row_id")->text, "3");
  EXPECT_EQ(nj.Get("date")->kind, JsonValue::kNull);

  ChatMessageRecord w;
  w.chatId = 5;
  w.senderName = "Me";
  w.fromMe = 1;
  w.text = "Media/x/photo.jpg";
  w.mediaItemId = 9;
  const JsonValue wj = Parse(ChatMessageJson(w, "Group", {"WhatsApp Attachments/photo.jpg"}).Line());
  EXPECT_EQ(wj.Get("chat")->text, "Group");
  EXPECT_EQ(wj.Get("chat_id")->text, "5");
  EXPECT_EQ(wj.Get("media_paths")->items[0].text, "WhatsApp Attachments/photo.jpg");

  const JsonValue mj = Parse(MediaJson("app-photos", "a.jpg", 1234, "", "App Photos/x/a.jpg").Line());
  EXPECT_EQ(mj.Get("category")->text, "app-photos");
  EXPECT_EQ(mj.Get("size")->text, "1234");
  EXPECT_EQ(mj.Get("application")->kind, JsonValue::kNull);
}

TEST(JsonLinesFile, StreamsOneLinePerObjectAndReportsFailures) {
  TempFolder dir;
  JsonLinesFile file;
  ASSERT_EQ(file.Open(dir.path() / "many.jsonl"), 0);
  EXPECT_TRUE(file.IsOpen());
  for (int i = 0; i < 20000; ++i) {
    JsonObject o;
    o.Integer("i", i).Text("text", "row \"" + std::to_string(i) + "\"\n");
    ASSERT_EQ(file.Write(o), 0);
  }
  EXPECT_EQ(file.lines(), 20000u);
  ASSERT_EQ(file.Close(), 0);
  std::vector<JsonValue> objects;
  std::string error;
  ASSERT_TRUE(strict::ReadJsonLines(ReadAll(dir.path() / "many.jsonl"), objects, error)) << error;
  ASSERT_EQ(objects.size(), 20000u);
  EXPECT_EQ(objects[19999].Get("i")->text, "19999");
  EXPECT_EQ(objects[7].Get("text")->text, "row \"7\"\n");

  JsonLinesFile missing;
  EXPECT_EQ(missing.Open(dir.path() / "no-such-folder" / "x.jsonl"), ENOENT);
  EXPECT_EQ(missing.Write(JsonObject()), status::kBadData);

  // Until it is closed the file has no final name: a run that stops
  // half-way leaves nothing that looks whole.
  JsonLinesFile partial;
  ASSERT_EQ(partial.Open(dir.path() / "partial.jsonl"), 0);
  ASSERT_EQ(partial.Write(JsonObject().Integer("i", 1)), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "partial.jsonl"));
  ASSERT_EQ(partial.Close(), 0);
  EXPECT_EQ(ReadAll(dir.path() / "partial.jsonl"), "{\"i\":1}\n");
}

TEST(JsonObjects, OrganizerObjectsKeepAllDayAndFloatingTimesApart) {
  ZoneScope zone("Europe/Berlin");
  CalendarEventRecord timed;
  timed.summary = "Dentist";
  timed.start = 1400000000;  // 2014-05-13 16:53:20 UTC
  timed.end = 1400003600;
  const JsonValue t = Parse(CalendarEventJson(timed).Line());
  EXPECT_EQ(t.Get("start")->text, "2014-05-13T18:53:20+02:00");
  EXPECT_EQ(t.Get("end")->text, "2014-05-13T19:53:20+02:00");
  EXPECT_FALSE(t.Get("all_day")->boolean);

  CalendarEventRecord allDay;
  allDay.allDay = allDay.floating = true;
  allDay.start = 1400025600;  // 2014-05-14 00:00 as wall clock
  allDay.end = 1400112000;
  allDay.deleted = 1;
  const JsonValue a = Parse(CalendarEventJson(allDay).Line());
  EXPECT_EQ(a.Get("start")->text, "2014-05-14");
  EXPECT_EQ(a.Get("end")->text, "2014-05-15");
  EXPECT_TRUE(a.Get("deleted")->boolean);
  EXPECT_EQ(a.Get("row_id")->kind, JsonValue::kNull);

  CalendarEventRecord floating;
  floating.floating = true;
  floating.start = 1400061600;  // 10:00 wherever it is read
  const JsonValue f = Parse(CalendarEventJson(floating).Line());
  EXPECT_EQ(f.Get("start")->text, "2014-05-14T10:00:00");
  EXPECT_EQ(f.Get("end")->kind, JsonValue::kNull);

  ReminderRecord r;
  r.title = "Call \"mum\"";
  r.dueAllDay = true;
  r.due = 1400025600;
  r.dueText = "2014-05-14";
  r.completedAt = 1388534400;  // 2014-01-01 00:00 UTC, winter time in Berlin
  r.completed = true;
  const JsonValue rj = Parse(ReminderJson(r).Line());
  EXPECT_EQ(rj.Get("title")->text, "Call \"mum\"");
  EXPECT_EQ(rj.Get("due")->text, "2014-05-14");
  EXPECT_EQ(rj.Get("completed_at")->text, "2014-01-01T01:00:00+01:00");
  EXPECT_EQ(rj.Get("created")->kind, JsonValue::kNull);

  SafariHistoryRecord h;
  h.url = "https://example.com/?a=1&b=\"2\"";
  h.lastVisit = 1400000000;
  h.visitCount = 3;
  const JsonValue hj = Parse(SafariHistoryJson(h).Line());
  EXPECT_EQ(hj.Get("url")->text, h.url);
  EXPECT_EQ(hj.Get("last_visit")->text, "2014-05-13T18:53:20+02:00");
  EXPECT_EQ(hj.Get("visit_count")->text, "3");

  SafariBookmarkRecord b;
  b.title = "News";
  b.folder = "Favourites/News";
  b.readingList = true;
  const JsonValue bj = Parse(SafariBookmarkJson(b).Line());
  EXPECT_EQ(bj.Get("folder")->text, "Favourites/News");
  EXPECT_TRUE(bj.Get("reading_list")->boolean);
}

}  // namespace
}  // namespace orbanix
