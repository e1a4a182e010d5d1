// Lower-casing of ASCII names (MIME types, file extensions), whatever the locale.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace pixkeep {

inline std::string asciiLower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return c < 0x80 ? char(std::tolower(c)) : char(c); });
  return s;
}

}  // namespace pixkeep
