// The text of an NSAttributedString archived as a typedstream (NSArchiver),
// the form in which newer message databases keep a message body in the
// "attributedBody" column.
//
// Layout of such an archive (little-endian):
//
//   04                    stream version
//   0B "streamtyped"      signature with its length
//   81 E8 03              system version (an integer: 1000)
//   84 01 "@"             type encoding of the root value: an object
//   84                    new object
//     84 84 12 "NSAttributedString" 00     its class: new class, new shared
//                                          string (the name), version
//     84 84 08 "NSObject" 00               superclass, and so on
//     85                                   nil ends the class chain
//     92                  type "@" again (reference to shared string 0)
//     84 [class chain of NSString] ...      the string object
//       84 01 "+"         type encoding: counted bytes
//       <count> <UTF-8 bytes>
//     86                  end of the string object
//     ...                 attribute runs and dictionaries (not read)
//
// Values: an integer is one signed byte, 0x81 + int16, or 0x82 + int32.
// 0x84 introduces something new, 0x85 is nil, 0x86 ends an object, and a
// byte from 0x92 up refers to entry (byte - 0x92) of the shared-string table
// or of the object table (objects and classes share one table, in the order
// they appear; a new object takes its entry before its class).
#pragma once

#include <string>
#include <string_view>

namespace orbanix {

// Parses the archive and returns true with the archived string as UTF-8
// when `blob` is a typedstream whose root object is an NSAttributedString
// (or a subclass) holding an NSString (or a subclass). Object replacement
// characters (U+FFFC, which mark attachments inside the text) are removed.
// False for anything else, including a string whose bytes leave the blob.
bool ReadAttributedStringText(std::string_view blob, std::string& text);

}  // namespace orbanix
