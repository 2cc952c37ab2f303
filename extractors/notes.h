// Notes of the phone's notes database (notes.sqlite, iOS up to 8).
//
// The store keeps a note's metadata in ZNOTE and its HTML body in
// ZNOTEBODY; the columns read are found by name in each table's schema
// (positions of the iOS 5-8 store when the schema cannot be read):
//
//   ZNOTE      0 Z_PK (rowid)  11 ZBODY (key of the body row)
//              13 ZMODIFICATIONDATE (seconds since 2001-01-01, integer or
//              real)  14 ZTITLE
//   ZNOTEBODY  0 Z_PK (rowid)  3 ZOWNER (key of the note row)  4 ZCONTENT
//
// Both tables' rows are read live and recovered from free space; each body
// is paired with its note, and the HTML is reduced to text by a fixed list
// of replacements (entities first, then the line tags).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

// Progress of one extractor scan: the share done (0-100); a non-zero answer
// stops the scan, which then returns kCancelled and leaves its output alone.
using ExtractorProgress = std::function<int(int percent)>;

// A file embedded in a note (picture, scan, PDF, drawing) of the current
// Notes app.
struct NoteAttachment {
  std::string name;            // its file name, or its kind ("Picture") when the name is unknown
  std::string uti;             // its type ("public.jpeg")
  std::filesystem::path file;  // the stored file; empty when the backup does not hold it
};

// What a password-protected note needs to be opened (notestore_crypto.h).
struct LockedNoteData;

// Whether a note is password-protected.
enum class NoteLock : uint8_t { kNone, kLocked, kUnlocked };

struct NoteRecord {
  int deleted = 0;    // 0 live, 1 recovered (or in the Notes app's "Recently Deleted")
  int linkId = 0;     // body row: ZOWNER; note row: ZBODY
  std::string date;   // the note row's modification date, local time "YYYY-MM-DD hh:mm:ss"
  std::string title;
  std::string body;   // plain text
  int64_t rowId = 0;  // Z_PK of the row the record came from (0 when recovered without its cell header)
  // The current Notes app's store (NoteStore.sqlite) only:
  std::string folder;   // the folder the note is in
  std::string created;  // creation date, as `date`
  std::vector<NoteAttachment> attachments;
  NoteLock lock = NoteLock::kNone;
  std::shared_ptr<const LockedNoteData> locked;  // set while lock == kLocked
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// The HTML clean-up: &#39; &quot; &lt; &gt; &nbsp; &amp; become their
// characters, then <div> and <br> become line feeds and </div> goes, each
// replacement over the whole text in this order (so "&amp;lt;" ends as
// "&lt;" and "&lt;div&gt;" as a line feed). Other tags stay.
std::string NoteHtmlToText(const std::string& html);

// Reads the notes database. `notes` is replaced by the notes found: first
// every body row (in table order, live rows before recovered ones) with the
// title and date of its note, then the note rows that no body claimed and
// that have a title. 0, or the open error of the database (notes untouched).
Status ScanNotes(const std::filesystem::path& notesDb, std::vector<NoteRecord>& notes,
                 const ExtractorProgress& progress = {});

}  // namespace orbanix
