// What the scan page needs of a data source: the open call and the
// operations of the ticked categories for the scan driver, and afterwards
// the number of records found per category. The record containers live
// here; an operation appends only to its own containers, so the page may
// count a category as soon as its operation has ended while the next one
// runs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/problems.h"
#include "platform/status.h"
#include "sources/discovery.h"
#include "sources/scan_driver.h"

namespace orbanix {
struct ScanResults;
class IPhoneRecoveryParse;
}  // namespace orbanix

namespace orbanix::app {

// One operation and the category numbers (1..11) whose records it fills.
struct BackendStep {
  ScanStep step;
  std::vector<int> categories;
};

// The chats of QQ and WeChat: no category of the category page (they are
// read with Messages), but two more nodes of the tree and counts of a scan.
inline constexpr int kQQChats = 15;
inline constexpr int kWeChatChats = 16;

// Ticks of the category page, index 0 = category 1.
using CategoryTicks = std::array<bool, 14>;

// A phone attached to this computer, as the choose-backup page lists it.
struct DeviceChoice {
  std::string udid;
  std::string name;  // empty when the phone did not tell it
};

class ScanBackend {
 public:
  virtual ~ScanBackend() = default;

  // The phone that a device scan (source type 0) reads; called before
  // Prepare, which then ignores its backup.
  virtual void SelectDevice(const DeviceChoice& /*device*/) {}

  // Called on the user-interface thread before the worker starts: `report`
  // is the progress callback to register with the data source (it answers 0
  // to go on, anything else to stop). Returns the open call and the
  // operations for the ticked categories, in the fixed order.
  virtual void Prepare(const BackupInfo& backup, const std::string& password, const CategoryTicks& ticked,
                       std::function<int(int)> report, std::function<Status()>& open,
                       std::vector<BackendStep>& steps) = 0;

  // Records found for a category whose operation has ended.
  virtual int Count(int category) const = 0;
  // Their size for the statistics line: each item counts at least 1024
  // bytes, as the selection does.
  virtual uint64_t Bytes(int category) const = 0;

  // The record containers and the data source, for the preview and the
  // recovery; null for a backend that has none. Read the containers under
  // their lock while a scan runs.
  virtual ScanResults* Results() { return nullptr; }
  virtual IPhoneRecoveryParse* Source() { return nullptr; }
  // True once a device scan found its phone gone.
  virtual bool DeviceGone() const { return false; }
  // What the source could not read so far (safe to ask while the worker
  // runs), and its own words on how opening went (the decryption's or the
  // phone's explanation; empty when it had none). Asked on the worker.
  virtual std::vector<Problem> Problems() const { return {}; }
  virtual std::string OpenMessage() const { return {}; }
};

using ScanBackendFactory = std::function<std::unique_ptr<ScanBackend>(int sourceType)>;

// The order in which the operations run, by the category that asks for
// them: photos, messages, message attachments, contacts, call history,
// notes, application media, WhatsApp, WhatsApp attachments.
struct OperationPlan {
  const char* name;
  std::vector<int> categories;
};
const std::vector<OperationPlan>& OperationOrder();

// The operations that the ticks ask for, in order (an operation runs when
// any of its categories is ticked; the application-media walk also runs for
// WhatsApp attachments, which it sets aside).
std::vector<OperationPlan> PlannedOperations(const CategoryTicks& ticked);

}  // namespace orbanix::app
