#include "export/vcard.h"

#include "platform/digest.h"
#include "platform/text.h"

namespace orbanix {

namespace {

constexpr size_t kMaxLineOctets = 75;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<std::string> SplitAtBlanks(std::string_view text) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    size_t end = i;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    if (end > i) parts.emplace_back(text.substr(i, end - i));
    i = end;
  }
  return parts;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t nl = text.find('\n', start);
    const std::string_view part = TrimBlanks(text.substr(start, nl == std::string_view::npos ? nl : nl - start));
    if (!part.empty()) parts.emplace_back(part);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return parts;
}

size_t Utf8SequenceLength(uint8_t lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

// Length in octets of the unit that starts at `i`: one whole UTF-8 sequence
// (the text is valid UTF-8 by then), or a backslash with the sequence it
// escapes.
size_t UnitLength(std::string_view line, size_t i) {
  size_t n = Utf8SequenceLength(static_cast<uint8_t>(line[i]));
  if (line[i] == '\\' && i + 1 < line.size()) n = 1 + Utf8SequenceLength(static_cast<uint8_t>(line[i + 1]));
  return std::min(n, line.size() - i);
}

void AddProperty(std::string& card, std::string_view nameAndParams, std::string_view escapedValue) {
  if (escapedValue.empty()) return;
  std::string line(nameAndParams);
  line += ':';
  line += escapedValue;
  card += VCardFoldLine(line);
}

// A URI value is not a text: it is written as it is, less what a content
// line cannot hold (line breaks, control characters).
std::string UriValue(std::string_view uri) {
  const std::string valid = ValidUtf8(uri);
  std::string out;
  for (char c : valid) {
    if (static_cast<uint8_t>(c) >= 0x20 && c != 0x7F) out.push_back(c);
  }
  return out;
}

}  // namespace

VCardContact VCardContactOf(const ContactRecord& record) {
  VCardContact card;
  card.deleted = record.deleted != 0;
  card.organization = record.company;
  card.phones = SplitLines(record.phones);
  card.emails = SplitAtBlanks(record.email);
  card.urls = SplitAtBlanks(record.homePage);
  const std::string_view address = TrimBlanks(record.address);
  if (!address.empty()) card.addresses.emplace_back(address);
  card.note = std::string(TrimBlanks(record.social));
  std::string key = record.deleted != 0 ? "deleted" : "live";
  for (const std::string* field : {&record.name, &record.firstName, &record.lastName, &record.phones, &record.email,
                                   &record.address, &record.social, &record.homePage, &record.company}) {
    key += '\x1f';
    key += *field;
  }
  std::string hex = Sha1Hex(key).substr(0, 32);
  hex[12] = '5';                                                        // version 5: name-based, SHA-1
  hex[16] = "89ab"[std::stoi(hex.substr(16, 1), nullptr, 16) & 3];     // the RFC 4122 variant
  card.uid = "urn:uuid:" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
             hex.substr(16, 4) + "-" + hex.substr(20);
  const std::string_view first = TrimBlanks(record.firstName);
  const std::string_view last = TrimBlanks(record.lastName);
  const std::string_view name = TrimBlanks(record.name);
  if (!first.empty() || !last.empty()) {
    card.givenName = std::string(first);
    card.familyName = std::string(last);
    card.formattedName = std::string(first) + (!first.empty() && !last.empty() ? " " : "") + std::string(last);
  } else if (!name.empty() && name != "No Name") {
    card.formattedName = std::string(name);
    card.givenName = card.formattedName;
  } else if (!TrimBlanks(card.organization).empty()) {
    card.formattedName = std::string(TrimBlanks(card.organization));
  } else if (!card.phones.empty()) {
    card.formattedName = card.phones.front();
  } else {
    card.formattedName = "No Name";
  }
  return card;
}

std::string VCardEscape(std::string_view text) {
  const std::string valid = ValidUtf8(text);
  std::string out;
  out.reserve(valid.size() + 8);
  for (size_t i = 0; i < valid.size(); ++i) {
    const char c = valid[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case ',': out += "\\,"; break;
      case ';': out += "\\;"; break;
      case '\n': out += "\\n"; break;
      case '\r':
        out += "\\n";
        if (i + 1 < valid.size() && valid[i + 1] == '\n') ++i;  // CR LF is one break
        break;
      case '\t': out.push_back(c); break;
      default:
        if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) break;  // no control characters in a value
        out.push_back(c);
    }
  }
  return out;
}

std::string VCardFoldLine(std::string_view line) {
  std::string out;
  out.reserve(line.size() + line.size() / 70 * 3 + 2);
  size_t used = 0;  // octets on the current physical line
  for (size_t i = 0; i < line.size();) {
    const size_t n = UnitLength(line, i);
    if (used + n > kMaxLineOctets) {
      out += "\r\n ";
      used = 1;
    }
    out.append(line.substr(i, n));
    used += n;
    i += n;
  }
  out += "\r\n";
  return out;
}

std::string VCardText(const VCardContact& c) {
  std::string card = "BEGIN:VCARD\r\nVERSION:4.0\r\nPRODID:-//Orbanix//Contacts//EN\r\n";
  std::string fn = VCardEscape(c.formattedName);
  if (fn.empty()) fn = "No Name";  // FN is required
  AddProperty(card, "UID", UriValue(c.uid));
  AddProperty(card, "FN", fn);
  const std::string family = VCardEscape(c.familyName);
  const std::string given = VCardEscape(c.givenName);
  if (!family.empty() || !given.empty()) AddProperty(card, "N", family + ";" + given + ";;;");
  AddProperty(card, "ORG", VCardEscape(c.organization));
  for (const std::string& tel : c.phones) AddProperty(card, "TEL;VALUE=text", VCardEscape(tel));
  for (const std::string& email : c.emails) AddProperty(card, "EMAIL", VCardEscape(email));
  for (const std::string& adr : c.addresses) {
    const std::string street = VCardEscape(adr);
    if (!street.empty()) AddProperty(card, "ADR", ";;" + street + ";;;;");
  }
  for (const std::string& url : c.urls) AddProperty(card, "URL", UriValue(url));
  AddProperty(card, "NOTE", VCardEscape(c.note));
  if (c.deleted) card += "X-ORBANIX-DELETED:1\r\n";
  card += "END:VCARD\r\n";
  return card;
}

}  // namespace orbanix
