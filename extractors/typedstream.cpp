#include "extractors/typedstream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace orbanix {

namespace {

constexpr uint8_t kInt16 = 0x81;
constexpr uint8_t kInt32 = 0x82;
constexpr uint8_t kNew = 0x84;
constexpr uint8_t kNil = 0x85;
constexpr uint8_t kEndObject = 0x86;
constexpr uint8_t kFirstReference = 0x92;
// Class chains deeper than this are not archives of this system's data.
constexpr int kMaxClassDepth = 32;

class TypedStreamReader {
 public:
  explicit TypedStreamReader(std::string_view data) : data_(data) {}

  bool Header() {
    uint8_t version = 0;
    if (!Byte(version) || (version != 3 && version != 4)) return false;
    int64_t length = 0;
    if (!Integer(length) || length != 11) return false;
    std::string_view signature;
    if (!Bytes(11, signature) || signature != "streamtyped") return false;
    int64_t systemVersion = 0;
    return Integer(systemVersion);
  }

  bool Integer(int64_t& value) {
    uint8_t b = 0;
    if (!Byte(b)) return false;
    if (b == kInt16) {
      std::string_view raw;
      if (!Bytes(2, raw)) return false;
      value = static_cast<int16_t>(static_cast<uint8_t>(raw[0]) | (static_cast<uint8_t>(raw[1]) << 8));
      return true;
    }
    if (b == kInt32) {
      std::string_view raw;
      if (!Bytes(4, raw)) return false;
      uint32_t u = 0;
      for (int i = 3; i >= 0; --i) u = (u << 8) | static_cast<uint8_t>(raw[i]);
      value = static_cast<int32_t>(u);
      return true;
    }
    if (b >= 0x83 && b <= kEndObject) return false;  // a float or a tag where a number belongs
    value = static_cast<int8_t>(b);
    return true;
  }

  // A shared string: new (0x84, count, bytes) or a reference to one seen
  // before. The string is a view into the archive.
  bool SharedString(std::string_view& s) {
    uint8_t b = 0;
    if (!Byte(b)) return false;
    if (b == kNew) {
      int64_t length = 0;
      std::string_view bytes;
      if (!Integer(length) || length < 0 || !Bytes(static_cast<size_t>(length), bytes)) return false;
      strings_.push_back(bytes);
      s = bytes;
      return true;
    }
    if (b < kFirstReference) return false;
    const size_t index = b - kFirstReference;
    if (index >= strings_.size()) return false;
    s = strings_[index];
    return true;
  }

  // The start of an object (0x84) and its class chain; `chain` gets the
  // entry of its most derived class (kNoClass for a nil class).
  bool NewObject(size_t& chain) {
    uint8_t b = 0;
    if (!Byte(b) || b != kNew) return false;
    objects_.push_back({false, {}, kNoClass});
    return ClassChain(chain, 0);
  }

  // Whether the class chain that starts at entry `chain` (most derived
  // first, then each superclass) names `name`.
  bool ChainHas(size_t chain, std::string_view name) const {
    while (chain != kNoClass) {
      if (objects_[chain].name == name) return true;
      chain = objects_[chain].super;
    }
    return false;
  }

  bool Expect(uint8_t value) {
    uint8_t b = 0;
    return Byte(b) && b == value;
  }

  bool Bytes(size_t count, std::string_view& out) {
    if (count > data_.size() - pos_) return false;
    out = data_.substr(pos_, count);
    pos_ += count;
    return true;
  }

 private:
  static constexpr size_t kNoClass = static_cast<size_t>(-1);
  // An entry of the object table. A class is its name and the entry of its
  // superclass: its chain is itself followed by the superclass's chain.
  struct Entry {
    bool isClass;
    std::string_view name;
    size_t super;
    bool read = false;  // a class whose superclasses are still being read has no chain yet
  };

  bool Byte(uint8_t& b) {
    if (pos_ >= data_.size()) return false;
    b = static_cast<uint8_t>(data_[pos_++]);
    return true;
  }

  bool ClassChain(size_t& chain, int depth) {
    chain = kNoClass;
    if (depth > kMaxClassDepth) return false;
    uint8_t b = 0;
    if (!Byte(b)) return false;
    if (b == kNil) return true;
    if (b == kNew) {
      // The class takes its entry before its name and superclass are read.
      const size_t index = objects_.size();
      objects_.push_back({true, {}, kNoClass});
      std::string_view name;
      int64_t version = 0;
      if (!SharedString(name) || !Integer(version)) return false;
      size_t super = kNoClass;
      if (!ClassChain(super, depth + 1)) return false;
      objects_[index].name = name;
      objects_[index].super = super;
      objects_[index].read = true;
      chain = index;
      return true;
    }
    if (b < kFirstReference) return false;
    const size_t index = b - kFirstReference;
    if (index >= objects_.size() || !objects_[index].isClass) return false;
    // A class referred to from within its own superclasses adds nothing.
    if (objects_[index].read) chain = index;
    return true;
  }

  std::string_view data_;
  size_t pos_ = 0;
  std::vector<std::string_view> strings_;
  std::vector<Entry> objects_;
};

}  // namespace

bool ReadAttributedStringText(std::string_view blob, std::string& text) {
  TypedStreamReader r(blob);
  if (!r.Header()) return false;
  std::string_view type;
  size_t chain = 0;
  if (!r.SharedString(type) || type != "@") return false;
  if (!r.NewObject(chain) || !r.ChainHas(chain, "NSAttributedString")) return false;
  if (!r.SharedString(type) || type != "@") return false;
  if (!r.NewObject(chain) || !r.ChainHas(chain, "NSString")) return false;
  if (!r.SharedString(type) || type != "+") return false;
  int64_t length = 0;
  std::string_view bytes;
  if (!r.Integer(length) || length < 0 || !r.Bytes(static_cast<size_t>(length), bytes)) return false;
  if (!r.Expect(kEndObject)) return false;
  std::string valid = ValidUtf8(bytes);
  // U+FFFC stands for an attachment inside the text; the attachment itself is
  // delivered through the attachment tables.
  static constexpr std::string_view kObjectReplacement = "\xEF\xBF\xBC";
  for (size_t at = valid.find(kObjectReplacement); at != std::string::npos; at = valid.find(kObjectReplacement, at)) {
    valid.erase(at, kObjectReplacement.size());
  }
  text = std::move(valid);
  return true;
}

}  // namespace orbanix
