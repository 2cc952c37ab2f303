#include "tools/backupgen/media_encode.h"

#include "tools/backupgen/byte_writers.h"

#include <libheif/heif.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace orbanix::gen {

namespace {

constexpr double kPi = 3.14159265358979323846;


uint8_t Clamp8(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// ---------------------------------------------------------------- drawing

struct Rgb {
  double r, g, b;
};

Rgb Mix(Rgb a, Rgb b, double t) {
  t = std::clamp(t, 0.0, 1.0);
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

struct Palette {
  Rgb skyTop, skyLow, sun, farHill, nearHill, water;
};

const Palette kPalettes[] = {
    {{40, 90, 180}, {170, 210, 240}, {255, 230, 120}, {90, 140, 90}, {40, 110, 50}, {30, 80, 150}},
    {{60, 30, 90}, {250, 150, 90}, {255, 200, 80}, {120, 70, 90}, {60, 40, 60}, {80, 50, 110}},
    {{20, 30, 70}, {90, 110, 170}, {240, 240, 220}, {50, 70, 90}, {25, 40, 50}, {20, 40, 80}},
    {{120, 180, 230}, {230, 240, 250}, {255, 250, 200}, {150, 160, 120}, {190, 170, 110}, {60, 140, 170}},
    {{200, 90, 60}, {250, 210, 140}, {255, 240, 180}, {140, 80, 60}, {90, 60, 40}, {150, 80, 70}},
};

}  // namespace

Picture DrawScene(int width, int height, uint32_t salt, int frame) {
  Picture p;
  p.width = std::max(1, width);
  p.height = std::max(1, height);
  p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
  const Palette& pal = kPalettes[salt % (sizeof kPalettes / sizeof kPalettes[0])];
  const double w = p.width, h = p.height;
  const double phase = (salt % 97) * 0.37;
  const double horizon = h * (0.55 + 0.1 * ((salt / 5) % 3) / 2.0);
  const double waterLine = h * 0.82;
  const double sunX = w * (0.2 + 0.6 * ((salt * 7 % 10) / 10.0)) + frame * w / 60.0;
  const double sunY = h * 0.28 - frame * h / 200.0;
  const double sunR = std::min(w, h) * 0.11;
  const double ballX = std::fmod(w * 0.1 + frame * w / 24.0, w);
  const double ballY = waterLine - std::min(w, h) * 0.06 - std::abs(std::sin(frame * 0.5)) * h * 0.12;
  const double ballR = std::min(w, h) * 0.05;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      Rgb c = Mix(pal.skyTop, pal.skyLow, y / horizon);
      const double d = std::hypot(x - sunX, y - sunY);
      if (d < sunR * 2.2) c = Mix(c, pal.sun, d < sunR ? 1.0 : 0.35 * (sunR * 2.2 - d) / (sunR * 1.2));
      const double far = horizon - h * 0.12 * (1 + std::sin(x / w * 5.0 + phase)) / 2;
      const double near = horizon + h * 0.05 - h * 0.10 * (1 + std::sin(x / w * 3.0 + phase * 1.7 + 1)) / 2;
      if (y >= far) c = Mix(pal.farHill, pal.nearHill, (y - far) / (h * 0.5));
      if (y >= near) c = Mix(pal.nearHill, Rgb{20, 40, 20}, (y - near) / (h * 0.6));
      if (y >= waterLine) {
        const double ripple = 0.5 + 0.5 * std::sin(y * 0.9 + std::sin(x * 0.15 + frame) * 2);
        c = Mix(pal.water, Rgb{200, 220, 240}, 0.25 * ripple * (y - waterLine) / (h - waterLine + 1));
      }
      if (frame > 0 && std::hypot(x - ballX, y - ballY) < ballR) c = Rgb{220, 40, 40};
      uint8_t* px = p.at(x, y);
      px[0] = Clamp8(c.r);
      px[1] = Clamp8(c.g);
      px[2] = Clamp8(c.b);
    }
  }
  return p;
}

// ------------------------------------------------------------------- JPEG

