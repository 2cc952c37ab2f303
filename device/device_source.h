// The data source over a connected iPhone.
//
// It fetches the phone's databases and media into local copies in the work
// folder with the device services, then runs the same extractors as the
// backup source on them. `SetCatalog` takes the phone's DeviceBinding (the
// caller keeps it alive for the source's lifetime); the source opens its own
// DeviceSession on it at every `Open`.
//
// Local copies in the work folder:
//   personcontent  address book      /private/var/mobile/Library/AddressBook/AddressBook.sqlitedb
//   sms            messages          /private/var/mobile/Library/SMS/sms.db
//   notes          notes             /private/var/mobile/Library/Notes/notes.sqlite
//   NoteStore      notes (iOS 9 on)  /private/var/mobile/Containers/Shared/AppGroup/<UUID>/NoteStore.sqlite,
//                                    the app group that holds one; its
//                                    attachments' files go to NoteFiles/
//                                    (named as a backup names them)
//   history        call history      /private/var/mobile/Library/CallHistoryDB/CallHistory.storedata,
//                                    else /private/var/wireless/Library/CallHistory/call_history.db
//   ChatStorage, Contacts  WhatsApp  an application's /Documents/.../ChatStorage.sqlite, Contacts.sqlite
//   tamsel         the unpacked relay archive
//   <digest>       media, chat databases: PathDigestName of the bundle id
//                  (for container files) and the device path
// The first four come from the whole file system when the phone opens it
// (root file service), otherwise the address book and the messages come
// from the relay archive and notes and calls are not available. The copies
// are removed at the next Open and when the source is destroyed.
//
// Progress: Open reports 1, then the relay's reports, then 20; each later
// operation adds half of `step` (10), ScanWhatsApp a whole step, and the
// walks report once per folder so that a long walk can be paused or
// cancelled.
//
// A phone that goes away ends each operation that needs it with ENODEV
// (kNoDevice); `Open` without a phone answers -1 (the source cannot be
// opened). `message()` tells the last failure of the device services.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/device_binding.h"
#include "device/device_session.h"
#include "sources/recovery_source.h"

namespace orbanix::device {

inline constexpr const char* kAddressBookCopy = "personcontent";
inline constexpr const char* kMessagesCopy = "sms";
inline constexpr const char* kNotesCopy = "notes";
inline constexpr const char* kNoteStoreCopy = "NoteStore";
inline constexpr const char* kNoteFilesCopy = "NoteFiles";
inline constexpr const char* kCallHistoryCopy = "history";
inline constexpr const char* kWhatsAppChatCopy = "ChatStorage";
inline constexpr const char* kWhatsAppContactsCopy = "Contacts";
inline constexpr const char* kRelayArchive = "tamsel";
inline constexpr const char* kRelayDownload = "Tamsel.tmp";

inline constexpr const char* kAddressBookPath = "/private/var/mobile/Library/AddressBook/AddressBook.sqlitedb";
inline constexpr const char* kMessagesPath = "/private/var/mobile/Library/SMS/sms.db";
inline constexpr const char* kNotesPath = "/private/var/mobile/Library/Notes/notes.sqlite";
inline constexpr const char* kAppGroupsPath = "/private/var/mobile/Containers/Shared/AppGroup";
inline constexpr const char* kCallRecordPath = "/private/var/mobile/Library/CallHistoryDB/CallHistory.storedata";
inline constexpr const char* kCallHistoryPath = "/private/var/wireless/Library/CallHistory/call_history.db";
inline constexpr const char* kCalendarPath = "/private/var/mobile/Library/Calendar/Calendar.sqlitedb";
inline constexpr const char* kReminderStoresPath = "/private/var/mobile/Library/Reminders/Container_v1/Stores";
inline constexpr const char* kSafariBookmarksPath = "/private/var/mobile/Library/Safari/Bookmarks.db";
inline constexpr const char* kSafariHistoryPath = "/private/var/mobile/Library/Safari/History.db";
inline constexpr const char* kAttachmentsPath = "/private/var/mobile/Library/SMS/Attachments";
inline constexpr const char* kArchiveAddressBook = "/var/mobile/Library/AddressBook/AddressBook.sqlitedb";
inline constexpr const char* kArchiveMessages = "/var/mobile/Library/SMS/sms.db";
// The media folder as the root file service sees it (the ordinary file
// service's root).
inline constexpr const char* kMediaRoot = "/private/var/mobile/Media";
// The photo library, below the media folder.
inline constexpr const char* kPhotoLibraryPath = "/PhotoData/Photos.sqlite";
inline constexpr const char* kWhatsAppBundle = "net.whatsapp.WhatsApp";

// The application name of a bundle identifier: the text after the first
// "com." or "net." (whichever comes first), or "other" without either.
std::string DeviceAppName(const std::string& bundleId);

class CDeviceRecovery : public IPhoneRecoveryParse {
 public:
  // Empty folders mean the program's data folder and work folder.
  explicit CDeviceRecovery(std::filesystem::path dataFolder = {}, std::filesystem::path workFolder = {});
  ~CDeviceRecovery() override;
  CDeviceRecovery(const CDeviceRecovery&) = delete;
  CDeviceRecovery& operator=(const CDeviceRecovery&) = delete;

