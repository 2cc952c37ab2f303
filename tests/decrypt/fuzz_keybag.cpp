// Fuzz target: key bag bytes (from Manifest.plist, untrusted) through the
// parser and the unlocking, and the wrapped-key field splitter. Every input
// gives 0, 87 or -110; nothing is read past the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "decrypt/keybag.h"
#include "tools/backupgen/encrypt.h"

using namespace orbanix;
using namespace orbanix::decrypt;

extern "C" void OrbanixFuzzSeeds(std::vector<std::string>* seeds) {
  gen::EncryptionOptions options;
  options.iterations = 1;
  options.dpIterations = 1;
  seeds->push_back(gen::BackupKeys(options, false).KeyBag());
  seeds->push_back(gen::BackupKeys(options, true).KeyBag());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  KeyBag bag;
  const Status s = ParseKeyBag(bytes, bag);
  if (s != status::kOk && s != status::kBadData) std::abort();
  if (s == status::kOk) {
    if (bag.classes.empty()) std::abort();
    // Keep the derivation cheap whatever the mutated counts say.
    bag.iterations = 1;
    bag.dpIterations = 1;
    Key256 kek{};
    if (DeriveKeyEncryptionKey(bag, "password", kek) == status::kOk) {
      ClassKeys keys;
      const Status u = UnlockClassKeys(bag, kek, keys);
      if (u != status::kOk && u != status::kBadData && u != status::kWrongPassword) std::abort();
      Key256 key{};
      const Status w = UnwrapWithClassKey(keys, bytes.substr(0, std::min<size_t>(size, 44)), 4, key);
      if (w != status::kOk && w != status::kBadData && w != status::kWrongPassword) std::abort();
    }
  }
  return 0;
}
