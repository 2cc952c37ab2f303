// Status codes shared by every operation of the core.
//
// Operations return a 32-bit status, 0 for success. The values are the
// system's own: where a failed system call is the cause, its errno passes
// through unchanged (ENOENT is 2, the same number as "cancelled", which is
// why a cancel is always recognised by the cancel flag, never by the value).
#pragma once

#include <cstdint>

namespace orbanix {

using Status = int32_t;

namespace status {
inline constexpr Status kOk = 0;
inline constexpr Status kCancelled = 2;          // a progress callback asked to stop
inline constexpr Status kShortRead = 30;         // a read ended before its length
inline constexpr Status kBadData = 87;           // bad data, missing file or bad argument
inline constexpr Status kNameTooLong = 111;      // a name does not fit its buffer
inline constexpr Status kWhatsAppSchema = 1006;  // the WhatsApp schema query failed
inline constexpr Status kDamagedTree = 1010;     // pages of a table's B-tree are damaged; the rest was read
inline constexpr Status kManifestOpen = 6009;    // the manifest cannot be opened
inline constexpr Status kCannotOpen = -1;        // the source cannot be opened at all
inline constexpr Status kWrongPassword = -110;   // the backup password is wrong
}  // namespace status

}  // namespace orbanix
