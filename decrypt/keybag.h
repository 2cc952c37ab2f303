// The backup key bag (Manifest.plist's BackupKeyBag) and its unlocking.
//
// Format: a sequence of TLV entries, each
//
//   offset  size  meaning
//   0       4     tag, four ASCII letters ("VERS", "SALT", ...)
//   4       4     length of the value, big-endian
//   8       len   value; a 4-byte value is a big-endian integer
//
// The entries before the second "UUID" are the header: VERS, TYPE, UUID,
// HMCK, WRAP, SALT, ITER and, on newer devices, DPWT, DPIC, DPSL. Every
// later "UUID" opens one class record holding CLAS (protection class),
// WRAP (bit 2: wrapped with the password-derived key), KTYP (0 AES,
// 1 Curve25519), WPKY (the wrapped class key, 40 bytes) and PBKY. Unknown
// tags are kept as attributes of the header.
//
// Unlocking: KEK = PBKDF2-HMAC-SHA1(password, SALT, ITER, 32), preceded by
// PBKDF2-HMAC-SHA256(password, DPSL, DPIC, 32) as the password when the key
// bag has DPSL and DPIC. Each password-wrapped class key is unwrapped with
// the KEK; an integrity failure means a wrong password (there is no stored
// password hash).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "decrypt/crypto.h"
#include "platform/status.h"

namespace orbanix::decrypt {

inline constexpr uint32_t kWrapPasscode = 2;

// The highest iteration count accepted for either derivation. Devices use
// 10,000 (SHA-1) and 10,000,000 (SHA-256); a count beyond twice that is
// damage, and would keep the derivation busy for hours.
inline constexpr uint32_t kMaxKeyBagIterations = 20000000;

struct KeyBagClass {
  std::string uuid;
  uint32_t protectionClass = 0;
  bool hasClass = false;
  uint32_t wrap = 0;
  uint32_t keyType = 0;
  std::string wrappedKey;  // WPKY
  std::string publicKey;   // PBKY
};

struct KeyBag {
  uint32_t version = 0;
  uint32_t type = 0;
  std::string uuid;
  std::string hmck;
  uint32_t wrap = 0;
  std::string salt;
  uint32_t iterations = 0;
  bool hasDoubleProtection = false;  // DPSL and DPIC present
  std::string dpSalt;
  uint32_t dpIterations = 0;
  uint32_t dpWrap = 0;
  std::map<std::string, std::string> attributes;  // other header tags, raw
  std::vector<KeyBagClass> classes;
};

// 87 when an entry runs past the end (a truncated key bag), when SALT or
// ITER is missing, or when there is no class record at all.
Status ParseKeyBag(std::string_view bytes, KeyBag& out);

// The password-derived key-encryption key; the slow part, done once per run.
// 87 for an iteration count of 0 or above kMaxKeyBagIterations.
Status DeriveKeyEncryptionKey(const KeyBag& bag, std::string_view password, Key256& kek);

// The unwrapped 32-byte class keys by protection class.
using ClassKeys = std::map<uint32_t, Key256>;

// Unwraps every password-wrapped AES class key. kWrongPassword when all of
// them fail their integrity check; 87 when only some do (a damaged key bag)
// or when the key bag wraps no class with the password. Classes wrapped only with the device key, and asymmetric
// classes, are skipped.
Status UnlockClassKeys(const KeyBag& bag, const Key256& kek, ClassKeys& keys);

// Unwraps a "class + wrapped key" field with a class key: that of
// `protectionClass` (the record's own class) when it is unlocked, else that
// of the field's 4-byte prefix (they agree in every backup seen). 87 when
// the field is malformed or no such class is unlocked; kWrongPassword when
// the unwrap fails its integrity check (a damaged key).
Status UnwrapWithClassKey(const ClassKeys& keys, std::string_view field, uint32_t protectionClass,
                          Key256& key);

}  // namespace orbanix::decrypt