namespace {

// Natural (row-major) index of the k-th coefficient in zig-zag order.
std::array<int, 64> ZigZag() {
  std::array<int, 64> zig{};
  int k = 0;
  for (int s = 0; s < 15; ++s) {
    for (int i = 0; i <= s; ++i) {
      const int row = (s % 2 == 0) ? s - i : i;
      const int col = s - row;
      if (row < 8 && col < 8) zig[k++] = row * 8 + col;
    }
  }
  return zig;
}

// A quantiser that grows with the frequency; chroma is coarser.
std::array<int, 64> Quantiser(bool chroma, int quality) {
  quality = std::clamp(quality, 1, 100);
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::array<int, 64> q{};
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      const int base = chroma ? 17 + 9 * (r + c) : 10 + 6 * (r + c);
      // At least 2: keeps every DC difference within category 11.
      q[r * 8 + c] = std::clamp((base * scale + 50) / 100, 2, 255);
    }
  }
  return q;
}

// The single code table pair used by every component: DC categories 0..11
// as 4-bit codes, AC symbols (end of block, sixteen zeros, then every
// run/size pair) as 8-bit codes, each symbol's code being its position.
struct CodeTables {
  std::vector<uint8_t> acSymbols;
  std::array<int, 256> acCode{};
  CodeTables() {
    acCode.fill(-1);
    acSymbols.push_back(0x00);
    acSymbols.push_back(0xF0);
    for (int run = 0; run < 16; ++run) {
      for (int size = 1; size <= 10; ++size) acSymbols.push_back(static_cast<uint8_t>(run << 4 | size));
    }
    for (size_t i = 0; i < acSymbols.size(); ++i) acCode[acSymbols[i]] = static_cast<int>(i);
  }
};

const CodeTables& Tables() {
  static const CodeTables tables;
  return tables;
}

class BitWriter {
 public:
  explicit BitWriter(std::string& out) : out_(out) {}
  void Put(uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>(acc_ << 1 | ((bits >> i) & 1));
      if (++n_ == 8) Emit();
    }
  }
  void Flush() {
    while (n_ != 0) Put(1, 1);  // padded with ones
  }

 private:
  void Emit() {
    out_.push_back(static_cast<char>(acc_));
    if (acc_ == 0xFF) out_.push_back('\0');  // stuffed
    acc_ = 0;
    n_ = 0;
  }
  std::string& out_;
  uint8_t acc_ = 0;
  int n_ = 0;
};

int Category(int v) {
  int a = std::abs(v), n = 0;
  while (a) {
    ++n;
    a >>= 1;
  }
  return n;
}

uint32_t Magnitude(int v, int category) {
  return static_cast<uint32_t>(v < 0 ? v + (1 << category) - 1 : v) & ((1u << category) - 1);
}

void Segment(std::string& s, int marker, const std::string& body) {
  s.push_back('\xFF');
  s.push_back(static_cast<char>(marker));
  Be16(s, static_cast<uint32_t>(body.size() + 2));
  s += body;
}

}  // namespace

