// The media family: small media files of every type the media sniffer
// knows, placed where the media scans look for them (Camera Roll, Photo
// Stream, message attachments, application containers, WhatsApp), plus
// files the scans must pass over (undersized, unrecognisable, missing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace orbanix::gen
