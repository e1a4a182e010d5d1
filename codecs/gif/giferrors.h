// The errors of the GIF writer. Each text below is raised with GIFException,
// except "Invalid stream operation", which is raised with the base error.
#pragma once

#include "capture/errors.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* GifColorNotInTable = "Color not in color table";
inline constexpr const char* GifInvalidStreamOperation = "Invalid stream operation";
inline constexpr const char* GifBitsPerPixelOutOfRange = "Bits per pixel of a GIF frame must be 1 to 8";
inline constexpr const char* GifPixelsShort = "The frame holds fewer pixels than its width and height need";
}  // namespace msg

PIXKEEP_ERROR_CLASS(GIFException, EInvalidGraphic)

}  // namespace pixkeep
