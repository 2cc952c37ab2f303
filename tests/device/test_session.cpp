// The device services over a simulated phone: session and pairing, the
// file services, listings, copies, the device name, the relay download with
// its progress rule, the application listing and container vending, the
// message framing, and the loss of the phone.
#include <gtest/gtest.h>

#include "device/device_session.h"
#include "device/service_messages.h"
#include "phone_fixture.h"

using namespace orbanix;
using namespace orbanix::device;
using namespace orbanix::device::testing;

namespace {

struct ProgressLog {
  std::vector<int> values;
  int answer = 0;
  static int Callback(void* user, int value) {
    auto* log = static_cast<ProgressLog*>(user);
    log->values.push_back(value);
    return log->answer;
  }
};

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshFolder("session");
    root_ = dir_ / "FileSystem";
    WriteBytes(root_ / "private/var/mobile/Media/DCIM/100APPLE/IMG_0001.JPG", std::string(5000, 'j'));
    WriteBytes(root_ / "private/var/mobile/Library/SMS/sms.db", std::string(200000, 's'));
    fs::create_directories(root_ / "private/var/mobile/Media/DCIM/empty");
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_, root_;
};

}  // namespace

TEST_F(Session, FirstFileUseOpensTheRootServiceWhenThePhoneHasIt) {
  SimulatedDevice phone(root_);
  DeviceSession session(phone);
  EXPECT_EQ(session.QueryFileInfo("/private/var/mobile/Library/SMS/sms.db").size, 200000u);
  EXPECT_TRUE(session.rootFileSystem());
  EXPECT_EQ(phone.servicesStarted(), std::vector<std::string>{kRootFileService});

  SimulatedPhoneOptions plain;
  plain.rootService = false;
  SimulatedDevice jailed(root_, plain);
  DeviceSession second(jailed);
  // The ordinary service's root is the media folder.
  EXPECT_EQ(second.ListDirectory("/"), std::vector<std::string>{"DCIM"});
  EXPECT_FALSE(second.rootFileSystem());
  const DeviceFileInfo info = second.QueryFileInfo("/DCIM");
  EXPECT_EQ(info.kind, DeviceFileKind::kDirectory);
  EXPECT_THROW(second.QueryFileInfo("/private/var/mobile/Library/SMS/sms.db"), DeviceError);
}

TEST_F(Session, ListingsNeverHoldDotEntries) {
  SimulatedDevice phone(root_);
  DeviceSession session(phone);
  for (const std::string folder : {"/", "/private/var/mobile/Media/DCIM", "/private/var/mobile/Media/DCIM/empty"}) {
    const auto names = session.ListDirectory(folder);
    EXPECT_EQ(std::count(names.begin(), names.end(), "."), 0) << folder;
    EXPECT_EQ(std::count(names.begin(), names.end(), ".."), 0) << folder;
  }
  EXPECT_TRUE(session.ListDirectory("/private/var/mobile/Media/DCIM/empty").empty());
  EXPECT_EQ(session.ListDirectory("/private/var/mobile/Media/DCIM"), (std::vector<std::string>{"100APPLE", "empty"}));
  try {
    session.ListDirectory("/nowhere");
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.failure(), DeviceFailure::kDirectoryOpen);
    EXPECT_EQ(std::string(e.what()), "打开该目录信息失败: /nowhere");
    EXPECT_EQ(e.English(), "cannot open the folder: /nowhere");
  }
  // The simulated phone keeps paths inside its folder.
  EXPECT_THROW(session.ListDirectory("/../.."), DeviceError);
}

TEST_F(Session, ReadingAFolderAsAFileIsTold) {
  SimulatedDevice phone(root_);
  DeviceSession session(phone);
  const uint64_t handle = session.OpenFile("/private/var/mobile/Media/DCIM");
  char buffer[16];
  try {
    session.ReadFile(handle, buffer, sizeof buffer);
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.failure(), DeviceFailure::kReadDirectory);
  }
  session.CloseFile(handle);
  EXPECT_THROW(session.OpenFile("/missing"), DeviceError);
}

TEST_F(Session, CopiesReplaceEarlierLongerFiles) {
  SimulatedDevice phone(root_);
  DeviceSession session(phone);
  const fs::path local = dir_ / "sms";
  WriteBytes(local, std::string(300000, 'o'));
  uint64_t size = 0;
  ASSERT_EQ(session.CopyDeviceFile("/private/var/mobile/Library/SMS/sms.db", local, &size), 0);
  EXPECT_EQ(size, 200000u);
  EXPECT_EQ(ReadBytes(local), std::string(200000, 's'));
  // Every failure of the services is 87; a local file that cannot be made
  // gives its errno.
  EXPECT_EQ(session.CopyDeviceFile("/private/var/mobile/Library/SMS/none.db", dir_ / "x"), 87);
  EXPECT_EQ(session.CopyDeviceFile("/private/var/mobile/Library/SMS/sms.db", dir_ / "no/such/folder/x"), ENOENT);
}

