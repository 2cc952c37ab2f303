#include "device/simulated_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "device/cpio_archive.h"
#include "device/service_messages.h"
#include "sources/plist.h"

namespace orbanix::device {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMediaFolder = "private/var/mobile/Media";
constexpr const char* kLibraryFolder = "private/var/mobile/Library";
// The folders the relay's "UserDatabases" holds.
constexpr const char* kRelayFolders[] = {"AddressBook", "CallHistory", "CallHistoryDB", "Notes", "SMS"};

std::string DictString(plist_t dict, const char* key) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string value = text ? text : "";
  free(text);
  return value;
}

// A device path below a folder; nullopt for a path that climbs out.
std::optional<fs::path> Below(const fs::path& root, const std::string& devicePath) {
  fs::path result = root;
  size_t at = 0;
  while (at <= devicePath.size()) {
    size_t slash = devicePath.find('/', at);
    if (slash == std::string::npos) slash = devicePath.size();
    const std::string part = devicePath.substr(at, slash - at);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") result /= part;
    at = slash + 1;
  }
  return result;
}

class SimulatedAfc : public AfcClient {
 public:
  SimulatedAfc(SimulatedDevice& phone, fs::path root) : phone_(phone), root_(std::move(root)) {}
  ~SimulatedAfc() override {
    for (const auto& [handle, fd] : files_) ::close(fd);
  }

  AfcResult FileInfo(const std::string& path, std::vector<std::pair<std::string, std::string>>& info) override {
    if (!phone_.Call()) return AfcResult::kFailed;
    const auto local = Below(root_, path);
    struct stat st {};
    if (!local || ::lstat(local->c_str(), &st) != 0) return AfcResult::kFailed;
    const char* kind = S_ISDIR(st.st_mode) ? "S_IFDIR" : S_ISLNK(st.st_mode) ? "S_IFLNK" : S_ISREG(st.st_mode) ? "S_IFREG" : "S_IFIFO";
    info = {{"st_size", std::to_string(st.st_size)},
            {"st_blocks", std::to_string(st.st_blocks)},
            {"st_nlink", std::to_string(st.st_nlink)},
            {"st_ifmt", kind},
            {"st_mtime", std::to_string(static_cast<int64_t>(st.st_mtime) * 1000000000)}};
    return AfcResult::kOk;
  }

  AfcResult ReadDirectory(const std::string& path, std::vector<std::string>& names) override {
    if (!phone_.Call()) return AfcResult::kFailed;
    const auto local = Below(root_, path);
    if (!local) return AfcResult::kFailed;
    DIR* dir = ::opendir(local->c_str());
    if (!dir) return AfcResult::kFailed;
    names.clear();
    while (dirent* e = ::readdir(dir)) names.emplace_back(e->d_name);
    ::closedir(dir);
    std::sort(names.begin(), names.end());  // "." and ".." come first, as a phone lists them
    return AfcResult::kOk;
  }

  AfcResult OpenFile(const std::string& path, uint64_t& handle) override {
    if (!phone_.Call()) return AfcResult::kFailed;
    const auto local = Below(root_, path);
    if (!local) return AfcResult::kFailed;
    const int fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return AfcResult::kFailed;
    handle = next_++;
    files_[handle] = fd;
    return AfcResult::kOk;
  }

  AfcResult ReadFile(uint64_t handle, char* data, uint32_t& length) override {
    if (!phone_.Call()) return AfcResult::kFailed;
    auto it = files_.find(handle);
    if (it == files_.end()) return AfcResult::kFailed;
    const ssize_t n = ::read(it->second, data, length);
    if (n < 0) return errno == EISDIR ? AfcResult::kIsDirectory : AfcResult::kFailed;
    length = static_cast<uint32_t>(n);
    return AfcResult::kOk;
  }

  AfcResult CloseFile(uint64_t handle) override {
    auto it = files_.find(handle);
    if (it == files_.end()) return AfcResult::kFailed;
    ::close(it->second);
    files_.erase(it);
    return phone_.Call() ? AfcResult::kOk : AfcResult::kFailed;
  }

