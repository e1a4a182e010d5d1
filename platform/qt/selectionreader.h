// A reader of the system clipboard as QtClipboard uses it: it numbers every
// content (its generation), reports each change with the offered MIME types
// in the owner's order, fetches a content's bytes as the first of a list of
// types that gives any, and empties the clipboard of one content only. The
// X11 reader (x11selection.h) works on a thread of its own, the Wayland one
// (platform/wayland/waylandselection.h) on the window's event loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pixkeep {

class SelectionReader {
 public:
  struct Change {
    uint64_t generation = 0;
    bool owned = false;                // somebody owns the selection
    std::vector<std::string> targets;  // the owner's targets in its own order
    std::string failure;               // why there are no targets although it is owned
  };
  struct Fetched {
    uint64_t generation = 0;
    std::string target;                                 // the target that gave the bytes
    std::shared_ptr<const std::vector<uint8_t>> bytes;  // null when no target gave any
    std::string failure;                                // why not
  };
  // A fetch attempt fails when the owner refuses or stays silent for
  // `silence`; failed attempts are tried again after a pause that starts at
  // `firstPause` and doubles up to `longestPause`, until `total` has passed.
  struct Timing {
    std::chrono::milliseconds silence{2000};
    std::chrono::milliseconds total{5000};
    std::chrono::milliseconds firstPause{50};
    std::chrono::milliseconds longestPause{1000};
  };
  // Where the news goes. A reader with a thread of its own calls them there.
  struct Events {
    std::function<void(const Change&)> changed;
    std::function<void(const Fetched&)> fetched;
  };

  // No picture on the clipboard is read beyond this size: an owner that
  // never stops sending cannot fill the memory.
  static constexpr size_t MaxBytes = size_t(1) << 30;
  static constexpr const char* TooLarge = "the clipboard's content is larger than 1 GiB";

  virtual ~SelectionReader() = default;
  // Set once, before the reader starts.
  void setEvents(Events events) {
    events_ = std::move(events);
    eventsSet();
  }
  // Fetches content `generation` as the first of `targets` that gives data;
  // the answer comes through Events::fetched. A fetch for a content that has
  // been replaced before the fetch began is answered with a failure.
  virtual void fetch(uint64_t generation, std::vector<std::string> targets) = 0;
  // Leaves the clipboard empty while it still holds content `generation`;
  // a newer content stays.
  virtual void empty(uint64_t generation) = 0;

  // What a failure says of the attempts behind it: " (3 tries in 5.2 s)".
  static std::string triesNote(int attempts, std::chrono::steady_clock::duration spent) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(spent).count() / 100;
    return " (" + std::to_string(attempts) + (attempts == 1 ? " try" : " tries") + " in " +
           std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s)";
  }

 protected:
  // Called once the events are set: a reader that learnt what was on the
  // clipboard at start (generation 0) before then may tell it now.
  virtual void eventsSet() {}

  Events events_;
};

}  // namespace pixkeep
