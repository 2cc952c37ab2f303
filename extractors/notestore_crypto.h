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
//
// Since iOS 16 a note can also be locked with the phone's passcode instead
// of a notes password. Such a note keeps a salt but an iteration count of
// 0 and a 16-byte wrapped key (not the 24 bytes of an RFC 3394 wrap): its
// key is protected by the phone's keychain, which the backup does not give
// out, and no password derives it. These notes stay locked
// (kLockedWithPasscode) and say why.
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

// UnlockNote's answer for a note locked with the phone's passcode.
inline constexpr Status kLockedWithPasscode = -111;

// Whether the note was locked with the phone's passcode (see above).
bool LockedWithPasscode(const LockedNoteData& data);

// Opens a sealed body: the gzipped body in `plain`. kWrongPassword when the
// key does not unwrap with this password, kBadData when the crypto fields
// are damaged (sizes, iteration count) or the seal does not open.
Status OpenLockedNoteBody(const LockedNoteData& data, const std::string& password, std::string& plain);

// Opens a locked note: on success its body, attachments and lock state are
// those of an open note. kWrongPassword / kBadData / kLockedWithPasscode
// leave the note unchanged;
// a note that is not locked gives kOk and stays as it is.
Status UnlockNote(NoteRecord& note, const std::string& password);

struct UnlockCounts {
  int unlocked = 0;
  int wrongPassword = 0;
  int damaged = 0;
  int passcode = 0;  // locked with the phone's passcode: no password opens them
};
// UnlockNote on every locked note of the list.
UnlockCounts UnlockNotes(std::vector<NoteRecord>& notes, const std::string& password);

}  // namespace orbanix
