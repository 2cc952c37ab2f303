// The recovery run: writes every ticked item of a scan's results into the
// folder the user chose, free of any user interface. The command line runs
// it on its own thread; the recovery window on a worker thread. Both watch
// and cancel it through RecoveryProgress.
//
// Output layout under the chosen folder (S is the run's ExportStamp):
//   Camera Roll/NAME, Photo Stream/NAME                  copies
//   App Photos/APP/NAME, App Video/APP/NAME              copies
//   Message/CONTACT-S/LABEL.txt and LABEL.html           one folder per conversation
//   Message/sms.csv                                      the message row dump, once per run
//   Message Attachments/NAME                             copies
//   Contacts/S/Contacts.html, .vcf and .csv              one document each for all contacts
//   CallHistory/CallHistory_S.html                       one document
//   Notes/Notes_S.html                                   one document
//   WhatsApp Message/LABEL-S/LABEL.txt, .csv and .html   one folder per chat
//   WhatsApp Attachments/NAME                            copies
//   Calendar/Calendar_S.html, .csv and .ics              one set for all events
//   Reminders/Reminders_S.html, .csv and .ics            one set for all reminders
//   Safari/Safari_S.html                                 bookmarks and history
//   Safari/Bookmarks_S.html                              the bookmarks for a browser to import
//   Safari/Bookmarks_S.csv and History_S.csv
//   JSON/S/messages.jsonl, contacts.jsonl, calls.jsonl,  with the JSON option: one object per
//     notes.jsonl, whatsapp.jsonl, media.jsonl, ...      record or copied file (json_lines.h)
// Every name from a record is sanitised (SanitizeName) and every copied file
// and conversation file gets a free name (UniqueOutputPath); the documents
// with S in their names are overwritten within one run.
//
// Order: the templates are loaded first (a missing or broken template ends
// the run before anything is written); then the selection is walked in its
// order, skipping grouping entries, unticked and hidden items; at the end the
// row dumps and the contacts, call-history, notes, calendar, reminders and
// Safari documents are written.
// The row dumps hold only the rows of the conversations and contacts that
// were chosen, not the whole tables. The JSON Lines files are written last,
// after every copy, so that a message names the output paths of its
// attachments wherever the selection put them; media.jsonl is written as the
// copies are made.
//
// Counting: every written item ends in exactly one completion report: a
// copied file (an empty one too), a conversation's HTML document, a chat's
// HTML document, and each contact, call and note once its document is on
// disk (all naming that document; the same for events, reminders,
// bookmarks and history with their HTML document). A file that fails beside
// them (a conversation's TXT or CSV, a row dump, the vCard file, a JSON Lines
// file) is reported as one more failure and
// raises the total by one, so that done reaches the total.
//
// Cancel: once RecoveryProgress is cancelled the walk stops at once, the file
// in work is removed (copies, and the files of the conversation in work),
// and the end-of-run documents are not written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "export/documents.h"
#include "export/progress.h"
#include "export/selection.h"
#include "export/templates.h"
#include "extractors/calls.h"
#include "extractors/notes.h"
#include "extractors/records.h"
#include "extractors/whatsapp.h"
#include "sources/media_scan.h"

