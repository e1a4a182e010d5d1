// Pictures that arrive on the clipboard still encoded (PNG, BMP, JPEG bytes as
// their owner sent them), decoded straight into a raster's own rows.
#pragma once

#include <string>

#include "capture/rasterimage.h"

namespace pixkeep {

// Whether decodeClipboardPicture takes pictures of this MIME type
// (compared without regard to case).
bool canDecodeClipboardType(const std::string& type);

// Replaces `raster` by the decoded picture: a Device raster, rows bottom-up;
// on a 32-bit display blue, green, red, 0. A picture with alpha is composited
// onto white. Raises "Unsupported clipboard format" for a type it does not
// take, "Invalid clipboard format" for corrupt or truncated bytes, and
// "Out of system resources" for a picture too large to hold.
void decodeClipboardPicture(const EncodedPicture& picture, RasterImage& raster);

}  // namespace pixkeep
