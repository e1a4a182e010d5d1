#include "capture/capturecycle.h"

#include <algorithm>

#include "capture/errors.h"
#include "platform/savefile.h"

namespace pixkeep {

std::string CaptureCycle::statusText() const {
  return substitute(picturesTemplate, "%p", std::to_string(pictureCounter) + "/" + std::to_string(MaxPictures));
}

void CaptureCycle::stamp(const CaptureOptions& o) {
  RasterImage* raster = image_.bitmap();
  if (!o.addText) {
    if (raster) raster->canvas().brush.setStyle(BrushStyle::bsSolid);
    return;
  }
  StampCanvas& canvas = image_.canvas();
  if (!o.background) canvas.brush.setStyle(BrushStyle::bsClear);
  canvas.font.style = fsBold;
  canvas.font.color = o.color;
  int x;
  if (o.upLeft) {
    x = o.x;
  } else {
    const int W = raster->width();
    const int T = canvas.textWidth(o.text);
    x = o.upRight ? W - T - o.x : W / 2 - T / 2;
  }
  canvas.textOut(x, o.y, o.text);
}

size_t CaptureJob::heldBytes() const {
  size_t n = encoded.size();
  if (bitmap) n += bitmap->bits.size() + (bitmap->encoded ? bitmap->encoded->size() : 0);
  return n;
}

TickResult CaptureCycle::tick(const CaptureOptions& o) {
  std::optional<CaptureJob> job = take(o);
  if (!job) return {};
  TickResult result = process(*job);
  result.status = statusText();
  result.trayTip = "Pixkeep - " + result.status;
  return result;
}

std::optional<CaptureJob> CaptureCycle::take(const CaptureOptions& o) {
  if (!clipboard_.hasFormat(CF_BITMAP)) return std::nullopt;
  if (o.typeIndex < 0 || size_t(o.typeIndex) >= types_.size() || !types_[size_t(o.typeIndex)].writer)
    throw EInvalidGraphic(msg::ImageTypeUnavailable);
  CaptureJob job;
  {
    // The bitmap is taken even when the clipboard lists another picture
    // format ahead of it: only a raster can be stamped and saved.
    ClipboardOpen guard(clipboard_);
    Clipboard& platform = clipboard_.platform();
    const std::vector<unsigned> formats = platform.formats();
    if (std::find(formats.begin(), formats.end(), CF_BITMAP) == formats.end())
      throw EInvalidGraphic(msg::InvalidClipboardFormat);
    job.bitmap = platform.bitmap();
    if (!job.bitmap) throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
    job.palette = platform.palette();
  }
  job.options = o;
  job.outputDirectory = outputDirectory;
  // The picture is held now: the clipboard can be emptied before it is written.
  clipboard_.clear();
  return job;
}

TickResult CaptureCycle::process(CaptureJob& job) {
  const CaptureOptions& o = job.options;
  image_.loadFromBitmapData(job.bitmap.get(), job.palette ? &*job.palette : nullptr);
  stamp(o);
  if (o.typeIndex < 0 || size_t(o.typeIndex) >= types_.size() || !types_[size_t(o.typeIndex)].writer)
    throw EInvalidGraphic(msg::ImageTypeUnavailable);
  const ImageType& type = types_[size_t(o.typeIndex)];
  RasterImage* raster = image_.bitmap();
  if (!raster) throw EInvalidOperation(msg::NotABitmap);
  std::unique_ptr<PictureEncoder> encoder = type.writer(*raster, o.spinPosition);
  try {
    return writeNumbered(job.outputDirectory, type.extension, [&](Stream& s) { encoder->saveToStream(s); });
  } catch (const EStreamError&) {
    // Keep what the file would have held; the picture is not lost.
    MemoryStream bytes;
    encoder->saveToStream(bytes);
    job.encoded = bytes.take();
    job.extension = type.extension;
    job.bitmap.reset();
    throw;
  }
}

TickResult CaptureCycle::writeEncoded(CaptureJob& job) {
  return writeNumbered(job.outputDirectory, job.extension,
                       [&](Stream& s) { s.writeBuffer(job.encoded.data(), job.encoded.size()); });
}

TickResult CaptureCycle::writeNumbered(const std::string& directory, const std::string& extension,
                                       const std::function<void(Stream&)>& save) {
  TickResult result;
  const int before = pictureCounter;
  try {
    while (pictureCounter < MaxPictures) {
      ++pictureCounter;
      // A file of that name, also one that appears while writing, takes the number.
      if (saveNewFile(directory + "pxk" + std::to_string(pictureCounter) + extension, save)) break;
    }
  } catch (const EStreamError&) {
    // The file could not be written: the number is free for the next try.
    pictureCounter = before;
    throw;
  }
  result.captured = true;
  result.counter = pictureCounter;
  result.stopTimer = pictureCounter == MaxPictures;
  return result;
}

}  // namespace pixkeep
