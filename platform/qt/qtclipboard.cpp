#include "platform/qt/qtclipboard.h"

#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <algorithm>

#include "platform/memory.h"

namespace pixkeep {

QtClipboard::QtClipboard(std::unique_ptr<ClipboardReader> reader, std::vector<PictureType> types, QObject* parent)
    : QObject(parent), ReaderClipboard(std::move(reader), std::move(types)) {
  listen();
}

// The reader's thread ends before this object goes.
QtClipboard::~QtClipboard() { stopReading(); }

void QtClipboard::post(std::function<void()> task) {
  // Dropped once this object is gone.
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

bool QtClipboard::converts(const std::string& type) const {
  static const QList<QByteArray> supported = QImageReader::supportedMimeTypes();
  return supported.contains(QByteArray::fromStdString(type).toLower());
}

std::shared_ptr<const PlatformBitmap> QtClipboard::convert(const std::vector<uint8_t>& bytes) {
  // The budget of the core's own decoders: at most 512 MiB of 32-bit rows
  // (2^27 pixels) and a quarter of the memory available now. Qt refuses a
  // larger picture from its header, before decoding it.
  const uint64_t available = availableMemory();
  const uint64_t limit = std::min<uint64_t>(512, available > 0 ? available / 4 / (1 << 20) : 512);
  QImageReader::setAllocationLimit(int(std::max<uint64_t>(limit, 1)));
  QImage image = QImage::fromData(
      QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
  if (image.isNull()) return nullptr;
  // A picture with alpha is composited onto white.
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
  auto bitmap = std::make_shared<PlatformBitmap>();
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

}  // namespace pixkeep
