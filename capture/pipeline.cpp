#include "capture/pipeline.h"

#include <algorithm>
#include <cstring>

#include "raster/errors.h"
#include "platform/savefile.h"

namespace pixkeep {

size_t CaptureJob::heldBytes() const {
  size_t n = encoded.size();
  if (bitmap) n += bitmap->bits.size() + (bitmap->encoded ? bitmap->encoded->size() : 0);
  return n;
}

Sameness compareWithoutDecoding(const PlatformBitmap& a, const PlatformBitmap& b) {
  if (a.encoded && b.encoded) {
    const EncodedPicture &x = *a.encoded, &y = *b.encoded;
    if (x.size() == y.size() && (x.size() == 0 || std::memcmp(x.data(), y.data(), x.size()) == 0)) return Sameness::Same;
    return Sameness::Unknown;
  }
  if (a.encoded || b.encoded) return Sameness::Unknown;
  const bool same = a.width == b.width && a.height == b.height && a.planes == b.planes && a.bitsPixel == b.bitsPixel &&
                    a.dibSection == b.dibSection && a.header == b.header && a.colorTable == b.colorTable &&
                    a.bits == b.bits;
  return same ? Sameness::Same : Sameness::Different;
}


const ImageType& CapturePipeline::writableType(int typeIndex) const {
  if (typeIndex < 0 || size_t(typeIndex) >= types_.size() || !types_[size_t(typeIndex)].writer)
    throw EInvalidGraphic(msg::ImageTypeUnavailable);
  return types_[size_t(typeIndex)];
}

void CapturePipeline::decode(const PlatformBitmap& bitmap, const std::vector<RGBQuad>* palette,
                             TPicture& holder) const {
  holder.loadFromBitmapData(&bitmap, palette, clipboardDecoder(types_));
}

void CapturePipeline::stamp(TPicture& holder, const CaptureOptions& o) const {
  RasterImage* raster = holder.bitmap();
  if (!o.addText) {
    if (raster) raster->canvas().brush.setStyle(BrushStyle::bsSolid);
    return;
  }
  StampCanvas& canvas = holder.canvas();
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

CaptureResult CapturePipeline::run(CaptureJob& job) {
  const CaptureOptions& o = job.options;
  TPicture holder;
  decode(*job.bitmap, job.palette ? &*job.palette : nullptr, holder);
  stamp(holder, o);
  const ImageType* type = &writableType(o.typeIndex);
  RasterImage* raster = holder.bitmap();
  if (!raster) throw EInvalidOperation(msg::NotABitmap);
  int level = o.spinPosition;
  job.fallback.reset();
  // A picture the chosen type cannot hold is not lost: PNG holds any size a raster has.
  const std::optional<int> largest =
      type->largestSide > 0 ? std::optional<int>(type->largestSide) : std::nullopt;
  if (largest && (raster->width() > *largest || raster->height() > *largest)) {
    const auto png = std::find_if(types_.begin(), types_.end(),
                                  [](const ImageType& t) { return t.extension == ".png" && t.writer; });
    if (png != types_.end()) {
      job.fallback = TypeLimitFallback{raster->width(), raster->height(), type->name};
      // The PNG row's own level: the slider held the chosen type's quality.
      level = png->slider ? png->slider->position : 0;
      type = &*png;
    }
  }
  // Encoded once: finding a free number costs an existence test per number, not a write.
  MemoryStream bytes;
  type->writer(*raster, level)->saveToStream(bytes);
  job.encoded = bytes.take();
  job.extension = type->extension;
  job.bitmap.reset();
  // A failure to write keeps the bytes in the job, to be written later.
  CaptureResult result = write(job);
  job.encoded = {};
  return result;
}

CaptureResult CapturePipeline::write(CaptureJob& job) {
  const int before = pictureCounter;
  std::string fileName;
  if (before < MaxPictures) {
    try {
      const std::string extension = job.extension;
      const std::optional<int> number = saveNumberedFile(
          job.outputDirectory, before + 1, MaxPictures,
          [&](int n) { return "pxk" + std::to_string(n) + extension; },
          [&](Stream& s) { s.writeBuffer(job.encoded.data(), job.encoded.size()); });
      // The numbers passed over are taken for good in this run.
      pictureCounter = number.value_or(MaxPictures);
      if (number) fileName = "pxk" + std::to_string(*number) + extension;
    } catch (const EStreamError&) {
      // The file could not be written: the number is free for the next try.
      pictureCounter = before;
      throw;
    }
  }
  return CaptureResult{pictureCounter, pictureCounter == MaxPictures, fileName, job.fallback, job.generation};
}

// A digest of the decoded pixels: size, then each row's pixel bytes.
uint64_t CapturePipeline::pixelDigest(const PlatformBitmap& bitmap) const {
  TPicture holder;
  decode(bitmap, nullptr, holder);
  const RasterImage& raster = *holder.bitmap();
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  auto add = [&h](const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  };
  const int32_t size[2] = {raster.width(), raster.height()};
  add(reinterpret_cast<const uint8_t*>(size), sizeof size);
  const size_t rowBytes = size_t((int64_t(raster.width()) * raster.header().biBitCount + 7) / 8);
  for (int y = 0; y < raster.height(); ++y) add(raster.constScanline(y), rowBytes);
  return h;
}

bool CapturePipeline::samePixels(const CaptureJob& job) const {
  if (!job.previous || !job.bitmap) return false;
  switch (compareWithoutDecoding(*job.previous, *job.bitmap)) {
    case Sameness::Same: return true;
    case Sameness::Different: return false;
    case Sameness::Unknown: break;
  }
  try {
    return pixelDigest(*job.previous) == pixelDigest(*job.bitmap);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace pixkeep
