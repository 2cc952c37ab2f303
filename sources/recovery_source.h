// The data-source interface: every place a scan reads from, a backup folder
// or a connected iPhone, offers these operations. A scan calls SetCatalog and
// SetProgressCallback, then Open, then the scan operations of the ticked
// categories; the preview and the recovery later call the copy, dump and
// export operations on the same object. Every scan operation appends to the
// container it is given and never clears it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "extractors/calendar.h"
#include "extractors/calls.h"
#include "extractors/chat_apps.h"
#include "extractors/contacts.h"
#include "extractors/messages.h"
#include "extractors/notes.h"
#include "extractors/reminders.h"
#include "extractors/safari.h"
#include "extractors/whatsapp.h"
#include "platform/problems.h"
#include "platform/status.h"
#include "sources/media_scan.h"

namespace orbanix {

// Progress of a copy or an export: percent done (0-100), the status of the
// last chunk (0 or an errno) and the destination. A non-zero answer stops
// the copy and becomes its result.
using CopyCallback = int (*)(void* user, int percent, Status status, const std::filesystem::path& destination);

// Account name -> that account's conversations (QQ, WeChat).
using ChatAccountMap = std::map<std::string, PeerChatMap>;

// The operations after the messages that a scan will run and a source may
// begin ahead, beside the messages scan (which mostly waits for its carve).
struct AheadOperations {
  bool messageAttachments = false;
  bool contacts = false;
  bool callHistory = false;
  bool appMedia = false;
};

class IPhoneRecoveryParse {
 public:
  virtual ~IPhoneRecoveryParse() = default;

  // The shared state: the BackupCatalog for a backup, the device connection
  // for a device.
  virtual Status SetCatalog(void* context) = 0;
  virtual Status SetProgressCallback(ProgressCallback callback, void* user) = 0;
  virtual Status Reserved(int32_t value) = 0;
  virtual bool IsBackupSource(int32_t ignored) = 0;

  virtual Status Open(const std::string& password) = 0;
  // Begins, beside the steps before it, the slowest part of a later
  // messages scan (the deleted-row carve of the messages database), for a
  // scan that will read the messages; a source may do nothing.
  virtual void PrepareMessages() {}
  virtual Status ScanMessages(ConversationMap& conversations) = 0;
  // Begins the operations of `operations` on a thread of their own; each
  // call of one of them then takes what was made, with the same records,
  // status and problems as when it runs there, and its progress at its end.
  // A source may do nothing.
  virtual void BeginAhead(const AheadOperations& operations) { (void)operations; }
  // Waits for what BeginAhead began and no call took (a cancelled scan):
  // it is dropped. Every scan that began work ahead ends with this call.
  virtual void EndAhead() {}
  virtual Status ScanMessageAttachments(std::vector<AttachmentFile>& attachments) = 0;
  virtual Status ScanContacts(std::vector<ContactRecord>& contacts) = 0;
  virtual Status ScanNotes(std::vector<NoteRecord>& notes) = 0;
  virtual Status ScanCallHistory(std::vector<CallRecord>& calls) = 0;
  virtual Status ScanPhotos(std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream) = 0;
  virtual Status ScanWhatsAppAttachments(std::vector<MediaItem>& media) = 0;
  virtual Status ScanAppMedia(std::vector<AppMediaItem>& media) = 0;
  virtual Status ScanQQ(ChatAccountMap& accounts) = 0;
  virtual Status ScanWeChat(ChatAccountMap& accounts) = 0;
  virtual Status ScanWhatsApp(WhatsAppChatMap& chats) = 0;

  virtual Status CopyForPreview(const std::filesystem::path& source, std::filesystem::path& copy,
                                ProgressCallback callback, void* user) = 0;
  virtual Status CopyFile(const std::filesystem::path& source, const std::filesystem::path& destination,
                          CopyCallback callback, void* user) = 0;
  // The row dumps of the messages and contacts tables, limited to the rows
  // `keep` accepts (every row when it is empty).
  virtual Status DumpMessageRows(const std::filesystem::path& output, const MessageRowFilter& keep) = 0;
  virtual Status DumpContactRows(const std::filesystem::path& output, const ContactRowFilter& keep) = 0;
  virtual Status ExportWhatsAppChat(int chatKey, const std::filesystem::path& output, CopyCallback callback,
                                    void* user) = 0;
  virtual Status ExportQQChat(const std::string& account, const std::string& chat,
                              const std::filesystem::path& output, CopyCallback callback, void* user) = 0;
  virtual Status ExportWeChatChat(const std::string& account, const std::string& chat,
                                  const std::filesystem::path& output, CopyCallback callback, void* user) = 0;

  // What could not be read since Open, in the order met (safe to call from
  // any thread). A source that records none has none to give.
  virtual std::vector<Problem> Problems() const { return {}; }

  // The organiser stores, after every older operation so that their slots
  // keep their numbers. Reminders come from the Reminders stores of current
  // phones and from the calendar database of older ones; events from the
  // calendar database; Safari's bookmarks and history from its two
  // databases, wherever the phone keeps them. Each appends and returns 0,
  // kCancelled, or the failure of a store (the others are read all the
  // same, and every store that could not be read is a Problem).
  virtual Status ScanReminders(std::vector<ReminderRecord>& reminders) = 0;
  virtual Status ScanCalendar(std::vector<CalendarEventRecord>& events) = 0;
  virtual Status ScanSafari(std::vector<SafariBookmarkRecord>& bookmarks,
                            std::vector<SafariHistoryRecord>& history) = 0;
};

}  // namespace orbanix
