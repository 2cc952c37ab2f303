#include "tools/backupgen/family_media.h"

#include "platform/text.h"
#include "sources/plist.h"
#include "tools/backupgen/byte_writers.h"
#include "tools/backupgen/fixture_db.h"
#include "tools/backupgen/media_encode.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>

namespace orbanix::gen {

namespace {

void Bytes(std::string& s, std::initializer_list<int> bytes) {
  for (int b : bytes) s.push_back(static_cast<char>(b));
}

// Printable filler that differs with the salt.
std::string Filler(size_t n, uint32_t salt) {
  std::string f(n, ' ');
  uint32_t x = salt * 2654435761u + 12345u;
  for (char& c : f) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>('a' + (x >> 16) % 26);
  }
  return f;
}

size_t Missing(size_t have, size_t want) { return want > have ? want - have : 0; }

// ISO base media: an ftyp box, then a "free" box up to the size.
std::string IsoMedia(const char* major, uint32_t minor, std::initializer_list<const char*> compatible, size_t size,
                     uint32_t salt) {
  std::string s;
  Be32(s, static_cast<uint32_t>(16 + 4 * compatible.size()));
  s += "ftyp";
  s += major;
  Be32(s, minor);
  for (const char* brand : compatible) s += brand;
  const size_t pad = std::max<size_t>(Missing(s.size() + 8, size), 8);
  Be32(s, static_cast<uint32_t>(8 + pad));
  s += "free";
  s += Filler(pad, salt);
  return s;
}

std::string PngChunk(const char* type, const std::string& data) {
  std::string s;
  Be32(s, static_cast<uint32_t>(data.size()));
  std::string body = type + data;
  s += body;
  Be32(s, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  return s;
}

// A 1x1 RGB picture with a comment that brings it to the size.
std::string Png(size_t size, uint32_t salt) {
  std::string ihdr;
  Be32(ihdr, 1);
  Be32(ihdr, 1);
  Bytes(ihdr, {8, 2, 0, 0, 0});
  const unsigned char pixel[4] = {0, static_cast<unsigned char>(salt), 0x80, 0xC0};
  unsigned char packed[64];
  uLongf packedLen = sizeof packed;
  compress(packed, &packedLen, pixel, sizeof pixel);
  std::string head = "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", ihdr);
  std::string tail = PngChunk("IDAT", std::string(reinterpret_cast<char*>(packed), packedLen)) + PngChunk("IEND", "");
  const size_t fixed = head.size() + tail.size() + 12 + 8;
  return head + PngChunk("tEXt", std::string("Comment\0", 8) + Filler(Missing(fixed, size), salt)) + tail;
}

std::string Gif(size_t size, uint32_t salt) {
  std::string s = "GIF89a";
  Bytes(s, {1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0});
  // Comment extension in sub-blocks of at most 255 bytes.
  std::string body = Filler(Missing(s.size() + 18, size) + 1, salt);
  s += "\x21\xFE";
  for (size_t at = 0; at < body.size(); at += 255) {
    const size_t n = std::min<size_t>(255, body.size() - at);
    s.push_back(static_cast<char>(n));
    s += body.substr(at, n);
  }
  s.push_back(0);
  Bytes(s, {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B});
  return s;
}

std::string Bmp(size_t size, uint32_t salt) {
  const uint32_t width = 16, rowBytes = 48;
  const uint32_t rows = static_cast<uint32_t>(std::max<size_t>(1, (Missing(54, size) + rowBytes - 1) / rowBytes));
  std::string s = "BM";
  Le32(s, 54 + rows * rowBytes);
  Le16(s, 0);
  Le16(s, 0);
  Le32(s, 54);
  Le32(s, 40);
  Le32(s, width);
  Le32(s, rows);
  Le16(s, 1);
  Le16(s, 24);
  Le32(s, 0);
  Le32(s, rows * rowBytes);
  Le32(s, 2835);
  Le32(s, 2835);
  Le32(s, 0);
  Le32(s, 0);
  s += Filler(rows * rowBytes, salt);
  return s;
}

std::string Ico(size_t size, uint32_t salt) {
  const std::string png = Png(Missing(22, size), salt);
  std::string s;
  Bytes(s, {0, 0, 1, 0, 1, 0});
  Bytes(s, {1, 1, 0, 0});
  Le16(s, 1);
  Le16(s, 32);
  Le32(s, static_cast<uint32_t>(png.size()));
  Le32(s, 22);
  return s + png;
}

// A real 16 x 16 picture, padded with comment segments to the size.
std::string Jpeg(bool exif, size_t size, uint32_t salt) {
  return PadJpeg(EncodeJpeg(DrawScene(16, 16, salt), exif ? JpegHeader::kExif : JpegHeader::kJfif, 50), size);
}

std::string Wave(size_t size, uint32_t salt) {
  const uint32_t data = static_cast<uint32_t>(std::max<size_t>(Missing(44, size), 2));
  std::string s = "RIFF";
  Le32(s, 36 + data);
  s += "WAVEfmt ";
  Le32(s, 16);
  Le16(s, 1);
  Le16(s, 1);
  Le32(s, 8000);
  Le32(s, 8000);
  Le16(s, 1);
  Le16(s, 8);
  s += "data";
  Le32(s, data);
  for (uint32_t i = 0; i < data; ++i) s.push_back(static_cast<char>(0x80 + ((i + salt) % 16) - 8));
  return s;
}

std::string Avi(size_t size, uint32_t salt) {
  std::string hdrl = "hdrlavih";
  Le32(hdrl, 56);
  Le32(hdrl, 33333);  // microseconds per frame
  for (int i = 0; i < 7; ++i) Le32(hdrl, 0);
  Le32(hdrl, 16);  // width
  Le32(hdrl, 16);  // height
  for (int i = 0; i < 4; ++i) Le32(hdrl, 0);
  std::string s = "RIFF";
  const size_t junk = std::max<size_t>(Missing(12 + 8 + hdrl.size() + 8, size), 4);
  Le32(s, static_cast<uint32_t>(4 + 8 + hdrl.size() + 8 + junk));
  s += "AVI LIST";
  Le32(s, static_cast<uint32_t>(hdrl.size()));
  s += hdrl;
  s += "JUNK";
  Le32(s, static_cast<uint32_t>(junk));
  s += Filler(junk, salt);
  return s;
}

std::string Midi(size_t size, uint32_t salt) {
  std::string track;
  size_t want = Missing(22 + 4, size);
  while (track.size() < want) {  // text events of up to 120 bytes
    const size_t n = std::min<size_t>(120, std::max<size_t>(want - track.size(), 4) - 3);
    Bytes(track, {0x00, 0xFF, 0x01, static_cast<int>(n)});
    track += Filler(n, salt);
  }
  Bytes(track, {0x00, 0xFF, 0x2F, 0x00});
  std::string s = "MThd";
  Be32(s, 6);
  Be16(s, 0);
  Be16(s, 1);
  Be16(s, 96);
  s += "MTrk";
  Be32(s, static_cast<uint32_t>(track.size()));
  return s + track;
}

std::string Mp3(size_t size, uint32_t salt) {
  std::string s = "ID3";
  Bytes(s, {3, 0, 0, 0, 0, 0, 0});  // version 2.3, no flags, empty tag
  do {  // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417-byte frames
    Bytes(s, {0xFF, 0xFB, 0x90, 0x00});
    s += std::string(413, static_cast<char>(salt & 0x7F));
  } while (s.size() < size);
  return s;
}

std::string MpegProgram(size_t size, uint32_t salt) {
  std::string s;
  Bytes(s, {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8});
  Bytes(s, {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x80, 0xC4, 0xE1, 0x04, 0xE1, 0xFF,
            0xE0, 0xE0, 0xE8, 0xC0, 0xC0, 0x20});
  while (s.size() + 4 < size) {  // padding packets
    const size_t n = std::min<size_t>(2000, std::max<size_t>(size - s.size() - 4, 7) - 6);
    Bytes(s, {0x00, 0x00, 0x01, 0xBE});
    Be16(s, static_cast<uint32_t>(n));
    s += std::string(n, static_cast<char>(0xFF));
  }
  (void)salt;
  Bytes(s, {0x00, 0x00, 0x01, 0xB9});
  return s;
}

std::string MpegVideo(size_t size, uint32_t salt) {
  std::string s;
  Bytes(s, {0x00, 0x00, 0x01, 0xB3, 0x01, 0x00, 0x10, 0x14, 0xFF, 0xFF, 0xE0, 0x18});
  Bytes(s, {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00});
  Bytes(s, {0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0xF8});
  s += std::string(Missing(s.size() + 4, size), static_cast<char>(salt & 0x7F));
  Bytes(s, {0x00, 0x00, 0x01, 0xB7});
  return s;
}

std::string Asf(size_t size, uint32_t salt) {
  static const int kHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                  0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  static const int kData[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  std::string s;
  for (int b : kHeader) s.push_back(static_cast<char>(b));
  Le64(s, 30);
  Le32(s, 0);
  Bytes(s, {0x01, 0x02});
  const size_t payload = Missing(s.size() + 50, size);
  for (int b : kData) s.push_back(static_cast<char>(b));
  Le64(s, 50 + payload);
  s += std::string(16, '\x11');  // file id
  Le64(s, 0);                     // packet count
  Bytes(s, {0x01, 0x01});
  s += Filler(payload, salt);
  return s;
}

std::string RealMedia(size_t size, uint32_t salt) {
  std::string s = ".RMF";
  Be32(s, 18);
  Be16(s, 0);
  Be32(s, 0);
  Be32(s, 1);
  const size_t payload = Missing(s.size() + 18, size);
  s += "DATA";
  Be32(s, static_cast<uint32_t>(18 + payload));
  Be16(s, 0);
  Be32(s, 0);
  Be32(s, 0);
  s += Filler(payload, salt);
  return s;
}

std::string QuickTimeMoov(size_t size, uint32_t salt) {
  // Early QuickTime files that open straight with the movie atom's name.
  std::string s = "moov";
  Be32(s, 0);
  s += "mvhd";
  s += Filler(std::max<size_t>(Missing(s.size(), size), 4), salt);
  return s;
}

}  // namespace

std::string MediaSampleBytes(MediaSample kind, size_t size, uint32_t salt) {
  switch (kind) {
    case MediaSample::JpegJfif: return Jpeg(false, size, salt);
    case MediaSample::JpegExif: return Jpeg(true, size, salt);
    case MediaSample::Png: return Png(size, salt);
    case MediaSample::Gif: return Gif(size, salt);
    case MediaSample::Bmp: return Bmp(size, salt);
    case MediaSample::Ico: return Ico(size, salt);
    case MediaSample::Wave: return Wave(size, salt);
    case MediaSample::Avi: return Avi(size, salt);
    case MediaSample::Midi: return Midi(size, salt);
    case MediaSample::Mp3: return Mp3(size, salt);
    case MediaSample::MpegProgram: return MpegProgram(size, salt);
    case MediaSample::MpegVideo: return MpegVideo(size, salt);
    case MediaSample::Asf: return Asf(size, salt);
    case MediaSample::RealMedia: return RealMedia(size, salt);
    case MediaSample::ThreeGp: return IsoMedia("3gp4", 0x200, {"isom", "3gp4"}, size, salt);
    case MediaSample::Mp4: return IsoMedia("isom", 0x200, {"isom", "iso2", "avc1", "mp41"}, size, salt);
    case MediaSample::QuickTime: return IsoMedia("qt  ", 0x20050300, {"qt  "}, size, salt);
    case MediaSample::QuickTimeMoov: return QuickTimeMoov(size, salt);
    case MediaSample::Heic: return IsoMedia("heic", 0, {"mif1", "heic"}, size, salt);
    case MediaSample::Mp4Brand: return IsoMedia("mp42", 0, {"mp42", "isom"}, size, salt);
    case MediaSample::M4v: return IsoMedia("M4V ", 1, {"M4V ", "M4A ", "mp42"}, size, salt);
  }
  return {};
}

namespace {

std::string MakeContent(MediaSample kind, uint32_t salt) {
  constexpr int kFrames = 20, kFps = 10;  // two seconds
  switch (kind) {
    case MediaSample::JpegJfif: return EncodeJpeg(DrawScene(320, 240, salt), JpegHeader::kJfif, 85);
    case MediaSample::JpegExif: return EncodeJpeg(DrawScene(240, 320, salt), JpegHeader::kExif, 85);
    case MediaSample::Png: return EncodePng(DrawScene(320, 240, salt));
    case MediaSample::Gif: return EncodeGif(DrawScene(160, 120, salt));
    case MediaSample::Bmp: return EncodeBmp(DrawScene(160, 120, salt));
    case MediaSample::Wave: return EncodeTuneWave(2000, salt);
    case MediaSample::Avi: return EncodeMjpegAvi(240, 180, kFrames, kFps, salt);
    case MediaSample::QuickTime:
      return EncodeMjpegIso("qt  ", 0x20050300, "qt  ", 240, 180, kFrames, kFps, salt);
    case MediaSample::Mp4: return EncodeMjpegIso("isom", 0x200, "isomiso2mp41", 240, 180, kFrames, kFps, salt);
    case MediaSample::Mp4Brand: return EncodeMjpegIso("mp42", 0, "mp42isom", 240, 180, kFrames, kFps, salt);
    case MediaSample::M4v: return EncodeMjpegIso("M4V ", 1, "M4V M4A mp42", 240, 180, kFrames, kFps, salt);
    case MediaSample::ThreeGp: return EncodeMjpegIso("3gp4", 0x200, "isom3gp4", 240, 180, kFrames, kFps, salt);
    case MediaSample::Heic: {
      std::string heic = EncodeHeic(DrawScene(320, 240, salt));
      return heic.empty() ? MediaSampleBytes(kind, 1024, salt) : heic;
    }
    default: return MediaSampleBytes(kind, 1024, salt);
  }
}

}  // namespace

std::string MediaSampleContent(MediaSample kind, uint32_t salt) {
  // Drawing and encoding (HEVC above all) is most of a backup's making:
  // each sample once per process (both demo backups ask for the same ones).
  static std::mutex lock;
  static std::map<std::pair<MediaSample, uint32_t>, std::string> made;
  std::lock_guard<std::mutex> guard(lock);
  auto it = made.find({kind, salt});
  if (it == made.end()) it = made.emplace(std::make_pair(kind, salt), MakeContent(kind, salt)).first;
  return it->second;
}

const char* MediaSampleExtension(MediaSample kind) {
  switch (kind) {
    case MediaSample::JpegJfif:
    case MediaSample::JpegExif: return "jpg";
    case MediaSample::Png: return "png";
    case MediaSample::Gif: return "gif";
    case MediaSample::Bmp: return "bmp";
    case MediaSample::Ico: return "ico";
    case MediaSample::Wave: return "wav";
    case MediaSample::Avi: return "avi";
    case MediaSample::Midi: return "mid";
    case MediaSample::Mp3: return "mp3";
    case MediaSample::MpegProgram:
    case MediaSample::MpegVideo: return "mpeg";
    case MediaSample::Asf: return "wmv";
    case MediaSample::RealMedia: return "rmvb";
    case MediaSample::ThreeGp: return "3gp";
    case MediaSample::Mp4:
    case MediaSample::Mp4Brand:
    case MediaSample::M4v: return "mp4";
    case MediaSample::QuickTime:
    case MediaSample::QuickTimeMoov: return "mov";
    case MediaSample::Heic: return "heic";
  }
  return "";
}

void AddMediaFamily(BackupWriter& writer, const FamilyOptions& options) {
  using S = MediaSample;
  uint32_t salt = options.seed;
  auto add = [&](const std::string& domain, const std::string& path, S kind, size_t size) {
    writer.AddFile(domain, path, MediaSampleBytes(kind, size, salt++));
  };
  // A file a preview shows or plays (a picture, a sound, a movie).
  auto real = [&](const std::string& domain, const std::string& path, S kind) {
    writer.AddFile(domain, path, MediaSampleContent(kind, salt++));
  };

  // Camera Roll: every picture and video type of a phone, one of each
  // header variant; pictures decode and movies play where a preview can
  // show them.
  const std::string dcim = "Media/DCIM/100APPLE/";
  writer.AddDirectory("CameraRollDomain", "Media/DCIM");
  writer.AddDirectory("CameraRollDomain", "Media/DCIM/100APPLE");
  real("CameraRollDomain", dcim + "IMG_0001.JPG", S::JpegJfif);
  real("CameraRollDomain", dcim + "IMG_0002.JPG", S::JpegExif);
  real("CameraRollDomain", dcim + "IMG_0003.PNG", S::Png);
  real("CameraRollDomain", dcim + "IMG_0004.MOV", S::QuickTime);
  real("CameraRollDomain", dcim + "IMG_0005.HEIC", S::Heic);
  real("CameraRollDomain", dcim + "IMG_0006.MP4", S::Mp4Brand);
  real("CameraRollDomain", dcim + "IMG_0007.GIF", S::Gif);
  real("CameraRollDomain", dcim + "img_0008.bmp", S::Bmp);
  real("CameraRollDomain", dcim + "IMG_0009.M4V", S::M4v);
  for (int i = 1; i < options.scale; ++i) {
    for (int k = 0; k < 20; ++k) {
      add("CameraRollDomain", dcim + "IMG_" + std::to_string(1000 + i * 20 + k) + ".JPG", S::JpegExif, 600 + k);
    }
  }
  // Passed over: one byte short of the 512 the sniffer needs, a sidecar
  // that is no picture, and a link (whose data is never stored).
  writer.AddFile("CameraRollDomain", dcim + "IMG_0010.JPG", MediaSampleBytes(S::JpegJfif, 511).substr(0, 511));
  writer.AddFile("CameraRollDomain", dcim + "IMG_0011.AAE",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + std::string(600, ' ') +
                     "</dict></plist>\n");
  writer.AddLink("CameraRollDomain", dcim + "Latest.JPG", "IMG_0001.JPG");

  // Photo Stream.
  const std::string stream = "Media/PhotoStreamsData/1234567890/100APPLE/";
  writer.AddDirectory("MediaDomain", "Media/PhotoStreamsData/1234567890/100APPLE");
  real("MediaDomain", stream + "IMG_0101.JPG", S::JpegJfif);
  real("MediaDomain", stream + "IMG_0102.PNG", S::Png);
  real("MediaDomain", stream + "IMG_0103.HEIC", S::Heic);

  // Message attachments: the stored name says one thing, the content
  // another; the sniffed extension wins.
  const std::string att = "Library/SMS/Attachments/0a/10/6F1E0D2C-0000-4000-8000-00000000A001/";
  const std::string att2 = "Library/SMS/Attachments/1b/11/6F1E0D2C-0000-4000-8000-00000000A002/";
  real("MediaDomain", att + "photo.jpeg", S::JpegJfif);
  add("MediaDomain", att + "clip.mov", S::QuickTimeMoov, 3100);
  add("MediaDomain", att + "voice.mp3", S::Mp3, 3200);
  add("MediaDomain", att + "movie.mpg", S::MpegProgram, 3300);
  add("MediaDomain", att + "trailer.m1v", S::MpegVideo, 3400);
  add("MediaDomain", att2 + "video.wmv", S::Asf, 3500);
  add("MediaDomain", att2 + "song.mid", S::Midi, 3600);
  real("MediaDomain", att2 + "sound", S::Wave);  // no extension at all
  real("MediaDomain", att2 + "IMG_2001.heic", S::Heic);
  writer.AddFile("MediaDomain", att2 + "contact.vcf",
                 "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna\r\n" + std::string(600, 'x') + "\r\nEND:VCARD\r\n");
  writer.AddFile("MediaDomain", att2 + "tiny.gif", MediaSampleBytes(S::Gif, 100).substr(0, 100));

  // Application media.
  real("AppDomain-com.example.camera", "Documents/photo1.jpg", S::JpegExif);
  real("AppDomain-com.example.camera", "Documents/render.png", S::Png);
  // A name in decomposed form (as the device stores it): "Fotoğraf çiçek.jpg".
  real("AppDomain-com.example.camera", "Documents/Fotog\xcc\x86raf c\xcc\xa7ic\xcc\xa7""ek.jpg", S::JpegJfif);
  real("AppDomain-com.example.player", "Documents/clip.avi", S::Avi);
  add("AppDomain-com.example.player", "Documents/film.rmvb", S::RealMedia, 4400);
  real("AppDomain-com.example.player", "Documents/tune.wav", S::Wave);
  real("AppDomain-com.example.player", "Documents/show.3gp", S::ThreeGp);
  real("AppDomain-com.example.player", "Documents/movie.mp4", S::Mp4);
  add("AppDomain-org.example.tool", "Documents/com.icon.ico", S::Ico, 4800);  // "com." with no later "-"
  writer.AddFile("AppDomain-com.example.camera", "Library/Caches/readme.txt", std::string(700, 'r'));

  // WhatsApp media inside its application container.
  const std::string wa = "Library/Media/4915112345678@s.whatsapp.net/a/b/";
  real("AppDomain-net.whatsapp.WhatsApp", wa + "photo-1.jpg", S::JpegJfif);
  real("AppDomain-net.whatsapp.WhatsApp", wa + "video-1.mp4", S::Mp4Brand);
  real("AppDomain-net.whatsapp.WhatsApp", wa + "Audio-1.wav", S::Wave);
  const std::filesystem::path gone =
      writer.AddFile("AppDomain-net.whatsapp.WhatsApp", wa + "gone.jpg", MediaSampleBytes(S::JpegJfif, 5300));
  std::error_code ec;
  std::filesystem::remove(gone, ec);  // listed in the manifest, missing from the folder
}

void BuildPhotosDb(const fs::path& path, const std::vector<GenPhotoAsset>& assets) {
  FixtureDb db(path);
  db.Exec(
      "CREATE TABLE ZASSET ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZACTIVELIBRARYSCOPEPARTICIPATIONSTATE "
      "INTEGER, ZAVALANCHEKIND INTEGER, ZBUNDLESCOPE INTEGER, ZCAMERAPROCESSINGADJUSTMENTSTATE INTEGER, "
      "ZCLOUDISDELETABLE INTEGER, ZCLOUDISMYASSET INTEGER, ZCOMPLETE INTEGER, ZDEFERREDPROCESSING INTEGER, "
      "ZFAVORITE INTEGER, ZHASADJUSTMENTS INTEGER, ZHIDDEN INTEGER, ZKIND INTEGER, ZKINDSUBTYPE INTEGER, "
      "ZORIENTATION INTEGER, ZPLAYBACKSTYLE INTEGER, ZSAVEDASSETTYPE INTEGER, ZTRASHEDSTATE INTEGER, "
      "ZVISIBILITYSTATE INTEGER, ZHEIGHT INTEGER, ZWIDTH INTEGER, ZADDEDDATE TIMESTAMP, ZDATECREATED TIMESTAMP, "
      "ZMODIFICATIONDATE TIMESTAMP, ZTRASHEDDATE TIMESTAMP, ZLATITUDE FLOAT, ZLONGITUDE FLOAT, "
      "ZDIRECTORY VARCHAR, ZFILENAME VARCHAR, ZORIGINALCOLORSPACE VARCHAR, ZUNIFORMTYPEIDENTIFIER VARCHAR, "
      "ZUUID VARCHAR )");
  db.Exec("CREATE INDEX ZASSET_ZTRASHEDSTATE ON ZASSET (ZTRASHEDSTATE)");
  db.Exec("BEGIN");
  int64_t pk = 0;
  for (const GenPhotoAsset& a : assets) {
    const double created = static_cast<double>(a.unixCreated - kAppleEpochOffset) + 0.5;
    db.Run("INSERT INTO ZASSET (Z_PK, Z_ENT, Z_OPT, ZKIND, ZTRASHEDSTATE, ZVISIBILITYSTATE, ZHEIGHT, ZWIDTH, "
           "ZADDEDDATE, ZDATECREATED, ZMODIFICATIONDATE, ZTRASHEDDATE, ZDIRECTORY, ZFILENAME, ZUUID) "
           "VALUES (?, 3, 4, 0, ?, 0, 3024, 4032, ?, ?, ?, ?, ?, ?, ?)",
           {++pk, int64_t{a.trashed ? 1 : 0}, created + 5, created, created + 5,
            a.trashed ? Value(static_cast<double>(a.unixTrashed - kAppleEpochOffset)) : Value(nullptr), a.directory,
            a.fileName, Format("A1B2C3D4-0000-4000-8000-%012lld", static_cast<long long>(pk))});
  }
  db.Exec("COMMIT");
  // An asset the library removed for good: gone, whatever its bytes say.
  db.Run("INSERT INTO ZASSET (Z_PK, Z_ENT, Z_OPT, ZTRASHEDSTATE, ZDIRECTORY, ZFILENAME) VALUES (?, 3, 1, 1, ?, ?)",
         {++pk, std::string("DCIM/100APPLE"), std::string("IMG_0003.PNG")});
  db.Run("DELETE FROM ZASSET WHERE Z_PK = ?", {pk});
}

std::vector<GenPhotoAsset> CurrentPhotoAssets() {
  std::vector<GenPhotoAsset> assets;
  const char* names[] = {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.PNG", "IMG_0004.MOV", "IMG_0005.HEIC"};
  int64_t when = 1700000000;
  for (const char* name : names) {
    GenPhotoAsset a;
    a.fileName = name;
    a.unixCreated = when;
    when += 3600;
    assets.push_back(a);
  }
  assets[1].trashed = true;
  assets[1].unixTrashed = 1701000000;
  assets[4].trashed = true;
  assets[4].unixTrashed = 1701003600;
  return assets;
}

void AddCurrentMediaFamily(BackupWriter& writer, const FamilyOptions& options) {
  AddMediaFamily(writer, options);
  const fs::path built = writer.ScratchPath("Photos.sqlite");
  BuildPhotosDb(built, CurrentPhotoAssets());
  writer.AddDirectory("CameraRollDomain", "Media/PhotoData");
  writer.AddFileFrom("CameraRollDomain", "Media/PhotoData/Photos.sqlite", built);
}

}  // namespace orbanix::gen
