// TGIFImage: a GIF picture held as its header (logical screen and global
// colour table) and a list of frames, each with palette indices and its own
// colour table (GIF89a, sections 18 to 27). A raster becomes a frame through
// AssignRaster, which reduces truecolour pictures to a palette
// (codecs/gif/gifreduce.h); SaveToStream writes the file, with the image data
// of codecs/gif/gifencoder.h; OptimizeFrames makes animations smaller.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "raster/pictureencoder.h"
#include "raster/rasterimage.h"
#include "codecs/gif/giferrors.h"
#include "platform/stream.h"

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
  int32_t codingMethod = 0;
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

// The GIF version an item needs.
enum TGIFVersion : int {
  gvUnknown = 0,
  gv87a = 1,
  gv89a = 2,
};

// Base of the header, frames, extensions and trailer: an item of one picture
// that writes itself.
class TGIFItem {
 public:
  explicit TGIFItem(TGIFImage* image) : image_(image) {}
  virtual ~TGIFItem() = default;
  TGIFItem(const TGIFItem&) = delete;
  TGIFItem& operator=(const TGIFItem&) = delete;
  TGIFImage* Image() const { return image_; }

  virtual int GifVersion() const { return gv87a; }
  // Every byte goes out with checked writes: a short write raises "Stream write error".
  virtual void SaveToStream(Stream& stream) = 0;

 private:
  TGIFImage* image_;
};

// An owning, ordered list of items.
class TGIFList {
 public:
  TGIFList() = default;
  virtual ~TGIFList() = default;
  TGIFList(const TGIFList&) = delete;
  TGIFList& operator=(const TGIFList&) = delete;

  int Count() const { return int(items_.size()); }
  TGIFItem* Items(int index) const { return items_.at(size_t(index)).get(); }
  int IndexOf(const TGIFItem* item) const;  // -1 when absent
  void Delete(int index) { items_.erase(items_.begin() + index); }
  void Clear() { items_.clear(); }
  // The items in list order.
  void SaveToStream(Stream& stream) const;

 protected:
  TGIFItem* Append(std::unique_ptr<TGIFItem> item);
  std::vector<std::unique_ptr<TGIFItem>> items_;
};

// A list that holds items of one kind only.
template <typename T>
class TGIFTypedList : public TGIFList {
 public:
  T& operator[](int index) const { return static_cast<T&>(*items_.at(size_t(index))); }
  // Takes the item over; an item of any other kind raises "Object type not
  // supported for operation" and is destroyed.
  T* Add(std::unique_ptr<TGIFItem> item) {
    if (!item || !dynamic_cast<T*>(item.get())) throw GIFException(msg::GIFUnsupportedObjectType);
    return static_cast<T*>(Append(std::move(item)));
  }

  class iterator {
   public:
    explicit iterator(std::vector<std::unique_ptr<TGIFItem>>::const_iterator at) : at_(at) {}
    T* operator*() const { return static_cast<T*>(at_->get()); }
    iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator!=(const iterator& other) const { return at_ != other.at_; }

   private:
    std::vector<std::unique_ptr<TGIFItem>>::const_iterator at_;
  };
  iterator begin() const { return iterator(items_.begin()); }
  iterator end() const { return iterator(items_.end()); }
};

// 15. Data Sub-blocks: one block of 1 to 255 bytes as read from a file.
using TGIFBlock = std::vector<uint8_t>;

// An extension: 0x21, its label and its body. Every extension needs GIF89a.
class TGIFExtension : public TGIFItem {
 public:
  explicit TGIFExtension(TGIFSubImage* frame);
  TGIFSubImage* SubImage() const { return frame_; }
  virtual uint8_t ExtensionType() const = 0;  // the label after the 0x21 introducer
  int GifVersion() const override { return gv89a; }
  void SaveToStream(Stream& stream) override;

 protected:
  // The body after the introducer and the label, up to its block terminator.
  virtual void SaveData(Stream& stream) = 0;

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

 protected:
  void SaveData(Stream& stream) override;
};

// 25. Plain Text Extension
class TGIFTextExtension : public TGIFExtension {
 public:
  static constexpr uint8_t Label = 0x01;
  using TGIFExtension::TGIFExtension;
  uint8_t ExtensionType() const override { return Label; }

  uint16_t Left = 0, Top = 0;                // text grid position
  uint16_t GridWidth = 0, GridHeight = 0;    // text grid size
  uint8_t CharWidth = 0, CharHeight = 0;     // character cell size
  uint8_t ForegroundColorIndex = 0, BackgroundColorIndex = 0;
  std::vector<std::string> Text;  // lines, written joined by CR LF

 protected:
  void SaveData(Stream& stream) override;
};

