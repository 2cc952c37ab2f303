#include "export/organizer_documents.h"

#include <ctime>
#include <map>
#include <memory>

#include "export/documents.h"
#include "export/text_format.h"

namespace orbanix {

namespace {

constexpr size_t kIcsLineOctets = 75;

bool Utf8Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// "YYYYMMDDTHHMMSS" of the UTC reading of a second, with "Z" when `utc`;
// "YYYYMMDD" when `dateOnly`. Empty when the second cannot be read.
std::string IcsTime(int64_t unix, bool utc, bool dateOnly) {
  const time_t t = static_cast<time_t>(unix);
  struct tm tm {};
  if (!gmtime_r(&t, &tm) || tm.tm_year + 1900 < 1 || tm.tm_year + 1900 > 9999) return {};
  char buffer[80];
  if (dateOnly) {
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  } else {
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02d%s", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, utc ? "Z" : "");
  }
  return buffer;
}

// A URI value may hold no blank and no control character; a URL that does
// is left to the description.
bool UsableUri(std::string_view url) {
  if (url.empty()) return false;
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7F) return false;
  }
  return true;
}

void Property(std::string& out, std::string_view name, std::string_view value) {
  std::string line(name);
  line += ':';
  line += value;
  out += IcsFold(line);
}

void TextProperty(std::string& out, std::string_view name, std::string_view text) {
  if (!text.empty()) Property(out, name, IcsText(text));
}

std::string Cell(std::string_view text) { return TextCell(text); }

std::string YesNo(bool b) { return b ? "Yes" : ""; }

}  // namespace

std::string IcsText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case ';': out += "\\;"; break;
      case ',': out += "\\,"; break;
      case '\r':
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += "\\n";
        break;
      case '\n': out += "\\n"; break;
      case '\t': out += ' '; break;
      default:
        if (c < 0x20 || c == 0x7F) break;  // not allowed in a TEXT value
        out += static_cast<char>(c);
    }
  }
  return out;
}

std::string IcsFold(std::string_view line) {
  std::string out;
  size_t at = 0;
  size_t room = kIcsLineOctets;
  while (line.size() - at > room) {
    size_t cut = at + room;
    while (cut > at && Utf8Continuation(static_cast<unsigned char>(line[cut]))) --cut;
    if (cut == at) cut = at + room;  // not UTF-8 at all: cut where it is
    out.append(line.substr(at, cut - at));
    out += "\r\n ";
    at = cut;
    room = kIcsLineOctets - 1;  // the blank counts
  }
  out.append(line.substr(at));
  out += "\r\n";
  return out;
}

