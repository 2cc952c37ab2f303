#include "tools/backupgen/encrypt.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fstream>
#include <stdexcept>

namespace orbanix::gen {

namespace {

void PutTag(std::string& out, const char* tag, const std::string& value) {
  out.append(tag, 4);
  const uint32_t n = static_cast<uint32_t>(value.size());
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(n >> s));
  out += value;
}

std::string U32(uint32_t v) {
  std::string out;
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
  return out;
}

struct CipherCtx {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

const unsigned char kZeroIv[16] = {};

}  // namespace

std::string RandomBytes(size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1)
    throw std::runtime_error("no random bytes");
  return out;
}

std::string Pbkdf2Key(const std::string& password, const std::string& salt, uint32_t iterations, bool sha256) {
  std::string out(32, '\0');
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                        static_cast<int>(iterations), sha256 ? EVP_sha256() : EVP_sha1(), 32,
                        reinterpret_cast<unsigned char*>(out.data())) != 1)
    throw std::runtime_error("PBKDF2 failed");
  return out;
}

std::string WrapKey(const std::string& kek, const std::string& key) {
  CipherCtx c;
  EVP_CIPHER_CTX_set_flags(c.ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_EncryptInit_ex(c.ctx, EVP_aes_256_wrap(), nullptr, reinterpret_cast<const unsigned char*>(kek.data()),
                         nullptr) != 1)
    throw std::runtime_error("key wrap init failed");
  std::string out(key.size() + 16, '\0');
  int len = 0, fin = 0;
  if (EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                        reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size())) != 1 ||
      EVP_EncryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &fin) != 1)
    throw std::runtime_error("key wrap failed");
  out.resize(static_cast<size_t>(len + fin));
  return out;
}

std::string EncryptCbc(const std::string& key, const std::string& plain) {
  CipherCtx c;
  if (EVP_EncryptInit_ex(c.ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                         kZeroIv) != 1)
    throw std::runtime_error("cipher init failed");
  std::string out(plain.size() + 16, '\0');
  int len = 0, fin = 0;
  EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                    reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &fin);
  out.resize(static_cast<size_t>(len + fin));
  return out;
}

bool EncryptFileInPlace(const fs::path& path, const std::string& key, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path.string() + ": " + why;
    return false;
  };
  fs::path temp = path;
  temp += ".enc";
  {
    std::ifstream in(path, std::ios::binary);
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!in || !out) return fail("cannot open");
    CipherCtx c;
    if (EVP_EncryptInit_ex(c.ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                           kZeroIv) != 1)
      return fail("cipher init failed");
    std::string inBuf(1 << 20, '\0'), outBuf((1 << 20) + 32, '\0');
    for (;;) {
      in.read(inBuf.data(), static_cast<std::streamsize>(inBuf.size()));
      const std::streamsize got = in.gcount();
      if (got <= 0) break;
      int len = 0;
      EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(outBuf.data()), &len,
                        reinterpret_cast<const unsigned char*>(inBuf.data()), static_cast<int>(got));
      out.write(outBuf.data(), len);
    }
    int fin = 0;
    EVP_EncryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(outBuf.data()), &fin);
    out.write(outBuf.data(), fin);
    if (!out) return fail("cannot write");
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) return fail("cannot rename: " + ec.message());
  return true;
}

BackupKeys::BackupKeys(const EncryptionOptions& options, bool doubleDerivation) {
  const std::string salt = RandomBytes(20);
  const std::string dpSalt = RandomBytes(20);
  std::string kek;
  if (doubleDerivation) {
    kek = Pbkdf2Key(Pbkdf2Key(options.password, dpSalt, options.dpIterations, true), salt, options.iterations, false);
  } else {
    kek = Pbkdf2Key(options.password, salt, options.iterations, false);
  }
  PutTag(keyBag_, "VERS", U32(doubleDerivation ? 4 : 3));
  PutTag(keyBag_, "TYPE", U32(1));  // backup key bag
  PutTag(keyBag_, "UUID", RandomBytes(16));
  PutTag(keyBag_, "HMCK", RandomBytes(40));
  PutTag(keyBag_, "WRAP", U32(0));
  PutTag(keyBag_, "SALT", salt);
  PutTag(keyBag_, "ITER", U32(options.iterations));
  if (doubleDerivation) {
    PutTag(keyBag_, "DPWT", U32(1));
    PutTag(keyBag_, "DPIC", U32(options.dpIterations));
    PutTag(keyBag_, "DPSL", dpSalt);
  }
  for (uint32_t cls = 1; cls <= 11; ++cls) {
    const std::string key = RandomBytes(32);
    classKeys_[cls] = key;
    PutTag(keyBag_, "UUID", RandomBytes(16));
    PutTag(keyBag_, "CLAS", U32(cls));
    PutTag(keyBag_, "WRAP", U32(2));  // wrapped with the password-derived key
    PutTag(keyBag_, "KTYP", U32(0));
    PutTag(keyBag_, "WPKY", WrapKey(kek, key));
  }
  manifestDbKey_ = RandomBytes(32);
  manifestKeyField_ = WrapWithClass(4, manifestDbKey_);
}

std::string BackupKeys::WrapWithClass(uint32_t protectionClass, const std::string& key) const {
  std::string out;
  for (int s = 0; s < 32; s += 8) out.push_back(static_cast<char>(protectionClass >> s));
  return out + WrapKey(classKeys_.at(protectionClass), key);
}

}  // namespace orbanix::gen
