#include "extractors/notestore.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "extractors/notestore_body.h"
#include "extractors/notestore_crypto.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/recovery.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

constexpr const char* kObjectTable = "ZICCLOUDSYNCINGOBJECT";
constexpr const char* kDataTable = "ZICNOTEDATA";
constexpr const char* kEntityTable = "Z_PRIMARYKEY";
constexpr const char* kTableUti = "com.apple.notes.table";

enum class Kind { kUnknown, kNote, kFolder, kAccount, kAttachment, kMedia, kInline, kPreview };

// The positions of the columns read from ZICCLOUDSYNCINGOBJECT (-1: the
// version has no such column).
struct ObjectColumns {
  int ent, identifier, marked;
  int title1, snippet, folder, noteData, created3, created1, modified1;
  std::vector<int> accounts;
  int passwordProtected, hint, salt, iterations, wrappedKey;
  int title2, folderType, name;
  int note, typeUti, media, title, filename, altText;
  int mergeable1, mergeable;
  int attachment, width, height;

  explicit ObjectColumns(const ColumnLookup& c) {
    ent = c.Find("Z_ENT");
    identifier = c.Find("ZIDENTIFIER");
    marked = c.Find("ZMARKEDFORDELETION");
    title1 = c.Find("ZTITLE1");
    snippet = c.Find("ZSNIPPET");
    folder = c.Find("ZFOLDER");
    noteData = c.Find("ZNOTEDATA");
    created3 = c.Find("ZCREATIONDATE3");
    created1 = c.Find("ZCREATIONDATE1");
    modified1 = c.FindAny({"ZMODIFICATIONDATE1", "ZMODIFICATIONDATE"});
    for (const char* a : {"ZACCOUNT7", "ZACCOUNT2", "ZACCOUNT3", "ZACCOUNT4", "ZACCOUNT5", "ZACCOUNT6", "ZACCOUNT8",
                          "ZACCOUNT9", "ZACCOUNT"}) {
      if (const int p = c.Find(a); p >= 0) accounts.push_back(p);
    }
    passwordProtected = c.Find("ZISPASSWORDPROTECTED");
    hint = c.Find("ZPASSWORDHINT");
    salt = c.Find("ZCRYPTOSALT");
    iterations = c.Find("ZCRYPTOITERATIONCOUNT");
    wrappedKey = c.Find("ZCRYPTOWRAPPEDKEY");
    title2 = c.Find("ZTITLE2");
    folderType = c.Find("ZFOLDERTYPE");
    name = c.Find("ZNAME");
    note = c.Find("ZNOTE");
    typeUti = c.Find("ZTYPEUTI");
    media = c.Find("ZMEDIA");
    title = c.Find("ZTITLE");
    filename = c.Find("ZFILENAME");
    altText = c.Find("ZALTTEXT");
    mergeable1 = c.Find("ZMERGEABLEDATA1");
    mergeable = c.Find("ZMERGEABLEDATA");
    attachment = c.Find("ZATTACHMENT");
    width = c.Find("ZWIDTH");
    height = c.Find("ZHEIGHT");
  }
};

struct ObjectRow {
  int deleted = 0;
  RecoveredFrom recoveredFrom;
  int64_t pk = 0;  // 0 when recovered without its cell header
  int64_t ent = -1;
  Kind kind = Kind::kUnknown;
  std::string identifier, title1, snippet, title2, name, typeUti, title, filename, altText, hint;
  std::string created, modified;
  int64_t folder = 0, noteData = 0, account = 0, note = 0, media = 0, folderType = -1, iterations = 0;
  bool marked = false, passwordProtected = false;
  std::string salt, wrappedKey;
  std::string mergeable;  // an embedded table's data (attachments of that type only)
  int64_t attachment = 0;  // a preview image's attachment
  double area = 0;         // a preview image's width x height
};

struct DataRow {
  int deleted = 0;
  RecoveredFrom recoveredFrom;
  int64_t pk = 0;
  int64_t note = 0;
  std::string data, iv, tag;
  bool used = false;
};

std::string Text(const ParsedRecord& rec, int c) { return rec.IsText(c) ? rec.AsText(c) : std::string(); }
std::string Blob(const ParsedRecord& rec, int c) { return rec.IsBlob(c) || rec.IsText(c) ? rec.AsBlob(c) : std::string(); }
int64_t Int(const ParsedRecord& rec, int c, int64_t fallback = 0) { return rec.IsInteger(c) ? rec.AsInt64(c) : fallback; }
double Number(const ParsedRecord& rec, int c) {
  return rec.IsReal(c) ? rec.AsReal(c) : rec.IsInteger(c) ? static_cast<double>(rec.AsInt64(c)) : 0.0;
}

