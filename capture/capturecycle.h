// One tick of the capture: take the clipboard's bitmap, stamp it, empty the
// clipboard and write the picture as the next numbered file. The tick comes
// in two halves: take() on the thread that owns the clipboard, process()
// (decode, stamp, encode, write) wherever the caller likes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
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
  // The clipboard content it was taken from (Clipboard::generation).
  uint64_t generation = 0;
  // Set when the picture may be the copy of the one taken before (`previous`)
  // that a clipboard manager put back: the clipboard keeps it until
  // CaptureCycle::isRestore() has decided, then confirmTaken() empties it.
  bool needsCheck = false;
  std::shared_ptr<const PlatformBitmap> previous;
  // Memory the job holds.
  size_t heldBytes() const;
};

class CaptureCycle {
 public:
  static constexpr int MaxPictures = 99999;
  // Clipboard managers take each new picture over, and put their last entry
  // back as soon as the clipboard is empty. A picture with the same pixels as
  // the picture taken before, arriving within this interval after we emptied
  // the clipboard of it, is such a copy: it is not saved again and stays on
  // the clipboard. The same picture copied again later than this, or after a
  // text was on the clipboard, is saved again.
  static constexpr std::chrono::milliseconds RestoreInterval{2000};
  using Clock = std::chrono::steady_clock;

  // `types` is the image-type table; CaptureOptions::typeIndex picks a row.
  CaptureCycle(ClipboardAccess& clipboard, TPicture& image, std::vector<ImageType> types)
      : clipboard_(clipboard), image_(image), types_(std::move(types)) {}

  const std::vector<ImageType>& imageTypes() const { return types_; }
  // Replaces the writer of one row (tests put recording writers in).
  void setWriter(size_t typeIndex, EncoderFactory writer) { types_.at(typeIndex).writer = std::move(writer); }

  // One tick: take() and process(). Errors pass to the caller, after which
  // the counter keeps the number it reached and the status is left alone.
  TickResult tick(const CaptureOptions& options);

  // The first half: nothing when the clipboard offers no bitmap, when its
  // content was taken already, when the picture is still on its way from
  // the clipboard's owner (then fetching() is true) or when it is a restored
  // copy of the picture taken before; otherwise the bitmap's data and the
  // options, and the clipboard is emptied (unless the job needsCheck).
  // Raises "This image type is not available" for a type without a writer
  // and the clipboard's errors, leaving the clipboard as it was.
  std::optional<CaptureJob> take(const CaptureOptions& options);
  // The content on the clipboard now (at start-up) is not to be saved: the
  // next take() reads its picture, empties the clipboard of it and gives
  // nothing, quietly also when it cannot be read. A clipboard manager that
  // puts that picture back is then known (see RestoreInterval). A text
  // there is emptied too.
  void discardAtStart();
  // The clipboard holds no picture (take() does this itself): a text there
  // means that a picture coming next is a new copy, whatever its pixels.
  void noPicture();
  // Whether the last take() found the picture still on its way.
  bool fetching() const { return fetching_; }
  // For a job that needsCheck: whether its pixels are those of the picture
  // taken before it (it decodes both; any thread). A picture that cannot be
  // decoded is no copy: writing it reports the error.
  static bool isRestore(const CaptureJob& job);
  // The job is a picture of its own: empties the clipboard of it.
  void confirmTaken(CaptureJob& job);
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
  std::function<Clock::time_point()> clock = [] { return Clock::now(); };

 private:
  void stamp(const CaptureOptions& options);

  ClipboardAccess& clipboard_;
  TPicture& image_;
  std::vector<ImageType> types_;
  bool fetching_ = false;
  std::optional<uint64_t> taken_;    // the content taken last
  std::optional<uint64_t> discard_;  // the content there at start, until it is emptied
  std::optional<uint64_t> emptied_;  // the content we emptied last, and when
  Clock::time_point emptiedAt_;
  std::shared_ptr<const PlatformBitmap> lastTaken_;
};

}  // namespace pixkeep
