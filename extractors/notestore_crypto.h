// Password-protected notes of the current Notes app.
//
// A locked note's body (ZICNOTEDATA.ZDATA) is the gzipped note body
// sealed with AES-128-GCM. Its key is kept wrapped on the note's row:
//
//   ZICCLOUDSYNCINGOBJECT  ZCRYPTOSALT            salt of the key derivation
//                          ZCRYPTOITERATIONCOUNT  its iteration count
//                          ZCRYPTOWRAPPEDKEY      the note's key, wrapped (24 bytes)
//   ZICNOTEDATA            ZCRYPTOINITIALIZATIONVECTOR, ZCRYPTOTAG   of the seal
//
//   key-encryption key = PBKDF2-HMAC-SHA256(password, salt, iterations, 16 bytes)
//   note key           = AES key unwrap (RFC 3394) of the wrapped key
//   gzipped body       = AES-128-GCM open of ZDATA with the IV and the tag
//
// The unwrap's integrity check tells a wrong password from a right one
// before anything is opened. The password lives only in memory, for the
// call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extractors/notes.h"
#include "extractors/notestore_body.h"
#include "platform/status.h"

namespace orbanix {

struct LockedNoteData {
  std::string salt;
  int64_t iterations = 0;
  std::string wrappedKey;
  std::string iv;
  std::string tag;
  std::string data;  // ZDATA as stored
  std::string hint;  // the password hint the user gave, may be empty
  // Words for each embedded object, by identifier, known at scan time.
  std::vector<std::pair<NoteBodyAttachment, std::string>> attachmentWords;
  std::vector<NoteAttachment> attachments;  // the note's files, as for an open note
};

// Text a locked note shows until it is opened.
inline constexpr const char* kLockedNoteText = "Locked note";

// Opens a sealed body: the gzipped body in `plain`. kWrongPassword when the
// key does not unwrap with this password, kBadData when the crypto fields
// are damaged (sizes, iteration count) or the seal does not open.
Status OpenLockedNoteBody(const LockedNoteData& data, const std::string& password, std::string& plain);

// Opens a locked note: on success its body, attachments and lock state are
// those of an open note. kWrongPassword / kBadData leave the note unchanged;
// a note that is not locked gives kOk and stays as it is.
Status UnlockNote(NoteRecord& note, const std::string& password);

struct UnlockCounts {
  int unlocked = 0;
  int wrongPassword = 0;
  int damaged = 0;
};
// UnlockNote on every locked note of the list.
UnlockCounts UnlockNotes(std::vector<NoteRecord>& notes, const std::string& password);

}  // namespace orbanix
