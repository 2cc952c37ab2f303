// Key derivation, key unwrap, streaming CBC and the key bag, checked against
// published test vectors and against libcrypto's own wrap and encryption as
// used by the generator.
#include <gtest/gtest.h>

#include <random>

#include "decrypt/crypto.h"
#include "decrypt/keybag.h"
#include "platform/text.h"
#include "tools/backupgen/encrypt.h"

using namespace orbanix;
using namespace orbanix::decrypt;

namespace {

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

Key256 KeyOf(const std::string& bytes) {
  Key256 k{};
  std::copy(bytes.begin(), bytes.begin() + 32, k.begin());
  return k;
}

std::string Str(const Key256& k) { return std::string(reinterpret_cast<const char*>(k.data()), k.size()); }

}  // namespace

TEST(Pbkdf2, PublishedVectors) {
  Key256 out{};
  // RFC 6070: the first 20 bytes do not depend on the output length.
  ASSERT_EQ(Pbkdf2(Prf::Sha1, "password", "salt", 2, out), 0);
  EXPECT_EQ(HexLower(out.data(), 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  ASSERT_EQ(Pbkdf2(Prf::Sha256, "password", "salt", 1, out), 0);
  EXPECT_EQ(HexLower(out.data(), 32), "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  EXPECT_EQ(Pbkdf2(Prf::Sha1, "password", "salt", 0, out), status::kBadData);
}

TEST(AesKeyUnwrap, Rfc3394VectorIntegrityAndLengths) {
  // RFC 3394 4.6: 256 bits of key data with a 256-bit KEK.
  const Key256 kek = KeyOf(Unhex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"));
  const std::string wrapped =
      Unhex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
  std::string key;
  ASSERT_EQ(AesKeyUnwrap(kek, wrapped, key), 0);
  EXPECT_EQ(HexLower(key), "00112233445566778899aabbccddeeff000102030405060708090a0b0c0d0e0f");

  std::string damaged = wrapped;
  damaged[20] ^= 1;
  EXPECT_EQ(AesKeyUnwrap(kek, damaged, key), status::kWrongPassword);
  Key256 otherKek = kek;
  otherKek[0] ^= 0x80;
  EXPECT_EQ(AesKeyUnwrap(otherKek, wrapped, key), status::kWrongPassword);
  EXPECT_EQ(AesKeyUnwrap(kek, wrapped.substr(0, 39), key), status::kBadData);
  EXPECT_EQ(AesKeyUnwrap(kek, wrapped.substr(0, 16), key), status::kBadData);

  // libcrypto's wrap (the generator's) and our unwrap agree.
  for (int i = 0; i < 20; ++i) {
    const std::string k = gen::RandomBytes(32), plainKey = gen::RandomBytes(32);
    ASSERT_EQ(AesKeyUnwrap(KeyOf(k), gen::WrapKey(k, plainKey), key), 0);
    EXPECT_EQ(key, plainKey);
  }
}

TEST(CbcDecryptor, AnyLengthAnySplitAndBadInput) {
  std::mt19937 rng(7);
  const std::string keyBytes = gen::RandomBytes(32);
  const Key256 key = KeyOf(keyBytes);
  for (size_t length : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 1000u, 4099u}) {
    std::string plain(length, '\0');
    for (char& c : plain) c = static_cast<char>(rng());
    const std::string cipher = gen::EncryptCbc(keyBytes, plain);
    ASSERT_EQ(cipher.size() % 16, 0u);
    for (size_t piece : {1u, 7u, 16u, 33u, 5000u}) {
      CbcDecryptor d;
      ASSERT_EQ(d.Start(key), 0);
      std::string out;
      std::vector<uint8_t> buf(piece + 32);
      for (size_t at = 0; at < cipher.size(); at += piece) {
        const size_t n = std::min(piece, cipher.size() - at);
        size_t w = 0;
        ASSERT_EQ(d.Update(reinterpret_cast<const uint8_t*>(cipher.data()) + at, n, buf.data(), w), 0);
        out.append(reinterpret_cast<char*>(buf.data()), w);
      }
      size_t w = 0;
      ASSERT_EQ(d.Finish(buf.data(), w), 0) << length << " in pieces of " << piece;
      out.append(reinterpret_cast<char*>(buf.data()), w);
      EXPECT_EQ(out, plain) << length << " in pieces of " << piece;
    }
  }
  // A partial last block and a wrong key (wrong padding) are refused.
  const std::string cipher = gen::EncryptCbc(keyBytes, std::string(40, 'x'));
  std::vector<uint8_t> buf(128);
  size_t w = 0;
  CbcDecryptor partial;
  partial.Start(key);
  partial.Update(reinterpret_cast<const uint8_t*>(cipher.data()), cipher.size() - 3, buf.data(), w);
  EXPECT_EQ(partial.Finish(buf.data(), w), status::kBadData);
  Key256 wrong = key;
  wrong[5] ^= 1;
  int refused = 0;
  for (int i = 0; i < 8; ++i) {
    // A wrong key gives valid-looking padding only by chance (about 1 in 256).
    const std::string c = gen::EncryptCbc(keyBytes, gen::RandomBytes(40));
    CbcDecryptor d;
    d.Start(wrong);
    d.Update(reinterpret_cast<const uint8_t*>(c.data()), c.size(), buf.data(), w);
    refused += d.Finish(buf.data(), w) == status::kBadData;
  }
  EXPECT_GE(refused, 6);
  CbcDecryptor empty;
  empty.Start(key);
  EXPECT_EQ(empty.Finish(buf.data(), w), status::kBadData);
}

TEST(KeyBag, ParseUnlockBothDerivationsAndWrongPassword) {
  for (bool twoStages : {false, true}) {
    gen::EncryptionOptions options;
    options.password = "pass word \xC3\xBC";
    options.iterations = 3;
    options.dpIterations = 5;
    gen::BackupKeys keys(options, twoStages);
    KeyBag bag;
    ASSERT_EQ(ParseKeyBag(keys.KeyBag(), bag), 0);
    EXPECT_EQ(bag.type, 1u);
    EXPECT_EQ(bag.salt.size(), 20u);
    EXPECT_EQ(bag.iterations, 3u);
    EXPECT_EQ(bag.hasDoubleProtection, twoStages);
    if (twoStages) {
      EXPECT_EQ(bag.dpIterations, 5u);
    }
    ASSERT_EQ(bag.classes.size(), 11u);
    EXPECT_EQ(bag.classes[3].protectionClass, 4u);
    EXPECT_EQ(bag.classes[3].wrappedKey.size(), 40u);
    EXPECT_EQ(bag.uuid.size(), 16u);  // the header's UUID, not a class's

    Key256 kek{};
    ASSERT_EQ(DeriveKeyEncryptionKey(bag, options.password, kek), 0);
    ClassKeys classKeys;
    ASSERT_EQ(UnlockClassKeys(bag, kek, classKeys), 0);
    ASSERT_EQ(classKeys.size(), 11u);
    for (uint32_t c = 1; c <= 11; ++c) EXPECT_EQ(Str(classKeys.at(c)), keys.ClassKey(c));

    Key256 manifestKey{};
    ASSERT_EQ(UnwrapWithClassKey(classKeys, keys.ManifestKeyField(), 0, manifestKey), 0);
    EXPECT_EQ(Str(manifestKey), keys.ManifestDbKey());

    ASSERT_EQ(DeriveKeyEncryptionKey(bag, "pass word \xC3\xBD", kek), 0);
    EXPECT_EQ(UnlockClassKeys(bag, kek, classKeys), status::kWrongPassword);
  }
}

TEST(KeyBag, TruncatedAndDamagedBagsAreRefusedWithoutReadingPast) {
  gen::EncryptionOptions options;
  options.iterations = 1;
  gen::BackupKeys keys(options, true);
  const std::string& full = keys.KeyBag();
  // Every cut inside the header, and every cut inside an entry, is refused.
  const size_t firstClass = full.find("CLAS") - 24;  // the class record's UUID entry
  for (size_t cut = 0; cut < full.size(); ++cut) {
    KeyBag bag;
    const Status s = ParseKeyBag(std::string_view(full).substr(0, cut), bag);
    if (cut <= firstClass) {
      EXPECT_EQ(s, status::kBadData) << cut;
    }
    if (s == status::kOk) {
      EXPECT_FALSE(bag.classes.empty());
    }
  }
  // A length field larger than what follows.
  std::string bad = full;
  bad[4] = '\x7F';
  KeyBag bag;
  EXPECT_EQ(ParseKeyBag(bad, bag), status::kBadData);

  // Classes wrapped only with the device key cannot be unlocked with a
  // password: no usable class at all is a damaged bag, not a wrong password.
  KeyBag parsed;
  ASSERT_EQ(ParseKeyBag(full, parsed), 0);
  for (auto& c : parsed.classes) c.wrap = 1;
  Key256 kek{};
  ClassKeys classKeys;
  EXPECT_EQ(UnlockClassKeys(parsed, kek, classKeys), status::kBadData);
}

// Damage in a key bag is told apart from a wrong password: one class key
// that does not unwrap while the others do is damage; iteration counts of
// 0 or far beyond any device's are refused before deriving anything.
TEST(KeyBag, DamageIsNotAWrongPassword) {
  gen::EncryptionOptions options;
  options.iterations = 2;
  options.dpIterations = 3;
  gen::BackupKeys keys(options, true);
  KeyBag bag;
  ASSERT_EQ(ParseKeyBag(keys.KeyBag(), bag), 0);
  Key256 kek{};
  ASSERT_EQ(DeriveKeyEncryptionKey(bag, options.password, kek), 0);
  bag.classes[2].wrappedKey[9] ^= 0x40;
  ClassKeys classKeys;
  EXPECT_EQ(UnlockClassKeys(bag, kek, classKeys), status::kBadData);
  EXPECT_TRUE(classKeys.empty());  // nothing half unlocked is handed out

  for (uint32_t iterations : {0u, kMaxKeyBagIterations + 1, 0xFFFFFFFFu}) {
    KeyBag sha1 = bag, sha256 = bag;
    sha1.iterations = iterations;
    sha256.dpIterations = iterations;
    EXPECT_EQ(DeriveKeyEncryptionKey(sha1, options.password, kek), status::kBadData) << iterations;
    EXPECT_EQ(DeriveKeyEncryptionKey(sha256, options.password, kek), status::kBadData) << iterations;
  }
}

TEST(WrappedKeyField, LittleEndianClassAndRecordClassFirst) {
  gen::EncryptionOptions options;
  options.iterations = 1;
  gen::BackupKeys keys(options, false);
  KeyBag bag;
  ASSERT_EQ(ParseKeyBag(keys.KeyBag(), bag), 0);
  Key256 kek{};
  ASSERT_EQ(DeriveKeyEncryptionKey(bag, options.password, kek), 0);
  ClassKeys classKeys;
  ASSERT_EQ(UnlockClassKeys(bag, kek, classKeys), 0);

  const std::string fileKey = gen::RandomBytes(32);
  const std::string field = keys.WrapWithClass(3, fileKey);
  ASSERT_EQ(field.size(), 44u);
  EXPECT_EQ(field.substr(0, 4), std::string("\x03\x00\x00\x00", 4));
  Key256 out{};
  ASSERT_EQ(UnwrapWithClassKey(classKeys, field, 3, out), 0);
  EXPECT_EQ(Str(out), fileKey);
  // The record's class (when unlocked) is the one used.
  EXPECT_EQ(UnwrapWithClassKey(classKeys, field, 4, out), status::kWrongPassword);
  // Record class unknown: the prefix decides.
  ASSERT_EQ(UnwrapWithClassKey(classKeys, field, 99, out), 0);
  EXPECT_EQ(UnwrapWithClassKey(classKeys, field.substr(0, 20), 3, out), status::kBadData);
  classKeys.erase(3);
  EXPECT_EQ(UnwrapWithClassKey(classKeys, field, 3, out), status::kBadData);
}
