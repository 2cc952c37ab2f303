#include "sources/media_scan.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/parallel.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "sources/media_sniffer.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCameraRollMarker = "CameraRollDomain-Media/DCIM/";
constexpr std::string_view kPhotoStreamMarker = "MediaDomain-Media/PhotoStreamsData/";
constexpr std::string_view kAttachmentMarker = "/Attachments/";
constexpr std::string_view kAppMarker = "AppDomain-";
constexpr std::string_view kWhatsAppMarker = "net.whatsapp.WhatsApp";
// Newer backups keep WhatsApp's media in the app's shared group container,
// whose keys do not carry "AppDomain-".
constexpr std::string_view kWhatsAppSharedMedia = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared-Message/Media/";

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Reports the value for the i-th of n entries; the callback's answer.
int Report(const MediaProgress& p, int multiple, size_t i, size_t n) {
  if (!p.callback) return 0;
  const int64_t value = p.progress + static_cast<int64_t>(multiple) * p.step * static_cast<int64_t>(i) /
                                         static_cast<int64_t>(n);
  return p.callback(p.user, static_cast<int>(value));
}

// One stored file looked at: where it is, whether it is there, and, when
// the sniffer recognises it, the sniffer's name and the file's size.
struct Candidate {
  fs::path path;
  bool exists = false;
  bool recognised = false;
  std::string sniffedName;
  uint64_t size = 0;
  Status error = 0;  // why a stored file that is there could not be read
};

// Records a candidate that is there but could not be read; one named as a
// photo or video whose bytes are none (empty, garbled); and one shorter
// than the manifest recorded.
void NoteUnreadable(const MediaProgress& p, const char* category, const BackupFileEntry& entry, const Candidate& c) {
  if (!p.problems) return;
  if (c.error == 0) {
    if (!c.exists) return;
    if (!c.recognised) {
      const std::string_view name = LastComponent(entry.key);
      const size_t dot = name.rfind('.');
      if (dot != std::string_view::npos && PreviewKindOf(AsciiLower(name.substr(dot + 1))) != PreviewKind::None) {
        // An empty file is plainly damage, and so are enough bytes of no
        // known kind; a short file may be a small image the first bytes
        // cannot tell (nothing is said of it).
        std::error_code ec;
        const uintmax_t size = c.size > 0 ? c.size : fs::file_size(c.path, ec);
        if (!ec && (size == 0 || size >= MediaSniffer::kSniffBytes)) {
          p.problems->Add(category, ValidUtf8(entry.key), "is not the photo or video it is named as",
                          size == 0 ? "it is empty" : "its bytes are of no known kind");
        }
      }
    } else if (entry.size > 0 && c.size < static_cast<uint64_t>(entry.size)) {
      p.problems->Add(category, ValidUtf8(entry.key), "is cut short",
                      std::to_string(c.size) + " of " + std::to_string(entry.size) + " bytes");
    }
    return;
  }
  const bool refused = c.error == ELOOP || c.error == EINVAL || c.error == EISDIR;
  const char* why = c.error == ELOOP ? "is a symbolic link"
                    : c.error == EINVAL ? "is not a regular file (a FIFO, a device or a socket)"
                    : c.error == EISDIR ? "is a folder"
                                        : nullptr;
  p.problems->Add(category, ValidUtf8(entry.key), refused ? "is refused" : "cannot be read",
                  why ? std::string(why) : StatusText(c.error));
}

Candidate Examine(const StoredFileLayout& layout, const BackupFileEntry& entry, int64_t& counter) {
  Candidate c;
  c.path = layout.Resolve(entry.hashedName);
  // Missing, unreadable, short and unrecognised files are all skipped
  // silently: the sniffer leaves the name empty for each of them. The one
  // open tells whether the stored file is there; only an open that failed
  // for another reason than a missing path asks the file system again.
  const int folder = layout.FolderDescriptor();
  Status sniffed;
  if (folder >= 0) {
    StoredFileLayout::RelativeName relative;
    StoredFileLayout::RelativePath(entry.hashedName, relative);
    sniffed = MediaSniffer::SniffFileAt(folder, relative.data(), c.sniffedName, counter, &c.size);
  } else {
    sniffed = MediaSniffer::SniffFile(c.path, c.sniffedName, counter, &c.size);
  }
  if (sniffed == ENOENT || sniffed == ENOTDIR) return c;
  if (sniffed == ELOOP || sniffed == EINVAL || sniffed == EISDIR) {
    // A link (never followed), a FIFO or a folder in place of the file.
    c.exists = true;
    c.error = sniffed;
    return c;
  }
  if (sniffed != status::kOk && sniffed != status::kShortRead) {
    c.exists = EntryExists(c.path);
    if (c.exists) c.error = sniffed;
    return c;
  }
  c.exists = true;
  c.recognised = sniffed == status::kOk && !c.sniffedName.empty();
  return c;
}

// Fewer candidates than this are all looked at by the pass itself.
constexpr size_t kLookaheadFrom = 64;

