// The device source over a simulated phone built from the generator's
// families: what it fetches with and without the whole file system, the
// walks of the media folders and application containers, the chat copies,
// a full scan through the same driver and plan as a backup, the loss of the
// phone, and `orbanix scan --device` end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "device/device_source.h"
#include "device/imobiledevice_binding.h"
#include "phone_fixture.h"
#include "platform/text.h"
#include "sources/scan_plan.h"

using namespace orbanix;
using namespace orbanix::device;
using namespace orbanix::device::testing;

namespace {

// The phone is built once; every test gets fresh data and work folders.
class DeviceSource : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { phone_ = new Phone(BuildPhone(FreshFolder("phone"))); }
  static void TearDownTestSuite() {
    fs::remove_all(phone_->folder);
    delete phone_;
  }
  void SetUp() override { dir_ = FreshFolder("source"); }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<SimulatedDevice> MakePhone(bool root = true) {
    SimulatedPhoneOptions options = phone_->options;
    options.rootService = root;
    return std::make_unique<SimulatedDevice>(phone_->root, options);
  }
  std::unique_ptr<CDeviceRecovery> MakeSource(DeviceBinding& binding) {
    auto source = std::make_unique<CDeviceRecovery>(dir_ / "data", dir_ / "work");
    source->SetCatalog(&binding);
    return source;
  }

  // `orbanix scan ARGS` run beside the tests (working directory
  // <build>/bin) on the simulated phone in `phoneFolder`: its standard
  // output, and its exit code in `code`.
  std::string RunScan(const fs::path& phoneFolder, const std::string& args, int& code) {
    const std::string env = "ORBANIX_SIMULATED_PHONE='" + phoneFolder.string() + "' XDG_DATA_HOME='" +
                            (dir_ / "xdg").string() + "' ";
    std::string out;
    FILE* pipe = popen((env + "./orbanix scan " + args + " 2>/dev/null").c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    code = WEXITSTATUS(pclose(pipe));
    return out;
  }

  static Phone* phone_;
  fs::path dir_;
};

Phone* DeviceSource::phone_ = nullptr;

size_t MessageCount(const ConversationMap& conversations) {
  size_t n = 0;
  for (const auto& [handle, messages] : conversations) n += messages.size();
  return n;
}

}  // namespace

TEST_F(DeviceSource, RootFileSystemGivesEveryDatabase) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  EXPECT_TRUE(source->rootFileSystem());
  EXPECT_TRUE(source->relayArchive());
  EXPECT_FALSE(source->IsBackupSource(0));
  EXPECT_EQ(ReadBytes(source->LocalCopy(kAddressBookCopy)),
            ReadBytes(phone_->Library("AddressBook/AddressBook.sqlitedb")));
  EXPECT_EQ(ReadBytes(source->LocalCopy(kMessagesCopy)), ReadBytes(phone_->Library("SMS/sms.db")));
  EXPECT_EQ(ReadBytes(source->LocalCopy(kNotesCopy)), ReadBytes(phone_->Library("Notes/notes.sqlite")));
  EXPECT_EQ(ReadBytes(source->LocalCopy(kCallHistoryCopy)),
            ReadBytes(phone_->root / "private/var/wireless/Library/CallHistory/call_history.db"));

  // The copies read exactly as the phone's own files.
  ConversationMap viaPhone, direct;
  int64_t maxRow = 0;
  ASSERT_EQ(source->ScanMessages(viaPhone), 0);
  ASSERT_EQ(ScanMessages(phone_->Library("SMS/sms.db"), phone_->Library("AddressBook/AddressBook.sqlitedb"), direct,
                         maxRow),
            0);
  EXPECT_EQ(MessageCount(viaPhone), MessageCount(direct));
  EXPECT_GT(MessageCount(viaPhone), 0u);
  std::vector<NoteRecord> notes;
  ASSERT_EQ(source->ScanNotes(notes), 0);
  EXPECT_FALSE(notes.empty());
  std::vector<CallRecord> calls;
  ASSERT_EQ(source->ScanCallHistory(calls), 0);
  EXPECT_FALSE(calls.empty());
  std::vector<CallRecord> directCalls;
  ASSERT_EQ(ScanCallHistory(phone_->root / "private/var/wireless/Library/CallHistory/call_history.db",
                            phone_->Library("AddressBook/AddressBook.sqlitedb"), directCalls),
            0);
  ASSERT_EQ(calls.size(), directCalls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].address, directCalls[i].address);
    EXPECT_EQ(calls[i].name, directCalls[i].name);  // named from the address book's copy
  }
}

