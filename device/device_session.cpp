#include "device/device_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "device/cpio_archive.h"
#include "device/service_messages.h"
#include "platform/digest.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "sources/media_sniffer.h"

namespace orbanix::device {

namespace fs = std::filesystem;

namespace {

Status WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return status::kOk;
}

class LocalFile {
 public:
  explicit LocalFile(const fs::path& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)), error_(fd_ < 0 ? errno : 0) {}
  ~LocalFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  Status error() const { return error_; }
  Status Close() {
    const int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc == 0 ? status::kOk : errno;
  }

 private:
  int fd_;
  Status error_;
};

DeviceFileKind KindOf(const std::string& text) {
  static const std::map<std::string, DeviceFileKind> kKinds = {
      {"S_IFDIR", DeviceFileKind::kDirectory}, {"S_IFLNK", DeviceFileKind::kLink},
      {"S_IFREG", DeviceFileKind::kRegular},   {"S_IFBLK", DeviceFileKind::kBlock},
      {"S_IFCHR", DeviceFileKind::kCharacter}, {"S_IFIFO", DeviceFileKind::kFifo},
      {"S_IFMT", DeviceFileKind::kFormat},     {"S_IFSOCK", DeviceFileKind::kSocket},
  };
  auto it = kKinds.find(text);
  return it == kKinds.end() ? DeviceFileKind::kUnknown : it->second;
}

// A dictionary value's string, or "".
std::string DictString(plist_t dict, const char* key) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) return {};
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string value = text ? text : "";
  free(text);
  return value;
}

struct PlistHolder {
  plist_t node;
  explicit PlistHolder(plist_t n) : node(n) {}
  ~PlistHolder() {
    if (node) plist_free(node);
  }
  PlistHolder(const PlistHolder&) = delete;
  PlistHolder& operator=(const PlistHolder&) = delete;
};

}  // namespace

DeviceSession::DeviceSession(DeviceBinding& binding) : binding_(binding) {}

DeviceSession::~DeviceSession() {
  afc_.reset();
  if (sessionActive_) binding_.StopSession();
}

void DeviceSession::Fail(DeviceFailure failure, const std::string& path) {
  // A phone that went away is told as such, whatever call noticed it.
  if (!binding_.Connected()) throw DeviceError(DeviceFailure::kNotConnected);
  throw DeviceError(failure, path);
}

void DeviceSession::StartSession() {
  if (!binding_.Connected()) throw DeviceError(DeviceFailure::kNotConnected);
  if (binding_.Connect() != 0) Fail(DeviceFailure::kConnect);
  binding_.IsPaired();
  if (binding_.ValidatePairing() != 0 && binding_.Pair() != 0) Fail(DeviceFailure::kPairing);
  if (binding_.StartSession() != 0) Fail(DeviceFailure::kStartSession);
  sessionActive_ = true;
}

void DeviceSession::EnsureSession() {
  if (!sessionActive_) StartSession();
}

void DeviceSession::DropAfc() {
  // Closing the file service ends its connection; the session is begun
  // afresh for the next service.
  afc_.reset();
  container_ = false;
  binding_.Disconnect();
  sessionActive_ = false;
}

void DeviceSession::OpenFileService(bool rootWanted) {
  if (!binding_.Connected()) throw DeviceError(DeviceFailure::kNotConnected);
  const bool first = afc_ == nullptr;
  if (afc_) DropAfc();
  EnsureSession();
  std::unique_ptr<ServiceConnection> connection;
  bool root = false;
  if (rootWanted && binding_.StartService(kRootFileService, connection) == 0 && connection) root = true;
  if (!root && (binding_.StartService(kFileService, connection) != 0 || !connection)) {
    Fail(first ? DeviceFailure::kStartFileService : DeviceFailure::kNoService);
  }
  const int stopped = binding_.StopSession();
  sessionActive_ = false;
  if (stopped != 0) Fail(DeviceFailure::kStopSession);
  std::unique_ptr<AfcClient> client;
  if (binding_.OpenAfc(std::move(connection), client) != 0 || !client) Fail(DeviceFailure::kOpenAfc);
  afc_ = std::move(client);
  rootFileSystem_ = root;
  container_ = false;
}

void DeviceSession::CloseFileService() {
  afc_.reset();
  container_ = false;
}

