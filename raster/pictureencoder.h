// The writer interface every image type implements: prepared for one
// capture from the held picture, then asked to write one file.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/bitmap.h"

namespace pixkeep {

class RasterImage;

class Stream;

class PictureEncoder {
 public:
  virtual ~PictureEncoder() = default;
  virtual void saveToStream(Stream& stream) = 0;
  virtual void saveToFile(const std::string& name) = 0;
};

// Creates the writer of one image type for the held picture and the slider
// position (quality or compression level; unused by types without a slider).
using EncoderFactory = std::function<std::unique_ptr<PictureEncoder>(const RasterImage& picture, int spin)>;

// The BMP writer: the picture writes itself as a device-independent bitmap.
EncoderFactory bmpEncoderFactory();
// The BMP reader of clipboard pictures (image/bmp and its other names).
void decodeBmpPicture(const EncodedPicture& picture, RasterImage& raster);

}  // namespace pixkeep
