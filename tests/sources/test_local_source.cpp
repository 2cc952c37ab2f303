#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/digest.h"
#include "platform/safe_file.h"
#include "sources/catalog.h"
#include "sources/scan_plan.h"
#include "sqlite_pages/deleted_rows.h"
#include "tools/backupgen/encrypt.h"
#include "tools/backupgen/families.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_media.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/family_organizer.h"
#include "tools/backupgen/fixture_db.h"

using namespace orbanix;
namespace fs = std::filesystem;

namespace {

fs::path Fresh(const std::string& name) {
  fs::path p = fs::temp_directory_path() / ("orbanix-local-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

struct CopyLog {
  std::vector<int> percents;
  std::vector<Status> statuses;
  int answer = 0;
  static int Callback(void* user, int percent, Status status, const fs::path&) {
    auto* log = static_cast<CopyLog*>(user);
    log->percents.push_back(percent);
    log->statuses.push_back(status);
    return log->answer;
  }
};

struct ProgressLog {
  std::vector<int> values;
  static int Callback(void* user, int value) {
    static_cast<ProgressLog*>(user)->values.push_back(value);
    return 0;
  }
};

class LocalSource : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = Fresh("root");
    setenv("XDG_DATA_HOME", (root_ / "xdg").c_str(), 1);
    catalog_ = std::make_unique<BackupCatalog>(root_ / "data", std::vector<fs::path>{root_ / "backups"});
    catalog_->SetDecryptionFolder(root_ / "work");
    source_.SetCatalog(catalog_.get());
  }
  void TearDown() override {
    catalog_.reset();
    fs::remove_all(root_);
    unsetenv("XDG_DATA_HOME");
  }
  fs::path root_;
  std::unique_ptr<BackupCatalog> catalog_;
  CLocalBuckupRecovery source_;
};

}  // namespace

TEST_F(LocalSource, CopyFileReportsChunksAndDoneOnce) {
  // The catalog copies only from inside the backups' folder.
  const fs::path src = root_ / "backups" / "in.bin";
  WriteFile(src, std::string(200000, 'x'));
  CopyLog log;
  const fs::path dst = root_ / "out" / "deeper" / "copy.bin";
  ASSERT_EQ(source_.CopyFile(src, dst, &CopyLog::Callback, &log), 0);
  EXPECT_EQ(log.percents, (std::vector<int>{32, 65, 98, 100}));  // 64 KiB chunks
  EXPECT_EQ(fs::file_size(dst), 200000u);

  CopyLog empty;
  WriteFile(root_ / "backups" / "empty", "");
  EXPECT_EQ(source_.CopyFile(root_ / "backups" / "empty", root_ / "out" / "empty", &CopyLog::Callback, &empty), 0);
  EXPECT_TRUE(empty.percents.empty());
  EXPECT_TRUE(fs::exists(root_ / "out" / "empty"));

  CopyLog stop;
  stop.answer = 2;
  EXPECT_EQ(source_.CopyFile(src, root_ / "out" / "stopped", &CopyLog::Callback, &stop), 2);
  EXPECT_EQ(stop.percents.size(), 1u);
  EXPECT_FALSE(fs::exists(root_ / "out" / "stopped"));  // a stopped copy leaves nothing
  for (const auto& e : fs::directory_iterator(root_ / "out")) {
    EXPECT_FALSE(IsTemporaryOutputName(e.path().filename().string())) << e.path();
  }

  // Files outside the backups, links and FIFOs are never copied out.
  WriteFile(root_ / "secret", "secret");
  fs::create_symlink(root_ / "secret", root_ / "backups" / "link");
  ASSERT_EQ(::mkfifo((root_ / "backups" / "fifo").c_str(), 0600), 0);
  for (const fs::path& refused : {root_ / "secret", root_ / "backups" / "link", root_ / "backups" / "fifo"}) {
    CopyLog log;
    EXPECT_EQ(source_.CopyFile(refused, root_ / "out" / "refused", &CopyLog::Callback, &log), 87) << refused;
    EXPECT_EQ(log.statuses, (std::vector<Status>{87}));
    EXPECT_FALSE(fs::exists(root_ / "out" / "refused"));
  }
}

TEST_F(LocalSource, CopyFileFailuresAreNeverReportedAsDone) {
  CopyLog missing;
  EXPECT_EQ(source_.CopyFile(root_ / "nope", root_ / "out" / "x", &CopyLog::Callback, &missing), 87);
  EXPECT_EQ(missing.percents, (std::vector<int>{100}));
  EXPECT_EQ(missing.statuses, (std::vector<Status>{87}));

  // A destination whose writes fail (here: past the size limit of the
  // process, as on a full disk) ends with that error, and leaves nothing.
  const fs::path src = root_ / "backups" / "in.bin";
  WriteFile(src, std::string(200000, 'y'));
  CopyLog full;
  Status s = 0;
  {
    struct rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = before;
    limited.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    s = source_.CopyFile(src, root_ / "out" / "big", &CopyLog::Callback, &full);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
  }
  EXPECT_EQ(s, EFBIG);
  ASSERT_FALSE(full.statuses.empty());
  EXPECT_EQ(full.statuses.back(), EFBIG);
  for (size_t i = 0; i < full.percents.size(); ++i) {
    EXPECT_FALSE(full.percents[i] == 100 && full.statuses[i] == 0) << "reported as done";
  }
  EXPECT_FALSE(fs::exists(root_ / "out" / "big"));
  for (const auto& e : fs::directory_iterator(root_ / "out")) {
    EXPECT_FALSE(IsTemporaryOutputName(e.path().filename().string())) << e.path();
  }
}

