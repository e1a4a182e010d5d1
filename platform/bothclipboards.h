// Two clipboards read as one: on a Wayland session with XWayland, the
// seat's own clipboard and the X11 one. A compositor hands a copy from one
// side to the other only at times (sway and KWin: while an X11 window has
// the focus), so a reader of one side alone misses what stays on the other.
//
// Every change on either side is a content of its own, with one exception:
// the compositor's copy of what was just copied on the other side (a change
// on the other side within MirrorWindow that offers a picture type of that
// content, or no picture type at all: a compositor's copy of a picture whose
// owner does not answer offers none). That copy is not told while the
// content is read. When the content is emptied, the copy is read as the
// same type before the content is emptied (the compositor may read it from
// the content's owner); the same bytes are emptied with it, and other bytes (or a copy
// that cannot be read as that type) are told then as a content of their
// own, so that a picture another program copied at that moment on the other
// side is not lost. When the content cannot be read, a copy that offers a
// picture type is told at once (it may give the picture); one that offers
// none is dropped, and the failure stands. What is on both sides at start is
// one content, emptied on both.
//
// Either side's reader may tell its news on a thread of its own.
#pragma once

#include <array>
#include <functional>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboardreader.h"

namespace pixkeep {

class BothClipboards : public ClipboardReader {
 public:
  static constexpr std::chrono::milliseconds MirrorWindow{1000};

  // `first` and `second` are the two sides (the Wayland and the X11 reader).
  BothClipboards(std::unique_ptr<ClipboardReader> first, std::unique_ptr<ClipboardReader> second);
  ~BothClipboards() override;
  BothClipboards(const BothClipboards&) = delete;
  BothClipboards& operator=(const BothClipboards&) = delete;

  // For tests: the time as the reader sees it.
  std::function<Clock::time_point()> clock = [] { return Clock::now(); };

 protected:
  void startFetch(uint64_t generation, std::vector<std::string> types) override;
  void clearContent(uint64_t generation) override;
  void eventsSet() override;
  void pictureTaken(uint64_t generation) override;

 private:
  // One side's content.
  struct Inner {
    int side = 0;
    uint64_t generation = 0;
    std::vector<std::string> types;
  };
  struct Content {
    Inner inner;
    Clock::time_point arrived;
  };
  // The other side's copy of a content, not told.
  struct Copy {
    Inner inner;
    bool owned = false;
    uint64_t of = 0;  // the content it is a copy of
  };
  // What a change or an answer leads to, done once the lock is let go.
  struct Actions {
    std::optional<Change> tell;
    std::optional<Fetched> answer;
    std::vector<Inner> empty;
    std::optional<Inner> handOver;
    std::optional<std::pair<Inner, std::string>> read;  // the copy, read as this type
  };

  Clock::time_point arrival(const Change& change) const;
  void changed(int side, const Change& change);
  void fetched(int side, const Fetched& fetched);
  // A content of its own for a change (under the lock).
  Change newContent(const Inner& inner, const Change& change);
  // A copy held back, told as a content of its own after all (under the lock).
  Change copyAsContent(const Inner& copy, bool owned);
  void run(Actions actions);

  std::array<std::unique_ptr<ClipboardReader>, 2> sides_;
  std::mutex mutex_;
  std::map<uint64_t, Content> contents_;  // the recent contents
  std::optional<uint64_t> fetching_;      // the content whose picture is being fetched
  std::optional<Copy> copy_;
  // The newest content read, as what type and bytes.
  struct Read {
    uint64_t generation = 0;
    std::string type;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
  };
  std::optional<Read> read_;
  // The copy being read, the bytes it must have to be the same, and the
  // content it copies, emptied once the copy has been read (a compositor
  // may read the copy from that content's owner).
  struct Check {
    Inner copy;
    Read expected;
    Inner original;
  };
  std::optional<Check> checking_;
  bool started_ = false;  // the first content at start has been told
  std::array<uint64_t, 2> current_{};  // each side's newest content
};

}  // namespace pixkeep
