// The screenshot corpus, read with libpng into rasters like the ones a capture makes.
#pragma once

#include <png.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "raster/rasterimage.h"

namespace pixkeep::bench {

struct CorpusPicture {
  std::string name;
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top-down, 3 bytes a pixel
};

inline bool readPng(const std::string& path, CorpusPicture& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  out.width = int(image.width);
  out.height = int(image.height);
  out.rgb.resize(PNG_IMAGE_SIZE(image));
  return png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr) != 0;
}

// The corpus pictures and a 3840x2160 one made by doubling the desktop shot.
inline std::vector<CorpusPicture> loadCorpus() {
  std::vector<CorpusPicture> all;
  for (const char* name : {"desk_b_1920x1080.png", "plasma_1920x1080.png", "ui_640x480.png"}) {
    CorpusPicture p;
    p.name = name;
    if (!readPng(std::string(CORPUS_DIR) + "/" + name, p)) {
      // A benchmark without its pictures measures nothing: stop, and say why.
      std::fprintf(stderr, "corpus picture missing or unreadable: %s/%s\n", CORPUS_DIR, name);
      std::exit(1);
    }
    all.push_back(std::move(p));
  }
  if (!all.empty() && all[0].width == 1920) {
    const CorpusPicture& s = all[0];
    CorpusPicture big;
    big.name = "desk_b scaled to 3840x2160";
    big.width = s.width * 2;
    big.height = s.height * 2;
    big.rgb.resize(size_t(big.width) * size_t(big.height) * 3);
    for (int y = 0; y < big.height; ++y)
      for (int x = 0; x < big.width; ++x)
        for (int c = 0; c < 3; ++c)
          big.rgb[(size_t(y) * size_t(big.width) + size_t(x)) * 3 + size_t(c)] =
              s.rgb[(size_t(y / 2) * size_t(s.width) + size_t(x / 2)) * 3 + size_t(c)];
    all.push_back(std::move(big));
  }
  return all;
}

// PNG bytes as a screenshot tool would put them on the clipboard (libpng defaults).
inline std::vector<uint8_t> pngBytesOf(const CorpusPicture& c) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(c.width);
  image.height = png_uint_32(c.height);
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, c.rgb.data(), 0, nullptr);
  std::vector<uint8_t> out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, c.rgb.data(), 0, nullptr)) return {};
  out.resize(size);
  return out;
}

// A 32-bit device raster, as a capture on a 32-bit display makes it.
inline void toDeviceRaster(const CorpusPicture& p, RasterImage& r) {
  r.createBlank(p.width, p.height, PixelFormat::Device);
  for (int y = 0; y < p.height; ++y) {
    uint8_t* row = r.scanline(y);
    const uint8_t* src = &p.rgb[size_t(y) * size_t(p.width) * 3];
    for (int x = 0; x < p.width; ++x) {
      row[4 * x] = src[3 * x + 2];
      row[4 * x + 1] = src[3 * x + 1];
      row[4 * x + 2] = src[3 * x];
      row[4 * x + 3] = 0;
    }
  }
}

}  // namespace pixkeep::bench
