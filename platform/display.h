// What the capture core needs to know about the screen.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/bitmap.h"

namespace pixkeep {

class Display {
 public:
  virtual ~Display() = default;
  // Bits per pixel of the screen as stored (BITSPIXEL x PLANES).
  virtual int deviceBitCount() const = 0;
  // Logical dots per inch in the vertical direction (LOGPIXELSY).
  virtual int logPixelsY() const = 0;
  // Entries of the hardware palette (SIZEPALETTE); 0 on true-colour screens.
  virtual int sizePalette() const = 0;
  // The hardware palette's current entries (only meaningful when sizePalette() > 0).
  virtual std::vector<RGBQuad> systemPaletteEntries() const = 0;
};

// A fixed display: the default for the core and the fake for tests.
class FixedDisplay : public Display {
 public:
  explicit FixedDisplay(int bitCount = 32, int dpi = 96, std::vector<RGBQuad> hardwarePalette = {})
      : bitCount_(bitCount), dpi_(dpi), palette_(std::move(hardwarePalette)) {}
  int deviceBitCount() const override { return bitCount_; }
  int logPixelsY() const override { return dpi_; }
  int sizePalette() const override { return int(palette_.size()); }
  std::vector<RGBQuad> systemPaletteEntries() const override { return palette_; }

 private:
  int bitCount_;
  int dpi_;
  std::vector<RGBQuad> palette_;
};

// The display the core consults. Starts as a 32-bit, 96 dpi true-colour screen;
// the program installs the real one at start-up, tests install fakes.
Display& currentDisplay();
void setCurrentDisplay(Display* display);  // nullptr restores the default

}  // namespace pixkeep
