// TPNGObject: a picture held as a list of PNG chunks, made from a raster and
// written as a PNG stream (PNG specification, ISO/IEC 15948).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "raster/pictureencoder.h"
#include "raster/errors.h"
#include "raster/rasterimage.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* PngCannotResize =
    "The \"Portable Network Graphics\" image can not be resize by changing width and height properties. Try "
    "assigning the image from a bitmap.";
inline constexpr const char* PngNoHeader =
    "This operation is not valid because the current image contains no valid header.";
inline constexpr const char* PngIncompatibleChunks = "The chunks must be compatible to be assigned.";
inline constexpr const char* PngNoPaletteEntry = "There is no such palette entry.";
inline constexpr const char* PngInvalidHeader =
    "The PNG header holds a combination of colour type and bit depth that PNG does not allow.";
inline constexpr const char* PngSizeExceeds = "The image is too large to be held in memory.";
inline constexpr const char* PngNoImageData = "An image without pixels (zero width or height) cannot be written as PNG.";
inline constexpr const char* PngZlibError = "The image data could not be compressed (zlib error %s).";
}  // namespace msg

// Every PNG error stands on its own, directly below the program's base error.
PIXKEEP_ERROR_CLASS(EPNGOutMemory, Exception)
PIXKEEP_ERROR_CLASS(EPngError, Exception)
PIXKEEP_ERROR_CLASS(EPngUnexpectedEnd, Exception)
PIXKEEP_ERROR_CLASS(EPngInvalidCRC, Exception)
PIXKEEP_ERROR_CLASS(EPngInvalidIHDR, Exception)
PIXKEEP_ERROR_CLASS(EPNGMissingMultipleIDAT, Exception)
PIXKEEP_ERROR_CLASS(EPNGZLIBError, Exception)
PIXKEEP_ERROR_CLASS(EPNGInvalidPalette, Exception)
PIXKEEP_ERROR_CLASS(EPNGInvalidFileHeader, Exception)
PIXKEEP_ERROR_CLASS(EPNGIHDRNotFirst, Exception)
PIXKEEP_ERROR_CLASS(EPNGSizeExceeds, Exception)
PIXKEEP_ERROR_CLASS(EPNGUnknownCriticalChunk, Exception)
PIXKEEP_ERROR_CLASS(EPNGUnknownCompression, Exception)
PIXKEEP_ERROR_CLASS(EPNGUnknownInterlace, Exception)
PIXKEEP_ERROR_CLASS(EPNGNoImageData, Exception)
PIXKEEP_ERROR_CLASS(EPNGHeaderNotPresent, Exception)

// Row filter set: one bit per filter type.
enum PngFilter : uint8_t { pfNone = 1, pfSub = 2, pfUp = 4, pfAverage = 8, pfPaeth = 16 };

// PNG colour types.
enum PngColorType : uint8_t {
  COLOR_GRAYSCALE = 0,
  COLOR_RGB = 2,
  COLOR_PALETTE = 3,
  COLOR_GRAYSCALEALPHA = 4,
  COLOR_RGBALPHA = 6,
};

// A growable array of pointers; reading outside it gives nullptr.
class TPNGPointerList {
 public:
  size_t count() const { return items_.size(); }
  void add(void* p) { items_.push_back(p); }
  void* get(size_t i) const { return i < items_.size() ? items_[i] : nullptr; }
  void set(size_t i, void* p) { if (i < items_.size()) items_[i] = p; }
  void remove(void* p);
  void setSize(size_t n) { items_.resize(n, nullptr); }

 protected:
  std::vector<void*> items_;
};

class TChunk;
class TChunkIHDR;
class TPNGObject;

// The chunk list of a TPNGObject; the object frees the chunks.
class TPNGList : public TPNGPointerList {
 public:
  TChunk* item(size_t i) const { return static_cast<TChunk*>(get(i)); }
  // The first chunk of the given type, or nullptr.
  TChunk* itemFromClass(const std::string& chunkType) const;
};