TEST_F(LocalSource, PreviewCopyNamesFollowTheSniffedType) {
  struct Case {
    gen::MediaSample sample;
    const char* copy;
  };
  for (const Case& c : {Case{gen::MediaSample::Ico, "tmp.jpg"}, Case{gen::MediaSample::Midi, "tmp.wav"},
                        Case{gen::MediaSample::ThreeGp, "tmp.avi"}, Case{gen::MediaSample::JpegJfif, "tmp.jpg"}}) {
    const fs::path src = root_ / "sample";
    WriteFile(src, gen::MediaSampleBytes(c.sample, 2048));
    fs::path copy;
    ProgressLog log;
    ASSERT_EQ(source_.CopyForPreview(src, copy, &ProgressLog::Callback, &log), 0) << c.copy;
    EXPECT_EQ(copy, root_ / "data" / c.copy);
    EXPECT_EQ(log.values.back(), 100);
  }
  WriteFile(root_ / "junk", std::string(1024, 'q'));
  fs::path copy;
  EXPECT_EQ(source_.CopyForPreview(root_ / "junk", copy, nullptr, nullptr), 87);
  EXPECT_TRUE(copy.empty());
}

TEST_F(LocalSource, LargePreviewThenSmallLeavesTheSmallSize) {
  WriteFile(root_ / "big.jpg", gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 300000, 1));
  WriteFile(root_ / "small.jpg", gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 2000, 2));
  fs::path copy;
  ASSERT_EQ(source_.CopyForPreview(root_ / "big.jpg", copy, nullptr, nullptr), 0);
  ASSERT_EQ(source_.CopyForPreview(root_ / "small.jpg", copy, nullptr, nullptr), 0);
  EXPECT_EQ(fs::file_size(copy), fs::file_size(root_ / "small.jpg"));
  catalog_->CleanUp();
  EXPECT_FALSE(fs::exists(copy));
}

TEST_F(LocalSource, ExportOfAnUnknownChatWritesAnEmptyFile) {
  CopyLog log;
  const fs::path out = root_ / "exports" / "chat.txt";
  EXPECT_EQ(source_.ExportWhatsAppChat(12345, out, &CopyLog::Callback, &log), 0);
  ASSERT_TRUE(fs::exists(out));
  EXPECT_LE(fs::file_size(out), 3u);  // at most the byte-order mark
  EXPECT_EQ(source_.ExportQQChat("nobody", "none", root_ / "exports" / "qq.txt", nullptr, nullptr), 0);
  EXPECT_TRUE(fs::exists(root_ / "exports" / "qq.txt"));
}

TEST_F(LocalSource, OpenWithoutManifestGives87AndProgressAccounting) {
  const fs::path backup = root_ / "backups" / "bare";
  fs::create_directories(backup);
  BackupInfo info;
  info.folder = backup;
  catalog_->SelectBackup(info);
  ProgressLog log;
  source_.SetProgressCallback(&ProgressLog::Callback, &log);
  EXPECT_EQ(source_.Open(""), 87);
  EXPECT_EQ(log.values, (std::vector<int>{0, 1, 12}));  // 0, then 1, then 1 + step 11
  EXPECT_TRUE(catalog_->index().empty());
}

TEST_F(LocalSource, PlanRunsTheTickedOperationsInTheFixedOrder) {
  ScanResults results;
  const auto organiser = BuildScanPlan(source_, {Category::SafariBookmark, Category::Reminder}, results);
  ASSERT_EQ(organiser.size(), 2u);
  EXPECT_EQ(organiser[0].name, "reminders");
  EXPECT_EQ(organiser[1].name, "Safari");
  const auto plan = BuildScanPlan(source_,
                                  {Category::Calendar, Category::Notes, Category::CameraRoll, Category::Messages}, results);
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_EQ(plan[0].name, "photos");  // the fixed order, whatever the tick order
  EXPECT_EQ(plan[1].name, "messages");
  EXPECT_EQ(plan[2].name, "notes");
  EXPECT_EQ(plan[3].name, "calendar");
}

// The organiser stores of a current backup, one of them damaged: the
// damaged one is named as a problem, the others are read.
TEST_F(LocalSource, ADamagedOrganiserStoreIsNamedAndTheOthersAreRead) {
  gen::BackupWriter writer(root_ / "backups" / "phone", gen::Era::ManifestDb);
  gen::AddOrganizerFamily(writer, gen::FamilyOptions{});
  ASSERT_TRUE(writer.Finish());
  const auto stores = gen::ReminderStores({});
  const std::string brokenKey = "HomeDomain-Library/Reminders/Container_v1/Stores/" + stores[0].first + ".sqlite";
  fs::path broken;
  for (const auto& f : writer.files()) {
    if (f.domain + "-" + f.relativePath == brokenKey) broken = writer.StoredPath(f.hashedName);
  }
  ASSERT_FALSE(broken.empty());
  {
    std::ofstream out(broken, std::ios::binary | std::ios::trunc);
    out << "SQLite format 3" << std::string(1, '\0') << std::string(4000, '\x55');
  }
  // History.db leaves the backup folder although the manifest lists it.
  fs::remove(writer.StoredPath(Sha1Hex("AppDomain-com.apple.mobilesafari-Library/Safari/History.db")));
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);

  std::vector<ReminderRecord> reminders;
  EXPECT_NE(source_.ScanReminders(reminders), 0);
  ASSERT_EQ(reminders.size(), stores[1].second.size());  // the other store
  EXPECT_EQ(reminders[0].title, stores[1].second[0].title);
  std::vector<SafariBookmarkRecord> bookmarks;
  std::vector<SafariHistoryRecord> history;
  EXPECT_NE(source_.ScanSafari(bookmarks, history), 0);
  EXPECT_FALSE(bookmarks.empty());
  EXPECT_TRUE(history.empty());
  std::vector<CalendarEventRecord> events;
  EXPECT_EQ(source_.ScanCalendar(events), 0);
  EXPECT_FALSE(events.empty());

  const std::vector<Problem> problems = source_.Problems();
  std::string all;
  for (const Problem& p : problems) all += p.Text() + (p.whole ? " (whole)\n" : "\n");
  ASSERT_EQ(problems.size(), 2u) << all;
  EXPECT_EQ(problems[0].category, "reminders");
  EXPECT_EQ(problems[0].file, brokenKey);
  EXPECT_FALSE(problems[0].whole) << all;  // another store was read
  EXPECT_EQ(problems[1].category, "safari-bookmarks");
  EXPECT_EQ(problems[1].file, "AppDomain-com.apple.mobilesafari-Library/Safari/History.db");
  EXPECT_EQ(problems[1].what, "is not in the backup folder");
  EXPECT_FALSE(problems[1].whole) << all;  // the bookmarks were read
}

