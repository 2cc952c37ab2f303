// Phone numbers written in different ways for one line: a message handle
// "+447700900123", a contact's "07700 900123", a call's "+44 7700 900123";
// "+1 (555) 010-0000" and "555-010-0000". They are the same number when the
// significant digits of the shorter (its digits without the leading zeros of
// a trunk or international prefix) end the longer's: the country code and
// the trunk prefix are what the two ways of writing add or leave out.
// Numbers of fewer than 7 significant digits (short codes) are only ever
// the same when written alike, and texts with letters or an "@" (e-mail
// addresses, names) are no phone numbers at all.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orbanix {

inline constexpr size_t kMinSignificantDigits = 7;

// The significant digits of a phone number; empty when the text is not one
// (letters, "@", fewer than kMinSignificantDigits digits).
std::string SignificantDigits(std::string_view number);

// Whether two texts are the same phone number by the rule above.
bool SamePhoneNumber(std::string_view a, std::string_view b);

// The numbers of a contact's phone text: one per line, and within a line
// the variants the address book's search table lists side by side
// ("07700 900123 +447700900123" holds two; "+1 (555) 010-0000" one).
std::vector<std::string_view> PhoneNumbersIn(std::string_view text);

// The phone texts of many contacts, indexed once: for a number, the first
// text (in order) holding the same number.
class PhoneNumberIndex {
 public:
  explicit PhoneNumberIndex(const std::vector<std::string_view>& texts);
  // Index into the texts, or -1.
  int64_t FirstMatching(std::string_view number) const;

 private:
  struct Entry {
    int64_t text;
    std::string digits;
  };
  // By the last kMinSignificantDigits digits, in text order.
  std::unordered_map<std::string, std::vector<Entry>> byTail_;
};

}  // namespace orbanix
