#include "sources/catalog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>

#include "decrypt/decryption_step.h"
#include "extractors/notestore.h"
#include "platform/digest.h"
#include "platform/folders.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/deleted_rows.h"
#include "sources/categories.h"
#include "sources/file_copy.h"
#include "sources/media_sniffer.h"
#include "sources/stored_database.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {

// The decryption's error line may begin with its status ("87: the key bag
// is damaged"); the user reads the words.
std::string WithoutStatusPrefix(const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '-')) {
    ++digits;
  }
  if (digits > 0 && text.compare(digits, 2, ": ") == 0) return text.substr(digits + 2);
  return text;
}

// One operation run ahead: what it made, kept until its own call takes it.
// `claimed` says whether a thread has begun it: the thread ahead, or the
// operation's call when it came first (it then runs as without work ahead).
template <typename T>
struct AheadSlot {
  bool planned = false;
  bool taken = false;  // its call has come (only that call's thread reads and writes it)
  std::atomic<bool> claimed{false};
  std::promise<void> finished;
  std::shared_future<void> done = finished.get_future().share();
  T found{};
  int64_t number = 0;  // the contacts' highest row id
  Status status = status::kOk;
  ProblemLog problems;
  std::exception_ptr failure;
};

struct AppMediaFound {
  std::vector<AppMediaItem> media;
  std::vector<MediaItem> whatsApp;
};

// Runs `work(slot)` on the calling thread unless the slot is not planned,
// already begun, or the scan is cancelled (then its call, if it comes at
// all, sees the cancel itself).
template <typename T, typename Work>
void RunAhead(AheadSlot<T>& slot, const std::function<int()>& cancelled, const Work& work) {
  if (!slot.planned || cancelled() != 0 || slot.claimed.exchange(true)) return;
  try {
    slot.status = work(slot);
  } catch (...) {
    slot.failure = std::current_exception();
  }
  slot.finished.set_value();
}

// Hands what was made ahead for one operation to its call: true when it
// was begun ahead (the call then waits for it and has its records, status,
// problems and number); false when the call runs the operation itself.
template <typename A, typename T>
bool TakeAhead(A* ahead, AheadSlot<T> A::*member, T& into, int64_t& number, Status& result, ProblemLog& problems) {
  if (!ahead) return false;
  AheadSlot<T>& slot = ahead->*member;
  if (!slot.planned || slot.taken) return false;
  slot.taken = true;
  if (!slot.claimed.exchange(true)) return false;
  slot.done.wait();
  if (slot.failure) std::rethrow_exception(slot.failure);
  into = std::move(slot.found);
  number = slot.number;
  result = slot.status;
  // In the order met, after everything the operations before it reported.
  for (Problem& p : slot.problems.Snapshot()) problems.Add(std::move(p));
  return true;
}

}  // namespace

// The operations begun beside the messages scan, and their thread.
struct BackupCatalog::Ahead {
  AheadSlot<std::vector<AttachmentFile>> attachments;
  AheadSlot<std::vector<ContactRecord>> contacts;
  AheadSlot<std::vector<CallRecord>> calls;
  AheadSlot<AppMediaFound> appMedia;
  std::thread thread;
};

BackupCatalog::BackupCatalog(fs::path dataFolder, std::vector<fs::path> roots)
    : dataFolder_(dataFolder.empty() ? DataFolder() : std::move(dataFolder)) {
  // Without its data folder the program still scans; only the preview
  // copies need it, and they fail on their own with the folder's reason.
  dataFolderError_ = CreateFolderTree(dataFolder_);
  CleanUp();
  if (roots.empty()) roots = DefaultBackupRoots();
  currentFolder_ = roots.front();
  FindBackups(roots, candidates_);
}

BackupCatalog::~BackupCatalog() {
  EndAhead();  // its operations read the files CleanUp may delete
  DropPreparedMessages();  // its carve reads a file CleanUp may delete
  index_.clear();
  candidates_.clear();
  CleanUp();
}

void BackupCatalog::SelectBackup(const BackupInfo& info) {
  selected_ = info;
  currentFolder_ = info.folder;
}

void BackupCatalog::SetProgressCallback(ProgressCallback callback, void* user) {
  callback_ = callback;
  user_ = user;
}

int BackupCatalog::Report(int value) { return callback_ ? callback_(user_, value) : 0; }

int BackupCatalog::Advance(int share) {
  progress_ += share;
  return Report(progress_);
}

std::function<int(int)> BackupCatalog::ExtractorProgressWithin(int share) {
  const int base = progress_;
  return [this, base, share](int percent) { return Report(base + share * std::clamp(percent, 0, 100) / 100); };
}

fs::path BackupCatalog::Database(const char* hashedName) const { return ResolveStoredPath(currentFolder_, hashedName); }

