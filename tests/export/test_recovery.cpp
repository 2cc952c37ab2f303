// The recovery run end to end over hand-made records: layout, names,
// counting, escaping, failures and cancel.
#include <gtest/gtest.h>

#include <set>

#include "export/names.h"
#include "export/recovery.h"
#include "tests/export/strict_readers.h"
#include "tests/export/temp_folder.h"

namespace orbanix {
namespace {

constexpr int64_t kStamp1 = 1418000000;  // 20141208005320 in UTC
constexpr int64_t kStamp2 = 1418000001;

// A copy in two halves, reporting 50 and 100, as the data sources do.
Status HalfCopy(const fs::path& from, const fs::path& to, const ReportFn& report) {
  std::error_code ec;
  if (!fs::is_regular_file(from, ec)) {
    report(100, status::kBadData, to);
    return status::kBadData;
  }
  const std::string bytes = ReadAll(from);
  std::ofstream out(to, std::ios::binary);
  if (bytes.empty()) return status::kOk;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
  out.flush();
  if (int answer = report(50, 0, to); answer != 0) return answer;
  out.write(bytes.data() + bytes.size() / 2, static_cast<std::streamsize>(bytes.size() - bytes.size() / 2));
  out.flush();
  return report(100, 0, to);
}

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    templates_ = dir_.path() / "template";
    fs::create_directories(templates_);
    for (const char* name : {"CallHistory.html", "Notes.html", "contacts.html", "Sms.html", "WhatsApp.html", "Calendar.html",
                           "Reminders.html", "Safari.html"}) {
      WriteAll(templates_ / name, std::string("<h1>{|title|}</h1><p>{|person|}</p>\r\n{|content|}</end>"));
    }
    sources_ = dir_.path() / "backup";
    fs::create_directories(sources_);
    out_ = dir_.path() / "out";
    source_.copyFile = HalfCopy;
    source_.dumpMessageRows = [this](const fs::path& p, const MessageRowFilter&) {
      ++messageDumps_;
      WriteAll(p, "1,\"hi\"\r\n");
      return status::kOk;
    };
    source_.dumpContactRows = [this](const fs::path& p, const ContactRowFilter&) {
      WriteAll(p, "1,\"Anna\"\r\n");
      return status::kOk;
    };
  }

  fs::path Source(const std::string& name, const std::string& bytes) {
    const fs::path p = sources_ / name;
    WriteAll(p, bytes);
    return p;
  }

  RecoveryResult Recover(int64_t when = kStamp1, RecoveryProgress* progress = nullptr) {
    CStatisticsObj selection;
    SelectAll(selection, records_);
    for (const void* id : untick_) selection.SetTicked(id, false);
    RecoveryOptions options;
    options.outputRoot = out_;
    options.templateFolder = templates_;
    options.deviceName = "Ann's iPhone";
    options.startTime = when;
    options.jsonLines = json_;
    RecoveryProgress own(events_);
    return RunRecovery(selection, records_, source_, options, progress ? *progress : own);
  }

  // Every file under the output folder, relative to it.
  std::set<std::string> Files() const {
    std::set<std::string> files;
    std::error_code ec;
    if (!fs::exists(out_, ec)) return files;
    for (const auto& e : fs::recursive_directory_iterator(out_)) {
      if (e.is_regular_file()) files.insert(fs::relative(e.path(), out_).string());
    }
    return files;
  }

  TempFolder dir_;
  fs::path templates_, sources_, out_;
  RecoveryOutputSource source_;
  RecoveryRecords records_;
  RecoveryProgress::Events events_;
  std::vector<const void*> untick_;
  int messageDumps_ = 0;
  bool json_ = false;
};

TEST_F(RecoveryTest, NothingTickedWritesNothing) {
  std::vector<MediaItem> photos{{5, "IMG_0001.JPG", Source("a", "12345")}};
  std::vector<NoteRecord> notes(1);
  records_.cameraRoll = &photos;
  records_.notes = &notes;
  untick_ = {&photos[0], &notes[0]};
  const RecoveryResult r = Recover();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.counts.done, 0);
  EXPECT_EQ(r.counts.total, 0);
  EXPECT_TRUE(Files().empty());
}

