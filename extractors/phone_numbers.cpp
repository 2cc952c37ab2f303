#include "extractors/phone_numbers.h"

namespace orbanix {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Characters phone numbers are written with besides digits.
bool IsNumberPunctuation(char c) {
  return c == '+' || c == '(' || c == ')' || c == '-' || c == '.' || c == ' ' || c == '/' || c == '\t';
}

size_t DigitCount(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += IsDigit(c) ? 1 : 0;
  return n;
}

std::string_view Tail(std::string_view digits) { return digits.substr(digits.size() - kMinSignificantDigits); }

}  // namespace

std::string SignificantDigits(std::string_view number) {
  std::string digits;
  for (char c : number) {
    if (IsDigit(c)) {
      if (!digits.empty() || c != '0') digits.push_back(c);
    } else if (!IsNumberPunctuation(c)) {
      return {};
    }
  }
  if (digits.size() < kMinSignificantDigits) return {};
  return digits;
}

bool SamePhoneNumber(std::string_view a, std::string_view b) {
  const std::string x = SignificantDigits(a), y = SignificantDigits(b);
  if (x.empty() || y.empty()) return false;
  const std::string& shorter = x.size() <= y.size() ? x : y;
  const std::string& longer = x.size() <= y.size() ? y : x;
  return longer.compare(longer.size() - shorter.size(), shorter.size(), shorter) == 0;
}

std::vector<std::string_view> PhoneNumbersIn(std::string_view text) {
  std::vector<std::string_view> numbers;
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t lineEnd = text.find_first_of("\r\n", lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
    // Words of the line, joined into one number until it is long enough
    // and the next word begins another ("+..." or a whole number itself).
    size_t start = std::string_view::npos, end = 0;
    size_t digits = 0;
    size_t at = 0;
    while (at < line.size()) {
      while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
      if (at >= line.size()) break;
      size_t wordEnd = at;
      while (wordEnd < line.size() && line[wordEnd] != ' ' && line[wordEnd] != '\t') ++wordEnd;
      const std::string_view word = line.substr(at, wordEnd - at);
      const size_t wordDigits = DigitCount(word);
      const bool startsAnother = word[0] == '+' || wordDigits >= kMinSignificantDigits;
      if (start != std::string_view::npos && digits >= kMinSignificantDigits && startsAnother) {
        numbers.push_back(line.substr(start, end - start));
        start = std::string_view::npos;
        digits = 0;
      }
      if (start == std::string_view::npos) start = at;
      end = wordEnd;
      digits += wordDigits;
      at = wordEnd;
    }
    if (start != std::string_view::npos) numbers.push_back(line.substr(start, end - start));
    if (lineEnd == text.size()) break;
    lineStart = lineEnd + 1;
  }
  return numbers;
}

PhoneNumberIndex::PhoneNumberIndex(const std::vector<std::string_view>& texts) {
  for (size_t t = 0; t < texts.size(); ++t) {
    for (std::string_view number : PhoneNumbersIn(texts[t])) {
      std::string digits = SignificantDigits(number);
      if (digits.empty()) continue;
      std::vector<Entry>& list = byTail_[std::string(Tail(digits))];
      if (!list.empty() && list.back().text == static_cast<int64_t>(t) && list.back().digits == digits) continue;
      list.push_back({static_cast<int64_t>(t), std::move(digits)});
    }
  }
}

int64_t PhoneNumberIndex::FirstMatching(std::string_view number) const {
  const std::string digits = SignificantDigits(number);
  if (digits.empty()) return -1;
  const auto it = byTail_.find(std::string(Tail(digits)));
  if (it == byTail_.end()) return -1;
  for (const Entry& e : it->second) {
    const std::string& shorter = e.digits.size() <= digits.size() ? e.digits : digits;
    const std::string& longer = e.digits.size() <= digits.size() ? digits : e.digits;
    if (longer.compare(longer.size() - shorter.size(), shorter.size(), shorter) == 0) return e.text;
  }
  return -1;
}

}  // namespace orbanix
