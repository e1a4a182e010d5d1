#include "capture/capturecycle.h"

#include <cctype>

#include "capture/errors.h"
#include "platform/fsutil.h"

namespace pixkeep {

std::string substitute(const std::string& templ, const std::string& placeholder, const std::string& value) {
  if (placeholder.empty()) return templ;
  std::string out;
  size_t i = 0;
  while (i < templ.size()) {
    bool match = i + placeholder.size() <= templ.size();
    for (size_t k = 0; match && k < placeholder.size(); ++k)
      match = std::tolower(static_cast<unsigned char>(templ[i + k])) ==
              std::tolower(static_cast<unsigned char>(placeholder[k]));
    if (match) {
      out += value;
      i += placeholder.size();
    } else {
      out += templ[i++];
    }
  }
  return out;
}

void CaptureCycle::setEncoder(int typeIndex, EncoderFactory factory) {
  if (typeIndex >= 0 && typeIndex < 3) encoders_[typeIndex] = std::move(factory);
}

bool CaptureCycle::hasEncoder(int typeIndex) const {
  return typeIndex == 3 || (typeIndex >= 0 && typeIndex < 3 && encoders_[typeIndex]);
}

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

  if (!hasEncoder(o.typeIndex)) throw EInvalidGraphic(msg::ImageTypeUnavailable);
  std::unique_ptr<PictureEncoder> encoder;
  if (o.typeIndex != 3) {
    RasterImage* raster = image_.bitmap();
    if (!raster) throw EInvalidOperation(msg::NotABitmap);
    encoder = encoders_[o.typeIndex](*raster, o.spinPosition);
  }
  const char* extension = Extensions[o.typeIndex];
  while (pictureCounter < MaxPictures) {
    ++pictureCounter;
    std::string name = outputDirectory + "pxk" + std::to_string(pictureCounter) + extension;
    if (fileExists(name)) continue;
    if (encoder) encoder->saveToFile(name);
    else image_.saveToFile(name);
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
