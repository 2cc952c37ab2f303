#include "export/names.h"

#include <algorithm>
#include <array>

#include "platform/text.h"

namespace orbanix {

namespace {

// Decodes one code point of valid UTF-8 at `i` and advances past it.
uint32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  if (i + len > s.size()) len = s.size() - i;
  uint32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

bool IsRefused(uint32_t cp) {
  if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) return true;
  // Direction overrides can make "gpj.exe" look like "exe.jpg".
  if ((cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) {
    return true;
  }
  switch (cp) {
    case '/': case '\\': case '<': case '>': case ':': case '"': case '|': case '?': case '*':
      return true;
    default:
      return false;
  }
}

bool IsTrimmed(char c) { return c == '.' || c == ' '; }

void TrimDotsAndBlanks(std::string& s) {
  size_t b = 0;
  while (b < s.size() && IsTrimmed(s[b])) ++b;
  size_t e = s.size();
  while (e > b && IsTrimmed(s[e - 1])) --e;
  s = s.substr(b, e - b);
}

// Largest prefix length <= maxBytes that ends on a code point boundary.
size_t CutAtBoundary(std::string_view s, size_t maxBytes) {
  if (s.size() <= maxBytes) return s.size();
  size_t n = maxBytes;
  while (n > 0 && (static_cast<uint8_t>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

bool IsReservedDeviceName(std::string_view name) {
  const std::string stem = AsciiLower(name.substr(0, name.find('.')));
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  if (std::find(kPlain.begin(), kPlain.end(), std::string_view(stem)) != kPlain.end()) return true;
  return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '1' &&
         stem[3] <= '9';
}

}  // namespace

std::string SanitizeName(std::string_view name, bool keepExtension, size_t maxBytes) {
  const std::string valid = ValidUtf8(name);
  std::string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size();) {
    const size_t start = i;
    const uint32_t cp = NextCodePoint(valid, i);
    if (IsRefused(cp)) {
      out.push_back('_');
    } else {
      out.append(valid, start, i - start);
    }
  }
  for (size_t pos = out.find(".."); pos != std::string::npos; pos = out.find("..", pos)) {
    out.replace(pos, 2, "_");
  }
  TrimDotsAndBlanks(out);
  if (IsReservedDeviceName(out)) out.insert(out.begin(), '_');

  if (maxBytes < 8) maxBytes = 8;
  if (out.size() > maxBytes) {
    std::string extension;
    const size_t dot = out.rfind('.');
    if (keepExtension && dot != std::string::npos && dot > 0 && out.size() - dot <= 16) {
      extension = out.substr(dot);
      out.resize(dot);
    }
    out.resize(CutAtBoundary(out, maxBytes - extension.size()));
    TrimDotsAndBlanks(out);
    if (!out.empty()) out += extension;
  }
  if (out.empty()) return "Unknown";
  return out;
}

Status UniqueOutputPath(const fs::path& path, fs::path& unique) {
  std::error_code ec;
  // symlink_status: a dangling link is taken as present, so no write follows it.
  if (fs::symlink_status(path, ec).type() == fs::file_type::not_found) {
    unique = path;
    return status::kOk;
  }
  const fs::path folder = path.parent_path();
  const std::string stem = path.stem().string();
  const std::string extension = path.extension().string();
  for (int n = 1; n <= 100000; ++n) {
    fs::path candidate = folder / (stem + "(" + std::to_string(n) + ")" + extension);
    if (fs::symlink_status(candidate, ec).type() == fs::file_type::not_found) {
      unique = std::move(candidate);
      return status::kOk;
    }
  }
  return status::kNameTooLong;
}

bool IsInsideFolder(const fs::path& folder, const fs::path& path) {
  const fs::path root = folder.lexically_normal();
  const fs::path target = path.lexically_normal();
  auto r = root.begin();
  auto t = target.begin();
  for (; r != root.end(); ++r, ++t) {
    if (r->empty() && std::next(r) == root.end()) break;  // trailing separator of the root
    if (t == target.end() || *r != *t) return false;
  }
  for (; t != target.end(); ++t) {
    if (!t->empty() && *t != ".") return true;
  }
  return false;
}

std::string ExportStamp(int64_t unixSeconds) {
  std::string digits;
  for (char c : FormatLocalDateTime(unixSeconds)) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  return digits;
}

std::string MessageFolderName(std::string_view contactName) {
  return contactName.empty() ? std::string("Unknown") : std::string(contactName);
}

std::string MessageConversationLabel(std::string_view contactName, std::string_view address) {
  std::string label = MessageFolderName(contactName);
  if (!address.empty()) label += "(" + std::string(address) + ")";
  return label;
}

std::string WhatsAppConversationLabel(std::string_view partnerName, std::string_view partnerAddress,
                                      std::string_view chatTitle) {
  std::string label;
  if (partnerName.find(',') != std::string_view::npos) {
    label = chatTitle;
  } else if (!partnerName.empty()) {
    label = std::string(partnerName) + "(" + std::string(partnerAddress) + ")";
  } else {
    label = partnerAddress;
  }
  return label.empty() ? std::string("Unknown") : label;
}

std::string PartyLabel(std::string_view name, std::string_view address) {
  if (name.empty() || name == "Unknown") return std::string(address);
  return std::string(name) + "(" + std::string(address) + ")";
}

std::string PartyName(std::string_view name, std::string_view address) {
  if (name.empty() || name == "Unknown") return std::string(address);
  return std::string(name);
}

}  // namespace orbanix
