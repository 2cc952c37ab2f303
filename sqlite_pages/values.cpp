#include "sqlite_pages/values.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include "platform/text.h"

namespace orbanix {

namespace {

// localtime_r works on time_t; years beyond four digits would break the
// fixed width of the date text, so the range is kept to years 1..9999.
constexpr int64_t kMinUnixSeconds = -62135596800LL;  // 0001-01-01 00:00:00 UTC
constexpr int64_t kMaxUnixSeconds = 253402300799LL;  // 9999-12-31 23:59:59 UTC

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b) < 0) --q;
  return q;
}

// The text of a date key (not 0) into buf[0..18]. The key's digits are the
// text's digits, so they are copied two at a time from a table, with
// divisions that do not wait for one another (a scan formats a date per
// message).
void WriteDateKeyText(uint64_t key, char* buf) {
  static constexpr auto kPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
      pairs[2 * i] = static_cast<char>('0' + i / 10);
      pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
  }();
  const uint64_t digits = key - 1;                                        // YYYYMMDDhhmmss
  const auto high = static_cast<uint32_t>(digits / 100000000 % 1000000);  // YYYYMM
  const auto low = static_cast<uint32_t>(digits % 100000000);             // DDhhmmss
  auto two = [&](char* p, uint32_t v) {
    p[0] = kPairs[2 * v];
    p[1] = kPairs[2 * v + 1];
  };
  two(buf, high / 10000);
  two(buf + 2, high / 100 % 100);
  buf[4] = '-';
  two(buf + 5, high % 100);
  buf[7] = '-';
  two(buf + 8, low / 1000000);
  buf[10] = ' ';
  two(buf + 11, low / 10000 % 100);
  buf[13] = ':';
  two(buf + 14, low / 100 % 100);
  buf[16] = ':';
  two(buf + 17, low % 100);
}

// The calendar date of a day number (days since 1970-01-01; the inverse of
// days-from-civil, proleptic Gregorian).
void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  const int64_t z = days + 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

uint64_t KeyOfFields(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1 || year > 9999) return 0;
  uint64_t key = static_cast<uint64_t>(year);
  for (int field : {month, day, hour, minute, second}) key = key * 100 + static_cast<uint64_t>(field);
  return key + 1;
}

// Unix seconds within the range of four-digit years, or nullopt.
std::optional<int64_t> InRangeUnix(int64_t seconds, Epoch epoch) {
  if (epoch == Epoch::kApple) {
    if (seconds > kMaxUnixSeconds - kAppleEpochUnixSeconds) return std::nullopt;
    seconds += kAppleEpochUnixSeconds;
  }
  if (seconds < kMinUnixSeconds || seconds > kMaxUnixSeconds) return std::nullopt;
  return seconds;
}

}  // namespace

uint64_t LocalClock::Key(int64_t unixSeconds) {
  if (unixSeconds < kMinUnixSeconds || unixSeconds > kMaxUnixSeconds) return 0;
  // The zone's offset is the same for a whole hour except around a
  // transition that is not on an hour boundary, which the check of both
  // ends of the hour notices; such an hour asks the system for every second.
  const int64_t bucket = FloorDiv(unixSeconds, 3600);
  if (bucket != hour_) {
    const time_t a = static_cast<time_t>(bucket * 3600), b = static_cast<time_t>(bucket * 3600 + 3599);
    struct tm ta {}, tb {};
    hour_ = bucket;
    uniform_ = localtime_r(&a, &ta) && localtime_r(&b, &tb) && ta.tm_gmtoff == tb.tm_gmtoff;
    offset_ = ta.tm_gmtoff;
  }
  if (!uniform_) {
    const time_t t = static_cast<time_t>(unixSeconds);
    struct tm local {};
    if (!localtime_r(&t, &local)) return 0;
    return KeyOfFields(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                       local.tm_sec);
  }
  const int64_t local = unixSeconds + offset_;
  const int64_t days = FloorDiv(local, 86400);
  if (days != day_) {
    int year, month, day;
    CivilFromDays(days, year, month, day);
    day_ = days;
    dayKey_ = KeyOfFields(year, month, day, 0, 0, 0);
  }
  if (dayKey_ == 0) return 0;
  const int64_t sod = local - days * 86400;
  return dayKey_ + static_cast<uint64_t>(sod / 3600 * 10000 + sod / 60 % 60 * 100 + sod % 60);
}