std::string CalendarIcs(const std::vector<const CalendarEventRecord*>& events,
                        const std::vector<const ReminderRecord*>& reminders, int64_t stamp) {
  std::string out;
  Property(out, "BEGIN", "VCALENDAR");
  Property(out, "VERSION", "2.0");
  Property(out, "PRODID", "-//Orbanix//Orbanix recovered items//EN");
  Property(out, "CALSCALE", "GREGORIAN");
  const std::string dtstamp = IcsTime(stamp, true, false);
  int n = 0;
  for (const CalendarEventRecord* e : events) {
    ++n;
    if (!e->start) continue;
    const std::string start = IcsTime(*e->start, !e->floating, e->allDay);
    if (start.empty()) continue;
    Property(out, "BEGIN", "VEVENT");
    Property(out, "UID", "orbanix-event-" + std::to_string(n) + "-" + std::to_string(e->rowId) + "@orbanix");
    Property(out, "DTSTAMP", dtstamp);
    if (e->allDay) {
      Property(out, "DTSTART;VALUE=DATE", start);
      // The end of an all-day event is the day after its last day.
      int64_t end = e->end.value_or(*e->start);
      if (end <= *e->start) end = *e->start + 86400;
      const std::string endDay = IcsTime(end, false, true);
      if (!endDay.empty() && endDay > start) Property(out, "DTEND;VALUE=DATE", endDay);
    } else {
      Property(out, "DTSTART", start);
      if (e->end && *e->end >= *e->start) {
        const std::string end = IcsTime(*e->end, !e->floating, false);
        if (!end.empty()) Property(out, "DTEND", end);
      }
    }
    TextProperty(out, "SUMMARY", e->summary);
    std::string description = e->description;
    if (!e->url.empty() && !UsableUri(e->url)) description += (description.empty() ? "" : "\n") + e->url;
    TextProperty(out, "DESCRIPTION", description);
    std::string place = e->location;
    if (!e->locationAddress.empty()) place += (place.empty() ? "" : ", ") + e->locationAddress;
    TextProperty(out, "LOCATION", place);
    if (UsableUri(e->url)) Property(out, "URL", e->url);
    if (!e->calendar.empty()) Property(out, "CATEGORIES", IcsText(e->calendar));
    if (!e->recurrence.empty()) Property(out, "RRULE", e->recurrence);
    if (e->deleted) Property(out, "X-ORBANIX-RECOVERED", "DELETED");
    Property(out, "END", "VEVENT");
  }
  n = 0;
  for (const ReminderRecord* r : reminders) {
    ++n;
    Property(out, "BEGIN", "VTODO");
    Property(out, "UID", "orbanix-reminder-" + std::to_string(n) + "-" + std::to_string(r->rowId) + "@orbanix");
    Property(out, "DTSTAMP", dtstamp);
    if (r->created) {
      const std::string created = IcsTime(*r->created, true, false);
      if (!created.empty()) Property(out, "CREATED", created);
    }
    TextProperty(out, "SUMMARY", r->title);
    TextProperty(out, "DESCRIPTION", r->notes);
    if (r->due) {
      const std::string due = IcsTime(*r->due, !r->dueAllDay, r->dueAllDay);
      if (!due.empty()) Property(out, r->dueAllDay ? "DUE;VALUE=DATE" : "DUE", due);
    }
    Property(out, "STATUS", r->completed ? "COMPLETED" : "NEEDS-ACTION");
    if (r->completedAt) {
      const std::string done = IcsTime(*r->completedAt, true, false);
      if (!done.empty()) Property(out, "COMPLETED", done);
    }
    if (r->priority >= 1 && r->priority <= 9) Property(out, "PRIORITY", std::to_string(r->priority));
    if (!r->list.empty()) Property(out, "CATEGORIES", IcsText(r->list));
    if (r->deleted) Property(out, "X-ORBANIX-RECOVERED", "DELETED");
    Property(out, "END", "VTODO");
  }
  Property(out, "END", "VCALENDAR");
  return out;
}

std::string EventsCsv(const std::vector<const CalendarEventRecord*>& events) {
  std::string out = CsvLine({"Title", "Start", "End", "All Day", "Calendar", "Location", "Address", "Repeat", "URL",
                             "Notes", "Status", kRecoveredFromHeader[0], kRecoveredFromHeader[1], kRecoveredFromHeader[2]});
  for (const CalendarEventRecord* e : events) {
    const RecoveredFromCells from = RecoveredFromCsv(e->recoveredFrom);
    out += CsvLine({e->summary, e->startText, e->endText, YesNo(e->allDay), e->calendar, e->location,
                    e->locationAddress, RecurrenceText(e->recurrence), e->url, e->description,
                    e->deleted ? "Deleted" : "Normal", from.source, from.page, from.offset});
  }
  return out;
}

std::string ReminderStateText(const ReminderRecord& r) { return r.completed ? "Completed" : "Open"; }

std::string RemindersCsv(const std::vector<const ReminderRecord*>& reminders) {
  std::string out = CsvLine({"Title", "List", "Due", "State", "Completed On", "Priority", "Flagged", "Created",
                             "Notes", "Status", kRecoveredFromHeader[0], kRecoveredFromHeader[1], kRecoveredFromHeader[2]});
  for (const ReminderRecord* r : reminders) {
    const RecoveredFromCells from = RecoveredFromCsv(r->recoveredFrom);
    out += CsvLine({r->title, r->list, r->dueText, ReminderStateText(*r), r->completedText,
                    ReminderPriorityText(r->priority), YesNo(r->flagged), r->createdText, r->notes,
                    r->deleted ? "Deleted" : "Normal", from.source, from.page, from.offset});
  }
  return out;
}

