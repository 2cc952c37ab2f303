#include "export/text_format.h"

#include "platform/text.h"

namespace orbanix {

std::string HtmlEscape(std::string_view text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size() + valid.size() / 8);
  for (char c : valid) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '{': out += "&#123;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string CsvField(std::string_view value) {
  const bool quote = value.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  if (!quote) return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string CsvLine(std::initializer_list<std::string_view> fields) {
  std::string line;
  bool first = true;
  for (std::string_view f : fields) {
    if (!first) line.push_back(',');
    line += CsvField(f);
    first = false;
  }
  line += "\r\n";  // records end in CR LF (RFC 4180)
  return line;
}

std::string DurationText(int64_t s) {
  if (s >= 3600) return Format("%lld Hour %lld Min", static_cast<long long>(s / 3600), static_cast<long long>((s % 3600) / 60));
  if (s >= 60) return Format("%lld Min %lld Sec", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  return Format("%lld Sec", static_cast<long long>(s));
}

std::string CallDurationCell(int64_t seconds, bool incoming) {
  if (seconds != 0) return DurationText(seconds);
  return incoming ? "Missed" : "Canceled";
}

std::string CallDurationCell(int64_t seconds, bool incoming, bool notConnected) {
  if (notConnected) return incoming ? "Missed" : "Canceled";
  return DurationText(seconds);
}

std::string CallDirectionText(bool incoming, std::string_view kind) {
  std::string text = incoming ? "Incoming" : "Outgoing";
  if (!kind.empty()) text += " (" + std::string(kind) + ")";
  return text;
}

std::string SizeText(int64_t n) {
  constexpr double kKiB = 1024.0;
  if (n < 1024) return Format("%lld Bytes", static_cast<long long>(n));
  const double v = static_cast<double>(n);
  if (n >= (int64_t{1} << 40)) return Format("%.2f TB", v / (kKiB * kKiB * kKiB * kKiB));
  if (n >= (int64_t{1} << 30)) return Format("%.2f GB", v / (kKiB * kKiB * kKiB));
  if (n >= (int64_t{1} << 20)) return Format("%.2f MB", v / (kKiB * kKiB));
  return Format("%.2f KB", v / kKiB);
}

}  // namespace orbanix
