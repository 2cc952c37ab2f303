#include "sqlite_pages/values.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

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

// "YYYY-MM-DD hh:mm:ss" of broken-down fields, without printf (the message
// scan formats a date per row).
std::string DateText(int year, int month, int day, int hour, int minute, int second) {
  char buf[19];
  auto two = [](char* p, int v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  buf[0] = static_cast<char>('0' + year / 1000);
  buf[1] = static_cast<char>('0' + year / 100 % 10);
  two(buf + 2, year % 100);
  buf[4] = '-';
  two(buf + 5, month);
  buf[7] = '-';
  two(buf + 8, day);
  buf[10] = ' ';
  two(buf + 11, hour);
  buf[13] = ':';
  two(buf + 14, minute);
  buf[16] = ':';
  two(buf + 17, second);
  return std::string(buf, sizeof buf);
}

// The local time zone's offset is the same for a whole hour except around a
// transition that is not on an hour boundary (which the check of both ends
// of the hour notices; such an hour takes the slow path); the offset of the
// last hour looked up is kept (per thread, and per value of
// TZ so a changed zone is noticed), and the calendar date is computed from
// the shifted seconds (days-from-civil inverse, proleptic Gregorian).
struct OffsetCache {
  std::string zone;
  bool zoneSet = false;
  int64_t hour = INT64_MIN;
  bool uniform = false;
  long offset = 0;
};

bool LocalFields(int64_t seconds, int& year, int& month, int& day, int& hour, int& minute, int& second) {
  thread_local OffsetCache cache;
  const char* tz = std::getenv("TZ");
  if (cache.zoneSet != (tz != nullptr) || (tz && cache.zone != tz)) {
    cache = OffsetCache{};
    cache.zoneSet = tz != nullptr;
    if (tz) cache.zone = tz;
  }
  const int64_t bucket = FloorDiv(seconds, 3600);
  if (bucket != cache.hour) {
    const time_t a = static_cast<time_t>(bucket * 3600), b = static_cast<time_t>(bucket * 3600 + 3599);
    struct tm ta {}, tb {};
    cache.hour = bucket;
    cache.uniform = localtime_r(&a, &ta) && localtime_r(&b, &tb) && ta.tm_gmtoff == tb.tm_gmtoff;
    cache.offset = ta.tm_gmtoff;
  }
  if (!cache.uniform) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (!localtime_r(&t, &local)) return false;
    year = local.tm_year + 1900, month = local.tm_mon + 1, day = local.tm_mday;
    hour = local.tm_hour, minute = local.tm_min, second = local.tm_sec;
    return true;
  }
  const int64_t local = seconds + cache.offset;
  const int64_t days = FloorDiv(local, 86400);
  const int64_t sod = local - days * 86400;
  hour = static_cast<int>(sod / 3600), minute = static_cast<int>(sod / 60 % 60), second = static_cast<int>(sod % 60);
  const int64_t z = days + 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  return true;
}

}  // namespace

std::string FormatLocalTime(int64_t seconds, Epoch epoch) {
  if (epoch == Epoch::kApple) {
    if (seconds > kMaxUnixSeconds - kAppleEpochUnixSeconds) return {};
    seconds += kAppleEpochUnixSeconds;
  }
  if (seconds < kMinUnixSeconds || seconds > kMaxUnixSeconds) return {};
  int year, month, day, hour, minute, second;
  if (!LocalFields(seconds, year, month, day, hour, minute, second)) return {};
  if (year < 1 || year > 9999) return {};
  return DateText(year, month, day, hour, minute, second);
}

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

std::string FormatDateColumn(const ParsedRecord& record, int column, Epoch epoch) {
  std::optional<int64_t> unix;
  if (record.IsReal(column)) {
    const double v = record.AsReal(column);
    if (v == 0.0) return {};
    unix = StoredTimeToUnix(v, epoch);
  } else if (record.IsInteger(column)) {
    const int64_t v = record.AsInt64(column);
    if (v == 0) return {};
    unix = StoredTimeToUnix(v, epoch);
  }
  if (!unix) return {};
  return FormatLocalTime(*unix, Epoch::kUnix);
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
