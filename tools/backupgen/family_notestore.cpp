#include "tools/backupgen/family_notestore.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/fixture_db.h"
#include "tools/backupgen/media_encode.h"

namespace orbanix::gen {

namespace {

// --- protocol buffer wire encoding ---

void Varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
}
void VarintField(std::string& out, int field, uint64_t v) {
  Varint(out, static_cast<uint64_t>(field) << 3);
  Varint(out, v);
}
void BytesField(std::string& out, int field, const std::string& bytes) {
  Varint(out, (static_cast<uint64_t>(field) << 3) | 2);
  Varint(out, bytes.size());
  out += bytes;
}

std::string EncodeRun(const GenNoteRun& r) {
  std::string run;
  VarintField(run, 1, static_cast<uint64_t>(r.length));
  if (r.styleType != -1 || r.indent != 0) {
    std::string style;
    if (r.styleType != -1) VarintField(style, 1, static_cast<uint64_t>(static_cast<int64_t>(r.styleType)));
    if (r.indent != 0) VarintField(style, 4, static_cast<uint64_t>(r.indent));
    if (r.done >= 0) {
      std::string checklist;
      BytesField(checklist, 1, "CHECK-UUID-0001");
      VarintField(checklist, 2, static_cast<uint64_t>(r.done));
      BytesField(style, 5, checklist);
    }
    BytesField(run, 2, style);
  }
  // A font and a colour, as the app writes them, for the parser to skip.
  std::string font;
  BytesField(font, 1, "Helvetica");
  BytesField(run, 3, font);
  if (!r.link.empty()) BytesField(run, 9, r.link);
  if (!r.attachmentId.empty()) {
    std::string info;
    BytesField(info, 1, r.attachmentId);
    BytesField(info, 2, r.attachmentUti);
    BytesField(run, 12, info);
  }
  return run;
}

// UTF-16 code units of a UTF-8 text.
int Utf16Length(const std::string& s) {
  int units = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    if ((b & 0xC0) == 0x80) continue;
    units += b >= 0xF0 ? 2 : 1;
  }
  return units;
}

// A body made of segments, each one run.
struct Segment {
  std::string text;
  GenNoteRun run;
};
void SetBody(GenStoreNote& n, const std::vector<Segment>& segments) {
  n.text.clear();
  n.runs.clear();
  for (const Segment& s : segments) {
    n.text += s.text;
    GenNoteRun r = s.run;
    r.length = Utf16Length(s.text);
    n.runs.push_back(r);
  }
}
GenNoteRun Style(int type, int indent = 0, int done = -1) {
  GenNoteRun r;
  r.styleType = type;
  r.indent = indent;
  r.done = done;
  return r;
}
GenNoteRun Link(const std::string& url) {
  GenNoteRun r;
  r.link = url;
  return r;
}
GenNoteRun Object(const std::string& id, const std::string& uti) {
  GenNoteRun r;
  r.attachmentId = id;
  r.attachmentUti = uti;
  return r;
}

const char* const kObjectChar = "\xEF\xBF\xBC";  // U+FFFC

struct Column {
  const char* name;
  const char* type;
};

