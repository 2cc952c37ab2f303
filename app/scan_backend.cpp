#include "app/scan_backend.h"

#include <string_view>

#include "app/skin_catalog.h"

namespace orbanix::app {

const std::vector<OperationPlan>& OperationOrder() {
  static const std::vector<OperationPlan> order = {
      {"ScanPhotos", {kCameraRoll, kPhotoStream}},
      {"ScanMessages", {kMessages}},
      {"ScanMessageAttachments", {kMessageAtts}},
      {"ScanContacts", {kContacts}},
      {"ScanCallHistory", {kCallHistory}},
      {"ScanNotes", {kNotes}},
      {"ScanAppMedia", {kAppPhotos, kAppVideos}},
      {"ScanWhatsApp", {kWhatsApp}},
      {"ScanWhatsAppAttachments", {kWhatsAppAtts}},
      {"ScanReminders", {kReminder}},
      {"ScanCalendar", {kCalendar}},
      {"ScanSafari", {kSafariBookmark}},
  };
  return order;
}

std::vector<OperationPlan> PlannedOperations(const CategoryTicks& ticked) {
  std::vector<OperationPlan> planned;
  for (const OperationPlan& op : OperationOrder()) {
    bool wanted = false;
    for (int c : op.categories) wanted = wanted || ticked[static_cast<size_t>(c - 1)];
    // WhatsApp attachments are the media that the application-media walk
    // sets aside, so that walk runs for them too; its own categories stay
    // hidden unless ticked.
    if (std::string_view(op.name) == "ScanAppMedia") wanted = wanted || ticked[kWhatsAppAtts - 1];
    if (wanted) planned.push_back(op);
  }
  return planned;
}

}  // namespace orbanix::app
