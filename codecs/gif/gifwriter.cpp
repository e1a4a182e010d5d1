// The GIF file a TGIFImage writes: header, frames with their extensions,
// trailer (GIF89a, sections 17 to 27). Every byte goes through a checked
// write, so a stream that takes fewer bytes than offered raises "Stream write
// error" wherever that happens.
#include <algorithm>
#include <array>
#include <span>

#include "codecs/gif/GIFImage.h"
#include "codecs/gif/gifencoder.h"
#include "platform/savefile.h"

namespace pixkeep {

namespace {

constexpr uint8_t ExtensionIntroducer = 0x21;
constexpr uint8_t Trailer = 0x3B;

void putU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void writeByte(Stream& stream, uint8_t byte) { stream.writeBuffer(&byte, 1); }

// 19. and 21. Color Table: the entries as red, green, blue, padded with black
// to the 2^(bits per pixel) entries the size field announces.
void writeColorMap(Stream& stream, const TGIFColorMap& map) {
  if (map.Count() == 0) return;
  std::array<uint8_t, 3 * TGIFColorMap::MaxColors> bytes{};
  for (int i = 0; i < map.Count(); ++i) {
    bytes[size_t(3 * i)] = map[i].Red;
    bytes[size_t(3 * i + 1)] = map[i].Green;
    bytes[size_t(3 * i + 2)] = map[i].Blue;
  }
  stream.writeBuffer(bytes.data(), size_t(3) << map.BitsPerPixel());
}

// Text lines as data sub-blocks, joined by CR LF, then the block terminator.
void writeLines(Stream& stream, const std::vector<std::string>& lines) {
  {
    TGIFWriter blocks(stream);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) blocks.write("\r\n", 2);
      blocks.write(lines[i].data(), lines[i].size());
    }
    blocks.flush();
  }
  writeByte(stream, 0);  // Block Terminator
}

}  // namespace

void TGIFHeader::Prepare() {
  // The largest table of the picture gives the colour resolution.
  int resolution = ColorMap.BitsPerPixel() - 1;
  int bits = ColorMap.BitsPerPixel();
  for (const TGIFSubImage* frame : Image()->Images) {
    resolution = std::max(resolution, frame->ColorMap.BitsPerPixel() - 1);
    bits = std::max(bits, frame->ColorMap.BitsPerPixel());
  }
  // The size field says how many entries follow the screen descriptor: with
  // a global table that is its own size, whatever the local tables need.
  if (ColorMap.Count() > 0) bits = ColorMap.BitsPerPixel();
  // Without any table, -1 and 0 fill their fields with ones (0x77).
  uint32_t packed = 0;
  if (ColorMap.Count() > 0) packed |= 0x80;                     // Global Color Table Flag
  packed |= (uint32_t(resolution) << 4) & 0x70;                 // Color Resolution
  if (ColorMap.Count() > 0 && ColorMap.Sorted) packed |= 0x08;  // Sort Flag
  packed |= uint32_t(bits - 1) & 0x07;                          // Size of Global Color Table
  LogicalScreenDescriptor.PackedFields = uint8_t(packed);
}

void TGIFHeader::SaveToStream(Stream& stream) {
  const int version = Image()->GifVersion();
  if (version == gvUnknown) throw GIFException(msg::GIFUnsupportedVersion);
  // 17. Header
  const uint8_t signature[6] = {'G', 'I', 'F', '8', uint8_t(version == gv89a ? '9' : '7'), 'a'};
  stream.writeBuffer(signature, sizeof signature);

  // 18. Logical Screen Descriptor
  Prepare();
  const TLogicalScreenDescriptor& screen = LogicalScreenDescriptor;
  uint8_t bytes[7];
  putU16(bytes, screen.ScreenWidth);           // Logical Screen Width
  putU16(bytes + 2, screen.ScreenHeight);      // Logical Screen Height
  bytes[4] = screen.PackedFields;              // Packed Fields
  bytes[5] = screen.BackgroundColorIndex;      // Background Color Index
  bytes[6] = screen.AspectRatio;               // Pixel Aspect Ratio
  stream.writeBuffer(bytes, sizeof bytes);

  // 19. Global Color Table
  if (screen.PackedFields & 0x80) writeColorMap(stream, ColorMap);
}