void DeviceSession::UseFileSystem() {
  if (!binding_.Connected()) throw DeviceError(DeviceFailure::kNotConnected);
  if (!afc_ || container_) OpenFileService(true);
}

AfcClient& DeviceSession::Afc() {
  if (!binding_.Connected()) throw DeviceError(DeviceFailure::kNotConnected);
  if (!afc_) OpenFileService(true);
  return *afc_;
}

DeviceFileInfo DeviceSession::QueryFileInfo(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (Afc().FileInfo(path, pairs) != AfcResult::kOk) Fail(DeviceFailure::kFileInfoOpen, path);
  DeviceFileInfo info;
  for (const auto& [key, value] : pairs) {
    if (key == "st_size") {
      info.size = std::strtoull(value.c_str(), nullptr, 10);
    } else if (key == "st_nlink") {
      info.links = std::atoi(value.c_str());
    } else if (key == "st_blocks") {
      info.blocks = std::atoi(value.c_str());
    } else if (key == "st_ifmt") {
      info.kind = KindOf(value);
    }
  }
  return info;
}

std::vector<std::string> DeviceSession::ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  if (Afc().ReadDirectory(path, names) != AfcResult::kOk) Fail(DeviceFailure::kDirectoryOpen, path);
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& n) { return n.empty() || n == "." || n == ".."; }),
              names.end());
  return names;
}

uint64_t DeviceSession::OpenFile(const std::string& path) {
  uint64_t handle = 0;
  if (Afc().OpenFile(path, handle) != AfcResult::kOk) Fail(DeviceFailure::kFileOpen);
  return handle;
}

uint32_t DeviceSession::ReadFile(uint64_t handle, char* data, uint32_t length) {
  const AfcResult r = Afc().ReadFile(handle, data, length);
  if (r == AfcResult::kIsDirectory) Fail(DeviceFailure::kReadDirectory);
  if (r != AfcResult::kOk) Fail(DeviceFailure::kFileRead);
  return length;
}

void DeviceSession::CloseFile(uint64_t handle) {
  if (afc_) afc_->CloseFile(handle);
}

std::string DeviceSession::ReadHead(const std::string& path, size_t size) {
  const uint64_t handle = OpenFile(path);
  std::string head(size, '\0');
  size_t got = 0;
  try {
    while (got < size) {
      const uint32_t n = ReadFile(handle, head.data() + got, static_cast<uint32_t>(size - got));
      if (n == 0) break;
      got += n;
    }
  } catch (...) {
    CloseFile(handle);
    throw;
  }
  CloseFile(handle);
  head.resize(got);
  return head;
}

Status DeviceSession::CopyDeviceFile(const std::string& devicePath, const fs::path& local, uint64_t* copiedSize) {
  if (copiedSize) *copiedSize = 0;
  uint64_t handle = 0;
  bool open = false;
  try {
    const uint64_t size = QueryFileInfo(devicePath).size;
    handle = OpenFile(devicePath);
    open = true;
    // An earlier, longer copy of the same name must not leave its tail.
    LocalFile out(local);
    if (!out.ok()) {
      CloseFile(handle);
      return out.error();
    }
    std::vector<char> buffer(kDeviceBlock);
    uint64_t copied = 0;
    while (copied < size) {
      const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), size - copied));
      const uint32_t n = ReadFile(handle, buffer.data(), want);
      if (n == 0) break;  // the file shrank while it was copied
      if (const Status s = WriteAll(out.fd(), buffer.data(), n)) {
        CloseFile(handle);
        return s;
      }
      copied += n;
    }
    CloseFile(handle);
    open = false;
    if (const Status s = out.Close()) return s;
    if (copiedSize) *copiedSize = copied;
    return status::kOk;
  } catch (const DeviceError&) {
    if (open) {
      try {
        CloseFile(handle);
      } catch (const DeviceError&) {
      }
    }
    return status::kBadData;
  }
}

Status DeviceSession::ReadDeviceName(std::string& name) {
  if (!binding_.Connected()) return kNoDevice;
  const std::optional<std::string> value = binding_.DeviceName();
  if (!value) return status::kBadData;
  const std::string text = ValidUtf8(*value);
  if (CodePointCount(text) >= 256) return status::kNameTooLong;
  name = text;
  return status::kOk;
}