std::string EncodeJpeg(const Picture& picture, JpegHeader header, int quality) {
  const std::array<int, 64> zig = ZigZag();
  const std::array<int, 64> quant[2] = {Quantiser(false, quality), Quantiser(true, quality)};
  const CodeTables& tables = Tables();

  std::string s("\xFF\xD8", 2);
  if (header == JpegHeader::kExif) {
    std::string app1 = std::string("Exif\0\0", 6) + std::string("II*\0\x08\0\0\0", 8);
    app1 += std::string(6, '\0');  // an empty first directory, no next one
    Segment(s, 0xE1, app1);
  } else {
    std::string app0("JFIF\0", 5);
    app0 += std::string("\x01\x01\x00\x00\x01\x00\x01\x00\x00", 9);
    Segment(s, 0xE0, app0);
  }
  for (int t = 0; t < 2; ++t) {
    std::string dqt(1, static_cast<char>(t));
    for (int k = 0; k < 64; ++k) dqt.push_back(static_cast<char>(quant[t][zig[k]]));
    Segment(s, 0xDB, dqt);
  }
  std::string sof(1, 8);
  Be16(sof, static_cast<uint32_t>(picture.height));
  Be16(sof, static_cast<uint32_t>(picture.width));
  sof.push_back(3);
  for (int c = 0; c < 3; ++c) {
    sof.push_back(static_cast<char>(c + 1));
    sof.push_back(0x11);
    sof.push_back(static_cast<char>(c == 0 ? 0 : 1));
  }
  Segment(s, 0xC0, sof);
  std::string dht;
  dht.push_back(0x00);  // DC table 0
  for (int len = 1; len <= 16; ++len) dht.push_back(static_cast<char>(len == 4 ? 12 : 0));
  for (int cat = 0; cat < 12; ++cat) dht.push_back(static_cast<char>(cat));
  dht.push_back(0x10);  // AC table 0
  for (int len = 1; len <= 16; ++len) dht.push_back(static_cast<char>(len == 8 ? tables.acSymbols.size() : 0));
  for (uint8_t sym : tables.acSymbols) dht.push_back(static_cast<char>(sym));
  Segment(s, 0xC4, dht);
  std::string sos(1, 3);
  for (int c = 0; c < 3; ++c) {
    sos.push_back(static_cast<char>(c + 1));
    sos.push_back(0x00);
  }
  sos += std::string("\x00\x3F\x00", 3);
  Segment(s, 0xDA, sos);

  double cosine[8][8];
  for (int x = 0; x < 8; ++x) {
    for (int u = 0; u < 8; ++u) cosine[x][u] = std::cos((2 * x + 1) * u * kPi / 16);
  }
  BitWriter bits(s);
  int previousDc[3] = {0, 0, 0};
  for (int by = 0; by < picture.height; by += 8) {
    for (int bx = 0; bx < picture.width; bx += 8) {
      double plane[3][8][8];
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          const uint8_t* px = picture.at(std::min(bx + x, picture.width - 1), std::min(by + y, picture.height - 1));
          const double r = px[0], g = px[1], b = px[2];
          plane[0][y][x] = 0.299 * r + 0.587 * g + 0.114 * b - 128;
          plane[1][y][x] = -0.168736 * r - 0.331264 * g + 0.5 * b;
          plane[2][y][x] = 0.5 * r - 0.418688 * g - 0.081312 * b;
        }
      }
      for (int c = 0; c < 3; ++c) {
        // Rows first, then columns.
        double rows[8][8];
        for (int y = 0; y < 8; ++y) {
          for (int u = 0; u < 8; ++u) {
            double sum = 0;
            for (int x = 0; x < 8; ++x) sum += plane[c][y][x] * cosine[x][u];
            rows[y][u] = sum * (u == 0 ? std::sqrt(0.5) : 1.0) / 2;
          }
        }
        int coef[64];
        const std::array<int, 64>& q = quant[c == 0 ? 0 : 1];
        for (int v = 0; v < 8; ++v) {
          for (int u = 0; u < 8; ++u) {
            double sum = 0;
            for (int y = 0; y < 8; ++y) sum += rows[y][u] * cosine[y][v];
            sum *= (v == 0 ? std::sqrt(0.5) : 1.0) / 2;
            coef[v * 8 + u] = static_cast<int>(std::lround(sum / q[v * 8 + u]));
          }
        }
        const int diff = coef[0] - previousDc[c];
        previousDc[c] = coef[0];
        const int dcCat = Category(diff);
        bits.Put(static_cast<uint32_t>(dcCat), 4);
        if (dcCat) bits.Put(Magnitude(diff, dcCat), dcCat);
        int run = 0;
        for (int k = 1; k < 64; ++k) {
          const int v = coef[zig[k]];
          if (v == 0) {
            ++run;
            continue;
          }
          for (; run > 15; run -= 16) bits.Put(static_cast<uint32_t>(tables.acCode[0xF0]), 8);
          const int cat = std::min(Category(v), 10);
          bits.Put(static_cast<uint32_t>(tables.acCode[run << 4 | cat]), 8);
          bits.Put(Magnitude(std::clamp(v, -1023, 1023), cat), cat);
          run = 0;
        }
        if (run > 0) bits.Put(static_cast<uint32_t>(tables.acCode[0x00]), 8);
      }
    }
  }
  bits.Flush();
  s += "\xFF\xD9";
  return s;
}

std::string PadJpeg(std::string jpeg, size_t size) {
  if (jpeg.size() >= size || jpeg.size() < 4) return jpeg;
  // After SOI and the first segment.
  const size_t at = 4 + ((static_cast<uint8_t>(jpeg[4]) << 8) | static_cast<uint8_t>(jpeg[5]));
  std::string pad;
  size_t left = size - jpeg.size();
  while (left > 0) {
    // A segment is 4 bytes of marker and length plus up to 65533 of text;
    // never leave fewer than 4 bytes for the next one.
    size_t n = std::min<size_t>(left, 65537);
    if (left - n != 0 && left - n < 4) n = left - 4;
    n = std::max<size_t>(n, 4);
    pad += "\xFF\xFE";
    Be16(pad, static_cast<uint32_t>(n - 2));
    for (size_t i = 4; i < n; ++i) pad.push_back(static_cast<char>('a' + i % 26));
    left -= std::min(left, n);
  }
  jpeg.insert(at, pad);
  return jpeg;
}

