#include "cli/commands.h"
#include "platform/text.h"

namespace orbanix::cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : ValidUtf8(text)) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) out += Format("\\u%04x", c);
        else out.push_back(static_cast<char>(c));
    }
  }
  out += '"';
  return out;
}

}  // namespace orbanix::cli
