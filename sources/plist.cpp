#include "sources/plist.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "platform/safe_file.h"

namespace orbanix {

PlistDoc& PlistDoc::operator=(PlistDoc&& other) noexcept {
  if (this != &other) {
    if (root_) plist_free(root_);
    root_ = other.root_;
    other.root_ = nullptr;
  }
  return *this;
}

PlistDoc::~PlistDoc() {
  if (root_) plist_free(root_);
}

namespace {

bool Refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return false;
}

std::string TooDeep(size_t limit) { return "nested more than " + std::to_string(limit) + " levels deep"; }

// XML: the open and close tags of arrays and dictionaries, counted.
bool XmlNestingWithin(std::string_view bytes, size_t limit, std::string* why) {
  size_t depth = 0;
  for (size_t at = bytes.find('<'); at != std::string_view::npos; at = bytes.find('<', at + 1)) {
    const std::string_view rest = bytes.substr(at + 1);
    const bool closing = !rest.empty() && rest[0] == '/';
    const std::string_view name = rest.substr(closing ? 1 : 0);
    const bool container = name.starts_with("dict") || name.starts_with("array");
    if (!container) continue;
    const size_t length = name.starts_with("dict") ? 4 : 5;
    const char after = name.size() > length ? name[length] : '>';
    if (after != '>' && after != '/' && after != ' ' && after != '\t' && after != '\r' && after != '\n') continue;
    if (closing) {
      if (depth > 0) --depth;
      continue;
    }
    // "<dict/>" opens nothing.
    const size_t end = name.find('>');
    if (end != std::string_view::npos && end > 0 && name[end - 1] == '/') continue;
    if (++depth > limit) return Refuse(why, TooDeep(limit));
  }
  return true;
}

uint64_t BigEndian(std::string_view bytes, size_t at, size_t size) {
  uint64_t v = 0;
  for (size_t i = 0; i < size; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

// Binary: the objects form a graph through their references; the longest
// path from the top object through arrays, sets and dictionaries is the
// nesting. Walked with a stack of its own, each object once.
bool BinaryNestingWithin(std::string_view bytes, size_t limit, std::string* why) {
  constexpr size_t kHeader = 8, kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer) return Refuse(why, "a binary property list too short for its trailer");
  const size_t trailer = bytes.size() - kTrailer;
  const size_t offsetSize = static_cast<uint8_t>(bytes[trailer + 6]);
  const size_t refSize = static_cast<uint8_t>(bytes[trailer + 7]);
  const uint64_t count = BigEndian(bytes, trailer + 8, 8);
  const uint64_t top = BigEndian(bytes, trailer + 16, 8);
  const uint64_t table = BigEndian(bytes, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || count == 0 || top >= count ||
      count > bytes.size() || table >= trailer || (trailer - table) / offsetSize < count) {
    return Refuse(why, "a binary property list with a damaged trailer");
  }
  auto offsetOf = [&](uint64_t object) { return BigEndian(bytes, table + object * offsetSize, offsetSize); };
  // The references an object holds: where they start and how many.
  auto children = [&](uint64_t object, size_t& first, uint64_t& n) -> bool {
    n = 0;
    const uint64_t at = offsetOf(object);
    if (at < kHeader || at >= table) return false;
    const uint8_t marker = static_cast<uint8_t>(bytes[at]);
    const uint8_t kind = marker >> 4;
    if (kind != 0xA && kind != 0xC && kind != 0xD) return true;  // not a container
    uint64_t length = marker & 0x0F;
    size_t pos = at + 1;
    if (length == 0x0F) {
      if (pos >= table) return false;
      const uint8_t intMarker = static_cast<uint8_t>(bytes[pos]);
      const size_t intSize = size_t{1} << (intMarker & 0x0F);
      if ((intMarker >> 4) != 1 || intSize > 8 || pos + 1 + intSize > table) return false;
      length = BigEndian(bytes, pos + 1, intSize);
      pos += 1 + intSize;
    }
    const uint64_t refs = kind == 0xD ? 2 * length : length;
    if (length > bytes.size() || refs > (table - pos) / refSize) return false;
    first = pos;
    n = refs;
    return true;
  };
  enum : uint8_t { kNew, kOpen, kDone };
  std::vector<uint8_t> state(count, kNew);
  std::vector<uint32_t> depth(count, 0);  // of the deepest path below a finished object
  struct Frame {
    uint64_t object;
    size_t first;
    uint64_t n, next;
  };
  std::vector<Frame> stack;
  auto enter = [&](uint64_t object) -> bool {
    Frame f{object, 0, 0, 0};
    if (!children(object, f.first, f.n)) return Refuse(why, "a binary property list with a damaged object");
    state[object] = kOpen;
    stack.push_back(f);
    if (stack.size() > limit + 1) return Refuse(why, TooDeep(limit));
    return true;
  };
  if (!enter(top)) return false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.n) {
      uint32_t below = 0;
      for (uint64_t i = 0; i < f.n; ++i) {
        const uint64_t child = BigEndian(bytes, f.first + i * refSize, refSize);
        below = std::max(below, depth[child] + 1);
      }
      depth[f.object] = below;
      state[f.object] = kDone;
      stack.pop_back();
      continue;
    }
    const uint64_t child = BigEndian(bytes, f.first + f.next * refSize, refSize);
    ++f.next;
    if (child >= count) return Refuse(why, "a binary property list refers to an object it does not hold");
    if (state[child] == kOpen) return Refuse(why, "a binary property list whose objects contain themselves");
    if (state[child] == kNew && !enter(child)) return false;
    if (state[child] == kDone && stack.size() + depth[child] > limit) return Refuse(why, TooDeep(limit));
  }
  if (depth[top] > limit) return Refuse(why, TooDeep(limit));
  return true;
}

}  // namespace

