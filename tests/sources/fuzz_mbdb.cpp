// Fuzz target: Manifest.mbdb bytes through both record readers. Every
// input must give 0 or 87 and the two readers must agree on the records
// they keep.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sources/file_index.h"

namespace {

void PutString(std::string& out, const std::string& s, bool null = false) {
  const uint16_t len = null ? 0xFFFF : static_cast<uint16_t>(s.size());
  out.push_back(static_cast<char>(len >> 8));
  out.push_back(static_cast<char>(len));
  if (!null) out += s;
}

std::string Record(const std::string& domain, const std::string& path, uint16_t mode, int properties) {
  std::string r;
  PutString(r, domain);
  PutString(r, path, path.empty());
  PutString(r, "", true);
  PutString(r, std::string(20, '\x11'));
  PutString(r, std::string(44, '\x04'));
  r.push_back(static_cast<char>(mode >> 8));
  r.push_back(static_cast<char>(mode));
  r += std::string(36, '\x01');
  r.push_back(4);
  r.push_back(static_cast<char>(properties));
  for (int i = 0; i < properties; ++i) {
    PutString(r, "name" + std::to_string(i));
    PutString(r, "value");
  }
  return r;
}

}  // namespace

extern "C" void OrbanixFuzzSeeds(std::vector<std::string>* seeds) {
  const std::string header("mbdb\x05\x00", 6);
  seeds->push_back(header);
  seeds->push_back(header + Record("HomeDomain", "Library/SMS/sms.db", 0x81A4, 0) +
                   Record("HomeDomain", "Library", 0x41ED, 0) + Record("HomeDomain", "Link", 0xA1ED, 2) +
                   Record("MediaDomain", "", 0x81A4, 1));
  seeds->push_back(header + Record("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", 0x81A4, 3));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<orbanix::BackupFileEntry> index;
  std::vector<orbanix::MbdbRecord> records;
  const orbanix::Status a = orbanix::ParseMbdbIndex(bytes, index);
  const orbanix::Status b = orbanix::ParseMbdbRecords(bytes, records);
  if ((a != 0 && a != 87) || a != b) std::abort();
  size_t kept = 0;
  for (const orbanix::MbdbRecord& r : records) {
    if (r.domain.empty() || r.path.empty() || r.IsDirectory()) continue;
    if (kept >= index.size() || index[kept].key != r.Key() || index[kept].hashedName.size() != 40) std::abort();
    ++kept;
  }
  if (kept != index.size()) std::abort();
  return 0;
}