std::string BookmarksCsv(const std::vector<const SafariBookmarkRecord*>& bookmarks) {
  std::string out = CsvLine({"Title", "URL", "Folder", "Status", kRecoveredFromHeader[0], kRecoveredFromHeader[1], kRecoveredFromHeader[2]});
  for (const SafariBookmarkRecord* b : bookmarks) {
    const RecoveredFromCells from = RecoveredFromCsv(b->recoveredFrom);
    out += CsvLine({b->title, b->url, b->folder, b->deleted ? "Deleted" : "Normal", from.source, from.page, from.offset});
  }
  return out;
}

std::string HistoryCsv(const std::vector<const SafariHistoryRecord*>& history) {
  std::string out = CsvLine({"Title", "URL", "Last Visit", "Visits", "Status", kRecoveredFromHeader[0], kRecoveredFromHeader[1], kRecoveredFromHeader[2]});
  for (const SafariHistoryRecord* h : history) {
    const RecoveredFromCells from = RecoveredFromCsv(h->recoveredFrom);
    out += CsvLine({h->title, h->url, h->lastVisitText, std::to_string(h->visitCount),
                    h->deleted ? "Deleted" : "Normal", from.source, from.page, from.offset});
  }
  return out;
}

namespace {

struct FolderNode {
  std::vector<std::pair<std::string, std::unique_ptr<FolderNode>>> folders;  // in the order met
  std::vector<const SafariBookmarkRecord*> bookmarks;

  FolderNode& Child(const std::string& name) {
    for (auto& [n, node] : folders)
      if (n == name) return *node;
    folders.emplace_back(name, std::make_unique<FolderNode>());
    return *folders.back().second;
  }
  FolderNode& Path(const std::string& path) {
    FolderNode* at = this;
    size_t from = 0;
    while (from <= path.size()) {
      const size_t slash = std::min(path.find('/', from), path.size());
      if (slash > from) at = &at->Child(path.substr(from, slash - from));
      from = slash + 1;
    }
    return *at;
  }
};

void WriteFolder(std::string& out, const FolderNode& node, int depth) {
  const std::string indent(static_cast<size_t>(depth) * 4, ' ');
  for (const auto& [name, child] : node.folders) {
    out += indent + "<DT><H3>" + HtmlEscape(name) + "</H3>\n";
    out += indent + "<DL><p>\n";
    WriteFolder(out, *child, depth + 1);
    out += indent + "</DL><p>\n";
  }
  for (const SafariBookmarkRecord* b : node.bookmarks) {
    out += indent + "<DT><A HREF=\"" + HtmlEscape(b->url) + "\">" + HtmlEscape(b->title.empty() ? b->url : b->title) +
           "</A>\n";
  }
}

}  // namespace

std::string NetscapeBookmarks(const std::vector<const SafariBookmarkRecord*>& bookmarks) {
  FolderNode root;
  for (const SafariBookmarkRecord* b : bookmarks) {
    FolderNode& top = b->deleted ? root.Child("Recovered deleted bookmarks") : root;
    top.Path(b->folder).bookmarks.push_back(b);
  }
  std::string out =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
      "<!-- This is an automatically generated file.\n"
      "     It will be read and overwritten.\n"
      "     DO NOT EDIT! -->\n"
      "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
      "<TITLE>Bookmarks</TITLE>\n"
      "<H1>Bookmarks</H1>\n"
      "<DL><p>\n";
  WriteFolder(out, root, 1);
  out += "</DL><p>\n";
  return out;
}

std::string EventRow(const CalendarEventRecord& e) {
  std::string place = e.location;
  if (!e.locationAddress.empty()) place += (place.empty() ? "" : ", ") + e.locationAddress;
  return TableRow({Cell(e.summary), Cell(e.startText), Cell(e.endText), Cell(e.allDay ? "All day" : ""),
                   Cell(e.calendar), Cell(place), Cell(RecurrenceText(e.recurrence)), Cell(e.url),
                   Cell(e.description)},
                  e.deleted != 0);
}