Status DeviceSession::RelayUserDatabases(const fs::path& download) {
  if (!binding_.Connected()) return kNoDevice;
  try {
    if (afc_) DropAfc();
    EnsureSession();
  } catch (const DeviceError&) {
    return binding_.Connected() ? status::kBadData : kNoDevice;
  }
  std::unique_ptr<ServiceConnection> relay;
  if (binding_.StartService(kFileRelayService, relay) != 0 || !relay) {
    return binding_.Connected() ? status::kBadData : kNoDevice;
  }
  plist_t request = plist_new_dict();
  plist_t sources = plist_new_array();
  plist_array_append_item(sources, plist_new_string("UserDatabases"));
  plist_dict_set_item(request, "Sources", sources);
  const bool sent = SendMessage(*relay, request);
  plist_free(request);
  if (!sent) return binding_.Connected() ? status::kBadData : kNoDevice;
  {
    // The relay acknowledges, or names why it refuses ("Error").
    PlistHolder reply(ReceiveMessage(*relay));
    if (!reply.node) return binding_.Connected() ? status::kBadData : kNoDevice;
    if (!DictString(reply.node, "Error").empty()) return status::kBadData;
  }

  if (!download.parent_path().empty()) CreateFolderTree(download.parent_path());
  LocalFile out(download);
  if (!out.ok()) return out.error();
  std::vector<char> buffer(kDeviceBlock);
  uint64_t sinceReport = 0;
  int k = 1;
  const auto value = [&] { return progress_.base + std::min(k, std::max(progress_.budget, 1)); };
  for (;;) {
    const int64_t n = relay->Receive(buffer.data(), buffer.size());
    if (n <= 0) break;
    if (const Status s = WriteAll(out.fd(), buffer.data(), static_cast<size_t>(n))) return s;
    sinceReport += static_cast<uint64_t>(n);
    if (sinceReport > kRelayReportBytes) {
      sinceReport = 0;
      const int answer = progress_.Report(value());
      ++k;
      if (answer) return answer;
    }
  }
  if (const Status s = out.Close()) return s;
  // A stream that ended because the phone went away is incomplete.
  if (!binding_.Connected()) return kNoDevice;
  return progress_.Report(value());
}

Status DeviceSession::ListUserApplications(ServiceConnection& connection, std::vector<std::string>& bundleIds) {
  plist_t request = plist_new_dict();
  plist_t options = plist_new_dict();
  plist_dict_set_item(options, "ApplicationType", plist_new_string("User"));
  plist_dict_set_item(request, "ClientOptions", options);
  plist_dict_set_item(request, "Command", plist_new_string("Browse"));
  const bool sent = SendMessage(connection, request);
  plist_free(request);
  if (!sent) return -1;
  for (;;) {
    PlistHolder reply(ReceiveMessage(connection));
    if (!reply.node) return -1;
    size_t collected = 0;
    plist_t amount = plist_dict_get_item(reply.node, "CurrentAmount");
    uint64_t count = 0;
    if (amount && plist_get_node_type(amount) == PLIST_UINT) plist_get_uint_val(amount, &count);
    plist_t list = plist_dict_get_item(reply.node, "CurrentList");
    if (count > 0 && list && plist_get_node_type(list) == PLIST_ARRAY) {
      for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
        plist_t app = plist_array_get_item(list, i);
        if (!app || plist_get_node_type(app) != PLIST_DICT) continue;
        const std::string id = DictString(app, "CFBundleIdentifier");
        if (id.empty()) continue;
        bundleIds.push_back(id);
        ++collected;
      }
    }
    if (DictString(reply.node, "Status") == "Complete") return 0;
    if (collected == 0) return 0;
  }
}

Status DeviceSession::ListUserApplications(std::vector<std::string>& bundleIds) {
  if (!binding_.Connected()) return kNoDevice;
  try {
    if (afc_) DropAfc();
    EnsureSession();
  } catch (const DeviceError&) {
    return binding_.Connected() ? -1 : kNoDevice;
  }
  std::unique_ptr<ServiceConnection> connection;
  if (binding_.StartService(kInstallationService, connection) != 0 || !connection) {
    return binding_.Connected() ? -1 : kNoDevice;
  }
  const Status result = ListUserApplications(*connection, bundleIds);
  if (result != 0 && !binding_.Connected()) return kNoDevice;
  return result;
}

