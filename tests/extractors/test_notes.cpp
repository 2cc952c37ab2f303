// Notes: the HTML clean-up, pairing of bodies with their notes (both links,
// the note's date on the paired record), unpaired rows, recovery.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <unistd.h>

#include "extractors/notes.h"
#include "platform/text.h"
#include "tools/backupgen/family_notes.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

namespace fs = std::filesystem;
using gen::FixtureDb;
using gen::GenNote;
using gen::Value;

TEST(NoteHtmlToText, EntitiesFirstThenLineTags) {
  // The ampersand entity goes last, so its result is not decoded again.
  EXPECT_EQ(NoteHtmlToText("a &amp;lt; b"), "a &lt; b");
  // An escaped div tag becomes a tag in the entity pass, then a line feed.
  EXPECT_EQ(NoteHtmlToText("x&lt;div&gt;y"), "x\ny");
  EXPECT_EQ(NoteHtmlToText("&#39;q&#39; &quot;d&quot; 1&nbsp;2"), "'q' \"d\" 1 2");
  EXPECT_EQ(NoteHtmlToText("A<div>B</div><br>C"), "A\nB\nC");
  // Other tags stay, also a self-closing break.
  EXPECT_EQ(NoteHtmlToText("<b>bold</b><br/>"), "<b>bold</b><br/>");
  // Replacements continue behind the inserted text.
  EXPECT_EQ(NoteHtmlToText("&amp;amp;"), "&amp;");
}

class NotesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("orbanix-notes-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static const NoteRecord* ByTitle(const std::vector<NoteRecord>& notes, const std::string& title, int deleted) {
    for (const NoteRecord& n : notes) {
      if (n.title == title && n.deleted == deleted) return &n;
    }
    return nullptr;
  }

  fs::path dir_;
};

TEST_F(NotesTest, PairedNotesCarryTitleDateAndCleanBody) {
  const fs::path db = dir_ / "notes.sqlite";
  const std::vector<GenNote> rows = gen::NoteRows({});
  gen::BuildNotesDb(db, rows);
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);

  for (const GenNote& g : rows) {
    if (g.noteDeleted || g.bodyDeleted || g.noteMissing || g.bodyMissing) continue;
    const NoteRecord* n = ByTitle(notes, g.title, 0);
    ASSERT_NE(n, nullptr) << g.title;
    EXPECT_EQ(n->body, g.expectedBody) << g.title;
    // The paired record carries its note's modification date (Apple epoch).
    EXPECT_EQ(n->date, FormatLocalDateTime(g.modifiedUnix)) << g.title;
  }
  // Note 3 owns body 4 and note 4 owns body 3: each body finds its own note.
  EXPECT_EQ(ByTitle(notes, "Crossed A", 0)->body, "\nbelongs to A");
  EXPECT_EQ(ByTitle(notes, "Crossed B", 0)->body, "\nbelongs to B");
  // The long body came from overflow pages, whole.
  EXPECT_GT(ByTitle(notes, "Long note", 0)->body.size(), 12000u);
}

TEST_F(NotesTest, UnpairedNotesAndBodiesAreListedAfterThePairs) {
  const fs::path db = dir_ / "notes.sqlite";
  gen::BuildNotesDb(db, gen::NoteRows({}));
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);
  // A note whose body row was never there: title and date, empty body, after
  // every body-derived record.
  const auto lost = std::find_if(notes.begin(), notes.end(), [](const NoteRecord& n) { return n.title == "Lost body"; });
  ASSERT_NE(lost, notes.end());
  EXPECT_TRUE(lost->body.empty());
  EXPECT_EQ(lost->date, FormatLocalDateTime(1400700000));
  for (auto it = lost; it != notes.end(); ++it) EXPECT_TRUE(it->body.empty()) << it->title;
  // A body without a note: empty title and date.
  const auto orphan =
      std::find_if(notes.begin(), notes.end(), [](const NoteRecord& n) { return n.body == "Orphan body text"; });
  ASSERT_NE(orphan, notes.end());
  EXPECT_TRUE(orphan->title.empty());
  EXPECT_TRUE(orphan->date.empty());
}