  // `context` is the phone's DeviceBinding.
  Status SetCatalog(void* context) override;
  Status SetProgressCallback(ProgressCallback callback, void* user) override;
  Status Reserved(int32_t) override { return status::kOk; }
  bool IsBackupSource(int32_t) override { return false; }

  Status Open(const std::string& password) override;
  Status ScanMessages(ConversationMap& conversations) override;
  Status ScanMessageAttachments(std::vector<AttachmentFile>& attachments) override;
  Status ScanContacts(std::vector<ContactRecord>& contacts) override;
  Status ScanNotes(std::vector<NoteRecord>& notes) override;
  Status ScanCallHistory(std::vector<CallRecord>& calls) override;
  Status ScanPhotos(std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream) override;
  Status ScanWhatsAppAttachments(std::vector<MediaItem>& media) override;
  Status ScanAppMedia(std::vector<AppMediaItem>& media) override;
  Status ScanQQ(ChatAccountMap& accounts) override;
  Status ScanWeChat(ChatAccountMap& accounts) override;
  Status ScanWhatsApp(WhatsAppChatMap& chats) override;
  Status CopyForPreview(const std::filesystem::path& source, std::filesystem::path& copy, ProgressCallback callback,
                        void* user) override;
  Status CopyFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                  CopyCallback callback, void* user) override;
  Status DumpMessageRows(const std::filesystem::path& output, const MessageRowFilter& keep) override;
  Status DumpContactRows(const std::filesystem::path& output, const ContactRowFilter& keep) override;
  Status ExportWhatsAppChat(int chatKey, const std::filesystem::path& output, CopyCallback callback,
                            void* user) override;
  Status ExportQQChat(const std::string& account, const std::string& chat, const std::filesystem::path& output,
                      CopyCallback callback, void* user) override;
  Status ExportWeChatChat(const std::string& account, const std::string& chat, const std::filesystem::path& output,
                          CopyCallback callback, void* user) override;
  // The organiser stores are fetched when they are scanned, from the whole
  // file system only (the relay archive does not hold them).
  Status ScanReminders(std::vector<ReminderRecord>& reminders) override;
  Status ScanCalendar(std::vector<CalendarEventRecord>& events) override;
  Status ScanSafari(std::vector<SafariBookmarkRecord>& bookmarks, std::vector<SafariHistoryRecord>& history) override;

  // True when the last Open had the phone's whole file system.
  bool rootFileSystem() const { return rootFileSystem_; }
  // True when the last Open got the relay archive.
  bool relayArchive() const { return relayArchive_; }
  // True once an operation found the phone gone.
  bool disconnected() const { return disconnected_; }
  // The last failure of the device services: as the services tell it, and
  // in English. Empty when none.
  const std::string& message() const { return message_; }
  const std::string& englishMessage() const { return englishMessage_; }
  const std::filesystem::path& workFolder() const { return workFolder_; }
  std::filesystem::path LocalCopy(const char* name) const { return workFolder_ / name; }
  const std::vector<std::filesystem::path>& qqCopies() const { return qqCopies_; }
  const std::vector<std::filesystem::path>& weChatCopies() const { return weChatCopies_; }
  int progress() const { return progress_; }
  int step() const { return step_; }
  // What could not be read since the last Open: databases of the phone
  // that are cut short or not databases, files that could not be copied.
  std::vector<Problem> Problems() const override { return problems_.Snapshot(); }