// Texts of recovered rows must look like text: bytes of other rows or of
// page structures do not.
bool Plausible(const std::string& s) { return !HasReplacementOrZero(s); }

Status DecodeObject(CDbFileReader& reader, const RowInput& input, const ObjectColumns& col, ParsedRecord& rec,
                    std::vector<ObjectRow>& sink) {
  const Status st = ParseRecord(reader, input, rec);
  if (st != status::kOk) return st;
  ObjectRow r;
  r.deleted = input.deleted;
  r.recoveredFrom = RecoveredFromInput(input);
  r.pk = rec.hasRowid ? rec.rowid : 0;
  r.ent = Int(rec, col.ent, -1);
  r.identifier = Text(rec, col.identifier);
  r.marked = Int(rec, col.marked) != 0;
  r.title1 = Text(rec, col.title1);
  r.snippet = Text(rec, col.snippet);
  r.folder = Int(rec, col.folder);
  r.noteData = Int(rec, col.noteData);
  r.created = FormatDateColumn(rec, col.created3, Epoch::kApple);
  if (r.created.empty()) r.created = FormatDateColumn(rec, col.created1, Epoch::kApple);
  r.modified = FormatDateColumn(rec, col.modified1, Epoch::kApple);
  for (const int a : col.accounts) {
    if ((r.account = Int(rec, a)) != 0) break;
  }
  r.passwordProtected = Int(rec, col.passwordProtected) != 0;
  r.hint = Text(rec, col.hint);
  r.salt = Blob(rec, col.salt);
  r.iterations = Int(rec, col.iterations);
  r.wrappedKey = Blob(rec, col.wrappedKey);
  r.title2 = Text(rec, col.title2);
  r.folderType = Int(rec, col.folderType, -1);
  r.name = Text(rec, col.name);
  r.note = Int(rec, col.note);
  r.typeUti = Text(rec, col.typeUti);
  r.media = Int(rec, col.media);
  r.title = Text(rec, col.title);
  r.filename = Text(rec, col.filename);
  r.altText = Text(rec, col.altText);
  r.attachment = Int(rec, col.attachment);
  if (const double w = Number(rec, col.width), h = Number(rec, col.height); w > 0 && h > 0 && w < 1e6 && h < 1e6) {
    r.area = w * h;
  }
  if (r.typeUti == kTableUti) {
    r.mergeable = Blob(rec, col.mergeable1);
    if (r.mergeable.empty()) r.mergeable = Blob(rec, col.mergeable);
  }
  if (r.deleted) {
    if (r.ent < 0 || r.ent > 10000) return status::kBadData;
    for (const std::string* s : {&r.identifier, &r.title1, &r.snippet, &r.title2, &r.name, &r.typeUti, &r.filename}) {
      if (!Plausible(*s)) return status::kBadData;
    }
  }
  sink.push_back(std::move(r));
  return status::kOk;
}

Status DecodeData(CDbFileReader& reader, const RowInput& input, int noteCol, int dataCol, int ivCol, int tagCol,
                  ParsedRecord& rec, std::vector<DataRow>& sink) {
  const Status st = ParseRecord(reader, input, rec);
  if (st != status::kOk) return st;
  DataRow d;
  d.deleted = input.deleted;
  d.recoveredFrom = RecoveredFromInput(input);
  d.pk = rec.hasRowid ? rec.rowid : 0;
  d.note = Int(rec, noteCol);
  d.data = Blob(rec, dataCol);
  d.iv = Blob(rec, ivCol);
  d.tag = Blob(rec, tagCol);
  // A recovered row is worth a note only with a body.
  if (d.deleted && d.data.empty()) return status::kBadData;
  sink.push_back(std::move(d));
  return status::kOk;
}

