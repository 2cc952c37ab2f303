// Notes of the current Notes app: the body decoder (formatting, runs
// counted in UTF-16, damaged and hostile bodies), the store reader on both
// layouts (folders, dates, deleted notes, bodies recovered from free space,
// attachments), and locked notes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>

#include <sqlite3.h>
#include <unistd.h>

#include "extractors/notestore.h"
#include "extractors/notestore_body.h"
#include "extractors/notestore_crypto.h"
#include "sources/file_index.h"
#include "sqlite_pages/values.h"
#include "tools/backupgen/family_notestore.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using gen::EncodeNoteProto;
using gen::GenNoteRun;
using gen::GenStoreNote;
using gen::Gzip;

GenNoteRun Span(int length, int style = -1, int done = -1) {
  GenNoteRun r;
  r.length = length;
  r.styleType = style;
  r.done = done;
  return r;
}

// --- the body decoder ---

TEST(NoteBody, ListsChecklistsLinksAndIndents) {
  GenNoteRun indented = Span(4, 100);
  indented.indent = 2;
  GenNoteRun link = Span(1);
  link.link = "https://x.example";
  const std::string text = "T\na\nb\nc\nd\ne\nf\ng\nab";
  // Numbered lines count per indent level: a deeper list keeps the count of
  // the outer one, a line of another kind at its level starts it again.
  const std::vector<GenNoteRun> runs = {Span(2),      Span(2, 102), Span(2, 102), indented, Span(2, 102),
                                        Span(2, 100), Span(2, 102), link,        Span(1)};
  EXPECT_EQ(RenderNoteProto(EncodeNoteProto(text, runs)).text,
            "T\n1. a\n2. b\n\t\t• c\n\t\t• d\n3. e\n• f\n1. g\na (https://x.example)b");
}

TEST(NoteBody, RunsCountUtf16UnitsSoAstralCharactersShiftNothing) {
  // "🎉" is one code point but two UTF-16 units: a decoder counting code
  // points would put the checklist on the wrong line.
  const std::string text = "🎉x\ny";
  const NoteBodyText body = DecodeNoteBody(Gzip(EncodeNoteProto(text, {Span(4), Span(1, 103, 1)})));
  EXPECT_TRUE(body.complete);
  EXPECT_EQ(body.text, "🎉x\n☑ y");
}

TEST(NoteBody, AttachmentsAreNamedWhereTheyStand) {
  GenNoteRun pic = Span(1);
  pic.attachmentId = "P1";
  pic.attachmentUti = "public.jpeg";
  GenNoteRun drawing = Span(1);
  drawing.attachmentId = "D1";
  drawing.attachmentUti = "com.apple.drawing.2";
  const std::string text = "a\xEF\xBF\xBC" "b\xEF\xBF\xBC" "c\xEF\xBF\xBC";  // the last object has no run info
  const auto namer = [](const NoteBodyAttachment& a) { return a.identifier == "P1" ? std::string("[Picture: x.jpg]") : ""; };
  const NoteBodyText body = RenderNoteProto(EncodeNoteProto(text, {Span(1), pic, Span(1), drawing, Span(2)}), namer);
  EXPECT_EQ(body.text, "a[Picture: x.jpg]b[Drawing]c");
  ASSERT_EQ(body.attachments.size(), 2u);
  EXPECT_EQ(body.attachments[0].identifier, "P1");
  EXPECT_EQ(body.attachments[1].uti, "com.apple.drawing.2");
}

TEST(NoteBody, TextWithoutRunsAndRunsPastTheText) {
  EXPECT_EQ(RenderNoteProto(EncodeNoteProto("plain\ntext", {})).text, "plain\ntext");
  EXPECT_EQ(RenderNoteProto(EncodeNoteProto("ab", {Span(1000, 103, 0)})).text, "☐ ab");
  EXPECT_EQ(RenderNoteProto(EncodeNoteProto("", {})).text, "");
}