// -------------------------------------------------------------------- PNG

namespace {

std::string PngChunk(const char* type, const std::string& data) {
  std::string s;
  Be32(s, static_cast<uint32_t>(data.size()));
  const std::string body = type + data;
  s += body;
  Be32(s, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  return s;
}

}  // namespace

std::string EncodePng(const Picture& picture, const std::string& comment) {
  std::string ihdr;
  Be32(ihdr, static_cast<uint32_t>(picture.width));
  Be32(ihdr, static_cast<uint32_t>(picture.height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  std::string raw;
  raw.reserve(static_cast<size_t>(picture.height) * (picture.width * 3 + 1));
  for (int y = 0; y < picture.height; ++y) {
    raw.push_back('\0');  // no filter
    raw.append(reinterpret_cast<const char*>(picture.at(0, y)), static_cast<size_t>(picture.width) * 3);
  }
  uLongf packedLen = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packedLen, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &packedLen, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 9);
  packed.resize(packedLen);
  std::string s = "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", ihdr);
  if (!comment.empty()) s += PngChunk("tEXt", std::string("Comment\0", 8) + comment);
  return s + PngChunk("IDAT", packed) + PngChunk("IEND", "");
}

// -------------------------------------------------------------------- WAV

std::string EncodeTuneWave(int millis, uint32_t salt, int sampleRate) {
  static const double kScale[] = {261.63, 293.66, 329.63, 392.00, 440.00, 523.25};
  const uint32_t count = static_cast<uint32_t>(std::max(1, millis) * static_cast<int64_t>(sampleRate) / 1000);
  const uint32_t noteLength = static_cast<uint32_t>(sampleRate / 4);
  std::string s = "RIFF";
  Le32(s, 36 + count * 2);
  s += "WAVEfmt ";
  Le32(s, 16);
  Le16(s, 1);  // PCM
  Le16(s, 1);  // mono
  Le32(s, static_cast<uint32_t>(sampleRate));
  Le32(s, static_cast<uint32_t>(sampleRate) * 2);
  Le16(s, 2);
  Le16(s, 16);
  s += "data";
  Le32(s, count * 2);
  uint32_t x = salt * 2654435761u + 1;
  double freq = kScale[0];
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t inNote = i % noteLength;
    if (inNote == 0) {
      x = x * 1103515245u + 12345u;
      freq = kScale[(x >> 16) % 6];
    }
    const double t = static_cast<double>(i) / sampleRate;
    const double envelope = std::min(1.0, inNote / 200.0) * std::exp(-3.0 * inNote / noteLength);
    const double v = 9000 * envelope * (std::sin(2 * kPi * freq * t) + 0.3 * std::sin(4 * kPi * freq * t));
    Le16(s, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))));
  }
  return s;
}

// ------------------------------------------------------------------- HEIC

