// Notes of the current Notes app (iOS 9 on): NoteStore.sqlite in the
// app group "AppDomainGroup-group.com.apple.notes".
//
// The store is a Core Data store. One table holds the app's objects of every
// kind, told apart by Z_ENT, whose numbers Z_PRIMARYKEY names (Z_ENT,
// Z_NAME: "ICNote", "ICFolder", "ICAccount", "ICAttachment", "ICMedia",
// "ICInlineAttachment"); kinds that share the table share its columns, so a
// column may be numbered after the kind (ZTITLE1 a note's title, ZTITLE2 a
// folder's). Columns are found by name: versions add, rename and renumber
// them.
//
//   ZICCLOUDSYNCINGOBJECT
//     every row   Z_PK, Z_ENT, ZIDENTIFIER, ZMARKEDFORDELETION
//     note        ZTITLE1, ZSNIPPET, ZFOLDER (-> folder), ZNOTEDATA (-> body row),
//                 ZCREATIONDATE3 (iOS 15 on) / ZCREATIONDATE1, ZMODIFICATIONDATE1,
//                 ZACCOUNT2..ZACCOUNT9 (-> account; which one by version),
//                 ZISPASSWORDPROTECTED, ZPASSWORDHINT, ZCRYPTOSALT,
//                 ZCRYPTOITERATIONCOUNT, ZCRYPTOWRAPPEDKEY
//     folder      ZTITLE2, ZFOLDERTYPE (1: "Recently Deleted")
//     account     ZNAME, ZIDENTIFIER (names the account's media folder)
//     attachment  ZNOTE (-> note), ZTYPEUTI, ZMEDIA (-> media), ZTITLE,
//                 ZMERGEABLEDATA1 / ZMERGEABLEDATA (a table's cells,
//                 notestore_body.h)
//     media       ZFILENAME, ZIDENTIFIER
//     inline attachment (hashtags, mentions)  ZALTTEXT
//   ZICNOTEDATA   Z_PK, ZNOTE (-> note), ZDATA (the body, notestore_body.h),
//                 ZCRYPTOINITIALIZATIONVECTOR, ZCRYPTOTAG (locked notes)
//
// Dates are seconds since 2001-01-01 UTC (reals). A media file lies in the
// same app group at Accounts/<account ZIDENTIFIER>/Media/<media
// ZIDENTIFIER>/[<generation>/]<ZFILENAME>.
//
// Rules: a note row and its body row are joined by either link (the note's
// ZNOTEDATA is the body's key, the body's ZNOTE the note's key); rows
// recovered from free space are joined the same way, and when their keys
// were lost a body is given the recovered note whose title is the body's
// first line. A note in the "Recently Deleted" folder, marked for deletion
// or recovered is deleted. A body without a note is listed under its first
// line; a note without a body under its title with its snippet. A locked
// note is listed with its title and kLockedNoteText until it is opened
// (notestore_crypto.h).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "extractors/notes.h"
#include "platform/problems.h"
#include "platform/status.h"
#include "sources/file_index.h"

namespace orbanix {

// The app group of the Notes app and the store's path in it.
inline constexpr const char* kNotesAppGroupDomain = "AppDomainGroup-group.com.apple.notes";
inline constexpr const char* kNoteStorePath = "NoteStore.sqlite";

struct NoteStoreOptions {
  ExtractorProgress progress;
  // The backup's files, for the attachments' stored files (none looked up
  // when null).
  const std::vector<BackupFileEntry>* index = nullptr;
  std::filesystem::path backupFolder;
  // What could not be read (category "notes"); none recorded when null.
  std::vector<Problem>* problems = nullptr;
};

// Appends the notes of the store at `noteStoreDb` to `notes`: 0, or the
// open error of the database (nothing appended), or kCancelled.
Status ScanNoteStore(const std::filesystem::path& noteStoreDb, std::vector<NoteRecord>& notes,
                     const NoteStoreOptions& options = {});

// The stored file of an attachment, from the backup's index: the entry of
// the Notes app group under Accounts/<account>/Media/<media>/ (directly or
// one generation folder deeper) named `fileName`. Empty when none.
const BackupFileEntry* FindNoteMediaEntry(const std::vector<BackupFileEntry>& index, const std::string& accountId,
                                          const std::string& mediaId, const std::string& fileName);

}  // namespace orbanix
