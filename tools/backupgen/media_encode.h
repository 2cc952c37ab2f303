// Real media content for the synthetic backups: pictures that an image
// decoder shows, sound and a movie that a media player plays. Everything is
// drawn and encoded here (no image or codec library), so the generator
// stays free of them:
//   - JPEG: baseline, 4:4:4, one shared pair of fixed-length code tables;
//   - PNG: 8-bit RGB, unfiltered rows, zlib;
//   - WAV: 16-bit mono PCM;
//   - BMP: 24-bit, bottom-up rows;
//   - GIF: 3-3-2 colour cube, LZW kept at 9-bit codes;
//   - HEIC: through libheif's HEVC encoder (the one library used here);
//   - AVI: Motion JPEG frames with an index;
//   - ISO base media (QuickTime, MP4, M4V, 3GP by the file type box):
//     one Motion JPEG ("jpeg") video track.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orbanix::gen {

// An 8-bit RGB picture, rows top to bottom.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3

  uint8_t* at(int x, int y) { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
  const uint8_t* at(int x, int y) const { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// A landscape (sky, sun, hills, a lake) whose colours and layout follow
// `salt`; `frame` moves the sun and a ball so that frames of a movie differ.
Picture DrawScene(int width, int height, uint32_t salt, int frame = 0);

// The JFIF (or, with `exif`, Exif) marker segment that follows SOI.
enum class JpegHeader { kJfif, kExif };

// A baseline JPEG of the picture; `quality` 1..100 scales the quantiser.
std::string EncodeJpeg(const Picture& picture, JpegHeader header = JpegHeader::kJfif, int quality = 80);

// Inserts comment segments right after the JFIF/Exif segment until the
// file is `size` bytes (a few more when fewer than 4 are missing, the
// smallest segment; nothing when it is that long already).
std::string PadJpeg(std::string jpeg, size_t size);

// An RGB PNG of the picture; `comment` goes into a tEXt chunk.
std::string EncodePng(const Picture& picture, const std::string& comment = {});

// `millis` of a short tune (a few notes from `salt`), 16-bit mono PCM.
std::string EncodeTuneWave(int millis, uint32_t salt, int sampleRate = 16000);

// A HEIC (HEVC still image in a HEIF file) of the picture; empty when no
// HEVC encoder is at hand.
std::string EncodeHeic(const Picture& picture, int quality = 60);

// A 24-bit BMP of the picture.
std::string EncodeBmp(const Picture& picture);

// A GIF of the picture in the 256 colours of a 3-3-2 cube.
std::string EncodeGif(const Picture& picture);

// A Motion JPEG AVI of `frames` scenes at `fps` frames per second.
std::string EncodeMjpegAvi(int width, int height, int frames, int fps, uint32_t salt);

// An ISO base media movie: the file type box (`majorBrand`, `minorVersion`,
// `compatible` brands of four characters each, concatenated), the frames in
// "mdat", then "moov" with one Motion JPEG track.
std::string EncodeMjpegIso(const std::string& majorBrand, uint32_t minorVersion, const std::string& compatible,
                           int width, int height, int frames, int fps, uint32_t salt);

}  // namespace orbanix::gen
