// One picture's way from the clipboard's bytes to its numbered file, in one
// place: decode -> stamp -> encode -> name -> atomic write. It runs on the
// queue's thread (capturequeue.h), for every picture the capture cycle takes.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codecs/imagetype.h"
#include "raster/picture.h"

namespace pixkeep {

// The options as the main window's controls hold them at the moment a
// picture is taken.
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

// A picture larger than the chosen type can hold (JPEG: 65500 pixels a side,
// GIF: 65535), written as PNG instead.
struct TypeLimitFallback {
  int width = 0, height = 0;
  std::string typeName;  // the type chosen, which could not hold it
  bool operator==(const TypeLimitFallback&) const = default;
};

// A picture taken from the clipboard, with everything needed to stamp and
// write it.
struct CaptureJob {
  std::shared_ptr<const PlatformBitmap> bitmap;  // as the clipboard gave it, possibly still encoded
  std::optional<std::vector<RGBQuad>> palette;
  CaptureOptions options;                        // the options at the moment it was taken
  std::string outputDirectory;                   // where it goes
  // After a failed write: the file's bytes, kept so that writing can be
  // tried again without encoding again, and its extension.
  std::vector<uint8_t> encoded;
  std::string extension;
  std::optional<TypeLimitFallback> fallback;  // set when encoded as PNG in place of the type chosen
  // The clipboard content it was taken from (Clipboard::generation).
  uint64_t generation = 0;
  // Set when the picture may be the copy of the one taken before (`previous`)
  // that a clipboard manager put back: the clipboard keeps it until the
  // queue has decided (CapturePipeline::samePixels).
  bool needsCheck = false;
  std::shared_ptr<const PlatformBitmap> previous;
  uint64_t previousGeneration = 0;  // the content `previous` came from
  // The picture decoded by the check, so that it is not decoded again.
  std::shared_ptr<TPicture> decoded;
  // Set once the queue holds it to be written later (the write before it failed).
  bool held = false;
  // Memory the job holds.
  size_t heldBytes() const;
};

// Whether two clipboard bitmaps are the same picture, as far as can be told
// without decoding: device bitmaps by their bits, encoded pictures only when
// their bytes are equal (an owner may encode the same pixels differently).
enum class Sameness { Same, Different, Unknown };
Sameness compareWithoutDecoding(const PlatformBitmap& a, const PlatformBitmap& b);

// What writing one picture came to.
struct CaptureResult {
  int counter = 0;          // the picture counter after it
  bool stopTimer = false;   // the last number was reached
  std::string fileName;     // the file written ("pxk7.png"); empty when the numbers had run out
  std::optional<TypeLimitFallback> fallback;  // written as PNG: the type chosen could not hold it
  uint64_t generation = 0;  // the clipboard content it came from
};


class CapturePipeline {
 public:
  static constexpr int MaxPictures = 99999;

  // `types` is the image-type table; CaptureOptions::typeIndex picks a row.
  explicit CapturePipeline(std::vector<ImageType> types) : types_(std::move(types)) {}

  const std::vector<ImageType>& imageTypes() const { return types_; }
  // The row of `typeIndex`; raises "This image type is not available" for
  // none, or one without a writer.
  const ImageType& writableType(int typeIndex) const;

  // The whole way: decode, stamp, encode, and write under the next free
  // number. A picture larger than the chosen type can hold is encoded by the
  // PNG row instead (CaptureResult::fallback says so). A failure to write the file (EStreamError) leaves the file's
  // bytes in `job.encoded` and the counter where it was, so the same picture
  // can be written later by write(); other errors mean the picture is lost.
  CaptureResult run(CaptureJob& job);
  // Writes the file's bytes of a job: a retry after a failed write.
  CaptureResult write(CaptureJob& job);
  // The picture of a clipboard bitmap in `holder`, decoded as run() does.
  void decode(const PlatformBitmap& bitmap, const std::vector<RGBQuad>* palette, TPicture& holder) const;
  // Whether a job that needsCheck has the pixels of the picture taken before
  // it, or of another of the last pictures written (a manager may put back
  // an older entry of its history). The picture is decoded once, and kept
  // in the job for run(); the ones before are known by the digests run()
  // took of them. A picture that
  // cannot be decoded is no copy: writing it reports the error. On the
  // queue's thread, like run().
  bool samePixels(CaptureJob& job);

  std::atomic<int> pictureCounter = 0;  // advanced by run() and write(), read anywhere

 private:
  void stamp(TPicture& holder, const CaptureOptions& options) const;
  void remember(uint64_t generation, uint64_t digest);

  std::vector<ImageType> types_;
  // The digests of the pictures decoded last, by their clipboard content
  // (queue's thread only).
  std::map<uint64_t, uint64_t> digests_;
};

}  // namespace pixkeep
