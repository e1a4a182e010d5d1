// The picture holder and the clipboard import.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "raster/rasterimage.h"

namespace pixkeep {

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
  // with a registered kind, or `preferred` when the clipboard lists it; a
  // raster from the picture the clipboard has at hand (fetchPicture()).
  // Raises "Invalid clipboard format"; on any failure the previous picture stays.
  void loadFromClipboard(Clipboard& clipboard, std::optional<unsigned> preferred = std::nullopt);
  // Replaces the held picture by a raster made from bitmap data already
  // taken from the clipboard, a picture still encoded decoded by `decode`;
  // on failure the previous picture stays.
  void loadFromBitmapData(const PlatformBitmap* bitmap, const std::vector<RGBQuad>* palette,
                          const RasterImage::Decoder& decode = {});
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
