#include "codecs/imagetype.h"

#include <algorithm>
#include <cctype>
#include <new>

#include "platform/ascii.h"
#include "raster/errors.h"
#include "platform/display.h"

namespace pixkeep {

std::vector<ReaderClipboard::PictureType> clipboardPictureTypes(const std::vector<ImageType>& types) {
  std::vector<ReaderClipboard::PictureType> pictures;
  for (const ImageType& t : types)
    for (const std::string& mime : t.clipboard.mimeTypes)
      pictures.push_back({mime, t.clipboard.preference, t.clipboard.decode == nullptr});
  return pictures;
}

const ImageType* decodingRow(const std::vector<ImageType>& types, const std::string& type) {
  const std::string l = asciiLower(type);
  for (const ImageType& t : types)
    if (t.clipboard.decode &&
        std::find(t.clipboard.mimeTypes.begin(), t.clipboard.mimeTypes.end(), l) != t.clipboard.mimeTypes.end())
      return &t;
  return nullptr;
}

RasterImage::Decoder clipboardDecoder(const std::vector<ImageType>& types) {
  return [&types](const EncodedPicture& picture, RasterImage& raster) {
    const ImageType* row = decodingRow(types, picture.type);
    if (!row) throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
    try {
      row->clipboard.decode(picture, raster);
    } catch (const std::bad_alloc&) {
      throw EOutOfResources(msg::PictureTooLarge);
    }
    if (currentDisplay().deviceBitCount() != 32) raster.setPixelFormat(PixelFormat::Device);
  };
}

}  // namespace pixkeep
