#include "tools/backupgen/families.h"
#include "tools/backupgen/family_calls.h"
#include "tools/backupgen/family_chat_apps.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_media.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/family_notes.h"
#include "tools/backupgen/family_notestore.h"
#include "tools/backupgen/family_organizer.h"
#include "tools/backupgen/family_whatsapp.h"

namespace orbanix::gen {

const std::vector<Family>& Families() {
  static const std::vector<Family> kFamilies = {
      {"contacts", AddContactsFamily},
      {"messages", AddMessagesFamily},
      {"calls", AddCallsFamily},
      {"notes", AddNotesFamily},
      {"notestore", AddNoteStoreFamily},
      {"whatsapp", AddWhatsAppFamily},
      {"organizer", AddOrganizerFamily},
      {"chat_apps", AddChatAppsFamily},
      {"media", AddMediaFamily},
  };
  return kFamilies;
}

const std::vector<Family>& CurrentFamilies() {
  static const std::vector<Family> kFamilies = {
      {"contacts", AddCurrentContactsFamily},
      {"messages", AddCurrentMessagesFamily},
      {"calls", AddCurrentCallsFamily},
      {"notes", AddNotesFamily},
      {"whatsapp", AddCurrentWhatsAppFamily},
      {"organizer", AddOrganizerFamily},
      {"chat_apps", AddChatAppsFamily},
      {"media", AddCurrentMediaFamily},
  };
  return kFamilies;
}

std::vector<fs::path> WriteDemo(const fs::path& root, std::string* error) {
  std::vector<fs::path> written;
  struct Variant {
    const char* folder;
    Era era;
    DeviceInfo device;
  };
  DeviceInfo old;
  old.displayName = "Anna's iPhone";
  old.deviceName = "Anna's iPhone";
  old.serialNumber = "F2LDEMO0001";
  old.productVersion = "9.3.5";
  DeviceInfo modern;
  modern.displayName = "Ben's iPhone";
  modern.deviceName = "Ben's iPhone";
  modern.serialNumber = "F2LDEMO0002";
  modern.phoneNumber = "+44 7700 900123";
  modern.productType = "iPhone12,1";
  modern.productVersion = "14.3";
  modern.lastBackupUnix = 1609502400;  // 2021-01-01 12:00:00 UTC
  modern.binaryPlists = true;
  const Variant variants[] = {
      {"0000000000000000000000000000000000demo01", Era::Mbdb, old},
      {"00008030-000000000000DEMO", Era::ManifestDb, modern},
  };
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root);
  for (const Variant& v : variants) {
    BackupWriter writer(root / v.folder, v.era, v.device);
    FamilyOptions options;
    for (const Family& family : Families()) family.add(writer, options);
    if (!writer.Finish(error)) return written;
    written.push_back(writer.folder());
  }
  return written;
}

}  // namespace orbanix::gen
