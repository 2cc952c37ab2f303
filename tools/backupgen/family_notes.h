// The notes database of iOS up to 8 ("HomeDomain-Library/Notes/
// notes.sqlite"): a Core Data store whose table ZNOTE holds a note's title
// and dates and whose table ZNOTEBODY holds its HTML body. ZNOTE.ZBODY
// names the body row and ZNOTEBODY.ZOWNER the note row; dates are reals
// counting seconds since 2001-01-01.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

inline constexpr const char* kNoteTableSql =
    "CREATE TABLE ZNOTE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCONTAINSCJK INTEGER, "
    "ZCONTENTTYPE INTEGER, ZDELETEDFLAG INTEGER, ZEXTERNALFLAGS INTEGER, ZEXTERNALSERVERINTID INTEGER, "
    "ZINTEGERID INTEGER, ZISBOOKKEEPINGENTRY INTEGER, ZSTORE INTEGER, ZBODY INTEGER, "
    "ZCREATIONDATE TIMESTAMP, ZMODIFICATIONDATE TIMESTAMP, ZTITLE VARCHAR, ZAUTHOR VARCHAR, "
    "ZGUID VARCHAR, ZSERVERID VARCHAR, ZSUMMARY VARCHAR )";

inline constexpr const char* kNoteBodyTableSql =
    "CREATE TABLE ZNOTEBODY ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZOWNER INTEGER, "
    "ZCONTENT VARCHAR, ZEXTERNALCONTENTREF VARCHAR, ZEXTERNALREPRESENTATION BLOB )";

// One note: its ZNOTE row (unless `noteMissing`) and ZNOTEBODY row (unless
// `bodyMissing`); the deleted flags insert a row and delete it again.
struct GenNote {
  int64_t notePk = 0;
  int64_t bodyPk = 0;
  std::string title;
  std::string html;           // ZCONTENT
  std::string expectedBody;   // the body as plain text after the clean-up
  int64_t modifiedUnix = 0;   // ZMODIFICATIONDATE, stored as Apple seconds (real)
  double fraction = 0.0;
  bool noteDeleted = false;
  bool bodyDeleted = false;
  bool noteMissing = false;   // never written
  bool bodyMissing = false;
};

std::vector<GenNote> NoteRows(const FamilyOptions& options);
void BuildNotesDb(const fs::path& path, const std::vector<GenNote>& notes);
void AddNotesFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
