// Bitmap records shared by the platform layer and the capture core.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pixkeep {

// One colour-table entry as stored in a device-independent bitmap (BMP RGBQUAD).
struct RGBQuad {
  uint8_t blue = 0, green = 0, red = 0, reserved = 0;
  friend bool operator==(const RGBQuad&, const RGBQuad&) = default;
};

inline RGBQuad rgbQuad(uint8_t r, uint8_t g, uint8_t b) { return RGBQuad{b, g, r, 0}; }

inline constexpr uint32_t BI_RGB = 0;
inline constexpr uint32_t BI_RLE8 = 1;
inline constexpr uint32_t BI_RLE4 = 2;
inline constexpr uint32_t BI_BITFIELDS = 3;

// The 40-byte BITMAPINFOHEADER followed by the three bit-field masks.
struct ImageHeader {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: rows stored bottom-up
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = BI_RGB;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
  uint32_t redMask = 0, greenMask = 0, blueMask = 0;
  friend bool operator==(const ImageHeader&, const ImageHeader&) = default;
};

// Row stride of a device-independent bitmap: rows padded to whole 32-bit words.
inline uint64_t dibStride(int64_t width, int bitCount) {
  return uint64_t((width * bitCount + 31) / 32) * 4;
}

// A picture as its owner sent it: the MIME type of the target it came from
// and the bytes as they arrived.
// The bytes are shared, not copied: whoever received them (for example a
// toolkit's byte array) stays their owner.
class EncodedPicture {
 public:
  EncodedPicture() = default;
  EncodedPicture(std::string pictureType, std::vector<uint8_t> bytes)
      : type(std::move(pictureType)) {
    auto held = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    data_ = held->data();
    size_ = held->size();
    owner_ = std::move(held);
  }
  EncodedPicture(std::string pictureType, std::shared_ptr<const void> owner, const uint8_t* data, size_t size)
      : type(std::move(pictureType)), owner_(std::move(owner)), data_(data), size_(size) {}

  std::string type;  // "image/png", "image/bmp", "image/jpeg", ...
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  std::shared_ptr<const void> owner_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A bitmap as the clipboard hands it over.
//  - still encoded (encoded set): the bytes of a picture file, decoded by the
//    import straight into the raster's own rows; the other fields are unused;
//  - device-dependent (dibSection false): `bitsPixel` bits per pixel in the
//    screen's own layout, stored like a BI_RGB device-independent bitmap
//    (rows bottom-up, padded to 4 bytes; 32 bits: blue, green, red, unused;
//    16 bits: 5-5-5; 1 bit: 0 black, 1 white);
//  - a device-independent section (dibSection true): `header`, `colorTable`
//    and `bits` exactly as the section holds them.
struct PlatformBitmap {
  int width = 0;
  int height = 0;
  int planes = 1;
  int bitsPixel = 32;
  bool dibSection = false;
  ImageHeader header;
  std::vector<RGBQuad> colorTable;
  std::vector<uint8_t> bits;
  std::optional<EncodedPicture> encoded;
};

}  // namespace pixkeep
