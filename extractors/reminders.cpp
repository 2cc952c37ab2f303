#include "extractors/reminders.h"

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

// List names by Z_PK, from the first list table the store has.
std::map<int64_t, std::string> ReadListNames(CDbFileReader& reader, const std::filesystem::path& store) {
  std::map<int64_t, std::string> names;
  for (const char* table : {"ZREMCDBASELIST", "ZREMCDOBJECT"}) {
    const ColumnLookup cols = ColumnLookup::Load(store, table);
    if (!cols.HasSchema()) continue;
    const int name = cols.FindAny({"ZNAME", "ZNAME1", "ZTITLE"});
    if (name < 0) continue;
    ParsedRecord rec;
    reader.genericColumnCount = cols.ColumnCount();
    ScanTable(reader, table, [&](CDbFileReader& r, const RowInput& in) {
      if (ParseRecord(r, in, rec) != status::kOk || !rec.hasRowid || !rec.IsText(name)) return status::kBadData;
      std::string text = rec.AsText(name);
      if (!PlausibleField(text, in.deleted)) return status::kBadData;
      if (in.deleted == 0 || !names.count(rec.rowid)) names[rec.rowid] = std::move(text);
      return status::kOk;
    });
    if (!names.empty()) break;
  }
  return names;
}

}  // namespace

Status ScanReminderStore(const std::filesystem::path& store, std::vector<ReminderRecord>& reminders,
                         const OrganizerProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(store);
  if (opened != status::kOk) return opened;
  const ColumnLookup cols = ColumnLookup::Load(store, "ZREMCDREMINDER");
  if (!cols.HasSchema()) return status::kBadData;
  const std::map<int64_t, std::string> lists = ReadListNames(reader, store);
  if (progress && progress(30) != 0) return status::kCancelled;

  const int title = cols.Find("ZTITLE");
  const int notes = cols.Find("ZNOTES");
  const int due = cols.FindAny({"ZDUEDATE", "ZDISPLAYDATEDATE"});
  const int allDay = cols.Find("ZALLDAY");
  const int completed = cols.Find("ZCOMPLETED");
  const int completionDate = cols.Find("ZCOMPLETIONDATE");
  const int priority = cols.Find("ZPRIORITY");
  const int flagged = cols.Find("ZFLAGGED");
  const int creation = cols.Find("ZCREATIONDATE");
  const int list = cols.Find("ZLIST");
  const int marked = cols.Find("ZMARKEDFORDELETION");

  std::vector<ReminderRecord> found;
  ParsedRecord rec;
  reader.genericColumnCount = cols.ColumnCount();
  ScanTable(reader, "ZREMCDREMINDER", [&](CDbFileReader& r, const RowInput& in) {
    if (ParseRecord(r, in, rec) != status::kOk) return status::kBadData;
    ReminderRecord m;
    m.recovered = in.deleted != 0;
    m.recoveredFrom = RecoveredFromInput(in);
    m.deleted = in.deleted || IntColumn(rec, marked, 0) != 0 ? 1 : 0;
    m.rowId = rec.hasRowid ? rec.rowid : 0;
    m.title = TextColumn(rec, title);
    m.notes = TextColumn(rec, notes);
    if (!PlausibleField(m.title, in.deleted) || !PlausibleField(m.notes, in.deleted)) return status::kBadData;
    if (in.deleted && m.title.empty() && m.notes.empty()) return status::kBadData;
    m.due = AppleDateColumn(rec, due);
    m.dueAllDay = IntColumn(rec, allDay, 0) != 0;
    m.completedAt = AppleDateColumn(rec, completionDate);
    m.completed = IntColumn(rec, completed, 0) != 0 || (completed < 0 && m.completedAt.has_value());
    m.priority = static_cast<int>(IntColumn(rec, priority, 0));
    m.flagged = IntColumn(rec, flagged, 0) != 0;
    m.created = AppleDateColumn(rec, creation);
    if (rec.IsInteger(list)) {
      const auto it = lists.find(rec.AsInt64(list));
      if (it != lists.end()) m.list = it->second;
    }
    m.dueText = m.dueAllDay ? WallClockText(m.due, true) : LocalDateTimeText(m.due);
    m.completedText = LocalDateTimeText(m.completedAt);
    m.createdText = LocalDateTimeText(m.created);
    found.push_back(std::move(m));
    return status::kOk;
  });
  if (progress && progress(100) != 0) return status::kCancelled;
  reminders.insert(reminders.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  DropRepeatedReminders(reminders);
  return status::kOk;
}

void DropRepeatedReminders(std::vector<ReminderRecord>& reminders) {
  std::set<std::string> seen;
  auto key = [](const ReminderRecord& m) {
    return m.title + '\x1f' + m.notes + '\x1f' + std::to_string(m.due.value_or(0)) + '\x1f' +
           std::to_string(m.created.value_or(0)) + '\x1f' + std::to_string(m.completedAt.value_or(0));
  };
  std::vector<ReminderRecord> kept;
  kept.reserve(reminders.size());
  for (ReminderRecord& m : reminders) {
    // Only rows from free space can be copies; a reminder marked for
    // deletion is a live row of its own.
    const bool fresh = seen.insert(key(m)).second;
    if (!fresh && m.recovered) continue;
    kept.push_back(std::move(m));
  }
  reminders = std::move(kept);
}

const char* ReminderPriorityText(int priority) {
  if (priority >= 1 && priority <= 4) return "High";
  if (priority == 5) return "Medium";
  if (priority >= 6 && priority <= 9) return "Low";
  return "";
}

}  // namespace orbanix
