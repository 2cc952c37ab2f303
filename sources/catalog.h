// The backup catalog: the long-lived state behind the local backup source.
// The program creates one and keeps it for its whole run; each scan's
// source points to it. It finds the backups, reads the chosen backup's file
// index, has an encrypted backup deciphered into the work folder, hands the
// databases to the extractors, collects media, copies files out, and cleans
// up its temporary files (the deciphered copy, the preview copies).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/problems.h"
#include "platform/status.h"
#include "sources/categories.h"
#include "sources/discovery.h"
#include "sources/file_index.h"
#include "sources/media_scan.h"
#include "sources/recovery_source.h"

namespace orbanix {

struct CarvedFile;

class BackupCatalog {
 public:
  // Creates the data folder, cleans up what an earlier run left, and finds
  // the backups under `roots` (default: the platform's backup folders).
  explicit BackupCatalog(std::filesystem::path dataFolder = {}, std::vector<std::filesystem::path> roots = {});
  ~BackupCatalog();
  BackupCatalog(const BackupCatalog&) = delete;
  BackupCatalog& operator=(const BackupCatalog&) = delete;

  // Backups found at construction (candidates), read with ListBackups.
  const std::vector<std::filesystem::path>& candidates() const { return candidates_; }
  void SelectBackup(const BackupInfo& info);
  const BackupInfo& selected() const { return selected_; }
  const std::filesystem::path& currentFolder() const { return currentFolder_; }
  const std::filesystem::path& dataFolder() const { return dataFolder_; }
  const std::vector<BackupFileEntry>& index() const { return index_; }
  // Where an encrypted backup is deciphered to (tests point it elsewhere).
  void SetDecryptionFolder(std::filesystem::path folder) { decryptionFolder_ = std::move(folder); }
  // What the last Open said beyond its status (a damaged manifest, the
  // files the decryption could not read), for the user.
  const std::string& lastMessage() const { return lastMessage_; }
  // 0, or why the data folder could not be made (the errno).
  Status dataFolderError() const { return dataFolderError_; }

  void SetProgressCallback(ProgressCallback callback, void* user);

  // What could not be read since the last Open: files refused, cut short or
  // not databases, manifests read only in part, deciphering failures.
  std::vector<Problem> Problems() const { return problems_.Snapshot(); }

  Status Open(const std::string& password);
  // Carves the messages database on a thread of its own while the steps
  // before the messages run (the messages scan then finds it carved).
  void PrepareMessages();
  Status ScanMessages(ConversationMap& conversations);
  // Runs the operations of `operations` on a thread of their own (see
  // IPhoneRecoveryParse::BeginAhead); EndAhead waits for it.
  void BeginAhead(const AheadOperations& operations);
  void EndAhead();
  Status ScanMessageAttachments(std::vector<AttachmentFile>& attachments);
  Status ScanContacts(std::vector<ContactRecord>& contacts);
  Status ScanNotes(std::vector<NoteRecord>& notes);
  Status ScanCallHistory(std::vector<CallRecord>& calls);
  Status ScanPhotos(std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream);
  Status ScanWhatsAppAttachments(std::vector<MediaItem>& media);
  Status ScanAppMedia(std::vector<AppMediaItem>& media);
  Status ScanQQ(ChatAccountMap& accounts);
  Status ScanWeChat(ChatAccountMap& accounts);
  Status ScanWhatsApp(WhatsAppChatMap& chats);
  Status ScanReminders(std::vector<ReminderRecord>& reminders);
  Status ScanCalendar(std::vector<CalendarEventRecord>& events);
  Status ScanSafari(std::vector<SafariBookmarkRecord>& bookmarks, std::vector<SafariHistoryRecord>& history);

  Status CopyForPreview(const std::filesystem::path& source, std::filesystem::path& copy, ProgressCallback callback,
                        void* user);
  Status CopyFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                  CopyCallback callback, void* user);
  Status DumpMessageRows(const std::filesystem::path& output, const MessageRowFilter& keep);
  Status DumpContactRows(const std::filesystem::path& output, const ContactRowFilter& keep);
  Status ExportWhatsAppChat(int chatKey, const std::filesystem::path& output, CopyCallback callback, void* user);
  Status ExportQQChat(const std::string& account, const std::string& chat, const std::filesystem::path& output,
                      CopyCallback callback, void* user);
  Status ExportWeChatChat(const std::string& account, const std::string& chat, const std::filesystem::path& output,
                          CopyCallback callback, void* user);

  // Deletes the deciphered copy and the preview copies. Failures are left
  // for the next run.
  void CleanUp();

  int progress() const { return progress_; }
  int step() const { return step_; }

