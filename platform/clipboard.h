// The system clipboard as the capture core sees it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap.h"

namespace pixkeep {

// Standard clipboard format numbers.
inline constexpr unsigned CF_TEXT = 1;
inline constexpr unsigned CF_BITMAP = 2;
inline constexpr unsigned CF_METAFILEPICT = 3;
inline constexpr unsigned CF_PALETTE = 9;
inline constexpr unsigned CF_ENHMETAFILE = 14;

class Clipboard {
 public:
  virtual ~Clipboard() = default;
  // Whether the clipboard offers `format` now. Must be cheap: it is asked on
  // every tick of the capture timer and never opens the clipboard.
  virtual bool hasFormat(unsigned format) = 0;
  // Opens and closes the clipboard; open() returns false when it cannot.
  virtual bool open() = 0;
  virtual void close() = 0;
  // The offered formats in the clipboard's own order (only while open).
  virtual std::vector<unsigned> formats() = 0;
  // The CF_BITMAP data, or nullptr when it cannot be had (only while open).
  // A clipboard that fetches the picture in the background starts fetching
  // at the first call and gives nullptr with fetching() true until the
  // picture, or the reason it cannot be had, has arrived.
  virtual std::shared_ptr<const PlatformBitmap> bitmap() = 0;
  // Whether the last bitmap() gave nullptr only because the picture is
  // still on its way.
  virtual bool fetching() { return false; }
  // Why the last bitmap() gave nullptr when the clipboard's owner did not
  // hand the picture over (no answer, a refusal, a transfer that stopped);
  // empty when the owner did, but it is no picture to be had.
  virtual std::string failure() { return {}; }
  // The CF_PALETTE data; empty when there is none (only while open).
  virtual std::optional<std::vector<RGBQuad>> palette() = 0;
  // Leaves the clipboard without data (only while open).
  virtual void empty() = 0;
  // Leaves the clipboard without data only while it still holds the content
  // of change `generation`: a newer content (copied while the older one was
  // being read) stays. When it empties, that is one change.
  virtual void emptyContent(uint64_t generation) = 0;
  // The number of the clipboard's current content: it grows with every change.
  virtual uint64_t generation() = 0;
  // A number for a named format, the same for the same name.
  virtual unsigned registerFormat(const std::string& name) = 0;

  // `listener` is called after every change of the clipboard's content (a new
  // owner, or the clipboard emptied, also by us), and when a picture being
  // fetched has arrived (or failed to). What is already on the clipboard at
  // start-up is no change.
  void setChangeListener(std::function<void()> listener) { listener_ = std::move(listener); }

 protected:
  void announceChange() {
    if (listener_) listener_();
  }

 private:
  std::function<void()> listener_;
};

}  // namespace pixkeep