 private:
  SimulatedDevice& phone_;
  fs::path root_;
  std::map<uint64_t, int> files_;
  uint64_t next_ = 1;
};

// One service connection: framed requests in, framed replies (and for the
// relay, the archive stream) out.
class SimulatedConnection : public ServiceConnection {
 public:
  SimulatedConnection(SimulatedDevice& phone, std::string service) : phone_(phone), service_(std::move(service)) {}

  const std::string& service() const { return service_; }
  const std::optional<fs::path>& container() const { return container_; }

  bool Send(const char* data, size_t size) override {
    if (!phone_.Call()) return false;
    inbox_.append(data, size);
    while (inbox_.size() >= 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(inbox_.data());
      const uint32_t length = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
      if (inbox_.size() < 4 + size_t{length}) break;
      plist_t request = nullptr;
      plist_from_xml(inbox_.data() + 4, length, &request);
      inbox_.erase(0, 4 + size_t{length});
      if (!request) return false;  // not the services' framing
      Handle(request);
      plist_free(request);
    }
    return true;
  }

  int64_t Receive(char* data, size_t size) override {
    if (!phone_.Call()) return -1;
    if (outAt_ < outbox_.size()) {
      const size_t n = std::min(size, outbox_.size() - outAt_);
      std::copy_n(outbox_.data() + outAt_, n, data);
      outAt_ += n;
      return static_cast<int64_t>(n);
    }
    if (streamAt_ < streamSize_) {
      const size_t n = static_cast<size_t>(
          std::min<uint64_t>({size, phone_.options().relayBlock, streamSize_ - streamAt_}));
      if (stream_.empty()) {
        std::fill_n(data, n, '\0');
      } else {
        std::copy_n(stream_.data() + streamAt_, n, data);
      }
      streamAt_ += n;
      return static_cast<int64_t>(n);
    }
    return 0;  // the service ended the stream
  }

 private:
  void Reply(plist_t message) {
    outbox_ += FrameMessage(message);
    plist_free(message);
  }

  void Handle(plist_t request) {
    if (service_ == "com.apple.mobile.file_relay") {
      plist_t sources = plist_dict_get_item(request, "Sources");
      bool userDatabases = false;
      for (uint32_t i = 0; sources && plist_get_node_type(sources) == PLIST_ARRAY && i < plist_array_get_size(sources); ++i) {
        char* text = nullptr;
        plist_t item = plist_array_get_item(sources, i);
        if (plist_get_node_type(item) == PLIST_STRING) plist_get_string_val(item, &text);
        if (text && std::string(text) == "UserDatabases") userDatabases = true;
        free(text);
      }
      plist_t reply = plist_new_dict();
      if (!userDatabases) {
        plist_dict_set_item(reply, "Error", plist_new_string("InvalidSource"));
        Reply(reply);
        return;
      }
      plist_dict_set_item(reply, "Status", plist_new_string("Acknowledged"));
      Reply(reply);
      if (phone_.options().relayStreamBytes) {
        streamSize_ = *phone_.options().relayStreamBytes;
      } else {
        stream_ = GzipBytes(phone_.BuildRelayArchive());
        streamSize_ = stream_.size();
      }
    } else if (service_ == "com.apple.mobile.installation_proxy") {
      if (DictString(request, "Command") != "Browse") return;
      const auto& apps = phone_.options().applications;
      const size_t per = std::max<size_t>(1, phone_.options().applicationsPerReply);
      for (size_t at = 0; at < apps.size(); at += per) {
        const size_t n = std::min(per, apps.size() - at);
        plist_t reply = plist_new_dict();
        plist_t list = plist_new_array();
        for (size_t i = at; i < at + n; ++i) {
          plist_t app = plist_new_dict();
          plist_dict_set_item(app, "CFBundleIdentifier", plist_new_string(apps[i].bundleId.c_str()));
          plist_dict_set_item(app, "ApplicationType", plist_new_string("User"));
          plist_array_append_item(list, app);
        }
        plist_dict_set_item(reply, "CurrentAmount", plist_new_uint(n));
        plist_dict_set_item(reply, "CurrentIndex", plist_new_uint(at));
        plist_dict_set_item(reply, "CurrentList", list);
        plist_dict_set_item(reply, "Status", plist_new_string("BrowsingApplications"));
        Reply(reply);
      }
      plist_t done = plist_new_dict();
      plist_dict_set_item(done, "Status", plist_new_string("Complete"));
      Reply(done);
    } else if (service_ == "com.apple.mobile.house_arrest") {
      plist_t reply = plist_new_dict();
      const std::string id = DictString(request, "Identifier");
      const auto& apps = phone_.options().applications;
      auto it = std::find_if(apps.begin(), apps.end(), [&](const SimulatedApp& a) { return a.bundleId == id; });
      if (DictString(request, "Command") != "VendContainer" || it == apps.end()) {
        plist_dict_set_item(reply, "Error", plist_new_string("ApplicationLookupFailed"));
      } else {
        container_ = it->container;
        plist_dict_set_item(reply, "Status", plist_new_string("Complete"));
      }
      Reply(reply);
    }
  }

