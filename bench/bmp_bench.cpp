// BMP writing and the 32 -> 24 bit conversion against memcpy of the same bytes.
#include <cstring>
#include <malloc.h>
#include <vector>

#include "bench/bench_util.h"
#include "raster/rasterimage.h"

using namespace pixkeep;

int main() {
  // Keep freed picture buffers in the process, so that repeated runs measure
  // the conversion and not the kernel handing out fresh pages each time.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  bool ok = true;
  for (auto [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
    RasterImage raster;
    raster.createBlank(w, h, PixelFormat::Bits32);
    for (int y = 0; y < h; ++y) {
      uint8_t* row = raster.scanline(y);
      for (int x = 0; x < 4 * w; ++x) row[x] = uint8_t(x * 7 + y);
    }
    const size_t bytes = size_t(w) * size_t(h) * 4 + 54;
    std::vector<uint8_t> source(bytes, 1), target(bytes);
    MemoryStream stream;
    stream.reserve(bytes);
    char label[80];

    double write = bench::medianSeconds([&] {
      stream.clear();
      raster.saveToBmpStream(stream);
    });
    double copy = bench::medianSeconds([&] { std::memcpy(target.data(), source.data(), bytes); });
    std::snprintf(label, sizeof label, "BMP write %dx%d 32-bit vs memcpy", w, h);
    ok &= bench::report(label, write, copy, 1.5);

    double convert = bench::medianSeconds([&] {
      RasterImage work;
      work.assign(&raster);
      work.setPixelFormat(PixelFormat::Bits24);
    });
    std::snprintf(label, sizeof label, "setPixelFormat(Bits24) %dx%d vs memcpy", w, h);
    ok &= bench::report(label, convert, copy, 3.0);
  }
  return ok ? 0 : 1;
}