namespace orbanix {

namespace fs = std::filesystem;

// What the recovery needs from the data source.
struct RecoveryOutputSource {
  // Copies one stored file to `destination` (a free name whose folder
  // exists), reporting percent, status and destination after each piece; a
  // non-zero answer stops the copy. 0 or the failure.
  std::function<Status(const fs::path& source, const fs::path& destination, const ReportFn& report)> copyFile;
  // Write the rows of the messages / contacts table, live and recovered,
  // that `keep` accepts to the file given. 0 or the failure. May be empty
  // when the source has none.
  std::function<Status(const fs::path& output, const MessageRowFilter& keep)> dumpMessageRows;
  std::function<Status(const fs::path& output, const ContactRowFilter& keep)> dumpContactRows;
};

// The WhatsApp chats: chat key to the chat's messages in date order.
using WhatsAppChats = WhatsAppChatMap;
// Application media by application name.
using AppMediaByName = std::map<std::string, std::vector<AppMediaItem>>;

// The scan's results that the selection points into. A selection entry is
// written only when its address is an element of the container of its
// category.
struct RecoveryRecords {
  const std::vector<MediaItem>* cameraRoll = nullptr;
  const std::vector<MediaItem>* photoStream = nullptr;
  const std::vector<AppMediaItem>* appMedia = nullptr;  // App Photos and App Videos in one list
  const AppMediaByName* appPhotos = nullptr;            // or split by application name
  const AppMediaByName* appVideos = nullptr;
  const std::vector<AttachmentFile>* attachments = nullptr;
  const std::vector<MediaItem>* whatsAppMedia = nullptr;
  const ConversationMap* conversations = nullptr;
  // The records that stand for conversations (the last message of each);
  // when absent, the messages inside `conversations` stand for themselves.
  const std::vector<MessageRecord>* conversationRows = nullptr;
  const std::vector<ContactRecord>* contacts = nullptr;
  const std::vector<CallRecord>* calls = nullptr;
  const std::vector<NoteRecord>* notes = nullptr;
  const WhatsAppChats* chats = nullptr;
  const std::vector<ChatMessageRecord>* chatRows = nullptr;  // the records that stand for chats
  const std::vector<ReminderRecord>* reminders = nullptr;
  const std::vector<CalendarEventRecord>* events = nullptr;
  const std::vector<SafariBookmarkRecord>* safariBookmarks = nullptr;
  const std::vector<SafariHistoryRecord>* safariHistory = nullptr;
};

struct RecoveryOptions {
  fs::path outputRoot;
  fs::path templateFolder;   // empty: DefaultTemplateFolder()
  std::string deviceName;    // for the document titles
  int64_t startTime = 0;     // Unix seconds of the run's stamp; 0: now
  bool jsonLines = false;    // also write the JSON Lines files
};

struct RecoveryResult {
  Status status = status::kOk;  // 0, the template or output-folder failure, or kCancelled
  std::string error;            // a sentence when the run could not start
  std::string stamp;
  bool cancelled = false;
  RecoveryProgress::Counts counts;
};

RecoveryResult RunRecovery(const CStatisticsObj& selection, const RecoveryRecords& records,
                           const RecoveryOutputSource& source, const RecoveryOptions& options, RecoveryProgress& progress);

// The element of `items` at address `id`, or nullptr when `id` is not one
// (a selection entry is trusted only when it points into its container).
template <typename T>
const T* ElementOf(const std::vector<T>* items, const void* id) {
  if (!items || items->empty()) return nullptr;
  // Compared as integers: pointers into different arrays are not ordered.
  const auto a = reinterpret_cast<uintptr_t>(id);
  const auto lo = reinterpret_cast<uintptr_t>(items->data());
  const auto hi = reinterpret_cast<uintptr_t>(items->data() + items->size());
  if (a < lo || a >= hi || (a - lo) % sizeof(T) != 0) return nullptr;
  return static_cast<const T*>(id);
}

// The folder of a category under the output root ("Camera Roll", "App Video",
// "Message", ...); empty for a category that has no output.
const char* CategoryFolder(Category category);

// True when the name's extension is one of the video types (App Videos
// rather than App Photos).
bool IsVideoName(std::string_view name);

// The records that stand for conversations and chats: the last message of
// each, deleted ones first (stable).
std::vector<MessageRecord> ConversationRows(const ConversationMap& conversations);
std::vector<ChatMessageRecord> ChatRows(const WhatsAppChats& chats);

// Adds every item of the records to the selection, ticked, in category
// order. Split application media get one grouping entry per application
// (its identity is the address of the application's list); a single list is
// told apart into App Photos and App Videos by IsVideoName.
void SelectAll(CStatisticsObj& selection, const RecoveryRecords& records);

}  // namespace orbanix
