// Strict readers of the files other programs import: vCard 4.0, JSON Lines
// and CSV. Each refuses what its format does not allow instead of guessing,
// so a file they accept is one any careful importer reads the same way.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orbanix::strict {

// True when the bytes are valid UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
inline bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto d = static_cast<uint8_t>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

// ---- vCard 4.0 (RFC 6350) ----

struct VCardProperty {
  std::string name;                 // upper case
  std::vector<std::string> params;  // "VALUE=text", as written
  std::string raw;                  // the value as written (unfolded, still escaped)
  std::vector<std::string> parts;   // text values unescaped; structured values split at ";"
};

struct VCard {
  std::vector<VCardProperty> properties;
  const VCardProperty* Find(std::string_view name) const {
    for (const auto& p : properties) {
      if (p.name == name) return &p;
    }
    return nullptr;
  }
  std::vector<const VCardProperty*> All(std::string_view name) const {
    std::vector<const VCardProperty*> out;
    for (const auto& p : properties) {
      if (p.name == name) out.push_back(&p);
    }
    return out;
  }
};

// Unescapes a text value; false on a backslash that escapes nothing allowed
// or on a bare "," (a list separator where one value is expected). With
// `structured`, a bare ";" splits the parts; otherwise it is refused too.
inline bool UnescapeVCardText(std::string_view raw, bool structured, std::vector<std::string>& parts,
                              std::string& error) {
  parts.assign(1, std::string());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\\') {
      if (i + 1 >= raw.size()) return error = "backslash at the end of a value", false;
      const char e = raw[++i];
      if (e == 'n' || e == 'N') {
        parts.back() += '\n';
      } else if (e == '\\' || e == ',' || e == ';') {
        parts.back() += e;
      } else {
        return error = std::string("unknown escape \\") + e, false;
      }
    } else if (c == ';') {
      if (!structured) return error = "bare ; in a text value", false;
      parts.emplace_back();
    } else if (c == ',') {
      return error = "bare , in a text value", false;
    } else {
      parts.back() += c;
    }
  }
  return true;
}

// Reads a whole .vcf file. Refuses: a line end other than CR LF, a physical
// line over 75 octets, invalid UTF-8, control characters in a value, a
// property name or parameter outside the grammar, a text value with a bad
// escape, cards not framed by BEGIN/END, VERSION not 4.0 directly after
// BEGIN, a card without FN.
inline bool ReadVCards(std::string_view file, std::vector<VCard>& cards, std::string& error) {
  cards.clear();
  if (!IsValidUtf8(file)) return error = "invalid UTF-8", false;
  std::vector<std::string> logical;
  size_t pos = 0;
  while (pos < file.size()) {
    const size_t cr = file.find('\r', pos);
    const size_t lf = file.find('\n', pos);
    if (cr == std::string_view::npos || lf != cr + 1) {
      return error = "a line not ended by CR LF at byte " + std::to_string(pos), false;
    }
    const std::string_view line = file.substr(pos, cr - pos);
    if (line.size() > 75) return error = "a line of " + std::to_string(line.size()) + " octets", false;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (logical.empty()) return error = "a continuation line first", false;
      logical.back() += line.substr(1);
    } else {
      logical.emplace_back(line);
    }
    pos = lf + 1;
  }
  const std::vector<std::string> textProperties = {"FN", "N", "ORG", "TEL", "EMAIL", "ADR", "NOTE", "PRODID"};
  VCard* card = nullptr;
  bool expectVersion = false;
  for (const std::string& l : logical) {
    if (l.empty()) return error = "an empty line", false;
    const size_t colon = l.find(':');
    if (colon == std::string::npos) return error = "no colon in " + l, false;
    std::string head = l.substr(0, colon);
    const std::string value = l.substr(colon + 1);
    for (char c : value) {
      const auto u = static_cast<uint8_t>(c);
      if ((u < 0x20 && c != '\t') || u == 0x7F) return error = "a control character in " + l, false;
    }
    VCardProperty p;
    size_t semi = head.find(';');
    p.name = head.substr(0, semi);
    if (p.name.empty()) return error = "an empty property name", false;
    for (char& c : p.name) {
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
        return error = "a bad property name " + p.name, false;
      }
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    while (semi != std::string::npos) {
      const size_t next = head.find(';', semi + 1);
      const std::string param = head.substr(semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1);
      const size_t eq = param.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == param.size()) return error = "a bad parameter " + param, false;
      p.params.push_back(param);
      semi = next;
    }
    p.raw = value;
    if (p.name == "BEGIN") {
      if (card || value != "VCARD") return error = "BEGIN inside a card", false;
      cards.emplace_back();
      card = &cards.back();
      expectVersion = true;
      continue;
    }
    if (!card) return error = "a property outside a card: " + l, false;
    if (expectVersion) {
      if (p.name != "VERSION" || value != "4.0") return error = "VERSION:4.0 must follow BEGIN", false;
      expectVersion = false;
      continue;
    }
    if (p.name == "END") {
      if (value != "VCARD") return error = "a bad END", false;
      if (!card->Find("FN")) return error = "a card without FN", false;
      card = nullptr;
      continue;
    }
    bool text = false;
    for (const auto& t : textProperties) text = text || t == p.name;
    if (text) {
      const bool structured = p.name == "N" || p.name == "ADR" || p.name == "ORG";
      if (!UnescapeVCardText(value, structured, p.parts, error)) return error += " in " + l, false;
      if (p.name == "N" && p.parts.size() != 5) return error = "N needs 5 parts: " + l, false;
      if (p.name == "ADR" && p.parts.size() != 7) return error = "ADR needs 7 parts: " + l, false;
    } else {
      p.parts = {value};
    }
    card->properties.push_back(std::move(p));
  }
  if (card) return error = "a card without END", false;
  return true;
}

