// One tick of the capture: take the clipboard's bitmap, stamp it, empty the
// clipboard and write the picture as the next numbered file. The tick comes
// in two halves: take() on the thread that owns the clipboard, process()
// (decode, stamp, encode, write) wherever the caller likes.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
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
  int counter = 0;        // the picture counter after it
  std::string status;     // the status bar text (filled by tick())
  std::string trayTip;    // the tray icon's tip (filled by tick())
  bool stopTimer = false; // the last number was reached
};

// A picture taken from the clipboard (which is empty again), with everything
// needed to stamp and write it.
struct CaptureJob {
  std::shared_ptr<const PlatformBitmap> bitmap;  // as the clipboard gave it, possibly still encoded
  std::optional<std::vector<RGBQuad>> palette;
  CaptureOptions options;                        // the options at the moment it was taken
  std::string outputDirectory;                   // where it goes
  // After a failed write: the file's bytes, kept so that writing can be
  // tried again without encoding again, and its extension.
  std::vector<uint8_t> encoded;
  std::string extension;
  // Memory the job holds.
  size_t heldBytes() const;
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

  // One tick: take() and process(). Errors pass to the caller, after which
  // the counter keeps the number it reached and the status is left alone.
  TickResult tick(const CaptureOptions& options);

  // The first half: nothing when the clipboard offers no bitmap; otherwise
  // the bitmap's data and the options, and the clipboard is emptied. Raises
  // "This image type is not available" for a type without a writer and the
  // clipboard's errors, leaving the clipboard as it was.
  std::optional<CaptureJob> take(const CaptureOptions& options);
  // The second half: import, stamp, encode, find the number and write. A
  // failure to write the file (EStreamError) leaves the file's bytes in
  // `job.encoded` and the counter where it was, so the same picture can be
  // written later with writeEncoded(); other errors mean the picture is lost.
  TickResult process(CaptureJob& job);
  // Writes a job whose bytes were kept after a failed write.
  TickResult writeEncoded(CaptureJob& job);

  // The status text for the current counter: the template with "%p" replaced.
  std::string statusText() const;

  std::atomic<int> pictureCounter = 0;  // advanced by process(), read anywhere
  std::string outputDirectory;          // read by take()
  std::string picturesTemplate = "%p pictures";

 private:
  void stamp(const CaptureOptions& options);
  // Tries numbers from the counter on until `save` creates a new file.
  TickResult writeNumbered(const std::string& directory, const std::string& extension,
                           const std::function<void(Stream&)>& save);

  ClipboardAccess& clipboard_;
  TPicture& image_;
  std::vector<ImageType> types_;
};

}  // namespace pixkeep
