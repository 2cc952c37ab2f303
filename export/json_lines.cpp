#include "export/json_lines.h"

#include <cerrno>
#include <ctime>

#include "platform/text.h"

namespace orbanix {

namespace {

bool ParseDigits(std::string_view text, size_t at, size_t count, int& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool SameFields(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// The zone's offset in seconds east of UTC for a local time: of the
// readings with and without daylight saving, those that give the same local
// time back; the earlier instant when both do (the repeated hour).
bool LocalOffset(const std::tm& local, long& offset) {
  bool found = false;
  std::time_t best = 0;
  for (int dst : {1, 0}) {
    std::tm probe = local;
    probe.tm_isdst = dst;
    const std::time_t t = std::mktime(&probe);
    std::tm back{};
    if (!localtime_r(&t, &back) || !SameFields(back, local)) continue;
    if (!found || t < best) {
      best = t;
      offset = back.tm_gmtoff;
      found = true;
    }
  }
  if (found) return true;
  // A local time that does not exist (skipped when clocks go forward): the
  // offset the zone rules give it when read as standard time.
  std::tm probe = local;
  probe.tm_isdst = -1;
  const std::time_t t = std::mktime(&probe);
  std::tm back{};
  if (!localtime_r(&t, &back)) return false;
  offset = back.tm_gmtoff;
  return true;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < valid.size(); ++i) {
    const auto c = static_cast<uint8_t>(valid[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += Format("\\u%04x", c);
        } else if (c == 0xE2 && i + 2 < valid.size() && static_cast<uint8_t>(valid[i + 1]) == 0x80 &&
                   (static_cast<uint8_t>(valid[i + 2]) == 0xA8 || static_cast<uint8_t>(valid[i + 2]) == 0xA9)) {
          // U+2028 and U+2029 end a line in JavaScript.
          out += static_cast<uint8_t>(valid[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
          i += 2;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string IsoDateWithOffset(std::string_view localDate) {
  if (localDate.size() != 19 || localDate[4] != '-' || localDate[7] != '-' || localDate[10] != ' ' ||
      localDate[13] != ':' || localDate[16] != ':') {
    return {};
  }
  std::tm local{};
  int year = 0, month = 0;
  if (!ParseDigits(localDate, 0, 4, year) || !ParseDigits(localDate, 5, 2, month) ||
      !ParseDigits(localDate, 8, 2, local.tm_mday) || !ParseDigits(localDate, 11, 2, local.tm_hour) ||
      !ParseDigits(localDate, 14, 2, local.tm_min) || !ParseDigits(localDate, 17, 2, local.tm_sec)) {
    return {};
  }
  if (month < 1 || month > 12 || local.tm_mday < 1 || local.tm_mday > 31 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 60) {
    return {};
  }
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  long offset = 0;
  if (!LocalOffset(local, offset)) return {};
  const char sign = offset < 0 ? '-' : '+';
  const long magnitude = offset < 0 ? -offset : offset;
  std::string iso(localDate);
  iso[10] = 'T';
  iso += Format("%c%02ld:%02ld", sign, magnitude / 3600, (magnitude % 3600) / 60);
  return iso;
}

std::string IsoInstant(int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (!localtime_r(&t, &local)) return {};
  const long offset = local.tm_gmtoff;
  const long magnitude = offset < 0 ? -offset : offset;
  return Format("%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', magnitude / 3600,
                (magnitude % 3600) / 60);
}

void JsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_.push_back(',');
  body_ += JsonQuote(key);
  body_.push_back(':');
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value) {
  Key(key);
  body_ += JsonQuote(value);
  return *this;
}

JsonObject& JsonObject::Integer(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::Object(std::string_view key, const JsonObject& value) {
  Key(key);
  body_ += value.body_;
  body_.push_back('}');
  return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
  Key(key);
  body_ += "null";
  return *this;
}

JsonObject& JsonObject::Date(std::string_view key, std::string_view localDate) {
  const std::string iso = IsoDateWithOffset(localDate);
  return iso.empty() ? Null(key) : Text(key, iso);
}

JsonObject& JsonObject::Instant(std::string_view key, std::optional<int64_t> unixSeconds) {
  const std::string iso = unixSeconds ? IsoInstant(*unixSeconds) : std::string();
  return iso.empty() ? Null(key) : Text(key, iso);
}

JsonObject& JsonObject::Texts(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  body_.push_back('[');
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) body_.push_back(',');
    body_ += JsonQuote(values[i]);
  }
  body_.push_back(']');
  return *this;
}

Status JsonLinesFile::Open(const std::filesystem::path& path) {
  if (open_) Close();
  path_ = path;
  failure_ = status::kOk;
  lines_ = 0;
  if (const Status st = out_.Open(path); st != status::kOk) return st;
  stream_ = out_.stream();
  if (!stream_) {
    out_.Discard();
    return EIO;
  }
  open_ = true;
  return status::kOk;
}

Status JsonLinesFile::Write(const JsonObject& object) {
  if (!open_) return status::kBadData;
  if (failure_ != status::kOk) return failure_;
  const std::string line = object.Line();
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stream_) != line.size()) {
    failure_ = errno != 0 ? errno : EIO;
    return failure_;
  }
  ++lines_;
  return status::kOk;
}

Status JsonLinesFile::Close() {
  if (!open_) return failure_;
  open_ = false;
  stream_ = nullptr;
  if (failure_ != status::kOk) {
    out_.Discard();
    return failure_;
  }
  failure_ = out_.Commit();
  return failure_;
}

namespace {

// A row id is known for live rows; a row recovered without its cell header
// has none.
void RowId(JsonObject& o, int64_t rowId) {
  if (rowId != 0) {
    o.Integer("row_id", rowId);
  } else {
    o.Null("row_id");
  }
}

// Where a row recovered from free space lay in its database: "source" (the
// kind of free space: "freeblock", "unallocated", "stale-pointer",
// "freelist", "dropped-table"), "page" (counted from 1) and "offset" (in the
// page); null for a live row, also for one the phone marked deleted.
void RecoveredFromField(JsonObject& o, const RecoveredFrom& from) {
  if (!from.Known()) {
    o.Null("recovered_from");
    return;
  }
  JsonObject place;
  place.Text("source", RecoveredFromKey(from.source)).Integer("page", from.page).Integer("offset", from.offset);
  o.Object("recovered_from", place);
}

std::vector<std::string> Split(std::string_view text, bool atBlanks) {
  std::vector<std::string> parts;
  size_t i = 0;
  auto isSeparator = [atBlanks](char c) { return c == '\n' || c == '\r' || (atBlanks && (c == ' ' || c == '\t')); };
  while (i < text.size()) {
    while (i < text.size() && isSeparator(text[i])) ++i;
    size_t end = i;
    while (end < text.size() && !isSeparator(text[end])) ++end;
    const std::string_view part = TrimBlanks(text.substr(i, end - i));
    if (!part.empty()) parts.emplace_back(part);
    i = end;
  }
  return parts;
}

}  // namespace

JsonObject MessageJson(const MessageRecord& m, std::string_view conversation,
                       const std::vector<std::string>& attachmentPaths) {
  JsonObject o;
  o.Text("conversation", conversation).Integer("conversation_id", m.handleId);
  RowId(o, m.rowId);
  o.Date("date", m.date.view()).Text("local_date", m.date.view());
  o.Bool("from_me", m.fromMe != 0).Text("address", m.address).Text("contact", m.contactName).Text("text", m.text);
  if (m.attachmentName.empty()) {
    o.Null("attachment");
  } else {
    o.Text("attachment", m.attachmentName);
  }
  o.Texts("attachment_paths", attachmentPaths);
  o.Bool("deleted", m.deleted != 0);
  RecoveredFromField(o, m.recoveredFrom);
  return o;
}

JsonObject ContactJson(const ContactRecord& c) {
  JsonObject o;
  o.Text("name", c.name).Text("first_name", c.firstName).Text("last_name", c.lastName).Text("organization", c.company);
  o.Texts("phones", Split(c.phones, false)).Texts("emails", Split(c.email, true));
  o.Text("addresses", c.address).Texts("urls", Split(c.homePage, true)).Text("social_profiles", c.social);
  o.Bool("deleted", c.deleted != 0);
  RecoveredFromField(o, c.recoveredFrom);
  return o;
}

JsonObject CallJson(const CallRecord& c) {
  JsonObject o;
  o.Date("date", c.date).Text("local_date", c.date);
  o.Text("direction", c.incoming ? "incoming" : "outgoing");
  o.Integer("duration_seconds", c.duration).Bool("answered", c.duration != 0);
  o.Text("address", c.address).Text("contact", c.name);
  o.Bool("deleted", c.deleted != 0);
  RecoveredFromField(o, c.recoveredFrom);
  return o;
}

JsonObject NoteJson(const NoteRecord& n) {
  JsonObject o;
  RowId(o, n.rowId);
  o.Text("title", n.title).Date("date", n.date).Text("local_date", n.date).Text("body", n.body);
  o.Bool("deleted", n.deleted != 0);
  RecoveredFromField(o, n.recoveredFrom);
  return o;
}

JsonObject ChatMessageJson(const ChatMessageRecord& m, std::string_view chat,
                           const std::vector<std::string>& mediaPaths) {
  JsonObject o;
  o.Text("chat", chat).Integer("chat_id", m.chatId);
  RowId(o, m.rowId);
  o.Date("date", m.date).Text("local_date", m.date);
  o.Bool("from_me", m.fromMe != 0).Text("sender", m.senderName).Text("sender_address", m.senderAddress);
  o.Text("text", m.text).Texts("media_paths", mediaPaths);
  o.Bool("deleted", m.deleted != 0);
  RecoveredFromField(o, m.recoveredFrom);
  return o;
}

namespace {

// A wall-clock time kept as if it were UTC (floating events), as ISO 8601
// without an offset; only the date for all-day events.
void WallClock(JsonObject& o, std::string_view key, std::optional<int64_t> seconds, bool dateOnly) {
  if (!seconds) {
    o.Null(key);
    return;
  }
  const std::time_t t = static_cast<std::time_t>(*seconds);
  std::tm utc{};
  if (!gmtime_r(&t, &utc)) {
    o.Null(key);
    return;
  }
  o.Text(key, dateOnly ? Format("%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday)
                       : Format("%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                                utc.tm_hour, utc.tm_min, utc.tm_sec));
}

}  // namespace

JsonObject CalendarEventJson(const CalendarEventRecord& e) {
  JsonObject o;
  RowId(o, e.rowId);
  o.Text("summary", e.summary).Text("calendar", e.calendar).Bool("all_day", e.allDay);
  if (e.allDay || e.floating) {
    WallClock(o, "start", e.start, e.allDay);
    WallClock(o, "end", e.end, e.allDay);
  } else {
    o.Instant("start", e.start).Instant("end", e.end);
  }
  o.Text("time_zone", e.timeZone).Text("location", e.location).Text("location_address", e.locationAddress);
  o.Text("url", e.url).Text("recurrence", e.recurrence).Text("description", e.description);
  o.Bool("deleted", e.deleted != 0);
  RecoveredFromField(o, e.recoveredFrom);
  return o;
}

JsonObject ReminderJson(const ReminderRecord& r) {
  JsonObject o;
  RowId(o, r.rowId);
  o.Text("title", r.title).Text("list", r.list).Text("notes", r.notes);
  if (r.dueAllDay) {
    if (r.dueText.size() >= 10) {
      o.Text("due", std::string_view(r.dueText).substr(0, 10));
    } else {
      o.Null("due");
    }
  } else {
    o.Instant("due", r.due);
  }
  o.Bool("completed", r.completed).Instant("completed_at", r.completedAt);
  o.Integer("priority", r.priority).Bool("flagged", r.flagged).Instant("created", r.created);
  o.Bool("deleted", r.deleted != 0);
  RecoveredFromField(o, r.recoveredFrom);
  return o;
}

JsonObject SafariBookmarkJson(const SafariBookmarkRecord& b) {
  JsonObject o;
  RowId(o, b.rowId);
  o.Text("title", b.title).Text("url", b.url).Text("folder", b.folder).Bool("reading_list", b.readingList);
  o.Bool("deleted", b.deleted != 0);
  RecoveredFromField(o, b.recoveredFrom);
  return o;
}

JsonObject SafariHistoryJson(const SafariHistoryRecord& h) {
  JsonObject o;
  RowId(o, h.rowId);
  o.Text("url", h.url).Text("title", h.title).Instant("last_visit", h.lastVisit);
  o.Integer("visit_count", h.visitCount).Bool("deleted", h.deleted != 0);
  RecoveredFromField(o, h.recoveredFrom);
  return o;
}

JsonObject MediaJson(std::string_view category, std::string_view name, uint64_t size, std::string_view application,
                     std::string_view outputPath) {
  JsonObject o;
  o.Text("category", category).Text("name", name).Integer("size", static_cast<int64_t>(size));
  if (application.empty()) {
    o.Null("application");
  } else {
    o.Text("application", application);
  }
  o.Text("path", outputPath);
  return o;
}

}  // namespace orbanix