TEST_F(Session, DeviceNamesOf256CharactersAreRefused) {
  SimulatedPhoneOptions options;
  options.name = std::string(255, 'n');
  SimulatedDevice phone(root_, options);
  DeviceSession session(phone);
  std::string name = "unchanged";
  ASSERT_EQ(session.ReadDeviceName(name), 0);
  EXPECT_EQ(name, std::string(255, 'n'));

  phone.options().name = std::string(256, 'n');
  name = "unchanged";
  EXPECT_EQ(session.ReadDeviceName(name), 111);
  EXPECT_EQ(name, "unchanged");
  // Characters, not bytes: 255 two-byte letters fit, 256 do not.
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "é";
  phone.options().name = wide;
  ASSERT_EQ(session.ReadDeviceName(name), 0);
  EXPECT_EQ(name, wide);
  phone.options().name = wide + "é";
  EXPECT_EQ(session.ReadDeviceName(name), 111);
  phone.options().name.reset();
  EXPECT_EQ(session.ReadDeviceName(name), 87);
  phone.Unplug();
  EXPECT_EQ(session.ReadDeviceName(name), kNoDevice);
}

TEST_F(Session, PairingIsMadeWhenMissingAndFailuresAreTold) {
  SimulatedPhoneOptions unpaired;
  unpaired.paired = false;
  SimulatedDevice phone(root_, unpaired);
  DeviceSession session(phone);
  EXPECT_NO_THROW(session.StartSession());

  unpaired.pairable = false;
  SimulatedDevice refusing(root_, unpaired);
  DeviceSession refused(refusing);
  try {
    refused.StartSession();
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_EQ(std::string(e.what()), "配对失败");
  }
  // Without the ordinary file service either nothing can be read.
  EXPECT_THROW(refused.ListDirectory("/"), DeviceError);
}

TEST_F(Session, RelayReportsOnlyAfterMoreThan32MiB) {
  struct Case {
    uint64_t bytes;
    std::vector<int> reports;
  };
  // Exactly 32 MiB: one report when the stream ends; one block more: a
  // report during the download as well.
  for (const Case& c : {Case{kRelayReportBytes, {6}}, Case{kRelayReportBytes + kDeviceBlock, {6, 7}},
                        Case{3 * kRelayReportBytes + 1, {6, 7, 8}}, Case{1000, {6}}}) {
    SimulatedPhoneOptions options;
    options.relayStreamBytes = c.bytes;
    SimulatedDevice phone(root_, options);
    DeviceSession session(phone);
    ProgressLog log;
    session.SetProgress(DeviceProgress{&ProgressLog::Callback, &log, 5, 18});
    const fs::path download = dir_ / "data" / "Tamsel.tmp";
    ASSERT_EQ(session.RelayUserDatabases(download), 0) << c.bytes;
    EXPECT_EQ(log.values, c.reports) << c.bytes;
    EXPECT_EQ(fs::file_size(download), c.bytes);  // an earlier, longer download leaves no tail
  }
}

TEST_F(Session, RelayDownloadsTheArchiveAndStopsOnCancel) {
  SimulatedDevice phone(root_);
  DeviceSession session(phone);
  const fs::path download = dir_ / "Tamsel.tmp";
  ASSERT_EQ(session.RelayUserDatabases(download), 0);
  ASSERT_EQ(UnpackRelayArchive(download, dir_ / "tamsel"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "tamsel"), phone.BuildRelayArchive());
  ASSERT_EQ(ExtractArchiveEntry(dir_ / "tamsel", "/var/mobile/Library/SMS/sms.db", dir_ / "sms"), 0);
  EXPECT_EQ(ReadBytes(dir_ / "sms"), std::string(200000, 's'));
  // The file service opens again afterwards.
  EXPECT_EQ(session.ListDirectory("/private/var/mobile/Library/SMS"), std::vector<std::string>{"sms.db"});

  SimulatedPhoneOptions big;
  big.relayStreamBytes = 3 * kRelayReportBytes;
  SimulatedDevice slow(root_, big);
  DeviceSession cancelled(slow);
  ProgressLog log;
  log.answer = 2;
  cancelled.SetProgress(DeviceProgress{&ProgressLog::Callback, &log, 1, 18});
  EXPECT_EQ(cancelled.RelayUserDatabases(download), 2);
  EXPECT_EQ(log.values.size(), 1u);

  SimulatedPhoneOptions refused;
  refused.relayService = false;
  SimulatedDevice noRelay(root_, refused);
  DeviceSession none(noRelay);
  EXPECT_EQ(none.RelayUserDatabases(download), 87);
}

TEST_F(Session, ApplicationsArriveInSeveralReplies) {
  SimulatedPhoneOptions options;
  for (int i = 0; i < 5; ++i) options.applications.push_back({"com.example.app" + std::to_string(i), dir_});
  options.applicationsPerReply = 2;
  SimulatedDevice phone(root_, options);
  DeviceSession session(phone);
  std::vector<std::string> ids;
  ASSERT_EQ(session.ListUserApplications(ids), 0);
  EXPECT_EQ(ids, (std::vector<std::string>{"com.example.app0", "com.example.app1", "com.example.app2",
                                           "com.example.app3", "com.example.app4"}));
  phone.options().applications.clear();
  ids.clear();
  ASSERT_EQ(session.ListUserApplications(ids), 0);
  EXPECT_TRUE(ids.empty());
}