TEST(NoteBody, CutStreamKeepsWhatCameBefore) {
  std::string text = "Title\n";
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + " with some words that vary " + std::to_string(i * 7919) + "\n";
  const std::string gz = Gzip(EncodeNoteProto(text, {Span(6, 0)}));
  const NoteBodyText body = DecodeNoteBody(std::string_view(gz).substr(0, gz.size() / 2));
  EXPECT_FALSE(body.complete);
  ASSERT_GT(body.text.size(), 100u);
  EXPECT_EQ(body.text.rfind("Title\nline 0 with", 0), 0u);
  EXPECT_NE(body.text.find(kNoteRestLost), std::string::npos);
  // What was read is a prefix of the note's text.
  const std::string read = body.text.substr(0, body.text.size() - std::string(kNoteRestLost).size());
  EXPECT_EQ(text.compare(0, read.size(), read), 0);
}

TEST(NoteBody, DamagedAndHostileBodies) {
  // Not compressed at all.
  NoteBodyText b = DecodeNoteBody("plain words, not a body");
  EXPECT_FALSE(b.complete);
  EXPECT_TRUE(b.text.empty());
  EXPECT_EQ(b.problem, "the note's data is not a compressed note body");
  EXPECT_EQ(DecodeNoteBody("").problem, "the note has no data");
  // A gzip header and nothing else.
  b = DecodeNoteBody(std::string("\x1f\x8b\x08\x00", 4));
  EXPECT_FALSE(b.complete);

  // Wrong wire type for the document (a varint where a message belongs).
  b = RenderNoteProto(std::string("\x10\x05", 2));
  EXPECT_FALSE(b.complete);
  EXPECT_TRUE(b.text.empty());

  // The text's length runs far past the blob: only the bytes there are read.
  std::string proto = EncodeNoteProto("hello", {});
  std::string hostile;
  hostile += '\x12';
  hostile += "\xff\xff\xff\xff\x0f";  // document length 4 GiB
  hostile += '\x1a';
  hostile += "\xff\xff\xff\xff\x0f";  // note length 4 GiB
  hostile += '\x12';
  hostile += "\xff\xff\xff\x7f";  // text length 256 MiB
  hostile += "abc";
  b = RenderNoteProto(hostile);
  EXPECT_FALSE(b.complete);
  EXPECT_EQ(b.text, std::string("abc") + kNoteRestLost);

  // Messages nested 10,000 deep in an unknown field of the note.
  std::string nested;
  for (int i = 0; i < 10000; ++i) {
    std::string outer = "\x3a";  // field 7, length-delimited
    uint64_t n = nested.size();
    while (n >= 0x80) {
      outer += static_cast<char>((n & 0x7F) | 0x80);
      n >>= 7;
    }
    outer += static_cast<char>(n);
    nested = outer + nested;
  }
  std::string note = std::string("\x12\x02hi", 4) + nested;
  std::string doc = "\x1a";
  {
    uint64_t n = note.size();
    while (n >= 0x80) {
      doc += static_cast<char>((n & 0x7F) | 0x80);
      n >>= 7;
    }
    doc += static_cast<char>(n);
  }
  doc += note;
  std::string root = "\x12";
  {
    uint64_t n = doc.size();
    while (n >= 0x80) {
      root += static_cast<char>((n & 0x7F) | 0x80);
      n >>= 7;
    }
    root += static_cast<char>(n);
  }
  root += doc;
  b = DecodeNoteBody(Gzip(root));
  EXPECT_EQ(b.text.rfind("hi", 0), 0u);

  // Invalid UTF-8 in the text becomes U+FFFD, never a broken string.
  b = RenderNoteProto(EncodeNoteProto("a\xff" "b", {}));
  EXPECT_EQ(b.text, "a\xEF\xBF\xBD" "b");
}

TEST(NoteBody, InflateIsCapped) {
  const std::string big(1 << 20, 'x');
  std::string out;
  EXPECT_EQ(InflateNoteData(Gzip(big), out, 1000), InflateResult::kTooLarge);
  EXPECT_EQ(out.size(), 1000u);
  EXPECT_EQ(InflateNoteData(Gzip(big), out), InflateResult::kComplete);
  EXPECT_EQ(out, big);
}

// --- embedded tables ---

