// The binding layer between the device services and a mobile-device library.
//
// The device services (device_session.h) never call a library directly;
// they go through a DeviceBinding: the table of operations they need on one
// connected iPhone. Two bindings exist:
//   ImobiledeviceBinding  the real one, over libimobiledevice (usbmuxd)
//   SimulatedDevice       a phone served from a local folder, for tests and
//                         demonstrations
//
// Service connections carry raw bytes; the services lay their own framing
// on top (service_messages.h). A file-service (AFC) client is opened on a
// service connection and then owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orbanix::device {

// One byte stream to a service on the phone.
class ServiceConnection {
 public:
  virtual ~ServiceConnection() = default;
  // Sends every byte; false when the connection failed.
  virtual bool Send(const char* data, size_t size) = 0;
  // Receives up to `size` bytes: the count received, 0 when the service has
  // ended the stream, negative when the connection failed.
  virtual int64_t Receive(char* data, size_t size) = 0;
};

// Answers of the file-service calls.
enum class AfcResult { kOk, kIsDirectory, kFailed };

// A file-service client: paths are those of the service (the whole file
// system for the root service, the media folder for the ordinary one, the
// application's container after vending).
class AfcClient {
 public:
  virtual ~AfcClient() = default;
  // The file's information as key/value pairs ("st_size", "st_ifmt", ...).
  virtual AfcResult FileInfo(const std::string& path, std::vector<std::pair<std::string, std::string>>& info) = 0;
  // Every name of a folder as the service lists it ("." and ".." included).
  virtual AfcResult ReadDirectory(const std::string& path, std::vector<std::string>& names) = 0;
  virtual AfcResult OpenFile(const std::string& path, uint64_t& handle) = 0;
  // Reads up to `length` bytes; `length` becomes the count read (0 at the end).
  virtual AfcResult ReadFile(uint64_t handle, char* data, uint32_t& length) = 0;
  virtual AfcResult CloseFile(uint64_t handle) = 0;
};

// A connected iPhone as a device list shows it.
struct ConnectedDevice {
  std::string udid;
  std::string name;  // empty when the phone did not tell it
};

// The operation table. Every operation answers 0 on success; the values of
// failures are the library's own and only told apart from 0.
class DeviceBinding {
 public:
  virtual ~DeviceBinding() = default;

  // The connected flag: true while the phone this binding stands for is
  // attached. Operations on a phone that went away fail and clear it.
  virtual bool Connected() = 0;
  virtual std::string Udid() const = 0;

  virtual int Connect() = 0;
  virtual int IsPaired() = 0;  // answer not relied on
  virtual int ValidatePairing() = 0;
  virtual int Pair() = 0;
  virtual int StartSession() = 0;
  virtual int StopSession() = 0;
  virtual void Disconnect() = 0;

  // Starts a service within the running session.
  virtual int StartService(const std::string& name, std::unique_ptr<ServiceConnection>& connection) = 0;
  // Opens the file service on a started connection, which the client then owns.
  virtual int OpenAfc(std::unique_ptr<ServiceConnection> connection, std::unique_ptr<AfcClient>& client) = 0;

  // The phone's own name (lockdown value "DeviceName"); nullopt when missing.
  virtual std::optional<std::string> DeviceName() = 0;
};

// The binding for a phone: the simulated phone of $ORBANIX_SIMULATED_PHONE
// when that names a folder (simulated_device.h), else the real library's
// phone of this UDID (the first one attached when empty). Never null; a
// binding without a phone reports Connected() false.
std::unique_ptr<DeviceBinding> MakeDeviceBinding(const std::string& udid = {});

// The phones attached now, name and UDID (the simulated one when set). An
// empty list when none is attached or the USB multiplexer is not running.
std::vector<ConnectedDevice> ListConnectedDevices();

}  // namespace orbanix::device
