// TWebPImage: a raster written as a lossless WebP file with libwebp
// (RIFF container, VP8L bitstream; no metadata chunks).
#pragma once

#include <string>

#include "raster/errors.h"
#include "raster/pictureencoder.h"
#include "raster/rasterimage.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* WebPError = "The image could not be written as WebP: %s.";
inline constexpr const char* WebPNoImageData = "An image without pixels (zero width or height) cannot be written as WebP.";
}  // namespace msg

PIXKEEP_ERROR_CLASS(EWebPError, Exception)

class TWebPImage : public PictureEncoder {
 public:
  // The slider's range: libwebp's lossless presets, from fastest to smallest.
  static constexpr int MinEffort = 0;
  static constexpr int MaxEffort = 9;
  static constexpr int MaxSide = 16383;  // WEBP_MAX_DIMENSION: 14-bit sizes

  // Takes the raster (sharing its pixels); nothing is encoded yet.
  void assign(const RasterImage& raster);

  // 0..9, each libwebp's lossless preset of that level (a method and an
  // effort); values outside are clamped.
  int effort = 6;

  // Encodes the picture and writes the file with one write. A picture with
  // a transparent colour gets alpha 0 on that colour's pixels, their RGB
  // values kept.
  void saveToStream(Stream& stream) override;
  void saveToFile(const std::string& name) override;

 private:
  RasterImage bitmap_;
};

// The capture's WebP writer: assign first, the slider position as the effort.
EncoderFactory webpEncoderFactory();
// The WebP reader of clipboard pictures: a still picture, or the first frame
// of an animation on its canvas, decoded straight into the raster's 32-bit
// rows (alpha composited onto white).
void decodeWebpPicture(const EncodedPicture& picture, RasterImage& raster);

}  // namespace pixkeep
