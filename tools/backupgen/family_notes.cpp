#include "tools/backupgen/family_notes.h"

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

std::vector<GenNote> NoteRows(const FamilyOptions& options) {
  std::vector<GenNote> notes;
  auto add = [&](int64_t notePk, int64_t bodyPk, std::string title, std::string html, std::string expected,
                 int64_t unix, double fraction) -> GenNote& {
    GenNote n;
    n.notePk = notePk;
    n.bodyPk = bodyPk;
    n.title = std::move(title);
    n.html = std::move(html);
    n.expectedBody = std::move(expected);
    n.modifiedUnix = unix;
    n.fraction = fraction;
    notes.push_back(n);
    return notes.back();
  };
  add(1, 1, "Shopping", "Milk<div>Bread &amp; butter</div><div>Eggs</div>", "Milk\nBread & butter\nEggs",
      1400100000, 0.5);
  add(2, 2, "Escapes", "a &amp;lt; b<br>&lt;div&gt;x &quot;q&quot; it&#39;s<b>bold</b><br/>",
      "a &lt; b\n\nx \"q\" it's<b>bold</b><br/>", 1400200000, 0.0);
  // Keys that diverge: note 3 owns body 4 and note 4 owns body 3.
  add(3, 4, "Crossed A", "<div>belongs to A</div>", "\nbelongs to A", 1400300000, 0.25);
  add(4, 3, "Crossed B", "<div>belongs to B</div>", "\nbelongs to B", 1400400000, 0.75);
  // A long body spills into overflow pages.
  std::string longHtml;
  std::string longText;
  for (int i = 0; i < 400; ++i) {
    longHtml += Format("<div>line %03d of the long note&nbsp;text</div>", i);
    longText += Format("\nline %03d of the long note text", i);
  }
  add(5, 5, "Long note", longHtml, longText, 1400500000, 0.0);
  // Deleted whole notes (both rows), a body-less note and a note-less body.
  add(6, 6, "Deleted note", "Secret &amp; gone", "Secret & gone", 1400600000, 0.5).noteDeleted = true;
  notes.back().bodyDeleted = true;
  add(7, 7, "Lost body", "never stored", "", 1400700000, 0.0).bodyMissing = true;
  add(8, 8, "", "Orphan body text", "Orphan body text", 0, 0.0).noteMissing = true;
  add(9, 9, "Old draft", "Draft<br>two lines", "Draft\ntwo lines", 1400900000, 0.0).bodyDeleted = true;
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 5; ++i) {
      const int64_t pk = 100 * s + i;
      GenNote& n = add(pk, pk, Format("Note %d.%d", s, i), Format("Body of note %d.%d<br>end", s, i),
                       Format("Body of note %d.%d\nend", s, i), 1400000000 + s * 86400 + i * 60, 0.5);
      n.noteDeleted = n.bodyDeleted = (i == 3);
    }
  }
  return notes;
}

void BuildNotesDb(const fs::path& path, const std::vector<GenNote>& notes) {
  FixtureDb db(path);
  db.Exec(kNoteTableSql);
  db.Exec(kNoteBodyTableSql);
  db.Exec("CREATE TABLE ZSTORE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZNAME VARCHAR )");
  db.Exec("CREATE INDEX ZNOTE_ZBODY_INDEX ON ZNOTE (ZBODY)");
  db.Exec("CREATE INDEX ZNOTEBODY_ZOWNER_INDEX ON ZNOTEBODY (ZOWNER)");
  db.Exec("INSERT INTO ZSTORE VALUES (1, 3, 1, 'LocalNotes')");
  db.Exec("BEGIN");
  for (const GenNote& n : notes) {
    if (n.noteMissing) continue;
    const double modified = static_cast<double>(n.modifiedUnix - kAppleEpochOffset) + n.fraction;
    db.Run("INSERT INTO ZNOTE VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
           {n.notePk, int64_t{2}, int64_t{3}, int64_t{0}, int64_t{0}, int64_t{0}, int64_t{0}, nullptr,
            n.notePk + 1000, int64_t{0}, int64_t{1}, n.bodyPk, modified - 3600.0, modified, n.title,
            nullptr, Format("0A1B2C3D-0000-4000-8000-%012lld", static_cast<long long>(n.notePk)), nullptr,
            n.title + " summary"});
  }
  for (const GenNote& n : notes) {
    if (n.bodyMissing) continue;
    db.Run("INSERT INTO ZNOTEBODY VALUES (?,?,?,?,?,?,?)",
           {n.bodyPk, int64_t{1}, int64_t{2}, n.notePk, n.html, nullptr, nullptr});
  }
  db.Exec("COMMIT");
  for (const GenNote& n : notes) {
    if (n.noteDeleted && !n.noteMissing) db.Run("DELETE FROM ZNOTE WHERE Z_PK = ?", {n.notePk});
    if (n.bodyDeleted && !n.bodyMissing) db.Run("DELETE FROM ZNOTEBODY WHERE Z_PK = ?", {n.bodyPk});
  }
}

void AddNotesFamily(BackupWriter& writer, const FamilyOptions& options) {
  const fs::path built = writer.ScratchPath("notes.sqlite");
  BuildNotesDb(built, NoteRows(options));
  writer.AddFileFrom("HomeDomain", "Library/Notes/notes.sqlite", built);
}

}  // namespace orbanix::gen
