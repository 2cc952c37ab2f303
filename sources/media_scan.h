// Media collection over the file index: photos of the Camera Roll and the
// Photo Stream, message attachments, the media of installed applications
// and the WhatsApp attachments among them.
//
// Each operation makes one pass over the whole index. A candidate is chosen
// by a substring of its key, its stored file (ResolveStoredPath) must exist,
// and it must be recognised by the media sniffer; only its first 512 bytes
// are read and nothing is copied. After each index entry the operation
// reports progress and stops at once with the callback's answer when that
// is not 0 (what was collected so far stays in the lists). Finished lists
// are sorted by name, case-insensitively and stably. The stored files of the
// candidates are opened on two threads; the reports and the lists are those
// of one pass in index order.
//
// The operations append to the lists they are given and never clear them;
// sorting touches only what the call appended.
#pragma once

#include "platform/problems.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/photos.h"
#include "extractors/scan_progress.h"
#include "platform/status.h"
#include "platform/text.h"
#include "sources/file_index.h"

namespace orbanix {

// Camera Roll, Photo Stream and WhatsApp attachments.
struct MediaItem {
  uint64_t size = 0;  // of the stored file
  std::string name;
  std::filesystem::path path;  // the stored file
  // Camera Roll items that the photo library knows (extractors/photos.h):
  // deleted 1 for one in the phone's "Recently Deleted" album, with the
  // time it went there; the time it was taken.
  int deleted = 0;
  std::string date{};
  std::string trashedDate{};
};

// Message attachments.
struct AttachmentFile {
  uint32_t reserved = 0;  // always 0
  uint64_t size = 0;
  std::string name;
  std::filesystem::path path;
};

// Photos and videos of installed applications.
struct AppMediaItem {
  uint64_t size = 0;
  std::string appName;
  std::string name;
  std::filesystem::path path;
};

// Where a media operation stands in the scan's progress: the value it
// reports after the i-th of n index entries is `progress` + `share` x i / n,
// where `share` is a multiple of `step` fixed per operation.
struct MediaProgress {
  ProgressCallback callback = nullptr;
  void* user = nullptr;
  int progress = 0;
  int step = 0;
  // Where a candidate whose stored file is there but cannot be read (no
  // permission, a link, a FIFO, a folder) is recorded; nullptr: nowhere.
  ProblemLog* problems = nullptr;
};

// ScanPhotos: an entry whose key contains "CameraRollDomain-Media/DCIM/"
// goes to the Camera Roll, else one whose key contains
// "MediaDomain-Media/PhotoStreamsData/" to the Photo Stream; `name` is the
// key's last component. Reports progress + 2 x step x i / n, except after a
// matching entry whose stored file does not exist.
// With a photo library, a Camera Roll item whose file (the key after
// "CameraRollDomain-Media/") the library holds takes its dates and its
// trashed state from it; the classification by content stays as it is.
Status ScanPhotos(const std::filesystem::path& backupFolder, const std::vector<BackupFileEntry>& index,
                  std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream,
                  const MediaProgress& progress = {}, const PhotoLibrary* library = nullptr);

// ScanMessageAttachments: entries whose key contains "/Attachments/";
// `name` is the last component with its extension replaced by the sniffed
// one in upper case ("photo.jpeg" holding a JPEG becomes "photo.JPG").
// Files of size 0 are dropped. Reports progress + step x i / n, except
// after a matching entry whose stored file does not exist.
Status ScanMessageAttachments(const std::filesystem::path& backupFolder, const std::vector<BackupFileEntry>& index,
                              std::vector<AttachmentFile>& attachments, const MediaProgress& progress = {});

// ScanAppMedia: first empties `whatsAppMedia`, then takes every entry whose
// key contains "AppDomain-"; names as for attachments, `appName` from
// AppNameOf. Keys containing "net.whatsapp.WhatsApp" go to `whatsAppMedia`
// (dropped when empty), the others to `appMedia` (kept whatever their
// size). Reports progress + 2 x step x i / n after every entry.
Status ScanAppMedia(const std::filesystem::path& backupFolder, const std::vector<BackupFileEntry>& index,
                    std::vector<AppMediaItem>& appMedia, std::vector<MediaItem>& whatsAppMedia,
                    const MediaProgress& progress = {});

// ScanWhatsAppAttachments: appends what ScanAppMedia set aside.
Status ScanWhatsAppAttachments(const std::vector<MediaItem>& whatsAppMedia, std::vector<MediaItem>& out);

// The key rules, for callers that classify without scanning.
enum class PhotoAlbum { None, CameraRoll, PhotoStream };
PhotoAlbum PhotoAlbumOf(std::string_view key);
bool IsMessageAttachmentKey(std::string_view key);
bool IsAppMediaKey(std::string_view key);
bool IsWhatsAppMediaKey(std::string_view key);

// "other", unless the key contains "com." (else "net."): then the text from
// four characters after that match up to the next "-" after it
// ("AppDomain-com.example.app-Documents/a.jpg" gives "example.app"); still
// "other" when no "-" follows.
std::string AppNameOf(std::string_view key);

// The part of the key after its last "/" (the whole key without one).
std::string_view LastComponent(std::string_view key);

// A display name from a file name and the sniffer's name: the file name
// without its extension (from the last "."), a dot and the sniffed
// extension in upper case ("JPG" when the sniffed name has no dot).
std::string NameWithSniffedExtension(std::string_view fileName, std::string_view sniffedName);

// Orders names comparing their ASCII letters in lower case (other bytes as
// they are): negative, 0 or positive.
int CompareNamesIgnoreCase(std::string_view a, std::string_view b);

// Sorts items [from, end) by name, stable, comparing case-insensitively.
// The names are folded once and their positions sorted, so that each item
// (a name and a path) is moved twice rather than at every step of the sort.
// Folded names compare as CompareNamesIgnoreCase compares the names: byte
// by byte, unsigned, a name before its longer continuations.
template <typename Item>
void SortByName(std::vector<Item>& items, size_t from) {
  if (items.size() < from + 2) return;
  const size_t n = items.size() - from;
  std::vector<std::string> folded(n);
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) {
    folded[i] = AsciiLower(items[from + i].name);
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return folded[a] < folded[b]; });
  std::vector<Item> sorted;
  sorted.reserve(n);
  for (size_t i : order) sorted.push_back(std::move(items[from + i]));
  std::move(sorted.begin(), sorted.end(), items.begin() + static_cast<std::ptrdiff_t>(from));
}

}  // namespace orbanix