// A phone whose newest messages SQLite holds only in the database's
// write-ahead log: the log is fetched beside the copy and read with it.
TEST_F(DeviceSource, TheMessagesLogIsFetchedWithTheDatabase) {
  Phone phone = BuildPhone(FreshFolder("logphone"));
  const gen::CurrentSmsTruth truth = gen::BuildCurrentSmsDb(phone.Library("SMS/sms.db"), {});
  ASSERT_TRUE(fs::exists(phone.Library("SMS/sms.db-wal")));
  SimulatedPhoneOptions options = phone.options;
  options.rootService = true;
  SimulatedDevice device(phone.root, options);
  auto source = MakeSource(device);
  ASSERT_EQ(source->Open(""), 0);
  EXPECT_EQ(ReadBytes(source->LocalCopy(kMessagesCopy) += "-wal"), ReadBytes(phone.Library("SMS/sms.db-wal")));
  ConversationMap conversations;
  ASSERT_EQ(source->ScanMessages(conversations), 0);
  std::set<std::string> texts;
  for (const auto& [key, list] : conversations) {
    for (const MessageRecord& m : list) texts.insert(m.text);
  }
  int inLog = 0;
  for (const gen::CurrentSmsMessage& m : truth.messages) {
    if (!m.onlyInLog) continue;
    ++inLog;
    EXPECT_TRUE(texts.count(m.text)) << m.text;
  }
  EXPECT_EQ(inLog, 3);
  EXPECT_TRUE(source->Problems().empty());
  // A log the phone no longer has is not left beside the next copy.
  fs::remove(phone.Library("SMS/sms.db-wal"));
  ASSERT_EQ(source->Open(""), 0);
  EXPECT_FALSE(fs::exists(source->LocalCopy(kMessagesCopy) += "-wal"));
  fs::remove_all(phone.folder);
}

// A connected phone's notes come from both stores, as a backup's do: the
// current store is found among the app groups, and its attachments' files
// (a picture, a drawing's rendering, a preview) are fetched beside it.
TEST_F(DeviceSource, NotesOfBothStoresWithTheirFiles) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  std::vector<NoteRecord> notes;
  ASSERT_EQ(source->ScanNotes(notes), 0);
  // The old store's notes come first; both families have a "Long note".
  auto titled = [&](const std::string& title) -> const NoteRecord* {
    const auto it = std::find_if(notes.rbegin(), notes.rend(), [&](const NoteRecord& n) { return n.title == title; });
    return it == notes.rend() ? nullptr : &*it;
  };
  EXPECT_NE(titled("Shopping"), nullptr);  // notes.sqlite
  const std::vector<gen::GenStoreNote> truth = gen::NoteStoreRows({});
  for (const gen::GenStoreNote& g : truth) {
    SCOPED_TRACE(g.title);
    const NoteRecord* n = titled(g.title);
    ASSERT_NE(n, nullptr);
    if (g.password.empty()) {
      EXPECT_EQ(n->body, g.expected);
    }
    EXPECT_EQ(n->deleted, g.expectedDeleted ? 1 : 0);
  }
  const fs::path group = phone_->root / "private/var/mobile/Containers/Shared/AppGroup" / kNotesAppGroup;
  EXPECT_EQ(ReadBytes(source->LocalCopy(kNoteStoreCopy)), ReadBytes(group / "NoteStore.sqlite"));
  const NoteRecord* photo = titled("Photo note");
  ASSERT_NE(photo, nullptr);
  ASSERT_EQ(photo->attachments.size(), 1u);
  EXPECT_EQ(ReadBytes(photo->attachments[0].file),
            ReadBytes(group / "Accounts" / gen::kGenNotesAccountId / "Media" / gen::kGenNotesMediaId / "1_4E2B7F" /
                      "IMG_0001.jpeg"));
  const NoteRecord* sketch = titled("Sketch note");
  ASSERT_NE(sketch, nullptr);
  ASSERT_EQ(sketch->attachments.size(), 2u);
  EXPECT_EQ(ReadBytes(sketch->attachments[1].file),
            ReadBytes(group / "Accounts" / gen::kGenNotesAccountId / "Previews" /
                      (std::string(gen::kGenPreviewId) + ".png")));
  EXPECT_TRUE(source->Problems().empty());

  // A damaged current store is a warning while the old one gives notes.
  auto broken = FreshFolder("broken-phone");
  fs::copy(phone_->folder, broken, fs::copy_options::recursive);
  WriteBytes(broken / "FileSystem/private/var/mobile/Containers/Shared/AppGroup" / kNotesAppGroup / "NoteStore.sqlite",
             std::string(4096, 'x'));
  SimulatedPhoneOptions options = phone_->options;
  SimulatedDevice brokenPhone(broken / "FileSystem", options);
  auto brokenSource = MakeSource(brokenPhone);
  ASSERT_EQ(brokenSource->Open(""), 0);
  notes.clear();
  EXPECT_EQ(brokenSource->ScanNotes(notes), 0);
  EXPECT_NE(titled("Shopping"), nullptr);
  EXPECT_EQ(titled("Groceries"), nullptr);
  const std::vector<Problem> problems = brokenSource->Problems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].category, "notes");
  EXPECT_FALSE(problems[0].whole);
  fs::remove_all(broken);
}