TEST_F(RecoveryTest, MissingTemplateFailsBeforeAnythingIsWritten) {
  fs::remove(templates_ / "WhatsApp.html");
  std::vector<MediaItem> photos{{5, "IMG_0001.JPG", Source("a", "12345")}};
  records_.cameraRoll = &photos;
  const RecoveryResult r = Recover();
  EXPECT_EQ(r.status, ENOENT);
  EXPECT_NE(r.error.find("WhatsApp.html"), std::string::npos) << r.error;
  EXPECT_FALSE(fs::exists(out_));
}

TEST_F(RecoveryTest, LayoutOfEveryCategoryAndOneCompletionPerItem) {
  std::vector<MediaItem> roll{{5, "IMG_0001.JPG", Source("r", "12345")}};
  std::vector<MediaItem> stream{{3, "IMG_0002.JPG", Source("s", "abc")}};
  std::vector<AppMediaItem> apps{{4, "example.app", "clip.MOV", Source("v", "movi")},
                                 {4, "example.app", "pic.PNG", Source("p", "png!")}};
  std::vector<AttachmentFile> atts{{0, 2, "photo.JPG", Source("t", "at")}};
  std::vector<MediaItem> wa{{2, "wa.JPG", Source("w", "wa")}};
  ConversationMap conversations;
  MessageRecord m;
  m.handleId = 7;
  m.contactName = "Anna";
  m.address = "A";
  m.date = LocalDate::FromText("2014-01-01 10:00:00");
  m.text = "hello";
  conversations[7].push_back(m);
  const std::vector<MessageRecord> rows = ConversationRows(conversations);
  std::vector<ContactRecord> contacts(2);
  contacts[0].name = "Anna";
  contacts[0].phones = "1\n2\n3";
  contacts[1].name = "Ben";
  std::vector<CallRecord> calls(1);
  calls[0].duration = 3725;
  std::vector<NoteRecord> notes(1);
  notes[0].title = "Shopping";
  WhatsAppChatMap chats;
  ChatMessageRecord c;
  c.chatId = 3;
  c.partnerName = "Bob";
  c.partnerAddress = "+49";
  c.senderName = "Bob";
  c.senderAddress = "+49";
  c.text = "one, two";
  c.date = "2014-01-01 11:00:00";
  chats[3].push_back(c);
  const std::vector<ChatMessageRecord> chatRows = ChatRows(chats);
  records_ = {&roll, &stream, &apps, nullptr, nullptr, &atts, &wa, &conversations, &rows, &contacts, &calls, &notes, &chats, &chatRows};

  std::vector<std::string> completions;
  events_.completed = [&](const fs::path& p, Status st, const std::string&) {
    completions.push_back(fs::relative(p, out_).string() + (st ? "!" : ""));
  };
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(r.stamp, "20141208005320");
  const std::string s = r.stamp;
  EXPECT_EQ(Files(), (std::set<std::string>{
                         "Camera Roll/IMG_0001.JPG", "Photo Stream/IMG_0002.JPG", "App Video/example.app/clip.MOV",
                         "App Photos/example.app/pic.PNG", "Message Attachments/photo.JPG",
                         "WhatsApp Attachments/wa.JPG", "Message/Anna-" + s + "/Anna(A).txt",
                         "Message/Anna-" + s + "/Anna(A).html", "Message/sms.csv", "Contacts/" + s + "/Contacts.html",
                         "Contacts/" + s + "/Contacts.csv", "Contacts/" + s + "/Contacts.vcf", "CallHistory/CallHistory_" + s + ".html",
                         "Notes/Notes_" + s + ".html", "WhatsApp Message/Bob(+49)-" + s + "/Bob(+49).txt",
                         "WhatsApp Message/Bob(+49)-" + s + "/Bob(+49).csv",
                         "WhatsApp Message/Bob(+49)-" + s + "/Bob(+49).html"}));
  // One completion per item: 6 copies, 1 conversation, 1 chat, 2 contacts, 1 call, 1 note.
  EXPECT_EQ(r.counts.total, 12);
  EXPECT_EQ(r.counts.done, 12);
  EXPECT_EQ(r.counts.failed, 0);
  EXPECT_EQ(std::count(completions.begin(), completions.end(), "Contacts/" + s + "/Contacts.html"), 2);
  EXPECT_EQ(ReadAll(out_ / "Camera Roll/IMG_0001.JPG"), "12345");
  const std::string contactsHtml = ReadAll(out_ / ("Contacts/" + s + "/Contacts.html"));
  EXPECT_NE(contactsHtml.find("<h1>iPhone&#39;s Contacts of Ann&#39;s iPhone</h1>"), std::string::npos);
  EXPECT_NE(contactsHtml.find("<td>1<br />2<br />3</td>"), std::string::npos);
  EXPECT_NE(ReadAll(out_ / ("CallHistory/CallHistory_" + s + ".html")).find("<td>Outgoing</td><td>1 Hour 2 Min</td>"),
            std::string::npos);
  const std::string smsHtml = ReadAll(out_ / ("Message/Anna-" + s + "/Anna(A).html"));
  EXPECT_NE(smsHtml.find("<p>Name: Anna, Phone: A</p>"), std::string::npos);
  EXPECT_NE(ReadAll(out_ / ("WhatsApp Message/Bob(+49)-" + s + "/Bob(+49).csv")).find(",Received,\"one, two\",,,\r\n"),
            std::string::npos);
  EXPECT_EQ(messageDumps_, 1);

  // A second run a second later keeps the first run's documents.
  const RecoveryResult again = Recover(kStamp2);
  ASSERT_EQ(again.status, 0);
  EXPECT_TRUE(fs::exists(out_ / ("Notes/Notes_" + again.stamp + ".html")));
  EXPECT_TRUE(fs::exists(out_ / ("Notes/Notes_" + s + ".html")));
  EXPECT_TRUE(fs::exists(out_ / ("Message/Anna-" + again.stamp + "/Anna(A).html")));
  EXPECT_TRUE(fs::exists(out_ / "Camera Roll/IMG_0001(1).JPG"));
}

