// Values shared by the readers of the phone's organiser stores (calendar,
// reminders, Safari): dates kept as seconds since 2001-01-01 (integers or
// reals), texts that may be missing, and the checks a row recovered from
// free space must pass before it is shown.
//
// The readers tell the page reader each table's column count from its
// schema (genericColumnCount) before scanning it: records recovered from
// free space have lost their header length, and the count is what lets
// the search read their serial types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sqlite_pages/record.h"

namespace orbanix {

// Earliest and latest Unix second a stored date may stand for (1900-01-01
// and 2200-01-01, UTC). Values outside come from damaged or foreign bytes
// and are shown as no date.
inline constexpr int64_t kEarliestDateUnix = -2208988800LL;
inline constexpr int64_t kLatestDateUnix = 7258118400LL;

// The Unix second of a date column (seconds since 2001-01-01, integer or
// real); nullopt for NULL, 0, a text, a blob, a column the row lacks, and a
// value outside the years 1900-2199.
std::optional<int64_t> AppleDateColumn(const ParsedRecord& record, int column);

// The text of a column; empty for NULL, numbers, blobs and absent columns.
std::string TextColumn(const ParsedRecord& record, int column);
// An integer column; `fallback` for NULL and absent columns.
int64_t IntColumn(const ParsedRecord& record, int column, int64_t fallback = 0);

// "YYYY-MM-DD hh:mm:ss" in the computer's time zone; empty for no date.
std::string LocalDateTimeText(const std::optional<int64_t>& unix);
// "YYYY-MM-DD hh:mm:ss" (or "YYYY-MM-DD" when `dateOnly`) of the wall
// clock stored as if it were UTC: the floating times of all-day events and
// of events without a time zone. Empty for no date.
std::string WallClockText(const std::optional<int64_t>& unix, bool dateOnly);

// A text of a recovered row must look like text: valid UTF-8 without a
// replacement character or a zero byte. Live rows always pass.
bool PlausibleField(std::string_view text, int deleted);

}  // namespace orbanix
