// Safari's bookmarks and browsing history.
//
// Bookmarks.db, table bookmarks: id (the row's key), parent (the folder's
// id; 0 for the top folder), type (0 bookmark, 1 folder), title, url,
// special_id, order_index, deleted (1 once the phone marked the row for
// deletion until its next sync). The top folders have fixed titles:
// "BookmarksBar" (Favourites), "BookmarksMenu" and "com.apple.ReadingList"
// (the Reading List).
//
// History.db: history_items (id, url, visit_count) and history_visits
// (history_item: the item's id, visit_time: seconds since 2001-01-01, a
// real, title). One record per page visited, with its latest visit and the
// title the page had then.
//
// The phone keeps these files under HomeDomain or under the Safari
// application's own domain; every copy found is read.
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

struct SafariBookmarkRecord {
  int deleted = 0;    // 1: recovered from free space or marked for deletion
  bool recovered = false;
  int64_t rowId = 0;  // id, 0 when recovered without its cell header
  std::string title;
  std::string url;
  // The folders from the top down, joined by "/": "Favourites/News",
  // "Bookmarks Menu", "Reading List"; "Bookmarks" when the folder is not
  // known (a recovered row whose folder is gone).
  std::string folder;
  bool readingList = false;
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

struct SafariHistoryRecord {
  int deleted = 0;    // 1: recovered from free space
  int64_t rowId = 0;  // history_items id, 0 when unknown
  std::string url;
  std::string title;
  std::optional<int64_t> lastVisit;  // Unix seconds
  std::string lastVisitText;         // local "YYYY-MM-DD hh:mm:ss"
  int64_t visitCount = 0;
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// Appends the bookmarks of one Bookmarks.db (folders themselves are not
// records). 0; the open error; 87 without a bookmarks table.
Status ScanSafariBookmarks(const std::filesystem::path& database, std::vector<SafariBookmarkRecord>& bookmarks,
                           const OrganizerProgress& progress = {});

// Appends the history of one History.db. 0; the open error; 87 without a
// history_items table.
Status ScanSafariHistory(const std::filesystem::path& database, std::vector<SafariHistoryRecord>& history,
                         const OrganizerProgress& progress = {});

// The name shown for a top folder's stored title ("BookmarksBar" ->
// "Favourites"); other titles stand as they are.
std::string SafariFolderName(const std::string& storedTitle);

}  // namespace orbanix