TEST_F(RecoveryTest, ThreePhotosOfOneNameAndAnEmptySourceAreAllCounted) {
  std::vector<MediaItem> roll{{1, "IMG_0001.JPG", Source("1", "a")},
                              {1, "IMG_0001.JPG", Source("2", "b")},
                              {0, "IMG_0001.JPG", Source("3", "")}};
  records_.cameraRoll = &roll;
  const RecoveryResult r = Recover();
  EXPECT_EQ(Files(), (std::set<std::string>{"Camera Roll/IMG_0001.JPG", "Camera Roll/IMG_0001(1).JPG",
                                            "Camera Roll/IMG_0001(2).JPG"}));
  EXPECT_EQ(ReadAll(out_ / "Camera Roll/IMG_0001(2).JPG"), "");
  EXPECT_EQ(r.counts.done, 3);
  EXPECT_EQ(r.counts.failed, 0);
}

TEST_F(RecoveryTest, HostileNamesStayInsideTheOutputFolder) {
  std::vector<MediaItem> roll{{1, "../../x", Source("1", "a")}, {1, "a/b", Source("2", "b")}};
  std::vector<AppMediaItem> apps{{1, "../..", "../../y.PNG", Source("3", "c")}};
  ConversationMap conversations;
  MessageRecord m;
  m.handleId = 1;
  m.contactName = "../../evil";
  m.address = "/etc/passwd";
  conversations[1].push_back(m);
  const auto rows = ConversationRows(conversations);
  WhatsAppChatMap chats;
  ChatMessageRecord c;
  c.chatId = 1;
  c.partnerName = "..";
  c.partnerAddress = "a/b";
  chats[1].push_back(c);
  const auto chatRows = ChatRows(chats);
  records_.cameraRoll = &roll;
  records_.appMedia = &apps;
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  records_.chats = &chats;
  records_.chatRows = &chatRows;
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.counts.failed, 0);
  const std::set<std::string> files = Files();
  EXPECT_EQ(files.size(), 2u + 1u + 2u + 1u + 3u);  // photos, app, conversation, sms.csv, chat
  EXPECT_TRUE(files.count("Camera Roll/____x"));
  EXPECT_TRUE(files.count("Camera Roll/a_b"));
  // Nothing landed beside the output folder or the backup.
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(dir_.path())) top.insert(e.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"backup", "out", "template"}));
  for (const std::string& f : files) EXPECT_TRUE(IsInsideFolder(out_, out_ / f)) << f;
}

