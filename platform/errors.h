// The base of every error the program raises, and the errors of the stream
// and file layer. Each class carries one fixed message text.
#pragma once

#include <stdexcept>
#include <string>

namespace pixkeep {

namespace msg {
inline constexpr const char* CannotCreateFile = "Cannot create file %s";
inline constexpr const char* StreamWriteError = "Stream write error";
inline constexpr const char* StreamReadError = "Stream read error";
}  // namespace msg

// Base of every error the program raises; what() is the fixed text shown to
// the user, detail() what the system said about it (the file's name and the
// reason, for example "pxk15.png: No space left on device"), or empty.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message, std::string detail = {})
      : std::runtime_error(message), detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }
  void setDetail(std::string detail) { detail_ = std::move(detail); }

 private:
  std::string detail_;
};

#define PIXKEEP_ERROR_CLASS(Name, Base) \
  class Name : public Base {            \
   public:                              \
    using Base::Base;                   \
  };

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
