// The clipboard on the Qt event loop: a reader's news is taken in on the
// window's thread, and picture types that no image type decodes (TIFF, XPM,
// ICO, ...) are read by Qt's image readers into device bitmaps.
#pragma once

#include <QObject>
#include <memory>

#include "platform/readerclipboard.h"

namespace pixkeep {

class QtClipboard : public QObject, public ReaderClipboard {
 public:
  // The clipboard that `reader` reads (nullptr: none, nothing is captured);
  // `types` are the picture types the image types decode.
  QtClipboard(std::unique_ptr<ClipboardReader> reader, std::vector<PictureType> types, QObject* parent = nullptr);
  ~QtClipboard() override;

 protected:
  void post(std::function<void()> task) override;
  bool converts(const std::string& type) const override;
  std::shared_ptr<const PlatformBitmap> convert(const std::vector<uint8_t>& bytes) override;
};

}  // namespace pixkeep
