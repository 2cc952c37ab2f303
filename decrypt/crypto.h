// The cryptographic building blocks of encrypted backups, over libcrypto.
//
//   PBKDF2-HMAC-SHA1 / -SHA256   turns the backup password into the key that
//                                unwraps the key bag's class keys
//   AES key unwrap (RFC 3394)    40 wrapped bytes -> 32-byte key; the 64-bit
//                                integrity value A6A6A6A6A6A6A6A6 tells a right
//                                key-encryption key from a wrong one
//   AES-256-CBC, zero IV         the stored files and Manifest.db, PKCS#7
//                                padded; deciphered in chunks so memory does
//                                not grow with the file
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace orbanix::decrypt {

using Key256 = std::array<uint8_t, 32>;

enum class Prf { Sha1, Sha256 };

// PBKDF2 with the given hash; 32 bytes out. 87 when `iterations` is 0 or
// libcrypto refuses.
Status Pbkdf2(Prf prf, std::string_view password, std::string_view salt, uint32_t iterations, Key256& out);

// RFC 3394 unwrap with a 256-bit key-encryption key. `wrapped` must be a
// whole number of 64-bit blocks, at least three. The unwrapped key is
// wrapped.size() - 8 bytes. Returns 0, kWrongPassword when the integrity
// value does not match (a wrong key-encryption key), 87 on a bad length.
Status AesKeyUnwrap(const Key256& kek, std::string_view wrapped, std::string& key);

// Streaming AES-256-CBC decryption with a zero IV and PKCS#7 padding.
//
// Update may be fed any number of bytes at a time; the cipher state carries
// over from call to call. The last block is held back until Finish, which
// checks the padding (1-16 bytes, all equal to their count).
class CbcDecryptor {
 public:
  CbcDecryptor();
  ~CbcDecryptor();
  CbcDecryptor(const CbcDecryptor&) = delete;
  CbcDecryptor& operator=(const CbcDecryptor&) = delete;

  Status Start(const Key256& key);
  // Deciphers `size` bytes into `out`, which must hold size + 16 bytes.
  Status Update(const uint8_t* in, size_t size, uint8_t* out, size_t& written);
  // The last plaintext bytes (at most 16) into `out`. 87 when the input was
  // not a multiple of 16 bytes or the padding is wrong.
  Status Finish(uint8_t* out, size_t& written);

 private:
  void* ctx_ = nullptr;  // EVP_CIPHER_CTX
  uint64_t fed_ = 0;
};

// A 4-byte little-endian protection class followed by the 40 wrapped bytes:
// the form of a file's EncryptionKey and of ManifestKey.
struct WrappedKey {
  uint32_t protectionClass = 0;
  std::string wrapped;
};
// 87 when the field is shorter than 4 + 24 bytes or the rest is not whole
// 64-bit blocks.
Status SplitWrappedKey(std::string_view field, WrappedKey& out);

}  // namespace orbanix::decrypt