  SimulatedDevice& phone_;
  std::string service_;
  std::string inbox_;
  std::string outbox_;
  size_t outAt_ = 0;
  std::string stream_;  // empty with a filler stream
  uint64_t streamSize_ = 0;
  uint64_t streamAt_ = 0;
  std::optional<fs::path> container_;
};

void AddTree(std::string& archive, const fs::path& folder, const std::string& name, uint32_t& ino) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (const auto& e : fs::directory_iterator(folder, ec)) entries.push_back(e);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path() < b.path(); });
  for (const auto& e : entries) {
    const std::string child = name + "/" + e.path().filename().string();
    if (e.is_directory(ec)) {
      AppendOdcEntry(archive, child, 040755, {}, ++ino);
      AddTree(archive, e.path(), child, ino);
    } else if (e.is_regular_file(ec)) {
      std::ifstream in(e.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      AppendOdcEntry(archive, child, 0100644, bytes, ++ino);
    }
  }
}

}  // namespace

SimulatedDevice::SimulatedDevice(fs::path root, SimulatedPhoneOptions options)
    : root_(std::move(root)), options_(std::move(options)), paired_(options_.paired) {}

SimulatedDevice::~SimulatedDevice() = default;

bool SimulatedDevice::Call() {
  if (!plugged_) return false;
  ++calls_;
  if (options_.unplugAfterCalls >= 0 && calls_ > options_.unplugAfterCalls) {
    plugged_ = false;
    return false;
  }
  return true;
}

bool SimulatedDevice::Connected() { return plugged_; }

int SimulatedDevice::Connect() {
  if (!Call()) return -1;
  linked_ = true;
  return 0;
}

int SimulatedDevice::IsPaired() { return Call() && paired_ ? 0 : -1; }

int SimulatedDevice::ValidatePairing() { return Call() && linked_ && paired_ ? 0 : -1; }

int SimulatedDevice::Pair() {
  if (!Call() || !linked_ || !options_.pairable) return -1;
  paired_ = true;
  return 0;
}

int SimulatedDevice::StartSession() {
  if (!Call() || !linked_ || !paired_) return -1;
  session_ = true;
  return 0;
}

int SimulatedDevice::StopSession() {
  if (!Call() || !session_) return -1;
  session_ = false;
  return 0;
}

void SimulatedDevice::Disconnect() {
  linked_ = false;
  session_ = false;
}

int SimulatedDevice::StartService(const std::string& name, std::unique_ptr<ServiceConnection>& connection) {
  connection.reset();
  // A service starts only within a session, as on a phone.
  if (!Call() || !session_) return -1;
  if (name == "com.apple.afc2" && !options_.rootService) return -1;
  if (name == "com.apple.mobile.file_relay" && !options_.relayService) return -1;
  if (name != "com.apple.afc" && name != "com.apple.afc2" && name != "com.apple.mobile.file_relay" &&
      name != "com.apple.mobile.installation_proxy" && name != "com.apple.mobile.house_arrest") {
    return -1;
  }
  started_.push_back(name);
  connection = std::make_unique<SimulatedConnection>(*this, name);
  return 0;
}

