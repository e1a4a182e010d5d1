#include "capture/capturecycle.h"

#include "capture/errors.h"
#include "platform/fsutil.h"

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

TickResult CaptureCycle::tick(const CaptureOptions& o) {
  TickResult result;
  if (!clipboard_.hasFormat(CF_BITMAP)) return result;

  // Import the bitmap itself even when the clipboard lists another picture
  // format ahead of it: only a raster can be stamped and saved.
  image_.loadFromClipboard(clipboard_, CF_BITMAP);
  stamp(o);
  clipboard_.clear();

  if (o.typeIndex < 0 || size_t(o.typeIndex) >= types_.size() || !types_[size_t(o.typeIndex)].writer)
    throw EInvalidGraphic(msg::ImageTypeUnavailable);
  const ImageType& type = types_[size_t(o.typeIndex)];
  RasterImage* raster = image_.bitmap();
  if (!raster) throw EInvalidOperation(msg::NotABitmap);
  std::unique_ptr<PictureEncoder> encoder = type.writer(*raster, o.spinPosition);
  while (pictureCounter < MaxPictures) {
    ++pictureCounter;
    std::string name = outputDirectory + "pxk" + std::to_string(pictureCounter) + type.extension;
    if (fileExists(name)) continue;
    encoder->saveToFile(name);
    break;
  }
  encoder.reset();

  result.captured = true;
  result.status = statusText();
  result.trayTip = "Pixkeep - " + result.status;
  result.stopTimer = pictureCounter == MaxPictures;
  return result;
}

}  // namespace pixkeep
