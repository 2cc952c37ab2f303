// One scan of a connected iPhone from the command line, the device
// counterpart of scan_session.h: finds the phone, runs the same scan driver
// and plan as for a backup with a progress bar on stderr, and turns Ctrl-C
// into a cancel that still keeps what was found.
#pragma once

#include <memory>
#include <string>

#include "device/device_binding.h"
#include "device/device_source.h"
#include "sources/scan_plan.h"

namespace orbanix::cli {

struct DeviceScanRequest {
  std::string udid;         // empty: the first phone attached
  CategorySet categories;   // empty: every category (none when only chat applications are asked for)
  bool qq = false;          // also read the QQ and WeChat databases of the applications
  bool weChat = false;
  bool quiet = false;
};

struct DeviceScanSession {
  std::unique_ptr<device::DeviceBinding> binding;
  std::unique_ptr<device::CDeviceRecovery> source;
  std::string deviceName;
  ScanResults results;
  ScanOutcome outcome = ScanOutcome::kCompleted;
  Status openStatus = 0;
  Status lastStatus = 0;
  bool disconnected = false;  // the phone went away during the scan
};

// Runs the scan. Returns 0 when the scan ran (completed, cancelled or cut
// short by the phone going away), or 1 with a one-line error on stderr when
// no phone is attached or it cannot be read at all.
int RunDeviceScanSession(const DeviceScanRequest& request, DeviceScanSession& session);

}  // namespace orbanix::cli