// One pass of a media operation over the index. `matches(key)` picks the
// candidates; each candidate's stored file is examined and handed to
// `take(entry, candidate)`, which answers whether the entry is reported.
// Every other entry is reported. A report answered with non-zero ends the
// pass with that answer.
//
// Opening and reading the stored files is most of the work, and it is
// spread over two threads that take the candidates one after the other as
// they come free: a thread beside examines them ahead of the pass, and the
// pass, when the candidate it has come to is not ready, examines the next
// free one itself. How long a file takes does not matter then, nor how much
// of the pass's own work falls between the candidates. The pass, its
// reports and `take` stay on the calling thread in the index's order. (The
// sniffer's running counter only names what it recognised; the operations
// use the extension of that name alone.)
template <typename Matches, typename Take>
int ExaminePass(const fs::path& backupFolder, const std::vector<BackupFileEntry>& index,
                const MediaProgress& progress, int multiple, const Matches& matches, const Take& take) {
  const StoredFileLayout layout(backupFolder);
  const size_t n = index.size();
  std::vector<size_t> picked;
  for (size_t i = 0; i < n; ++i) {
    if (matches(index[i].key)) picked.push_back(i);
  }
  const size_t total = picked.size();

  size_t i = 0, k = 0;  // the next entry and the next candidate
  int answer = 0;
  // Passes the entries; `examined(k)` gives the k-th candidate.
  auto pass = [&](const auto& examined) {
    for (; i < n && answer == 0; ++i) {
      bool report = true;
      if (k < total && picked[k] == i) report = take(index[i], examined(k++));
      if (report) answer = Report(progress, multiple, i + 1, n);
    }
  };
  int64_t counter = 0;
  if (total < kLookaheadFrom) {
    pass([&](size_t c) { return Examine(layout, index[picked[c]], counter); });
    return answer;
  }
  std::vector<Candidate> examined(total);
  const std::unique_ptr<std::atomic<bool>[]> ready(new std::atomic<bool>[total]());
  std::atomic<size_t> next{0};  // the first candidate no thread has taken
  std::atomic<bool> stop{false}, besideFailed{false};
  // Takes the next free candidate and examines it; false when none is left.
  auto examineNext = [&](int64_t& runningCounter) {
    const size_t c = next.fetch_add(1, std::memory_order_relaxed);
    if (c >= total) return false;
    examined[c] = Examine(layout, index[picked[c]], runningCounter);
    ready[c].store(true, std::memory_order_release);
    return true;
  };
  RunBeside(
      [&] {
        int64_t besideCounter = 0;
        try {
          while (!stop.load(std::memory_order_relaxed) && examineNext(besideCounter)) {
          }
        } catch (...) {
          besideFailed = true;  // the candidate it had taken will never be ready
          throw;
        }
      },
      [&] {
        // An ended pass, or one that failed, needs no more files.
        struct StopAtEnd {
          std::atomic<bool>& stop;
          ~StopAtEnd() { stop = true; }
        } stopAtEnd{stop};
        pass([&](size_t c) {
          while (!ready[c].load(std::memory_order_acquire)) {
            if (besideFailed.load()) throw std::runtime_error("a stored file could not be examined");
            if (!examineNext(counter)) std::this_thread::yield();  // taken beside, about to be ready
          }
          return std::move(examined[c]);
        });
      });
  return answer;
}

}  // namespace

PhotoAlbum PhotoAlbumOf(std::string_view key) {
  if (Contains(key, kCameraRollMarker)) return PhotoAlbum::CameraRoll;
  if (Contains(key, kPhotoStreamMarker)) return PhotoAlbum::PhotoStream;
  return PhotoAlbum::None;
}

bool IsMessageAttachmentKey(std::string_view key) { return Contains(key, kAttachmentMarker); }
bool IsAppMediaKey(std::string_view key) { return Contains(key, kAppMarker) || key.starts_with(kWhatsAppSharedMedia); }
bool IsWhatsAppMediaKey(std::string_view key) { return Contains(key, kWhatsAppMarker); }

std::string AppNameOf(std::string_view key) {
  size_t at = key.find("com.");
  if (at == std::string_view::npos) at = key.find("net.");
  if (at == std::string_view::npos) return "other";
  const size_t from = at + 4;
  const size_t dash = key.find('-', from);
  if (dash == std::string_view::npos) return "other";
  return ValidUtf8(key.substr(from, dash - from));
}

std::string_view LastComponent(std::string_view key) {
  const size_t slash = key.rfind('/');
  return slash == std::string_view::npos ? key : key.substr(slash + 1);
}

std::string NameWithSniffedExtension(std::string_view fileName, std::string_view sniffedName) {
  const size_t dot = fileName.rfind('.');
  std::string name = ValidUtf8(dot == std::string_view::npos ? fileName : fileName.substr(0, dot));
  const size_t sniffedDot = sniffedName.rfind('.');
  std::string extension =
      sniffedDot == std::string_view::npos ? std::string("JPG") : std::string(sniffedName.substr(sniffedDot + 1));
  for (char& c : extension) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name + "." + extension;
}

int CompareNamesIgnoreCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

Status ScanPhotos(const fs::path& backupFolder, const std::vector<BackupFileEntry>& index,
                  std::vector<MediaItem>& cameraRoll, std::vector<MediaItem>& photoStream,
                  const MediaProgress& progress, const PhotoLibrary* library) {
  const size_t cameraFrom = cameraRoll.size(), streamFrom = photoStream.size();
  const int answer = ExaminePass(
      backupFolder, index, progress, 2, [](std::string_view key) { return PhotoAlbumOf(key) != PhotoAlbum::None; },
      [&](const BackupFileEntry& entry, Candidate&& c) {
        if (!c.exists) return false;  // no progress report for a missing stored file
        NoteUnreadable(progress,
                       PhotoAlbumOf(entry.key) == PhotoAlbum::CameraRoll ? "camera-roll" : "photo-stream", entry, c);
        if (c.recognised) {
          const bool roll = PhotoAlbumOf(entry.key) == PhotoAlbum::CameraRoll;
          auto& list = roll ? cameraRoll : photoStream;
          MediaItem& item = list.emplace_back();
          item.size = c.size;
          item.name = ValidUtf8(LastComponent(entry.key));
          item.path = std::move(c.path);
          if (roll && library) {
            // The file's path below Media/, as the library names it.
            std::string_view key = entry.key;
            const size_t at = key.find(kCameraRollMarker);
            key.remove_prefix(at + kCameraRollMarker.size() - std::string_view("DCIM/").size());
            auto asset = library->find(std::string(key));
            if (asset != library->end()) {
              item.date = asset->second.created;
              item.deleted = asset->second.trashed ? 1 : 0;
              item.trashedDate = asset->second.trashedDate;
            }
          }
        }
        return true;
      });
  if (answer != 0) return answer;
  SortByName(cameraRoll, cameraFrom);
  SortByName(photoStream, streamFrom);
  return status::kOk;
}

Status ScanMessageAttachments(const fs::path& backupFolder, const std::vector<BackupFileEntry>& index,
                              std::vector<AttachmentFile>& attachments, const MediaProgress& progress) {
  const size_t from = attachments.size();
  const int answer = ExaminePass(
      backupFolder, index, progress, 1, IsMessageAttachmentKey, [&](const BackupFileEntry& entry, Candidate&& c) {
        if (!c.exists) return false;
        NoteUnreadable(progress, "message-attachments", entry, c);
        if (c.recognised && c.size != 0) {
          AttachmentFile file;
          file.size = c.size;
          file.name = NameWithSniffedExtension(LastComponent(entry.key), c.sniffedName);
          file.path = std::move(c.path);
          attachments.push_back(std::move(file));
        }
        return true;
      });
  if (answer != 0) return answer;
  SortByName(attachments, from);
  return status::kOk;
}

Status ScanAppMedia(const fs::path& backupFolder, const std::vector<BackupFileEntry>& index,
                    std::vector<AppMediaItem>& appMedia, std::vector<MediaItem>& whatsAppMedia,
                    const MediaProgress& progress) {
  whatsAppMedia.clear();
  const size_t from = appMedia.size();
  const int answer = ExaminePass(
      backupFolder, index, progress, 2, IsAppMediaKey, [&](const BackupFileEntry& entry, Candidate&& c) {
        if (c.exists) {
          const bool video =
              PreviewKindOf(AsciiLower(SniffedExtension(LastComponent(entry.key)))) == PreviewKind::Video;
          NoteUnreadable(progress,
                         IsWhatsAppMediaKey(entry.key) ? "whatsapp-attachments"
                         : video                       ? "app-videos"
                                                       : "app-photos",
                         entry, c);
        }
        if (c.recognised) {
          std::string name = NameWithSniffedExtension(LastComponent(entry.key), c.sniffedName);
          if (IsWhatsAppMediaKey(entry.key)) {
            if (c.size != 0) whatsAppMedia.push_back({c.size, std::move(name), std::move(c.path)});
          } else {
            AppMediaItem item;
            item.size = c.size;
            item.appName = AppNameOf(entry.key);
            item.name = std::move(name);
            item.path = std::move(c.path);
            appMedia.push_back(std::move(item));
          }
        }
        return true;  // every entry is reported, a missing file's too
      });
  if (answer != 0) return answer;
  SortByName(appMedia, from);
  SortByName(whatsAppMedia, 0);
  return status::kOk;
}

Status ScanWhatsAppAttachments(const std::vector<MediaItem>& whatsAppMedia, std::vector<MediaItem>& out) {
  if (&out == &whatsAppMedia) return status::kOk;  // already there
  out.insert(out.end(), whatsAppMedia.begin(), whatsAppMedia.end());
  return status::kOk;
}

}  // namespace orbanix