std::string EncodeHeic(const Picture& picture, int quality) {
  std::string out;
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* image = nullptr;
  heif_image_handle* handle = nullptr;
  if (context && heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok &&
      heif_image_create(picture.width, picture.height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code ==
          heif_error_Ok &&
      heif_image_add_plane(image, heif_channel_interleaved, picture.width, picture.height, 8).code == heif_error_Ok) {
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < picture.height; ++y) {
      std::copy_n(picture.at(0, y), static_cast<size_t>(picture.width) * 3, plane + static_cast<size_t>(y) * stride);
    }
    heif_encoder_set_lossy_quality(encoder, quality);
    // Quiet and quick (these names are not known to every version).
    heif_encoder_set_parameter_string(encoder, "x265:log-level", "none");
    heif_encoder_set_parameter_string(encoder, "preset", "ultrafast");
    if (heif_context_encode_image(context, image, encoder, nullptr, &handle).code == heif_error_Ok) {
      heif_writer writer{};
      writer.writer_api_version = 1;
      writer.write = [](heif_context*, const void* data, size_t size, void* user) {
        static_cast<std::string*>(user)->append(static_cast<const char*>(data), size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
      };
      if (heif_context_write(context, &writer, &out).code != heif_error_Ok) out.clear();
    }
  }
  if (handle) heif_image_handle_release(handle);
  if (image) heif_image_release(image);
  if (encoder) heif_encoder_release(encoder);
  if (context) heif_context_free(context);
  return out;
}

// -------------------------------------------------------------------- BMP

std::string EncodeBmp(const Picture& picture) {
  const uint32_t rowBytes = (static_cast<uint32_t>(picture.width) * 3 + 3) & ~3u;
  const uint32_t data = rowBytes * static_cast<uint32_t>(picture.height);
  std::string s = "BM";
  Le32(s, 54 + data);
  Le32(s, 0);
  Le32(s, 54);
  Le32(s, 40);
  Le32(s, static_cast<uint32_t>(picture.width));
  Le32(s, static_cast<uint32_t>(picture.height));
  Le16(s, 1);
  Le16(s, 24);
  Le32(s, 0);
  Le32(s, data);
  Le32(s, 2835);
  Le32(s, 2835);
  Le32(s, 0);
  Le32(s, 0);
  for (int y = picture.height - 1; y >= 0; --y) {
    for (int x = 0; x < picture.width; ++x) {
      const uint8_t* px = picture.at(x, y);
      s.push_back(static_cast<char>(px[2]));
      s.push_back(static_cast<char>(px[1]));
      s.push_back(static_cast<char>(px[0]));
    }
    s.append(rowBytes - static_cast<uint32_t>(picture.width) * 3, '\0');
  }
  return s;
}

// -------------------------------------------------------------------- GIF

std::string EncodeGif(const Picture& picture) {
  std::string s = "GIF89a";
  Le16(s, static_cast<uint32_t>(picture.width));
  Le16(s, static_cast<uint32_t>(picture.height));
  s.push_back(static_cast<char>(0xF7));  // global table of 256 entries
  s.push_back(0);
  s.push_back(0);
  for (int i = 0; i < 256; ++i) {
    s.push_back(static_cast<char>(((i >> 5) & 7) * 255 / 7));
    s.push_back(static_cast<char>(((i >> 2) & 7) * 255 / 7));
    s.push_back(static_cast<char>((i & 3) * 255 / 3));
  }
  s.push_back(0x2C);
  Le32(s, 0);
  Le16(s, static_cast<uint32_t>(picture.width));
  Le16(s, static_cast<uint32_t>(picture.height));
  s.push_back(0);
  s.push_back(8);  // minimum code size
  // Every pixel goes out as its own literal code; a clear code before the
  // table would grow past 511 entries keeps every code 9 bits wide.
  std::string codes;
  uint32_t acc = 0;
  int n = 0;
  auto put = [&](uint32_t code) {
    acc |= code << n;
    n += 9;
    while (n >= 8) {
      codes.push_back(static_cast<char>(acc & 0xFF));
      acc >>= 8;
      n -= 8;
    }
  };
  int sinceClear = 0;
  put(256);
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      if (sinceClear == 250) {
        put(256);
        sinceClear = 0;
      }
      // Ordered dithering over 2 x 2 pixels softens the bands of the cube.
      static const int kDither[4] = {0, 2, 3, 1};
      const int t = kDither[(y % 2) * 2 + x % 2];
      const uint8_t* px = picture.at(x, y);
      const int r = std::min(7, (px[0] * 7 + t * 64) / 255), g = std::min(7, (px[1] * 7 + t * 64) / 255),
                b = std::min(3, (px[2] * 3 + t * 64) / 255);
      put(static_cast<uint32_t>(r << 5 | g << 2 | b));
      ++sinceClear;
    }
  }
  put(257);  // end of information
  if (n > 0) codes.push_back(static_cast<char>(acc & 0xFF));
  for (size_t at = 0; at < codes.size(); at += 255) {
    const size_t len = std::min<size_t>(255, codes.size() - at);
    s.push_back(static_cast<char>(len));
    s += codes.substr(at, len);
  }
  s.push_back(0);
  s.push_back(0x3B);
  return s;
}

// -------------------------------------------------------------------- AVI

