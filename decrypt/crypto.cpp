#include "decrypt/crypto.h"

#include <openssl/evp.h>

#include <cstring>
#include <vector>

namespace orbanix::decrypt {

Status Pbkdf2(Prf prf, std::string_view password, std::string_view salt, uint32_t iterations, Key256& out) {
  if (iterations == 0 || iterations > static_cast<uint32_t>(INT32_MAX)) return status::kBadData;
  const EVP_MD* md = prf == Prf::Sha1 ? EVP_sha1() : EVP_sha256();
  const int ok = PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                                   reinterpret_cast<const unsigned char*>(salt.data()),
                                   static_cast<int>(salt.size()), static_cast<int>(iterations), md,
                                   static_cast<int>(out.size()), out.data());
  return ok == 1 ? status::kOk : status::kBadData;
}

Status AesKeyUnwrap(const Key256& kek, std::string_view wrapped, std::string& key) {
  if (wrapped.size() < 24 || wrapped.size() % 8 != 0) return status::kBadData;
  const size_t n = wrapped.size() / 8 - 1;
  uint8_t a[8];
  std::memcpy(a, wrapped.data(), 8);
  std::vector<uint8_t> r(wrapped.begin() + 8, wrapped.end());

  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return status::kBadData;
  if (EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, kek.data(), nullptr) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return status::kBadData;
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  // Six rounds backwards over the blocks: B = AES-1(K, (A ^ t) | R[i]),
  // A = high half of B, R[i] = low half, with t = n * j + i.
  bool ok = true;
  for (int j = 5; j >= 0 && ok; --j) {
    for (size_t i = n; i >= 1; --i) {
      const uint64_t t = static_cast<uint64_t>(n) * static_cast<uint64_t>(j) + i;
      uint8_t block[16];
      std::memcpy(block, a, 8);
      for (int b = 0; b < 8; ++b) block[7 - b] ^= static_cast<uint8_t>(t >> (8 * b));
      std::memcpy(block + 8, &r[(i - 1) * 8], 8);
      uint8_t plain[32];
      int len = 0;
      if (EVP_DecryptUpdate(ctx, plain, &len, block, 16) != 1 || len != 16) {
        ok = false;
        break;
      }
      std::memcpy(a, plain, 8);
      std::memcpy(&r[(i - 1) * 8], plain + 8, 8);
    }
  }
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return status::kBadData;
  static const uint8_t kIntegrity[8] = {0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xA6};
  if (std::memcmp(a, kIntegrity, 8) != 0) return status::kWrongPassword;
  key.assign(reinterpret_cast<const char*>(r.data()), r.size());
  return status::kOk;
}

CbcDecryptor::CbcDecryptor() : ctx_(EVP_CIPHER_CTX_new()) {}

CbcDecryptor::~CbcDecryptor() { EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(ctx_)); }

Status CbcDecryptor::Start(const Key256& key) {
  auto* ctx = static_cast<EVP_CIPHER_CTX*>(ctx_);
  if (!ctx) return status::kBadData;
  static const uint8_t kZeroIv[16] = {};
  fed_ = 0;
  // libcrypto's own padding handling holds back the last block and checks
  // PKCS#7 in the final call, which is exactly the rule of the format.
  if (EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), kZeroIv) != 1) return status::kBadData;
  EVP_CIPHER_CTX_set_padding(ctx, 1);
  return status::kOk;
}

Status CbcDecryptor::Update(const uint8_t* in, size_t size, uint8_t* out, size_t& written) {
  written = 0;
  auto* ctx = static_cast<EVP_CIPHER_CTX*>(ctx_);
  // EVP takes int lengths; feed very large buffers in slices.
  constexpr size_t kSlice = 1u << 30;
  while (size > 0) {
    const size_t slice = size < kSlice ? size : kSlice;
    int len = 0;
    if (EVP_DecryptUpdate(ctx, out + written, &len, in, static_cast<int>(slice)) != 1) return status::kBadData;
    written += static_cast<size_t>(len);
    in += slice;
    size -= slice;
    fed_ += slice;
  }
  return status::kOk;
}

Status CbcDecryptor::Finish(uint8_t* out, size_t& written) {
  written = 0;
  if (fed_ == 0 || fed_ % 16 != 0) return status::kBadData;
  int len = 0;
  if (EVP_DecryptFinal_ex(static_cast<EVP_CIPHER_CTX*>(ctx_), out, &len) != 1) return status::kBadData;
  written = static_cast<size_t>(len);
  return status::kOk;
}

Status SplitWrappedKey(std::string_view field, WrappedKey& out) {
  if (field.size() < 4 + 24 || (field.size() - 4) % 8 != 0) return status::kBadData;
  const auto* p = reinterpret_cast<const uint8_t*>(field.data());
  out.protectionClass = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                        static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  out.wrapped.assign(field.substr(4));
  return status::kOk;
}

}  // namespace orbanix::decrypt