TEST(NoteTable, RowsAndColumnsInDisplayOrderEitherDirection) {
  // The shared UUID list holds rows and columns in another order than the
  // display; cells name rows and columns by their second UUID.
  EXPECT_EQ(DecodeNoteTable(Gzip(gen::EncodeTableProto(gen::GenNoteTableCells()))), gen::kGenNoteTableText);
  EXPECT_EQ(DecodeNoteTable(Gzip(gen::EncodeTableProto({{"a", "b", "c"}, {"d", "", "f"}}, true))), "c\tb\ta\nf\t\td");
  EXPECT_EQ(DecodeNoteTable(Gzip(gen::EncodeTableProto({{"only"}}))), "only");
}

TEST(NoteTable, DamagedAndHostileTableData) {
  std::string problem;
  EXPECT_EQ(DecodeNoteTable("", &problem), "");
  EXPECT_EQ(problem, "the table has no data");
  EXPECT_EQ(DecodeNoteTable("not a table", &problem), "");
  EXPECT_FALSE(problem.empty());
  const std::string gz = Gzip(gen::EncodeTableProto(gen::GenNoteTableCells()));
  EXPECT_EQ(DecodeNoteTable(std::string_view(gz).substr(0, gz.size() - 12), &problem), "");  // cut
  EXPECT_EQ(problem, "the table's data is not a complete compressed stream");
  // A note body is no table.
  EXPECT_EQ(DecodeNoteTable(Gzip(EncodeNoteProto("hello", {})), &problem), "");
  EXPECT_EQ(problem, "the table's data holds no table");
  // A table whose references lead past the list of entries: no rows.
  std::string proto = gen::EncodeTableProto({{"x"}});
  // object_index fields (tag 0x30) of the table's own fields point far away.
  std::string broken = proto;
  for (size_t at = 0; (at = broken.find("\x30\x02", at)) != std::string::npos; ++at) broken[at + 1] = '\x7f';
  for (size_t at = 0; (at = broken.find("\x30\x03", at)) != std::string::npos; ++at) broken[at + 1] = '\x7f';
  EXPECT_EQ(DecodeNoteTable(Gzip(broken), &problem), "");
  EXPECT_EQ(problem, "the table's data has no rows or no columns");
  // More cells than any table: refused, not allocated.
  const std::vector<std::vector<std::string>> huge(2000, std::vector<std::string>(150));
  EXPECT_TRUE(DecodeNoteTable(Gzip(gen::EncodeTableProto(huge)), &problem).empty());
  EXPECT_EQ(problem, "the table's data names more cells than any table has");
}

// --- the store ---

class NoteStoreTest : public ::testing::TestWithParam<gen::NoteStoreLayout> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orbanix-notestore-" + std::to_string(getpid()) + "-" +
                                        std::to_string(static_cast<int>(GetParam())));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    db_ = dir_ / "NoteStore.sqlite";
    rows_ = gen::NoteStoreRows({});
    gen::AddPasscodeLockedNote(rows_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<NoteRecord> Scan(std::vector<Problem>* problems = nullptr, const std::vector<BackupFileEntry>* index = nullptr) {
    std::vector<NoteRecord> notes;
    NoteStoreOptions options;
    options.problems = problems;
    options.index = index;
    options.backupFolder = dir_;
    EXPECT_EQ(ScanNoteStore(db_, notes, options), status::kOk);
    return notes;
  }
  static const NoteRecord* ByTitle(const std::vector<NoteRecord>& notes, const std::string& title) {
    const auto it = std::find_if(notes.begin(), notes.end(), [&](const NoteRecord& n) { return n.title == title; });
    return it == notes.end() ? nullptr : &*it;
  }

  fs::path dir_, db_;
  std::vector<GenStoreNote> rows_;
};

TEST_P(NoteStoreTest, EveryNoteWithFolderDatesTextAndDeletedMark) {
  gen::BuildNoteStoreDb(db_, rows_, GetParam());
  const std::vector<NoteRecord> notes = Scan();
  for (const GenStoreNote& g : rows_) {
    SCOPED_TRACE(g.title);
    const NoteRecord* n = ByTitle(notes, g.title);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->deleted, g.expectedDeleted ? 1 : 0);
    if (!g.password.empty() || g.passcodeLocked) {
      EXPECT_EQ(n->lock, NoteLock::kLocked);
      EXPECT_EQ(n->body, kLockedNoteText);
    } else {
      EXPECT_EQ(n->body, g.expected);
    }
    if (!g.erased) {  // a row recovered from free space may lose the links to its folder
      EXPECT_EQ(n->folder, g.folder);
      EXPECT_EQ(n->date, FormatLocalTime(g.modifiedUnix, Epoch::kUnix));
      EXPECT_EQ(n->created, FormatLocalTime(g.createdUnix, Epoch::kUnix));
    }
  }
  EXPECT_EQ(notes.size(), rows_.size());
}

