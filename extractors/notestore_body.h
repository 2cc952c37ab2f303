// The body of a note of the current Notes app (NoteStore.sqlite).
//
// ZICNOTEDATA.ZDATA holds a gzip stream (some versions: a zlib stream) of a
// protocol buffer (notestore.proto):
//
//   NoteStoreProto  2 document  -> Document  3 note -> Note
//   Note            2 note_text       the whole text, UTF-8, paragraphs
//                                     separated by line feeds
//                   5 attribute_run   repeated: the formatting, run after
//                                     run, each covering `length` UTF-16
//                                     code units of note_text
//   AttributeRun    2 paragraph_style (1 style_type, 4 indent_amount,
//                                     5 checklist with 2 done)
//                   9 link            the address under the covered text
//                  12 attachment_info an embedded object on U+FFFC
//
// What a note becomes as text: its paragraphs as they stand; a checklist
// line begins with "☐ " or "☑ " (done); dotted and dashed list lines with
// "• " and "- ", numbered ones with their number ("1. ", counted per indent
// level through consecutive numbered lines); each indent level adds a tab.
// A link whose address differs from the covered text is followed by the
// address in parentheses. An embedded object is named where it stands, by
// whatever the caller knows of it (AttachmentNamer), else by its kind.
//
// Every read is bounded by the bytes at hand: the inflated body is capped
// (kMaxNoteBodyBytes), the protocol buffer is parsed by the library (which
// checks every length against the buffer and limits nesting), and a body
// that the library refuses - a stream cut short - is walked once more by a
// bounded reader of the three outer levels, which keeps the text and every
// complete run as far as they go.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orbanix {

// No note body is larger: what a stream inflates to beyond this is cut.
inline constexpr size_t kMaxNoteBodyBytes = 32u << 20;

// Text placed after a body that could be read only in part.
inline constexpr const char* kNoteRestLost = "…[rest of the note not recoverable]";

enum class InflateResult {
  kComplete,       // the stream ended properly
  kCut,            // the stream stopped early or is damaged further on; `out` has what came before
  kTooLarge,       // more than the cap; `out` has the first kMaxNoteBodyBytes
  kNotCompressed,  // neither a gzip nor a zlib stream
};

// Inflates a gzip or zlib stream (told apart by its header) into `out`.
InflateResult InflateNoteData(std::string_view compressed, std::string& out, size_t maxOut = kMaxNoteBodyBytes);

struct NoteBodyAttachment {
  std::string identifier;  // ZIDENTIFIER of the object's row
  std::string uti;         // its type ("public.jpeg", "com.apple.notes.table", ...)
};

// The words an embedded object stands as in the text ("[Picture: a.jpg]");
// empty: the object's kind by its type.
using AttachmentNamer = std::function<std::string(const NoteBodyAttachment&)>;

// "[Picture]", "[Drawing]", "[PDF]", "[table]", ... by the object's type.
std::string AttachmentKindText(const std::string& uti);

struct NoteBodyText {
  std::string text;
  std::vector<NoteBodyAttachment> attachments;  // in the order they stand in the text
  bool complete = true;                         // false: `text` is what could be read, `problem` says why
  std::string problem;                          // short reason, empty when complete
};

// Inflates and renders ZDATA. An incomplete body ends with kNoteRestLost
// when some text was read; a body with nothing readable has an empty text.
NoteBodyText DecodeNoteBody(std::string_view zdata, const AttachmentNamer& namer = {});

// No table is larger: a table's data naming more cells is refused.
inline constexpr size_t kMaxNoteTableCells = 200000;

// An embedded table's text from its data (ZMERGEABLEDATA1, gzipped): one
// line per row, its cells separated by tabs (line feeds and tabs inside a
// cell become spaces), columns in display order (reversed for a table
// written right to left). Empty, with `problem` set, when the data is not
// a readable table.
std::string DecodeNoteTable(std::string_view zdata, std::string* problem = nullptr);

// Renders the inflated protocol buffer; `cut` says the bytes stop early.
NoteBodyText RenderNoteProto(std::string_view proto, const AttachmentNamer& namer = {}, bool cut = false);

}  // namespace orbanix
