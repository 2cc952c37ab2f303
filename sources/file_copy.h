// Copies out of a data source: the preview copy of a media file under a
// fixed name in the data folder, a copy into the recovery folder with
// percent progress, and the chat exports. Both sources (backup and device)
// copy this way.
#pragma once

#include <filesystem>

#include "platform/status.h"
#include "sources/media_scan.h"
#include "sources/recovery_source.h"

namespace orbanix {

// Sniffs `source` and copies it to dataFolder/"tmp.jpg", "tmp.wav" or
// "tmp.avi" by its kind (replacing an earlier copy), in 64 KiB chunks with a
// percent report after each and a final report of 100. `copy` is empty and
// the result 0 for a kind no preview shows; 87 for an unrecognised or
// unopenable file; the callback's non-zero answer stops the copy.
Status CopyForPreviewTo(const std::filesystem::path& dataFolder, const std::filesystem::path& source,
                        std::filesystem::path& copy, ProgressCallback callback, void* user);

// Copies `source` to `destination` (its folder created) in 64 KiB chunks,
// under a temporary name that becomes `destination` only when the copy is
// whole. A missing source, one that is not a regular file (a link, a FIFO,
// a folder), one outside `root` when that is given, or an unopenable
// destination reports (100, 87) once and answers 87; an empty source gives
// 0 without a report; a failed read, write or final close ends with that
// errno (30 for a source that ends early) and is never reported done; the
// callback's non-zero answer stops the copy. Nothing is left under either
// name after a failure or a stop.
Status CopyFileWithProgress(const std::filesystem::path& source, const std::filesystem::path& destination,
                            CopyCallback callback, void* user, const std::filesystem::path& root = {});

// The chat exports of both sources: one chat as a UTF-8 text file (see
// ExportChatText), its progress reported through the copy callback. A chat
// that is not there gives an empty file and 0.
Status ExportWhatsAppChatTo(const WhatsAppChatMap& chats, int chatKey, const std::filesystem::path& output,
                            CopyCallback callback, void* user);
Status ExportPeerChatTo(const ChatAccountMap& accounts, const std::string& account, const std::string& chat,
                        const std::filesystem::path& output, CopyCallback callback, void* user);

}  // namespace orbanix