TEST_F(LocalSource, ABackupWithoutOrganiserStoresHasNothingToReadThere) {
  gen::BackupWriter writer(root_ / "backups" / "phone", gen::Era::ManifestDb);
  gen::AddContactsFamily(writer, gen::FamilyOptions{});
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  // Absent, not damaged: the answer of a database the backup does not hold,
  // and no problem to show.
  std::vector<ReminderRecord> reminders;
  EXPECT_EQ(source_.ScanReminders(reminders), ENOENT);
  std::vector<CalendarEventRecord> events;
  EXPECT_EQ(source_.ScanCalendar(events), ENOENT);
  std::vector<SafariBookmarkRecord> bookmarks;
  std::vector<SafariHistoryRecord> history;
  EXPECT_EQ(source_.ScanSafari(bookmarks, history), ENOENT);
  EXPECT_TRUE(reminders.empty() && events.empty() && bookmarks.empty() && history.empty());
  EXPECT_TRUE(source_.Problems().empty());
}

// A whole scan of a generated backup of each era through the driver.
class FullScan : public LocalSource, public ::testing::WithParamInterface<gen::Era> {};

TEST_P(FullScan, EveryFamilyIsFound) {
  gen::BackupWriter writer(root_ / "backups" / "phone", GetParam());
  for (const gen::Family& f : gen::Families()) f.add(writer, gen::FamilyOptions{});
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  catalog_->SelectBackup(info);

  ScanDriver driver;
  source_.SetProgressCallback(&ScanDriver::ReportTrampoline, &driver);
  ScanResults results;
  CategorySet all;
  for (int c = 1; c <= kCategoryCount; ++c) all.insert(static_cast<Category>(c));
  std::vector<int> shown;
  ScanDriver::Events events;
  events.progress = [&shown](int p, const std::string&) { shown.push_back(p); };
  ScanOutcome outcome{};
  events.finished = [&outcome](ScanOutcome o, Status) { outcome = o; };
  ASSERT_EQ(driver.Start([&] { return source_.Open(""); }, BuildScanPlan(source_, all, results), events), 0);
  driver.Wait();
  EXPECT_EQ(outcome, ScanOutcome::kCompleted);
  ASSERT_FALSE(shown.empty());
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  EXPECT_LE(shown.back(), 99);

  for (Category c : {Category::CameraRoll, Category::PhotoStream, Category::AppPhotos, Category::Messages,
                     Category::MessageAtts, Category::Contacts, Category::CallHistory, Category::Notes,
                     Category::WhatsApp, Category::WhatsAppAtts}) {
    EXPECT_GT(CountCategory(results, c).items, 0u) << CategoryCliName(c);
  }
  for (Category c : {Category::Messages, Category::Contacts, Category::CallHistory, Category::Notes,
                     Category::WhatsApp, Category::Reminder, Category::Calendar, Category::SafariBookmark}) {
    EXPECT_GT(CountCategory(results, c).items, 0u) << CategoryCliName(c);
    EXPECT_GT(CountCategory(results, c).deleted, 0u) << CategoryCliName(c) << " recovered nothing";
  }
  EXPECT_FALSE(results.safariBookmarks.empty());
  EXPECT_FALSE(results.safariHistory.empty());
  EXPECT_TRUE(source_.Problems().empty()) << source_.Problems().front().Text();

  // QQ and WeChat are read on request, every account of each.
  ScanResults chats;
  std::vector<ScanStep> plan = BuildScanPlan(source_, {}, chats);
  AddChatAppSteps(source_, true, true, chats, plan);
  ASSERT_EQ(plan.size(), 2u);
  for (ScanStep& step : plan) EXPECT_EQ(step.run(), 0) << step.name;
  EXPECT_EQ(chats.qq.size(), 1u);
  EXPECT_EQ(chats.weChat.size(), 1u);
  EXPECT_GT(CountChatAccounts(chats.qq).records, 0u);
  EXPECT_GT(CountChatAccounts(chats.weChat).deleted, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothEras, FullScan, ::testing::Values(gen::Era::Mbdb, gen::Era::ManifestDb));

// Both notes stores of one phone give one list of notes; the current
// store's embedded picture is found among the backup's stored files.
TEST_P(FullScan, BothNotesStoresGiveOneCategory) {
  gen::BackupWriter writer(root_ / "backups" / "both", GetParam());
  for (const gen::Family& f : gen::Families()) {
    if (std::string(f.name) == "notes" || std::string(f.name) == "notestore") f.add(writer, gen::FamilyOptions{});
  }
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  std::vector<NoteRecord> notes(1);  // appended to
  ASSERT_EQ(source_.ScanNotes(notes), 0);
  auto titled = [&](const std::string& title) {
    return std::find_if(notes.begin(), notes.end(), [&](const NoteRecord& n) { return n.title == title; });
  };
  EXPECT_NE(titled("Shopping"), notes.end());   // notes.sqlite
  EXPECT_NE(titled("Groceries"), notes.end());  // NoteStore.sqlite
  const auto photo = titled("Photo note");
  ASSERT_NE(photo, notes.end());
  ASSERT_EQ(photo->attachments.size(), 1u);
  std::ifstream in(photo->attachments[0].file, std::ios::binary);
  char magic[3] = {};
  in.read(magic, 3);
  EXPECT_EQ(std::string(magic, 3), "\xFF\xD8\xFF");  // the JPEG itself
  EXPECT_TRUE(source_.Problems().empty());
}

// One notes store that cannot be read does not lose the category when the
// other one reads: the problem is a warning (not "whole"), in either
// direction; with both unreadable the category is lost as a whole.
TEST_P(FullScan, OneUnreadableNotesStoreIsNotTheWholeCategory) {
  gen::BackupWriter writer(root_ / "backups" / "halves", GetParam());
  for (const gen::Family& f : gen::Families()) {
    if (std::string(f.name) == "notes" || std::string(f.name) == "notestore") f.add(writer, gen::FamilyOptions{});
  }
  ASSERT_TRUE(writer.Finish());
  const fs::path oldStore = ResolveStoredPath(writer.folder(), kNotesDb.hashedName);
  const fs::path newStore = ResolveStoredPath(writer.folder(), kNoteStoreDb.hashedName);
  const std::string oldBytes = [&] { std::ifstream in(oldStore, std::ios::binary); return std::string(std::istreambuf_iterator<char>(in), {}); }();
  const std::string newBytes = [&] { std::ifstream in(newStore, std::ios::binary); return std::string(std::istreambuf_iterator<char>(in), {}); }();
  struct Case {
    bool breakOld, breakNew;
    const char* lostKey;
  };
  for (const Case c : {Case{true, false, kNotesDb.key}, Case{false, true, kNoteStoreDb.key}, Case{true, true, nullptr}}) {
    SCOPED_TRACE(std::to_string(c.breakOld) + std::to_string(c.breakNew));
    WriteFile(oldStore, c.breakOld ? std::string("this is not a database at all, only words") : oldBytes);
    WriteFile(newStore, c.breakNew ? std::string("this is not a database at all, only words") : newBytes);
    BackupInfo info;
    ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
    catalog_->SelectBackup(info);
    ASSERT_EQ(source_.Open(""), 0);
    std::vector<NoteRecord> notes;
    const Status st = source_.ScanNotes(notes);
    std::vector<Problem> problems;
    for (const Problem& p : source_.Problems()) {
      if (p.category == "notes") problems.push_back(p);
    }
    if (c.lostKey) {
      EXPECT_EQ(st, 0);
      EXPECT_FALSE(notes.empty());
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_EQ(problems[0].file, c.lostKey);
      EXPECT_FALSE(problems[0].whole);
    } else {
      EXPECT_NE(st, 0);
      EXPECT_TRUE(notes.empty());
      ASSERT_EQ(problems.size(), 2u);
      EXPECT_TRUE(problems[0].whole && problems[1].whole);
    }
  }
}

// Damaged stored databases: what can be read is delivered, and every file
// that could not be read (or only in part) is a problem of its category.
TEST_P(FullScan, DamagedDatabasesAreProblemsOfTheirCategory) {
  gen::BackupWriter writer(root_ / "backups" / "phone", GetParam());
  for (const gen::Family& f : gen::Families()) f.add(writer, gen::FamilyOptions{});
  ASSERT_TRUE(writer.Finish());
  const fs::path folder = writer.folder();
  const fs::path sms = ResolveStoredPath(folder, kMessagesDb.hashedName);
  const fs::path notes = ResolveStoredPath(folder, kNotesDb.hashedName);
  const fs::path book = ResolveStoredPath(folder, kAddressBookDb.hashedName);
  const fs::path calls = CallHistoryDatabasePath(folder);
  fs::resize_file(sms, fs::file_size(sms) / 2);  // cut short: part of it still read
  fs::remove(notes);
  ASSERT_EQ(::mkfifo(notes.c_str(), 0600), 0);   // would block an ordinary open
  // The current notes store is left out: the notes come only from the old one.
  fs::remove(ResolveStoredPath(folder, kNoteStoreDb.hashedName));
  const fs::path elsewhere = root_ / "elsewhere.db";
  fs::copy_file(book, elsewhere);
  fs::remove(book);
  fs::create_symlink(elsewhere, book);           // leads outside the backup
  { std::ofstream(calls, std::ios::binary | std::ios::trunc); }  // empty

  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(folder, info), 0);
  catalog_->SelectBackup(info);
  source_.Open("");
  ConversationMap conversations;
  std::vector<ContactRecord> contacts;
  std::vector<NoteRecord> noteRecords;
  std::vector<CallRecord> callRecords;
  source_.ScanMessages(conversations);
  EXPECT_NE(source_.ScanContacts(contacts), 0);
  EXPECT_NE(source_.ScanNotes(noteRecords), 0);
  EXPECT_NE(source_.ScanCallHistory(callRecords), 0);
  EXPECT_FALSE(conversations.empty());
  EXPECT_TRUE(contacts.empty());  // never read through the link
  EXPECT_TRUE(noteRecords.empty());

  // The first problem of each category: the file's own state (the scan of
  // what could be read may add the tables it could not read whole).
  std::map<std::string, Problem> byCategory;
  for (const Problem& p : source_.Problems()) byCategory.emplace(p.category, p);
  ASSERT_EQ(byCategory.size(), 4u);
  EXPECT_EQ(byCategory["messages"].what, "is cut short");
  EXPECT_FALSE(byCategory["messages"].whole);
  EXPECT_EQ(byCategory["messages"].file, kMessagesDb.key);
  EXPECT_EQ(byCategory["notes"].reason, "is a FIFO, not a file");
  EXPECT_TRUE(byCategory["notes"].whole);
  EXPECT_EQ(byCategory["contacts"].reason, "is a symbolic link");
  EXPECT_EQ(byCategory["call-history"].what, "is empty");
  EXPECT_TRUE(byCategory["call-history"].whole);

  // A new scan starts with no problems.
  source_.Open("");
  EXPECT_TRUE(source_.Problems().empty());
}