TEST_F(DeviceSource, WithoutTheRootServiceMessagesContactsAndAttachmentsOnly) {
  auto phone = MakePhone(false);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  EXPECT_FALSE(source->rootFileSystem());
  EXPECT_TRUE(source->relayArchive());
  EXPECT_EQ(ReadBytes(source->LocalCopy(kMessagesCopy)), ReadBytes(phone_->Library("SMS/sms.db")));
  EXPECT_FALSE(fs::exists(source->LocalCopy(kNotesCopy)));

  ConversationMap conversations;
  EXPECT_EQ(source->ScanMessages(conversations), 0);
  EXPECT_GT(MessageCount(conversations), 0u);
  std::vector<ContactRecord> contacts;
  EXPECT_EQ(source->ScanContacts(contacts), 0);
  EXPECT_FALSE(contacts.empty());
  std::vector<AttachmentFile> attachments;
  EXPECT_EQ(source->ScanMessageAttachments(attachments), 0);
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0].name, "IMG_0100.JPG");
  EXPECT_EQ(ReadBytes(attachments[0].path), ReadBytes(phone_->Library("SMS/Attachments/0a/10/IMG_0100.JPG")));
  std::vector<NoteRecord> notes;
  EXPECT_EQ(source->ScanNotes(notes), 0);
  EXPECT_TRUE(notes.empty());
  std::vector<CallRecord> calls;
  EXPECT_EQ(source->ScanCallHistory(calls), 0);
  EXPECT_TRUE(calls.empty());

  // The media folder is the ordinary service's root.
  std::vector<MediaItem> roll, stream;
  ASSERT_EQ(source->ScanPhotos(roll, stream), 0);
  EXPECT_EQ(roll.size(), 3u);
  EXPECT_EQ(stream.size(), 1u);
}

TEST_F(DeviceSource, PhotosAreWalkedCopiedAndNamedBySniffedType) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  std::vector<MediaItem> roll, stream;
  ASSERT_EQ(source->ScanPhotos(roll, stream), 0);
  ASSERT_EQ(roll.size(), 3u);  // the text file and the empty file are passed over
  EXPECT_EQ(roll[0].name, "IMG_0001.JPG");
  EXPECT_EQ(roll[1].name, "IMG_0002.MOV");
  EXPECT_EQ(roll[2].name, "img_0003.PNG");
  EXPECT_EQ(roll[0].path, source->LocalCopy(PathDigestName("/private/var/mobile/Media/DCIM/100APPLE/IMG_0001.JPG").c_str()));
  EXPECT_EQ(ReadBytes(roll[0].path), ReadBytes(phone_->Media("DCIM/100APPLE/IMG_0001.JPG")));
  EXPECT_EQ(roll[0].size, fs::file_size(phone_->Media("DCIM/100APPLE/IMG_0001.JPG")));
  ASSERT_EQ(stream.size(), 1u);
  EXPECT_EQ(stream[0].name, "IMG_0500.JPG");

  // The copies live as long as the source.
  const fs::path copy = roll[0].path;
  source.reset();
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_FALSE(fs::exists(dir_ / "work" / kMessagesCopy));
}

// The phone's photo library marks the Camera Roll items in "Recently
// Deleted" and gives every item it knows its capture date, through either
// file service.
TEST_F(DeviceSource, ThePhotoLibraryMarksTrashedItemsAndCaptureDates) {
  for (const bool root : {true, false}) {
    auto phone = MakePhone(root);
    auto source = MakeSource(*phone);
    ASSERT_EQ(source->Open(""), 0);
    std::vector<MediaItem> roll, stream;
    ASSERT_EQ(source->ScanPhotos(roll, stream), 0);
    ASSERT_EQ(roll.size(), 3u) << root;
    EXPECT_EQ(roll[0].name, "IMG_0001.JPG");
    EXPECT_EQ(roll[0].deleted, 0);
    EXPECT_EQ(roll[0].date, FormatLocalDateTime(1700000000));
    EXPECT_EQ(roll[1].name, "IMG_0002.MOV");
    EXPECT_EQ(roll[1].deleted, 1);
    EXPECT_EQ(roll[1].date, FormatLocalDateTime(1700003600));
    EXPECT_EQ(roll[1].trashedDate, FormatLocalDateTime(1701000000));
    // Not in the library: as the walk found it.
    EXPECT_EQ(roll[2].deleted, 0);
    EXPECT_EQ(roll[2].date, "");
    ASSERT_EQ(stream.size(), 1u);
    EXPECT_EQ(stream[0].deleted, 0);
    EXPECT_TRUE(source->Problems().empty());
  }
}