std::string EncodeMjpegAvi(int width, int height, int frames, int fps, uint32_t salt) {
  frames = std::max(1, frames);
  fps = std::max(1, fps);
  std::vector<std::string> jpegs;
  size_t largest = 0;
  for (int f = 0; f < frames; ++f) {
    jpegs.push_back(EncodeJpeg(DrawScene(width, height, salt, f + 1), JpegHeader::kJfif, 70));
    largest = std::max(largest, jpegs.back().size());
  }
  std::string movi = "movi";
  std::string index = "idx1";
  Le32(index, static_cast<uint32_t>(16 * frames));
  for (const std::string& jpeg : jpegs) {
    index += "00dc";
    Le32(index, 0x10);  // key frame
    Le32(index, static_cast<uint32_t>(movi.size()));  // from the "movi" name
    Le32(index, static_cast<uint32_t>(jpeg.size()));
    movi += "00dc";
    Le32(movi, static_cast<uint32_t>(jpeg.size()));
    movi += jpeg;
    if (jpeg.size() % 2) movi.push_back('\0');
  }

  std::string avih = "avih";
  Le32(avih, 56);
  Le32(avih, static_cast<uint32_t>(1000000 / fps));
  Le32(avih, static_cast<uint32_t>(largest * fps));
  Le32(avih, 0);
  Le32(avih, 0x10);  // has an index
  Le32(avih, static_cast<uint32_t>(frames));
  Le32(avih, 0);
  Le32(avih, 1);  // streams
  Le32(avih, static_cast<uint32_t>(largest));
  Le32(avih, static_cast<uint32_t>(width));
  Le32(avih, static_cast<uint32_t>(height));
  for (int i = 0; i < 4; ++i) Le32(avih, 0);

  std::string strh = "strh";
  Le32(strh, 56);
  strh += "vidsMJPG";
  Le32(strh, 0);  // flags
  Le32(strh, 0);  // priority, language
  Le32(strh, 0);  // initial frames
  Le32(strh, 1);  // scale
  Le32(strh, static_cast<uint32_t>(fps));
  Le32(strh, 0);  // start
  Le32(strh, static_cast<uint32_t>(frames));
  Le32(strh, static_cast<uint32_t>(largest));
  Le32(strh, 0xFFFFFFFFu);  // quality: default
  Le32(strh, 0);            // sample size: varies
  Le16(strh, 0);
  Le16(strh, 0);
  Le16(strh, static_cast<uint32_t>(width));
  Le16(strh, static_cast<uint32_t>(height));

  std::string strf = "strf";
  Le32(strf, 40);
  Le32(strf, 40);
  Le32(strf, static_cast<uint32_t>(width));
  Le32(strf, static_cast<uint32_t>(height));
  Le16(strf, 1);
  Le16(strf, 24);
  strf += "MJPG";
  Le32(strf, static_cast<uint32_t>(width * height * 3));
  for (int i = 0; i < 4; ++i) Le32(strf, 0);

  std::string strl = "strl" + strh + strf;
  std::string strlList = "LIST";
  Le32(strlList, static_cast<uint32_t>(strl.size()));
  strlList += strl;
  std::string hdrl = "hdrl" + avih + strlList;

  std::string body = "AVI LIST";
  Le32(body, static_cast<uint32_t>(hdrl.size()));
  body += hdrl;
  body += "LIST";
  Le32(body, static_cast<uint32_t>(movi.size()));
  body += movi;
  body += index;
  std::string s = "RIFF";
  Le32(s, static_cast<uint32_t>(body.size()));
  return s + body;
}

// ------------------------------------------------------------ ISO movie

namespace {

std::string Box(const char* type, const std::string& body) {
  std::string s;
  Be32(s, static_cast<uint32_t>(body.size() + 8));
  return s + type + body;
}

// A box with version 0 and `flags`.
std::string FullBox(const char* type, uint32_t flags, const std::string& body) {
  std::string head;
  Be32(head, flags & 0xFFFFFF);
  return Box(type, head + body);
}

std::string UnityMatrix() {
  std::string m;
  for (uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) Be32(m, v);
  return m;
}

}  // namespace