 private:
  // Reports the progress value to the registered callback: its answer.
  int Report(int value);
  // Adds `share` to the progress and reports it.
  int Advance(int share);
  // A progress function for an extractor that reports 0-100 of its own
  // work within `share` points.
  std::function<int(int)> ExtractorProgressWithin(int share);
  std::filesystem::path Database(const char* hashedName) const;
  // Reads every store with `read`, sharing `share` points of progress
  // among them; a store that fails is a problem of `category` and the
  // others are read all the same (`noOtherFiles`: the category has no
  // files beside these). The last failure, or 0.
  Status ReadStores(const char* category, const std::vector<BackupFileEntry>& stores, int share,
                    const std::function<Status(const std::filesystem::path&, const OrganizerProgress&)>& read,
                    bool noOtherFiles = true);
  // Looks at a stored database before its extractor reads it and records
  // what is wrong with it; false when nothing can be read from it.
  // `only`: the category has no other file, so a refused one leaves it
  // with nothing at all.
  // Problems go to `log` (the catalog's own when null).
  bool Usable(const char* category, const std::string& key, const std::filesystem::path& path, bool only = true,
              ProblemLog* log = nullptr);
  // A database another category's extractor reads beside its own (the
  // address book for the names): its path, or empty when it is refused.
  std::filesystem::path Helper(const FixedDatabase& database);
  // Has the readers of the database at `path` (stored under `key`) read it
  // with its write-ahead log when the backup holds one, and records a log
  // that could not be used as a problem of `category` (none when null).
  void AttachLog(const char* category, const std::string& key, const std::filesystem::path& path,
                 ProblemLog* into = nullptr);
  // Records an extractor's failure (not a missing file, not a cancel);
  // `found` tells whether it still delivered something.
  void Failed(const char* category, const std::string& key, Status result, bool found, ProblemLog* log = nullptr);

  // The work of the operations that may run ahead: the records, the
  // status, the problems into `log`; progress as `progress` (or `media`)
  // tells, which also answers a cancel.
  Status ReadMessageAttachments(std::vector<AttachmentFile>& attachments, const MediaProgress& media);
  Status ReadContacts(std::vector<ContactRecord>& contacts, int64_t& maxRowId, ProblemLog& log);
  Status ReadCallHistory(std::vector<CallRecord>& calls, const std::function<int(int)>& progress, ProblemLog& log);
  Status ReadAppMedia(std::vector<AppMediaItem>& media, std::vector<MediaItem>& whatsAppMedia,
                      const MediaProgress& progress);
  // The progress callback of work ahead: shows nothing, but answers a
  // pause (by blocking) and a cancel as the scan's callback does.
  static int AheadCheck(void* catalog, int value);

  // Waits for the carve begun by PrepareMessages and lets it go.
  void DropPreparedMessages();

  // The operations begun ahead, beside the messages scan.
  struct Ahead;
  std::unique_ptr<Ahead> ahead_;
  // The carve begun ahead of the messages scan (its finds are held until
  // that scan has taken them).
  std::shared_future<std::shared_ptr<const CarvedFile>> preparedMessages_;
  std::filesystem::path currentFolder_;
  std::filesystem::path dataFolder_;
  std::filesystem::path decryptionFolder_;
  std::filesystem::path decryptedFolder_;  // the deciphered copy of the current scan, if any
  BackupInfo selected_;
  std::vector<std::filesystem::path> candidates_;
  std::vector<BackupFileEntry> index_;
  ProgressCallback callback_ = nullptr;
  void* user_ = nullptr;
  uint64_t totalSize_ = 0;
  int progress_ = 0;
  int step_ = 0;
  int64_t maxMessageRowId_ = 20000;
  int64_t maxContactRowId_ = 20000;
  ChatAccountMap qqAccounts_;
  ChatAccountMap weChatAccounts_;
  WhatsAppChatMap whatsAppChats_;
  std::vector<MediaItem> whatsAppMedia_;
  std::string lastMessage_;
  ProblemLog problems_;
  Status dataFolderError_ = status::kOk;
};

// The local backup source: every operation forwards to the catalog.
class CLocalBuckupRecovery : public IPhoneRecoveryParse {
 public:
  Status SetCatalog(void* context) override;
  Status SetProgressCallback(ProgressCallback callback, void* user) override;
  Status Reserved(int32_t) override { return status::kOk; }
  bool IsBackupSource(int32_t) override { return true; }

  Status Open(const std::string& password) override;
  void PrepareMessages() override;
  Status ScanMessages(ConversationMap& conversations) override;
  void BeginAhead(const AheadOperations& operations) override;
  void EndAhead() override;
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
  std::vector<Problem> Problems() const override;
  Status ScanReminders(std::vector<ReminderRecord>& reminders) override;
  Status ScanCalendar(std::vector<CalendarEventRecord>& events) override;
  Status ScanSafari(std::vector<SafariBookmarkRecord>& bookmarks, std::vector<SafariHistoryRecord>& history) override;

 private:
  BackupCatalog* catalog_ = nullptr;
};

}  // namespace orbanix