// Entity number -> kind, from Z_PRIMARYKEY.
std::map<int64_t, Kind> ReadEntities(CDbFileReader& reader, const std::filesystem::path& path) {
  const ColumnLookup lookup = ColumnLookup::Load(path, kEntityTable);
  const int entCol = lookup.Find("Z_ENT", 0);
  const int nameCol = lookup.Find("Z_NAME", 1);
  std::map<int64_t, Kind> kinds;
  ParsedRecord rec;
  ScanOptions options;
  options.recoverInTree = false;
  options.freePageStage = false;
  static const std::pair<const char*, Kind> kNames[] = {
      {"ICNote", Kind::kNote},           {"ICFolder", Kind::kFolder}, {"ICAccount", Kind::kAccount},
      {"ICAttachment", Kind::kAttachment}, {"ICMedia", Kind::kMedia}, {"ICInlineAttachment", Kind::kInline},
      {"ICAttachmentPreviewImage", Kind::kPreview},
  };
  ScanTable(
      reader, kEntityTable,
      [&](CDbFileReader& r, const RowInput& in) {
        if (ParseRecord(r, in, rec) != status::kOk) return status::kBadData;
        const std::string name = Text(rec, nameCol);
        // Z_ENT is the table's INTEGER PRIMARY KEY: stored as NULL, its
        // value is the row's key.
        const bool stored = rec.IsInteger(entCol);
        if (!stored && !rec.hasRowid) return status::kOk;
        const int64_t ent = stored ? rec.AsInt64(entCol) : rec.rowid;
        for (const auto& [known, kind] : kNames) {
          if (name == known) kinds[ent] = kind;
        }
        return status::kOk;
      },
      options);
  return kinds;
}

// The kind of a row whose entity number says nothing (no entity table, or a
// recovered row): by the columns only that kind fills.
Kind GuessKind(const ObjectRow& r) {
  if (r.noteData != 0 || (!r.title1.empty() && r.typeUti.empty())) return Kind::kNote;
  if (r.folderType >= 0 || !r.title2.empty()) return Kind::kFolder;
  if (!r.typeUti.empty()) return Kind::kAttachment;
  if (!r.filename.empty()) return Kind::kMedia;
  if (!r.altText.empty()) return Kind::kInline;
  if (!r.name.empty()) return Kind::kAccount;
  return Kind::kUnknown;
}

std::string FirstLine(const std::string& text) {
  const size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) line.pop_back();
  return line;
}

// "[Picture]" with a name becomes "[Picture: name]".
std::string NamedKind(const std::string& kind, const std::string& name) {
  if (name.empty() || kind.size() < 2 || kind.back() != ']') return kind;
  return kind.substr(0, kind.size() - 1) + ": " + name + "]";
}

class Joiner {
 public:
  Joiner(std::vector<ObjectRow>& objects, const NoteStoreOptions& options, const std::string& fileLabel)
      : options_(options), fileLabel_(fileLabel) {
    for (ObjectRow& r : objects) {
      if (r.pk == 0) continue;
      auto& slot = byPk_[r.pk];
      if (!slot || (slot->deleted && !r.deleted)) slot = &r;
    }
    for (ObjectRow& r : objects) {
      if ((r.kind == Kind::kAttachment || r.kind == Kind::kInline) && !r.identifier.empty()) {
        auto& slot = attachmentById_[r.identifier];
        if (!slot || (slot->deleted && !r.deleted)) slot = &r;
      }
      if (r.kind == Kind::kPreview && r.attachment != 0 && !r.identifier.empty()) previews_[r.attachment].push_back(&r);
    }
    // The largest preview first.
    for (auto& [pk, list] : previews_) {
      std::stable_sort(list.begin(), list.end(), [](const ObjectRow* a, const ObjectRow* b) { return a->area > b->area; });
    }
    if (options.index) {
      const std::string domain = std::string(kNotesAppGroupDomain) + "-";
      for (const BackupFileEntry& e : *options.index) {
        if (e.key.compare(0, domain.size(), domain) != 0) continue;
        for (const char* folder : kNoteImageFolders) {
          if (e.key.find(std::string("/") + folder + "/") != std::string::npos ||
              e.key.compare(domain.size(), std::strlen(folder) + 1, std::string(folder) + "/") == 0) {
            imageFiles_.push_back(&e);
            break;
          }
        }
      }
    }
  }

  const ObjectRow* Get(int64_t pk, Kind kind) const {
    if (pk == 0) return nullptr;
    const auto it = byPk_.find(pk);
    return it != byPk_.end() && it->second->kind == kind ? it->second : nullptr;
  }

