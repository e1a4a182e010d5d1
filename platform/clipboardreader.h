// What every reader of the system clipboard does, whatever its protocol
// (X11 selections in platform/x11, Wayland data-control in platform/wayland):
//
//  - it numbers the clipboard's contents (generations): what is there when
//    the reader starts is 0, every change after that is one more;
//  - it reports each change with the MIME types the owner offers, in the
//    owner's order;
//  - it fetches one content's bytes as the first of a list of types that
//    gives any, trying again with growing pauses while the owner refuses or
//    stays silent;
//  - it empties the clipboard of one content only: a newer one stays.
//
// A change that arrives while a picture is being fetched, or while a fetched
// picture waits to be taken (handedOver()), is told once that is over: the
// picture that was read is still the clipboard's content until then. Only
// the newest such change is told.
//
// A reader speaks its protocol through startFetch() and clearContent(), and
// tells what it learnt through beginContent(), tellChange() and tellFetched();
// the rules above live here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pixkeep {

class ClipboardReader {
 public:
  using Clock = std::chrono::steady_clock;

  struct Change {
    uint64_t generation = 0;
    bool owned = false;               // somebody owns the clipboard
    std::vector<std::string> types;   // the owner's MIME types in its own order
    std::string failure;              // why there are no types although it is owned
    Clock::time_point at{};           // when it happened, if known before it is told
  };
  struct Fetched {
    uint64_t generation = 0;
    std::string type;                                   // the type that gave the bytes
    std::shared_ptr<const std::vector<uint8_t>> bytes;  // null when no type gave any
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

  // Why a fetch gave nothing, as the error report shows it.
  struct Failure {
    static constexpr const char* NoAnswer = "the program that owns the clipboard did not answer";
    static constexpr const char* Refused = "the program that owns the clipboard refused to hand it over";
    static constexpr const char* Stopped = "the program that owns the clipboard stopped in the middle of handing it over";
    static constexpr const char* Nothing = "the program that owns the clipboard handed over nothing";
    static constexpr const char* Changed = "the clipboard changed before the picture could be read";
    static constexpr const char* NothingOffered = "the clipboard offers nothing to read";
  };

  // No picture on the clipboard is read beyond transferLimit() bytes, taken
  // when its transfer begins: an owner that never stops sending cannot fill
  // the memory. That is what a picture may take now (platform/memory.h),
  // and never more than MaxBytes.
  static constexpr size_t MaxBytes = size_t(1) << 30;
  // The limit when `available` bytes of memory are free (probedMemory(); 0: unknown).
  static size_t transferLimit(uint64_t available);
  // Why a transfer that went beyond `limit` bytes was given up.
  static std::string tooLarge(size_t limit, uint64_t available);

  // The retry policy of one fetch: how long to pause after a failed attempt.
  class Attempts {
   public:
    explicit Attempts(const Timing& timing, Clock::time_point start = Clock::now())
        : timing_(timing), start_(start), pause_(timing.firstPause) {}
    // After a failed attempt: the pause before the next one, or nothing
    // when the time is up; then `failure` tells of the attempts made.
    std::optional<std::chrono::milliseconds> failed(std::string& failure, Clock::time_point now = Clock::now());
    int count() const { return count_; }

   private:
    Timing timing_;
    Clock::time_point start_;
    std::chrono::milliseconds pause_;
    int count_ = 1;
  };
  // What a failure says of the attempts behind it: " (3 tries in 5.2 s)".
  static std::string triesNote(int attempts, Clock::duration spent);

  virtual ~ClipboardReader() = default;
  // Set once, before the reader starts.
  void setEvents(Events events);
  // Fetches content `generation` as the first of `types` that gives data;
  // the answer comes through Events::fetched. A fetch for a content that has
  // been replaced before the fetch began is answered with a failure.
  void fetch(uint64_t generation, std::vector<std::string> types);
  // The picture fetched of content `generation` was taken (or dropped):
  // changes held meanwhile are told now.
  void handedOver(uint64_t generation);
  // Leaves the clipboard empty while it still holds content `generation`;
  // a newer content stays.
  void empty(uint64_t generation) { clearContent(generation); }

 protected:
  // The protocol's side of fetch() and empty(). startFetch may be called on
  // any thread; a reader with a thread of its own passes the work there.
  virtual void startFetch(uint64_t generation, std::vector<std::string> types) = 0;
  virtual void clearContent(uint64_t generation) = 0;
  // Called once the events are set: a reader that learnt what was on the
  // clipboard at start (generation 0) before then may tell it now.
  virtual void eventsSet() {}
  // Called by handedOver(), after the changes held meanwhile are told.
  virtual void pictureTaken(uint64_t /*generation*/) {}

  // A new content: its number. Any thread.
  uint64_t beginContent();
  // The newest content's number, and whether `generation` is no longer it.
  uint64_t content() const;
  bool replaced(uint64_t generation) const { return content() != generation; }
  // Tell a change or a fetch's answer (with the waiting rule above).
  void tellChange(Change change);
  void tellFetched(Fetched fetched);

 private:
  Events events_;
  mutable std::mutex mutex_;
  uint64_t content_ = 0;
  // The content whose picture is being fetched or waits to be taken.
  std::optional<uint64_t> busy_;
  std::optional<Change> held_;  // the newest change that came meanwhile
};

}  // namespace pixkeep
