// The capture cycle: every tick of the capture timer looks at the clipboard,
// takes a new picture off it (emptying it of that content) and hands the
// picture to the queue, whose thread takes it the rest of the way
// (pipeline.h). Everything here runs on the thread that owns the clipboard.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/capturequeue.h"
#include "capture/pipeline.h"
#include "platform/clipboard.h"

namespace pixkeep {

class CaptureCycle {
 public:
  static constexpr int MaxPictures = CapturePipeline::MaxPictures;
  // Clipboard managers take each new picture over, and put their last entry
  // back as soon as the clipboard is empty. A picture with the same pixels as
  // the picture taken before, arriving within this interval after we emptied
  // the clipboard of it, is such a copy: it is not saved again and stays on
  // the clipboard. The same picture copied again later than this, or after a
  // text was on the clipboard, is saved again.
  static constexpr std::chrono::milliseconds RestoreInterval{2000};
  // Clipboard managers read each new picture shortly after it appears; one
  // emptied before then loses it from its history (and some put an older
  // entry back). The clipboard is emptied of a picture only once it is safe
  // (its file written, or kept to be written) and this long after it was
  // taken; the file itself is written at once.
  static constexpr std::chrono::milliseconds ManagersReadWithin{500};
  using Clock = std::chrono::steady_clock;

  // `types` is the image-type table; `events` are the queue's (capturequeue.h).
  CaptureCycle(Clipboard& clipboard, std::vector<ImageType> types, CaptureQueue::Events events,
               size_t memoryLimit = CaptureQueue::DefaultMemoryLimit);

  CapturePipeline& pipeline() { return pipeline_; }
  CaptureQueue& queue() { return queue_; }

  enum class Tick {
    Idle,      // nothing to do until the clipboard changes
    Checking,  // the picture waits for the queue's check (checked())
    Taken,     // a picture went to the queue: look again
  };
  // One tick: nothing when the clipboard offers no bitmap, when its content
  // was taken already, when the picture is still on its way from its owner
  // (fetching()), when it is a copy put back by a clipboard manager, while
  // a picture is being checked or while the waiting pictures fill their
  // memory; otherwise the picture goes to the queue with the options, and
  // the clipboard is emptied of it. Raises "This image type is not
  // available" for a type without a writer and the clipboard's failures,
  // leaving the clipboard as it was.
  Tick tick(const CaptureOptions& options);
  // The queue decided whether the picture being checked is a copy put back
  // (CaptureQueue::Events::checked); call it on the clipboard's thread.
  void checked(CaptureJob job, bool restore);
  // The picture of content `generation` is safe: its file is written, or it
  // waits in the queue to be written. Call it on the clipboard's thread.
  void safe(uint64_t generation);
  // The picture of content `generation` cannot be saved (the queue reported
  // it lost): the clipboard keeps it.
  void lost(uint64_t generation);
  // Empties the clipboard of the safe pictures whose time has come; the
  // time the next one is due, if any waits.
  std::optional<Clock::time_point> emptyDue();
  // Before the program ends, with nothing left to write: empties the
  // clipboard of every picture taken, whether or not its time has come.
  void emptyAll();
  // The content on the clipboard now (at start-up) is not to be saved: the
  // next tick reads its picture, empties the clipboard of it and takes
  // nothing, quietly also when it cannot be read. A clipboard manager that
  // puts that picture back is then known (see RestoreInterval). A text
  // there is emptied too.
  void discardAtStart();
  // The content on the clipboard now stays there and is never taken (a
  // picture copied while capturing was paused); the next content is.
  void passOver() { taken_ = clipboard_.generation(); }
  // Whether the last tick found the picture still on its way.
  bool fetching() const { return fetching_; }

  // The status text for the current counter: the template with "%p" replaced.
  std::string statusText() const;

  std::string outputDirectory;  // where the pictures taken next go
  std::string picturesTemplate = "%p pictures";
  std::function<Clock::time_point()> clock = [] { return Clock::now(); };

 private:
  std::optional<CaptureJob> take(const CaptureOptions& options);
  // The clipboard holds no picture: a text there means that a picture coming
  // next is a new copy, whatever its pixels.
  void noPicture();
  // The job is a picture of its own: it is the picture taken last, and the
  // clipboard is emptied of it once it is safe (emptyDue()).
  void confirmTaken(CaptureJob& job);
  void emptyNow(uint64_t generation);

  Clipboard& clipboard_;
  CapturePipeline pipeline_;
  CaptureQueue queue_;
  bool fetching_ = false;
  bool checking_ = false;
  std::optional<uint64_t> taken_;    // the content taken last
  std::optional<uint64_t> discard_;  // the content there at start, until it is emptied
  std::optional<uint64_t> lastContent_;  // the content of the picture taken last
  Clock::time_point lastSeen_;           // when it was taken, or emptied if later
  std::shared_ptr<const PlatformBitmap> lastTaken_;
  // Pictures taken whose content is still to be emptied.
  struct Pending {
    uint64_t generation = 0;
    Clock::time_point due;  // not before
    bool safe = false;
  };
  std::vector<Pending> pending_;
};

}  // namespace pixkeep
