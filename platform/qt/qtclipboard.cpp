#include "platform/qt/qtclipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <unistd.h>
#include <cstring>
#include <xcb/xcb.h>

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

QtClipboard::QtClipboard(QObject* parent) : QObject(parent), clipboard_(QGuiApplication::clipboard()) {
  // Qt refuses pictures over 128 MiB by default; allow what the machine can
  // hold (a quarter of its memory), so a large picture is not taken for a bad one.
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0)
    QImageReader::setAllocationLimit(int(std::min<long long>(INT_MAX, (1LL * pages * pageSize) / 4 / (1 << 20))));
  connect(clipboard_, &QClipboard::dataChanged, this, [this] {
    refresh();
    announceChange();
  });
}

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

void QtClipboard::refresh() {
  // One TARGETS request per change; Qt keeps the owner's order.
  const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
  targets_ = data ? data->formats() : QStringList();
  formats_.clear();
  for (const QString& t : targets_) {
    unsigned f = formatOf(t);
    if (std::find(formats_.begin(), formats_.end(), f) == formats_.end()) formats_.push_back(f);
  }
  // Qt lists application/x-qt-image for any picture it can convert; without a
  // decodable target of the owner's there is no bitmap to be had.
  if (bitmapTargets().isEmpty()) formats_.erase(std::remove(formats_.begin(), formats_.end(), CF_BITMAP), formats_.end());
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
  for (const QString& target : bitmapTargets()) {
    const QMimeData* data = clipboard_->mimeData(QClipboard::Clipboard);
    if (!data) break;
    const QByteArray bytes = data->data(target);
    if (bytes.isEmpty()) continue;
    auto bitmap = std::make_shared<PlatformBitmap>();
    if (decodedByTheCore(target)) {
      // PNG, BMP and JPEG are decoded by the core straight into the raster.
      // The byte array is shared, not copied.
      auto held = std::make_shared<const QByteArray>(bytes);
      const auto* start = reinterpret_cast<const uint8_t*>(held->constData());
      bitmap->encoded = EncodedPicture(target.toLower().toStdString(), held, start, size_t(held->size()));
      return bitmap;
    }
    QImage image = QImage::fromData(bytes);
    if (image.isNull()) continue;
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
  // Nothing usable: forget the bitmap until the clipboard changes again, so
  // that the failure is reported once and not on every tick.
  formats_.erase(std::remove(formats_.begin(), formats_.end(), CF_BITMAP), formats_.end());
  return nullptr;
}

void QtClipboard::empty() {
  clipboard_->clear(QClipboard::Clipboard);
  // Qt gives up the selection with the time of the last event it saw; when the
  // owner took it later than that, the X server ignores the request and the
  // picture would stay (and be taken again). Release it as of now as well.
  if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
    xcb_connection_t* c = x11->connection();
    if (clipboardAtom_ == 0) {
      static const char name[] = "CLIPBOARD";
      xcb_intern_atom_reply_t* reply =
          xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
      if (reply) {
        clipboardAtom_ = reply->atom;
        free(reply);
      }
    }
    if (clipboardAtom_ != 0) {
      xcb_set_selection_owner(c, XCB_NONE, clipboardAtom_, XCB_CURRENT_TIME);
      xcb_flush(c);
    }
  }
  targets_.clear();
  formats_.clear();
}

}  // namespace pixkeep