TEST_P(NoteStoreTest, LockedNoteOpensWithItsPasswordOnly) {
  gen::BuildNoteStoreDb(db_, rows_, GetParam());
  std::vector<NoteRecord> notes = Scan();
  const auto locked = std::find_if(rows_.begin(), rows_.end(), [](const GenStoreNote& g) { return !g.password.empty(); });
  ASSERT_NE(locked, rows_.end());
  NoteRecord* n = const_cast<NoteRecord*>(ByTitle(notes, locked->title));
  ASSERT_NE(n, nullptr);
  ASSERT_NE(n->locked, nullptr);
  EXPECT_EQ(n->locked->hint, "the usual");

  EXPECT_EQ(UnlockNote(*n, "hunter2"), status::kWrongPassword);
  EXPECT_EQ(n->lock, NoteLock::kLocked);
  EXPECT_EQ(n->body, kLockedNoteText);

  // Damaged crypto fields: a bad wrapped key size, an absurd iteration count,
  // a flipped byte of the sealed body.
  for (int damage = 0; damage < 3; ++damage) {
    NoteRecord copy = *n;
    auto data = std::make_shared<LockedNoteData>(*n->locked);
    if (damage == 0) data->wrappedKey.pop_back();
    if (damage == 1) data->iterations = int64_t{1} << 40;
    if (damage == 2) data->data[data->data.size() / 2] ^= 1;
    copy.locked = data;
    EXPECT_EQ(UnlockNote(copy, locked->password), status::kBadData) << damage;
    EXPECT_EQ(copy.body, kLockedNoteText);
  }

  const UnlockCounts counts = UnlockNotes(notes, locked->password);
  EXPECT_EQ(counts.unlocked, 1);
  EXPECT_EQ(n->lock, NoteLock::kUnlocked);
  EXPECT_EQ(n->body, locked->expected);
  EXPECT_EQ(n->locked, nullptr);
  // The note locked with the phone's passcode opens with no password and
  // is told apart from a wrong password.
  EXPECT_EQ(counts.passcode, 1);
  EXPECT_EQ(counts.wrongPassword + counts.damaged, 0);
  NoteRecord* phone = const_cast<NoteRecord*>(ByTitle(notes, "Passcode note"));
  ASSERT_NE(phone, nullptr);
  EXPECT_EQ(UnlockNote(*phone, locked->password), kLockedWithPasscode);
  EXPECT_EQ(phone->lock, NoteLock::kLocked);
  EXPECT_EQ(phone->body, kLockedNoteText);
}

TEST_P(NoteStoreTest, NotesLockedWithThePasscodeAreAProblemOfTheScan) {
  gen::BuildNoteStoreDb(db_, rows_, GetParam());
  std::vector<Problem> problems;
  Scan(&problems);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].what, "1 note(s) locked with the phone's passcode cannot be opened");
  EXPECT_FALSE(problems[0].whole);
}

