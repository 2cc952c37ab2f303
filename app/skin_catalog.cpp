#include "app/skin_catalog.h"


static void InitSkinResourceOnce() { Q_INIT_RESOURCE(skin); }

namespace orbanix::app {

void InitSkinResources() {
  static const bool done = [] {
    InitSkinResourceOnce();
    return true;
  }();
  (void)done;
}

const std::array<CategoryInfo, kCategoryCount>& Categories() {
  static const std::array<CategoryInfo, kCategoryCount> table = {{
      {kCameraRoll, "OptCameraRoll", "Camera Roll", "NodeCameraRoll", "Camera Roll (0)", true,
       ":/skin/images/cat_camera_roll.svg"},
      {kPhotoStream, "OptPhotoStream", "Photo Stream", "NodePhotoStream", "Photo Stream (0)", true,
       ":/skin/images/cat_photo_stream.svg"},
      {kAppPhotos, "OptAppPhotos", "App Photos", "NodeAppPhotos", "App Photos (0)", true,
       ":/skin/images/cat_app_photos.svg"},
      {kAppVideos, "OptAppVideos", "App Videos", "NodeAppVideos", "App Videos (0)", true,
       ":/skin/images/cat_app_videos.svg"},
      {kMessages, "OptMessages", "Messages", "NodeMessages", "Messages (0)", false,
       ":/skin/images/cat_messages.svg"},
      {kMessageAtts, "OptMessageAtts", "Message Attachments", "NodeMessageAtts", "Message Attachments (0)", false,
       ":/skin/images/cat_attachment.svg"},
      {kContacts, "OptContacts", "Contacts", "NodeContacts", "Contacts (0)", false,
       ":/skin/images/cat_contacts.svg"},
      {kCallHistory, "OptCallHistory", "Call History", "NodeCallHistory", "Call History (0)", false,
       ":/skin/images/cat_call_history.svg"},
      {kNotes, "OptNotes", "Notes", "NodeNotes", "Notes (0)", false, ":/skin/images/cat_notes.svg"},
      {kWhatsApp, "WhatsApp", "WhatsApp", "NodeWhatsApp", "WhatsApp (0)", false, ":/skin/images/cat_whatsapp.svg"},
      {kWhatsAppAtts, "OptWhatsAppAtts", "WhatsApp Attachments", "NodeWhatsAppAtts", "WhatsApp Attachments (0)",
       false, ":/skin/images/cat_attachment.svg"},
      {kReminder, "OptReminder", "Reminder", "NodeReminder", "Reminder (0)", false,
       ":/skin/images/cat_reminder.svg"},
      {kCalendar, "OptCalendar", "Calendar", "NodeCalendar", "Calendar (0)", false,
       ":/skin/images/cat_calendar.svg"},
      {kSafariBookmark, "SafariBookmark", "Safari Bookmarks", "NodeSafariBookmark", "Safari Bookmarks (0)", false,
       ":/skin/images/cat_safari.svg"},
  }};
  return table;
}

const CategoryInfo& CategoryByNumber(int number) {
  const auto& table = Categories();
  if (number < 1 || number > kCategoryCount) return table[0];
  return table[static_cast<size_t>(number - 1)];
}

QIcon BackupIcon(bool encrypted) {
  InitSkinResources();
  return QIcon(encrypted ? QStringLiteral(":/skin/images/backup_locked.svg") : QStringLiteral(":/skin/images/backup.svg"));
}

QIcon CategoryIcon(int number) {
  InitSkinResources();
  return QIcon(QString::fromLatin1(CategoryByNumber(number).icon));
}

QIcon GroupIcon(bool media) {
  InitSkinResources();
  return QIcon(media ? QStringLiteral(":/skin/images/cat_group_media.svg")
                     : QStringLiteral(":/skin/images/cat_group_messages.svg"));
}

QIcon DeletedMarkIcon() {
  InitSkinResources();
  return QIcon(QStringLiteral(":/skin/images/deleted_mark.svg"));
}

}  // namespace orbanix::app
