// The system clipboard through a selection reader: the X11 CLIPBOARD
// selection read in the background (x11selection.h), or a Wayland seat's
// selection through the data-control protocol (platform/wayland).
//
// Whether a bitmap is offered is worked out once per change and kept, so
// hasFormat() costs nothing; the picture is fetched from the target we choose
// in the owner's order while the window goes on, and handed over still
// encoded (PNG, BMP, JPEG) or decoded with QImage (other types).
#pragma once

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/clipboard.h"
#include "platform/qt/selectionreader.h"

namespace pixkeep {

class QtClipboard : public QObject, public Clipboard {
 public:
  // The X11 clipboard of $DISPLAY.
  explicit QtClipboard(QObject* parent = nullptr);
  // The clipboard that `reader` reads; it is told where its news goes here.
  explicit QtClipboard(std::unique_ptr<SelectionReader> reader, QObject* parent = nullptr);
  ~QtClipboard() override;

  bool hasFormat(unsigned format) override;
  bool open() override { return true; }  // X11 selections need no locking
  void close() override {}
  std::vector<unsigned> formats() override;
  std::shared_ptr<const PlatformBitmap> bitmap() override;
  bool fetching() override { return fetch_ == Fetch::Asked; }
  std::string failure() override { return failure_; }
  std::optional<std::vector<RGBQuad>> palette() override { return std::nullopt; }
  void empty() override;
  void emptyContent(uint64_t generation) override;
  uint64_t generation() override { return generation_; }
  unsigned registerFormat(const std::string& name) override;

  // The format number a MIME target stands for.
  unsigned formatOf(const QString& target);
  // The targets that can give a bitmap, in the order they are tried.
  QStringList bitmapTargets() const;

 private:
  void changed(const SelectionReader::Change& change);
  void apply(const SelectionReader::Change& change);
  void fetched(const SelectionReader::Fetched& result);
  std::shared_ptr<const PlatformBitmap> picture(const QString& target, std::shared_ptr<const std::vector<uint8_t>> bytes);
  void forgetBitmap(std::string why);

  void listen();

  std::unique_ptr<SelectionReader> selection_;
  uint64_t generation_ = 0;
  QStringList targets_;
  std::vector<unsigned> formats_;
  std::map<std::string, unsigned> registered_;
  enum class Fetch { None, Asked, Done, HandedOver } fetch_ = Fetch::None;
  std::shared_ptr<const PlatformBitmap> fetched_;
  std::string failure_;
  // A change that came while a picture that was read waited to be taken.
  std::optional<SelectionReader::Change> later_;
};

}  // namespace pixkeep