// A stored file that is a link to itself stands there: it is refused with
// its reason, never taken for a file the backup does not have (which would
// say nothing), and the manifest's likewise.
TEST_P(FullScan, LinksToThemselvesAreRefusedNotMissing) {
  gen::BackupWriter writer(root_ / "backups" / "phone", GetParam());
  for (const gen::Family& f : gen::Families()) f.add(writer, gen::FamilyOptions{});
  ASSERT_TRUE(writer.Finish());
  const fs::path folder = writer.folder();
  const fs::path calls = CallHistoryDatabasePath(folder);
  fs::remove(calls);
  fs::create_symlink(calls.filename(), calls);
  EXPECT_EQ(CallHistoryDatabasePath(folder), calls);

  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(folder, info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  std::vector<CallRecord> callRecords;
  EXPECT_NE(source_.ScanCallHistory(callRecords), 0);
  EXPECT_TRUE(callRecords.empty());
  const std::vector<Problem> problems = source_.Problems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].category, "call-history");
  EXPECT_EQ(problems[0].reason, "is a symbolic link");
  EXPECT_TRUE(problems[0].whole);

  const fs::path manifest = folder / (GetParam() == gen::Era::Mbdb ? "Manifest.mbdb" : "Manifest.db");
  fs::remove(manifest);
  fs::create_symlink(manifest.filename(), manifest);
  source_.Open("");
  bool named = false;
  for (const Problem& p : source_.Problems()) {
    named = named || (p.file == manifest.filename().string() && p.what.find("no manifest") == std::string::npos);
  }
  EXPECT_TRUE(named);
}

