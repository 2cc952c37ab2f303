// Document templates: HTML files beside the program ("template/") from which
// the recovery's documents are made.
//
// A template is split at its first "{|content|}": the bytes before it are the
// head, the bytes after it the tail, and the generated rows or message blocks
// go between (a second "{|content|}" stays in the tail as text). In the head,
// every "{|title|}" becomes the document's title prefix + the device name;
// the message and WhatsApp heads also hold "{|person|}", replaced for each
// conversation by "Name: ..., Phone: ...". Everything inserted is
// HTML-escaped; the template bytes themselves (a byte order mark included)
// are copied unchanged.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace orbanix {

namespace fs = std::filesystem;

enum class DocumentKind { kCallHistory, kNotes, kContacts, kMessages, kWhatsApp, kPrint, kCalendar, kReminders, kSafari };

// "CallHistory.html", "Notes.html", "contacts.html", "Sms.html",
// "WhatsApp.html", "Print.html", "Calendar.html", "Reminders.html",
// "Safari.html".
const char* TemplateFileName(DocumentKind kind);
// "iPhone's Call History of ", ... ; empty for the print page.
const char* TitlePrefix(DocumentKind kind);

struct DocumentTemplate {
  std::string text;  // the whole file
  std::string head;  // before the first content marker, title applied
  std::string tail;  // after it
};

// Replaces every `marker` in `text` by `value`, searching on after each
// inserted value (an inserted value is never searched again).
std::string ReplaceAll(std::string_view text, std::string_view marker, std::string_view value);

// Splits a template text and applies the title (escaped here). False when the
// text has no "{|content|}".
bool SplitTemplate(std::string_view text, std::string_view title, DocumentTemplate& out);

// Reads and splits one template file. 0; the errno of a failed open or read;
// 87 when the file has no "{|content|}".
Status LoadTemplate(const fs::path& file, std::string_view title, DocumentTemplate& out);

// The head of one conversation: `head` with every "{|person|}" replaced by the
// escaped person line.
std::string PersonHead(const DocumentTemplate& tmpl, std::string_view personLine);

// The templates of a recovery run.
struct DocumentTemplates {
  DocumentTemplate callHistory, notes, contacts, messages, whatsApp, calendar, reminders, safari;

  // Loads them in the order call history, notes, contacts, messages,
  // WhatsApp, calendar, reminders, Safari. On failure returns the status of the first template that cannot
  // be used and sets `error` to a sentence naming its file and the reason.
  Status Load(const fs::path& folder, std::string_view deviceName, std::string& error);
};

// The program's own template folder: program data folder + "template".
fs::path DefaultTemplateFolder();

}  // namespace orbanix