TEST_F(NotesTest, OnlyTheFirstOfTwoBodiesOfOneNoteGetsItsTitle) {
  const fs::path db = dir_ / "notes.sqlite";
  {
    FixtureDb f(db);
    f.Exec(gen::kNoteTableSql);
    f.Exec(gen::kNoteBodyTableSql);
    f.Run("INSERT INTO ZNOTE (Z_PK, ZBODY, ZMODIFICATIONDATE, ZTITLE) VALUES (1, 1, ?, 'Twice')", {int64_t{421692800}});
    f.Exec("INSERT INTO ZNOTEBODY (Z_PK, ZOWNER, ZCONTENT) VALUES (1, 1, 'first body')");
    f.Exec("INSERT INTO ZNOTEBODY (Z_PK, ZOWNER, ZCONTENT) VALUES (2, 1, 'second body')");
    f.Exec("INSERT INTO ZNOTEBODY (Z_PK, ZOWNER, ZCONTENT) VALUES (3, 9, '')");  // nothing to show
    f.Exec("INSERT INTO ZNOTE (Z_PK, ZBODY, ZTITLE) VALUES (7, 70, '')");        // nothing to show
  }
  std::vector<NoteRecord> notes = {NoteRecord{}};  // replaced
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].title, "Twice");
  EXPECT_EQ(notes[0].body, "first body");
  EXPECT_EQ(notes[0].date, "2014-05-13 16:53:20");
  EXPECT_EQ(notes[1].title, "");
  EXPECT_EQ(notes[1].body, "second body");
}

TEST_F(NotesTest, DeletedNotesComeBack) {
  const fs::path db = dir_ / "notes.sqlite";
  gen::FamilyOptions options;
  options.scale = 8;
  const std::vector<GenNote> rows = gen::NoteRows(options);
  gen::BuildNotesDb(db, rows);
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);

  std::set<std::string> liveTexts, deletedTexts;
  int deletedRows = 0;
  for (const GenNote& g : rows) {
    if (!g.bodyMissing) (g.bodyDeleted ? deletedTexts : liveTexts).insert(g.expectedBody);
    if (!g.noteMissing) (g.noteDeleted ? deletedTexts : liveTexts).insert(g.title);
    deletedRows += g.bodyDeleted + (g.noteDeleted && !g.noteMissing);
  }
  std::set<std::string> back;
  int phantoms = 0, copies = 0;
  for (const NoteRecord& n : notes) {
    if (!n.deleted) continue;
    bool deletedText = false, liveText = false;
    for (const std::string& t : {n.body, n.title}) {
      if (t.empty()) continue;
      if (deletedTexts.count(t)) {
        back.insert(t);
        deletedText = true;
      } else if (liveTexts.count(t)) {
        liveText = true;
      }
    }
    phantoms += !deletedText && !liveText;
    copies += !deletedText && liveText;
  }
  std::printf("[recovery] notes: %zu of %d deleted rows back (bodies and titles), %d phantom records, "
              "%d copies of live rows, %zu records\n", back.size(), deletedRows, phantoms, copies, notes.size());
  for (const std::string& t : deletedTexts) {
    if (!back.count(t)) std::printf("[recovery] notes: not back: %s\n", t.c_str());
  }
  EXPECT_TRUE(back.count("Secret & gone"));
  EXPECT_TRUE(back.count("Draft\ntwo lines"));
  EXPECT_EQ(phantoms, 0);
  EXPECT_EQ(copies, 0);
  // The deleted body of a live note is paired with it.
  const NoteRecord* draft = ByTitle(notes, "Old draft", 1);
  ASSERT_NE(draft, nullptr);
  EXPECT_EQ(draft->body, "Draft\ntwo lines");
  EXPECT_EQ(draft->date, FormatLocalDateTime(1400900000));
}

// A note table of 17 columns, put in another order than iOS 5-8's 19.
constexpr const char* kReorderedNoteTable =
    "CREATE TABLE ZNOTE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZTITLE VARCHAR, "
    "ZAUTHOR VARCHAR, ZMODIFICATIONDATE TIMESTAMP, ZCREATIONDATE TIMESTAMP, ZFOLDER INTEGER, "
    "ZACCOUNT INTEGER, ZPINNED INTEGER, ZSTORE INTEGER, ZGUID VARCHAR, ZSERVERID VARCHAR, "
    "ZSUMMARY VARCHAR, ZEXTRA1 INTEGER, ZEXTRA2 INTEGER, ZBODY INTEGER )";

