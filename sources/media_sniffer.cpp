#include "sources/media_sniffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/text.h"

namespace orbanix {

namespace fs = std::filesystem;

namespace {

bool At(const uint8_t* d, size_t n, size_t offset, const char* text) {
  const size_t len = std::strlen(text);
  return offset <= n && n - offset >= len && std::memcmp(d + offset, text, len) == 0;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t Be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Whether the four bytes `code` start at some offset of the first 32 bytes
// (or of the bytes given, when fewer), the four bytes wholly inside.
bool OccursEarly(const uint8_t* d, size_t n, const uint8_t (&code)[4]) {
  const size_t limit = n < 32 ? n : 32;
  for (size_t i = 0; i + 4 <= limit; ++i) {
    if (std::memcmp(d + i, code, 4) == 0) return true;
  }
  return false;
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

MediaType MediaSniffer::DetectJpeg(const uint8_t* d, size_t n) {
  if (n < 16 || d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF) return MediaType::Unknown;
  if ((d[3] == 0xE0 && At(d, n, 6, "JFIF")) || (d[3] == 0xE1 && At(d, n, 6, "Exif"))) return MediaType::Jpeg;
  return MediaType::Unknown;
}

MediaType MediaSniffer::DetectGif(const uint8_t* d, size_t n) {
  if (n < 8 || !At(d, n, 0, "GIF") || !IsDigit(d[3]) || !IsDigit(d[4]) || d[5] < 'a' || d[5] > 'z') {
    return MediaType::Unknown;
  }
  return MediaType::Gif;
}

MediaType MediaSniffer::DetectPng(const uint8_t* d, size_t n) {
  static const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  return n >= 8 && std::memcmp(d, kSignature, 8) == 0 ? MediaType::Png : MediaType::Unknown;
}

MediaType MediaSniffer::DetectBmp(const uint8_t* d, size_t n) {
  if (n < 40 || !(At(d, n, 0, "BM") || At(d, n, 0, "BA"))) return MediaType::Unknown;
  return Le16(d + 6) == 0 && Le16(d + 8) == 0 && Le32(d + 14) == 40 ? MediaType::Bmp : MediaType::Unknown;
}

MediaType MediaSniffer::DetectAvi(const uint8_t* d, size_t n) {
  return n >= 16 && At(d, n, 0, "RIFF") && At(d, n, 8, "AVI ") && At(d, n, 12, "LIST") ? MediaType::Avi
                                                                                        : MediaType::Unknown;
}

MediaType MediaSniffer::DetectWave(const uint8_t* d, size_t n) {
  return n >= 16 && At(d, n, 0, "RIFF") && At(d, n, 8, "WAVE") && At(d, n, 12, "fmt ") ? MediaType::Wave
                                                                                        : MediaType::Unknown;
}

MediaType MediaSniffer::DetectRealMedia(const uint8_t* d, size_t n) {
  return n >= 4 && At(d, n, 0, ".RMF") ? MediaType::RealMedia : MediaType::Unknown;
}

MediaType MediaSniffer::Detect3gp(const uint8_t* d, size_t n) {
  return n >= 32 && At(d, n, 4, "ftyp") && At(d, n, 8, "3gp") ? MediaType::ThreeGp : MediaType::Unknown;
}

MediaType MediaSniffer::DetectMp4(const uint8_t* d, size_t n) {
  return n >= 32 && At(d, n, 4, "ftyp") && At(d, n, 8, "iso") ? MediaType::Mp4 : MediaType::Unknown;
}

MediaType MediaSniffer::DetectQuickTime(const uint8_t* d, size_t n) {
  if (n < 16) return MediaType::Unknown;
  return At(d, n, 0, "moov") || (At(d, n, 4, "ftyp") && At(d, n, 8, "qt  ")) ? MediaType::QuickTime
                                                                              : MediaType::Unknown;
}

MediaType MediaSniffer::DetectMpeg(const uint8_t* d, size_t n) {
  static const uint8_t kPack[4] = {0x00, 0x00, 0x01, 0xBA}, kSystem[4] = {0x00, 0x00, 0x01, 0xBB};
  static const uint8_t kSequence[4] = {0x00, 0x00, 0x01, 0xB3}, kGroup[4] = {0x00, 0x00, 0x01, 0xB8};
  if (n < 16) return MediaType::Unknown;
  if (std::memcmp(d, kPack, 4) == 0 && OccursEarly(d, n, kSystem)) return MediaType::Mpeg;
  if (std::memcmp(d, kSequence, 4) == 0 && OccursEarly(d, n, kGroup)) return MediaType::Mpeg;
  return MediaType::Unknown;
}

// An ID3v2 tag header: "ID3", version (two bytes, never FF), flags (low
// five bits clear), then a 28-bit size in four 7-bit bytes. The whole ten
// bytes must be there: the test reads up to byte 9.
MediaType MediaSniffer::DetectMp3(const uint8_t* d, size_t n) {
  if (n < 10 || !At(d, n, 0, "ID3") || d[3] == 0xFF || d[4] == 0xFF || (d[5] & 0x1F) != 0) return MediaType::Unknown;
  for (int i = 6; i < 10; ++i) {
    if (d[i] >= 0x80) return MediaType::Unknown;
  }
  return MediaType::Mp3;
}

MediaType MediaSniffer::DetectAsf(const uint8_t* d, size_t n) {
  static const uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  return n >= 24 && std::memcmp(d, kHeaderGuid, 16) == 0 ? MediaType::Asf : MediaType::Unknown;
}

MediaType MediaSniffer::DetectMidi(const uint8_t* d, size_t n) {
  return n >= 18 && At(d, n, 0, "MThd") && Be32(d + 4) == 6 && At(d, n, 14, "MTrk") ? MediaType::Midi
                                                                                     : MediaType::Unknown;
}

// An icon directory: reserved 0, type 1, a count, then one 16-byte entry
// per image whose data must follow the directory back to back.
MediaType MediaSniffer::DetectIco(const uint8_t* d, size_t n) {
  static const uint8_t kIcon[4] = {0x00, 0x00, 0x01, 0x00};
  if (n < 16 || std::memcmp(d, kIcon, 4) != 0) return MediaType::Unknown;
  const uint32_t count = Le16(d + 4);
  if (count == 0 || n < 6 + 16 * static_cast<size_t>(count)) return MediaType::Unknown;
  uint64_t expected = 6 + 16 * static_cast<uint64_t>(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = d + 6 + 16 * static_cast<size_t>(i);
    if (entry[3] != 0 || Le32(entry + 12) != expected) return MediaType::Unknown;
    expected += Le32(entry + 8);
  }
  return MediaType::Ico;
}

// ISO base media files of still images: an "ftyp" box whose major brand
// names HEIF or HEVC image content.
MediaType MediaSniffer::DetectHeic(const uint8_t* d, size_t n) {
  if (n < 16 || !At(d, n, 4, "ftyp")) return MediaType::Unknown;
  for (const char* brand : {"heic", "heix", "hevc", "mif1", "msf1"}) {
    if (At(d, n, 8, brand)) return MediaType::Heic;
  }
  return MediaType::Unknown;
}

// ISO base media files of video whose major brand the older MP4 row does
// not know ("M4V" is followed by a blank, "H" or "P").
MediaType MediaSniffer::DetectMp4Brand(const uint8_t* d, size_t n) {
  if (n < 16 || !At(d, n, 4, "ftyp")) return MediaType::Unknown;
  for (const char* brand : {"mp41", "mp42", "M4V", "isom"}) {
    if (At(d, n, 8, brand)) return MediaType::Mp4;
  }
  return MediaType::Unknown;
}

const std::vector<MediaSniffer::Row>& MediaSniffer::Table() {
  static const std::vector<Row> kTable = {
      {"mpeg", MediaType::Mpeg, DetectMpeg},       {"mpg", MediaType::Mpeg, DetectMpeg},
      {"vob", MediaType::Mpeg, DetectMpeg},        {"mp4", MediaType::Mp4, DetectMp4},
      {"rmvb", MediaType::RealMedia, DetectRealMedia}, {"wmv", MediaType::Asf, DetectAsf},
      {"wma", MediaType::Asf, DetectAsf},          {"avi", MediaType::Avi, DetectAvi},
      {"3gp", MediaType::ThreeGp, Detect3gp},      {"mp3", MediaType::Mp3, DetectMp3},
      {"mid", MediaType::Midi, DetectMidi},        {"wav", MediaType::Wave, DetectWave},
      {"mov", MediaType::QuickTime, DetectQuickTime}, {"gif", MediaType::Gif, DetectGif},
      {"bmp", MediaType::Bmp, DetectBmp},          {"jpg", MediaType::Jpeg, DetectJpeg},
      {"jpeg", MediaType::Jpeg, DetectJpeg},       {"jpe", MediaType::Jpeg, DetectJpeg},
      {"png", MediaType::Png, DetectPng},          {"ico", MediaType::Ico, DetectIco},
      {"heic", MediaType::Heic, DetectHeic},       {"mp4", MediaType::Mp4, DetectMp4Brand},
  };
  return kTable;
}

MediaType MediaSniffer::Detect(const uint8_t* data, size_t size) {
  if (!data) return MediaType::Unknown;
  for (const Row& row : Table()) {
    const MediaType type = row.detect(data, size);
    if (type != MediaType::Unknown) return type;
  }
  return MediaType::Unknown;
}

const char* MediaSniffer::ExtensionOf(MediaType type) {
  for (const Row& row : Table()) {
    if (row.type == type) return row.extension;
  }
  return "";
}

Status MediaSniffer::SniffBuffer(const uint8_t* data, size_t size, std::string& name, int64_t& counter) {
  const MediaType type = Detect(data, size);
  if (type != MediaType::Unknown) {
    name = std::to_string(counter) + "." + ExtensionOf(type);
    ++counter;
  }
  return status::kOk;
}

namespace {

// Read-only: the backup is never opened for writing. Not blocking: a FIFO
// planted among the stored files gives a short read instead of waiting for
// a writer (for a regular file the flag changes nothing). Not following a
// link: a stored file never leads outside the backup (ELOOP).
constexpr int kSniffOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;

}  // namespace

Status MediaSniffer::SniffFile(const fs::path& path, std::string& name, int64_t& counter, uint64_t* size) {
  return SniffOpened(::open(path.c_str(), kSniffOpenFlags), name, counter, size);
}

Status MediaSniffer::SniffFileAt(int folder, const char* relativePath, std::string& name, int64_t& counter,
                                 uint64_t* size) {
  return SniffOpened(::openat(folder, relativePath, kSniffOpenFlags), name, counter, size);
}

Status MediaSniffer::SniffOpened(int fd, std::string& name, int64_t& counter, uint64_t* size) {
  // One read from the start of the file (no buffered stream reading ahead,
  // no seek), and the size from the open file. The read asks for a whole
  // page, which costs what 512 bytes cost: a smaller file comes whole, and
  // a read of a regular file that gives less than it asked for has met the
  // file's end, so its size is known without asking the system again.
  if (fd < 0) return errno ? errno : status::kBadData;
  uint8_t buffer[kReadBytes];
  size_t got = 0;
  int error = 0;
  bool ended = false;
  while (got < kSniffBytes) {
    const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    ended = static_cast<size_t>(n) < sizeof buffer - got;
    got += static_cast<size_t>(n);
  }
  // The size of a larger file: the offset of its end (cheaper than the
  // whole status of the file, and the same number for a regular file).
  off_t end = static_cast<off_t>(got);
  int statError = 0;
  if (size && got >= kSniffBytes && !ended && (end = ::lseek(fd, 0, SEEK_END)) < 0) {
    statError = errno ? errno : status::kBadData;
  }
  // A short file may be no file at all: a FIFO or a device answers EINVAL.
  if (got < kSniffBytes && !error) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  }
  ::close(fd);
  if (got < kSniffBytes) return error ? error : status::kShortRead;
  if (statError) return statError;
  if (size) *size = static_cast<uint64_t>(end);
  return SniffBuffer(buffer, kSniffBytes, name, counter);
}

Status MediaSniffer::FileSize(const fs::path& path, uint64_t& size) {
  std::error_code ec;
  const uintmax_t bytes = fs::file_size(path, ec);
  if (ec) return ec.value() ? ec.value() : status::kBadData;
  size = bytes;
  return status::kOk;
}

const char* const kPreviewImageList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|*.arw|*.srf|"
    "*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|"
    "*.dng|*.raw|*.pct|*.tga|*.heic";
const char* const kPreviewAudioList =
    "*.mp3|*.wav|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|*.at3|*.caf|*.dss|"
    "*.m4r|*.nra|*.snd";
const char* const kPreviewVideoList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.ape|*.m4v|*.3gp|*.dv|*.3g2|*.m4b|*.mkv|"
    "*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|*.m2t|*.lrv";

PreviewKind PreviewKindOf(std::string_view extension) {
  if (extension.empty()) return PreviewKind::None;
  const std::string lower = AsciiLower(extension);
  auto in = [&](const char* list) { return std::string_view(list).find(lower) != std::string_view::npos; };
  if (in(kPreviewImageList)) return PreviewKind::Image;
  if (in(kPreviewAudioList)) return PreviewKind::Audio;
  if (in(kPreviewVideoList)) return PreviewKind::Video;
  return PreviewKind::None;
}

std::string_view SniffedExtension(std::string_view sniffedName) {
  const size_t dot = sniffedName.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : sniffedName.substr(dot + 1);
}

}  // namespace orbanix
