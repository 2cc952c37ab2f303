// Call-history databases of both layouts.
//
// The older layout (iOS up to 7, "WirelessDomain-Library/CallHistory/
// call_history.db") keeps calls in the table `call` with Unix-second dates;
// the newer one (iOS 8 on, "HomeDomain-Library/CallHistoryDB/
// CallHistory.storedata") is a Core Data store with the table ZCALLRECORD
// whose dates are reals counting seconds since 2001-01-01.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

inline constexpr const char* kCallTableSql =
    "CREATE TABLE call (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, "
    "duration INTEGER, flags INTEGER, id INTEGER, name TEXT, country_code TEXT, network_code TEXT, "
    "read INTEGER, assisted INTEGER, face_time_data BLOB, originalAddress TEXT)";

inline constexpr const char* kCallRecordTableSql =
    "CREATE TABLE ZCALLRECORD ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZANSWERED INTEGER, ZCALLTYPE INTEGER, ZDISCONNECTED_CAUSE INTEGER, ZFACE_TIME_DATA BLOB, "
    "ZNUMBER_AVAILABILITY INTEGER, ZORIGINATED INTEGER, ZREAD INTEGER, ZDATE TIMESTAMP, "
    "ZDURATION FLOAT, ZADDRESS VARCHAR, ZDEVICE_ID VARCHAR, ZISO_COUNTRY_CODE VARCHAR, "
    "ZNAME VARCHAR, ZUNIQUE_ID VARCHAR )";

// ZCALLRECORD as current phones create it: Core Data orders the columns by
// attribute type, so the integers come first, then the dates, reals and
// texts, and the address (a blob) last.
inline constexpr const char* kCurrentCallRecordTableSql =
    "CREATE TABLE ZCALLRECORD ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZANSWERED INTEGER, "
    "ZCALL_CATEGORY INTEGER, ZCALLTYPE INTEGER, ZDISCONNECTED_CAUSE INTEGER, ZFACE_TIME_DATA INTEGER, "
    "ZHANDLE_TYPE INTEGER, ZNUMBER_AVAILABILITY INTEGER, ZORIGINATED INTEGER, ZREAD INTEGER, "
    "ZJUNKCONFIDENCE INTEGER, ZJUNKIDENTIFICATIONCATEGORY INTEGER, ZVERIFICATIONSTATUS INTEGER, "
    "ZDATE TIMESTAMP, ZDURATION FLOAT, ZDEVICE_ID VARCHAR, ZISO_COUNTRY_CODE VARCHAR, ZLOCATION VARCHAR, "
    "ZNAME VARCHAR, ZSERVICE_PROVIDER VARCHAR, ZUNIQUE_ID VARCHAR UNIQUE, ZADDRESS BLOB )";

// ZCALLTYPE of current phones.
inline constexpr int kCallTypePhone = 1, kCallTypeFaceTimeVideo = 8, kCallTypeFaceTimeAudio = 16;

// One call the generator writes; `deleted` rows are inserted and then
// deleted again, so their bytes stay in the file's free space.
struct GenCall {
  std::string address;
  int64_t unixDate = 0;     // whole seconds; the newer layout adds `fraction`
  double fraction = 0.0;    // sub-second part stored in ZDATE (newer layout)
  double duration = 0;      // seconds
  bool incoming = false;
  bool deleted = false;
  // Current layout only: whether the call was answered (-1: as the
  // duration says), its ZCALLTYPE, service and the name the phone showed.
  int answered = -1;
  int callType = kCallTypePhone;
  std::string name{};
  std::string location{};
};

// The calls of the current-layout family: those of CallRows, and calls that
// only the current store can tell apart (FaceTime, missed with a ringing
// time, answered but short).
std::vector<GenCall> CurrentCallRows(const FamilyOptions& options);

// The calls of the family at this scale (the same list for both layouts).
std::vector<GenCall> CallRows(const FamilyOptions& options);

// Writes the database of one layout at `path` with `rows` and returns them.
void BuildCallHistoryDb(const fs::path& path, const std::vector<GenCall>& rows);
void BuildCallRecordDb(const fs::path& path, const std::vector<GenCall>& rows);
void BuildCurrentCallRecordDb(const fs::path& path, const std::vector<GenCall>& rows);

// The family: the older era's backup gets call_history.db, the newer one
// CallHistory.storedata.
void AddCallsFamily(BackupWriter& writer, const FamilyOptions& options);
// CallHistory.storedata with the current ZCALLRECORD (either era).
void AddCurrentCallsFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