TEST_P(NoteStoreTest, AttachmentFilesFoundInTheBackupIndex) {
  std::vector<std::pair<std::string, std::string>> media;
  gen::BuildNoteStoreDb(db_, rows_, GetParam(), &media);
  ASSERT_EQ(media.size(), 4u);
  KeyHasher hasher;
  std::vector<BackupFileEntry> index;
  auto add = [&](const std::string& relative) {
    BackupFileEntry e;
    e.key = std::string(kNotesAppGroupDomain) + "-" + relative;
    hasher.Hash(e.key, e.hashedName);
    index.push_back(e);
    return ResolveStoredPath(dir_, index.back().hashedName.view());
  };
  // Decoys: the same name under another media folder, a folder entry named
  // after the drawing, a preview of another attachment.
  add("Accounts/LocalAccount/Media/OTHER/1_4E2B7F/IMG_0001.jpeg");
  add(std::string("Accounts/LocalAccount/FallbackImages/") + gen::kGenDrawingId);
  add("Accounts/LocalAccount/Previews/SOMETHING-ELSE.png");
  std::map<std::string, fs::path> stored;
  for (const auto& [relative, bytes] : media) stored[relative.substr(relative.rfind('/') + 1)] = add(relative);
  const std::vector<NoteRecord> notes = Scan(nullptr, &index);

  const NoteRecord* photo = ByTitle(notes, "Photo note");
  ASSERT_NE(photo, nullptr);
  ASSERT_EQ(photo->attachments.size(), 1u);  // the tables have no file
  EXPECT_EQ(photo->attachments[0].name, "IMG_0001.jpeg");
  EXPECT_EQ(photo->attachments[0].file, stored["IMG_0001.jpeg"]);

  // A drawing's rendering and, for a picture whose file is not in the
  // backup, its larger preview.
  const NoteRecord* sketch = ByTitle(notes, "Sketch note");
  ASSERT_NE(sketch, nullptr);
  ASSERT_EQ(sketch->attachments.size(), 2u);
  EXPECT_EQ(sketch->attachments[0].name, std::string(gen::kGenDrawingId) + ".jpg");
  EXPECT_EQ(sketch->attachments[0].file, stored[std::string(gen::kGenDrawingId) + ".jpg"]);
  EXPECT_EQ(sketch->attachments[1].name, std::string(gen::kGenPreviewId) + ".png");
  EXPECT_EQ(sketch->attachments[1].file, stored[std::string(gen::kGenPreviewId) + ".png"]);

  // Without the index nothing is found, and the picture is still listed as
  // not in the backup.
  const std::vector<NoteRecord> without = Scan();
  const NoteRecord* bare = ByTitle(without, "Sketch note");
  ASSERT_NE(bare, nullptr);
  ASSERT_EQ(bare->attachments.size(), 1u);
  EXPECT_EQ(bare->attachments[0].name, "IMG_0002.jpeg");
  EXPECT_TRUE(bare->attachments[0].file.empty());
}

INSTANTIATE_TEST_SUITE_P(Layouts, NoteStoreTest,
                         ::testing::Values(gen::NoteStoreLayout::kIos14, gen::NoteStoreLayout::kIos17));

TEST_P(NoteStoreTest, NoteWithoutDataAndDataWithoutNote) {
  gen::BuildNoteStoreDb(db_, rows_, GetParam());
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA secure_delete=OFF;"
                           "UPDATE ZICNOTEDATA SET ZNOTE = 999 WHERE ZNOTE = "
                           "(SELECT Z_PK FROM ZICCLOUDSYNCINGOBJECT WHERE ZTITLE1 = 'Groceries');"
                           "UPDATE ZICCLOUDSYNCINGOBJECT SET ZNOTEDATA = NULL WHERE ZTITLE1 = 'Groceries';",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const std::vector<NoteRecord> notes = Scan();
  std::vector<const NoteRecord*> groceries;
  for (const NoteRecord& n : notes) {
    if (n.title == "Groceries") groceries.push_back(&n);
  }
  ASSERT_EQ(groceries.size(), 2u);
  // The note row keeps its folder and what its snippet holds of the text.
  const NoteRecord* note = groceries[0]->folder.empty() ? groceries[1] : groceries[0];
  const NoteRecord* body = note == groceries[0] ? groceries[1] : groceries[0];
  EXPECT_EQ(note->folder, "Notes");
  EXPECT_EQ(note->body, std::string("\nMilk\nBread\nEggs") + kNoteRestLost);
  // The body row stands under its first line.
  EXPECT_EQ(body->body, rows_[0].expected);
  EXPECT_TRUE(body->folder.empty());
}

