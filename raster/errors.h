// Typed errors of the capture core. Each class carries one fixed message; the
// constants below, with those of the stream layer, are the complete list of
// texts the core can raise.
#pragma once

#include "platform/errors.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* InvalidClipboardFormat = "Invalid clipboard format";
inline constexpr const char* UnsupportedClipboardFormat = "Unsupported clipboard format";
inline constexpr const char* PictureNotHandedOver = "The program that owns the clipboard did not hand the picture over";
inline constexpr const char* InvalidBitmap = "Bitmap image is not valid";
inline constexpr const char* NotABitmap = "Can only modify an image if it contains a bitmap";
inline constexpr const char* NoCanvas = "Canvas does not allow drawing";
inline constexpr const char* InvalidPixelFormat = "Invalid pixel format";
inline constexpr const char* ScanLineOutOfRange = "Scan line index out of range";
inline constexpr const char* OutOfResources = "Out of system resources";
inline constexpr const char* ImageTypeUnavailable = "This image type is not available";
inline constexpr const char* PictureTooLarge = "The picture is too large to hold";
}  // namespace msg

PIXKEEP_ERROR_CLASS(EInvalidGraphic, Exception)
PIXKEEP_ERROR_CLASS(EInvalidOperation, Exception)
PIXKEEP_ERROR_CLASS(EInvalidGraphicOperation, Exception)
PIXKEEP_ERROR_CLASS(EOutOfResources, Exception)
PIXKEEP_ERROR_CLASS(EClipboardException, Exception)

}  // namespace pixkeep
