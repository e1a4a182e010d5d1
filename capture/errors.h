// Typed errors of the capture core. Each class carries one fixed message; the
// constants below are the complete list of texts the core can raise.
#pragma once

#include <stdexcept>
#include <string>

namespace pixkeep {

namespace msg {
inline constexpr const char* CannotOpenClipboard = "Cannot open clipboard";
inline constexpr const char* InvalidClipboardFormat = "Invalid clipboard format";
inline constexpr const char* UnsupportedClipboardFormat = "Unsupported clipboard format";
inline constexpr const char* InvalidBitmap = "Bitmap image is not valid";
inline constexpr const char* NotABitmap = "Can only modify an image if it contains a bitmap";
inline constexpr const char* NoCanvas = "Canvas does not allow drawing";
inline constexpr const char* InvalidPixelFormat = "Invalid pixel format";
inline constexpr const char* ScanLineOutOfRange = "Scan line index out of range";
inline constexpr const char* OutOfResources = "Out of system resources";
inline constexpr const char* CannotCreateFile = "Cannot create file %s";
inline constexpr const char* StreamWriteError = "Stream write error";
inline constexpr const char* StreamReadError = "Stream read error";
inline constexpr const char* ImageTypeUnavailable = "This image type is not available";
}  // namespace msg

// Base of every error the program raises; what() is the text shown to the user.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

#define PIXKEEP_ERROR_CLASS(Name, Base) \
  class Name : public Base {            \
   public:                              \
    using Base::Base;                   \
  };

PIXKEEP_ERROR_CLASS(EInvalidGraphic, Exception)
PIXKEEP_ERROR_CLASS(EInvalidOperation, Exception)
PIXKEEP_ERROR_CLASS(EInvalidGraphicOperation, Exception)
PIXKEEP_ERROR_CLASS(EOutOfResources, Exception)
PIXKEEP_ERROR_CLASS(EClipboardException, Exception)
PIXKEEP_ERROR_CLASS(EStreamError, Exception)
PIXKEEP_ERROR_CLASS(EFCreateError, EStreamError)
PIXKEEP_ERROR_CLASS(EWriteError, EStreamError)
PIXKEEP_ERROR_CLASS(EReadError, EStreamError)

// Replaces the first "%s" of a message template.
inline std::string formatMessage(const char* templ, const std::string& arg) {
  std::string s(templ);
  auto pos = s.find("%s");
  if (pos != std::string::npos) s.replace(pos, 2, arg);
  return s;
}

}  // namespace pixkeep
