// Every capture test draws with the program's own text rasteriser.
#include "raster/stamp/freetypetext.h"

namespace {
const bool textInstalled = [] {
  pixkeep::setTextRasteriser(&pixkeep::freeTypeText());
  return true;
}();
}  // namespace
