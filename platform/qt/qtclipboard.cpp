#include "platform/qt/qtclipboard.h"

#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <unistd.h>

#include "platform/qt/x11selection.h"

namespace pixkeep {

namespace {

bool isMetafileTarget(const QString& t) {
  static const QStringList metafiles = {"image/svg+xml", "image/x-emf", "image/x-wmf", "image/emf", "image/wmf"};
  return metafiles.contains(t, Qt::CaseInsensitive);
}

bool isDecodableImage(const QString& t) {
  static const QList<QByteArray> supported = QImageReader::supportedMimeTypes();
  return t.startsWith("image/", Qt::CaseInsensitive) && !isMetafileTarget(t) &&
         supported.contains(t.toLower().toLatin1());
}

bool decodedByTheCore(const QString& t) {
  const QString l = t.toLower();
  return l == "image/png" || l == "image/bmp" || l == "image/x-bmp" || l == "image/x-ms-bmp" || l == "image/jpeg";
}

int preference(const QString& t) {
  const QString l = t.toLower();
  if (l == "image/png") return 0;
  if (l == "image/bmp" || l == "image/x-bmp" || l == "image/x-ms-bmp") return 1;
  if (l == "image/gif") return 3;  // only when nothing else gives the picture
  return 2;
}

}  // namespace

QtClipboard::QtClipboard(QObject* parent) : QObject(parent) {
  auto x11 = std::make_unique<X11Selection>();
  X11Selection& reader = *x11;
  selection_ = std::move(x11);
  listen();
  if (!reader.start()) {
    qWarning("Pixkeep: no X11 display to read the clipboard from; nothing will be captured");
    selection_.reset();
  }
}

QtClipboard::QtClipboard(std::unique_ptr<SelectionReader> reader, QObject* parent)
    : QObject(parent), selection_(std::move(reader)) {
  listen();
}

void QtClipboard::listen() {
  // Qt refuses pictures over 128 MiB by default; allow what the machine can
  // hold (a quarter of its memory), so a large picture is not taken for a bad one.
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0)
    QImageReader::setAllocationLimit(int(std::min<long long>(INT_MAX, (1LL * pages * pageSize) / 4 / (1 << 20))));
  // A reader may report from a thread of its own; its news is taken in on ours.
  SelectionReader::Events events;
  events.changed = [this](const SelectionReader::Change& c) {
    QMetaObject::invokeMethod(this, [this, c] { changed(c); }, Qt::QueuedConnection);
  };
  events.fetched = [this](const SelectionReader::Fetched& f) {
    QMetaObject::invokeMethod(this, [this, f] { fetched(f); }, Qt::QueuedConnection);
  };
  selection_->setEvents(std::move(events));
}

// The reader's thread ends before this object goes.
QtClipboard::~QtClipboard() { selection_.reset(); }

unsigned QtClipboard::registerFormat(const std::string& name) {
  auto it = registered_.find(name);
  if (it != registered_.end()) return it->second;
  unsigned n = 0xC000 + unsigned(registered_.size());
  registered_[name] = n;
  return n;
}

unsigned QtClipboard::formatOf(const QString& target) {
  const QString l = target.toLower();
  if (l == "image/gif") return registerFormat("GIF Image");
  if (isMetafileTarget(l)) return CF_ENHMETAFILE;
  if (l == "application/x-qt-image" || isDecodableImage(l)) return CF_BITMAP;
  if (l.startsWith("text/") || l == "utf8_string" || l == "string" || l == "text") return CF_TEXT;
  return registerFormat(target.toStdString());
}

void QtClipboard::changed(const SelectionReader::Change& change) {
  if (change.generation < generation_) return;  // a newer one was reported first
  // A picture read from the clipboard was on it: it is handed over before
  // whatever replaced it meanwhile.
  if (fetch_ == Fetch::Done && fetched_) {
    later_ = change;
    return;
  }
  apply(change);
}

void QtClipboard::apply(const SelectionReader::Change& change) {
  generation_ = change.generation;
  targets_.clear();
  for (const std::string& t : change.targets) targets_ << QString::fromStdString(t);
  formats_.clear();
  for (const QString& t : targets_) {
    unsigned f = formatOf(t);
    if (std::find(formats_.begin(), formats_.end(), f) == formats_.end()) formats_.push_back(f);
  }
  // A picture type that no decoder here takes is no bitmap.
  if (bitmapTargets().isEmpty()) formats_.erase(std::remove(formats_.begin(), formats_.end(), CF_BITMAP), formats_.end());
  fetch_ = Fetch::None;
  fetched_.reset();
  failure_.clear();
  later_.reset();
  announceChange();
}

