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

// One call the generator writes; `deleted` rows are inserted and then
// deleted again, so their bytes stay in the file's free space.
struct GenCall {
  std::string address;
  int64_t unixDate = 0;     // whole seconds; the newer layout adds `fraction`
  double fraction = 0.0;    // sub-second part stored in ZDATE (newer layout)
  double duration = 0;      // seconds
  bool incoming = false;
  bool deleted = false;
};

// The calls of the family at this scale (the same list for both layouts).
std::vector<GenCall> CallRows(const FamilyOptions& options);

// Writes the database of one layout at `path` with `rows` and returns them.
void BuildCallHistoryDb(const fs::path& path, const std::vector<GenCall>& rows);
void BuildCallRecordDb(const fs::path& path, const std::vector<GenCall>& rows);

// The family: the older era's backup gets call_history.db, the newer one
// CallHistory.storedata.
void AddCallsFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