// A photo library of another layout or a damaged one: every Camera Roll
// file is still listed, none taken for trashed, and the problem is said.
TEST_P(FullScan, AnUnreadablePhotoLibraryIsAProblemAndThePhotosStay) {
  for (const bool damaged : {true, false}) {
    gen::BackupWriter writer(root_ / "backups" / (damaged ? "damaged" : "other"), GetParam());
    gen::AddCurrentMediaFamily(writer, {});
    ASSERT_TRUE(writer.Finish());
    const fs::path library = ResolveStoredPath(writer.folder(), kPhotosDb.hashedName);
    ASSERT_TRUE(fs::exists(library));
    if (damaged) {
      fs::resize_file(library, 1024);  // the header page only
    } else {
      fs::remove(library);
      gen::FixtureDb other(library);
      other.Exec("CREATE TABLE ZASSET (Z_PK INTEGER PRIMARY KEY, ZPATH VARCHAR)");
      other.Exec("INSERT INTO ZASSET VALUES (1, 'DCIM/100APPLE/IMG_0002.JPG')");
    }
    BackupInfo info;
    ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
    catalog_->SelectBackup(info);
    source_.Open("");
    std::vector<MediaItem> roll, stream;
    ASSERT_EQ(source_.ScanPhotos(roll, stream), 0);
    EXPECT_EQ(roll.size(), 9u) << damaged;
    for (const MediaItem& m : roll) EXPECT_EQ(m.deleted, 0) << m.name;
    const std::vector<Problem> problems = source_.Problems();
    ASSERT_EQ(problems.size(), 1u) << damaged;
    EXPECT_EQ(problems[0].category, "camera-roll");
    EXPECT_EQ(problems[0].file, kPhotosDb.key);
    EXPECT_FALSE(problems[0].whole);
  }
}

// The newest messages of a current phone sit only in sms.db's write-ahead
// log, which a backup stores as a file of its own: it is read with the
// database; a log that cannot be used is said, and the rest is read.
std::set<std::string> MessageTexts(const ConversationMap& conversations) {
  std::set<std::string> texts;
  for (const auto& [key, list] : conversations) {
    for (const MessageRecord& m : list) texts.insert(m.text);
  }
  return texts;
}

