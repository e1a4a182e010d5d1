#include "codecs/fileformats.h"

#include <algorithm>
#include <map>

#include "platform/ascii.h"

namespace pixkeep {

namespace {
std::map<std::string, std::string>& formats() {
  static std::map<std::string, std::string> table;
  return table;
}
}  // namespace

void registerFileFormat(const std::string& extension, const std::string& description) {
  formats()[asciiLower(extension)] = description;
}

void unregisterFileFormat(const std::string& extension) { formats().erase(asciiLower(extension)); }

FileFormatRegistration::FileFormatRegistration(const std::vector<ImageType>& types) {
  for (const ImageType& type : types)
    for (const FileFormat& format : type.fileFormats) {
      registerFileFormat(format.extension, format.description);
      extensions_.push_back(format.extension);
    }
}

FileFormatRegistration::~FileFormatRegistration() {
  for (const std::string& extension : extensions_) unregisterFileFormat(extension);
}

std::optional<std::string> fileFormatDescription(const std::string& extension) {
  auto it = formats().find(asciiLower(extension));
  if (it == formats().end()) return std::nullopt;
  return it->second;
}

}  // namespace pixkeep