// The first leaf page of a table (its root is an interior page when the
// table spans several pages), 1-based, or 0.
uint32_t FirstLeafPage(const fs::path& db, const std::string& table, uint32_t& pageSize) {
  sqlite3* h = nullptr;
  uint32_t root = 0;
  if (sqlite3_open(db.c_str(), &h) != SQLITE_OK) return 0;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(h, "SELECT rootpage FROM sqlite_master WHERE name = ?", -1, &st, nullptr);
  sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(st) == SQLITE_ROW) root = static_cast<uint32_t>(sqlite3_column_int(st, 0));
  sqlite3_finalize(st);
  sqlite3_prepare_v2(h, "PRAGMA page_size", -1, &st, nullptr);
  if (sqlite3_step(st) == SQLITE_ROW) pageSize = static_cast<uint32_t>(sqlite3_column_int(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(h);
  std::ifstream in(db, std::ios::binary);
  std::string page(pageSize, '\0');
  in.seekg(static_cast<std::streamoff>(root - 1) * pageSize);
  in.read(page.data(), pageSize);
  if (static_cast<uint8_t>(page[0]) != 5) return 0;  // not an interior table page
  const uint16_t firstCell = static_cast<uint16_t>((static_cast<uint8_t>(page[12]) << 8) | static_cast<uint8_t>(page[13]));
  uint32_t child = 0;
  for (int i = 0; i < 4; ++i) child = (child << 8) | static_cast<uint8_t>(page[firstCell + i]);
  return child;
}

void OverwritePage(const fs::path& db, uint32_t page, uint32_t pageSize, char fill) {
  std::fstream io(db, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(page - 1) * pageSize);
  const std::string bytes(pageSize, fill);
  io.write(bytes.data(), pageSize);
}

// A zeroed or garbled page among the note rows or the body rows: every other
// note is still listed, and a problem says what was lost.
TEST(NoteStore, DamagedPageAroundNoteRows) {
  const fs::path dir = fs::temp_directory_path() / ("orbanix-notestore-damaged-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  gen::FamilyOptions big;
  big.scale = 30;
  const std::vector<GenStoreNote> rows = gen::NoteStoreRows(big);
  for (const char* table : {"ZICCLOUDSYNCINGOBJECT", "ZICNOTEDATA"}) {
    for (const char fill : {'\0', '\x5a'}) {
      SCOPED_TRACE(std::string(table) + (fill ? " garbled" : " zeroed"));
      const fs::path db = dir / "NoteStore.sqlite";
      fs::remove(db);
      gen::BuildNoteStoreDb(db, rows, gen::NoteStoreLayout::kIos17);
      uint32_t pageSize = 0;
      const uint32_t leaf = FirstLeafPage(db, table, pageSize);
      ASSERT_GT(leaf, 1u);
      OverwritePage(db, leaf, pageSize, fill);

      std::vector<NoteRecord> notes;
      std::vector<Problem> problems;
      NoteStoreOptions options;
      options.problems = &problems;
      ASSERT_EQ(ScanNoteStore(db, notes, options), status::kOk);
      // The notes whose rows lie on other pages are whole and live; those of
      // the damaged page come back at best as recovered rows.
      size_t whole = 0;
      for (const GenStoreNote& g : rows) {
        if (!g.password.empty() || g.passcodeLocked || g.erased) continue;
        for (const NoteRecord& n : notes) {
          if (n.title == g.title && n.body == g.expected && n.folder == g.folder && n.deleted == 0) {
            ++whole;
            break;
          }
        }
      }
      EXPECT_GT(whole, rows.size() / 2);
      EXPECT_LT(whole, rows.size() - 2);  // the page held some
      ASSERT_FALSE(problems.empty());
      bool named = false;
      for (const Problem& p : problems) {
        EXPECT_FALSE(p.whole);
        if (p.what.find(table) != std::string::npos) named = true;
      }
      EXPECT_TRUE(named);
    }
  }
  fs::remove_all(dir);
}

TEST(NoteStore, MissingOrForeignFile) {
  std::vector<NoteRecord> notes(1);
  EXPECT_NE(ScanNoteStore("/nonexistent/NoteStore.sqlite", notes), status::kOk);
  EXPECT_EQ(notes.size(), 1u);
  // A database without the notes tables: nothing found, and said so.
  const fs::path db = fs::temp_directory_path() / ("orbanix-foreign-" + std::to_string(getpid()) + ".sqlite");
  { gen::FixtureDb f(db); f.Exec("CREATE TABLE t (a)"); f.Exec("INSERT INTO t VALUES (1)"); }
  std::vector<Problem> problems;
  NoteStoreOptions options;
  options.problems = &problems;
  EXPECT_EQ(ScanNoteStore(db, notes, options), status::kOk);
  EXPECT_EQ(notes.size(), 1u);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].what, "the notes tables cannot be found");
  fs::remove(db);
}

}  // namespace
}  // namespace orbanix
