#include "capture/pipeline.h"

#include <algorithm>
#include <cstring>

#include "raster/errors.h"
#include "platform/savefile.h"

namespace pixkeep {

size_t CaptureJob::heldBytes() const {
  size_t n = encoded.size();
  if (bitmap) n += bitmap->bits.size() + (bitmap->encoded ? bitmap->encoded->size() : 0);
  if (decoded && decoded->bitmap()) n += size_t(decoded->bitmap()->width()) * size_t(decoded->bitmap()->height()) * 4;
  return n;
}

namespace {

// A digest of a raster's pixels: its size, then each row's pixel bytes,
// eight at a time in four lanes (independent multiplications keep the
// processor busy), the lanes mixed at the end.
uint64_t rasterDigest(const RasterImage& raster) {
  constexpr uint64_t Prime = 1099511628211ull;
  uint64_t lane[4] = {14695981039346656037ull, 0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull};
  auto mix = [](uint64_t& h, uint64_t v) {
    h = (h ^ v) * Prime;
    h ^= h >> 29;
  };
  mix(lane[0], uint64_t(uint32_t(raster.width())) << 32 | uint32_t(raster.height()));
  const size_t rowBytes = size_t((int64_t(raster.width()) * raster.header().biBitCount + 7) / 8);
  for (int y = 0; y < raster.height(); ++y) {
    const uint8_t* p = raster.constScanline(y);
    size_t i = 0;
    for (; i + 32 <= rowBytes; i += 32) {
      uint64_t v[4];
      std::memcpy(v, p + i, 32);
      for (int k = 0; k < 4; ++k) mix(lane[k], v[k]);
    }
    for (; i + 8 <= rowBytes; i += 8) {
      uint64_t v;
      std::memcpy(&v, p + i, 8);
      mix(lane[0], v);
    }
    for (; i < rowBytes; ++i) mix(lane[1], p[i]);
  }
  uint64_t h = lane[0];
  for (int k = 1; k < 4; ++k) mix(h, lane[k]);
  return h;
}

// How far GTK's copy of a PNG with 16 bits a sample may be off ours: GdkPixbuf
// keeps each sample's high byte where we round, one step at most, and with
// alpha both the colour and the alpha step, before the picture goes onto
// white: two. Nothing for other pictures.
int deepPngSteps(const PlatformBitmap& b) {
  static constexpr uint8_t Signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  if (!b.encoded || b.encoded->size() <= 25 || std::memcmp(b.encoded->data(), Signature, sizeof Signature) != 0 ||
      b.encoded->data()[24] != 16)
    return 0;
  const uint8_t colorType = b.encoded->data()[25];
  return colorType & 4 ? 2 : 1;  // 4 and 6 carry alpha (a tRNS chunk makes pixels wholly clear or opaque)
}

// Whether two 32-bit rasters of one size differ by at most `steps` in any
// colour sample (the fourth byte is not looked at).
bool withinSteps(const RasterImage& a, const RasterImage& b, int steps) {
  if (a.width() != b.width() || a.height() != b.height() || a.header().biBitCount != 32 ||
      b.header().biBitCount != 32)
    return false;
  for (int y = 0; y < a.height(); ++y) {
    const uint8_t* p = a.constScanline(y);
    const uint8_t* q = b.constScanline(y);
    for (int x = 0; x < a.width() * 4; x += 4)
      for (int c = 0; c < 3; ++c)
        if (p[x + c] - q[x + c] > steps || q[x + c] - p[x + c] > steps) return false;
  }
  return true;
}

}  // namespace

void CapturePipeline::remember(uint64_t generation, uint64_t digest) {
  digests_[generation] = digest;
  while (digests_.size() > 16) digests_.erase(digests_.begin());
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
  // Decoded already when it was checked.
  std::shared_ptr<TPicture> decoded = std::move(job.decoded);
  TPicture fresh;
  TPicture& holder = decoded ? *decoded : fresh;
  if (!decoded) decode(*job.bitmap, job.palette ? &*job.palette : nullptr, holder);
  // The digest of the pixels as they came, for telling a manager's copy of
  // this picture: taken before the stamp changes them, or after the file
  // is written (off the way to the file) when nothing is stamped.
  if (o.addText && holder.bitmap()) remember(job.generation, rasterDigest(*holder.bitmap()));
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
  CaptureResult result;
  try {
    result = write(job);
  } catch (...) {
    if (!o.addText) remember(job.generation, rasterDigest(*raster));
    throw;
  }
  if (!o.addText) remember(job.generation, rasterDigest(*raster));
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

bool CapturePipeline::samePixels(CaptureJob& job) {
  if (!job.previous || !job.bitmap) return false;
  switch (compareWithoutDecoding(*job.previous, *job.bitmap)) {
    case Sameness::Same: return true;
    case Sameness::Different: break;  // it may still be one of the pictures before
    case Sameness::Unknown: break;
  }
  try {
    auto holder = std::make_shared<TPicture>();
    decode(*job.bitmap, job.palette ? &*job.palette : nullptr, *holder);
    const uint64_t now = rasterDigest(*holder->bitmap());
    job.decoded = std::move(holder);
    // A manager may put back any picture of its history that this run read,
    // not only the last one (when it had no time to read the newest).
    for (const auto& [generation, digest] : digests_)
      if (digest == now) return true;
    // The picture just taken, decoded again (once) when its digest is not
    // known (the one there at start), or when it was a 16-bit PNG: GTK's
    // clipboard managers give that back with 8 bits a sample, a step or two
    // off ours here and there.
    const bool unknown = digests_.count(job.previousGeneration) == 0;
    const int steps = deepPngSteps(*job.previous);
    if (!unknown && steps == 0) return false;
    TPicture before;
    decode(*job.previous, nullptr, before);
    if (!before.bitmap()) return false;
    if (unknown && rasterDigest(*before.bitmap()) == now) return true;
    return steps > 0 && withinSteps(*before.bitmap(), *job.decoded->bitmap(), steps);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace pixkeep
