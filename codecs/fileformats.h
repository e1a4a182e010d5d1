// The registry of picture file formats: extension -> description.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codecs/imagetype.h"

namespace pixkeep {

void registerFileFormat(const std::string& extension, const std::string& description);
void unregisterFileFormat(const std::string& extension);
// The description of a registered extension (compared without regard to case).
std::optional<std::string> fileFormatDescription(const std::string& extension);

// Registers the file formats of every row of an image-type table for as
// long as it lives.
class FileFormatRegistration {
 public:
  explicit FileFormatRegistration(const std::vector<ImageType>& types);
  ~FileFormatRegistration();
  FileFormatRegistration(const FileFormatRegistration&) = delete;
  FileFormatRegistration& operator=(const FileFormatRegistration&) = delete;

 private:
  std::vector<std::string> extensions_;
};

}  // namespace pixkeep