TEST_F(RecoveryTest, RecordTextIsEscapedAndUnknownConversationsAreNamedUnknown) {
  ConversationMap conversations;
  MessageRecord m;
  m.handleId = 4;
  m.text = "<script>alert(1)</script>";
  m.date = LocalDate::FromText("2014-01-01 10:00:00");
  conversations[4].push_back(m);
  const auto rows = ConversationRows(conversations);
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  const RecoveryResult r = Recover();
  const fs::path html = out_ / ("Message/Unknown-" + r.stamp) / "Unknown.html";
  ASSERT_TRUE(fs::exists(html));
  EXPECT_TRUE(fs::exists(out_ / ("Message/Unknown-" + r.stamp) / "Unknown.txt"));
  const std::string text = ReadAll(html);
  EXPECT_EQ(text.find("<script>"), std::string::npos);
  EXPECT_NE(text.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(text.find("<p>Name: Unknown, Phone: </p>"), std::string::npos);
}

TEST_F(RecoveryTest, AConversationWithoutMessagesGetsHeadAndTailAndCounts) {
  ConversationMap conversations;
  std::vector<MessageRecord> rows(1);
  rows[0].handleId = 99;  // not in the map
  rows[0].contactName = "Anna";
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  const RecoveryResult r = Recover();
  EXPECT_EQ(r.counts.done, 1);
  EXPECT_EQ(ReadAll(out_ / ("Message/Anna-" + r.stamp) / "Anna.html"),
            "<h1>iPhone&#39;s Messages of Ann&#39;s iPhone</h1><p>Name: Anna, Phone: </p>\r\n</end>");
}

TEST_F(RecoveryTest, FailuresAreCountedWithTheirFilesAndTxtFailuresAreNotSilent) {
  std::vector<MediaItem> roll{{1, "gone.JPG", sources_ / "missing"}};
  std::vector<MessageRecord> rows(1);
  rows[0].contactName = "Anna";
  ConversationMap conversations;
  records_.cameraRoll = &roll;
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  // A file where the conversation's folder must go.
  fs::create_directories(out_ / "Message");
  WriteAll(out_ / "Message" / "Anna-20141208005320", "in the way");
  std::vector<std::string> failures;
  events_.completed = [&](const fs::path& p, Status st, const std::string& text) {
    if (st != 0) failures.push_back(p.filename().string() + ": " + text);
  };
  const RecoveryResult r = Recover();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.counts.failed, 3);  // the copy, the TXT and the HTML
  EXPECT_EQ(r.counts.done, r.counts.total);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0], "gone.JPG: The source file is missing or cannot be read");
  EXPECT_EQ(failures[1].rfind("Anna.txt: ", 0), 0u) << failures[1];
  EXPECT_FALSE(fs::exists(out_ / "Camera Roll/gone.JPG"));
}

TEST_F(RecoveryTest, ACancelStopsTheWalkAtOnceAndRemovesThePartialCopy) {
  std::vector<MediaItem> roll{{4, "a.JPG", Source("1", "aaaa")}, {4, "b.JPG", Source("2", "bbbb")}};
  std::vector<NoteRecord> notes(1);
  records_.cameraRoll = &roll;
  records_.notes = &notes;
  RecoveryProgress progress;
  int copies = 0;
  source_.copyFile = [&](const fs::path& from, const fs::path& to, const ReportFn& report) {
    ++copies;
    return HalfCopy(from, to, [&](int percent, Status st, const fs::path& p) {
      if (percent == 50) progress.Cancel();  // the user confirms a cancel mid-file
      return report(percent, st, p);
    });
  };
  const RecoveryResult r = Recover(kStamp1, &progress);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.status, status::kCancelled);
  EXPECT_EQ(copies, 1);
  EXPECT_EQ(r.counts.done, 0);
  EXPECT_TRUE(Files().empty());  // no half file, no notes document
}

TEST_F(RecoveryTest, ACancelAfterAFinishedCopyKeepsThatCopy) {
  std::vector<MediaItem> roll{{4, "a.JPG", Source("1", "aaaa")}, {4, "b.JPG", Source("2", "bbbb")}};
  records_.cameraRoll = &roll;
  RecoveryProgress progress;
  source_.copyFile = [&](const fs::path& from, const fs::path& to, const ReportFn& report) {
    const Status st = HalfCopy(from, to, report);
    progress.Cancel();  // confirmed right after the first file was done
    return st;
  };
  const RecoveryResult r = Recover(kStamp1, &progress);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.counts.done, 1);
  EXPECT_EQ(Files(), std::set<std::string>{"Camera Roll/a.JPG"});
}

