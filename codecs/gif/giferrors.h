// The errors of the GIF picture, its colour reduction and its writer. Each
// text below is raised with GIFException, except "Invalid stream operation",
// which is raised with the base error, the out-of-memory text, and the
// progress texts ("Converting..." and the two after it).
#pragma once

#include "raster/errors.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* GifColorNotInTable = "Color not in color table";
inline constexpr const char* GifInvalidStreamOperation = "Invalid stream operation";
inline constexpr const char* GifBitsPerPixelOutOfRange = "Bits per pixel of a GIF frame must be 1 to 8";
inline constexpr const char* GifPixelsShort = "The frame holds fewer pixels than its width and height need";
inline constexpr const char* GIFColorTableOverflow = "Color table overflow";
inline constexpr const char* GIFInvalidImageDimensions = "Invalid image dimensions";
inline constexpr const char* GIFUnsupportedPixelFormat = "Unsupported PixelFormat";
inline constexpr const char* GIFImageHasNoDIB = "Image has no DIB";
inline constexpr const char* GIFOutOfMemoryDIB = "Failed to allocate memory for GIF DIB";
inline constexpr const char* GIFInvalidReductionMethod = "Invalid reduction method";
inline constexpr const char* GIFInvalidDitherAlgorithm = "Invalid dithering algorithm";
inline constexpr const char* GIFInvalidQuantizerBits = "Quantizer bits must be from 1 to 8";
inline constexpr const char* GIFInvalidCustomPalette = "The custom palette must have 1 to 256 colors";
inline constexpr const char* GIFImageTooLarge = "A GIF image can be at most 65535 pixels wide and high";
inline constexpr const char* GIFScreenWidthTooSmall = "Image width too small for contained frames";
inline constexpr const char* GIFScreenHeightTooSmall = "Image height too small for contained frames";
inline constexpr const char* GIFExceedsScreen = "Image exceeds Logical Screen size";
inline constexpr const char* GIFUnsupportedVersion = "Unsupported GIF version";
inline constexpr const char* GIFUnsupportedObjectType = "Object type not supported for operation";
inline constexpr const char* GIFConverting = "Converting...";
inline constexpr const char* GIFSaving = "Saving...";
inline constexpr const char* GIFOptimizing = "Optimizing...";
}  // namespace msg

PIXKEEP_ERROR_CLASS(GIFException, EInvalidGraphic)
// The one failure that is not a GIFException: pixel memory that cannot be had.
PIXKEEP_ERROR_CLASS(EGIFOutOfMemory, Exception)

}  // namespace pixkeep