// 24. Comment Extension
class TGIFCommentExtension : public TGIFExtension {
 public:
  static constexpr uint8_t Label = 0xFE;
  using TGIFExtension::TGIFExtension;
  uint8_t ExtensionType() const override { return Label; }

  std::vector<std::string> Text;  // lines, written joined by CR LF
  // A comment without any text is not written.
  void SaveToStream(Stream& stream) override;

 protected:
  void SaveData(Stream& stream) override;
};

// 26. Application Extension: an 8-byte application name and a 3-byte
// authentication code, then the application's own data sub-blocks.
class TGIFApplicationExtension : public TGIFExtension {
 public:
  static constexpr uint8_t Label = 0xFF;
  // `identifier`: name and authentication code; shorter ones are padded with zero bytes.
  TGIFApplicationExtension(TGIFSubImage* frame, std::string_view identifier);
  uint8_t ExtensionType() const override { return Label; }

  std::array<uint8_t, 11> Identifier{};

 protected:
  void SaveData(Stream& stream) override;
  // The data sub-blocks after the identifier, without the terminator.
  virtual void SaveApplicationData(Stream&) {}
};

// The looping extension of Netscape 2.0: how often an animation repeats.
class TGIFAppExtNSLoop : public TGIFApplicationExtension {
 public:
  explicit TGIFAppExtNSLoop(TGIFSubImage* frame) : TGIFApplicationExtension(frame, "NETSCAPE2.0") {}

  uint16_t Loops = 0;       // 0: for ever
  uint32_t BufferSize = 0;  // written only when not 0

 protected:
  void SaveApplicationData(Stream& stream) override;
};

// An application extension of an unknown application, kept as read.
class TGIFUnknownAppExtension : public TGIFApplicationExtension {
 public:
  using TGIFApplicationExtension::TGIFApplicationExtension;
  // Written block by block; an empty block is left out (it would end the
  // extension) and a longer one is cut into blocks of 255 bytes.
  std::vector<TGIFBlock> Blocks;

 protected:
  void SaveApplicationData(Stream& stream) override;
};

class TGIFImageList : public TGIFTypedList<TGIFSubImage> {
 public:
  explicit TGIFImageList(TGIFImage* image) : image_(image) {}
  // Takes over a frame of this picture and enlarges the logical screen to
  // hold it; anything else, a frame of another picture included, raises
  // "Object type not supported for operation".
  TGIFSubImage* Add(std::unique_ptr<TGIFItem> item);

 private:
  TGIFImage* image_;
};

using TGIFExtensionList = TGIFTypedList<TGIFExtension>;

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

  // Recomputes the packed byte from the colour tables of the picture.
  void Prepare();
  // The signature of the picture's version, the screen descriptor and the
  // global colour table; a picture without frames raises "Unsupported GIF version".
  void SaveToStream(Stream& stream) override;
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
  // Rows go out in the four passes of GIF89a appendix E.
  bool Interlaced() const { return (ImageDescriptor.PackedFields & 0x40) != 0; }
  void SetInterlaced(bool interlaced);

  // width x height palette indices.
  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t>& Data() { return data_; }
  uint8_t Pixel(int x, int y) const { return data_[size_t(y) * size_t(Width()) + size_t(x)]; }
  bool Empty() const { return data_.empty() || Width() == 0 || Height() == 0; }

  bool Transparent() const;
  // The first graphic control extension among the frame's extensions, or null.
  TGIFGraphicControlExtension* GraphicControlExtension() const;
  // The graphic control extension, added at the end of the extensions when
  // the frame has none.
  TGIFGraphicControlExtension& EnsureGraphicControlExtension();
  // The colours the pixels index: the local table, or the global one when
  // the frame has no local table.
  const TGIFColorMap& ActiveColorMap() const;
  TGIFColorMap& ActiveColorMap();
  // The raster the pixels were taken from: the reduced picture or a copy of
  // an indexed source.
  const RasterImage* WorkingRaster() const { return working_.get(); }

  // Converts a raster into this frame. A raster that is not 1, 4 or 8 bits
  // per pixel is reduced with the picture's PaletteMethod, DitherAlgorithm
  // and QuantizerBits; that reduction converts `raster` itself to Bits24.
  void AssignRaster(RasterImage& raster);
  // Extensions, colour table, pixels and size go; transparency is off.
  void Clear();
  // Keeps only the rectangle at (x, y) of `width` x `height` pixels
  // (in frame coordinates, inside the frame) and moves the frame there.
  void Crop(int x, int y, int width, int height);

  // 89a when the local table is sorted or the frame has an extension.
  int GifVersion() const override;
  // The extensions, then (unless the frame is empty) the image descriptor,
  // the local colour table and the LZW-coded pixels.
  void SaveToStream(Stream& stream) override;

 private:
  void Resize();
  void Convert(RasterImage& raster);
  void ImportPixels(RasterImage& working);
  void ImportTransparency(const RasterImage& source, uint32_t transparentColor);
  void Prepare();

  std::vector<uint8_t> data_;
  std::unique_ptr<RasterImage> working_;
};