std::string ReminderRow(const ReminderRecord& r) {
  return TableRow({Cell(r.title), Cell(r.list), Cell(r.dueText), Cell(ReminderStateText(r)), Cell(r.completedText),
                   Cell(ReminderPriorityText(r.priority)), Cell(YesNo(r.flagged)), Cell(r.notes)},
                  r.deleted != 0);
}

std::string SafariSections(const std::vector<const SafariBookmarkRecord*>& bookmarks,
                           const std::vector<const SafariHistoryRecord*>& history) {
  std::string out;
  out += "<section><h2>Bookmarks (" + std::to_string(bookmarks.size()) + ")</h2>\n<table class=\"bookmarks\">\n"
         "<thead><tr><th>Title</th><th>URL</th><th>Folder</th></tr></thead>\n<tbody>\n";
  for (const SafariBookmarkRecord* b : bookmarks) {
    out += TableRow({Cell(b->title), Cell(b->url), Cell(b->folder)}, b->deleted != 0);
  }
  out += "</tbody>\n</table></section>\n";
  out += "<section><h2>History (" + std::to_string(history.size()) + ")</h2>\n<table class=\"history\">\n"
         "<thead><tr><th>Title</th><th>URL</th><th>Last Visit</th><th>Visits</th></tr></thead>\n<tbody>\n";
  for (const SafariHistoryRecord* h : history) {
    out += TableRow({Cell(h->title), Cell(h->url), Cell(h->lastVisitText), Cell(std::to_string(h->visitCount))},
                    h->deleted != 0);
  }
  out += "</tbody>\n</table></section>\n";
  return out;
}

namespace {

void Add(DetailLines& lines, const char* caption, const std::string& value) {
  if (!value.empty()) lines.emplace_back(caption, value);
}

}  // namespace

DetailLines EventDetail(const CalendarEventRecord& e) {
  DetailLines lines;
  Add(lines, "Title:", e.summary);
  Add(lines, e.allDay ? "Day:" : "Start:", e.startText);
  if (e.endText != e.startText || !e.allDay) Add(lines, e.allDay ? "Until:" : "End:", e.endText);
  Add(lines, "Calendar:", e.calendar);
  Add(lines, "Location:", e.location);
  Add(lines, "Address:", e.locationAddress);
  Add(lines, "Repeat:", RecurrenceText(e.recurrence));
  Add(lines, "URL:", e.url);
  Add(lines, "Notes:", e.description);
  if (e.deleted) Add(lines, "Status:", "Deleted");
  return lines;
}

DetailLines ReminderDetail(const ReminderRecord& r) {
  DetailLines lines;
  Add(lines, "Title:", r.title);
  Add(lines, "List:", r.list);
  Add(lines, "Due:", r.dueText);
  Add(lines, "State:", ReminderStateText(r));
  Add(lines, "Completed On:", r.completedText);
  Add(lines, "Priority:", ReminderPriorityText(r.priority));
  if (r.flagged) Add(lines, "Flagged:", "Yes");
  Add(lines, "Created:", r.createdText);
  Add(lines, "Notes:", r.notes);
  if (r.deleted) Add(lines, "Status:", r.recovered ? "Deleted" : "Marked for deletion");
  return lines;
}

DetailLines BookmarkDetail(const SafariBookmarkRecord& b) {
  DetailLines lines;
  Add(lines, "Title:", b.title);
  Add(lines, "URL:", b.url);
  Add(lines, "Folder:", b.folder);
  if (b.deleted) Add(lines, "Status:", b.recovered ? "Deleted" : "Marked for deletion");
  return lines;
}

DetailLines HistoryDetail(const SafariHistoryRecord& h) {
  DetailLines lines;
  Add(lines, "Title:", h.title);
  Add(lines, "URL:", h.url);
  Add(lines, "Last Visit:", h.lastVisitText);
  Add(lines, "Visits:", std::to_string(h.visitCount));
  if (h.deleted) Add(lines, "Status:", "Deleted");
  return lines;
}

}  // namespace orbanix
