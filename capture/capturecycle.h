// One tick of the capture: take the clipboard's bitmap, stamp it, empty the
// clipboard and write the picture as the next numbered file.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture/picture.h"

namespace pixkeep {

// The options as the main window's controls hold them at the moment of a tick.
struct CaptureOptions {
  int typeIndex = 0;        // tyyp: 0 JPEG, 1 PNG, 2 GIF, 3 Bitmap
  int spinPosition = 90;    // Spin: JPEG quality or PNG level
  bool addText = false;     // addtext
  bool background = false;  // background
  bool upLeft = false;      // upleft
  bool upRight = true;      // upright (neither: yleskeskel, up centre)
  int x = 7, y = 4;         // X, Y
  std::string text;         // Edit2
  uint32_t color = 32768;   // V2rv's colour, 0x00BBGGRR
};

// A picture writer prepared for one capture.
class PictureEncoder {
 public:
  virtual ~PictureEncoder() = default;
  virtual void saveToFile(const std::string& name) = 0;
};
// Creates the writer of one image type for the held picture and the slider position.
using EncoderFactory = std::function<std::unique_ptr<PictureEncoder>(const RasterImage& picture, int spin)>;

struct TickResult {
  bool captured = false;  // a picture was taken (and written unless the numbers ran out)
  std::string status;     // the status bar text
  std::string trayTip;    // the tray icon's tip
  bool stopTimer = false; // the last number was reached
};

// Replaces every occurrence of `placeholder`, compared without regard to case,
// by `value`; inserted text is not scanned again.
std::string substitute(const std::string& templ, const std::string& placeholder, const std::string& value);

class CaptureCycle {
 public:
  static constexpr int MaxPictures = 99999;
  static constexpr const char* Extensions[4] = {".jpg", ".png", ".gif", ".bmp"};

  CaptureCycle(ClipboardAccess& clipboard, TPicture& image) : clipboard_(clipboard), image_(image) {}

  // Registers the writer of image type 0 (JPEG), 1 (PNG) or 2 (GIF).
  void setEncoder(int typeIndex, EncoderFactory factory);
  bool hasEncoder(int typeIndex) const;

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
  EncoderFactory encoders_[3];
};

}  // namespace pixkeep
