#include "device/service_messages.h"

#include <cstdlib>

#include "sources/plist.h"

namespace orbanix::device {

std::string FrameMessage(plist_t message) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(message, &xml, &length);
  std::string framed;
  framed.reserve(4 + length);
  framed.push_back(static_cast<char>((length >> 24) & 0xFF));
  framed.push_back(static_cast<char>((length >> 16) & 0xFF));
  framed.push_back(static_cast<char>((length >> 8) & 0xFF));
  framed.push_back(static_cast<char>(length & 0xFF));
  if (xml) framed.append(xml, length);
  free(xml);
  return framed;
}

bool SendMessage(ServiceConnection& connection, plist_t message) {
  const std::string framed = FrameMessage(message);
  return connection.Send(framed.data(), framed.size());
}

bool ReceiveExactly(ServiceConnection& connection, char* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const int64_t n = connection.Receive(data + got, size - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveMessageBytes(ServiceConnection& connection, std::string& bytes) {
  unsigned char head[4];
  if (!ReceiveExactly(connection, reinterpret_cast<char*>(head), 4)) return false;
  const uint32_t length = (uint32_t{head[0]} << 24) | (uint32_t{head[1]} << 16) | (uint32_t{head[2]} << 8) | head[3];
  if (length > kMaxServiceMessage) return false;
  bytes.assign(length, '\0');
  return ReceiveExactly(connection, bytes.data(), length);
}

plist_t ReceiveMessage(ServiceConnection& connection) {
  std::string bytes;
  if (!ReceiveMessageBytes(connection, bytes) || bytes.empty()) return nullptr;
  if (!PlistNestingWithin(bytes)) return nullptr;  // deep enough to overflow the parser's stack
  plist_t root = nullptr;
  if (bytes.size() >= 8 && bytes.compare(0, 8, "bplist00") == 0) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  }
  return root;
}

}  // namespace orbanix::device
