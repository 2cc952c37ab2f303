// A scripted data source for the scan page: reports the given progress
// values and finds the given number of records per operation.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "app/scan_backend.h"
#include "app/skin_catalog.h"

namespace orbanix::app::testing {

struct FakeScript {
  std::vector<int> openReports{0, 1, 3};
  Status openStatus = status::kOk;
  // Reports of every operation, and the pause between two reports.
  std::vector<int> stepReports{10, 20, 30};
  std::chrono::milliseconds between{0};
  int recordsPerCategory = 2;
  std::atomic<int>* opens = nullptr;  // counts Open calls when set
  DeviceChoice* device = nullptr;     // told the phone of a device scan when set
  bool deviceGone = false;            // the phone went away during the scan
  // The source's words on opening, the result of named operations
  // ("ScanMessages" -> 87) and the problems an operation records when it
  // runs (by operation name).
  std::string openMessage;
  std::map<std::string, Status> stepStatus;
  std::map<std::string, std::vector<Problem>> stepProblems;
  std::vector<Problem> openProblems;
};

class FakeBackend : public ScanBackend {
 public:
  explicit FakeBackend(FakeScript script) : script_(std::move(script)) {}

  void SelectDevice(const DeviceChoice& device) override {
    if (script_.device) *script_.device = device;
  }

  void Prepare(const BackupInfo&, const std::string&, const CategoryTicks& ticked, std::function<int(int)> report,
               std::function<Status()>& open, std::vector<BackendStep>& steps) override {
    open = [this, report] {
      if (script_.opens) ++*script_.opens;
      for (int v : script_.openReports) {
        if (report(v) != 0) return status::kCancelled;
        std::this_thread::sleep_for(script_.between);
      }
      Record(script_.openProblems);
      return script_.openStatus;
    };
    for (const OperationPlan& op : PlannedOperations(ticked)) {
      BackendStep step;
      step.categories = op.categories;
      step.step.name = op.name;
      step.step.run = [this, report, cats = op.categories, name = std::string(op.name)] {
        for (int v : script_.stepReports) {
          if (report(v) != 0) return status::kCancelled;
          std::this_thread::sleep_for(script_.between);
        }
        const auto failed = script_.stepStatus.find(name);
        const auto problems = script_.stepProblems.find(name);
        if (problems != script_.stepProblems.end()) Record(problems->second);
        // A failed operation finds nothing.
        if (failed != script_.stepStatus.end()) return failed->second;
        for (int c : cats) counts_[static_cast<size_t>(c)] = script_.recordsPerCategory;
        return status::kOk;
      };
      steps.push_back(std::move(step));
    }
  }
  int Count(int category) const override { return counts_[static_cast<size_t>(category)]; }
  bool DeviceGone() const override { return script_.deviceGone; }
  uint64_t Bytes(int category) const override { return uint64_t(counts_[static_cast<size_t>(category)]) * 2048; }
  std::vector<Problem> Problems() const override {
    std::lock_guard<std::mutex> hold(lock_);
    return problems_;
  }
  std::string OpenMessage() const override { return script_.openMessage; }

 private:
  void Record(const std::vector<Problem>& problems) {
    std::lock_guard<std::mutex> hold(lock_);
    problems_.insert(problems_.end(), problems.begin(), problems.end());
  }

  FakeScript script_;
  mutable std::mutex lock_;
  std::vector<Problem> problems_;
  std::array<int, 15> counts_{};
};

// `device`: the factory serves phone scans (source type 0) too.
inline ScanBackendFactory FakeFactory(FakeScript script, bool device = false) {
  return [script, device](int type) -> std::unique_ptr<ScanBackend> {
    if (type != 1 && !(device && type == 0)) return nullptr;
    return std::make_unique<FakeBackend>(script);
  };
}

}  // namespace orbanix::app::testing
