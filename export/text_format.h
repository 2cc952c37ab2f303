// Small text forms shared by the document writers and the preview.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace orbanix {

// Record text made safe for HTML element content and attribute values:
// & < > " ' become entities, and "{" becomes "&#123;" so that a record can
// never form a template placeholder such as "{|person|}". Invalid UTF-8
// becomes U+FFFD.
std::string HtmlEscape(std::string_view text);

// One CSV field as RFC 4180 wants it: quoted when it holds a comma, a double
// quote, a carriage return or a line feed (or begins or ends with a blank),
// with every double quote doubled inside the quotes.
std::string CsvField(std::string_view value);
// The fields joined by commas, followed by "\r\n" (RFC 4180 ends records in
// CR LF; a text file that turns LF into CR LF leaves the pair as it is).
std::string CsvLine(std::initializer_list<std::string_view> fields);

// Duration of a call: "%d Hour %d Min" from 3600 seconds on (seconds
// dropped), "%d Min %d Sec" from 60 on, else "%d Sec".
std::string DurationText(int64_t seconds);

// The duration cell of a call: the duration text, or for 0 seconds "Missed"
// (incoming) or "Canceled" (outgoing).
std::string CallDurationCell(int64_t seconds, bool incoming);
// The same where the store says whether the call connected: a call that did
// not is "Missed" (incoming) or "Canceled" (outgoing) whatever its
// duration; one that did shows its duration, also 0 seconds.
std::string CallDurationCell(int64_t seconds, bool incoming, bool notConnected);
// "Incoming" or "Outgoing", followed by the kind of a call that was not a
// phone call: "Incoming (FaceTime Video)".
std::string CallDirectionText(bool incoming, std::string_view kind);

// Size text: "%d Bytes" below 1024 (and when negative), else "%.2f" with
// " KB", " MB", " GB" or " TB" from 2^10, 2^20, 2^30, 2^40 on.
std::string SizeText(int64_t bytes);

}  // namespace orbanix
