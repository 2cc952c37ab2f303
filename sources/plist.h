// Property lists (Info.plist, Manifest.plist, Status.plist, the archived file
// properties of Manifest.db) read with libplist, XML or binary alike.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orbanix {

// Seconds between the Unix epoch and Apple's 2001-01-01 00:00:00 UTC.
inline constexpr int64_t kAppleEpochOffset = 978307200;

// The deepest nesting of arrays and dictionaries a property list may have.
// Real ones go a few levels deep; the parser recurses once per level, so a
// hostile list nested tens of thousands of levels deep would overflow the
// stack.
inline constexpr size_t kMaxPlistDepth = 512;

// A cheap look at the bytes before they are parsed: true when an XML or
// binary property list nests at most `limit` levels (and, for a binary one,
// its objects refer to one another without a cycle). `why` says why not.
// Bytes that are neither kind pass (the parser refuses them itself).
bool PlistNestingWithin(std::string_view bytes, size_t limit = kMaxPlistDepth, std::string* why = nullptr);

// Owns one parsed property list.
class PlistDoc {
 public:
  PlistDoc() = default;
  explicit PlistDoc(plist_t root) : root_(root) {}
  PlistDoc(PlistDoc&& other) noexcept : root_(other.root_) { other.root_ = nullptr; }
  PlistDoc& operator=(PlistDoc&& other) noexcept;
  PlistDoc(const PlistDoc&) = delete;
  PlistDoc& operator=(const PlistDoc&) = delete;
  ~PlistDoc();

  // Parses XML or binary bytes; an empty document when they are neither
  // or nest too deeply (`error` says why).
  static PlistDoc Parse(const std::string& bytes, std::string* error = nullptr);
  // Reads and parses a file of at most `maxBytes`. `error` says why not.
  static PlistDoc Load(const std::filesystem::path& path, std::string* error = nullptr,
                       uintmax_t maxBytes = 8u << 20);

  explicit operator bool() const { return root_ != nullptr; }
  plist_t root() const { return root_; }
  // A value of the root dictionary, or nullptr.
  plist_t Get(const char* key) const;

 private:
  plist_t root_ = nullptr;
};

std::optional<std::string> PlistString(plist_t node);
std::optional<std::string> PlistData(plist_t node);
std::optional<bool> PlistBool(plist_t node);
std::optional<uint64_t> PlistUInt(plist_t node);
// A date node as Unix seconds.
std::optional<int64_t> PlistDateUnix(plist_t node);

}  // namespace orbanix
