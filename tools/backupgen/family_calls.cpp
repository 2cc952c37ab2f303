#include "tools/backupgen/family_calls.h"

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

std::vector<GenCall> CallRows(const FamilyOptions& options) {
  std::vector<GenCall> rows = {
      {"+447700900001", 1400000000, 0.25, 125, true, false},
      {"+447700900002", 1400003600, 0.5, 0, true, false},    // missed
      {"+447700900007", 1399990000, 0.75, 45, true, true},
      {"07700900003", 1400007200, 0.125, 0, false, false},   // canceled
      {"1234", 1400010800, 0.0, 30, false, false},           // too short for a contact name
      {"+447700900008", 1400020000, 0.5, 0, false, true},
      {"+447700900002", 1400014400, 0.0, 61.6, true, false},  // fractional duration
      {"+447700900005", 1400014400, 0.0, 10, false, false},  // same date as the row before
      {"+447700900010", 1500000000, 0.375, 12, true, true},
      {"+447700900009", 1609459200, 0.5, 300, true, false},  // after 2018: beyond 2^29 Apple seconds
      // People of the address-book family, so that calls get their names.
      {DemoPhoneE164(3), 1400030000, 0.5, 95, true, false},
      {DemoPhoneE164(5), 1400031000, 0.0, 0, false, true},
      {DemoPhoneE164(7), 1400032000, 0.25, 3700, false, false},
  };
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 10; ++i) {
      GenCall c;
      c.address = Format("+4477009%05d", s * 10 + i);
      c.unixDate = 1400000000 + s * 86400 + i * 600 + static_cast<int64_t>(options.seed % 97);
      c.fraction = (i % 4) * 0.25;
      c.duration = (i * 37) % 400;
      c.incoming = (i % 3) != 0;
      c.deleted = (i % 5) == 2;
      rows.push_back(c);
    }
  }
  return rows;
}

void BuildCallHistoryDb(const fs::path& path, const std::vector<GenCall>& rows) {
  FixtureDb db(path);
  db.Exec(kCallTableSql);
  db.Exec("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key))");
  db.Exec("BEGIN");
  std::vector<int64_t> doomed;
  int outgoing = 0;
  for (const GenCall& c : rows) {
    // flags: 0 for an incoming call; the phone writes other values for
    // outgoing ones (1, 5, 9 ...).
    const int64_t flags = c.incoming ? 0 : (outgoing++ % 2 == 0 ? 1 : 5);
    const int64_t id = db.Run(
        "INSERT INTO call (address, date, duration, flags, id, name, country_code, network_code, read, "
        "assisted, face_time_data, originalAddress) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
        {c.address, c.unixDate, static_cast<int64_t>(c.duration), flags, int64_t{-1}, std::string(),
         std::string("234"), std::string("10"), int64_t{1}, int64_t{0}, nullptr, c.address});
    if (c.deleted) doomed.push_back(id);
  }
  db.Exec("COMMIT");
  for (int64_t id : doomed) db.Run("DELETE FROM call WHERE ROWID = ?", {id});
}

void BuildCallRecordDb(const fs::path& path, const std::vector<GenCall>& rows) {
  FixtureDb db(path);
  db.Exec(kCallRecordTableSql);
  db.Exec("CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER)");
  db.Exec("CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB)");
  db.Exec("CREATE INDEX ZCALLRECORD_ZDATE_INDEX ON ZCALLRECORD (ZDATE)");
  db.Exec("BEGIN");
  std::vector<int64_t> doomed;
  int n = 0;
  for (const GenCall& c : rows) {
    ++n;
    const double appleDate = static_cast<double>(c.unixDate - kAppleEpochOffset) + c.fraction;
    const int64_t id = db.Run(
        "INSERT INTO ZCALLRECORD (Z_ENT, Z_OPT, ZANSWERED, ZCALLTYPE, ZDISCONNECTED_CAUSE, ZFACE_TIME_DATA, "
        "ZNUMBER_AVAILABILITY, ZORIGINATED, ZREAD, ZDATE, ZDURATION, ZADDRESS, ZDEVICE_ID, "
        "ZISO_COUNTRY_CODE, ZNAME, ZUNIQUE_ID) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
        {int64_t{2}, int64_t{1}, int64_t{c.duration > 0 ? 1 : 0}, int64_t{1}, int64_t{0}, nullptr, int64_t{0},
         int64_t{c.incoming ? 0 : 1}, int64_t{1}, appleDate, c.duration, c.address, nullptr, std::string("gb"),
         nullptr, Format("5D2C%04X-6B1A-4E0F-9C3B-0000000%05d", n, n)});
    if (c.deleted) doomed.push_back(id);
  }
  db.Run("INSERT INTO Z_PRIMARYKEY VALUES (?,?,?,?)",
         {int64_t{2}, std::string("CallRecord"), int64_t{0}, static_cast<int64_t>(rows.size())});
  db.Exec("COMMIT");
  for (int64_t id : doomed) db.Run("DELETE FROM ZCALLRECORD WHERE Z_PK = ?", {id});
}

