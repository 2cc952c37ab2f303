// Names and paths of the recovery output.
//
// Every name that comes from a backup (contact names, addresses, chat
// titles, application names, media names) is untrusted: a backup can hold
// "../../x", "a/b", control characters or names longer than a file system
// allows. Such a name becomes a file or folder name only through
// SanitizeName, and every path the recovery writes is checked with
// IsInsideFolder against the folder the user chose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace orbanix {

namespace fs = std::filesystem;

// The longest sanitised name in bytes. File systems allow 255 bytes per name;
// this leaves room for "-" + ExportStamp, a "(n)" of UniqueOutputPath and an
// extension such as ".html".
inline constexpr size_t kMaxNameBytes = 200;

// One path component made from an untrusted name:
//   - invalid UTF-8 becomes U+FFFD;
//   - "/" and "\", control characters (below U+0020, U+007F, U+0080-U+009F)
//     and the characters Windows file systems refuse (< > : " | ? *) become "_";
//   - every ".." becomes "_" (so no part of the name can climb up);
//   - leading and trailing dots and blanks are trimmed;
//   - names Windows reserves for devices (CON, PRN, AUX, NUL, COM1-9,
//     LPT1-9, with or without an extension) get a leading "_";
//   - the result is cut at a code point boundary to at most `maxBytes`
//     bytes; with `keepExtension`, a short extension (".jpg") survives the cut;
//   - an empty result becomes "Unknown".
std::string SanitizeName(std::string_view name, bool keepExtension = false, size_t maxBytes = kMaxNameBytes);

// The path itself when nothing exists there; otherwise folder + stem + "(n)" +
// extension for the first n = 1, 2, 3, ... that is free ("IMG_0001.JPG",
// "IMG_0001(1).JPG", "IMG_0001(2).JPG"). The extension is what follows the
// last dot of the file name. Fails with 111 after 100,000 tries.
Status UniqueOutputPath(const fs::path& path, fs::path& unique);

// True when `path`, taken lexically (no link is followed), lies inside
// `folder` (and is not the folder itself).
bool IsInsideFolder(const fs::path& folder, const fs::path& path);

// The stamp that keeps the documents of different runs apart: local date and
// time as 14 digits "YYYYMMDDhhmmss".
std::string ExportStamp(int64_t unixSeconds);

// Labels of message conversations and WhatsApp chats (not yet sanitised).
//
// Messages: the folder name is the contact name, or "Unknown" when it is
// empty; the conversation label is that name + "(" + address + ")" when the
// address is not empty, else the name alone.
std::string MessageFolderName(std::string_view contactName);
std::string MessageConversationLabel(std::string_view contactName, std::string_view address);
// WhatsApp: partner name + "(" + partner number + ")" when the name is not
// empty, else the number alone; the chat title when the name holds a comma;
// "Unknown" when the result is empty.
std::string WhatsAppConversationLabel(std::string_view partnerName, std::string_view partnerAddress,
                                      std::string_view chatTitle);

// The text that names the other party of one message line: name + "(" +
// address + ")" when the name is neither empty nor "Unknown", else the
// address alone.
std::string PartyLabel(std::string_view name, std::string_view address);
// The name alone under the same rule (the sender of an HTML message block).
std::string PartyName(std::string_view name, std::string_view address);

}  // namespace orbanix
