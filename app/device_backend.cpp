#include "app/device_backend.h"

#include "app/local_backend.h"
#include "device/device_binding.h"
#include "device/device_source.h"

namespace orbanix::app {

namespace {

class DeviceBackend : public SourceBackend {
 public:
  explicit DeviceBackend(std::filesystem::path dataFolder) : dataFolder_(std::move(dataFolder)) {
    walkBeforeChats_ = true;
  }

  ~DeviceBackend() override {
    // The source's session runs on the binding: it goes first.
    source_.reset();
    binding_.reset();
  }

  void SelectDevice(const DeviceChoice& device) override { udid_ = device.udid; }

  void Prepare(const BackupInfo&, const std::string&, const CategoryTicks& ticked, std::function<int(int)> report,
               std::function<Status()>& open, std::vector<BackendStep>& steps) override {
    // A binding without its phone is kept too: the source's Open then
    // fails and the page says the phone cannot be read.
    binding_ = device::MakeDeviceBinding(udid_);
    if (dataFolder_.empty()) {
      source_ = std::make_unique<device::CDeviceRecovery>();
    } else {
      source_ = std::make_unique<device::CDeviceRecovery>(dataFolder_, dataFolder_ / "DeviceWork");
    }
    source_->SetCatalog(binding_.get());
    PlanSteps(*source_, ticked, std::move(report), steps);
    // A phone has no password; its databases are fetched by Open.
    device::CDeviceRecovery* source = source_.get();
    open = [source] { return source->Open({}); };
  }

  IPhoneRecoveryParse* Source() override { return source_.get(); }
  bool DeviceGone() const override { return source_ && source_->disconnected(); }
  std::vector<Problem> Problems() const override { return source_ ? source_->Problems() : std::vector<Problem>{}; }
  std::string OpenMessage() const override { return source_ ? source_->englishMessage() : std::string(); }

 private:
  std::filesystem::path dataFolder_;
  std::string udid_;
  std::unique_ptr<device::DeviceBinding> binding_;
  std::unique_ptr<device::CDeviceRecovery> source_;
};

}  // namespace

std::unique_ptr<ScanBackend> MakeDeviceBackend(std::filesystem::path dataFolder) {
  return std::make_unique<DeviceBackend>(std::move(dataFolder));
}

}  // namespace orbanix::app
