// The image types in the order of the window's type list. Adding a type
// means adding its row here and its codec folder beside this file.
#pragma once

#include <vector>

#include "codecs/imagetype.h"

namespace pixkeep {

const std::vector<ImageType>& imageTypes();

}  // namespace pixkeep
