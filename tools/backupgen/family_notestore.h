// The notes store of the current Notes app ("AppDomainGroup-group.com.
// apple.notes-NoteStore.sqlite"): one Core Data table for notes, folders,
// accounts, attachments and media (told apart by Z_ENT, named in
// Z_PRIMARYKEY) and ZICNOTEDATA for the bodies, each a gzipped protocol
// buffer written here by a wire encoder of our own. Two layouts: iOS 14
// (ZCREATIONDATE1, ZACCOUNT2) and iOS 17 (ZCREATIONDATE3, ZACCOUNT7, more
// columns before them, other entity numbers).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

enum class NoteStoreLayout { kIos14, kIos17 };

// One formatting run of a body: `length` UTF-16 code units of the text.
struct GenNoteRun {
  int length = 0;
  int styleType = -1;  // -1 none, 100 dotted, 101 dashed, 102 numbered, 103 checklist
  int indent = 0;
  int done = -1;       // checklist: 0 or 1
  std::string link;
  std::string attachmentId;
  std::string attachmentUti;
};

struct GenStoreNote {
  int64_t pk = 0;
  int64_t dataPk = 0;
  std::string title;
  std::string folder;           // the folder's name
  std::string text;             // note_text
  std::vector<GenNoteRun> runs;
  std::string expected;         // the body as the program shows it
  int64_t createdUnix = 0;
  int64_t modifiedUnix = 0;
  bool inRecentlyDeleted = false;  // the folder of type 1
  bool erased = false;             // both rows deleted from the tables (bytes survive)
  bool expectedDeleted = false;
  std::string password;            // non-empty: the note is locked with it
  bool passcodeLocked = false;     // locked with the phone's passcode (its key is not in the store)
  std::string attachmentFile;      // stored picture file name (Media), when the note has one
  bool sketch = false;             // a drawing (FallbackImages) and a picture with only previews (Previews)
};

std::vector<GenStoreNote> NoteStoreRows(const FamilyOptions& options);
// Appends a note locked with the phone's passcode (not in the family: every
// scan of it would warn that the note cannot be opened).
void AddPasscodeLockedNote(std::vector<GenStoreNote>& notes);
// Builds the store; the attachment's picture bytes are returned in
// `mediaBytes` (relative path in the app group -> bytes).
void BuildNoteStoreDb(const fs::path& path, const std::vector<GenStoreNote>& notes, NoteStoreLayout layout,
                      std::vector<std::pair<std::string, std::string>>* mediaFiles = nullptr);
void AddNoteStoreFamily(BackupWriter& writer, const FamilyOptions& options);

// The wire encoding of a body (before gzip) and gzip itself, for tests.
std::string EncodeNoteProto(const std::string& text, const std::vector<GenNoteRun>& runs);
std::string Gzip(const std::string& bytes);

// An embedded table's data (before gzip): rows of cells, an empty cell
// left out as the app does.
std::string EncodeTableProto(const std::vector<std::vector<std::string>>& cells, bool rightToLeft = false);
// The table of the family's picture note, and how the program shows it.
const std::vector<std::vector<std::string>>& GenNoteTableCells();
inline constexpr const char* kGenNoteTableText = "Item\tCost\tNote\nTea\t3\t\nCake 🎂\t5\twith cream";

// The account's identifier and the media identifier of the picture.
inline constexpr const char* kGenNotesAccountId = "LocalAccount";
inline constexpr const char* kGenNotesMediaId = "7A1D5C90-0C8E-4B39-9F05-3E21A0C0FFEE";
// The drawing of the sketch note and the larger preview of its picture.
inline constexpr const char* kGenDrawingId = "5E3C1B2A-DRAW-4C11-8E0D-0A1B2C3D4E5F";
inline constexpr const char* kGenPreviewId = "9F8E7D6C-PREV-4A2B-9C1D-112233445566";

}  // namespace orbanix::gen
