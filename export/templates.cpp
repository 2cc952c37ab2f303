#include "export/templates.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "export/text_format.h"
#include "platform/folders.h"

namespace orbanix {

namespace {
constexpr std::string_view kContent = "{|content|}";
constexpr std::string_view kTitle = "{|title|}";
constexpr std::string_view kPerson = "{|person|}";
}  // namespace

const char* TemplateFileName(DocumentKind kind) {
  switch (kind) {
    case DocumentKind::kCallHistory: return "CallHistory.html";
    case DocumentKind::kNotes: return "Notes.html";
    case DocumentKind::kContacts: return "contacts.html";
    case DocumentKind::kMessages: return "Sms.html";
    case DocumentKind::kWhatsApp: return "WhatsApp.html";
    case DocumentKind::kPrint: return "Print.html";
    case DocumentKind::kCalendar: return "Calendar.html";
    case DocumentKind::kReminders: return "Reminders.html";
    case DocumentKind::kSafari: return "Safari.html";
  }
  return "";
}

const char* TitlePrefix(DocumentKind kind) {
  switch (kind) {
    case DocumentKind::kCallHistory: return "iPhone's Call History of ";
    case DocumentKind::kNotes: return "iPhone's Notes of ";
    case DocumentKind::kContacts: return "iPhone's Contacts of ";
    case DocumentKind::kMessages: return "iPhone's Messages of ";
    case DocumentKind::kWhatsApp: return "iPhone's WhatsApp Messages of ";
    case DocumentKind::kPrint: return "";
    case DocumentKind::kCalendar: return "iPhone's Calendar of ";
    case DocumentKind::kReminders: return "iPhone's Reminders of ";
    case DocumentKind::kSafari: return "iPhone's Safari Bookmarks and History of ";
  }
  return "";
}

std::string ReplaceAll(std::string_view text, std::string_view marker, std::string_view value) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    const size_t hit = text.find(marker, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(value);
    pos = hit + marker.size();
  }
  out.append(text.substr(pos));
  return out;
}

bool SplitTemplate(std::string_view text, std::string_view title, DocumentTemplate& out) {
  const size_t at = text.find(kContent);
  if (at == std::string_view::npos) return false;
  out.text = std::string(text);
  out.head = ReplaceAll(text.substr(0, at), kTitle, HtmlEscape(title));
  out.tail = std::string(text.substr(at + kContent.size()));
  return true;
}

Status LoadTemplate(const fs::path& file, std::string_view title, DocumentTemplate& out) {
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) return errno != 0 ? errno : ENOENT;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return errno != 0 ? errno : EIO;
  if (!SplitTemplate(bytes.str(), title, out)) return status::kBadData;
  return status::kOk;
}

std::string PersonHead(const DocumentTemplate& tmpl, std::string_view personLine) {
  return ReplaceAll(tmpl.head, kPerson, HtmlEscape(personLine));
}

Status DocumentTemplates::Load(const fs::path& folder, std::string_view deviceName, std::string& error) {
  struct Slot {
    DocumentKind kind;
    DocumentTemplate* target;
  };
  const Slot slots[] = {{DocumentKind::kCallHistory, &callHistory},
                        {DocumentKind::kNotes, &notes},
                        {DocumentKind::kContacts, &contacts},
                        {DocumentKind::kMessages, &messages},
                        {DocumentKind::kWhatsApp, &whatsApp},
                        {DocumentKind::kCalendar, &calendar},
                        {DocumentKind::kReminders, &reminders},
                        {DocumentKind::kSafari, &safari}};
  for (const Slot& slot : slots) {
    const fs::path file = folder / TemplateFileName(slot.kind);
    const std::string title = std::string(TitlePrefix(slot.kind)) + std::string(deviceName);
    const Status st = LoadTemplate(file, title, *slot.target);
    if (st == status::kOk) continue;
    if (st == status::kBadData) {
      error = "the document template " + file.string() + " has no {|content|} marker";
    } else {
      error = "the document template " + file.string() + " cannot be read: " +
              std::generic_category().message(st);
    }
    return st;
  }
  error.clear();
  return status::kOk;
}

fs::path DefaultTemplateFolder() { return ProgramDataFolder() / "template"; }

}  // namespace orbanix
