#include "tools/backupgen/family_contacts.h"

#include <memory>
#include <random>
#include <stdexcept>

#include "platform/text.h"
#include "tools/backupgen/families.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix::gen {

BulkStatement::BulkStatement(sqlite3* db, const std::string& sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("prepare failed: ") + sqlite3_errmsg(db) + " in: " + sql);
  }
}

BulkStatement::~BulkStatement() { sqlite3_finalize(stmt_); }

void BulkStatement::Run(const std::vector<Value>& values) {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  for (size_t i = 0; i < values.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    const Value& v = values[i];
    if (std::holds_alternative<int64_t>(v)) {
      sqlite3_bind_int64(stmt_, index, std::get<int64_t>(v));
    } else if (std::holds_alternative<double>(v)) {
      sqlite3_bind_double(stmt_, index, std::get<double>(v));
    } else if (std::holds_alternative<std::string>(v)) {
      const std::string& s = std::get<std::string>(v);
      sqlite3_bind_text(stmt_, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else if (std::holds_alternative<Blob>(v)) {
      const std::string& s = std::get<Blob>(v).bytes;
      sqlite3_bind_blob(stmt_, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(stmt_, index);
    }
  }
  if (sqlite3_step(stmt_) != SQLITE_DONE) {
    throw std::runtime_error(std::string("step failed: ") + sqlite3_errmsg(db_));
  }
}

namespace {

Value TextOrNull(const std::string& s) { return s.empty() ? Value(nullptr) : Value(s); }

const char* const kFirstNames[] = {"Olivia", "Liam",  "Emma",   "Noah",  "Mia",   "Lucas", "Sofia",  "Elias",
                                   "Hannah", "Jonas", "Lea",    "Felix", "Marta", "Tomas", "Ingrid", "Yusuf",
                                   "Chloé",  "Zoë",   "Jürgen", "Åsa",   "Mei",   "Ravi",  "Nadia",  "Omar"};
const char* const kLastNames[] = {"Smith",  "Meyer", "Garcia", "Rossi", "Novak",  "Kowalski", "Jensen", "Dubois",
                                  "Müller", "Silva", "Tanaka", "Khan",  "Nguyen", "O'Brien",  "Berg",   "Costa"};
const char* const kCompanies[] = {"Acme Corp", "Globex", "Initech", "Umbrella Ltd", "Stark & Sons", "Hooli"};

// The search table as the phone declares it: docid plus 23 text columns.
const char* const kSearchColumns =
    "First, Last, Middle, FirstPhonetic, MiddlePhonetic, LastPhonetic, Organization, Department, Note, Birthday, "
    "JobTitle, Nickname, Prefix, Suffix, DisplayName, Phone, Email, Address, SocialProfile, URL, RelatedNames, "
    "IM, Date";
// From iOS 10 the index holds the phonetic organization name after the
// organization, which moves every later kind one number on ("c16Phone"),
// and a last kind for composite name terms.
const char* const kCurrentSearchColumns =
    "First, Last, Middle, FirstPhonetic, MiddlePhonetic, LastPhonetic, Organization, OrganizationPhonetic, "
    "Department, Note, Birthday, JobTitle, Nickname, Prefix, Suffix, DisplayName, Phone, Email, Address, "
    "SocialProfile, URL, RelatedNames, IM, Date, SupplementalCompositeNameTerms";

// The content table FTS4 makes for a column list: docid, then "c<n><kind>".
std::string ContentTableSql(const std::string& kinds) {
  std::string sql = "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY";
  int n = 0;
  size_t start = 0;
  while (start < kinds.size()) {
    size_t comma = kinds.find(',', start);
    if (comma == std::string::npos) comma = kinds.size();
    std::string kind = kinds.substr(start, comma - start);
    kind.erase(0, kind.find_first_not_of(' '));
    sql += Format(", c%d", n++) + kind;
    start = comma + 1;
  }
  return sql + ");";
}

void CreateSchema(FixtureDb& db, SearchLayout layout) {
  db.Exec(
      "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, Middle TEXT, "
      "FirstPhonetic TEXT, MiddlePhonetic TEXT, LastPhonetic TEXT, Organization TEXT, Department TEXT, Note TEXT, "
      "Kind INTEGER, Birthday TEXT, JobTitle TEXT, Nickname TEXT, Prefix TEXT, Suffix TEXT, FirstSort TEXT, "
      "LastSort TEXT, CreationDate INTEGER, ModificationDate INTEGER, CompositeNameFallback TEXT, "
      "ExternalIdentifier TEXT, ExternalModificationTag TEXT, ExternalUUID TEXT, StoreID INTEGER, DisplayName TEXT, "
      "ExternalRepresentation BLOB, FirstSortSection TEXT, LastSortSection TEXT, "
      "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, LastSortLanguageIndex INTEGER DEFAULT 2147483647, "
      "PersonLink INTEGER DEFAULT -1, ImageURI TEXT, IsPreferredName INTEGER DEFAULT 1, guid TEXT, "
      "PhonemeData TEXT, AlternateBirthday TEXT, MapsData TEXT);");
  db.Exec("CREATE INDEX ABPerson_LastSort ON ABPerson (LastSort);");
  db.Exec("CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value));");
  db.Exec(
      "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, identifier INTEGER, "
      "label INTEGER, value TEXT, guid TEXT);");
  db.Exec("CREATE INDEX ABMultiValueRecord ON ABMultiValue (record_id);");
  db.Exec("CREATE TABLE ABMultiValueEntryKey (value TEXT, UNIQUE(value));");
  db.Exec("CREATE TABLE ABMultiValueEntry (parent_id INTEGER, key INTEGER, value TEXT, UNIQUE(parent_id, key));");
  db.Exec("INSERT INTO ABMultiValueLabel (value) VALUES ('_$!<Mobile>!$_'), ('_$!<Home>!$_'), ('_$!<Work>!$_');");
  db.Exec("INSERT INTO ABMultiValueEntryKey (value) VALUES ('Street'), ('City'), ('ZIP'), ('Country');");
  // The phone keeps its search index as an FTS4 table; its rows live in the
  // shadow table ABPersonFullTextSearch_content. Without FTS4 in the linked
  // library the content table is created alone, with the same columns.
  if (layout == SearchLayout::kNone) return;
  const std::string kinds = layout == SearchLayout::kCurrent ? kCurrentSearchColumns : kSearchColumns;
  try {
    db.Exec("CREATE VIRTUAL TABLE ABPersonFullTextSearch USING fts4(" + kinds + ");");
  } catch (const std::runtime_error&) {
    db.Exec(ContentTableSql(kinds));
    db.Exec("CREATE VIEW ABPersonFullTextSearch AS SELECT * FROM ABPersonFullTextSearch_content;");
  }
}

bool HasFts(FixtureDb& db) {
  return db.QueryInt("SELECT count(*) FROM sqlite_master WHERE name='ABPersonFullTextSearch' AND type='table'") > 0;
}

}  // namespace

std::string DemoPhoneNational(int person) { return Format("555%07d", 2000000 + person); }

std::string DemoPhoneE164(int person) { return "+1" + DemoPhoneNational(person); }

std::string DemoPhoneText(int person) {
  const std::string n = DemoPhoneNational(person);
  const std::string formatted = n.substr(0, 3) + "-" + n.substr(3, 3) + "-" + n.substr(6);
  return "+1 " + formatted + " " + n + " +1" + n + " ";
}

AddressBookTruth BuildAddressBook(const fs::path& path, const AddressBookShape& shape) {
  AddressBookTruth truth;
  FixtureOptions options;
  options.pageSize = shape.pageSize;
  FixtureDb db(path, options);
  CreateSchema(db, shape.search);
  const bool fts = HasFts(db);
  const bool current = shape.search == SearchLayout::kCurrent;
  const bool indexed = shape.search != SearchLayout::kNone;
  std::mt19937 rng(shape.seed);

  std::vector<PersonTruth> persons;
  persons.reserve(shape.persons);
  for (int i = 0; i < shape.persons; ++i) {
    PersonTruth p;
    p.rowid = i + 1;
    switch (i) {
      case 0:  // names written directly one after the other
        p.first = "Ann";
        p.last = "Lee";
        p.phoneText = DemoPhoneText(i);
        p.email = "ann.lee@example.com";
        break;
      case 1:  // a number but no name at all
        p.phoneText = DemoPhoneText(i);
        break;
      case 2:  // no number: not a contact of the contacts list
        p.first = "Carl";
        p.last = "Young";
        p.email = "carl.young@example.org";
        break;
      case 3:  // one number and no trailing space
        p.first = "Dana";
        p.last = "Wu";
        p.phoneText = DemoPhoneNational(i);
        break;
      case 4:  // two numbers, each in several formats
        p.first = "Eve";
        p.last = "Park";
        p.organization = "Initech";
        p.phoneText = DemoPhoneText(i) + "+44 07700-900456 447700900456 +447700900456 ";
        break;
      default:
        p.first = kFirstNames[rng() % std::size(kFirstNames)];
        p.last = kLastNames[rng() % std::size(kLastNames)];
        if (rng() % 4 == 0) p.organization = kCompanies[rng() % std::size(kCompanies)];
        p.phoneText = DemoPhoneText(i);
        if (rng() % 3 == 0) p.email = Format("contact%d@example.com", i);
        break;
    }
    persons.push_back(p);
  }

  db.Exec("BEGIN;");
  {
    BulkStatement person(db.handle(),
                     "INSERT INTO ABPerson (ROWID, First, Last, Organization, Kind, FirstSort, LastSort, CreationDate, "
                     "ModificationDate, StoreID, guid) VALUES (?,?,?,?,0,?,?,?,?,0,?)");
    BulkStatement multi(db.handle(),
                    "INSERT INTO ABMultiValue (record_id, property, identifier, label, value, guid) "
                    "VALUES (?,?,?,?,?,?)");
    const std::string searchSql =
        fts ? std::string("INSERT INTO ABPersonFullTextSearch (docid, First, Last, Organization, Phone, "
                          "Email, Address, URL) VALUES (?,?,?,?,?,?,?,?)")
        : current ? std::string("INSERT INTO ABPersonFullTextSearch_content (docid, c0First, c1Last, "
                                "c6Organization, c16Phone, c17Email, c18Address, c20URL) VALUES (?,?,?,?,?,?,?,?)")
                  : std::string("INSERT INTO ABPersonFullTextSearch_content (docid, c0First, c1Last, "
                                "c6Organization, c15Phone, c16Email, c17Address, c19URL) VALUES (?,?,?,?,?,?,?,?)");
    std::unique_ptr<BulkStatement> search;
    if (indexed) search = std::make_unique<BulkStatement>(db.handle(), searchSql);
    for (const PersonTruth& p : persons) {
      const int64_t created = 400000000 + p.rowid * 3600;
      person.Run({p.rowid, TextOrNull(p.first), TextOrNull(p.last), TextOrNull(p.organization),
                  TextOrNull(p.first + " " + p.last), TextOrNull(p.last + " " + p.first), created, created + 60,
                  Format("%08X-0000-4000-8000-%012llX", static_cast<unsigned>(p.rowid),
                         static_cast<unsigned long long>(p.rowid))});
      if (!p.phoneText.empty()) {
        multi.Run({p.rowid, int64_t{3}, int64_t{0}, int64_t{1}, DemoPhoneE164(static_cast<int>(p.rowid - 1)),
                   Format("mv-%lld-phone", static_cast<long long>(p.rowid))});
      }
      if (!p.email.empty()) {
        multi.Run({p.rowid, int64_t{4}, int64_t{0}, int64_t{2}, p.email,
                   Format("mv-%lld-mail", static_cast<long long>(p.rowid))});
      }
      const std::string address = p.rowid % 5 == 0 ? Format("%lld Main Street Springfield", (long long)p.rowid) : "";
      const std::string url = p.rowid % 7 == 0 ? Format("https://example.com/~%lld", (long long)p.rowid) : "";
      if (search) search->Run({p.rowid, TextOrNull(p.first), TextOrNull(p.last), TextOrNull(p.organization),
                  TextOrNull(p.phoneText), TextOrNull(p.email), TextOrNull(address), TextOrNull(url)});
    }
  }
  db.Exec("COMMIT;");

  std::vector<bool> deleted(persons.size(), false);
  if (shape.deleteRows && shape.persons > 12) {
    const int n = shape.persons;
    // Scattered persons: their search rows become free blocks.
    for (int i = 9; i < n / 2; i += 7) deleted[i] = true;
    // A run of consecutive persons: whole pages go to the free list.
    if (n >= 200) {
      for (int i = n / 2; i < n / 2 + n / 4; ++i) deleted[i] = true;
    }
    // The newest persons: their rows end in the unallocated gap.
    deleted[n - 1] = true;
    deleted[n - 2] = true;
    db.Exec("BEGIN;");
    BulkStatement delPerson(db.handle(), "DELETE FROM ABPerson WHERE ROWID = ?");
    BulkStatement delMulti(db.handle(), "DELETE FROM ABMultiValue WHERE record_id = ?");
    std::unique_ptr<BulkStatement> delSearch;
    if (indexed) {
      delSearch = std::make_unique<BulkStatement>(db.handle(), fts ? "DELETE FROM ABPersonFullTextSearch WHERE docid = ?"
                                                                  : "DELETE FROM ABPersonFullTextSearch_content WHERE docid = ?");
    }
    for (size_t i = 0; i < persons.size(); ++i) {
      if (!deleted[i]) continue;
      delPerson.Run({persons[i].rowid});
      delMulti.Run({persons[i].rowid});
      if (delSearch) delSearch->Run({persons[i].rowid});
    }
    db.Exec("COMMIT;");
  }
  for (size_t i = 0; i < persons.size(); ++i) {
    (deleted[i] ? truth.deleted : truth.live).push_back(persons[i]);
  }
  truth.freelistPages = db.QueryInt("PRAGMA freelist_count");
  db.Close();
  return truth;
}

void AddContactsFamily(BackupWriter& writer, const FamilyOptions& options) {
  const fs::path built = writer.ScratchPath("AddressBook.sqlitedb");
  AddressBookShape shape;
  shape.seed = options.seed;
  shape.persons = 60 * std::max(1, options.scale);
  BuildAddressBook(built, shape);
  writer.AddFileFrom("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", built);
}

void AddCurrentContactsFamily(BackupWriter& writer, const FamilyOptions& options) {
  const fs::path built = writer.ScratchPath("AddressBook.sqlitedb");
  AddressBookShape shape;
  shape.seed = options.seed;
  shape.persons = 60 * std::max(1, options.scale);
  shape.search = SearchLayout::kCurrent;
  BuildAddressBook(built, shape);
  writer.AddFileFrom("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", built);
}

}  // namespace orbanix::gen