 private:
  // Looks at a local copy before its extractor reads it and records what
  // is wrong with it; false when nothing can be read from it.
  bool Usable(const char* category, const char* devicePath, const std::filesystem::path& copy);
  // Records an extractor's failure (not a missing file, not a cancel).
  void NoteFailure(const char* category, const char* devicePath, Status result, bool found);
  int Report(int value);
  int Advance(int share);
  static int SessionReport(void* self, int value);
  DeviceProgress SessionProgress(int base, int budget);
  std::function<int(int)> ExtractorProgressWithin(int share);
  // Records a device failure; the status the operation ends with.
  Status Failed(const DeviceError& error);
  Status NoDevice();
  void RemoveLocalCopies();
  std::filesystem::path DigestCopy(const std::string& key);
  // Fetches one database of the whole file system into a digest copy: its
  // path, or empty when the phone does not give it (a problem of
  // `category` when the phone lists the file).
  std::filesystem::path FetchDatabase(const char* category, const std::string& devicePath);
  // Copies a file of the phone; false when it cannot. A file the phone lists
  // but does not give (it refuses to open or read it) is a problem of
  // `category` (when given) of which nothing can be read; a file the phone
  // does not have is none: the category simply has nothing.
  bool Fetch(const char* category, const std::string& devicePath, const std::filesystem::path& local);
  // Copies the write-ahead log of the database copied from `devicePath` to
  // `local` beside it ("<local>-wal"), when the phone has one.
  void FetchLog(const std::string& devicePath, const std::filesystem::path& local);
  bool Listed(const std::string& devicePath);
  // The problem Open kept for `category`, taken out of the list.
  std::optional<Problem> TakeOpenProblem(const std::string& category);
  void NotFetched(const char* category, const std::string& devicePath);
  // The current Notes store of the phone copied to kNoteStoreCopy: the
  // device path of its app group, or empty when no app group holds one.
  std::string FetchNoteStore();
  // The files of the Notes app group's attachments (media, drawings'
  // renderings, previews) copied to kNoteFilesCopy, each under the hashed
  // name a backup gives it, with their index entries.
  Status FetchNoteFiles(const std::string& group, std::vector<BackupFileEntry>& index);
  // Breadth-first walk of a folder: recognised media copied and listed.
  // `perFile` (may be empty) is told every file listed; a non-zero answer
  // stops the walk.
  // `found` (may be empty) is told the phone's path of every item listed.
  Status WalkMedia(const char* category, const std::string& start, const std::string& digestPrefix, std::vector<MediaItem>& out,
                   const std::function<int()>& perFile = {},
                   const std::function<void(const std::string& devicePath, MediaItem& item)>& found = {});
  Status WalkContainer(const std::string& bundleId, std::vector<AppMediaItem>& media);
  Status ScanChatCopies(bool qq, ChatAccountMap& accounts, ChatAccountMap& kept);

  DeviceBinding* binding_ = nullptr;
  std::unique_ptr<DeviceSession> session_;
  std::filesystem::path dataFolder_;
  std::filesystem::path workFolder_;
  bool rootFileSystem_ = false;
  bool relayArchive_ = false;
  bool disconnected_ = false;
  std::string message_;
  ProblemLog problems_;
  // Problems of the databases Open fetches, told when their category is
  // scanned (a category not asked for is not reported on).
  std::vector<Problem> openProblems_;
  bool opening_ = false;  // Open is fetching: NotFetched keeps its problems for the scans
  std::string englishMessage_;
  std::vector<std::filesystem::path> written_;  // copies named by digest
  std::vector<std::filesystem::path> qqCopies_;
  std::vector<std::filesystem::path> weChatCopies_;
  std::vector<std::string> qqAccountsOfCopies_;
  std::vector<std::string> weChatAccountsOfCopies_;
  ProgressCallback callback_ = nullptr;
  void* user_ = nullptr;
  int lastAnswer_ = 0;
  int lastReported_ = 0;
  int progress_ = 0;
  int step_ = 0;
  int64_t maxMessageRowId_ = 20000;
  int64_t maxContactRowId_ = 20000;
  ConversationMap conversations_;
  ChatAccountMap qqAccounts_;
  ChatAccountMap weChatAccounts_;
  WhatsAppChatMap whatsAppChats_;
};

}  // namespace orbanix::device