TEST_F(RecoveryTest, ACancelDuringAConversationRemovesItsFiles) {
  ConversationMap conversations;
  for (int i = 0; i < 3; ++i) {
    MessageRecord m;
    m.handleId = 1;
    m.contactName = "Anna";
    m.text = "m" + std::to_string(i);
    conversations[1].push_back(m);
  }
  const auto rows = ConversationRows(conversations);
  std::vector<NoteRecord> notes(1);
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  records_.notes = &notes;
  std::vector<int> percents;
  RecoveryProgress* self = nullptr;
  RecoveryProgress::Events ev;
  ev.progress = [&](int percent, const fs::path&) {
    percents.push_back(percent);
    if (percent == 33) self->Cancel();  // confirmed while the HTML is built
  };
  RecoveryProgress progress(ev);
  self = &progress;
  const RecoveryResult r = Recover(kStamp1, &progress);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(percents, std::vector<int>{33});
  EXPECT_EQ(r.counts.done, 0);
  EXPECT_TRUE(Files().empty());  // neither the TXT nor a partial HTML, no notes document, no sms.csv
  EXPECT_EQ(messageDumps_, 0);
}

TEST_F(RecoveryTest, ApplicationFoldersGroupTheirFilesAndAnUntickedFolderIsSkipped) {
  AppMediaByName photos;
  photos["example.app"] = {{1, "example.app", "a.PNG", Source("1", "a")}, {1, "example.app", "b.PNG", Source("2", "b")}};
  photos["other"] = {{1, "other", "c.PNG", Source("3", "c")}};
  records_.appPhotos = &photos;
  CStatisticsObj selection;
  SelectAll(selection, records_);
  selection.SetTicked(&photos["example.app"][1], false);
  EXPECT_EQ(selection.FolderState(&photos["example.app"]), FolderCheck::kPartial);
  selection.SetTicked(&photos["other"], false);
  RecoveryOptions options;
  options.outputRoot = out_;
  options.templateFolder = templates_;
  RecoveryProgress progress;
  const RecoveryResult r = RunRecovery(selection, records_, source_, options, progress);
  EXPECT_EQ(r.counts.done, 1);
  EXPECT_EQ(Files(), std::set<std::string>{"App Photos/example.app/a.PNG"});
}

// The conversations and contacts that were not chosen stay out of the row
// dumps; the vCard file holds exactly the chosen contacts.
TEST_F(RecoveryTest, RowDumpsAndTheVCardFileHoldOnlyWhatWasChosen) {
  ConversationMap conversations;
  for (int64_t handle : {1, 2, 3}) {
    MessageRecord m;
    m.handleId = handle;
    m.address = "+1555000" + std::to_string(handle);
    m.text = "hi";
    conversations[handle].push_back(m);
  }
  const std::vector<MessageRecord> rows = ConversationRows(conversations);
  std::vector<ContactRecord> contacts(3);
  contacts[0].name = "Anna";
  contacts[0].phones = "111";
  contacts[1].name = "Ben";
  contacts[1].phones = "222";
  contacts[2].name = "Cleo; \"the\", boss";
  contacts[2].phones = "333";
  contacts[2].deleted = 1;
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  records_.contacts = &contacts;
  for (const MessageRecord& r : rows) {
    if (r.handleId == 2) untick_.push_back(&r);
  }
  untick_.push_back(&contacts[1]);

  std::vector<int64_t> handlesKept;
  std::vector<std::string> contactsKept;
  source_.dumpMessageRows = [&](const fs::path& p, const MessageRowFilter& keep) {
    for (int64_t h = 0; h <= 4; ++h) {
      if (keep && keep(MessageRowKey{h, 0})) handlesKept.push_back(h);
    }
    WriteAll(p, "");
    return status::kOk;
  };
  source_.dumpContactRows = [&](const fs::path& p, const ContactRowFilter& keep) {
    // The rows as the table would give them: the chosen ones, one not
    // chosen, and one that only looks like a chosen one.
    ContactRecord lookalike = contacts[0];
    lookalike.deleted = 1;
    for (const ContactRecord& c : {contacts[0], contacts[1], contacts[2], lookalike}) {
      if (keep && keep(c)) contactsKept.push_back(c.name + (c.deleted ? "(deleted)" : ""));
    }
    WriteAll(p, "");
    return status::kOk;
  };
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(handlesKept, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(contactsKept, (std::vector<std::string>{"Anna", "Cleo; \"the\", boss(deleted)"}));

  std::vector<strict::VCard> cards;
  std::string error;
  ASSERT_TRUE(strict::ReadVCards(ReadAll(out_ / "Contacts" / r.stamp / "Contacts.vcf"), cards, error)) << error;
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].Find("FN")->parts.front(), "Anna");
  EXPECT_EQ(cards[1].Find("FN")->parts.front(), "Cleo; \"the\", boss");
  EXPECT_NE(cards[1].Find("X-ORBANIX-DELETED"), nullptr);
  EXPECT_EQ(cards[0].Find("X-ORBANIX-DELETED"), nullptr);
  EXPECT_EQ(r.counts.failed, 0);
}

