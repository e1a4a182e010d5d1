// Typed errors of the settings and language files, with their fixed messages.
#pragma once

#include "platform/errors.h"

namespace pixkeep {

namespace msg {
inline constexpr const char* UnableToWrite = "Unable to write to %s";
}  // namespace msg

PIXKEEP_ERROR_CLASS(EIniFileException, Exception)

}  // namespace pixkeep
