#include "device/imobiledevice_binding.h"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/service.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

// Opens the file service on an already started service connection. The
// library exports it (its container vending is built on it) without
// declaring it in its public headers; the file-service client does not own
// the connection (it is freed separately).
extern "C" afc_error_t afc_client_new_with_service_client(service_client_t service_client, afc_client_t* client);

namespace orbanix::device {

namespace {

constexpr const char* kLabel = "orbanix";
// One receive waits this long; a stream still silent after kMaxWaits waits
// (the relay prepares its archive first) is given up.
constexpr unsigned kReceiveTimeoutMs = 5000;
constexpr int kMaxWaits = 120;

std::vector<std::string> AttachedUdids() {
  std::vector<std::string> udids;
  idevice_info_t* infos = nullptr;
  int count = 0;
  if (idevice_get_device_list_extended(&infos, &count) != IDEVICE_E_SUCCESS || !infos) return udids;
  for (int i = 0; i < count; ++i) {
    if (infos[i] && infos[i]->udid && infos[i]->conn_type == CONNECTION_USBMUXD) udids.emplace_back(infos[i]->udid);
  }
  idevice_device_list_extended_free(infos);
  return udids;
}

class LibraryConnection : public ServiceConnection {
 public:
  LibraryConnection(service_client_t client, std::function<bool()> stillAttached)
      : client_(client), stillAttached_(std::move(stillAttached)) {}
  ~LibraryConnection() override {
    if (client_) service_client_free(client_);
  }
  service_client_t client() const { return client_; }

  bool Send(const char* data, size_t size) override {
    while (size > 0) {
      uint32_t sent = 0;
      const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(size, 1u << 20));
      if (service_send(client_, data, chunk, &sent) != SERVICE_E_SUCCESS || sent == 0) return false;
      data += sent;
      size -= sent;
    }
    return true;
  }

  int64_t Receive(char* data, size_t size) override {
    const uint32_t want = static_cast<uint32_t>(std::min<size_t>(size, 1u << 20));
    for (int wait = 0; wait < kMaxWaits; ++wait) {
      uint32_t received = 0;
      const service_error_t rc = service_receive_with_timeout(client_, data, want, &received, kReceiveTimeoutMs);
      if (received > 0) return received;
      if (rc == SERVICE_E_TIMEOUT) {
        if (!stillAttached_()) return -1;
        continue;
      }
      // The service closed the connection: the end of its stream, unless
      // the phone itself went away.
      return stillAttached_() ? 0 : -1;
    }
    return -1;
  }

 private:
  service_client_t client_;
  std::function<bool()> stillAttached_;
};

class LibraryAfc : public AfcClient {
 public:
  LibraryAfc(std::unique_ptr<ServiceConnection> connection, afc_client_t afc, std::function<void()> failed)
      : connection_(std::move(connection)), afc_(afc), failed_(std::move(failed)) {}
  ~LibraryAfc() override {
    afc_client_free(afc_);  // the connection is freed after it
  }

  AfcResult FileInfo(const std::string& path, std::vector<std::pair<std::string, std::string>>& info) override {
    char** list = nullptr;
    if (Check(afc_get_file_info(afc_, path.c_str(), &list)) != AfcResult::kOk) return AfcResult::kFailed;
    info.clear();
    for (size_t i = 0; list && list[i] && list[i + 1]; i += 2) info.emplace_back(list[i], list[i + 1]);
    afc_dictionary_free(list);
    return AfcResult::kOk;
  }

  AfcResult ReadDirectory(const std::string& path, std::vector<std::string>& names) override {
    char** list = nullptr;
    if (Check(afc_read_directory(afc_, path.c_str(), &list)) != AfcResult::kOk) return AfcResult::kFailed;
    names.clear();
    for (size_t i = 0; list && list[i]; ++i) names.emplace_back(list[i]);
    afc_dictionary_free(list);
    return AfcResult::kOk;
  }

  AfcResult OpenFile(const std::string& path, uint64_t& handle) override {
    return Check(afc_file_open(afc_, path.c_str(), AFC_FOPEN_RDONLY, &handle));
  }

  AfcResult ReadFile(uint64_t handle, char* data, uint32_t& length) override {
    uint32_t read = 0;
    const AfcResult r = Check(afc_file_read(afc_, handle, data, length, &read));
    if (r == AfcResult::kOk) length = read;
    return r;
  }

  AfcResult CloseFile(uint64_t handle) override { return Check(afc_file_close(afc_, handle)); }

 private:
  AfcResult Check(afc_error_t rc) {
    if (rc == AFC_E_SUCCESS) return AfcResult::kOk;
    if (rc == AFC_E_OBJECT_IS_DIR) return AfcResult::kIsDirectory;
    if (rc == AFC_E_MUX_ERROR || rc == AFC_E_SERVICE_NOT_CONNECTED || rc == AFC_E_IO_ERROR) failed_();
    return AfcResult::kFailed;
  }

  std::unique_ptr<ServiceConnection> connection_;
  afc_client_t afc_;
  std::function<void()> failed_;
};

class ImobiledeviceBinding : public DeviceBinding {
 public:
  explicit ImobiledeviceBinding(std::string udid) : udid_(std::move(udid)) {
    const std::vector<std::string> attached = AttachedUdids();
    if (udid_.empty() && !attached.empty()) udid_ = attached.front();
    connected_ = !udid_.empty() && std::find(attached.begin(), attached.end(), udid_) != attached.end();
  }
  ~ImobiledeviceBinding() override {
    Disconnect();
    if (device_) idevice_free(device_);
  }

  bool Connected() override { return connected_; }
  std::string Udid() const override { return udid_; }