// A group chat's rows carry their members' handles: the rows of the group go
// with the group, the members' one-to-one rows with their own conversations.
TEST_F(RecoveryTest, TheRowDumpOfAGroupChatHoldsOnlyTheGroupsRows) {
  ConversationMap conversations;
  const int64_t group = GroupConversationKey(7);
  auto add = [&](int64_t key, int64_t handle, int64_t rowId) {
    MessageRecord m;
    m.handleId = key;
    m.rowId = rowId;
    m.address = "+1555000" + std::to_string(handle);
    m.text = "row " + std::to_string(rowId);
    if (key == group) {
      m.group = true;
      m.Detail().senderHandleId = handle;
    }
    conversations[key].push_back(m);
  };
  add(group, 1, 10);
  add(group, 2, 11);
  add(1, 1, 5);   // Anna alone
  add(2, 2, 6);   // Ben alone
  add(2, 2, 0);   // Ben alone, recovered without its rowid
  const std::vector<MessageRecord> rows = ConversationRows(conversations);
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  for (const MessageRecord& r : rows) {
    if (r.handleId != group) untick_.push_back(&r);
  }
  std::vector<int64_t> rowsKept;
  source_.dumpMessageRows = [&](const fs::path& p, const MessageRowFilter& keep) {
    // The table's rows: handle and rowid as the dump reads them; 12 is a
    // reaction in the group (not a message of its own), 13 a row recovered
    // without its rowid from Ben.
    const std::vector<MessageRowKey> table = {{1, 10}, {2, 11}, {1, 5}, {2, 6}, {1, 12}, {2, 0}};
    for (const MessageRowKey& row : table) {
      if (keep && keep(row)) rowsKept.push_back(row.rowId);
    }
    WriteAll(p, "");
    return status::kOk;
  };
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(rowsKept, (std::vector<int64_t>{10, 11}));

  // Ben's conversation chosen instead: his rows, not his group messages.
  untick_.clear();
  for (const MessageRecord& r2 : rows) {
    if (r2.handleId != 2) untick_.push_back(&r2);
  }
  rowsKept.clear();
  const RecoveryResult again = Recover();
  ASSERT_EQ(again.status, 0) << again.error;
  EXPECT_EQ(rowsKept, (std::vector<int64_t>{6, 0}));
}

// A group chat's document names the member of each received message and
// the group as the party of the owner's messages.
TEST_F(RecoveryTest, AGroupChatDocumentNamesItsMembersAndTheGroup) {
  ConversationMap conversations;
  const int64_t group = GroupConversationKey(3);
  auto add = [&](const char* sender, const char* senderAddress, int fromMe, const char* text) {
    MessageRecord m;
    m.handleId = group;
    m.group = true;
    m.fromMe = fromMe;
    m.contactName = "Hiking Club";
    m.address = "+15550001, +15550002";
    m.date = LocalDate::FromText("2023-10-26 08:15:00");
    m.text = text;
    m.Detail().senderName = sender;
    m.Detail().senderAddress = senderAddress;
    conversations[group].push_back(m);
  };
  add("Ann Lee", "+15550001", 0, "Trail at 9?");
  add("", "", 1, "Count me in");
  const std::vector<MessageRecord> rows = ConversationRows(conversations);
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0) << r.error;
  std::string txt;
  for (const auto& e : fs::recursive_directory_iterator(out_)) {
    if (e.path().extension() == ".txt") txt = ReadAll(e.path());
  }
  ASSERT_FALSE(txt.empty());
  EXPECT_NE(txt.find("From: Ann Lee(+15550001)"), std::string::npos) << txt;
  EXPECT_NE(txt.find("To: Hiking Club(+15550001, +15550002)"), std::string::npos) << txt;
}