TEST_P(FullScan, TheMessagesLogIsReadWithItsDatabase) {
  gen::BackupWriter writer(root_ / "backups" / "log", GetParam());
  gen::AddCurrentMessagesFamily(writer, {});
  ASSERT_TRUE(writer.Finish());
  const fs::path log = ResolveStoredPath(writer.folder(), Sha1Hex(std::string(kMessagesDb.key) + "-wal"));
  ASSERT_TRUE(fs::exists(log));
  const std::vector<std::string> newest = {"Newest message 1, not yet in the database file",
                                           "Newest message 3, not yet in the database file"};
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  ConversationMap conversations;
  ASSERT_EQ(source_.ScanMessages(conversations), 0);
  std::set<std::string> texts = MessageTexts(conversations);
  for (const std::string& text : newest) EXPECT_TRUE(texts.count(text)) << text;
  EXPECT_TRUE(texts.count("Last live message"));
  EXPECT_TRUE(source_.Problems().empty());

  // A log whose header is damaged: the database as its file holds it.
  std::string bytes;
  {
    std::ifstream in(log, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  bytes[26] ^= 0x40;
  std::ofstream(log, std::ios::binary | std::ios::trunc) << bytes;
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  conversations.clear();
  ASSERT_EQ(source_.ScanMessages(conversations), 0);
  texts = MessageTexts(conversations);
  for (const std::string& text : newest) EXPECT_FALSE(texts.count(text)) << text;
  EXPECT_TRUE(texts.count("Last live message"));
  const std::vector<Problem> problems = source_.Problems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].category, "messages");
  EXPECT_EQ(problems[0].file, std::string(kMessagesDb.key) + "-wal");
  EXPECT_EQ(problems[0].what, "could not be applied");
  EXPECT_FALSE(problems[0].whole);
}

// The messages database carved ahead (beside the photos of a scan): the
// messages scan then gives what it gives without it, read with the
// database's log, and says nothing twice; a carve ahead that no messages
// scan took is let go by the next Open.
TEST_P(FullScan, MessagesCarvedAheadAreTheMessagesOfAPlainScan) {
  gen::BackupWriter writer(root_ / "backups" / "ahead", GetParam());
  gen::AddCurrentMessagesFamily(writer, {});
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  auto scan = [&](bool ahead, size_t& deleted) {
    ReleaseCarvedFiles();  // each scan carves afresh
    catalog_->SelectBackup(info);
    EXPECT_EQ(source_.Open(""), 0);
    if (ahead) source_.PrepareMessages();
    ConversationMap conversations;
    EXPECT_EQ(source_.ScanMessages(conversations), 0);
    deleted = 0;
    for (const auto& [handle, list] : conversations) {
      for (const MessageRecord& m : list) deleted += m.deleted ? 1 : 0;
    }
    return MessageTexts(conversations);
  };
  size_t deletedPlain = 0, deletedAhead = 0;
  const std::set<std::string> plain = scan(false, deletedPlain);
  const std::set<std::string> ahead = scan(true, deletedAhead);
  EXPECT_TRUE(ahead.count("Newest message 1, not yet in the database file"));
  EXPECT_EQ(ahead, plain);
  EXPECT_EQ(deletedAhead, deletedPlain);
  EXPECT_GT(deletedAhead, 0u);
  EXPECT_TRUE(source_.Problems().empty());
  // Prepared, then a new scan begins before the messages were read.
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  source_.PrepareMessages();
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  size_t deletedAgain = 0;
  EXPECT_EQ(scan(true, deletedAgain), plain);
  EXPECT_EQ(deletedAgain, deletedPlain);
  ReleaseCarvedFiles();
}

// What a scan delivered for the categories that may be read ahead, record by
// record in the order delivered, and the problems in the order met: any
// record lost, added, changed or moved, or a problem out of its place,
// changes the text.
std::string Delivered(const ScanResults& r, const std::vector<Problem>& problems) {
  std::ostringstream out;
  for (const auto& [handle, list] : r.conversations) out << "conversation " << handle << ' ' << list.size() << '\n';
  for (const AttachmentFile& a : r.messageAttachments) out << "attachment " << a.name << ' ' << a.size << ' ' << a.path << '\n';
  for (const ContactRecord& c : r.contacts) {
    out << "contact " << c.deleted << ' ' << c.name << '|' << c.phones << '|' << c.email << '|' << c.company << '\n';
  }
  for (const CallRecord& c : r.calls) {
    out << "call " << c.deleted << ' ' << c.date << ' ' << c.address << ' ' << c.name << ' ' << c.duration << '\n';
  }
  for (const AppMediaItem& m : r.appMedia) out << "app " << m.appName << ' ' << m.name << ' ' << m.size << '\n';
  for (const MediaItem& m : r.whatsAppMedia) out << "whatsapp media " << m.name << ' ' << m.size << '\n';
  for (const auto& [app, items] : r.appPhotos) out << "app photos " << app << ' ' << items.size() << '\n';
  for (const auto& [app, items] : r.appVideos) out << "app videos " << app << ' ' << items.size() << '\n';
  for (const Problem& p : problems) {
    out << "problem " << p.category << '|' << p.file << '|' << p.what << '|' << p.reason << '|' << p.whole << '\n';
  }
  return out.str();
}

// A backup of every family with damage in each category that may be read
// beside the messages: a message attachment that is a folder, an
// application's picture that is empty, the address book and the call store
// cut short (each still partly read), the messages database cut short.
fs::path DamagedForAhead(const fs::path& at, gen::Era era) {
  gen::BackupWriter writer(at, era);
  for (const gen::Family& f : gen::Families()) f.add(writer, gen::FamilyOptions{});
  const fs::path attachment = writer.AddFile("MediaDomain", "Library/SMS/Attachments/7f/07/folder.jpg", "x");
  const fs::path picture = writer.AddFile("AppDomain-com.example.damaged", "Documents/empty.jpg", "x");
  if (!writer.Finish()) return {};
  const fs::path folder = writer.folder();
  fs::remove(attachment);
  fs::create_directory(attachment);
  fs::resize_file(picture, 0);
  for (const fs::path& db : {ResolveStoredPath(folder, kAddressBookDb.hashedName), CallHistoryDatabasePath(folder),
                             ResolveStoredPath(folder, kMessagesDb.hashedName)}) {
    fs::resize_file(db, fs::file_size(db) - 100);  // the last page cut
  }
  return folder;
}

