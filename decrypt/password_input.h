// Getting a backup password on the command line without it ever appearing
// on a command line: from a file (--password-file) or typed at a terminal
// with echo off.
#pragma once

#include <filesystem>
#include <string>

#include "platform/status.h"

namespace orbanix::decrypt {

// The first line of `path`: a UTF-8 byte-order mark at its start and the
// line break (LF or CR LF) are removed; nothing else is trimmed, so blanks
// at either end are part of the password. An empty file is an empty
// password. errno when the file cannot be read; 87 when it is not a plain
// file or larger than 64 KiB (not a password file).
Status ReadPasswordFile(const std::filesystem::path& path, std::string& password);

// Asks for the password on the controlling terminal (/dev/tty) with echo
// off, writing `prompt` there first and a line break after the answer; the
// terminal's settings are restored even when reading fails. ENXIO (or the
// errno of opening /dev/tty) when there is no terminal; 2 when the input
// ends before a line does (Ctrl-D).
Status PromptPasswordHidden(const std::string& prompt, std::string& password);

}  // namespace orbanix::decrypt