// With the JSON option every chosen record is one line of its category's
// file, and a message names where its attachment was copied, even when the
// attachment was written after the message.
TEST_F(RecoveryTest, JsonLinesFilesHoldEveryChosenRecordAndTheCopiesPaths) {
  json_ = true;
  std::vector<AttachmentFile> atts{{0, 2, "IMG_0007.JPG", Source("t", "at")},
                                   {0, 3, "unrelated.PNG", Source("u", "un")}};
  std::vector<MediaItem> roll{{5, "IMG_0001.JPG", Source("r", "12345")}};
  ConversationMap conversations;
  for (int i = 0; i < 3; ++i) {
    MessageRecord m;
    m.handleId = 9;
    m.rowId = 10 + i;
    m.contactName = "Anna";
    m.address = "A";
    m.date = LocalDate::FromText("2014-01-01 10:00:0" + std::to_string(i));
    m.text = "line \"" + std::to_string(i) + "\"\n\x01";
    if (i == 1) m.attachmentName = "/var/mobile/Library/SMS/Attachments/07/IMG_0007.heic";
    conversations[9].push_back(m);
  }
  const std::vector<MessageRecord> rows = ConversationRows(conversations);
  std::vector<NoteRecord> notes(2);
  notes[0].title = "kept";
  notes[1].title = "not chosen";
  records_.attachments = &atts;
  records_.cameraRoll = &roll;
  records_.conversations = &conversations;
  records_.conversationRows = &rows;
  records_.notes = &notes;
  untick_ = {&notes[1]};
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(r.counts.failed, 0);
  const fs::path json = out_ / "JSON" / r.stamp;
  auto read = [&](const char* name) {
    std::vector<strict::JsonValue> objects;
    std::string error;
    EXPECT_TRUE(strict::ReadJsonLines(ReadAll(json / name), objects, error)) << name << ": " << error;
    return objects;
  };
  const auto messages = read("messages.jsonl");
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].Get("text")->text, "line \"0\"\n\x01");
  EXPECT_EQ(messages[1].Get("row_id")->text, "11");
  ASSERT_EQ(messages[1].Get("attachment_paths")->items.size(), 1u);
  EXPECT_EQ(messages[1].Get("attachment_paths")->items[0].text, "Message Attachments/IMG_0007.JPG");
  EXPECT_TRUE(messages[0].Get("attachment_paths")->items.empty());
  const auto notesJson = read("notes.jsonl");
  ASSERT_EQ(notesJson.size(), 1u);
  EXPECT_EQ(notesJson[0].Get("title")->text, "kept");
  const auto media = read("media.jsonl");
  ASSERT_EQ(media.size(), 3u);
  std::set<std::string> paths;
  for (const auto& m : media) paths.insert(m.Get("path")->text);
  EXPECT_EQ(paths, (std::set<std::string>{"Camera Roll/IMG_0001.JPG", "Message Attachments/IMG_0007.JPG",
                                          "Message Attachments/unrelated.PNG"}));
  // Categories without chosen records get no file.
  EXPECT_FALSE(fs::exists(json / "contacts.jsonl"));
  EXPECT_FALSE(fs::exists(json / "calls.jsonl"));

  // Without the option there is no JSON folder.
  json_ = false;
  const RecoveryResult plain = Recover(kStamp2);
  EXPECT_FALSE(fs::exists(out_ / "JSON" / plain.stamp));
}

// A JSON Lines file that cannot be written is a failure the user sees; the
// documents beside it are still written.
TEST_F(RecoveryTest, AJsonFolderThatCannotBeMadeIsCountedAsAFailure) {
  json_ = true;
  std::vector<NoteRecord> notes(1);
  notes[0].title = "n";
  records_.notes = &notes;
  fs::create_directories(out_);
  WriteAll(out_ / "JSON", "a file where the folder should be");
  std::vector<std::string> failed;
  events_.completed = [&](const fs::path& p, Status st, const std::string&) {
    if (st != 0) failed.push_back(p.filename().string());
  };
  const RecoveryResult r = Recover();
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(failed, (std::vector<std::string>{"notes.jsonl"}));
  EXPECT_EQ(r.counts.failed, 1);
  EXPECT_EQ(r.counts.done, r.counts.total);
  EXPECT_TRUE(fs::exists(out_ / ("Notes/Notes_" + r.stamp + ".html")));
}

