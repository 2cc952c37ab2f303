#include "decrypt/keybag.h"

#include <cstring>

namespace orbanix::decrypt {

namespace {

uint32_t BigEndian32(std::string_view v) {
  const auto* p = reinterpret_cast<const uint8_t*>(v.data());
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// A 4-byte value as an integer; other lengths give 0 (never read past).
uint32_t IntValue(std::string_view v) { return v.size() == 4 ? BigEndian32(v) : 0; }

}  // namespace

Status ParseKeyBag(std::string_view bytes, KeyBag& out) {
  KeyBag bag;
  bool haveUuid = false, haveWrap = false, haveSalt = false, haveIter = false, haveDpsl = false,
       haveDpic = false;
  KeyBagClass* current = nullptr;
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 8) return status::kBadData;
    const std::string tag(bytes.substr(pos, 4));
    const uint32_t length = BigEndian32(bytes.substr(pos + 4, 4));
    pos += 8;
    if (length > bytes.size() - pos) return status::kBadData;
    const std::string_view value = bytes.substr(pos, length);
    pos += length;

    if (tag == "UUID") {
      if (!haveUuid) {
        bag.uuid.assign(value);
        haveUuid = true;
      } else {
        bag.classes.emplace_back();
        current = &bag.classes.back();
        current->uuid.assign(value);
      }
      continue;
    }
    if (current) {
      if (tag == "CLAS") {
        current->protectionClass = IntValue(value);
        current->hasClass = value.size() == 4;
        continue;
      }
      if (tag == "WRAP") { current->wrap = IntValue(value); continue; }
      if (tag == "KTYP") { current->keyType = IntValue(value); continue; }
      if (tag == "WPKY") { current->wrappedKey.assign(value); continue; }
      if (tag == "PBKY") { current->publicKey.assign(value); continue; }
    }
    // Header tags: the first occurrence counts.
    if (tag == "VERS") bag.version = IntValue(value);
    else if (tag == "TYPE") bag.type = IntValue(value);
    else if (tag == "HMCK") bag.hmck.assign(value);
    else if (tag == "WRAP" && !haveWrap) { bag.wrap = IntValue(value); haveWrap = true; }
    else if (tag == "SALT" && !haveSalt) { bag.salt.assign(value); haveSalt = true; }
    else if (tag == "ITER" && !haveIter) { bag.iterations = IntValue(value); haveIter = value.size() == 4; }
    else if (tag == "DPSL" && !haveDpsl) { bag.dpSalt.assign(value); haveDpsl = true; }
    else if (tag == "DPIC" && !haveDpic) { bag.dpIterations = IntValue(value); haveDpic = value.size() == 4; }
    else if (tag == "DPWT") bag.dpWrap = IntValue(value);
    else bag.attributes.emplace(tag, std::string(value));
  }
  if (!haveSalt || !haveIter || bag.classes.empty()) return status::kBadData;
  bag.hasDoubleProtection = haveDpsl && haveDpic;
  out = std::move(bag);
  return status::kOk;
}

Status DeriveKeyEncryptionKey(const KeyBag& bag, std::string_view password, Key256& kek) {
  // A damaged count would otherwise keep the derivation busy for hours.
  if (bag.iterations == 0 || bag.iterations > kMaxKeyBagIterations) return status::kBadData;
  if (bag.hasDoubleProtection && (bag.dpIterations == 0 || bag.dpIterations > kMaxKeyBagIterations)) {
    return status::kBadData;
  }
  if (!bag.hasDoubleProtection) return Pbkdf2(Prf::Sha1, password, bag.salt, bag.iterations, kek);
  Key256 first{};
  if (Status s = Pbkdf2(Prf::Sha256, password, bag.dpSalt, bag.dpIterations, first); s != status::kOk)
    return s;
  const std::string_view firstBytes(reinterpret_cast<const char*>(first.data()), first.size());
  const Status s = Pbkdf2(Prf::Sha1, firstBytes, bag.salt, bag.iterations, kek);
  std::memset(first.data(), 0, first.size());
  return s;
}

Status UnlockClassKeys(const KeyBag& bag, const Key256& kek, ClassKeys& keys) {
  ClassKeys found;
  bool anyPasswordWrapped = false;
  size_t failedIntegrity = 0;
  for (const KeyBagClass& c : bag.classes) {
    if (!c.hasClass || !(c.wrap & kWrapPasscode) || c.wrappedKey.empty()) continue;
    if (c.keyType != 0) continue;  // asymmetric class keys are not file keys we can use here
    anyPasswordWrapped = true;
    std::string key;
    const Status s = AesKeyUnwrap(kek, c.wrappedKey, key);
    if (s == status::kWrongPassword) {
      ++failedIntegrity;
      continue;
    }
    if (s != status::kOk || key.size() != 32) return status::kBadData;
    Key256 k{};
    std::memcpy(k.data(), key.data(), 32);
    found[c.protectionClass] = k;
  }
  if (!anyPasswordWrapped) return status::kBadData;
  // A wrong password fails every class key; some failing while others
  // unwrap is a damaged key bag.
  if (failedIntegrity > 0) return found.empty() ? status::kWrongPassword : status::kBadData;
  keys = std::move(found);
  return status::kOk;
}

Status UnwrapWithClassKey(const ClassKeys& keys, std::string_view field, uint32_t protectionClass,
                          Key256& key) {
  WrappedKey split;
  if (Status s = SplitWrappedKey(field, split); s != status::kOk) return s;
  auto it = keys.find(protectionClass);
  if (it == keys.end()) it = keys.find(split.protectionClass);
  if (it == keys.end()) return status::kBadData;
  std::string raw;
  if (Status s = AesKeyUnwrap(it->second, split.wrapped, raw); s != status::kOk) return s;
  if (raw.size() != 32) return status::kBadData;
  std::memcpy(key.data(), raw.data(), 32);
  return status::kOk;
}

}  // namespace orbanix::decrypt
