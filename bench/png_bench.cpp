// PNG saving with the capture's settings (filter None) against libpng at the
// same level, window bits, memory level and strategy; and the memory a save
// needs beyond the picture.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <png.h>
#include <string>
#include <zlib.h>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "codecs/png/pngimage.h"

using namespace pixkeep;

static std::vector<uint8_t> libpngSave(const TChunkIHDR& h, int level) {
  std::vector<uint8_t> out;
  out.reserve(size_t(h.Width) * size_t(h.Height));
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, png_size_t n) {
        auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
        v->insert(v->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, png_uint_32(h.Width), png_uint_32(h.Height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_set_compression_level(png, level);
  png_set_compression_window_bits(png, 15);
  png_set_compression_mem_level(png, 8);
  png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
  png_write_info(png, info);
  png_set_bgr(png);  // the same blue-green-red rows the PNG object holds
  // A picture made from a 32-bit raster holds that raster's rows: libpng drops the fourth bytes.
  if (h.image.wide()) png_set_filler(png, 0, PNG_FILLER_AFTER);
  const RasterImage& rows = h.image.held();
  for (int y = 0; y < h.Height; ++y) png_write_row(png, const_cast<png_bytep>(rows.constScanline(y)));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

static std::vector<uint8_t> decodeRgb(const std::vector<uint8_t>& file) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return {};
  return rgb;
}

static long statusKb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

// A stream that only counts, so that nothing but the writer itself uses memory.
class CountingStream : public Stream {
 public:
  size_t read(void*, size_t) override { return 0; }
  size_t write(const void*, size_t n) override { total_ += n; return n; }
  uint64_t position() const override { return total_; }
  uint64_t size() const override { return total_; }

 private:
  uint64_t total_ = 0;
};

static bool measureMemory(const bench::CorpusPicture& picture) {
  RasterImage raster;
  bench::toDeviceRaster(picture, raster);
  TPNGObject png;
  png.rowFilters = pfNone;
  png.assign(raster);
  png.deflateLevel = 6;
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak count
  const long before = statusKb("VmRSS:"), peakBefore = statusKb("VmHWM:");
  CountingStream sink;
  png.saveToStream(sink);
  const long peak = statusKb("VmHWM:");
  const long rowBytes = long(picture.width) * 3;
  const long budgetKb = (6 * rowBytes + 65535 + (1 << 17) + (1 << 17) + 6 * 1024) / 1024;  // rows, buffer, zlib
  const long extra = peak - before;
  const bool ok = peakBefore >= 0 && extra <= budgetKb + 64;  // a few pages of slack for the allocator
  std::printf("extra memory of a save, %s: %ld KB (budget: six rows, zlib state and 64 KB buffer = %ld KB) %s\n",
              picture.name.c_str(), extra, budgetKb, ok ? "ok" : "MISSED");
  return ok;
}

int main() {
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  bool ok = true;
  auto corpus = bench::loadCorpus();
  for (const auto& picture : corpus) {
    RasterImage raster;
    bench::toDeviceRaster(picture, raster);
    TPNGObject png;
    png.rowFilters = pfNone;
    png.assign(raster);
    for (int level : {1, 6, 9}) {
      png.deflateLevel = uint8_t(level);
      std::vector<uint8_t> ours, theirs;
      auto [tOurs, tLibpng] = bench::medianPair(
          [&] {
            MemoryStream s;
            s.reserve(size_t(picture.width) * size_t(picture.height));
            png.saveToStream(s);
            ours = s.take();
          },
          [&] { theirs = libpngSave(png.headerChunk(), level); }, level == 9 ? 5 : 9);
      char label[96];
      std::snprintf(label, sizeof label, "PNG level %d %s", level, picture.name.c_str());
      ok &= bench::report(label, tOurs, tLibpng, 1.05);
      auto a = decodeRgb(ours), b = decodeRgb(theirs);
      bool same = !a.empty() && a == b;
      std::printf("    %zu bytes, libpng %zu bytes, decoded pixels %s\n", ours.size(), theirs.size(),
                  same ? "identical" : "DIFFERENT");
      ok &= same;
    }
  }
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  if (!corpus.empty()) ok &= measureMemory(corpus.back());
  return ok ? 0 : 1;
}
