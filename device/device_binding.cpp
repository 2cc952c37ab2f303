#include "device/device_binding.h"

#include <cstdlib>
#include <filesystem>

#include "device/imobiledevice_binding.h"
#include "device/simulated_device.h"

namespace orbanix::device {

namespace {

// The simulated phone's folder when $ORBANIX_SIMULATED_PHONE names one.
std::unique_ptr<SimulatedDevice> SimulatedFromEnvironment() {
  const char* folder = std::getenv("ORBANIX_SIMULATED_PHONE");
  if (!folder || !*folder) return nullptr;
  return SimulatedDevice::Load(folder);
}

}  // namespace

std::unique_ptr<DeviceBinding> MakeDeviceBinding(const std::string& udid) {
  if (auto simulated = SimulatedFromEnvironment()) {
    if (udid.empty() || udid == simulated->Udid()) return simulated;
    simulated->Unplug();  // not the phone asked for
    return simulated;
  }
  return MakeImobiledeviceBinding(udid);
}

std::vector<ConnectedDevice> ListConnectedDevices() {
  if (auto simulated = SimulatedFromEnvironment()) {
    return {ConnectedDevice{simulated->Udid(), simulated->DeviceName().value_or("")}};
  }
  return ListImobiledeviceDevices();
}

}  // namespace orbanix::device
