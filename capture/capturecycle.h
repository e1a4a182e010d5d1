// One tick of the capture: take the clipboard's bitmap, stamp it, empty the
// clipboard and write the picture as the next numbered file.
#pragma once

#include <string>
#include <vector>

#include "capture/imagetype.h"
#include "capture/picture.h"
#include "config/texts.h"

namespace pixkeep {

// The options as the main window's controls hold them at the moment of a tick.
struct CaptureOptions {
  int typeIndex = 0;        // tyyp: the row of the image-type table
  int spinPosition = 90;    // Spin: the type's quality or compression level
  bool addText = false;     // addtext
  bool background = false;  // background
  bool upLeft = false;      // upleft
  bool upRight = true;      // upright (neither: yleskeskel, up centre)
  int x = 7, y = 4;         // X, Y
  std::string text;         // Edit2
  uint32_t color = 32768;   // V2rv's colour, 0x00BBGGRR
};

struct TickResult {
  bool captured = false;  // a picture was taken (and written unless the numbers ran out)
  std::string status;     // the status bar text
  std::string trayTip;    // the tray icon's tip
  bool stopTimer = false; // the last number was reached
};

class CaptureCycle {
 public:
  static constexpr int MaxPictures = 99999;

  // `types` is the image-type table; CaptureOptions::typeIndex picks a row.
  CaptureCycle(ClipboardAccess& clipboard, TPicture& image, std::vector<ImageType> types)
      : clipboard_(clipboard), image_(image), types_(std::move(types)) {}

  const std::vector<ImageType>& imageTypes() const { return types_; }
  // Replaces the writer of one row (tests put recording writers in).
  void setWriter(size_t typeIndex, EncoderFactory writer) { types_.at(typeIndex).writer = std::move(writer); }

  // One tick. Errors pass to the caller, after which the counter keeps the
  // number it reached and the status is left alone.
  TickResult tick(const CaptureOptions& options);

  // The status text for the current counter: the template with "%p" replaced.
  std::string statusText() const;

  int pictureCounter = 0;
  std::string outputDirectory;
  std::string picturesTemplate = "%p pictures";

 private:
  void stamp(const CaptureOptions& options);

  ClipboardAccess& clipboard_;
  TPicture& image_;
  std::vector<ImageType> types_;
};

}  // namespace pixkeep