  NoteRecord Make(const ObjectRow* note, const DataRow* data) {
    NoteRecord n;
    n.deleted = (note && note->deleted) || (data && data->deleted) ? 1 : 0;
    // The note's own row tells where the note lay; its body's, when only that was recovered.
    n.recoveredFrom = note && note->recoveredFrom.Known() ? note->recoveredFrom
                      : data                              ? data->recoveredFrom
                                                          : RecoveredFrom{};
    n.rowId = note ? note->pk : 0;
    n.linkId = static_cast<int>(note ? note->noteData : data ? data->pk : 0);
    std::string accountId;
    if (note) {
      n.title = note->title1;
      n.date = note->modified;
      n.created = note->created;
      if (note->marked) n.deleted = 1;
      if (const ObjectRow* folder = Get(note->folder, Kind::kFolder)) {
        n.folder = folder->title2;
        if (folder->folderType == 1) {
          n.deleted = 1;
          if (n.folder.empty()) n.folder = "Recently Deleted";
        }
      }
      if (const ObjectRow* account = Get(note->account, Kind::kAccount)) accountId = account->identifier;
    }
    // Words and files for the embedded objects.
    std::vector<std::pair<NoteBodyAttachment, std::string>> words;
    std::vector<NoteAttachment> files;
    const auto namer = [&](const NoteBodyAttachment& a) {
      std::string text = Describe(a, accountId, files);
      words.emplace_back(a, text);
      return text;
    };
    const bool locked = note && note->passwordProtected;
    if (locked) {
      n.lock = NoteLock::kLocked;
      n.body = kLockedNoteText;
      auto crypto = std::make_shared<LockedNoteData>();
      crypto->salt = note->salt;
      crypto->iterations = note->iterations;
      crypto->wrappedKey = note->wrappedKey;
      crypto->hint = note->hint;
      if (data) {
        crypto->iv = data->iv;
        crypto->tag = data->tag;
        crypto->data = data->data;
      }
      // The words of every object of this note, ready for when it is opened.
      for (const auto& [id, row] : attachmentById_) {
        if (note->pk != 0 && row->note == note->pk) namer({id, row->typeUti});
      }
      crypto->attachmentWords = std::move(words);
      crypto->attachments = std::move(files);
      n.locked = std::move(crypto);
    } else if (data) {
      NoteBodyText body = DecodeNoteBody(data->data, namer);
      n.body = std::move(body.text);
      if (!body.complete) {
        if (n.body.empty()) n.body = "[" + body.problem + "]";
        if (!n.deleted && options_.problems) {
          options_.problems->push_back(
              {"notes", fileLabel_, "the body of the note \"" + (n.title.empty() ? FirstLine(n.body) : n.title) +
                                        "\" could be read only in part", body.problem, false});
        }
      }
      n.attachments = std::move(files);
    } else if (note) {
      // The body row is lost: what the note row itself keeps of the text.
      n.body = note->snippet.empty() ? "" : note->snippet + kNoteRestLost;
    }
    if (n.title.empty()) n.title = FirstLine(n.body);
    return n;
  }

 private:
  std::string Describe(const NoteBodyAttachment& a, const std::string& accountId, std::vector<NoteAttachment>& files) {
    const std::string kind = AttachmentKindText(a.uti);
    const auto it = attachmentById_.find(a.identifier);
    if (it == attachmentById_.end()) return kind;
    const ObjectRow& att = *it->second;
    if (att.kind == Kind::kInline) return att.altText;
    if (!att.mergeable.empty()) {
      // A table whose cells are in the backup stands as its rows.
      std::string table = DecodeNoteTable(att.mergeable);
      if (!table.empty()) return table;
    }
    const ObjectRow* media = Get(att.media, Kind::kMedia);
    NoteAttachment file;
    file.uti = a.uti;
    if (media && !media->filename.empty()) {
      file.name = media->filename;
      if (options_.index && !accountId.empty() && !media->identifier.empty()) {
        if (const BackupFileEntry* e = FindNoteMediaEntry(*options_.index, accountId, media->identifier, media->filename)) {
          file.file = ResolveStoredPath(options_.backupFolder, e->hashedName.view());
        }
      }
    }
    if (file.file.empty() && att.typeUti != kTableUti) {
      // No stored file of its own (a drawing has none; a picture's may have
      // stayed in the cloud): the image the app drew of it, when the backup
      // holds one, under its own name (its type may differ).
      if (const BackupFileEntry* e = FindImageOf(att, accountId)) {
        const size_t slash = e->key.rfind('/');
        file.name = slash == std::string::npos ? e->key : e->key.substr(slash + 1);
        file.file = ResolveStoredPath(options_.backupFolder, e->hashedName.view());
      }
    }
    const std::string named = NamedKind(kind, media && !media->filename.empty() ? media->filename : att.title);
    if (!media && file.file.empty()) return named;  // nothing to list beside the note
    if (file.name.empty()) file.name = kind.size() > 2 ? kind.substr(1, kind.size() - 2) : std::string("Attachment");
    files.push_back(file);
    return named;
  }