int SimulatedDevice::OpenAfc(std::unique_ptr<ServiceConnection> connection, std::unique_ptr<AfcClient>& client) {
  client.reset();
  auto* sim = dynamic_cast<SimulatedConnection*>(connection.get());
  if (!Call() || !sim) return -1;
  if (sim->service() == "com.apple.afc2") {
    client = std::make_unique<SimulatedAfc>(*this, root_);
  } else if (sim->service() == "com.apple.afc") {
    client = std::make_unique<SimulatedAfc>(*this, root_ / kMediaFolder);
  } else if (sim->service() == "com.apple.mobile.house_arrest" && sim->container()) {
    client = std::make_unique<SimulatedAfc>(*this, *sim->container());
  } else {
    return -1;  // the file service does not answer on other connections
  }
  return 0;
}

std::optional<std::string> SimulatedDevice::DeviceName() {
  if (!Call()) return std::nullopt;
  return options_.name;
}

std::string SimulatedDevice::BuildRelayArchive() const {
  std::string archive;
  uint32_t ino = 0;
  AppendOdcEntry(archive, "./var/mobile/Library", 040755, {}, ++ino);
  for (const char* folder : kRelayFolders) {
    const fs::path local = root_ / kLibraryFolder / folder;
    std::error_code ec;
    if (!fs::is_directory(local, ec)) continue;
    const std::string name = std::string("./var/mobile/Library/") + folder;
    AppendOdcEntry(archive, name, 040755, {}, ++ino);
    AddTree(archive, local, name, ino);
  }
  AppendOdcTrailer(archive);
  return archive;
}

std::unique_ptr<SimulatedDevice> SimulatedDevice::Load(const fs::path& phoneFolder) {
  PlistDoc doc = PlistDoc::Load(phoneFolder / "Device.plist");
  if (!doc || plist_get_node_type(doc.root()) != PLIST_DICT) return nullptr;
  SimulatedPhoneOptions options;
  if (auto v = PlistString(doc.Get("UniqueDeviceID"))) options.udid = *v;
  options.name = PlistString(doc.Get("DeviceName"));
  if (auto v = PlistBool(doc.Get("RootFileService"))) options.rootService = *v;
  if (auto v = PlistBool(doc.Get("FileRelay"))) options.relayService = *v;
  plist_t apps = doc.Get("Applications");
  for (uint32_t i = 0; apps && plist_get_node_type(apps) == PLIST_ARRAY && i < plist_array_get_size(apps); ++i) {
    plist_t app = plist_array_get_item(apps, i);
    const auto id = PlistString(plist_dict_get_item(app, "CFBundleIdentifier"));
    const auto container = PlistString(plist_dict_get_item(app, "Container"));
    if (!id || !container) continue;
    const auto local = Below(phoneFolder, *container);
    if (!local) continue;
    options.applications.push_back(SimulatedApp{*id, *local});
  }
  return std::make_unique<SimulatedDevice>(phoneFolder / "FileSystem", std::move(options));
}

bool SimulatedDevice::WriteDescription(const fs::path& phoneFolder, const SimulatedPhoneOptions& options) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "UniqueDeviceID", plist_new_string(options.udid.c_str()));
  if (options.name) plist_dict_set_item(root, "DeviceName", plist_new_string(options.name->c_str()));
  plist_dict_set_item(root, "RootFileService", plist_new_bool(options.rootService));
  plist_dict_set_item(root, "FileRelay", plist_new_bool(options.relayService));
  plist_t apps = plist_new_array();
  for (const SimulatedApp& app : options.applications) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "CFBundleIdentifier", plist_new_string(app.bundleId.c_str()));
    const fs::path relative = app.container.lexically_relative(phoneFolder);
    plist_dict_set_item(entry, "Container", plist_new_string(relative.string().c_str()));
    plist_array_append_item(apps, entry);
  }
  plist_dict_set_item(root, "Applications", apps);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  plist_free(root);
  std::ofstream out(phoneFolder / "Device.plist", std::ios::binary | std::ios::trunc);
  if (xml) out.write(xml, length);
  free(xml);
  return static_cast<bool>(out);
}

}  // namespace orbanix::device
