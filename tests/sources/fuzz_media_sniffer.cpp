// Fuzz target: the media sniffer over any bytes, at every length the
// detectors distinguish. A recognised buffer always gets a name with one of
// the table's extensions, and a prefix of 512 bytes answers like Sniff file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sources/media_sniffer.h"
#include "tools/backupgen/family_media.h"

extern "C" void OrbanixFuzzSeeds(std::vector<std::string>* seeds) {
  for (int k = 0; k < orbanix::gen::kMediaSampleCount; ++k) {
    seeds->push_back(orbanix::gen::MediaSampleBytes(static_cast<orbanix::gen::MediaSample>(k), 512, 3).substr(0, 600));
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using orbanix::MediaSniffer;
  // Each length is copied into a buffer of exactly that size, so that a
  // read past the length is a read past the allocation.
  for (size_t n : {size, size < 512 ? size : size_t{512}, size / 2, size_t{16}, size_t{9}, size_t{3}}) {
    if (n > size) continue;
    std::vector<uint8_t> exact(data, data + n);
    std::string name;
    int64_t counter = 5;
    if (MediaSniffer::SniffBuffer(exact.data(), exact.size(), name, counter) != 0) std::abort();
    const orbanix::MediaType type = MediaSniffer::Detect(exact.data(), exact.size());
    if (type == orbanix::MediaType::Unknown) {
      if (!name.empty() || counter != 5) std::abort();
    } else if (name != std::string("5.") + MediaSniffer::ExtensionOf(type) || counter != 6) {
      std::abort();
    }
  }
  return 0;
}
