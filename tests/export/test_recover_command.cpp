// `orbanix recover` end to end on the generated demo backups: the program
// beside this test is run as a user would run it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <fstream>

#include "platform/folders.h"
#include "tests/export/strict_readers.h"
#include "tests/export/temp_folder.h"
#include "tools/backupgen/backup_writer.h"
#include "tools/backupgen/family_chat_apps.h"
#include "tools/backupgen/families.h"
#include "tools/backupgen/fixture_db.h"

namespace orbanix {
namespace {

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

Outcome RunOrbanix(const fs::path& program, const std::string& arguments, const fs::path& scratch) {
  const fs::path out = scratch / "stdout.txt";
  const fs::path err = scratch / "stderr.txt";
  const std::string command = "'" + program.string() + "' " + arguments + " >'" + out.string() + "' 2>'" +
                              err.string() + "' </dev/null";
  const int rc = std::system(command.c_str());
  Outcome o;
  o.exitCode = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  o.out = ReadAll(out);
  o.err = ReadAll(err);
  return o;
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

class RecoverCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder;
    std::string error;
    backups_ = gen::WriteDemo(folder_->path() / "backups", &error);
    ASSERT_FALSE(backups_.empty()) << error;
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static fs::path Program() { return ProgramFolder() / "orbanix"; }

  static TempFolder* folder_;
  static std::vector<fs::path> backups_;
};

TempFolder* RecoverCommand::folder_ = nullptr;
std::vector<fs::path> RecoverCommand::backups_;

// Every file under a folder, relative to it.
std::vector<std::string> FilesUnder(const fs::path& root) {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(RecoverCommand, EveryDemoBackupIsWrittenWholeIntoOneFolder) {
  for (const fs::path& backup : backups_) {
    SCOPED_TRACE(backup.filename().string());
    const fs::path out = folder_->path() / ("out-" + backup.filename().string());
    const Outcome o = RunOrbanix(Program(), "recover " + Quote(backup) + " " + Quote(out), folder_->path());
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find(out.string()), std::string::npos) << o.out;
    const std::regex summary("Recovered ([0-9]+) of ([0-9]+) item\\(s\\), 0 failed");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(o.out, m, summary)) << o.out;
    EXPECT_EQ(m[1].str(), m[2].str());

    for (const char* folder : {"Camera Roll", "Photo Stream", "App Photos", "App Video", "Message",
                               "Message Attachments", "Contacts", "CallHistory", "Notes", "WhatsApp Message",
                               "WhatsApp Attachments", "Calendar", "Reminders", "Safari"}) {
      EXPECT_TRUE(fs::is_directory(out / folder)) << folder;
    }
    EXPECT_TRUE(fs::is_regular_file(out / "Message" / "sms.csv"));
    int html = 0;
    for (const std::string& f : FilesUnder(out)) {
      if (!f.ends_with(".html")) continue;
      ++html;
      const std::string text = ReadAll(out / f);
      EXPECT_EQ(text.find("<script"), std::string::npos) << f;        // no markup from records
      // The bookmark file for browsers has a form of its own.
      if (text.rfind("<!DOCTYPE NETSCAPE-Bookmark-file-1>", 0) == 0) continue;
      EXPECT_NE(text.find("<!DOCTYPE html>"), std::string::npos) << f;
      EXPECT_NE(text.find("</html>"), std::string::npos) << f;        // the template's tail is there
      EXPECT_EQ(text.find("{|"), std::string::npos) << f;             // no placeholder left
      EXPECT_EQ(text.find("<script"), std::string::npos) << f;        // no markup from records
    }
    EXPECT_GT(html, 5);
  }
}

TEST_F(RecoverCommand, DeletedOnlyWritesOnlyRecoveredRecords) {
  const fs::path out = folder_->path() / "deleted-only";
  const Outcome o = RunOrbanix(Program(), "recover --deleted-only --categories call-history,camera-roll " +
                                              Quote(backups_.front()) + " " + Quote(out),
                               folder_->path());
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_FALSE(fs::exists(out / "Camera Roll"));  // photos have no deleted state
  const std::vector<std::string> files = FilesUnder(out);
  ASSERT_EQ(files.size(), 1u);
  const std::string calls = ReadAll(out / files[0]);
  const size_t tbody = calls.find("<tbody>");
  ASSERT_NE(tbody, std::string::npos);
  size_t rows = 0, deleted = 0;
  for (size_t p = calls.find("<tr", tbody); p != std::string::npos; p = calls.find("<tr", p + 1)) {
    ++rows;
    if (calls.compare(p, 20, "<tr class=\"deleted\">") == 0) ++deleted;
  }
  EXPECT_GT(rows, 0u);
  EXPECT_EQ(rows, deleted);
}

TEST_F(RecoverCommand, AMissingTemplateFailsBeforeAnythingIsWritten) {
  // The program alone, without its template folder beside it.
  const fs::path bin = folder_->path() / "bare";
  fs::create_directories(bin);
  fs::copy_file(Program(), bin / "orbanix");
  const fs::path out = folder_->path() / "never";
  const Outcome o = RunOrbanix(bin / "orbanix", "recover " + Quote(backups_.front()) + " " + Quote(out), folder_->path());
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_NE(o.err.find("CallHistory.html"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(RecoverCommand, TheOutputMayNotLieInsideTheBackup) {
  const Outcome o = RunOrbanix(Program(), "recover " + Quote(backups_.front()) + " " + Quote(backups_.front() / "out"),
                               folder_->path());
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_FALSE(fs::exists(backups_.front() / "out"));
}

TEST_F(RecoverCommand, QqAndWeChatChatsAreWrittenAsText) {
  const fs::path backup = folder_->path() / "chat-apps";
  {
    gen::BackupWriter writer(backup, gen::Era::ManifestDb);
    gen::AddChatAppsFamily(writer, gen::FamilyOptions{});
    ASSERT_TRUE(writer.Finish());
  }
  const fs::path out = folder_->path() / "out-chat-apps";
  const Outcome o =
      RunOrbanix(Program(), "recover --categories qq,wechat " + Quote(backup) + " " + Quote(out), folder_->path());
  ASSERT_EQ(o.exitCode, 0) << o.err;
  const std::regex summary("Recovered ([0-9]+) of ([0-9]+) item\\(s\\), 0 failed");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m, summary)) << o.out;
  EXPECT_EQ(m[1].str(), m[2].str());
  // One text file per chat, under the application's folder and the account.
  size_t qq = 0, weChat = 0;
  for (const std::string& file : FilesUnder(out)) {
    EXPECT_EQ(fs::path(file).extension(), ".txt") << file;
    if (file.rfind("QQ/", 0) == 0) ++qq;
    if (file.rfind("WeChat/", 0) == 0) ++weChat;
  }
  EXPECT_GT(qq, 0u);
  EXPECT_GT(weChat, 0u);
  EXPECT_EQ(std::to_string(qq + weChat), m[2].str());
  // A chat's text names its messages' speakers.
  const std::vector<std::string> files = FilesUnder(out);
  const std::string first = ReadAll(out / files.front());
  EXPECT_NE(first.find(" Me:"), std::string::npos) << first;
}

// What other programs import (vCard, JSON Lines, CSV) parses back with
// strict readers, for every generated backup.
TEST_F(RecoverCommand, VCardJsonLinesAndCsvFilesParseWithStrictReaders) {
  for (const fs::path& backup : backups_) {
    SCOPED_TRACE(backup.filename().string());
    const fs::path out = folder_->path() / ("json-" + backup.filename().string());
    const Outcome o = RunOrbanix(Program(), "recover --format html,json " + Quote(backup) + " " + Quote(out),
                                 folder_->path());
    ASSERT_EQ(o.exitCode, 0) << o.err;
    size_t vcards = 0, jsonLines = 0, csvFiles = 0, messages = 0, contactObjects = 0;
    bool contactsJson = false;
    for (const std::string& f : FilesUnder(out)) {
      SCOPED_TRACE(f);
      const std::string text = ReadAll(out / f);
      std::string error;
      if (f.ends_with(".vcf")) {
        std::vector<strict::VCard> cards;
        EXPECT_TRUE(strict::ReadVCards(text, cards, error)) << error;
        vcards += cards.size();
      } else if (f.ends_with(".jsonl")) {
        std::vector<strict::JsonValue> objects;
        EXPECT_TRUE(strict::ReadJsonLines(text, objects, error)) << error;
        jsonLines += objects.size();
        for (const auto& object : objects) {
          const auto* deleted = object.Get("deleted");
          if (!f.ends_with("media.jsonl")) {
            ASSERT_NE(deleted, nullptr);
            EXPECT_EQ(deleted->kind, strict::JsonValue::kBool);
          }
          if (const auto* paths = object.Get("attachment_paths")) {
            for (const auto& p : paths->items) EXPECT_TRUE(fs::is_regular_file(out / p.text)) << p.text;
          }
          if (const auto* path = object.Get("path")) {
            EXPECT_TRUE(fs::is_regular_file(out / path->text)) << path->text;
          }
        }
        if (f.ends_with("messages.jsonl")) messages += objects.size();
        if (f.ends_with("contacts.jsonl")) {
          contactsJson = true;
          contactObjects += objects.size();
        }
      } else if (f.ends_with(".csv")) {
        std::vector<std::vector<std::string>> rows;
        EXPECT_TRUE(strict::ReadCsv(text, rows, error)) << error;
        ++csvFiles;
        if (f.starts_with("WhatsApp Message/")) {
          ASSERT_FALSE(rows.empty());
          EXPECT_EQ(rows[0], (std::vector<std::string>{"Chats", "Name/Phone", "Date", "Type", "Content",
                                                       "Recovered From", "Page", "Offset"}));
          for (const auto& row : rows) EXPECT_EQ(row.size(), 8u);
        }
      }
    }
    EXPECT_GT(vcards, 0u);
    EXPECT_TRUE(contactsJson);
    EXPECT_EQ(contactObjects, vcards);  // one card and one object per contact
    EXPECT_GT(messages, 0u);
    EXPECT_GT(jsonLines, vcards);
    EXPECT_GT(csvFiles, 2u);
  }
}

TEST_F(RecoverCommand, AnUnknownFormatIsAUsageError) {
  const fs::path out = folder_->path() / "bad-format";
  const Outcome o = RunOrbanix(Program(), "recover --format pdf " + Quote(backups_.front()) + " " + Quote(out),
                               folder_->path());
  EXPECT_EQ(o.exitCode, 2);
  EXPECT_NE(o.err.find("pdf"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(out));
}

// Cells that cannot be rows of their table are never printed as its live
// rows: one with more values than the table has columns, and the reading of
// zeroed bytes (rowid 0 and no value). The command says so and exits 1.
TEST_F(RecoverCommand, SqliteLeavesOutCellsThatAreNotRowsOfTheirTable) {
  const fs::path db = folder_->path() / "misfits.sqlite";
  {
    gen::FixtureDb f(db);
    f.Exec("CREATE TABLE t(a, b);");
    for (int i = 1; i <= 4; ++i) f.Exec("INSERT INTO t VALUES(" + std::to_string(i) + ", 'row');");
    // Row 5 holds three values; the schema is then made to declare two again.
    f.Exec("ALTER TABLE t ADD COLUMN c; INSERT INTO t VALUES(5, 'row', 'extra');");
    f.Exec("PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql='CREATE TABLE t(a, b)' WHERE name='t';");
  }
  {
    // The first cell of the table's only page (page 2, a leaf: its pointer
    // array follows the 8-byte header) gets zeroed bytes: length and rowid 0.
    std::fstream file(db, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char pointer[2] = {};
    file.seekg(4096 + 8);
    file.read(reinterpret_cast<char*>(pointer), 2);
    ASSERT_TRUE(file.good());
    file.seekp(4096 + (pointer[0] << 8 | pointer[1]));
    file.write("\0\0\0\0", 4);
  }
  const Outcome o = RunOrbanix(Program(), "sqlite --jsonl --table t " + Quote(db), folder_->path());
  EXPECT_EQ(o.exitCode, 1) << o.err;
  EXPECT_NE(o.err.find("not rows of the table"), std::string::npos) << o.err;
  std::set<std::string> live;
  const std::regex row(R"re(\{"table": "t", "deleted": false, "rowid": (-?[0-9]+))re");
  for (std::sregex_iterator it(o.out.begin(), o.out.end(), row), end; it != end; ++it) live.insert((*it)[1]);
  EXPECT_EQ(live, (std::set<std::string>{"2", "3", "4"})) << o.out;
}

// A database whose newest transactions sit only in its write-ahead log:
// the command reads the rows through the log and says what the log gave
// (frames, transactions, the last commit, the pages replaced, frames after
// the last commit), and when the log is damaged it says why and exits 1.
TEST_F(RecoverCommand, SqliteSaysWhatTheWriteAheadLogGave) {
  const fs::path dir = folder_->path() / "wal";
  fs::create_directories(dir);
  std::string dbBytes, logBytes;
  {
    gen::FixtureDb f(dir / "live.db", gen::FixtureOptions{1024});
    f.Exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    f.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT); PRAGMA wal_checkpoint(TRUNCATE);");
    for (int k = 0; k < 3; ++k) {
      std::string sql = "BEGIN;";
      for (int i = 0; i < 20; ++i) sql += "INSERT INTO t(a) VALUES('row " + std::to_string(k * 20 + i) + " " + std::string(100, 'x') + "');";
      f.Exec(sql + "COMMIT;");
    }
    // Copied while the connection holds them (closing would checkpoint).
    dbBytes = ReadAll(dir / "live.db");
    logBytes = ReadAll(dir / "live.db-wal");
  }
  const size_t frame = 24 + 1024;
  const size_t frames = (logBytes.size() - 32) / frame;
  ASSERT_GT(frames, 6u);
  const auto write = [&](const fs::path& db, const std::string& log) {
    std::ofstream(db, std::ios::binary | std::ios::trunc) << dbBytes;
    std::ofstream(db.string() + "-wal", std::ios::binary | std::ios::trunc) << log;
  };
  const auto liveRows = [](const std::string& out) {
    size_t n = 0;
    for (size_t at = 0; (at = out.find("\"deleted\": false", at)) != std::string::npos; ++at) ++n;
    return n;
  };

  write(dir / "whole.db", logBytes);
  Outcome o = RunOrbanix(Program(), "sqlite --jsonl " + Quote(dir / "whole.db"), folder_->path());
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(liveRows(o.out), 60u);
  EXPECT_NE(o.err.find("whole.db-wal: write-ahead log applied: " + std::to_string(frames) +
                       " frame(s), 3 transaction(s) up to the commit in frame " + std::to_string(frames)),
            std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("page(s) read from the log"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("after its last commit"), std::string::npos) << o.err;

  // The last transaction cut before its commit frame: two applied, the
  // cut one's frames only searched. Not damage: a phone stopped mid-write.
  write(dir / "cut.db", logBytes.substr(0, logBytes.size() - frame));
  o = RunOrbanix(Program(), "sqlite --jsonl " + Quote(dir / "cut.db"), folder_->path());
  EXPECT_EQ(o.exitCode, 0) << o.err;
  EXPECT_EQ(liveRows(o.out), 40u);
  EXPECT_NE(o.err.find("2 transaction(s)"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("frame(s) after its last commit"), std::string::npos) << o.err;

  // A byte changed in the second frame: nothing verifies from there on.
  std::string damaged = logBytes;
  damaged[32 + frame + 24 + 500] ^= 0x5A;
  write(dir / "damaged.db", damaged);
  o = RunOrbanix(Program(), "sqlite --jsonl " + Quote(dir / "damaged.db"), folder_->path());
  EXPECT_EQ(o.exitCode, 1) << o.err;
  EXPECT_NE(o.err.find("damaged.db-wal: "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("checksum"), std::string::npos) << o.err;

  // A log that is no log at all.
  write(dir / "garbage.db", std::string(4096, 'g'));
  o = RunOrbanix(Program(), "sqlite --jsonl " + Quote(dir / "garbage.db"), folder_->path());
  EXPECT_EQ(o.exitCode, 1) << o.err;
  EXPECT_NE(o.err.find("could not be used"), std::string::npos) << o.err;
  EXPECT_EQ(liveRows(o.out), 0u);
}

TEST_F(RecoverCommand, VersionIsPrinted) {
  const Outcome o = RunOrbanix(Program(), "--version", folder_->path());
  EXPECT_EQ(o.exitCode, 0);
  EXPECT_TRUE(std::regex_match(o.out, std::regex("orbanix [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << o.out;
}

}  // namespace
}  // namespace orbanix