void QtClipboard::fetched(const SelectionReader::Fetched& result) {
  if (result.generation != generation_ || fetch_ != Fetch::Asked) return;
  fetch_ = Fetch::Done;
  failure_ = result.failure;
  if (result.bytes) fetched_ = picture(QString::fromStdString(result.target), result.bytes);
  announceChange();
}

bool QtClipboard::hasFormat(unsigned format) {
  return std::find(formats_.begin(), formats_.end(), format) != formats_.end();
}

std::vector<unsigned> QtClipboard::formats() { return formats_; }

QStringList QtClipboard::bitmapTargets() const {
  QStringList candidates;
  for (const QString& t : targets_)
    if (isDecodableImage(t)) candidates << t;
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const QString& a, const QString& b) { return preference(a) < preference(b); });
  return candidates;
}

std::shared_ptr<const PlatformBitmap> QtClipboard::bitmap() {
  if (!hasFormat(CF_BITMAP)) return nullptr;
  switch (fetch_) {
    case Fetch::None: {
      fetch_ = Fetch::Asked;
      failure_.clear();
      std::vector<std::string> targets;
      for (const QString& t : bitmapTargets()) targets.push_back(t.toStdString());
      selection_->fetch(generation_, std::move(targets));
      return nullptr;
    }
    case Fetch::Asked:
    case Fetch::HandedOver:
      return nullptr;
    case Fetch::Done:
      break;
  }
  if (fetched_) {
    fetch_ = Fetch::HandedOver;
    if (later_) {
      // After the caller is done with this content.
      QMetaObject::invokeMethod(this, [this, c = *later_] { changed(c); }, Qt::QueuedConnection);
      later_.reset();
    }
    return std::move(fetched_);
  }
  // Nothing usable: forget the bitmap until the clipboard changes again, so
  // that the failure is reported once and not on every tick.
  formats_.erase(std::remove(formats_.begin(), formats_.end(), CF_BITMAP), formats_.end());
  return nullptr;
}

std::shared_ptr<const PlatformBitmap> QtClipboard::picture(const QString& target,
                                                           std::shared_ptr<const std::vector<uint8_t>> bytes) {
  auto bitmap = std::make_shared<PlatformBitmap>();
  if (decodedByTheCore(target)) {
    // PNG, BMP and JPEG are decoded by the core straight into the raster.
    // The bytes are shared, not copied.
    const uint8_t* start = bytes->data();
    const size_t size = bytes->size();
    bitmap->encoded = EncodedPicture(target.toLower().toStdString(), std::move(bytes), start, size);
    return bitmap;
  }
  QImage image = QImage::fromData(QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()),
                                                          qsizetype(bytes->size())));
  if (image.isNull()) return nullptr;
  // Other formats: Qt decodes them; a picture with alpha is composited onto white.
  if (image.hasAlphaChannel()) {
    QImage opaque(image.size(), QImage::Format_RGB32);
    opaque.fill(Qt::white);
    QPainter painter(&opaque);
    painter.drawImage(0, 0, image);
    painter.end();
    image = opaque;
  } else if (image.format() != QImage::Format_RGB32) {
    image = image.convertToFormat(QImage::Format_RGB32);
  }
  // A device-dependent bitmap: 32 bits blue, green, red, 0, rows bottom-up.
  const int width = image.width(), height = image.height();
  bitmap->width = width;
  bitmap->height = height;
  bitmap->bitsPixel = 32;
  const size_t rowBytes = size_t(width) * 4;
  bitmap->bits.resize(rowBytes * size_t(height));
  for (int y = 0; y < height; ++y) {
    const auto* src = reinterpret_cast<const uint32_t*>(image.constScanLine(height - 1 - y));
    auto* dst = reinterpret_cast<uint32_t*>(bitmap->bits.data() + rowBytes * size_t(y));
    for (int x = 0; x < width; ++x) dst[x] = src[x] & 0x00FFFFFFu;
  }
  return bitmap;
}

void QtClipboard::empty() { emptyContent(generation_); }

void QtClipboard::emptyContent(uint64_t generation) {
  // Only the content that was read: an owner that took the clipboard since
  // keeps it (the reader gives the selection up as of that content's time).
  if (selection_) selection_->empty(generation);
}

}  // namespace pixkeep