  // The stored image of an attachment in the account's (or the store's)
  // FallbackImages, FallbackPDFs or Previews folder: named after the
  // attachment (a drawing's rendering) or after one of its preview rows.
  const BackupFileEntry* FindImageOf(const ObjectRow& att, const std::string& accountId) const {
    if (imageFiles_.empty()) return nullptr;
    std::vector<std::string> previewIds;
    if (const auto it = previews_.find(att.pk); att.pk != 0 && it != previews_.end()) {
      for (const ObjectRow* p : it->second) previewIds.push_back(p->identifier);
    }
    const std::string domain = std::string(kNotesAppGroupDomain) + "-";
    // Current stores keep the folders per account; the first ones at the
    // top of the app group.
    std::vector<std::string> bases;
    if (!accountId.empty()) bases.push_back("Accounts/" + accountId + "/");
    bases.emplace_back();
    for (const char* folder : kNoteImageFolders) {
      const bool previews = std::string_view(folder) == "Previews";
      std::vector<std::string> ids = previews ? previewIds : std::vector<std::string>();
      if (!att.identifier.empty()) ids.push_back(att.identifier);
      for (const std::string& id : ids) {
        for (const std::string& base : bases) {
          const std::string prefix = domain + base + folder + "/" + id;
          for (const BackupFileEntry* e : imageFiles_) {
            if (e->key.size() <= prefix.size() || e->key.compare(0, prefix.size(), prefix) != 0) continue;
            // The name goes on with an extension, a size ("-1-192x144-0.png")
            // or a generation folder; a folder entry of its own has no
            // extension in its last part.
            const char next = e->key[prefix.size()];
            if (next != '.' && next != '-' && next != '/') continue;
            const size_t slash = e->key.rfind('/');
            if (e->key.find('.', slash) == std::string::npos) continue;
            return e;
          }
        }
      }
    }
    return nullptr;
  }

  static constexpr const char* kNoteImageFolders[] = {"FallbackImages", "FallbackPDFs", "Previews"};

  const NoteStoreOptions& options_;
  std::string fileLabel_;
  std::unordered_map<int64_t, std::vector<const ObjectRow*>> previews_;
  std::vector<const BackupFileEntry*> imageFiles_;
  std::unordered_map<int64_t, ObjectRow*> byPk_;
  std::map<std::string, ObjectRow*> attachmentById_;
};

// Rows recovered from free space are often copies of live rows (SQLite
// moves cells when it rebalances or defragments a page, and the old bytes
// stay) or of each other: such copies are not deleted notes.
template <typename Row, typename KeyFn>
void DropRecoveredCopies(std::vector<Row>& rows, KeyFn key) {
  std::set<std::string> seen;
  for (const Row& r : rows) {
    if (!r.deleted) seen.insert(key(r));
  }
  std::vector<Row> kept;
  kept.reserve(rows.size());
  for (Row& r : rows) {
    if (r.deleted && !seen.insert(key(r)).second) continue;
    kept.push_back(std::move(r));
  }
  rows = std::move(kept);
}

