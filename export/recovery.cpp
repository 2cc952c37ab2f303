#include "export/recovery.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "export/json_lines.h"
#include "export/names.h"
#include "export/organizer_documents.h"
#include "export/text_format.h"
#include "export/vcard.h"
#include "platform/folders.h"
#include "platform/text.h"

namespace orbanix {

namespace {

const AppMediaItem* FindAppItem(const RecoveryRecords& records, Category category, const void* id) {
  if (const AppMediaItem* a = ElementOf(records.appMedia, id)) return a;
  const AppMediaByName* byName = category == Category::AppVideos ? records.appVideos : records.appPhotos;
  if (!byName) return nullptr;
  for (const auto& [app, items] : *byName) {
    if (const AppMediaItem* a = ElementOf(&items, id)) return a;
  }
  return nullptr;
}

const MessageRecord* FindConversationRecord(const RecoveryRecords& records, const void* id) {
  if (const MessageRecord* r = ElementOf(records.conversationRows, id)) return r;
  if (!records.conversations) return nullptr;
  for (const auto& [key, messages] : *records.conversations) {
    if (const MessageRecord* r = ElementOf(&messages, id)) return r;
  }
  return nullptr;
}

ConversationLine LineOf(const MessageRecord& m) {
  ConversationLine line;
  line.fromMe = m.fromMe != 0;
  line.deleted = m.deleted != 0;
  line.date = m.date;
  // In a group chat each received message names its member; the owner's
  // messages, and every message elsewhere, the conversation's party.
  const bool member = m.group && !m.fromMe;
  const std::string& name = member ? m.senderName() : m.contactName;
  const std::string& address = member ? m.senderAddress() : m.address;
  line.label = PartyLabel(name, address);
  line.sender = PartyName(name, address);
  line.text = MessageDisplayText(m);
  line.csvName = name;
  line.csvAddress = address;
  line.recoveredFrom = m.recoveredFrom;
  return line;
}

ConversationLine LineOf(const ChatMessageRecord& m) {
  ConversationLine line;
  line.fromMe = m.fromMe != 0;
  line.deleted = m.deleted != 0;
  line.date = m.date;
  line.label = PartyLabel(m.senderName, m.senderAddress);
  line.sender = PartyName(m.senderName, m.senderAddress);
  line.text = m.text;
  line.csvName = m.senderName;
  line.csvAddress = m.senderAddress;
  line.recoveredFrom = m.recoveredFrom;
  return line;
}

// The stem of the last part of a path ("IMG_0001" of ".../IMG_0001.JPG"):
// an attachment's copy has the extension of what its bytes are, which need
// not be the one the message names.
std::string FileStem(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

// What identifies a contact of the scan among the rows of the contacts
// table: every field the contacts scan made of its row.
std::string ContactKey(const ContactRecord& c) {
  std::string key = c.deleted != 0 ? "1" : "0";
  for (const std::string* field : {&c.name, &c.phones, &c.email, &c.address, &c.social, &c.homePage, &c.company}) {
    key += '\x1f';
    key += *field;
  }
  return key;
}

// The key of a category in the JSON Lines files.
const char* CategoryKey(Category category) {
  switch (category) {
    case Category::CameraRoll: return "camera-roll";
    case Category::PhotoStream: return "photo-stream";
    case Category::AppPhotos: return "app-photos";
    case Category::AppVideos: return "app-videos";
    case Category::MessageAtts: return "message-attachments";
    case Category::WhatsAppAtts: return "whatsapp-attachments";
    default: return "";
  }
}

// One table document collected during the walk and written at the end.
struct TableDocument {
  const DocumentTemplate* tmpl = nullptr;
  fs::path path;
  std::string rows;
  int records = 0;
};

class Run {
 public:
  Run(const RecoveryRecords& records, const RecoveryOutputSource& source, const RecoveryOptions& options,
      RecoveryProgress& progress)
      : records_(records), source_(source), options_(options), progress_(progress), root_(options.outputRoot) {}

  RecoveryResult Go(const CStatisticsObj& selection) {
    RecoveryResult result;
    const fs::path folder = options_.templateFolder.empty() ? DefaultTemplateFolder() : options_.templateFolder;
    result.status = templates_.Load(folder, options_.deviceName, result.error);
    if (result.status != status::kOk) return result;
    result.status = CreateFolderTree(root_);
    if (result.status != status::kOk) {
      result.error = "the output folder " + root_.string() + " cannot be created: " + ErrorText(result.status);
      return result;
    }
    const int64_t now = options_.startTime != 0 ? options_.startTime : static_cast<int64_t>(std::time(nullptr));
    stamp_ = ExportStamp(now);
    result.stamp = stamp_;
    calls_.tmpl = &templates_.callHistory;
    calls_.path = root_ / CategoryFolder(Category::CallHistory) / ("CallHistory_" + stamp_ + ".html");
    notes_.tmpl = &templates_.notes;
    notes_.path = root_ / CategoryFolder(Category::Notes) / ("Notes_" + stamp_ + ".html");
    contacts_.tmpl = &templates_.contacts;
    contacts_.path = root_ / CategoryFolder(Category::Contacts) / stamp_ / "Contacts.html";
    jsonFolder_ = root_ / "JSON" / stamp_;

    progress_.Start(selection.RecoveryTotal());
    for (const auto& [id, state] : selection.table().entries()) {
      if (progress_.Cancelled()) break;
      if (state.folder || !state.ticked || state.hidden) continue;
      Dispatch(id, static_cast<Category>(state.category));
    }
    if (!progress_.Cancelled()) Finish(selection);
    if (media_) media_->Close();  // lists the copies that were kept, also after a cancel
    result.cancelled = progress_.Cancelled();
    if (result.cancelled) result.status = status::kCancelled;
    result.counts = progress_.counts();
    return result;
  }

 private:
  void Dispatch(const void* id, Category category) {
    switch (category) {
      case Category::CameraRoll:
        if (auto* m = ElementOf(records_.cameraRoll, id)) CopyMedia(category, m->path, Folder(category), m->name, m->size);
        break;
      case Category::PhotoStream:
        if (auto* m = ElementOf(records_.photoStream, id)) CopyMedia(category, m->path, Folder(category), m->name, m->size);
        break;
      case Category::WhatsAppAtts:
        if (auto* m = ElementOf(records_.whatsAppMedia, id)) {
          const std::string out = CopyMedia(category, m->path, Folder(category), m->name, m->size);
          if (!out.empty()) chatMediaPaths_[FileStem(m->name)].push_back(out);
        }
        break;
      case Category::MessageAtts:
        if (auto* a = ElementOf(records_.attachments, id)) {
          const std::string out = CopyMedia(category, a->path, Folder(category), a->name, a->size);
          if (!out.empty()) attachmentPaths_[FileStem(a->name)].push_back(out);
        }
        break;
      case Category::AppPhotos:
      case Category::AppVideos:
        if (auto* a = FindAppItem(records_, category, id)) {
          CopyMedia(category, a->path, Folder(category) / SanitizeName(a->appName), a->name, a->size, a->appName);
        }
        break;
      case Category::Messages:
        if (auto* m = FindConversationRecord(records_, id)) Conversation(*m);
        break;
      case Category::WhatsApp:
        if (auto* c = ElementOf(records_.chatRows, id)) Chat(*c);
        break;
      case Category::Contacts:
        if (auto* c = ElementOf(records_.contacts, id)) {
          chosenContacts_.insert(ContactKey(*c));
          vcards_ += VCardText(VCardContactOf(*c));
          AddRow(contacts_, {TextCell(c->name), PhonesCell(c->phones), TextCell(c->email), TextCell(c->address),
                             TextCell(c->homePage), TextCell(c->social), TextCell(c->company)},
                 c->deleted != 0);
        }
        break;
      case Category::CallHistory:
        if (auto* c = ElementOf(records_.calls, id)) {
          AddRow(calls_, {TextCell(c->name), TextCell(c->address), TextCell(c->date),
                          CallDirectionText(c->incoming != 0, CallKindText(c->kind)),
                          CallDurationCell(c->duration, c->incoming != 0, CallNotConnected(*c))},
                 c->deleted != 0);
        }
        break;
      case Category::Notes:
        if (auto* n = ElementOf(records_.notes, id)) {
          AddRow(notes_, {TextCell(n->title), TextCell(n->date), TextCell(n->body)}, n->deleted != 0);
          // The note's pictures, scans and drawings go beside its document,
          // each one more file of the run.
          for (const NoteAttachment& a : n->attachments) {
            if (a.file.empty() || progress_.Cancelled()) continue;
            progress_.AddToTotal(1);
            Copy(a.file, Folder(category) / ("Attachments_" + stamp_), a.name);
          }
        }
        break;
      case Category::Reminder:
        if (auto* r = ElementOf(records_.reminders, id)) reminders_.push_back(r);
        break;
      case Category::Calendar:
        if (auto* e = ElementOf(records_.events, id)) events_.push_back(e);
        break;
      case Category::SafariBookmark:
        if (auto* b = ElementOf(records_.safariBookmarks, id)) {
          bookmarks_.push_back(b);
        } else if (auto* h = ElementOf(records_.safariHistory, id)) {
          history_.push_back(h);
        }
        break;
      default:
        break;
    }
  }

  fs::path Folder(Category category) const { return root_ / CategoryFolder(category); }

  // Reports a failure beside the counted items.
  void ExtraFailure(const fs::path& path, Status st) {
    progress_.AddToTotal(1);
    progress_.Report(100, st, path);
  }

  // Checks a path against the chosen folder and makes it free.
  Status Prepare(const fs::path& wanted, fs::path& path) {
    if (!IsInsideFolder(root_, wanted)) return status::kBadData;
    Status st = CreateFolderTree(wanted.parent_path());
    if (st == status::kOk) st = UniqueOutputPath(wanted, path);
    if (st == status::kOk && !IsInsideFolder(root_, path)) st = status::kBadData;
    return st;
  }

  // Copies one stored file and, with the JSON option, lists it in
  // media.jsonl. The copy's path relative to the output root, or empty when
  // no copy was kept.
  std::string CopyMedia(Category category, const fs::path& from, const fs::path& folder, const std::string& name,
                        uint64_t size, std::string_view application = {}) {
    const fs::path to = Copy(from, folder, name);
    if (to.empty()) return {};
    const std::string relative = RelativeName(to);
    if (options_.jsonLines) {
      JsonLinesFile* media = MediaFile();
      if (media) media->Write(MediaJson(CategoryKey(category), name, size, application, relative));
    }
    return relative;
  }

  std::string RelativeName(const fs::path& path) const { return path.lexically_relative(root_).generic_string(); }

  // media.jsonl, opened at the first copy; null when it cannot be (that
  // failure is counted once).
  JsonLinesFile* MediaFile() {
    if (!media_) {
      media_ = std::make_unique<JsonLinesFile>();
      const fs::path path = jsonFolder_ / "media.jsonl";
      Status st = CreateFolderTree(jsonFolder_);
      if (st == status::kOk) st = media_->Open(path);
      if (st != status::kOk) ExtraFailure(path, st);
    }
    return media_->IsOpen() ? media_.get() : nullptr;
  }

  // The path of the copy when it was completed without error, else empty.
  fs::path Copy(const fs::path& from, const fs::path& folder, const std::string& name) {
    fs::path to;
    const fs::path wanted = folder / SanitizeName(name, true);
    Status st = Prepare(wanted, to);
    if (st != status::kOk) {
      progress_.Report(100, st, wanted);
      return {};
    }
    bool completed = false;
    Status completion = status::kOk;
    bool stopped = false;
    const ReportFn report = [&](int percent, Status s, const fs::path& path) {
      const int answer = progress_.Report(percent, s, path);
      if (answer != 0) {
        stopped = true;
      } else if (percent >= 100) {
        completed = true;
        completion = s;
      }
      return answer;
    };
    st = source_.copyFile ? source_.copyFile(from, to, report) : status::kBadData;
    std::error_code ec;
    if (stopped || (!completed && progress_.Cancelled())) {
      fs::remove(to, ec);  // the partly written copy: it was not counted
      return {};
    }
    if (!completed) {
      // An empty source completes without a report; a failure may end
      // without its completion.
      if (st != status::kOk) {
        fs::remove(to, ec);
        progress_.Report(100, st, to);
        return {};
      }
      if (progress_.Report(100, st, to) != 0) {
        fs::remove(to, ec);  // cancelled just now: not counted, so not kept
        return {};
      }
    } else if (completion != status::kOk) {
      fs::remove(to, ec);
      return {};
    }
    return to;
  }

  // Writes TXT (and CSV), then HTML, of one conversation or chat; a
  // conversation cancelled before its HTML was counted leaves no file.
  void Documents(const fs::path& folder, const std::string& label, const std::vector<ConversationLine>& lines,
                 const std::string& head, const std::string& tail, bool csv) {
    std::vector<fs::path> written;
    fs::path txt;
    Status st = Prepare(folder / (label + ".txt"), txt);
    if (st == status::kOk) st = WriteConversationTxt(txt, lines);
    if (st == status::kOk) {
      written.push_back(txt);
    } else {
      std::error_code ec;
      fs::remove(txt, ec);
      ExtraFailure(txt.empty() ? folder / (label + ".txt") : txt, st);
    }
    if (csv && !progress_.Cancelled()) {
      fs::path csvPath;
      st = Prepare(folder / (label + ".csv"), csvPath);
      if (st == status::kOk) st = WriteConversationCsv(csvPath, lines);
      if (st == status::kOk) {
        written.push_back(csvPath);
      } else {
        std::error_code ec;
        fs::remove(csvPath, ec);
        ExtraFailure(csvPath.empty() ? folder / (label + ".csv") : csvPath, st);
      }
    }
    fs::path html;
    const fs::path wanted = folder / (label + ".html");
    st = Prepare(wanted, html);
    // The HTML's completion is the conversation's: until it is counted the
    // conversation is unfinished.
    bool stopped = progress_.Cancelled();
    if (st == status::kOk && !stopped) {
      const ReportFn report = [this](int percent, Status s, const fs::path& path) {
        return progress_.Report(percent, s, path);
      };
      WriteConversationHtml(html, head, tail, lines, report, stopped);
    } else if (st != status::kOk) {
      stopped = progress_.Report(100, st, wanted) != 0;
    }
    if (stopped) {
      // The conversation was not finished: none of its files stay.
      std::error_code ec;
      for (const fs::path& p : written) fs::remove(p, ec);
      fs::remove(html, ec);
      fs::remove(folder, ec);  // only when empty
    }
  }

  void Conversation(const MessageRecord& record) {
    const fs::path folder =
        Folder(Category::Messages) / (SanitizeName(MessageFolderName(record.contactName)) + "-" + stamp_);
    if (CreateFolderTree(folder) == status::kOk) messagesWritten_ = true;
    chosenConversations_.insert(record.handleId);
    const std::string label = SanitizeName(MessageConversationLabel(record.contactName, record.address));
    std::vector<ConversationLine> lines;
    if (records_.conversations) {
      const auto it = records_.conversations->find(record.handleId);
      if (it != records_.conversations->end()) {
        for (const MessageRecord& m : it->second) lines.push_back(LineOf(m));
      }
    }
    const std::string person =
        "Name: " + (record.contactName.empty() ? std::string("Unknown") : record.contactName) + ", Phone: " + record.address;
    Documents(folder, label, lines, PersonHead(templates_.messages, person), templates_.messages.tail, false);
  }

  void Chat(const ChatMessageRecord& record) {
    const std::string label =
        SanitizeName(WhatsAppConversationLabel(record.partnerName, record.partnerAddress, record.chatTitle));
    const fs::path folder = Folder(Category::WhatsApp) / (label + "-" + stamp_);
    std::vector<ConversationLine> lines;
    if (records_.chats) {
      const auto it = records_.chats->find(record.chatId);
      if (it != records_.chats->end()) {
        for (const ChatMessageRecord& m : it->second) lines.push_back(LineOf(m));
      }
    }
    const std::string person = "Name: " + record.partnerName + ", Phone: " + record.partnerAddress;
    Documents(folder, label, lines, PersonHead(templates_.whatsApp, person), templates_.whatsApp.tail, true);
  }

  void AddRow(TableDocument& doc, const std::vector<std::string>& cells, bool deleted) {
    doc.rows += TableRow(cells, deleted);
    ++doc.records;
  }

  // Writes one table document and completes each of its records.
  void WriteTable(TableDocument& doc) {
    if (doc.records == 0) return;
    const Status st = WriteBinaryFile(doc.path, {doc.tmpl->head, doc.rows, doc.tmpl->tail});
    for (int i = 0; i < doc.records; ++i) progress_.Report(100, st, doc.path);
  }

  // Writes a side document (CSV, iCalendar, bookmark file) of a category;
  // a failure is one more failure beside the records.
  void SideDocument(const fs::path& path, std::initializer_list<std::string_view> parts) {
    const Status st = WriteBinaryFile(path, parts);
    if (st != status::kOk) {
      std::error_code ec;
      fs::remove(path, ec);
      ExtraFailure(path, st);
    }
  }

  // Writes the HTML document of `records` organiser records and completes
  // each of them with its status.
  void OrganizerHtml(const fs::path& path, const DocumentTemplate& tmpl, const std::string& body, size_t records) {
    const Status st = WriteBinaryFile(path, {tmpl.head, body, tmpl.tail});
    for (size_t i = 0; i < records; ++i) progress_.Report(100, st, path);
  }

  void FinishOrganizer() {
    static constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const int64_t now = options_.startTime != 0 ? options_.startTime : static_cast<int64_t>(std::time(nullptr));
    if (!events_.empty()) {
      const fs::path folder = Folder(Category::Calendar);
      const Status st = CreateFolderTree(folder);
      if (st == status::kOk) {
        SideDocument(folder / ("Calendar_" + stamp_ + ".csv"), {kBom, EventsCsv(events_)});
        SideDocument(folder / ("Calendar_" + stamp_ + ".ics"), {CalendarIcs(events_, {}, now)});
      }
      std::string rows;
      for (const CalendarEventRecord* e : events_) rows += EventRow(*e);
      OrganizerHtml(folder / ("Calendar_" + stamp_ + ".html"), templates_.calendar, rows, events_.size());
    }
    if (!reminders_.empty()) {
      const fs::path folder = Folder(Category::Reminder);
      const Status st = CreateFolderTree(folder);
      if (st == status::kOk) {
        SideDocument(folder / ("Reminders_" + stamp_ + ".csv"), {kBom, RemindersCsv(reminders_)});
        SideDocument(folder / ("Reminders_" + stamp_ + ".ics"), {CalendarIcs({}, reminders_, now)});
      }
      std::string rows;
      for (const ReminderRecord* r : reminders_) rows += ReminderRow(*r);
      OrganizerHtml(folder / ("Reminders_" + stamp_ + ".html"), templates_.reminders, rows, reminders_.size());
    }
    if (!bookmarks_.empty() || !history_.empty()) {
      const fs::path folder = Folder(Category::SafariBookmark);
      const Status st = CreateFolderTree(folder);
      if (st == status::kOk) {
        if (!bookmarks_.empty()) {
          SideDocument(folder / ("Bookmarks_" + stamp_ + ".html"), {NetscapeBookmarks(bookmarks_)});
          SideDocument(folder / ("Bookmarks_" + stamp_ + ".csv"), {kBom, BookmarksCsv(bookmarks_)});
        }
        if (!history_.empty()) SideDocument(folder / ("History_" + stamp_ + ".csv"), {kBom, HistoryCsv(history_)});
      }
      OrganizerHtml(folder / ("Safari_" + stamp_ + ".html"), templates_.safari, SafariSections(bookmarks_, history_),
                    bookmarks_.size() + history_.size());
    }
  }

  void Finish(const CStatisticsObj& selection) {
    if (messagesWritten_ && source_.dumpMessageRows) {
      const fs::path sms = Folder(Category::Messages) / "sms.csv";
      std::error_code ec;
      fs::remove(sms, ec);
      const Status st = source_.dumpMessageRows(sms, ChosenMessageRows());
      if (st != status::kOk) ExtraFailure(sms, st);
    }
    WriteTable(calls_);
    WriteTable(notes_);
    if (contacts_.records > 0) {
      const fs::path folder = contacts_.path.parent_path();
      CreateFolderTree(folder);
      if (source_.dumpContactRows) {
        const fs::path csv = folder / "Contacts.csv";
        std::error_code ec;
        fs::remove(csv, ec);
        const ContactRowFilter keep = [this](const ContactRecord& c) {
          return chosenContacts_.count(ContactKey(c)) != 0;
        };
        const Status st = source_.dumpContactRows(csv, keep);
        if (st != status::kOk) ExtraFailure(csv, st);
      }
      const fs::path vcf = folder / "Contacts.vcf";
      if (const Status st = WriteBinaryFile(vcf, {vcards_}); st != status::kOk) ExtraFailure(vcf, st);
      WriteTable(contacts_);
    }
    FinishOrganizer();
    if (options_.jsonLines) WriteJsonLines(selection);
  }

  // The rows of the message table that belong to the conversations written.
  // A row the scan placed (known by its rowid) goes with its conversation: a
  // member's message in a group chat belongs to the group, not to the
  // member's one-to-one conversation. A row the scan did not place (its
  // rowid lost with its cell header, or a row it shows on another, such as a
  // reaction) goes with the conversation of its handle.
  MessageRowFilter ChosenMessageRows() const {
    auto placed = std::make_shared<std::unordered_map<int64_t, bool>>();  // rowid -> in a chosen conversation
    if (records_.conversations) {
      for (const auto& [key, list] : *records_.conversations) {
        const bool chosen = chosenConversations_.count(key) != 0;
        for (const MessageRecord& m : list) {
          if (m.rowId != 0) (*placed)[m.rowId] |= chosen;
        }
      }
    }
    return [this, placed](const MessageRowKey& row) {
      if (row.rowId != 0) {
        const auto it = placed->find(row.rowId);
        if (it != placed->end()) return it->second;
      }
      return chosenConversations_.count(row.handleId) != 0;
    };
  }

  // One JSON Lines file of a category, opened at its first record.
  struct JsonOutput {
    const char* name;
    JsonLinesFile file;
    Status failure = status::kOk;
  };

  void WriteJson(JsonOutput& out, const JsonObject& object) {
    if (out.failure != status::kOk) return;
    if (!out.file.IsOpen()) {
      out.failure = CreateFolderTree(jsonFolder_);
      if (out.failure == status::kOk) out.failure = out.file.Open(jsonFolder_ / out.name);
      if (out.failure != status::kOk) return;
    }
    out.failure = out.file.Write(object);
  }

  std::vector<std::string> PathsOf(const std::unordered_map<std::string, std::vector<std::string>>& copies,
                                   std::string_view name) const {
    if (name.empty()) return {};
    const auto it = copies.find(FileStem(name));
    return it == copies.end() ? std::vector<std::string>() : it->second;
  }

  // The records of the chosen conversations, contacts, calls, notes and
  // chats, one line each, walked again in the selection's order.
  void WriteJsonLines(const CStatisticsObj& selection) {
    JsonOutput messages{"messages.jsonl", {}}, contacts{"contacts.jsonl", {}}, calls{"calls.jsonl", {}},
        notes{"notes.jsonl", {}}, chats{"whatsapp.jsonl", {}}, calendar{"calendar.jsonl", {}},
        reminders{"reminders.jsonl", {}}, bookmarks{"safari-bookmarks.jsonl", {}}, history{"safari-history.jsonl", {}};
    for (const auto& [id, state] : selection.table().entries()) {
      if (state.folder || !state.ticked || state.hidden) continue;
      switch (static_cast<Category>(state.category)) {
        case Category::Messages:
          if (const MessageRecord* r = FindConversationRecord(records_, id); r && records_.conversations) {
            const auto it = records_.conversations->find(r->handleId);
            if (it == records_.conversations->end()) break;
            const std::string label = MessageConversationLabel(r->contactName, r->address);
            for (const MessageRecord& m : it->second) {
              WriteJson(messages, MessageJson(m, label, PathsOf(attachmentPaths_, m.attachmentName)));
            }
          }
          break;
        case Category::Contacts:
          if (auto* c = ElementOf(records_.contacts, id)) WriteJson(contacts, ContactJson(*c));
          break;
        case Category::CallHistory:
          if (auto* c = ElementOf(records_.calls, id)) WriteJson(calls, CallJson(*c));
          break;
        case Category::Notes:
          if (auto* n = ElementOf(records_.notes, id)) WriteJson(notes, NoteJson(*n));
          break;
        case Category::WhatsApp:
          if (auto* c = ElementOf(records_.chatRows, id); c && records_.chats) {
            const auto it = records_.chats->find(c->chatId);
            if (it == records_.chats->end()) break;
            const std::string label = WhatsAppConversationLabel(c->partnerName, c->partnerAddress, c->chatTitle);
            for (const ChatMessageRecord& m : it->second) {
              const std::vector<std::string> media =
                  m.mediaItemId != 0 ? PathsOf(chatMediaPaths_, m.text) : std::vector<std::string>();
              WriteJson(chats, ChatMessageJson(m, label, media));
            }
          }
          break;
        default:
          break;
      }
    }
    // The organiser records were gathered in the selection's order already.
    for (const CalendarEventRecord* e : events_) WriteJson(calendar, CalendarEventJson(*e));
    for (const ReminderRecord* r : reminders_) WriteJson(reminders, ReminderJson(*r));
    for (const SafariBookmarkRecord* b : bookmarks_) WriteJson(bookmarks, SafariBookmarkJson(*b));
    for (const SafariHistoryRecord* h : history_) WriteJson(history, SafariHistoryJson(*h));
    for (JsonOutput* out : {&messages, &contacts, &calls, &notes, &chats, &calendar, &reminders, &bookmarks, &history}) {
      if (out->file.IsOpen()) {
        const Status closed = out->file.Close();
        if (out->failure == status::kOk) out->failure = closed;
      }
      if (out->failure != status::kOk) ExtraFailure(jsonFolder_ / out->name, out->failure);
    }
  }

  const RecoveryRecords& records_;
  const RecoveryOutputSource& source_;
  const RecoveryOptions& options_;
  RecoveryProgress& progress_;
  const fs::path root_;
  DocumentTemplates templates_;
  std::string stamp_;
  bool messagesWritten_ = false;
  TableDocument calls_, notes_, contacts_;
  std::vector<const ReminderRecord*> reminders_;
  std::vector<const CalendarEventRecord*> events_;
  std::vector<const SafariBookmarkRecord*> bookmarks_;
  std::vector<const SafariHistoryRecord*> history_;
  std::string vcards_;                              // the cards of the chosen contacts
  std::set<int64_t> chosenConversations_;           // the keys of the conversations written
  std::unordered_set<std::string> chosenContacts_;  // ContactKey of the contacts written
  fs::path jsonFolder_;
  std::unique_ptr<JsonLinesFile> media_;
  // Name stem -> the output paths of the copies with that stem.
  std::unordered_map<std::string, std::vector<std::string>> attachmentPaths_, chatMediaPaths_;
};

}  // namespace

RecoveryResult RunRecovery(const CStatisticsObj& selection, const RecoveryRecords& records,
                           const RecoveryOutputSource& source, const RecoveryOptions& options, RecoveryProgress& progress) {
  Run run(records, source, options, progress);
  return run.Go(selection);
}

const char* CategoryFolder(Category category) {
  switch (category) {
    case Category::CameraRoll: return "Camera Roll";
    case Category::PhotoStream: return "Photo Stream";
    case Category::AppPhotos: return "App Photos";
    case Category::AppVideos: return "App Video";
    case Category::Messages: return "Message";
    case Category::MessageAtts: return "Message Attachments";
    case Category::Contacts: return "Contacts";
    case Category::CallHistory: return "CallHistory";
    case Category::Notes: return "Notes";
    case Category::WhatsApp: return "WhatsApp Message";
    case Category::WhatsAppAtts: return "WhatsApp Attachments";
    case Category::Reminder: return "Reminders";
    case Category::Calendar: return "Calendar";
    case Category::SafariBookmark: return "Safari";
    default: return "";
  }
}

bool IsVideoName(std::string_view name) {
  static constexpr std::string_view kVideos =
      "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.ape|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|"
      "*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.m2t|*.lrv|";
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
  const std::string needle = "*." + AsciiLower(name.substr(dot + 1)) + "|";
  return kVideos.find(needle) != std::string_view::npos;
}

std::vector<MessageRecord> ConversationRows(const ConversationMap& conversations) {
  std::vector<MessageRecord> rows;
  for (const auto& [key, messages] : conversations) {
    if (!messages.empty()) rows.push_back(messages.back());
  }
  std::stable_partition(rows.begin(), rows.end(), [](const MessageRecord& m) { return m.deleted != 0; });
  return rows;
}

std::vector<ChatMessageRecord> ChatRows(const WhatsAppChats& chats) {
  std::vector<ChatMessageRecord> rows;
  for (const auto& [key, messages] : chats) {
    if (!messages.empty()) rows.push_back(messages.back());
  }
  std::stable_partition(rows.begin(), rows.end(), [](const ChatMessageRecord& m) { return m.deleted != 0; });
  return rows;
}

void SelectAll(CStatisticsObj& selection, const RecoveryRecords& r) {
  auto media = [&](const auto* items, Category category) {
    if (!items) return;
    for (const auto& m : *items) {
      bool deleted = false;
      if constexpr (requires { m.deleted; }) deleted = m.deleted != 0;  // trashed in the photo library
      selection.AddItem(&m, category, deleted, m.size);
    }
  };
  media(r.cameraRoll, Category::CameraRoll);
  media(r.photoStream, Category::PhotoStream);
  auto byApp = [&](const AppMediaByName* apps, Category category) {
    if (!apps) return;
    for (const auto& [app, items] : *apps) {
      selection.AddFolder(&items);
      for (const AppMediaItem& m : items) selection.AddItem(&m, category, false, m.size, &items);
    }
  };
  byApp(r.appPhotos, Category::AppPhotos);
  byApp(r.appVideos, Category::AppVideos);
  if (r.appMedia) {
    for (const AppMediaItem& m : *r.appMedia) {
      if (!IsVideoName(m.name)) selection.AddItem(&m, Category::AppPhotos, false, m.size);
    }
    for (const AppMediaItem& m : *r.appMedia) {
      if (IsVideoName(m.name)) selection.AddItem(&m, Category::AppVideos, false, m.size);
    }
  }
  if (r.conversationRows) {
    for (const MessageRecord& m : *r.conversationRows) selection.AddItem(&m, Category::Messages, m.deleted != 0, 0);
  }
  media(r.attachments, Category::MessageAtts);
  auto records = [&](const auto* items, Category category) {
    if (!items) return;
    for (const auto& x : *items) selection.AddItem(&x, category, x.deleted != 0, 0);
  };
  records(r.contacts, Category::Contacts);
  records(r.calls, Category::CallHistory);
  records(r.notes, Category::Notes);
  records(r.chatRows, Category::WhatsApp);
  media(r.whatsAppMedia, Category::WhatsAppAtts);
  records(r.reminders, Category::Reminder);
  records(r.events, Category::Calendar);
  records(r.safariBookmarks, Category::SafariBookmark);
  records(r.safariHistory, Category::SafariBookmark);
}

}  // namespace orbanix
