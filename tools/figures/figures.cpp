#include "tools/figures/figures.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "extractors/calls.h"
#include "extractors/chat_apps.h"
#include "extractors/contacts.h"
#include "extractors/messages.h"
#include "extractors/notes.h"
#include "extractors/whatsapp.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/provenance.h"
#include "sqlite_pages/record.h"
#include "tools/backupgen/family_calls.h"
#include "tools/backupgen/family_chat_apps.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/family_notes.h"
#include "tools/backupgen/family_whatsapp.h"

namespace orbanix::figures {

double Figures::Recall() const {
  return surviving == 0 ? 1.0 : static_cast<double>(delivered) / static_cast<double>(surviving);
}

void Tally::Live(const std::string& key) { live_.insert(key); }

void Tally::Deleted(const std::string& key, bool survives, const std::string& label) {
  deleted_[key] = {survives, label.empty() ? key : label};
}

void Tally::DeliveredLive(const std::string& key) {
  if (live_.count(key)) liveSeen_.insert(key);
}

void Tally::DeliveredDeleted(const std::string& key, const std::string& shown) {
  if (!key.empty() && deleted_.count(key)) {
    ++deliveredCount_[key];
  } else {
    phantoms_.push_back(shown);
  }
}

void Tally::DeliveredPartly(const std::string& shown) { partly_.push_back(shown); }

Figures Tally::Result(const std::string& family, const std::string& store) const {
  Figures f;
  f.family = family;
  f.store = store;
  f.deleted = deleted_.size();
  for (const auto& [key, row] : deleted_) {
    f.surviving += row.first;
    const auto it = deliveredCount_.find(key);
    if (it != deliveredCount_.end()) {
      ++f.delivered;
      f.twice += static_cast<size_t>(it->second - 1);
    } else if (row.first) {
      f.missed.push_back(row.second);
    }
  }
  f.phantoms = phantoms_.size();
  f.phantomItems = phantoms_;
  f.partly = partly_.size();
  f.partlyItems = partly_;
  f.liveDelivered = liveSeen_.size();
  for (const std::string& key : live_) {
    if (!liveSeen_.count(key)) f.liveMissed.push_back(key);
  }
  f.liveExpected = live_.size();
  return f;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<int64_t, std::string> RecordBodies(const fs::path& path, const std::string& table, size_t limit) {
  std::map<int64_t, std::string> bodies;
  CDbFileReader reader;
  if (reader.Open(path) != 0) throw std::runtime_error("cannot open " + path.string());
  std::string sql;
  if (FindTableSql(reader, table, sql) != 0) throw std::runtime_error("no table " + table + " in " + path.string());
  ParsedRecord record;
  const RowDecoder decoder = [&](CDbFileReader& r, const RowInput& input) -> Status {
    if (ParseLiveRecord(r, input, record) != 0) return 87;
    std::string body;
    for (const RecordColumn& c : record.columns) {
      if (c.present && c.length) body.append(reinterpret_cast<const char*>(c.body), c.length);
    }
    if (body.size() > limit) body.resize(limit);
    bodies[record.rowid] = std::move(body);
    return 0;
  };
  ScanOptions options;
  options.recoverInTree = false;
  options.freePageStage = false;
  options.carve = false;
  if (ScanTable(reader, table, decoder, options) != 0) {
    throw std::runtime_error("cannot read table " + table + " of " + path.string());
  }
  return bodies;
}

namespace {

bool Survives(const std::string& fileBytes, const std::map<int64_t, std::string>& bodies, int64_t rowid) {
  const auto it = bodies.find(rowid);
  return it != bodies.end() && !it->second.empty() && fileBytes.find(it->second) != std::string::npos;
}

std::string Short(std::string s) {
  for (char& c : s) {
    if (c == '\n') c = '/';
  }
  return s.size() > 60 ? s.substr(0, 57) + "..." : s;
}

// --- contacts ---

std::string PersonKey(const gen::PersonTruth& p) { return "person " + std::to_string(p.rowid); }

std::string ExpectedName(const gen::PersonTruth& p) {
  const std::string name = JoinPersonName(p.first, p.last);
  return name.empty() ? "No Name" : name;
}

// A row of ABMultiValue as the generator wrote it.
struct MultiValueRow {
  int64_t uid = 0;
  int64_t person = 0;  // record_id
  std::string value;
};

// Every row of ABMultiValue in the database at `path` (the pristine copy:
// the truth of which values each person had, by UID).
std::vector<MultiValueRow> MultiValueRows(const fs::path& path) {
  std::vector<MultiValueRow> rows;
  CDbFileReader reader;
  if (reader.Open(path) != 0) throw std::runtime_error("cannot open " + path.string());
  ParsedRecord record;
  const RowDecoder decoder = [&](CDbFileReader& r, const RowInput& input) -> Status {
    if (ParseLiveRecord(r, input, record) != 0) return 87;
    // The generator's columns: UID, record_id, property, identifier, label, value, guid.
    if (!record.IsInteger(1)) return 87;
    rows.push_back({record.rowid, record.AsInt64(1), record.AsText(5)});
    return 0;
  };
  ScanOptions scan;
  scan.recoverInTree = false;
  scan.freePageStage = false;
  scan.carve = false;
  if (ScanTable(reader, "ABMultiValue", decoder, scan) != 0) {
    throw std::runtime_error("cannot read ABMultiValue of " + path.string());
  }
  return rows;
}

// The rows of the person tables counted one by one: a deleted person's row
// is delivered when a delivered deleted contact shows its name (with its
// organization, and with no number of another person); a deleted
// multi-value row when a delivered deleted contact shows its value under
// no name or under its own person's. A value shown as deleted that is no
// deleted row's, or under another person's name, is a phantom.
std::vector<Figures> PersonTableRows(const gen::AddressBookTruth& truth, const fs::path& pristine, const std::string& bytes,
                                     const std::map<int64_t, std::string>& personBodies,
                                     const std::vector<ContactRecord>& contacts) {
  Tally persons, values;
  std::map<int64_t, const gen::PersonTruth*> byRowid;
  std::set<int64_t> deletedPersons;
  for (const auto& p : truth.live) {
    persons.Live(PersonKey(p));
    byRowid[p.rowid] = &p;
  }
  for (const auto& p : truth.deleted) {
    persons.Deleted(PersonKey(p), Survives(bytes, personBodies, p.rowid), ExpectedName(p));
    byRowid[p.rowid] = &p;
    deletedPersons.insert(p.rowid);
  }
  const std::vector<MultiValueRow> rows = MultiValueRows(pristine);
  const auto valueBodies = RecordBodies(pristine, "ABMultiValue");
  std::map<std::string, const MultiValueRow*> byValue;
  auto valueKey = [](const MultiValueRow& v) { return "value " + std::to_string(v.uid); };
  for (const MultiValueRow& v : rows) {
    byValue[v.value] = &v;
    if (deletedPersons.count(v.person)) {
      values.Deleted(valueKey(v), Survives(bytes, valueBodies, v.uid), v.value);
    } else {
      values.Live(valueKey(v));
    }
  }
  // Deleted persons by name and organization, for contacts that show a
  // name alone: each goes to a person of that name not yet given one (persons
  // may share a name), one whose row survives first.
  std::map<std::pair<std::string, std::string>, std::vector<const gen::PersonTruth*>> byName;
  for (const auto& p : truth.deleted) byName[{ExpectedName(p), p.organization}].push_back(&p);
  for (auto& [key, list] : byName) {
    std::stable_partition(list.begin(), list.end(), [&](const gen::PersonTruth* p) {
      return Survives(bytes, personBodies, p->rowid);
    });
  }
  std::set<int64_t> given;
  struct Shown {
    const ContactRecord* contact;
    std::vector<std::string> values;
    int64_t owner;  // the person the values belong to (0: none shown, -1: several or unknown)
  };
  std::vector<Shown> deletedShown;
  for (const ContactRecord& c : contacts) {
    Shown s{&c, c.numbers, 0};
    std::stringstream mails(c.email);
    for (std::string mail; mails >> mail;) s.values.push_back(mail);
    for (const std::string& v : s.values) {
      const auto it = byValue.find(v);
      const int64_t of = it == byValue.end() ? -1 : it->second->person;
      s.owner = s.owner == 0 ? of : s.owner == of ? s.owner : -1;
    }
    if (!c.deleted) {
      if (s.owner > 0 && c.name == ExpectedName(*byRowid[s.owner])) persons.DeliveredLive(PersonKey(*byRowid[s.owner]));
      for (const std::string& v : s.values) {
        if (const auto it = byValue.find(v); it != byValue.end()) values.DeliveredLive(valueKey(*it->second));
      }
    } else {
      deletedShown.push_back(std::move(s));
    }
  }
  // Names with their person's values first: they say which person they are.
  std::stable_partition(deletedShown.begin(), deletedShown.end(), [](const Shown& s) { return s.owner != 0; });
  for (const Shown& s : deletedShown) {
    const ContactRecord& c = *s.contact;
    const bool named = c.name != "No Name";
    const std::string shown = c.name + " | " + Short(c.phones) + " | " + c.email;
    std::string personKey;
    if (named) {
      const gen::PersonTruth* person = nullptr;
      if (s.owner > 0) {
        const gen::PersonTruth& p = *byRowid[s.owner];
        if (ExpectedName(p) == c.name && (c.company.empty() || c.company == p.organization)) person = &p;
      } else if (s.owner == 0) {
        for (const auto& [key, list] : byName) {
          if (key.first != c.name || (!c.company.empty() && key.second != c.company)) continue;
          for (const gen::PersonTruth* p : list) {
            if (!given.count(p->rowid)) {
              person = p;
              break;
            }
          }
          if (!person) person = list.front();
          break;
        }
      }
      if (person) {
        given.insert(person->rowid);
        personKey = PersonKey(*person);
      }
      persons.DeliveredDeleted(personKey, shown);
    }
    for (const std::string& v : s.values) {
      const auto it = byValue.find(v);
      // Under a name, the value must be that person's.
      const bool right = it != byValue.end() && (!named || !personKey.empty());
      values.DeliveredDeleted(right ? valueKey(*it->second) : std::string(), v + " under " + c.name);
    }
  }
  return {persons.Result("contacts", "  ABPerson rows"), values.Result("contacts", "  ABMultiValue rows")};
}

std::vector<Figures> Contacts(const RunOptions& options, gen::SearchLayout layout, const std::string& store) {
  gen::AddressBookShape shape;
  shape.search = layout;
  shape.persons = 60 * std::max(1, options.scale);
  const std::string tag = layout == gen::SearchLayout::kNone ? "-persons" : "";
  const fs::path db = options.workDir / ("AddressBook" + tag + ".sqlitedb");
  const fs::path pristine = options.workDir / ("AddressBook" + tag + "-whole.sqlitedb");
  const gen::AddressBookTruth truth = gen::BuildAddressBook(db, shape);
  shape.deleteRows = false;
  gen::BuildAddressBook(pristine, shape);
  const std::string table = layout == gen::SearchLayout::kNone ? "ABPerson" : kContactsSearchTable;
  const auto bodies = RecordBodies(pristine, table);
  const std::string bytes = ReadFileBytes(db);

  Tally tally;
  std::vector<const gen::PersonTruth*> everyone;
  for (const auto& p : truth.live) {
    tally.Live(PersonKey(p));
    everyone.push_back(&p);
  }
  for (const auto& p : truth.deleted) {
    tally.Deleted(PersonKey(p), Survives(bytes, bodies, p.rowid), ExpectedName(p) + " " + p.phoneText);
    everyone.push_back(&p);
  }
  std::vector<ContactRecord> contacts;
  int64_t maxRowId = 0;
  if (ScanContacts(db, contacts, maxRowId) != 0) throw std::runtime_error("cannot scan " + db.string());
  auto digits = [](const std::string& text) {
    std::string d;
    for (char ch : text) {
      if ((ch >= '0' && ch <= '9') || ch == '\n') d += ch;
    }
    return d;
  };
  for (const ContactRecord& c : contacts) {
    const std::string numbers = digits(c.phones);
    // The person whose own number the contact lists (each person has a
    // number no other has), or, without numbers, whose e-mail address it
    // shows; the name and e-mail must then be that person's too.
    std::string key;
    bool partly = false;
    for (const gen::PersonTruth* p : everyone) {
      const bool same = p->phoneText.empty() || c.phones.empty()
                            ? c.phones.empty() && !p->email.empty() && c.email == p->email
                            : numbers.find(gen::DemoPhoneNational(static_cast<int>(p->rowid - 1))) != std::string::npos;
      if (!same) continue;
      if (c.name == ExpectedName(*p) && c.email == p->email && c.company == p->organization &&
          c.phones.empty() == p->phoneText.empty()) {
        key = PersonKey(*p);
      } else if (c.deleted && tally.IsDeleted(PersonKey(*p)) && (c.name == "No Name" || c.name == ExpectedName(*p)) &&
                 (c.company.empty() || c.company == p->organization) && (c.email.empty() || c.email == p->email)) {
        // Part of a deleted person: its numbers (and e-mail) without its
        // name, or its name without some of its values. True, but not the
        // contact whole. Every number shown must be the person's.
        const std::string own = gen::DemoPhoneNational(static_cast<int>(p->rowid - 1));
        partly = numbers.empty() || numbers == own || numbers == "1" + own;
      }
      break;
    }
    if (key.empty() && !partly && c.deleted && c.phones.empty() && c.email.empty()) {
      // A deleted person's name (and organization) alone, its numbers not
      // joined to it: true when some deleted person has that name.
      partly = std::any_of(truth.deleted.begin(), truth.deleted.end(), [&](const gen::PersonTruth& p) {
        return ExpectedName(p) == c.name && p.organization == c.company;
      });
    }
    const std::string shown = c.name + " | " + Short(c.phones) + " | " + c.email;
    if (!c.deleted) {
      tally.DeliveredLive(key);
    } else if (partly) {
      tally.DeliveredPartly(shown);
    } else {
      tally.DeliveredDeleted(key, shown);
    }
  }
  std::vector<Figures> out = {tally.Result("contacts", store)};
  if (layout == gen::SearchLayout::kNone) {
    for (Figures& f : PersonTableRows(truth, pristine, bytes, bodies, contacts)) out.push_back(std::move(f));
  }
  return out;
}

// --- calls ---

Figures Calls(const RunOptions& options, const std::vector<gen::GenCall>& rows, int layout,
              const std::string& store) {
  const bool callTable = layout == 0;
  const fs::path db = options.workDir / (callTable ? "call_history.db" : "CallHistory.storedata");
  const fs::path pristine = options.workDir / (callTable ? "call_history-whole.db" : "CallHistory-whole.storedata");
  std::vector<gen::GenCall> whole = rows;
  for (gen::GenCall& c : whole) c.deleted = false;
  auto build = [layout](const fs::path& path, const std::vector<gen::GenCall>& r) {
    if (layout == 0) gen::BuildCallHistoryDb(path, r);
    else if (layout == 1) gen::BuildCallRecordDb(path, r);
    else gen::BuildCurrentCallRecordDb(path, r);
  };
  build(db, rows);
  build(pristine, whole);
  const auto bodies = RecordBodies(pristine, callTable ? "call" : "ZCALLRECORD");
  const std::string bytes = ReadFileBytes(db);

  Tally tally;
  std::map<std::string, std::pair<std::string, bool>> byShown;  // address|date -> key, incoming
  for (size_t i = 0; i < rows.size(); ++i) {
    const gen::GenCall& c = rows[i];
    const std::string shown = c.address + " " + FormatLocalDateTime(c.unixDate);
    const std::string key = "call " + std::to_string(i + 1);
    byShown[shown] = {key, c.incoming};
    if (c.deleted) {
      tally.Deleted(key, Survives(bytes, bodies, static_cast<int64_t>(i + 1)), shown);
    } else {
      tally.Live(key);
    }
  }
  // Without an address book the scan says so and delivers the calls
  // without names.
  std::vector<CallRecord> calls;
  const fs::path noAddressBook = options.workDir / "no-address-book";
  if (ScanCallHistory(db, noAddressBook, calls) != 0 && calls.empty() && !rows.empty()) {
    throw std::runtime_error("cannot scan " + db.string());
  }
  for (const CallRecord& r : calls) {
    const std::string shown = r.address + " " + r.date;
    std::string key;
    const auto it = byShown.find(shown);
    if (it != byShown.end() && it->second.second == (r.incoming != 0)) key = it->second.first;
    if (r.deleted) tally.DeliveredDeleted(key, shown + (r.incoming ? " in" : " out"));
    else tally.DeliveredLive(key);
  }
  return tally.Result("calls", store);
}

// --- notes ---

Figures Notes(const RunOptions& options) {
  gen::FamilyOptions family;
  family.scale = std::max(1, options.scale);
  const std::vector<gen::GenNote> rows = gen::NoteRows(family);
  std::vector<gen::GenNote> whole = rows;
  for (gen::GenNote& n : whole) n.noteDeleted = n.bodyDeleted = false;
  const fs::path db = options.workDir / "notes.sqlite";
  const fs::path pristine = options.workDir / "notes-whole.sqlite";
  gen::BuildNotesDb(db, rows);
  gen::BuildNotesDb(pristine, whole);
  const auto noteBodies = RecordBodies(pristine, "ZNOTE");
  const auto bodyBodies = RecordBodies(pristine, "ZNOTEBODY");
  const std::string bytes = ReadFileBytes(db);

  // A note row is known by its title, a body row by its text.
  Tally tally;
  std::map<std::string, std::string> titleKey, bodyKey;
  for (const gen::GenNote& n : rows) {
    if (!n.noteMissing) {
      const std::string key = "note " + std::to_string(n.notePk);
      if (!n.title.empty()) titleKey[n.title] = key;
      if (n.noteDeleted) tally.Deleted(key, Survives(bytes, noteBodies, n.notePk), "note row " + n.title);
      else tally.Live(key);
    }
    if (!n.bodyMissing) {
      const std::string key = "body " + std::to_string(n.bodyPk);
      if (!n.expectedBody.empty()) bodyKey[n.expectedBody] = key;
      if (n.bodyDeleted) tally.Deleted(key, Survives(bytes, bodyBodies, n.bodyPk), "body row " + Short(n.expectedBody));
      else tally.Live(key);
    }
  }
  std::vector<NoteRecord> notes;
  if (ScanNotes(db, notes) != 0) throw std::runtime_error("cannot scan " + db.string());
  for (const NoteRecord& n : notes) {
    const auto title = titleKey.find(n.title);
    const auto body = bodyKey.find(n.body);
    const std::string tKey = title == titleKey.end() ? std::string() : title->second;
    const std::string bKey = body == bodyKey.end() ? std::string() : body->second;
    if (!n.deleted) {
      tally.DeliveredLive(tKey);
      tally.DeliveredLive(bKey);
      continue;
    }
    const std::string shown = "'" + n.title + "' '" + Short(n.body) + "'";
    // A recovered body shows the title of its note, live or recovered; a
    // title that belongs to no note, or a body that is no deleted body, is
    // not a recovered row.
    const bool titleKnown = n.title.empty() || !tKey.empty();
    const bool bodyDeleted = !bKey.empty() && tally.IsDeleted(bKey);
    const bool titleDeleted = !tKey.empty() && tally.IsDeleted(tKey);
    if (!titleKnown || (!n.body.empty() && !bodyDeleted) || (!bodyDeleted && !titleDeleted)) {
      tally.DeliveredDeleted("", shown);
      continue;
    }
    if (!tKey.empty() && tally.IsLive(tKey)) tally.DeliveredLive(tKey);
    if (bodyDeleted) tally.DeliveredDeleted(bKey, shown);
    if (titleDeleted) tally.DeliveredDeleted(tKey, shown);
  }
  return tally.Result("notes", "notes.sqlite");
}

// --- messages ---

void CountMessages(const fs::path& db, Tally& tally, const std::map<std::string, int64_t>& handleOf) {
  ConversationMap conversations;
  int64_t maxRowId = 0;
  if (ScanMessages(db, db.parent_path() / "no-address-book", conversations, maxRowId) != 0) {
    throw std::runtime_error("cannot scan " + db.string());
  }
  for (const auto& [handle, messages] : conversations) {
    for (const MessageRecord& m : messages) {
      // Messages without text (an attachment alone) are not counted.
      if (m.text.empty()) continue;
      std::string key = "message " + m.text;
      const auto it = handleOf.find(m.text);
      if (it == handleOf.end() || (it->second != 0 && it->second != m.handleId && !m.group)) key.clear();
      if (m.deleted && !m.recentlyDeleted) {
        tally.DeliveredDeleted(key, Short(m.text) + " (" + RecoveredFromText(m.recoveredFrom) + ")");
      } else {
        tally.DeliveredLive(key);
      }
    }
  }
}

Figures Messages(const RunOptions& options) {
  const int scale = std::max(1, options.scale);
  const fs::path db = options.workDir / "sms.db";
  Tally tally;
  std::map<std::string, int64_t> handleOf;
  if (options.current) {
    gen::CurrentSmsShape shape;
    shape.fillerMessages = 40 * scale;
    const gen::CurrentSmsTruth truth = gen::BuildCurrentSmsDb(db, shape);
    const std::string bytes = ReadFileBytes(db);
    for (const gen::CurrentSmsMessage& m : truth.messages) {
      if (m.text.empty()) continue;
      const std::string key = "message " + m.text;
      handleOf[m.text] = 0;  // group messages are filed under their chat
      if (m.deleted && !m.recentlyDeleted) tally.Deleted(key, bytes.find(m.text) != std::string::npos, Short(m.text));
      else tally.Live(key);
    }
    CountMessages(db, tally, handleOf);
    return tally.Result("messages", "sms.db (current)");
  }
  gen::SmsShape shape;
  shape.handles = 12 * scale;
  shape.messages = 600 * scale;
  shape.layout = options.era == Era::kManifestDb ? gen::SmsLayout::kWide : gen::SmsLayout::kOld38;
  const gen::SmsTruth truth = gen::BuildSmsDb(db, shape);
  shape.deleteRows = false;
  const fs::path pristine = options.workDir / "sms-whole.db";
  gen::BuildSmsDb(pristine, shape);
  const auto bodies = RecordBodies(pristine, "message");
  const std::string bytes = ReadFileBytes(db);
  for (const auto& m : truth.liveMessages) {
    if (m.text.empty()) continue;
    handleOf[m.text] = m.handleId;
    tally.Live("message " + m.text);
  }
  for (const auto& m : truth.deletedMessages) {
    if (m.text.empty()) continue;
    handleOf[m.text] = m.handleId;
    tally.Deleted("message " + m.text, Survives(bytes, bodies, m.rowid), Short(m.text));
  }
  CountMessages(db, tally, handleOf);
  return tally.Result("messages", shape.layout == gen::SmsLayout::kWide ? "sms.db (wide table)" : "sms.db (38 columns)");
}

// --- QQ and WeChat ---

// A chat app's message is known by its conversation and its text (each text
// is written once). A deleted message listed under another conversation
// than its own is no recovery of it: it counts as a phantom, and the
// message as not delivered.
Figures PeerChats(const RunOptions& options, bool qq) {
  gen::FamilyOptions family;
  family.scale = std::max(1, options.scale);
  const std::vector<gen::GenPeer> peers = qq ? gen::QqPeers(family) : gen::WeChatPeers(family);
  std::vector<gen::GenPeer> whole = peers;
  for (gen::GenPeer& p : whole) {
    p.dropped = false;
    for (gen::GenPeerMessage& m : p.messages) m.deleted = false;
  }
  const fs::path db = options.workDir / (qq ? "QQ.db" : "MM.sqlite");
  const fs::path pristine = options.workDir / (qq ? "QQ-whole.db" : "MM-whole.sqlite");
  if (qq) {
    gen::BuildQqDb(db, peers);
    gen::BuildQqDb(pristine, whole);
  } else {
    gen::BuildWeChatDb(db, peers);
    gen::BuildWeChatDb(pristine, whole);
  }
  const std::string bytes = ReadFileBytes(db);
  Tally tally;
  std::set<std::string> deletedTexts;
  for (const gen::GenPeer& p : peers) {
    if (!p.hasTable) continue;
    const std::string table = !p.table.empty() ? p.table : qq ? gen::QqTableName(p.id) : gen::WeChatTableName(p.id);
    const auto bodies = RecordBodies(pristine, table);
    // WeChat lists the rows of a dropped table, which name no friend, under
    // "Unknown"; QQ's rows name their partner.
    const std::string conversation = !qq && p.dropped ? std::string(kUnknownConversation) : p.id;
    for (size_t i = 0; i < p.messages.size(); ++i) {
      const gen::GenPeerMessage& m = p.messages[i];
      if (m.text.empty()) continue;  // a picture: not listed
      const std::string key = conversation + " | " + m.text;
      if (m.deleted || p.dropped) {
        tally.Deleted(key, Survives(bytes, bodies, static_cast<int64_t>(i + 1)), key);
        deletedTexts.insert(m.text);
      } else {
        tally.Live(key);
      }
    }
  }
  PeerChatMap chats;
  const Status scanned = qq ? ScanQQ(db, chats) : ScanWeChat(db, chats);
  if (scanned != 0) throw std::runtime_error("cannot scan " + db.string());
  for (const auto& [conversation, messages] : chats) {
    for (const PeerChatRecord& m : messages) {
      const std::string key = conversation + " | " + m.text;
      if (!m.deleted) {
        tally.DeliveredLive(key);
      } else if (!tally.IsDeleted(key) && conversation == kUnknownConversation && deletedTexts.count(m.text)) {
        // A deleted message of another conversation whose conversation
        // could not be told: true, but not the row whole.
        tally.DeliveredPartly(Short(key));
      } else {
        tally.DeliveredDeleted(tally.IsDeleted(key) ? key : std::string(), Short(key));
      }
    }
  }
  return tally.Result(qq ? "qq" : "wechat", qq ? "QQ.db" : "MM.sqlite");
}

// --- WhatsApp ---

// `layout`: the column count of ZWAMESSAGE (the app's older versions), or
// 0 for a current store (the wide layout with push names and linked ids).
Figures WhatsApp(const RunOptions& options, int layout) {
  gen::FamilyOptions family;
  family.scale = std::max(1, options.scale);
  const gen::GenWhatsApp content =
      layout == 0 ? gen::CurrentWhatsAppContent(family) : gen::WhatsAppContent(layout, family);
  gen::GenWhatsApp whole = content;
  for (gen::GenWaMessage& m : whole.messages) m.deleted = false;
  // One file per layout, each kept in the work folder for a look.
  const std::string tag = layout == 0 ? std::string() : "-" + std::to_string(layout);
  const fs::path db = options.workDir / ("ChatStorage" + tag + ".sqlite");
  const fs::path pristine = options.workDir / ("ChatStorage" + tag + "-whole.sqlite");
  gen::BuildWhatsAppDb(db, content);
  gen::BuildWhatsAppDb(pristine, whole);
  const auto bodies = RecordBodies(pristine, "ZWAMESSAGE");
  const std::string bytes = ReadFileBytes(db);
  Tally tally;
  for (const gen::GenWaMessage& m : content.messages) {
    if (m.text.empty()) continue;  // media alone: listed by its path
    const std::string key = "message " + m.text;
    if (m.deleted) tally.Deleted(key, Survives(bytes, bodies, m.pk), m.text);
    else tally.Live(key);
  }
  WhatsAppChatMap chats;
  if (ScanWhatsApp(db, chats) != 0) throw std::runtime_error("cannot scan " + db.string());
  for (const auto& [chat, messages] : chats) {
    for (const ChatMessageRecord& m : messages) {
      const std::string key = "message " + m.text;
      if (!m.deleted) tally.DeliveredLive(key);
      else tally.DeliveredDeleted(tally.IsDeleted(key) ? key : std::string(), Short(m.text));
    }
  }
  const std::string shape = layout == 0                           ? std::string("current")
                            : layout == gen::kWhatsAppWideLayout ? std::string("wide")
                                                                 : std::to_string(layout) + " columns";
  return tally.Result("whatsapp", "ChatStorage.sqlite (" + shape + ")");
}

bool Wanted(const RunOptions& options, const char* family) {
  return options.families.empty() || options.families.count(family);
}

}  // namespace

const std::vector<std::string>& FamilyNames() {
  static const std::vector<std::string> kNames = {"contacts", "calls", "notes", "messages", "whatsapp", "qq", "wechat"};
  return kNames;
}

std::vector<Figures> Run(const RunOptions& options) {
  fs::create_directories(options.workDir);
  std::vector<Figures> out;
  gen::FamilyOptions family;
  family.scale = std::max(1, options.scale);
  auto append = [&out](std::vector<Figures> more) {
    for (Figures& f : more) out.push_back(std::move(f));
  };
  if (Wanted(options, "contacts")) {
    if (options.current) {
      append(Contacts(options, gen::SearchLayout::kCurrent, "AddressBook (search table c16Phone)"));
    } else {
      append(Contacts(options, gen::SearchLayout::kIos9, "AddressBook (search table c15Phone)"));
    }
    append(Contacts(options, gen::SearchLayout::kNone, "AddressBook (ABPerson, ABMultiValue)"));
  }
  if (Wanted(options, "calls")) {
    if (options.current) {
      out.push_back(Calls(options, gen::CurrentCallRows(family), 2, "CallHistory.storedata (current)"));
    } else if (options.era == Era::kMbdb) {
      out.push_back(Calls(options, gen::CallRows(family), 0, "call_history.db"));
    } else {
      out.push_back(Calls(options, gen::CallRows(family), 1, "CallHistory.storedata"));
    }
  }
  if (Wanted(options, "notes")) out.push_back(Notes(options));
  if (Wanted(options, "messages")) out.push_back(Messages(options));
  if (Wanted(options, "whatsapp")) {
    // The older era's backups hold the stores of the app's older versions,
    // the newer ones a wide store.
    if (options.current) {
      out.push_back(WhatsApp(options, 0));
    } else if (options.era == Era::kMbdb) {
      for (int layout : {27, 28, 29, 30}) out.push_back(WhatsApp(options, layout));
    } else {
      out.push_back(WhatsApp(options, gen::kWhatsAppWideLayout));
    }
  }
  if (Wanted(options, "qq")) out.push_back(PeerChats(options, true));
  if (Wanted(options, "wechat")) out.push_back(PeerChats(options, false));
  return out;
}

std::string FormatTable(const std::vector<Figures>& figures, const std::string& era) {
  std::string out = Format("%-9s %-5s %-38s %7s %9s %9s %5s %6s %8s %6s %9s\n", "family", "era", "store", "deleted",
                           "surviving", "delivered", "twice", "partly", "phantoms", "recall", "live");
  for (const Figures& f : figures) {
    out += Format("%-9s %-5s %-38s %7zu %9zu %9zu %5zu %6zu %8zu %6.3f %4zu/%-4zu\n", f.family.c_str(), era.c_str(),
                  f.store.c_str(), f.deleted, f.surviving, f.delivered, f.twice, f.partly, f.phantoms, f.Recall(),
                  f.liveDelivered, f.liveExpected);
  }
  return out;
}

}  // namespace orbanix::figures