void DeviceSession::OpenAppContainer(const std::string& bundleId) {
  if (!binding_.Connected()) throw DeviceError(DeviceFailure::kNotConnected);
  if (afc_) DropAfc();
  EnsureSession();
  std::unique_ptr<ServiceConnection> connection;
  if (binding_.StartService(kContainerService, connection) != 0 || !connection) Fail(DeviceFailure::kOpenAfc);
  plist_t request = plist_new_dict();
  plist_dict_set_item(request, "Command", plist_new_string("VendContainer"));
  plist_dict_set_item(request, "Identifier", plist_new_string(bundleId.c_str()));
  const bool sent = SendMessage(*connection, request);
  plist_free(request);
  if (!sent) Fail(DeviceFailure::kOpenAfc);
  {
    // An application that is not installed (or not the user's) is refused
    // with "Error"; its container must not be confused with the last one.
    PlistHolder reply(ReceiveMessage(*connection));
    if (!reply.node || !DictString(reply.node, "Error").empty()) Fail(DeviceFailure::kOpenAfc);
  }
  std::unique_ptr<AfcClient> client;
  if (binding_.OpenAfc(std::move(connection), client) != 0 || !client) Fail(DeviceFailure::kOpenAfc);
  afc_ = std::move(client);
  container_ = true;
}

// --- the relay archive ---

Status UnpackRelayArchive(const fs::path& download, const fs::path& archive) {
  const Status s = GunzipFile(download, archive);
  if (s != status::kOk) {
    std::error_code ec;
    fs::remove(archive, ec);  // a half-unpacked archive is not read
    return status::kBadData;
  }
  return status::kOk;
}

Status ExtractArchiveEntry(const fs::path& archive, const std::string& devicePath, const fs::path& local) {
  std::optional<ArchiveEntry> found;
  const Status walked = WalkArchive(archive, [&](const ArchiveEntry& entry) {
    if (!ArchiveNameMatches(entry.name, devicePath)) return true;
    found = entry;
    return false;
  });
  if (walked != status::kOk) return walked;
  if (!found) return ENOENT;
  return CopyArchiveRange(archive, found->dataOffset, found->dataSize, local);
}

Status CarveArchiveMedia(const fs::path& archive, const fs::path& workFolder, std::vector<MediaItem>& media,
                         const DeviceProgress& progress) {
  std::error_code ec;
  const uint64_t archiveSize = fs::file_size(archive, ec);
  if (ec) return ec.value();
  const size_t from = media.size();
  int fd = ::open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  Status result = status::kOk;
  const Status walked = WalkArchive(archive, [&](const ArchiveEntry& entry) {
    if (entry.dataSize > 0 && (entry.damaged || (entry.mode & 0170000) == 0100000)) {
      char head[MediaSniffer::kSniffBytes];
      const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof head, entry.dataSize));
      const ssize_t n = ::pread(fd, head, want, static_cast<off_t>(entry.dataOffset));
      if (n > 0 && MediaSniffer::Detect(reinterpret_cast<const uint8_t*>(head), static_cast<size_t>(n)) !=
                       MediaType::Unknown) {
        const fs::path copy = workFolder / PathDigestName(entry.name);
        if (CopyArchiveRange(archive, entry.dataOffset, entry.dataSize, copy) == status::kOk) {
          const size_t slash = entry.name.rfind('/');
          std::string base = slash == std::string::npos ? entry.name : entry.name.substr(slash + 1);
          if (base.size() > 512) base.resize(512);
          media.push_back(MediaItem{entry.dataSize, ValidUtf8(base), copy});
        }
      }
    }
    const uint64_t consumed = entry.dataOffset + entry.dataSize;
    const int value = progress.base + static_cast<int>(archiveSize ? progress.budget * consumed / archiveSize : 0);
    if (const int answer = progress.Report(value)) {
      result = answer;
      return false;
    }
    return true;
  });
  ::close(fd);
  SortByName(media, from);
  if (result != status::kOk) return result;
  return walked;
}

std::string PathDigestName(std::string_view path) { return Sha1Hex(path); }

}  // namespace orbanix::device
