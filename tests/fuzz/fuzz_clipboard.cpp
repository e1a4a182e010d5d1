// Feeds arbitrary bytes to one clipboard picture decoder of the image types (the MIME type is
// fixed per target at build time); anything but a clean typed error or a
// complete raster is a fault. A decoded raster is also written back out.
#include <cstddef>
#include <cstdint>

#include "raster/errors.h"
#include "codecs/imagetypes.h"
#include "raster/rasterimage.h"
#include "raster/rasterstore.h"
#include "platform/clipboard.h"

// The fuzzer's machine has 64 MB free: pictures of up to 16 MB (4 million
// pixels) are decoded, larger ones refused from their headers. Larger
// rasters only cost the instrumented build seconds per input to allocate,
// check and free, and the budget itself is tested elsewhere.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pixkeep::setMemoryProbe([] { return uint64_t(64) << 20; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixkeep::PlatformBitmap bitmap;
  bitmap.encoded = pixkeep::EncodedPicture{PIXKEEP_FUZZ_TYPE, std::vector<uint8_t>(data, data + size)};
  pixkeep::RasterImage raster;
  try {
    raster.loadFromClipboardBitmap(pixkeep::CF_BITMAP, &bitmap, nullptr,
                                   pixkeep::clipboardDecoder(pixkeep::imageTypes()));
  } catch (const pixkeep::EInvalidGraphic&) {
    return 0;
  } catch (const pixkeep::EOutOfResources&) {
    return 0;
  }
  if (raster.pixelFormat() != pixkeep::PixelFormat::Device) __builtin_trap();
  // Every row is readable and its fourth bytes are 0.
  unsigned sum = 0;
  for (int y = 0; y < raster.height(); ++y) {
    const uint8_t* row = raster.constScanline(y);
    for (int x = 0; x < raster.width(); ++x) sum += row[4 * x + 3];
  }
  if (sum != 0) __builtin_trap();
  pixkeep::MemoryStream out;
  if (raster.width() * raster.height() < (1 << 20)) raster.saveToBmpStream(out);
  return 0;
}