// Core Data's order: keys, integers, dates, strings, blobs; the iOS 17
// layout has more columns before the ones read and renamed ones.
std::vector<Column> ObjectColumnsOf(NoteStoreLayout layout) {
  const bool v17 = layout == NoteStoreLayout::kIos17;
  std::vector<Column> c = {{"Z_PK", "INTEGER PRIMARY KEY"}, {"Z_ENT", "INTEGER"}, {"Z_OPT", "INTEGER"}};
  if (v17) {
    for (const char* extra : {"ZCHECKLISTINPROGRESS", "ZHASEMPHASIS", "ZISSYSTEMPAPER", "ZPAPERSTYLETYPE"}) {
      c.push_back({extra, "INTEGER"});
    }
  }
  for (const char* i : {"ZCRYPTOITERATIONCOUNT", "ZFOLDERTYPE", "ZISPASSWORDPROTECTED", "ZISPINNED",
                        "ZMARKEDFORDELETION"}) {
    c.push_back({i, "INTEGER"});
  }
  c.push_back({v17 ? "ZACCOUNT7" : "ZACCOUNT2", "INTEGER"});
  for (const char* k : {"ZATTACHMENT", "ZFOLDER", "ZMEDIA", "ZNOTE", "ZNOTEDATA", "ZOWNER", "ZPARENT"}) {
    c.push_back({k, "INTEGER"});
  }
  c.push_back({"ZHEIGHT", "FLOAT"});
  c.push_back({"ZWIDTH", "FLOAT"});
  c.push_back({"ZCREATIONDATE", "TIMESTAMP"});
  c.push_back({"ZCREATIONDATE1", "TIMESTAMP"});
  if (v17) c.push_back({"ZCREATIONDATE3", "TIMESTAMP"});
  c.push_back({"ZMODIFICATIONDATE", "TIMESTAMP"});
  c.push_back({"ZMODIFICATIONDATE1", "TIMESTAMP"});
  for (const char* s : {"ZALTTEXT", "ZFILENAME", "ZIDENTIFIER", "ZNAME", "ZPASSWORDHINT", "ZSNIPPET", "ZTITLE",
                        "ZTITLE1", "ZTITLE2", "ZTYPEUTI"}) {
    c.push_back({s, "VARCHAR"});
  }
  if (v17) c.push_back({"ZSMARTFOLDERQUERYJSON", "VARCHAR"});
  for (const char* b : {"ZCRYPTOSALT", "ZCRYPTOWRAPPEDKEY", "ZMERGEABLEDATA1"}) c.push_back({b, "BLOB"});
  return c;
}

std::string CreateTable(const char* table, const std::vector<Column>& columns) {
  std::string sql = std::string("CREATE TABLE ") + table + " (";
  for (size_t i = 0; i < columns.size(); ++i) {
    sql += (i ? ", " : " ") + std::string(columns[i].name) + " " + columns[i].type;
  }
  return sql + " )";
}

// Inserts a row of named values (the rest NULL).
int64_t Insert(FixtureDb& db, const char* table, const std::vector<std::pair<std::string, Value>>& values) {
  std::string names, marks;
  std::vector<Value> bound;
  for (const auto& [name, value] : values) {
    names += (names.empty() ? "" : ", ") + name;
    marks += marks.empty() ? "?" : ", ?";
    bound.push_back(value);
  }
  return db.Run(std::string("INSERT INTO ") + table + " (" + names + ") VALUES (" + marks + ")", bound);
}

std::string Pseudo(uint32_t& state, size_t n) {
  static const char* const kSyllables[] = {"ka", "lo", "mi", "tur", "sen", "va", "qui", "ro", "dex", "pha", "no", "bel"};
  std::string s;
  while (s.size() < n) {
    state = state * 1664525u + 1013904223u;
    s += kSyllables[(state >> 16) % 12];
    if ((state >> 8) % 4 == 0) s += ' ';
  }
  return s;
}

std::string Bytes16(uint8_t seed, size_t n = 16) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed * 31 + i * 7 + 1);
  return s;
}

struct Sealed {
  std::string salt, wrappedKey, iv, tag, data;
  int64_t iterations = 20000;
};

// The Notes app's seal of a locked body (see the program's reader).
Sealed Seal(const std::string& gz, const std::string& password, uint8_t seed) {
  Sealed s;
  s.salt = Bytes16(seed);
  s.iv = Bytes16(static_cast<uint8_t>(seed + 1));
  const std::string key = Bytes16(static_cast<uint8_t>(seed + 2));
  unsigned char kek[16];
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(s.salt.data()), 16, static_cast<int>(s.iterations),
                    EVP_sha256(), 16, kek);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  unsigned char wrapped[40];
  int len = 0, tail = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_wrap(), nullptr, kek, nullptr);
  EVP_EncryptUpdate(ctx, wrapped, &len, reinterpret_cast<const unsigned char*>(key.data()), 16);
  EVP_EncryptFinal_ex(ctx, wrapped + len, &tail);
  s.wrappedKey.assign(reinterpret_cast<char*>(wrapped), static_cast<size_t>(len + tail));
  EVP_CIPHER_CTX_reset(ctx);
  EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 16, nullptr);
  EVP_EncryptInit_ex(ctx, nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                     reinterpret_cast<const unsigned char*>(s.iv.data()));
  s.data.assign(gz.size() + 16, '\0');
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(s.data.data()), &len,
                    reinterpret_cast<const unsigned char*>(gz.data()), static_cast<int>(gz.size()));
  EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(s.data.data()) + len, &tail);
  s.data.resize(static_cast<size_t>(len + tail));
  s.tag.assign(16, '\0');
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, s.tag.data());
  EVP_CIPHER_CTX_free(ctx);
  if (s.wrappedKey.size() != 24) throw std::runtime_error("key wrap failed");
  return s;
}

}  // namespace

