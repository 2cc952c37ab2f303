#include "app/local_backend.h"

#include <algorithm>
#include <mutex>

#include "app/device_backend.h"
#include "app/skin_catalog.h"
#include "sources/catalog.h"

namespace orbanix::app {

int SourceBackend::Report(void* self, int value) { return static_cast<SourceBackend*>(self)->report_(value); }

void SourceBackend::PlanSteps(IPhoneRecoveryParse& source, const CategoryTicks& ticked,
                              std::function<int(int)> report, std::vector<BackendStep>& steps) {
  report_ = std::move(report);
  source.SetProgressCallback(&SourceBackend::Report, this);

  CategorySet set;
  for (int c = 1; c <= kCategoryCount; ++c) {
    if (ticked[static_cast<size_t>(c - 1)]) set.insert(static_cast<Category>(c));
  }
  std::vector<ScanStep> plan = BuildScanPlan(source, set, results_);
  // The plan runs the operations in the same fixed order as the page
  // plans them; each step then refreshes the counts of its categories.
  const std::vector<OperationPlan> planned = PlannedOperations(ticked);
  for (size_t i = 0; i < plan.size(); ++i) {
    BackendStep step;
    step.step = std::move(plan[i]);
    if (planned.size() == plan.size()) {
      step.step.name = planned[i].name;
      step.categories = planned[i].categories;
    } else {
      for (int c = 1; c <= kDataCategoryCount; ++c) step.categories.push_back(c);
    }
    steps.push_back(std::move(step));
  }
  // The chats of QQ and WeChat are messages too: read with them. On a
  // phone their databases come with the walk of the applications'
  // containers, which must have run before.
  if (ticked[kMessages - 1]) {
    std::vector<ScanStep> chats;
    const bool walked = ticked[kAppPhotos - 1] || ticked[kAppVideos - 1] || ticked[kWhatsAppAtts - 1];
    if (walkBeforeChats_ && !walked) {
      IPhoneRecoveryParse* s = &source;
      chats.push_back({"ScanAppMedia", [s] {
                         std::vector<AppMediaItem> unused;
                         return s->ScanAppMedia(unused);
                       }});
    }
    AddChatAppSteps(source, true, true, results_, chats);
    for (ScanStep& chat : chats) {
      BackendStep step;
      if (chat.name == "QQ") step.categories = {kQQChats};
      if (chat.name == "WeChat") step.categories = {kWeChatChats};
      step.step = std::move(chat);
      steps.push_back(std::move(step));
    }
  }
}

int SourceBackend::Count(int category) const {
  std::lock_guard<std::mutex> guard(results_.lock);
  if (category == kQQChats) return static_cast<int>(CountChatAccounts(results_.qq).items);
  if (category == kWeChatChats) return static_cast<int>(CountChatAccounts(results_.weChat).items);
  return static_cast<int>(CountCategory(results_, static_cast<Category>(category)).items);
}

uint64_t SourceBackend::Bytes(int category) const {
  std::lock_guard<std::mutex> guard(results_.lock);
  auto atLeast = [](uint64_t size) { return std::max<uint64_t>(size, 1024); };
  uint64_t total = 0;
  auto media = [&](const auto& items) {
    for (const auto& item : items) total += atLeast(item.size);
  };
  switch (static_cast<Category>(category)) {
    case Category::CameraRoll: media(results_.cameraRoll); break;
    case Category::PhotoStream: media(results_.photoStream); break;
    case Category::MessageAtts: media(results_.messageAttachments); break;
    case Category::WhatsAppAtts: media(results_.whatsAppMedia); break;
    case Category::AppPhotos:
      for (const auto& [app, items] : results_.appPhotos) media(items);
      break;
    case Category::AppVideos:
      for (const auto& [app, items] : results_.appVideos) media(items);
      break;
    default:
      // Records have no size of their own; each counts 1024 bytes.
      total = uint64_t{1024} * CountCategory(results_, static_cast<Category>(category)).items;
      break;
  }
  return total;
}

namespace {

class LocalBackend : public SourceBackend {
 public:
  explicit LocalBackend(std::shared_ptr<BackupCatalog> catalog) : catalog_(std::move(catalog)) {}

  void Prepare(const BackupInfo& backup, const std::string& password, const CategoryTicks& ticked,
               std::function<int(int)> report, std::function<Status()>& open,
               std::vector<BackendStep>& steps) override {
    catalog_->SelectBackup(backup);
    source_.SetCatalog(catalog_.get());
    PlanSteps(source_, ticked, std::move(report), steps);
    open = [this, password] { return source_.Open(password); };
  }

  IPhoneRecoveryParse* Source() override { return &source_; }
  std::vector<Problem> Problems() const override { return source_.Problems(); }
  std::string OpenMessage() const override { return catalog_->lastMessage(); }

 private:
  std::shared_ptr<BackupCatalog> catalog_;
  CLocalBuckupRecovery source_;
};

}  // namespace

ScanBackendFactory MakeLocalBackendFactory(std::vector<std::filesystem::path> roots, std::filesystem::path dataFolder) {
  auto catalog = std::make_shared<BackupCatalog>(dataFolder, std::move(roots));
  return [catalog, dataFolder](int sourceType) -> std::unique_ptr<ScanBackend> {
    if (sourceType == 0) return MakeDeviceBackend(dataFolder);
    if (sourceType != 1) return nullptr;
    return std::make_unique<LocalBackend>(catalog);
  };
}

}  // namespace orbanix::app