TEST_F(RecoveryTest, OrganizerRecordsGiveTheirDocuments) {
  std::vector<CalendarEventRecord> events(2);
  events[0].summary = "Dentist <b>";
  events[0].start = 1400000000;
  events[0].end = 1400003600;
  events[1].summary = "Deleted lunch";
  events[1].start = 1400100000;
  events[1].deleted = 1;
  std::vector<ReminderRecord> reminders(1);
  reminders[0].title = "Milk & eggs";
  std::vector<SafariBookmarkRecord> bookmarks(1);
  bookmarks[0].title = "Apple";
  bookmarks[0].url = "https://www.apple.com/";
  bookmarks[0].folder = "Favourites";
  std::vector<SafariHistoryRecord> history(2);
  history[0].url = "https://a.example/";
  history[1].url = "https://b.example/";
  records_.events = &events;
  records_.reminders = &reminders;
  records_.safariBookmarks = &bookmarks;
  records_.safariHistory = &history;
  untick_ = {&history[1]};
  const RecoveryResult r = Recover();
  EXPECT_EQ(r.status, 0) << r.error;
  EXPECT_EQ(r.counts.total, 5);  // each record once, with its HTML document
  EXPECT_EQ(r.counts.done, 5);
  EXPECT_EQ(r.counts.failed, 0);
  const std::string s = r.stamp;
  EXPECT_EQ(Files(), (std::set<std::string>{"Calendar/Calendar_" + s + ".html", "Calendar/Calendar_" + s + ".csv",
                                            "Calendar/Calendar_" + s + ".ics", "Reminders/Reminders_" + s + ".html",
                                            "Reminders/Reminders_" + s + ".csv", "Reminders/Reminders_" + s + ".ics",
                                            "Safari/Safari_" + s + ".html", "Safari/Bookmarks_" + s + ".html",
                                            "Safari/Bookmarks_" + s + ".csv", "Safari/History_" + s + ".csv"}));
  const std::string calendar = ReadAll(out_ / "Calendar" / ("Calendar_" + s + ".html"));
  EXPECT_NE(calendar.find("Dentist &lt;b&gt;"), std::string::npos);
  EXPECT_NE(calendar.find("class=\"deleted\""), std::string::npos);
  EXPECT_NE(calendar.find("iPhone&#39;s Calendar of Ann&#39;s iPhone"), std::string::npos);
  const std::string ics = ReadAll(out_ / "Calendar" / ("Calendar_" + s + ".ics"));
  EXPECT_EQ(ics.rfind("BEGIN:VCALENDAR\r\n", 0), 0u);
  EXPECT_NE(ics.find("SUMMARY:Deleted lunch\r\n"), std::string::npos);
  // The unticked page is in neither document.
  const std::string historyCsv = ReadAll(out_ / "Safari" / ("History_" + s + ".csv"));
  EXPECT_NE(historyCsv.find("a.example"), std::string::npos);
  EXPECT_EQ(historyCsv.find("b.example"), std::string::npos);
  EXPECT_EQ(historyCsv.rfind("\xEF\xBB\xBFTitle,URL,", 0), 0u);
}

TEST_F(RecoveryTest, AFailedSideDocumentIsCountedBesideTheRecords) {
  std::vector<ReminderRecord> reminders(2);
  reminders[0].title = "one";
  reminders[1].title = "two";
  records_.reminders = &reminders;
  // A folder where the CSV file would go: the CSV cannot be written, the
  // HTML and the iCalendar file can.
  fs::create_directories(out_ / "Reminders" / ("Reminders_20141208005320.csv"));
  const RecoveryResult r = Recover(kStamp1);
  EXPECT_EQ(r.counts.total, 3);
  EXPECT_EQ(r.counts.done, 3);
  EXPECT_EQ(r.counts.failed, 1);
  EXPECT_TRUE(fs::exists(out_ / "Reminders" / "Reminders_20141208005320.html"));
}

}  // namespace
}  // namespace orbanix