std::string EncodeMjpegIso(const std::string& majorBrand, uint32_t minorVersion, const std::string& compatible,
                           int width, int height, int frames, int fps, uint32_t salt) {
  frames = std::max(1, frames);
  fps = std::max(1, fps);
  const uint32_t timescale = 1000;
  const uint32_t delta = timescale / static_cast<uint32_t>(fps);
  const uint32_t duration = delta * static_cast<uint32_t>(frames);

  std::string ftypBody = majorBrand.substr(0, 4);
  Be32(ftypBody, minorVersion);
  ftypBody += compatible;
  const std::string ftyp = Box("ftyp", ftypBody);

  std::string mdatBody;
  std::string sizes;
  for (int f = 0; f < frames; ++f) {
    const std::string jpeg = EncodeJpeg(DrawScene(width, height, salt, f + 1), JpegHeader::kJfif, 70);
    Be32(sizes, static_cast<uint32_t>(jpeg.size()));
    mdatBody += jpeg;
  }
  const std::string mdat = Box("mdat", mdatBody);
  const uint32_t firstFrame = static_cast<uint32_t>(ftyp.size() + 8);

  std::string mvhd;
  Be32(mvhd, 0);  // created
  Be32(mvhd, 0);  // modified
  Be32(mvhd, timescale);
  Be32(mvhd, duration);
  Be32(mvhd, 0x00010000);  // rate 1.0
  Be16(mvhd, 0x0100);      // volume 1.0
  mvhd.append(10, '\0');
  mvhd += UnityMatrix();
  mvhd.append(24, '\0');
  Be32(mvhd, 2);  // next track

  std::string tkhd;
  Be32(tkhd, 0);
  Be32(tkhd, 0);
  Be32(tkhd, 1);  // track 1
  Be32(tkhd, 0);
  Be32(tkhd, duration);
  tkhd.append(8, '\0');
  Be16(tkhd, 0);  // layer
  Be16(tkhd, 0);  // alternate group
  Be16(tkhd, 0);  // volume: none for video
  Be16(tkhd, 0);
  tkhd += UnityMatrix();
  Be32(tkhd, static_cast<uint32_t>(width) << 16);
  Be32(tkhd, static_cast<uint32_t>(height) << 16);

  std::string mdhd;
  Be32(mdhd, 0);
  Be32(mdhd, 0);
  Be32(mdhd, timescale);
  Be32(mdhd, duration);
  Be16(mdhd, 0x55C4);  // "und"
  Be16(mdhd, 0);

  std::string hdlr;
  Be32(hdlr, 0);
  hdlr += "vide";
  hdlr.append(12, '\0');
  hdlr += std::string("Video\0", 6);

  std::string vmhd;
  Be16(vmhd, 0);
  vmhd.append(6, '\0');

  std::string dref;
  Be32(dref, 1);
  dref += FullBox("url ", 1, "");  // the data is in this file

  std::string entry(6, '\0');
  Be16(entry, 1);  // data reference 1
  entry.append(16, '\0');
  Be16(entry, static_cast<uint32_t>(width));
  Be16(entry, static_cast<uint32_t>(height));
  Be32(entry, 0x00480000);  // 72 dpi
  Be32(entry, 0x00480000);
  Be32(entry, 0);
  Be16(entry, 1);  // one frame per sample
  std::string compressor = "Photo - JPEG";
  entry.push_back(static_cast<char>(compressor.size()));
  entry += compressor;
  entry.append(31 - compressor.size(), '\0');
  Be16(entry, 24);      // depth
  Be16(entry, 0xFFFF);  // no colour table
  std::string stsd;
  Be32(stsd, 1);
  stsd += Box("jpeg", entry);

  std::string stts;
  Be32(stts, 1);
  Be32(stts, static_cast<uint32_t>(frames));
  Be32(stts, delta);
  std::string stsc;  // every frame in one chunk
  Be32(stsc, 1);
  Be32(stsc, 1);
  Be32(stsc, static_cast<uint32_t>(frames));
  Be32(stsc, 1);
  std::string stsz;
  Be32(stsz, 0);
  Be32(stsz, static_cast<uint32_t>(frames));
  stsz += sizes;
  std::string stco;
  Be32(stco, 1);
  Be32(stco, firstFrame);

  const std::string stbl = Box("stbl", FullBox("stsd", 0, stsd) + FullBox("stts", 0, stts) + FullBox("stsc", 0, stsc) +
                                           FullBox("stsz", 0, stsz) + FullBox("stco", 0, stco));
  const std::string minf = Box("minf", FullBox("vmhd", 1, vmhd) + Box("dinf", FullBox("dref", 0, dref)) + stbl);
  const std::string mdia = Box("mdia", FullBox("mdhd", 0, mdhd) + FullBox("hdlr", 0, hdlr) + minf);
  const std::string trak = Box("trak", FullBox("tkhd", 7, tkhd) + mdia);
  const std::string moov = Box("moov", FullBox("mvhd", 0, mvhd) + trak);
  return ftyp + mdat + moov;
}

}  // namespace orbanix::gen