// ---- JSON (RFC 8259) ----

struct JsonValue;
using JsonObjectMembers = std::vector<std::pair<std::string, JsonValue>>;
struct JsonValue {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  std::string text;  // string value, or the number as written
  std::vector<JsonValue> items;
  JsonObjectMembers members;
  const JsonValue* Get(std::string_view key) const {
    for (const auto& [k, v] : members) {
      if (k == key) return &v;
    }
    return nullptr;
  }
};

class JsonParser {
 public:
  explicit JsonParser(std::string_view s) : s_(s) {}
  bool ParseDocument(JsonValue& v, std::string& error) {
    if (!IsValidUtf8(s_)) return error = "invalid UTF-8", false;
    Space();
    if (!Value(v, 0)) return error = error_ + " at " + std::to_string(i_), false;
    Space();
    if (i_ != s_.size()) return error = "text after the value at " + std::to_string(i_), false;
    return true;
  }

 private:
  bool Fail(const std::string& e) { return error_ = e, false; }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return Fail("bad literal");
    i_ += word.size();
    return true;
  }
  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  static void Append(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6)), out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12)), out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18)), out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool Hex4(uint32_t& cp) {
    if (i_ + 4 > s_.size()) return Fail("short \\u");
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const int h = Hex(s_[i_++]);
      if (h < 0) return Fail("bad \\u");
      cp = cp * 16 + static_cast<uint32_t>(h);
    }
    return true;
  }
  bool String(std::string& out) {
    if (s_[i_] != '"') return Fail("a string expected");
    ++i_;
    while (true) {
      if (i_ >= s_.size()) return Fail("unterminated string");
      const char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<uint8_t>(c) < 0x20) return Fail("a raw control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return Fail("unterminated escape");
      const char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = 0;
            if (s_.substr(i_, 2) != "\\u") return Fail("a lone high surrogate");
            i_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return Fail("a bad low surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return Fail("a lone low surrogate");
          }
          Append(out, cp);
          break;
        }
        default: return Fail("a bad escape");
      }
    }
  }
  bool Number(std::string& out) {
    const size_t start = i_;
    if (s_[i_] == '-') ++i_;
    if (i_ >= s_.size()) return Fail("bad number");
    if (s_[i_] == '0') {
      ++i_;
    } else if (s_[i_] >= '1' && s_[i_] <= '9') {
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    } else {
      return Fail("bad number");
    }
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') return Fail("bad fraction");
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (i_ >= s_.size() || s_[i_] < '0' || s_[i_] > '9') return Fail("bad exponent");
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    }
    out = std::string(s_.substr(start, i_ - start));
    return true;
  }
  bool Value(JsonValue& v, int depth) {
    if (depth > 64) return Fail("too deep");
    if (i_ >= s_.size()) return Fail("a value expected");
    const char c = s_[i_];
    if (c == '{') {
      v.kind = JsonValue::kObject;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
      while (true) {
        Space();
        std::string key;
        if (i_ >= s_.size() || !String(key)) return Fail(error_.empty() ? "a key expected" : error_);
        for (const auto& m : v.members) {
          if (m.first == key) return Fail("a repeated key " + key);
        }
        Space();
        if (i_ >= s_.size() || s_[i_] != ':') return Fail("a colon expected");
        ++i_;
        Space();
        JsonValue member;
        if (!Value(member, depth + 1)) return false;
        v.members.emplace_back(std::move(key), std::move(member));
        Space();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
        return Fail("a comma or } expected");
      }
    }
    if (c == '[') {
      v.kind = JsonValue::kArray;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
      while (true) {
        Space();
        JsonValue item;
        if (!Value(item, depth + 1)) return false;
        v.items.push_back(std::move(item));
        Space();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
        return Fail("a comma or ] expected");
      }
    }
    if (c == '"') {
      v.kind = JsonValue::kString;
      return String(v.text);
    }
    if (c == 't') return v.kind = JsonValue::kBool, v.boolean = true, Literal("true");
    if (c == 'f') return v.kind = JsonValue::kBool, v.boolean = false, Literal("false");
    if (c == 'n') return v.kind = JsonValue::kNull, Literal("null");
    v.kind = JsonValue::kNumber;
    return Number(v.text);
  }

  std::string_view s_;
  size_t i_ = 0;
  std::string error_;
};

