#include "capture/capturecycle.h"

#include <algorithm>
#include <cstring>

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

namespace {

enum class Sameness { Same, Different, Unknown };

// What can be told without decoding: device bitmaps by their bits, encoded
// pictures only when their bytes are equal (an owner may encode the same
// pixels differently).
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

// A digest of the decoded pixels: size, then each row's pixel bytes.
uint64_t pixelDigest(const PlatformBitmap& bitmap) {
  RasterImage raster;
  raster.loadFromClipboardBitmap(CF_BITMAP, &bitmap, nullptr);
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

}  // namespace

bool CaptureCycle::isRestore(const CaptureJob& job) {
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

void CaptureCycle::discardAtStart() { discard_ = clipboard_.platform().generation(); }

void CaptureCycle::noPicture() {
  if (discard_) {
    const uint64_t now = clipboard_.platform().generation();
    if (*discard_ != now) {
      discard_.reset();  // replaced: nothing of the start is left
    } else if (clipboard_.hasFormat(CF_TEXT)) {
      // A text there at start goes too. (Until the clipboard has told what
      // it holds, it may look empty: the content is looked at again then.)
      discard_.reset();
      clipboard_.clearContent(now);
    }
  }
  // A text copied after the picture: the same picture coming after it is
  // copied anew, not put back.
  if (clipboard_.hasFormat(CF_TEXT)) lastTaken_.reset();
}

void CaptureCycle::confirmTaken(CaptureJob& job) {
  clipboard_.clearContent(job.generation);
  emptied_ = job.generation;
  emptiedAt_ = clock();
  lastTaken_ = job.bitmap;
  job.needsCheck = false;
  job.previous.reset();
}

TickResult CaptureCycle::tick(const CaptureOptions& o) {
  std::optional<CaptureJob> job = take(o);
  if (!job) return {};
  if (job->needsCheck) {
    if (isRestore(*job)) return {};
    confirmTaken(*job);
  }
  TickResult result = process(*job);
  result.status = statusText();
  result.trayTip = "Pixkeep - " + result.status;
  return result;
}

std::optional<CaptureJob> CaptureCycle::take(const CaptureOptions& o) {
  fetching_ = false;
  if (!clipboard_.hasFormat(CF_BITMAP)) {
    noPicture();
    return std::nullopt;
  }
  if (discard_ && *discard_ != clipboard_.platform().generation()) discard_.reset();
  // The picture that was there at start is read (so that a clipboard
  // manager's copy of it is known) and emptied, never saved nor reported.
  const bool discarding = discard_.has_value();
  if (!discarding && (o.typeIndex < 0 || size_t(o.typeIndex) >= types_.size() || !types_[size_t(o.typeIndex)].writer))
    throw EInvalidGraphic(msg::ImageTypeUnavailable);
  CaptureJob job;
  {
    // The bitmap is taken even when the clipboard lists another picture
    // format ahead of it: only a raster can be stamped and saved.
    ClipboardOpen guard(clipboard_);
    Clipboard& platform = clipboard_.platform();
    job.generation = platform.generation();
    if (taken_ == job.generation) return std::nullopt;
    const std::vector<unsigned> formats = platform.formats();
    const bool listed = std::find(formats.begin(), formats.end(), CF_BITMAP) != formats.end();
    if (listed) job.bitmap = platform.bitmap();
    if (!job.bitmap) {
      fetching_ = listed && platform.fetching();
      if (fetching_) return std::nullopt;
      if (!discarding) {
        if (!listed) throw EInvalidGraphic(msg::InvalidClipboardFormat);
        const std::string why = platform.failure();
        if (!why.empty()) throw EClipboardException(msg::PictureNotHandedOver, why);
        throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
      }
    } else {
      job.palette = platform.palette();
    }
  }
  taken_ = job.generation;
  if (discarding) {
    discard_.reset();
    if (job.bitmap)
      confirmTaken(job);  // emptied, and known as the picture taken last
    else
      clipboard_.clearContent(job.generation);  // emptied all the same, quietly
    return std::nullopt;
  }
  job.options = o;
  job.outputDirectory = outputDirectory;
  // Shortly after we took a picture, the same picture again is a clipboard
  // manager's copy: one that takes every new picture over, or one that puts
  // its last entry back once we emptied the clipboard (some clear it first).
  if (lastTaken_ && emptied_ && job.generation > *emptied_ && clock() - emptiedAt_ <= RestoreInterval) {
    job.previous = lastTaken_;
    switch (compareWithoutDecoding(*job.previous, *job.bitmap)) {
      case Sameness::Same: return std::nullopt;  // left on the clipboard
      case Sameness::Different: break;
      case Sameness::Unknown: job.needsCheck = true; return job;
    }
  }
  // The picture is held now: the clipboard can be emptied before it is written.
  confirmTaken(job);
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
  // Encoded once: finding a free number costs an existence test per number, not a write.
  MemoryStream bytes;
  type.writer(*raster, o.spinPosition)->saveToStream(bytes);
  job.encoded = bytes.take();
  job.extension = type.extension;
  job.bitmap.reset();
  // A failure to write keeps the bytes in the job, to be written later.
  TickResult result = writeEncoded(job);
  job.encoded = {};
  return result;
}

TickResult CaptureCycle::writeEncoded(CaptureJob& job) {
  TickResult result;
  const int before = pictureCounter;
  if (before < MaxPictures) {
    try {
      const std::string extension = job.extension;
      const std::optional<int> number = saveNumberedFile(
          job.outputDirectory, before + 1, MaxPictures,
          [&](int n) { return "pxk" + std::to_string(n) + extension; },
          [&](Stream& s) { s.writeBuffer(job.encoded.data(), job.encoded.size()); });
      // The numbers passed over are taken for good in this run.
      pictureCounter = number.value_or(MaxPictures);
    } catch (const EStreamError&) {
      // The file could not be written: the number is free for the next try.
      pictureCounter = before;
      throw;
    }
  }
  result.captured = true;
  result.counter = pictureCounter;
  result.stopTimer = pictureCounter == MaxPictures;
  return result;
}

}  // namespace pixkeep