uint64_t LocalClock::Key(int64_t seconds, Epoch epoch) {
  const std::optional<int64_t> unix = InRangeUnix(seconds, epoch);
  return unix ? Key(*unix) : 0;
}

namespace {

// The clock of the free functions: one per thread, started afresh when the
// TZ variable changes so that a changed zone is noticed.
LocalClock& ThreadClock() {
  struct Zoned {
    std::string zone;
    bool zoneSet = false;
    LocalClock clock;
  };
  thread_local Zoned cached;
  const char* tz = std::getenv("TZ");
  if (cached.zoneSet != (tz != nullptr) || (tz && cached.zone != tz)) {
    cached.clock = LocalClock();
    cached.zoneSet = tz != nullptr;
    cached.zone = tz ? tz : "";
  }
  return cached.clock;
}

}  // namespace

uint64_t LocalTimeKey(int64_t seconds, Epoch epoch) { return ThreadClock().Key(seconds, epoch); }

std::string DateKeyText(uint64_t key) { return std::string(LocalDate(key).view()); }

LocalDate::LocalDate(uint64_t key) {
  if (key == 0) return;
  WriteDateKeyText(key, text_);
  size_ = kLength;
}

LocalDate LocalDate::FromText(std::string_view text) {
  LocalDate date;
  if (text.size() != kLength) return date;
  text.copy(date.text_, kLength);
  date.size_ = kLength;
  return date;
}

std::ostream& operator<<(std::ostream& out, const LocalDate& date) { return out << date.view(); }

std::string FormatLocalTime(int64_t seconds, Epoch epoch) { return DateKeyText(LocalTimeKey(seconds, epoch)); }

std::optional<int64_t> StoredTimeToUnix(int64_t value, Epoch epoch) {
  if (epoch == Epoch::kUnix) return value;
  if (value > kAppleNanosecondThreshold || value < -kAppleNanosecondThreshold) {
    // Nanoseconds: whole seconds toward minus infinity.
    int64_t s = value / 1000000000LL;
    if (value % 1000000000LL < 0) --s;
    value = s;
  }
  return value + kAppleEpochUnixSeconds;
}

std::optional<int64_t> StoredTimeToUnix(double value, Epoch epoch) {
  if (!std::isfinite(value)) return std::nullopt;
  if (epoch == Epoch::kApple && std::fabs(value) > static_cast<double>(kAppleNanosecondThreshold)) value /= 1e9;
  value = std::floor(value);
  if (value < static_cast<double>(kMinUnixSeconds) || value > static_cast<double>(kMaxUnixSeconds)) {
    return std::nullopt;
  }
  const int64_t s = static_cast<int64_t>(value);
  return epoch == Epoch::kApple ? s + kAppleEpochUnixSeconds : s;
}

uint64_t DateColumnKey(const ParsedRecord& record, int column, Epoch epoch, LocalClock* clock) {
  std::optional<int64_t> unix;
  if (record.IsReal(column)) {
    const double v = record.AsReal(column);
    if (v == 0.0) return 0;
    unix = StoredTimeToUnix(v, epoch);
  } else if (record.IsInteger(column)) {
    const int64_t v = record.AsInt64(column);
    if (v == 0) return 0;
    unix = StoredTimeToUnix(v, epoch);
  }
  if (!unix) return 0;
  return (clock ? *clock : ThreadClock()).Key(*unix, Epoch::kUnix);
}

std::string FormatDateColumn(const ParsedRecord& record, int column, Epoch epoch) {
  return DateKeyText(DateColumnKey(record, column, epoch));
}

int64_t AppleSecondsNow() { return static_cast<int64_t>(std::time(nullptr)) - kAppleEpochUnixSeconds; }

bool IsCleanText(std::string_view utf8) { return !utf8.empty() && !HasReplacementOrZero(utf8); }

size_t QuoteDouble(std::string& text) {
  size_t quotes = 0;
  for (char c : text) quotes += (c == '"' || c == '\'');
  if (quotes == 0) return text.size();
  std::string out;
  out.reserve(text.size() + quotes);
  for (char c : text) {
    out.push_back(c);
    if (c == '"' || c == '\'') out.push_back(c);
  }
  text.swap(out);
  return text.size();
}

}  // namespace orbanix
