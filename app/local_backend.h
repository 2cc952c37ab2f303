// The scan backends over the program's own data sources, with the scan's
// record containers: the local-backup source on the program's one backup
// catalog (source type 1) and the device source on a connected iPhone
// (source type 0, device_backend.h).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "app/scan_backend.h"
#include "sources/scan_plan.h"

namespace orbanix {
class BackupCatalog;
}

namespace orbanix::app {

// What both backends share: the record containers, their counts and sizes,
// and the scan plan of the ticked categories over a data source.
class SourceBackend : public ScanBackend {
 public:
  int Count(int category) const override;
  uint64_t Bytes(int category) const override;
  ScanResults* Results() override { return &results_; }

 protected:
  // Registers `report` as the source's progress callback and appends the
  // operations of the ticked categories, in the page's fixed order, then
  // (with Messages) the chats of QQ and WeChat.
  void PlanSteps(IPhoneRecoveryParse& source, const CategoryTicks& ticked, std::function<int(int)> report,
                 std::vector<BackendStep>& steps);
  ScanResults results_;
  // A phone fetches the chat databases by walking the containers.
  bool walkBeforeChats_ = false;

 private:
  static int Report(void* self, int value);
  std::function<int(int)> report_;
};

// The catalog lives as long as the returned factory and every backend it
// made; its clean-up (the deciphered copy, the preview copies) runs when the
// last of them goes. Make it only once this process is the single running
// program: the catalog deletes what an earlier run left behind. Source type
// 0 makes the device backend; its copies go to `dataFolder` too when given.
ScanBackendFactory MakeLocalBackendFactory(std::vector<std::filesystem::path> roots = {},
                                           std::filesystem::path dataFolder = {});

}  // namespace orbanix::app