TEST_F(DeviceSource, ADamagedPhotoLibraryIsReportedAndThePhotosStay) {
  const fs::path library = phone_->Media("PhotoData/Photos.sqlite");
  const std::string kept = ReadBytes(library);
  WriteBytes(library, "SQLite format 3" + std::string(1, '\0') + std::string(3000, 'x'));
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  std::vector<MediaItem> roll, stream;
  const Status scanned = source->ScanPhotos(roll, stream);
  WriteBytes(library, kept);  // the phone of the other tests
  ASSERT_EQ(scanned, 0);
  ASSERT_EQ(roll.size(), 3u);
  for (const MediaItem& m : roll) EXPECT_EQ(m.deleted, 0) << m.name;
  const std::vector<Problem> problems = source->Problems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].category, "camera-roll");
  EXPECT_NE(problems[0].file.find("PhotoData/Photos.sqlite"), std::string::npos);
  EXPECT_FALSE(problems[0].whole);
}

TEST_F(DeviceSource, ApplicationsFileTheirMediaByName) {
  EXPECT_EQ(DeviceAppName("com.tencent.mqq"), "tencent.mqq");
  EXPECT_EQ(DeviceAppName("net.whatsapp.WhatsApp"), "whatsapp.WhatsApp");
  EXPECT_EQ(DeviceAppName("org.example.camera"), "other");
  EXPECT_EQ(DeviceAppName("jp.net.example"), "example");  // the first occurrence counts

  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  std::vector<AppMediaItem> media;
  ASSERT_EQ(source->ScanAppMedia(media), 0);
  std::map<std::string, std::vector<std::string>> byApp;
  for (const AppMediaItem& item : media) byApp[item.appName].push_back(item.name);
  EXPECT_EQ(byApp["other"], std::vector<std::string>{"shot.PNG"});
  EXPECT_EQ(byApp["tencent.mqq"], std::vector<std::string>{"head.JPG"});
  // The WhatsApp store went to its fixed name and is read from there.
  EXPECT_EQ(ReadBytes(source->LocalCopy(kWhatsAppChatCopy)),
            ReadBytes(phone_->Container("net.whatsapp.WhatsApp") / "Documents/ChatStorage.sqlite"));
  WhatsAppChatMap chats;
  EXPECT_EQ(source->ScanWhatsApp(chats), 0);
  EXPECT_FALSE(chats.empty());
  std::vector<MediaItem> waMedia;
  EXPECT_EQ(source->ScanWhatsAppAttachments(waMedia), 0);
  ASSERT_EQ(waMedia.size(), 2u);
  EXPECT_EQ(waMedia[0].name, "photo.JPG");
  EXPECT_EQ(waMedia[1].name, "voice.MP3");
  // The file system is still reachable after the containers.
  std::vector<MediaItem> roll, stream;
  ASSERT_EQ(source->ScanPhotos(roll, stream), 0);
  EXPECT_EQ(roll.size(), 3u);
}

TEST_F(DeviceSource, TwoQqDatabasesGiveTwoCopiesAndTwoMaps) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  std::vector<AppMediaItem> media;
  ASSERT_EQ(source->ScanAppMedia(media), 0);
  ASSERT_EQ(source->qqCopies().size(), 2u);  // the journal beside one of them is no database
  EXPECT_NE(source->qqCopies()[0], source->qqCopies()[1]);
  ChatAccountMap qq;
  ASSERT_EQ(source->ScanQQ(qq), 0);
  ASSERT_EQ(qq.size(), 2u);
  EXPECT_TRUE(qq.count("88001234"));
  EXPECT_TRUE(qq.count("88005678"));
  PeerChatMap direct;
  ASSERT_EQ(ScanQQ(phone_->Container("com.tencent.mqq") / "Documents/88001234/QQ.db", direct), 0);
  EXPECT_EQ(qq["88001234"].size(), direct.size());
  ASSERT_EQ(source->weChatCopies().size(), 1u);
  ChatAccountMap weChat;
  ASSERT_EQ(source->ScanWeChat(weChat), 0);
  EXPECT_TRUE(weChat.count("User1"));

  // The chats export from the kept maps.
  const auto& [partner, messages] = *qq["88001234"].begin();
  ASSERT_FALSE(messages.empty());
  ASSERT_EQ(source->ExportQQChat("88001234", partner, dir_ / "out" / "qq.txt", nullptr, nullptr), 0);
  EXPECT_NE(ReadBytes(dir_ / "out" / "qq.txt").find(partner), std::string::npos);
}

TEST_F(DeviceSource, WithoutAPhoneOpenFailsClearly) {
  auto phone = MakePhone(true);
  phone->Unplug();
  auto source = MakeSource(*phone);
  EXPECT_EQ(source->Open(""), status::kCannotOpen);
  EXPECT_EQ(source->message(), "未连接到iPhone");
  EXPECT_EQ(source->englishMessage(), "no iPhone is connected");
  CDeviceRecovery unbound(dir_ / "data", dir_ / "work");
  EXPECT_EQ(unbound.Open(""), status::kCannotOpen);
}

