// Structured export: JSON Lines, one JSON object (RFC 8259) per line, one
// file per category, for archives, scripts and forensic reports.
//
// Every line is a complete object ended by "\n"; the files are UTF-8 without
// a byte order mark. Texts from records are escaped as JSON requires: the
// quote, the backslash and every control character (as \n, \r, \t or
// \u00XX), and U+2028 / U+2029 as well, so that a line can be pasted into a
// JavaScript source. Invalid UTF-8 from a damaged row becomes U+FFFD: every
// line parses with a strict reader.
//
// Field names are stable (lower case with underscores); a field whose value
// is unknown is null or left out, as the field list in the manual says.
// Dates are ISO 8601 with the offset of the computer's zone at that moment
// ("2014-12-08T09:53:20+01:00"); the records hold local date texts, and the
// offset is the one the zone rules give that local time (in the one repeated
// hour when clocks go back, the earlier of the two).
//
// Writing streams: each object is formatted and written on its own, so the
// memory a file needs does not grow with the number of records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/calendar.h"
#include "extractors/records.h"
#include "extractors/reminders.h"
#include "extractors/safari.h"
#include "platform/safe_file.h"
#include "platform/status.h"

namespace orbanix {

// A JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

// "YYYY-MM-DD hh:mm:ss" local time as ISO 8601 with the zone's offset
// ("YYYY-MM-DDThh:mm:ss+hh:mm"); empty when the text is no such date.
std::string IsoDateWithOffset(std::string_view localDate);

// A moment (Unix seconds) as ISO 8601 in the computer's zone with its offset.
std::string IsoInstant(int64_t unixSeconds);

// One object, built field by field in the order the fields are added.
class JsonObject {
 public:
  JsonObject& Text(std::string_view key, std::string_view value);
  JsonObject& Integer(std::string_view key, int64_t value);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  // The date as IsoDateWithOffset, or null when it is none.
  JsonObject& Date(std::string_view key, std::string_view localDate);
  // The moment as IsoInstant, or null when there is none.
  JsonObject& Instant(std::string_view key, std::optional<int64_t> unixSeconds);
  // An array of strings.
  JsonObject& Texts(std::string_view key, const std::vector<std::string>& values);
  // An object within this one.
  JsonObject& Object(std::string_view key, const JsonObject& value);

  // The object and its "\n".
  std::string Line() const { return body_ + "}\n"; }

 private:
  void Key(std::string_view key);
  std::string body_ = "{";
};

// A JSON Lines file written one object at a time, under a temporary name
// until it is complete (OutputFile): a failed or cancelled export leaves no
// file that looks whole.
class JsonLinesFile {
 public:
  JsonLinesFile() = default;
  JsonLinesFile(const JsonLinesFile&) = delete;
  JsonLinesFile& operator=(const JsonLinesFile&) = delete;

  // Starts the file (its folder must exist). 0 or errno.
  Status Open(const std::filesystem::path& path);
  // 0, or the errno of the failed write (87 when not open). After a failure
  // every further write returns that failure.
  Status Write(const JsonObject& object);
  // Gives the file its name: 0, or the first failure of a write or of the
  // final flush, in which case no file is left.
  Status Close();

  bool IsOpen() const { return open_; }
  const std::filesystem::path& path() const { return path_; }
  uint64_t lines() const { return lines_; }

 private:
  OutputFile out_;
  std::FILE* stream_ = nullptr;
  bool open_ = false;
  std::filesystem::path path_;
  Status failure_ = status::kOk;
  uint64_t lines_ = 0;
};

// The objects of each category. Output paths are relative to the folder
// the recovery wrote into, with "/" between the parts.
JsonObject MessageJson(const MessageRecord& m, std::string_view conversation,
                       const std::vector<std::string>& attachmentPaths);
JsonObject ContactJson(const ContactRecord& c);
JsonObject CallJson(const CallRecord& c);
JsonObject NoteJson(const NoteRecord& n);
JsonObject ChatMessageJson(const ChatMessageRecord& m, std::string_view chat,
                           const std::vector<std::string>& mediaPaths);
// Calendar events: an all-day event's start and end are dates
// ("YYYY-MM-DD"); an event without a zone (floating) is a local time without
// an offset ("YYYY-MM-DDThh:mm:ss"), the same wherever it is read.
JsonObject CalendarEventJson(const CalendarEventRecord& e);
JsonObject ReminderJson(const ReminderRecord& r);
JsonObject SafariBookmarkJson(const SafariBookmarkRecord& b);
JsonObject SafariHistoryJson(const SafariHistoryRecord& h);
// A copied file: its category's key ("camera-roll", ...), the name it had in
// the backup, its size, the application it belongs to (empty for none) and
// where the copy was written.
JsonObject MediaJson(std::string_view category, std::string_view name, uint64_t size, std::string_view application,
                     std::string_view outputPath);

}  // namespace orbanix