TEST_F(NotesTest, ColumnsAreFoundByNameWhereverTheStorePutsThem) {
  // A store whose tables gained columns and put them in another order: the
  // old positions would read the store's GUID as the title and an integer as
  // the body.
  const fs::path db = dir_ / "notes.sqlite";
  {
    FixtureDb f(db);
    f.Exec(kReorderedNoteTable);
    f.Exec("CREATE TABLE ZNOTEBODY ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZCONTENT VARCHAR, Z_OPT INTEGER, "
           "ZEXTERNALCONTENTREF VARCHAR, ZEXTERNALREPRESENTATION BLOB, ZOWNER INTEGER )");
    f.Run("INSERT INTO ZNOTE (Z_PK, ZTITLE, ZMODIFICATIONDATE, ZCREATIONDATE, ZSTORE, ZGUID, ZSUMMARY, ZBODY) "
          "VALUES (1, 'Moved', ?, 1.0, 77, 'GUID-1', 'summary', 5)",
          {int64_t{421692800}});
    f.Exec("INSERT INTO ZNOTEBODY (Z_PK, Z_ENT, ZCONTENT, Z_OPT, ZOWNER) VALUES (5, 2, 'A<br>B', 9, 1)");
  }
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].title, "Moved");
  EXPECT_EQ(notes[0].body, "A\nB");
  EXPECT_EQ(notes[0].date, "2014-05-13 16:53:20");
}

TEST_F(NotesTest, DeletedRowsOfTablesWithOtherColumnCountsComeBack) {
  // Tables of 17 and 9 columns (not the 19 and 7 of iOS 5-8): the deleted
  // rows left in the pages' free space are told by the tables' own counts.
  const fs::path db = dir_ / "notes.sqlite";
  {
    FixtureDb f(db);
    f.Exec(kReorderedNoteTable);
    f.Exec("CREATE TABLE ZNOTEBODY ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZCONTENT VARCHAR, Z_OPT INTEGER, "
           "ZEXTERNALCONTENTREF VARCHAR, ZEXTERNALREPRESENTATION BLOB, ZOWNER INTEGER, ZSIZE INTEGER, "
           "ZFLAGS INTEGER )");
    for (int i = 1; i <= 12; ++i) {
      f.Run("INSERT INTO ZNOTE (Z_PK, Z_ENT, Z_OPT, ZTITLE, ZMODIFICATIONDATE, ZCREATIONDATE, ZSTORE, ZGUID, "
            "ZSUMMARY, ZBODY) VALUES (?, 3, 1, ?, ?, 1.0, 1, ?, 'summary', ?)",
            {int64_t{i}, "Title number " + std::to_string(i), int64_t{421692800 + i}, "GUID-" + std::to_string(i),
             int64_t{i}});
      f.Run("INSERT INTO ZNOTEBODY (Z_PK, Z_ENT, ZCONTENT, Z_OPT, ZOWNER, ZSIZE, ZFLAGS) VALUES (?, 2, ?, 1, ?, 40, 0)",
            {int64_t{i}, "Body text of note " + std::to_string(i) + "<br>second line", int64_t{i}});
    }
    f.Exec("DELETE FROM ZNOTE WHERE Z_PK IN (4, 9)");
    f.Exec("DELETE FROM ZNOTEBODY WHERE Z_PK IN (4, 9)");
  }
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);
  std::set<std::string> deleted, live;
  for (const NoteRecord& n : notes) {
    (n.deleted ? deleted : live).insert(n.body.empty() ? n.title : n.body);
    if (n.deleted && !n.title.empty()) deleted.insert(n.title);
  }
  EXPECT_EQ(live.size(), 10u);
  for (int i : {4, 9}) {
    EXPECT_TRUE(deleted.count("Body text of note " + std::to_string(i) + "\nsecond line")) << i;
    EXPECT_TRUE(deleted.count("Title number " + std::to_string(i))) << i;
  }
  for (const std::string& text : deleted) {
    EXPECT_TRUE(text.find(" 4") != std::string::npos || text.find(" 9") != std::string::npos) << text;
  }
}

TEST_F(NotesTest, ATableWithoutATitleColumnStillGivesItsBodies) {
  const fs::path db = dir_ / "notes.sqlite";
  {
    FixtureDb f(db);
    f.Exec("CREATE TABLE ZNOTE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZHEADING VARCHAR, ZBODY INTEGER )");
    f.Exec(gen::kNoteBodyTableSql);
    f.Exec("INSERT INTO ZNOTE VALUES (1, 2, 'not a title', 1)");
    f.Exec("INSERT INTO ZNOTEBODY (Z_PK, ZOWNER, ZCONTENT) VALUES (1, 1, 'kept body')");
  }
  std::vector<NoteRecord> notes;
  ASSERT_EQ(ScanNotes(db, notes), status::kOk);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].body, "kept body");
  EXPECT_EQ(notes[0].title, "");
  EXPECT_EQ(notes[0].date, "");
}

TEST_F(NotesTest, AnUnreadableDatabaseLeavesTheListAlone) {
  std::vector<NoteRecord> notes(1);
  notes[0].title = "kept";
  EXPECT_EQ(ScanNotes(dir_ / "none.sqlite", notes), 2);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].title, "kept");
}

}  // namespace
}  // namespace orbanix
