// RasterImage: the program's one in-memory picture.
//
// Rows are stored like a device-independent bitmap: bottom-up (unless the
// header height is negative), each padded to a multiple of 4 bytes. The pixel
// store is reference-counted; assign() shares it and the first change of a
// shared store makes a private copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap.h"
#include "raster/stampcanvas.h"
#include "platform/stream.h"

namespace pixkeep {

enum class PixelFormat : int {
  Device = 0,
  Bits1 = 1,
  Bits4 = 2,
  Bits8 = 3,
  Bits15 = 4,
  Bits16 = 5,
  Bits24 = 6,
  Bits32 = 7,
  Custom = 8,
};

struct Palette {
  std::vector<RGBQuad> entries;
  bool madeForDisplay = false;  // the halftone palette chosen for a display of fewer bits
  friend bool operator==(const Palette&, const Palette&) = default;
};

// What the platform reports for the bitmap behind a raster (GetObject).
struct BitmapDescription {
  int width = 0;
  int height = 0;
  int planes = 1;
  int bitsPerPixel = 0;
};

// Fixed colour tables of the program.
const std::vector<RGBQuad>& systemPalette16();   // the 16-colour system palette
const std::vector<RGBQuad>& systemPalette20();   // the 20 static colours of the display
const std::vector<RGBQuad>& halftonePalette();   // the 256-entry halftone palette
// GetSysColor: the colour value (0x00BBGGRR) of a system colour index.
uint32_t systemColor(int index);
// A colour value with the system-colour bit resolved.
uint32_t resolveColor(uint32_t color);

// The most pixels one picture may have: a 16384 x 8192 picture, four 8K
// screens side by side (checkPictureFits, rasterstore.h).
inline constexpr uint64_t MaxPicturePixels = uint64_t(1) << 27;

class RasterImage {
 public:
  RasterImage();
  ~RasterImage();
  RasterImage(const RasterImage&) = delete;
  RasterImage& operator=(const RasterImage&) = delete;

  // Shares other's pixel store (or empties this raster when other is null) and
  // takes over its transparent flag and transparent colour.
  void assign(const RasterImage* other);

  // A new raster of the given size and format. Device rasters take the
  // display's depth; indexed rasters get `colors` (or a default table) and
  // start at index 0; all others start black.
  void createBlank(int width, int height, PixelFormat format, std::vector<RGBQuad> colors = {});
  // A new 32-bit raster (blue, green, red, unused; rows bottom-up) whose rows
  // are left uninitialised for the caller to fill completely through
  // scanline(): a Device raster when the display is 32 bits, Bits32 otherwise.
  // Raises "The picture is too large to hold" for a size beyond the budget of
  // checkPictureFits (rasterstore.h), before any memory is taken.
  void createUninitialised32(int width, int height);

  bool empty() const;
  int width() const;
  int height() const;  // always positive
  PixelFormat pixelFormat() const;
  int deviceBitCount() const;  // meaningful for Device rasters
  void setPixelFormat(PixelFormat format);

  // The device-independent view: header, colour table and rows.
  const ImageHeader& header() const;
  const std::vector<RGBQuad>& colorTable() const;
  size_t stride() const;

  // Address of top-down row `row` of the device-independent view. Counts as a
  // change: a shared store is copied first.
  uint8_t* scanline(int row);
  // Read-only access to the same row; not a change.
  const uint8_t* constScanline(int row) const;

  // The palette on demand: the stored one, else one from the colour table,
  // else the halftone palette when the display has fewer bits, else none.
  std::optional<Palette> palette() const;
  const std::optional<Palette>& storedPalette() const;

  bool transparent = false;
  std::optional<uint32_t> transparentColorValue;  // "not set" when empty
  // The transparent colour with 0x02000000 added.
  uint32_t transparentColor() const;

  // The bitmap behind the raster; counts as a change.
  BitmapDescription handle();

  // Decodes a picture still encoded as its owner sent it into a raster.
  using Decoder = std::function<void(const EncodedPicture& picture, RasterImage& raster)>;
  // Fills the raster from a clipboard bitmap and optional clipboard palette.
  // A bitmap still encoded (PNG, BMP, JPEG bytes) is decoded by `decode`
  // straight into the raster's own rows; without a decoder it raises
  // "Unsupported clipboard format".
  void loadFromClipboardBitmap(unsigned format, const PlatformBitmap* bitmap, const std::vector<RGBQuad>* palette,
                               const Decoder& decode = {});

  // BMP file reader and writer.
  void loadFromStream(Stream& stream);
  void saveToBmpStream(Stream& stream) const;
  void saveToFile(const std::string& name) const;
  // The BMP bytes kept from a run-length-compressed file that was read.
  const std::vector<uint8_t>* saveStream() const;

  // The drawing surface of the text stamp.
  StampCanvas& canvas() { return canvas_; }

  // Colour of top-down pixel (x, y) as 0x00BBGGRR (GetPixel).
  uint32_t pixel(int x, int y) const;

  struct Store;
  // Takes over a pixel store made with makeStore() (capture/rasterstore.h)
  // and filled by its maker; the transparency settings stay as they are.
  void install(std::shared_ptr<Store> store);

 private:
  friend class StampCanvas;
  friend class BmpReader;
  void beginChange();  // copy on write, drop the kept BMP bytes

  std::shared_ptr<Store> store_;
  StampCanvas canvas_;
};

}  // namespace pixkeep
