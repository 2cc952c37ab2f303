#include "cli/device_session.h"

#include <iostream>

#include "cli/progress.h"
#include "cli/scan_session.h"
#include "device/device_errors.h"

namespace orbanix::cli {

int RunDeviceScanSession(const DeviceScanRequest& request, DeviceScanSession& session) {
  session.binding = device::MakeDeviceBinding(request.udid);
  if (!session.binding->Connected()) {
    if (request.udid.empty()) {
      std::cerr << "orbanix: no iPhone is connected\n";
    } else {
      std::cerr << "orbanix: the iPhone " << request.udid << " is not connected\n";
    }
    return 1;
  }
  {
    device::DeviceSession probe(*session.binding);
    probe.ReadDeviceName(session.deviceName);
  }
  if (!request.quiet) {
    std::cerr << "orbanix: scanning " << (session.deviceName.empty() ? "the iPhone" : session.deviceName) << " ("
              << session.binding->Udid() << ")\n";
  }
  session.source = std::make_unique<device::CDeviceRecovery>();
  session.source->SetCatalog(session.binding.get());

  ScanDriver driver;
  session.source->SetProgressCallback(&ScanDriver::ReportTrampoline, &driver);
  const bool chatAppsOnly = request.categories.empty() && (request.qq || request.weChat);
  const CategorySet ticked =
      chatAppsOnly ? CategorySet() : request.categories.empty() ? AllCategories() : request.categories;
  std::vector<ScanStep> plan = BuildScanPlan(*session.source, ticked, session.results);
  // On a phone the chat databases are fetched by the walk of the
  // applications' containers, which must run before them.
  const bool walked = ticked.count(Category::AppPhotos) || ticked.count(Category::AppVideos) ||
                      ticked.count(Category::WhatsAppAtts);
  if ((request.qq || request.weChat) && !walked) {
    device::CDeviceRecovery* source = session.source.get();
    plan.push_back({"application containers", [source] {
                      std::vector<AppMediaItem> unused;
                      return source->ScanAppMedia(unused);
                    }});
  }
  AddChatAppSteps(*session.source, request.qq, request.weChat, session.results, plan);

  ProgressBar bar("scan");
  ScanDriver::Events events;
  if (!request.quiet) {
    events.progress = [&bar](int percent, const std::string& step) { bar.Update(percent, step); };
  }
  Status openStatus = status::kOk;
  auto open = [&]() {
    openStatus = session.source->Open({});
    return openStatus;
  };
  {
    InterruptGuard guard([](void* d) { static_cast<ScanDriver*>(d)->Cancel(); }, &driver);
    events.finished = [&session](ScanOutcome o, Status last) {
      session.outcome = o;
      session.lastStatus = last;
    };
    driver.Start(open, std::move(plan), std::move(events));
    driver.Wait();
  }
  if (!request.quiet) {
    if (session.outcome == ScanOutcome::kCompleted) bar.Update(100, "done");
    bar.Finish();
  }
  session.openStatus = openStatus;
  session.disconnected = session.source->disconnected();
  const std::string& why = session.source->englishMessage();
  if (session.outcome == ScanOutcome::kCannotOpen) {
    std::cerr << "orbanix: the iPhone cannot be read" << (why.empty() ? "" : ": " + why) << "\n";
    return 1;
  }
  if (session.disconnected) {
    session.lastStatus = device::kNoDevice;
    std::cerr << "orbanix: the iPhone was disconnected during the scan; showing what was found\n";
  } else if (openStatus != status::kOk && session.outcome != ScanOutcome::kCancelled) {
    std::cerr << "orbanix: warning: " << (why.empty() ? "the phone's databases could not be fetched" : why)
              << "; only its media were read\n";
  }
  if (!request.quiet && !session.disconnected && session.outcome != ScanOutcome::kCancelled &&
      !session.source->rootFileSystem()) {
    std::cerr << "orbanix: note: the phone does not open its whole file system; notes and call history are not "
                 "available\n";
  }
  if (session.outcome == ScanOutcome::kCancelled) std::cerr << "orbanix: scan cancelled; showing what was found\n";
  return 0;
}

}  // namespace orbanix::cli