bool PlistNestingWithin(std::string_view bytes, size_t limit, std::string* why) {
  if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") return BinaryNestingWithin(bytes, limit, why);
  return XmlNestingWithin(bytes, limit, why);
}

PlistDoc PlistDoc::Parse(const std::string& bytes, std::string* error) {
  if (bytes.size() < 8 || bytes.size() > UINT32_MAX) return {};
  if (!PlistNestingWithin(bytes, kMaxPlistDepth, error)) return {};
  plist_t root = nullptr;
  if (bytes.compare(0, 8, "bplist00") == 0) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else if (bytes.find("<plist") != std::string::npos || bytes.find("<?xml") != std::string::npos) {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  return PlistDoc(root);
}

PlistDoc PlistDoc::Load(const std::filesystem::path& path, std::string* error, uintmax_t maxBytes) {
  // Only a regular file of the backup itself: no FIFO to wait on, no link
  // to follow out of the folder.
  std::string reason;
  uint64_t size = 0;
  const int fd = OpenStoredFile(path, {}, &reason, nullptr, &size);
  if (fd < 0) {
    if (error) *error = reason;
    return {};
  }
  if (size > maxBytes) {
    ::close(fd);
    if (error) *error = "file too large (" + std::to_string(size) + " bytes)";
    return {};
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      if (error) *error = std::strerror(e);
      return {};
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  std::string why;
  PlistDoc doc = Parse(bytes, &why);
  if (!doc && error) *error = why.empty() ? "not a property list" : "not a usable property list: " + why;
  return doc;
}

plist_t PlistDoc::Get(const char* key) const {
  if (!root_ || plist_get_node_type(root_) != PLIST_DICT) return nullptr;
  return plist_dict_get_item(root_, key);
}

std::optional<std::string> PlistString(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t len = 0;
  const char* p = plist_get_string_ptr(node, &len);
  if (!p) return std::string();
  return std::string(p, len);
}

std::optional<std::string> PlistData(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  uint64_t len = 0;
  const char* p = plist_get_data_ptr(node, &len);
  if (!p) return std::string();
  return std::string(p, len);
}

std::optional<bool> PlistBool(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) return std::nullopt;
  uint8_t v = 0;
  plist_get_bool_val(node, &v);
  return v != 0;
}

std::optional<uint64_t> PlistUInt(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t v = 0;
  plist_get_uint_val(node, &v);
  return v;
}

std::optional<int64_t> PlistDateUnix(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DATE) return std::nullopt;
  int32_t sec = 0, usec = 0;
  plist_get_date_val(node, &sec, &usec);
  return static_cast<int64_t>(sec) + kAppleEpochOffset;
}

}  // namespace orbanix
