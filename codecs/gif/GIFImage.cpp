#include "codecs/gif/GIFImage.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "raster/pixelops.h"
#include "codecs/gif/gifreduce.h"

namespace pixkeep {

namespace {

constexpr int MaxDimension = 65535;  // GIF sizes and positions are 16-bit
constexpr int ProgressRows = 32;

}  // namespace

int BitsForCount(int count) {
  if (count <= 0) return 0;
  int bits = 1;
  while ((1 << bits) < count) ++bits;
  return bits;
}

TGIFColorMap::TGIFColorMap(const TGIFColorMap& other) : Sorted(other.Sorted) {
  Reserve(other.count_);
  if (other.count_ > 0) std::copy_n(other.entries_.get(), other.count_, entries_.get());
  count_ = other.count_;
}

TGIFColorMap& TGIFColorMap::operator=(const TGIFColorMap& other) {
  if (this != &other) {
    TGIFColorMap copy(other);
    entries_ = std::move(copy.entries_);
    count_ = copy.count_;
    capacity_ = copy.capacity_;
    Sorted = copy.Sorted;
  }
  return *this;
}

void TGIFColorMap::Reserve(int count) {
  if (count <= capacity_) return;
  const int capacity = count <= 16 ? 16 : std::min(MaxColors, (count + 31) / 32 * 32);
  auto grown = std::make_unique<TGIFColor[]>(size_t(capacity));
  if (count_ > 0) std::copy_n(entries_.get(), count_, grown.get());
  entries_ = std::move(grown);
  capacity_ = capacity;
}

int TGIFColorMap::Add(TGIFColor color) {
  if (count_ >= MaxColors) throw GIFException(msg::GIFColorTableOverflow);
  Reserve(count_ + 1);
  entries_[size_t(count_)] = color;
  return count_++;
}

int TGIFColorMap::IndexOf(TGIFColor color) const {
  for (int i = 0; i < count_; ++i)
    if (entries_[size_t(i)] == color) return i;
  return -1;
}

int TGIFColorMap::AddUnique(TGIFColor color) {
  int index = IndexOf(color);
  return index >= 0 ? index : Add(color);
}

void TGIFColorMap::ImportColorTable(const std::vector<RGBQuad>& table) {
  Clear();
  const int n = int(std::min<size_t>(table.size(), MaxColors));
  Reserve(n);
  for (int i = 0; i < n; ++i) entries_[size_t(i)] = TGIFColor{table[size_t(i)].red, table[size_t(i)].green,
                                                              table[size_t(i)].blue};
  count_ = n;
}

void TGIFColorMap::Clear() {
  entries_.reset();
  count_ = 0;
  capacity_ = 0;
  Sorted = false;
}

int TGIFList::IndexOf(const TGIFItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return int(i);
  return -1;
}

TGIFItem* TGIFList::Append(std::unique_ptr<TGIFItem> item) {
  items_.push_back(std::move(item));
  return items_.back().get();
}

void TGIFList::SaveToStream(Stream& stream) const {
  for (const auto& item : items_) item->SaveToStream(stream);
}

TGIFSubImage* TGIFImageList::Add(std::unique_ptr<TGIFItem> item) {
  auto* frame = dynamic_cast<TGIFSubImage*>(item.get());
  if (!frame || frame->Image() != image_) throw GIFException(msg::GIFUnsupportedObjectType);
  image_->Header.Enlarge(frame->Left() + frame->Width(), frame->Top() + frame->Height());
  return TGIFTypedList<TGIFSubImage>::Add(std::move(item));
}

TGIFExtension::TGIFExtension(TGIFSubImage* frame) : TGIFItem(frame->Image()), frame_(frame) {}

TGIFApplicationExtension::TGIFApplicationExtension(TGIFSubImage* frame, std::string_view identifier)
    : TGIFExtension(frame) {
  std::copy_n(identifier.begin(), std::min(identifier.size(), Identifier.size()), Identifier.begin());
}

void TGIFHeader::SetWidth(int width) {
  if (width < 0 || width > MaxDimension) throw GIFException(msg::GIFImageTooLarge);
  for (const auto& frame : Image()->Images)
    if (frame->Left() + frame->Width() > width) throw GIFException(msg::GIFScreenWidthTooSmall);
  LogicalScreenDescriptor.ScreenWidth = uint16_t(width);
}

void TGIFHeader::SetHeight(int height) {
  if (height < 0 || height > MaxDimension) throw GIFException(msg::GIFImageTooLarge);
  for (const auto& frame : Image()->Images)
    if (frame->Top() + frame->Height() > height) throw GIFException(msg::GIFScreenHeightTooSmall);
  LogicalScreenDescriptor.ScreenHeight = uint16_t(height);
}

void TGIFHeader::Enlarge(int right, int bottom) {
  if (right > MaxDimension || bottom > MaxDimension) throw GIFException(msg::GIFImageTooLarge);
  TLogicalScreenDescriptor& screen = LogicalScreenDescriptor;
  if (right > screen.ScreenWidth) {
    const bool reported = screen.ScreenWidth != 0;
    screen.ScreenWidth = uint16_t(right);
    if (reported) {
      Image()->Warning(msg::GIFScreenWidthTooSmall);
      Image()->Warning(msg::GIFExceedsScreen);
    }
  }
  if (bottom > screen.ScreenHeight) {
    const bool reported = screen.ScreenHeight != 0;
    screen.ScreenHeight = uint16_t(bottom);
    if (reported) {
      Image()->Warning(msg::GIFScreenHeightTooSmall);
      Image()->Warning(msg::GIFExceedsScreen);
    }
  }
}

void TGIFHeader::Clear() {
  LogicalScreenDescriptor = TLogicalScreenDescriptor{};
  ColorMap.Clear();
}

TGIFSubImage::TGIFSubImage(TGIFImage* image) : TGIFItem(image) {}
TGIFSubImage::~TGIFSubImage() = default;

void TGIFSubImage::Resize() {
  // The old buffer goes first, so that two frames never live side by side.
  data_ = std::vector<uint8_t>();
  data_.assign(size_t(Width()) * size_t(Height()), 0);
  Image()->Header.Enlarge(Left() + Width(), Top() + Height());
}

void TGIFSubImage::SetLeft(int left) {
  if (left < 0 || left > MaxDimension) throw GIFException(msg::GIFImageTooLarge);
  Image()->Header.Enlarge(left + Width(), Top() + Height());
  ImageDescriptor.Left = uint16_t(left);
}

void TGIFSubImage::SetTop(int top) {
  if (top < 0 || top > MaxDimension) throw GIFException(msg::GIFImageTooLarge);
  Image()->Header.Enlarge(Left() + Width(), top + Height());
  ImageDescriptor.Top = uint16_t(top);
}

void TGIFSubImage::SetWidth(int width) {
  if (width < 0 || width > MaxDimension || Left() + width > MaxDimension) throw GIFException(msg::GIFImageTooLarge);
  ImageDescriptor.Width = uint16_t(width);
  Resize();
}

void TGIFSubImage::SetHeight(int height) {
  if (height < 0 || height > MaxDimension || Top() + height > MaxDimension)
    throw GIFException(msg::GIFImageTooLarge);
  ImageDescriptor.Height = uint16_t(height);
  Resize();
}

void TGIFSubImage::SetInterlaced(bool interlaced) {
  ImageDescriptor.PackedFields = uint8_t(interlaced ? ImageDescriptor.PackedFields | 0x40
                                                    : ImageDescriptor.PackedFields & ~0x40);
}

TGIFGraphicControlExtension* TGIFSubImage::GraphicControlExtension() const {
  for (TGIFExtension* extension : Extensions)
    if (auto* control = dynamic_cast<TGIFGraphicControlExtension*>(extension)) return control;
  return nullptr;
}

TGIFGraphicControlExtension& TGIFSubImage::EnsureGraphicControlExtension() {
  if (TGIFGraphicControlExtension* control = GraphicControlExtension()) return *control;
  return *static_cast<TGIFGraphicControlExtension*>(
      Extensions.Add(std::make_unique<TGIFGraphicControlExtension>(this)));
}

bool TGIFSubImage::Transparent() const {
  const TGIFGraphicControlExtension* control = GraphicControlExtension();
  return control && control->Transparent;
}

const TGIFColorMap& TGIFSubImage::ActiveColorMap() const {
  if (ColorMap.Count() > 0) return ColorMap;
  return Image()->Header.ColorMap;
}

TGIFColorMap& TGIFSubImage::ActiveColorMap() {
  if (ColorMap.Count() > 0) return ColorMap;
  return Image()->Header.ColorMap;
}

void TGIFSubImage::Crop(int x, int y, int width, int height) {
  if (x < 0 || y < 0 || width < 0 || height < 0 || x + width > Width() || y + height > Height())
    throw GIFException(msg::GIFInvalidImageDimensions);
  std::vector<uint8_t> kept(size_t(width) * size_t(height));
  for (int row = 0; row < height; ++row)
    std::copy_n(&data_[size_t(y + row) * size_t(Width()) + size_t(x)], width, &kept[size_t(row) * size_t(width)]);
  // Inside the old rectangle: the screen never needs to grow.
  ImageDescriptor.Left = uint16_t(Left() + x);
  ImageDescriptor.Top = uint16_t(Top() + y);
  ImageDescriptor.Width = uint16_t(width);
  ImageDescriptor.Height = uint16_t(height);
  data_ = std::move(kept);
  working_.reset();
}

int TGIFSubImage::GifVersion() const {
  if (ColorMap.Sorted) return gv89a;
  int version = gv87a;
  for (const TGIFExtension* extension : Extensions) version = std::max(version, extension->GifVersion());
  return version;
}

void TGIFSubImage::Clear() {
  Extensions.Clear();
  ColorMap.Clear();
  data_ = std::vector<uint8_t>();
  working_.reset();
  ImageDescriptor.Width = 0;
  ImageDescriptor.Height = 0;
}

void TGIFSubImage::AssignRaster(RasterImage& raster) {
  Clear();
  if (raster.empty()) return;
  // Checked before anything is reduced: a frame cannot hold a larger picture.
  if (raster.width() > MaxDimension || raster.height() > MaxDimension) throw GIFException(msg::GIFImageTooLarge);

  TGIFImage& image = *Image();
  image.Progress(TProgressStage::psStarting, 0, msg::GIFConverting);
  try {
    Convert(raster);
  } catch (...) {
    image.Progress(TProgressStage::psEnding, 100, msg::GIFConverting);
    throw;
  }
  image.Progress(TProgressStage::psEnding, 100, msg::GIFConverting);
}

void TGIFSubImage::Convert(RasterImage& raster) {
  const TGIFImage& image = *Image();
  const bool transparent = raster.transparent;
  const uint32_t transparentColor = transparent ? raster.transparentColor() & 0xFFFFFF : 0;

  SetWidth(raster.width());
  SetHeight(raster.height());
  const PixelFormat format = raster.pixelFormat();
  if (format == PixelFormat::Bits1 || format == PixelFormat::Bits4 || format == PixelFormat::Bits8) {
    working_ = std::make_unique<RasterImage>();
    working_->assign(&raster);
  } else {
    working_ = ReduceToPalette(raster, image.PaletteMethod, image.DitherAlgorithm, image.QuantizerBits, nullptr);
  }
  ImportPixels(*working_);
  if (transparent) ImportTransparency(raster, transparentColor);
}

void TGIFSubImage::ImportPixels(RasterImage& working) {
  TGIFImage& image = *Image();
  const int width = Width(), height = Height();
  const PixelFormat format = working.pixelFormat();
  auto progress = [&](int row) {
    if (row % ProgressRows == 0 && row > 0)
      image.Progress(TProgressStage::psRunning, int(int64_t(row) * 100 / height), msg::GIFConverting);
  };

  if (format == PixelFormat::Bits1 || format == PixelFormat::Bits4 || format == PixelFormat::Bits8) {
    ColorMap.ImportColorTable(working.colorTable());
    const int bits = working.header().biBitCount;
    // With a full table every index has its colour; otherwise the largest
    // index in use decides how far the table must reach.
    const bool fullTable = ColorMap.Count() >= TGIFColorMap::MaxColors;
    uint8_t largest = 0;
    for (int y = 0; y < height; ++y) {
      progress(y);
      const uint8_t* row = working.constScanline(y);
      uint8_t* out = &data_[size_t(y) * size_t(width)];
      if (bits == 8) {
        std::memcpy(out, row, size_t(width));
      } else {
        const int perByte = 8 / bits, mask = (1 << bits) - 1;
        for (int x = 0; x < width; ++x) {
          // Leftmost pixel in the most significant bits.
          const int shift = 8 - bits * (x % perByte + 1);
          out[x] = uint8_t((row[x / perByte] >> shift) & mask);
        }
      }
      if (!fullTable)
        for (int x = 0; x < width; ++x) largest = std::max(largest, out[x]);
    }
    // Every index needs a colour: a table shorter than the indices in use
    // (a raster whose colour table lists fewer entries than its pixels
    // reach) is filled up with black instead of leaving them undefined.
    while (ColorMap.Count() <= int(largest)) ColorMap.Add(TGIFColor{});
    return;
  }

  // Truecolour (the working raster of PaletteMethod 0): every distinct colour
  // gets an entry; the last 8 colours met are remembered in a ring.
  working.setPixelFormat(PixelFormat::Bits24);
  ColorMap.Clear();
  struct Slot {
    TGIFColor color;
    uint8_t index = 0;
    bool used = false;
  };
  std::array<Slot, 8> ring{};
  int newest = 7;
  for (int y = 0; y < height; ++y) {
    progress(y);
    const uint8_t* row = working.constScanline(y);
    uint8_t* out = &data_[size_t(y) * size_t(width)];
    for (int x = 0; x < width; ++x, row += 3) {
      const TGIFColor color{row[2], row[1], row[0]};
      int found = -1;
      for (int k = 0, slot = newest; k < 8; ++k, slot = (slot + 7) % 8) {
        if (!ring[size_t(slot)].used) break;
        if (ring[size_t(slot)].color == color) {
          found = ring[size_t(slot)].index;
          break;
        }
      }
      if (found < 0) {
        found = ColorMap.AddUnique(color);
        newest = (newest + 1) % 8;
        ring[size_t(newest)] = Slot{color, uint8_t(found), true};
      }
      out[x] = uint8_t(found);
    }
  }
}

void TGIFSubImage::ImportTransparency(const RasterImage& source, uint32_t transparentColor) {
  // The mask: the source pixels of exactly the transparent colour.
  const int width = Width(), height = Height();
  const uint32_t maskRgb = pixelops::colorToRgb(transparentColor);
  std::vector<uint8_t> mask(data_.size(), 0);
  std::array<bool, 256> usedOutside{};
  bool any = false;
  pixelops::Layout layout(source.header(), source.colorTable());
  std::vector<uint32_t> line(static_cast<size_t>(width));
  for (int y = 0; y < height; ++y) {
    layout.decodeRow(source.constScanline(y), width, line.data());
    for (int x = 0; x < width; ++x) {
      const size_t i = size_t(y) * size_t(width) + size_t(x);
      if (line[size_t(x)] == maskRgb) {
        mask[i] = 1;
        any = true;
      } else {
        usedOutside[data_[i]] = true;
      }
    }
  }
  if (!any) return;

  // The transparent index must be one no visible pixel uses: a table entry
  // no other pixel needs, or a new one. Without such an index the frame
  // stays opaque rather than hiding visible pixels.
  int index = -1;
  for (int i = 0; i < ColorMap.Count() && index < 0; ++i)
    if (!usedOutside[size_t(i)]) index = i;
  if (index < 0) {
    if (ColorMap.Count() >= TGIFColorMap::MaxColors) return;
    index = ColorMap.Add(TGIFColor{uint8_t(transparentColor), uint8_t(transparentColor >> 8),
                                   uint8_t(transparentColor >> 16)});
  }
  for (size_t i = 0; i < mask.size(); ++i)
    if (mask[i]) data_[i] = uint8_t(index);
  TGIFGraphicControlExtension& control = EnsureGraphicControlExtension();
  control.Transparent = true;
  control.TransparentColorIndex = uint8_t(index);
}

TGIFImage::TGIFImage()
    : PaletteMethod(GIFImageDefaults.PaletteMethod),
      DitherAlgorithm(GIFImageDefaults.DitherAlgorithm),
      QuantizerBits(GIFImageDefaults.QuantizerBits),
      codingMethod(GIFImageDefaults.codingMethod),
      Header(this),
      Images(this) {}

TGIFImage::~TGIFImage() {
  auto lock = Painters.LockList();
  Painters.StopAll(lock);
}

void TGIFImage::Clear() {
  {
    auto lock = Painters.LockList();
    Painters.StopAll(lock);
  }
  Images.Clear();
  Header.Clear();
  Header.Prepare();
}

void TGIFImage::AssignRaster(RasterImage& raster) {
  Clear();
  auto frame = std::make_unique<TGIFSubImage>(this);
  try {
    frame->AssignRaster(raster);
  } catch (...) {
    Clear();  // the screen the frame had already enlarged
    throw;
  }
  Images.Add(std::move(frame));
}

TGIFSubImage* TGIFImage::Add(RasterImage& raster) {
  const TLogicalScreenDescriptor screen = Header.LogicalScreenDescriptor;
  auto frame = std::make_unique<TGIFSubImage>(this);
  try {
    frame->AssignRaster(raster);
  } catch (...) {
    Header.LogicalScreenDescriptor = screen;
    throw;
  }
  return Images.Add(std::move(frame));
}

int TGIFImage::GifVersion() const {
  int version = gvUnknown;
  for (const TGIFSubImage* frame : Images) {
    version = std::max(version, frame->GifVersion());
    if (version == gv89a) break;
  }
  // A sorted table needs the sort flag, which GIF87a does not have.
  if (version != gvUnknown && Header.ColorMap.Count() > 0 && Header.ColorMap.Sorted) version = gv89a;
  return version;
}

void TGIFPainterList::Add(TGIFPainter* painter) {
  auto lock = LockList();
  painters_.push_back(painter);
}

void TGIFPainterList::Remove(TGIFPainter* painter) {
  auto lock = LockList();
  painters_.erase(std::remove(painters_.begin(), painters_.end(), painter), painters_.end());
}

void TGIFPainterList::StopAll(const std::unique_lock<std::mutex>&) {
  for (TGIFPainter* painter : painters_) painter->Stop();
}

void TGIFImage::Progress(TProgressStage stage, int percent, const std::string& message) {
  if (OnProgress) OnProgress(stage, percent, message);
}

void TGIFImage::Warning(const std::string& message) {
  if (OnWarning) OnWarning(message);
}

}  // namespace pixkeep
