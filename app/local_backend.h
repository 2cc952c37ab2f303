// The scan backend over a backup folder on this computer.
#pragma once

#include "app/scan_backend.h"

namespace orbanix::app {

// Makes the local-backup backend for source type 1; nullptr for others.
ScanBackendFactory MakeLocalBackendFactory();

}  // namespace orbanix::app