std::vector<GenCall> CurrentCallRows(const FamilyOptions& options) {
  std::vector<GenCall> rows = CallRows(options);
  auto add = [&rows](std::string address, int64_t date, double duration, bool incoming, int answered, int type,
                     std::string name, bool deleted) {
    GenCall c;
    c.address = std::move(address);
    c.unixDate = date;
    c.fraction = 0.5;
    c.duration = duration;
    c.incoming = incoming;
    c.answered = answered;
    c.callType = type;
    c.name = std::move(name);
    c.deleted = deleted;
    rows.push_back(c);
  };
  // Missed although the phone counted its ringing time.
  add("+447700900021", 1700000000, 14, true, 0, kCallTypePhone, "", false);
  // Answered and ended at once: not missed although 0 seconds long.
  add("+447700900022", 1700000600, 0, true, 1, kCallTypePhone, "", false);
  add("+447700900023", 1700001200, 300, false, 1, kCallTypeFaceTimeVideo, "", false);
  add("friend@example.com", 1700001800, 65, true, 1, kCallTypeFaceTimeAudio, "", false);
  // A number no contact has, shown with the name the phone knew.
  add("+447700900024", 1700002400, 20, true, 1, kCallTypePhone, "Dr Office", false);
  add("+447700900025", 1700003000, 0, true, 0, kCallTypeFaceTimeVideo, "", true);
  return rows;
}

void BuildCurrentCallRecordDb(const fs::path& path, const std::vector<GenCall>& rows) {
  FixtureDb db(path);
  db.Exec(kCurrentCallRecordTableSql);
  db.Exec("CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER)");
  db.Exec("CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB)");
  db.Exec("CREATE INDEX Z_CallRecord_date ON ZCALLRECORD (ZDATE COLLATE BINARY ASC)");
  db.Exec("BEGIN");
  std::vector<int64_t> doomed;
  int n = 0;
  for (const GenCall& c : rows) {
    ++n;
    const double appleDate = static_cast<double>(c.unixDate - kAppleEpochOffset) + c.fraction;
    const int64_t answered = c.answered >= 0 ? c.answered : (c.duration > 0 ? 1 : 0);
    const bool faceTime = c.callType != kCallTypePhone;
    const int64_t id = db.Run(
        "INSERT INTO ZCALLRECORD (Z_ENT, Z_OPT, ZANSWERED, ZCALL_CATEGORY, ZCALLTYPE, ZDISCONNECTED_CAUSE, "
        "ZFACE_TIME_DATA, ZHANDLE_TYPE, ZNUMBER_AVAILABILITY, ZORIGINATED, ZREAD, ZJUNKCONFIDENCE, "
        "ZJUNKIDENTIFICATIONCATEGORY, ZVERIFICATIONSTATUS, ZDATE, ZDURATION, ZDEVICE_ID, ZISO_COUNTRY_CODE, "
        "ZLOCATION, ZNAME, ZSERVICE_PROVIDER, ZUNIQUE_ID, ZADDRESS) "
        "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
        {int64_t{2}, int64_t{1}, answered, int64_t{c.callType == kCallTypeFaceTimeVideo ? 2 : 1},
         int64_t{c.callType}, int64_t{0}, nullptr, int64_t{c.address.find('@') == std::string::npos ? 2 : 3},
         int64_t{0}, int64_t{c.incoming ? 0 : 1}, int64_t{1}, int64_t{0}, int64_t{0}, int64_t{0}, appleDate,
         c.duration, nullptr, std::string("gb"), c.location.empty() ? Value(std::string("United Kingdom"))
                                                                     : Value(c.location),
         c.name.empty() ? Value(nullptr) : Value(c.name),
         std::string(faceTime ? "com.apple.FaceTime" : "com.apple.Telephony"),
         Format("7A31%04X-2C4D-4B8E-A0F1-0000000%05d", n, n), Blob{c.address}});
    if (c.deleted) doomed.push_back(id);
  }
  db.Run("INSERT INTO Z_PRIMARYKEY VALUES (?,?,?,?)",
         {int64_t{2}, std::string("CallRecord"), int64_t{0}, static_cast<int64_t>(rows.size())});
  db.Exec("COMMIT");
  for (int64_t id : doomed) db.Run("DELETE FROM ZCALLRECORD WHERE Z_PK = ?", {id});
}

void AddCurrentCallsFamily(BackupWriter& writer, const FamilyOptions& options) {
  const fs::path built = writer.ScratchPath("CallHistory.storedata");
  BuildCurrentCallRecordDb(built, CurrentCallRows(options));
  writer.AddFileFrom("HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", built);
}

void AddCallsFamily(BackupWriter& writer, const FamilyOptions& options) {
  const std::vector<GenCall> rows = CallRows(options);
  if (writer.era() == Era::Mbdb) {
    const fs::path built = writer.ScratchPath("call_history.db");
    BuildCallHistoryDb(built, rows);
    writer.AddFileFrom("WirelessDomain", "Library/CallHistory/call_history.db", built);
  } else {
    const fs::path built = writer.ScratchPath("CallHistory.storedata");
    BuildCallRecordDb(built, rows);
    writer.AddFileFrom("HomeDomain", "Library/CallHistoryDB/CallHistory.storedata", built);
  }
}

}  // namespace orbanix::gen
