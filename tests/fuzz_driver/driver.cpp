// A standalone driver for the fuzz targets, so that every build (GCC with
// AddressSanitizer included) runs each target on a bounded stream of inputs:
// random bytes, the target's seed inputs, and mutations of those seeds (bit
// flips, byte overwrites with boundary values, truncation, insertion,
// splicing). Deterministic: the same iteration count gives the same inputs.
//
//   <target> [ITERATIONS] [FILE...]   files are replayed before the stream
//
// A target defines LLVMFuzzerTestOneInput and may define OrbanixFuzzSeeds to
// hand over well-formed inputs worth mutating. With clang and
// -DORBANIX_FUZZ=ON the same target source links against libFuzzer instead.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) void OrbanixFuzzSeeds(std::vector<std::string>* seeds);

namespace {

void Run(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

std::string Mutate(const std::string& seed, const std::vector<std::string>& seeds, std::mt19937_64& rng) {
  std::string s = seed;
  const int edits = 1 + static_cast<int>(rng() % 8);
  static const uint8_t kBoundary[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xFE, 0x0D, 0x05, 0x02, 0x0A};
  for (int e = 0; e < edits; ++e) {
    const size_t n = s.size();
    switch (rng() % 6) {
      case 0:
        if (n) s[rng() % n] ^= static_cast<char>(1u << (rng() % 8));
        break;
      case 1:
        if (n) s[rng() % n] = static_cast<char>(kBoundary[rng() % sizeof kBoundary]);
        break;
      case 2:
        if (n) s.resize(rng() % n);
        break;
      case 3: {
        const size_t pos = n ? rng() % n : 0;
        s.insert(pos, std::string(1 + rng() % 8, static_cast<char>(rng())));
        break;
      }
      case 4:
        if (n >= 2) {  // a 16- or 32-bit field set to a large value
          const size_t pos = rng() % (n - 1);
          s[pos] = static_cast<char>(0xFF);
          s[pos + 1] = static_cast<char>(rng());
        }
        break;
      default:
        if (!seeds.empty() && n) {
          const std::string& other = seeds[rng() % seeds.size()];
          if (!other.empty()) {
            const size_t from = rng() % other.size();
            const size_t len = std::min<size_t>(other.size() - from, 1 + rng() % 64);
            s.replace(rng() % n, std::min(len, n), other.substr(from, len));
          }
        }
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  long iterations = 2000;
  if (argc > 1) iterations = std::strtol(argv[1], nullptr, 10);
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    Run(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  std::vector<std::string> seeds;
  if (OrbanixFuzzSeeds) OrbanixFuzzSeeds(&seeds);
  for (const std::string& s : seeds) Run(s);
  std::mt19937_64 rng(0x0DBA1u);
  for (long i = 0; i < iterations; ++i) {
    if (seeds.empty() || rng() % 8 == 0) {
      std::string random(rng() % 4096, '\0');
      for (char& c : random) c = static_cast<char>(rng());
      Run(random);
    } else {
      Run(Mutate(seeds[rng() % seeds.size()], seeds, rng));
    }
  }
  std::printf("%ld inputs without a fault\n", iterations + static_cast<long>(seeds.size()));
  return 0;
}
