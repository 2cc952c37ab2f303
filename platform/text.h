// Text helpers: every text the system holds is UTF-8 in a std::string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orbanix {

// Validates UTF-8: every invalid or overlong sequence, surrogate or code
// point above U+10FFFF becomes U+FFFD. Decoders that reject U+FFFD rely on it.
std::string ValidUtf8(std::string_view bytes);

// True when the text holds U+FFFD or an embedded zero byte.
bool HasReplacementOrZero(std::string_view utf8);

// Number of code points of valid UTF-8 text.
size_t CodePointCount(std::string_view utf8);

// UTF-16 (little or big endian) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, uint32_t codePoint);

// Lowercase hexadecimal digits, two per byte ("%02x").
std::string HexLower(const uint8_t* data, size_t size);
inline std::string HexLower(std::string_view bytes) {
  return HexLower(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// ASCII-only case folding and comparison (file signatures, header texts).
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
std::string AsciiLower(std::string_view text);

std::string_view TrimBlanks(std::string_view text);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orbanix

namespace orbanix {
// Unix seconds as local time "YYYY-MM-DD hh:mm:ss" (the computer's zone,
// daylight saving included). Empty when the time cannot be represented.
std::string FormatLocalDateTime(int64_t unixSeconds);
}  // namespace orbanix
