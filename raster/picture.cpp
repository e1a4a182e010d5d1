#include "raster/picture.h"

#include <algorithm>

#include "raster/errors.h"

namespace pixkeep {

namespace {

class RasterGraphic : public Graphic {
 public:
  std::string kindName() const override { return "Bitmap"; }
  RasterImage* raster() override { return &image_; }
  void loadFromClipboard(Clipboard& clipboard, unsigned format) override {
    const Clipboard::Picture picture = clipboard.fetchPicture();
    load(format, picture.bitmap.get(), picture.palette ? &*picture.palette : nullptr, {});
  }
  void load(unsigned format, const PlatformBitmap* bitmap, const std::vector<RGBQuad>* palette,
            const RasterImage::Decoder& decode) {
    image_.loadFromClipboardBitmap(format, bitmap, palette, decode);
    image_.transparent = false;  // the hidden image control is never transparent
  }
  void saveToFile(const std::string& name) const override { image_.saveToFile(name); }

 private:
  RasterImage image_;
};

// Metafile and GIF pictures exist as kinds of their own; they have no drawing
// surface, and nothing of them is ever written by the capture.
class ForeignGraphic : public Graphic {
 public:
  explicit ForeignGraphic(std::string kind) : kind_(std::move(kind)) {}
  std::string kindName() const override { return kind_; }
  void loadFromClipboard(Clipboard&, unsigned) override {}
  void saveToFile(const std::string&) const override {}

 private:
  std::string kind_;
};

std::unique_ptr<Graphic> createGraphic(const std::string& kind) {
  if (kind == "Bitmap") return std::make_unique<RasterGraphic>();
  return std::make_unique<ForeignGraphic>(kind);
}

}  // namespace

TPicture::TPicture() = default;

std::vector<TPicture::Registration> TPicture::registrations(Clipboard& clipboard) {
  return {
      {CF_METAFILEPICT, "Metafile"},
      {CF_ENHMETAFILE, "Metafile"},
      {CF_BITMAP, "Bitmap"},
      {clipboard.registerFormat("GIF Image"), "GIF Image"},
  };
}

void TPicture::loadFromClipboard(Clipboard& clipboard, std::optional<unsigned> preferred) {
  const auto regs = registrations(clipboard);
  // Newest registration first, so that a later one of the same format wins.
  auto kindOf = [&](unsigned format) -> const Registration* {
    for (auto it = regs.rbegin(); it != regs.rend(); ++it)
      if (it->format == format) return &*it;
    return nullptr;
  };
  const std::vector<unsigned> formats = clipboard.formats();
  const Registration* taken = nullptr;
  if (preferred && std::find(formats.begin(), formats.end(), *preferred) != formats.end())
    taken = kindOf(*preferred);
  for (size_t i = 0; !taken && i < formats.size(); ++i) taken = kindOf(formats[i]);
  if (!taken) throw EInvalidGraphic(msg::InvalidClipboardFormat);

  std::unique_ptr<Graphic> fresh = createGraphic(taken->kind);
  fresh->loadFromClipboard(clipboard, taken->format);
  graphic_ = std::move(fresh);
}

void TPicture::loadFromBitmapData(const PlatformBitmap* bitmap, const std::vector<RGBQuad>* palette,
                                  const RasterImage::Decoder& decode) {
  auto fresh = std::make_unique<RasterGraphic>();
  fresh->load(CF_BITMAP, bitmap, palette, decode);
  graphic_ = std::move(fresh);
}

StampCanvas& TPicture::canvas() {
  RasterImage* r = bitmap();
  if (!r) throw EInvalidOperation(msg::NotABitmap);
  return r->canvas();
}

void TPicture::saveToFile(const std::string& name) const {
  if (graphic_) graphic_->saveToFile(name);
}

}  // namespace pixkeep
