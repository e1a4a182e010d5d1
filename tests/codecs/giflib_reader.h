// GIF files as giflib (an independent decoder) reads them, with DGifSlurp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pixkeep::test {

struct GiflibColor {
  uint8_t red = 0, green = 0, blue = 0;
  friend bool operator==(const GiflibColor&, const GiflibColor&) = default;
};

// One extension as a label and its data sub-blocks.
struct GiflibExtension {
  int label = 0;
  std::vector<std::vector<uint8_t>> blocks;
  friend bool operator==(const GiflibExtension&, const GiflibExtension&) = default;
};

struct GiflibFrame {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  bool hasLocalTable = false;
  std::vector<GiflibColor> localTable;  // as many entries as the table's size field announces
  std::vector<uint8_t> pixels;          // rows top to bottom (interlaced frames put back in order)
  bool hasControl = false;              // a graphic control extension before the frame
  int disposal = 0, delay = 0, transparent = -1;
  bool userInput = false;
  std::vector<GiflibExtension> extensions;
};

struct GiflibPicture {
  bool ok = false;
  std::string error;
  std::string signature;  // "GIF87a" or "GIF89a"
  int width = 0, height = 0;
  int colorResolution = 0;
  bool hasGlobalTable = false;
  std::vector<GiflibColor> globalTable;
  bool globalSorted = false;
  std::vector<GiflibFrame> frames;
  std::vector<GiflibExtension> trailingExtensions;  // after the last frame

  // The colours of a frame's pixels (local table, else global); an index
  // outside the table gives the colour 1, 2, 3 that no table here holds.
  GiflibColor colorOf(const GiflibFrame& frame, uint8_t index) const;
};

GiflibPicture readWithGiflib(const std::vector<uint8_t>& file);

}  // namespace pixkeep::test
