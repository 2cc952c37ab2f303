// Appending integers to a byte string in either byte order: the media
// samples and the encoders write file headers (JPEG, PNG, RIFF, QuickTime,
// ...) with them.
#pragma once

#include <cstdint>
#include <string>

namespace orbanix::gen {

inline void Be16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v));
}
inline void Be32(std::string& s, uint32_t v) {
  for (int k = 24; k >= 0; k -= 8) s.push_back(static_cast<char>(v >> k));
}
inline void Le16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v));
  s.push_back(static_cast<char>(v >> 8));
}
inline void Le32(std::string& s, uint32_t v) {
  for (int k = 0; k <= 24; k += 8) s.push_back(static_cast<char>(v >> k));
}
inline void Le64(std::string& s, uint64_t v) {
  for (int k = 0; k <= 56; k += 8) s.push_back(static_cast<char>(v >> k));
}

}  // namespace orbanix::gen
