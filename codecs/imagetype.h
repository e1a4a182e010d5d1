// One row of the image-type table: what the window shows for the type, the
// clipboard's picture types it takes in, and how a capture of that type is
// written. Adding an image type is its row (codecs/imagetypes.cpp), its
// codec folder and its language text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "raster/pictureencoder.h"
#include "raster/rasterimage.h"
#include "platform/readerclipboard.h"

namespace pixkeep {

struct SliderSetting {
  enum class Label { Quality, Compression, Effort };  // which language template names the position
  int minimum = 0;
  int maximum = 0;
  int position = 0;     // where the slider goes when the type is chosen
  int largeChange = 1;  // the step of a click beside the thumb
  Label label = Label::Quality;
};

// A file extension the type's files go by, and its description.
struct FileFormat {
  std::string extension;
  std::string description;
};

// Decodes the bytes of a clipboard picture into `raster`: 32-bit rows (blue,
// green, red, 0), a picture with alpha composited onto white. Raises
// "Invalid clipboard format" for corrupt or truncated bytes and "The picture
// is too large to hold" for a picture no raster can hold.
using PictureDecoder = void (*)(const EncodedPicture& picture, RasterImage& raster);

// The clipboard's MIME types whose pictures a type takes in.
struct ClipboardPictures {
  std::vector<std::string> mimeTypes;  // lower case
  int preference = 0;                  // when several are offered, the lowest is taken
  PictureDecoder decode = nullptr;     // none: the platform's image reader makes the bitmap
};

struct ImageType {
  std::string name;                     // the item text of the type list
  std::string extension;                // ".jpg", always lower case
  std::optional<SliderSetting> slider;  // none: slider and its label are disabled
  EncoderFactory writer;                // empty: the type cannot be written yet
  std::vector<FileFormat> fileFormats;  // registered while the program runs (capture/fileformats.h)
  ClipboardPictures clipboard{};        // what it takes from the clipboard
  int largestSide = 0;                  // the widest or tallest picture its files hold; 0: no limit of its own
};

// The clipboard's picture types of a table, for the platform's clipboard.
std::vector<ReaderClipboard::PictureType> clipboardPictureTypes(const std::vector<ImageType>& types);
// The row that decodes pictures of MIME type `type` (any case); nullptr when none does.
const ImageType* decodingRow(const std::vector<ImageType>& types, const std::string& type);
// The decoder of encoded clipboard pictures for RasterImage::loadFromClipboardBitmap:
// the row of the picture's type decodes it, into the display's layout.
// Raises "Unsupported clipboard format" for a type no row decodes.
RasterImage::Decoder clipboardDecoder(const std::vector<ImageType>& types);

}  // namespace pixkeep
