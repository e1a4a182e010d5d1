// TGIFImage: a GIF picture held as its header (logical screen and global
// colour table) and a list of frames, each with palette indices and its own
// colour table (GIF89a, sections 18 to 23). A raster becomes a frame through
// AssignRaster, which reduces truecolour pictures to a palette
// (codecs/gif/gifreduce.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/rasterimage.h"
#include "codecs/gif/giferrors.h"

namespace pixkeep {


// PaletteMethod values: the palette a truecolour raster is reduced to.
enum : uint8_t {
  pmNone = 0,          // no reduction: the working raster stays 24-bit
  pmSystem20 = 1,      // the 20 static colours of the display
  pmHalftone = 2,      // the display's halftone palette
  pmGrayscale4 = 3,    // 0, 128, 192, 255
  pmMonochrome = 4,    // black and white
  pmGrayscale256 = 5,  // every grey
  pmWebCube = 6,       // the 216-colour web-safe cube
  pmQuantize = 7,      // octree quantisation to 2^QuantizerBits colours
  pmOptimized = 8,     // 256 colours chosen for the picture
  pmCustom = 9,        // the caller's palette
};

// DitherAlgorithm values: how each pixel is mapped onto the palette.
enum : uint8_t {
  daNearest = 0,
  daFloydSteinberg = 1,
  daStucki = 2,
  daSierra = 3,
  daJaJuNi = 4,
  daSteveArche = 5,
  daBurkes = 6,
};

// Unit-wide defaults; every new TGIFImage copies them into its own settings.
struct TGIFConversionDefaults {
  uint8_t PaletteMethod = pmWebCube;
  uint8_t DitherAlgorithm = daNearest;
  int32_t QuantizerBits = 8;
};
inline TGIFConversionDefaults GIFImageDefaults;

// One colour-table entry as a GIF file stores it.
struct TGIFColor {
  uint8_t Red = 0, Green = 0, Blue = 0;
  friend bool operator==(const TGIFColor&, const TGIFColor&) = default;
};

// Bits per pixel of a colour table of `count` entries: 0 for an empty table,
// otherwise the smallest b >= 1 with 2^b >= count.
int BitsForCount(int count);

// A colour table of at most 256 entries.
class TGIFColorMap {
 public:
  static constexpr int MaxColors = 256;

  TGIFColorMap() = default;
  TGIFColorMap(const TGIFColorMap& other);
  TGIFColorMap& operator=(const TGIFColorMap& other);
  virtual ~TGIFColorMap() = default;

  int Count() const { return count_; }
  // Allocated entries: 16 for up to 16 colours, else the count rounded up to
  // a multiple of 32, never more than 256.
  int Capacity() const { return capacity_; }
  const TGIFColor* Data() const { return entries_.get(); }
  const TGIFColor& operator[](int index) const { return entries_[size_t(index)]; }
  TGIFColor& operator[](int index) { return entries_[size_t(index)]; }

  // Appends a colour and returns its index; a 257th entry raises
  // "Color table overflow".
  int Add(TGIFColor color);
  // The index of an equal entry, or of the colour appended.
  int AddUnique(TGIFColor color);
  int IndexOf(TGIFColor color) const;  // -1 when absent
  // Takes over a device-independent colour table (blue, green, red, reserved
  // entries), at most 256 of them.
  void ImportColorTable(const std::vector<RGBQuad>& table);
  void Clear();

  int BitsPerPixel() const { return BitsForCount(count_); }
  // Set only by the colour-table optimisation; makes the table sorted by use.
  bool Sorted = false;

 private:
  void Reserve(int count);

  std::unique_ptr<TGIFColor[]> entries_;
  int count_ = 0;
  int capacity_ = 0;
};

class TGIFGlobalColorMap : public TGIFColorMap {};
class TGIFLocalColorMap : public TGIFColorMap {};

class TGIFImage;
class TGIFSubImage;

// Base of the header, frames and extensions: an item of one picture.
class TGIFItem {
 public:
  explicit TGIFItem(TGIFImage* image) : image_(image) {}
  virtual ~TGIFItem() = default;
  TGIFItem(const TGIFItem&) = delete;
  TGIFItem& operator=(const TGIFItem&) = delete;
  TGIFImage* Image() const { return image_; }