void TGIFSubImage::Prepare() {
  uint32_t packed;
  if (ColorMap.Count() > 0) {
    packed = 0x80;                                           // Local Color Table Flag
    if (ColorMap.Sorted) packed |= 0x20;                     // Sort Flag
    packed |= uint32_t(ColorMap.BitsPerPixel() - 1) & 0x07;  // Size of Local Color Table
  } else {
    packed = ImageDescriptor.PackedFields & 0x18u;  // Reserved
  }
  // The frame's own choice; the coder writes the rows in the same order.
  if (Interlaced()) packed |= 0x40;  // Interlace Flag
  ImageDescriptor.PackedFields = uint8_t(packed);
}

void TGIFSubImage::SaveToStream(Stream& stream) {
  Extensions.SaveToStream(stream);
  if (Empty()) return;

  // 20. Image Descriptor
  Prepare();
  const TImageDescriptor& d = ImageDescriptor;
  uint8_t bytes[10];
  bytes[0] = d.Separator;       // Image Separator
  putU16(bytes + 1, d.Left);    // Image Left Position
  putU16(bytes + 3, d.Top);     // Image Top Position
  putU16(bytes + 5, d.Width);   // Image Width
  putU16(bytes + 7, d.Height);  // Image Height
  bytes[9] = d.PackedFields;    // Packed Fields
  stream.writeBuffer(bytes, sizeof bytes);

  // 21. Local Color Table
  writeColorMap(stream, ColorMap);

  // 22. Table Based Image Data: the pixels index the local table, else the
  // global one; without either, the largest table of the picture sets the
  // code size.
  GIFFrameData frame;
  frame.width = Width();
  frame.height = Height();
  frame.interlaced = Interlaced();
  frame.pixels = std::span<const uint8_t>(data_);
  const TGIFColorMap& global = Image()->Header.ColorMap;
  if (ColorMap.Count() > 0) {
    frame.bitsPerPixel = uint8_t(ColorMap.BitsPerPixel());
    frame.colourCount = ColorMap.Count();
  } else if (global.Count() > 0) {
    frame.bitsPerPixel = uint8_t(global.BitsPerPixel());
    frame.colourCount = global.Count();
  } else {
    int bits = 0;
    for (const TGIFSubImage* other : Image()->Images) bits = std::max(bits, other->ColorMap.BitsPerPixel());
    frame.bitsPerPixel = uint8_t(bits);
    frame.colourCount = 1 << bits;
  }
  std::unique_ptr<TGIFEncoder> encoder = createGIFEncoder(Image()->codingMethod);
  encoder->encodeFrame(stream, frame);
}

void TGIFExtension::SaveToStream(Stream& stream) {
  const uint8_t head[2] = {ExtensionIntroducer, ExtensionType()};  // Extension Introducer, Label
  stream.writeBuffer(head, sizeof head);
  SaveData(stream);
}

void TGIFGraphicControlExtension::SaveData(Stream& stream) {
  uint8_t bytes[6];
  bytes[0] = 4;                                                  // Block Size
  bytes[1] = uint8_t(((Disposal & 7) << 2)                       // Disposal Method
                     | (UserInput ? 0x02 : 0)                    // User Input Flag
                     | (Transparent ? 0x01 : 0));                // Transparent Color Flag
  putU16(bytes + 2, Delay);                                      // Delay Time
  bytes[4] = TransparentColorIndex;                              // Transparent Color Index
  bytes[5] = 0;                                                  // Block Terminator
  stream.writeBuffer(bytes, sizeof bytes);
}

