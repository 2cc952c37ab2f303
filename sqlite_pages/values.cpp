#include "sqlite_pages/values.h"

#include <cmath>
#include <ctime>

#include "platform/text.h"

namespace orbanix {

namespace {

// localtime_r works on time_t; years beyond four digits would break the
// fixed width of the date text, so the range is kept to years 1..9999.
constexpr int64_t kMinUnixSeconds = -62135596800LL;  // 0001-01-01 00:00:00 UTC
constexpr int64_t kMaxUnixSeconds = 253402300799LL;  // 9999-12-31 23:59:59 UTC

}  // namespace

std::string FormatLocalTime(int64_t seconds, Epoch epoch) {
  if (epoch == Epoch::kApple) {
    if (seconds > kMaxUnixSeconds - kAppleEpochUnixSeconds) return {};
    seconds += kAppleEpochUnixSeconds;
  }
  if (seconds < kMinUnixSeconds || seconds > kMaxUnixSeconds) return {};
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  if (!localtime_r(&t, &local)) return {};
  const int year = local.tm_year + 1900;
  if (year < 1 || year > 9999) return {};
  return Format("%04d-%02d-%02d %02d:%02d:%02d", year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec);
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
