#include "extractors/notes.h"

#include <set>
#include <utility>

#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

// Where a row's columns sit: found by name in the table's schema, the
// positions of the iOS 5-8 store when the schema cannot be read. -1: the
// table has no such column.
struct NoteColumns {
  int body = 11;   // ZNOTE.ZBODY
  int date = 13;   // ZNOTE.ZMODIFICATIONDATE
  int title = 14;  // ZNOTE.ZTITLE
};
struct BodyColumns {
  int owner = 3;    // ZNOTEBODY.ZOWNER
  int content = 4;  // ZNOTEBODY.ZCONTENT
};

NoteColumns NoteColumnsOf(const ColumnLookup& t) {
  const NoteColumns old;
  return {t.Find("ZBODY", old.body), t.Find("ZMODIFICATIONDATE", old.date), t.Find("ZTITLE", old.title)};
}

BodyColumns BodyColumnsOf(const ColumnLookup& t) {
  const BodyColumns old;
  return {t.Find("ZOWNER", old.owner), t.Find("ZCONTENT", old.content)};
}

void ReplaceAll(std::string& text, const std::string& find, const std::string& with) {
  size_t pos = 0;
  while ((pos = text.find(find, pos)) != std::string::npos) {
    text.replace(pos, find.size(), with);
    pos += with.size();  // go on behind the inserted text
  }
}

// A recovered row's text must look like text: no replacement character and
// no zero byte (bytes of another row or of page structures do not).
bool PlausibleText(const std::string& text, int deleted) { return deleted == 0 || !HasReplacementOrZero(text); }

// Decodes one ZNOTEBODY (note == nullptr) or ZNOTE row.
Status DecodeRow(CDbFileReader& reader, const RowInput& input, const NoteColumns* note, const BodyColumns& body,
                 ParsedRecord& rec, std::vector<NoteRecord>& sink) {
  const Status st = ParseRecord(reader, input, rec);
  if (st != status::kOk) return st;
  NoteRecord r;
  r.deleted = input.deleted;
  r.recoveredFrom = RecoveredFromInput(input);
  r.rowId = rec.hasRowid ? rec.rowid : 0;
  if (note) {
    if (rec.IsInteger(note->body)) r.linkId = static_cast<int>(rec.AsInt64(note->body));
    if (note->date >= 0) r.date = FormatDateColumn(rec, note->date, Epoch::kApple);
    if (rec.IsText(note->title)) r.title = rec.AsText(note->title);
    if (!PlausibleText(r.title, r.deleted)) return status::kBadData;
  } else {
    if (rec.IsInteger(body.owner)) r.linkId = static_cast<int>(rec.AsInt64(body.owner));
    if (rec.IsText(body.content)) r.body = rec.AsText(body.content);
    if (!PlausibleText(r.body, r.deleted)) return status::kBadData;
  }
  sink.push_back(std::move(r));
  return status::kOk;
}

// The note that owns a body. A note names its body (ZBODY = body's Z_PK)
// and a body its note (ZOWNER = note's Z_PK); either link pairs them when
// the row's own key is known. Two recovered rows that lost their keys can
// only be compared by the two links, which agree when the phone gave note
// and body the same key, as it does when it creates them together.
// Rows recovered from free space are often copies of live rows (SQLite
// moves cells when it rebalances or defragments a page, and the old bytes
// stay) or of each other. Such copies are dropped: they would show a live
// note a second time as deleted.
void DropRecoveredCopies(std::vector<NoteRecord>& rows) {
  std::set<std::string> seen;
  auto key = [](const NoteRecord& r) {
    return std::to_string(r.linkId) + '\x1f' + r.date + '\x1f' + r.title + '\x1f' + r.body;
  };
  for (const NoteRecord& r : rows) {
    if (!r.deleted) seen.insert(key(r));
  }
  std::vector<NoteRecord> kept;
  kept.reserve(rows.size());
  for (NoteRecord& r : rows) {
    if (r.deleted && !seen.insert(key(r)).second) continue;
    kept.push_back(std::move(r));
  }
  rows = std::move(kept);
}

