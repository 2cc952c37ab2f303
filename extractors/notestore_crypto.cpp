#include "extractors/notestore_crypto.h"

#include <openssl/evp.h>

#include <memory>

namespace orbanix {

namespace {

// Far above what the Notes app uses (tens of thousands); a larger count on
// a row is damage, and would hold the program for minutes per try.
constexpr int64_t kMaxIterations = 2'000'000;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// RFC 3394 unwrap of a 16-byte key; false when the integrity check fails.
bool UnwrapKey(const unsigned char kek[16], const std::string& wrapped, unsigned char key[16]) {
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx) return false;
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_wrap(), nullptr, kek, nullptr) != 1) return false;
  unsigned char out[32];
  int len = 0;
  if (EVP_DecryptUpdate(ctx.get(), out, &len, Bytes(wrapped), static_cast<int>(wrapped.size())) != 1) return false;
  int tail = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), out + len, &tail) != 1) return false;
  if (len + tail != 16) return false;
  std::copy(out, out + 16, key);
  return true;
}

bool OpenGcm(const unsigned char key[16], const LockedNoteData& d, std::string& plain) {
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx) return false;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) != 1) return false;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(d.iv.size()), nullptr) != 1) return false;
  if (EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, Bytes(d.iv)) != 1) return false;
  plain.assign(d.data.size() + 16, '\0');
  int len = 0;
  if (!d.data.empty() &&
      EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &len, Bytes(d.data),
                        static_cast<int>(d.data.size())) != 1) {
    return false;
  }
  std::string tag = d.tag;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()), tag.data()) != 1) return false;
  int tail = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + len, &tail) != 1) {
    plain.clear();
    return false;
  }
  plain.resize(static_cast<size_t>(len + tail));
  return true;
}

}  // namespace

bool LockedWithPasscode(const LockedNoteData& d) {
  return d.iterations == 0 && d.wrappedKey.size() == 16;
}

Status OpenLockedNoteBody(const LockedNoteData& d, const std::string& password, std::string& plain) {
  plain.clear();
  if (LockedWithPasscode(d)) return kLockedWithPasscode;
  if (d.salt.empty() || d.salt.size() > 1024 || d.iterations <= 0 || d.iterations > kMaxIterations ||
      d.wrappedKey.size() != 24 || d.iv.empty() || d.iv.size() > 256 || d.tag.size() < 12 || d.tag.size() > 16 ||
      d.data.size() > static_cast<size_t>(INT32_MAX) - 32) {
    return status::kBadData;
  }
  unsigned char kek[16];
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), Bytes(d.salt),
                        static_cast<int>(d.salt.size()), static_cast<int>(d.iterations), EVP_sha256(), sizeof kek,
                        kek) != 1) {
    return status::kBadData;
  }
  unsigned char key[16];
  const bool unwrapped = UnwrapKey(kek, d.wrappedKey, key);
  OPENSSL_cleanse(kek, sizeof kek);
  if (!unwrapped) return status::kWrongPassword;
  const bool opened = OpenGcm(key, d, plain);
  OPENSSL_cleanse(key, sizeof key);
  return opened ? status::kOk : status::kBadData;
}

Status UnlockNote(NoteRecord& note, const std::string& password) {
  if (note.lock != NoteLock::kLocked || !note.locked) return status::kOk;
  const LockedNoteData& d = *note.locked;
  std::string gz;
  const Status st = OpenLockedNoteBody(d, password, gz);
  if (st != status::kOk) return st;
  const auto namer = [&d](const NoteBodyAttachment& a) {
    for (const auto& [att, words] : d.attachmentWords) {
      if (att.identifier == a.identifier) return words;
    }
    return std::string();
  };
  NoteBodyText body = DecodeNoteBody(gz, namer);
  OPENSSL_cleanse(gz.data(), gz.size());
  if (body.text.empty() && !body.complete) return status::kBadData;
  note.body = std::move(body.text);
  note.attachments = d.attachments;
  note.lock = NoteLock::kUnlocked;
  note.locked.reset();
  return status::kOk;
}

UnlockCounts UnlockNotes(std::vector<NoteRecord>& notes, const std::string& password) {
  UnlockCounts counts;
  for (NoteRecord& n : notes) {
    if (n.lock != NoteLock::kLocked) continue;
    const Status st = UnlockNote(n, password);
    if (st == status::kOk) ++counts.unlocked;
    else if (st == status::kWrongPassword) ++counts.wrongPassword;
    else if (st == kLockedWithPasscode) ++counts.passcode;
    else ++counts.damaged;
  }
  return counts;
}

}  // namespace orbanix
