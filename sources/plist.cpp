#include "sources/plist.h"

#include <fstream>
#include <iterator>
#include <system_error>

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

PlistDoc PlistDoc::Parse(const std::string& bytes) {
  if (bytes.size() < 8 || bytes.size() > UINT32_MAX) return {};
  plist_t root = nullptr;
  if (bytes.compare(0, 8, "bplist00") == 0) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else if (bytes.find("<plist") != std::string::npos || bytes.find("<?xml") != std::string::npos) {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  return PlistDoc(root);
}

PlistDoc PlistDoc::Load(const std::filesystem::path& path, std::string* error, uintmax_t maxBytes) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    if (error) *error = ec.message();
    return {};
  }
  if (size > maxBytes) {
    if (error) *error = "file too large (" + std::to_string(size) + " bytes)";
    return {};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot be read";
    return {};
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  PlistDoc doc = Parse(bytes);
  if (!doc && error) *error = "not a property list";
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
