#include "codecs/png/pngimage.h"

#include <algorithm>
#include <cstring>

#include "platform/savefile.h"

namespace pixkeep {

namespace {

bool validLayout(uint8_t colorType, uint8_t bitDepth) {
  switch (colorType) {
    case COLOR_GRAYSCALE: return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16;
    case COLOR_PALETTE: return bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
    case COLOR_RGB: case COLOR_GRAYSCALEALPHA: case COLOR_RGBALPHA: return bitDepth == 8 || bitDepth == 16;
    default: return false;
  }
}

PixelFormat formatOfBits(int bits) {
  switch (bits) {
    case 1: return PixelFormat::Bits1;
    case 4: return PixelFormat::Bits4;
    case 8: return PixelFormat::Bits8;
    default: return PixelFormat::Bits24;
  }
}

template <typename T>
std::unique_ptr<TChunk> make(TPNGObject* owner) {
  return std::make_unique<T>(owner);
}

}  // namespace

void PngRows::shareWide(const RasterImage& raster) {
  RasterImage::assign(&raster);
  wide_ = true;
}

void PngRows::narrow() const {
  if (!wide_) return;
  const_cast<PngRows*>(this)->RasterImage::setPixelFormat(PixelFormat::Bits24);
  wide_ = false;
}

void PngRows::assign(const RasterImage* other) {
  RasterImage::assign(other);
  wide_ = false;
}

void PngRows::assign(const PngRows* other) {
  RasterImage::assign(other);
  wide_ = other && other->wide_;
}

void PngRows::createBlank(int width, int height, PixelFormat format, std::vector<RGBQuad> colors) {
  RasterImage::createBlank(width, height, format, std::move(colors));
  wide_ = false;
}

void PngRows::setPixelFormat(PixelFormat format) {
  narrow();
  RasterImage::setPixelFormat(format);
}

PixelFormat PngRows::pixelFormat() const {
  narrow();
  return RasterImage::pixelFormat();
}

const ImageHeader& PngRows::header() const {
  narrow();
  return RasterImage::header();
}

size_t PngRows::stride() const {
  narrow();
  return RasterImage::stride();
}

uint8_t* PngRows::scanline(int row) {
  narrow();
  return RasterImage::scanline(row);
}

const uint8_t* PngRows::constScanline(int row) const {
  narrow();
  return RasterImage::constScanline(row);
}

void TPNGPointerList::remove(void* p) {
  auto it = std::find(items_.begin(), items_.end(), p);
  if (it != items_.end()) items_.erase(it);
}

TChunk* TPNGList::itemFromClass(const std::string& chunkType) const {
  for (size_t i = 0; i < count(); ++i)
    if (item(i)->chunkType() == chunkType) return item(i);
  return nullptr;
}

TChunk::TChunk(TPNGObject* o, const std::string& type) : data(1, 0), owner(o) {
  std::memset(name, ' ', 4);
  std::memcpy(name, type.data(), std::min<size_t>(4, type.size()));
}

void TChunk::copyFrom(const TChunk& other) {
  data = other.data;
  dataLength = other.dataLength;
  std::memcpy(name, other.name, 4);
}

std::unique_ptr<TChunk> TChunk::createFor(TPNGObject* o) const { return std::make_unique<TChunk>(o, chunkType()); }

bool TChunk::readChunk(Stream& stream, const std::string&, uint32_t size) {
  setDataLength(size);
  return stream.read(data.data(), size) == size;
}

void TChunk::writeChunk(Stream& stream) { writeFramed(stream); }

void TChunk::setDataLength(uint32_t size) {
  data.assign(size_t(size) + 1, 0);
  dataLength = size;
}

TChunkIHDR& TChunk::headerChunk() const { return owner->headerChunk(); }

std::unique_ptr<TChunk> TChunkIEND::createFor(TPNGObject* o) const { return make<TChunkIEND>(o); }
std::unique_ptr<TChunk> TChunkIHDR::createFor(TPNGObject* o) const { return make<TChunkIHDR>(o); }
std::unique_ptr<TChunk> TChunkPLTE::createFor(TPNGObject* o) const { return make<TChunkPLTE>(o); }
std::unique_ptr<TChunk> TChunkIDAT::createFor(TPNGObject* o) const { return make<TChunkIDAT>(o); }
std::unique_ptr<TChunk> TChunktRNS::createFor(TPNGObject* o) const { return make<TChunktRNS>(o); }
std::unique_ptr<TChunk> TChunkgAMA::createFor(TPNGObject* o) const { return make<TChunkgAMA>(o); }
std::unique_ptr<TChunk> TChunktIME::createFor(TPNGObject* o) const { return make<TChunktIME>(o); }
std::unique_ptr<TChunk> TChunktEXt::createFor(TPNGObject* o) const { return make<TChunktEXt>(o); }
std::unique_ptr<TChunk> TChunkzTXt::createFor(TPNGObject* o) const { return make<TChunkzTXt>(o); }

int TChunkIHDR::dibBitCount() const {
  if (colorType == COLOR_RGB || colorType == COLOR_RGBALPHA) return 24;
  if (bitDepth == 2) return 4;
  if (bitDepth == 16) return 8;
  return bitDepth;
}

void TChunkIHDR::setUpImage(bool withPixels) {
  if (!validLayout(colorType, bitDepth)) throw EPngInvalidIHDR(msg::PngInvalidHeader);
  if (Width < 0 || Height < 0) throw EPNGSizeExceeds(msg::PngSizeExceeds);
  colors.fill(RGBQuad{});
  alphaPlane.clear();
  usesColourTable = colorType == COLOR_GRAYSCALE || colorType == COLOR_PALETTE || colorType == COLOR_GRAYSCALEALPHA;
  greyHeldAsFour = false;
  const int bits = dibBitCount();
  try {
    image.createBlank(withPixels ? Width : 0, withPixels ? Height : 0, formatOfBits(bits),
                      std::vector<RGBQuad>(size_t(1) << std::min(bits, 8)));
  } catch (const EOutOfResources&) {
    throw EPNGSizeExceeds(msg::PngSizeExceeds);
  }
  if (colorType == COLOR_GRAYSCALEALPHA || colorType == COLOR_RGBALPHA) {
    uint64_t size = uint64_t(Width) * uint64_t(Height);
    if (size > 0x7FFFFFFFu) throw EPNGSizeExceeds(msg::PngSizeExceeds);
    alphaPlane.assign(size_t(size), 0);
  }
}

void TChunkIHDR::copyFrom(const TChunk& other) {
  auto* o = dynamic_cast<const TChunkIHDR*>(&other);
  if (!o) throw EPngError(msg::PngIncompatibleChunks);
  TChunk::copyFrom(other);
  usesColourTable = o->usesColourTable;
  colors = o->colors;
  image.assign(&o->image);
  alphaPlane = o->alphaPlane;
  Width = o->Width;
  Height = o->Height;
  bitDepth = o->bitDepth;
  colorType = o->colorType;
  compressionMethod = o->compressionMethod;
  filterMethod = o->filterMethod;
  interlaceMethod = o->interlaceMethod;
  greyHeldAsFour = o->greyHeldAsFour;
}

void TChunkPLTE::copyFrom(const TChunk& other) {
  auto* o = dynamic_cast<const TChunkPLTE*>(&other);
  if (!o) throw EPngError(msg::PngIncompatibleChunks);
  TChunk::copyFrom(other);
  entryCount = o->entryCount;
}

RGBQuad& TChunkPLTE::item(int index) const {
  if (index < 0 || index >= entryCount || index >= 256) throw EPngError(msg::PngNoPaletteEntry);
  return headerChunk().colors[size_t(index)];
}

void TChunktRNS::copyFrom(const TChunk& other) {
  TChunk::copyFrom(other);
  if (auto* o = dynamic_cast<const TChunktRNS*>(&other)) {
    singleTransparent = o->singleTransparent;
    alphaValues = o->alphaValues;
  }
}

void TChunktRNS::markTransparent(uint32_t color) {
  const uint8_t r = uint8_t(color), g = uint8_t(color >> 8), b = uint8_t(color >> 16);
  alphaValues.fill(0);
  singleTransparent = true;
  TChunkIHDR& h = headerChunk();
  switch (h.colorType) {
    case COLOR_GRAYSCALE:
      setDataLength(2);
      data[0] = 0;
      data[1] = r;
      break;
    case COLOR_RGB:
      setDataLength(6);
      data[0] = 0; data[1] = r;
      data[2] = 0; data[3] = g;
      data[4] = 0; data[5] = b;
      break;
    case COLOR_PALETTE: {
      // Entries before the transparent one stay opaque. Without a matching
      // entry nothing is made transparent.
      int found = -1;
      for (int i = 0; i < 256 && found < 0; ++i)
        if (h.colors[size_t(i)].red == r && h.colors[size_t(i)].green == g && h.colors[size_t(i)].blue == b) found = i;
      if (found < 0) {
        setDataLength(0);
        singleTransparent = false;
        break;
      }
      for (int i = 0; i < found; ++i) alphaValues[size_t(i)] = 255;
      setDataLength(uint32_t(found + 1));
      break;
    }
    default:
      break;
  }
}

TChunkgAMA::TChunkgAMA(TPNGObject* o) : TChunk(o, "gAMA") { setGamma(1); }

void TChunkgAMA::copyFrom(const TChunk& other) {
  if (!dynamic_cast<const TChunkgAMA*>(&other)) throw EPngError(msg::PngIncompatibleChunks);
  TChunk::copyFrom(other);
}

uint32_t TChunkgAMA::gamma() const {
  return (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) | (uint32_t(data[2]) << 8) | data[3];
}

void TChunkgAMA::setGamma(uint32_t value) {
  setDataLength(4);
  for (int i = 0; i < 4; ++i) data[size_t(i)] = uint8_t(value >> (24 - 8 * i));
}

TChunktIME::TChunktIME(TPNGObject* o) : TChunk(o, "tIME") { setTime(2000, 1, 1, 0, 0, 0); }

void TChunktIME::setTime(int year, int month, int day, int hour, int minute, int second) {
  setDataLength(7);
  data[0] = uint8_t(year >> 8);
  data[1] = uint8_t(year);
  data[2] = uint8_t(month);
  data[3] = uint8_t(day);
  data[4] = uint8_t(hour);
  data[5] = uint8_t(minute);
  data[6] = uint8_t(second);
}

void TChunktEXt::copyFrom(const TChunk& other) {
  TChunk::copyFrom(other);
  if (auto* o = dynamic_cast<const TChunktEXt*>(&other)) {
    keyword = o->keyword;
    text = o->text;
  }
}

const std::vector<ChunkClass>& chunkClassRegistry() {
  static const std::vector<ChunkClass> registry = {
      {"IEND", make<TChunkIEND>}, {"IHDR", make<TChunkIHDR>}, {"IDAT", make<TChunkIDAT>},
      {"PLTE", make<TChunkPLTE>}, {"gAMA", make<TChunkgAMA>}, {"tRNS", make<TChunktRNS>},
      {"tIME", make<TChunktIME>}, {"tEXt", make<TChunktEXt>}, {"zTXt", make<TChunkzTXt>},
  };
  return registry;
}

std::unique_ptr<TChunk> createChunk(const std::string& type, TPNGObject* owner) {
  for (const ChunkClass& c : chunkClassRegistry())
    if (type == c.type) return c.create(owner);
  return std::make_unique<TChunk>(owner, type);
}

TPNGObject::TPNGObject() {
  for (int i = 0; i < 256; ++i) decodeGamma[size_t(i)] = encodeGamma[size_t(i)] = uint8_t(i);
}

TPNGObject::~TPNGObject() { resetChunks(); }

void TPNGObject::resetChunks() {
  for (size_t i = 0; i < chunkList.count(); ++i) delete chunkList.item(i);
  chunkList.setSize(0);
  for (int i = 0; i < 256; ++i) decodeGamma[size_t(i)] = encodeGamma[size_t(i)] = uint8_t(i);
}

TChunk* TPNGObject::addChunk(std::unique_ptr<TChunk> chunk) {
  TChunk* raw = chunk.release();
  chunkList.add(raw);
  return raw;
}

TChunkIHDR& TPNGObject::headerChunk() const {
  auto* h = dynamic_cast<TChunkIHDR*>(chunkList.item(0));
  if (!h) throw EPNGHeaderNotPresent(msg::PngNoHeader);
  return *h;
}

int TPNGObject::width() const {
  auto* h = dynamic_cast<TChunkIHDR*>(chunkList.item(0));
  return h ? h->Width : 0;
}

int TPNGObject::height() const {
  auto* h = dynamic_cast<TChunkIHDR*>(chunkList.item(0));
  return h ? h->Height : 0;
}

void TPNGObject::setWidth(int) { throw EPngError(msg::PngCannotResize); }
void TPNGObject::setHeight(int) { throw EPngError(msg::PngCannotResize); }

void TPNGObject::assign(const RasterImage& raster) {
  importBitmap(raster, raster.transparent, raster.transparentColor() & 0x00FFFFFF);
}

void TPNGObject::assign(const TPNGObject& other) {
  if (&other == this) return;
  interlaceMode = other.interlaceMode;
  setIdatBufferSize(other.idatBufferSize());
  deflateLevel = other.deflateLevel;
  rowFilters = other.rowFilters;
  resetChunks();
  for (size_t i = 0; i < other.chunkList.count(); ++i) {
    std::unique_ptr<TChunk> clone = other.chunkList.item(i)->createFor(this);
    clone->copyFrom(*other.chunkList.item(i));
    addChunk(std::move(clone));
  }
}

void TPNGObject::importBitmap(const RasterImage& bitmap, bool transparent, uint32_t transparentColor) {
  const int bits = bitmap.pixelFormat() == PixelFormat::Device ? bitmap.deviceBitCount() : bitmap.header().biBitCount;
  resetChunks();
  auto* ihdr = static_cast<TChunkIHDR*>(addChunk(std::make_unique<TChunkIHDR>(this)));
  TChunkPLTE* plte = bits < 16 ? static_cast<TChunkPLTE*>(addChunk(std::make_unique<TChunkPLTE>(this))) : nullptr;
  TChunktRNS* trns = transparent ? static_cast<TChunktRNS*>(addChunk(std::make_unique<TChunktRNS>(this))) : nullptr;
  addChunk(std::make_unique<TChunkIDAT>(this));
  addChunk(std::make_unique<TChunkIEND>(this));

  ihdr->Width = bitmap.width();
  ihdr->Height = bitmap.height();
  if (bits < 16) {
    ihdr->bitDepth = uint8_t(bits);
    ihdr->colorType = COLOR_PALETTE;
  } else {
    ihdr->bitDepth = 8;
    ihdr->colorType = COLOR_RGB;
  }
  ihdr->compressionMethod = 0;
  ihdr->interlaceMethod = 0;
  ihdr->filterMethod = 0;

  // The rows in the in-memory layout: 24-bit blue, green, red for truecolour,
  // the bitmap's own indices and colours for palette pictures. Where the
  // bitmap already has that layout its rows are shared, not allocated anew.
  // A 32-bit raster is shared as it is: the writer drops the fourth bytes row
  // by row instead of a 24-bit copy of the whole picture being made.
  const int dibBits = ihdr->dibBitCount();
  const bool shareRows = !bitmap.empty() && (dibBits == 24 || dibBits == bits);
  ihdr->setUpImage(!shareRows);
  if (shareRows) {
    const bool wide = dibBits == 24 && bitmap.header().biBitCount == 32 && bitmap.header().biCompression == BI_RGB;
    if (wide) {
      ihdr->image.shareWide(bitmap);
    } else {
      ihdr->image.assign(&bitmap);
      if (dibBits == 24) ihdr->image.setPixelFormat(PixelFormat::Bits24);
    }
  }
  if (dibBits != 24 && !bitmap.empty()) {
    const auto& table = bitmap.colorTable();
    for (size_t i = 0; i < table.size() && i < 256; ++i) ihdr->colors[i] = table[i];
  }
  if (!bitmap.empty() && !shareRows) {
    // 2 bits a pixel held as 4: copy the indices into the wider layout.
    for (int y = 0; y < ihdr->Height; ++y) {
      const uint8_t* src = bitmap.constScanline(y);
      uint8_t* dst = ihdr->image.scanline(y);
      for (int x = 0; x < ihdr->Width; ++x) {
        uint8_t v = uint8_t((src[x / 4] >> (6 - 2 * (x % 4))) & 3);
        dst[x / 2] = uint8_t(dst[x / 2] | (x % 2 ? v : v << 4));
      }
    }
  }
  if (plte) plte->entryCount = 1 << bits;
  if (trns) trns->markTransparent(transparentColor);
}

void TPNGObject::saveToFile(const std::string& name) {
  saveToFileAtomically(name, [this](Stream& s) { saveToStream(s); });
}

EncoderFactory pngEncoderFactory() {
  return [](const RasterImage& picture, int spin) -> std::unique_ptr<PictureEncoder> {
    auto png = std::make_unique<TPNGObject>();
    png->rowFilters = pfNone;
    png->assign(picture);
    png->deflateLevel = uint8_t(spin);
    return png;
  };
}

}  // namespace pixkeep