// The operations after the messages, begun beside the messages scan and
// taken by their own steps, deliver what they deliver when each runs in its
// turn: the same records in the same order, the same statuses, and the
// same problems in the same places.
TEST_P(FullScan, OperationsBegunAheadDeliverWhatTheyDeliverInTheirTurn) {
  const fs::path folder = DamagedForAhead(root_ / "backups" / "damaged", GetParam());
  ASSERT_FALSE(folder.empty());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(folder, info), 0);
  CategorySet all;
  for (int c = 1; c <= kCategoryCount; ++c) all.insert(static_cast<Category>(c));

  // In turn: each operation called by itself, in the order of a plan.
  ReleaseCarvedFiles();
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  ScanResults inTurn;
  inTurn.ticked = all;
  std::vector<Status> inTurnStatus;
  inTurnStatus.push_back(source_.ScanMessages(inTurn.conversations));
  inTurnStatus.push_back(source_.ScanMessageAttachments(inTurn.messageAttachments));
  inTurnStatus.push_back(source_.ScanContacts(inTurn.contacts));
  inTurnStatus.push_back(source_.ScanCallHistory(inTurn.calls));
  inTurnStatus.push_back(source_.ScanAppMedia(inTurn.appMedia));
  for (const AppMediaItem& item : inTurn.appMedia) {
    (IsAppVideo(item) ? inTurn.appVideos : inTurn.appPhotos)[item.appName].push_back(item);
  }
  inTurnStatus.push_back(source_.ScanWhatsAppAttachments(inTurn.whatsAppMedia));
  const std::string expected = Delivered(inTurn, source_.Problems());
  for (const char* category : {"messages", "message-attachments", "contacts", "call-history", "app-photos"}) {
    EXPECT_NE(expected.find("problem " + std::string(category) + "|"), std::string::npos) << category;
  }
  for (const char* record : {"\ncontact ", "\ncall ", "\nattachment ", "\napp ", "\nwhatsapp media "}) {
    EXPECT_NE(expected.find(record), std::string::npos) << record;  // damaged, yet read in part
  }

  // Through the plan, several times (how far the thread ahead has come
  // when each step asks differs from run to run).
  for (int run = 0; run < 3; ++run) {
    ReleaseCarvedFiles();
    catalog_->SelectBackup(info);
    ScanDriver driver;
    source_.SetProgressCallback(&ScanDriver::ReportTrampoline, &driver);
    ScanResults planned;
    std::map<std::string, Status> statusOf;
    ScanDriver::Events events;
    events.stepDone = [&statusOf](size_t, const ScanStep& step, Status st) { statusOf[step.name] = st; };
    std::vector<ScanStep> plan;
    for (ScanStep& step : BuildScanPlan(source_, all, planned)) {
      if (step.name == "messages" || step.name == "message attachments" || step.name == "contacts" ||
          step.name == "call history" || step.name == "application media" || step.name == "WhatsApp attachments") {
        plan.push_back(std::move(step));
      }
    }
    ASSERT_EQ(plan.size(), 6u);
    ASSERT_EQ(driver.Start([&] { return source_.Open(""); }, std::move(plan), events), 0);
    driver.Wait();
    EXPECT_EQ(Delivered(planned, source_.Problems()), expected) << "run " << run;
    EXPECT_EQ((std::vector<Status>{statusOf["messages"], statusOf["message attachments"], statusOf["contacts"],
                                   statusOf["call history"], statusOf["application media"],
                                   statusOf["WhatsApp attachments"]}),
              inTurnStatus);
  }
  ReleaseCarvedFiles();
}