size_t FindOwner(const NoteRecord& body, const std::vector<NoteRecord>& notes) {
  for (size_t i = 0; i < notes.size(); ++i) {
    const NoteRecord& n = notes[i];
    if ((n.rowId != 0 && body.linkId == n.rowId) || (body.rowId != 0 && n.linkId == body.rowId)) return i;
  }
  if (body.rowId == 0 && body.linkId != 0) {
    for (size_t i = 0; i < notes.size(); ++i) {
      if (notes[i].rowId == 0 && notes[i].linkId == body.linkId) return i;
    }
  }
  return notes.size();
}

}  // namespace

std::string NoteHtmlToText(const std::string& html) {
  static const std::pair<const char*, const char*> kReplacements[] = {
      {"&#39;", "'"}, {"&quot;", "\""}, {"&lt;", "<"},   {"&gt;", ">"},    {"&nbsp;", " "},
      {"&amp;", "&"}, {"<div>", "\n"},  {"</div>", ""}, {"<br>", "\n"},
  };
  std::string text = html;
  for (const auto& [find, with] : kReplacements) ReplaceAll(text, find, with);
  return text;
}

Status ScanNotes(const std::filesystem::path& notesDb, std::vector<NoteRecord>& notes,
                 const ExtractorProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(notesDb);
  if (opened != status::kOk) return opened;

  const ColumnLookup bodyLookup = ColumnLookup::Load(notesDb, "ZNOTEBODY");
  const ColumnLookup noteLookup = ColumnLookup::Load(notesDb, "ZNOTE");
  const BodyColumns bodyColumns = BodyColumnsOf(bodyLookup);
  const NoteColumns noteColumns = NoteColumnsOf(noteLookup);
  // The deleted rows in free space are told by their number of columns:
  // the tables' own, where their schemas can be read.
  reader.noteBodyColumns = bodyLookup.ColumnCount();
  reader.noteColumns = noteLookup.ColumnCount();
  ParsedRecord rec;
  std::vector<NoteRecord> bodies;
  std::vector<NoteRecord> noteRows;
  ScanTable(reader, "ZNOTEBODY", [&](CDbFileReader& r, const RowInput& in) {
    return DecodeRow(r, in, nullptr, bodyColumns, rec, bodies);
  });
  if (progress && progress(40) != 0) return status::kCancelled;
  ScanTable(reader, "ZNOTE", [&](CDbFileReader& r, const RowInput& in) {
    return DecodeRow(r, in, &noteColumns, bodyColumns, rec, noteRows);
  });
  if (progress && progress(80) != 0) return status::kCancelled;

  DropRecoveredCopies(bodies);
  DropRecoveredCopies(noteRows);

  // Pairing: each body, in order, takes the title and date of its note,
  // which leaves the list of notes to be paired.
  for (NoteRecord& body : bodies) {
    const size_t owner = FindOwner(body, noteRows);
    if (owner == noteRows.size()) continue;
    body.title = noteRows[owner].title;
    body.date = noteRows[owner].date;
    noteRows.erase(noteRows.begin() + static_cast<std::ptrdiff_t>(owner));
  }
  for (NoteRecord& n : noteRows) {
    if (!n.title.empty()) bodies.push_back(std::move(n));
  }

  std::vector<NoteRecord> result;
  result.reserve(bodies.size());
  for (NoteRecord& r : bodies) {
    if (r.body.empty() && r.title.empty()) continue;
    r.body = NoteHtmlToText(r.body);
    r.title = NoteHtmlToText(r.title);
    result.push_back(std::move(r));
  }
  if (progress && progress(100) != 0) return status::kCancelled;
  notes = std::move(result);
  return status::kOk;
}

}  // namespace orbanix
