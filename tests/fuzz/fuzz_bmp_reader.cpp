// Feeds arbitrary bytes to the BMP reader; anything but a clean typed error
// (or a raster) is a fault. A loaded raster is also written back out.
#include <cstddef>
#include <cstdint>

#include "raster/errors.h"
#include "raster/rasterimage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixkeep::RasterImage raster;
  pixkeep::MemoryStream in(std::vector<uint8_t>(data, data + size));
  try {
    raster.loadFromStream(in);
  } catch (const pixkeep::Exception&) {
    return 0;
  }
  pixkeep::MemoryStream out;
  raster.saveToBmpStream(out);
  if (raster.height() > 0) raster.setPixelFormat(pixkeep::PixelFormat::Bits24);
  return 0;
}
