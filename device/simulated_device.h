// A simulated iPhone: a DeviceBinding that serves a local folder as the
// phone's file system, for tests and demonstrations without a phone.
//
//   root file service ("com.apple.afc2")   the whole folder (optional)
//   file service ("com.apple.afc")         <folder>/private/var/mobile/Media
//   file relay                             answers "UserDatabases" with a
//       gzip-compressed odc cpio archive it builds from
//       <folder>/private/var/mobile/Library/{AddressBook,SMS,CallHistory,
//       CallHistoryDB,Notes}, entries named "./var/mobile/Library/..."
//   installation listing                   the configured applications, a
//       few per reply, then "Status" "Complete"
//   container vending                      an application's container folder
//
// The service messages travel as real bytes in the services' framing, so
// the device services are exercised exactly as with a phone. The phone can
// be unplugged (at once or after a number of calls) to test the loss of a
// phone in the middle of a scan.
//
// A phone folder can describe itself in "Device.plist" beside its file
// system ("FileSystem/"): DeviceName, UniqueDeviceID, RootFileService
// (bool), FileRelay (bool), Applications (array of dictionaries with
// CFBundleIdentifier and Container, a folder relative to the phone folder).
// $ORBANIX_SIMULATED_PHONE names such a folder (device_binding.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/device_binding.h"

namespace orbanix::device {

struct SimulatedApp {
  std::string bundleId;
  std::filesystem::path container;  // the container folder
};

struct SimulatedPhoneOptions {
  std::string udid = "0000SIMULATED0000000000000000000000000001";
  std::optional<std::string> name = std::string("Simulated iPhone");
  bool rootService = true;   // "com.apple.afc2" starts
  bool relayService = true;  // the file relay answers
  bool paired = true;        // the pairing is valid already
  bool pairable = true;      // pairing succeeds when asked
  std::vector<SimulatedApp> applications;
  size_t applicationsPerReply = 2;
  // Serve this many filler bytes as the relay stream instead of the archive.
  std::optional<uint64_t> relayStreamBytes;
  size_t relayBlock = 65536;
  // The phone goes away after this many binding and file-service calls.
  int64_t unplugAfterCalls = -1;
};

class SimulatedDevice : public DeviceBinding {
 public:
  SimulatedDevice(std::filesystem::path root, SimulatedPhoneOptions options = {});
  ~SimulatedDevice() override;

  // A phone folder with Device.plist and FileSystem/; null when the
  // folder holds no Device.plist that can be read.
  static std::unique_ptr<SimulatedDevice> Load(const std::filesystem::path& phoneFolder);
  // Writes Device.plist for `options` (containers relative to the folder
  // when they lie inside it). False when it cannot be written.
  static bool WriteDescription(const std::filesystem::path& phoneFolder, const SimulatedPhoneOptions& options);

  void Unplug() { plugged_ = false; }
  const std::filesystem::path& root() const { return root_; }
  SimulatedPhoneOptions& options() { return options_; }
  // Services started so far, in order.
  const std::vector<std::string>& servicesStarted() const { return started_; }
  // The relay's archive as it would send it (uncompressed), for tests.
  std::string BuildRelayArchive() const;

  bool Connected() override;
  std::string Udid() const override { return options_.udid; }
  int Connect() override;
  int IsPaired() override;
  int ValidatePairing() override;
  int Pair() override;
  int StartSession() override;
  int StopSession() override;
  void Disconnect() override;
  int StartService(const std::string& name, std::unique_ptr<ServiceConnection>& connection) override;
  int OpenAfc(std::unique_ptr<ServiceConnection> connection, std::unique_ptr<AfcClient>& client) override;
  std::optional<std::string> DeviceName() override;

  // Counts one call; false once the phone is gone (used by the connections
  // and file-service clients as well).
  bool Call();

 private:
  std::filesystem::path root_;
  SimulatedPhoneOptions options_;
  std::atomic<bool> plugged_{true};
  int64_t calls_ = 0;
  bool linked_ = false;
  bool session_ = false;
  bool paired_ = false;
  std::vector<std::string> started_;
};

}  // namespace orbanix::device
