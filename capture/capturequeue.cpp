#include "capture/capturequeue.h"

#include <malloc.h>
#include <optional>
#include <vector>

#include "raster/errors.h"

namespace pixkeep {

CaptureQueue::CaptureQueue(CapturePipeline& pipeline, Events events, size_t memoryLimit)
    : pipeline_(pipeline), events_(std::move(events)), memoryLimit_(memoryLimit), thread_([this] { run(); }) {}

CaptureQueue::~CaptureQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool CaptureQueue::hasRoom() const {
  std::lock_guard lock(mutex_);
  return heldBytes_ < memoryLimit_;
}

void CaptureQueue::push(CaptureJob job) {
  std::optional<uint64_t> held;
  {
    std::lock_guard lock(mutex_);
    heldBytes_ += job.heldBytes();
    if (headFailed_) {
      job.held = true;
      held = job.generation;
    }
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
  if (held && events_.held) events_.held(*held);
}

void CaptureQueue::check(CaptureJob job) {
  {
    std::lock_guard lock(mutex_);
    checks_.push_back(std::move(job));
  }
  wake_.notify_all();
}

size_t CaptureQueue::waiting() const {
  std::lock_guard lock(mutex_);
  return headFailed_ ? jobs_.size() : 0;
}

size_t CaptureQueue::pending() const {
  std::lock_guard lock(mutex_);
  return jobs_.size() + (busy_ ? 1 : 0);
}

void CaptureQueue::setOutputDirectory(const std::string& directory) {
  {
    std::lock_guard lock(mutex_);
    for (CaptureJob& job : jobs_) job.outputDirectory = directory;
    retryNow_ = true;
  }
  wake_.notify_all();
}

void CaptureQueue::discard() {
  bool hadWaiting;
  {
    std::lock_guard lock(mutex_);
    hadWaiting = headFailed_;
    jobs_.clear();
    heldBytes_ = 0;
    headFailed_ = false;
    ++generation_;
  }
  settled_.notify_all();
  if (hadWaiting && events_.waitingChanged) events_.waitingChanged(0, std::string());
}

bool CaptureQueue::flush(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  retryNow_ = true;
  wake_.notify_all();
  const unsigned start = attempts_;
  // Done when everything is written, or the waiting pictures failed once more.
  settled_.wait_for(lock, limit, [&] {
    return (jobs_.empty() && !busy_) || (headFailed_ && !busy_ && attempts_ != start);
  });
  return jobs_.empty() && !busy_;
}

void CaptureQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (headFailed_) {
      // Costs nothing while nothing waits; while pictures wait, one write
      // is tried every RetryInterval (or at once when the folder changes).
      wake_.wait_for(lock, RetryInterval,
                     [&] { return stopping_ || retryNow_ || jobs_.empty() || !checks_.empty(); });
    } else {
      wake_.wait(lock, [&] { return stopping_ || !jobs_.empty() || !checks_.empty(); });
    }
    if (stopping_) return;
    if (!checks_.empty()) {
      // The clipboard waits for the answer: it goes ahead of the waiting
      // pictures (after the write in progress, if any).
      CaptureJob job = std::move(checks_.front());
      checks_.pop_front();
      lock.unlock();
      const bool restore = pipeline_.samePixels(job);
      if (events_.checked) events_.checked(std::move(job), restore);
      lock.lock();
      continue;
    }
    if (jobs_.empty()) {
      headFailed_ = false;
      continue;
    }
    retryNow_ = false;
    CaptureJob job = std::move(jobs_.front());
    jobs_.pop_front();
    const size_t jobBytes = job.heldBytes();
    const bool retry = !job.encoded.empty();
    const unsigned generation = generation_;
    const uint64_t content = job.generation;
    busy_ = true;
    lock.unlock();

    CaptureResult result;
    bool done = false, kept = false;
    std::string message, detail;
    try {
      result = retry ? pipeline_.write(job) : pipeline_.run(job);
      done = true;
    } catch (const Exception& e) {
      message = e.what();
      detail = e.detail();
      kept = !job.encoded.empty();
    } catch (const std::exception& e) {
      message = e.what();
    }

    lock.lock();
    busy_ = false;
    ++attempts_;
    if (generation != generation_) kept = false;  // discarded meanwhile
    else heldBytes_ -= std::min(heldBytes_, jobBytes);
    const bool wasWaiting = headFailed_;
    std::vector<uint64_t> nowHeld;
    if (kept) {
      heldBytes_ += job.heldBytes();
      jobs_.push_front(std::move(job));
      headFailed_ = true;
      // It waits, and so does every picture behind it.
      for (CaptureJob& j : jobs_)
        if (!j.held) {
          j.held = true;
          nowHeld.push_back(j.generation);
        }
    } else {
      headFailed_ = false;
    }
    const size_t waitingNow = headFailed_ ? jobs_.size() : 0;
    const bool idle = jobs_.empty() && checks_.empty();
    lock.unlock();

    // The picture's buffers are free now: with nothing else to do, they go
    // back to the system, so that a large picture does not leave the
    // program large.
    job = CaptureJob();
    if (idle) ::malloc_trim(0);
    if (events_.held)
      for (uint64_t g : nowHeld) events_.held(g);
    if (done && events_.written) events_.written(result);
    // A picture is reported when it first fails; its retries fail silently.
    if (!done && !retry && events_.failed) events_.failed(message, detail, kept, content);
    if ((kept || wasWaiting) && events_.waitingChanged) events_.waitingChanged(waitingNow, kept ? detail : std::string());
    settled_.notify_all();
    lock.lock();
  }
}

}  // namespace pixkeep
