// The clipboard through a clipboard reader (clipboardreader.h): the core's
// view of contents, formats and one picture per content.
//
// Whether a bitmap is offered is worked out once per change and kept, so
// hasFormat() costs nothing. The picture is fetched from the type chosen by
// preference (then in the owner's order) while the program goes on, and
// handed over still encoded for the image types' own decoders, or as a
// device bitmap made by the platform's image reader for types no image type
// decodes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "platform/clipboardreader.h"

namespace pixkeep {

class ReaderClipboard : public Clipboard {
 public:
  // A MIME type pictures are taken in: lower preferences are tried first.
  // A type whose bytes the platform turns into a bitmap itself (convert()).
  struct PictureType {
    std::string mimeType;
    int preference = 0;
    bool platformConverts = false;
  };
  // Where types the platform converts and no row names rank.
  static constexpr int UnlistedPreference = 2;

  ReaderClipboard(std::unique_ptr<ClipboardReader> reader, std::vector<PictureType> types);
  ~ReaderClipboard() override;
  ReaderClipboard(const ReaderClipboard&) = delete;
  ReaderClipboard& operator=(const ReaderClipboard&) = delete;

  bool hasFormat(unsigned format) override;
  std::vector<unsigned> formats() override { return formats_; }
  uint64_t generation() override { return generation_; }
  Picture fetchPicture() override;
  void emptyContent(uint64_t generation) override;
  unsigned registerFormat(const std::string& name) override;

  // The format number a MIME type stands for.
  unsigned formatOf(const std::string& type);
  // The current content's types that can give a bitmap, in the order they
  // are tried.
  std::vector<std::string> bitmapTypes() const;
  bool reading() const { return reader_ != nullptr; }

 protected:
  // Starts hearing the reader (once the derived clipboard can post()).
  void listen();
  // Stops the reader before the derived clipboard goes.
  void stopReading() { reader_.reset(); }
  // Runs `task` later on the thread that uses this clipboard.
  virtual void post(std::function<void()> task) = 0;
  // Whether the platform's image reader takes pictures of `type`, and the
  // device bitmap it makes of them (nullptr for bytes it cannot read).
  virtual bool converts(const std::string& /*type*/) const { return false; }
  virtual std::shared_ptr<const PlatformBitmap> convert(const std::vector<uint8_t>& /*bytes*/) { return nullptr; }

 private:
  void changed(const ClipboardReader::Change& change);
  void fetched(const ClipboardReader::Fetched& result);
  const PictureType* listed(const std::string& type) const;
  bool isPictureType(const std::string& type) const;

  std::unique_ptr<ClipboardReader> reader_;
  std::vector<PictureType> types_;
  uint64_t generation_ = 0;
  std::vector<std::string> offered_;
  std::vector<unsigned> formats_;
  std::map<std::string, unsigned> registered_;
  enum class Fetch { NotAsked, Asked, Done, HandedOver } fetch_ = Fetch::NotAsked;
  std::shared_ptr<const PlatformBitmap> fetched_;
  std::string failure_;
};

}  // namespace pixkeep
