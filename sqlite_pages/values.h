// Value conversions shared by the table decoders: timestamps to the fixed
// local date text, text checks, quote doubling.
//
// Timestamps come in two epochs:
//   Unix   seconds since 1970-01-01 00:00:00 UTC (notes, QQ/WeChat, the old
//          call table)
//   Apple  seconds since 2001-01-01 00:00:00 UTC, which is Unix second
//          978,307,200. Newer message databases store nanoseconds instead;
//          an Apple value whose magnitude is above 10^11 (about 3,200 years
//          in seconds, only 100 seconds in nanoseconds) is taken as
//          nanoseconds and divided by 10^9.
// Stored values are integers of any width (serial types 1-6, read signed as
// SQLite stores them) or reals (type 7; whole seconds, fractions dropped
// toward minus infinity).
//
// The date text is always 19 characters, "YYYY-MM-DD hh:mm:ss" in the local
// time zone of the computer (daylight saving included), so sorting the texts
// sorts by time.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "sqlite_pages/record.h"

namespace orbanix {

enum class Epoch { kUnix, kApple };

// Unix second of 2001-01-01 00:00:00 UTC.
inline constexpr int64_t kAppleEpochUnixSeconds = 978307200;
// Apple values above this magnitude are nanoseconds.
inline constexpr int64_t kAppleNanosecondThreshold = 100000000000LL;

// Seconds in the given epoch as local date text; empty when the time cannot
// be represented. FormatLocalTime(0, Epoch::kApple) in UTC is
// "2001-01-01 00:00:00".
std::string FormatLocalTime(int64_t seconds, Epoch epoch);

// The same date as a number whose decimal digits are those of the text,
// YYYYMMDDhhmmss, plus one: 0 stands for no date (an empty text), and the
// numbers order exactly as the texts do. DateKeyText gives the text back.
uint64_t LocalTimeKey(int64_t seconds, Epoch epoch);
std::string DateKeyText(uint64_t key);

// The date text of a key, or no date (empty), held in place: a scan keeps
// one per message, and a string of 19 characters would be an allocation of
// its own each time. It reads as text wherever a string or a string view
// is taken.
class LocalDate {
 public:
  static constexpr size_t kLength = 19;

  LocalDate() = default;
  explicit LocalDate(uint64_t key);  // as DateKeyText(key)
  // A text already in the form; a text of any other length is no date.
  static LocalDate FromText(std::string_view text);

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(text_, size_); }
  operator std::string_view() const { return view(); }
  operator std::string() const { return std::string(view()); }

  friend bool operator==(const LocalDate& a, const LocalDate& b) { return a.view() == b.view(); }
  friend bool operator==(const LocalDate& a, std::string_view b) { return a.view() == b; }
  friend auto operator<=>(const LocalDate& a, const LocalDate& b) { return a.view() <=> b.view(); }
  friend std::ostream& operator<<(std::ostream& out, const LocalDate& date);

 private:
  char text_[kLength] = {};
  uint8_t size_ = 0;
};

// Date keys for one piece of work that converts many dates (a table scan):
// it remembers the zone offset of the last hour and the date of the last
// day, and does not look at the TZ variable again (the free functions do,
// per call). Keys as LocalTimeKey.
class LocalClock {
 public:
  uint64_t Key(int64_t seconds, Epoch epoch);
  uint64_t Key(int64_t unixSeconds);

 private:
  int64_t hour_ = INT64_MIN;  // Unix hour of the offset below
  bool uniform_ = false;      // the offset holds for the whole hour
  long offset_ = 0;
  int64_t day_ = INT64_MIN;   // local day number of dayKey_
  uint64_t dayKey_ = 0;       // key of that day's 00:00:00
};

// A stored timestamp value (Apple values in seconds or nanoseconds) as Unix
// seconds; nullopt for a real that is not finite or out of range.
std::optional<int64_t> StoredTimeToUnix(int64_t value, Epoch epoch);
std::optional<int64_t> StoredTimeToUnix(double value, Epoch epoch);

// The date text of one column: an integer of any width or a real, in the
// given epoch. NULL, 0, texts and blobs give an empty text (a date of 0 is
// "no date" in every database this system reads).
std::string FormatDateColumn(const ParsedRecord& record, int column, Epoch epoch);
// The date of the column as a key (LocalTimeKey); 0 when FormatDateColumn
// gives an empty text.
uint64_t DateColumnKey(const ParsedRecord& record, int column, Epoch epoch, LocalClock* clock = nullptr);

// The current time as Apple seconds (Unix time minus 978,307,200).
int64_t AppleSecondsNow();

// True when the text can be used as a record field: not empty after
// validation, and free of U+FFFD (invalid bytes or a replacement character
// in the data) and of embedded zero bytes.
bool IsCleanText(std::string_view utf8);

// Doubles every single quote and every double quote of the text in place;
// returns the new length.
size_t QuoteDouble(std::string& text);

}  // namespace orbanix
