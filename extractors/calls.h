// Call history, from either of the phone's two call-history databases.
//
//   call_history.db (up to iOS 7), table `call`:
//     1 address (text)  2 date (Unix seconds)  3 duration (seconds)
//     4 flags (0 = incoming; any other value outgoing)
//   CallHistory.storedata (iOS 8 on, Core Data), table ZCALLRECORD:
//     8 ZORIGINATED (0 incoming, 1 outgoing)  10 ZDATE (seconds since
//     2001-01-01, usually a real)  11 ZDURATION (seconds, integer or real)
//     12 ZADDRESS (text; a blob holding the text in some versions)
//     and, where the store has them, ZANSWERED (0 not answered),
//     ZCALLTYPE (1 phone, 8 FaceTime video, 16 FaceTime audio),
//     ZSERVICE_PROVIDER, ZNAME (the name the phone showed), ZLOCATION.
//
// The columns are found by name in the table's schema (Core Data lays the
// columns out by attribute type, so current phones keep ZADDRESS, ZDATE,
// ZDURATION and ZORIGINATED elsewhere); the positions above are used only
// when the schema cannot be read.
//
// Which table the file holds is asked of the SQLite library (read-only,
// immutable open; no data is read through it); the rows, live and recovered,
// are read by the page reader. Names come from the address book: the first
// contact whose phone text contains the call's number.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "extractors/contacts.h"
#include "platform/problems.h"
#include "platform/status.h"
#include "sqlite_pages/provenance.h"

namespace orbanix {

// Progress of one extractor scan: the share done (0-100); a non-zero answer
// stops the scan, which then returns kCancelled and leaves its output alone.
using ExtractorProgress = std::function<int(int percent)>;

enum class CallKind { kPhone, kFaceTimeAudio, kFaceTimeVideo };

struct CallRecord {
  int deleted = 0;       // 0 live, 1 recovered
  int incoming = 0;      // 1 incoming, 0 outgoing
  int duration = 0;      // seconds
  std::string date;      // local time "YYYY-MM-DD hh:mm:ss"
  std::string address;   // the other party's number as stored
  std::string name;      // first contact whose phone text contains the address; else the name
                         // the phone stored with the call; empty when none
  int answered = -1;     // ZANSWERED: 1 answered, 0 not; -1 where the store does not say
  CallKind kind = CallKind::kPhone;
  std::string service;   // ZSERVICE_PROVIDER ("com.apple.Telephony", "com.apple.FaceTime", an app)
  std::string location;  // ZLOCATION
  RecoveredFrom recoveredFrom;  // where a row recovered from free space lay in its database
};

// A call that did not connect: where the store records whether the call was
// answered, that says it (current phones count the ringing time of a missed
// call as its duration); otherwise a duration of 0. Shown "Missed" for an
// incoming call and "Canceled" for an outgoing one.
bool CallNotConnected(const CallRecord& call);

// "FaceTime Audio", "FaceTime Video"; empty for a phone call.
const char* CallKindText(CallKind kind);

enum class CallLayout { kCallTable, kCallRecord };

// Which layout a call-history database has: ZCALLRECORD when the table
// exists, else the older `call` table (also when the file cannot be probed).
CallLayout ProbeCallLayout(const std::filesystem::path& callDb);

// The contact name for a number: the first contact (in table order) whose
// phone text contains `address`, else the first with the same phone number
// written another way (phone_numbers.h); numbers of 4 characters or fewer
// get none.
std::string CallContactName(const std::string& address, const std::vector<ContactRecord>& contacts);

// Appends the calls of `callDb` to `calls`, named from the address book and
// sorted by date (stable: equal dates keep table order, live rows before
// recovered ones). Returns 0; the open error of the call database (nothing
// appended); or the open error of the address book, in which case the calls
// are appended without names.
// `problems` (when given) learns of a call table that lacks a column every
// call needs (the number or the date): no call can be read from it.
Status ScanCallHistory(const std::filesystem::path& callDb, const std::filesystem::path& addressBookDb,
                       std::vector<CallRecord>& calls, const ExtractorProgress& progress = {},
                       ProblemLog* problems = nullptr);

}  // namespace orbanix
