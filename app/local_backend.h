// The scan backend over a backup folder on this computer: the local-backup
// source on the program's one backup catalog, with the scan's record
// containers.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "app/scan_backend.h"

namespace orbanix {
class BackupCatalog;
}

namespace orbanix::app {

// The catalog lives as long as the returned factory and every backend it
// made; its clean-up (the deciphered copy, the preview copies) runs when the
// last of them goes. Make it only once this process is the single running
// program: the catalog deletes what an earlier run left behind.
ScanBackendFactory MakeLocalBackendFactory(std::vector<std::filesystem::path> roots = {},
                                           std::filesystem::path dataFolder = {});

}  // namespace orbanix::app