class TChunk {
 public:
  TChunk(TPNGObject* owner, const std::string& type);
  virtual ~TChunk() = default;
  TChunk(const TChunk&) = delete;
  TChunk& operator=(const TChunk&) = delete;

  virtual std::string chunkType() const { return std::string(name, 4); }
  virtual void copyFrom(const TChunk& other);
  // A new, empty chunk of the same class for another owner.
  virtual std::unique_ptr<TChunk> createFor(TPNGObject* owner) const;
  virtual bool readChunk(Stream& stream, const std::string& type, uint32_t size);
  virtual void writeChunk(Stream& stream);

  void setDataLength(uint32_t size);
  // Length, type, data and CRC-32 over type and data.
  void writeFramed(Stream& stream);
  TChunkIHDR& headerChunk() const;

  std::vector<uint8_t> data;  // always one byte longer than dataLength
  uint32_t dataLength = 0;
  TPNGObject* owner;
  char name[4];
};

class TChunkIEND : public TChunk {
 public:
  explicit TChunkIEND(TPNGObject* o) : TChunk(o, "IEND") {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
};

// The IHDR's pixel rows (bottom-up, padded to 32 bits). Truecolour rows are
// held as 24-bit blue, green, red. A picture made from a 32-bit raster shares
// that raster's rows instead ("wide" rows, blue, green, red, unused) and the
// writer converts each row as it goes; whoever asks for the rows through
// this class gets the 24-bit layout, made then.
class PngRows : public RasterImage {
 public:
  // Shares a 32-bit BI_RGB raster's rows.
  void shareWide(const RasterImage& raster);
  bool wide() const { return wide_; }
  // The rows as held: 32 bits a pixel when wide(), without converting.
  const RasterImage& held() const { return *this; }

  void assign(const RasterImage* other);
  void assign(const PngRows* other);
  void createBlank(int width, int height, PixelFormat format, std::vector<RGBQuad> colors = {});
  void setPixelFormat(PixelFormat format);
  PixelFormat pixelFormat() const;
  const ImageHeader& header() const;
  size_t stride() const;
  uint8_t* scanline(int row);
  const uint8_t* constScanline(int row) const;