void BackupCatalog::AttachLog(const char* category, const std::string& key, const fs::path& path, ProblemLog* into) {
  // A database's write-ahead log is a stored file of its own, named by its
  // own key ("<database key>-wal").
  const fs::path log = ResolveStoredPath(currentFolder_, Sha1Hex(key + "-wal"));
  if (!EntryExists(log)) {
    SetWriteAheadLog(path, {});
    return;
  }
  SetWriteAheadLog(path, log);
  if (!category) return;
  if (std::optional<Problem> problem = WriteAheadLogProblem(category, key + "-wal", path)) {
    (into ? *into : problems_).Add(std::move(*problem));
  }
}

bool BackupCatalog::Usable(const char* category, const std::string& key, const fs::path& path, bool only,
                           ProblemLog* log) {
  AttachLog(category, key, path, log);
  ProblemLog& problems = log ? *log : problems_;
  const StoredDatabaseCheck check = CheckStoredDatabase(path, currentFolder_);
  switch (check.state) {
    case StoredDatabaseState::kMissing:
    case StoredDatabaseState::kReadable:
      return true;
    case StoredDatabaseState::kPartial:
      problems.Add(category, key, check.what, check.reason + "; what its pages still hold is shown", false);
      return true;
    case StoredDatabaseState::kUnreadable:
      problems.Add(category, key, check.what, check.reason, only);
      return false;
  }
  return true;
}

void BackupCatalog::Failed(const char* category, const std::string& key, Status result, bool found,
                           ProblemLog* log) {
  // A missing database (ENOENT, the same value as a cancel) is no problem:
  // the category simply has nothing in this backup.
  if (result == status::kOk || result == ENOENT) return;
  (log ? *log : problems_)
      .Add(category, key, found ? "could be read only in part" : "could not be read", StatusText(result), !found);
}

Status BackupCatalog::Open(const std::string& password) {
  progress_ = 0;
  step_ = 11;
  lastMessage_.clear();
  problems_.Clear();
  if (const int answer = Report(0)) return answer;
  EndAhead();
  DropPreparedMessages();
  index_.clear();
  CleanUp();  // the deciphered copy of an earlier scan goes
  ForgetWriteAheadLogs();

  fs::path readFolder = currentFolder_;
  if (selected_.encrypted) {
    step_ = 10;
    decrypt::DecryptionStepRequest request;
    request.password = password;
    request.fileCount = decrypt::CountBackupFiles(currentFolder_);
    request.backupFolder = currentFolder_;
    request.outputFolder = decryptionFolder_;
    decrypt::StepProgress stepProgress;
    stepProgress.progress = progress_;
    stepProgress.step = step_;
    stepProgress.callback = [this](int32_t value) { return Report(value); };
    fs::path output;
    decrypt::DecryptionStepReport report;
    const Status result = decrypt::RunDecryptionStep(request, stepProgress, output, &report);
    progress_ = stepProgress.progress;
    if (result != status::kOk) {
      if (!report.error.empty()) lastMessage_ = WithoutStatusPrefix(report.error);
      // A wrong password may be given again, and a cancel is a cancel; any
      // other failure (a damaged key bag, an unusable iteration count, a
      // manifest that does not decipher) leaves nothing readable: the
      // stored files are ciphertext, never to be scanned as they are.
      if (result == status::kWrongPassword || result == status::kCancelled) return result;
      if (lastMessage_.empty()) lastMessage_ = "the backup could not be deciphered (" + StatusText(result) + ")";
      problems_.Add("", "", "cannot be deciphered", lastMessage_, true);
      return status::kCannotOpen;
    }
    if (!report.failedFiles.empty()) {
      lastMessage_ = std::to_string(report.failedFiles.size()) + " files could not be deciphered";
      for (const std::string& file : report.failedFiles) problems_.Add("", file, "could not be deciphered");
    }
    decryptedFolder_ = output;
    readFolder = output;
  } else {
    progress_ = 1;
    if (const int answer = Report(progress_)) return answer;
  }

  // The manifest of either era; the deciphered copy holds a readable one
  // (an encrypted Manifest.db can only be read there). The operations look
  // at the stored files themselves, never at a size the manifest records.
  std::string error, warning;
  Status result = ReadFileIndex(readFolder, index_, &error, RecordedSizes::kLeft, &warning);
  if (result != status::kOk && !error.empty()) lastMessage_ = error;
  const ManifestKind manifest = FindManifest(readFolder);
  const char* manifestName = manifest == ManifestKind::Mbdb ? kMbdbFileName : kManifestDbFileName;
  if (result != status::kOk && manifest != ManifestKind::None) {
    // Without the index the media and the application databases cannot be
    // found; the databases at fixed places are still read.
    problems_.Add("", manifestName, index_.empty() ? "cannot be read" : "could be read only in part",
                  error.empty() ? StatusText(result) : error);
  } else if (result != status::kOk) {
    problems_.Add("", "", "holds no manifest (neither Manifest.mbdb nor Manifest.db)",
                  "only the databases at fixed places are read");
  }
  if (!warning.empty()) problems_.Add("", manifestName, "is cut short", warning);
  if (manifest == ManifestKind::ManifestDb && result == status::kOk) {
    const StoredDatabaseCheck check = CheckStoredDatabase(readFolder / kManifestDbFileName, {});
    if (check.state == StoredDatabaseState::kPartial) problems_.Add("", manifestName, check.what, check.reason);
  }
  if (!decryptedFolder_.empty()) {
    selected_.folder = decryptedFolder_;
    currentFolder_ = decryptedFolder_;
  }
  progress_ += step_;
  if (const int answer = Report(progress_)) return answer;
  return result;
}

