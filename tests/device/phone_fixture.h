// A simulated phone built from the generator's database families: the
// phone's folder (Device.plist and FileSystem/) with the address book,
// messages (and one message attachment), notes, the older call history,
// the calendar, a Reminders store, Safari's bookmarks and history,
// Camera Roll and Photo Stream pictures with the photo library, and
// application containers
// (two QQ databases, WeChat, WhatsApp with its media, and an application
// whose bundle identifier has neither "com." nor "net.").
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "device/simulated_device.h"
#include "tools/backupgen/family_calls.h"
#include "tools/backupgen/family_chat_apps.h"
#include "tools/backupgen/family_contacts.h"
#include "tools/backupgen/family_media.h"
#include "tools/backupgen/family_messages.h"
#include "tools/backupgen/family_organizer.h"
#include "tools/backupgen/family_notes.h"
#include "tools/backupgen/family_notestore.h"
#include "tools/backupgen/family_whatsapp.h"

namespace orbanix::device::testing {

namespace fs = std::filesystem;

inline fs::path FreshFolder(const std::string& name) {
  fs::path p = fs::temp_directory_path() / ("orbanix-device-" + name + "-" + std::to_string(getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

// The Notes app's group on the simulated phone.
inline constexpr const char* kNotesAppGroup = "7F00AA11-2B3C-4D5E-8F90-ABCDEF012345";

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Phone {
  fs::path folder;  // Device.plist + FileSystem/
  fs::path root;    // FileSystem/
  SimulatedPhoneOptions options;
  fs::path Library(const std::string& rest) const { return root / "private/var/mobile/Library" / rest; }
  fs::path Media(const std::string& rest) const { return root / "private/var/mobile/Media" / rest; }
  fs::path Container(const std::string& bundleId) const { return folder / "Containers" / bundleId; }
};

inline constexpr const char* kOtherApp = "org.example.camera";

inline Phone BuildPhone(const fs::path& folder) {
  Phone phone;
  phone.folder = folder;
  phone.root = folder / "FileSystem";
  gen::FamilyOptions family;

  fs::create_directories(phone.Library("AddressBook"));
  gen::AddressBookShape contacts;
  gen::BuildAddressBook(phone.Library("AddressBook/AddressBook.sqlitedb"), contacts);
  fs::create_directories(phone.Library("SMS"));
  gen::SmsShape sms;
  sms.messages = 200;
  gen::BuildSmsDb(phone.Library("SMS/sms.db"), sms);
  WriteBytes(phone.Library("SMS/Attachments/0a/10/IMG_0100.JPG"),
             gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 3000, 1));
  fs::create_directories(phone.Library("Notes"));
  gen::BuildNotesDb(phone.Library("Notes/notes.sqlite"), gen::NoteRows(family));
  // The current Notes store in its app group (a folder named by a UUID,
  // beside other apps' groups), with its attachments' files.
  const fs::path groups = phone.root / "private/var/mobile/Containers/Shared/AppGroup";
  WriteBytes(groups / "0A1B2C3D-1111-4222-8333-444455556666/Library/Preferences/other.plist", "other app");
  std::vector<std::pair<std::string, std::string>> noteFiles;
  fs::create_directories(groups / kNotesAppGroup);
  gen::BuildNoteStoreDb(groups / kNotesAppGroup / "NoteStore.sqlite", gen::NoteStoreRows(family),
                        gen::NoteStoreLayout::kIos17, &noteFiles);
  for (const auto& [relative, bytes] : noteFiles) WriteBytes(groups / kNotesAppGroup / relative, bytes);
  fs::create_directories(phone.root / "private/var/wireless/Library/CallHistory");
  gen::BuildCallHistoryDb(phone.root / "private/var/wireless/Library/CallHistory/call_history.db",
                          gen::CallRows(family));
  fs::create_directories(phone.Library("Calendar"));
  gen::BuildCalendarDb(phone.Library("Calendar/Calendar.sqlitedb"), gen::CalendarRows(true, family), true);
  fs::create_directories(phone.Library("Reminders/Container_v1/Stores"));
  const auto stores = gen::ReminderStores(family);
  gen::BuildReminderStore(phone.Library("Reminders/Container_v1/Stores/" + stores[0].first + ".sqlite"),
                          stores[0].second);
  WriteBytes(phone.Library("Reminders/Container_v1/Stores/" + stores[0].first + ".sqlite-wal"), "");  // not a store
  fs::create_directories(phone.Library("Safari"));
  gen::BuildBookmarksDb(phone.Library("Safari/Bookmarks.db"), gen::BookmarkRows(family), true);
  gen::BuildHistoryDb(phone.Library("Safari/History.db"), gen::HistoryRows(family));

  WriteBytes(phone.Media("DCIM/100APPLE/IMG_0001.JPG"), gen::MediaSampleBytes(gen::MediaSample::JpegExif, 4000, 2));
  WriteBytes(phone.Media("DCIM/100APPLE/IMG_0002.MOV"), gen::MediaSampleBytes(gen::MediaSample::QuickTime, 2000, 3));
  WriteBytes(phone.Media("DCIM/100APPLE/notes.txt"), std::string(600, 't'));  // not media
  WriteBytes(phone.Media("DCIM/101APPLE/img_0003.png"), gen::MediaSampleBytes(gen::MediaSample::Png, 1500, 4));
  WriteBytes(phone.Media("DCIM/101APPLE/empty.jpg"), "");  // nothing to copy
  // The photo library: IMG_0002.MOV in "Recently Deleted"; img_0003.png
  // has no asset.
  std::vector<gen::GenPhotoAsset> assets(2);
  assets[0].fileName = "IMG_0001.JPG";
  assets[0].unixCreated = 1700000000;
  assets[1].fileName = "IMG_0002.MOV";
  assets[1].unixCreated = 1700003600;
  assets[1].trashed = true;
  assets[1].unixTrashed = 1701000000;
  fs::create_directories(phone.Media("PhotoData"));
  gen::BuildPhotosDb(phone.Media("PhotoData/Photos.sqlite"), assets);
  WriteBytes(phone.Media("PhotoStreamsData/1234/100APPLE/IMG_0500.JPG"),
             gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 2500, 5));

  const fs::path qq = phone.Container("com.tencent.mqq");
  fs::create_directories(qq / "Documents/88001234");
  fs::create_directories(qq / "Documents/accounts/88005678");
  gen::BuildQqDb(qq / "Documents/88001234/QQ.db", gen::QqPeers(family));
  gen::BuildQqDb(qq / "Documents/accounts/88005678/QQ.db", gen::QqPeers(family));
  WriteBytes(qq / "Documents/88001234/QQ.db-journal", std::string(700, 'j'));  // a side file, not a database
  WriteBytes(qq / "Documents/image/head.jpg", gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 1200, 6));

  const fs::path xin = phone.Container("com.tencent.xin");
  fs::create_directories(xin / "Documents/0123abcd/DB");
  gen::BuildWeChatDb(xin / "Documents/0123abcd/DB/MM.sqlite", gen::WeChatPeers(family));

  const fs::path wa = phone.Container("net.whatsapp.WhatsApp");
  fs::create_directories(wa / "Documents");
  gen::BuildWhatsAppDb(wa / "Documents/ChatStorage.sqlite", gen::WhatsAppContent(30, family));
  WriteBytes(wa / "Library/Media/447700900123@s.whatsapp.net/a/b/photo.jpg",
             gen::MediaSampleBytes(gen::MediaSample::JpegJfif, 1800, 7));
  WriteBytes(wa / "Library/Media/447700900123@s.whatsapp.net/a/b/voice.mp3",
             gen::MediaSampleBytes(gen::MediaSample::Mp3, 1800, 8));

  const fs::path other = phone.Container(kOtherApp);
  WriteBytes(other / "Documents/shot.png", gen::MediaSampleBytes(gen::MediaSample::Png, 900, 9));

  for (const char* id : {"com.tencent.mqq", "com.tencent.xin", "net.whatsapp.WhatsApp", kOtherApp}) {
    phone.options.applications.push_back(SimulatedApp{id, phone.Container(id)});
  }
  phone.options.applications.push_back(SimulatedApp{"com.example.nocontainer", folder / "Containers/missing"});
  SimulatedDevice::WriteDescription(folder, phone.options);
  return phone;
}

}  // namespace orbanix::device::testing
