// The picture holder and the clipboard import.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "capture/rasterimage.h"

namespace pixkeep {

// The clipboard with counted opening: a nested open only counts, and only
// the matching last close closes the clipboard.
class ClipboardAccess {
 public:
  explicit ClipboardAccess(Clipboard& clipboard) : clipboard_(clipboard) {}
  bool hasFormat(unsigned format) { return clipboard_.hasFormat(format); }
  void open();   // raises "Cannot open clipboard"
  void close();
  // Opens, empties and closes the clipboard.
  void clear();
  // The same, but only while the clipboard still holds the content of change
  // `generation` (Clipboard::emptyContent).
  void clearContent(uint64_t generation);
  Clipboard& platform() { return clipboard_; }
  int openCount() const { return openCount_; }

 private:
  Clipboard& clipboard_;
  int openCount_ = 0;
};

// Keeps the clipboard open for a scope.
class ClipboardOpen {
 public:
  explicit ClipboardOpen(ClipboardAccess& access) : access_(access) { access_.open(); }
  ~ClipboardOpen() { access_.close(); }
  ClipboardOpen(const ClipboardOpen&) = delete;
  ClipboardOpen& operator=(const ClipboardOpen&) = delete;

 private:
  ClipboardAccess& access_;
};

// A picture of one of the registered kinds.
class Graphic {
 public:
  virtual ~Graphic() = default;
  virtual std::string kindName() const = 0;
  // The raster when this picture is one; nullptr otherwise.
  virtual RasterImage* raster() { return nullptr; }
  virtual void loadFromClipboard(Clipboard& clipboard, unsigned format) = 0;
  virtual void saveToFile(const std::string& name) const = 0;
};

// The holder of at most one picture (the hidden image control's picture).
class TPicture {
 public:
  TPicture();
  // The registered clipboard formats with the picture kind of each, in
  // registration order: metafiles, the bitmap, the "GIF Image" format.
  struct Registration {
    unsigned format;
    std::string kind;
  };
  static std::vector<Registration> registrations(Clipboard& clipboard);

  // Replaces the held picture by the clipboard's: the first listed format
  // with a registered kind, or `preferred` when the clipboard lists it.
  // Raises "Cannot open clipboard" and "Invalid clipboard format"; on any
  // failure the previous picture stays.
  void loadFromClipboard(ClipboardAccess& clipboard, std::optional<unsigned> preferred = std::nullopt);
  // Replaces the held picture by a raster made from bitmap data already
  // taken from the clipboard; on failure the previous picture stays.
  void loadFromBitmapData(const PlatformBitmap* bitmap, const std::vector<RGBQuad>* palette);
  Graphic* graphic() { return graphic_.get(); }
  RasterImage* bitmap() { return graphic_ ? graphic_->raster() : nullptr; }
  // The drawing surface; raises "Can only modify an image if it contains a bitmap".
  StampCanvas& canvas();
  // Writes the held picture; nothing when the holder is empty.
  void saveToFile(const std::string& name) const;
  void clear() { graphic_.reset(); }
  void setGraphic(std::unique_ptr<Graphic> g) { graphic_ = std::move(g); }

 private:
  std::unique_ptr<Graphic> graphic_;
};

}  // namespace pixkeep