 private:
  void narrow() const;  // wide rows to a 24-bit copy of their own
  mutable bool wide_ = false;
};

class TChunkIHDR : public TChunk {
 public:
  explicit TChunkIHDR(TPNGObject* o) : TChunk(o, "IHDR") {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void copyFrom(const TChunk& other) override;
  void writeChunk(Stream& stream) override;

  // Allocates the in-memory image for the current width, height, colour type
  // and bit depth (all pixels zero) and sets usesColourTable. Without
  // `withPixels` the rows are left for the caller to supply.
  void setUpImage(bool withPixels = true);
  int dibBitCount() const;

  bool usesColourTable = false;
  std::array<RGBQuad, 256> colors{};  // the image's colour table; PLTE keeps its entries here
  PngRows image;                      // the pixel rows, bottom-up, padded to 32 bits
  std::vector<uint8_t> alphaPlane;    // width x height, top row first (colour types 4 and 6)
  int rowStride() const { return int(image.stride()); }

  int32_t Width = 0, Height = 0;
  uint8_t bitDepth = 0, colorType = 0, compressionMethod = 0, filterMethod = 0, interlaceMethod = 0;
  // Grey images of bit depth 2 are held 4 bits a pixel and written as bit
  // depth 4; their samples are rescaled on writing.
  bool greyHeldAsFour = false;
};

class TChunkPLTE : public TChunk {
 public:
  explicit TChunkPLTE(TPNGObject* o) : TChunk(o, "PLTE") {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void copyFrom(const TChunk& other) override;
  void writeChunk(Stream& stream) override;
  RGBQuad& item(int index) const;  // raises "There is no such palette entry."
  int entryCount = 0;
};

class TChunkIDAT : public TChunk {
 public:
  explicit TChunkIDAT(TPNGObject* o) : TChunk(o, "IDAT") {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void writeChunk(Stream& stream) override;
};

class TChunktRNS : public TChunk {
 public:
  explicit TChunktRNS(TPNGObject* o) : TChunk(o, "tRNS") {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void copyFrom(const TChunk& other) override;
  void writeChunk(Stream& stream) override;
  // Makes one colour (0x00BBGGRR) fully transparent.
  void markTransparent(uint32_t color);
  bool singleTransparent = false;
  std::array<uint8_t, 256> alphaValues{};
};

class TChunkgAMA : public TChunk {
 public:
  explicit TChunkgAMA(TPNGObject* owner);
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void copyFrom(const TChunk& other) override;
  uint32_t gamma() const;
  void setGamma(uint32_t value);
};

class TChunktIME : public TChunk {
 public:
  explicit TChunktIME(TPNGObject* owner);
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void setTime(int year, int month, int day, int hour, int minute, int second);
};

class TChunktEXt : public TChunk {
 public:
  explicit TChunktEXt(TPNGObject* o, const std::string& type = "tEXt") : TChunk(o, type) {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void copyFrom(const TChunk& other) override;
  void writeChunk(Stream& stream) override;
  std::string keyword, text;
};

class TChunkzTXt : public TChunktEXt {
 public:
  explicit TChunkzTXt(TPNGObject* o) : TChunktEXt(o, "zTXt") {}
  std::unique_ptr<TChunk> createFor(TPNGObject* owner) const override;
  void writeChunk(Stream& stream) override;
};

// The chunk classes the reader knows, in registration order.
struct ChunkClass {
  const char* type;
  std::unique_ptr<TChunk> (*create)(TPNGObject* owner);
};
const std::vector<ChunkClass>& chunkClassRegistry();
// A chunk of the registered class for `type`, or a plain TChunk.
std::unique_ptr<TChunk> createChunk(const std::string& type, TPNGObject* owner);

class TPNGObject : public PictureEncoder {
 public:
  TPNGObject();
  ~TPNGObject() override;
  TPNGObject(const TPNGObject&) = delete;
  TPNGObject& operator=(const TPNGObject&) = delete;

  std::array<uint8_t, 256> decodeGamma{};
  std::array<uint8_t, 256> encodeGamma{};
  uint8_t rowFilters = pfSub;
  uint8_t deflateLevel = 7;
  uint8_t interlaceMode = 0;  // 0 none, 1 Adam7
  TPNGList chunkList;

  int32_t idatBufferSize() const { return idatBufferSize_; }
  // Values below 65535 store 65535.
  void setIdatBufferSize(int32_t size) { idatBufferSize_ = size < 65535 ? 65535 : size; }

  void assign(const RasterImage& raster);
  void assign(const TPNGObject& other);
  // The conversion from a raster: the chunk list becomes IHDR, [PLTE], [tRNS], IDAT, IEND.
  void importBitmap(const RasterImage& bitmap, bool transparent, uint32_t transparentColor);

  int width() const;
  int height() const;
  [[noreturn]] void setWidth(int);
  [[noreturn]] void setHeight(int);
  bool empty() const { return chunkList.count() == 0; }
  TChunkIHDR& headerChunk() const;
  // Frees every chunk and resets both gamma tables.
  void resetChunks();
  // Adds a chunk (taking ownership) at the end of the list.
  TChunk* addChunk(std::unique_ptr<TChunk> chunk);

  void saveToStream(Stream& stream) override;
  void saveToFile(const std::string& name) override;

 private:
  int32_t idatBufferSize_ = 65535;
};

// The PNG standard's CRC-32 of `n` bytes, continuing from `crc` (start with 0).
uint32_t pngCrc32(uint32_t crc, const uint8_t* bytes, size_t n);

// The capture's PNG writer: row filters {None} before assign, level after.
EncoderFactory pngEncoderFactory();
// The PNG reader of clipboard pictures: the bytes decoded straight into the
// raster's 32-bit rows (a picture with alpha composited onto white).
void decodePngPicture(const EncodedPicture& picture, RasterImage& raster);

}  // namespace pixkeep