// 27. Trailer
class TGIFTrailer : public TGIFItem {
 public:
  using TGIFItem::TGIFItem;
  void SaveToStream(Stream& stream) override;
};

// Stands in for a thread drawing the picture on a screen. Pictures are never
// drawn here; the list exists so that operations that change the frames can
// stop the painters and keep new ones out.
class TGIFPainter {
 public:
  void Stop() { stopped_ = true; }
  bool Stopped() const { return stopped_; }

 private:
  std::atomic<bool> stopped_ = false;
};

class TGIFPainterList {
 public:
  std::unique_lock<std::mutex> LockList() { return std::unique_lock<std::mutex>(mutex_); }
  // For a painter about to draw: the lock when nobody else holds it.
  std::unique_lock<std::mutex> TryLockList() { return std::unique_lock<std::mutex>(mutex_, std::try_to_lock); }
  // The painters are not owned; each removes itself before it ends.
  void Add(TGIFPainter* painter);
  void Remove(TGIFPainter* painter);
  // Stops every painter; the caller holds the lock.
  void StopAll(const std::unique_lock<std::mutex>& lock);

 private:
  std::mutex mutex_;
  std::vector<TGIFPainter*> painters_;
};

// OptimizeFrames options, one bit each.
enum TGIFOptimizeOption : uint8_t {
  CropFrames = 0x01,
  MergeFrames = 0x02,
  CleanupFrames = 0x04,
  OptimizeColorMaps = 0x08,
  ReduceFrameColors = 0x10,
};
using TGIFOptimizeOptions = uint8_t;

enum class TProgressStage { psStarting, psRunning, psEnding };

class TGIFImage : public PictureEncoder {
 public:
  TGIFImage();
  ~TGIFImage() override;
  TGIFImage(const TGIFImage&) = delete;
  TGIFImage& operator=(const TGIFImage&) = delete;

  // Conversion settings, copied from GIFImageDefaults at construction.
  uint8_t PaletteMethod;
  uint8_t DitherAlgorithm;
  int32_t QuantizerBits;
  // 1 codes the pixels with the run-length coder, any other value with LZW.
  int32_t codingMethod;
  // Settings of on-screen animation; nothing here draws.
  int32_t ThreadPriority = 3;
  int32_t AnimationSpeed = 100;  // per cent

  TGIFHeader Header;
  TGIFImageList Images;
  TGIFPainterList Painters;

  // Optional listeners; none is needed.
  std::function<void(TProgressStage stage, int percent, const std::string& message)> OnProgress;
  std::function<void(const std::string& message)> OnWarning;

  int Width() const { return Header.Width(); }
  int Height() const { return Header.Height(); }
  bool Empty() const { return Images.Count() == 0; }

  // Painters stop; frames, global colour table and screen size go.
  void Clear();
  // The picture becomes one frame made from `raster` (see
  // TGIFSubImage::AssignRaster); on failure the picture is left empty.
  void AssignRaster(RasterImage& raster);
  // Appends a frame made from `raster`; on failure the picture keeps its frames.
  TGIFSubImage* Add(RasterImage& raster);

  // The version the file needs: the largest among the frames (and 89a for a
  // sorted global table); gvUnknown without frames.
  int GifVersion() const;
  // Signature, screen descriptor, global colour table, frames, trailer.
  void SaveToStream(Stream& stream);
  void saveToStream(Stream& stream) override { SaveToStream(stream); }
  void saveToFile(const std::string& name) override;

  // Makes the frames smaller without changing what the picture shows; see
  // TGIFOptimizeOption. `paletteMethod` only decides whether ReduceFrameColors
  // is refused ("Invalid reduction method" for pmCustom without
  // CleanupFrames, raised before anything changes); `ditherAlgorithm` and
  // `quantizerBits` are not used.
  void OptimizeFrames(TGIFOptimizeOptions options, uint8_t paletteMethod, uint8_t ditherAlgorithm,
                      int32_t quantizerBits);

  void Progress(TProgressStage stage, int percent, const std::string& message);
  void Warning(const std::string& message);

 private:
  void OptimizeColorMap(TGIFColorMap& map, const std::vector<TGIFSubImage*>& users);
  void CleanupFirstPass();
  void MergeFrame(TGIFSubImage& frame, const TGIFSubImage& reference);
  void CropFrame(int index);
  void CleanupSecondPass();
};

// The capture's GIF writer: Floyd-Steinberg dithering onto the web cube
// before assign, then OptimizeFrames with {MergeFrames}.
EncoderFactory gifEncoderFactory();

}  // namespace pixkeep
