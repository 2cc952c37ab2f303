// The scan backend over a connected iPhone: the device source on the
// phone's binding (the simulated phone when $ORBANIX_SIMULATED_PHONE names
// one, device_binding.h), through the same scan plan and record containers
// as a backup. The binding and the source live as long as the backend: the
// preview and the recovery copy the media from the source's local copies,
// which go with the source.
#pragma once

#include <filesystem>
#include <memory>

#include "app/scan_backend.h"

namespace orbanix::app {

// `dataFolder` empty: the program's data and work folders; otherwise the
// source's copies go below it.
std::unique_ptr<ScanBackend> MakeDeviceBackend(std::filesystem::path dataFolder = {});

}  // namespace orbanix::app