  int Connect() override {
    if (!connected_) return -1;
    if (!device_ && idevice_new_with_options(&device_, udid_.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
      device_ = nullptr;
      return Failed(-1);
    }
    if (lockdown_) return 0;
    const lockdownd_error_t rc = lockdownd_client_new(device_, &lockdown_, kLabel);
    if (rc != LOCKDOWN_E_SUCCESS) lockdown_ = nullptr;
    return rc == LOCKDOWN_E_SUCCESS ? 0 : Failed(rc);
  }

  int IsPaired() override {
    if (!lockdown_) return -1;
    char* type = nullptr;
    const lockdownd_error_t rc = lockdownd_query_type(lockdown_, &type);
    free(type);
    return rc;
  }

  int ValidatePairing() override { return lockdown_ ? lockdownd_validate_pair(lockdown_, nullptr) : -1; }
  int Pair() override { return lockdown_ ? lockdownd_pair(lockdown_, nullptr) : -1; }

  int StartSession() override {
    if (!device_) return -1;
    // The handshake reads this computer's pair record and starts the
    // session with its host id.
    if (lockdown_) lockdownd_client_free(lockdown_);
    lockdown_ = nullptr;
    const lockdownd_error_t rc = lockdownd_client_new_with_handshake(device_, &lockdown_, kLabel);
    if (rc != LOCKDOWN_E_SUCCESS) lockdown_ = nullptr;
    return rc == LOCKDOWN_E_SUCCESS ? 0 : Failed(rc);
  }

  int StopSession() override {
    // Freeing the client stops its session and closes its connection.
    if (!lockdown_) return -1;
    lockdownd_client_free(lockdown_);
    lockdown_ = nullptr;
    return 0;
  }

  void Disconnect() override {
    if (lockdown_) lockdownd_client_free(lockdown_);
    lockdown_ = nullptr;
  }

  int StartService(const std::string& name, std::unique_ptr<ServiceConnection>& connection) override {
    connection.reset();
    if (!lockdown_ || !device_) return -1;
    lockdownd_service_descriptor_t descriptor = nullptr;
    lockdownd_error_t rc = lockdownd_start_service(lockdown_, name.c_str(), &descriptor);
    if (rc != LOCKDOWN_E_SUCCESS || !descriptor) {
      if (descriptor) lockdownd_service_descriptor_free(descriptor);
      return Failed(rc ? rc : -1);
    }
    service_client_t client = nullptr;
    const service_error_t src = service_client_new(device_, descriptor, &client);
    lockdownd_service_descriptor_free(descriptor);
    if (src != SERVICE_E_SUCCESS || !client) return Failed(src ? src : -1);
    connection = std::make_unique<LibraryConnection>(client, [this] { return Recheck(); });
    return 0;
  }

  int OpenAfc(std::unique_ptr<ServiceConnection> connection, std::unique_ptr<AfcClient>& client) override {
    client.reset();
    auto* library = dynamic_cast<LibraryConnection*>(connection.get());
    if (!library) return -1;
    afc_client_t afc = nullptr;
    const afc_error_t rc = afc_client_new_with_service_client(library->client(), &afc);
    if (rc != AFC_E_SUCCESS || !afc) return Failed(rc ? rc : -1);
    client = std::make_unique<LibraryAfc>(std::move(connection), afc, [this] { Recheck(); });
    return 0;
  }

  std::optional<std::string> DeviceName() override {
    if (!connected_) return std::nullopt;
    if (!device_ && idevice_new_with_options(&device_, udid_.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
      device_ = nullptr;
      Recheck();
      return std::nullopt;
    }
    lockdownd_client_t client = nullptr;
    if (lockdownd_client_new(device_, &client, kLabel) != LOCKDOWN_E_SUCCESS) {
      Recheck();
      return std::nullopt;
    }
    char* name = nullptr;
    std::optional<std::string> result;
    if (lockdownd_get_device_name(client, &name) == LOCKDOWN_E_SUCCESS && name) result = std::string(name);
    free(name);
    lockdownd_client_free(client);
    return result;
  }

 private:
  // After a failure: is the phone still attached? Clears the connected
  // flag when it is not.
  bool Recheck() {
    const std::vector<std::string> attached = AttachedUdids();
    connected_ = std::find(attached.begin(), attached.end(), udid_) != attached.end();
    return connected_;
  }
  int Failed(int code) {
    Recheck();
    return code;
  }

  std::string udid_;
  bool connected_ = false;
  idevice_t device_ = nullptr;
  lockdownd_client_t lockdown_ = nullptr;
};

}  // namespace

std::unique_ptr<DeviceBinding> MakeImobiledeviceBinding(const std::string& udid) {
  return std::make_unique<ImobiledeviceBinding>(udid);
}

std::vector<ConnectedDevice> ListImobiledeviceDevices() {
  std::vector<ConnectedDevice> devices;
  for (const std::string& udid : AttachedUdids()) {
    ConnectedDevice device{udid, {}};
    idevice_t handle = nullptr;
    if (idevice_new_with_options(&handle, udid.c_str(), IDEVICE_LOOKUP_USBMUX) == IDEVICE_E_SUCCESS) {
      lockdownd_client_t client = nullptr;
      if (lockdownd_client_new(handle, &client, kLabel) == LOCKDOWN_E_SUCCESS) {
        char* name = nullptr;
        if (lockdownd_get_device_name(client, &name) == LOCKDOWN_E_SUCCESS && name) device.name = name;
        free(name);
        lockdownd_client_free(client);
      }
      idevice_free(handle);
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

}  // namespace orbanix::device