// Rows lost to damaged pages. The app deletes a note's body with the note,
// so a live body whose note row is not among the live rows (or a live note
// whose body row is not) tells of a page that could not be read; so does
// a table scan that stopped early.
void ReportLostRows(const std::vector<ObjectRow>& objects, const std::vector<DataRow>& data, Status objectScan,
                    Status dataScan, const std::string& fileLabel, std::vector<Problem>& problems) {
  // Any live row of that key will do for a body's owner: only a key that
  // names no live row at all tells of a lost one.
  std::set<int64_t> liveNotes, liveData, liveDataNotes;
  for (const ObjectRow& r : objects) {
    if (!r.deleted && r.pk != 0) liveNotes.insert(r.pk);
  }
  for (const DataRow& d : data) {
    if (d.deleted) continue;
    if (d.pk != 0) liveData.insert(d.pk);
    if (d.note != 0) liveDataNotes.insert(d.note);
  }
  int notesLost = 0, bodiesLost = 0;
  for (const DataRow& d : data) {
    if (!d.deleted && d.note != 0 && !liveNotes.count(d.note)) ++notesLost;
  }
  for (const ObjectRow& r : objects) {
    if (r.deleted || r.kind != Kind::kNote || r.pk == 0) continue;
    if (r.noteData != 0 && !liveData.count(r.noteData) && !liveDataNotes.count(r.pk)) ++bodiesLost;
  }
  if (notesLost > 0 || objectScan != status::kOk) {
    problems.push_back({"notes", fileLabel,
                        notesLost > 0 ? "the rows of " + std::to_string(notesLost) + " note(s) in " + kObjectTable +
                                            " could not be read"
                                      : std::string("table ") + kObjectTable + " could not be read whole",
                        "their bodies are listed under their first line, without folder or dates, unless free "
                        "space kept an older copy of the row",
                        false});
  }
  if (bodiesLost > 0 || dataScan != status::kOk) {
    problems.push_back({"notes", fileLabel,
                        bodiesLost > 0 ? "the bodies of " + std::to_string(bodiesLost) + " note(s) in " + kDataTable +
                                             " could not be read"
                                       : std::string("table ") + kDataTable + " could not be read whole",
                        "those notes show only their title and what their row keeps of the text", false});
  }
}

}  // namespace

