#include "extractors/organizer_values.h"

#include <ctime>

#include "platform/text.h"
#include "sqlite_pages/values.h"

namespace orbanix {

std::optional<int64_t> AppleDateColumn(const ParsedRecord& record, int column) {
  std::optional<int64_t> unix;
  if (record.IsInteger(column)) {
    const int64_t v = record.AsInt64(column);
    if (v == 0) return std::nullopt;
    unix = StoredTimeToUnix(v, Epoch::kApple);
  } else if (record.IsReal(column)) {
    const double v = record.AsReal(column);
    if (v == 0.0) return std::nullopt;
    unix = StoredTimeToUnix(v, Epoch::kApple);
  }
  if (!unix || *unix < kEarliestDateUnix || *unix >= kLatestDateUnix) return std::nullopt;
  return unix;
}

std::string TextColumn(const ParsedRecord& record, int column) {
  return record.IsText(column) ? record.AsText(column) : std::string();
}

int64_t IntColumn(const ParsedRecord& record, int column, int64_t fallback) {
  if (record.IsInteger(column) || record.IsReal(column)) return record.AsInt64(column);
  return fallback;
}

std::string LocalDateTimeText(const std::optional<int64_t>& unix) {
  if (!unix) return {};
  return FormatLocalTime(*unix, Epoch::kUnix);
}

std::string WallClockText(const std::optional<int64_t>& unix, bool dateOnly) {
  if (!unix) return {};
  const time_t t = static_cast<time_t>(*unix);
  struct tm tm {};
  if (!gmtime_r(&t, &tm)) return {};
  char buffer[80];
  if (dateOnly) {
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  } else {
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  }
  return buffer;
}

bool PlausibleField(std::string_view text, int deleted) { return deleted == 0 || !HasReplacementOrZero(text); }

}  // namespace orbanix
