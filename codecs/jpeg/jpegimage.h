// TJPEGImage: the JPEG picture kind, compressing a raster with libjpeg.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "raster/pictureencoder.h"
#include "raster/errors.h"
#include "raster/rasterimage.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* JpegError = "JPEG error #%d";
inline constexpr const char* JpegCannotResize = "Cannot change the size of a JPEG image";
}  // namespace msg

PIXKEEP_ERROR_CLASS(EJPEG, Exception)

// Compressed data, shared between images assigned from one another.
struct TJPEGData {
  std::shared_ptr<const std::vector<uint8_t>> data;  // absent until compressed
  int width = 0;
  int height = 0;
  bool grayscale = false;
};

enum class JPEGPerformance { jpBestQuality, jpBestSpeed };
enum class JPEGPixelFormat { jf24Bit, jf8Bit };
enum class JPEGScale { jsFullSize, jsHalf, jsQuarter, jsEighth };

// The process-wide defaults every new TJPEGImage starts from.
struct JPEGDefaults {
  uint8_t compressionQuality = 90;
  bool grayscale = false;
  bool progressiveEncoding = false;
  // Settings that only matter when decoding for display.
  JPEGPerformance performance = JPEGPerformance::jpBestQuality;
  JPEGPixelFormat pixelFormat = JPEGPixelFormat::jf24Bit;
  JPEGScale scale = JPEGScale::jsFullSize;
  bool smoothing = true;
  bool progressiveDisplay = false;
};
JPEGDefaults& jpegDefaults();

class TJPEGImage : public PictureEncoder {
 public:
  TJPEGImage();
  ~TJPEGImage() override;

  // Takes the raster (sharing its pixels); nothing is compressed yet.
  void assign(const RasterImage& raster);
  // Shares another image's compressed data and settings.
  void assign(const TJPEGImage& other);

  uint8_t quality;
  bool grayscale;
  bool progressiveEncoding;
  JPEGPerformance performance;
  JPEGPixelFormat pixelFormat;
  JPEGScale scale;
  bool smoothing;
  bool progressiveDisplay;

  // Told the share of the compression done so far (0..100); none by default.
  // It runs inside the library and must not throw.
  std::function<void(int percent)> onProgress;

  int width() const;
  int height() const;
  [[noreturn]] void setWidth(int);
  [[noreturn]] void setHeight(int);

  // Compresses when there is no compressed data yet, then writes it with one write.
  void saveToStream(Stream& stream) override;
  void saveToFile(const std::string& name) override;
  void compress();
  const TJPEGData& jpegData() const { return *data_; }
  const RasterImage* bitmap() const { return bitmap_.get(); }

 private:
  std::shared_ptr<TJPEGData> data_;
  std::unique_ptr<RasterImage> bitmap_;
};

// The capture's JPEG writer: assign first, quality second.
EncoderFactory jpegEncoderFactory();
// The JPEG reader of clipboard pictures: the bytes decoded straight into the
// raster's 32-bit rows (a picture with alpha composited onto white).
void decodeJpegPicture(const EncodedPicture& picture, RasterImage& raster);

}  // namespace pixkeep
