// Digests written as lowercase hexadecimal: SHA-1 names the stored files of
// a backup (and device paths), MD5 names the per-friend tables of a chat
// application.
#pragma once

#include <string>
#include <string_view>

namespace orbanix {

std::string Sha1Hex(std::string_view data);
std::string Md5Hex(std::string_view data);

}  // namespace orbanix