TEST_F(DeviceSource, AnEarlierPhonesCopiesNeverStandInForMissingOnes) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  ASSERT_TRUE(fs::exists(source->LocalCopy(kMessagesCopy)));
  // Now neither the whole file system nor the relay: nothing is fetched.
  SimulatedPhoneOptions bare = phone_->options;
  bare.rootService = false;
  bare.relayService = false;
  SimulatedDevice second(phone_->root, bare);
  source->SetCatalog(&second);
  EXPECT_EQ(source->Open(""), status::kBadData);
  EXPECT_FALSE(fs::exists(source->LocalCopy(kMessagesCopy)));
  ConversationMap conversations;
  EXPECT_NE(source->ScanMessages(conversations), 0);
  EXPECT_TRUE(conversations.empty());
  std::vector<MediaItem> roll, stream;
  EXPECT_EQ(source->ScanPhotos(roll, stream), 0);  // the media folder still reads
  EXPECT_EQ(roll.size(), 3u);
}

TEST_F(DeviceSource, APhoneGoneMidScanEndsEachOperationWithNoDevice) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ASSERT_EQ(source->Open(""), 0);
  phone->options().unplugAfterCalls = 0;  // gone from the next call on
  std::vector<MediaItem> roll, stream;
  EXPECT_EQ(source->ScanPhotos(roll, stream), kNoDevice);
  EXPECT_TRUE(source->disconnected());
  EXPECT_EQ(source->message(), "未连接到iPhone");
  std::vector<AppMediaItem> media;
  EXPECT_EQ(source->ScanAppMedia(media), kNoDevice);
  std::vector<MediaItem> waMedia;
  EXPECT_EQ(source->ScanWhatsAppAttachments(waMedia), kNoDevice);
  // What was fetched before stays readable.
  ConversationMap conversations;
  EXPECT_EQ(source->ScanMessages(conversations), 0);
  EXPECT_FALSE(conversations.empty());
}