fs::path BackupCatalog::Helper(const FixedDatabase& database) {
  const fs::path path = Database(database.hashedName);
  AttachLog(nullptr, database.key, path);
  const StoredDatabaseState state = CheckStoredDatabase(path, currentFolder_).state;
  return state == StoredDatabaseState::kUnreadable ? fs::path() : path;
}

Status BackupCatalog::ReadContacts(std::vector<ContactRecord>& found, int64_t& maxRowId, ProblemLog& log) {
  const fs::path db = Database(kAddressBookDb.hashedName);
  Status result = status::kBadData;
  if (Usable("contacts", kAddressBookDb.key, db, true, &log)) {
    result = orbanix::ScanContacts(db, found, maxRowId);
    Failed("contacts", kAddressBookDb.key, result, !found.empty(), &log);
  }
  return result;
}

Status BackupCatalog::ScanContacts(std::vector<ContactRecord>& contacts) {
  // The extractor fills a list of its own; the caller's list is appended to.
  std::vector<ContactRecord> found;
  Status result = status::kOk;
  if (!TakeAhead(ahead_.get(), &Ahead::contacts, found, maxContactRowId_, result, problems_)) {
    result = ReadContacts(found, maxContactRowId_, problems_);
  }
  contacts.insert(contacts.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

int BackupCatalog::AheadCheck(void* catalog, int) {
  // A value no higher than what is shown: the bar stays where the current
  // operation has it.
  const auto* self = static_cast<BackupCatalog*>(catalog);
  return self->callback_ ? self->callback_(self->user_, 0) : 0;
}

void BackupCatalog::BeginAhead(const AheadOperations& operations) {
  EndAhead();
  if (!operations.messageAttachments && !operations.contacts && !operations.callHistory && !operations.appMedia) {
    return;
  }
  auto ahead = std::make_unique<Ahead>();
  ahead->attachments.planned = operations.messageAttachments;
  ahead->contacts.planned = operations.contacts;
  ahead->contacts.number = maxContactRowId_;
  ahead->calls.planned = operations.callHistory;
  ahead->appMedia.planned = operations.appMedia;
  Ahead* a = ahead.get();
  try {
    // In the order of their calls, so the first one needed is ready first.
    ahead->thread = std::thread([this, a] {
      const std::function<int()> cancelled = [this] { return AheadCheck(this, 0); };
      RunAhead(a->attachments, cancelled, [this](auto& slot) {
        return ReadMessageAttachments(slot.found, MediaProgress{&AheadCheck, this, 0, 0, &slot.problems});
      });
      RunAhead(a->contacts, cancelled,
               [this](auto& slot) { return ReadContacts(slot.found, slot.number, slot.problems); });
      RunAhead(a->calls, cancelled, [this](auto& slot) {
        return ReadCallHistory(slot.found, [this](int) { return AheadCheck(this, 0); }, slot.problems);
      });
      RunAhead(a->appMedia, cancelled, [this](auto& slot) {
        return ReadAppMedia(slot.found.media, slot.found.whatsApp,
                            MediaProgress{&AheadCheck, this, 0, 0, &slot.problems});
      });
    });
  } catch (const std::system_error&) {
    return;  // no thread to be had: each operation runs in its turn
  }
  ahead_ = std::move(ahead);
}

void BackupCatalog::EndAhead() {
  if (!ahead_) return;
  if (ahead_->thread.joinable()) ahead_->thread.join();
  ahead_.reset();
}

void BackupCatalog::DropPreparedMessages() {
  if (preparedMessages_.valid()) preparedMessages_.wait();
  preparedMessages_ = {};
}

void BackupCatalog::PrepareMessages() {
  if (preparedMessages_.valid()) return;
  const fs::path db = Database(kMessagesDb.hashedName);
  // Read as the messages scan will read it: with its write-ahead log.
  AttachLog(nullptr, kMessagesDb.key, db);
  const StoredDatabaseState state = CheckStoredDatabase(db, currentFolder_).state;
  if (state != StoredDatabaseState::kReadable && state != StoredDatabaseState::kPartial) return;
  // A cancelled scan waits for this carve before the backup is let go: only
  // a database that is carved in a short while is carved ahead.
  constexpr uint64_t kAheadUpTo = uint64_t{128} << 20;
  preparedMessages_ = CarveAhead(db, kAheadUpTo);
}

Status BackupCatalog::ScanMessages(ConversationMap& conversations) {
  ScanProgress scanProgress;
  scanProgress.callback = callback_;
  scanProgress.user = user_;
  scanProgress.base = progress_;
  scanProgress.span = step_ / 2;
  // The conversations go straight to the caller: a second copy kept here
  // would double the memory of the largest result of a scan.
  ConversationMap found;
  const fs::path db = Database(kMessagesDb.hashedName);
  Status result = status::kBadData;
  if (Usable("messages", kMessagesDb.key, db)) {
    result = orbanix::ScanMessages(db, Helper(kAddressBookDb), found, maxMessageRowId_, scanProgress, &problems_);
    Failed("messages", kMessagesDb.key, result, !found.empty());
  }
  for (auto& [handle, messages] : found) {
    auto& into = conversations[handle];
    if (into.empty()) {
      into = std::move(messages);
    } else {
      into.insert(into.end(), std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
    }
  }
  // The scan's own readers hold the finds while they need them.
  DropPreparedMessages();
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status BackupCatalog::ReadCallHistory(std::vector<CallRecord>& calls, const std::function<int(int)>& progress,
                                      ProblemLog& log) {
  const fs::path db = CallHistoryDatabasePath(currentFolder_);
  const bool newer = db.filename() == kCallHistoryDb.hashedName;
  const std::string key = newer ? kCallHistoryDb.key : kOldCallHistoryDb.key;
  const size_t before = calls.size();
  Status result = status::kBadData;
  if (Usable("call-history", key, db, true, &log)) {
    result = orbanix::ScanCallHistory(db, Helper(kAddressBookDb), calls, progress, &log);
    Failed("call-history", key, result, calls.size() > before, &log);
  }
  return result;
}

Status BackupCatalog::ScanCallHistory(std::vector<CallRecord>& calls) {
  std::vector<CallRecord> found;
  int64_t unused = 0;
  Status result = status::kOk;
  if (TakeAhead(ahead_.get(), &Ahead::calls, found, unused, result, problems_)) {
    calls.insert(calls.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  } else {
    result = ReadCallHistory(calls, ExtractorProgressWithin(step_ / 2), problems_);
  }
  const int answer = Advance(step_ / 2);
  return answer ? answer : result;
}

Status BackupCatalog::ScanNotes(std::vector<NoteRecord>& notes) {
  // Both stores give notes: notes.sqlite (iOS up to 8, kept beside the new
  // one on many phones) and the current app's NoteStore.sqlite. The
  // extractors fill lists of their own; the caller's list is only appended to.
  const size_t before = notes.size();
  const int half = step_ / 2;
  // A cancel is told by the callback's answer, never by the status alone
  // (ENOENT has the same value).
  int cancelAnswer = 0;
  const auto within = [this, &cancelAnswer](int share) {
    return [inner = ExtractorProgressWithin(share), &cancelAnswer](int percent) {
      const int answer = inner(percent);
      if (answer != 0) cancelAnswer = answer;
      return answer;
    };
  };
  // What went wrong with either store waits for the other: the category is
  // lost as a whole only when neither gave a note.
  std::vector<Problem> pending;
  const auto usable = [&](const std::string& key, const fs::path& path) {
    AttachLog("notes", key, path);
    const StoredDatabaseCheck check = CheckStoredDatabase(path, currentFolder_);
    if (check.state == StoredDatabaseState::kPartial) {
      pending.push_back({"notes", key, check.what, check.reason + "; what its pages still hold is shown", false});
    } else if (check.state == StoredDatabaseState::kUnreadable) {
      pending.push_back({"notes", key, check.what, check.reason, true});
      return false;
    }
    return true;
  };
  const auto failed = [&](const std::string& key, Status result, bool found) {
    if (result == status::kOk || result == ENOENT) return;
    pending.push_back({"notes", key, found ? "could be read only in part" : "could not be read", StatusText(result),
                       !found});
  };
  std::vector<NoteRecord> found;
  const fs::path db = Database(kNotesDb.hashedName);
  Status old = status::kBadData;
  if (usable(kNotesDb.key, db)) {
    old = orbanix::ScanNotes(db, found, within(half / 2));
    if (cancelAnswer != 0) return cancelAnswer;
    failed(kNotesDb.key, old, !found.empty());
  }
  notes.insert(notes.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  progress_ += half / 2;

  const fs::path store = Database(kNoteStoreDb.hashedName);
  Status current = status::kBadData;
  if (usable(kNoteStoreDb.key, store)) {
    std::vector<Problem> problems;
    NoteStoreOptions options;
    options.progress = within(half - half / 2);
    options.index = &index_;
    options.backupFolder = currentFolder_;
    options.problems = &problems;
    found.clear();
    current = ScanNoteStore(store, found, options);
    if (cancelAnswer != 0) return cancelAnswer;
    const bool storeFound = !found.empty();
    notes.insert(notes.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    for (Problem& p : problems) pending.push_back(std::move(p));
    failed(kNoteStoreDb.key, current, storeFound);
  }
  const bool anyNote = notes.size() > before;
  for (Problem& p : pending) {
    if (anyNote) p.whole = false;
    problems_.Add(std::move(p));
  }
  progress_ -= half / 2;
  const int answer = Advance(half);
  if (answer) return answer;
  // One store read is enough; with neither, the old store's error stands.
  return old == status::kOk || current == status::kOk ? status::kOk : old;
}

Status BackupCatalog::ScanPhotos(std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream) {
  // The photo library, where the backup holds one, tells which Camera Roll
  // files sit in "Recently Deleted"; without it the files are as they are.
  PhotoLibrary library;
  const fs::path photosDb = Database(kPhotosDb.hashedName);
  std::error_code ec;
  bool withLibrary = false;
  if (EntryExists(photosDb)) {
    AttachLog("camera-roll", kPhotosDb.key, photosDb);
    const Status read = ReadPhotoLibrary(photosDb, library);
    withLibrary = read == status::kOk;
    if (!withLibrary) {
      problems_.Add("camera-roll", kPhotosDb.key, "the photo library could not be read",
                    "items in Recently Deleted are shown as ordinary photos");
    }
  }
  const Status result = orbanix::ScanPhotos(currentFolder_, index_, cameraRoll, photoStream,
                                            MediaProgress{callback_, user_, progress_, step_, &problems_},
                                            withLibrary ? &library : nullptr);
  if (result == status::kCancelled) return result;
  const int answer = Advance(2 * step_);
  return answer ? answer : result;
}

Status BackupCatalog::ReadMessageAttachments(std::vector<AttachmentFile>& attachments, const MediaProgress& media) {
  return orbanix::ScanMessageAttachments(currentFolder_, index_, attachments, media);
}

Status BackupCatalog::ScanMessageAttachments(std::vector<AttachmentFile>& attachments) {
  std::vector<AttachmentFile> found;
  int64_t unused = 0;
  Status result = status::kOk;
  if (TakeAhead(ahead_.get(), &Ahead::attachments, found, unused, result, problems_)) {
    attachments.insert(attachments.end(), std::make_move_iterator(found.begin()),
                       std::make_move_iterator(found.end()));
  } else {
    result = ReadMessageAttachments(attachments, MediaProgress{callback_, user_, progress_, step_, &problems_});
  }
  if (result == status::kCancelled) return result;
  const int answer = Advance(step_);
  return answer ? answer : result;
}

Status BackupCatalog::ReadAppMedia(std::vector<AppMediaItem>& media, std::vector<MediaItem>& whatsAppMedia,
                                   const MediaProgress& progress) {
  return orbanix::ScanAppMedia(currentFolder_, index_, media, whatsAppMedia, progress);
}

Status BackupCatalog::ScanAppMedia(std::vector<AppMediaItem>& media) {
  whatsAppMedia_.clear();
  AppMediaFound found;
  int64_t unused = 0;
  Status result = status::kOk;
  if (TakeAhead(ahead_.get(), &Ahead::appMedia, found, unused, result, problems_)) {
    media.insert(media.end(), std::make_move_iterator(found.media.begin()),
                 std::make_move_iterator(found.media.end()));
    whatsAppMedia_ = std::move(found.whatsApp);
  } else {
    result = ReadAppMedia(media, whatsAppMedia_, MediaProgress{callback_, user_, progress_, step_, &problems_});
  }
  if (result == status::kCancelled) return result;
  const int answer = Advance(step_);
  return answer ? answer : result;
}

Status BackupCatalog::ScanWhatsAppAttachments(std::vector<MediaItem>& media) {
  const Status result = orbanix::ScanWhatsAppAttachments(whatsAppMedia_, media);
  const int answer = Advance(step_);
  return answer ? answer : result;
}

Status BackupCatalog::ScanWhatsApp(WhatsAppChatMap& chats) {
  whatsAppChats_.clear();
  const WhatsAppDatabases databases = FindWhatsAppDatabases(index_);
  Status result = ENOENT;
  if (databases.chat) {
    const fs::path db = ResolveStoredPath(currentFolder_, databases.chat->hashedName);
    if (Usable("whatsapp", databases.chat->key, db)) {
      const size_t before = chats.size();
      result = orbanix::ScanWhatsApp(db, chats, ExtractorProgressWithin(step_));
      Failed("whatsapp", databases.chat->key, result, chats.size() > before);
    } else {
      result = status::kBadData;
    }
    whatsAppChats_ = chats;
  }
  const int answer = Advance(step_);
  return answer ? answer : result;
}

Status BackupCatalog::ScanQQ(ChatAccountMap& accounts) {
  qqAccounts_.clear();
  int found = 0;
  Status result = status::kOk;
  for (const ChatAccountDatabase& db : FindQQDatabases(index_)) {
    PeerChatMap chats;
    const fs::path path = ResolveStoredPath(currentFolder_, db.entry.hashedName);
    Status s = status::kBadData;
    if (Usable("qq", db.entry.key, path)) {
      s = orbanix::ScanQQ(path, chats);
      Failed("qq", db.entry.key, s, !chats.empty());
    }
    if (s != status::kOk) result = s;
    accounts[db.account] = std::move(chats);
    if (const int answer = Report(progress_ + ++found)) return answer;
  }
  const int answer = Advance(step_);
  qqAccounts_ = accounts;
  return answer ? answer : result;
}

Status BackupCatalog::ScanWeChat(ChatAccountMap& accounts) {
  weChatAccounts_.clear();
  int found = 0;
  Status result = status::kOk;
  for (const ChatAccountDatabase& db : FindWeChatDatabases(index_)) {
    PeerChatMap chats;
    const fs::path path = ResolveStoredPath(currentFolder_, db.entry.hashedName);
    Status s = status::kBadData;
    if (Usable("wechat", db.entry.key, path)) {
      s = orbanix::ScanWeChat(path, chats);
      Failed("wechat", db.entry.key, s, !chats.empty());
    }
    if (s != status::kOk) result = s;
    accounts[db.account] = std::move(chats);
    if (const int answer = Report(progress_ + ++found)) return answer;
  }
  const int answer = Advance(step_);
  weChatAccounts_ = accounts;
  return answer ? answer : result;
}

namespace {

// Progress points of each organiser scan (reminders, calendar, Safari):
// small stores, read after every other category.
constexpr int kOrganizerShare = 2;

}  // namespace

Status BackupCatalog::ReadStores(const char* category, const std::vector<BackupFileEntry>& stores, int share,
                                 const std::function<Status(const fs::path&, const OrganizerProgress&)>& read,
                                 bool noOtherFiles) {
  Status result = status::kOk;
  const int base = progress_;
  const int n = static_cast<int>(stores.size());
  const bool only = noOtherFiles && n == 1;
  for (int i = 0; i < n; ++i) {
    const BackupFileEntry& store = stores[i];
    const fs::path path = ResolveStoredPath(currentFolder_, store.hashedName);
    int answer = 0;
    const OrganizerProgress progress = [&](int percent) {
      answer = Report(base + share * (100 * i + std::clamp(percent, 0, 100)) / (100 * n));
      return answer;
    };
    std::error_code ec;
    Status st = status::kBadData;
    if (!EntryExists(path)) {
      // The manifest lists it, the folder does not hold it.
      problems_.Add(category, store.key, "is not in the backup folder", {}, only);
    } else if (Usable(category, store.key, path, only)) {
      st = read(path, progress);
      if (answer != 0) return answer;
      if (st == ENOENT) st = status::kBadData;  // gone since: never the value of a cancel
      if (only) {
        Failed(category, store.key, st, false);
      } else if (st != status::kOk) {
        problems_.Add(category, store.key, "could not be read", StatusText(st), false);
      }
    }
    if (st != status::kOk) result = st;
  }
  return result;
}

Status BackupCatalog::ScanReminders(std::vector<ReminderRecord>& reminders) {
  std::vector<BackupFileEntry> stores = FindReminderStores(index_);
  // Older phones keep their reminders in the calendar database; it is read
  // for them only when the backup has it.
  std::vector<ReminderRecord> fromCalendar;
  const fs::path calendar = Database(kCalendarDb.hashedName);
  std::error_code ec;
  Status result = status::kOk;
  if (EntryExists(calendar)) {
    AttachLog(nullptr, kCalendarDb.key, calendar);
    // The calendar's own failure is the calendar's problem; the reminders
    // report it only when they have no store of their own.
    if (!stores.empty() || Usable("reminders", kCalendarDb.key, calendar)) {
      const Status st = ScanCalendarDatabase(calendar, nullptr, &fromCalendar);
      if (st != status::kOk && stores.empty()) {
        result = st;
        Failed("reminders", kCalendarDb.key, st == ENOENT ? status::kBadData : st, false);
      }
    }
  } else if (stores.empty()) {
    result = ENOENT;  // no store at all: nothing to read, nothing lost
  }
  std::vector<ReminderRecord> found;
  const Status storesResult =
      ReadStores("reminders", stores, kOrganizerShare, [&](const fs::path& path, const OrganizerProgress& progress) {
        return ScanReminderStore(path, found, progress);
      });
  if (storesResult == status::kCancelled) return storesResult;
  if (storesResult != status::kOk) result = storesResult;
  reminders.insert(reminders.end(), std::make_move_iterator(fromCalendar.begin()),
                   std::make_move_iterator(fromCalendar.end()));
  reminders.insert(reminders.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  const int answer = Advance(kOrganizerShare);
  return answer ? answer : result;
}

Status BackupCatalog::ScanCalendar(std::vector<CalendarEventRecord>& events) {
  // The database as the index lists it; a backup whose index does not
  // list it has no calendar (nothing that could not be read).
  std::vector<BackupFileEntry> entries;
  for (const BackupFileEntry& e : index_) {
    if (e.key == kCalendarDb.key) entries.push_back(e);
  }
  if (entries.empty()) {
    const int answer = Advance(kOrganizerShare);
    return answer ? answer : ENOENT;
  }
  std::vector<CalendarEventRecord> found;
  const Status result =
      ReadStores("calendar", entries, kOrganizerShare, [&](const fs::path& path, const OrganizerProgress& progress) {
        return ScanCalendarDatabase(path, &found, nullptr, progress);
      });
  if (result == status::kCancelled) return result;
  events.insert(events.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
  const int answer = Advance(kOrganizerShare);
  return answer ? answer : result;
}

Status BackupCatalog::ScanSafari(std::vector<SafariBookmarkRecord>& bookmarks,
                                 std::vector<SafariHistoryRecord>& history) {
  const std::vector<BackupFileEntry> bookmarkFiles = FindSafariDatabases(index_, "Bookmarks.db");
  const std::vector<BackupFileEntry> historyFiles = FindSafariDatabases(index_, "History.db");
  if (bookmarkFiles.empty() && historyFiles.empty()) {
    const int answer = Advance(kOrganizerShare);
    return answer ? answer : ENOENT;
  }
  std::vector<SafariBookmarkRecord> foundBookmarks;
  std::vector<SafariHistoryRecord> foundHistory;
  const int base = progress_;
  Status result =
      ReadStores("safari-bookmarks", bookmarkFiles, (kOrganizerShare / 2), [&](const fs::path& path, const OrganizerProgress& p) {
        return ScanSafariBookmarks(path, foundBookmarks, p);
      }, historyFiles.empty());
  if (result == status::kCancelled) return result;
  progress_ = base + (kOrganizerShare / 2);
  const Status historyResult =
      ReadStores("safari-bookmarks", historyFiles, (kOrganizerShare / 2), [&](const fs::path& path, const OrganizerProgress& p) {
        return ScanSafariHistory(path, foundHistory, p);
      }, bookmarkFiles.empty());
  progress_ = base;
  if (historyResult == status::kCancelled) return historyResult;
  if (historyResult != status::kOk) result = historyResult;
  bookmarks.insert(bookmarks.end(), std::make_move_iterator(foundBookmarks.begin()),
                   std::make_move_iterator(foundBookmarks.end()));
  history.insert(history.end(), std::make_move_iterator(foundHistory.begin()),
                 std::make_move_iterator(foundHistory.end()));
  const int answer = Advance(kOrganizerShare);
  return answer ? answer : result;
}

Status BackupCatalog::CopyForPreview(const fs::path& source, fs::path& copy, ProgressCallback callback, void* user) {
  return CopyForPreviewTo(dataFolder_, source, copy, callback, user);
}

Status BackupCatalog::CopyFile(const fs::path& source, const fs::path& destination, CopyCallback callback,
                               void* user) {
  // Only what lies inside the backup being read is copied out.
  return CopyFileWithProgress(source, destination, callback, user, currentFolder_);
}

Status BackupCatalog::DumpMessageRows(const fs::path& output, const MessageRowFilter& keep) {
  return orbanix::DumpMessageRows(Database(kMessagesDb.hashedName), output, maxMessageRowId_, keep);
}

Status BackupCatalog::DumpContactRows(const fs::path& output, const ContactRowFilter& keep) {
  return orbanix::DumpContactRows(Database(kAddressBookDb.hashedName), output, maxContactRowId_, keep);
}

Status BackupCatalog::ExportWhatsAppChat(int chatKey, const fs::path& output, CopyCallback callback, void* user) {
  return ExportWhatsAppChatTo(whatsAppChats_, chatKey, output, callback, user);
}

Status BackupCatalog::ExportQQChat(const std::string& account, const std::string& chat, const fs::path& output,
                        CopyCallback callback, void* user) {
  return ExportPeerChatTo(qqAccounts_, account, chat, output, callback, user);
}

Status BackupCatalog::ExportWeChatChat(const std::string& account, const std::string& chat, const fs::path& output,
                            CopyCallback callback, void* user) {
  return ExportPeerChatTo(weChatAccounts_, account, chat, output, callback, user);
}

void BackupCatalog::CleanUp() {
  std::error_code ec;
  // The deciphered copy lives in the work folder; only what this program
  // wrote there is removed.
  const fs::path copies = decryptionFolder_.empty() ? decrypt::DefaultDecryptionOutputFolder() : decryptionFolder_;
  if (!copies.empty() && fs::is_directory(copies, ec)) {
    for (const auto& entry : fs::directory_iterator(copies, ec)) fs::remove_all(entry.path(), ec);
  }
  if (!decryptedFolder_.empty()) fs::remove_all(decryptedFolder_, ec);
  decryptedFolder_.clear();
  for (const char* name : {"tmp.jpg", "tmp.avi", "tmp.wav"}) fs::remove(dataFolder_ / name, ec);
}

// The local source holds nothing but the catalog.
Status CLocalBuckupRecovery::SetCatalog(void* context) {
  catalog_ = static_cast<BackupCatalog*>(context);
  return status::kOk;
}
Status CLocalBuckupRecovery::SetProgressCallback(ProgressCallback callback, void* user) {
  if (!catalog_) return status::kBadData;
  catalog_->SetProgressCallback(callback, user);
  return status::kOk;
}

#define ORBANIX_FORWARD(call) return catalog_ ? catalog_->call : status::kBadData
Status CLocalBuckupRecovery::Open(const std::string& password) { ORBANIX_FORWARD(Open(password)); }
void CLocalBuckupRecovery::PrepareMessages() {
  if (catalog_) catalog_->PrepareMessages();
}
void CLocalBuckupRecovery::BeginAhead(const AheadOperations& operations) {
  if (catalog_) catalog_->BeginAhead(operations);
}
void CLocalBuckupRecovery::EndAhead() {
  if (catalog_) catalog_->EndAhead();
}
Status CLocalBuckupRecovery::ScanMessages(ConversationMap& c) { ORBANIX_FORWARD(ScanMessages(c)); }
std::vector<Problem> CLocalBuckupRecovery::Problems() const {
  return catalog_ ? catalog_->Problems() : std::vector<Problem>();
}
Status CLocalBuckupRecovery::ScanMessageAttachments(std::vector<AttachmentFile>& a) {
  ORBANIX_FORWARD(ScanMessageAttachments(a));
}
Status CLocalBuckupRecovery::ScanContacts(std::vector<ContactRecord>& c) { ORBANIX_FORWARD(ScanContacts(c)); }
Status CLocalBuckupRecovery::ScanNotes(std::vector<NoteRecord>& n) { ORBANIX_FORWARD(ScanNotes(n)); }
Status CLocalBuckupRecovery::ScanCallHistory(std::vector<CallRecord>& c) { ORBANIX_FORWARD(ScanCallHistory(c)); }
Status CLocalBuckupRecovery::ScanPhotos(std::vector<MediaItem>& c, std::vector<MediaItem>& p) {
  ORBANIX_FORWARD(ScanPhotos(c, p));
}
Status CLocalBuckupRecovery::ScanWhatsAppAttachments(std::vector<MediaItem>& m) {
  ORBANIX_FORWARD(ScanWhatsAppAttachments(m));
}
Status CLocalBuckupRecovery::ScanAppMedia(std::vector<AppMediaItem>& m) { ORBANIX_FORWARD(ScanAppMedia(m)); }
Status CLocalBuckupRecovery::ScanQQ(ChatAccountMap& a) { ORBANIX_FORWARD(ScanQQ(a)); }
Status CLocalBuckupRecovery::ScanWeChat(ChatAccountMap& a) { ORBANIX_FORWARD(ScanWeChat(a)); }
Status CLocalBuckupRecovery::ScanWhatsApp(WhatsAppChatMap& c) { ORBANIX_FORWARD(ScanWhatsApp(c)); }
Status CLocalBuckupRecovery::CopyForPreview(const fs::path& s, fs::path& c, ProgressCallback cb, void* u) {
  ORBANIX_FORWARD(CopyForPreview(s, c, cb, u));
}
Status CLocalBuckupRecovery::CopyFile(const fs::path& s, const fs::path& d, CopyCallback cb, void* u) {
  ORBANIX_FORWARD(CopyFile(s, d, cb, u));
}
Status CLocalBuckupRecovery::DumpMessageRows(const fs::path& o, const MessageRowFilter& k) {
  ORBANIX_FORWARD(DumpMessageRows(o, k));
}
Status CLocalBuckupRecovery::DumpContactRows(const fs::path& o, const ContactRowFilter& k) {
  ORBANIX_FORWARD(DumpContactRows(o, k));
}
Status CLocalBuckupRecovery::ExportWhatsAppChat(int k, const fs::path& o, CopyCallback cb, void* u) {
  ORBANIX_FORWARD(ExportWhatsAppChat(k, o, cb, u));
}
Status CLocalBuckupRecovery::ExportQQChat(const std::string& a, const std::string& c, const fs::path& o,
                                          CopyCallback cb, void* u) {
  ORBANIX_FORWARD(ExportQQChat(a, c, o, cb, u));
}
Status CLocalBuckupRecovery::ExportWeChatChat(const std::string& a, const std::string& c, const fs::path& o,
                                              CopyCallback cb, void* u) {
  ORBANIX_FORWARD(ExportWeChatChat(a, c, o, cb, u));
}
Status CLocalBuckupRecovery::ScanReminders(std::vector<ReminderRecord>& r) { ORBANIX_FORWARD(ScanReminders(r)); }
Status CLocalBuckupRecovery::ScanCalendar(std::vector<CalendarEventRecord>& e) { ORBANIX_FORWARD(ScanCalendar(e)); }
Status CLocalBuckupRecovery::ScanSafari(std::vector<SafariBookmarkRecord>& b, std::vector<SafariHistoryRecord>& h) {
  ORBANIX_FORWARD(ScanSafari(b, h));
}
#undef ORBANIX_FORWARD

}  // namespace orbanix
