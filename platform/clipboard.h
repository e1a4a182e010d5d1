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

// The clipboard as this platform has it: contents that follow one another
// (each change of owner is a new content, numbered by its generation), the
// formats each offers, a picture that is fetched from its owner in the
// background, and emptying that clears one content only.
class Clipboard {
 public:
  // What fetchPicture() found.
  struct Picture {
    enum class State {
      Here,           // `bitmap` (and `palette`, if any) hold it
      OnItsWay,       // asked for; the listener hears when it arrives
      NotHandedOver,  // its owner did not hand it over: `failure` says why
      Unusable,       // it came, but it is no picture that can be had
      NoPicture,      // the content offers no bitmap, or it was taken already
    };
    State state = State::NoPicture;
    std::shared_ptr<const PlatformBitmap> bitmap;
    std::optional<std::vector<RGBQuad>> palette;
    std::string failure;
  };

  virtual ~Clipboard() = default;
  // Whether the current content offers `format`. Must be cheap: it is asked
  // on every tick of the capture timer.
  virtual bool hasFormat(unsigned format) = 0;
  // The current content's formats in the clipboard's own order.
  virtual std::vector<unsigned> formats() = 0;
  // The number of the current content: it grows with every change.
  virtual uint64_t generation() = 0;
  // The current content's CF_BITMAP picture. The first call starts fetching
  // it; the picture is handed over once, to the call after its arrival.
  virtual Picture fetchPicture() = 0;
  // Leaves the clipboard without data only while it still holds content
  // `generation`: a newer content (copied while the older one was being
  // read) stays. When it empties, that is one change.
  virtual void emptyContent(uint64_t generation) = 0;
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