// Databases of the phone that are damaged or that it does not give: each
// is a problem of its own category, what could be read is kept, and the
// command line's exit code is 1 only when nothing of a ticked category
// could be read.
TEST_F(DeviceSource, DamagedOrRefusedDatabasesAreProblemsOfTheirCategory) {
  auto scanAll = [](CDeviceRecovery& source, ConversationMap& conversations) {
    std::vector<ContactRecord> contacts;
    std::vector<NoteRecord> notes;
    std::vector<CallRecord> calls;
    std::vector<CalendarEventRecord> events;
    std::vector<SafariBookmarkRecord> bookmarks;
    std::vector<SafariHistoryRecord> history;
    source.ScanMessages(conversations);
    source.ScanContacts(contacts);
    source.ScanNotes(notes);
    source.ScanCallHistory(calls);
    source.ScanCalendar(events);
    source.ScanSafari(bookmarks, history);
    return contacts.size();
  };
  auto problemOf = [](const std::vector<Problem>& problems, const std::string& category) -> const Problem* {
    for (const Problem& p : problems) {
      if (p.category == category) return &p;
    }
    return nullptr;
  };
  {
    // The whole phone: nothing to report.
    auto phone = MakePhone(true);
    auto source = MakeSource(*phone);
    ASSERT_EQ(source->Open(""), 0);
    ConversationMap conversations;
    scanAll(*source, conversations);
    for (const Problem& p : source->Problems()) ADD_FAILURE() << p.category << ": " << p.Text();
  }

  // A copy of the phone: sms.db cut short, the current notes store
  // garbage, and folders where the phone lists the old notes store, the call
  // history and the calendar (it lists them but cannot give them).
  const fs::path folder = dir_ / "damaged-phone";
  fs::copy(phone_->folder, folder, fs::copy_options::recursive);
  const fs::path root = folder / "FileSystem";
  const fs::path sms = root / "private/var/mobile/Library/SMS/sms.db";
  fs::resize_file(sms, fs::file_size(sms) * 3 / 4);
  WriteBytes(root / "private/var/mobile/Containers/Shared/AppGroup" / kNotesAppGroup / "NoteStore.sqlite",
             std::string(8192, '\x5a'));
  for (const char* path : {"private/var/mobile/Library/Notes/notes.sqlite",
                           "private/var/wireless/Library/CallHistory/call_history.db",
                           "private/var/mobile/Library/Calendar/Calendar.sqlitedb"}) {
    fs::remove(root / path);
    fs::create_directories(root / path / "inside");
  }
  SimulatedPhoneOptions options = phone_->options;
  for (SimulatedApp& app : options.applications) app.container = folder / fs::relative(app.container, phone_->folder);
  ASSERT_TRUE(SimulatedDevice::WriteDescription(folder, options));
  {
    SimulatedDevice phone(root, options);
    auto source = MakeSource(phone);
    ASSERT_EQ(source->Open(""), 0);
    ConversationMap conversations;
    EXPECT_GT(scanAll(*source, conversations), 0u);  // the address book is whole
    const std::vector<Problem> problems = source->Problems();
    EXPECT_EQ(problemOf(problems, "contacts"), nullptr);
    const Problem* messages = problemOf(problems, "messages");
    ASSERT_NE(messages, nullptr);
    EXPECT_EQ(messages->file, kMessagesPath);
    EXPECT_NE(messages->what.find("cut short"), std::string::npos) << messages->Text();
    EXPECT_EQ(messages->whole, conversations.empty()) << messages->Text();
    // Neither notes store gives a note: both are problems of the whole
    // category.
    size_t notesProblems = 0;
    for (const Problem& p : problems) {
      if (p.category != "notes") continue;
      ++notesProblems;
      EXPECT_TRUE(p.whole) << p.Text();
      if (p.file == kNotesPath) {
        EXPECT_EQ(p.what, "could not be fetched from the phone");
      }
    }
    EXPECT_EQ(notesProblems, 2u);
    for (const char* category : {"call-history", "calendar"}) {
      const Problem* refused = problemOf(problems, category);
      ASSERT_NE(refused, nullptr) << category;
      EXPECT_EQ(refused->what, "could not be fetched from the phone");
      EXPECT_TRUE(refused->whole);
    }
    EXPECT_EQ(problemOf(problems, "call-history")->file, kCallHistoryPath);
  }

  // The command line on the same phone, one category at a time.
  ASSERT_TRUE(fs::exists("orbanix"));
  auto scan = [&](const fs::path& phoneFolder, const std::string& args, int& code) {
    return RunScan(phoneFolder, "--device --json " + args, code);
  };
  int code = -1;
  std::string json = scan(folder, "--categories contacts", code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(json.find("\"problems\": []"), std::string::npos) << json;
  for (const char* category : {"notes", "call-history", "calendar"}) {
    json = scan(folder, std::string("--categories ") + category, code);
    EXPECT_EQ(code, 1) << category;
    EXPECT_NE(json.find(std::string("\"category\": \"") + category + "\""), std::string::npos) << json;
  }
  json = scan(folder, "--categories messages", code);
  EXPECT_NE(json.find("sms.db"), std::string::npos) << json;

  // Without the file relay the whole file system still gives everything;
  // without both, the address book and the messages cannot be had, and a
  // scan of them says so and fails, while the media folder still reads.
  const fs::path noRelay = dir_ / "no-relay";
  fs::copy(phone_->folder, noRelay, fs::copy_options::recursive);
  options = phone_->options;
  for (SimulatedApp& app : options.applications) app.container = noRelay / fs::relative(app.container, phone_->folder);
  options.relayService = false;
  ASSERT_TRUE(SimulatedDevice::WriteDescription(noRelay, options));
  json = scan(noRelay, "--categories messages,contacts,message-attachments", code);
  EXPECT_EQ(code, 0) << json;
  EXPECT_NE(json.find("\"problems\": []"), std::string::npos) << json;
  options.rootService = false;
  ASSERT_TRUE(SimulatedDevice::WriteDescription(noRelay, options));
  {
    SimulatedDevice phone(noRelay / "FileSystem", options);
    auto source = MakeSource(phone);
    source->Open("");
    // Told when the categories are scanned, not before.
    EXPECT_TRUE(source->Problems().empty());
    ConversationMap conversations;
    EXPECT_EQ(scanAll(*source, conversations), 0u);
    EXPECT_TRUE(conversations.empty());
    const std::vector<Problem> problems = source->Problems();
    for (const char* category : {"messages", "contacts"}) {
      const Problem* p = problemOf(problems, category);
      ASSERT_NE(p, nullptr) << category;
      EXPECT_TRUE(p->whole);
      EXPECT_NE(p->reason.find("relay"), std::string::npos) << p->Text();
    }
  }
  json = scan(noRelay, "--categories messages", code);
  EXPECT_EQ(code, 1) << json;
  json = scan(noRelay, "--categories camera-roll", code);
  EXPECT_EQ(code, 0) << json;
  EXPECT_NE(json.find("\"camera-roll\": {\"items\": 3,"), std::string::npos) << json;
}

TEST_F(DeviceSource, FullScanThroughTheBackupScanDriver) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  ScanDriver driver;
  source->SetProgressCallback(&ScanDriver::ReportTrampoline, &driver);
  ScanResults results;
  CategorySet all;
  for (int c = 1; c <= kCategoryCount; ++c) all.insert(static_cast<Category>(c));
  std::vector<int> shown;
  ScanDriver::Events events;
  events.progress = [&shown](int p, const std::string&) { shown.push_back(p); };
  ScanOutcome outcome{};
  Status last = -5;
  events.finished = [&](ScanOutcome o, Status s) {
    outcome = o;
    last = s;
  };
  ASSERT_EQ(driver.Start([&] { return source->Open(""); }, BuildScanPlan(*source, all, results), events), 0);
  driver.Wait();
  EXPECT_EQ(outcome, ScanOutcome::kCompleted);
  EXPECT_EQ(last, 0);
  ASSERT_FALSE(shown.empty());
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  for (Category c : {Category::CameraRoll, Category::PhotoStream, Category::AppPhotos, Category::Messages,
                     Category::MessageAtts, Category::Contacts, Category::CallHistory, Category::Notes,
                     Category::WhatsApp, Category::WhatsAppAtts}) {
    EXPECT_GT(CountCategory(results, c).items, 0u) << CategoryCliName(c);
  }
  for (Category c : {Category::Reminder, Category::Calendar, Category::SafariBookmark}) {
    EXPECT_GT(CountCategory(results, c).items, 0u) << CategoryCliName(c);
    EXPECT_GT(CountCategory(results, c).deleted, 0u) << CategoryCliName(c);
  }
  EXPECT_EQ(results.reminders.size(), gen::ReminderStores({})[0].second.size());
  for (Category c : {Category::Messages, Category::Contacts, Category::CallHistory, Category::Notes}) {
    EXPECT_GT(CountCategory(results, c).deleted, 0u) << CategoryCliName(c) << " recovered nothing";
  }

  // A cancel during Open stops the scan at the next report.
  auto again = MakeSource(*phone);
  ScanDriver second;
  struct CancelOnReport {
    static int Callback(void* driver, int value) {
      static_cast<ScanDriver*>(driver)->Cancel();
      return ScanDriver::ReportTrampoline(driver, value);
    }
  };
  again->SetProgressCallback(&CancelOnReport::Callback, &second);
  ScanResults partial;
  ScanDriver::Events stop;
  stop.finished = [&](ScanOutcome o, Status) { outcome = o; };
  ASSERT_EQ(second.Start([&] { return again->Open(""); }, BuildScanPlan(*again, all, partial), stop), 0);
  second.Wait();
  EXPECT_EQ(outcome, ScanOutcome::kCancelled);
  EXPECT_FALSE(again->relayArchive());  // Open stopped at its first report
}