 private:
  TGIFImage* image_;
};

// An owning, ordered list of items.
template <typename T>
class TGIFList {
 public:
  int Count() const { return int(items_.size()); }
  T& operator[](int index) const { return *items_[size_t(index)]; }
  T* Add(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return items_.back().get();
  }
  void Delete(int index) { items_.erase(items_.begin() + index); }
  void Clear() { items_.clear(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<T>> items_;
};

class TGIFExtension : public TGIFItem {
 public:
  explicit TGIFExtension(TGIFSubImage* frame);
  TGIFSubImage* SubImage() const { return frame_; }
  virtual uint8_t ExtensionType() const = 0;  // the label after the 0x21 introducer

 private:
  TGIFSubImage* frame_;
};

// 23. Graphic Control Extension
class TGIFGraphicControlExtension : public TGIFExtension {
 public:
  static constexpr uint8_t Label = 0xF9;
  using TGIFExtension::TGIFExtension;
  uint8_t ExtensionType() const override { return Label; }

  uint8_t Disposal = 0;  // disposal method, 0 to 7
  bool UserInput = false;
  bool Transparent = false;
  uint16_t Delay = 0;  // hundredths of a second
  uint8_t TransparentColorIndex = 0;
};

using TGIFImageList = TGIFList<TGIFSubImage>;
using TGIFExtensionList = TGIFList<TGIFExtension>;

// 18. Logical Screen Descriptor, in file order.
struct TLogicalScreenDescriptor {
  uint16_t ScreenWidth = 0;
  uint16_t ScreenHeight = 0;
  uint8_t PackedFields = 0;  // global table flag, colour resolution, sort flag, table size
  uint8_t BackgroundColorIndex = 0;
  uint8_t AspectRatio = 0;
};

class TGIFHeader : public TGIFItem {
 public:
  using TGIFItem::TGIFItem;
  TLogicalScreenDescriptor LogicalScreenDescriptor;
  TGIFGlobalColorMap ColorMap;

  int Width() const { return LogicalScreenDescriptor.ScreenWidth; }
  int Height() const { return LogicalScreenDescriptor.ScreenHeight; }
  // Setting the screen smaller than a frame's extent raises "Image width (or
  // height) too small for contained frames".
  void SetWidth(int width);
  void SetHeight(int height);
  // Raises the screen to hold a frame reaching `right` x `bottom`; growth of
  // a screen that was not 0 is reported to the picture's warning listener.
  void Enlarge(int right, int bottom);
  void Clear();
};

// 20. Image Descriptor, in file order.
struct TImageDescriptor {
  uint8_t Separator = 0x2C;
  uint16_t Left = 0;
  uint16_t Top = 0;
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint8_t PackedFields = 0;  // local table flag, interlace, sort flag, table size
};

// One frame: its descriptor, extensions, local colour table and one palette
// index per pixel (rows top to bottom, no padding).
class TGIFSubImage : public TGIFItem {
 public:
  explicit TGIFSubImage(TGIFImage* image);
  ~TGIFSubImage() override;

  TImageDescriptor ImageDescriptor;
  TGIFExtensionList Extensions;
  TGIFLocalColorMap ColorMap;

  int Left() const { return ImageDescriptor.Left; }
  int Top() const { return ImageDescriptor.Top; }
  int Width() const { return ImageDescriptor.Width; }
  int Height() const { return ImageDescriptor.Height; }
  // Each size change reallocates the pixel buffer, zero-filled, and enlarges
  // the picture's logical screen when the frame reaches beyond it. Sizes
  // above 65535 raise GIFImageTooLarge.
  void SetLeft(int left);
  void SetTop(int top);
  void SetWidth(int width);
  void SetHeight(int height);

  // width x height palette indices.
  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }
  uint8_t Pixel(int x, int y) const { return data_[size_t(y) * size_t(Width()) + size_t(x)]; }
  bool Empty() const { return data_.empty() || Width() == 0 || Height() == 0; }

  bool Transparent() const { return graphicControl_ && graphicControl_->Transparent; }
  TGIFGraphicControlExtension* GraphicControlExtension() const { return graphicControl_; }
  // The raster the pixels were taken from: the reduced picture or a copy of
  // an indexed source.
  const RasterImage* WorkingRaster() const { return working_.get(); }

  // Converts a raster into this frame. A raster that is not 1, 4 or 8 bits
  // per pixel is reduced with the picture's PaletteMethod, DitherAlgorithm
  // and QuantizerBits; that reduction converts `raster` itself to Bits24.
  void AssignRaster(RasterImage& raster);
  // Extensions, colour table, pixels and size go; transparency is off.
  void Clear();

 private:
  void Resize();
  void Convert(RasterImage& raster);
  void ImportPixels(RasterImage& working);
  void ImportTransparency(const RasterImage& source, uint32_t transparentColor);

  std::vector<uint8_t> data_;
  std::unique_ptr<RasterImage> working_;
  TGIFGraphicControlExtension* graphicControl_ = nullptr;  // owned by Extensions
};

enum class TProgressStage { psStarting, psRunning, psEnding };

class TGIFImage {
 public:
  TGIFImage();
  ~TGIFImage();
  TGIFImage(const TGIFImage&) = delete;
  TGIFImage& operator=(const TGIFImage&) = delete;

  // Conversion settings, copied from GIFImageDefaults at construction.
  uint8_t PaletteMethod;
  uint8_t DitherAlgorithm;
  int32_t QuantizerBits;

  TGIFHeader Header;
  TGIFImageList Images;

  // Optional listeners; none is needed.
  std::function<void(TProgressStage stage, int percent, const std::string& message)> OnProgress;
  std::function<void(const std::string& message)> OnWarning;

  int Width() const { return Header.Width(); }
  int Height() const { return Header.Height(); }
  bool Empty() const { return Images.Count() == 0; }

  // Frames, global colour table and screen size go.
  void Clear();
  // The picture becomes one frame made from `raster` (see
  // TGIFSubImage::AssignRaster); on failure the picture is left empty.
  void AssignRaster(RasterImage& raster);

  void Progress(TProgressStage stage, int percent, const std::string& message);
  void Warning(const std::string& message);
};

}  // namespace pixkeep
