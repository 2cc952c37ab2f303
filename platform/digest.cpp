#include "platform/digest.h"

#include <openssl/evp.h>

#include "platform/text.h"

namespace orbanix {

namespace {
std::string DigestHex(const EVP_MD* md, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  return HexLower(out, len);
}
}  // namespace

std::string Sha1Hex(std::string_view data) { return DigestHex(EVP_sha1(), data); }
std::string Md5Hex(std::string_view data) { return DigestHex(EVP_md5(), data); }

}  // namespace orbanix