TEST_F(DeviceSource, CommandLineScansTheSimulatedPhone) {
  // The program runs beside the tests (working directory <build>/bin).
  ASSERT_TRUE(fs::exists("orbanix"));
  auto run = [&](const std::string& args, int& code) { return RunScan(phone_->folder, args, code); };
  int code = -1;
  const std::string json = run("--device --json", code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(json.find("\"status\": 0"), std::string::npos) << json;
  EXPECT_NE(json.find("\"camera-roll\": {\"items\": 3,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"photo-stream\": {\"items\": 1,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"message-attachments\": {\"items\": 1,"), std::string::npos) << json;
  EXPECT_EQ(json.find("\"messages\": {\"items\": 0,"), std::string::npos) << json;
  EXPECT_EQ(json.find("\"notes\": {\"items\": 0,"), std::string::npos) << json;

  const std::string table = run("--device " + phone_->options.udid + " --categories contacts", code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(table.find("contacts"), std::string::npos);
  // The chat applications' databases come from the containers' walk.
  const std::string chats = run("--device --categories qq,wechat --json", code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(chats.find("\"qq\": {\"items\": "), std::string::npos) << chats;
  EXPECT_EQ(chats.find("\"qq\": {\"items\": 0,"), std::string::npos) << chats;
  EXPECT_EQ(chats.find("\"wechat\": {\"items\": 0,"), std::string::npos) << chats;
  EXPECT_EQ(chats.find("camera-roll"), std::string::npos) << chats;
  run("--device 0000NOSUCHPHONE", code);
  EXPECT_EQ(code, 1);
  run("--device --password-file x", code);
  EXPECT_EQ(code, 2);
}

TEST_F(DeviceSource, CommandLineRecoversTheSimulatedPhone) {
  ASSERT_TRUE(fs::exists("orbanix"));
  const std::string env = "ORBANIX_SIMULATED_PHONE='" + phone_->folder.string() + "' XDG_DATA_HOME='" +
                          (dir_ / "xdg").string() + "' ";
  auto run = [&](const std::string& args) {
    return WEXITSTATUS(std::system((env + "./orbanix recover " + args + " >/dev/null 2>&1 </dev/null").c_str()));
  };
  auto contents = [](const fs::path& folder) {
    std::multiset<std::string> files;
    if (!fs::is_directory(folder)) return files;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
      if (e.is_regular_file()) files.insert(ReadBytes(e.path()));
    }
    return files;
  };

  // Everything: the media are the phone's own bytes, the records documents.
  const fs::path all = dir_ / "all";
  ASSERT_EQ(run("--device '" + all.string() + "'"), 0);
  EXPECT_EQ(contents(all / "Camera Roll"),
            (std::multiset<std::string>{ReadBytes(phone_->Media("DCIM/100APPLE/IMG_0001.JPG")),
                                        ReadBytes(phone_->Media("DCIM/100APPLE/IMG_0002.MOV")),
                                        ReadBytes(phone_->Media("DCIM/101APPLE/img_0003.png"))}));
  EXPECT_EQ(contents(all / "Photo Stream"),
            std::multiset<std::string>{ReadBytes(phone_->Media("PhotoStreamsData/1234/100APPLE/IMG_0500.JPG"))});
  EXPECT_EQ(contents(all / "Message Attachments"),
            std::multiset<std::string>{ReadBytes(phone_->Library("SMS/Attachments/0a/10/IMG_0100.JPG"))});
  for (const char* folder : {"Message", "Contacts", "CallHistory", "Notes", "WhatsApp Message"}) {
    EXPECT_FALSE(contents(all / folder).empty()) << folder;
  }
  // The documents carry the phone's name.
  bool named = false;
  for (const std::string& text : contents(all / "Contacts")) named = named || text.find("Simulated iPhone") != text.npos;
  EXPECT_TRUE(named);

  // The phone named by its UDID, one category: only its folder.
  const fs::path contacts = dir_ / "contacts";
  ASSERT_EQ(run("--categories contacts --device " + phone_->options.udid + " '" + contacts.string() + "'"), 0);
  std::vector<std::string> folders;
  for (const auto& e : fs::directory_iterator(contacts)) folders.push_back(e.path().filename().string());
  EXPECT_EQ(folders, std::vector<std::string>{"Contacts"});

  // Another phone than the attached one: nothing is written.
  const fs::path none = dir_ / "none";
  EXPECT_EQ(run("--device 0000NOSUCHPHONE '" + none.string() + "'"), 1);
  EXPECT_FALSE(fs::exists(none));
  EXPECT_EQ(run("--device"), 2);
  EXPECT_EQ(run("--device --password-file x '" + none.string() + "'"), 2);
  EXPECT_EQ(run("--device a b c"), 2);
}

TEST_F(DeviceSource, TheDeviceListShowsTheSimulatedPhone) {
  setenv("ORBANIX_SIMULATED_PHONE", phone_->folder.c_str(), 1);
  const std::vector<ConnectedDevice> devices = ListConnectedDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].udid, phone_->options.udid);
  EXPECT_EQ(devices[0].name, "Simulated iPhone");
  EXPECT_TRUE(MakeDeviceBinding()->Connected());
  EXPECT_TRUE(MakeDeviceBinding(phone_->options.udid)->Connected());
  EXPECT_FALSE(MakeDeviceBinding("0000OTHERPHONE")->Connected());
  unsetenv("ORBANIX_SIMULATED_PHONE");
}