std::string EncodeNoteProto(const std::string& text, const std::vector<GenNoteRun>& runs) {
  std::string note;
  BytesField(note, 2, text);
  for (const GenNoteRun& r : runs) BytesField(note, 5, EncodeRun(r));
  std::string document;
  VarintField(document, 2, 0);
  BytesField(document, 3, note);
  std::string root;
  BytesField(root, 2, document);
  return root;
}

std::string Gzip(const std::string& bytes) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&zs, bytes.size()) + 32, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  zs.avail_in = static_cast<uInt>(bytes.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

const std::vector<std::vector<std::string>>& GenNoteTableCells() {
  static const std::vector<std::vector<std::string>> kCells = {
      {"Item", "Cost", "Note"}, {"Tea", "3", ""}, {"Cake 🎂", "5", "with\ncream"}};
  return kCells;
}

std::string EncodeTableProto(const std::vector<std::vector<std::string>>& cells, bool rightToLeft) {
  const std::vector<std::string> keys = {"UUIDIndex", "crTableColumnDirection", "crRows", "crColumns", "cellColumns",
                                         "self"};
  const std::vector<std::string> types = {"com.apple.CRDT.NSUUID", "com.apple.CRDT.NSString",
                                          "com.apple.notes.ICTable", "com.apple.notes.CRTable"};
  auto keyOf = [&](const std::string& k) { return static_cast<uint64_t>(std::find(keys.begin(), keys.end(), k) - keys.begin()); };
  auto typeOf = [&](const std::string& t) { return static_cast<uint64_t>(std::find(types.begin(), types.end(), t) - types.begin()); };
  const size_t rowCount = cells.size();
  const size_t columnCount = rowCount ? cells[0].size() : 0;
  // Each row and column has two UUIDs: the one of the display order and the
  // one the cells use. The shared UUID list holds them in another order
  // than the display, so that a reader that takes the list's order fails.
  std::vector<std::string> uuids;
  auto uuid = [&](char kind, size_t i) {
    std::string u(16, '\0');
    u[0] = kind;
    u[1] = static_cast<char>(i & 0xFF);
    u[2] = static_cast<char>((i >> 8) & 0xFF);
    for (int k = 3; k < 16; ++k) u[k] = static_cast<char>(kind * 13 + i * 7 + k);
    return u;
  };
  std::vector<uint64_t> rowOrder(rowCount), rowCell(rowCount), colOrder(columnCount), colCell(columnCount);
  for (size_t r = 0; r < rowCount; ++r) rowCell[r] = uuids.size(), uuids.push_back(uuid('E', r));
  for (size_t c = 0; c < columnCount; ++c) colCell[c] = uuids.size(), uuids.push_back(uuid('F', c));
  for (size_t r = rowCount; r-- > 0;) rowOrder[r] = uuids.size(), uuids.push_back(uuid('A', r));
  for (size_t c = columnCount; c-- > 0;) colOrder[c] = uuids.size(), uuids.push_back(uuid('B', c));

  // 0 a string of the app's own, 1 the table, 2-5 its fields; the rest
  // appended: the table is found by its type, not by its place.
  std::vector<std::string> entries(6);
  auto add = [&](std::string entry) {
    entries.push_back(std::move(entry));
    return static_cast<uint64_t>(entries.size() - 1);
  };
  auto ref = [](uint64_t index) {
    std::string id;
    VarintField(id, 6, index);
    return id;
  };
  std::map<uint64_t, uint64_t> uuidObjects;
  auto uuidObject = [&](uint64_t u) {
    if (!uuidObjects.count(u)) {
      std::string value;
      VarintField(value, 2, u);
      std::string entry;
      VarintField(entry, 1, keyOf("UUIDIndex"));
      BytesField(entry, 2, value);
      std::string map;
      VarintField(map, 1, typeOf("com.apple.CRDT.NSUUID"));
      BytesField(map, 3, entry);
      std::string object;
      BytesField(object, 13, map);
      uuidObjects[u] = add(object);
    }
    return uuidObjects[u];
  };
  auto element = [&](uint64_t keyIndex, uint64_t valueIndex) {
    std::string el;
    BytesField(el, 1, ref(keyIndex));
    BytesField(el, 2, ref(valueIndex));
    return el;
  };
  auto orderedSet = [&](const std::vector<uint64_t>& order, const std::vector<uint64_t>& cellUuids) {
    std::string array;
    BytesField(array, 1, "");  // the text of the set, empty in tables
    for (size_t i = 0; i < order.size(); ++i) {
      std::string item;
      VarintField(item, 1, i);
      BytesField(item, 2, uuids[order[i]]);
      BytesField(array, 2, item);
    }
    std::string contents;
    for (size_t i = 0; i < order.size(); ++i) BytesField(contents, 1, element(uuidObject(order[i]), uuidObject(cellUuids[i])));
    std::string ordering;
    BytesField(ordering, 1, array);
    BytesField(ordering, 2, contents);
    std::string set;
    BytesField(set, 1, ordering);
    std::string object;
    BytesField(object, 16, set);
    return object;
  };
  entries[2] = orderedSet(rowOrder, rowCell);
  entries[3] = orderedSet(colOrder, colCell);
  {
    std::string columnsDict;
    for (size_t c = 0; c < columnCount; ++c) {
      std::string byRow;
      for (size_t r = 0; r < rowCount; ++r) {
        if (cells[r][c].empty()) continue;  // an empty cell has no entry
        std::string note;
        BytesField(note, 2, cells[r][c]);
        std::string cell;
        BytesField(cell, 10, note);
        BytesField(byRow, 1, element(uuidObject(rowCell[r]), add(cell)));
      }
      std::string byRowEntry;
      BytesField(byRowEntry, 6, byRow);
      BytesField(columnsDict, 1, element(uuidObject(colCell[c]), add(byRowEntry)));
    }
    BytesField(entries[4], 6, columnsDict);
  }
  {
    std::string value;
    BytesField(value, 4, rightToLeft ? "CRTableColumnDirectionRightToLeft" : "CRTableColumnDirectionLeftToRight");
    std::string reg;
    BytesField(reg, 2, value);
    BytesField(entries[5], 1, reg);
    std::string other;
    BytesField(other, 4, "unused");
    std::string otherReg;
    BytesField(otherReg, 2, other);
    BytesField(entries[0], 1, otherReg);
  }
  {
    std::string map;
    VarintField(map, 1, typeOf("com.apple.notes.ICTable"));
    for (const auto& [key, index] : std::vector<std::pair<std::string, uint64_t>>{
             {"crTableColumnDirection", 5}, {"crRows", 2}, {"crColumns", 3}, {"cellColumns", 4}}) {
      std::string entry;
      VarintField(entry, 1, keyOf(key));
      BytesField(entry, 2, ref(index));
      BytesField(map, 3, entry);
    }
    BytesField(entries[1], 13, map);
  }
  std::string data;
  for (const std::string& e : entries) BytesField(data, 3, e);
  for (const std::string& k : keys) BytesField(data, 4, k);
  for (const std::string& t : types) BytesField(data, 5, t);
  for (const std::string& u : uuids) BytesField(data, 6, u);
  std::string object;
  VarintField(object, 2, 1);
  BytesField(object, 3, data);
  std::string root;
  BytesField(root, 2, object);
  return root;
}

std::vector<GenStoreNote> NoteStoreRows(const FamilyOptions& options) {
  std::vector<GenStoreNote> notes;
  int64_t pk = 10;
  int64_t dataPk = 1;
  auto add = [&](const std::string& title, const std::string& folder, int64_t modified) -> GenStoreNote& {
    GenStoreNote n;
    n.pk = pk++;
    n.dataPk = dataPk++;
    n.title = title;
    n.folder = folder;
    n.modifiedUnix = modified;
    n.createdUnix = modified - 86400;
    notes.push_back(n);
    return notes.back();
  };
  {
    GenStoreNote& n = add("Groceries", "Notes", 1700000000);
    SetBody(n, {{"Groceries\n", Style(0)},
                {"Milk\n", Style(103, 0, 1)},
                {"Bread\n", Style(103, 0, 0)},
                {"Eggs", Style(103, 0, 0)}});
    n.expected = "Groceries\n☑ Milk\n☐ Bread\n☐ Eggs";
  }
  {
    GenStoreNote& n = add("Trip plan", "Travel", 1700100000);
    SetBody(n, {{"Trip plan\n", Style(0)},
                {"Pack bags\n", Style(100)},
                {"Book hotel\n", Style(100, 1)},
                {"First\n", Style(102)},
                {"Second\n", Style(102)},
                {"Dash\n", Style(101)},
                {"See ", {}},
                {"the map", Link("https://maps.example.com/x")},
                {"\nhttps://example.org", Link("https://example.org")},
                {"\nCiao", {}}});
    n.expected =
        "Trip plan\n• Pack bags\n\t• Book hotel\n1. First\n2. Second\n- Dash\nSee the map (https://maps.example.com/x)\n"
        "https://example.org\nCiao";
  }
  {
    GenStoreNote& n = add("Long note", "Notes", 1700200000);
    uint32_t state = options.seed;
    std::string body = "Long note\n";
    for (int i = 0; i < 300; ++i) body += Format("Line %03d ", i) + Pseudo(state, 60) + (i < 299 ? "\n" : "");
    SetBody(n, {{body, {}}});
    n.expected = body;
  }
  {
    GenStoreNote& n = add("Party 🎉", "Notes", 1700300000);
    // Characters beyond the basic plane take two code units in the runs.
    SetBody(n, {{"Party 🎉\n", Style(0)}, {"Cake 🎂 and 🍰\n", Style(103, 0, 1)}, {"Call ", {}},
                {"Ann", Link("tel:+15550100")}, {" ✓", {}}});
    n.expected = "Party 🎉\n☑ Cake 🎂 and 🍰\nCall Ann (tel:+15550100) ✓";
  }
  {
    GenStoreNote& n = add("Photo note", "Travel", 1700400000);
    // Two tables: one with its cells in the store, one without.
    SetBody(n, {{"Photo note\nLook: ", {}},
                {kObjectChar, Object("ATT-PHOTO-1", "public.jpeg")},
                {"\nBudget\n", {}},
                {kObjectChar, Object("ATT-TABLE-1", "com.apple.notes.table")},
                {"\nOld ", {}},
                {kObjectChar, Object("ATT-TABLE-2", "com.apple.notes.table")},
                {"\nNice", {}}});
    n.expected = "Photo note\nLook: [Picture: IMG_0001.jpeg]\nBudget\n" + std::string(kGenNoteTableText) +
                 "\nOld [table]\nNice";
    n.attachmentFile = "IMG_0001.jpeg";
  }
  {
    GenStoreNote& n = add("Sketch note", "Travel", 1700450000);
    SetBody(n, {{"Sketch note\n", {}},
                {kObjectChar, Object(kGenDrawingId, "com.apple.drawing.2")},
                {"\nCloud pic ", {}},
                {kObjectChar, Object("ATT-PHOTO-2", "public.jpeg")}});
    n.expected = "Sketch note\n[Drawing]\nCloud pic [Picture: IMG_0002.jpeg]";
    n.sketch = true;
  }
  {
    GenStoreNote& n = add("Secret plan", "Notes", 1700500000);
    SetBody(n, {{"Secret plan\n", Style(0)}, {"The key is under the mat", {}}});
    n.expected = "Secret plan\nThe key is under the mat";
    n.password = "hunter2 ü";
  }
  {
    GenStoreNote& n = add("Old idea", "Recently Deleted", 1700600000);
    SetBody(n, {{"Old idea\nNot needed any more", {}}});
    n.expected = "Old idea\nNot needed any more";
    n.inRecentlyDeleted = true;
    n.expectedDeleted = true;
  }
  {
    GenStoreNote& n = add("Erased note", "Notes", 1700700000);
    SetBody(n, {{"Erased note\nThese bytes survive in free space", {}}});
    n.expected = "Erased note\nThese bytes survive in free space";
    n.erased = true;
    n.expectedDeleted = true;
  }
  for (int s = 1; s < options.scale; ++s) {
    for (int i = 0; i < 5; ++i) {
      GenStoreNote& n = add(Format("Store note %d.%d", s, i), "Notes", 1700000000 + s * 86400 + i * 60);
      SetBody(n, {{n.title + "\n", Style(0)}, {"item\n", Style(103, 0, i % 2)}, {"tail", {}}});
      n.expected = n.title + (i % 2 ? "\n☑ item\ntail" : "\n☐ item\ntail");
    }
  }
  return notes;
}

void AddPasscodeLockedNote(std::vector<GenStoreNote>& notes) {
  GenStoreNote n;
  for (const GenStoreNote& other : notes) {
    n.pk = std::max(n.pk, other.pk + 1);
    n.dataPk = std::max(n.dataPk, other.dataPk + 1);
  }
  n.title = "Passcode note";
  n.folder = "Notes";
  n.modifiedUnix = 1700550000;
  n.createdUnix = n.modifiedUnix - 86400;
  SetBody(n, {{"Passcode note\nOnly the phone can open this", {}}});
  n.expected = "Passcode note\nOnly the phone can open this";
  n.passcodeLocked = true;
  notes.push_back(n);
}

void BuildNoteStoreDb(const fs::path& path, const std::vector<GenStoreNote>& notes, NoteStoreLayout layout,
                      std::vector<std::pair<std::string, std::string>>* mediaFiles) {
  const bool v17 = layout == NoteStoreLayout::kIos17;
  const std::map<std::string, int64_t> ent =
      v17 ? std::map<std::string, int64_t>{{"ICAccount", 4}, {"ICAttachment", 6}, {"ICMedia", 11}, {"ICFolder", 14},
                                           {"ICNote", 15}, {"ICNoteData", 19}, {"ICCloudSyncingObject", 1},
                                           {"ICAttachmentPreviewImage", 8}}
          : std::map<std::string, int64_t>{{"ICAccount", 3}, {"ICAttachment", 5}, {"ICMedia", 9}, {"ICFolder", 12},
                                           {"ICNote", 13}, {"ICNoteData", 17}, {"ICCloudSyncingObject", 1},
                                           {"ICAttachmentPreviewImage", 7}};
  const std::string account = v17 ? "ZACCOUNT7" : "ZACCOUNT2";
  const std::string created = v17 ? "ZCREATIONDATE3" : "ZCREATIONDATE1";
  auto apple = [](int64_t unix) { return static_cast<double>(unix - kAppleEpochOffset) + 0.25; };

  FixtureDb db(path);
  db.Exec("CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER)");
  db.Exec(CreateTable("ZICCLOUDSYNCINGOBJECT", ObjectColumnsOf(layout)));
  db.Exec("CREATE TABLE ZICNOTEDATA ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZNOTE INTEGER, "
          "ZCRYPTOINITIALIZATIONVECTOR BLOB, ZCRYPTOTAG BLOB, ZDATA BLOB )");
  db.Exec("CREATE INDEX ZICCLOUDSYNCINGOBJECT_ZFOLDER_INDEX ON ZICCLOUDSYNCINGOBJECT (ZFOLDER)");
  db.Exec("BEGIN");
  for (const auto& [name, number] : ent) {
    db.Run("INSERT INTO Z_PRIMARYKEY VALUES (?,?,?,?)", {number, name, int64_t{0}, int64_t{100}});
  }
  Insert(db, "ZICCLOUDSYNCINGOBJECT",
         {{"Z_PK", int64_t{1}}, {"Z_ENT", ent.at("ICAccount")}, {"Z_OPT", int64_t{1}},
          {"ZIDENTIFIER", std::string(kGenNotesAccountId)}, {"ZNAME", std::string("On My iPhone")}});
  std::map<std::string, int64_t> folders;
  int64_t folderPk = 2;
  for (const GenStoreNote& n : notes) {
    if (folders.count(n.folder)) continue;
    const bool trash = n.inRecentlyDeleted;
    Insert(db, "ZICCLOUDSYNCINGOBJECT",
           {{"Z_PK", folderPk}, {"Z_ENT", ent.at("ICFolder")}, {"Z_OPT", int64_t{1}},
            {"ZFOLDERTYPE", int64_t{trash ? 1 : 0}}, {"ZOWNER", int64_t{1}}, {account, int64_t{1}},
            {"ZIDENTIFIER", trash ? std::string("TrashFolder-LocalAccount") : Format("FOLDER-%lld", (long long)folderPk)},
            {"ZTITLE2", n.folder}});
    folders[n.folder] = folderPk++;
  }
  uint8_t seed = 1;
  for (const GenStoreNote& n : notes) {
    const std::string gz = Gzip(EncodeNoteProto(n.text, n.runs));
    std::vector<std::pair<std::string, Value>> row = {
        {"Z_PK", n.pk},
        {"Z_ENT", ent.at("ICNote")},
        {"Z_OPT", int64_t{2}},
        {"ZISPASSWORDPROTECTED", int64_t{n.password.empty() && !n.passcodeLocked ? 0 : 1}},
        {"ZMARKEDFORDELETION", int64_t{0}},
        {account, int64_t{1}},
        {"ZFOLDER", folders.at(n.folder)},
        {"ZNOTEDATA", n.dataPk},
        {created, apple(n.createdUnix)},
        {"ZMODIFICATIONDATE1", apple(n.modifiedUnix)},
        {"ZIDENTIFIER", Format("NOTE-%lld", static_cast<long long>(n.pk))},
        {"ZSNIPPET", n.password.empty() && !n.passcodeLocked ? n.text.substr(n.title.size(), 40) : std::string()},
        {"ZTITLE1", n.title}};
    std::vector<std::pair<std::string, Value>> data = {
        {"Z_PK", n.dataPk}, {"Z_ENT", ent.at("ICNoteData")}, {"Z_OPT", int64_t{1}}, {"ZNOTE", n.pk}};
    if (!n.password.empty() || n.passcodeLocked) {
      Sealed s = Seal(gz, n.passcodeLocked ? std::string("no password opens this") : n.password, seed += 7);
      if (n.passcodeLocked) {
        // The phone keeps the key: a 16-byte key blob and no iteration count.
        s.wrappedKey = Bytes16(static_cast<uint8_t>(seed + 3));
        s.iterations = 0;
      }
      row.push_back({"ZCRYPTOSALT", Blob{s.salt}});
      row.push_back({"ZCRYPTOITERATIONCOUNT", s.iterations});
      row.push_back({"ZCRYPTOWRAPPEDKEY", Blob{s.wrappedKey}});
      row.push_back({"ZPASSWORDHINT", std::string("the usual")});
      data.push_back({"ZCRYPTOINITIALIZATIONVECTOR", Blob{s.iv}});
      data.push_back({"ZCRYPTOTAG", Blob{s.tag}});
      data.push_back({"ZDATA", Blob{s.data}});
    } else {
      data.push_back({"ZDATA", Blob{gz}});
    }
    Insert(db, "ZICCLOUDSYNCINGOBJECT", row);
    Insert(db, "ZICNOTEDATA", data);
    if (!n.attachmentFile.empty()) {
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 20000 + n.pk}, {"Z_ENT", ent.at("ICMedia")}, {"Z_OPT", int64_t{1}}, {account, int64_t{1}},
              {"ZIDENTIFIER", std::string(kGenNotesMediaId)}, {"ZFILENAME", n.attachmentFile}});
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 10000 + n.pk}, {"Z_ENT", ent.at("ICAttachment")}, {"Z_OPT", int64_t{1}}, {"ZNOTE", n.pk},
              {"ZMEDIA", 20000 + n.pk}, {"ZIDENTIFIER", std::string("ATT-PHOTO-1")},
              {"ZTYPEUTI", std::string("public.jpeg")}});
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 30000 + n.pk}, {"Z_ENT", ent.at("ICAttachment")}, {"Z_OPT", int64_t{1}}, {"ZNOTE", n.pk},
              {"ZIDENTIFIER", std::string("ATT-TABLE-1")}, {"ZTYPEUTI", std::string("com.apple.notes.table")},
              {"ZMERGEABLEDATA1", Blob{Gzip(EncodeTableProto(GenNoteTableCells()))}}});
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 40000 + n.pk}, {"Z_ENT", ent.at("ICAttachment")}, {"Z_OPT", int64_t{1}}, {"ZNOTE", n.pk},
              {"ZIDENTIFIER", std::string("ATT-TABLE-2")}, {"ZTYPEUTI", std::string("com.apple.notes.table")}});
      if (mediaFiles) {
        mediaFiles->push_back({std::string("Accounts/") + kGenNotesAccountId + "/Media/" + kGenNotesMediaId +
                                   "/1_4E2B7F/" + n.attachmentFile,
                               EncodeJpeg(DrawScene(64, 48, 77))});
      }
    }
    if (n.sketch) {
      // A drawing (no media: the app's rendering in FallbackImages) and a
      // picture whose file stayed in the cloud (only its previews here;
      // the larger one is the one to show).
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 10000 + n.pk}, {"Z_ENT", ent.at("ICAttachment")}, {"Z_OPT", int64_t{1}}, {"ZNOTE", n.pk},
              {"ZIDENTIFIER", std::string(kGenDrawingId)}, {"ZTYPEUTI", std::string("com.apple.drawing.2")}});
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 20000 + n.pk}, {"Z_ENT", ent.at("ICMedia")}, {"Z_OPT", int64_t{1}}, {account, int64_t{1}},
              {"ZIDENTIFIER", std::string("MEDIA-IN-THE-CLOUD")}, {"ZFILENAME", std::string("IMG_0002.jpeg")}});
      Insert(db, "ZICCLOUDSYNCINGOBJECT",
             {{"Z_PK", 30000 + n.pk}, {"Z_ENT", ent.at("ICAttachment")}, {"Z_OPT", int64_t{1}}, {"ZNOTE", n.pk},
              {"ZMEDIA", 20000 + n.pk}, {"ZIDENTIFIER", std::string("ATT-PHOTO-2")},
              {"ZTYPEUTI", std::string("public.jpeg")}});
      int64_t previewPk = 50000 + n.pk * 10;
      for (const auto& [id, size] : std::vector<std::pair<std::string, double>>{{"PREVIEW-SMALL", 96}, {kGenPreviewId, 192}}) {
        Insert(db, "ZICCLOUDSYNCINGOBJECT",
               {{"Z_PK", previewPk++}, {"Z_ENT", ent.at("ICAttachmentPreviewImage")}, {"Z_OPT", int64_t{1}},
                {"ZATTACHMENT", 30000 + n.pk}, {"ZIDENTIFIER", id}, {"ZWIDTH", size}, {"ZHEIGHT", size * 0.75}});
      }
      if (mediaFiles) {
        const std::string base = std::string("Accounts/") + kGenNotesAccountId + "/";
        mediaFiles->push_back({base + "FallbackImages/" + kGenDrawingId + ".jpg", EncodeJpeg(DrawScene(80, 60, 5))});
        mediaFiles->push_back({base + "Previews/PREVIEW-SMALL.png", EncodePng(DrawScene(96, 72, 6))});
        mediaFiles->push_back({base + "Previews/" + kGenPreviewId + ".png", EncodePng(DrawScene(192, 144, 7))});
      }
    }
  }
  db.Exec("COMMIT");
  for (const GenStoreNote& n : notes) {
    if (!n.erased) continue;
    db.Run("DELETE FROM ZICCLOUDSYNCINGOBJECT WHERE Z_PK = ?", {n.pk});
    db.Run("DELETE FROM ZICNOTEDATA WHERE Z_PK = ?", {n.dataPk});
  }
}

void AddNoteStoreFamily(BackupWriter& writer, const FamilyOptions& options) {
  const fs::path built = writer.ScratchPath("NoteStore.sqlite");
  std::vector<std::pair<std::string, std::string>> media;
  BuildNoteStoreDb(built, NoteStoreRows(options), NoteStoreLayout::kIos17, &media);
  writer.AddFileFrom("AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite", built);
  for (const auto& [relative, bytes] : media) writer.AddFile("AppDomainGroup-group.com.apple.notes", relative, bytes);
}

}  // namespace orbanix::gen
