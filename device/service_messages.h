// The messages of the property-list services (file relay, installation
// listing, container vending): each is a 4-byte big-endian length followed
// by that many bytes of an XML property list.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <string>

#include "device/device_binding.h"

namespace orbanix::device {

// The largest message accepted from a phone; a longer length is a broken
// stream, not a reason to allocate gigabytes.
inline constexpr uint32_t kMaxServiceMessage = 64u << 20;

// The framed bytes of a property list (XML form).
std::string FrameMessage(plist_t message);

// Sends one message; false when the connection failed.
bool SendMessage(ServiceConnection& connection, plist_t message);

// Receives exactly `size` bytes; false when the stream ends or fails first.
bool ReceiveExactly(ServiceConnection& connection, char* data, size_t size);

// Reads one framed message's bytes (without the length); false when the
// connection fails, ends early or announces more than kMaxServiceMessage.
bool ReceiveMessageBytes(ServiceConnection& connection, std::string& bytes);

// Reads one framed message and parses it (XML or binary); null when it
// cannot be read or parsed. The caller frees the result.
plist_t ReceiveMessage(ServiceConnection& connection);

}  // namespace orbanix::device
