// The media family: small media files of every type the media sniffer
// knows, placed where the media scans look for them (Camera Roll, Photo
// Stream, message attachments, application containers, WhatsApp), plus
// files the scans must pass over (undersized, unrecognisable, missing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

// One sample per detector (and per variant of a detector).
enum class MediaSample {
  JpegJfif,
  JpegExif,
  Png,
  Gif,
  Bmp,
  Ico,
  Wave,
  Avi,
  Midi,
  Mp3,
  MpegProgram,  // pack header + system header
  MpegVideo,    // sequence header + group of pictures
  Asf,
  RealMedia,
  ThreeGp,
  Mp4,          // ftyp isom
  QuickTime,    // ftyp "qt  "
  QuickTimeMoov,
  Heic,
  Mp4Brand,     // ftyp mp42
  M4v,          // ftyp "M4V "
};

inline constexpr int kMediaSampleCount = 21;

// The bytes of a sample of at least `size` bytes (never fewer than the
// format's own header needs); `salt` varies the filler so that samples
// differ. Headers are valid for their format; pictures decode.
std::string MediaSampleBytes(MediaSample kind, size_t size = 1024, uint32_t salt = 0);

// The sample with real content where a preview can show it: a landscape
// picture (JPEG 320 x 240, its Exif variant 240 x 320, PNG, GIF, BMP,
// HEIC), two seconds of a tune (WAV), a two-second Motion JPEG movie (AVI
// and the ISO base media movie kinds); other kinds give
// MediaSampleBytes(kind).
std::string MediaSampleContent(MediaSample kind, uint32_t salt = 0);

// The extension the sniffer gives the sample ("jpg", "mpeg", "wmv", ...).
const char* MediaSampleExtension(MediaSample kind);

// Adds the media family to a backup of either era.
void AddMediaFamily(BackupWriter& writer, const FamilyOptions& options);

// Photos.sqlite as current phones keep it: ZASSET rows for the Camera Roll
// files, by directory and file name, with their capture dates; the assets
// named in `trashed` sit in "Recently Deleted" (ZTRASHEDSTATE 1). A deleted
// row (an asset the library removed) stays in the file's free space.
struct GenPhotoAsset {
  std::string directory = "DCIM/100APPLE";
  std::string fileName;
  int64_t unixCreated = 0;
  bool trashed = false;
  int64_t unixTrashed = 0;
};
void BuildPhotosDb(const fs::path& path, const std::vector<GenPhotoAsset>& assets);
// The assets of the media family's first Camera Roll files: IMG_0002.JPG and
// IMG_0005.HEIC trashed.
std::vector<GenPhotoAsset> CurrentPhotoAssets();
// The media family with the library of current phones.
void AddCurrentMediaFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
