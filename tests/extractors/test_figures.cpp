// The recovery figures tool: its counting of delivered, twice-delivered and
// phantom rows, the record bodies it decides survival by, and a small run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tools/backupgen/fixture_db.h"
#include "tools/figures/figures.h"

namespace orbanix::figures {
namespace {

class FiguresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orbanix-figures-test-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// A store whose every deleted row that survives comes back, once, and
// nothing else.
void ExpectWhole(const Figures& f) {
  SCOPED_TRACE(f.store);
  EXPECT_EQ(f.delivered, f.surviving);
  for (const std::string& m : f.missed) ADD_FAILURE() << "missed " << m;
  EXPECT_EQ(f.phantoms, 0u);
  EXPECT_EQ(f.twice, 0u);
}

TEST_F(FiguresTest, CountsEachDeletedRowOnceAndEveryFurtherCopyAsTwice) {
  Tally tally;
  tally.Live("a");
  tally.Live("b");
  tally.Deleted("x", true, "row x");
  tally.Deleted("y", true, "row y");
  tally.Deleted("z", false, "row z");  // its bytes are gone
  tally.DeliveredLive("a");
  tally.DeliveredLive("a");
  tally.DeliveredLive("nothing");  // not a live row: not counted as one
  tally.DeliveredDeleted("x", "x once");
  tally.DeliveredDeleted("x", "x again");
  tally.DeliveredDeleted("x", "x a third time");
  tally.DeliveredDeleted("", "garbled");
  tally.DeliveredDeleted("a", "a copy of a live row");
  tally.DeliveredPartly("part of y");  // true values, not the row whole: neither delivered nor a phantom
  const Figures f = tally.Result("family", "store");
  EXPECT_EQ(f.partly, 1u);
  EXPECT_EQ(f.deleted, 3u);
  EXPECT_EQ(f.surviving, 2u);
  EXPECT_EQ(f.delivered, 1u);
  EXPECT_EQ(f.twice, 2u);
  EXPECT_EQ(f.phantoms, 2u);
  EXPECT_EQ(f.phantomItems, (std::vector<std::string>{"garbled", "a copy of a live row"}));
  // Only the surviving row not delivered is missed; the lost one is not.
  EXPECT_EQ(f.missed, std::vector<std::string>{"row y"});
  EXPECT_EQ(f.liveDelivered, 1u);
  EXPECT_EQ(f.liveExpected, 2u);
  EXPECT_EQ(f.liveMissed, std::vector<std::string>{"b"});
  EXPECT_DOUBLE_EQ(f.Recall(), 0.5);
  EXPECT_DOUBLE_EQ(Tally().Result("f", "s").Recall(), 1.0);
}

TEST_F(FiguresTest, RecordBodiesAreTheValuesAsLaidOutOnThePage) {
  const fs::path db = dir_ / "t.db";
  {
    gen::FixtureDb fixture(db);
    fixture.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b INTEGER, c REAL, d BLOB, e INTEGER)");
    fixture.Exec("INSERT INTO t VALUES (7, 'abc', 300, 2.0, x'00ff', 1)");
    fixture.Exec("INSERT INTO t VALUES (8, NULL, 0, NULL, NULL, NULL)");
    fixture.Exec("INSERT INTO t VALUES (9, 'a long text of forty bytes............', 5, NULL, NULL, NULL)");
  }
  const auto bodies = RecordBodies(db, "t", 10);
  ASSERT_EQ(bodies.size(), 3u);
  // The rowid alias is stored as NULL, 0 and 1 have no body, and a real with
  // no fraction in a REAL column is stored as an integer.
  EXPECT_EQ(bodies.at(7), std::string("abc\x01\x2c\x02\x00\xff", 8));
  EXPECT_EQ(bodies.at(8), "");
  EXPECT_EQ(bodies.at(9), "a long tex");  // cut at the limit
  EXPECT_THROW(RecordBodies(db, "missing"), std::runtime_error);
}

TEST_F(FiguresTest, ASmallRunCountsTheGeneratedTruth) {
  RunOptions options;
  options.workDir = dir_;
  options.families = {"calls", "notes"};
  const std::vector<Figures> figures = figures::Run(options);
  ASSERT_EQ(figures.size(), 2u);
  for (const Figures& f : figures) {
    EXPECT_LE(f.surviving, f.deleted) << f.family;
    EXPECT_EQ(f.liveDelivered, f.liveExpected) << f.family;
    EXPECT_EQ(f.twice, 0u) << f.family;
    EXPECT_EQ(f.phantoms, 0u) << f.family;
  }
  // The generator's calls at scale 1: 13 calls, 4 of them deleted.
  EXPECT_EQ(figures[0].family, "calls");
  EXPECT_EQ(figures[0].deleted, 4u);
  EXPECT_EQ(figures[0].liveExpected, 9u);
  // Notes: the note and body rows of one deleted note, and one deleted body.
  EXPECT_EQ(figures[1].deleted, 3u);
  const std::string table = FormatTable(figures, "mbdb");
  EXPECT_NE(table.find("call_history.db"), std::string::npos);
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
}

// A chat's last message alone on its page: deleted, its cell became a free
// block (its first bytes a free-block header), then the emptied page went to
// the free list. No intact cell on the page names its table; the block's
// size, filled exactly by a record of one table's typed columns, does.
TEST_F(FiguresTest, ALastMessageFreedWithItsPageComesBack) {
  for (const auto& [era, scale] : {std::pair{Era::kManifestDb, 10}, std::pair{Era::kMbdb, 25}}) {
    RunOptions options;
    options.workDir = dir_ / std::to_string(scale);
    options.era = era;
    options.scale = scale;
    options.families = {"whatsapp"};
    SCOPED_TRACE(testing::Message() << "scale " << scale);
    for (const Figures& f : figures::Run(options)) ExpectWhole(f);
  }
}

// Older-era stores at scale 30. A WhatsApp message freed first, its block
// later merged with a neighbour freed after it: the record ends where an
// old copy of a live row begins whose tail a newer cell overwrote (its cell
// and record headers whole). A message (and a call) freed between live
// neighbours, then the page rebuilt: the free-block header left in the gap
// links nowhere, but its size is filled exactly by the record, under one
// reading of the lost header bytes only (the message table has numeric
// TIMESTAMP columns that take any bytes).
TEST_F(FiguresTest, RecordsEndedByACutCellOrFillingAStaleBlockComeBack) {
  RunOptions options;
  options.workDir = dir_;
  options.scale = 30;
  options.era = Era::kMbdb;
  options.families = {"calls", "whatsapp"};
  const std::vector<Figures> figures = figures::Run(options);
  ASSERT_EQ(figures.size(), 5u);
  for (const Figures& f : figures) {
    SCOPED_TRACE(f.store);
    EXPECT_GT(f.surviving, 30u);
    ExpectWhole(f);
  }
}

// Current calls at scale 10: a call freed (its first bytes a free-block
// header), then its page emptied and made a free-list trunk. A short
// record read inside the block by its own header (the block's size taken
// for a payload length) stood beside the one intact call on the page and
// left the page to no table; the intact call, most of the page's intact
// bytes, names it, and the freed call is read behind its block header.
TEST_F(FiguresTest, ACallFreedOnAPageThatBecameATrunkComesBack) {
  RunOptions options;
  options.workDir = dir_;
  options.scale = 10;
  options.current = true;
  options.era = Era::kManifestDb;
  options.families = {"calls"};
  const std::vector<Figures> figures = figures::Run(options);
  ASSERT_EQ(figures.size(), 1u);
  const Figures& f = figures[0];
  EXPECT_GT(f.surviving, 10u);
  ExpectWhole(f);
}

// The messages of current phones: a share of them deleted (scattered ones,
// a run whose pages went to the free list, some with a photo whose
// attachment rows went with them), enough to measure: every one whose bytes
// survive comes back once, under its own conversation.
// Current layout, scale 5: an old copy of a live message in a rebuilt page's
// gap (its tail overwritten); scale 25: a deleted message found twice, on a
// free-list page with its rowid and in a free block without it. Old layout,
// scale 25: a message on a free-list page and again, out of step (another
// date), where its page was rebuilt. Each is one message, or none.
TEST_F(FiguresTest, DeletedMessagesComeBackOnce) {
  for (const auto& [current, scale] : {std::pair{true, 5}, std::pair{true, 25}, std::pair{false, 25}}) {
    SCOPED_TRACE(testing::Message() << (current ? "current, scale " : "old, scale ") << scale);
    RunOptions options;
    options.workDir = dir_;
    options.current = current;
    options.scale = scale;
    options.families = {"messages"};
    const std::vector<Figures> figures = figures::Run(options);
    ASSERT_EQ(figures.size(), 1u);
    const Figures& f = figures[0];
    EXPECT_GE(f.surviving, 60u);
    EXPECT_EQ(f.delivered, f.surviving);
    for (const std::string& m : f.missed) ADD_FAILURE() << "missed " << m;
    for (const std::string& p : f.phantomItems) ADD_FAILURE() << "phantom " << p;
    EXPECT_EQ(f.twice, 0u);
    EXPECT_EQ(f.liveDelivered, f.liveExpected);
  }
}

// Without a search table the persons come from ABPerson and ABMultiValue.
// A deleted person whose rowid went with its cell header is joined to its
// numbers again where the sort index gives that rowid back with certainty;
// where it does not, it is shown by its name, its numbers under "No Name" -
// each counted as part of a deleted person, never as a phantom.
TEST_F(FiguresTest, PersonsWhoseRowidIsLostAreShownInPartsNeverGarbled) {
  RunOptions options;
  options.workDir = dir_;
  options.scale = 5;
  options.families = {"contacts"};
  const std::vector<Figures> figures = figures::Run(options);
  ASSERT_EQ(figures.size(), 4u);
  const Figures& persons = figures[1];
  ASSERT_NE(persons.store.find("ABPerson"), std::string::npos);
  EXPECT_EQ(persons.phantoms, 0u);
  for (const std::string& p : persons.phantomItems) ADD_FAILURE() << "phantom: " << p;
  // This seed: 25 surviving persons lost their rowid; the sort index joins
  // 13 of them to their numbers again, the others' names and numbers come
  // back apart.
  EXPECT_GE(persons.delivered, 58u);
  EXPECT_GE(persons.partly, 16u);
  EXPECT_EQ(persons.twice, 0u);
}

// The rows of the person tables counted one by one: every deleted person row
// and every deleted number or address row whose bytes survive is shown
// once, and nothing under a wrong name. A person whose numbers went with
// their overwritten rows (a run of persons whose pages went to the free
// list, taken again since) is still shown by its name.
TEST_F(FiguresTest, EveryPersonTableRowThatSurvivesIsShown) {
  RunOptions options;
  options.workDir = dir_;
  options.scale = 10;
  options.families = {"contacts"};
  const std::vector<Figures> figures = figures::Run(options);
  ASSERT_EQ(figures.size(), 4u);
  for (size_t i = 2; i < 4; ++i) {
    const Figures& f = figures[i];
    SCOPED_TRACE(f.store);
    EXPECT_GT(f.surviving, 100u);
    EXPECT_EQ(f.delivered, f.surviving);
    for (const std::string& m : f.missed) ADD_FAILURE() << "missed " << m;
    for (const std::string& p : f.phantomItems) ADD_FAILURE() << "phantom " << p;
    EXPECT_EQ(f.twice, 0u);
    EXPECT_EQ(f.liveDelivered, f.liveExpected);
  }
  EXPECT_NE(figures[2].store.find("ABPerson rows"), std::string::npos);
  EXPECT_NE(figures[3].store.find("ABMultiValue rows"), std::string::npos);
}

// The chat families of the older era: every layout of WhatsApp's store, and
// QQ and WeChat, whose recovered messages count only under their own
// conversation.
TEST_F(FiguresTest, ChatFamiliesAreCountedPerLayoutAndConversation) {
  RunOptions options;
  options.workDir = dir_;
  options.families = {"whatsapp", "qq", "wechat"};
  const std::vector<Figures> figures = figures::Run(options);
  ASSERT_EQ(figures.size(), 6u);
  for (const Figures& f : figures) {
    EXPECT_EQ(f.liveDelivered, f.liveExpected) << f.store;
    EXPECT_EQ(f.twice, 0u) << f.store;
    EXPECT_EQ(f.phantoms, 0u) << f.store;
    EXPECT_GE(f.Recall(), 0.98) << f.store;
  }
  EXPECT_EQ(figures[0].store, "ChatStorage.sqlite (27 columns)");
  EXPECT_EQ(figures[3].store, "ChatStorage.sqlite (30 columns)");
  // WhatsApp at scale 1: three deleted messages with text.
  EXPECT_EQ(figures[3].deleted, 3u);
  // QQ: the deleted rows of a live table, an old copy of one partner's table
  // and a removed partner's table, 120 rows each, all with their bytes.
  EXPECT_EQ(figures[4].family, "qq");
  EXPECT_EQ(figures[4].deleted, 242u);
  EXPECT_EQ(figures[4].delivered, 242u);
  // WeChat: a dropped table's 150 rows, listed under "Unknown".
  EXPECT_EQ(figures[5].family, "wechat");
  EXPECT_EQ(figures[5].deleted, 153u);
}

}  // namespace
}  // namespace orbanix::figures