TEST_F(Session, ContainersAreVendedAndLeftAgain) {
  WriteBytes(dir_ / "app/Documents/a.txt", "hello");
  SimulatedPhoneOptions options;
  options.applications.push_back({"com.example.app", dir_ / "app"});
  SimulatedDevice phone(root_, options);
  DeviceSession session(phone);
  session.OpenAppContainer("com.example.app");
  EXPECT_TRUE(session.container());
  EXPECT_EQ(session.ListDirectory("/Documents/"), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(session.ReadHead("/Documents/a.txt", 512), "hello");
  // A refused vending does not leave the last container in place.
  EXPECT_THROW(session.OpenAppContainer("com.example.absent"), DeviceError);
  EXPECT_FALSE(session.afcOpen());
  session.UseFileSystem();
  EXPECT_FALSE(session.container());
  EXPECT_EQ(session.ListDirectory("/private/var/mobile/Library/SMS"), std::vector<std::string>{"sms.db"});
}

TEST_F(Session, APhoneThatGoesAwayIsToldAsSuch) {
  SimulatedDevice phone(root_);
  DeviceSession session(phone);
  EXPECT_FALSE(session.ListDirectory("/").empty());
  phone.Unplug();
  try {
    session.QueryFileInfo("/private");
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.failure(), DeviceFailure::kNotConnected);
    EXPECT_EQ(std::string(e.what()), "未连接到iPhone");
  }
  EXPECT_EQ(session.CopyDeviceFile("/private/var/mobile/Library/SMS/sms.db", dir_ / "sms"), 87);
  EXPECT_EQ(session.RelayUserDatabases(dir_ / "Tamsel.tmp"), kNoDevice);
  std::vector<std::string> ids;
  EXPECT_EQ(session.ListUserApplications(ids), kNoDevice);

  // Gone in the middle of the relay stream: the download is incomplete.
  SimulatedPhoneOptions options;
  options.relayStreamBytes = 10 * kDeviceBlock;
  options.unplugAfterCalls = 12;
  SimulatedDevice flaky(root_, options);
  DeviceSession cut(flaky);
  EXPECT_EQ(cut.RelayUserDatabases(dir_ / "Tamsel.tmp"), kNoDevice);
}

namespace {

// A connection that records what is sent and answers from a script, a few
// bytes at a time.
class ScriptedConnection : public ServiceConnection {
 public:
  explicit ScriptedConnection(std::string script, size_t piece) : script_(std::move(script)), piece_(piece) {}
  bool Send(const char* data, size_t size) override {
    sent.append(data, size);
    return true;
  }
  int64_t Receive(char* data, size_t size) override {
    const size_t n = std::min({size, piece_, script_.size() - at_});
    std::copy_n(script_.data() + at_, n, data);
    at_ += n;
    return static_cast<int64_t>(n);
  }
  std::string sent;

 private:
  std::string script_;
  size_t piece_;
  size_t at_ = 0;
};

}  // namespace

TEST(ServiceMessages, FramesAsBigEndianLengthAndXml) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "Command", plist_new_string("Browse"));
  ScriptedConnection wire("", 1);
  ASSERT_TRUE(SendMessage(wire, dict));
  ASSERT_GT(wire.sent.size(), 4u);
  const auto* b = reinterpret_cast<const unsigned char*>(wire.sent.data());
  const uint32_t length = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  EXPECT_EQ(length, wire.sent.size() - 4);
  EXPECT_EQ(wire.sent.compare(4, 5, "<?xml"), 0);
  EXPECT_NE(wire.sent.find("<string>Browse</string>"), std::string::npos);

  // Read back one byte at a time, twice in a row.
  ScriptedConnection back(wire.sent + wire.sent, 1);
  for (int i = 0; i < 2; ++i) {
    plist_t got = ReceiveMessage(back);
    ASSERT_NE(got, nullptr);
    plist_t command = plist_dict_get_item(got, "Command");
    ASSERT_NE(command, nullptr);
    char* text = nullptr;
    plist_get_string_val(command, &text);
    EXPECT_STREQ(text, "Browse");
    free(text);
    plist_free(got);
  }
  EXPECT_EQ(ReceiveMessage(back), nullptr);  // the stream has ended
  plist_free(dict);

  // A length beyond any sensible message is a broken stream.
  ScriptedConnection huge(std::string("\x7f\xff\xff\xff", 4) + "<?xml", 64);
  EXPECT_EQ(ReceiveMessage(huge), nullptr);
  // A message cut short is not parsed.
  ScriptedConnection cut(wire.sent.substr(0, wire.sent.size() - 3), 64);
  EXPECT_EQ(ReceiveMessage(cut), nullptr);
}