void TGIFTextExtension::SaveData(Stream& stream) {
  uint8_t bytes[13];
  bytes[0] = 12;                         // Block Size
  putU16(bytes + 1, Left);               // Text Grid Left Position
  putU16(bytes + 3, Top);                // Text Grid Top Position
  putU16(bytes + 5, GridWidth);          // Text Grid Width
  putU16(bytes + 7, GridHeight);         // Text Grid Height
  bytes[9] = CharWidth;                  // Character Cell Width
  bytes[10] = CharHeight;                // Character Cell Height
  bytes[11] = ForegroundColorIndex;      // Text Foreground Color Index
  bytes[12] = BackgroundColorIndex;      // Text Background Color Index
  stream.writeBuffer(bytes, sizeof bytes);
  writeLines(stream, Text);              // Plain Text Data
}

void TGIFCommentExtension::SaveToStream(Stream& stream) {
  // It would be an extension without data sub-blocks, which says nothing
  // and which some decoders (giflib's DGifSlurp) misread.
  if (std::all_of(Text.begin(), Text.end(), [](const std::string& line) { return line.empty(); }) && Text.size() <= 1)
    return;
  TGIFExtension::SaveToStream(stream);
}

void TGIFCommentExtension::SaveData(Stream& stream) { writeLines(stream, Text); }

void TGIFApplicationExtension::SaveData(Stream& stream) {
  writeByte(stream, uint8_t(Identifier.size()));           // Block Size
  stream.writeBuffer(Identifier.data(), Identifier.size());  // Application Identifier, Authentication Code
  SaveApplicationData(stream);
  writeByte(stream, 0);  // Block Terminator
}

void TGIFAppExtNSLoop::SaveApplicationData(Stream& stream) {
  uint8_t loop[4] = {3, 1};  // sub-block of 3 bytes, loop sub-block id
  putU16(loop + 2, Loops);
  stream.writeBuffer(loop, sizeof loop);
  if (BufferSize != 0) {
    const uint8_t buffer[6] = {5, 2, uint8_t(BufferSize), uint8_t(BufferSize >> 8), uint8_t(BufferSize >> 16),
                               uint8_t(BufferSize >> 24)};
    stream.writeBuffer(buffer, sizeof buffer);
  }
}

void TGIFUnknownAppExtension::SaveApplicationData(Stream& stream) {
  for (const TGIFBlock& block : Blocks) {
    for (size_t at = 0; at < block.size(); at += 255) {
      const uint8_t length = uint8_t(std::min<size_t>(255, block.size() - at));
      writeByte(stream, length);
      stream.writeBuffer(block.data() + at, length);
    }
  }
}

void TGIFTrailer::SaveToStream(Stream& stream) { writeByte(stream, Trailer); }

void TGIFImage::SaveToStream(Stream& stream) {
  Progress(TProgressStage::psStarting, 0, msg::GIFSaving);
  try {
    Header.SaveToStream(stream);
    for (int i = 0; i < Images.Count(); ++i) {
      Images[i].SaveToStream(stream);
      Progress(TProgressStage::psRunning, (i + 1) * 100 / Images.Count(), msg::GIFSaving);
    }
    TGIFTrailer(this).SaveToStream(stream);
  } catch (...) {
    Progress(TProgressStage::psEnding, 100, msg::GIFSaving);
    throw;
  }
  Progress(TProgressStage::psEnding, 100, msg::GIFSaving);
}

void TGIFImage::saveToFile(const std::string& name) {
  saveToFileAtomically(name, [this](Stream& s) { SaveToStream(s); });
}

EncoderFactory gifEncoderFactory() {
  return [](const RasterImage& picture, int) -> std::unique_ptr<PictureEncoder> {
    auto gif = std::make_unique<TGIFImage>();
    gif->DitherAlgorithm = daFloydSteinberg;
    // The reduction converts the raster it is given to 24 bits: it gets a
    // copy that shares the pixels until then, and the held picture stays.
    RasterImage raster;
    raster.assign(&picture);
    gif->AssignRaster(raster);
    gif->OptimizeFrames(MergeFrames, pmNone, daFloydSteinberg, 0);
    return gif;
  };
}

}  // namespace pixkeep
