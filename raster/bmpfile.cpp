// The BMP file writer and reader of RasterImage.
#include <algorithm>
#include <cstring>

#include "raster/pictureencoder.h"
#include "raster/rowtarget.h"
#include "platform/display.h"
#include "raster/pixelops.h"
#include "raster/rasterstore.h"

namespace pixkeep {

namespace {

constexpr uint16_t BitmapFileType = 0x4D42;  // "BM"
constexpr size_t FileHeaderSize = 14;
constexpr uint32_t MaxHeaderSize = 4096;
constexpr uint64_t MaxRlePixels = uint64_t(1) << 24;  // 4096 x 4096

[[noreturn]] void invalid() { throw EInvalidGraphic(msg::InvalidBitmap); }

bool validBitCount(int bits) {
  return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Decodes BI_RLE8 / BI_RLE4 data into top-down colour-table indices. Pixels
// the data never reaches keep index 0; runs past the end of a row are cut off.
std::vector<uint8_t> decodeRle(const uint8_t* data, size_t size, int width, int height, bool rle4) {
  std::vector<uint8_t> indices(size_t(width) * size_t(height), 0);
  int x = 0, y = 0;  // y counts rows from the bottom
  size_t pos = 0;
  auto put = [&](uint8_t index) {
    if (x < width && y < height) indices[size_t(height - 1 - y) * size_t(width) + size_t(x)] = index;
    ++x;
  };
  while (y < height) {
    if (pos + 2 > size) break;  // data ends without an end-of-bitmap escape
    uint8_t count = data[pos], value = data[pos + 1];
    pos += 2;
    if (count > 0) {  // encoded run
      for (int i = 0; i < count; ++i)
        put(rle4 ? uint8_t((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
      continue;
    }
    switch (value) {
      case 0:  // end of line
        x = 0;
        ++y;
        break;
      case 1:  // end of bitmap
        return indices;
      case 2: {  // delta
        if (pos + 2 > size) invalid();
        x += data[pos];
        y += data[pos + 1];
        pos += 2;
        break;
      }
      default: {  // absolute run of `value` pixels, padded to a 16-bit boundary
        size_t bytes = rle4 ? (size_t(value) + 1) / 2 : value;
        if (pos + bytes > size) invalid();
        for (int i = 0; i < value; ++i)
          put(rle4 ? uint8_t((i & 1) ? (data[pos + size_t(i / 2)] & 0x0F) : (data[pos + size_t(i / 2)] >> 4))
                   : data[pos + size_t(i)]);
        pos += (bytes + 1) & ~size_t(1);
        break;
      }
    }
  }
  return indices;
}

}  // namespace

void RasterImage::saveToBmpStream(Stream& stream) const {
  const Store& s = *store_;
  if (s.saveStream) {
    stream.writeBuffer(s.saveStream->data(), s.saveStream->size());
    return;
  }
  if (s.empty()) return;

  ImageHeader h = s.header;
  const int bits = h.biBitCount;
  const bool bitfields = bits > 8 && h.biCompression == BI_BITFIELDS;

  // Colour table: every entry of an indexed layout, or an optional table taken
  // from a palette that did not come from the display.
  std::vector<RGBQuad> table;
  if (bits <= 8) {
    size_t n = (h.biClrUsed > 0 && h.biClrUsed <= 256) ? h.biClrUsed : (size_t(1) << bits);
    table = s.colorTable;
    if (table.empty() && s.palette && !s.palette->madeForDisplay) table = s.palette->entries;
    table.resize(n);
  } else if (s.palette && !s.palette->madeForDisplay) {
    table = s.palette->entries;
    if (table.size() > 256) table.resize(256);
  }
  if (!table.empty()) h.biClrUsed = uint32_t(table.size());
  if (bitfields && h.redMask == 0 && h.greenMask == 0 && h.blueMask == 0) {
    if (bits == 16) { h.redMask = 0xF800; h.greenMask = 0x07E0; h.blueMask = 0x001F; }
    else { h.redMask = 0x00FF0000; h.greenMask = 0x0000FF00; h.blueMask = 0x000000FF; }
  }
  const uint32_t headerSize = 40 + (bitfields ? 12 : 0) + 4 * uint32_t(table.size());
  const uint32_t imageSize = uint32_t(s.bits.size());
  h.biSizeImage = imageSize;

  std::vector<uint8_t> head;
  head.reserve(FileHeaderSize + headerSize);
  LittleEndianWriter out(head);
  // BITMAPFILEHEADER
  out.u16(BitmapFileType);                                // bfType
  out.u32(uint32_t(FileHeaderSize) + headerSize + imageSize);  // bfSize
  out.u16(0);                                             // bfReserved1
  out.u16(0);                                             // bfReserved2
  out.u32(uint32_t(FileHeaderSize) + headerSize);         // bfOffBits
  // BITMAPINFOHEADER
  out.u32(40);                  // biSize
  out.i32(h.biWidth);           // biWidth
  out.i32(h.biHeight);          // biHeight (positive: bottom-up rows)
  out.u16(1);                   // biPlanes
  out.u16(h.biBitCount);        // biBitCount
  out.u32(h.biCompression);     // biCompression
  out.u32(h.biSizeImage);       // biSizeImage
  out.i32(h.biXPelsPerMeter);   // biXPelsPerMeter
  out.i32(h.biYPelsPerMeter);   // biYPelsPerMeter
  out.u32(h.biClrUsed);         // biClrUsed
  out.u32(h.biClrImportant);    // biClrImportant
  if (bitfields) {
    out.u32(h.redMask);
    out.u32(h.greenMask);
    out.u32(h.blueMask);
  }
  for (const RGBQuad& q : table) {
    head.push_back(q.blue);
    head.push_back(q.green);
    head.push_back(q.red);
    head.push_back(0);
  }
  stream.writeBuffer(head.data(), head.size());
  stream.writeBuffer(s.bits.data(), s.bits.size());
}

// Reads a BMP file's headers, bit-field masks and colour table with every
// check the file format needs, leaving `in` at the pixel data.
class BmpReader {
 public:
  // False for an empty stream (no picture at all).
  bool readHeaders(Stream& stream);
  // The pixels in the file's own layout (run-length pictures: the display's).
  std::shared_ptr<RasterImage::Store> readStore();
  // The pixels as 32-bit rows, straight into `raster`'s own store.
  void readRows32(RasterImage& raster);

  ImageHeader h;
  std::vector<RGBQuad> table;
  uint32_t headerSize = 0;
  uint32_t alphaMask = 0;  // V4 and V5 headers
  bool os2 = false, rle = false;
  int width = 0, height = 0;
  uint64_t imageSize = 0;
  Stream* in = nullptr;

 private:
  std::vector<uint8_t> kept;  // the whole file of a run-length picture
  std::unique_ptr<MemoryStream> copy;
  std::shared_ptr<RasterImage::Store> readRle();
};

bool BmpReader::readHeaders(Stream& stream) {
  if (stream.remaining() == 0) return false;
  const uint64_t fileBytes = stream.remaining();
  uint8_t fileHeader[FileHeaderSize];
  stream.readBuffer(fileHeader, sizeof fileHeader);
  if (getU16(fileHeader) != BitmapFileType) invalid();

  uint8_t sizeField[4];
  stream.readBuffer(sizeField, 4);
  headerSize = getU32(sizeField);
  std::vector<uint8_t> headerBytes(sizeField, sizeField + 4);
  if (headerSize == 12) {
    // OS/2 BITMAPCOREHEADER: 16-bit width, height, planes and bit count.
    uint8_t core[8];
    stream.readBuffer(core, sizeof core);
    headerBytes.insert(headerBytes.end(), core, core + 8);
    h.biWidth = getU16(core);
    h.biHeight = getU16(core + 2);
    h.biPlanes = getU16(core + 4);
    h.biBitCount = getU16(core + 6);
    os2 = true;
  } else {
    if (headerSize < 16 || headerSize > MaxHeaderSize) invalid();
    headerBytes.resize(headerSize);
    stream.readBuffer(headerBytes.data() + 4, headerSize - 4);
    std::vector<uint8_t> f(headerBytes);
    f.resize(std::max<size_t>(f.size(), 56), 0);
    h.biWidth = int32_t(getU32(&f[4]));
    h.biHeight = int32_t(getU32(&f[8]));
    h.biPlanes = getU16(&f[12]);
    h.biBitCount = getU16(&f[14]);
    h.biCompression = getU32(&f[16]);
    h.biSizeImage = getU32(&f[20]);
    h.biXPelsPerMeter = int32_t(getU32(&f[24]));
    h.biYPelsPerMeter = int32_t(getU32(&f[28]));
    h.biClrUsed = getU32(&f[32]);
    h.biClrImportant = getU32(&f[36]);
    if (headerSize >= 52) {  // V4 and V5 headers carry the masks themselves
      h.redMask = getU32(&f[40]);
      h.greenMask = getU32(&f[44]);
      h.blueMask = getU32(&f[48]);
    }
    if (headerSize >= 108) alphaMask = getU32(&f[52]);
  }

  rle = h.biCompression == BI_RLE8 || h.biCompression == BI_RLE4;
  if (h.biPlanes != 1) invalid();
  if (!validBitCount(h.biBitCount)) invalid();
  if (h.biWidth < 0 || h.biHeight == INT32_MIN) invalid();
  switch (h.biCompression) {
    case BI_RGB: break;
    case BI_BITFIELDS: if (h.biBitCount != 16 && h.biBitCount != 32) invalid(); break;
    case BI_RLE8: if (h.biBitCount != 8 || h.biHeight < 0) invalid(); break;
    case BI_RLE4: if (h.biBitCount != 4 || h.biHeight < 0) invalid(); break;
    default: invalid();
  }
  width = h.biWidth;
  height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  const uint64_t stride = dibStride(width, h.biBitCount);
  imageSize = stride * uint64_t(height);
  if (imageSize > 0x7FFFFFFFu) invalid();
  if (rle && uint64_t(width) * uint64_t(height) > MaxRlePixels) invalid();

  // Run-length data is kept whole so that it can be written back unchanged.
  in = &stream;
  if (rle) {
    kept.assign(fileHeader, fileHeader + FileHeaderSize);
    kept.insert(kept.end(), headerBytes.begin(), headerBytes.end());
    size_t headerEnd = kept.size();
    uint64_t rest = stream.remaining();
    if (rest > 0x7FFFFFFFu) invalid();
    kept.resize(headerEnd + size_t(rest));
    stream.readBuffer(kept.data() + headerEnd, size_t(rest));
    copy = std::make_unique<MemoryStream>(std::vector<uint8_t>(kept.begin() + long(headerEnd), kept.end()));
    in = copy.get();
  }

  if (h.biCompression == BI_BITFIELDS && headerSize < 52) {
    uint8_t masks[12];
    in->readBuffer(masks, sizeof masks);
    h.redMask = getU32(masks);
    h.greenMask = getU32(masks + 4);
    h.blueMask = getU32(masks + 8);
  }

  if (h.biClrUsed == 0 && h.biBitCount <= 8) h.biClrUsed = 1u << h.biBitCount;
  if (h.biClrUsed > 256) invalid();
  const size_t entrySize = os2 ? 3 : 4;
  table.assign(h.biClrUsed, RGBQuad{});
  if (!table.empty()) {
    std::vector<uint8_t> raw(table.size() * entrySize);
    in->readBuffer(raw.data(), raw.size());
    for (size_t i = 0; i < table.size(); ++i)
      table[i] = RGBQuad{raw[i * entrySize], raw[i * entrySize + 1], raw[i * entrySize + 2], 0};
  }
  // The pixels follow the headers and colour table; an offset to them that
  // lies outside the file says the header is not to be trusted.
  if (getU32(fileHeader + 10) > fileBytes) invalid();
  return true;
}

std::shared_ptr<RasterImage::Store> BmpReader::readRle() {
  size_t available = size_t(in->remaining());
  size_t dataSize = h.biSizeImage ? std::min<size_t>(h.biSizeImage, available) : available;
  std::vector<uint8_t> data(dataSize);
  in->readBuffer(data.data(), dataSize);
  // The decoded picture becomes a bitmap in the display's own layout.
  auto fresh = makeStore(width, height, currentDisplay().deviceBitCount());
  fresh->device = true;
  fresh->colorTable = displayColors(fresh->header.biBitCount);
  fresh->saveStream = std::make_shared<const std::vector<uint8_t>>(std::move(kept));
  if (fresh->empty()) return fresh;
  std::vector<uint8_t> indices = decodeRle(data.data(), data.size(), width, height, h.biCompression == BI_RLE4);
  pixelops::Layout out(fresh->header, fresh->colorTable);
  std::vector<uint32_t> colours(256, 0);
  for (size_t i = 0; i < table.size(); ++i) colours[i] = pixelops::quadToRgb(table[i]);
  std::vector<uint32_t> line(size_t(std::max(width, 1)));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) line[size_t(x)] = colours[indices[size_t(y) * size_t(width) + size_t(x)]];
    out.encodeRow(line.data(), width, fresh->row(y));
  }
  return fresh;
}

std::shared_ptr<RasterImage::Store> BmpReader::readStore() {
  if (rle) return readRle();
  if (in->remaining() < imageSize) throw EReadError(msg::StreamReadError);
  auto fresh = std::make_shared<RasterImage::Store>();
  h.biSize = 40;
  h.biSizeImage = uint32_t(imageSize);
  fresh->header = h;
  fresh->bits.resize(size_t(imageSize));
  in->readBuffer(fresh->bits.data(), fresh->bits.size());
  if (h.biBitCount <= 8) {
    fresh->colorTable = table;
  } else if (!table.empty()) {
    fresh->palette = Palette{table, false};
  }
  return fresh;
}

void BmpReader::readRows32(RasterImage& raster) {
  checkPictureFits(width, height);  // too large to hold, before the data is looked at
  if (rle) {
    // Already decoded into the display's layout (at most 4096 x 4096 pixels);
    // the kept file bytes are not wanted.
    auto fresh = readRle();
    fresh->saveStream.reset();
    raster.install(std::move(fresh));
    return;
  }
  if (in->remaining() < imageSize) throw EReadError(msg::StreamReadError);
  raster.createUninitialised32(width, height);
  if (width == 0 || height == 0) return;
  const bool topDown = h.biHeight < 0;
  const size_t fileStride = size_t(dibStride(width, h.biBitCount));
  const size_t pixelBytes = size_t(width) * 4;
  const int bits = h.biBitCount;
  // 32-bit pictures whose colour bytes already sit where the raster wants them.
  const bool plain32 = bits == 32 && (h.biCompression == BI_RGB ||
                                      (h.redMask == 0x00FF0000 && h.greenMask == 0x0000FF00 && h.blueMask == 0x000000FF));
  // A 32-bit picture with an alpha mask in a V4 or V5 header is composited onto white.
  const pixelops::ChannelMask alpha(bits == 32 ? alphaMask : 0);
  pixelops::Layout layout(h, table);
  std::vector<uint8_t> fileRow(plain32 ? 0 : fileStride);
  std::vector<uint32_t> line(plain32 ? 0 : size_t(width));
  for (int i = 0; i < height; ++i) {
    uint8_t* out = raster.scanline(topDown ? i : height - 1 - i);
    if (plain32) {
      in->readBuffer(out, pixelBytes);
      if (alpha.bits == 0) {
        for (size_t x = 3; x < pixelBytes; x += 4) out[x] = 0;
      } else {
        for (size_t x = 0; x < pixelBytes; x += 4) {
          const unsigned a = alpha.extract(getU32(out + x)), back = 255 * (255 - a) + 127;
          for (size_t c = 0; c < 3; ++c) out[x + c] = uint8_t((out[x + c] * a + back) / 255);
          out[x + 3] = 0;
        }
      }
      continue;
    }
    in->readBuffer(fileRow.data(), fileStride);
    if (bits == 24) {
      const uint8_t* s = fileRow.data();
      for (int x = 0; x < width; ++x, s += 3, out += 4) {
        out[0] = s[0];
        out[1] = s[1];
        out[2] = s[2];
        out[3] = 0;
      }
      continue;
    }
    layout.decodeRow(fileRow.data(), width, line.data());
    for (int x = 0; x < width; ++x, out += 4) {
      uint32_t rgb = line[size_t(x)];
      if (alpha.bits != 0) {
        const unsigned a = alpha.extract(getU32(&fileRow[size_t(x) * 4])), back = 255 * (255 - a) + 127;
        rgb = pixelops::packRgb(uint8_t((pixelops::red(rgb) * a + back) / 255),
                                uint8_t((pixelops::green(rgb) * a + back) / 255),
                                uint8_t((pixelops::blue(rgb) * a + back) / 255));
      }
      out[0] = pixelops::blue(rgb);
      out[1] = pixelops::green(rgb);
      out[2] = pixelops::red(rgb);
      out[3] = 0;
    }
  }
}

void RasterImage::loadFromStream(Stream& stream) {
  BmpReader reader;
  if (!reader.readHeaders(stream)) {
    RasterImage blank;
    store_ = blank.store_;
    return;
  }
  store_ = reader.readStore();
}

void loadClipboardBmp(Stream& stream, RasterImage& raster) {
  BmpReader reader;
  if (!reader.readHeaders(stream)) invalid();
  reader.readRows32(raster);
}

}  // namespace pixkeep

namespace pixkeep {

namespace {

// Shares the held picture's pixels; writing makes no copy of them.
class BmpWriter : public PictureEncoder {
 public:
  explicit BmpWriter(const RasterImage& picture) { picture_.assign(&picture); }
  void saveToStream(Stream& stream) override { picture_.saveToBmpStream(stream); }
  void saveToFile(const std::string& name) override { picture_.saveToFile(name); }

 private:
  RasterImage picture_;
};

}  // namespace

EncoderFactory bmpEncoderFactory() {
  return [](const RasterImage& picture, int) -> std::unique_ptr<PictureEncoder> {
    return std::make_unique<BmpWriter>(picture);
  };
}

namespace {

// A read-only stream over bytes it does not own.
class ByteView : public Stream {
 public:
  explicit ByteView(const EncodedPicture& bytes) : bytes_(bytes) {}
  size_t read(void* buffer, size_t count) override {
    const size_t n = std::min(count, bytes_.size() - pos_);
    if (n) std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  size_t write(const void*, size_t) override { return 0; }
  uint64_t position() const override { return pos_; }
  uint64_t size() const override { return bytes_.size(); }

 private:
  const EncodedPicture& bytes_;
  size_t pos_ = 0;
};

}  // namespace

void decodeBmpPicture(const EncodedPicture& bytes, RasterImage& raster) {
  ByteView in(bytes);
  try {
    loadClipboardBmp(in, raster);
  } catch (const EInvalidGraphic&) {
    invalidPictureData();
  } catch (const EReadError&) {
    invalidPictureData();
  }
}


}  // namespace pixkeep
