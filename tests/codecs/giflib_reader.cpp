#include "tests/codecs/giflib_reader.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>

namespace pixkeep::test {
namespace {

struct Source {
  const std::vector<uint8_t>* bytes;
  size_t pos = 0;
};

int readFromMemory(GifFileType* gif, GifByteType* out, int n) {
  auto* source = static_cast<Source*>(gif->UserData);
  const size_t k = std::min(size_t(n), source->bytes->size() - source->pos);
  std::memcpy(out, source->bytes->data() + source->pos, k);
  source->pos += k;
  return int(k);
}

std::vector<GiflibColor> tableOf(const ColorMapObject* map) {
  std::vector<GiflibColor> table;
  for (int i = 0; i < map->ColorCount; ++i)
    table.push_back(GiflibColor{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
  return table;
}

// giflib keeps an extension as a block with its label followed by
// continuation blocks.
std::vector<GiflibExtension> extensionsOf(const ExtensionBlock* blocks, int count) {
  std::vector<GiflibExtension> out;
  for (int i = 0; i < count; ++i) {
    const ExtensionBlock& b = blocks[i];
    if (b.Function != CONTINUE_EXT_FUNC_CODE || out.empty()) out.push_back(GiflibExtension{b.Function, {}});
    out.back().blocks.emplace_back(b.Bytes, b.Bytes + b.ByteCount);
  }
  return out;
}

}  // namespace

GiflibColor GiflibPicture::colorOf(const GiflibFrame& frame, uint8_t index) const {
  const std::vector<GiflibColor>& table = frame.hasLocalTable ? frame.localTable : globalTable;
  return index < table.size() ? table[index] : GiflibColor{1, 2, 3};
}

GiflibPicture readWithGiflib(const std::vector<uint8_t>& file) {
  GiflibPicture picture;
  if (file.size() >= 6) picture.signature.assign(file.begin(), file.begin() + 6);
  Source source{&file};
  int error = 0;
  GifFileType* gif = DGifOpen(&source, readFromMemory, &error);
  if (!gif) {
    picture.error = GifErrorString(error);
    return picture;
  }
  if (DGifSlurp(gif) != GIF_OK) {
    picture.error = GifErrorString(gif->Error);
    DGifCloseFile(gif, &error);
    return picture;
  }
  picture.width = gif->SWidth;
  picture.height = gif->SHeight;
  picture.colorResolution = gif->SColorResolution;
  if (gif->SColorMap) {
    picture.hasGlobalTable = true;
    picture.globalTable = tableOf(gif->SColorMap);
    picture.globalSorted = gif->SColorMap->SortFlag;
  }
  for (int i = 0; i < gif->ImageCount; ++i) {
    const SavedImage& image = gif->SavedImages[i];
    GiflibFrame frame;
    frame.left = image.ImageDesc.Left;
    frame.top = image.ImageDesc.Top;
    frame.width = image.ImageDesc.Width;
    frame.height = image.ImageDesc.Height;
    frame.interlaced = image.ImageDesc.Interlace;
    if (image.ImageDesc.ColorMap) {
      frame.hasLocalTable = true;
      frame.localTable = tableOf(image.ImageDesc.ColorMap);
    }
    frame.pixels.assign(image.RasterBits, image.RasterBits + size_t(frame.width) * size_t(frame.height));
    GraphicsControlBlock control{};
    if (DGifSavedExtensionToGCB(gif, i, &control) == GIF_OK) {
      frame.hasControl = std::any_of(image.ExtensionBlocks, image.ExtensionBlocks + image.ExtensionBlockCount,
                                     [](const ExtensionBlock& b) { return b.Function == GRAPHICS_EXT_FUNC_CODE; });
      frame.disposal = control.DisposalMode;
      frame.delay = control.DelayTime;
      frame.transparent = control.TransparentColor;
      frame.userInput = control.UserInputFlag;
    }
    frame.extensions = extensionsOf(image.ExtensionBlocks, image.ExtensionBlockCount);
    picture.frames.push_back(std::move(frame));
  }
  picture.trailingExtensions = extensionsOf(gif->ExtensionBlocks, gif->ExtensionBlockCount);
  picture.ok = true;
  DGifCloseFile(gif, &error);
  return picture;
}

}  // namespace pixkeep::test
