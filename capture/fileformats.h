// The registry of picture file formats: extension -> description.
#pragma once

#include <optional>
#include <string>

namespace pixkeep {

void registerFileFormat(const std::string& extension, const std::string& description);
void unregisterFileFormat(const std::string& extension);
// The description of a registered extension (compared without regard to case).
std::optional<std::string> fileFormatDescription(const std::string& extension);

}  // namespace pixkeep