const BackupFileEntry* FindNoteMediaEntry(const std::vector<BackupFileEntry>& index, const std::string& accountId,
                                          const std::string& mediaId, const std::string& fileName) {
  const std::string prefix =
      std::string(kNotesAppGroupDomain) + "-Accounts/" + accountId + "/Media/" + mediaId + "/";
  for (const BackupFileEntry& e : index) {
    if (e.key.size() <= prefix.size() + fileName.size() || e.key.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string_view rest = std::string_view(e.key).substr(prefix.size());
    if (rest == fileName) return &e;
    // One generation folder deeper.
    const size_t slash = rest.find('/');
    if (slash != std::string_view::npos && slash > 0 && rest.substr(slash + 1) == fileName) return &e;
  }
  return nullptr;
}

Status ScanNoteStore(const std::filesystem::path& noteStoreDb, std::vector<NoteRecord>& notes,
                     const NoteStoreOptions& options) {
  CDbFileReader reader;
  const Status opened = reader.Open(noteStoreDb);
  if (opened != status::kOk) return opened;
  const auto report = [&](int percent) { return options.progress && options.progress(percent) != 0; };
  const std::string fileLabel = std::string(kNotesAppGroupDomain) + "-" + kNoteStorePath;

  const std::map<int64_t, Kind> kinds = ReadEntities(reader, noteStoreDb);

  const ColumnLookup objectLookup = ColumnLookup::Load(noteStoreDb, kObjectTable);
  const ColumnLookup dataLookup = ColumnLookup::Load(noteStoreDb, kDataTable);
  if (!objectLookup.HasSchema() || !dataLookup.HasSchema()) {
    if (options.problems) {
      options.problems->push_back({"notes", fileLabel, "the notes tables cannot be found",
                                   !objectLookup.HasSchema() ? kObjectTable : kDataTable, false});
    }
  }
  const ObjectColumns col(objectLookup);
  std::vector<ObjectRow> objects;
  ParsedRecord rec;
  Status objectScan = status::kOk, dataScan = status::kOk;
  if (objectLookup.HasSchema()) {
    // Recovered rows are parsed with the table's own column count.
    reader.genericColumnCount = objectLookup.ColumnCount();
    objectScan = ScanTable(reader, kObjectTable,
                           [&](CDbFileReader& r, const RowInput& in) { return DecodeObject(r, in, col, rec, objects); });
  }
  if (report(40)) return status::kCancelled;

  std::vector<DataRow> data;
  if (dataLookup.HasSchema()) {
    reader.genericColumnCount = dataLookup.ColumnCount();
    const int noteCol = dataLookup.Find("ZNOTE");
    const int dataCol = dataLookup.Find("ZDATA");
    const int ivCol = dataLookup.Find("ZCRYPTOINITIALIZATIONVECTOR");
    const int tagCol = dataLookup.Find("ZCRYPTOTAG");
    dataScan = ScanTable(reader, kDataTable, [&](CDbFileReader& r, const RowInput& in) {
      return DecodeData(r, in, noteCol, dataCol, ivCol, tagCol, rec, data);
    });
  }
  reader.genericColumnCount = 0;
  if (report(70)) return status::kCancelled;

  for (ObjectRow& r : objects) {
    const auto it = kinds.find(r.ent);
    r.kind = it != kinds.end() ? it->second : GuessKind(r);
  }
  if (options.problems) ReportLostRows(objects, data, objectScan, dataScan, fileLabel, *options.problems);
  DropRecoveredCopies(objects, [](const ObjectRow& r) {
    return std::to_string(r.ent) + '\x1f' + r.identifier + '\x1f' + r.title1 + '\x1f' + r.title2 + '\x1f' +
           r.modified + '\x1f' + r.filename + '\x1f' + r.typeUti;
  });
  DropRecoveredCopies(data, [](const DataRow& d) { return d.data; });

  // Bodies by key and by owning note; live rows first in each list.
  std::unordered_map<int64_t, std::vector<DataRow*>> dataByPk, dataByNote;
  for (DataRow& d : data) {
    if (d.pk != 0) dataByPk[d.pk].push_back(&d);
    if (d.note != 0) dataByNote[d.note].push_back(&d);
  }
  auto firstUnused = [](std::vector<DataRow*>* list) -> DataRow* {
    if (!list) return nullptr;
    for (DataRow* d : *list) {
      if (!d->used && !d->deleted) return d;
    }
    for (DataRow* d : *list) {
      if (!d->used) return d;
    }
    return nullptr;
  };
  auto find = [](auto& map, int64_t key) -> std::vector<DataRow*>* {
    if (key == 0) return nullptr;
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  };

  Joiner joiner(objects, options, fileLabel);
  std::vector<NoteRecord> found;
  std::vector<const ObjectRow*> unjoined;
  for (const ObjectRow& r : objects) {
    if (r.kind != Kind::kNote) continue;
    DataRow* d = r.pk != 0 ? firstUnused(find(dataByNote, r.pk)) : nullptr;
    if (!d) d = firstUnused(find(dataByPk, r.noteData));
    if (!d && r.deleted) {
      unjoined.push_back(&r);
      continue;
    }
    if (d) d->used = true;
    found.push_back(joiner.Make(&r, d));
  }
  // A live note's body rewritten in place leaves its older versions in
  // free space, still naming the note: they are not notes of their own.
  for (DataRow& d : data) {
    if (d.used || !d.deleted || d.note == 0) continue;
    const ObjectRow* owner = joiner.Get(d.note, Kind::kNote);
    if (owner && !owner->deleted) d.used = true;
  }
  // Recovered rows that lost their keys: a body goes with the recovered
  // note whose title is its first line.
  std::vector<std::pair<DataRow*, NoteRecord>> orphans;
  for (DataRow& d : data) {
    if (d.used) continue;
    d.used = true;
    orphans.emplace_back(&d, joiner.Make(nullptr, &d));
  }
  for (auto& [d, body] : orphans) {
    const std::string line = FirstLine(body.body);
    const auto match = std::find_if(unjoined.begin(), unjoined.end(), [&](const ObjectRow* r) {
      return r && !r->title1.empty() && r->title1 == line;
    });
    if (match != unjoined.end()) {
      found.push_back(joiner.Make(*match, d));
      *match = nullptr;
    } else {
      found.push_back(std::move(body));
    }
  }
  for (const ObjectRow* r : unjoined) {
    if (r && !r->title1.empty()) found.push_back(joiner.Make(r, nullptr));
  }
  if (options.problems) {
    int passcode = 0;
    for (const NoteRecord& n : found) passcode += n.locked && LockedWithPasscode(*n.locked) ? 1 : 0;
    if (passcode > 0) {
      options.problems->push_back(
          {"notes", fileLabel, std::to_string(passcode) + " note(s) locked with the phone's passcode cannot be opened",
           "their key is kept by the phone's keychain, not in the backup; they are listed as \"" +
               std::string(kLockedNoteText) + "\"",
           false});
    }
  }
  if (report(100)) return status::kCancelled;
  notes.insert(notes.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  return status::kOk;
}

}  // namespace orbanix
