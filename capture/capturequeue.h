// Takes the pictures taken from the clipboard the rest of their way
// (CapturePipeline::run), one at a time and in the order they were taken, on
// a thread of its own, so that decoding, encoding and writing never hold up
// the window. A picture whose file cannot be
// written is kept, with every picture taken after it, and written as soon
// as writing succeeds again: nothing taken from the clipboard is lost to a
// missing folder or a full disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "capture/pipeline.h"

namespace pixkeep {

class CaptureQueue {
 public:
  // Called on the queue's thread.
  struct Events {
    // A picture was written (or the numbers ran out).
    std::function<void(const CaptureResult&)> written;
    // A picture failed: once per picture. `kept` tells whether it waits to be
    // written again (a file that could not be written) or is lost (a picture
    // that cannot be decoded or encoded); `generation` is the clipboard
    // content it came from.
    std::function<void(const std::string& message, const std::string& detail, bool kept, uint64_t generation)> failed;
    // A picture waits to be written: its file could not be written, or one
    // taken before it could not. Once per picture.
    std::function<void(uint64_t generation)> held;
    // The number of pictures waiting changed; `reason` says why they wait.
    std::function<void(size_t waiting, const std::string& reason)> waitingChanged;
    // check() decided: `restore` when the job is a restored copy of the
    // picture taken before it.
    std::function<void(CaptureJob job, bool restore)> checked;
  };

  static constexpr size_t DefaultMemoryLimit = size_t(1) << 30;  // 1 GiB of waiting pictures
  static constexpr std::chrono::milliseconds RetryInterval{1000};

  CaptureQueue(CapturePipeline& pipeline, Events events, size_t memoryLimit = DefaultMemoryLimit);
  // Stops the thread after the picture it is working on; the rest is dropped.
  ~CaptureQueue();
  CaptureQueue(const CaptureQueue&) = delete;
  CaptureQueue& operator=(const CaptureQueue&) = delete;

  // Whether another picture may be taken: while pictures wait, the memory
  // they hold stays under the limit (beyond it, pictures stay on the clipboard).
  bool hasRoom() const;
  void push(CaptureJob job);
  // Decides whether a job that needsCheck is a restored copy
  // (CapturePipeline::samePixels), ahead of the pictures waiting to be written,
  // and hands it back through Events::checked.
  void check(CaptureJob job);
  // Pictures that could not be written yet (0 while writing goes well).
  size_t waiting() const;
  // Pictures not yet written, waiting or not.
  size_t pending() const;
  // Sends every picture not yet written to `directory` (ending in '/') and
  // tries at once.
  void setOutputDirectory(const std::string& directory);
  // Forgets the pictures not yet written.
  void discard();
  // Waits until nothing is pending, or every pending picture failed once
  // more, or `limit` passed; true when nothing is pending.
  bool flush(std::chrono::milliseconds limit);

 private:
  void run();

  CapturePipeline& pipeline_;
  Events events_;
  const size_t memoryLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;     // work for the thread
  std::condition_variable settled_;  // for flush()
  std::deque<CaptureJob> jobs_;
  std::deque<CaptureJob> checks_;
  size_t heldBytes_ = 0;
  bool headFailed_ = false;  // the first job could not be written; everything waits
  bool retryNow_ = false;
  bool stopping_ = false;
  bool busy_ = false;          // the thread is working on a job taken off the queue
  unsigned generation_ = 0;    // advanced by discard(): the job in hand is not put back
  unsigned attempts_ = 0;      // write attempts finished, for flush()
  std::thread thread_;
};

}  // namespace pixkeep
