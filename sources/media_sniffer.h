// Recognises a media file by its first bytes.
//
// The table below is tried in order; each row is an extension, a media
// type code and a detector. The first detector that answers decides the
// type, and the name given to the file carries the extension of the FIRST
// row with that code (so every MPEG stream is "mpeg", every ASF file "wmv",
// every JPEG "jpg"). Files are judged by exactly 512 bytes: a shorter file
// is never recognised, whatever it holds.
//
//   row  ext   code  detector       row  ext   code  detector
//   1    mpeg  15    MPEG           12   wav   21    WAVE
//   2    mpg   15    MPEG           13   mov   17    QuickTime
//   3    vob   15    MPEG           14   gif   31    GIF
//   4    mp4   18    MP4            15   bmp   29    BMP
//   5    rmvb  23    RealMedia      16   jpg   10    JPEG
//   6    wmv   24    ASF            17   jpeg  10    JPEG
//   7    wma   24    ASF            18   jpe   10    JPEG
//   8    avi   22    AVI            19   png   30    PNG
//   9    3gp   16    3GP            20   ico   46    ICO
//   10   mp3   12    MP3            21   heic  32    HEIC (ISO-BMFF image brands)
//   11   mid   13    MIDI           22   mp4   18    MP4 brands (mp41, mp42, M4V, isom)
//
// The last two rows come after the older ones so that every older detector
// keeps its answer; they find the photos and videos of current iPhones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace orbanix {

enum class MediaType : int {
  Jpeg = 10,
  Mp3 = 12,
  Midi = 13,
  Mpeg = 15,
  ThreeGp = 16,
  QuickTime = 17,
  Mp4 = 18,
  Wave = 21,
  Avi = 22,
  RealMedia = 23,
  Asf = 24,
  Bmp = 29,
  Png = 30,
  Gif = 31,
  Heic = 32,
  Ico = 46,
  Unknown = 48,
};

class MediaSniffer {
 public:
  // The number of bytes a file is judged by.
  static constexpr size_t kSniffBytes = 512;
  // What one read of a file asks for (a page): a file shorter than this
  // gives its size with its bytes.
  static constexpr size_t kReadBytes = 4096;

  using Detector = MediaType (*)(const uint8_t* data, size_t size);
  struct Row {
    const char* extension;
    MediaType type;
    Detector detect;
  };

  // The table, in trial order.
  static const std::vector<Row>& Table();

  // The code of the first detector in table order that answers, or Unknown.
  static MediaType Detect(const uint8_t* data, size_t size);
  // The extension of the first row with this code; "" for Unknown.
  static const char* ExtensionOf(MediaType type);

  // Sniff file: reads the first 512 bytes of an existing file (read-only)
  // and, when all 512 could be read and a detector answers, sets `name` to
  // the counter's value, a dot and the extension ("7.jpg") and advances the
  // counter. An unrecognised file leaves both untouched. Returns 0; 30 when
  // fewer than 512 bytes could be read; the errno of a failed open or read
  // (a folder gives EISDIR). With `size`, the file's size is taken from the
  // open file as well (when 512 bytes were read).
  static Status SniffFile(const std::filesystem::path& path, std::string& name, int64_t& counter,
                          uint64_t* size = nullptr);
  // The same for the file at `relativePath` inside the open folder `folder`
  // (a descriptor): the folder's own path is not looked up again per file.
  static Status SniffFileAt(int folder, const char* relativePath, std::string& name, int64_t& counter,
                            uint64_t* size = nullptr);

  // Sniff buffer: the same over bytes the caller holds, with the caller's
  // length (each detector checks its own minimum). Returns 0.
  static Status SniffBuffer(const uint8_t* data, size_t size, std::string& name, int64_t& counter);

  // The file's size; the errno when it cannot be had (EISDIR for a folder).
  static Status FileSize(const std::filesystem::path& path, uint64_t& size);

  // The detectors, one per file format.
  static MediaType DetectJpeg(const uint8_t* d, size_t n);
  static MediaType DetectGif(const uint8_t* d, size_t n);
  static MediaType DetectPng(const uint8_t* d, size_t n);
  static MediaType DetectBmp(const uint8_t* d, size_t n);
  static MediaType DetectAvi(const uint8_t* d, size_t n);
  static MediaType DetectWave(const uint8_t* d, size_t n);
  static MediaType DetectRealMedia(const uint8_t* d, size_t n);
  static MediaType Detect3gp(const uint8_t* d, size_t n);
  static MediaType DetectMp4(const uint8_t* d, size_t n);
  static MediaType DetectQuickTime(const uint8_t* d, size_t n);
  static MediaType DetectMpeg(const uint8_t* d, size_t n);
  static MediaType DetectMp3(const uint8_t* d, size_t n);
  static MediaType DetectAsf(const uint8_t* d, size_t n);
  static MediaType DetectMidi(const uint8_t* d, size_t n);
  static MediaType DetectIco(const uint8_t* d, size_t n);
  static MediaType DetectHeic(const uint8_t* d, size_t n);
  static MediaType DetectMp4Brand(const uint8_t* d, size_t n);

 private:
  // Sniffs the file open at `fd` (closed afterwards); a negative `fd` is the
  // failed open, its errno returned.
  static Status SniffOpened(int fd, std::string& name, int64_t& counter, uint64_t* size);
};

// How a preview shows a file of a sniffed extension: copied as a picture
// ("tmp.jpg"), a sound ("tmp.wav"), a video ("tmp.avi"), or not at all.
// The test is a plain substring search of "*.<ext>" in the lists below,
// images first.
enum class PreviewKind { None, Image, Audio, Video };
extern const char* const kPreviewImageList;
extern const char* const kPreviewAudioList;
extern const char* const kPreviewVideoList;
PreviewKind PreviewKindOf(std::string_view extension);

// The extension of a sniffed name ("7.jpg" gives "jpg"); "" when it has no dot.
std::string_view SniffedExtension(std::string_view sniffedName);

}  // namespace orbanix