TEST_F(DeviceSource, ProgressNeverGoesBack) {
  auto phone = MakePhone(true);
  auto source = MakeSource(*phone);
  struct Log {
    std::vector<int> values;
    static int Callback(void* user, int value) {
      static_cast<Log*>(user)->values.push_back(value);
      return 0;
    }
  } log;
  source->SetProgressCallback(&Log::Callback, &log);
  ASSERT_EQ(source->Open(""), 0);
  EXPECT_EQ(log.values.front(), 1);
  EXPECT_EQ(log.values.back(), 20);
  ConversationMap conversations;
  std::vector<AttachmentFile> attachments;
  std::vector<ContactRecord> contacts;
  std::vector<CallRecord> calls;
  std::vector<NoteRecord> notes;
  std::vector<MediaItem> roll, stream, waMedia;
  std::vector<AppMediaItem> media;
  WhatsAppChatMap chats;
  source->ScanPhotos(roll, stream);
  source->ScanMessages(conversations);
  source->ScanMessageAttachments(attachments);
  source->ScanContacts(contacts);
  source->ScanCallHistory(calls);
  source->ScanNotes(notes);
  source->ScanAppMedia(media);
  source->ScanWhatsApp(chats);
  source->ScanWhatsAppAttachments(waMedia);
  for (size_t i = 1; i < log.values.size(); ++i) EXPECT_LE(log.values[i - 1], log.values[i]) << "report " << i;
  EXPECT_EQ(log.values.back(), 20 + 8 * 5 + 10);
  EXPECT_EQ(source->progress(), log.values.back());
}

TEST_F(DeviceSource, TheRealLibraryWithoutAPhoneSaysSo) {
  if (!ListImobiledeviceDevices().empty()) GTEST_SKIP() << "a phone is attached to this computer";
  auto binding = MakeImobiledeviceBinding("");
  EXPECT_FALSE(binding->Connected());
  auto source = MakeSource(*binding);
  EXPECT_EQ(source->Open(""), status::kCannotOpen);
  EXPECT_EQ(source->englishMessage(), "no iPhone is connected");
  DeviceSession session(*binding);
  EXPECT_THROW(session.ListDirectory("/"), DeviceError);
  std::string name;
  EXPECT_EQ(session.ReadDeviceName(name), kNoDevice);
}