// Reads a JSON Lines file: every line (ended by "\n", none empty, no CR) is
// one JSON object.
inline bool ReadJsonLines(std::string_view file, std::vector<JsonValue>& objects, std::string& error) {
  objects.clear();
  size_t pos = 0;
  while (pos < file.size()) {
    const size_t nl = file.find('\n', pos);
    if (nl == std::string_view::npos) return error = "the last line has no line feed", false;
    const std::string_view line = file.substr(pos, nl - pos);
    if (line.empty()) return error = "an empty line", false;
    JsonValue v;
    JsonParser parser(line);
    if (!parser.ParseDocument(v, error)) return error += " in line " + std::to_string(objects.size() + 1), false;
    if (v.kind != JsonValue::kObject) return error = "a line that is not an object", false;
    objects.push_back(std::move(v));
    pos = nl + 1;
  }
  return true;
}

// ---- CSV (RFC 4180) ----

// Reads CSV records ended by CR LF (a UTF-8 byte order mark may start the
// file). A field is either plain (no quote, comma, CR or LF) or quoted with
// inner quotes doubled; anything else is refused.
inline bool ReadCsv(std::string_view file, std::vector<std::vector<std::string>>& rows, std::string& error) {
  rows.clear();
  if (file.substr(0, 3) == "\xEF\xBB\xBF") file.remove_prefix(3);
  if (!IsValidUtf8(file)) return error = "invalid UTF-8", false;
  size_t i = 0;
  while (i < file.size()) {
    std::vector<std::string> row;
    while (true) {
      std::string field;
      if (i < file.size() && file[i] == '"') {
        ++i;
        while (true) {
          if (i >= file.size()) return error = "an unterminated quoted field", false;
          if (file[i] == '"') {
            if (i + 1 < file.size() && file[i + 1] == '"') {
              field += '"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          field += file[i++];
        }
      } else {
        while (i < file.size() && file[i] != ',' && file[i] != '\r' && file[i] != '\n') {
          if (file[i] == '"') return error = "a quote inside a plain field", false;
          field += file[i++];
        }
      }
      row.push_back(std::move(field));
      if (i < file.size() && file[i] == ',') {
        ++i;
        continue;
      }
      if (file.substr(i, 2) == "\r\n") {
        i += 2;
        break;
      }
      return error = "a record not ended by CR LF (row " + std::to_string(rows.size() + 1) + ")", false;
    }
    rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace orbanix::strict
