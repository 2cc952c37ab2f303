// The fixed tables of the windows: the fourteen categories in the order of
// the category page with their option controls, tree nodes and icons, and
// the pictures of the skin resource.
#pragma once

#include <QIcon>
#include <QString>
#include <array>

namespace orbanix::app {

// Makes the skin resource (forms' pictures) available; call once before
// any window is built. Safe to call again.
void InitSkinResources();

inline constexpr int kCategoryCount = 14;

// Category numbers: 1 Camera Roll ... 11 WhatsApp attachments hold data;
// 12 Reminder, 13 Calendar and 14 Safari bookmarks can be ticked but nothing
// reads them.
enum CategoryNumber : int {
  kCameraRoll = 1,
  kPhotoStream,
  kAppPhotos,
  kAppVideos,
  kMessages,
  kMessageAtts,
  kContacts,
  kCallHistory,
  kNotes,
  kWhatsApp,
  kWhatsAppAtts,
  kReminder,
  kCalendar,
  kSafariBookmark,
};

struct CategoryInfo {
  int number;
  const char* option;    // option control on the category page
  const char* label;     // its text in the form
  const char* node;      // tree node key in section "PageScan"
  const char* nodeText;  // tree node text in the form
  bool mediaGroup;       // under "Photos & Videos" (else "Messages & Call logs")
  const char* icon;      // resource path
};

const std::array<CategoryInfo, kCategoryCount>& Categories();
const CategoryInfo& CategoryByNumber(int number);  // 1..14

QIcon BackupIcon(bool encrypted);
QIcon CategoryIcon(int number);
QIcon GroupIcon(bool media);
QIcon DeletedMarkIcon();

}  // namespace orbanix::app
