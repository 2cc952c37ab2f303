// Encrypted synthetic backups: the key bag, the wrapped keys and the
// enciphered files, made with libcrypto's own AES key wrap and CBC
// encryption (the reading side in decrypt/ has its own unwrap, so a round
// trip checks one against the other).
//
//   password --PBKDF2-HMAC-SHA256(DPSL, DPIC)--> (newer key bags only)
//            --PBKDF2-HMAC-SHA1(SALT, ITER)-->   key-encryption key
//   class key  (one per protection class 1-11)   wrapped with that key
//   file key   (one per stored file)             wrapped with its class key,
//              stored as 4-byte little-endian class + 40 wrapped bytes
//   file data  AES-256-CBC, zero IV, PKCS#7 padding
//   Manifest.db  the same cipher with the key of ManifestKey (class 4)
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace orbanix::gen {

namespace fs = std::filesystem;

enum class KeyDerivation {
  ByEra,      // Manifest.mbdb era: SHA-1 only; Manifest.db era: both stages
  Sha1Only,   // iOS 4 to 10.1
  Double,     // iOS 10.2 and later: DPSL/DPIC in the key bag
};

struct EncryptionOptions {
  std::string password = "password";
  uint32_t iterations = 16;    // ITER (real backups: 10,000)
  uint32_t dpIterations = 16;  // DPIC (real backups: 10,000,000)
  KeyDerivation derivation = KeyDerivation::ByEra;
  bool encryptManifestDb = true;  // false: no ManifestKey, Manifest.db plain (iOS 10.0, 10.1)
  // Stored files left as they are and written without a key.
  std::vector<std::string> plainHashedNames;
};

// Random bytes from libcrypto.
std::string RandomBytes(size_t count);

// PBKDF2 key of 32 bytes; sha256 selects the hash.
std::string Pbkdf2Key(const std::string& password, const std::string& salt, uint32_t iterations, bool sha256);

// RFC 3394 wrap of a 32-byte key with a 32-byte key-encryption key: 40 bytes.
std::string WrapKey(const std::string& kek, const std::string& key);

// AES-256-CBC with a zero IV and PKCS#7 padding.
std::string EncryptCbc(const std::string& key, const std::string& plain);

// Enciphers a file in place (streamed through a temporary file).
bool EncryptFileInPlace(const fs::path& path, const std::string& key, std::string* error = nullptr);

// The keys of one encrypted backup.
class BackupKeys {
 public:
  BackupKeys(const EncryptionOptions& options, bool doubleDerivation);

  // The BackupKeyBag of Manifest.plist.
  const std::string& KeyBag() const { return keyBag_; }
  // 4-byte little-endian class + the wrapped key.
  std::string WrapWithClass(uint32_t protectionClass, const std::string& key) const;
  // ManifestKey of Manifest.plist and the key it wraps.
  const std::string& ManifestKeyField() const { return manifestKeyField_; }
  const std::string& ManifestDbKey() const { return manifestDbKey_; }
  const std::string& ClassKey(uint32_t protectionClass) const { return classKeys_.at(protectionClass); }

 private:
  std::map<uint32_t, std::string> classKeys_;
  std::string keyBag_;
  std::string manifestDbKey_;
  std::string manifestKeyField_;
};

}  // namespace orbanix::gen