namespace orbanix::figures {
namespace {

// The address book's search table has no declared column types: a run of
// serial types read inside a deleted record (a text length taken for a
// header length) fits it as well as the record itself, and once read it hid
// the true records around it. Every person whose search row survives comes
// back, in both layouts of the table.
//
// At scale 10 a page of the table was rebuilt after a run of its rows had
// been freed: the run's free-block headers stay in the page's gap with a
// link that leads nowhere now, and they alone tell where each record ends.
// At scale 25 pages of freed rows were taken again as the last page of a
// live overflow chain, whose bytes past the chain's end keep the old cells.
TEST_F(FiguresTest, EveryPersonWhoseSearchRowSurvivesComesBack) {
  for (const auto& [current, scale] : {std::pair{false, 5}, std::pair{true, 5}, std::pair{false, 10},
                                       std::pair{true, 10}, std::pair{true, 25}}) {
    RunOptions options;
    options.workDir = dir_ / ((current ? "current-" : "old-") + std::to_string(scale));
    options.current = current;
    options.scale = scale;
    options.families = {"contacts"};
    const std::vector<Figures> figures = figures::Run(options);
    ASSERT_FALSE(figures.empty());
    const Figures& search = figures[0];
    ASSERT_NE(search.store.find("search table"), std::string::npos);
    EXPECT_GT(search.surviving, 30u);
    // At scale 25 one record's header lies under the overflow chain's
    // own bytes (its body survives, its column types do not).
    EXPECT_GE(search.delivered + (scale == 25 ? 1 : 0), search.surviving) << search.store << " at " << scale;
    if (scale < 25) {
      for (const std::string& m : search.missed) ADD_FAILURE() << search.store << " missed " << m;
    }
    EXPECT_EQ(search.phantoms, 0u);
    EXPECT_EQ(search.twice, 0u);
    EXPECT_EQ(search.liveDelivered, search.liveExpected);
  }
}

}  // namespace
}  // namespace orbanix::figures
