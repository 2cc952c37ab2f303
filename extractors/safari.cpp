#include "extractors/safari.h"

#include <map>
#include <set>
#include <utility>

#include "extractors/organizer_values.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"

namespace orbanix {

namespace {

constexpr const char* kReadingListTitle = "com.apple.ReadingList";
// Folder chains longer than this are loops of a damaged table.
constexpr int kDeepestFolder = 64;

struct Folder {
  std::string title;
  int64_t parent = 0;
};

struct Row {
  int deleted = 0;
  RecoveredFrom recoveredFrom;
  int64_t id = 0;
  int64_t parent = -1;  // -1: unknown
  int64_t type = 0;
  bool marked = false;
  std::string title;
  std::string url;
};

}  // namespace

std::string SafariFolderName(const std::string& storedTitle) {
  if (storedTitle == "BookmarksBar") return "Favourites";
  if (storedTitle == "BookmarksMenu") return "Bookmarks Menu";
  if (storedTitle == kReadingListTitle) return "Reading List";
  return storedTitle;
}

Status ScanSafariBookmarks(const std::filesystem::path& database, std::vector<SafariBookmarkRecord>& bookmarks,
                           const OrganizerProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(database);
  if (opened != status::kOk) return opened;
  const ColumnLookup cols = ColumnLookup::Load(database, "bookmarks");
  if (!cols.HasSchema()) return status::kBadData;
  const int idCol = cols.Find("id");
  const int parentCol = cols.Find("parent");
  const int typeCol = cols.Find("type");
  const int titleCol = cols.Find("title");
  const int urlCol = cols.Find("url");
  const int deletedCol = cols.Find("deleted");

  std::vector<Row> rows;
  ParsedRecord rec;
  reader.genericColumnCount = cols.ColumnCount();
  ScanTable(reader, "bookmarks", [&](CDbFileReader& r, const RowInput& in) {
    if (ParseRecord(r, in, rec) != status::kOk) return status::kBadData;
    Row row;
    row.deleted = in.deleted;
    row.recoveredFrom = RecoveredFromInput(in);
    row.id = rec.hasRowid ? rec.rowid : (rec.IsInteger(idCol) ? rec.AsInt64(idCol) : 0);
    if (rec.IsInteger(parentCol)) row.parent = rec.AsInt64(parentCol);
    row.type = IntColumn(rec, typeCol, 0);
    row.marked = IntColumn(rec, deletedCol, 0) != 0;
    row.title = TextColumn(rec, titleCol);
    row.url = TextColumn(rec, urlCol);
    if (!PlausibleField(row.title, in.deleted) || !PlausibleField(row.url, in.deleted)) return status::kBadData;
    if (in.deleted && row.type == 0 && row.url.empty()) return status::kBadData;
    rows.push_back(std::move(row));
    return status::kOk;
  });
  if (progress && progress(60) != 0) return status::kCancelled;

  // The folders that carry their key; a live folder wins over a recovered
  // copy of the same key.
  std::map<int64_t, Folder> folders;
  for (const Row& row : rows) {
    if (row.type != 1 || row.id == 0) continue;
    if (row.deleted == 0 || !folders.count(row.id)) folders[row.id] = Folder{row.title, row.parent};
  }
  auto pathOf = [&](int64_t parent, bool& readingList) {
    std::vector<std::string> names;
    std::set<int64_t> visited;
    int64_t at = parent;
    while (at > 0 && static_cast<int>(names.size()) < kDeepestFolder && visited.insert(at).second) {
      const auto it = folders.find(at);
      if (it == folders.end()) break;
      if (it->second.title == kReadingListTitle) readingList = true;
      names.push_back(SafariFolderName(it->second.title));
      at = it->second.parent;
    }
    std::string path;
    for (auto n = names.rbegin(); n != names.rend(); ++n) {
      if (n->empty()) continue;
      if (!path.empty()) path += '/';
      path += *n;
    }
    return path.empty() ? std::string("Bookmarks") : path;
  };

  std::set<std::string> seen;
  for (const SafariBookmarkRecord& b : bookmarks) seen.insert(b.title + '\x1f' + b.url + '\x1f' + b.folder);
  for (Row& row : rows) {
    if (row.type != 0) continue;
    SafariBookmarkRecord b;
    b.deleted = row.deleted || row.marked ? 1 : 0;
    b.recovered = row.deleted != 0;
    b.recoveredFrom = row.recoveredFrom;
    b.rowId = row.id;
    b.title = std::move(row.title);
    b.url = std::move(row.url);
    b.folder = pathOf(row.parent, b.readingList);
    const bool fresh = seen.insert(b.title + '\x1f' + b.url + '\x1f' + b.folder).second;
    if (!fresh && b.recovered) continue;  // the old bytes of a row kept already
    bookmarks.push_back(std::move(b));
  }
  if (progress && progress(100) != 0) return status::kCancelled;
  return status::kOk;
}

Status ScanSafariHistory(const std::filesystem::path& database, std::vector<SafariHistoryRecord>& history,
                         const OrganizerProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(database);
  if (opened != status::kOk) return opened;
  const ColumnLookup items = ColumnLookup::Load(database, "history_items");
  if (!items.HasSchema()) return status::kBadData;
  const int urlCol = items.Find("url");
  const int countCol = items.Find("visit_count");

  std::vector<SafariHistoryRecord> found;
  ParsedRecord rec;
  reader.genericColumnCount = items.ColumnCount();
  ScanTable(reader, "history_items", [&](CDbFileReader& r, const RowInput& in) {
    if (ParseRecord(r, in, rec) != status::kOk) return status::kBadData;
    SafariHistoryRecord h;
    h.deleted = in.deleted;
    h.recoveredFrom = RecoveredFromInput(in);
    h.rowId = rec.hasRowid ? rec.rowid : 0;
    h.url = TextColumn(rec, urlCol);
    if (!PlausibleField(h.url, in.deleted) || (in.deleted && h.url.empty())) return status::kBadData;
    h.visitCount = IntColumn(rec, countCol, 0);
    if (h.visitCount < 0) h.visitCount = 0;
    found.push_back(std::move(h));
    return status::kOk;
  });
  if (progress && progress(50) != 0) return status::kCancelled;

  // The latest visit of every item, live visits and recovered ones alike.
  struct Visit {
    int64_t time = INT64_MIN;
    std::string title;
    int deleted = 0;
    RecoveredFrom recoveredFrom;
  };
  std::map<int64_t, Visit> latest;
  std::vector<Visit> orphans;  // recovered visits of an item that is not known
  const ColumnLookup visits = ColumnLookup::Load(database, "history_visits");
  if (visits.HasSchema()) {
    const int itemCol = visits.Find("history_item");
    const int timeCol = visits.Find("visit_time");
    const int titleCol = visits.Find("title");
    reader.genericColumnCount = visits.ColumnCount();
    ScanTable(reader, "history_visits", [&](CDbFileReader& r, const RowInput& in) {
      if (ParseRecord(r, in, rec) != status::kOk || !rec.IsInteger(itemCol)) return status::kBadData;
      Visit v;
      v.deleted = in.deleted;
      v.recoveredFrom = RecoveredFromInput(in);
      v.title = TextColumn(rec, titleCol);
      if (!PlausibleField(v.title, in.deleted)) return status::kBadData;
      const auto when = AppleDateColumn(rec, timeCol);
      if (in.deleted && !when) return status::kBadData;
      v.time = when.value_or(INT64_MIN);
      Visit& at = latest[rec.AsInt64(itemCol)];
      if (v.time >= at.time) {
        // A later visit without a title keeps the title seen before.
        if (v.title.empty()) v.title = at.title;
        at = std::move(v);
      } else if (at.title.empty()) {
        at.title = v.title;
      }
      return status::kOk;
    });
  }
  std::set<int64_t> claimed;
  std::set<std::string> seen;
  for (const SafariHistoryRecord& h : history) seen.insert(h.url);
  std::vector<SafariHistoryRecord> kept;
  for (SafariHistoryRecord& h : found) {
    if (h.rowId != 0) {
      const auto it = latest.find(h.rowId);
      if (it != latest.end()) {
        if (it->second.time != INT64_MIN) h.lastVisit = it->second.time;
        h.title = it->second.title;
        claimed.insert(h.rowId);
      }
    }
    h.lastVisitText = LocalDateTimeText(h.lastVisit);
    const bool fresh = seen.insert(h.url).second;
    if (!fresh && h.deleted) continue;  // a copy of a page kept already
    kept.push_back(std::move(h));
  }
  // Visits whose page row is gone: the title and the time are all that is
  // left of the page.
  for (const auto& [item, v] : latest) {
    if (claimed.count(item) || v.deleted == 0 || v.title.empty()) continue;
    SafariHistoryRecord h;
    h.deleted = 1;
    h.recoveredFrom = v.recoveredFrom;
    h.title = v.title;
    if (v.time != INT64_MIN) h.lastVisit = v.time;
    h.lastVisitText = LocalDateTimeText(h.lastVisit);
    h.visitCount = 1;
    kept.push_back(std::move(h));
  }
  if (progress && progress(100) != 0) return status::kCancelled;
  history.insert(history.end(), std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
  return status::kOk;
}

}  // namespace orbanix
