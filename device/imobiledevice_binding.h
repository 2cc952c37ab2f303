// The real binding: a phone attached over USB, reached through
// libimobiledevice and the usbmuxd daemon.
#pragma once

#include <string>
#include <vector>

#include "device/device_binding.h"

namespace orbanix::device {

// Builds a binding for the phone of this UDID, or the first one attached
// when empty. Without a phone (or without usbmuxd) the binding reports
// Connected() false and every operation fails.
std::unique_ptr<DeviceBinding> MakeImobiledeviceBinding(const std::string& udid);

// The phones attached over USB now, with their names.
std::vector<ConnectedDevice> ListImobiledeviceDevices();

}  // namespace orbanix::device