// A scan cancelled while the messages are read stops, with the work begun
// beside them ended before the end is reported: nothing of the later
// categories is delivered or said, the driver may go at once, and the next
// scan of the same catalog reads everything again. The cancel comes as the
// messages begin (their scan and the work beside them both see it), or
// once they are read (the work beside them is never taken).
TEST_P(FullScan, CancelDuringTheMessagesEndsTheWorkBegunBesideThem) {
  const fs::path folder = DamagedForAhead(root_ / "backups" / "cancelled", GetParam());
  ASSERT_FALSE(folder.empty());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(folder, info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  std::vector<ContactRecord> plain;
  source_.ScanContacts(plain);
  const std::vector<Problem> plainProblems = source_.Problems();
  CategorySet all;
  for (int c = 1; c <= kCategoryCount; ++c) all.insert(static_cast<Category>(c));
  for (const bool before : {true, false}) {
    ReleaseCarvedFiles();
    catalog_->SelectBackup(info);
    ScanResults results;
    ScanOutcome outcome = ScanOutcome::kCompleted;
    {
      auto driver = std::make_unique<ScanDriver>();
      ScanDriver* d = driver.get();
      source_.SetProgressCallback(&ScanDriver::ReportTrampoline, d);
      std::vector<ScanStep> plan = BuildScanPlan(source_, all, results);
      for (ScanStep& step : plan) {
        if (step.name != "messages") continue;
        step.run = [d, before, run = step.run] {
          if (before) d->Cancel();
          const Status st = run();
          if (!before) d->Cancel();
          return st;
        };
      }
      ScanDriver::Events events;
      events.finished = [&outcome](ScanOutcome o, Status) { outcome = o; };
      ASSERT_EQ(d->Start([&] { return source_.Open(""); }, std::move(plan), events), 0);
      d->Wait();
    }  // the driver goes: nothing may report to it any more
    EXPECT_EQ(outcome, ScanOutcome::kCancelled);
    EXPECT_TRUE(results.messageAttachments.empty() && results.contacts.empty() && results.calls.empty() &&
                results.appMedia.empty());
    for (const Problem& p : source_.Problems()) {
      EXPECT_TRUE(p.category == "messages" || p.category == "camera-roll" || p.category == "photo-stream" ||
                  p.category.empty())
          << p.Text();
    }
  }
  // The catalog scans again, whole.
  ProgressLog log;
  source_.SetProgressCallback(&ProgressLog::Callback, &log);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  std::vector<ContactRecord> again;
  source_.ScanContacts(again);
  EXPECT_FALSE(again.empty());
  EXPECT_EQ(again.size(), plain.size());
  EXPECT_EQ(source_.Problems().size(), plainProblems.size());
  ReleaseCarvedFiles();
}

// Work begun ahead and never taken is let go: by the next Open, and by the
// catalog's end while it still runs.
TEST_P(FullScan, WorkAheadNobodyTookIsLetGo) {
  gen::BackupWriter writer(root_ / "backups" / "untaken", GetParam());
  for (const gen::Family& f : gen::Families()) f.add(writer, gen::FamilyOptions{});
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  AheadOperations every;
  every.messageAttachments = every.contacts = every.callHistory = every.appMedia = true;
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);
  std::vector<ContactRecord> plain;
  ASSERT_EQ(source_.ScanContacts(plain), 0);
  ASSERT_FALSE(plain.empty());

  source_.BeginAhead(every);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open(""), 0);  // a new scan: what was begun is dropped
  std::vector<ContactRecord> again;
  ASSERT_EQ(source_.ScanContacts(again), 0);
  EXPECT_EQ(again.size(), plain.size());
  EXPECT_TRUE(source_.Problems().empty());

  source_.BeginAhead(every);
  source_.BeginAhead(every);  // begun twice: the first is waited for
  catalog_.reset();           // ends while the work may still run
  ReleaseCarvedFiles();
}

// Encrypted backups of both eras open through the companion beside the
// test program: the right password reads the deciphered copy, a wrong one
// answers -110 and leaves nothing behind.
class EncryptedScan : public LocalSource, public ::testing::WithParamInterface<gen::Era> {};

TEST_P(EncryptedScan, RightPasswordReadsTheCopyWrongOneGivesMinus110) {
  gen::BackupWriter writer(root_ / "backups" / "locked", GetParam());
  gen::EncryptionOptions encryption;
  encryption.password = "pass word ü";
  writer.EncryptWith(encryption);
  for (const gen::Family& f : gen::Families()) {
    if (std::string(f.name) == "contacts" || std::string(f.name) == "notes") f.add(writer, gen::FamilyOptions{});
  }
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  ASSERT_TRUE(info.encrypted);
  catalog_->SelectBackup(info);

  EXPECT_EQ(source_.Open("not it"), status::kWrongPassword);
  EXPECT_TRUE(fs::is_empty(root_ / "work"));

  catalog_->SelectBackup(info);
  ProgressLog log;
  source_.SetProgressCallback(&ProgressLog::Callback, &log);
  ASSERT_EQ(source_.Open("pass word ü"), 0);
  EXPECT_NE(catalog_->currentFolder(), writer.folder());  // later scans read the copy
  EXPECT_FALSE(catalog_->index().empty());
  EXPECT_TRUE(std::is_sorted(log.values.begin(), log.values.end()));
  std::vector<ContactRecord> contacts;
  EXPECT_EQ(source_.ScanContacts(contacts), 0);
  EXPECT_FALSE(contacts.empty());
  std::vector<NoteRecord> notes;
  EXPECT_EQ(source_.ScanNotes(notes), 0);
  EXPECT_FALSE(notes.empty());
  const fs::path copy = catalog_->currentFolder();
  catalog_->CleanUp();
  EXPECT_FALSE(fs::exists(copy));
}

TEST_P(EncryptedScan, TheMessagesLogIsDecipheredAndReadWithItsDatabase) {
  gen::BackupWriter writer(root_ / "backups" / "lockedlog", GetParam());
  gen::EncryptionOptions encryption;
  encryption.password = "pw";
  writer.EncryptWith(encryption);
  gen::AddCurrentMessagesFamily(writer, {});
  ASSERT_TRUE(writer.Finish());
  BackupInfo info;
  ASSERT_EQ(ReadBackupInfo(writer.folder(), info), 0);
  catalog_->SelectBackup(info);
  ASSERT_EQ(source_.Open("pw"), 0);
  ConversationMap conversations;
  ASSERT_EQ(source_.ScanMessages(conversations), 0);
  const std::set<std::string> texts = MessageTexts(conversations);
  EXPECT_TRUE(texts.count("Newest message 2, not yet in the database file"));
  EXPECT_TRUE(source_.Problems().empty());
  catalog_->CleanUp();
}

INSTANTIATE_TEST_SUITE_P(BothEras, EncryptedScan, ::testing::Values(gen::Era::Mbdb, gen::Era::ManifestDb));
