#include "device/device_source.h"

#include "sources/stored_database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <set>

#include "extractors/calls.h"
#include "extractors/chat_apps.h"
#include "extractors/contacts.h"
#include "extractors/messages.h"
#include "extractors/notes.h"
#include "extractors/notestore.h"
#include "extractors/photos.h"
#include "extractors/whatsapp.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "sources/categories.h"
#include "sources/file_copy.h"
#include "sources/media_sniffer.h"

namespace orbanix::device {

namespace fs = std::filesystem;

namespace {

// Open reports from 1 to this value; the relay's reports fall between.
constexpr int kOpenDone = 20;

// folder + "/" + name without doubling a separator.
std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string LastPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder name just before "/QQ.db" in a device path ("" when none).
std::string QqAccountOf(const std::string& devicePath) {
  const size_t at = devicePath.find("/QQ.db");
  if (at == std::string::npos || at == 0) return {};
  const size_t slash = devicePath.rfind('/', at - 1);
  return devicePath.substr(slash == std::string::npos ? 0 : slash + 1, at - (slash == std::string::npos ? 0 : slash + 1));
}

// A key not yet in the map: `name`, else "name (2)", "name (3)", ...
std::string FreeKey(const ChatAccountMap& map, const std::string& name) {
  if (!map.count(name)) return name;
  for (int n = 2;; ++n) {
    std::string key = name + " (" + std::to_string(n) + ")";
    if (!map.count(key)) return key;
  }
}

}  // namespace

std::string DeviceAppName(const std::string& bundleId) {
  const size_t com = bundleId.find("com.");
  const size_t net = bundleId.find("net.");
  const size_t at = std::min(com, net);
  if (at == std::string::npos) return "other";
  return bundleId.substr(at + 4);
}

CDeviceRecovery::CDeviceRecovery(fs::path dataFolder, fs::path workFolder)
    : dataFolder_(dataFolder.empty() ? DataFolder() : std::move(dataFolder)),
      workFolder_(workFolder.empty() ? WorkFolder() : std::move(workFolder)) {
  CreateFolderTree(dataFolder_);
  CreateFolderTree(workFolder_);
}

CDeviceRecovery::~CDeviceRecovery() {
  session_.reset();
  RemoveLocalCopies();
}

Status CDeviceRecovery::SetCatalog(void* context) {
  binding_ = static_cast<DeviceBinding*>(context);
  return status::kOk;
}

Status CDeviceRecovery::SetProgressCallback(ProgressCallback callback, void* user) {
  callback_ = callback;
  user_ = user;
  return status::kOk;
}

int CDeviceRecovery::Report(int value) {
  // The walks' reports per folder repeat the last value; none goes back.
  if (value < lastReported_) value = lastReported_;
  lastReported_ = value;
  lastAnswer_ = callback_ ? callback_(user_, value) : 0;
  return lastAnswer_;
}

int CDeviceRecovery::Advance(int share) {
  progress_ += share;
  return Report(progress_);
}

int CDeviceRecovery::SessionReport(void* self, int value) { return static_cast<CDeviceRecovery*>(self)->Report(value); }

DeviceProgress CDeviceRecovery::SessionProgress(int base, int budget) {
  return DeviceProgress{&CDeviceRecovery::SessionReport, this, base, budget};
}

std::function<int(int)> CDeviceRecovery::ExtractorProgressWithin(int share) {
  const int base = progress_;
  return [this, base, share](int percent) { return Report(base + share * std::clamp(percent, 0, 100) / 100); };
}

Status CDeviceRecovery::NoDevice() {
  disconnected_ = true;
  message_ = FailureText(DeviceFailure::kNotConnected);
  englishMessage_ = FailureEnglish(DeviceFailure::kNotConnected);
  return kNoDevice;
}

Status CDeviceRecovery::Failed(const DeviceError& error) {
  if (!binding_ || !binding_->Connected() || error.failure() == DeviceFailure::kNotConnected) return NoDevice();
  message_ = error.what();
  englishMessage_ = error.English();
  return status::kBadData;
}

void CDeviceRecovery::RemoveLocalCopies() {
  std::error_code ec;
  for (const char* name : {kAddressBookCopy, kMessagesCopy, kNotesCopy, kNoteStoreCopy, kCallHistoryCopy,
                           kWhatsAppChatCopy, kWhatsAppContactsCopy, kRelayArchive}) {
    fs::remove(workFolder_ / name, ec);
    fs::remove(workFolder_ / (std::string(name) + "-wal"), ec);
  }
  fs::remove_all(workFolder_ / kNoteFilesCopy, ec);
  fs::remove(dataFolder_ / kRelayDownload, ec);
  for (const fs::path& p : written_) fs::remove(p, ec);
  written_.clear();
}

fs::path CDeviceRecovery::DigestCopy(const std::string& key) {
  fs::path local = workFolder_ / PathDigestName(key);
  written_.push_back(local);
  return local;
}

Status CDeviceRecovery::Open(const std::string&) {
  progress_ = 1;
  lastReported_ = 0;
  step_ = 10;
  if (const int answer = Report(progress_)) return answer;
  problems_.Clear();
  openProblems_.clear();
  opening_ = false;
  conversations_.clear();
  qqAccounts_.clear();
  weChatAccounts_.clear();
  whatsAppChats_.clear();
  qqCopies_.clear();
  weChatCopies_.clear();
  qqAccountsOfCopies_.clear();
  weChatAccountsOfCopies_.clear();
  message_.clear();
  englishMessage_.clear();
  disconnected_ = false;
  rootFileSystem_ = false;
  relayArchive_ = false;
  maxMessageRowId_ = 20000;
  maxContactRowId_ = 20000;
  session_.reset();
  // What an earlier scan fetched must never stand in for what this phone
  // does not give.
  RemoveLocalCopies();
  if (!binding_ || !binding_->Connected()) {
    NoDevice();
    return status::kCannotOpen;
  }
  session_ = std::make_unique<DeviceSession>(*binding_);
  try {
    session_->StartSession();
  } catch (const DeviceError& e) {
    Failed(e);
    return status::kCannotOpen;
  }

  // The relay's stream reports between 1 and 19.
  session_->SetProgress(SessionProgress(progress_, kOpenDone - 2));
  const fs::path download = dataFolder_ / kRelayDownload;
  lastAnswer_ = 0;
  const Status relay = session_->RelayUserDatabases(download);
  if (lastAnswer_ != 0) return lastAnswer_;
  if (relay == kNoDevice) {
    NoDevice();
    return status::kCannotOpen;
  }
  const fs::path archive = workFolder_ / kRelayArchive;
  if (relay == status::kOk) relayArchive_ = UnpackRelayArchive(download, archive) == status::kOk;
  std::error_code ec;
  fs::remove(download, ec);  // the unpacked archive is what is read
  progress_ = kOpenDone;
  if (const int answer = Report(progress_)) return answer;

  // The file service: the whole file system when the phone opens it.
  bool fileService = false;
  try {
    session_->UseFileSystem();
    fileService = true;
    rootFileSystem_ = session_->rootFileSystem();
  } catch (const DeviceError& e) {
    if (Failed(e) == kNoDevice) return status::kCannotOpen;
  }
  bool haveAddressBook = false, haveMessages = false;
  opening_ = true;
  if (rootFileSystem_) {
    // The address book and the messages may still come from the relay's
    // archive below.
    haveAddressBook = Fetch(nullptr, kAddressBookPath, workFolder_ / kAddressBookCopy);
    haveMessages = Fetch(nullptr, kMessagesPath, workFolder_ / kMessagesCopy);
    Fetch("notes", kNotesPath, workFolder_ / kNotesCopy);
    // The newer call history first; phones up to iOS 7 keep the older one.
    if (!Fetch("call-history", kCallRecordPath, workFolder_ / kCallHistoryCopy)) {
      Fetch("call-history", kCallHistoryPath, workFolder_ / kCallHistoryCopy);
    }
  }
  if (relayArchive_) {
    // Whatever the file system did not give comes from the archive.
    // Each with its write-ahead log when the archive holds one.
    const auto extract = [&](const char* devicePath, const char* copy) {
      if (ExtractArchiveEntry(archive, devicePath, workFolder_ / copy) != 0) return false;
      std::error_code ec;
      const fs::path log = workFolder_ / (std::string(copy) + "-wal");
      fs::remove(log, ec);
      if (ExtractArchiveEntry(archive, std::string(devicePath) + "-wal", log) == 0) {
        written_.push_back(log);
      } else {
        fs::remove(log, ec);
      }
      return true;
    };
    if (!haveAddressBook) haveAddressBook = extract(kArchiveAddressBook, kAddressBookCopy);
    if (!haveMessages) haveMessages = extract(kArchiveMessages, kMessagesCopy);
  }
  if (!binding_->Connected()) {
    opening_ = false;
    NoDevice();
    return status::kCannotOpen;
  }
  if (rootFileSystem_) {
    if (!haveAddressBook && Listed(kAddressBookPath)) NotFetched("contacts", kAddressBookPath);
    if (!haveMessages && Listed(kMessagesPath)) NotFetched("messages", kMessagesPath);
  } else if (fileService) {
    // Without the whole file system the relay is the only way to these two.
    const char* why = relayArchive_ ? "the file relay's archive does not hold it"
                                    : "the file relay refused and the whole file system is not open";
    if (!haveAddressBook) openProblems_.push_back({"contacts", kAddressBookPath, "could not be fetched from the phone", why, true});
    if (!haveMessages) openProblems_.push_back({"messages", kMessagesPath, "could not be fetched from the phone", why, true});
  }
  opening_ = false;
  if (const int answer = Report(progress_)) return answer;
  if (!fileService && !relayArchive_) return status::kCannotOpen;  // nothing of the phone can be read
  if (!haveAddressBook && !haveMessages && message_.empty()) {
    englishMessage_ = "the phone's databases could not be fetched (the file relay refused and the whole file "
                      "system is not open)";
  }
  return haveAddressBook || haveMessages ? status::kOk : status::kBadData;
}

std::optional<Problem> CDeviceRecovery::TakeOpenProblem(const std::string& category) {
  for (auto it = openProblems_.begin(); it != openProblems_.end(); ++it) {
    if (it->category != category) continue;
    Problem p = std::move(*it);
    openProblems_.erase(it);
    return p;
  }
  return std::nullopt;
}

bool CDeviceRecovery::Usable(const char* category, const char* devicePath, const fs::path& copy) {
  if (std::optional<Problem> refused = TakeOpenProblem(category)) {
    problems_.Add(std::move(*refused));
    return false;
  }
  if (std::optional<Problem> log = WriteAheadLogProblem(category, std::string(devicePath) + "-wal", copy)) {
    problems_.Add(std::move(*log));
  }
  const StoredDatabaseCheck check = CheckStoredDatabase(copy, {});
  if (check.state == StoredDatabaseState::kPartial) problems_.Add(category, devicePath, check.what, check.reason);
  if (check.state != StoredDatabaseState::kUnreadable) return true;
  problems_.Add(category, devicePath, check.what, check.reason, true);
  return false;
}

void CDeviceRecovery::NoteFailure(const char* category, const char* devicePath, Status result, bool found) {
  if (result == status::kOk || result == ENOENT || result == kNoDevice) return;
  problems_.Add(category, devicePath, found ? "could be read only in part" : "could not be read", StatusText(result),
                !found);
}

Status CDeviceRecovery::ScanMessages(ConversationMap& conversations) {
  ScanProgress scanProgress;
  scanProgress.callback = callback_;
  scanProgress.user = user_;
  scanProgress.base = progress_;
  scanProgress.span = step_ / 2;
  ConversationMap found;
  Status result = status::kBadData;
  if (Usable("messages", kMessagesPath, workFolder_ / kMessagesCopy)) {
    result = orbanix::ScanMessages(workFolder_ / kMessagesCopy, workFolder_ / kAddressBookCopy, found,
                                   maxMessageRowId_, scanProgress);
    NoteFailure("messages", kMessagesPath, result, !found.empty());
  }
  for (auto& [handle, messages] : found) {
    auto& into = conversations_[handle];
    into.insert(into.end(), std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
  }
  conversations = conversations_;
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanMessageAttachments(std::vector<AttachmentFile>& attachments) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  std::vector<MediaItem> found;
  Status result = status::kOk;
  const fs::path archive = workFolder_ / kRelayArchive;
  if (relayArchive_) {
    result = CarveArchiveMedia(archive, workFolder_, found, SessionProgress(progress_, step_ / 2));
    for (const MediaItem& item : found) written_.push_back(item.path);
    if (lastAnswer_ != 0) return lastAnswer_;
  } else if (rootFileSystem_ && session_) {
    // No archive: the attachments folder of the whole file system.
    result = WalkMedia("message-attachments", kAttachmentsPath, {}, found);
    if (lastAnswer_ != 0) return lastAnswer_;
  } else {
    result = ENOENT;
  }
  for (MediaItem& item : found) attachments.push_back(AttachmentFile{0, item.size, std::move(item.name), item.path});
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanContacts(std::vector<ContactRecord>& contacts) {
  std::vector<ContactRecord> found;
  Status result = status::kBadData;
  if (Usable("contacts", kAddressBookPath, workFolder_ / kAddressBookCopy)) {
    result = orbanix::ScanContacts(workFolder_ / kAddressBookCopy, found, maxContactRowId_);
    NoteFailure("contacts", kAddressBookPath, result, !found.empty());
  }
  contacts.insert(contacts.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanNotes(std::vector<NoteRecord>& notes) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  Status result = status::kOk;
  // Notes are read only from the whole file system; the relay archive
  // does not hold them. Both stores give notes: notes.sqlite (iOS up to 8)
  // and the current app's NoteStore.sqlite in its app group. What went
  // wrong with either waits for the other: the category is lost as a whole
  // only when neither gave a note.
  if (rootFileSystem_ && session_) {
    std::vector<Problem> pending;
    const auto usable = [&](const std::string& devicePath, const fs::path& copy) {
      // notes.sqlite is fetched by Open; what went wrong then is told now.
      if (devicePath == kNotesPath) {
        if (std::optional<Problem> refused = TakeOpenProblem("notes")) {
          pending.push_back(std::move(*refused));
          return false;
        }
      }
      const StoredDatabaseCheck check = CheckStoredDatabase(copy, {});
      if (check.state == StoredDatabaseState::kPartial) pending.push_back({"notes", devicePath, check.what, check.reason, false});
      if (check.state != StoredDatabaseState::kUnreadable) return true;
      pending.push_back({"notes", devicePath, check.what, check.reason, true});
      return false;
    };
    const auto failed = [&](const std::string& devicePath, Status st, bool found) {
      if (st == status::kOk || st == ENOENT || st == kNoDevice) return;
      pending.push_back({"notes", devicePath, found ? "could be read only in part" : "could not be read", StatusText(st),
                         !found});
    };
    const size_t before = notes.size();
    std::vector<NoteRecord> found;
    Status old = status::kBadData;
    if (usable(kNotesPath, workFolder_ / kNotesCopy)) {
      old = orbanix::ScanNotes(workFolder_ / kNotesCopy, found, ExtractorProgressWithin(step_ / 4));
      if (lastAnswer_ != 0) return lastAnswer_;
      failed(kNotesPath, old, !found.empty());
    }
    notes.insert(notes.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));

    Status current = status::kBadData;
    const std::string group = FetchNoteStore();
    if (disconnected_) return kNoDevice;
    const std::string storePath = group + "/" + kNoteStorePath;
    if (!group.empty() && usable(storePath, workFolder_ / kNoteStoreCopy)) {
      std::vector<BackupFileEntry> index;
      if (FetchNoteFiles(group, index) == kNoDevice) return kNoDevice;
      if (lastAnswer_ != 0) return lastAnswer_;
      std::vector<Problem> problems;
      NoteStoreOptions options;
      options.progress = ExtractorProgressWithin(step_ / 4);
      options.index = &index;
      options.backupFolder = workFolder_ / kNoteFilesCopy;
      options.problems = &problems;
      found.clear();
      current = ScanNoteStore(workFolder_ / kNoteStoreCopy, found, options);
      if (lastAnswer_ != 0) return lastAnswer_;
      const bool storeFound = !found.empty();
      notes.insert(notes.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
      for (Problem& p : problems) {
        p.file = storePath;
        pending.push_back(std::move(p));
      }
      failed(storePath, current, storeFound);
    }
    const bool anyNote = notes.size() > before;
    for (Problem& p : pending) {
      if (anyNote) p.whole = false;
      problems_.Add(std::move(p));
    }
    // One store read is enough; with neither, the old store's error stands.
    result = old == status::kOk || current == status::kOk ? status::kOk : old;
  }
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

std::string CDeviceRecovery::FetchNoteStore() {
  std::vector<std::string> groups;
  try {
    session_->UseFileSystem();
    groups = session_->ListDirectory(kAppGroupsPath);
  } catch (const DeviceError& e) {
    Failed(e);
    return {};
  }
  // App groups are folders named by UUIDs; the Notes app's is the one that
  // holds its store.
  std::sort(groups.begin(), groups.end());
  for (const std::string& name : groups) {
    if (name.empty() || name[0] == '.') continue;
    const std::string group = Join(kAppGroupsPath, name);
    if (session_->CopyDeviceFile(group + "/" + kNoteStorePath, workFolder_ / kNoteStoreCopy) == status::kOk) {
      FetchLog(group + "/" + kNoteStorePath, workFolder_ / kNoteStoreCopy);
      return group;
    }
    if (!binding_->Connected()) {
      NoDevice();
      return {};
    }
  }
  return {};
}

Status CDeviceRecovery::FetchNoteFiles(const std::string& group, std::vector<BackupFileEntry>& index) {
  // Only the folders of attachments' files, wherever they lie under the
  // app group (per account in current stores, at its top in the first).
  static const std::set<std::string> kFileFolders = {"Media", "FallbackImages", "FallbackPDFs", "Previews"};
  const fs::path local = workFolder_ / kNoteFilesCopy;
  std::error_code ec;
  fs::create_directories(local, ec);
  KeyHasher hasher;
  struct Folder {
    std::string path, relative;
    bool files;  // inside one of kFileFolders
    int depth;
  };
  std::deque<Folder> folders{{group, "", false, 0}};
  std::set<std::string> seen{group};
  while (!folders.empty()) {
    const Folder folder = folders.front();
    folders.pop_front();
    if (const int answer = Report(lastReported_)) return answer;
    std::vector<std::string> names;
    try {
      names = session_->ListDirectory(folder.path);
    } catch (const DeviceError& e) {
      if (Failed(e) == kNoDevice) return kNoDevice;
      continue;
    }
    for (const std::string& name : names) {
      if (name.empty() || name == "." || name == "..") continue;
      const std::string path = Join(folder.path, name);
      const std::string relative = folder.relative.empty() ? name : folder.relative + "/" + name;
      try {
        const DeviceFileInfo info = session_->QueryFileInfo(path);
        if (info.kind == DeviceFileKind::kDirectory) {
          // Accounts/<id>/<folder>/...: a few levels down to find the
          // folders, any depth inside them (generation folders).
          const bool files = folder.files || kFileFolders.count(name) > 0;
          if ((files || folder.depth < 3) && folder.depth < 16 && seen.insert(path).second) {
            folders.push_back({path, relative, files, folder.depth + 1});
          }
          continue;
        }
        if (!folder.files || info.kind != DeviceFileKind::kRegular || info.size == 0) continue;
        BackupFileEntry entry;
        entry.key = std::string(kNotesAppGroupDomain) + "-" + relative;
        hasher.Hash(entry.key, entry.hashedName);
        entry.size = static_cast<int64_t>(info.size);
        if (const Status copied = session_->CopyDeviceFile(path, local / std::string(entry.hashedName.view()));
            copied != status::kOk) {
          if (!binding_->Connected()) return NoDevice();
          problems_.Add("notes", path, "could not be copied from the phone", StatusText(copied));
          continue;
        }
        index.push_back(std::move(entry));
      } catch (const DeviceError& e) {
        if (Failed(e) == kNoDevice) return kNoDevice;
      }
    }
  }
  return status::kOk;
}

bool CDeviceRecovery::Listed(const std::string& devicePath) {
  if (!session_ || !binding_ || !binding_->Connected()) return false;
  try {
    session_->QueryFileInfo(devicePath);
    return true;
  } catch (const DeviceError&) {
    return false;
  }
}

void CDeviceRecovery::NotFetched(const char* category, const std::string& devicePath) {
  // Bookmarks and history, the calendar and the reminder stores: one file
  // of several that the category reads.
  const std::string name = category;
  const bool whole = name != "safari-bookmarks" && name != "reminders";
  Problem problem{category, devicePath, "could not be fetched from the phone", "the phone did not give the file", whole};
  // What Open fetches is told when the category's scan runs.
  if (opening_) {
    openProblems_.push_back(std::move(problem));
  } else {
    problems_.Add(std::move(problem));
  }
}

void CDeviceRecovery::FetchLog(const std::string& devicePath, const fs::path& local) {
  // SQLite keeps a database's newest transactions in its write-ahead log
  // until it copies them back into the file: the log goes beside the copy,
  // under the name its readers look for. A log of an earlier copy never
  // stays beside a new one.
  fs::path log = local;
  log += "-wal";
  std::error_code ec;
  fs::remove(log, ec);
  if (session_->CopyDeviceFile(devicePath + "-wal", log) == status::kOk) {
    written_.push_back(log);
  } else {
    fs::remove(log, ec);
  }
}

bool CDeviceRecovery::Fetch(const char* category, const std::string& devicePath, const fs::path& local) {
  if (session_->CopyDeviceFile(devicePath, local) == status::kOk) {
    FetchLog(devicePath, local);
    return true;
  }
  std::error_code ec;
  fs::remove(local, ec);  // a partial copy never stands in for the file
  if (category && Listed(devicePath)) NotFetched(category, devicePath);
  return false;
}

fs::path CDeviceRecovery::FetchDatabase(const char* category, const std::string& devicePath) {
  if (!rootFileSystem_ || !session_) return {};
  // An earlier operation may have left the file service in an
  // application's container.
  try {
    session_->UseFileSystem();
  } catch (const DeviceError& e) {
    Failed(e);
    return {};
  }
  const fs::path local = DigestCopy(devicePath);
  return Fetch(category, devicePath, local) ? local : fs::path();
}

Status CDeviceRecovery::ScanReminders(std::vector<ReminderRecord>& reminders) {
  if (!rootFileSystem_ || !session_) {
    const int answer = Advance(step_ / 2);
    return answer ? answer : status::kBadData;
  }
  Status result = status::kBadData;
  std::vector<ReminderRecord> found;
  const fs::path calendar = FetchDatabase("reminders", kCalendarPath);
  if (disconnected_) return kNoDevice;
  if (!calendar.empty()) result = ScanCalendarDatabase(calendar, nullptr, &found);
  std::vector<std::string> names;
  try {
    names = session_->ListDirectory(kReminderStoresPath);
  } catch (const DeviceError& e) {
    if (Failed(e) == kNoDevice) return kNoDevice;
  }
  for (const std::string& name : names) {
    if (name.rfind("Data-", 0) != 0 || name.size() < 12 || name.compare(name.size() - 7, 7, ".sqlite") != 0) continue;
    const fs::path store = FetchDatabase("reminders", std::string(kReminderStoresPath) + "/" + name);
    const Status st = store.empty() ? status::kBadData : ScanReminderStore(store, found);
    if (st == status::kOk && result == status::kBadData) result = status::kOk;
    if (st != status::kOk) result = st;
  }
  reminders.insert(reminders.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanCalendar(std::vector<CalendarEventRecord>& events) {
  Status result = status::kBadData;
  const fs::path calendar = FetchDatabase("calendar", kCalendarPath);
  if (!calendar.empty()) result = ScanCalendarDatabase(calendar, &events, nullptr);
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanSafari(std::vector<SafariBookmarkRecord>& bookmarks,
                                   std::vector<SafariHistoryRecord>& history) {
  Status result = status::kBadData;
  const fs::path bookmarksDb = FetchDatabase("safari-bookmarks", kSafariBookmarksPath);
  if (!bookmarksDb.empty()) result = ScanSafariBookmarks(bookmarksDb, bookmarks);
  const fs::path historyDb = FetchDatabase("safari-bookmarks", kSafariHistoryPath);
  if (!historyDb.empty()) {
    const Status st = ScanSafariHistory(historyDb, history);
    if (result == status::kBadData || st != status::kOk) result = st;
  }
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanCallHistory(std::vector<CallRecord>& calls) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  Status result = status::kOk;
  if (rootFileSystem_) {
    result = status::kBadData;
    const size_t before = calls.size();
    if (Usable("call-history", kCallRecordPath, workFolder_ / kCallHistoryCopy)) {
      result = orbanix::ScanCallHistory(workFolder_ / kCallHistoryCopy, workFolder_ / kAddressBookCopy, calls,
                                        ExtractorProgressWithin(step_ / 2));
      if (lastAnswer_ != 0) return lastAnswer_;
      NoteFailure("call-history", kCallRecordPath, result, calls.size() > before);
    }
  }
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::WalkMedia(const char* category, const std::string& start, const std::string& digestPrefix,
                                  std::vector<MediaItem>& out, const std::function<int()>& perFile,
                                  const std::function<void(const std::string&, MediaItem&)>& found) {
  const size_t from = out.size();
  std::deque<std::string> folders{start};
  std::set<std::string> seen{start};
  Status result = status::kOk;
  while (!folders.empty() && result == status::kOk) {
    const std::string folder = folders.front();
    folders.pop_front();
    // A report per folder lets a long walk be paused or cancelled.
    if (const int answer = Report(lastReported_)) return answer;
    std::vector<std::string> names;
    try {
      names = session_->ListDirectory(folder);
    } catch (const DeviceError& e) {
      if (Failed(e) == kNoDevice) return kNoDevice;
      continue;  // a folder that cannot be read gives nothing
    }
    for (const std::string& name : names) {
      const std::string path = Join(folder, name);
      try {
        const DeviceFileInfo info = session_->QueryFileInfo(path);
        if (info.kind == DeviceFileKind::kDirectory) {
          if (seen.insert(path).second) folders.push_back(path);
          continue;
        }
        if (info.kind != DeviceFileKind::kRegular || info.size == 0) continue;
        if (perFile) {
          if (const int answer = perFile()) return answer;
        }
        const std::string head = session_->ReadHead(path, MediaSniffer::kSniffBytes);
        const MediaType type = MediaSniffer::Detect(reinterpret_cast<const uint8_t*>(head.data()), head.size());
        if (type == MediaType::Unknown) continue;
        const fs::path local = DigestCopy(digestPrefix + path);
        uint64_t size = 0;
        if (const Status copied = session_->CopyDeviceFile(path, local, &size); copied != status::kOk) {
          if (!binding_->Connected()) return NoDevice();
          problems_.Add(category, path, "could not be copied from the phone", StatusText(copied));
          continue;
        }
        out.push_back(MediaItem{size, NameWithSniffedExtension(name, std::string("0.") + MediaSniffer::ExtensionOf(type)),
                                local});
        if (found) found(path, out.back());
      } catch (const DeviceError& e) {
        if (Failed(e) == kNoDevice) return kNoDevice;
      }
    }
  }
  SortByName(out, from);
  return result;
}

Status CDeviceRecovery::ScanPhotos(std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  if (!session_) return NoDevice();
  try {
    session_->UseFileSystem();
  } catch (const DeviceError& e) {
    const Status s = Failed(e);
    const int answer = Advance(step_ / 2);
    return answer ? answer : s;
  }
  // The ordinary file service's root is the media folder; the root file
  // service sees it at its place in the whole file system.
  const std::string media = session_->rootFileSystem() ? kMediaRoot : "";
  // The photo library, where the phone gives it, tells which Camera Roll
  // files sit in "Recently Deleted" and when each was taken; without it the
  // files are as they are.
  PhotoLibrary library;
  bool withLibrary = false;
  const std::string libraryPath = media + kPhotoLibraryPath;
  const fs::path libraryCopy = DigestCopy(libraryPath);
  const Status copied = session_->CopyDeviceFile(libraryPath, libraryCopy);
  if (copied == status::kOk) {
    FetchLog(libraryPath, libraryCopy);
    const Status read = ReadPhotoLibrary(libraryCopy, library);
    withLibrary = read == status::kOk;
    if (!withLibrary) {
      problems_.Add("camera-roll", libraryPath, "the photo library could not be read",
                    "items in Recently Deleted are shown as ordinary photos");
    }
  } else if (!binding_->Connected()) {
    return NoDevice();
  }
  const auto fromLibrary = [&](const std::string& devicePath, MediaItem& item) {
    // The library names a file by its path below the media folder.
    if (devicePath.size() <= media.size() + 1) return;
    const auto asset = library.find(devicePath.substr(media.size() + 1));
    if (asset == library.end()) return;
    item.date = asset->second.created;
    item.deleted = asset->second.trashed ? 1 : 0;
    item.trashedDate = asset->second.trashedDate;
  };
  Status result = WalkMedia("camera-roll", media + "/DCIM", {}, cameraRoll, {},
                            withLibrary ? std::function<void(const std::string&, MediaItem&)>(fromLibrary)
                                        : std::function<void(const std::string&, MediaItem&)>());
  if (lastAnswer_ != 0) return lastAnswer_;
  if (result == status::kOk) result = WalkMedia("photo-stream", media + "/PhotoStreamsData", {}, photoStream);
  if (lastAnswer_ != 0) return lastAnswer_;
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanWhatsAppAttachments(std::vector<MediaItem>& media) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  if (!session_) return NoDevice();
  Status result = status::kOk;
  try {
    session_->OpenAppContainer(kWhatsAppBundle);
    int files = 0;
    const int base = progress_;
    result = WalkMedia("whatsapp-attachments", "/Library/Media/", std::string(kWhatsAppBundle) + ":", media,
                       [&] { return Report(base + std::min(++files, step_ / 2)); });
    if (lastAnswer_ != 0) return lastAnswer_;
  } catch (const DeviceError& e) {
    result = Failed(e);  // WhatsApp is not installed, or the phone is gone
  }
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::WalkContainer(const std::string& bundleId, std::vector<AppMediaItem>& media) {
  session_->OpenAppContainer(bundleId);
  const std::string prefix = bundleId + ":";
  std::deque<std::string> folders{"/Documents/"};
  std::set<std::string> seen{"/Documents/"};
  std::vector<AppMediaItem> found;
  while (!folders.empty()) {
    const std::string folder = folders.front();
    folders.pop_front();
    if (const int answer = Report(lastReported_)) return answer;
    std::vector<std::string> names;
    try {
      names = session_->ListDirectory(folder);
    } catch (const DeviceError& e) {
      if (Failed(e) == kNoDevice) return kNoDevice;
      continue;
    }
    for (const std::string& name : names) {
      const std::string path = Join(folder, name);
      try {
        const DeviceFileInfo info = session_->QueryFileInfo(path);
        if (info.kind == DeviceFileKind::kDirectory) {
          if (seen.insert(path).second) folders.push_back(path);
          continue;
        }
        if (info.kind != DeviceFileKind::kRegular || info.size == 0) continue;
        // The chat databases (their SQLite side files are not databases).
        const bool sideFile = IsDatabaseSideFile(path);
        if (!sideFile && (path.find("/QQ.db") != std::string::npos || path.find("/MM.sqlite") != std::string::npos)) {
          const bool qq = path.find("/QQ.db") != std::string::npos;
          const fs::path local = DigestCopy(prefix + path);
          if (session_->CopyDeviceFile(path, local) != status::kOk) {
            if (!binding_->Connected()) return NoDevice();
            continue;
          }
          FetchLog(path, local);
          if (qq) {
            qqCopies_.push_back(local);
            qqAccountsOfCopies_.push_back(QqAccountOf(path));
          } else {
            weChatCopies_.push_back(local);
            weChatAccountsOfCopies_.push_back("User" + std::to_string(weChatCopies_.size()));
          }
          continue;
        }
        if (!sideFile && path.find("/ChatStorage.sqlite") != std::string::npos) {
          if (session_->CopyDeviceFile(path, workFolder_ / kWhatsAppChatCopy) != status::kOk) {
            if (!binding_->Connected()) return NoDevice();
          } else {
            FetchLog(path, workFolder_ / kWhatsAppChatCopy);
          }
          continue;
        }
        if (!sideFile && path.find("/Contacts.sqlite") != std::string::npos) {
          if (session_->CopyDeviceFile(path, workFolder_ / kWhatsAppContactsCopy) != status::kOk &&
              !binding_->Connected()) {
            return NoDevice();
          }
          continue;
        }
        const std::string head = session_->ReadHead(path, MediaSniffer::kSniffBytes);
        const MediaType type = MediaSniffer::Detect(reinterpret_cast<const uint8_t*>(head.data()), head.size());
        if (type == MediaType::Unknown) continue;
        const fs::path local = DigestCopy(prefix + path);
        uint64_t size = 0;
        if (session_->CopyDeviceFile(path, local, &size) != status::kOk) {
          if (!binding_->Connected()) return NoDevice();
          continue;
        }
        found.push_back(AppMediaItem{size, DeviceAppName(bundleId),
                                     NameWithSniffedExtension(LastPart(path),
                                                              std::string("0.") + MediaSniffer::ExtensionOf(type)),
                                     local});
      } catch (const DeviceError& e) {
        if (Failed(e) == kNoDevice) return kNoDevice;
      }
    }
  }
  media.insert(media.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  return status::kOk;
}

Status CDeviceRecovery::ScanAppMedia(std::vector<AppMediaItem>& media) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  qqCopies_.clear();
  weChatCopies_.clear();
  qqAccountsOfCopies_.clear();
  weChatAccountsOfCopies_.clear();
  if (!session_) return NoDevice();
  std::vector<std::string> bundleIds;
  Status result = session_->ListUserApplications(bundleIds);
  if (result == kNoDevice) {
    NoDevice();
  } else {
    const size_t count = bundleIds.size();
    for (size_t i = 0; i < count; ++i) {
      try {
        const Status s = WalkContainer(bundleIds[i], media);
        if (lastAnswer_ != 0) return lastAnswer_;
        if (s == kNoDevice) {
          result = s;
          break;
        }
      } catch (const DeviceError& e) {
        if (Failed(e) == kNoDevice) {
          result = kNoDevice;
          break;
        }
        // An application whose container is not vended gives nothing.
      }
      if (const int answer = Report(progress_ + static_cast<int>(step_ / 2 * (i + 1) / count))) return answer;
    }
  }
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status CDeviceRecovery::ScanChatCopies(bool qq, ChatAccountMap& accounts, ChatAccountMap& kept) {
  kept.clear();
  const auto& copies = qq ? qqCopies_ : weChatCopies_;
  const auto& names = qq ? qqAccountsOfCopies_ : weChatAccountsOfCopies_;
  Status result = status::kOk;
  const int count = static_cast<int>(copies.size());
  for (int i = 0; i < count; ++i) {
    PeerChatMap chats;
    const Status s = qq ? orbanix::ScanQQ(copies[i], chats) : orbanix::ScanWeChat(copies[i], chats);
    if (s != status::kOk) result = s;
    // Two databases of one account name keep two maps.
    const std::string key = FreeKey(kept, names[i].empty() ? copies[i].filename().string() : names[i]);
    kept[key] = chats;
    accounts[key] = std::move(chats);
    if (const int answer = Advance(step_ / count)) return answer;
  }
  return result;
}

Status CDeviceRecovery::ScanQQ(ChatAccountMap& accounts) { return ScanChatCopies(true, accounts, qqAccounts_); }

Status CDeviceRecovery::ScanWeChat(ChatAccountMap& accounts) {
  return ScanChatCopies(false, accounts, weChatAccounts_);
}

Status CDeviceRecovery::ScanWhatsApp(WhatsAppChatMap& chats) {
  lastAnswer_ = 0;  // the answer of this operation's own reports
  whatsAppChats_.clear();
  // The chat store is copied by the walk of the applications' containers;
  // when that walk did not run (WhatsApp ticked on its own), the WhatsApp
  // container alone is walked for it now.
  std::error_code ec;
  if (session_ && !fs::exists(workFolder_ / kWhatsAppChatCopy, ec)) {
    std::vector<AppMediaItem> unused;
    try {
      if (WalkContainer(kWhatsAppBundle, unused) == kNoDevice) return NoDevice();
    } catch (const DeviceError& e) {
      // A phone without WhatsApp vends no container: nothing to read.
      if (Failed(e) == kNoDevice) return NoDevice();
    }
    if (lastAnswer_ != 0) return lastAnswer_;
  }
  Status result = status::kBadData;
  const size_t before = chats.size();
  if (Usable("whatsapp", "ChatStorage.sqlite", workFolder_ / kWhatsAppChatCopy)) {
    result = orbanix::ScanWhatsApp(workFolder_ / kWhatsAppChatCopy, chats, ExtractorProgressWithin(step_));
    if (lastAnswer_ != 0) return lastAnswer_;
    NoteFailure("whatsapp", "ChatStorage.sqlite", result, chats.size() > before);
  }
  whatsAppChats_ = chats;
  const int answer = Advance(step_);
  return answer ? answer : result;
}

Status CDeviceRecovery::CopyForPreview(const fs::path& source, fs::path& copy, ProgressCallback callback,
                                       void* user) {
  return CopyForPreviewTo(dataFolder_, source, copy, callback, user);
}

Status CDeviceRecovery::CopyFile(const fs::path& source, const fs::path& destination, CopyCallback callback,
                                 void* user) {
  return CopyFileWithProgress(source, destination, callback, user);
}

Status CDeviceRecovery::DumpMessageRows(const fs::path& output, const MessageRowFilter& keep) {
  return orbanix::DumpMessageRows(workFolder_ / kMessagesCopy, output, maxMessageRowId_, keep);
}

Status CDeviceRecovery::DumpContactRows(const fs::path& output, const ContactRowFilter& keep) {
  // The address book's copy is the one the contacts scan read.
  return orbanix::DumpContactRows(workFolder_ / kAddressBookCopy, output, maxContactRowId_, keep);
}

Status CDeviceRecovery::ExportWhatsAppChat(int chatKey, const fs::path& output, CopyCallback callback, void* user) {
  return ExportWhatsAppChatTo(whatsAppChats_, chatKey, output, callback, user);
}

Status CDeviceRecovery::ExportQQChat(const std::string& account, const std::string& chat, const fs::path& output,
                        CopyCallback callback, void* user) {
  return ExportPeerChatTo(qqAccounts_, account, chat, output, callback, user);
}

Status CDeviceRecovery::ExportWeChatChat(const std::string& account, const std::string& chat, const fs::path& output,
                            CopyCallback callback, void* user) {
  return ExportPeerChatTo(weChatAccounts_, account, chat, output, callback, user);
}

}  // namespace orbanix::device
